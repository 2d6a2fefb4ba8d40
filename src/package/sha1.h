// SHA-1 (FIPS 180-1): the digest of every entry's content and of the whole package.
#pragma once

#include <stdint.h>

const uint32_t SHA1_DIGEST_SIZE = 20;

// Working state of one digest: five chaining words, the bit count taken in (two halves),
// a partial block, and the block array the transform works in.
struct Sha1Context {
    uint32_t state[5];
    uint32_t countLow;
    uint32_t countHigh;
    uint8_t buffer[64];
    uint32_t block[16];
};

// The three usual steps, for callers that digest a stream piece by piece. Each caller with
// its own context may run at the same time as others.
void sha1Start(Sha1Context* context);
void sha1Add(Sha1Context* context, const uint8_t* data, uint32_t length);
// Writes the digest and wipes the context.
void sha1Finish(Sha1Context* context, uint8_t digest[SHA1_DIGEST_SIZE]);

// Computes the SHA-1 of `length` bytes at `data` into `digest` in one shared static context.
// Always true. Not reentrant.
bool sha1OfBuffer(const uint8_t* data, uint32_t length, uint8_t digest[SHA1_DIGEST_SIZE]);

// The block function every digest of the process uses. By default the first digest takes
// the SHA extensions where the processor has them (x86, CPUID), the portable code elsewhere;
// both give the same digests.
enum Sha1BlockPath {
    SHA1_BLOCKS_PORTABLE,
    SHA1_BLOCKS_SHA_EXTENSIONS,
};
// The path in use, or the one the first digest will take.
Sha1BlockPath sha1BlockPath();
// Makes every later digest take `path`. False, and nothing changed, when the processor lacks
// the SHA extensions that path needs. Not to be called while another thread digests.
bool sha1SetBlockPath(Sha1BlockPath path);
