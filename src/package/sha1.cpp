// SHA-1 (FIPS 180-1). The compression function is written out as its 80 steps: the message
// schedule lives in a rolling window of 16 words, and the five working variables change
// roles from step to step instead of being moved.
#include "package/sha1.h"

#include <string.h>

namespace {

const uint32_t SHA1_BLOCK_SIZE = 64;
// Where the 64-bit bit count goes in the last block.
const uint32_t SHA1_LENGTH_OFFSET = 56;
const uint8_t SHA1_PAD_FIRST = 0x80;

// Initial chaining words.
const uint32_t SHA1_H0 = 0x67452301;
const uint32_t SHA1_H1 = 0xEFCDAB89;
const uint32_t SHA1_H2 = 0x98BADCFE;
const uint32_t SHA1_H3 = 0x10325476;
const uint32_t SHA1_H4 = 0xC3D2E1F0;

// Round constants of steps 0-19, 20-39, 40-59 and 60-79.
const uint32_t SHA1_K0 = 0x5A827999;
const uint32_t SHA1_K1 = 0x6ED9EBA1;
const uint32_t SHA1_K2 = 0x8F1BBCDC;
const uint32_t SHA1_K3 = 0xCA62C1D6;

Sha1Context sharedContext;

inline uint32_t rotateLeft(uint32_t value, int bits)
{
    return (value << bits) | (value >> (32 - bits));
}

inline uint32_t loadBigEndian32(const uint8_t* bytes)
{
    return ((uint32_t)bytes[0] << 24) | ((uint32_t)bytes[1] << 16) | ((uint32_t)bytes[2] << 8) |
           (uint32_t)bytes[3];
}

inline void storeBigEndian32(uint8_t* bytes, uint32_t value)
{
    bytes[0] = (uint8_t)(value >> 24);
    bytes[1] = (uint8_t)(value >> 16);
    bytes[2] = (uint8_t)(value >> 8);
    bytes[3] = (uint8_t)value;
}

// Message schedule: the first 16 words are the block, each later word is the rotated XOR of
// four earlier ones, kept in a window of 16.
#define SHA1_LOAD(i) (w[i] = loadBigEndian32(block + 4 * (i)))
#define SHA1_EXPAND(i)                                                                   \
    (w[(i) & 15] = rotateLeft(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ \
                                  w[(i) & 15],                                           \
                              1))

// The three boolean functions: choose, parity, majority.
#define SHA1_CH(b, c, d) ((((c) ^ (d)) & (b)) ^ (d))
#define SHA1_PARITY(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_MAJ(b, c, d) (((b) & (c)) | (((b) | (c)) & (d)))

// One step; the caller passes the variables rotated by one place each time.
#define SHA1_STEP(a, b, c, d, e, f, k, word)                 \
    do {                                                     \
        (e) += rotateLeft((a), 5) + f((b), (c), (d)) + (k) + (word); \
        (b) = rotateLeft((b), 30);                           \
    } while (0)

#define SHA1_STEPS_0_15(i, a, b, c, d, e) SHA1_STEP(a, b, c, d, e, SHA1_CH, SHA1_K0, SHA1_LOAD(i))
#define SHA1_STEPS_16_19(i, a, b, c, d, e) \
    SHA1_STEP(a, b, c, d, e, SHA1_CH, SHA1_K0, SHA1_EXPAND(i))
#define SHA1_STEPS_20_39(i, a, b, c, d, e) \
    SHA1_STEP(a, b, c, d, e, SHA1_PARITY, SHA1_K1, SHA1_EXPAND(i))
#define SHA1_STEPS_40_59(i, a, b, c, d, e) \
    SHA1_STEP(a, b, c, d, e, SHA1_MAJ, SHA1_K2, SHA1_EXPAND(i))
#define SHA1_STEPS_60_79(i, a, b, c, d, e) \
    SHA1_STEP(a, b, c, d, e, SHA1_PARITY, SHA1_K3, SHA1_EXPAND(i))

// Five steps with the variables in each of their five roles.
#define SHA1_FIVE(R, i)                \
    R((i) + 0, a, b, c, d, e);         \
    R((i) + 1, e, a, b, c, d);         \
    R((i) + 2, d, e, a, b, c);         \
    R((i) + 3, c, d, e, a, b);         \
    R((i) + 4, b, c, d, e, a)

// Compresses `count` consecutive 64-byte blocks at `data` into the chaining words, with the
// context's block array as the schedule window.
void transformBlocks(Sha1Context* context, const uint8_t* data, uint32_t count)
{
    uint32_t* state = context->state;
    uint32_t* w = context->block;
    while (count-- > 0) {
        const uint8_t* block = data;
        uint32_t a = state[0];
        uint32_t b = state[1];
        uint32_t c = state[2];
        uint32_t d = state[3];
        uint32_t e = state[4];

        SHA1_FIVE(SHA1_STEPS_0_15, 0);
        SHA1_FIVE(SHA1_STEPS_0_15, 5);
        SHA1_FIVE(SHA1_STEPS_0_15, 10);
        SHA1_STEPS_0_15(15, a, b, c, d, e);
        SHA1_STEPS_16_19(16, e, a, b, c, d);
        SHA1_STEPS_16_19(17, d, e, a, b, c);
        SHA1_STEPS_16_19(18, c, d, e, a, b);
        SHA1_STEPS_16_19(19, b, c, d, e, a);

        SHA1_FIVE(SHA1_STEPS_20_39, 20);
        SHA1_FIVE(SHA1_STEPS_20_39, 25);
        SHA1_FIVE(SHA1_STEPS_20_39, 30);
        SHA1_FIVE(SHA1_STEPS_20_39, 35);

        SHA1_FIVE(SHA1_STEPS_40_59, 40);
        SHA1_FIVE(SHA1_STEPS_40_59, 45);
        SHA1_FIVE(SHA1_STEPS_40_59, 50);
        SHA1_FIVE(SHA1_STEPS_40_59, 55);

        SHA1_FIVE(SHA1_STEPS_60_79, 60);
        SHA1_FIVE(SHA1_STEPS_60_79, 65);
        SHA1_FIVE(SHA1_STEPS_60_79, 70);
        SHA1_FIVE(SHA1_STEPS_60_79, 75);

        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        data += SHA1_BLOCK_SIZE;
    }
}

}  // namespace

