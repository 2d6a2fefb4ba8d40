// The LZHUF decoder, in two forms that give the same bytes and results.
//
// The single-step entry points (readBit, readByte, decodeSymbol, decodeOffset) follow the
// stream as it is defined: a 16-bit bit window (`inBuffer`, next bit at bit 15) topped up a
// byte at a time whenever it holds 8 bits or fewer, one tree level per bit, the model
// counted after each symbol. The reader never runs more than two bytes ahead of the bits it
// has used and never supplies a bit the input does not hold.
//
// lzhufDecode (a write call per byte, for callers that rely on that contract) and
// lzhufDecodeBlocks (the engine's and the tool's, a write call per stretch) run the same stream faster, in one loop compiled twice: a 64-bit
// bit word filled four bytes at a time, a table that walks two tree levels per lookup and
// is kept in step with every exchange, the symbol counted along the path while it is
// walked, a fixed table for the offset code, and a linear history instead of the ring.
// Reading ahead does not change what the caller sees: where the input ends or fails, each
// code is checked against the bits the single-step reader would have had, and fails with
// the same result before any of its bytes is written.
#include "codec/lzhuf_decoder.h"

#include <string.h>

#include "codec/lzhuf_exchange.h"
#include "codec/lzhuf_tables.h"

namespace {

const int LEAF_BASE = NODE_COUNT;      // nodeChild values from here on name a symbol
const int BITS_PER_BYTE = 8;
const int TOP_BIT = 15;                // the next bit to deliver
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

// Bits wait left-aligned in a 64-bit word. Four bytes are read whenever it holds no more
// than 32 bits, so it holds at least 33 before every symbol while the input lasts: more
// than the deepest code, since a root weight below 0x8000 leaves the tree fewer than 22
// levels. Before an offset it is topped up when it holds fewer than 14.
typedef uint64_t BitWord;
const int WORD_BITS = 64;
const int REFILL_BYTES = 4;
const int REFILL_BELOW = WORD_BITS - BITS_PER_BYTE * REFILL_BYTES + 1;
const int OFFSET_BITS_MAX = 8 + OFFSET_LOW_BITS;  // the longest prefix code and six bits

struct WordInput {
    BitWord bits;
    // Bits of the input in `bits`. A code may take more than there are; the count then
    // goes below zero and the code fails.
    int32_t avail;
    // A code that leaves fewer bits than this fails, with `failure`. While the input lasts
    // or once it has ended: 0 and -1. Once a read has failed: 8 and that read's error, for
    // the single-step reader tops up before each read of bits while it holds 8 or fewer,
    // and a code's last read (always of one bit) started with one bit more than it left.
    int32_t floor;
    int32_t failure;
    int32_t refillBelow;  // the word is topped up when it holds fewer bits; negative once
                          // the input has ended or failed
    StreamReadFn read;
    void* state;
};

inline void refill(WordInput& in) {
    for (int k = 0; k < REFILL_BYTES; ++k) {
        uint8_t byte;
        int32_t got = in.read(&byte, 1, in.state);
        if (got <= 0) {
            if (got < 0) {
                in.floor = BITS_PER_BYTE;
                in.failure = got;
            }
            in.refillBelow = -WORD_BITS;
            return;
        }
        in.bits |= static_cast<BitWord>(byte) << (WORD_BITS - BITS_PER_BYTE - in.avail);
        in.avail += BITS_PER_BYTE;
    }
}

// Two tree levels per lookup. For the pair of siblings at p (p even) and the next two bits
// b0 b1, entry 2p + 2 b0 + b1 holds in `next` the step value (below) of the nodeChild value
// the two bits lead to, or, when b0 already leads to a leaf, that leaf's step value with
// ONE_LEVEL set; in `through`, the position b1 led through (the root for a leaf after one
// bit: the root is counted by every symbol anyway). Entries 2x and 2x + 1 describe what
// position x holds and move with it in an exchange; the entry that leads to x from its
// parent's pair stays and takes the new contents.
const uint16_t ONE_LEVEL = 0x8000;
const int STEP_TABLE_SIZE = 2 * (NODE_COUNT + 1);

// A step value is what the walk adds the next two bits to: twice a pair's first position,
// which is the index of that pair's entries, so that each level of the walk waits on one
// addition and one load; a leaf keeps its symbol above STEP_LEAF.
inline uint16_t stepValue(int32_t v) {
    return static_cast<uint16_t>(v + (v < LEAF_BASE ? v : LEAF_BASE));
}
const uint32_t STEP_LEAF = 2 * LEAF_BASE;

struct StepTable {
    uint16_t next[STEP_TABLE_SIZE];
    uint16_t through[STEP_TABLE_SIZE];
};

void fillStepTable(const LzhufContext* c, StepTable& t) {
    const int32_t* child = c->nodeChild;
    for (int x = 0; x < ROOT_NODE; ++x) {
        int32_t a = child[x];
        if (a >= LEAF_BASE) {
            t.next[2 * x] = t.next[2 * x + 1] = static_cast<uint16_t>(stepValue(a) | ONE_LEVEL);
            t.through[2 * x] = t.through[2 * x + 1] = ROOT_NODE;
        } else {
            t.next[2 * x] = stepValue(child[a]);
            t.next[2 * x + 1] = stepValue(child[a + 1]);
            t.through[2 * x] = static_cast<uint16_t>(a);
            t.through[2 * x + 1] = static_cast<uint16_t>(a + 1);
        }
    }
}

inline void swapPairs(uint16_t* table, int n, int l) {
    uint32_t atN;
    uint32_t atL;
    memcpy(&atN, &table[2 * n], sizeof(atN));
    memcpy(&atL, &table[2 * l], sizeof(atL));
    memcpy(&table[2 * n], &atL, sizeof(atL));
    memcpy(&table[2 * l], &atN, sizeof(atN));
}

// Keeps the step table in step with an exchange of the contents of n and l.
struct TableExchange {
    const LzhufContext* c;
    StepTable* t;
    void operator()(int n, int l) {
        swapPairs(t->next, n, l);
        swapPairs(t->through, n, l);
        // For n and l at the top, these are entries of the root's pair, which no walk reads.
        t->next[2 * c->nodeParent[n] + (n & 1)] = stepValue(c->nodeChild[n]);
        t->next[2 * c->nodeParent[l] + (l & 1)] = stepValue(c->nodeChild[l]);
    }
};

inline int highestBit(uint32_t mask) {
#if defined(__GNUC__)
    return 31 - __builtin_clz(mask);
#else
    int bit = 31;
    while ((mask >> bit) == 0) {
        --bit;
    }
    return bit;
#endif
}

// Completes the count of a symbol whose walk has already added one to every node on its
// path and to the root. path[i] is the node i + 1 levels below the root, path[-1] a
// sentinel above every position; bit i of `equal` says that path[i] weighed as much as its
// upper neighbour before the walk, so that counting it broke the order and it must be
// exchanged. Below the deepest such level everything is counted right already.
//
// From an exchange on, the count belongs to the ancestors of the node's new place, which
// may leave the path. Climbing them, the path nodes passed by are not ancestors and get
// their one back: those below the climbing node in the list, and those no heavier than it,
// which must not stand in its run. Where the climb meets the path again the nodes above
// are counted already, up to the next marked level, whose mark still holds: nothing that
// moved since could reach its neighbour.
void finishCount(LzhufContext* c, const int32_t* path, uint32_t equal, TableExchange& exchange) {
    uint32_t* weight = c->nodeWeight;
    const int32_t* parent = c->nodeParent;
    int level = highestBit(equal);
    for (;;) {
        int n = path[level];
        int y = parent[lzhuf_exchange::exchangeUpward(c, n, weight[n], exchange)];
        int j = level - 1;  // path[0..j] are counted, to be confirmed or undone
        while (path[j] != y) {
            while (path[j] < y) {
                --weight[path[j]];
                --j;
            }
            if (path[j] == y) {
                break;
            }
            if (y == ROOT_NODE) {
                return;
            }
            uint32_t w = weight[y] + 1;
            while (weight[path[j]] <= w) {
                --weight[path[j]];
                --j;
            }
            weight[y] = w;
            if (w > weight[y + 1]) {
                y = lzhuf_exchange::exchangeUpward(c, y, w, exchange);
            }
            y = parent[y];
        }
        uint32_t above = equal & ((2u << j) - 1);
        if (above == 0) {
            return;
        }
        level = highestBit(above);
    }
}

// The output: a linear copy of the history, so that matches need no wrapping. It starts
// with the ring's initial contents as seen from the first write position, and the last
// RING_SIZE bytes move back to the front whenever a match might run past its end.
const int HISTORY_SIZE = 8 * RING_SIZE;
const int INITIAL_ZEROS = RING_SIZE - START_POSITION;

// With block output, a match whose source lies at least this far back is copied a word at
// a time; the last word may run up to COPY_WORD - 1 bytes past the match.
const int COPY_WORD = 8;

// A node count the walk can never pass: the path array can hold any path.
const int PATH_SIZE = NODE_COUNT + 2;

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

namespace {

// Hands the bytes from `waiting` to `out` to `write`. Returns 0, or the writer's negative
// result.
int32_t handOn(const uint8_t* waiting, const uint8_t* out, StreamWriteFn write, void* writeState) {
    if (out == waiting) {
        return 0;
    }
    int32_t result = write(waiting, static_cast<int32_t>(out - waiting), writeState);
    return result < 0 ? result : 0;
}

// The input's failure, after the bytes decoded before it.
int32_t failInput(const uint8_t* waiting, const uint8_t* out, StreamWriteFn write, void* writeState,
                  int32_t failure) {
    int32_t result = handOn(waiting, out, write, writeState);
    return result < 0 ? result : failure;
}

// The decoding run behind both entry points. With BLOCKS, the bytes wait in the history and
// go to `write` a stretch at a time: before the history moves back, before the run returns
// a failure of its input (so that the writer has every byte a byte-wise run would have
// given it), and at the end.
template <bool BLOCKS>
int decodeRun(LzhufContext* context, int count, StreamReadFn read, void* readState,
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
    StepTable table;
    fillStepTable(c, table);
    TableExchange exchange = {c, &table};
    uint8_t history[HISTORY_SIZE];
    memset(history, 0, INITIAL_ZEROS);
    memset(history + INITIAL_ZEROS, INITIAL_FILL, RING_SIZE - INITIAL_ZEROS);
    uint8_t* out = history + RING_SIZE;
    uint8_t* const lastStart = history + HISTORY_SIZE - MAX_MATCH - (BLOCKS ? COPY_WORD : 0);
    int32_t pathWithSentinel[PATH_SIZE + 1];
    pathWithSentinel[0] = NODE_COUNT;
    int32_t* path = pathWithSentinel + 1;

    WordInput in = {0, 0, 0, ERR_INPUT_ENDED, REFILL_BELOW, read, readState};
    uint32_t* weight = c->nodeWeight;
    // Where the run ends, as a distance from the history's start that moves back with it,
    // so that no count of what remains is kept beside `out`; a match past the end cannot
    // overflow it.
    intptr_t endOffset = (out - history) + static_cast<intptr_t>(count);
    // With BLOCKS, the first byte not yet handed to `write`.
    uint8_t* waiting = out;
    while (out - history < endOffset) {
        if (out > lastStart) {
            if (BLOCKS) {
                int32_t result = handOn(waiting, out, write, writeState);
                if (result < 0) {
                    return result;
                }
            }
            memmove(history, out - RING_SIZE, RING_SIZE);
            endOffset -= (out - history) - RING_SIZE;
            out = history + RING_SIZE;
            waiting = out;
        }
        if (in.avail < in.refillBelow) {
            refill(in);
        }
        int symbol;
        if (weight[ROOT_NODE] != WEIGHT_LIMIT) {
            // Walk two levels a step, adding one to every node passed and noting which of
            // them weighed as much as their upper neighbour.
            uintptr_t n2 = 2 * (ROOT_NODE - 2);
            BitWord bits = in.bits;
            uintptr_t two;
            uint32_t next;
            uint32_t equal = 0;
            int depth = 0;
            for (;;) {
                two = static_cast<uintptr_t>(bits >> (WORD_BITS - 2));
                uintptr_t at = n2 + two;
                uintptr_t first = at >> 1;
                uintptr_t second = table.through[at];
                next = table.next[at];
                path[depth] = static_cast<int32_t>(first);
                path[depth + 1] = static_cast<int32_t>(second);
                uint32_t w1 = weight[first];
                uint32_t w2 = weight[second];
                uint32_t same = static_cast<uint32_t>(w1 == weight[first + 1]) |
                                (static_cast<uint32_t>(w2 == weight[second + 1]) << 1);
                weight[first] = w1 + 1;
                weight[second] = w2 + 1;
                equal |= same << (depth & 31);
                bits <<= 2;
                depth += 2;
                if (next >= STEP_LEAF) {
                    break;
                }
                n2 = next;
            }
            // A leaf after one bit counted the root in the second bit's place, and gives
            // that bit back. Code lengths are odd as often as even: no branch here.
            uint32_t oneLevel = next >> 15;
            depth -= static_cast<int>(oneLevel);
            weight[ROOT_NODE] += 1 - oneLevel;
            in.bits = (bits >> oneLevel) |
                      (static_cast<BitWord>(two & oneLevel & 1) << (WORD_BITS - 1));
            in.avail -= depth;
            if (in.avail < in.floor) {
                return BLOCKS ? failInput(waiting, out, write, writeState, in.failure) : in.failure;
            }
            symbol = static_cast<int>(next & ~static_cast<uint32_t>(ONE_LEVEL)) - STEP_LEAF;
            if (equal != 0) {
                finishCount(c, path, equal, exchange);
            }
        } else {
            // The model is rebuilt before this symbol is counted: one bit at a time.
            intptr_t n = c->nodeChild[ROOT_NODE];
            for (;;) {
                int bit = static_cast<int>(in.bits >> (WORD_BITS - 1));
                in.bits <<= 1;
                --in.avail;
                n = c->nodeChild[n + bit];
                if (n >= LEAF_BASE) {
                    break;
                }
            }
            if (in.avail < in.floor) {
                return BLOCKS ? failInput(waiting, out, write, writeState, in.failure) : in.failure;
            }
            symbol = static_cast<int>(n) - LEAF_BASE;
            updateModel(c, symbol);
            fillStepTable(c, table);
        }

        if (symbol < FIRST_MATCH_SYMBOL) {
            *out = static_cast<uint8_t>(symbol);
            if (!BLOCKS) {
                int32_t result = write(out, 1, writeState);
                if (result < 0) {
                    return result;
                }
            }
            ++out;
        } else {
            if (in.avail < OFFSET_BITS_MAX && in.refillBelow > 0) {
                refill(in);
            }
            // The first 8 bits hold the prefix code and the first low bits.
            BitWord peek = in.bits;
            int prefix = static_cast<int>(peek >> (WORD_BITS - OFFSET_PREFIX_BITS));
            int total = OFFSET_DECODE_LEN[prefix] + OFFSET_LOW_BITS;
            int offset = (OFFSET_DECODE_HIGH[prefix] << OFFSET_LOW_BITS) |
                         static_cast<int>((peek >> (WORD_BITS - total)) & OFFSET_LOW_MASK);
            in.bits = peek << total;
            in.avail -= total;
            if (in.avail < in.floor) {
                return BLOCKS ? failInput(waiting, out, write, writeState, in.failure) : in.failure;
            }
            int length = symbol - MATCH_LENGTH_BIAS;
            const uint8_t* from = out - offset - 1;
            if (BLOCKS && offset >= COPY_WORD - 1) {
                // A word at a time, each read behind every byte the copy has written.
                for (int k = 0; k < length; k += COPY_WORD) {
                    uint64_t word;
                    memcpy(&word, from + k, COPY_WORD);
                    memcpy(out + k, &word, COPY_WORD);
                }
                out += length;
                continue;
            }
            for (int k = 0; k < length; ++k) {
                out[k] = from[k];
                if (!BLOCKS) {
                    int32_t result = write(out + k, 1, writeState);
                    if (result < 0) {
                        return result;
                    }
                }
            }
            out += length;
        }
    }

    if (BLOCKS) {
        int32_t result = handOn(waiting, out, write, writeState);
        if (result < 0) {
            return result;
        }
    }
    int32_t flushed = write(nullptr, 0, writeState);
    return flushed < 0 ? flushed : 0;
}

}  // namespace

int lzhufDecode(LzhufContext* context, int count, StreamReadFn read, void* readState,
                StreamWriteFn write, void* writeState) {
    return decodeRun<false>(context, count, read, readState, write, writeState);
}

int lzhufDecodeBlocks(LzhufContext* context, int count, StreamReadFn read, void* readState,
                      StreamWriteFn write, void* writeState) {
    return decodeRun<true>(context, count, read, readState, write, writeState);
}
