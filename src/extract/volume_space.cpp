#include "extract/volume_space.h"

void spacePlanBegin(SpacePlan* plan) { plan->count = 0; }

int32_t spacePlanVolume(SpacePlan* plan, const VolumeFacts* facts) {
    for (uint32_t i = 0; i < plan->count; ++i) {
        const VolumeFacts* known = &plan->volumes[i].facts;
        if (known->serial == facts->serial && known->totalUnits == facts->totalUnits) {
            return static_cast<int32_t>(i);
        }
    }
    if (plan->count == SPACE_VOLUMES) return -1;
    VolumeNeed* added = &plan->volumes[plan->count];
    added->facts = *facts;
    added->neededBytes = 0;
    return static_cast<int32_t>(plan->count++);
}

void spacePlanFile(SpacePlan* plan, int32_t volume, uint32_t size) {
    if (volume < 0) return;
    VolumeNeed* need = &plan->volumes[volume];
    // A file takes whole allocation units; an empty one takes none. In 64 bits the sum of a
    // package's entries (fewer than 2^27 in 4 GiB, each at most 4 GiB) cannot wrap.
    uint32_t unit = need->facts.unitSize != 0 ? need->facts.unitSize : 1;
    uint32_t rest = size % unit;
    need->neededBytes += static_cast<uint64_t>(size) + (rest != 0 ? unit - rest : 0);
}

int32_t spacePlanShortfall(const SpacePlan* plan) {
    for (uint32_t i = 0; i < plan->count; ++i) {
        if (plan->volumes[i].neededBytes > plan->volumes[i].facts.freeBytes) return static_cast<int32_t>(i);
    }
    return -1;
}
