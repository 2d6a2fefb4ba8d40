// The decoder in its plainest form, for differential tests of lzhufDecode: the single-step
// entry points (a 16-bit bit window, one tree level per bit, the model counted after each
// symbol) and the 4096-byte ring, one byte at a time. `initialFill` stands for the spaces
// the ring starts with below the first write position: other decoders start with zeros.
// Header-only, so that the fuzzers can use it without the test support library.
#pragma once

#include <stdint.h>

#include "codec/lzhuf_decoder.h"

inline int lzhufDecodeStepwise(LzhufContext* c, int count, StreamReadFn read, void* readState,
                               StreamWriteFn write, void* writeState, uint8_t initialFill = 0x20) {
    const int mask = RING_SIZE - 1;
    const int start = RING_SIZE - MAX_MATCH;
    if (read == nullptr || write == nullptr) {
        return STREAM_ERR_STATE;
    }
    clearContext(c);
    startModel(c);
    for (int k = 0; k < start; ++k) {
        c->window[k] = initialFill;
    }
    int r = start;
    int produced = 0;
    while (produced < count) {
        int symbol = decodeSymbol(c, read, readState);
        if (symbol < 0) {
            return symbol;
        }
        int from = 0;
        int length = 1;
        if (symbol >= 256) {
            int offset = decodeOffset(c, read, readState);
            if (offset < 0) {
                return offset;
            }
            from = (r - offset - 1) & mask;
            length = symbol - 253;
        }
        for (int k = 0; k < length; ++k) {
            uint8_t byte = symbol < 256 ? static_cast<uint8_t>(symbol) : c->window[(from + k) & mask];
            int32_t result = write(&byte, 1, writeState);
            if (result < 0) {
                return result;
            }
            c->window[r] = byte;
            r = (r + 1) & mask;
        }
        produced += length;
    }
    int32_t flushed = write(nullptr, 0, writeState);
    return flushed < 0 ? flushed : 0;
}
