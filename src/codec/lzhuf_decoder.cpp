// The LZHUF decoder. Bits are taken from the input most significant first through a 16-bit
// window (`inBuffer`, next bit at bit 15) that is topped up a byte at a time whenever it
// holds 8 bits or fewer, so the reader never runs more than two bytes ahead of the bits it
// has used, and it never supplies a bit the input does not hold.
#include "codec/lzhuf_decoder.h"

#include "codec/lzhuf_tables.h"

namespace {

const int LEAF_BASE = NODE_COUNT;      // nodeChild values from here on name a symbol
const int BITS_PER_BYTE = 8;
const int TOP_BIT = 15;                // the next bit to deliver
const int WINDOW_MASK = RING_SIZE - 1;
const int FIRST_MATCH_SYMBOL = 256;    // symbols below are literal bytes
const int MATCH_LENGTH_BIAS = FIRST_MATCH_SYMBOL - MATCH_THRESHOLD - 1;  // length = s - 253
const int OFFSET_LOW_BITS = 6;         // offset bits sent as they are, after the prefix code
const int OFFSET_LOW_MASK = (1 << OFFSET_LOW_BITS) - 1;
const int OFFSET_PREFIX_BITS = 8;      // bits looked up in the offset decode tables
// Window contents at the start of a run: spaces below the first write position, zeros from
// it on. Matches may reach back into them.
const uint8_t INITIAL_FILL = 0x20;
const int START_POSITION = RING_SIZE - MAX_MATCH;
// What the bit reader reports when asked for bits the input does not hold.
const int ERR_INPUT_ENDED = -1;

// The bit reader's registers, kept in locals while a run decodes and mirrored in the
// context by the single-step entry points.
struct BitInput {
    uint32_t buffer;
    int32_t count;
    StreamReadFn read;
    void* state;
};

// Tops the buffer up to more than 8 bits while the input lasts. Returns 0, or the read
// callback's negative result.
inline int32_t fillBits(BitInput& in) {
    while (in.count <= BITS_PER_BYTE) {
        uint8_t byte;
        int32_t got = in.read(&byte, 1, in.state);
        if (got < 0) {
            return got;
        }
        if (got == 0) {
            break;
        }
        in.buffer |= static_cast<uint32_t>(byte) << (BITS_PER_BYTE - in.count);
        in.count += BITS_PER_BYTE;
    }
    return 0;
}

inline int takeBit(BitInput& in) {
    if (in.count <= BITS_PER_BYTE) {
        int32_t result = fillBits(in);
        if (result < 0) {
            return result;
        }
        // Only a fill that met the end of the input can leave the buffer empty.
        if (in.count <= 0) {
            in.buffer <<= 1;
            --in.count;
            return ERR_INPUT_ENDED;
        }
    }
    int bit = (in.buffer >> TOP_BIT) & 1;
    in.buffer <<= 1;
    --in.count;
    return bit;
}

inline int takeByte(BitInput& in) {
    if (in.count <= BITS_PER_BYTE) {
        int32_t result = fillBits(in);
        if (result < 0) {
            return result;
        }
    }
    int byte = (in.buffer >> (TOP_BIT + 1 - BITS_PER_BYTE)) & 0xFF;
    in.buffer <<= BITS_PER_BYTE;
    in.count -= BITS_PER_BYTE;
    if (in.count < 0) {
        return ERR_INPUT_ENDED;
    }
    return byte;
}

// Deep enough for any path: a tree whose root weight stays below 0x8000 has fewer than
// 32 levels.
const int MAX_DEPTH = 32;

// Walks the tree from the root, one bit per level, then counts the symbol along the path
// it took.
inline int takeSymbol(LzhufContext* c, BitInput& in) {
    int32_t path[MAX_DEPTH];
    int depth = 0;
    const int32_t* child = c->nodeChild;
    // Each level waits on the load of the one before: pointer-sized indices spare that
    // chain a sign extension per bit.
    intptr_t n = child[ROOT_NODE];
    for (;;) {
        int bit = takeBit(in);
        if (bit < 0) {
            return bit;
        }
        intptr_t node = n + bit;
        path[depth++] = static_cast<int32_t>(node);
        n = child[node];
        if (n >= LEAF_BASE) {
            break;
        }
    }
    int symbol = static_cast<int>(n) - LEAF_BASE;
    updateModelOnPath(c, symbol, path, depth);
    return symbol;
}

// The first 8 bits hold the prefix code of the upper six offset bits and the first low
// bits; the code's length says how many low bits are still to come.
inline int takeOffset(BitInput& in) {
    int b = takeByte(in);
    if (b < 0) {
        return b;
    }
    int high = OFFSET_DECODE_HIGH[b];
    int missing = OFFSET_DECODE_LEN[b] - (OFFSET_PREFIX_BITS - OFFSET_LOW_BITS);
    for (int k = 0; k < missing; ++k) {
        int bit = takeBit(in);
        if (bit < 0) {
            return bit;
        }
        b = 2 * b + bit;
    }
    return (high << OFFSET_LOW_BITS) | (b & OFFSET_LOW_MASK);
}

// Runs a single-step reader over the context's own registers.
template <typename Step>
inline int stepWithContext(LzhufContext* c, StreamReadFn read, void* readState, Step step) {
    BitInput in = {c->inBuffer, c->inCount, read, readState};
    int result = step(in);
    c->inBuffer = in.buffer;
    c->inCount = in.count;
    return result;
}

}  // namespace

