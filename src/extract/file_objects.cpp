#include "extract/file_objects.h"

#include <string.h>

bool widenPath(const char* path, WCHAR* wide) {
    int written = MultiByteToWideChar(CP_ACP, 0, path, -1, wide, WIDE_PATH_SIZE);
    return written > 0;
}

HANDLE openObject(const WCHAR* path, DWORD access, DWORD share) {
    // Backup semantics let a directory be opened; the reparse-point flag opens a link itself.
    return CreateFileW(path, access | SYNCHRONIZE, share, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
}

bool readObject(HANDLE object, ObjectFacts* facts) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(object, &information)) return false;
    facts->identity.volumeSerial = information.dwVolumeSerialNumber;
    facts->identity.indexHigh = information.nFileIndexHigh;
    facts->identity.indexLow = information.nFileIndexLow;
    facts->attributes = information.dwFileAttributes;
    return true;
}

bool readAttributes(HANDLE object, ObjectFacts* facts) {
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(object, FileBasicInfo, &basic, sizeof(basic))) return false;
    facts->attributes = basic.FileAttributes;
    return true;
}

bool handleFollowedLink(const WCHAR* path, const ObjectFacts* facts) {
    DWORD listed = GetFileAttributesW(path);
    return listed != INVALID_FILE_ATTRIBUTES && (listed & FILE_ATTRIBUTE_REPARSE_POINT) && !isLink(facts);
}

bool deleteByHandle(HANDLE object) {
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(object, FileDispositionInfo, &disposition, sizeof(disposition)) != 0;
}

// A rename through a handle takes the new name in the native form: "\??\C:\dir\name" for a
// drive path, "\??\UNC\server\share\name" for a share.
static const WCHAR NATIVE_PREFIX[] = L"\\??\\";
static const WCHAR NATIVE_UNC[] = L"UNC";

bool renameByHandle(HANDLE object, const WCHAR* newPath) {
    const uint32_t prefixLength = 4;
    const WCHAR* rest = newPath;
    bool unc = false;
    if (newPath[0] == L'\\' && newPath[1] == L'\\') {
        if ((newPath[2] == L'?' || newPath[2] == L'.') && newPath[3] == L'\\') {
            rest = newPath + 4;  // already the device form: keep what follows
        } else {
            rest = newPath + 1;  // "\server\share..." behind "\??\UNC"
            unc = true;
        }
    }
    size_t restLength = wcslen(rest);
    size_t nameLength = prefixLength + (unc ? 3 : 0) + restLength;
    if (nameLength >= WIDE_PATH_SIZE + 8) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    // FILE_RENAME_INFO ends in the name's first character; room for the rest follows it.
    union {
        FILE_RENAME_INFO info;
        uint8_t bytes[sizeof(FILE_RENAME_INFO) + (WIDE_PATH_SIZE + 8) * sizeof(WCHAR)];
    } request;
    memset(&request, 0, sizeof(request));
    request.info.ReplaceIfExists = FALSE;
    request.info.RootDirectory = NULL;
    WCHAR* name = request.info.FileName;
    memcpy(name, NATIVE_PREFIX, prefixLength * sizeof(WCHAR));
    if (unc) memcpy(name + prefixLength, NATIVE_UNC, 3 * sizeof(WCHAR));
    memcpy(name + nameLength - restLength, rest, restLength * sizeof(WCHAR));
    request.info.FileNameLength = static_cast<DWORD>(nameLength * sizeof(WCHAR));
    return SetFileInformationByHandle(object, FileRenameInfo, &request.info, sizeof(request)) != 0;
}

bool setAttributesByHandle(HANDLE object, DWORD attributes) {
    FILE_BASIC_INFO basic;
    memset(&basic, 0, sizeof(basic));  // times of 0 stay as they are
    attributes &= SETTABLE_ATTRIBUTES;
    basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(object, FileBasicInfo, &basic, sizeof(basic)) != 0;
}
