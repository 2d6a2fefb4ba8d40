// The LZHUF decoder: turns a compressed stream back into bytes. The stream has no header,
// no length field and no end marker; the caller says how many bytes to produce.
#pragma once

#include <stdint.h>

#include "codec/lzhuf_model.h"
#include "codec/stream_callbacks.h"

// Produces `count` bytes through `write` (one byte per call, then one flush call) and
// returns 0, or a negative value: the callback's own error, -1 when the input ends early,
// STREAM_ERR_STATE when a callback is missing. A null context means staticContext.
int lzhufDecode(LzhufContext* context, int count, StreamReadFn read, void* readState,
                StreamWriteFn write, void* writeState);

// The same run, with the same bytes and results, handing its output to `write` a stretch of
// up to 28 KiB at a time instead of a byte per call: for callers that own their writer and
// do not need the byte-wise contract. When it fails, `write` has had every byte decoded
// before the failure, as with lzhufDecode.
int lzhufDecodeBlocks(LzhufContext* context, int count, StreamReadFn read, void* readState,
                      StreamWriteFn write, void* writeState);

// The next bit (0 or 1), or a negative value.
int readBit(LzhufContext* context, StreamReadFn read, void* readState);
// The next 8 bits, first bit most significant, or a negative value.
int readByte(LzhufContext* context, StreamReadFn read, void* readState);
// The next symbol 0..313, counted in the model, or a negative value.
int decodeSymbol(LzhufContext* context, StreamReadFn read, void* readState);
// The offset 0..4095 that follows a match symbol, or a negative value.
int decodeOffset(LzhufContext* context, StreamReadFn read, void* readState);
