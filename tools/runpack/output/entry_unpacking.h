// Unpacking one package entry on the host, for verify and extract: the bytes stream through
// SHA-1 and, when asked, on into a file, piece by piece as they are decoded. Memory does not
// depend on the size an entry declares, and a declared size that the packed bytes cannot
// yield is refused before anything is decoded.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "codec/lzhuf_model.h"
#include "codec/solid_stream.h"
#include "package/package_reader.h"

// The most bytes an LZHUF stream of `packedSize` bytes can produce: 48 per packed byte.
uint64_t lzhufMaxUnpackedSize(uint32_t packedSize);

// Where the unpacked bytes go besides the digest. `write` takes `count` bytes (never 0) and
// returns false, with a message naming what failed, when it cannot store them.
struct EntryWriter {
    bool (*write)(void* state, const uint8_t* bytes, size_t count, std::string* error);
    void* state;
};

// Told now and then (every INPUT_REPORT_BYTES or so, and at the end of each entry) how far the
// packed bytes have been read: everything before `position` will not be read again. The
// caller drops those pages of a mapped package and counts progress.
struct InputProgress {
    void (*reached)(void* state, const uint8_t* position);
    void* state;
};
const uint32_t INPUT_REPORT_BYTES = 1u << 20;

// The solid stream that METHOD_LZMA2 entries are read from: the caller hands every entry of
// that method to unpackEntry in package order, each member after the one before it.
struct SolidCursor {
    SolidStreamReader reader;  // large: keep the cursor on the heap
    bool open = false;
    uint32_t membersLeft = 0;
    const uint8_t* dataEnd = nullptr;    // behind the open stream's data
    const uint8_t* reported = nullptr;   // how far InputProgress was told
    SolidCursor() { reader.dictionary = nullptr; }
    ~SolidCursor() { solidStreamClose(&reader); }
    SolidCursor(const SolidCursor&) = delete;
    SolidCursor& operator=(const SolidCursor&) = delete;
};

// Unpacks `entry` with `context` (one per thread), hands its bytes in order to `writer`
// (optional), and checks that exactly the unpacked size came out and that its SHA-1 is the
// entry's. A METHOD_LZMA2 entry needs `solid`. False with a message otherwise; the writer may
// then have received part of the bytes.
// `progress` (optional) hears how far the packed bytes were read. Without `checkDigest` the
// content's SHA-1 is neither computed nor compared (the sizes still are): for a second pass
// over bytes that a first one checked and that cannot have changed since.
bool unpackEntry(LzhufContext* context, const FileEntry& entry, const EntryWriter* writer, std::string* error,
                 SolidCursor* solid = nullptr, const InputProgress* progress = nullptr, bool checkDigest = true);