void sha1Start(Sha1Context* context)
{
    memset(context, 0, sizeof(*context));
    context->state[0] = SHA1_H0;
    context->state[1] = SHA1_H1;
    context->state[2] = SHA1_H2;
    context->state[3] = SHA1_H3;
    context->state[4] = SHA1_H4;
}

void sha1Add(Sha1Context* context, const uint8_t* data, uint32_t length)
{
    if (length == 0) {
        return;
    }
    // The count is kept in bytes' worth of bits, low half first; the bytes already in the
    // buffer are the count modulo the block size.
    uint32_t buffered = (context->countLow >> 3) & (SHA1_BLOCK_SIZE - 1);
    uint32_t addedLow = length << 3;
    context->countLow += addedLow;
    if (context->countLow < addedLow) {
        ++context->countHigh;
    }
    context->countHigh += length >> 29;

    if (buffered != 0) {
        uint32_t room = SHA1_BLOCK_SIZE - buffered;
        if (length < room) {
            memcpy(context->buffer + buffered, data, length);
            return;
        }
        memcpy(context->buffer + buffered, data, room);
        transformBlocks(context, context->buffer, 1);
        data += room;
        length -= room;
    }
    // Whole blocks are compressed straight from the caller's memory.
    uint32_t blocks = length / SHA1_BLOCK_SIZE;
    transformBlocks(context, data, blocks);
    data += blocks * SHA1_BLOCK_SIZE;
    length -= blocks * SHA1_BLOCK_SIZE;
    if (length != 0) {
        memcpy(context->buffer, data, length);
    }
}

void sha1Finish(Sha1Context* context, uint8_t digest[SHA1_DIGEST_SIZE])
{
    // The message is followed by a single 1 bit, zeros up to 8 bytes before a block boundary,
    // and the message length in bits as a 64-bit big-endian number.
    uint8_t length[8];
    storeBigEndian32(length, context->countHigh);
    storeBigEndian32(length + 4, context->countLow);

    uint32_t buffered = (context->countLow >> 3) & (SHA1_BLOCK_SIZE - 1);
    context->buffer[buffered++] = SHA1_PAD_FIRST;
    if (buffered > SHA1_LENGTH_OFFSET) {
        memset(context->buffer + buffered, 0, SHA1_BLOCK_SIZE - buffered);
        transformBlocks(context, context->buffer, 1);
        buffered = 0;
    }
    memset(context->buffer + buffered, 0, SHA1_LENGTH_OFFSET - buffered);
    memcpy(context->buffer + SHA1_LENGTH_OFFSET, length, sizeof(length));
    transformBlocks(context, context->buffer, 1);

    for (int word = 0; word < 5; ++word) {
        storeBigEndian32(digest + 4 * word, context->state[word]);
    }
    // Leave nothing of the message or of the digest behind in the context.
    memset(context, 0, sizeof(*context));
}

bool sha1OfBuffer(const uint8_t* data, uint32_t length, uint8_t digest[SHA1_DIGEST_SIZE])
{
    sha1Start(&sharedContext);
    sha1Add(&sharedContext, data, length);
    sha1Finish(&sharedContext, digest);
    return true;
}
