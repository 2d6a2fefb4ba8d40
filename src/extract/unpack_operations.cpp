// The unpack operations. A file counts as extracted only when every byte of it has been
// taken by the writer: a failed write means the data may not be in the file, and that is
// reported as a failure (result 0).
#include "extract/unpack_operations.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "codec/lzhuf_decoder.h"
#include "codec/solid_stream.h"
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
    // The block form hands the sink a stretch per call; the sink keeps whole buffers back
    // until a further byte or the flush, so the same bytes reach the file at the same points
    // as from a call per byte, also when the stream fails or runs past the size.
    // It flushes at its end; bytes still waiting mean that flush never came, and a flush the
    // writer could not complete fails the decoder, which then stops short.
    int decoded = lzhufDecodeBlocks(nullptr, (int)unpackedSize, memorySourceRead, &source, fileSinkWrite,
                                    &sink);
    if (decoded < 0 || sink.filled != 0 || (uint32_t)sink.total != unpackedSize) {
        return 0;
    }
    return unpackedSize;
}

namespace {

// The solid stream being extracted, and how many of its members are still to come. One at a
// time: the engine extracts entries in package order.
SolidStreamReader openStream;
uint32_t membersLeft;
// The dictionary lent to openStream, kept from one stream to the next: a new one's pages
// would each have to be found and cleared by the system again.
uint8_t* keptDictionary;
uint32_t keptCapacity;

// A stream decoded elsewhere, handed over before its first member: `adoptedStream` is its data.
const uint8_t* adoptedStream;
const uint8_t* decoded;
uint32_t decodedSize;
DecodedWaitFn decodedWait;
void* decodedWaitState;

void forgetDecoded()
{
    decoded = nullptr;
    adoptedStream = nullptr;
}

// Opens the stream that begins at `data`: from the bytes handed over for it, else through
// the decoder. False when the stream is refused or its bytes do not fit its header.
bool openSolid(const uint8_t* data, uint32_t packedSize)
{
    solidStreamClose(&openStream);
    membersLeft = 0;
    if (decoded != nullptr && adoptedStream == data) {
        const uint8_t* bytes = decoded;
        forgetDecoded();
        if (!solidStreamOpenDecoded(&openStream, data, packedSize, bytes, decodedWait, decodedWaitState) ||
            openStream.header.unpackedSize != decodedSize) {
            solidStreamClose(&openStream);
            return false;
        }
        membersLeft = openStream.header.memberCount;
        return true;
    }
    forgetDecoded();
    SolidStreamHeader header;
    if (!readSolidStreamHeader(data, packedSize, &header)) {
        return false;
    }
    uint32_t needed = solidDictionaryNeeded(&header);
    if (keptCapacity < needed) {
        free(keptDictionary);
        keptCapacity = 0;
        keptDictionary = (uint8_t*)malloc(needed);
        if (keptDictionary == nullptr) {
            return false;
        }
        keptCapacity = needed;
    }
    if (!solidStreamOpenIn(&openStream, data, packedSize, keptDictionary, keptCapacity)) {
        return false;
    }
    membersLeft = openStream.header.memberCount;
    return true;
}

}  // namespace

void lzma2Release()
{
    solidStreamClose(&openStream);
    membersLeft = 0;
    forgetDecoded();
    free(keptDictionary);
    keptDictionary = nullptr;
    keptCapacity = 0;
}

void lzma2AdoptDecoded(const uint8_t* stream, const uint8_t* decodedBytes, uint32_t size, DecodedWaitFn wait,
                       void* state)
{
    // A stream read from bytes handed over before lets go of them: they may be gone next.
    if (openStream.decoded != nullptr) {
        solidStreamClose(&openStream);
        membersLeft = 0;
    }
    forgetDecoded();
    adoptedStream = stream;
    decoded = decodedBytes;
    decodedSize = size;
    decodedWait = wait;
    decodedWaitState = state;
}

uint32_t lzma2Unpack(uint32_t packedSize, const uint8_t* data, uint32_t unpackedSize,
                     SinkWriteFn write, void* target)
{
    if (packedSize != 0 && !openSolid(data, packedSize)) {
        return 0;
    }
    if (membersLeft == 0 || write == nullptr) {
        return 0;
    }
    --membersLeft;
    bool ok = true;
    // The reader hands out stretches of its staging buffer: each goes to the writer as it is.
    uint32_t left = unpackedSize;
    while (ok && left != 0) {
        const uint8_t* bytes = nullptr;
        int32_t count = solidStreamNext(&openStream, &bytes, left);
        ok = count > 0 && write(target, bytes, (uint32_t)count);
        left -= ok ? (uint32_t)count : 0;
    }
    if (membersLeft == 0) {
        ok = solidStreamFinished(&openStream) && ok;
        solidStreamClose(&openStream);
    }
    return ok && left == 0 ? unpackedSize : 0;
}
