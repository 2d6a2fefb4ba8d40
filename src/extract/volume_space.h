// The room a run needs on each volume it writes to, summed before anything is written and held
// against what each volume has free: a run that cannot fit fails at once, leaving nothing,
// instead of filling the disk and failing midway. Portable: the volumes' facts come from the
// caller.
#pragma once

#include <stdint.h>

// The volumes a run tells apart. Files on volumes beyond these are not counted: a package
// that writes to more volumes than this is checked on its first ones only.
const uint32_t SPACE_VOLUMES = 16;

// What the file system says of one volume.
struct VolumeFacts {
    uint32_t serial;       // the volume's serial number
    uint64_t totalUnits;   // its size in allocation units: with the serial, names the volume
    uint32_t unitSize;     // bytes per allocation unit; 0 when unknown (taken as 1)
    uint64_t freeBytes;    // what the run's user may still write there
};

struct VolumeNeed {
    VolumeFacts facts;
    uint64_t neededBytes;  // every file rounded up to whole allocation units
};

// The volumes met so far and what the run will write on each.
struct SpacePlan {
    uint32_t count;
    VolumeNeed volumes[SPACE_VOLUMES];
};

// Empties the plan.
void spacePlanBegin(SpacePlan* plan);

// The slot of the volume `facts` describes, added when it is new: two volumes are the same
// when both their serial and their size agree (a serial alone is not unique: copied disks,
// and some file systems report none). -1 when the plan is full.
int32_t spacePlanVolume(SpacePlan* plan, const VolumeFacts* facts);

// Counts a file of `size` bytes on the volume in slot `volume`: a result of spacePlanVolume
// (a negative slot counts nothing).
void spacePlanFile(SpacePlan* plan, int32_t volume, uint32_t size);

// The first volume whose files do not fit its free space, or -1 when every one fits.
int32_t spacePlanShortfall(const SpacePlan* plan);
