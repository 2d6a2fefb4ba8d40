#include "launcher/command_search.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "package/run_options.h"

namespace {

bool isSeparator(WCHAR c) { return c == L'\\' || c == L'/'; }
bool isBlank(WCHAR c) { return c == L' ' || c == L'\t'; }

// A directory that names itself fully: a drive and a separator, or two separators (UNC).
bool isAbsoluteDirectory(const WCHAR* directory, size_t length) {
    if (length < 2) return false;
    if (isSeparator(directory[0]) && isSeparator(directory[1])) return true;
    WCHAR letter = directory[0] | 0x20;
    return length >= 3 && letter >= L'a' && letter <= L'z' && directory[1] == L':' &&
           isSeparator(directory[2]);
}

bool isFile(const WCHAR* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Writes `directory` (`length` characters), a separator when it has none at its end, and
// `name` into `path`; false when that does not fit.
bool joinPath(const WCHAR* directory, size_t length, const WCHAR* name, WCHAR* path) {
    bool separated = length > 0 && isSeparator(directory[length - 1]);
    size_t nameLength = wcslen(name);
    if (length + (separated ? 0 : 1) + nameLength + 1 > PROGRAM_PATH_SIZE) return false;
    memcpy(path, directory, length * sizeof(WCHAR));
    if (!separated) path[length++] = L'\\';
    memcpy(path + length, name, (nameLength + 1) * sizeof(WCHAR));
    return true;
}

bool findInDirectory(const WCHAR* directory, size_t length, const WCHAR* name, WCHAR* path) {
    return joinPath(directory, length, name, path) && isFile(path);
}

bool findInSystemDirectory(UINT (WINAPI* query)(LPWSTR, UINT), const WCHAR* name, WCHAR* path) {
    WCHAR directory[PROGRAM_PATH_SIZE];
    UINT length = query(directory, PROGRAM_PATH_SIZE);
    return length > 0 && length < PROGRAM_PATH_SIZE && findInDirectory(directory, length, name, path);
}

// The machine-wide PATH as the registry keeps it, unexpanded; null when there is none. The
// caller frees it.
WCHAR* machineSearchPath() {
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MACHINE_ENVIRONMENT_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return NULL;
    }
    DWORD type = 0, size = 0;
    WCHAR* list = NULL;
    if (RegQueryValueExW(key, L"Path", NULL, &type, NULL, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        // Room for a terminator the data may lack.
        list = static_cast<WCHAR*>(malloc(size + sizeof(WCHAR)));
        if (list != NULL && RegQueryValueExW(key, L"Path", NULL, &type, reinterpret_cast<BYTE*>(list), &size) ==
                                ERROR_SUCCESS) {
            list[size / sizeof(WCHAR)] = L'\0';
        } else {
            free(list);
            list = NULL;
        }
    }
    RegCloseKey(key);
    return list;
}

// The process's own PATH; null when there is none. The variable may be of any length and
// shape: it is read into a buffer of its own size. The caller frees it.
WCHAR* environmentSearchPath() {
    DWORD size = GetEnvironmentVariableW(L"PATH", NULL, 0);
    WCHAR* list = size != 0 ? static_cast<WCHAR*>(malloc(size * sizeof(WCHAR))) : NULL;
    if (list != NULL) {
        DWORD length = GetEnvironmentVariableW(L"PATH", list, size);
        if (length == 0 || length >= size) {
            free(list);
            list = NULL;
        }
    }
    return list;
}

// Looks for `name` in the directory `entry` (`length` characters) of a PATH list. An entry of
// the machine's list may begin with the system root's reference, which stands for the
// system's own Windows directory; any other reference there is a variable whose value the
// user may set, and the entry is skipped.
bool findInEntry(const WCHAR* entry, size_t length, const WCHAR* name, bool machine, WCHAR* path) {
    WCHAR expanded[PROGRAM_PATH_SIZE];
    const size_t rootLength = sizeof(SYSTEM_ROOT_REFERENCE) / sizeof(WCHAR) - 1;
    if (machine && length >= rootLength &&
        CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, entry, rootLength, SYSTEM_ROOT_REFERENCE, rootLength) ==
            CSTR_EQUAL) {
        UINT windows = GetSystemWindowsDirectoryW(expanded, PROGRAM_PATH_SIZE);
        if (windows == 0 || windows + length - rootLength >= PROGRAM_PATH_SIZE) return false;
        memcpy(expanded + windows, entry + rootLength, (length - rootLength) * sizeof(WCHAR));
        entry = expanded;
        length = windows + length - rootLength;
    }
    if (machine && wmemchr(entry, L'%', length) != NULL) return false;
    return isAbsoluteDirectory(entry, length) && findInDirectory(entry, length, name, path);
}

// Each absolute entry of a PATH list, in order: the machine's (`machine`) or the process's.
// Entries that do not fit a path are skipped.
bool findOnSearchPath(const WCHAR* name, bool machine, WCHAR* path) {
    WCHAR* list = machine ? machineSearchPath() : environmentSearchPath();
    if (list == NULL) return false;
    bool found = false;
    for (const WCHAR* entry = list; !found && *entry != L'\0';) {
        const WCHAR* end = wcschr(entry, L';');
        if (end == NULL) end = entry + wcslen(entry);
        const WCHAR* first = entry;
        const WCHAR* last = end;
        if (last - first >= 2 && *first == L'"' && last[-1] == L'"') {
            ++first;
            --last;
        }
        found = findInEntry(first, static_cast<size_t>(last - first), name, machine, path);
        entry = *end == L';' ? end + 1 : end;
    }
    free(list);
    return found;
}

// A name with a path, as CreateProcess would read it, but with the working directory as the
// only base for a relative one.
bool findWithPath(const WCHAR* name, const WCHAR* workDir, WCHAR* path) {
    bool standsAlone = isSeparator(name[0]) || name[1] == L':';
    WCHAR joined[PROGRAM_PATH_SIZE];
    if (!standsAlone && !joinPath(workDir, wcslen(workDir), name, joined)) return false;
    DWORD length = GetFullPathNameW(standsAlone ? name : joined, PROGRAM_PATH_SIZE, path, NULL);
    return length > 0 && length < PROGRAM_PATH_SIZE && isFile(path);
}

}  // namespace

