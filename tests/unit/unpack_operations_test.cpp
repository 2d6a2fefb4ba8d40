#include "extract/unpack_operations.h"

#include <gtest/gtest.h>

#include "support/test_files.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "codec/lzhuf_decoder.h"
#include "codec/lzhuf_encoder.h"
#include "codec/solid_stream.h"
#include "extract/storage_methods.h"
#include "extract/stream_adapters.h"
#include "runpack/package/solid_encoder.h"

namespace {

// Text-like content that compresses, with some noise so that literals and matches mix.
std::vector<uint8_t> sampleContent(size_t length, uint32_t seed)
{
    std::mt19937 random(seed);
    const char* words[] = {"alpha ", "beta ", "gamma\r\n", "delta ", "epsilon "};
    std::vector<uint8_t> bytes;
    while (bytes.size() < length) {
        if (random() % 8 == 0) {
            bytes.push_back((uint8_t)random());
        } else {
            const char* word = words[random() % 5];
            bytes.insert(bytes.end(), word, word + strlen(word));
        }
    }
    bytes.resize(length);
    return bytes;
}

// The codec's stream for `content`, made in memory.
std::vector<uint8_t> encode(const std::vector<uint8_t>& content)
{
    MemorySource source;
    memset(&source, 0, sizeof(source));
    source.tag = MEMORY_STREAM_TAG;
    source.data = (uint8_t*)content.data();
    source.size = (int32_t)content.size();
    std::vector<uint8_t> block(content.size() * 2 + 64);
    MemorySink sink;
    memset(&sink, 0, sizeof(sink));
    sink.tag = MEMORY_STREAM_TAG;
    sink.data = block.data();
    sink.size = (int32_t)block.size();
    int consumed = lzhufEncode(nullptr, memorySourceRead, &source, memorySinkWrite, &sink);
    EXPECT_EQ(consumed, (int)content.size());
    block.resize(sink.position);
    return block;
}

// Runs `unpack` into a new file at `path` through the C library, as a caller that created the
// file would: 0 when the file cannot be made or closed without error.
uint32_t unpackTo(UnpackFn unpack, uint32_t packedSize, const uint8_t* data, uint32_t unpackedSize, const char* path)
{
    FILE* file = fopen(path, "wb");
    if (file == nullptr) {
        return 0;
    }
    uint32_t written = unpack(packedSize, data, unpackedSize, writeToCFile, file);
    return fclose(file) == 0 ? written : 0;
}

// A writer that takes `room` bytes and then refuses.
struct Refusing {
    uint32_t room;
    std::vector<uint8_t> taken;
};

bool refusingWrite(void* target, const uint8_t* bytes, uint32_t count)
{
    Refusing* refusing = (Refusing*)target;
    if (count > refusing->room) {
        return false;
    }
    refusing->room -= count;
    refusing->taken.insert(refusing->taken.end(), bytes, bytes + count);
    return true;
}

}  // namespace

TEST(UnpackOperations, StoredWritesTheBytesAndReplacesAnOldFile)
{
    TempDir dir;
    std::string path = dir.file("out.bin");
    const std::vector<uint8_t> old(5000, 'o');
    ASSERT_EQ(unpackTo(storedUnpack, (uint32_t)old.size(), old.data(), (uint32_t)old.size(), path.c_str()),
              old.size());
    const std::vector<uint8_t> bytes = {0, 1, 2, 0x1A, '\r', '\n', 0xFF};  // binary mode
    EXPECT_EQ(unpackTo(storedUnpack, 7, bytes.data(), 7, path.c_str()), 7u);
    EXPECT_EQ(readFile(path), bytes);
}

TEST(UnpackOperations, StoredEmptyFileSucceedsWithZero)
{
    TempDir dir;
    std::string path = dir.file("empty");
    EXPECT_EQ(unpackTo(storedUnpack, 0, nullptr, 0, path.c_str()), 0u);
    EXPECT_TRUE(exists(path));
    EXPECT_TRUE(readFile(path).empty());
}

TEST(UnpackOperations, StoredRefusesSizesThatDisagreeBeforeWritingAnything)
{
    std::vector<uint8_t> bytes(11, 'x');
    Refusing writer = {100, {}};
    EXPECT_EQ(storedUnpack(10, bytes.data(), 11, refusingWrite, &writer), 0u);
    EXPECT_EQ(storedUnpack(11, bytes.data(), 10, refusingWrite, &writer), 0u);
    EXPECT_TRUE(writer.taken.empty());
}

