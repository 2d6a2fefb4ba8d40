#include "launcher/library_search.h"

#include <windows.h>

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);

void restrictLibrarySearch() {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC found = kernel != NULL ? GetProcAddress(kernel, "SetDefaultDllDirectories") : NULL;
    if (found != NULL) {
        SetDefaultDllDirectoriesFunction setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
            reinterpret_cast<void (*)(void)>(found));
        if (setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    }
    SetDllDirectoryA("");
}
