// The adaptive Huffman model of the LZHUF codec. The tree is kept as a list of nodes sorted
// by weight (the sibling property): the children of any internal node are the neighbours
// 2m and 2m + 1, so after an increment one exchange per level restores the order.
#include "codec/lzhuf_model.h"

#include <string.h>

LzhufContext staticContext;

namespace {

// nodeChild values at or above this index name a symbol (NODE_COUNT + symbol): a leaf.
const int LEAF_BASE = NODE_COUNT;
// Weight of the sentinel above the last node; no real weight ever reaches it.
const uint32_t SENTINEL_WEIGHT = 0xFFFF;

// Points the parent links of the children (or of the symbol) held at `child` to `node`.
inline void adoptChildren(LzhufContext* c, int32_t child, int node) {
    c->nodeParent[child] = node;
    if (child < LEAF_BASE) {
        c->nodeParent[child + 1] = node;
    }
}

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

void updateModel(LzhufContext* context, int symbol) {
    LzhufContext* c = context;
    if (c->nodeWeight[ROOT_NODE] == WEIGHT_LIMIT) {
        rebuildModel(c);
    }
    uint32_t* weight = c->nodeWeight;
    int32_t* parent = c->nodeParent;
    int32_t* child = c->nodeChild;

    int n = parent[LEAF_BASE + symbol];
    do {
        uint32_t w = weight[n] + 1;
        weight[n] = w;
        if (w > weight[n + 1]) {
            // The node outgrew its upper neighbour. Every node from n + 1 to l has the old
            // weight w - 1; exchanging n with the last of them keeps the list sorted.
            int l = n + 1;
            while (w > weight[l + 1]) {
                ++l;
            }
            weight[n] = weight[l];
            weight[l] = w;

            int32_t a = child[n];
            adoptChildren(c, a, l);
            int32_t b = child[l];
            child[l] = a;
            adoptChildren(c, b, n);
            child[n] = b;
            n = l;
        }
        n = parent[n];
    } while (n != 0);
}
