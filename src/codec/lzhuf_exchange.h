// The exchange step of the adaptive Huffman model, shared by the model's own update and by
// the decoder, which keeps lookup tables derived from the tree and must hear of every
// exchange to keep them in step. Inline, so that a caller that keeps nothing pays nothing.
#pragma once

#include <stdint.h>

#include "codec/lzhuf_model.h"

namespace lzhuf_exchange {

// nodeChild values at or above this index name a symbol (NODE_COUNT + symbol): a leaf.
const int LEAF_BASE = NODE_COUNT;
// Places of equal weight tested together when looking for the end of a run.
const int RUN_STEP = 4;

// Points the parent links of the children (or of the symbol) held at `child` to `node`.
// Leaves and internal nodes come in no order here, so a leaf's single link is written
// twice rather than told apart by a branch.
inline void adoptChildren(LzhufContext* c, int32_t child, int node) {
    c->nodeParent[child] = node;
    c->nodeParent[child + (child < LEAF_BASE ? 1 : 0)] = node;
}

// What an exchange tells a caller that keeps nothing.
struct IgnoreExchange {
    void operator()(int, int) {}
};

// Moves the node at n, whose weight has just become w, above the last node of its old
// weight (every node from n + 1 to l has weight w - 1), so the list stays sorted; then
// tells `exchanged(n, l)`. Returns the position the node now holds.
template <typename Exchanged>
inline int exchangeUpward(LzhufContext* c, int n, uint32_t w, Exchanged& exchanged) {
    uint32_t* weight = c->nodeWeight;
    int32_t* child = c->nodeChild;
    // The weights are sorted, so the places below w from n + 1 on form one run. Runs are
    // mostly short and of any length: four places are tested at once and their results
    // added, so that the run's end costs no mispredicted loop exit. Near the top, where four
    // places would pass the sentinel, they are tested one at a time.
    int l = n + 1;
    for (;;) {
        if (l + RUN_STEP > NODE_COUNT) {
            while (w > weight[l + 1]) {
                ++l;
            }
            break;
        }
        int k = static_cast<int>(w > weight[l + 1]) + static_cast<int>(w > weight[l + 2]) +
                static_cast<int>(w > weight[l + 3]) + static_cast<int>(w > weight[l + 4]);
        l += k;
        if (k < RUN_STEP) {
            break;
        }
    }
    weight[n] = weight[l];
    weight[l] = w;
    int32_t a = child[n];
    adoptChildren(c, a, l);
    int32_t b = child[l];
    child[l] = a;
    adoptChildren(c, b, n);
    child[n] = b;
    exchanged(n, l);
    return l;
}

}  // namespace lzhuf_exchange