TEST(UnpackOperations, AWriterThatRefusesGivesZero)
{
    std::vector<uint8_t> bytes = sampleContent(3 * STREAM_BUFFER_SIZE + 5, 3);
    Refusing writer = {10, {}};
    EXPECT_EQ(storedUnpack((uint32_t)bytes.size(), bytes.data(), (uint32_t)bytes.size(), refusingWrite, &writer), 0u);
    std::vector<uint8_t> packed = encode(bytes);
    // Refused at the first full buffer, and at the final flush.
    for (uint32_t room : {0u, (uint32_t)STREAM_BUFFER_SIZE, 3u * STREAM_BUFFER_SIZE}) {
        Refusing partial = {room, {}};
        EXPECT_EQ(lzhufUnpack((uint32_t)packed.size(), packed.data(), (uint32_t)bytes.size(), refusingWrite, &partial),
                  0u)
            << room;
        EXPECT_EQ(partial.taken, std::vector<uint8_t>(bytes.begin(), bytes.begin() + room));
    }
    EXPECT_EQ(storedUnpack(3, bytes.data(), 3, nullptr, nullptr), 0u);
    EXPECT_EQ(lzhufUnpack((uint32_t)packed.size(), packed.data(), 3, nullptr, nullptr), 0u);
}

TEST(UnpackOperations, DataThatDoesNotReachTheDiskIsAFailure)
{
    // Every write to /dev/full fails once the C library hands the bytes on: for small files
    // that happens only at the final flush or close.
    if (!exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    std::vector<uint8_t> small = sampleContent(100, 1);
    EXPECT_EQ(unpackTo(storedUnpack, 100, small.data(), 100, "/dev/full"), 0u);
    std::vector<uint8_t> packed = encode(small);
    EXPECT_EQ(unpackTo(lzhufUnpack, (uint32_t)packed.size(), packed.data(), 100, "/dev/full"), 0u);
    // Large enough for the sink to write whole buffers on the way.
    std::vector<uint8_t> large = sampleContent(3 * STREAM_BUFFER_SIZE, 2);
    packed = encode(large);
    EXPECT_EQ(unpackTo(lzhufUnpack, (uint32_t)packed.size(), packed.data(), (uint32_t)large.size(),
                          "/dev/full"),
              0u);
}

TEST(UnpackOperations, LzhufDecodesIntoTheFile)
{
    TempDir dir;
    std::string path = dir.file("out.txt");
    for (size_t length : {(size_t)1, (size_t)100, (size_t)STREAM_BUFFER_SIZE, (size_t)STREAM_BUFFER_SIZE + 1,
                          (size_t)50000}) {
        std::vector<uint8_t> content = sampleContent(length, (uint32_t)length);
        std::vector<uint8_t> packed = encode(content);
        ASSERT_EQ(unpackTo(lzhufUnpack, (uint32_t)packed.size(), packed.data(), (uint32_t)length,
                              path.c_str()),
                  length);
        EXPECT_EQ(readFile(path), content) << "length " << length;
    }
}

TEST(UnpackOperations, LzhufOfSizeZeroCreatesAnEmptyFile)
{
    TempDir dir;
    std::string path = dir.file("empty");
    std::vector<uint8_t> packed = encode({});
    EXPECT_EQ(unpackTo(lzhufUnpack, (uint32_t)packed.size(), packed.data(), 0, path.c_str()), 0u);
    EXPECT_TRUE(readFile(path).empty());
    // No data at all: nothing needs reading.
    EXPECT_EQ(unpackTo(lzhufUnpack, 0, nullptr, 0, path.c_str()), 0u);
    EXPECT_TRUE(exists(path));
}

TEST(UnpackOperations, LzhufFailsWhenTheStreamRunsOutEarly)
{
    TempDir dir;
    std::string path = dir.file("out");
    std::vector<uint8_t> content = sampleContent(20000, 7);
    std::vector<uint8_t> packed = encode(content);
    // Half the stream cannot give the whole file.
    EXPECT_EQ(unpackTo(lzhufUnpack, (uint32_t)packed.size() / 2, packed.data(), 20000, path.c_str()), 0u);
    // Nor can an empty one give a single byte.
    EXPECT_EQ(unpackTo(lzhufUnpack, 0, nullptr, 1, path.c_str()), 0u);
}

// What a byte-per-call decode leaves in the file through the same sink, and whether all of
// `size` bytes, no more, reached it: the engine's extraction before it handed out stretches.
static bool unpackBytewise(const std::vector<uint8_t>& packed, uint32_t size, const std::string& path)
{
    MemorySource source;
    setUpMemoryStream(&source, (uint8_t*)packed.data(), (int32_t)packed.size());
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    FileSink sink;
    setUpFileSink(&sink, writeToCFile, file);
    int decoded = lzhufDecode(nullptr, (int)size, memorySourceRead, &source, fileSinkWrite, &sink);
    bool closed = fclose(file) == 0;
    return decoded >= 0 && sink.filled == 0 && closed && (uint32_t)sink.total == size;
}

TEST(UnpackOperations, LzhufLeavesTheSameFileAsAByteWiseDecodeWhereverTheStreamFails)
{
    TempDir dir;
    std::string ours = dir.file("ours"), bytewise = dir.file("bytewise");
    std::vector<uint8_t> content = sampleContent(5 * STREAM_BUFFER_SIZE + 123, 11);
    std::vector<uint8_t> packed = encode(content);
    struct Case { size_t packedSize; uint32_t size; } cases[] = {
        {packed.size(), (uint32_t)content.size()},           // whole
        {packed.size() / 3, (uint32_t)content.size()},       // ends early: whole buffers only
        {packed.size() / 2, (uint32_t)content.size()},
        {packed.size() - 1, (uint32_t)content.size()},
        {packed.size(), (uint32_t)content.size() - 1},       // one byte fewer than the stream holds
        {packed.size(), (uint32_t)content.size() + 1},       // asks for a byte the stream lacks
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.packedSize << " packed bytes, size " << c.size);
        std::vector<uint8_t> cut(packed.begin(), packed.begin() + c.packedSize);
        bool whole = unpackBytewise(cut, c.size, bytewise);
        uint32_t result = unpackTo(lzhufUnpack, (uint32_t)cut.size(), cut.data(), c.size, ours.c_str());
        EXPECT_EQ(result, whole ? c.size : 0u);
        EXPECT_EQ(readFile(ours), readFile(bytewise));
    }
    // Four bytes from a stream asked for two: a literal, then a match of three that runs on.
    const std::vector<uint8_t> runsOn = {0xF6, 0xC6, 0x00, 0x00};
    EXPECT_FALSE(unpackBytewise(runsOn, 2, bytewise));
    EXPECT_EQ(unpackTo(lzhufUnpack, 4, runsOn.data(), 2, ours.c_str()), 0u);
    EXPECT_EQ(readFile(ours), std::vector<uint8_t>(4, 0x61));
    EXPECT_EQ(readFile(bytewise), readFile(ours));
}

