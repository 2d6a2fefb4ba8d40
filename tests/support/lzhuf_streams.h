// Test helpers for the codec: byte-vector sources and sinks behind the stream callbacks,
// whole-buffer encode and decode, a check of the Huffman model's invariants, and the code
// a symbol has in the current model.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "codec/lzhuf_model.h"
#include "codec/stream_callbacks.h"

using Bytes = std::vector<uint8_t>;

// Delivers `data` one call at a time; counts the calls, and fails with `failAt`'s error
// once `failAfter` bytes have been delivered (when failAfter is not negative).
struct VectorSource {
    Bytes data;
    size_t position = 0;
    int calls = 0;
    long failAfter = -1;
    int32_t failWith = -7;
};
int32_t vectorSourceRead(uint8_t* destination, int32_t capacity, void* state);

// Collects what is written; records flush calls, and fails once `failAfter` bytes are in.
// Writes of one byte only, unless `anyCount` is set: then a write keeps what fits below
// `failAfter` and fails if that is not all of it.
struct VectorSink {
    Bytes data;
    int flushes = 0;
    bool wroteAfterFlush = false;
    long failAfter = -1;
    int32_t failWith = -9;
    bool anyCount = false;
    long writes = 0;  // calls with bytes
};
int32_t vectorSinkWrite(const uint8_t* source, int32_t count, void* state);

struct EncodeResult {
    int result;
    Bytes packed;
    int flushes;
};
EncodeResult lzhufEncodeBytes(const Bytes& input, LzhufContext* context = nullptr);

struct DecodeResult {
    int result;
    Bytes output;
    int flushes;
    size_t consumed;  // input bytes the decoder took
};
DecodeResult lzhufDecodeBytes(const Bytes& packed, int count, LzhufContext* context = nullptr);

// Empty when the model's invariants hold, otherwise a description of the first breach:
// weights non-decreasing by position, siblings at 2m and 2m + 1, internal weights equal to
// the sum of their children's, parent links consistent, the sentinel in place.
std::string lzhufModelFault(const LzhufContext& context);

// The code of `symbol` in the current model as a string of '0' and '1', root side first.
std::string lzhufSymbolCode(const LzhufContext& context, int symbol);

// One code of a stream: a literal (symbol < 256) or a match with its offset.
struct LzhufItem {
    int symbol;
    int offset;  // -1 for a literal
    int length() const { return symbol < 256 ? 1 : symbol - 253; }
};
// The codes of `packed` up to `count` bytes of output, read with the single-step decoder.
// Stops early (with what it has) when the stream ends.
std::vector<LzhufItem> lzhufItems(const Bytes& packed, int count);

// Counts symbols[0..n-1] until their weights form a Fibonacci-like chain above the group
// of leaves still at weight 1: each chain symbol just outweighs the subtree below it, so
// each adds one level above the lightest leaves. Nine symbols stay within one model period
// and leave 18-bit codes.
void lzhufCountFibonacci(LzhufContext* context, const int* symbols, int n);

// Bytes from hexadecimal text such as "F6 C6 00 00".
Bytes hexBytes(const char* text);
