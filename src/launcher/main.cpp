// Process entry: before anything else, DLL search is narrowed to the system directory. The
// run's result is the exit code. The engine's arguments mean nothing to it, but for the
// reserved argument of a backstop call, which only the remover acts on (an executable that
// carries a package refuses it); the run passes them on to the command when the run options
// say so.
#include <windows.h>

#include "launcher/backstop.h"
#include "launcher/library_search.h"
#include "launcher/run_sequence.h"
#include "package/run_options.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    restrictLibrarySearch();
    // The same Unicode command line and the same split as forwarding: whatever would reach a
    // command as the reserved argument is taken as it here.
    const WCHAR* arguments = commandArguments(GetCommandLineW());
    if (isBackstopCall(arguments)) return static_cast<int>(runBackstop(arguments));
    return static_cast<int>(runPackage(instance));
}

// The process's entry point: the system calls it with a stack aligned to 4 bytes only, and
// the code behind it may assume more.
extern "C" __attribute__((force_align_arg_pointer)) void WINAPI runpackEntry() {
    ExitProcess(static_cast<UINT>(WinMain(GetModuleHandleW(NULL), NULL, NULL, SW_SHOWDEFAULT)));
}
