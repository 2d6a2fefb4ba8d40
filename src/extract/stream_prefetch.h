// Decoding solid streams ahead of the extraction, on another processor. While the extraction
// decodes one stream and writes its files, a helper thread decodes a later stream into
// memory; when the extraction reaches that stream, it writes the members from there as the
// bytes arrive (lzma2AdoptDecoded) and decodes the stream after it itself, while a helper
// takes the next one again. The helpers touch no file and no journal: every directory and
// file is still made by the extraction, in package order, exactly as without them. A stream
// that cannot be held in memory, or a run on one processor, is decoded by the extraction
// itself, as before; a stream a helper finds corrupt fails its member as it would have.
#pragma once

#include <stdint.h>
#include <windows.h>

#include "package/package_reader.h"

// The largest stream decoded by a helper: its unpacked bytes are held in memory whole.
const uint32_t PREFETCH_MAX_UNPACKED = 64u << 20;
// Helpers at once: one finishing the stream being written, one on a later stream.
const uint32_t PREFETCH_HELPERS = 2;
// How long the extraction sleeps at a time when it is ahead of its helper.
const DWORD PREFETCH_POLL_MS = 1;

// One helper and the stream it decodes.
struct PrefetchSlot {
    HANDLE thread;            // null when the slot is free
    const uint8_t* stream;    // the stream's data: its first member's
    uint32_t packedSize;
    uint32_t unpackedSize;
    uint8_t* output;          // unpackedSize bytes from malloc
    volatile LONG ready;      // bytes of `output` that are final, published by the helper
    volatile LONG decoded;    // set by the helper at its end: the stream ended right
};

struct StreamPrefetch {
    bool enabled;  // more than one processor
    PrefetchSlot slots[PREFETCH_HELPERS];
};

void prefetchBegin(StreamPrefetch* prefetch);

// At the first member of a solid stream (`head`; `next` is the package offset behind its
// entry): lets go of the streams already written, hands this one to the extraction's unpack
// operation when a helper has it, and sets a helper on a later stream.
void prefetchAtStream(StreamPrefetch* prefetch, const uint8_t* package, uint32_t size, uint32_t next,
                      const FileEntry* head);

// Waits for every helper and frees what they made.
void prefetchEnd(StreamPrefetch* prefetch);
