// A DLL that does nothing: tests plant it where a process must not load DLLs from.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
