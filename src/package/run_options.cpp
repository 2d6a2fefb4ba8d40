#include "package/run_options.h"

#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(RunOptions) == RUN_OPTIONS_RECORD_SIZE, "RunOptions layout");
#endif

namespace {

uint32_t loadLittleEndian32(const uint8_t* bytes) {
    return (uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8) | ((uint32_t)bytes[2] << 16) |
           ((uint32_t)bytes[3] << 24);
}

}  // namespace

bool readRunOptions(const uint8_t* bytes, uint32_t size, RunOptions* options) {
    if (bytes == nullptr || size != RUN_OPTIONS_RECORD_SIZE) return false;
    uint32_t recordSize = loadLittleEndian32(bytes);
    uint32_t flags = loadLittleEndian32(bytes + 4);
    if (recordSize != RUN_OPTIONS_RECORD_SIZE || (flags & ~RUN_KNOWN_FLAGS) != 0) return false;
    options->recordSize = recordSize;
    options->flags = flags;
    return true;
}
