// Making packages on the host: each file's stored form (as is, or an LZHUF stream), its
// SHA-1, and the package bytes in the item layout that the engine's reader walks.
// Unlike the engine, each call here takes its own codec context, so files can be packed on
// several threads at once.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "codec/lzhuf_levels.h"
#include "codec/lzhuf_model.h"
#include "package/package_reader.h"
#include "package/sha1.h"

// A codec context on the heap, one per thread.
std::unique_ptr<LzhufContext> newCodecContext();

// Compresses `size` bytes into `packed` with the encoder of `level`. With `limit` set,
// gives up (returns false, no error) as soon as the stream would reach `limit` bytes. False
// with a message when the encoder fails or consumes another number of bytes than it was given.
bool lzhufCompress(LzhufContext* context, LzhufLevel level, const uint8_t* data, uint64_t size,
                   uint64_t limit, std::vector<uint8_t>* packed, bool* gaveUp, std::string* error);

// The level named by `text` (fast, ref or best); false for any other text.
bool parseLzhufLevel(const std::string& text, LzhufLevel* level);

// SHA-1 of any number of bytes, on the caller's thread.
std::vector<uint8_t> sha1Of(const uint8_t* data, uint64_t size);

// One file of a package: texts already in the target code page; absent directory = none.
struct PackageFile {
    std::string name;
    bool hasDirectory = false;
    std::string directory;
    std::vector<uint8_t> digest;  // SHA-1 of the unpacked content, 20 bytes
    uint32_t unpackedSize = 0;
    uint32_t method = 0;          // METHOD_STORED or METHOD_LZHUF
    std::vector<uint8_t> packed;  // the stored form
};

struct PackageContents {
    bool hasCommand = false;
    std::string command;
    uint32_t cleanupMode = CLEANUP_TREE;
    std::vector<PackageFile> files;
};

// The largest package the 32-bit sizes of the format and of the engine allow.
const uint64_t MAX_PACKAGE_SIZE = 0xFFFFFFFFull;

const char* const PACKAGE_TOO_LARGE = "package would exceed 4 GiB - 1 bytes";

// The package's pieces, for writing one as its files are packed: the header (its file count
// is contents.files.size()), and an entry's items up to its data (the data item's head
// included when `packedSize` is not 0), the data to follow. The sizes of each, in bytes.
void appendPackageHeader(const PackageContents& contents, std::vector<uint8_t>* out);
void appendEntryHead(const PackageFile& file, uint32_t packedSize, std::vector<uint8_t>* out);
uint64_t packageHeaderSize(const PackageContents& contents);
uint64_t packageEntrySize(const PackageFile& file, uint64_t packedSize);

// The package's bytes: version 0, command, cleanup mode, file count, then per file name,
// directory, digest, unpacked size, method, packed size and (when not empty) the data.
// False when the result would exceed MAX_PACKAGE_SIZE.
bool writePackage(const PackageContents& contents, std::vector<uint8_t>* package, std::string* error);
