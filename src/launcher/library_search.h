// Where the process may load DLLs from. The engine is usually started from a downloads
// folder, where anyone may have left a DLL named as one that the system loads later on the
// engine's behalf.
#pragma once

// Narrows DLL search to the system directory: SetDefaultDllDirectories where Windows has it
// (Windows 8 on, Windows 7 with its loader update; looked up, so that the engine still starts
// without it), else SetDllDirectoryA(""), which takes the current directory out of the search.
// Called first thing in the process.
void restrictLibrarySearch();
