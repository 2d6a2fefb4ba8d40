// Writing the stream for the whole-buffer encoders (the fast and best levels): the symbols'
// codes from the adaptive model, the offsets' prefix code and low bits, gathered into
// chunks that the write callback takes many bytes at a time. The bits are those the
// reference encoder writes for the same symbols and offsets.
#pragma once

#include <stdint.h>

#include "codec/lzhuf_model.h"
#include "codec/lzhuf_tables.h"
#include "codec/stream_callbacks.h"

// Bytes handed to the write callback per call.
const int SYMBOL_WRITER_CHUNK = 4096;

struct SymbolWriter {
    LzhufContext* model;
    StreamWriteFn write;
    void* writeState;
    int32_t failure;   // the write callback's first negative result, 0 while none came
    uint64_t bits;     // waiting bits, first at bit 63
    int count;         // number of waiting bits, 0..7 between codes
    int filled;        // bytes waiting in chunk
    uint8_t chunk[SYMBOL_WRITER_CHUNK];
};

// Starts a stream: a fresh model in `model`, nothing written.
void startSymbolWriter(SymbolWriter* w, LzhufContext* model, StreamWriteFn write, void* writeState);

// Codes a literal byte or a match (length 3..60, offset 0..4095) and counts its symbol.
// After a write failure nothing more is written; the failure stays in `failure`.
void writeLiteral(SymbolWriter* w, int byte);
void writeMatch(SymbolWriter* w, int length, int offset);

// Pads the last byte with zero bits, hands on what waits, then makes the flush call.
// Returns 0 or the write callback's first negative result.
int32_t finishSymbolWriter(SymbolWriter* w);

// The number of bits each symbol's code has in the current model (the depth of its leaf).
void symbolCodeLengths(const LzhufContext* model, uint8_t lengths[SYMBOL_COUNT]);

// The bits an offset takes: its prefix code and the six low bits.
inline int offsetCodeBits(int offset) {
    return OFFSET_CODE_LEN[offset >> 6] + 6;
}
