// The address space of a 32-bit process of this runtime (no large-address flag: 2 GiB): room
// for the engine's image with a package of the largest size that build allows, and beside it
// for the solid decoder's memory. The engine maps its image whole, package included, before
// its first instruction runs; what is left must still hold a dictionary for the extraction
// and what the helpers decode ahead.
#include <gtest/gtest.h>
#include <stdio.h>
#include <windows.h>

#include <vector>

#include "codec/solid_stream.h"
#include "extract/stream_prefetch.h"
#include "package/package_limit.h"

namespace {

// The largest block of free addresses, and in a 32-bit process a line per free block of
// 64 MiB or more.
size_t largestFreeBlock(std::string* map) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    size_t largest = 0;
    const uint8_t* at = static_cast<const uint8_t*>(system.lpMinimumApplicationAddress);
    MEMORY_BASIC_INFORMATION block;
    while (at < system.lpMaximumApplicationAddress && VirtualQuery(at, &block, sizeof(block)) == sizeof(block)) {
        if (block.State == MEM_FREE) {
            if (block.RegionSize > largest) largest = block.RegionSize;
            if (sizeof(void*) == 4 && block.RegionSize >= (64u << 20)) {
                char line[96];
                snprintf(line, sizeof(line), "  free %p + %u MiB\n", block.BaseAddress,
                         static_cast<unsigned>(block.RegionSize >> 20));
                *map += line;
            }
        }
        at = static_cast<const uint8_t*>(block.BaseAddress) + block.RegionSize;
    }
    return largest;
}

}  // namespace

TEST(AddressSpace, AnImageWithAPackageAtTheLimitAndTheDecodersMemoryFitTogether) {
    std::string map;
    const size_t largest = largestFreeBlock(&map);
    // For the record: what this runtime leaves a process.
    printf("largest free block: %u MiB of addresses (pointers %u bits)\n%s", static_cast<unsigned>(largest >> 20),
           static_cast<unsigned>(8 * sizeof(void*)), map.c_str());
    std::vector<void*> reserved;
    void* image = VirtualAlloc(NULL, ENGINE_PACKAGE_LIMIT + ENGINE_IMAGE_ALLOWANCE, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(image, nullptr) << "largest free block: " << (largest >> 20) << " MiB";
    reserved.push_back(image);
    // The extraction's own dictionary must fit; the look-ahead takes at most half of what is
    // free when it starts (and at most its cap), so a quarter of the cap beside it leaves it
    // room for a stream or two.
    std::vector<size_t> beside = {SOLID_DICTIONARY_MAX, PREFETCH_MEMORY_CAP / 4};
    for (size_t size : beside) {
        void* block = VirtualAlloc(NULL, size, MEM_RESERVE, PAGE_NOACCESS);
        EXPECT_NE(block, nullptr) << (size >> 20) << " MiB beside the image";
        if (block != NULL) reserved.push_back(block);
    }
    for (void* block : reserved) VirtualFree(block, 0, MEM_RELEASE);
}
