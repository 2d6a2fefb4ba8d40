// The package's integrity check: resource "RUNINFO" 103 holds the SHA-1 of every byte of the
// package resource, and a package that differs from it, or has no usable digest, is refused
// before anything is read from it.
#pragma once

#include <stdint.h>

// True only when the digest resource exists, is exactly 20 bytes long and equals the SHA-1
// of the `size` bytes at `package`.
bool checkPackageDigest(const uint8_t* package, uint32_t size);
