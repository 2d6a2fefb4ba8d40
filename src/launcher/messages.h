// Every failure of a run is shown one way: a warning box whose text comes from the string
// table, filled in with the error code, under a fixed caption. The code is also the exit code.
// An unattended run shows no box: the caption and the text go to its caller instead.
#pragma once

#include <stdint.h>
#include <windows.h>

// Stands in for the code wherever no platform error applies.
const uint32_t CODE_NTE_FAIL = 0x80090020u;
// Capacity of each text buffer, terminator included.
const int TEXT_BUFFER_SIZE = 1024;
// How long an unattended report may take to be written before the run goes on without it:
// a caller that never reads its pipe, or a console held in selection, must not hold the run.
const DWORD REPORT_WRITE_LIMIT_MS = 5000;

// Loads string `id` into the buffer not used last and returns it; a missing string gives "".
// Two consecutive results stay valid together; the third call overwrites the first.
const char* loadText(HINSTANCE instance, UINT id);

// From now on failures are reported without a window: as a line "caption: text" written to
// the standard error handle the process was given, when that is a file or a pipe (as the
// code page's bytes), otherwise to the console of the process that started this one, when it
// has one (as Unicode, converted from the code page). The standard error handle is taken
// now, before the run opens handles of its own. Nothing is shown when there is neither.
void setUnattendedReporting();

// Shows message `id` with the thread's last error (NTE_FAIL when it is 0) and returns that
// code.
uint32_t reportError(UINT id);