int readBit(LzhufContext* context, StreamReadFn read, void* readState) {
    return stepWithContext(context, read, readState, [](BitInput& in) { return takeBit(in); });
}

int readByte(LzhufContext* context, StreamReadFn read, void* readState) {
    return stepWithContext(context, read, readState, [](BitInput& in) { return takeByte(in); });
}

int decodeSymbol(LzhufContext* context, StreamReadFn read, void* readState) {
    return stepWithContext(context, read, readState,
                           [context](BitInput& in) { return takeSymbol(context, in); });
}

int decodeOffset(LzhufContext* context, StreamReadFn read, void* readState) {
    return stepWithContext(context, read, readState, [](BitInput& in) { return takeOffset(in); });
}

int lzhufDecode(LzhufContext* context, int count, StreamReadFn read, void* readState,
                StreamWriteFn write, void* writeState) {
    if (read == nullptr || write == nullptr) {
        return STREAM_ERR_STATE;
    }
    LzhufContext* c = context != nullptr ? context : &staticContext;
    clearContext(c);
    startModel(c);
    for (int k = 0; k < START_POSITION; ++k) {
        c->window[k] = INITIAL_FILL;
    }

    BitInput in = {0, 0, read, readState};
    uint8_t* window = c->window;
    int r = START_POSITION;
    int produced = 0;
    while (produced < count) {
        int symbol = takeSymbol(c, in);
        if (symbol < 0) {
            return symbol;
        }
        if (symbol < FIRST_MATCH_SYMBOL) {
            uint8_t byte = static_cast<uint8_t>(symbol);
            int32_t result = write(&byte, 1, writeState);
            if (result < 0) {
                return result;
            }
            window[r] = byte;
            r = (r + 1) & WINDOW_MASK;
            ++produced;
        } else {
            int offset = takeOffset(in);
            if (offset < 0) {
                return offset;
            }
            int length = symbol - MATCH_LENGTH_BIAS;
            int from = (r - offset - 1) & WINDOW_MASK;
            for (int k = 0; k < length; ++k) {
                uint8_t byte = window[(from + k) & WINDOW_MASK];
                int32_t result = write(&byte, 1, writeState);
                if (result < 0) {
                    return result;
                }
                window[r] = byte;
                r = (r + 1) & WINDOW_MASK;
            }
            produced += length;
        }
    }
    c->inBuffer = in.buffer;
    c->inCount = in.count;

    int32_t flushed = write(nullptr, 0, writeState);
    return flushed < 0 ? flushed : 0;
}
