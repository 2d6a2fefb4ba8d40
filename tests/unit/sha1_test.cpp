#include "package/sha1.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <random>
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

std::string ofBuffer(const std::vector<uint8_t>& bytes)
{
    uint8_t digest[SHA1_DIGEST_SIZE];
    EXPECT_TRUE(sha1OfBuffer(bytes.data(), (uint32_t)bytes.size(), digest));
    return hex(digest);
}

std::string ofText(const std::string& text)
{
    return ofBuffer(std::vector<uint8_t>(text.begin(), text.end()));
}

std::string reference(const std::vector<uint8_t>& bytes)
{
    uint8_t digest[SHA_DIGEST_LENGTH];
    SHA1(bytes.data(), bytes.size(), digest);
    return hex(digest);
}

// The streaming interface, fed in pieces that end at the given offsets.
std::string streamed(const std::vector<uint8_t>& bytes, const std::vector<size_t>& cuts)
{
    Sha1Context context;
    sha1Start(&context);
    size_t from = 0;
    for (size_t cut : cuts) {
        sha1Add(&context, bytes.data() + from, (uint32_t)(cut - from));
        from = cut;
    }
    sha1Add(&context, bytes.data() + from, (uint32_t)(bytes.size() - from));
    uint8_t digest[SHA1_DIGEST_SIZE];
    sha1Finish(&context, digest);
    return hex(digest);
}

}  // namespace

