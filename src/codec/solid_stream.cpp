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
    if (r->header.filter == SOLID_FILTER_X86 && !r->decoderEnded) {
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
        read.filter > SOLID_FILTER_X86) {
        return false;
    }
    uint64_t chunksUnpacked = 0;
    if (!lzma2CheckChunks(data + SOLID_HEADER_SIZE, size - SOLID_HEADER_SIZE, &chunksUnpacked) ||
        chunksUnpacked != read.unpackedSize) {
        return false;
    }
    if (header != nullptr) {
        *header = read;
    }
    return true;
}

bool solidStreamOpen(SolidStreamReader* reader, const uint8_t* data, uint32_t size)
{
    reader->dictionary = nullptr;
    if (!readSolidStreamHeader(data, size, &reader->header)) {
        return false;
    }
    // No stream needs a dictionary larger than what it holds; the declared size is only an
    // upper bound.
    uint32_t dictionarySize = reader->header.dictionarySize;
    if (reader->header.unpackedSize < dictionarySize) {
        uint32_t rounded = (reader->header.unpackedSize + SOLID_DICTIONARY_GRAIN - 1) / SOLID_DICTIONARY_GRAIN *
                           SOLID_DICTIONARY_GRAIN;
        dictionarySize = rounded < SOLID_DICTIONARY_MIN ? SOLID_DICTIONARY_MIN : rounded;
    }
    reader->dictionary = (uint8_t*)malloc(dictionarySize);
    if (reader->dictionary == nullptr) {
        return false;
    }
    lzma2Begin(&reader->decoder, data + SOLID_HEADER_SIZE, size - SOLID_HEADER_SIZE,
               reader->dictionary, dictionarySize);
    x86FilterBegin(&reader->filter, 0);
    reader->delivered = 0;
    reader->ready = 0;
    reader->next = 0;
    reader->filled = 0;
    reader->decoderEnded = false;
    reader->failed = false;
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
    free(reader->dictionary);
    reader->dictionary = nullptr;
}