namespace {

std::vector<uint8_t> solidStream(const std::vector<std::vector<uint8_t>>& members)
{
    std::vector<const std::vector<uint8_t>*> pointers;
    for (const auto& m : members) pointers.push_back(&m);
    std::vector<uint8_t> stream;
    std::string error;
    EXPECT_TRUE(encodeSolidStream(pointers, SOLID_LEVEL_BEST, true, &stream, &error)) << error;
    return stream;
}

}  // namespace

TEST(UnpackOperations, Lzma2MembersFillTheirFilesInOrder)
{
    TempDir dir;
    const std::vector<std::vector<uint8_t>> members = {sampleContent(100000, 1), {}, sampleContent(300001, 2),
                                                       sampleContent(5, 3)};
    const std::vector<uint8_t> stream = solidStream(members);
    for (size_t i = 0; i < members.size(); ++i) {
        const std::string path = dir.file(("m" + std::to_string(i)).c_str());
        const uint32_t packed = i == 0 ? (uint32_t)stream.size() : 0;
        const uint32_t size = (uint32_t)members[i].size();
        ASSERT_EQ(unpackTo(lzma2Unpack, packed, i == 0 ? stream.data() : nullptr, size, path.c_str()), size) << i;
        EXPECT_EQ(readFile(path), members[i]) << i;
    }
    // The stream is complete and closed: a further member has nothing to continue.
    EXPECT_EQ(unpackTo(lzma2Unpack, 0, nullptr, 0, dir.file("more").c_str()), 0u);
}

