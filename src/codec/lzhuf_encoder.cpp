// The LZHUF encoder. The ring buffer holds the last 4036 coded bytes and a 60-byte
// look-ahead; every window position whose 60-byte key has been read sits in one of 256
// binary search trees (one per first byte), ordered by key. Inserting the next position
// walks its tree and meets, on the way, the positions that share the longest prefixes
// with it: the longest of those (the nearest on a tie) is the match to code.
#include "codec/lzhuf_encoder.h"

#include <string.h>

#include "codec/lzhuf_tables.h"

namespace {

const int LEAF_BASE = NODE_COUNT;      // nodeParent[LEAF_BASE + s] is the leaf of symbol s
const int BITS_PER_BYTE = 8;
const int WINDOW_MASK = RING_SIZE - 1;
const int TREE_ROOTS = RING_SIZE + 1;  // treeRight[TREE_ROOTS + c] roots the tree of byte c
const int BYTE_VALUES_COUNT = 256;
// Bytes stored at window positions below this are mirrored after the ring, so that any
// key of MAX_MATCH bytes can be read without wrapping.
const int MIRROR_SIZE = MAX_MATCH - 1;
const int MATCH_LENGTH_BIAS = 256 - MATCH_THRESHOLD - 1;  // symbol = length + 253
const int OFFSET_LOW_BITS = 6;
const unsigned OFFSET_LOW_MASK = (1u << OFFSET_LOW_BITS) - 1;
// Codes are handed to writeBits left-aligned in a 16-bit word.
const int WORD_BITS = 16;
const uint32_t WORD_MASK = 0xFFFF;
// Initial window: spaces before the first coding position, zeros from it on.
const uint8_t INITIAL_FILL = 0x20;
const int START_POSITION = RING_SIZE - MAX_MATCH;

// Compares the keys at a and b, whose first `from` bytes are known to be equal. Returns
// the index of the first differing byte and leaves a[index] - b[index] in cmp, or returns
// MAX_MATCH when the keys are equal.
inline int compareKeys(const uint8_t* a, const uint8_t* b, int from, int& cmp) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Eight bytes at a time; the lowest set byte of the XOR is the first difference. The
    // last word is moved back so that nothing past the key is read.
    const int LAST_WORD = MAX_MATCH - 8;
    for (int i = from; i < MAX_MATCH; i += 8) {
        int at = i < LAST_WORD ? i : LAST_WORD;
        uint64_t x;
        uint64_t y;
        memcpy(&x, a + at, sizeof(x));
        memcpy(&y, b + at, sizeof(y));
        uint64_t diff = x ^ y;
        if (diff != 0) {
            int shift = __builtin_ctzll(diff) & ~7;
            cmp = static_cast<int>((x >> shift) & 0xFF) - static_cast<int>((y >> shift) & 0xFF);
            return at + (shift >> 3);
        }
    }
    return MAX_MATCH;
#else
    int i = from;
    while (i < MAX_MATCH && a[i] == b[i]) {
        ++i;
    }
    if (i < MAX_MATCH) {
        cmp = static_cast<int>(a[i]) - static_cast<int>(b[i]);
    }
    return i;
#endif
}

inline void prefetch(const void* address) {
#if defined(__GNUC__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

// Points the link of `parent` that led to `from` at `to`.
inline void relink(LzhufContext* c, int parent, int from, int to) {
    if (c->treeRight[parent] == from) {
        c->treeRight[parent] = to;
    } else {
        c->treeLeft[parent] = to;
    }
}

}  // namespace

void initMatchTree(LzhufContext* context) {
    for (int k = 0; k < BYTE_VALUES_COUNT; ++k) {
        context->treeRight[TREE_ROOTS + k] = NO_NODE;
    }
    for (int k = 0; k <= RING_SIZE; ++k) {
        context->treeParent[k] = NO_NODE;
    }
}

