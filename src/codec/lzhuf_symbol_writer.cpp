// The stream writer of the whole-buffer encoders. A symbol's code is its leaf's path read
// from the root: the climb from the leaf collects it backwards, and the same climb, kept in
// an array, lets the model count the symbol without climbing again.
#include "codec/lzhuf_symbol_writer.h"

namespace {

const int LEAF_BASE = NODE_COUNT;
const int FIRST_MATCH_SYMBOL = 256;
const int MATCH_LENGTH_BIAS = FIRST_MATCH_SYMBOL - MATCH_THRESHOLD - 1;  // symbol = length + 253
const int OFFSET_LOW_BITS = 6;
const int BITS_PER_BYTE = 8;
// Bits added to the waiting ones at a time: with at most 7 waiting, 57 always fit.
const int PIECE_BITS = 32;
// Any path fits: a tree of NODE_COUNT nodes is never deeper than that.
const int PATH_SIZE = NODE_COUNT;

void handOn(SymbolWriter* w) {
    if (w->failure == 0 && w->filled > 0) {
        int32_t result = w->write(w->chunk, w->filled, w->writeState);
        if (result < 0) {
            w->failure = result;
        }
    }
    w->filled = 0;
}

// Appends the low `length` bits of `value` (length <= PIECE_BITS), first bit most
// significant, and moves whole bytes to the chunk.
inline void putBits(SymbolWriter* w, uint32_t value, int length) {
    w->bits |= static_cast<uint64_t>(value) << (64 - w->count - length);
    w->count += length;
    while (w->count >= BITS_PER_BYTE) {
        w->chunk[w->filled++] = static_cast<uint8_t>(w->bits >> 56);
        w->bits <<= BITS_PER_BYTE;
        w->count -= BITS_PER_BYTE;
        if (w->filled == SYMBOL_WRITER_CHUNK) {
            handOn(w);
        }
    }
}

void writeSymbol(SymbolWriter* w, int symbol) {
    LzhufContext* c = w->model;
    // Climb from the leaf, filling the path from its end, so that it reads from the root.
    int32_t path[PATH_SIZE];
    int top = PATH_SIZE;
    int n = c->nodeParent[LEAF_BASE + symbol];
    do {
        path[--top] = n;
        n = c->nodeParent[n];
    } while (n != ROOT_NODE);
    int depth = PATH_SIZE - top;
    // The code is the side taken at each node, root side first.
    for (int k = top; k < PATH_SIZE; k += PIECE_BITS) {
        int length = PATH_SIZE - k < PIECE_BITS ? PATH_SIZE - k : PIECE_BITS;
        uint32_t piece = 0;
        for (int i = 0; i < length; ++i) {
            piece = (piece << 1) | static_cast<uint32_t>(path[k + i] & 1);
        }
        putBits(w, piece, length);
    }
    updateModelOnPath(c, symbol, &path[top], depth);
}

}  // namespace

void startSymbolWriter(SymbolWriter* w, LzhufContext* model, StreamWriteFn write, void* writeState) {
    w->model = model;
    w->write = write;
    w->writeState = writeState;
    w->failure = 0;
    w->bits = 0;
    w->count = 0;
    w->filled = 0;
    clearContext(model);
    startModel(model);
}

void writeLiteral(SymbolWriter* w, int byte) {
    writeSymbol(w, byte);
}

void writeMatch(SymbolWriter* w, int length, int offset) {
    writeSymbol(w, length + MATCH_LENGTH_BIAS);
    int high = offset >> OFFSET_LOW_BITS;
    int prefixLength = OFFSET_CODE_LEN[high];
    uint32_t prefix = static_cast<uint32_t>(OFFSET_CODE[high]) >> (BITS_PER_BYTE - prefixLength);
    uint32_t low = static_cast<uint32_t>(offset) & ((1u << OFFSET_LOW_BITS) - 1);
    putBits(w, (prefix << OFFSET_LOW_BITS) | low, prefixLength + OFFSET_LOW_BITS);
}

int32_t finishSymbolWriter(SymbolWriter* w) {
    if (w->count > 0) {
        putBits(w, 0, BITS_PER_BYTE - w->count);
    }
    handOn(w);
    if (w->failure != 0) {
        return w->failure;
    }
    int32_t result = w->write(nullptr, 0, w->writeState);
    return result < 0 ? result : 0;
}

void symbolCodeLengths(const LzhufContext* model, uint8_t lengths[SYMBOL_COUNT]) {
    // A parent sits above its children in the list, so one pass from the top gives every
    // position its depth.
    uint8_t depth[NODE_COUNT];
    depth[ROOT_NODE] = 0;
    for (int x = ROOT_NODE - 1; x >= 0; --x) {
        int d = depth[model->nodeParent[x]] + 1;
        depth[x] = static_cast<uint8_t>(d < 255 ? d : 255);
    }
    for (int s = 0; s < SYMBOL_COUNT; ++s) {
        lengths[s] = depth[model->nodeParent[LEAF_BASE + s]];
    }
}
