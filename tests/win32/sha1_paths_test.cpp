// SHA-1 as the engine's build runs it: the block function CPUID chose for this processor,
// held to the FIPS digests and to the portable function, with the compiler, calling
// convention and stack of the Windows build.
#include "package/sha1.h"

#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <vector>

namespace {

std::string hex(const uint8_t* digest)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint32_t i = 0; i < SHA1_DIGEST_SIZE; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 15];
    }
    return text;
}

std::string digestOf(const uint8_t* data, size_t length)
{
    uint8_t digest[SHA1_DIGEST_SIZE];
    sha1OfBuffer(data, (uint32_t)length, digest);
    return hex(digest);
}

// The digest of `bytes` fed in two pieces, cut at `cut`.
std::string digestInTwo(const std::vector<uint8_t>& bytes, size_t cut)
{
    Sha1Context context;
    sha1Start(&context);
    sha1Add(&context, bytes.data(), (uint32_t)cut);
    sha1Add(&context, bytes.data() + cut, (uint32_t)(bytes.size() - cut));
    uint8_t digest[SHA1_DIGEST_SIZE];
    sha1Finish(&context, digest);
    return hex(digest);
}

}  // namespace

TEST(Sha1Paths, ChosenPathGivesTheFipsDigestsAndThePortableOnesDigests)
{
    const Sha1BlockPath chosen = sha1BlockPath();
    printf("block path: %s\n", chosen == SHA1_BLOCKS_SHA_EXTENSIONS ? "SHA extensions" : "portable");
    const std::string million(1000000, 'a');
    const std::string abc = "abc";
    EXPECT_EQ(digestOf((const uint8_t*)abc.data(), abc.size()), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(digestOf((const uint8_t*)million.data(), million.size()),
              "34aa973cd4c4daa4f61eeb2bdbad27316534016f");

    // Pseudo-random bytes: every length up to 1,100, a mebibyte and a bit, and two pieces cut
    // at every place in a block, first with the portable function, then with the chosen one.
    std::vector<uint8_t> bytes((1 << 20) + 37);
    uint32_t seed = 22;
    for (uint8_t& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = (uint8_t)(seed >> 16);
    }
    std::vector<std::string> expected;
    ASSERT_TRUE(sha1SetBlockPath(SHA1_BLOCKS_PORTABLE));
    for (size_t length = 0; length <= 1100; ++length) expected.push_back(digestOf(bytes.data(), length));
    expected.push_back(digestOf(bytes.data(), bytes.size()));
    std::vector<uint8_t> small(bytes.begin(), bytes.begin() + 3000);
    for (size_t cut = 1000; cut < 1064; ++cut) expected.push_back(digestInTwo(small, cut));

    ASSERT_TRUE(sha1SetBlockPath(chosen));
    size_t at = 0;
    for (size_t length = 0; length <= 1100; ++length) {
        ASSERT_EQ(digestOf(bytes.data(), length), expected[at++]) << "length " << length;
    }
    EXPECT_EQ(digestOf(bytes.data(), bytes.size()), expected[at++]);
    for (size_t cut = 1000; cut < 1064; ++cut) {
        ASSERT_EQ(digestInTwo(small, cut), expected[at++]) << "cut at " << cut;
    }
}
