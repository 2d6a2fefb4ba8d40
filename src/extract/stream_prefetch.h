// Decoding solid streams ahead of the extraction, on the other processors. Helper threads,
// as many at once as the process has processors, each decode a later stream into memory,
// in package order, while the extraction writes the files of the current one; when the
// extraction reaches a stream a helper has, it writes the members from there as the bytes
// arrive (lzma2AdoptDecoded). The helpers touch no file and no journal: every directory and
// file is still made by the extraction, in package order, exactly as without them.
//
// The streams held in memory are always the current one and those right behind it, and
// together they take at most the memory cap. A stream that cannot be had ahead (larger than
// the cap, memory or a thread refused, a header the decoder refuses, a dictionary reset
// after the first chunk) stops the look-ahead there; when the extraction reaches it, it
// decodes it itself, with no helper holding memory, as on one processor, and the look-ahead
// goes on behind it. A stream a helper finds corrupt fails the member its damage lies in:
// the member that fails without helpers, or, where the extraction's own decoder would have
// lost the bytes of its last stretch before the damage, the one after it.
#pragma once

#include <stdint.h>

#include "codec/solid_stream.h"
#include "package/package_reader.h"
#include "platform/threads.h"

// Streams held at once, at most: decoding, or decoded and waiting to be written.
const uint32_t PREFETCH_SLOTS = 32;
// The memory all helpers may hold together: their streams' decoded bytes and decoders, and
// what the slots keep for the next streams. An eighth of the 32-bit engine's 2 GiB of address
// space: ten streams of 24 MiB, more than one thread can write as fast as they are decoded.
// Never more than half of what is free when the package is first looked at (it is mapped
// whole): the rest stays for the extraction's own decoder, the files' buffers and the system.
const uint32_t PREFETCH_MEMORY_CAP = 256u << 20;
// The bytes a helper decodes between two publications of its progress.
const uint32_t PREFETCH_STRETCH = 1u << 16;

// How far a helper's stream has come.
const uint32_t PREFETCH_DECODING = 0;
const uint32_t PREFETCH_ENDED = 1;   // every byte decoded, and the stream ended right there
const uint32_t PREFETCH_FAILED = 2;  // corrupt, or cancelled: `ready` bytes are all there will be

struct StreamPrefetch;

// One helper and the stream it decodes. `ready`, `state` and `cancel` are shared with the
// helper; the rest is set before it starts. The helper decodes the stream straight into
// `output`, which is its dictionary too (solidFlatOpen): a stream ahead takes its own size in
// memory and nothing more. The decoder and the output stay with the slot from one stream to
// the next (an output an eighth larger than its first stream, where the cap allows, so that
// the next stream of about that size fits): every fresh page is one the system must find and
// clear, which costs here about a fifth of what decoding the page's bytes does.
struct PrefetchSlot {
    ThreadHandle thread;      // null when the slot has no stream
    StreamPrefetch* owner;
    const uint8_t* stream;    // the stream's data: its first member's
    SolidFlatDecoder* decoder;
    uint8_t* output;          // the decoded bytes: unpackedSize of them are this stream's
    uint32_t outputCapacity;
    uint32_t unpackedSize;
    uint32_t ready;           // bytes of `output` decoded
    uint32_t state;           // PREFETCH_DECODING, _ENDED or _FAILED
    uint32_t cancel;          // set by the extraction: stop decoding
};

struct StreamPrefetch {
    const uint8_t* package;
    uint32_t size;
    uint32_t helpers;     // helpers decoding at once; 0: the extraction decodes alone
    uint32_t memoryCap;
    uint32_t lookAhead;   // package offset of the next entry the look-ahead reads
    bool stopped;         // the look-ahead waits until the extraction reaches a later stream
    PrefetchSlot slots[PREFETCH_SLOTS];
};

// Sets up the look-ahead over the package: `processors` helpers at once (none when it is
// 1), holding at most `memoryCap` bytes, and never more than half the free address space.
void prefetchBegin(StreamPrefetch* prefetch, const uint8_t* package, uint32_t size, uint32_t processors,
                   uint32_t memoryCap);

// Starts the look-ahead at the package's first entry, before the extraction reaches it: the
// helpers may decode while the package's digest and structure are still being checked, as
// they only read the package and write their own memory. Entries are read with the same
// bounds as everywhere; a package that proves damaged is simply never extracted, and
// prefetchEnd stops what started.
void prefetchFromStart(StreamPrefetch* prefetch);

// At the first member of a solid stream (`head`; `next` is the package offset behind its
// entry): lets go of the streams already written, hands this one to the extraction's unpack
// operation when a helper has it, and sets helpers on the streams after it.
void prefetchAtStream(StreamPrefetch* prefetch, const FileEntry* head, uint32_t next);

// The memory the slots hold, streams and kept buffers together: never more than the cap.
uint64_t prefetchHeldMemory(const StreamPrefetch* prefetch);

// Stops every helper, waits for them and frees what they made.
void prefetchEnd(StreamPrefetch* prefetch);
