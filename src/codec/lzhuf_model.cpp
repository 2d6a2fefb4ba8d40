// The adaptive Huffman model of the LZHUF codec. The tree is kept as a list of nodes sorted
// by weight (the sibling property): the children of any internal node are the neighbours
// 2m and 2m + 1, so after an increment one exchange per level restores the order.
#include "codec/lzhuf_model.h"

#include <string.h>

#include "codec/lzhuf_exchange.h"

LzhufContext staticContext;

namespace {

using lzhuf_exchange::LEAF_BASE;
using lzhuf_exchange::adoptChildren;

// Weight of the sentinel above the last node; no real weight ever reaches it.
const uint32_t SENTINEL_WEIGHT = 0xFFFF;

}  // namespace

void clearContext(LzhufContext* context) {
    memset(context, 0, sizeof(*context));
}

void startModel(LzhufContext* context) {
    LzhufContext* c = context;
    for (int s = 0; s < SYMBOL_COUNT; ++s) {
        c->nodeWeight[s] = 1;
        c->nodeChild[s] = s + LEAF_BASE;
        c->nodeParent[s + LEAF_BASE] = s;
    }
    int i = 0;
    for (int n = SYMBOL_COUNT; n < NODE_COUNT; ++n) {
        c->nodeWeight[n] = c->nodeWeight[i] + c->nodeWeight[i + 1];
        c->nodeChild[n] = i;
        c->nodeParent[i] = n;
        c->nodeParent[i + 1] = n;
        i += 2;
    }
    c->nodeWeight[NODE_COUNT] = SENTINEL_WEIGHT;
    c->nodeParent[ROOT_NODE] = 0;
}

void rebuildModel(LzhufContext* context) {
    LzhufContext* c = context;
    uint32_t* weight = c->nodeWeight;
    int32_t* child = c->nodeChild;

    // Gather the leaves, in their present order, at the bottom; halving rounds up so that
    // no symbol ever drops to weight 0.
    int j = 0;
    for (int n = 0; n < NODE_COUNT; ++n) {
        if (child[n] >= LEAF_BASE) {
            weight[j] = (weight[n] + 1) / 2;
            child[j] = child[n];
            ++j;
        }
    }

    // Join the two lightest unjoined nodes, placing each new node after every node of equal
    // or smaller weight: this order is part of the format.
    int i = 0;
    for (int n = SYMBOL_COUNT; n < NODE_COUNT; ++n) {
        uint32_t f = weight[i] + weight[i + 1];
        int k = n - 1;
        while (f < weight[k]) {
            --k;
        }
        ++k;
        memmove(&weight[k + 1], &weight[k], (n - k) * sizeof(weight[0]));
        memmove(&child[k + 1], &child[k], (n - k) * sizeof(child[0]));
        weight[k] = f;
        child[k] = i;
        i += 2;
    }

    for (int n = 0; n < NODE_COUNT; ++n) {
        adoptChildren(c, child[n], n);
    }
}

namespace {

// Counts one more occurrence at n and at every node above it, exchanging nodes that outgrow
// their upper neighbour.
inline void climbFrom(LzhufContext* c, int n) {
    uint32_t* weight = c->nodeWeight;
    int32_t* parent = c->nodeParent;
    lzhuf_exchange::IgnoreExchange ignore;
    do {
        uint32_t w = weight[n] + 1;
        weight[n] = w;
        if (w > weight[n + 1]) {
            n = lzhuf_exchange::exchangeUpward(c, n, w, ignore);
        }
        n = parent[n];
    } while (n != 0);
}

}  // namespace

void updateModel(LzhufContext* context, int symbol) {
    if (context->nodeWeight[ROOT_NODE] == WEIGHT_LIMIT) {
        rebuildModel(context);
    }
    climbFrom(context, context->nodeParent[LEAF_BASE + symbol]);
}

void updateModelOnPath(LzhufContext* context, int symbol, const int32_t* path, int depth) {
    LzhufContext* c = context;
    if (c->nodeWeight[ROOT_NODE] == WEIGHT_LIMIT) {
        // The rebuild reshapes the tree: the path no longer leads to the leaf.
        updateModel(c, symbol);
        return;
    }
    uint32_t* weight = c->nodeWeight;
    // While no node moves, each node's parent is the one above it on the path.
    for (int k = depth - 1; k >= 0; --k) {
        int n = path[k];
        uint32_t w = weight[n] + 1;
        weight[n] = w;
        if (w > weight[n + 1]) {
            lzhuf_exchange::IgnoreExchange ignore;
            n = lzhuf_exchange::exchangeUpward(c, n, w, ignore);
            n = c->nodeParent[n];
            if (n != 0) {
                climbFrom(c, n);
            }
            return;
        }
    }
    // The root never moves: the sentinel above it outweighs it.
    ++weight[ROOT_NODE];
}
