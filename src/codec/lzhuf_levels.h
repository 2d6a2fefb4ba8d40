// Encoder levels for the host tool. All write the stream that lzhufDecode reads:
// - LZHUF_LEVEL_REF is lzhufEncode itself, bit for bit what existing packages hold;
// - LZHUF_LEVEL_FAST finds matches in hash chains and takes the longer of two neighbouring
//   matches, in about the time of a general-purpose compressor at its default;
// - LZHUF_LEVEL_BEST chooses literals and matches block by block for the fewest bits the
//   adaptive model would spend, with offsets up to 4095.
// The fast and best levels work on the whole input in memory and never refer to bytes
// before the first one they produce, so decoders whose window starts with other contents
// give the same bytes. Each takes a working record the caller allocates once per thread.
#pragma once

#include <stdint.h>

#include "codec/lzhuf_model.h"
#include "codec/stream_callbacks.h"

enum LzhufLevel {
    LZHUF_LEVEL_FAST = 0,
    LZHUF_LEVEL_REF = 1,
    LZHUF_LEVEL_BEST = 2,
};

// The farthest back a match may reach: offset 4095 copies from 4096 bytes back.
const int LEVEL_MAX_DISTANCE = RING_SIZE;

// Hash chains over the last LEVEL_MAX_DISTANCE positions.
const int FAST_HASH_BITS = 15;
struct LzhufFastWork {
    int32_t head[1 << FAST_HASH_BITS];  // latest position with each hash, -1 for none
    int32_t previous[RING_SIZE];        // the position before it with the same hash
};

// A binary tree of the last positions, and for one block at a time the matches of every
// position and the cheapest way to reach it.
const int BEST_HASH_BITS = 16;
const int BEST_BLOCK = 16384;
const int BEST_MATCHES_PER_POSITION = 16;  // lengths grow along a tree search: few distinct
const int BEST_TREE_SIZE = 2 * LEVEL_MAX_DISTANCE;
struct LzhufBestMatch {
    uint16_t length;
    uint16_t offset;
};
struct LzhufBestWork {
    int32_t head[1 << BEST_HASH_BITS];
    int32_t tree[2 * BEST_TREE_SIZE];  // the smaller and greater subtree of each position
    uint32_t cost[BEST_BLOCK + 1];     // bits to reach each position of the block
    uint16_t step[BEST_BLOCK + 1];     // length of the code that reaches it (1: literal)
    uint16_t stepOffset[BEST_BLOCK + 1];
    uint8_t matchCount[BEST_BLOCK];
    LzhufBestMatch matches[BEST_BLOCK][BEST_MATCHES_PER_POSITION];
};

// Each compresses `size` bytes of `data` through `write`, which takes up to 4096 bytes a
// call and then gets the flush call. Returns size, or the write callback's negative result.
// The model lives in `context` (null: staticContext) for the run.
int lzhufEncodeFast(LzhufContext* context, LzhufFastWork* work, const uint8_t* data, int32_t size,
                    StreamWriteFn write, void* writeState);
int lzhufEncodeBest(LzhufContext* context, LzhufBestWork* work, const uint8_t* data, int32_t size,
                    StreamWriteFn write, void* writeState);
