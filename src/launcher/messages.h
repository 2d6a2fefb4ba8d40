// Every failure of a run is shown one way: a warning box whose text comes from the string
// table, filled in with the error code, under a fixed caption. The code is also the exit code.
#pragma once

#include <stdint.h>
#include <windows.h>

// Stands in for the code wherever no platform error applies.
const uint32_t CODE_NTE_FAIL = 0x80090020u;
// Capacity of each text buffer, terminator included.
const int TEXT_BUFFER_SIZE = 1024;

// Loads string `id` into the buffer not used last and returns it; a missing string gives "".
// Two consecutive results stay valid together; the third call overwrites the first.
const char* loadText(HINSTANCE instance, UINT id);

// Shows message `id` with the thread's last error (NTE_FAIL when it is 0) and returns that
// code.
uint32_t reportError(UINT id);
