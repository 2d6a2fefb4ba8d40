#include "extract/file_objects.h"

#include <stdlib.h>
#include <string.h>
#include <winternl.h>

namespace {

const NTSTATUS STATUS_NAME_COLLISION = static_cast<NTSTATUS>(0xC0000035);

// A name relative to `root`, for the native calls.
struct RelativeName {
    UNICODE_STRING text;
    OBJECT_ATTRIBUTES attributes;
};

bool setUpRelativeName(HANDLE root, const WCHAR* name, size_t length, void* security,
                       RelativeName* relative) {
    // A native name is counted in bytes in 16 bits.
    if (length == 0 || length > 0x7FFF / sizeof(WCHAR)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    relative->text.Buffer = const_cast<WCHAR*>(name);
    relative->text.Length = static_cast<USHORT>(length * sizeof(WCHAR));
    relative->text.MaximumLength = relative->text.Length;
    InitializeObjectAttributes(&relative->attributes, &relative->text, OBJ_CASE_INSENSITIVE, root, security);
    return true;
}

// Room for the longest path the platform can give.
const DWORD FINAL_PATH_SIZE = 32768;

// True when `object`, opened as `name` below `root`, is the object of that name and not what
// a link of that name leads to: its path is the root's path and the name. (Wine opens the
// target of a Unix link whatever the flags say, and its handle does not show the link.) When
// a path cannot be had, the handle's own word stands.
bool reachedByName(HANDLE root, HANDLE object, const WCHAR* name, size_t length) {
    WCHAR* paths = static_cast<WCHAR*>(malloc(2 * FINAL_PATH_SIZE * sizeof(WCHAR)));
    if (paths == NULL) return false;
    WCHAR* rootPath = paths;
    WCHAR* objectPath = paths + FINAL_PATH_SIZE;
    DWORD rootLength = GetFinalPathNameByHandleW(root, rootPath, FINAL_PATH_SIZE, FILE_NAME_NORMALIZED);
    DWORD objectLength = GetFinalPathNameByHandleW(object, objectPath, FINAL_PATH_SIZE, FILE_NAME_NORMALIZED);
    bool same = true;
    if (rootLength > 0 && rootLength < FINAL_PATH_SIZE && objectLength > 0 && objectLength < FINAL_PATH_SIZE) {
        DWORD separator = rootPath[rootLength - 1] == L'\\' ? 0 : 1;
        same = objectLength == rootLength + separator + length &&
               CompareStringOrdinal(rootPath, rootLength, objectPath, rootLength, TRUE) == CSTR_EQUAL &&
               (separator == 0 || objectPath[rootLength] == L'\\') &&
               CompareStringOrdinal(name, static_cast<int>(length), objectPath + rootLength + separator,
                                    static_cast<int>(length), TRUE) == CSTR_EQUAL;
    }
    free(paths);
    return same;
}

}  // namespace

HANDLE openBelow(HANDLE root, const WCHAR* name, size_t length, DWORD access, DWORD share,
                 BelowDisposition disposition, bool allowLink, void* security) {
    RelativeName relative;
    if (!setUpRelativeName(root, name, length, security, &relative)) return INVALID_HANDLE_VALUE;
    ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT;
    ULONG createDisposition = FILE_OPEN;
    if (disposition == BELOW_FOLLOW) options &= ~static_cast<ULONG>(FILE_OPEN_REPARSE_POINT);
    if (disposition == BELOW_CREATE_FILE) {
        createDisposition = FILE_CREATE;
        options |= FILE_NON_DIRECTORY_FILE;
    } else if (disposition == BELOW_CREATE_DIRECTORY) {
        createDisposition = FILE_CREATE;
        options |= FILE_DIRECTORY_FILE;
    }
    HANDLE object = INVALID_HANDLE_VALUE;
    IO_STATUS_BLOCK status;
    NTSTATUS opened = NtCreateFile(&object, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &relative.attributes,
                                   &status, NULL, FILE_ATTRIBUTE_NORMAL, share, createDisposition, options,
                                   NULL, 0);
    if (opened < 0) {
        SetLastError(opened == STATUS_NAME_COLLISION ? ERROR_ALREADY_EXISTS : RtlNtStatusToDosError(opened));
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == BELOW_FOLLOW) return object;
    ObjectFacts facts;
    bool link = !readAttributes(object, &facts) || isLink(&facts);
    bool followed = !link && disposition == BELOW_OPEN && !reachedByName(root, object, name, length);
    if (followed || (link && !allowLink)) {
        CloseHandle(object);
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }
    return object;
}

bool renameBelow(HANDLE object, HANDLE root, const WCHAR* name, size_t length) {
    if (length == 0 || length > WIDE_PATH_SIZE) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    union {
        FILE_RENAME_INFORMATION info;
        uint8_t bytes[sizeof(FILE_RENAME_INFORMATION) + WIDE_PATH_SIZE * sizeof(WCHAR)];
    } request;
    memset(&request, 0, sizeof(request));
    request.info.ReplaceIfExists = FALSE;
    request.info.RootDirectory = root;
    request.info.FileNameLength = static_cast<ULONG>(length * sizeof(WCHAR));
    memcpy(request.info.FileName, name, length * sizeof(WCHAR));
    IO_STATUS_BLOCK status;
    NTSTATUS renamed = NtSetInformationFile(object, &status, &request.info, sizeof(request),
                                            FileRenameInformation);
    if (renamed >= 0) return true;
    SetLastError(renamed == STATUS_NAME_COLLISION ? ERROR_ALREADY_EXISTS : RtlNtStatusToDosError(renamed));
    return false;
}

bool writeAll(void* file, const uint8_t* bytes, uint32_t count) {
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(static_cast<HANDLE>(file), bytes, count, &written, NULL) || written == 0) return false;
        bytes += written;
        count -= written;
    }
    return true;
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

