#include "launcher/command_search.h"

#include <stdlib.h>
#include <string.h>

#include "package/run_options.h"

namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }

// A directory that names itself fully: a drive and a separator, or two separators (UNC).
bool isAbsoluteDirectory(const char* directory, size_t length) {
    if (length < 2) return false;
    if (isSeparator(directory[0]) && isSeparator(directory[1])) return true;
    char letter = directory[0] | 0x20;
    return length >= 3 && letter >= 'a' && letter <= 'z' && directory[1] == ':' &&
           isSeparator(directory[2]);
}

bool isFile(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Writes `directory` (`length` characters), a separator when it has none at its end, and
// `name` into `path`; false when that does not fit.
bool joinPath(const char* directory, size_t length, const char* name, char* path) {
    bool separated = length > 0 && isSeparator(directory[length - 1]);
    size_t nameLength = strlen(name);
    if (length + (separated ? 0 : 1) + nameLength + 1 > PROGRAM_PATH_SIZE) return false;
    memcpy(path, directory, length);
    if (!separated) path[length++] = '\\';
    memcpy(path + length, name, nameLength + 1);
    return true;
}

bool findInDirectory(const char* directory, size_t length, const char* name, char* path) {
    return joinPath(directory, length, name, path) && isFile(path);
}

bool findInSystemDirectory(UINT (WINAPI* query)(LPSTR, UINT), const char* name, char* path) {
    char directory[PROGRAM_PATH_SIZE];
    UINT length = query(directory, sizeof(directory));
    return length > 0 && length < sizeof(directory) && findInDirectory(directory, length, name, path);
}

// Each absolute entry of PATH, in order. The variable may be of any length and shape: it is
// read into a buffer of its own size, and entries that do not fit a path are skipped.
bool findOnSearchPath(const char* name, char* path) {
    DWORD size = GetEnvironmentVariableA("PATH", NULL, 0);
    if (size == 0) return false;
    char* list = static_cast<char*>(malloc(size));
    if (list == NULL) return false;
    DWORD length = GetEnvironmentVariableA("PATH", list, size);
    bool found = false;
    if (length > 0 && length < size) {
        for (const char* entry = list; !found && *entry != '\0';) {
            const char* end = strchr(entry, ';');
            if (end == NULL) end = entry + strlen(entry);
            const char* first = entry;
            const char* last = end;
            if (last - first >= 2 && *first == '"' && last[-1] == '"') {
                ++first;
                --last;
            }
            size_t entryLength = static_cast<size_t>(last - first);
            found = isAbsoluteDirectory(first, entryLength) && findInDirectory(first, entryLength, name, path);
            entry = *end == ';' ? end + 1 : end;
        }
    }
    free(list);
    return found;
}

// A name with a path, as CreateProcess would read it, but with the working directory as the
// only base for a relative one.
bool findWithPath(const char* name, const char* workDir, char* path) {
    bool standsAlone = isSeparator(name[0]) || name[1] == ':';
    char joined[PROGRAM_PATH_SIZE];
    if (!standsAlone && !joinPath(workDir, strlen(workDir), name, joined)) return false;
    DWORD length = GetFullPathNameA(standsAlone ? name : joined, PROGRAM_PATH_SIZE, path, NULL);
    return length > 0 && length < PROGRAM_PATH_SIZE && isFile(path);
}

}  // namespace

bool programName(const char* commandLine, char* name, size_t capacity) {
    const char* start = commandLine;
    while (isBlank(*start)) ++start;
    const char* end;
    if (*start == '"') {
        ++start;
        end = strchr(start, '"');
        if (end == NULL) end = start + strlen(start);
    } else {
        end = start;
        while (*end != '\0' && !isBlank(*end)) ++end;
    }
    size_t length = static_cast<size_t>(end - start);
    if (length == 0 || length >= capacity) return false;
    memcpy(name, start, length);
    name[length] = '\0';

    const char* fileName = name;
    for (const char* c = name; *c != '\0'; ++c) {
        if (isSeparator(*c) || *c == ':') fileName = c + 1;
    }
    if (strchr(fileName, '.') == NULL) {
        size_t extension = sizeof(PROGRAM_DEFAULT_EXTENSION) - 1;
        if (length + extension >= capacity) return false;
        memcpy(name + length, PROGRAM_DEFAULT_EXTENSION, extension + 1);
    }
    return true;
}

bool findProgram(const char* commandLine, const char* workDir, char* path) {
    char name[PROGRAM_PATH_SIZE];
    bool found = false;
    if (programName(commandLine, name, sizeof(name))) {
        bool hasPath = strchr(name, '\\') != NULL || strchr(name, '/') != NULL || strchr(name, ':') != NULL;
        if (hasPath) {
            found = findWithPath(name, workDir, path);
        } else {
            found = findInDirectory(workDir, strlen(workDir), name, path) ||
                    findInSystemDirectory(GetSystemDirectoryA, name, path) ||
                    findInSystemDirectory(GetWindowsDirectoryA, name, path) ||
                    findOnSearchPath(name, path);
        }
    }
    if (!found) SetLastError(ERROR_FILE_NOT_FOUND);
    return found;
}

bool startsCommandInterpreter(const char* path) {
    if (isCommandInterpreter(path, strlen(path))) return true;
    char longPath[PROGRAM_PATH_SIZE];
    DWORD length = GetLongPathNameA(path, longPath, sizeof(longPath));
    // A long name that cannot be had is not taken as harmless.
    if (length == 0 || length >= sizeof(longPath)) return true;
    return isCommandInterpreter(longPath, length);
}
