// lzhufDecode against the stepwise decoder. The first four bytes give the count, the next
// two the number of bytes after which the read callback fails (0xFFFF: never), the next two
// the same for the write callback. With the count's lowest bit clear the rest is the
// stream; with it set, the rest is a script of three-byte steps, each coding one symbol
// (with an offset for a match) up to 256 times in a row, so that skewed trees, one-bit
// codes and codes deeper than 16 bits are within reach; the count is then what the script
// produces. Both decoders must return the same result, write the same bytes and flush the
// same number of times; so must the block form, whose writer keeps what fits below the
// write failure point.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "codec/lzhuf_decoder.h"
#include "codec/lzhuf_encoder.h"
#include "tests/support/lzhuf_reference_decoder.h"

namespace {

const uint16_t NEVER = 0xFFFF;
const int32_t READ_FAILURE = -7;
const int32_t WRITE_FAILURE = -9;

struct Input {
    const uint8_t* data;
    size_t size;
    size_t position;
    size_t failAt;
};

int32_t readInput(uint8_t* destination, int32_t capacity, void* state) {
    Input* in = static_cast<Input*>(state);
    if (destination == nullptr || capacity != 1) {
        abort();
    }
    if (in->position >= in->failAt) {
        return READ_FAILURE;
    }
    if (in->position >= in->size) {
        return 0;
    }
    *destination = in->data[in->position++];
    return 1;
}

// What a decoder wrote. A byte-wise decoder's writer takes one byte a call; the block
// form's takes any count. Either keeps what fits below failAt, and fails unless that is
// all of it.
struct Output {
    std::vector<uint8_t> bytes;
    size_t failAt;
    int flushes;
    bool blocks;
};

int32_t writeOutput(const uint8_t* source, int32_t count, void* state) {
    Output* out = static_cast<Output*>(state);
    if (source == nullptr) {
        ++out->flushes;
        return 0;
    }
    if (count < 1 || (count != 1 && !out->blocks) || out->flushes != 0) {
        abort();
    }
    size_t room = out->bytes.size() < out->failAt ? out->failAt - out->bytes.size() : 0;
    size_t fits = room < static_cast<size_t>(count) ? room : static_cast<size_t>(count);
    out->bytes.insert(out->bytes.end(), source, source + fits);
    return fits == static_cast<size_t>(count) ? count : WRITE_FAILURE;
}

LzhufContext fastContext;
LzhufContext blockContext;
LzhufContext plainContext;
LzhufContext scriptContext;

const size_t SCRIPT_STEP = 3;
const int SCRIPT_SYMBOLS_MAX = 200000;

int32_t collect(const uint8_t* source, int32_t count, void* state) {
    std::vector<uint8_t>* bytes = static_cast<std::vector<uint8_t>*>(state);
    if (source != nullptr) {
        bytes->insert(bytes->end(), source, source + count);
    }
    return count;
}

// Codes the script's symbols with the encoder's own steps; returns the bytes they decode to.
int32_t codeScript(const uint8_t* script, size_t size, std::vector<uint8_t>* stream) {
    LzhufContext* c = &scriptContext;
    clearContext(c);
    startModel(c);
    int64_t produced = 0;
    int symbols = 0;
    for (size_t k = 0; k + SCRIPT_STEP <= size && symbols < SCRIPT_SYMBOLS_MAX; k += SCRIPT_STEP) {
        int symbol = (script[k] | script[k + 1] << 8) % SYMBOL_COUNT;
        int times = script[k + 2] + 1;
        unsigned offset = (script[k] << 4 | script[k + 2]) % RING_SIZE;
        for (int t = 0; t < times && symbols < SCRIPT_SYMBOLS_MAX; ++t, ++symbols) {
            encodeSymbol(c, symbol, collect, stream);
            if (symbol >= 256) {
                encodeOffset(c, offset, collect, stream);
            }
            produced += symbol >= 256 ? symbol - 253 : 1;
        }
    }
    flushBits(c, collect, stream);
    return static_cast<int32_t>(produced);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) {
        return 0;
    }
    int32_t count;
    uint16_t readFailAt;
    uint16_t writeFailAt;
    memcpy(&count, data, sizeof(count));
    memcpy(&readFailAt, data + 4, sizeof(readFailAt));
    memcpy(&writeFailAt, data + 6, sizeof(writeFailAt));
    size_t readLimit = readFailAt == NEVER ? SIZE_MAX : readFailAt;
    size_t writeLimit = writeFailAt == NEVER ? SIZE_MAX : writeFailAt;

    std::vector<uint8_t> scripted;
    const uint8_t* stream = data + 8;
    size_t streamSize = size - 8;
    if (count & 1) {
        count = codeScript(data + 8, size - 8, &scripted);
        stream = scripted.data();
        streamSize = scripted.size();
    }

    Input fastIn = {stream, streamSize, 0, readLimit};
    Output fastOut = {{}, writeLimit, 0, false};
    int fast = lzhufDecode(&fastContext, count, readInput, &fastIn, writeOutput, &fastOut);
    Input plainIn = {stream, streamSize, 0, readLimit};
    Output plainOut = {{}, writeLimit, 0, false};
    int plain = lzhufDecodeStepwise(&plainContext, count, readInput, &plainIn, writeOutput, &plainOut);
    if (fast != plain || fastOut.bytes != plainOut.bytes || fastOut.flushes != plainOut.flushes) {
        abort();
    }
    Input blockIn = {stream, streamSize, 0, readLimit};
    Output blockOut = {{}, writeLimit, 0, true};
    int block = lzhufDecodeBlocks(&blockContext, count, readInput, &blockIn, writeOutput, &blockOut);
    if (block != fast || blockOut.bytes != fastOut.bytes || blockOut.flushes != fastOut.flushes) {
        abort();
    }
    return 0;
}
