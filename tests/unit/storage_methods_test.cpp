#include "extract/storage_methods.h"

#include <gtest/gtest.h>

#include "extract/pack_operations.h"
#include "extract/unpack_operations.h"

TEST(StorageMethods, TableHoldsStoredThenLzhufWithTheirOperations)
{
    ASSERT_EQ(STORAGE_METHOD_COUNT, 2u);
    EXPECT_EQ(STORAGE_METHODS[0].id, METHOD_STORED);
    EXPECT_EQ(STORAGE_METHODS[0].measure, &storedMeasure);
    EXPECT_EQ(STORAGE_METHODS[0].pack, &storedPack);
    EXPECT_EQ(STORAGE_METHODS[0].unpack, &storedUnpack);
    EXPECT_EQ(STORAGE_METHODS[1].id, METHOD_LZHUF);
    EXPECT_EQ(STORAGE_METHODS[1].measure, &lzhufMeasure);
    EXPECT_EQ(STORAGE_METHODS[1].pack, &lzhufPack);
    EXPECT_EQ(STORAGE_METHODS[1].unpack, &lzhufUnpack);
}

TEST(StorageMethods, LookupsKnowExactlyTheTableIds)
{
    EXPECT_TRUE(isKnownMethod(METHOD_STORED));
    EXPECT_TRUE(isKnownMethod(METHOD_LZHUF));
    EXPECT_EQ(findUnpackOp(METHOD_STORED), &storedUnpack);
    EXPECT_EQ(findUnpackOp(METHOD_LZHUF), &lzhufUnpack);
    for (uint32_t id : {2u, 3u, 256u, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(isKnownMethod(id)) << id;
        EXPECT_EQ(findUnpackOp(id), nullptr) << id;
    }
}
