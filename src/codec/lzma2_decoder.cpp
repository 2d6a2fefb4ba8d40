// The LZMA2 decoder. A chunk begins with a control byte:
//   0x00         the end of the stream
//   0x01, 0x02   stored bytes (0x01 also resets the dictionary), then a 16-bit big-endian size - 1
//   0x80..0xFF   an LZMA run: bits 0-4 are bits 16-20 of the unpacked size - 1, followed by its
//                low 16 bits and the packed size - 1 (both 16-bit big-endian); bits 5-6 say what
//                is reset first: 0 nothing, 1 the coder state, 2 the state with a properties byte
//                following, 3 all that and the dictionary.
// The first chunk must reset the dictionary, and the first LZMA run after a dictionary reset
// must bring properties. Every LZMA run starts a fresh range decoder and must end with it
// drained: its code 0, its packed bytes used exactly, no match left half copied.
#include "codec/lzma2_decoder.h"

#include <string.h>

namespace {

// The file is compiled for speed for the sake of the symbol loop (decodeLzmaRun and what it
// inlines); with GCC, which builds the engine, the code that runs once per chunk or per call
// is kept small.
#if defined(__GNUC__) && !defined(__clang__)
#define ONCE_PER_CHUNK __attribute__((optimize("Os")))
#else
#define ONCE_PER_CHUNK
#endif

const uint32_t RANGE_TOP = 1u << 24;
const uint32_t PROBABILITY_BITS = 11;
const uint32_t PROBABILITY_ONE = 1u << PROBABILITY_BITS;
const uint32_t PROBABILITY_SHIFT = 5;
const uint32_t RANGE_INIT_BYTES = 5;

const uint8_t CONTROL_END = 0x00;
const uint8_t CONTROL_STORED_RESET = 0x01;
const uint8_t CONTROL_STORED = 0x02;
const uint8_t CONTROL_LZMA = 0x80;
const uint8_t CONTROL_STATE_RESET = 0xA0;
const uint8_t CONTROL_NEW_PROPERTIES = 0xC0;
const uint8_t CONTROL_DICTIONARY_RESET = 0xE0;
// lc < 9, lp < 5, pb < 5, packed as (pb * 5 + lp) * 9 + lc.
const uint32_t PROPERTIES_MAX = (4 * 5 + 4) * 9 + 8;

// A chunk's head, as read from the input.
struct ChunkHead {
    uint8_t control;
    uint32_t headSize;
    uint32_t unpackedSize;
    uint32_t packedSize;
    uint8_t properties;
};

uint32_t loadBigEndian16(const uint8_t* bytes)
{
    return ((uint32_t)bytes[0] << 8) | bytes[1];
}

// Reads the head at `position`; false when it does not fit the input or the control byte
// is none of the kinds above. The packed bytes of a chunk must fit the input too.
ONCE_PER_CHUNK bool readChunkHead(const uint8_t* input, uint32_t inputSize, uint32_t position, ChunkHead* head)
{
    if (position >= inputSize) {
        return false;
    }
    uint32_t left = inputSize - position;
    const uint8_t* bytes = input + position;
    head->control = bytes[0];
    head->properties = 0;
    if (head->control == CONTROL_END) {
        head->headSize = 1;
        head->unpackedSize = 0;
        head->packedSize = 0;
        return true;
    }
    if (head->control == CONTROL_STORED_RESET || head->control == CONTROL_STORED) {
        if (left < 3) {
            return false;
        }
        head->headSize = 3;
        head->unpackedSize = loadBigEndian16(bytes + 1) + 1;
        head->packedSize = head->unpackedSize;
    } else if (head->control >= CONTROL_LZMA) {
        head->headSize = head->control >= CONTROL_NEW_PROPERTIES ? 6 : 5;
        if (left < head->headSize) {
            return false;
        }
        head->unpackedSize = (((uint32_t)head->control & 0x1F) << 16) + loadBigEndian16(bytes + 1) + 1;
        head->packedSize = loadBigEndian16(bytes + 3) + 1;
        if (head->headSize == 6) {
            head->properties = bytes[5];
        }
    } else {
        return false;
    }
    return (uint64_t)head->headSize + head->packedSize <= left;
}

// What a control byte asks for, given what the stream still owes.
struct ChunkResets {
    bool dictionary;
    bool state;
    bool properties;
};

// Applies the ordering rules to `head`; false when the chunk may not come here.
ONCE_PER_CHUNK bool sequenceChunk(const ChunkHead* head, bool* needDictionaryReset, bool* needProperties,
                                  ChunkResets* resets)
{
    uint8_t control = head->control;
    resets->dictionary = control == CONTROL_STORED_RESET || control >= CONTROL_DICTIONARY_RESET;
    resets->properties = control >= CONTROL_NEW_PROPERTIES;
    resets->state = control >= CONTROL_STATE_RESET;
    if (resets->dictionary) {
        *needDictionaryReset = false;
        *needProperties = true;
    } else if (*needDictionaryReset) {
        return false;
    }
    if (control >= CONTROL_LZMA) {
        if (resets->properties) {
            if (head->properties > PROPERTIES_MAX) {
                return false;
            }
            uint32_t lc = head->properties % 9;
            uint32_t lp = (head->properties / 9) % 5;
            if (lc + lp > LZMA2_MAX_LCLP) {
                return false;
            }
            *needProperties = false;
        } else if (*needProperties) {
            return false;
        }
    }
    return true;
}

// The range decoder over one chunk's packed bytes. Reading past them yields zeros and is
// noticed when the chunk ends: `position` then lies beyond `end`.
struct RangeDecoder {
    uint32_t range;
    uint32_t code;
    const uint8_t* input;
    uint32_t position;
    uint32_t end;
};

inline void normalize(RangeDecoder* rc)
{
    if (rc->range < RANGE_TOP) {
        rc->range <<= 8;
        rc->code = (rc->code << 8) | (rc->position < rc->end ? rc->input[rc->position] : 0);
        ++rc->position;
    }
}

inline uint32_t decodeBit(RangeDecoder* rc, uint16_t* probability)
{
    uint32_t p = *probability;
    uint32_t bound = (rc->range >> PROBABILITY_BITS) * p;
    uint32_t bit;
    if (rc->code < bound) {
        rc->range = bound;
        *probability = (uint16_t)(p + ((PROBABILITY_ONE - p) >> PROBABILITY_SHIFT));
        bit = 0;
    } else {
        rc->range -= bound;
        rc->code -= bound;
        *probability = (uint16_t)(p - (p >> PROBABILITY_SHIFT));
        bit = 1;
    }
    normalize(rc);
    return bit;
}

// decodeBit without a branch on the bit: for the bits of a tree, whose values a processor
// cannot predict.
inline uint32_t decodeTreeBit(RangeDecoder* rc, uint16_t* probability)
{
    uint32_t p = *probability;
    uint32_t bound = (rc->range >> PROBABILITY_BITS) * p;
    uint32_t mask = 0u - (uint32_t)(rc->code >= bound);  // all ones when the bit is 1
    rc->range = bound + ((rc->range - bound - bound) & mask);
    rc->code -= bound & mask;
    uint32_t zero = p + ((PROBABILITY_ONE - p) >> PROBABILITY_SHIFT);
    uint32_t one = p - (p >> PROBABILITY_SHIFT);
    *probability = (uint16_t)(zero + ((one - zero) & mask));
    normalize(rc);
    return mask & 1;
}

// Bits at probability one half, most significant first.
inline uint32_t decodeDirectBits(RangeDecoder* rc, uint32_t count)
{
    uint32_t result = 0;
    do {
        rc->range >>= 1;
        rc->code -= rc->range;
        uint32_t mask = 0u - (rc->code >> 31);  // all ones when the bit is 0
        rc->code += rc->range & mask;
        result = (result << 1) + (mask + 1);
        normalize(rc);
    } while (--count != 0);
    return result;
}

// A symbol of `bits` bits through a binary tree of probabilities, most significant bit first.
inline uint32_t decodeTree(RangeDecoder* rc, uint16_t* probabilities, uint32_t bits)
{
    uint32_t node = 1;
    for (uint32_t i = 0; i < bits; ++i) {
        node = (node << 1) | decodeTreeBit(rc, &probabilities[node]);
    }
    return node - (1u << bits);
}

// The same tree walked least significant bit first.
inline uint32_t decodeReverseTree(RangeDecoder* rc, uint16_t* probabilities, uint32_t bits)
{
    uint32_t node = 1;
    uint32_t symbol = 0;
    for (uint32_t i = 0; i < bits; ++i) {
        uint32_t bit = decodeTreeBit(rc, &probabilities[node]);
        node = (node << 1) | bit;
        symbol |= bit << i;
    }
    return symbol;
}

// A match length minus the minimum.
inline uint32_t decodeLength(RangeDecoder* rc, LzmaLengthCoder* coder, uint32_t posState)
{
    if (decodeBit(rc, &coder->choice) == 0) {
        return decodeTree(rc, coder->low[posState], 3);
    }
    if (decodeBit(rc, &coder->choice2) == 0) {
        return 8 + decodeTree(rc, coder->mid[posState], 3);
    }
    return 16 + decodeTree(rc, coder->high, 8);
}

// A match distance minus one, after a length of `length` (minus the minimum).
inline uint32_t decodeDistance(RangeDecoder* rc, LzmaProbabilities* p, uint32_t length)
{
    uint32_t lengthState = length < LZMA_LEN_STATES - 1 ? length : LZMA_LEN_STATES - 1;
    uint32_t slot = decodeTree(rc, p->distSlot[lengthState], 6);
    if (slot < 4) {
        return slot;
    }
    uint32_t directBits = (slot >> 1) - 1;
    uint32_t distance = (2 | (slot & 1)) << directBits;
    if (slot < LZMA_END_POS_MODEL) {
        return distance + decodeReverseTree(rc, p->distSpecial + distance - slot, directBits);
    }
    distance += decodeDirectBits(rc, directBits - LZMA_ALIGN_BITS) << LZMA_ALIGN_BITS;
    return distance + decodeReverseTree(rc, p->distAlign, LZMA_ALIGN_BITS);
}

ONCE_PER_CHUNK void resetState(Lzma2Decoder* d)
{
    uint16_t* probabilities = (uint16_t*)&d->probabilities;
    for (size_t i = 0; i < sizeof(d->probabilities) / sizeof(uint16_t); ++i) {
        probabilities[i] = PROBABILITY_ONE / 2;
    }
    d->state = 0;
    d->rep0 = d->rep1 = d->rep2 = d->rep3 = 0;
    d->pendingLength = 0;
}

// The index in the dictionary of the byte `distance` + 1 before `position`.
inline uint32_t behind(const Lzma2Decoder* d, uint32_t position, uint32_t distance)
{
    return position > distance ? position - distance - 1 : position + d->dictionarySize - distance - 1;
}

// Decodes `limit` bytes of the open LZMA chunk (limit > 0, within the chunk and the
// dictionary's end). False on a distance outside the valid dictionary.
bool decodeLzmaRun(Lzma2Decoder* d, uint32_t limit)
{
    RangeDecoder rc = {d->range, d->code, d->input, d->inputPosition, d->chunkInputEnd};
    uint8_t* dictionary = d->dictionary;
    uint32_t position = d->dictionaryPosition;
    const uint32_t start = position;
    const uint32_t end = position + limit;
    const uint32_t pbMask = (1u << d->pb) - 1;
    const uint32_t lpMask = (1u << d->lp) - 1;
    const uint32_t lc = d->lc;
    LzmaProbabilities* p = &d->probabilities;
    uint32_t state = d->state;
    uint32_t rep0 = d->rep0, rep1 = d->rep1, rep2 = d->rep2, rep3 = d->rep3;
    uint32_t pending = d->pendingLength;
    bool ok = true;

    while (pending != 0 && position < end) {
        dictionary[position] = dictionary[behind(d, position, rep0)];
        ++position;
        --pending;
    }
    while (position < end) {
        // Past its packed bytes the run is corrupt, whatever follows: stop before the zeros
        // fed in there could make up the rest of a long chunk.
        if (rc.position > rc.end) {
            ok = false;
            break;
        }
        uint32_t posState = position & pbMask;
        if (decodeBit(&rc, &p->isMatch[state][posState]) == 0) {
            uint32_t previous = dictionary[(position == 0 ? d->dictionarySize : position) - 1];
            uint16_t* coder = p->literal + LZMA_LITERAL_CODER_SIZE *
                                               (((position & lpMask) << lc) + (previous >> (8 - lc)));
            uint32_t symbol = 1;
            if (state < 7) {
                // A fixed count of bits: its loop's end is predicted.
                for (uint32_t bit = 0; bit < 8; ++bit) {
                    symbol = (symbol << 1) | decodeTreeBit(&rc, &coder[symbol]);
                }
            } else {
                // After a match the literal is coded against the byte at the last distance,
                // bit by bit while the two agree.
                uint32_t matchByte = dictionary[behind(d, position, rep0)];
                do {
                    uint32_t matchBit = (matchByte >> 7) & 1;
                    matchByte <<= 1;
                    uint32_t bit = decodeBit(&rc, &coder[((1 + matchBit) << 8) + symbol]);
                    symbol = (symbol << 1) | bit;
                    if (matchBit != bit) {
                        break;
                    }
                } while (symbol < 0x100);
            }
            while (symbol < 0x100) {
                symbol = (symbol << 1) | decodeTreeBit(&rc, &coder[symbol]);
            }
            dictionary[position++] = (uint8_t)symbol;
            state = state < 4 ? 0 : state < 10 ? state - 3 : state - 6;
            continue;
        }
        uint32_t valid = d->dictionaryFull + (position - start);
        if (valid > d->historyLimit) {
            valid = d->historyLimit;
        }
        uint32_t length;
        if (decodeBit(&rc, &p->isRep[state]) == 0) {
            length = decodeLength(&rc, &p->matchLength, posState);
            uint32_t distance = decodeDistance(&rc, p, length);
            rep3 = rep2;
            rep2 = rep1;
            rep1 = rep0;
            rep0 = distance;
            state = state < 7 ? 7 : 10;
            // LZMA2 has no end-of-payload marker, so the all-ones distance falls here as well.
            if (rep0 >= valid) {
                ok = false;
                break;
            }
        } else {
            if (valid == 0) {
                ok = false;
                break;
            }
            if (decodeBit(&rc, &p->isRepG0[state]) == 0) {
                if (decodeBit(&rc, &p->isRep0Long[state][posState]) == 0) {
                    state = state < 7 ? 9 : 11;
                    dictionary[position] = dictionary[behind(d, position, rep0)];
                    ++position;
                    continue;
                }
            } else {
                uint32_t distance;
                if (decodeBit(&rc, &p->isRepG1[state]) == 0) {
                    distance = rep1;
                } else {
                    if (decodeBit(&rc, &p->isRepG2[state]) == 0) {
                        distance = rep2;
                    } else {
                        distance = rep3;
                        rep3 = rep2;
                    }
                    rep2 = rep1;
                }
                rep1 = rep0;
                rep0 = distance;
            }
            length = decodeLength(&rc, &p->repLength, posState);
            state = state < 7 ? 8 : 11;
        }
        pending = length + LZMA_MATCH_LEN_MIN;
        uint32_t source = behind(d, position, rep0);
        while (pending != 0 && position < end) {
            dictionary[position++] = dictionary[source++];
            if (source == d->dictionarySize) {
                source = 0;
            }
            --pending;
        }
    }

    d->range = rc.range;
    d->code = rc.code;
    d->inputPosition = rc.position;
    d->state = state;
    d->rep0 = rep0;
    d->rep1 = rep1;
    d->rep2 = rep2;
    d->rep3 = rep3;
    d->pendingLength = pending;
    d->dictionaryPosition = position;
    return ok;
}

// Opens the chunk at the input position. False when the input holds none that may come here.
// A chunk that resets the dictionary is left unread when `produced` bytes of this call are
// still in the dictionary: the caller takes them first.
ONCE_PER_CHUNK Lzma2Status openChunk(Lzma2Decoder* d, uint32_t produced, bool* deferred)
{
    *deferred = false;
    ChunkHead head;
    if (!readChunkHead(d->input, d->inputSize, d->inputPosition, &head)) {
        return LZMA2_ERROR;
    }
    if (head.control == CONTROL_END) {
        d->inputPosition += 1;
        return LZMA2_END;
    }
    ChunkResets resets;
    bool needDictionaryReset = d->needDictionaryReset;
    bool needProperties = d->needProperties;
    if (!sequenceChunk(&head, &needDictionaryReset, &needProperties, &resets)) {
        return LZMA2_ERROR;
    }
    if (resets.dictionary && produced != 0) {
        *deferred = true;
        return LZMA2_OK;
    }
    d->needDictionaryReset = needDictionaryReset;
    d->needProperties = needProperties;
    if (resets.dictionary) {
        // The byte before the first one counts as 0 for the first literal's context.
        d->dictionaryPosition = 0;
        d->dictionaryFull = 0;
        d->dictionary[d->dictionarySize - 1] = 0;
    }
    d->inputPosition += head.headSize;
    d->chunkLeft = head.unpackedSize;
    d->chunkInputEnd = d->inputPosition + head.packedSize;
    d->chunkIsLzma = head.control >= CONTROL_LZMA;
    d->inChunk = true;
    if (!d->chunkIsLzma) {
        return LZMA2_OK;
    }
    if (resets.properties) {
        d->lc = head.properties % 9;
        d->lp = (head.properties / 9) % 5;
        d->pb = head.properties / 45;
    }
    if (resets.state) {
        resetState(d);
    }
    // A fresh range decoder: a zero byte, then the first four code bytes. A chunk always has
    // at least one packed byte, so the first is there; the rest are checked at the chunk's end.
    if (d->input[d->inputPosition] != 0) {
        return LZMA2_ERROR;
    }
    RangeDecoder rc = {0xFFFFFFFFu, 0, d->input, d->inputPosition + 1, d->chunkInputEnd};
    for (uint32_t i = 1; i < RANGE_INIT_BYTES; ++i) {
        rc.code = (rc.code << 8) | (rc.position < rc.end ? rc.input[rc.position] : 0);
        ++rc.position;
    }
    d->range = rc.range;
    d->code = rc.code;
    d->inputPosition = rc.position;
    return LZMA2_OK;
}

// The open chunk is complete: an LZMA run must have drained its range decoder exactly.
ONCE_PER_CHUNK bool closeChunk(Lzma2Decoder* d)
{
    d->inChunk = false;
    if (!d->chunkIsLzma) {
        return true;
    }
    return d->pendingLength == 0 && d->code == 0 && d->inputPosition == d->chunkInputEnd;
}

}  // namespace

