// Encode and decode arbitrary bytes: the decoder, given the encoder's result as its count,
// must produce exactly the input and consume every packed byte.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "codec/lzhuf_decoder.h"
#include "codec/lzhuf_encoder.h"

namespace {

struct Buffer {
    uint8_t* data;
    size_t size;      // bytes held, or capacity for a sink
    size_t position;  // bytes read or written
    int flushes;
};

int32_t readBuffer(uint8_t* destination, int32_t capacity, void* state) {
    Buffer* b = static_cast<Buffer*>(state);
    if (capacity != 1) {
        abort();
    }
    if (b->position >= b->size) {
        return 0;
    }
    *destination = b->data[b->position++];
    return 1;
}

int32_t writeBuffer(const uint8_t* source, int32_t count, void* state) {
    Buffer* b = static_cast<Buffer*>(state);
    if (source == nullptr) {
        ++b->flushes;
        return 0;
    }
    if (count != 1 || b->position >= b->size) {
        abort();
    }
    b->data[b->position++] = *source;
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Even a symbol with an 18-bit code and no match stays below three bytes per input byte.
    size_t capacity = 3 * size + 16;
    uint8_t* packed = static_cast<uint8_t*>(malloc(capacity));
    uint8_t* output = static_cast<uint8_t*>(malloc(size + 1));
    Buffer source = {const_cast<uint8_t*>(data), size, 0, 0};
    Buffer sink = {packed, capacity, 0, 0};
    int consumed = lzhufEncode(nullptr, readBuffer, &source, writeBuffer, &sink);
    if (consumed != static_cast<int>(size) || sink.flushes != 1) {
        abort();
    }
    Buffer packedSource = {packed, sink.position, 0, 0};
    Buffer outputSink = {output, size, 0, 0};
    int result = lzhufDecode(nullptr, consumed, readBuffer, &packedSource, writeBuffer, &outputSink);
    if (result != 0 || outputSink.position != size || memcmp(output, data, size) != 0) {
        abort();
    }
    if (size > 0 && packedSource.position != sink.position) {
        abort();
    }
    free(packed);
    free(output);
    return 0;
}
