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

uint32_t memberSize(const SolidStreamReader* r, uint32_t member)
{
    return loadLittleEndian32(r->header.memberSizes + 4 * member);
}

// Runs the filter over staging[ready, filled) one member at a time: a member's last bytes,
// which hold no whole instruction, are final as they are, and the next member starts the
// filter afresh.
void filterMembers(SolidStreamReader* r)
{
    while (r->member < r->header.memberCount) {
        uint32_t waiting = r->filled - r->ready;
        if (r->memberLeft > waiting) {
            uint32_t done = x86FilterDecode(&r->filter, r->staging + r->ready, waiting);
            r->ready += done;
            r->memberLeft -= done;
            return;
        }
        x86FilterDecode(&r->filter, r->staging + r->ready, r->memberLeft);
        r->ready += r->memberLeft;
        if (++r->member < r->header.memberCount) {
            r->memberLeft = memberSize(r, r->member);
        }
        x86FilterBegin(&r->filter, 0);
    }
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
    while (r->filled < SOLID_STAGING_SIZE && !r->decoderEnded) {
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
    if (r->header.filter == SOLID_FILTER_X86_EACH_MEMBER) {
        filterMembers(r);
    } else if (r->header.filter == SOLID_FILTER_X86 && !r->decoderEnded) {
        r->ready = x86FilterDecode(&r->filter, r->staging, r->filled);
    } else if (r->header.filter == SOLID_FILTER_X86) {
        // At the end the last few bytes can hold no whole instruction and stay as they are.
        r->ready = x86FilterDecode(&r->filter, r->staging, r->filled);
        r->filter.position += r->filled - r->ready;
        r->ready = r->filled;
    } else {
        r->ready = r->filled;
    }
    return true;
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
    if (!lzma2CheckChunks(data + read.chunksOffset, size - read.chunksOffset, &chunksUnpacked) ||
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
    x86FilterBegin(&reader->filter, 0);
    reader->member = 0;
    reader->memberLeft = reader->header.memberSizes != nullptr ? memberSize(reader, 0) : 0;
    reader->delivered = 0;
    reader->ready = 0;
    reader->next = 0;
    reader->filled = 0;
    reader->decoderEnded = false;
    reader->failed = false;
    return true;
}

bool solidStreamOpen(SolidStreamReader* reader, const uint8_t* data, uint32_t size)
{
    return solidStreamOpenIn(reader, data, size, nullptr, 0);
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
}