TEST(Sha1, GivesTheFipsExampleDigests)
{
    EXPECT_EQ(ofText(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(ofText("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(ofText("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(ofText(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1, NullDataOfLengthZeroIsTheEmptyDigest)
{
    uint8_t digest[SHA1_DIGEST_SIZE];
    EXPECT_TRUE(sha1OfBuffer(nullptr, 0, digest));
    EXPECT_EQ(hex(digest), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Sha1, PaddingAcrossBlockBoundariesMatchesReference)
{
    // 55 is the longest message whose padding fits in its block; 56..63 need another block.
    for (size_t length : {1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129}) {
        std::vector<uint8_t> bytes(length);
        for (size_t i = 0; i < length; ++i) {
            bytes[i] = (uint8_t)(i * 7 + 3);
        }
        EXPECT_EQ(ofBuffer(bytes), reference(bytes)) << "length " << length;
    }
}

TEST(Sha1, RandomBuffersMatchReferenceWholeAndStreamed)
{
    std::mt19937 random(20261208);
    for (int round = 0; round < 200; ++round) {
        size_t length = random() % (round < 150 ? 300 : 70000);
        std::vector<uint8_t> bytes(length);
        for (uint8_t& byte : bytes) {
            byte = (uint8_t)random();
        }
        std::string expected = reference(bytes);
        ASSERT_EQ(ofBuffer(bytes), expected) << "length " << length;

        std::vector<size_t> cuts;
        size_t pieces = random() % 6;
        for (size_t i = 0; i < pieces; ++i) {
            cuts.push_back(length == 0 ? 0 : random() % (length + 1));
        }
        std::sort(cuts.begin(), cuts.end());
        ASSERT_EQ(streamed(bytes, cuts), expected) << "length " << length << " round " << round;
    }
}

TEST(Sha1, StreamedOneByteAtATime)
{
    std::vector<uint8_t> bytes(1000);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = (uint8_t)(i ^ (i >> 3));
    }
    std::vector<size_t> cuts;
    for (size_t i = 1; i < bytes.size(); ++i) {
        cuts.push_back(i);
    }
    EXPECT_EQ(streamed(bytes, cuts), reference(bytes));
}

TEST(Sha1, ContextsAreIndependentAndFinishWipes)
{
    std::vector<uint8_t> first(150, 'x'), second(90, 'y');
    Sha1Context a, b;
    sha1Start(&a);
    sha1Start(&b);
    sha1Add(&a, first.data(), 100);
    sha1Add(&b, second.data(), 90);
    sha1Add(&a, first.data() + 100, 50);
    uint8_t digestA[SHA1_DIGEST_SIZE], digestB[SHA1_DIGEST_SIZE];
    sha1Finish(&b, digestB);
    sha1Finish(&a, digestA);
    EXPECT_EQ(hex(digestA), reference(first));
    EXPECT_EQ(hex(digestB), reference(second));

    const uint8_t* raw = (const uint8_t*)&a;
    for (size_t i = 0; i < sizeof(a); ++i) {
        ASSERT_EQ(raw[i], 0) << "byte " << i << " of the context";
    }
}

TEST(Sha1, BitCountCarriesIntoItsHighHalf)
{
    // 520 MiB is more than 2^32 bits: once as a single piece, whose length alone overflows
    // the low half, and once in pieces whose sum carries into the high half.
    const size_t length = (size_t)520 << 20;
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; i += 4096) {
        bytes[i] = (uint8_t)(i >> 12);
    }
    std::string expected = reference(bytes);
    EXPECT_EQ(ofBuffer(bytes), expected);
    std::vector<size_t> cuts;
    for (size_t cut = (size_t)65 << 20; cut < length; cut += (size_t)65 << 20) {
        cuts.push_back(cut);
    }
    EXPECT_EQ(streamed(bytes, cuts), expected);
}

namespace {

// Every block path this processor can run; the portable one always.
std::vector<Sha1BlockPath> runnablePaths()
{
    std::vector<Sha1BlockPath> paths = {SHA1_BLOCKS_PORTABLE};
    Sha1BlockPath chosen = sha1BlockPath();
    if (sha1SetBlockPath(SHA1_BLOCKS_SHA_EXTENSIONS)) {
        paths.push_back(SHA1_BLOCKS_SHA_EXTENSIONS);
    }
    sha1SetBlockPath(chosen);
    return paths;
}

const char* pathName(Sha1BlockPath path)
{
    return path == SHA1_BLOCKS_PORTABLE ? "portable" : "SHA extensions";
}

// Puts back the block path the process had chosen, whatever a test forced.
class Sha1Paths : public testing::Test {
protected:
    void SetUp() override { chosen = sha1BlockPath(); }
    void TearDown() override { sha1SetBlockPath(chosen); }
    Sha1BlockPath chosen = SHA1_BLOCKS_PORTABLE;
};

std::vector<uint8_t> randomBytes(size_t length, std::mt19937& random)
{
    std::vector<uint8_t> bytes(length);
    for (uint8_t& byte : bytes) {
        byte = (uint8_t)random();
    }
    return bytes;
}

}  // namespace

TEST_F(Sha1Paths, TheProcessorsPathIsTheDefaultAndThePortableOneCanBeForced)
{
    const bool extensions = runnablePaths().size() == 2;
    printf("processor has the SHA extensions: %s\n", extensions ? "yes" : "no");
    EXPECT_EQ(chosen, extensions ? SHA1_BLOCKS_SHA_EXTENSIONS : SHA1_BLOCKS_PORTABLE);
    EXPECT_TRUE(sha1SetBlockPath(SHA1_BLOCKS_PORTABLE));
    EXPECT_EQ(sha1BlockPath(), SHA1_BLOCKS_PORTABLE);
    // Without the instructions, asking for them changes nothing.
    EXPECT_EQ(sha1SetBlockPath(SHA1_BLOCKS_SHA_EXTENSIONS), extensions);
    EXPECT_EQ(sha1BlockPath(), extensions ? SHA1_BLOCKS_SHA_EXTENSIONS : SHA1_BLOCKS_PORTABLE);
}

TEST_F(Sha1Paths, EveryPathGivesTheFipsDigestsAndEveryLengthUpTo1100)
{
    std::mt19937 random(22);
    std::vector<uint8_t> bytes = randomBytes(1100, random);
    for (Sha1BlockPath path : runnablePaths()) {
        SCOPED_TRACE(pathName(path));
        ASSERT_TRUE(sha1SetBlockPath(path));
        EXPECT_EQ(ofText(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
        EXPECT_EQ(ofText("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
        EXPECT_EQ(ofText("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
                  "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
        EXPECT_EQ(ofText(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
        for (size_t length = 0; length <= bytes.size(); ++length) {
            std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + length);
            ASSERT_EQ(ofBuffer(prefix), reference(prefix)) << "length " << length;
        }
    }
}

TEST_F(Sha1Paths, EveryPathAgreesOnMebibytesAndOnPiecesSplitAnywhereInABlock)
{
    std::mt19937 random(2026);
    for (size_t length : {(size_t)(1 << 20) + 17, (size_t)(3 << 20) + 64 * 5 + 63}) {
        std::vector<uint8_t> bytes = randomBytes(length, random);
        std::string expected = reference(bytes);
        for (Sha1BlockPath path : runnablePaths()) {
            SCOPED_TRACE(pathName(path));
            ASSERT_TRUE(sha1SetBlockPath(path));
            EXPECT_EQ(ofBuffer(bytes), expected) << "length " << length;
        }
    }
    // Two and three pieces, the first cut at every offset of a 64-byte window (so at every
    // place in a block), the second a block and a few bytes further: the buffered and the
    // direct blocks meet at every alignment.
    std::vector<uint8_t> bytes = randomBytes(5000, random);
    std::string expected = reference(bytes);
    for (Sha1BlockPath path : runnablePaths()) {
        SCOPED_TRACE(pathName(path));
        ASSERT_TRUE(sha1SetBlockPath(path));
        for (size_t cut = 1000; cut < 1064; ++cut) {
            ASSERT_EQ(streamed(bytes, {cut}), expected) << "cut at " << cut;
            ASSERT_EQ(streamed(bytes, {cut, cut + 64 + cut % 7}), expected) << "cuts at " << cut;
        }
    }
}
