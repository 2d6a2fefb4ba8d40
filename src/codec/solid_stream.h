// A solid stream: the files of consecutive package entries, concatenated, optionally run
// through the x86 branch filter, and compressed as one LZMA2 stream, so that each file's bytes
// serve as dictionary for the next. It is stored as the data of the first of those entries,
// behind a fixed header; the entries that follow it carry no data of their own and take their
// bytes, in order, from where the previous one stopped.
//
// Header, all integers unsigned 32-bit little-endian:
//   0  member count     the number of consecutive entries the stream feeds (at least 1)
//   4  unpacked size    the sum of their unpacked sizes
//   8  dictionary size  the LZMA2 dictionary: 4 KiB to 64 MiB, a multiple of 4 KiB
//  12  filter           0 none, 1 the x86 branch filter over the whole stream, 2 the x86
//                       branch filter restarted at each member (offset 0 at its first byte)
//  16  with filter 2 only: each member's unpacked size, in order, 4 bytes each
//   .. the LZMA2 chunks, ending with the end marker at the data's last byte
//
// With filter 2 a member's code is filtered as if it stood alone, as it does in memory: its
// branch targets come out the same wherever the member lies in the stream, which compresses
// better when many executables share code. The sizes tell the reader where to restart.
#pragma once

#include <stdint.h>

#include "codec/lzma2_decoder.h"
#include "codec/x86_branch_filter.h"

const uint32_t SOLID_HEADER_SIZE = 16;
const uint32_t SOLID_DICTIONARY_MIN = 4096;
const uint32_t SOLID_DICTIONARY_MAX = 64u << 20;
const uint32_t SOLID_DICTIONARY_GRAIN = 4096;
const uint32_t SOLID_FILTER_NONE = 0;
const uint32_t SOLID_FILTER_X86 = 1;
const uint32_t SOLID_FILTER_X86_EACH_MEMBER = 2;

struct SolidStreamHeader {
    uint32_t memberCount;
    uint32_t unpackedSize;
    uint32_t dictionarySize;
    uint32_t filter;
    uint32_t chunksOffset;        // where the LZMA2 chunks begin
    const uint8_t* memberSizes;   // filter 2: the members' sizes in the stream; else null
    uint32_t dictionaryResets;    // chunks that reset the dictionary: the first, and any later
};

// Reads and checks the header of the stream in `data` (`size` bytes) and walks its chunk
// heads: every field in range, the member sizes (if any) adding up to the unpacked size, the chunks in a valid order, their sizes adding up to the
// unpacked size, the end marker at the last byte. Decodes nothing.
bool readSolidStreamHeader(const uint8_t* data, uint32_t size, SolidStreamHeader* header);

// Waits until the first `wanted` bytes of a stream decoded elsewhere are there and returns
// how many are (at least `wanted`), or 0 when they never will be. A `wanted` beyond the
// stream's size asks whether the whole stream was decoded and ended where its header says:
// the size when it did, 0 when not.
typedef uint32_t (*DecodedWaitFn)(void* state, uint32_t wanted);

// The decoded, unfiltered bytes wait here until they are final.
const uint32_t SOLID_STAGING_SIZE = 1u << 16;

// Reading one stream from its start to its end. The dictionary is taken from the heap at
// open, at the size the header declares, and given back at close.
struct SolidStreamReader {
    SolidStreamHeader header;
    Lzma2Decoder decoder;
    X86BranchFilter filter;
    uint8_t* dictionary;   // null while the reader is not open; a stream decoded elsewhere: its bytes
    bool ownsDictionary;   // taken at open, given back at close; else the caller's
    uint32_t delivered;    // bytes handed out so far
    uint32_t ready;        // staging[next, ready) is final
    uint32_t next;
    uint32_t filled;       // staging[ready, filled) waits for the filter
    // Filter 2: the member whose bytes start at staging[ready], and how many of its bytes are
    // not final yet.
    uint32_t member;
    uint32_t memberLeft;
    bool decoderEnded;
    bool failed;
    // A stream decoded elsewhere (solidStreamOpenDecoded): its bytes as the decoder left them,
    // before the filter; `taken` of them are in the staging buffer or handed out.
    const uint8_t* decoded;
    DecodedWaitFn decodedWait;
    void* decodedWaitState;
    uint32_t taken;
    uint8_t staging[SOLID_STAGING_SIZE];
};