bool readVolumeFacts(HANDLE object, VolumeFacts* facts) {
    ObjectFacts identity;
    FILE_FS_FULL_SIZE_INFORMATION size;
    IO_STATUS_BLOCK status;
    if (!readObject(object, &identity) ||
        NtQueryVolumeInformationFile(object, &status, &size, sizeof(size), FileFsFullSizeInformation) < 0) {
        return false;
    }
    uint32_t unit = size.SectorsPerAllocationUnit * size.BytesPerSector;
    facts->serial = identity.identity.volumeSerial;
    facts->totalUnits = static_cast<uint64_t>(size.TotalAllocationUnits.QuadPart);
    facts->unitSize = unit;
    facts->freeBytes = static_cast<uint64_t>(size.CallerAvailableAllocationUnits.QuadPart) * unit;
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

bool setAttributesByHandle(HANDLE object, DWORD attributes) {
    FILE_BASIC_INFO basic;
    memset(&basic, 0, sizeof(basic));  // times of 0 stay as they are
    attributes &= SETTABLE_ATTRIBUTES;
    basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(object, FileBasicInfo, &basic, sizeof(basic)) != 0;
}

namespace {

const DWORD SHARE_EVERYTHING = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A directory on the way is only a root for the names below it: creating there is checked
// against the directory's own access list, not the handle's rights. The user's and the
// system's directories are not locked: held by handle, one that is renamed or replaced
// meanwhile changes nothing of where the run goes.
const DWORD WAY_ACCESS = FILE_TRAVERSE;
// A volume's root as a full path: "\\?\X:\" or "\\?\UNC\server\share\".
const size_t ROOT_PATH_SIZE = WIDE_PATH_SIZE + 8;

bool isPathSeparator(WCHAR c) { return c == L'\\' || c == L'/'; }

// The owner of the link behind `object` is one the run's user cannot be: SYSTEM, the
// installer service or the Administrators group.
bool ownedByTheSystem(HANDLE object) {
    DWORD descriptor[128];
    DWORD needed = 0;
    if (!GetKernelObjectSecurity(object, OWNER_SECURITY_INFORMATION, descriptor, sizeof(descriptor), &needed)) {
        return false;
    }
    PSID owner = NULL;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == NULL || !IsValidSid(owner)) {
        return false;
    }
    if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return true;
    // NT SERVICE\TrustedInstaller: S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464.
    static const DWORD installer[] = {80u, 956008885u, 3418522649u, 1831038044u, 1853292631u, 2271478464u};
    SID_IDENTIFIER_AUTHORITY* authority = GetSidIdentifierAuthority(owner);
    if (*GetSidSubAuthorityCount(owner) != 6 || authority->Value[5] != 5) return false;
    for (DWORD i = 0; i < 6; ++i) {
        if (*GetSidSubAuthority(owner, i) != installer[i]) return false;
    }
    return true;
}

}  // namespace

