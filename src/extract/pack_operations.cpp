// The measure and pack operations: a source file into the stored form of its method.
#include "extract/pack_operations.h"

#include <string.h>

#include "codec/lzhuf_encoder.h"
#include "codec/solid_stream.h"
#include "extract/stream_adapters.h"
#include "platform/file_size.h"

uint32_t storedMeasure(const char* path)
{
    return queryFileSize(path);
}

uint32_t storedPack(const char* path, FILE* output)
{
    FILE* source = fopen(path, "rb");
    if (source == nullptr) {
        return 0;
    }
    uint8_t chunk[COPY_CHUNK_SIZE];
    uint32_t total = 0;
    size_t read = 0;
    do {
        // A read error of the C library ends the copy like the end of the file.
        read = fread(chunk, 1, COPY_CHUNK_SIZE, source);
        if (read > 0) {
            size_t written = fwrite(chunk, 1, read, output);
            if (written < read) {
                fclose(source);
                return total + (uint32_t)written;
            }
            total += (uint32_t)read;
        }
    } while (read == COPY_CHUNK_SIZE);
    fclose(source);
    return total;
}

uint32_t lzhufMeasure(const char* path)
{
    FileSource source;
    setUpFileStream(&source, fopen(path, "rb"));
    MemorySink counter;
    setUpMemoryStream(&counter, nullptr, 0);
    if (source.file == nullptr) {
        return 0;
    }
    int consumed = lzhufEncode(nullptr, fileSourceRead, &source, memorySinkWrite, &counter);
    fclose(source.file);
    // Only a run that consumed the whole file measured it.
    if (consumed < 0 || (uint32_t)consumed != queryFileSize(path)) {
        return 0;
    }
    return (uint32_t)counter.size;
}

uint32_t lzhufPack(const char* path, FILE* output)
{
    FileSource source;
    setUpFileStream(&source, fopen(path, "rb"));
    FileSink sink;
    setUpFileSink(&sink, writeToCFile, output);
    if (source.file == nullptr) {
        return 0;
    }
    int consumed = lzhufEncode(nullptr, fileSourceRead, &source, fileSinkWrite, &sink);
    fclose(source.file);
    // An encoding that failed, or that stopped before the end of the file, is no packed
    // form of it: report nothing written, so that the caller does not take a truncated
    // stream for the file. The final flush reports a short write only through the stream's
    // error indicator.
    if (consumed < 0 || (uint32_t)consumed != queryFileSize(path) || sink.filled != 0 ||
        ferror(output) != 0) {
        return 0;
    }
    return (uint32_t)sink.total;
}

namespace {

// A stored LZMA2 chunk: control byte, then the size - 1 in 16 bits, big-endian.
const uint32_t STORED_CHUNK_HEAD_SIZE = 3;
const uint8_t STORED_CHUNK_FIRST = 0x01;  // resets the dictionary, as a stream must begin
const uint8_t STORED_CHUNK_NEXT = 0x02;
const uint8_t CHUNK_END = 0x00;

void storeLittleEndian32(uint8_t* bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        bytes[i] = (uint8_t)(value >> (8 * i));
    }
}

// The size of a one-member stream of stored chunks for `fileSize` bytes; 0 when it would not
// fit 32 bits.
uint32_t storedStreamSize(uint32_t fileSize)
{
    uint64_t chunks = ((uint64_t)fileSize + COPY_CHUNK_SIZE - 1) / COPY_CHUNK_SIZE;
    uint64_t size = SOLID_HEADER_SIZE + (uint64_t)fileSize + chunks * STORED_CHUNK_HEAD_SIZE + 1;
    return size > 0xFFFFFFFFu ? 0 : (uint32_t)size;
}

}  // namespace

uint32_t lzma2Measure(const char* path)
{
    return storedStreamSize(queryFileSize(path));
}

uint32_t lzma2Pack(const char* path, FILE* output)
{
    uint32_t fileSize = queryFileSize(path);
    if (storedStreamSize(fileSize) == 0) {
        return 0;
    }
    FILE* source = fopen(path, "rb");
    if (source == nullptr) {
        return 0;
    }
    uint8_t header[SOLID_HEADER_SIZE];
    storeLittleEndian32(header, 1);
    storeLittleEndian32(header + 4, fileSize);
    storeLittleEndian32(header + 8, SOLID_DICTIONARY_MIN);
    storeLittleEndian32(header + 12, SOLID_FILTER_NONE);
    bool ok = fwrite(header, 1, SOLID_HEADER_SIZE, output) == SOLID_HEADER_SIZE;
    uint32_t written = SOLID_HEADER_SIZE;
    uint32_t copied = 0;
    uint8_t chunk[STORED_CHUNK_HEAD_SIZE + COPY_CHUNK_SIZE];
    while (ok) {
        size_t read = fread(chunk + STORED_CHUNK_HEAD_SIZE, 1, COPY_CHUNK_SIZE, source);
        if (read == 0) {
            break;
        }
        chunk[0] = copied == 0 ? STORED_CHUNK_FIRST : STORED_CHUNK_NEXT;
        chunk[1] = (uint8_t)((read - 1) >> 8);
        chunk[2] = (uint8_t)(read - 1);
        size_t length = STORED_CHUNK_HEAD_SIZE + read;
        ok = fwrite(chunk, 1, length, output) == length;
        written += (uint32_t)length;
        copied += (uint32_t)read;
    }
    fclose(source);
    uint8_t end = CHUNK_END;
    ok = ok && fwrite(&end, 1, 1, output) == 1;
    // A file that changed size meanwhile would leave the header wrong: no stream then.
    if (!ok || copied != fileSize) {
        return 0;
    }
    return written + 1;
}
