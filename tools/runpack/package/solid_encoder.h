// Making solid streams on the host: the files of consecutive package entries compressed as
// one LZMA2 stream behind the stream header the engine reads (codec/solid_stream.h). The
// compressor is liblzma's; where the tool is built without it, no stream can be made.
#pragma once

#include <stdint.h>

#include <mutex>
#include <string>
#include <vector>

// The encoder settings of a level: liblzma's preset, with some of its settings replaced, and
// the size of the level's streams.
struct SolidLevel {
    uint32_t preset;
    bool extreme;               // the preset's slower variant
    uint32_t dictionary;        // bytes; 0 keeps the preset's
    int32_t positionBits;       // pb; -1 keeps the preset's
    int32_t codeLiteralBits;    // lc of streams through the x86 filter; -1 keeps the preset's
    uint64_t streamTarget;      // bytes of files per stream, see planSolidStreams
    bool filterEachMember;      // the x86 filter restarted at each file (stream filter 2)
    uint32_t codeNiceLength;    // nice_len of streams through the x86 filter; 0 keeps the preset's
    uint32_t codeDepth;         // the match finder's depth there; 0 keeps the preset's
    bool segmented;             // streams of large files made in segments (solidSegmentCount)
};

// fast and best make streams of 8 and 16 MiB of files, so that the engine can decode a
// package's streams on several processors; max makes them of 64 MiB, for the smallest package.
// Past fast, pb=0 and, for x86 code, lc=2 (from lc=3, pb=2) make DLLs about 0.5 % and text
// about 0.15 % smaller at no cost in speed.
// max also restarts the x86 filter at each file: a DLL's calls then read the same in every
// copy of shared code, whatever the file's place in the stream (0.4 % smaller on DLLs; engines
// before this filter do not read such streams); and on x86 code it stops a match at 140 bytes
// instead of 273 and follows the match finder's chains four times as deep, 0.1 % smaller again
// (on text a shorter nice length only costs).
// fast and best make the stream of a large file in segments; max, for the smallest package,
// never.
const SolidLevel SOLID_LEVEL_FAST = {1, false, 0, -1, -1, 8u << 20, false, 0, 0, true};
const SolidLevel SOLID_LEVEL_BEST = {6, false, 0, 0, 2, 16u << 20, false, 0, 0, true};
const SolidLevel SOLID_LEVEL_MAX = {9, true, 64u << 20, 0, 2, 64u << 20, true, 140, 2000, false};

// True when this build of the tool can make solid streams.
bool solidEncoderAvailable();

// How many bytes of files one stream of `level` holds, about: each stream's dictionary only
// ever sees its own files, and the streams are compressed, and decoded by the engine, on
// separate threads.
uint64_t solidStreamTarget(SolidLevel level);

// A stream's members: `count` consecutive entries from `first`.
struct SolidStreamSpan {
    size_t first;
    size_t count;
};

// The streams of a package whose entries have `sizes` and of which `solid` ones are packed
// solid. Each run of consecutive solid entries is split into round(run's bytes / target)
// streams (at least one), cut at the file boundaries nearest to equal shares of the run, and
// wherever a stream would reach 4 GiB. The plan follows from the sizes alone: the same files
// give the same streams on every machine, whatever the number of threads that pack them.
std::vector<SolidStreamSpan> planSolidStreams(const std::vector<uint64_t>& sizes, const std::vector<bool>& solid,
                                              uint64_t target);

// A stream can be compressed in segments, on several threads at once: the stream's bytes
// (after the x86 filter) are cut into `count` pieces (solidSegmentEnds), and each piece after
// the first is compressed by a compressor of its own that starts with the dictionary's worth of
// bytes before it as its dictionary. Its chunks begin by resetting the coder's state, not the
// dictionary, so the pieces joined are one stream that any decoder reads as if it had been made
// in one go. A piece costs the compressor's pass over its starting dictionary (at the default
// level 0.6 to 0.85 of the time it takes to compress as many bytes) and a little in size; the
// cut follows from the stream's size alone, never from the number of threads.
// The threads a build can lend to segments beside the one packing each stream: shared by all
// of its streams, so that it never runs more compressors at once than it has threads.
struct SolidThreadPool {
    std::mutex lock;
    unsigned spare = 0;
    // Up to `most` threads, or none.
    unsigned take(unsigned most);
    void give(unsigned count);
};

struct SolidSegments {
    uint32_t count = 1;              // 1: the stream is made in one piece
    unsigned threads = 1;            // how many pieces are compressed at once, at most
    SolidThreadPool* pool = nullptr;  // where the threads beyond the first come from; none: all of them
};

// How many segments a stream of `bytes` is made in at `level`: one, but for a stream above
// two stream targets, which the plan could not cut (it holds a large file): segments of about
// one target, so that the build uses every processor on it.
uint32_t solidSegmentCount(SolidLevel level, uint64_t bytes);

// Where the `count` segments of a stream of `bytes` end: equal shares, each but the last at a
// multiple of 16.
std::vector<uint64_t> solidSegmentEnds(uint64_t bytes, uint32_t count);

// Whether the x86 branch filter pays for these members: when most of their bytes are in
// Windows executables (files that begin with "MZ").
bool solidWantsX86Filter(const std::vector<const std::vector<uint8_t>*>& members);

// The same from each member's size and whether it begins with "MZ".
bool solidWantsX86Filter(const std::vector<std::pair<uint64_t, bool>>& members);

// Where a stream's members come from, piece by piece: `read` puts the next bytes of member
// `member` (0, 1, ... in order) at `buffer`, at most `capacity`, and sets `got` to their count,
// 0 at the member's end. False with a message when they cannot be read.
struct SolidMemberReader {
    bool (*read)(void* state, size_t member, uint8_t* buffer, size_t capacity, size_t* got, std::string* error);
    void* state;
};

// The stream of `memberCount` members of `total` bytes together, read through `reader`: the
// bytes encodeSolidStream makes from the same members in memory. False with a message when
// the members do not add up to `total`, or as encodeSolidStream.
bool encodeSolidStreamFrom(size_t memberCount, uint64_t total, SolidLevel level, bool x86Filter,
                           const SolidMemberReader& reader, std::vector<uint8_t>* stream, std::string* error,
                           SolidSegments segments = SolidSegments());

// The stream of `members`, in order: header, the members' sizes where the level restarts the
// x86 filter at each one, and LZMA2 chunks. The dictionary is the level's, or less when the
// members are smaller. False with a message when the members add up to 4 GiB
// or more, or the compressor fails.
bool encodeSolidStream(const std::vector<const std::vector<uint8_t>*>& members, SolidLevel level, bool x86Filter,
                       std::vector<uint8_t>* stream, std::string* error);