void matchTreeInsert(LzhufContext* context, int position) {
    LzhufContext* c = context;
    const int r = position;
    const uint8_t* key = &c->window[r];
    int32_t* left = c->treeLeft;
    int32_t* right = c->treeRight;
    int32_t* parent = c->treeParent;

    int cmp = 1;
    int p = TREE_ROOTS + key[0];
    left[r] = NO_NODE;
    right[r] = NO_NODE;
    int bestLength = 0;
    int bestOffset = c->matchOffset;
    // The tree is ordered by key, so every node below the last turn to the right (a smaller
    // key) and the last turn to the left (a greater one) shares with the new key at least
    // the shorter of their common prefixes: comparisons start there. The first byte is the
    // tree's own.
    int belowPrefix = 1;
    int abovePrefix = 1;
    for (;;) {
        // The direction at each node is as good as random, so it is chosen without a branch.
        int32_t* links = cmp >= 0 ? right : left;
        int next = links[p];
        if (next == NO_NODE) {
            links[p] = r;
            parent[r] = p;
            c->matchLength = bestLength;
            c->matchOffset = bestOffset;
            return;
        }
        p = next;
        // The context is larger than the first-level cache, so the walk waits on memory:
        // fetch both children's keys while this node's key is compared.
        prefetch(&c->window[left[p]]);
        prefetch(&c->window[right[p]]);
        int from = belowPrefix < abovePrefix ? belowPrefix : abovePrefix;
        int i = compareKeys(key, &c->window[p], from, cmp);
        belowPrefix = cmp >= 0 ? i : belowPrefix;
        abovePrefix = cmp >= 0 ? abovePrefix : i;
        if (i > MATCH_THRESHOLD) {
            // Longer wins; of equally long matches on the path, the nearest.
            int d = ((r - p) & WINDOW_MASK) - 1;
            bool better = i > bestLength || (i == bestLength && d < bestOffset);
            bestOffset = better ? d : bestOffset;
            bestLength = better ? i : bestLength;
            if (bestLength >= MAX_MATCH) {
                break;
            }
        }
    }
    c->matchLength = bestLength;
    c->matchOffset = bestOffset;

    // Equal keys: the newer position replaces the older one, which leaves the tree.
    parent[r] = parent[p];
    left[r] = left[p];
    right[r] = right[p];
    parent[left[p]] = r;
    parent[right[p]] = r;
    relink(c, parent[p], p, r);
    parent[p] = NO_NODE;
}

void matchTreeRemove(LzhufContext* context, int position) {
    LzhufContext* c = context;
    const int p = position;
    int32_t* left = c->treeLeft;
    int32_t* right = c->treeRight;
    int32_t* parent = c->treeParent;
    if (parent[p] == NO_NODE) {
        return;
    }
    int q;
    if (right[p] == NO_NODE) {
        q = left[p];
    } else if (left[p] == NO_NODE) {
        q = right[p];
    } else {
        // Both children present: the greatest key below p's takes its place.
        q = left[p];
        if (right[q] != NO_NODE) {
            do {
                q = right[q];
            } while (right[q] != NO_NODE);
            right[parent[q]] = left[q];
            parent[left[q]] = parent[q];
            left[q] = left[p];
            parent[left[p]] = q;
        }
        right[q] = right[p];
        parent[right[p]] = q;
    }
    parent[q] = parent[p];
    relink(c, parent[p], p, q);
    parent[p] = NO_NODE;
}

int writeBits(LzhufContext* context, int count, unsigned code, StreamWriteFn write,
              void* writeState) {
    LzhufContext* c = context;
    c->outBuffer |= code >> c->outCount;
    c->outCount += count;
    if (c->outCount >= BITS_PER_BYTE) {
        uint8_t byte = static_cast<uint8_t>(c->outBuffer >> BITS_PER_BYTE);
        int32_t result = write(&byte, 1, writeState);
        if (result < 0) {
            return result;
        }
        c->outCount -= BITS_PER_BYTE;
        if (c->outCount >= BITS_PER_BYTE) {
            byte = static_cast<uint8_t>(c->outBuffer);
            result = write(&byte, 1, writeState);
            if (result < 0) {
                return result;
            }
            c->outCount -= BITS_PER_BYTE;
            // The bits of code that did not fit below bit 0 start the next byte.
            c->outBuffer = (code << (count - c->outCount)) & WORD_MASK;
        } else {
            c->outBuffer = (c->outBuffer << BITS_PER_BYTE) & WORD_MASK;
        }
    }
    return 0;
}

