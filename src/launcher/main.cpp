// Process entry: before anything else, library search is narrowed to the system directory,
// so that a DLL planted beside the executable (usually a downloads folder) or in the current
// directory is never loaded by what the engine calls later. The engine reads no arguments;
// the run's result is the exit code.
#include <windows.h>

#include "launcher/run_sequence.h"

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);

// SetDefaultDllDirectories exists from Windows 8 on, and on Windows 7 with its loader update;
// it is looked up so that the engine still starts where it is missing. There only the
// current directory can be taken out of the search.
static void restrictLibrarySearch() {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC found = kernel != NULL ? GetProcAddress(kernel, "SetDefaultDllDirectories") : NULL;
    if (found != NULL) {
        SetDefaultDllDirectoriesFunction setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
            reinterpret_cast<void (*)(void)>(found));
        if (setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    }
    SetDllDirectoryA("");
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    restrictLibrarySearch();
    return static_cast<int>(runPackage(instance));
}
