// The size of a file, from the operating system.
#pragma once

#include <stdint.h>

// The size of the file at `path` modulo 2^32, or 0 when it cannot be opened for reading.
uint32_t queryFileSize(const char* path);