ONCE_PER_CHUNK void lzma2Begin(Lzma2Decoder* decoder, const uint8_t* input, uint32_t inputSize,
                               uint8_t* dictionary, uint32_t dictionarySize)
{
    memset(decoder, 0, sizeof(*decoder) - sizeof(decoder->probabilities));
    decoder->input = input;
    decoder->inputSize = inputSize;
    decoder->dictionary = dictionary;
    decoder->dictionarySize = dictionarySize;
    decoder->historyLimit = dictionarySize;
    decoder->needDictionaryReset = true;
    decoder->needProperties = true;
}

ONCE_PER_CHUNK Lzma2Status lzma2Decode(Lzma2Decoder* d, uint32_t limit, uint32_t* produced)
{
    *produced = 0;
    if (d->failed) {
        return LZMA2_ERROR;
    }
    if (d->dictionaryPosition == d->dictionarySize) {
        d->dictionaryPosition = 0;
    }
    uint32_t done = 0;
    while (done < limit) {
        if (!d->inChunk) {
            bool deferred = false;
            Lzma2Status status = openChunk(d, done, &deferred);
            if (status == LZMA2_ERROR) {
                d->failed = true;
                *produced = done;
                return LZMA2_ERROR;
            }
            if (status == LZMA2_END || deferred) {
                *produced = done;
                return status;
            }
        }
        uint32_t room = d->dictionarySize - d->dictionaryPosition;
        if (room == 0) {
            break;
        }
        uint32_t step = limit - done;
        if (step > room) {
            step = room;
        }
        if (step > d->chunkLeft) {
            step = d->chunkLeft;
        }
        if (d->chunkIsLzma) {
            if (!decodeLzmaRun(d, step)) {
                d->failed = true;
                *produced = done;
                return LZMA2_ERROR;
            }
        } else {
            memcpy(d->dictionary + d->dictionaryPosition, d->input + d->inputPosition, step);
            d->inputPosition += step;
            d->dictionaryPosition += step;
        }
        d->dictionaryFull += step;
        if (d->dictionaryFull > d->historyLimit) {
            d->dictionaryFull = d->historyLimit;
        }
        done += step;
        d->chunkLeft -= step;
        if (d->chunkLeft == 0 && !closeChunk(d)) {
            d->failed = true;
            *produced = done;
            return LZMA2_ERROR;
        }
    }
    *produced = done;
    return LZMA2_OK;
}

ONCE_PER_CHUNK bool lzma2CheckChunks(const uint8_t* input, uint32_t inputSize, uint64_t* unpackedSize,
                                     uint32_t* dictionaryResets)
{
    uint64_t total = 0;
    uint32_t resetCount = 0;
    uint32_t position = 0;
    bool needDictionaryReset = true;
    bool needProperties = true;
    for (;;) {
        ChunkHead head;
        if (!readChunkHead(input, inputSize, position, &head)) {
            return false;
        }
        if (head.control == CONTROL_END) {
            if (position + 1 != inputSize) {
                return false;
            }
            break;
        }
        ChunkResets resets;
        if (!sequenceChunk(&head, &needDictionaryReset, &needProperties, &resets)) {
            return false;
        }
        total += head.unpackedSize;
        resetCount += resets.dictionary ? 1 : 0;
        position += head.headSize + head.packedSize;
    }
    if (unpackedSize != nullptr) {
        *unpackedSize = total;
    }
    if (dictionaryResets != nullptr) {
        *dictionaryResets = resetCount;
    }
    return true;
}
