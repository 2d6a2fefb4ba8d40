// The solid stream's header check and its reader: LZMA2 into the dictionary, the new bytes
// into the staging buffer, the branch filter over them, and out.
#include "codec/solid_stream.h"

#include <stdlib.h>
#include <string.h>

namespace {

uint32_t loadLittleEndian32(const uint8_t* bytes)
{
    return (uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8) | ((uint32_t)bytes[2] << 16) |
           ((uint32_t)bytes[3] << 24);
}

uint32_t memberSize(const SolidStreamHeader* header, uint32_t member)
{
    return loadLittleEndian32(header->memberSizes + 4 * member);
}

// Runs the stream's filter over `bytes` (`size` of them), which follow the stream's bytes
// already final; returns how many of them are final now. The x86 filter keeps back the last
// few bytes that may begin an instruction, unless the stream (`atEnd`) or, with filter 2, the
// member ends with them: a member's last bytes, which hold no whole instruction, are final as
// they are, and the next member starts the filter afresh.
uint32_t filterStretch(const SolidStreamHeader* header, X86BranchFilter* filter, uint32_t* member,
                       uint32_t* memberLeft, uint8_t* bytes, uint32_t size, bool atEnd)
{
    if (header->filter == SOLID_FILTER_NONE) {
        return size;
    }
    if (header->filter == SOLID_FILTER_X86) {
        uint32_t done = x86FilterDecode(filter, bytes, size);
        if (atEnd) {
            filter->position += size - done;
            done = size;
        }
        return done;
    }
    uint32_t done = 0;
    while (*member < header->memberCount) {
        uint32_t waiting = size - done;
        if (*memberLeft > waiting) {
            uint32_t final = x86FilterDecode(filter, bytes + done, waiting);
            *memberLeft -= final;
            return done + final;
        }
        x86FilterDecode(filter, bytes + done, *memberLeft);
        done += *memberLeft;
        if (++*member < header->memberCount) {
            *memberLeft = memberSize(header, *member);
        }
        x86FilterBegin(filter, 0);
    }
    return done;
}

// How many of the bytes decoded elsewhere are there (see DecodedWaitFn).
uint32_t decodedThere(const SolidStreamReader* r, uint32_t wanted)
{
    if (r->decodedWait == nullptr) {
        return wanted <= r->header.unpackedSize + 1 ? r->header.unpackedSize : 0;
    }
    return r->decodedWait(r->decodedWaitState, wanted);
}

// The next of the bytes decoded elsewhere into the staging buffer, as many as are there and
// fit; once all are taken, whether the stream ended right behind them. False when it is
// corrupt.
bool takeDecoded(SolidStreamReader* r)
{
    uint32_t size = r->header.unpackedSize;
    if (r->taken == size) {
        r->decoderEnded = decodedThere(r, size + 1) == size;
        return r->decoderEnded;
    }
    uint32_t there = decodedThere(r, r->taken + 1);
    if (there <= r->taken || there > size) {
        return false;
    }
    uint32_t count = there - r->taken;
    if (count > SOLID_STAGING_SIZE - r->filled) {
        count = SOLID_STAGING_SIZE - r->filled;
    }
    memcpy(r->staging + r->filled, r->decoded + r->taken, count);
    r->filled += count;
    r->taken += count;
    return true;
}

// Decodes into the staging buffer behind what waits there and runs the filter over it, until
// something is final or the stream has ended. False when the stream is corrupt.
bool refill(SolidStreamReader* r)
{
    // What the filter left over moves to the front.
    uint32_t waiting = r->filled - r->ready;
    memmove(r->staging, r->staging + r->ready, waiting);
    r->filled = waiting;
    r->ready = 0;
    r->next = 0;
    while (r->filled < SOLID_STAGING_SIZE && !r->decoderEnded && r->decoded != nullptr) {
        if (!takeDecoded(r)) {
            return false;
        }
        // Bytes that arrive while the decoder still works go out at once: five are enough for
        // the filter to make one final.
        if (r->filled > (r->header.filter == SOLID_FILTER_NONE ? 0u : 4u)) {
            break;
        }
    }
    while (r->filled < SOLID_STAGING_SIZE && !r->decoderEnded && r->decoded == nullptr) {
        uint32_t start = r->decoder.dictionaryPosition == r->decoder.dictionarySize
                             ? 0 : r->decoder.dictionaryPosition;
        uint32_t produced = 0;
        Lzma2Status status = lzma2Decode(&r->decoder, SOLID_STAGING_SIZE - r->filled, &produced);
        if (status == LZMA2_ERROR) {
            return false;
        }
        // A dictionary reset inside this call starts the bytes at 0.
        if (r->decoder.dictionaryPosition < start + produced) {
            start = r->decoder.dictionaryPosition - produced;
        }
        memcpy(r->staging + r->filled, r->dictionary + start, produced);
        r->filled += produced;
        if (status == LZMA2_END) {
            r->decoderEnded = true;
        } else if (produced == 0) {
            return false;
        }
        if (r->filled - r->ready > 0 && r->header.filter == SOLID_FILTER_NONE) {
            break;
        }
    }
    r->ready = filterStretch(&r->header, &r->filter, &r->member, &r->memberLeft, r->staging, r->filled,
                             r->decoderEnded);
    return true;
}

// The reader's state at the stream's first byte, its header read.
void startReading(SolidStreamReader* r)
{
    x86FilterBegin(&r->filter, 0);
    r->member = 0;
    r->memberLeft = r->header.memberSizes != nullptr ? memberSize(&r->header, 0) : 0;
    r->delivered = 0;
    r->ready = 0;
    r->next = 0;
    r->filled = 0;
    r->decoderEnded = false;
    r->failed = false;
}

}  // namespace

