#include "extract/stream_adapters.h"

#include <gtest/gtest.h>

#include "support/test_files.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

// A private directory per test, removed with everything in it.
std::vector<uint8_t> pattern(size_t length)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = (uint8_t)(i * 131 + (i >> 8));
    }
    return bytes;
}

FileStream fileStream(FILE* file)
{
    FileStream stream;
    memset(&stream, 0, sizeof(stream));
    stream.tag = FILE_STREAM_TAG;
    stream.file = file;
    return stream;
}

FileSink fileSink(FILE* file)
{
    FileSink sink;
    setUpFileSink(&sink, writeToCFile, file);
    return sink;
}

MemoryStream memoryStream(uint8_t* data, int32_t size)
{
    MemoryStream stream;
    memset(&stream, 0, sizeof(stream));
    stream.tag = MEMORY_STREAM_TAG;
    stream.data = data;
    stream.size = size;
    return stream;
}

}  // namespace

TEST(StreamAdapters, FileSinkWritesAFullBufferOnlyWhenAFurtherByteArrives)
{
    TempDir dir;
    FILE* file = fopen(dir.file("out").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    FileSink sink = fileSink(file);
    std::vector<uint8_t> bytes = pattern(STREAM_BUFFER_SIZE + 1);

    for (int32_t i = 0; i < STREAM_BUFFER_SIZE; ++i) {
        ASSERT_EQ(fileSinkWrite(&bytes[i], 1, &sink), 1);
    }
    EXPECT_EQ(ftell(file), 0);  // nothing handed to the C library yet
    EXPECT_EQ(sink.filled, STREAM_BUFFER_SIZE);

    EXPECT_EQ(fileSinkWrite(&bytes[STREAM_BUFFER_SIZE], 1, &sink), 1);
    EXPECT_EQ(ftell(file), STREAM_BUFFER_SIZE);
    EXPECT_EQ(sink.filled, 1);
    EXPECT_EQ(sink.position, 1);

    EXPECT_EQ(fileSinkWrite(nullptr, 0, &sink), 1);  // the flush reports the one byte left
    EXPECT_EQ(fileSinkWrite(nullptr, 0, &sink), 0);  // nothing waits any more
    EXPECT_EQ(sink.total, STREAM_BUFFER_SIZE + 1);   // flushes are not counted
    fclose(file);
    EXPECT_EQ(readFile(dir.file("out")), bytes);
}

TEST(StreamAdapters, FileSinkTakesLargeWritesAcrossSeveralBuffers)
{
    TempDir dir;
    FILE* file = fopen(dir.file("out").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    FileSink sink = fileSink(file);
    std::vector<uint8_t> bytes = pattern(3 * STREAM_BUFFER_SIZE + 17);
    EXPECT_EQ(fileSinkWrite(bytes.data(), 100, &sink), 100);
    EXPECT_EQ(fileSinkWrite(bytes.data() + 100, (int32_t)bytes.size() - 100, &sink),
              (int32_t)bytes.size() - 100);
    EXPECT_EQ(fileSinkWrite(nullptr, 0, &sink), 17);
    EXPECT_EQ(sink.total, (int32_t)bytes.size());
    fclose(file);
    EXPECT_EQ(readFile(dir.file("out")), bytes);
}

TEST(StreamAdapters, FileSinkReportsAFailedBufferWrite)
{
    // A stream opened for reading refuses every write.
    TempDir dir;
    writeFile(dir.file("in"), {1});
    FILE* file = fopen(dir.file("in").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    FileSink sink = fileSink(file);
    std::vector<uint8_t> bytes = pattern(STREAM_BUFFER_SIZE + 1);
    EXPECT_EQ(fileSinkWrite(bytes.data(), STREAM_BUFFER_SIZE, &sink), STREAM_BUFFER_SIZE);
    EXPECT_EQ(fileSinkWrite(bytes.data() + STREAM_BUFFER_SIZE, 1, &sink), STREAM_ERR_WRITE);
    EXPECT_EQ(sink.total, STREAM_BUFFER_SIZE);
    fclose(file);
}

TEST(StreamAdapters, CallbacksRefuseRecordsOfTheOtherKindAndTouchNothing)
{
    uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t destination[8] = {};

    MemoryStream memory = memoryStream(bytes, 8);
    MemoryStream memoryBefore = memory;
    EXPECT_EQ(fileSinkWrite(bytes, 1, &memory), STREAM_ERR_STATE);
    EXPECT_EQ(fileSinkWrite(nullptr, 0, &memory), STREAM_ERR_STATE);
    EXPECT_EQ(fileSourceRead(destination, 1, &memory), STREAM_ERR_STATE);
    EXPECT_EQ(0, memcmp(&memory, &memoryBefore, sizeof(memory)));

    FileStream file = fileStream(stdin);
    file.buffer[0] = 42;
    file.filled = 1;
    FileStream fileBefore = file;
    EXPECT_EQ(memorySourceRead(destination, 1, &file), STREAM_ERR_STATE);
    EXPECT_EQ(memorySinkWrite(bytes, 1, &file), STREAM_ERR_STATE);
    EXPECT_EQ(memorySinkWrite(nullptr, 0, &file), STREAM_ERR_STATE);
    EXPECT_EQ(0, memcmp(&file, &fileBefore, sizeof(file)));
    for (uint8_t byte : destination) {
        EXPECT_EQ(byte, 0);
    }
}

TEST(StreamAdapters, CallbacksRefuseMissingFileOrDestination)
{
    uint8_t bytes[4] = {1, 2, 3, 4};
    FileStream noFile = fileStream(nullptr);
    FileSink noWriter;
    setUpFileSink(&noWriter, nullptr, stdout);
    EXPECT_EQ(fileSinkWrite(bytes, 1, &noWriter), STREAM_ERR_STATE);
    EXPECT_EQ(fileSinkWrite(bytes, 1, &noFile), STREAM_ERR_STATE);
    EXPECT_EQ(fileSourceRead(bytes, 1, &noFile), STREAM_ERR_STATE);
    FileStream source = fileStream(stdin);
    EXPECT_EQ(fileSourceRead(nullptr, 1, &source), STREAM_ERR_STATE);
    MemoryStream memory = memoryStream(bytes, 4);
    EXPECT_EQ(memorySourceRead(nullptr, 1, &memory), STREAM_ERR_STATE);
    EXPECT_EQ(memory.position, 0);
}

TEST(StreamAdapters, MemorySourceDeliversInOrderThenZeroForever)
{
    std::vector<uint8_t> bytes = pattern(5);
    MemorySource source = memoryStream(bytes.data(), 5);
    uint8_t destination[8] = {};
    EXPECT_EQ(memorySourceRead(destination, 0, &source), 0);
    EXPECT_EQ(memorySourceRead(destination, 3, &source), 3);
    EXPECT_EQ(memorySourceRead(destination + 3, 8, &source), 2);
    EXPECT_EQ(std::vector<uint8_t>(destination, destination + 5), bytes);
    for (int call = 0; call < 3; ++call) {
        EXPECT_EQ(memorySourceRead(destination, 1, &source), 0);
    }
    EXPECT_EQ(source.position, 5);
}

TEST(StreamAdapters, FileSourceReadsAcrossItsRefills)
{
    TempDir dir;
    std::vector<uint8_t> bytes = pattern(2 * STREAM_BUFFER_SIZE + 100);
    writeFile(dir.file("in"), bytes);
    FILE* file = fopen(dir.file("in").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    FileSource source = fileStream(file);

    std::vector<uint8_t> read(bytes.size() + 10);
    // A capacity of 0 does not touch the file.
    EXPECT_EQ(fileSourceRead(read.data(), 0, &source), 0);
    EXPECT_EQ(ftell(file), 0);

    EXPECT_EQ(fileSourceRead(read.data(), 4000, &source), 4000);
    // More than the buffer holds: the rest of this fill, then the start of the next.
    EXPECT_EQ(fileSourceRead(read.data() + 4000, 200, &source), 200);
    EXPECT_EQ(ftell(file), 2 * STREAM_BUFFER_SIZE);
    // Everything else in one call spanning a whole further fill.
    int32_t rest = (int32_t)bytes.size() - 4200;
    EXPECT_EQ(fileSourceRead(read.data() + 4200, rest + 10, &source), rest);
    read.resize(bytes.size());
    EXPECT_EQ(read, bytes);

    // Exhausted: 0 on every further call.
    uint8_t one = 0;
    EXPECT_EQ(fileSourceRead(&one, 1, &source), 0);
    EXPECT_EQ(fileSourceRead(&one, 1, &source), 0);
    EXPECT_EQ(source.total, 0);
    fclose(file);
}

TEST(StreamAdapters, MemorySinkFillsItsBlockAndRefusesOverflow)
{
    uint8_t block[9];
    memset(block, 0xEE, sizeof(block));
    MemorySink sink = memoryStream(block, 8);
    const uint8_t bytes[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(memorySinkWrite(bytes, 5, &sink), 5);
    EXPECT_EQ(memorySinkWrite(bytes + 5, 3, &sink), 3);
    EXPECT_EQ(memorySinkWrite(bytes + 8, 1, &sink), STREAM_ERR_WRITE);
    EXPECT_EQ(sink.position, 8);
    EXPECT_EQ(0, memcmp(block, bytes, 8));
    EXPECT_EQ(block[8], 0xEE);
    EXPECT_EQ(memorySinkWrite(nullptr, 0, &sink), 0);

    MemorySink counter = memoryStream(nullptr, 0);
    EXPECT_EQ(memorySinkWrite(bytes, 9, &counter), 9);
    EXPECT_EQ(memorySinkWrite(bytes, 1, &counter), 1);
    EXPECT_EQ(memorySinkWrite(nullptr, 0, &counter), 0);
    EXPECT_EQ(counter.size, 10);
    EXPECT_EQ(counter.position, 0);
}
