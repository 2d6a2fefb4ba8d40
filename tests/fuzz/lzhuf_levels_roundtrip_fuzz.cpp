// The fast and best encoder levels on arbitrary bytes (the first byte chooses the level, the
// rest is the input): the decoder, given the input's size, must produce exactly the input
// from the stream and consume all of it, and a decoder whose window starts with zeros
// instead of spaces must produce the same bytes.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "codec/lzhuf_decoder.h"
#include "codec/lzhuf_levels.h"
#include "tests/support/lzhuf_reference_decoder.h"

namespace {

struct Source {
    const uint8_t* data;
    size_t size;
    size_t position;
};

int32_t readSource(uint8_t* destination, int32_t capacity, void* state) {
    Source* s = static_cast<Source*>(state);
    if (capacity != 1) {
        abort();
    }
    if (s->position >= s->size) {
        return 0;
    }
    *destination = s->data[s->position++];
    return 1;
}

struct Sink {
    std::vector<uint8_t> bytes;
    int flushes;
};

int32_t writeSink(const uint8_t* source, int32_t count, void* state) {
    Sink* s = static_cast<Sink*>(state);
    if (source == nullptr) {
        ++s->flushes;
        return 0;
    }
    if (count < 1 || s->flushes != 0) {
        abort();
    }
    s->bytes.insert(s->bytes.end(), source, source + count);
    return count;
}

LzhufFastWork fastWork;
LzhufBestWork bestWork;
LzhufContext context;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    bool best = (data[0] & 1) != 0;
    ++data;
    --size;
    Sink packed = {{}, 0};
    int consumed = best ? lzhufEncodeBest(&context, &bestWork, data, static_cast<int32_t>(size), writeSink, &packed)
                        : lzhufEncodeFast(&context, &fastWork, data, static_cast<int32_t>(size), writeSink, &packed);
    if (consumed != static_cast<int>(size) || packed.flushes != 1) {
        abort();
    }
    Source source = {packed.bytes.data(), packed.bytes.size(), 0};
    Sink output = {{}, 0};
    int result = lzhufDecode(&context, consumed, readSource, &source, writeSink, &output);
    if (result != 0 || output.bytes.size() != size || (size > 0 && memcmp(output.bytes.data(), data, size) != 0) ||
        source.position != packed.bytes.size()) {
        abort();
    }
    Source again = {packed.bytes.data(), packed.bytes.size(), 0};
    Sink zeros = {{}, 0};
    result = lzhufDecodeStepwise(&context, consumed, readSource, &again, writeSink, &zeros, 0x00);
    if (result != 0 || zeros.bytes != output.bytes) {
        abort();
    }
    return 0;
}