// One dictionary serves stream after stream: a stream that needs more than the last one
// took gets a larger one, a smaller stream decodes in the larger one as in its own, and
// after the release the next stream takes a new one.
TEST(UnpackOperations, Lzma2StreamsOfLargerAndSmallerDictionariesDecodeOneAfterAnother)
{
    TempDir dir;
    const std::vector<std::vector<uint8_t>> small = {sampleContent(3000, 6), sampleContent(2000, 7)};
    const std::vector<std::vector<uint8_t>> large = {sampleContent(400000, 8), sampleContent(250000, 9)};
    const std::vector<uint8_t> smallStream = solidStream(small);
    const std::vector<uint8_t> largeStream = solidStream(large);
    SolidStreamHeader smallHeader, largeHeader;
    ASSERT_TRUE(readSolidStreamHeader(smallStream.data(), (uint32_t)smallStream.size(), &smallHeader));
    ASSERT_TRUE(readSolidStreamHeader(largeStream.data(), (uint32_t)largeStream.size(), &largeHeader));
    ASSERT_LT(solidDictionaryNeeded(&smallHeader), solidDictionaryNeeded(&largeHeader));
    int round = 0;
    for (const auto* members : {&small, &large, &small, &large, &small}) {
        const std::vector<uint8_t>& stream = members == &small ? smallStream : largeStream;
        for (size_t i = 0; i < members->size(); ++i) {
            const std::string path = dir.file(("r" + std::to_string(round) + "m" + std::to_string(i)).c_str());
            const uint32_t size = (uint32_t)(*members)[i].size();
            ASSERT_EQ(unpackTo(lzma2Unpack, i == 0 ? (uint32_t)stream.size() : 0, i == 0 ? stream.data() : nullptr,
                               size, path.c_str()), size) << round << " " << i;
            EXPECT_EQ(readFile(path), (*members)[i]) << round << " " << i;
        }
        if (++round == 4) lzma2Release();
    }
}

TEST(UnpackOperations, Lzma2RefusesMembersThatDoNotFitTheirStream)
{
    TempDir dir;
    const std::vector<std::vector<uint8_t>> members = {sampleContent(1000, 4), sampleContent(2000, 5)};
    const std::vector<uint8_t> stream = solidStream(members);
    // The last member asks for less than the stream holds: the stream does not end there.
    ASSERT_EQ(unpackTo(lzma2Unpack, (uint32_t)stream.size(), stream.data(), 1000, dir.file("a").c_str()), 1000u);
    EXPECT_EQ(unpackTo(lzma2Unpack, 0, nullptr, 1999, dir.file("b").c_str()), 0u);
    // Asking for more than it holds fails too.
    ASSERT_EQ(unpackTo(lzma2Unpack, (uint32_t)stream.size(), stream.data(), 1000, dir.file("a").c_str()), 1000u);
    EXPECT_EQ(unpackTo(lzma2Unpack, 0, nullptr, 2001, dir.file("b").c_str()), 0u);
    // A new stream in the middle of one replaces it; its own members then follow.
    ASSERT_EQ(unpackTo(lzma2Unpack, (uint32_t)stream.size(), stream.data(), 1000, dir.file("a").c_str()), 1000u);
    ASSERT_EQ(unpackTo(lzma2Unpack, (uint32_t)stream.size(), stream.data(), 1000, dir.file("a").c_str()), 1000u);
    ASSERT_EQ(unpackTo(lzma2Unpack, 0, nullptr, 2000, dir.file("b").c_str()), 2000u);
    EXPECT_EQ(readFile(dir.file("b")), members[1]);
    // A malformed stream opens nothing and writes nothing.
    std::vector<uint8_t> broken = stream;
    broken[8] = 1;  // a dictionary size off the 4 KiB grain
    Refusing writer = {1u << 20, {}};
    EXPECT_EQ(lzma2Unpack((uint32_t)broken.size(), broken.data(), 1000, refusingWrite, &writer), 0u);
    EXPECT_TRUE(writer.taken.empty());
}

namespace {

// Bytes decoded elsewhere, handed out the way a helper thread publishes them: `step` more
// per question, and an end that is right or not.
struct Arriving {
    uint32_t size;
    uint32_t step;
    uint32_t ready;
    uint32_t failAt;   // no byte at or past this ever arrives
    bool endsRight;
    uint32_t questions;
};

uint32_t arrivingWait(void* state, uint32_t wanted)
{
    Arriving* a = (Arriving*)state;
    ++a->questions;
    if (wanted > a->size) {
        return a->endsRight && a->ready == a->size ? a->size : 0;
    }
    while (a->ready < wanted) {
        uint32_t next = a->ready + a->step < a->size ? a->ready + a->step : a->size;
        if (next > a->failAt) {
            return 0;
        }
        a->ready = next;
    }
    return a->ready;
}

std::vector<uint8_t> joined(const std::vector<std::vector<uint8_t>>& members)
{
    std::vector<uint8_t> all;
    for (const auto& m : members) all.insert(all.end(), m.begin(), m.end());
    return all;
}

}  // namespace

