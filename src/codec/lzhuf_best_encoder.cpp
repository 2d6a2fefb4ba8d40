// The best level: block by block, the cheapest sequence of literals and matches that the
// adaptive model would code, found as a shortest path over the positions of the block.
//
// Matches come from a binary tree of the positions of the last 4096 bytes, ordered by the
// bytes that follow them (up to 60). Searching the tree for a position while inserting it
// passes the positions whose keys share the longest prefixes with its own, nearest first
// among equal ones, so the search yields for every length the nearest match that has it.
//
// Costs are the code lengths of the model as it stands at the start of the block (the depth
// of each symbol's leaf) and, for an offset, its prefix code and six low bits. The model
// changes while the block is coded, so the path is the cheapest under the costs of the
// moment rather than under the costs it will meet; blocks of a few thousand positions keep
// the two close.
#include "codec/lzhuf_levels.h"

#include <string.h>

#include "codec/lzhuf_match_search.h"
#include "codec/lzhuf_symbol_writer.h"

namespace {

const int MIN_MATCH = MATCH_THRESHOLD + 1;
const int HASH_SIZE = 1 << BEST_HASH_BITS;
const int TREE_MASK = BEST_TREE_SIZE - 1;
const int NONE = -1;
const int FIRST_MATCH_SYMBOL = 256;
const int MATCH_LENGTH_BIAS = FIRST_MATCH_SYMBOL - MATCH_THRESHOLD - 1;
// Tree nodes visited per search at most: enough for any but degenerate data, where the
// longest match is met early anyway.
const int SEARCH_STEPS = 48;
const uint32_t UNREACHED = 0xFFFFFFFFu;
// At most one match per length.
const int LENGTHS = MAX_MATCH - MIN_MATCH + 1;

static_assert(BEST_TREE_SIZE > LEVEL_MAX_DISTANCE, "the tree must hold every reachable position");

// Inserts position p into the tree of its first three bytes and collects, for each new
// longest length met on the way, that length and its offset. Returns how many it found.
int searchAndInsert(LzhufBestWork* work, const uint8_t* data, int32_t size, int32_t p,
                    LzhufBestMatch* found) {
    int limit = size - p < MAX_MATCH ? size - p : MAX_MATCH;
    int32_t* tree = work->tree;
    int32_t* smaller = &tree[2 * (p & TREE_MASK)];      // where the next smaller key hangs
    int32_t* greater = &tree[2 * (p & TREE_MASK) + 1];  // where the next greater key hangs
    if (limit < MIN_MATCH) {
        *smaller = *greater = NONE;
        return 0;
    }
    uint32_t h = hashOfThree(data + p, BEST_HASH_BITS);
    int32_t candidate = work->head[h];
    work->head[h] = p;
    const uint8_t* here = data + p;
    int smallerLength = 0;  // prefix shared with every key on the smaller side
    int greaterLength = 0;
    int best = MIN_MATCH - 1;
    int count = 0;
    for (int steps = SEARCH_STEPS;; --steps) {
        // Nothing farther back than the window, nor before the first byte.
        if (candidate == NONE || p - candidate > LEVEL_MAX_DISTANCE || steps == 0) {
            *smaller = *greater = NONE;
            return count;
        }
        int32_t* node = &tree[2 * (candidate & TREE_MASK)];
        const uint8_t* there = data + candidate;
        int from = smallerLength < greaterLength ? smallerLength : greaterLength;
        int length = commonLength(here, there, from, limit);
        if (length > best) {
            best = length;
            found[count].length = static_cast<uint16_t>(length);
            found[count].offset = static_cast<uint16_t>(p - candidate - 1);
            ++count;
        }
        if (length == limit) {
            // Equal keys: the new position takes the old one's place and children.
            *smaller = node[0];
            *greater = node[1];
            return count;
        }
        if (there[length] < here[length]) {
            *smaller = candidate;
            smaller = &node[1];
            candidate = node[1];
            smallerLength = length;
        } else {
            *greater = candidate;
            greater = &node[0];
            candidate = node[0];
            greaterLength = length;
        }
    }
}

// Finds the cheapest way through positions start..end - 1 and codes it.
void codeBlock(SymbolWriter* writer, LzhufBestWork* work, const uint8_t* data, int32_t size,
               int32_t start, int32_t end) {
    int span = end - start;
    LzhufBestMatch found[LENGTHS];
    for (int i = 0; i < span; ++i) {
        int n = searchAndInsert(work, data, size, start + i, found);
        // Keep the longest ones: a match serves every length up to its own.
        int skip = n > BEST_MATCHES_PER_POSITION ? n - BEST_MATCHES_PER_POSITION : 0;
        work->matchCount[i] = static_cast<uint8_t>(n - skip);
        memcpy(work->matches[i], found + skip, (n - skip) * sizeof(found[0]));
    }

    uint8_t codeLength[SYMBOL_COUNT];
    symbolCodeLengths(writer->model, codeLength);
    uint32_t* cost = work->cost;
    cost[0] = 0;
    for (int i = 1; i <= span; ++i) {
        cost[i] = UNREACHED;
    }
    for (int i = 0; i < span; ++i) {
        uint32_t here = cost[i];
        uint32_t literal = here + codeLength[data[start + i]];
        if (literal < cost[i + 1]) {
            cost[i + 1] = literal;
            work->step[i + 1] = 1;
        }
        int room = span - i;
        int shorter = MIN_MATCH;
        const LzhufBestMatch* m = work->matches[i];
        for (int k = 0; k < work->matchCount[i] && shorter <= room; ++k) {
            int longest = m[k].length < room ? m[k].length : room;
            uint32_t base = here + static_cast<uint32_t>(offsetCodeBits(m[k].offset));
            for (int length = shorter; length <= longest; ++length) {
                uint32_t total = base + codeLength[length + MATCH_LENGTH_BIAS];
                if (total < cost[i + length]) {
                    cost[i + length] = total;
                    work->step[i + length] = static_cast<uint16_t>(length);
                    work->stepOffset[i + length] = m[k].offset;
                }
            }
            shorter = longest + 1;
        }
    }

    // Walk back from the end, leaving in `cost` (no longer needed) the position each step
    // leads to, then code the path forwards.
    int at = span;
    while (at > 0) {
        int from = at - work->step[at];
        cost[from] = static_cast<uint32_t>(at);
        at = from;
    }
    for (int i = 0; i < span;) {
        int next = static_cast<int>(cost[i]);
        int length = next - i;
        if (length == 1) {
            writeLiteral(writer, data[start + i]);
        } else {
            writeMatch(writer, length, work->stepOffset[next]);
        }
        i = next;
    }
}

}  // namespace

int lzhufEncodeBest(LzhufContext* context, LzhufBestWork* work, const uint8_t* data, int32_t size,
                    StreamWriteFn write, void* writeState) {
    if (write == nullptr || work == nullptr || (data == nullptr && size > 0) || size < 0) {
        return STREAM_ERR_STATE;
    }
    LzhufContext* c = context != nullptr ? context : &staticContext;
    for (int k = 0; k < HASH_SIZE; ++k) {
        work->head[k] = NONE;
    }
    SymbolWriter writer;
    startSymbolWriter(&writer, c, write, writeState);
    for (int32_t start = 0; start < size && writer.failure == 0; start += BEST_BLOCK) {
        int32_t end = size - start < BEST_BLOCK ? size : start + BEST_BLOCK;
        codeBlock(&writer, work, data, size, start, end);
    }
    int32_t result = finishSymbolWriter(&writer);
    return result < 0 ? result : size;
}
