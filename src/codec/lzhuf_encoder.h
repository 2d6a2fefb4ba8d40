// The LZHUF encoder: an LZSS coder over a 4096-byte ring buffer with a binary match tree,
// whose literals and match lengths are coded with the adaptive Huffman model. The same input
// always gives the same stream, bit for bit.
#pragma once

#include <stdint.h>

#include "codec/lzhuf_model.h"
#include "codec/stream_callbacks.h"

// Compresses everything `read` delivers into `write` (one byte per call, then one flush
// call). Returns the number of input bytes consumed, STREAM_ERR_STATE when a callback is
// missing, or the negative result of a callback. A null context means staticContext.
int lzhufEncode(LzhufContext* context, StreamReadFn read, void* readState, StreamWriteFn write,
                void* writeState);

// Empties the 256 match trees.
void initMatchTree(LzhufContext* context);
// Inserts `position` and leaves the best match for it in matchLength and matchOffset.
void matchTreeInsert(LzhufContext* context, int position);
// Removes `position` from its tree; nothing happens when it is in none.
void matchTreeRemove(LzhufContext* context, int position);

// Each returns 0 or the negative result of the write callback.
int writeBits(LzhufContext* context, int count, unsigned code, StreamWriteFn write,
              void* writeState);
int encodeSymbol(LzhufContext* context, int symbol, StreamWriteFn write, void* writeState);
int encodeOffset(LzhufContext* context, unsigned offset, StreamWriteFn write, void* writeState);
int flushBits(LzhufContext* context, StreamWriteFn write, void* writeState);