TEST(UnpackOperations, Lzma2MembersComeFromBytesDecodedElsewhereAsTheyArrive)
{
    TempDir dir;
    const std::vector<std::vector<uint8_t>> members = {sampleContent(70000, 6), {}, sampleContent(50001, 7)};
    const std::vector<uint8_t> stream = solidStream(members);
    // The handed-over bytes differ from what the stream decodes to, so that the test sees
    // where each member's bytes came from.
    std::vector<uint8_t> decoded = joined(members);
    for (uint8_t& b : decoded) b ^= 0xA5;
    for (uint32_t step : {1u, 4093u, 1u << 20}) {
        Arriving arriving = {(uint32_t)decoded.size(), step, 0, UINT32_MAX, true, 0};
        lzma2AdoptDecoded(stream.data(), decoded.data(), (uint32_t)decoded.size(), arrivingWait, &arriving);
        size_t at = 0;
        for (size_t i = 0; i < members.size(); ++i) {
            const std::string path = dir.file(("m" + std::to_string(i)).c_str());
            const uint32_t size = (uint32_t)members[i].size();
            ASSERT_EQ(unpackTo(lzma2Unpack, i == 0 ? (uint32_t)stream.size() : 0, i == 0 ? stream.data() : nullptr,
                               size, path.c_str()),
                      size)
                << step << " " << i;
            EXPECT_TRUE(readFile(path) == std::vector<uint8_t>(decoded.begin() + at, decoded.begin() + at + size));
            at += size;
        }
        EXPECT_GT(arriving.questions, step == 1 ? 100000u : 1u);
    }
    // Without a wait all the bytes are there; the adoption holds for one opening only, and
    // only for the stream it names: the next opening decodes.
    lzma2AdoptDecoded(stream.data() + 1, decoded.data(), (uint32_t)decoded.size(), nullptr, nullptr);
    ASSERT_EQ(unpackTo(lzma2Unpack, (uint32_t)stream.size(), stream.data(), 70000, dir.file("a").c_str()), 70000u);
    EXPECT_EQ(readFile(dir.file("a")), members[0]);
}

TEST(UnpackOperations, Lzma2BytesDecodedElsewhereFailTheMemberWhereTheyStop)
{
    TempDir dir;
    const std::vector<std::vector<uint8_t>> members = {sampleContent(30000, 8), sampleContent(20000, 9)};
    const std::vector<uint8_t> stream = solidStream(members);
    const std::vector<uint8_t> decoded = joined(members);
    const uint32_t size = (uint32_t)decoded.size();
    auto run = [&](Arriving arriving, uint32_t* first, uint32_t* second) {
        lzma2AdoptDecoded(stream.data(), decoded.data(), size, arrivingWait, &arriving);
        *first = unpackTo(lzma2Unpack, (uint32_t)stream.size(), stream.data(), 30000, dir.file("a").c_str());
        *second = unpackTo(lzma2Unpack, 0, nullptr, 20000, dir.file("b").c_str());
    };
    uint32_t first = 0, second = 0;
    // The helper gave up inside the first member: it fails, and so does the rest.
    run({size, 1000, 0, 12000, true, 0}, &first, &second);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(second, 0u);
    // Inside the second: the first is whole.
    run({size, 1000, 0, 41000, true, 0}, &first, &second);
    EXPECT_EQ(first, 30000u);
    EXPECT_EQ(readFile(dir.file("a")), members[0]);
    EXPECT_EQ(second, 0u);
    // Every byte arrived, but the stream did not end where its header says.
    run({size, 1000, 0, UINT32_MAX, false, 0}, &first, &second);
    EXPECT_EQ(first, 30000u);
    EXPECT_EQ(second, 0u);
    // Bytes of another size than the header's: the stream does not open.
    lzma2AdoptDecoded(stream.data(), decoded.data(), size - 1, nullptr, nullptr);
    EXPECT_EQ(unpackTo(lzma2Unpack, (uint32_t)stream.size(), stream.data(), 30000, dir.file("a").c_str()), 0u);
}
