// The adaptive Huffman model of the LZHUF codec, and the working state that one encode or
// decode run keeps. Decoder and encoder start from the same tree and change it in exactly
// the same way after every symbol, so every rule here is part of the stream format.
#pragma once

#include <stdint.h>

const int RING_SIZE = 4096;        // ring buffer; match offsets are 0..4095
const int MAX_MATCH = 60;          // longest match, and the encoder's look-ahead
const int MATCH_THRESHOLD = 2;     // a match is coded only when longer than this
const int SYMBOL_COUNT = 314;      // 0..255 literals, 256..313 match lengths 3..60
const int NODE_COUNT = 627;        // nodes of the Huffman tree, 2 * SYMBOL_COUNT - 1
const int ROOT_NODE = 626;
const uint32_t WEIGHT_LIMIT = 0x8000;  // root weight at which the model is rebuilt
const int NO_NODE = 4096;          // an absent node in the encoder's match tree

// One run of the encoder or of the decoder. Field order and sizes are fixed.
struct LzhufContext {
    uint32_t inBuffer;     // bit-input shift register; the next bit is bit 15
    int32_t inCount;       // valid bits in inBuffer
    int32_t outCount;      // bits waiting in outBuffer (0..7 between calls)
    uint32_t outBuffer;    // bit-output shift register; waiting bits start at bit 15
    int32_t bytesRead;     // input bytes consumed so far: the encoder's result
    int32_t matchOffset;   // offset of the best match of the last tree insertion
    int32_t matchLength;   // length of that match, 0 when none is longer than 2
    uint8_t window[RING_SIZE + MAX_MATCH - 1];  // 4096..4154 mirror 0..58 (encoder)
    int32_t treeLeft[RING_SIZE + 1];
    int32_t treeParent[RING_SIZE + 1];          // NO_NODE when not in a tree
    int32_t treeRight[RING_SIZE + 257];         // 4097..4352: roots of the 256 trees
    uint32_t nodeWeight[NODE_COUNT + 1];        // entry 627 is a sentinel, 0xFFFF
    int32_t nodeParent[NODE_COUNT + SYMBOL_COUNT];  // 627 + s: the leaf of symbol s
    int32_t nodeChild[NODE_COUNT];              // first child, or 627 + symbol for a leaf
};

// The context every codec entry point uses when it is given none.
extern LzhufContext staticContext;

// Sets every byte of the context to zero.
void clearContext(LzhufContext* context);
// Builds the initial tree: symbols 0..115 get 9-bit codes, 116..313 8-bit codes.
void startModel(LzhufContext* context);
// Counts one occurrence of `symbol` (0..313) and restores the tree's invariants.
void updateModel(LzhufContext* context, int symbol);
// The same as updateModel, for a caller that has just walked the tree from the root to the
// symbol's leaf: path[0] is the root's child on that walk and path[depth - 1] the leaf.
// Knowing the path spares the climb its chain of parent lookups while nothing moves.
void updateModelOnPath(LzhufContext* context, int symbol, const int32_t* path, int depth);
// Halves every leaf weight (rounding up) and rebuilds the tree; run by updateModel when
// the root weight reaches WEIGHT_LIMIT.
void rebuildModel(LzhufContext* context);
