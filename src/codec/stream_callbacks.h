// The callback contract through which the codec reads its input and writes its output
// without knowing where either lies. Adapters that implement it live in extract/.
#pragma once

#include <stdint.h>

// Copies up to `capacity` bytes into `destination`, from its start. Returns the number of
// bytes copied, 0 at the end of the input, or a negative error.
typedef int32_t (*StreamReadFn)(uint8_t* destination, int32_t capacity, void* state);

// Takes `count` bytes from `source`. Returns the number of bytes taken, or a negative error.
// A call with a null `source` and a count of 0 is the flush: the writer hands on what it
// holds and returns 0 or more, or a negative error.
typedef int32_t (*StreamWriteFn)(const uint8_t* source, int32_t count, void* state);

// The bytes could not be stored: a file write failed, or a memory block is full.
const int32_t STREAM_ERR_WRITE = -1;
// The state record's tag is not the adapter's, its file is missing, a read was given no
// destination, or a codec entry point was given no callback.
const int32_t STREAM_ERR_STATE = -2;
