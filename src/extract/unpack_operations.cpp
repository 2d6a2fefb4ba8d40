// The unpack operations. A file counts as extracted only when every byte of it has reached
// the C library and the stream has been closed without error: a failed final write or close
// means the data may not be on disk, and that is reported as a failure (result 0).
#include "extract/unpack_operations.h"

#include <stdio.h>
#include <string.h>

#include "codec/lzhuf_decoder.h"
#include "codec/solid_stream.h"
#include "extract/stream_adapters.h"

uint32_t storedUnpack(uint32_t packedSize, const uint8_t* data, uint32_t unpackedSize,
                      const char* path)
{
    // A stored file is its own packed form, so the two sizes must agree.
    if (packedSize != unpackedSize) {
        return 0;
    }
    FILE* file = fopen(path, "wb");
    if (file == nullptr) {
        return 0;
    }
    size_t written = packedSize == 0 ? 0 : fwrite(data, 1, packedSize, file);
    if (fclose(file) != 0) {
        return 0;
    }
    return (uint32_t)written;
}

uint32_t lzhufUnpack(uint32_t packedSize, const uint8_t* data, uint32_t unpackedSize,
                     const char* path)
{
    MemorySource source;
    setUpMemoryStream(&source, (uint8_t*)data, (int32_t)packedSize);
    FileSink sink;
    setUpFileStream(&sink, fopen(path, "wb"));
    if (sink.file == nullptr) {
        return 0;
    }
    // The decoder's own result is not needed: success is judged by the bytes it delivered.
    // The block form hands the sink a stretch per call; the sink keeps whole buffers back
    // until a further byte or the flush, so the same bytes reach the file at the same points
    // as from a call per byte, also when the stream fails or runs past the size.
    lzhufDecodeBlocks(nullptr, (int)unpackedSize, memorySourceRead, &source, fileSinkWrite,
                      &sink);
    // The decoder flushes at its end. Bytes still waiting mean that flush never came; a
    // flush the C library could not complete leaves the stream's error indicator set.
    bool flushed = sink.filled == 0 && ferror(sink.file) == 0;
    bool closed = fclose(sink.file) == 0;
    if (!flushed || !closed || (uint32_t)sink.total != unpackedSize) {
        return 0;
    }
    return unpackedSize;
}

namespace {

// The solid stream being extracted, and how many of its members are still to come. One at a
// time: the engine extracts entries in package order.
SolidStreamReader openStream;
uint32_t membersLeft;

}  // namespace

uint32_t lzma2Unpack(uint32_t packedSize, const uint8_t* data, uint32_t unpackedSize,
                     const char* path)
{
    if (packedSize != 0) {
        solidStreamClose(&openStream);
        membersLeft = 0;
        if (!solidStreamOpen(&openStream, data, packedSize)) {
            return 0;
        }
        membersLeft = openStream.header.memberCount;
    }
    if (membersLeft == 0) {
        return 0;
    }
    --membersLeft;
    FileSink sink;
    setUpFileStream(&sink, fopen(path, "wb"));
    if (sink.file == nullptr) {
        return 0;
    }
    uint32_t left = unpackedSize;
    bool ok = true;
    while (ok && left != 0) {
        const uint8_t* bytes = nullptr;
        int32_t count = solidStreamNext(&openStream, &bytes, left);
        ok = count > 0 && fileSinkWrite(bytes, count, &sink) == count;
        left -= ok ? (uint32_t)count : 0;
    }
    ok = ok && fileSinkWrite(nullptr, 0, &sink) >= 0 && sink.filled == 0 && ferror(sink.file) == 0;
    ok = fclose(sink.file) == 0 && ok;
    if (membersLeft == 0) {
        ok = solidStreamFinished(&openStream) && ok;
        solidStreamClose(&openStream);
    }
    return ok && (uint32_t)sink.total == unpackedSize ? unpackedSize : 0;
}