HANDLE openVolumeRoot(const WCHAR* path, const WCHAR** rest) {
    WCHAR root[ROOT_PATH_SIZE];
    memcpy(root, L"\\\\?\\", 4 * sizeof(WCHAR));
    size_t at = 4;
    const WCHAR* p = path;
    if (isPathSeparator(p[0]) && isPathSeparator(p[1])) {
        // "\\server\share\": the share is the root.
        memcpy(root + at, L"UNC\\", 4 * sizeof(WCHAR));
        at += 4;
        p += 2;
        for (int parts = 0; parts < 2; ++parts) {
            while (*p != L'\0' && !isPathSeparator(*p) && at + 2 < ROOT_PATH_SIZE) root[at++] = *p++;
            if (!isPathSeparator(*p)) return INVALID_HANDLE_VALUE;
            root[at++] = L'\\';
            ++p;
        }
    } else if (p[0] != L'\0' && p[1] == L':' && isPathSeparator(p[2])) {
        root[at++] = p[0];
        root[at++] = L':';
        root[at++] = L'\\';
        p += 3;
    } else {
        return INVALID_HANDLE_VALUE;
    }
    root[at] = L'\0';
    HANDLE handle = openObject(root, WAY_ACCESS, SHARE_EVERYTHING);
    // The root is a volume's or a share's, never reached through a link.
    ObjectFacts facts;
    if (handle != INVALID_HANDLE_VALUE && (!readAttributes(handle, &facts) || !isPlainDirectory(&facts))) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    *rest = p;
    return handle;
}

HANDLE openDirectoryOnTheWay(HANDLE parent, const WCHAR* name, size_t length) {
    HANDLE level = openBelow(parent, name, length, WAY_ACCESS, SHARE_EVERYTHING, BELOW_OPEN, true);
    if (level == INVALID_HANDLE_VALUE) return level;
    ObjectFacts facts;
    if (!readAttributes(level, &facts)) {
        CloseHandle(level);
        return INVALID_HANDLE_VALUE;
    }
    if (!isLink(&facts)) return level;
    CloseHandle(level);
    HANDLE link = openBelow(parent, name, length, READ_CONTROL, SHARE_EVERYTHING, BELOW_OPEN, true);
    bool trusted = link != INVALID_HANDLE_VALUE && ownedByTheSystem(link);
    if (link != INVALID_HANDLE_VALUE) CloseHandle(link);
    if (!trusted) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }
    return openBelow(parent, name, length, WAY_ACCESS, SHARE_EVERYTHING, BELOW_FOLLOW, false);
}

HANDLE openParentOnTheWay(const WCHAR* path, const WCHAR** name) {
    const WCHAR* part = NULL;
    HANDLE directory = openVolumeRoot(path, &part);
    while (directory != INVALID_HANDLE_VALUE) {
        const WCHAR* end = part;
        while (*end != L'\0' && !isPathSeparator(*end)) ++end;
        if (*end == L'\0') {
            *name = part;
            return directory;
        }
        HANDLE next = end > part ? openDirectoryOnTheWay(directory, part, static_cast<size_t>(end - part)) : directory;
        if (next != directory) CloseHandle(directory);
        directory = next;
        part = end + 1;
    }
    return INVALID_HANDLE_VALUE;
}