// The dictionary a reader of the stream takes: the declared size, or less when the stream
// holds less (rounded up to the grain, at least the minimum).
uint32_t solidDictionaryNeeded(const SolidStreamHeader* header);

// Checks the stream as readSolidStreamHeader does and sets the reader up; false when the
// stream is refused or its dictionary cannot be had (nothing is held then).
bool solidStreamOpen(SolidStreamReader* reader, const uint8_t* data, uint32_t size);

// The same in a dictionary the caller lends, `capacity` bytes, which must be at least what
// solidDictionaryNeeded says (false otherwise): it stays the caller's, and may serve one
// stream after another without the system handing out fresh pages each time.
bool solidStreamOpenIn(SolidStreamReader* reader, const uint8_t* data, uint32_t size, uint8_t* dictionary,
                       uint32_t capacity);

// Reads the stream whose data is `data` from bytes another thread decodes (a SolidFlatDecoder's
// buffer), in order from its start, as `wait` (with `state`) says they are there; with `wait`
// null all of them are, and the stream was found to end where it says. The reader runs the
// branch filter over its own copy of them, so they are never written. False when the header
// is refused.
bool solidStreamOpenDecoded(SolidStreamReader* reader, const uint8_t* data, uint32_t size, const uint8_t* decoded,
                            DecodedWaitFn wait, void* state);

// The next bytes of the stream, at most `maximum`: `*bytes` points at them inside the reader,
// valid until the next call. Returns their count, 0 once the declared size has been handed out,
// or -1 when the stream is corrupt (for good: every later call fails too).
int32_t solidStreamNext(SolidStreamReader* reader, const uint8_t** bytes, uint32_t maximum);

// True when every declared byte was handed out and the stream ended right there, with nothing
// more in it.
bool solidStreamFinished(SolidStreamReader* reader);

// Gives back the dictionary if the reader took it. Safe to call on a reader that is closed or was never opened.
void solidStreamClose(SolidStreamReader* reader);

// Decoding a whole stream into one buffer the caller lends, at least solidFlatCapacity bytes,
// which is the decoder's dictionary as well: the stream needs no window of its own, and no
// byte is copied. The bytes are the decoder's, before the branch filter (a reader opened with
// solidStreamOpenDecoded runs it); the same streams fail as in a SolidStreamReader, as a match
// reaches no further back than the stream's dictionary. A stream that resets its dictionary
// after the first chunk is refused at open (it would need the window); the reader takes it.
struct SolidFlatDecoder {
    SolidStreamHeader header;
    uint32_t decoded;     // the buffer's first `decoded` bytes are the stream's
    bool ended;           // the end marker was read
    bool failed;
    Lzma2Decoder decoder;
};

// The buffer a flat decoder of the stream needs: a little more than its unpacked size.
uint32_t solidFlatCapacity(const SolidStreamHeader* header);

// Checks the stream as readSolidStreamHeader does and sets the decoder up over `buffer`
// (`capacity` bytes); false when the stream is refused, resets its dictionary later than at its
// first chunk, or does not fit.
bool solidFlatOpen(SolidFlatDecoder* flat, const uint8_t* data, uint32_t size, uint8_t* buffer,
                   uint32_t capacity);

// Decodes up to `limit` more bytes; once all are there, reads the end marker. False when the
// stream is corrupt, for good.
bool solidFlatStep(SolidFlatDecoder* flat, uint32_t limit);

// True when every declared byte was decoded and the stream ended right there.
bool solidFlatFinished(const SolidFlatDecoder* flat);
