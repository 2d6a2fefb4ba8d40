// The fast level: hash chains over the whole input in memory. Every position goes into the
// chain of its first three bytes; a search walks a chain, newest first, for a limited number
// of steps and no further back than 4096 bytes. A match is taken unless the next position
// starts a longer one (one step of lazy evaluation), which wins back most of what the short
// chains miss.
#include "codec/lzhuf_levels.h"

#include <string.h>

#include "codec/lzhuf_match_search.h"
#include "codec/lzhuf_symbol_writer.h"

namespace {

const int MIN_MATCH = MATCH_THRESHOLD + 1;
const int HASH_SIZE = 1 << FAST_HASH_BITS;
const int NONE = -1;
// Chain steps per search, and the length from which a match is taken without looking one
// position further. When the match in hand is already this good, the look at the next
// position walks a quarter of the chain.
const int CHAIN_STEPS = 128;
const int LAZY_BELOW = 24;
const int GOOD_LENGTH = 8;

struct Chains {
    LzhufFastWork* work;
    const uint8_t* data;
    int32_t size;
    int32_t inserted;  // positions below this are in the chains

    // Puts every position below `end` that has three bytes into its chain.
    void insertUpTo(int32_t end) {
        int32_t last = size - MIN_MATCH;
        for (; inserted < end && inserted <= last; ++inserted) {
            uint32_t h = hashOfThree(data + inserted, FAST_HASH_BITS);
            work->previous[inserted & (RING_SIZE - 1)] = work->head[h];
            work->head[h] = inserted;
        }
        if (inserted < end) {
            inserted = end;
        }
    }

    // The longest match for position p (the nearest of equal ones), as length and
    // distance; length 0 when none reaches MIN_MATCH. Position p is not yet in the chains.
    int find(int32_t p, int32_t* distance, int chainSteps) const {
        int limit = size - p < MAX_MATCH ? size - p : MAX_MATCH;
        if (limit < MIN_MATCH) {
            return 0;
        }
        int32_t oldest = p - LEVEL_MAX_DISTANCE;
        if (oldest < 0) {
            oldest = 0;  // nothing before the first byte
        }
        const uint8_t* here = data + p;
        int best = MIN_MATCH - 1;
        int32_t candidate = work->head[hashOfThree(here, FAST_HASH_BITS)];
        for (int steps = chainSteps; steps > 0 && candidate >= oldest; --steps) {
            const uint8_t* there = data + candidate;
            // Only a candidate that beats the best so far at its last byte can be longer.
            if (there[best] == here[best]) {
                int length = commonLength(here, there, 0, limit);
                if (length > best) {
                    best = length;
                    *distance = p - candidate;
                    if (length == limit) {
                        break;
                    }
                }
            }
            candidate = work->previous[candidate & (RING_SIZE - 1)];
        }
        return best >= MIN_MATCH ? best : 0;
    }
};

}  // namespace

int lzhufEncodeFast(LzhufContext* context, LzhufFastWork* work, const uint8_t* data, int32_t size,
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
    Chains chains = {work, data, size, 0};

    int32_t p = 0;
    int32_t distance = 0;
    int length = chains.find(p, &distance, CHAIN_STEPS);
    while (p < size && writer.failure == 0) {
        if (length == 0) {
            writeLiteral(&writer, data[p]);
            chains.insertUpTo(p + 1);
            ++p;
            length = chains.find(p, &distance, CHAIN_STEPS);
            continue;
        }
        // One step of lazy evaluation: a longer match at the next position wins.
        if (length < LAZY_BELOW) {
            chains.insertUpTo(p + 1);
            int32_t nextDistance = 0;
            int steps = length >= GOOD_LENGTH ? CHAIN_STEPS / 4 : CHAIN_STEPS;
            int nextLength = chains.find(p + 1, &nextDistance, steps);
            if (nextLength > length) {
                writeLiteral(&writer, data[p]);
                ++p;
                length = nextLength;
                distance = nextDistance;
                continue;
            }
        }
        writeMatch(&writer, length, distance - 1);
        chains.insertUpTo(p + length);
        p += length;
        length = chains.find(p, &distance, CHAIN_STEPS);
    }
    int32_t result = finishSymbolWriter(&writer);
    return result < 0 ? result : size;
}
