// Process entry: before anything else, DLL search is narrowed to the system directory. The
// engine reads no arguments; the run's result is the exit code.
#include <windows.h>

#include "launcher/library_search.h"
#include "launcher/run_sequence.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    restrictLibrarySearch();
    return static_cast<int>(runPackage(instance));
}
