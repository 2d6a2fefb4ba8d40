// The unpack operations. A file counts as extracted only when every byte of it has been
// taken by the writer: a failed write means the data may not be in the file, and that is
// reported as a failure (result 0).
#include "extract/unpack_operations.h"

#include <stdio.h>
#include <string.h>

#include "codec/lzhuf_decoder.h"
#include "extract/stream_adapters.h"

uint32_t storedUnpack(uint32_t packedSize, const uint8_t* data, uint32_t unpackedSize,
                      SinkWriteFn write, void* target)
{
    // A stored file is its own packed form, so the two sizes must agree.
    if (packedSize != unpackedSize || write == nullptr) {
        return 0;
    }
    return write(target, data, packedSize) ? packedSize : 0;
}

uint32_t lzhufUnpack(uint32_t packedSize, const uint8_t* data, uint32_t unpackedSize,
                     SinkWriteFn write, void* target)
{
    MemorySource source;
    setUpMemoryStream(&source, (uint8_t*)data, (int32_t)packedSize);
    FileSink sink;
    setUpFileSink(&sink, write, target);
    if (write == nullptr) {
        return 0;
    }
    // The decoder's own result is not needed: success is judged by the bytes it delivered.
    // It flushes at its end; bytes still waiting mean that flush never came, and a flush the
    // writer could not complete fails the decoder, which then stops short.
    int decoded = lzhufDecode(nullptr, (int)unpackedSize, memorySourceRead, &source, fileSinkWrite, &sink);
    if (decoded < 0 || sink.filled != 0 || (uint32_t)sink.total != unpackedSize) {
        return 0;
    }
    return unpackedSize;
}
