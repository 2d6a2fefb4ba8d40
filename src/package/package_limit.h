// The largest package the 32-bit engine starts and runs. A process without the large-address
// flag has 2 GiB of addresses, and the engine's image is mapped whole, its package included,
// before the engine's first instruction: beside it the system's libraries, the heap, the
// stacks and the solid decoder's dictionaries must still fit. `runpack build` refuses a
// package above this size rather than write an executable that cannot start.
#pragma once

#include <stdint.h>

const uint32_t ENGINE_PACKAGE_LIMIT = 1536u << 20;
// What the engine's image holds beyond its package: code, data, resources, alignment.
const uint32_t ENGINE_IMAGE_ALLOWANCE = 1u << 20;
