// The largest package the 32-bit engine starts and runs. A process without the large-address
// flag has 2 GiB of addresses, and the engine's image is mapped whole, its package included,
// before the engine's first instruction: beside it the system's libraries, the heap, the
// stacks and the solid decoder's memory must still fit. On 32-bit Wine an engine whose image
// takes 1890 MiB of addresses still runs a package with a 64 MiB dictionary whole; from 1900
// MiB its extraction fails for want of memory, and at 2000 MiB the loader refuses the image.
// An image at this limit takes 1537 MiB: the 353 MiB (19 %) left of the measured figure are
// for what Wine does not show, Windows' own 32-bit system libraries at randomized addresses
// in that block, and the libraries that security products load into every process.
// `runpack build` refuses a package above this size rather than write an executable that
// cannot start.
#pragma once

#include <stdint.h>

const uint32_t ENGINE_PACKAGE_LIMIT = 1536u << 20;
// What the engine's image holds beyond its package: code, data, resources, alignment (the
// engine's own image takes 248 KiB of addresses).
const uint32_t ENGINE_IMAGE_ALLOWANCE = 1u << 20;
