#include "extract/pack_operations.h"

#include <gtest/gtest.h>

#include "extract/stream_adapters.h"
#include "support/test_files.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "codec/lzhuf_encoder.h"
#include "extract/storage_methods.h"
#include "extract/stream_adapters.h"
#include "extract/unpack_operations.h"
#include "platform/file_size.h"

namespace {

std::vector<uint8_t> randomBytes(size_t length, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(length);
    for (uint8_t& byte : bytes) {
        byte = (uint8_t)random();
    }
    return bytes;
}

// Compressible content: repeated lines with a counter in them.
std::vector<uint8_t> textBytes(size_t length)
{
    std::string text;
    for (int line = 0; text.size() < length; ++line) {
        text += "line " + std::to_string(line) + ": the quick brown fox\r\n";
    }
    return std::vector<uint8_t>(text.begin(), text.begin() + length);
}

// Runs a pack operation into a fresh file and gives back its result and what it wrote.
uint32_t packInto(PackFn pack, const std::string& source, const std::string& output,
                  std::vector<uint8_t>* written)
{
    FILE* file = fopen(output.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    uint32_t result = pack(source.c_str(), file);
    fclose(file);
    *written = readFile(output);
    return result;
}

}  // namespace

TEST(PackOperations, QueryFileSizeGivesTheSizeOrZero)
{
    TempDir dir;
    writeFile(dir.file("seven"), std::vector<uint8_t>(7, 1));
    writeFile(dir.file("empty"), {});
    EXPECT_EQ(queryFileSize(dir.file("seven").c_str()), 7u);
    EXPECT_EQ(queryFileSize(dir.file("empty").c_str()), 0u);
    EXPECT_EQ(queryFileSize(dir.file("missing").c_str()), 0u);
    EXPECT_EQ(queryFileSize(dir.path.c_str()), 0u);  // a directory is not a file
    EXPECT_EQ(storedMeasure(dir.file("seven").c_str()), 7u);
}

TEST(PackOperations, QueryFileSizeIsTheSizeModulo4GiB)
{
    TempDir dir;
    std::string path = dir.file("sparse");
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    // A sparse file of 4 GiB + 5 bytes costs no disk space.
    if (fseeko(file, ((off_t)1 << 32) + 4, SEEK_SET) != 0 || fputc(0, file) == EOF) {
        fclose(file);
        GTEST_SKIP() << "no large sparse files here";
    }
    fclose(file);
    EXPECT_EQ(queryFileSize(path.c_str()), 5u);
}

TEST(PackOperations, StoredPackCopiesFilesAroundChunkBoundaries)
{
    TempDir dir;
    for (size_t length : {(size_t)0, (size_t)1, (size_t)COPY_CHUNK_SIZE - 1, (size_t)COPY_CHUNK_SIZE,
                          (size_t)COPY_CHUNK_SIZE + 1, (size_t)3 * COPY_CHUNK_SIZE}) {
        std::vector<uint8_t> content = randomBytes(length, (uint32_t)length);
        writeFile(dir.file("in"), content);
        std::vector<uint8_t> written;
        EXPECT_EQ(packInto(storedPack, dir.file("in"), dir.file("out"), &written), length);
        EXPECT_EQ(written, content) << "length " << length;
        EXPECT_EQ(storedMeasure(dir.file("in").c_str()), length);
    }
}

TEST(PackOperations, StoredPackAppendsToTheCallersStreamAndLeavesItOpen)
{
    TempDir dir;
    writeFile(dir.file("in"), {'d', 'a', 't', 'a'});
    FILE* output = fopen(dir.file("out").c_str(), "wb");
    ASSERT_NE(output, nullptr);
    ASSERT_EQ(fwrite("head", 1, 4, output), 4u);
    EXPECT_EQ(storedPack(dir.file("in").c_str(), output), 4u);
    EXPECT_EQ(fputc('!', output), '!');  // still open and usable
    fclose(output);
    std::vector<uint8_t> expected = {'h', 'e', 'a', 'd', 'd', 'a', 't', 'a', '!'};
    EXPECT_EQ(readFile(dir.file("out")), expected);
}

TEST(PackOperations, StoredPackReportsWhatAShortWriteLeft)
{
    // An unbuffered /dev/full refuses every write at once.
    FILE* output = fopen("/dev/full", "wb");
    if (output == nullptr) {
        GTEST_SKIP() << "no /dev/full";
    }
    setvbuf(output, nullptr, _IONBF, 0);
    TempDir dir;
    writeFile(dir.file("in"), randomBytes(2 * COPY_CHUNK_SIZE, 3));
    EXPECT_EQ(storedPack(dir.file("in").c_str(), output), 0u);
    fclose(output);
}

TEST(PackOperations, MissingSourceGivesZero)
{
    TempDir dir;
    std::string missing = dir.file("missing");
    FILE* output = fopen(dir.file("out").c_str(), "wb");
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(storedMeasure(missing.c_str()), 0u);
    EXPECT_EQ(storedPack(missing.c_str(), output), 0u);
    EXPECT_EQ(lzhufMeasure(missing.c_str()), 0u);
    EXPECT_EQ(lzhufPack(missing.c_str(), output), 0u);
    EXPECT_EQ(ftell(output), 0);
    fclose(output);
}

TEST(PackOperations, LzhufMeasureOfAnEmptyFileIsTheEncodersOutputForEmptyInput)
{
    TempDir dir;
    writeFile(dir.file("empty"), {});
    // The same count taken straight from the encoder over an empty memory source.
    MemoryStream source;
    memset(&source, 0, sizeof(source));
    source.tag = MEMORY_STREAM_TAG;
    MemoryStream counter;
    memset(&counter, 0, sizeof(counter));
    counter.tag = MEMORY_STREAM_TAG;
    uint8_t nothing = 0;
    source.data = &nothing;
    ASSERT_EQ(lzhufEncode(nullptr, memorySourceRead, &source, memorySinkWrite, &counter), 0);
    EXPECT_EQ(lzhufMeasure(dir.file("empty").c_str()), (uint32_t)counter.size);

    std::vector<uint8_t> written;
    EXPECT_EQ(packInto(lzhufPack, dir.file("empty"), dir.file("out"), &written),
              (uint32_t)counter.size);
    EXPECT_EQ(written.size(), (size_t)counter.size);
}

TEST(PackOperations, EachMethodRoundTripsThroughItsUnpack)
{
    TempDir dir;
    std::string source = dir.file("in");
    std::string packed = dir.file("packed");
    std::string unpacked = dir.file("unpacked");
    struct Sample {
        const char* what;
        std::vector<uint8_t> content;
    };
    std::vector<Sample> samples = {
        {"one byte", {'x'}},
        {"text", textBytes(30000)},
        {"random", randomBytes(9000, 11)},
        {"two chunks exactly", textBytes(2 * COPY_CHUNK_SIZE)},
        {"runs", std::vector<uint8_t>(70000, 0)},
    };
    for (const StorageMethod& method : STORAGE_METHODS) {
        for (const Sample& sample : samples) {
            SCOPED_TRACE(std::string(sample.what) + ", method " + std::to_string(method.id));
            writeFile(source, sample.content);
            std::vector<uint8_t> written;
            uint32_t result = packInto(method.pack, source, packed, &written);
            ASSERT_EQ(result, written.size());
            EXPECT_EQ(method.measure(source.c_str()), result);
            uint32_t size = (uint32_t)sample.content.size();
            FILE* out = fopen(unpacked.c_str(), "wb");
            ASSERT_NE(out, nullptr);
            uint32_t back = method.unpack(result, written.data(), size, writeToCFile, out);
            ASSERT_EQ(fclose(out), 0);
            ASSERT_EQ(back, size);
            EXPECT_EQ(readFile(unpacked), sample.content);
        }
    }
}

TEST(PackOperations, LzhufPackReportsAFailedEncoding)
{
    // The output refuses every write, so the encoder gets an error from the sink the first
    // time a full buffer goes out and gives up before the end of the file.
    FILE* output = fopen("/dev/full", "wb");
    if (output == nullptr) {
        GTEST_SKIP() << "no /dev/full";
    }
    setvbuf(output, nullptr, _IONBF, 0);
    TempDir dir;
    writeFile(dir.file("in"), randomBytes(4 * STREAM_BUFFER_SIZE, 5));
    EXPECT_EQ(lzhufPack(dir.file("in").c_str(), output), 0u);
    // A small file's stream goes out only at the final flush, whose failure the encoder
    // cannot see.
    clearerr(output);
    writeFile(dir.file("small"), textBytes(500));
    EXPECT_EQ(lzhufPack(dir.file("small").c_str(), output), 0u);
    fclose(output);
}