int encodeSymbol(LzhufContext* context, int symbol, StreamWriteFn write, void* writeState) {
    LzhufContext* c = context;
    // Collect the path leaf first, each bit entering at the top, so that the bit next to
    // the root ends up leftmost. A tree of 314 leaves whose root weight stays below 0x8000
    // is less than 32 levels deep, so one 32-bit word holds any path.
    uint32_t code = 0;
    int length = 0;
    int n = c->nodeParent[LEAF_BASE + symbol];
    do {
        code = (code >> 1) | (static_cast<uint32_t>(n & 1) << 31);
        n = c->nodeParent[n];
        ++length;
    } while (n != ROOT_NODE);

    int32_t result;
    if (length <= WORD_BITS) {
        result = writeBits(c, length, code >> WORD_BITS, write, writeState);
    } else {
        // Codes longer than a word only arise from weights that grow like a Fibonacci
        // series; they go out in two pieces, root side first.
        result = writeBits(c, WORD_BITS, code >> WORD_BITS, write, writeState);
        if (result >= 0) {
            result = writeBits(c, length - WORD_BITS, code & WORD_MASK, write, writeState);
        }
    }
    if (result < 0) {
        return result;
    }
    updateModel(c, symbol);
    return 0;
}

int encodeOffset(LzhufContext* context, unsigned offset, StreamWriteFn write, void* writeState) {
    unsigned high = offset >> OFFSET_LOW_BITS;
    int32_t result = writeBits(context, OFFSET_CODE_LEN[high],
                               static_cast<unsigned>(OFFSET_CODE[high]) << BITS_PER_BYTE, write,
                               writeState);
    if (result < 0) {
        return result;
    }
    return writeBits(context, OFFSET_LOW_BITS, (offset & OFFSET_LOW_MASK) << (WORD_BITS - OFFSET_LOW_BITS),
                     write, writeState);
}

int flushBits(LzhufContext* context, StreamWriteFn write, void* writeState) {
    if (context->outCount == 0) {
        return 0;
    }
    uint8_t byte = static_cast<uint8_t>(context->outBuffer >> BITS_PER_BYTE);
    int32_t result = write(&byte, 1, writeState);
    return result < 0 ? result : 0;
}

int lzhufEncode(LzhufContext* context, StreamReadFn read, void* readState, StreamWriteFn write,
                void* writeState) {
    if (read == nullptr || write == nullptr) {
        return STREAM_ERR_STATE;
    }
    LzhufContext* c = context != nullptr ? context : &staticContext;
    clearContext(c);
    c->bytesRead = 0;
    startModel(c);
    initMatchTree(c);
    // Only the ring itself starts as spaces; the mirror after it stays zero until bytes are
    // stored at the positions it copies.
    memset(c->window, INITIAL_FILL, START_POSITION);
    uint8_t* window = c->window;
    int s = 0;
    int r = START_POSITION;

    int len = 0;
    while (len < MAX_MATCH) {
        int32_t got = read(&window[r + len], 1, readState);
        if (got < 0) {
            return got;
        }
        if (got == 0) {
            break;
        }
        ++len;
    }
    c->bytesRead = len;

    // The positions before the first one coded are in the tree from the start, so the
    // initial spaces can be matched.
    for (int k = 1; k <= MAX_MATCH; ++k) {
        matchTreeInsert(c, r - k);
    }
    matchTreeInsert(c, r);

    do {
        if (c->matchLength > len) {
            c->matchLength = len;
        }
        int32_t result;
        if (c->matchLength <= MATCH_THRESHOLD) {
            c->matchLength = 1;
            result = encodeSymbol(c, window[r], write, writeState);
        } else {
            result = encodeSymbol(c, c->matchLength + MATCH_LENGTH_BIAS, write, writeState);
            if (result >= 0) {
                result = encodeOffset(c, static_cast<unsigned>(c->matchOffset), write, writeState);
            }
        }
        if (result < 0) {
            return result;
        }

        int last = c->matchLength;
        int i = 0;
        for (; i < last; ++i) {
            uint8_t byte;
            int32_t got = read(&byte, 1, readState);
            if (got < 0) {
                return got;
            }
            if (got == 0) {
                break;
            }
            matchTreeRemove(c, s);
            window[s] = byte;
            if (s < MIRROR_SIZE) {
                window[s + RING_SIZE] = byte;
            }
            s = (s + 1) & WINDOW_MASK;
            r = (r + 1) & WINDOW_MASK;
            matchTreeInsert(c, r);
        }
        c->bytesRead += i;
        // The input has ended: the look-ahead drains without new bytes.
        for (; i < last; ++i) {
            matchTreeRemove(c, s);
            s = (s + 1) & WINDOW_MASK;
            r = (r + 1) & WINDOW_MASK;
            if (--len != 0) {
                matchTreeInsert(c, r);
            }
        }
    } while (len > 0);

    int32_t result = flushBits(c, write, writeState);
    if (result < 0) {
        return result;
    }
    result = write(nullptr, 0, writeState);
    if (result < 0) {
        return result;
    }
    return c->bytesRead;
}
