// Making solid streams on the host: the files of consecutive package entries compressed as
// one LZMA2 stream behind the stream header the engine reads (codec/solid_stream.h). The
// compressor is liblzma's; where the tool is built without it, no stream can be made.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// The encoder settings of a level: liblzma's preset number.
struct SolidLevel {
    uint32_t preset;
};

const SolidLevel SOLID_LEVEL_FAST = {1};
const SolidLevel SOLID_LEVEL_BEST = {6};

// True when this build of the tool can make solid streams.
bool solidEncoderAvailable();

// How many bytes of files one stream should hold at least at `level` before the next one
// starts: the streams are compressed on separate threads, and each one's dictionary only ever
// sees its own.
uint64_t solidStreamTarget(SolidLevel level);

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
                           const SolidMemberReader& reader, std::vector<uint8_t>* stream, std::string* error);

// The stream of `members`, in order: header and LZMA2 chunks. The dictionary is the level's,
// or less when the members are smaller. False with a message when the members add up to 4 GiB
// or more, or the compressor fails.
bool encodeSolidStream(const std::vector<const std::vector<uint8_t>*>& members, SolidLevel level, bool x86Filter,
                       std::vector<uint8_t>* stream, std::string* error);