bool programName(const WCHAR* commandLine, WCHAR* name, size_t capacity) {
    const WCHAR* start = commandLine;
    while (isBlank(*start)) ++start;
    const WCHAR* end;
    if (*start == L'"') {
        ++start;
        end = wcschr(start, L'"');
        if (end == NULL) end = start + wcslen(start);
    } else {
        end = start;
        while (*end != L'\0' && !isBlank(*end)) ++end;
    }
    size_t length = static_cast<size_t>(end - start);
    if (length == 0 || length >= capacity) return false;
    memcpy(name, start, length * sizeof(WCHAR));
    name[length] = L'\0';

    const WCHAR* fileName = name;
    for (const WCHAR* c = name; *c != L'\0'; ++c) {
        if (isSeparator(*c) || *c == L':') fileName = c + 1;
    }
    if (wcschr(fileName, L'.') == NULL) {
        size_t extension = sizeof(PROGRAM_DEFAULT_EXTENSION) / sizeof(WCHAR) - 1;
        if (length + extension >= capacity) return false;
        memcpy(name + length, PROGRAM_DEFAULT_EXTENSION, (extension + 1) * sizeof(WCHAR));
    }
    return true;
}

bool findProgram(const WCHAR* commandLine, const WCHAR* workDir, bool elevated, WCHAR* path) {
    WCHAR name[PROGRAM_PATH_SIZE];
    bool found = false;
    if (programName(commandLine, name, PROGRAM_PATH_SIZE)) {
        bool hasPath = wcschr(name, L'\\') != NULL || wcschr(name, L'/') != NULL || wcschr(name, L':') != NULL;
        if (hasPath) {
            found = findWithPath(name, workDir, path);
        } else {
            found = findInDirectory(workDir, wcslen(workDir), name, path) ||
                    findInSystemDirectory(GetSystemDirectoryW, name, path) ||
                    findInSystemDirectory(GetSystemWindowsDirectoryW, name, path) ||
                    findOnSearchPath(name, elevated, path);
        }
    }
    if (!found) SetLastError(ERROR_FILE_NOT_FOUND);
    return found;
}

bool startsCommandInterpreter(const WCHAR* path) {
    if (isCommandInterpreter(path, wcslen(path))) return true;
    WCHAR longPath[PROGRAM_PATH_SIZE];
    DWORD length = GetLongPathNameW(path, longPath, PROGRAM_PATH_SIZE);
    // A long name that cannot be had is not taken as harmless.
    if (length == 0 || length >= PROGRAM_PATH_SIZE) return true;
    return isCommandInterpreter(longPath, length);
}
