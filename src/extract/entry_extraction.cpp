#include "extract/entry_extraction.h"

#include <string.h>
#include <windows.h>

#include "extract/storage_methods.h"

static const char SEPARATOR = '\\';

// A path is absolute when it begins with two backslashes (UNC) or its second character is a
// colon (a drive); everything else, a single leading backslash or "//" included, is relative.
static bool startsWithRoot(const char* path) {
    return (path[0] == SEPARATOR && path[1] == SEPARATOR) || (path[0] != '\0' && path[1] == ':');
}

// Writes head, an optional separator and tail into `out`; false when the result would not
// fit DEST_PATH_SIZE.
static bool joinPath(char* out, const char* head, bool separator, const char* tail) {
    size_t headLength = strlen(head);
    size_t tailLength = strlen(tail);
    size_t length = headLength + (separator ? 1 : 0) + tailLength;
    if (length >= DEST_PATH_SIZE) return false;
    memcpy(out, head, headLength);
    if (separator) out[headLength] = SEPARATOR;
    memcpy(out + length - tailLength, tail, tailLength + 1);
    return true;
}

char* findCharBackward(char* lowerBound, char* from, char ch) {
    if (from == NULL) return NULL;
    char* p = from;
    while (*p != '\0' && p > lowerBound && *p != ch) --p;
    if (p == lowerBound) return *p == ch ? p : NULL;
    return p;
}

bool createMissingDirectories(const char* path, CleanupJournal* journal) {
    char copy[DEST_PATH_SIZE];
    size_t length = strlen(path);
    if (length >= DEST_PATH_SIZE) return false;
    if (length == 0) return true;
    memcpy(copy, path, length + 1);

    // The root (a drive's "X:" or a UNC path's leading "\\") is never walked below.
    char* lowerBound = startsWithRoot(copy) ? copy + 2 : copy;
    for (char* c = copy; *c != '\0'; ++c) {
        if (*c == '/') *c = SEPARATOR;
    }

    // Climb from the deepest level to the first one that exists as a directory.
    char* p = findCharBackward(lowerBound, copy + length - 1, SEPARATOR);
    if (p == NULL) return true;
    char* create = NULL;
    for (int levels = 0;; ++levels) {
        if (p <= lowerBound) {
            create = p;
            break;
        }
        *p = '\0';
        DWORD attributes = GetFileAttributesA(copy);
        *p = SEPARATOR;
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (levels == 0) return true;  // the immediate parent exists
            create = p + 1;
            break;
        }
        // Missing, or a file standing in the way: treat it as a missing level.
        p = findCharBackward(lowerBound, p - 1, SEPARATOR);
        if (p == NULL) return true;
    }

    // Create downward, parent before child, recording each directory made.
    for (char* q = create; *q != '\0';) {
        char* next = strchr(q, SEPARATOR);
        if (next == NULL) return true;
        *next = '\0';
        DWORD attributes = GetFileAttributesA(copy);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (!CreateDirectoryA(copy, NULL)) return false;
            journalPush(copy, journal);
        }
        *next = SEPARATOR;
        q = next + 1;
    }
    return true;
}

bool extractEntry(const FileEntry* entry, const char* workDir, CleanupJournal* journal) {
    UnpackFn unpack = findUnpackOp(entry->method);
    if (unpack == NULL) return false;

    char path[DEST_PATH_SIZE];
    char scratch[DEST_PATH_SIZE];
    const char* name = entry->name != NULL ? entry->name : "";
    bool hasDirectory = entry->directory != NULL && entry->directory[0] != '\0';
    if (!joinPath(path, hasDirectory ? entry->directory : "", hasDirectory, name)) return false;

    // References to environment variables are expanded before the test for an absolute path,
    // so a variable holding a drive path leads outside the working directory. Undefined ones
    // stay as they are.
    if (strchr(path, '%') != NULL) {
        memcpy(scratch, path, strlen(path) + 1);
        DWORD needed = ExpandEnvironmentStringsA(scratch, path, DEST_PATH_SIZE);
        if (needed == 0 || needed > DEST_PATH_SIZE) return false;
    }
    if (!startsWithRoot(path)) {
        memcpy(scratch, path, strlen(path) + 1);
        if (!joinPath(path, workDir, true, scratch)) return false;
    }

    if (!createMissingDirectories(path, journal)) return false;
    // Recorded before a byte is written, so that a partly written file is removed again.
    journalPush(path, journal);
    return unpack(entry->packedSize, entry->data, entry->unpackedSize, path) == entry->unpackedSize;
}

bool extractPackage(const uint8_t* package, uint32_t size, const char* workDir,
                    CleanupJournal* journal) {
    PackageHeader header;
    memset(&header, 0, sizeof(header));
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    uint32_t offset = 0;
    bool ok = readHeader(package, size, &offset, &header);
    if (!ok) return false;

    FileEntry entry;
    memset(&entry, 0, sizeof(entry));
    entry.recordSize = FILE_ENTRY_RECORD_SIZE;
    for (uint32_t index = 0; index < header.fileCount; ++index) {
        ok = readEntry(package, size, offset, &offset, &entry) &&
             extractEntry(&entry, workDir, journal);
        if (!ok) break;
    }
    return ok && offset == size;
}
