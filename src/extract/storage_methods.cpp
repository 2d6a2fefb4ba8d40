// The table of storage methods and its lookup.
#include "extract/storage_methods.h"

#include "extract/pack_operations.h"
#include "extract/unpack_operations.h"

const StorageMethod STORAGE_METHODS[STORAGE_METHOD_COUNT] = {
    {METHOD_STORED, storedMeasure, storedPack, storedUnpack},
    {METHOD_LZHUF, lzhufMeasure, lzhufPack, lzhufUnpack},
    {METHOD_LZMA2, lzma2Measure, lzma2Pack, lzma2Unpack},
};

UnpackFn findUnpackOp(uint32_t id)
{
    for (uint32_t row = 0; row < STORAGE_METHOD_COUNT; ++row) {
        if (STORAGE_METHODS[row].id == id) {
            return STORAGE_METHODS[row].unpack;
        }
    }
    return nullptr;
}
