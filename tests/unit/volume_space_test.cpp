// The room a run needs per volume: volumes told apart by serial and size, files rounded up to
// whole allocation units, and the first volume that lacks room named.
#include "extract/volume_space.h"

#include <gtest/gtest.h>

namespace {

VolumeFacts volume(uint32_t serial, uint64_t totalUnits, uint32_t unitSize, uint64_t freeBytes) {
    return VolumeFacts{serial, totalUnits, unitSize, freeBytes};
}

}  // namespace

TEST(VolumeSpace, FilesTakeWholeUnitsAndAnEmptyFileNone) {
    SpacePlan plan;
    spacePlanBegin(&plan);
    VolumeFacts disk = volume(7, 1000, 4096, 3 * 4096);
    int32_t slot = spacePlanVolume(&plan, &disk);
    ASSERT_EQ(slot, 0);
    spacePlanFile(&plan, slot, 1);     // one unit
    spacePlanFile(&plan, slot, 0);     // none
    spacePlanFile(&plan, slot, 4096);  // exactly one
    EXPECT_EQ(plan.volumes[0].neededBytes, 2u * 4096);
    EXPECT_EQ(spacePlanShortfall(&plan), -1);
    spacePlanFile(&plan, slot, 4097);  // two more: four units on a volume with three free
    EXPECT_EQ(plan.volumes[0].neededBytes, 4u * 4096);
    EXPECT_EQ(spacePlanShortfall(&plan), 0);
}

TEST(VolumeSpace, ExactlyTheFreeSpaceFitsAndOneByteMoreDoesNot) {
    SpacePlan plan;
    spacePlanBegin(&plan);
    VolumeFacts bytes = volume(1, 1, 0, 100);  // no unit known: counted in bytes
    int32_t slot = spacePlanVolume(&plan, &bytes);
    spacePlanFile(&plan, slot, 60);
    spacePlanFile(&plan, slot, 40);
    EXPECT_EQ(spacePlanShortfall(&plan), -1);
    spacePlanFile(&plan, slot, 1);
    EXPECT_EQ(spacePlanShortfall(&plan), 0);
}

TEST(VolumeSpace, VolumesAreToldApartBySerialAndSizeAndEachHeldToItsOwnFreeSpace) {
    SpacePlan plan;
    spacePlanBegin(&plan);
    VolumeFacts big = volume(0, 5000000, 4096, 10ull << 30);
    VolumeFacts small = volume(0, 1024, 4096, 4u << 20);  // the same serial (some file systems give 0)
    VolumeFacts other = volume(9, 5000000, 4096, 1u << 20);
    int32_t a = spacePlanVolume(&plan, &big);
    int32_t b = spacePlanVolume(&plan, &small);
    int32_t c = spacePlanVolume(&plan, &other);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(c, 2);
    VolumeFacts bigAgain = volume(0, 5000000, 512, 1);  // another answer of the same volume
    EXPECT_EQ(spacePlanVolume(&plan, &bigAgain), a);
    // 8 MiB go to the big volume (free 10 GiB) and 3 MiB to the small one (free 4 MiB): both fit.
    spacePlanFile(&plan, a, 8u << 20);
    spacePlanFile(&plan, b, 3u << 20);
    EXPECT_EQ(spacePlanShortfall(&plan), -1);
    // What a volume lacks is not made up by another's room.
    spacePlanFile(&plan, c, (1u << 20) + 1);
    EXPECT_EQ(spacePlanShortfall(&plan), 2);
}

TEST(VolumeSpace, GigabyteFilesAddUpWithoutWrapping) {
    SpacePlan plan;
    spacePlanBegin(&plan);
    VolumeFacts disk = volume(3, 1ull << 40, 4096, 5ull << 30);
    int32_t slot = spacePlanVolume(&plan, &disk);
    spacePlanFile(&plan, slot, 0xFFFFFFFFu);  // 4 GiB (rounded up to 4 GiB)
    EXPECT_EQ(spacePlanShortfall(&plan), -1);
    spacePlanFile(&plan, slot, 0xFFFFFFFFu);  // 8 GiB: a 32-bit sum would have wrapped to 4 GiB
    EXPECT_EQ(plan.volumes[0].neededBytes, 8ull << 30);
    EXPECT_EQ(spacePlanShortfall(&plan), 0);
}

TEST(VolumeSpace, AFullPlanCountsNothingForFurtherVolumes) {
    SpacePlan plan;
    spacePlanBegin(&plan);
    for (uint32_t i = 0; i < SPACE_VOLUMES; ++i) {
        VolumeFacts facts = volume(i, 10, 1, 10);
        EXPECT_EQ(spacePlanVolume(&plan, &facts), static_cast<int32_t>(i));
    }
    VolumeFacts extra = volume(SPACE_VOLUMES, 10, 1, 0);
    int32_t slot = spacePlanVolume(&plan, &extra);
    EXPECT_EQ(slot, -1);
    spacePlanFile(&plan, slot, 100);  // not counted anywhere
    EXPECT_EQ(spacePlanShortfall(&plan), -1);
}
