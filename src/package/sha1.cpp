// SHA-1 (FIPS 180-1). The compression function comes in two forms that give the same words:
// the portable one is written out as its 80 steps, with the message schedule in a rolling
// window of 16 words and the five working variables changing roles from step to step
// instead of being moved; on x86 processors that have the SHA extensions, a second one runs
// four steps per instruction. Which one runs is decided once, on first use, from CPUID.
#include "package/sha1.h"

#include <string.h>

#if defined(__i386__) || defined(__x86_64__)
#define SHA1_HAS_X86_PATH 1
#include <cpuid.h>
#include <immintrin.h>
#endif

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
void transformPortable(Sha1Context* context, const uint8_t* data, uint32_t count)
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

#if SHA1_HAS_X86_PATH

// The SHA extensions keep A, B, C, D in one register, A in the highest lane, and take E
// already added to the first of the four message words they consume; each SHA1RNDS4 runs
// four steps with the boolean function and constant its immediate names (0..3 for steps
// 0-19, 20-39, 40-59, 60-79). SHA1NEXTE gives the next group's E from the A of four steps
// earlier, added to that group's message words. SHA1MSG1, an XOR and SHA1MSG2 extend the
// schedule by four words at a time: W[t] = rol1(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16]).
#define SHA1_EXTENSIONS_TARGET __attribute__((target("sha,sse4.1,ssse3")))
// Windows keeps a 32-bit stack aligned to 4 bytes only: realign it on the way in, so that
// the vector registers the compiler spills land on 16-byte boundaries.
#if defined(__i386__)
#define SHA1_EXTENSIONS_ENTRY SHA1_EXTENSIONS_TARGET __attribute__((force_align_arg_pointer, noinline))
#else
#define SHA1_EXTENSIONS_ENTRY SHA1_EXTENSIONS_TARGET __attribute__((noinline))
#endif

// Four steps of group `g` (steps 4g..4g+3). `e` holds the group's E plus its message words;
// `previous` keeps the ABCD these steps start from, for the next group's E.
#define SHA1_GROUP(g, e)                                                 \
    do {                                                                 \
        const __m128i groupE = (e);                                      \
        previous = abcd;                                                 \
        abcd = _mm_sha1rnds4_epu32(abcd, groupE, (g) / 5);               \
    } while (0)
// Message words 4g..4g+3, from the four groups before, into the window slot of g - 4.
#define SHA1_SCHEDULE(g)                                                                  \
    (w[(g) & 3] = _mm_sha1msg2_epu32(                                                     \
         _mm_xor_si128(_mm_sha1msg1_epu32(w[(g) & 3], w[((g) + 1) & 3]), w[((g) + 2) & 3]), \
         w[((g) + 3) & 3]))
#define SHA1_LOAD_GROUP(g) \
    (w[g] = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i*)(data + 16 * (g))), byteOrder))
#define SHA1_NEXT_GROUP(g, word) SHA1_GROUP(g, _mm_sha1nexte_epu32(previous, (word)))
#define SHA1_EXTENDED_GROUP(g) SHA1_NEXT_GROUP(g, SHA1_SCHEDULE(g))

