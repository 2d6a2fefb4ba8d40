// The adaptive Huffman model: the initial codes, how codes shorten as a symbol is counted,
// the rebuild when the root weight reaches its limit, and the tree's invariants throughout.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "codec/lzhuf_model.h"
#include "support/lzhuf_streams.h"

namespace {

struct FreshModel {
    LzhufContext context;
    FreshModel() {
        clearContext(&context);
        startModel(&context);
    }
};

uint32_t leafWeight(const LzhufContext& c, int symbol) {
    return c.nodeWeight[c.nodeParent[NODE_COUNT + symbol]];
}

TEST(LzhufModel, FreshModelGivesTheKnownCodes) {
    FreshModel m;
    EXPECT_EQ(lzhufSymbolCode(m.context, 0), "110001100");
    EXPECT_EQ(lzhufSymbolCode(m.context, 0x20), "110101100");
    EXPECT_EQ(lzhufSymbolCode(m.context, 115), "111111111");
    EXPECT_EQ(lzhufSymbolCode(m.context, 116), "00000000");
    EXPECT_EQ(lzhufSymbolCode(m.context, 255), "10001011");
    EXPECT_EQ(lzhufSymbolCode(m.context, 256), "10001100");
    EXPECT_EQ(lzhufSymbolCode(m.context, 313), "11000101");
    for (int s = 0; s < SYMBOL_COUNT; ++s) {
        EXPECT_EQ(lzhufSymbolCode(m.context, s).size(), s < 116 ? 9u : 8u) << "symbol " << s;
    }
    EXPECT_EQ(m.context.nodeWeight[ROOT_NODE], 314u);
    EXPECT_EQ(lzhufModelFault(m.context), "");
}

TEST(LzhufModel, CodeOfOneRepeatedSymbolShortensWithItsCount) {
    FreshModel m;
    const int symbol = 0x41;
    const struct {
        int count;
        size_t length;
    } steps[] = {{1, 8}, {2, 7}, {4, 6}, {8, 5}, {16, 4}, {32, 3}, {64, 2}, {185, 1}};
    int counted = 0;
    for (const auto& step : steps) {
        while (counted < step.count) {
            updateModel(&m.context, symbol);
            ++counted;
            ASSERT_EQ(lzhufModelFault(m.context), "") << "after " << counted << " counts";
            ASSERT_EQ(m.context.nodeChild[ROOT_NODE], ROOT_NODE - 2);
        }
        EXPECT_EQ(lzhufSymbolCode(m.context, symbol).size(), step.length)
            << "after " << step.count << " counts";
    }
}

// Counting 32454 symbols brings the root from 314 to the limit; the next update halves the
// tree before it counts its symbol.
TEST(LzhufModel, RebuildsAtTheSymbolThatFindsTheRootAtTheLimit) {
    FreshModel m;
    std::mt19937 random(12345);
    // Skewed counts, so that the tree takes many shapes and the rebuild has real work.
    std::geometric_distribution<int> skewed(0.02);
    for (int k = 0; k < 32454; ++k) {
        int symbol = std::min(skewed(random), SYMBOL_COUNT - 1);
        uint32_t rootBefore = m.context.nodeWeight[ROOT_NODE];
        updateModel(&m.context, symbol);
        ASSERT_EQ(m.context.nodeWeight[ROOT_NODE], rootBefore + 1);
        ASSERT_EQ(lzhufModelFault(m.context), "") << "after symbol " << k + 1;
        ASSERT_EQ(m.context.nodeChild[ROOT_NODE], ROOT_NODE - 2);
    }
    ASSERT_EQ(m.context.nodeWeight[ROOT_NODE], WEIGHT_LIMIT);

    uint32_t before[SYMBOL_COUNT];
    for (int s = 0; s < SYMBOL_COUNT; ++s) {
        before[s] = leafWeight(m.context, s);
    }

    const int counted = 7;
    updateModel(&m.context, counted);

    uint32_t sum = 0;
    for (int s = 0; s < SYMBOL_COUNT; ++s) {
        uint32_t expected = (before[s] + 1) / 2 + (s == counted ? 1 : 0);
        EXPECT_EQ(leafWeight(m.context, s), expected) << "symbol " << s;
        sum += leafWeight(m.context, s);
    }
    EXPECT_EQ(m.context.nodeWeight[ROOT_NODE], sum);
    EXPECT_LT(sum, WEIGHT_LIMIT / 2 + SYMBOL_COUNT);
    EXPECT_EQ(lzhufModelFault(m.context), "");
    for (int n = SYMBOL_COUNT; n < NODE_COUNT; ++n) {
        // internal nodes hold even child positions; leaves hold symbols above the tree
        int child = m.context.nodeChild[n];
        EXPECT_TRUE(child >= NODE_COUNT || child % 2 == 0) << "node " << n;
    }
}

TEST(LzhufModel, RebuildKeepsTheOrderOfLeavesWithEqualWeights) {
    FreshModel m;
    // Give pairs of symbols equal counts, in an order unlike their symbol order.
    const int symbols[] = {200, 3, 150, 90, 17, 250};
    for (int round = 0; round < 40; ++round) {
        for (int symbol : symbols) {
            updateModel(&m.context, symbol);
        }
    }
    std::vector<int> before;
    for (int n = 0; n < NODE_COUNT; ++n) {
        if (m.context.nodeChild[n] >= NODE_COUNT) {
            before.push_back(m.context.nodeChild[n]);
        }
    }
    rebuildModel(&m.context);
    std::vector<int> after;
    for (int n = 0; n < NODE_COUNT; ++n) {
        if (m.context.nodeChild[n] >= NODE_COUNT) {
            after.push_back(m.context.nodeChild[n]);
        }
    }
    EXPECT_EQ(after, before);
    EXPECT_EQ(lzhufModelFault(m.context), "");
}

// Weights that grow like a Fibonacci series push the lightest leaves below the 16th level
// within one model period.
TEST(LzhufModel, FibonacciCountsGiveCodesLongerThanSixteenBits) {
    FreshModel m;
    const int chain[] = {300, 301, 302, 303, 304, 305, 306, 307, 308};
    lzhufCountFibonacci(&m.context, chain, 9);
    EXPECT_EQ(lzhufModelFault(m.context), "");
    ASSERT_LT(m.context.nodeWeight[ROOT_NODE], WEIGHT_LIMIT);
    size_t longest = 0;
    for (int s = 0; s < SYMBOL_COUNT; ++s) {
        longest = std::max(longest, lzhufSymbolCode(m.context, s).size());
    }
    EXPECT_EQ(longest, 18u);
}

}  // namespace
