// The table of storage methods: for each method id, how to measure, pack and unpack a file.
// A run of the engine uses only the lookups and the unpack operations; measure and pack are
// the producing side, from which a package's data is made.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "extract/sink_writer.h"

const uint32_t METHOD_STORED = 0;  // the file's bytes as they are
const uint32_t METHOD_LZHUF = 1;   // the LZHUF stream of the codec
// A member of a solid LZMA2 stream: the first member's data holds the stream, the members
// that follow it carry none and continue where the previous one stopped.
const uint32_t METHOD_LZMA2 = 2;

// The number of bytes that the pack operation would produce for the file; 0 on failure.
typedef uint32_t (*MeasureFn)(const char* sourcePath);
// Writes the stored form of the file to `output` (binary, owned by the caller); returns
// the number of bytes written.
typedef uint32_t (*PackFn)(const char* sourcePath, FILE* output);
// Writes the unpacked bytes to `target` through `write` (the caller has created the file
// and closes it); returns the number of bytes written, which equals `unpackedSize` on success,
// 0 on failure.
typedef uint32_t (*UnpackFn)(uint32_t packedSize, const uint8_t* data, uint32_t unpackedSize,
                             SinkWriteFn write, void* target);

struct StorageMethod {
    uint32_t id;
    MeasureFn measure;
    PackFn pack;
    UnpackFn unpack;
};

const uint32_t STORAGE_METHOD_COUNT = 3;
extern const StorageMethod STORAGE_METHODS[STORAGE_METHOD_COUNT];

// True exactly for the ids in the table.
bool isKnownMethod(uint32_t id);
// The unpack operation of the first row with this id; null when there is none.
UnpackFn findUnpackOp(uint32_t id);
