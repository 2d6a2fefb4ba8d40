// Process entry: before anything else, DLL search is narrowed to the system directory. The
// run's result is the exit code. The engine's arguments mean nothing to it; the run passes
// them on to the command when the run options say so.
#include <windows.h>

#include "launcher/library_search.h"
#include "launcher/run_sequence.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    restrictLibrarySearch();
    return static_cast<int>(runPackage(instance));
}
