#include "extract/storage_methods.h"

#include <gtest/gtest.h>

#include "extract/unpack_operations.h"

TEST(StorageMethods, TableHasARowForExactlyTheKnownIds)
{
    for (uint32_t row = 0; row < STORAGE_METHOD_COUNT; ++row) {
        EXPECT_TRUE(isKnownMethod(STORAGE_METHODS[row].id)) << row;
    }
    for (uint32_t id = 0; id < 1024; ++id) {
        EXPECT_EQ(isKnownMethod(id), findUnpackOp(id) != nullptr) << id;
    }
    EXPECT_TRUE(isKnownMethod(METHOD_STORED));
    EXPECT_TRUE(isKnownMethod(METHOD_LZHUF));
    EXPECT_TRUE(isKnownMethod(METHOD_LZMA2));
    EXPECT_EQ(findUnpackOp(METHOD_STORED), &storedUnpack);
    EXPECT_EQ(findUnpackOp(METHOD_LZHUF), &lzhufUnpack);
    EXPECT_EQ(findUnpackOp(METHOD_LZMA2), &lzma2Unpack);
    for (uint32_t id : {3u, 4u, 256u, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(isKnownMethod(id)) << id;
        EXPECT_EQ(findUnpackOp(id), nullptr) << id;
    }
}