SHA1_EXTENSIONS_ENTRY void transformExtensions(Sha1Context* context, const uint8_t* data,
                                               uint32_t count)
{
    uint32_t* state = context->state;
    // Big-endian words, the first of the block in the highest lane: every byte reversed.
    const __m128i byteOrder = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128((const __m128i*)state), 0x1B);
    __m128i e = _mm_set_epi32((int)state[4], 0, 0, 0);
    while (count-- > 0) {
        const __m128i abcdBefore = abcd, eBefore = e;
        __m128i previous;
        __m128i w[4];
        SHA1_LOAD_GROUP(0);
        SHA1_GROUP(0, _mm_add_epi32(e, w[0]));
        SHA1_LOAD_GROUP(1);
        SHA1_NEXT_GROUP(1, w[1]);
        SHA1_LOAD_GROUP(2);
        SHA1_NEXT_GROUP(2, w[2]);
        SHA1_LOAD_GROUP(3);
        SHA1_NEXT_GROUP(3, w[3]);
        SHA1_EXTENDED_GROUP(4);
        SHA1_EXTENDED_GROUP(5);
        SHA1_EXTENDED_GROUP(6);
        SHA1_EXTENDED_GROUP(7);
        SHA1_EXTENDED_GROUP(8);
        SHA1_EXTENDED_GROUP(9);
        SHA1_EXTENDED_GROUP(10);
        SHA1_EXTENDED_GROUP(11);
        SHA1_EXTENDED_GROUP(12);
        SHA1_EXTENDED_GROUP(13);
        SHA1_EXTENDED_GROUP(14);
        SHA1_EXTENDED_GROUP(15);
        SHA1_EXTENDED_GROUP(16);
        SHA1_EXTENDED_GROUP(17);
        SHA1_EXTENDED_GROUP(18);
        SHA1_EXTENDED_GROUP(19);
        // E after the 80 steps is the A of four steps before the end, rotated; add the
        // chaining words as the portable form does.
        e = _mm_sha1nexte_epu32(previous, eBefore);
        abcd = _mm_add_epi32(abcd, abcdBefore);
        data += SHA1_BLOCK_SIZE;
    }
    _mm_storeu_si128((__m128i*)state, _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = (uint32_t)_mm_extract_epi32(e, 3);
}

// CPUID leaf 7 (subleaf 0) EBX bit 29 says the SHA extensions are there; the code around
// them also needs SSSE3 (byte shuffle) and SSE4.1 (lane extract), leaf 1 ECX bits 9 and 19.
bool processorHasShaExtensions()
{
    unsigned int eax, ebx, ecx, edx;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    const unsigned int SSSE3 = 1u << 9, SSE41 = 1u << 19, SHA = 1u << 29;
    if ((ecx & SSSE3) == 0 || (ecx & SSE41) == 0) {
        return false;
    }
    if (__get_cpuid_max(0, nullptr) < 7) {
        return false;
    }
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    return (ebx & SHA) != 0;
}

#else

bool processorHasShaExtensions()
{
    return false;
}

#endif

typedef void (*TransformFn)(Sha1Context* context, const uint8_t* data, uint32_t count);

// The block function in use; none until the first digest asks. Threads of the tool may race
// to set it, with the same value: the accesses are atomic, so each sees one of the two.
TransformFn chosenTransform = nullptr;

TransformFn transformFor(Sha1BlockPath path)
{
#if SHA1_HAS_X86_PATH
    if (path == SHA1_BLOCKS_SHA_EXTENSIONS) {
        return transformExtensions;
    }
#endif
    (void)path;
    return transformPortable;
}

void transformBlocks(Sha1Context* context, const uint8_t* data, uint32_t count)
{
    if (count == 0) {
        return;
    }
    TransformFn transform = __atomic_load_n(&chosenTransform, __ATOMIC_RELAXED);
    if (transform == nullptr) {
        transform = transformFor(processorHasShaExtensions() ? SHA1_BLOCKS_SHA_EXTENSIONS
                                                             : SHA1_BLOCKS_PORTABLE);
        __atomic_store_n(&chosenTransform, transform, __ATOMIC_RELAXED);
    }
    transform(context, data, count);
}

}  // namespace

bool sha1SetBlockPath(Sha1BlockPath path)
{
    if (path == SHA1_BLOCKS_SHA_EXTENSIONS && !processorHasShaExtensions()) {
        return false;
    }
    __atomic_store_n(&chosenTransform, transformFor(path), __ATOMIC_RELAXED);
    return true;
}

Sha1BlockPath sha1BlockPath()
{
    TransformFn transform = __atomic_load_n(&chosenTransform, __ATOMIC_RELAXED);
    if (transform == nullptr) {
        return processorHasShaExtensions() ? SHA1_BLOCKS_SHA_EXTENSIONS : SHA1_BLOCKS_PORTABLE;
    }
    return transform == transformPortable ? SHA1_BLOCKS_PORTABLE : SHA1_BLOCKS_SHA_EXTENSIONS;
}

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
