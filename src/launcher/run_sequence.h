// The one procedure that carries a run from the lookup of the package to the removal of the
// extracted files: verify, read the run options, validate, make the working directory,
// extract, start the command, wait as the cleanup mode says, clean up. Its result is the
// process exit code.
#pragma once

#include <stdint.h>
#include <windows.h>

// Above this sum of unpacked sizes the waiting window is shown while files are extracted.
const uint32_t PROGRESS_THRESHOLD = 1500000;
// The waiting window stays up at least this long once opened.
const DWORD PROGRESS_MIN_DISPLAY_MS = 1000;

// Runs the package; 0 after a successful run, otherwise the code of the reported error. With
// RUN_EXIT_CODE_COMMAND, a run that waited for its command ends with the command's exit code
// instead of 0.
uint32_t runPackage(HINSTANCE instance);
