// The decoder on arbitrary bytes: the first four give the count of bytes to produce, the
// rest is the stream. It must neither crash nor touch memory out of bounds, and it must
// end with 0 (having produced at least count bytes) or -1 (the input ended early).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "codec/lzhuf_decoder.h"

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    size_t position;
};

int32_t readInput(uint8_t* destination, int32_t capacity, void* state) {
    Input* in = static_cast<Input*>(state);
    if (destination == nullptr || capacity < 1) {
        abort();
    }
    if (in->position >= in->size) {
        return 0;
    }
    *destination = in->data[in->position++];
    return 1;
}

struct Output {
    int64_t produced;
    int flushes;
};

int32_t countOutput(const uint8_t* source, int32_t count, void* state) {
    Output* out = static_cast<Output*>(state);
    if (source == nullptr) {
        ++out->flushes;
        return 0;
    }
    if (count != 1 || out->flushes != 0) {
        abort();
    }
    ++out->produced;
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) {
        return 0;
    }
    int32_t count;
    memcpy(&count, data, sizeof(count));
    Input in = {data + 4, size - 4, 0};
    Output out = {0, 0};
    int result = lzhufDecode(nullptr, count, readInput, &in, countOutput, &out);
    if (result == 0) {
        // A match may carry the output past count by up to 59 bytes, never more.
        if (out.flushes != 1 || (count > 0 && (out.produced < count || out.produced > count + 59))) {
            abort();
        }
    } else if (result != -1 || out.flushes != 0) {
        abort();
    }
    return 0;
}
