// The measure and pack operations: a source file into the stored form of its method.
#include "extract/pack_operations.h"

#include <string.h>

#include "codec/lzhuf_encoder.h"
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
