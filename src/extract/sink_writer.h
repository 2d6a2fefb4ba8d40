// Where an unpack operation's bytes go: a writer and its target, which the caller opened.
#pragma once

#include <stdint.h>

// Writes all `count` bytes to `target`; false when any of them is not taken.
typedef bool (*SinkWriteFn)(void* target, const uint8_t* bytes, uint32_t count);