bool readSolidStreamHeader(const uint8_t* data, uint32_t size, SolidStreamHeader* header)
{
    if (data == nullptr || size < SOLID_HEADER_SIZE) {
        return false;
    }
    SolidStreamHeader read;
    read.memberCount = loadLittleEndian32(data);
    read.unpackedSize = loadLittleEndian32(data + 4);
    read.dictionarySize = loadLittleEndian32(data + 8);
    read.filter = loadLittleEndian32(data + 12);
    if (read.memberCount == 0 || read.dictionarySize < SOLID_DICTIONARY_MIN ||
        read.dictionarySize > SOLID_DICTIONARY_MAX || read.dictionarySize % SOLID_DICTIONARY_GRAIN != 0 ||
        read.filter > SOLID_FILTER_X86_EACH_MEMBER) {
        return false;
    }
    read.chunksOffset = SOLID_HEADER_SIZE;
    read.memberSizes = nullptr;
    if (read.filter == SOLID_FILTER_X86_EACH_MEMBER) {
        if (read.memberCount > (size - SOLID_HEADER_SIZE) / 4) {
            return false;
        }
        read.memberSizes = data + SOLID_HEADER_SIZE;
        read.chunksOffset += 4 * read.memberCount;
        uint64_t sum = 0;
        for (uint32_t i = 0; i < read.memberCount; ++i) {
            sum += loadLittleEndian32(read.memberSizes + 4 * i);
        }
        if (sum != read.unpackedSize) {
            return false;
        }
    }
    uint64_t chunksUnpacked = 0;
    if (!lzma2CheckChunks(data + read.chunksOffset, size - read.chunksOffset, &chunksUnpacked,
                          &read.dictionaryResets) ||
        chunksUnpacked != read.unpackedSize) {
        return false;
    }
    if (header != nullptr) {
        *header = read;
    }
    return true;
}

uint32_t solidDictionaryNeeded(const SolidStreamHeader* header)
{
    // No stream needs a dictionary larger than what it holds; the declared size is only an
    // upper bound.
    uint32_t dictionarySize = header->dictionarySize;
    if (header->unpackedSize < dictionarySize) {
        uint32_t rounded = (header->unpackedSize + SOLID_DICTIONARY_GRAIN - 1) / SOLID_DICTIONARY_GRAIN *
                           SOLID_DICTIONARY_GRAIN;
        dictionarySize = rounded < SOLID_DICTIONARY_MIN ? SOLID_DICTIONARY_MIN : rounded;
    }
    return dictionarySize;
}

bool solidStreamOpenIn(SolidStreamReader* reader, const uint8_t* data, uint32_t size, uint8_t* dictionary,
                       uint32_t capacity)
{
    reader->dictionary = nullptr;
    reader->decoded = nullptr;
    reader->ownsDictionary = dictionary == nullptr;
    if (!readSolidStreamHeader(data, size, &reader->header)) {
        return false;
    }
    uint32_t dictionarySize = solidDictionaryNeeded(&reader->header);
    if (dictionary == nullptr) {
        dictionary = (uint8_t*)malloc(dictionarySize);
    } else if (capacity < dictionarySize) {
        return false;
    }
    if (dictionary == nullptr) {
        return false;
    }
    reader->dictionary = dictionary;
    lzma2Begin(&reader->decoder, data + reader->header.chunksOffset, size - reader->header.chunksOffset,
               reader->dictionary, dictionarySize);
    startReading(reader);
    return true;
}

bool solidStreamOpen(SolidStreamReader* reader, const uint8_t* data, uint32_t size)
{
    return solidStreamOpenIn(reader, data, size, nullptr, 0);
}

