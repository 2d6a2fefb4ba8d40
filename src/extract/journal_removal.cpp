// Removal of what the run created: single paths for the journal's drain, and the whole
// working directory tree through the shell.
#include <string.h>
#include <windows.h>
#include <shellapi.h>

#include "extract/journal.h"

void deletePath(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return;  // already gone, or never created
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryA(path);  // only an empty directory goes
    } else {
        DeleteFileA(path);  // a read-only file stays
    }
}

void removeWorkingTree(const char* workDir) {
    // pFrom is a list ended by an empty name: workDir must be followed by a second NUL.
    SHFILEOPSTRUCTA operation;
    memset(&operation, 0, sizeof(operation));
    operation.wFunc = FO_DELETE;
    operation.pFrom = workDir;
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;  // 0x414: no recycle bin
    SHFileOperationA(&operation);
}
