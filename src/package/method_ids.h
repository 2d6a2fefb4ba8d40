// The storage method ids a package entry may carry. Which ids exist is part of the package
// format: the reader refuses any other. What each method does to a file lives with the
// storage-method table of the extraction.
#pragma once

#include <stdint.h>

const uint32_t METHOD_STORED = 0;  // the file's bytes as they are
const uint32_t METHOD_LZHUF = 1;   // the LZHUF stream of the codec
// A member of a solid LZMA2 stream: the first member's data holds the stream, the members
// that follow it carry none and continue where the previous one stopped.
const uint32_t METHOD_LZMA2 = 2;

// True exactly for the ids above.
inline bool isKnownMethod(uint32_t id)
{
    return id == METHOD_STORED || id == METHOD_LZHUF || id == METHOD_LZMA2;
}