bool solidStreamOpenDecoded(SolidStreamReader* reader, const uint8_t* data, uint32_t size, const uint8_t* decoded,
                            DecodedWaitFn wait, void* state)
{
    reader->dictionary = nullptr;
    reader->decoded = nullptr;
    reader->ownsDictionary = false;
    if (decoded == nullptr || !readSolidStreamHeader(data, size, &reader->header)) {
        return false;
    }
    // The bytes stand where the window would: the reader only reads them.
    reader->dictionary = const_cast<uint8_t*>(decoded);
    reader->decoded = decoded;
    reader->decodedWait = wait;
    reader->decodedWaitState = state;
    reader->taken = 0;
    startReading(reader);
    return true;
}

int32_t solidStreamNext(SolidStreamReader* reader, const uint8_t** bytes, uint32_t maximum)
{
    if (reader->dictionary == nullptr || reader->failed) {
        return -1;
    }
    uint32_t left = reader->header.unpackedSize - reader->delivered;
    if (left == 0 || maximum == 0) {
        return 0;
    }
    if (reader->next == reader->ready) {
        if (!refill(reader) || reader->ready == 0) {
            // A stream that ends before its declared size is corrupt.
            reader->failed = true;
            return -1;
        }
    }
    uint32_t count = reader->ready - reader->next;
    if (count > left) {
        count = left;
    }
    if (count > maximum) {
        count = maximum;
    }
    if (count > INT32_MAX) {
        count = INT32_MAX;
    }
    *bytes = reader->staging + reader->next;
    reader->next += count;
    reader->delivered += count;
    return (int32_t)count;
}

bool solidStreamFinished(SolidStreamReader* reader)
{
    if (reader->dictionary == nullptr || reader->failed ||
        reader->delivered != reader->header.unpackedSize || reader->next != reader->filled) {
        return false;
    }
    if (!reader->decoderEnded && reader->decoded != nullptr) {
        reader->decoderEnded = reader->taken == reader->header.unpackedSize && takeDecoded(reader);
        return reader->decoderEnded;
    }
    if (!reader->decoderEnded) {
        uint32_t produced = 0;
        if (lzma2Decode(&reader->decoder, 1, &produced) != LZMA2_END || produced != 0) {
            return false;
        }
        reader->decoderEnded = true;
    }
    return true;
}

void solidStreamClose(SolidStreamReader* reader)
{
    // A reader never opened has no dictionary, and its other fields may be anything.
    if (reader->dictionary != nullptr && reader->ownsDictionary) {
        free(reader->dictionary);
    }
    reader->dictionary = nullptr;
    reader->decoded = nullptr;
}

uint32_t solidFlatCapacity(const SolidStreamHeader* header)
{
    // A multiple of 16 and at least the smallest dictionary, as the decoder's dictionary must
    // be, and more than the stream: the check for its end marker may write one byte behind it.
    uint32_t capacity = (header->unpackedSize | 15u) + 1u;
    return capacity > SOLID_DICTIONARY_MIN ? capacity : SOLID_DICTIONARY_MIN;
}

bool solidFlatOpen(SolidFlatDecoder* flat, const uint8_t* data, uint32_t size, uint8_t* buffer,
                   uint32_t capacity)
{
    flat->failed = true;
    if (!readSolidStreamHeader(data, size, &flat->header) || flat->header.unpackedSize > UINT32_MAX - 16 ||
        capacity < solidFlatCapacity(&flat->header) || flat->header.dictionaryResets > 1) {
        return false;
    }
    lzma2Begin(&flat->decoder, data + flat->header.chunksOffset, size - flat->header.chunksOffset, buffer,
               solidFlatCapacity(&flat->header));
    // Matches reach as far back as in the stream's own dictionary, and no further.
    flat->decoder.historyLimit = solidDictionaryNeeded(&flat->header);
    flat->decoded = 0;
    flat->ended = false;
    flat->failed = false;
    return true;
}

bool solidFlatStep(SolidFlatDecoder* flat, uint32_t limit)
{
    if (flat->failed || flat->ended) {
        return !flat->failed;
    }
    uint32_t left = flat->header.unpackedSize - flat->decoded;
    uint32_t produced = 0;
    Lzma2Status status = lzma2Decode(&flat->decoder, left == 0 ? 1 : left < limit ? left : limit, &produced);
    if (left == 0) {
        // Every declared byte is there: the end marker must follow at once.
        flat->failed = status != LZMA2_END || produced != 0;
        flat->ended = true;
    } else {
        flat->decoded += produced;
        flat->failed = status != LZMA2_OK || produced == 0;
    }
    return !flat->failed;
}

bool solidFlatFinished(const SolidFlatDecoder* flat)
{
    return !flat->failed && flat->ended && flat->decoded == flat->header.unpackedSize;
}
