#include "extract/entry_extraction.h"

#include <string.h>
#include <windows.h>

#include "extract/destination_rule.h"
#include "extract/file_objects.h"
#include "extract/storage_methods.h"

static const char SEPARATOR = '\\';

// Every directory level a destination below the working directory can have.
const uint32_t MAX_HELD_DIRECTORIES = DEST_PATH_SIZE / 2;

// The directories on the way of the entries below the working directory, each held open from
// its check on without FILE_SHARE_DELETE, so that no other process can rename, delete or
// replace it. Consecutive entries in the same directories share them.
struct HeldDirectories {
    uint32_t count;
    uint32_t ends[MAX_HELD_DIRECTORIES];  // where each level's name ends in `path`
    HANDLE handles[MAX_HELD_DIRECTORIES];
    char path[DEST_PATH_SIZE];  // the path of the deepest level held (backslashes only)
};

static bool isSeparator(char c) { return c == SEPARATOR || c == '/'; }

// A path is absolute when it begins with two backslashes (UNC) or its second character is a
// colon (a drive); everything else, a single leading backslash or "//" included, is relative.
static bool startsWithRoot(const char* path) {
    return (path[0] == SEPARATOR && path[1] == SEPARATOR) || (path[0] != '\0' && path[1] == ':');
}

static bool followsTheRule(const char* path) {
    return checkDestination(path, static_cast<uint32_t>(strlen(path))) == DESTINATION_OK;
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

// Records the directory just created at `path` with its identity. False when it is no longer
// a plain directory (something replaced it meanwhile: it is not recorded then) or the journal
// cannot take it.
static bool recordCreatedDirectory(const char* path, CleanupJournal* journal) {
    WCHAR wide[WIDE_PATH_SIZE];
    if (!widenPath(path, wide)) return false;
    HANDLE directory = openObject(wide, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (directory == INVALID_HANDLE_VALUE) {
        // Made by this run but unreadable: recorded all the same, to be removed by handle.
        journalPush(path, journal);
        return false;
    }
    ObjectFacts facts;
    bool plain = readObject(directory, &facts) && isPlainDirectory(&facts) &&
                 !handleFollowedLink(wide, &facts);
    CloseHandle(directory);
    return plain && journalPushCreated(path, &facts.identity, journal);
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
            if (!recordCreatedDirectory(copy, journal)) return false;
        }
        *next = SEPARATOR;
        q = next + 1;
    }
    return true;
}

static void releaseDirectoriesBelow(HeldDirectories* held, uint32_t keep) {
    while (held->count > keep) CloseHandle(held->handles[--held->count]);
}

// One level below the working directory: an existing plain directory is taken, a missing one
// created and recorded; either is then held. A link, or anything but a directory, fails.
static bool holdLevel(const char* path, HeldDirectories* held, CleanupJournal* journal) {
    if (held->count == MAX_HELD_DIRECTORIES) return false;
    WCHAR wide[WIDE_PATH_SIZE];
    if (!widenPath(path, wide)) return false;
    DWORD listed = GetFileAttributesW(wide);
    bool created = false;
    if (listed == INVALID_FILE_ATTRIBUTES) {
        if (!CreateDirectoryW(wide, NULL)) return false;
        created = true;
    } else if ((listed & FILE_ATTRIBUTE_REPARSE_POINT) || !(listed & FILE_ATTRIBUTE_DIRECTORY)) {
        return false;
    }
    HANDLE directory = openObject(wide, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (directory == INVALID_HANDLE_VALUE) {
        if (created) journalPush(path, journal);
        return false;
    }
    ObjectFacts facts;
    bool read = created ? readObject(directory, &facts) : readAttributes(directory, &facts);
    if (!read || !isPlainDirectory(&facts) || (created && !journalPushCreated(path, &facts.identity, journal))) {
        CloseHandle(directory);
        return false;
    }
    held->handles[held->count++] = directory;
    return true;
}

// Checks or creates, top-down, every directory between the working directory (the first
// `workDirLength` characters of `path`) and the destination's last separator, and holds each;
// levels already held under the same name are taken as they are, the others let go.
static bool holdDirectoriesBelow(const char* path, size_t workDirLength, HeldDirectories* held,
                                 CleanupJournal* journal) {
    char copy[DEST_PATH_SIZE];
    size_t length = strlen(path);
    if (length >= DEST_PATH_SIZE) return false;
    memcpy(copy, path, length + 1);
    for (char* c = copy + workDirLength; *c != '\0'; ++c) {
        if (*c == '/') *c = SEPARATOR;
    }
    uint32_t level = 0;
    for (char* part = copy + workDirLength;; ++level) {
        while (*part == SEPARATOR) ++part;  // doubled separators name no level
        char* end = strchr(part, SEPARATOR);
        if (end == NULL) break;  // what follows is the file's name
        uint32_t endOffset = static_cast<uint32_t>(end - copy);
        part = end;
        if (level < held->count && held->ends[level] == endOffset && memcmp(held->path, copy, endOffset) == 0) {
            continue;
        }
        releaseDirectoriesBelow(held, level);
        *end = '\0';
        bool ok = holdLevel(copy, held, journal);
        *end = SEPARATOR;
        if (!ok) return false;
        held->ends[level] = endOffset;
        memcpy(held->path, copy, endOffset);
    }
    releaseDirectoriesBelow(held, level);
    return true;
}

// Writes "XXXXXXXX" for `value` in hexadecimal.
static void writeHex(char* out, uint32_t value) {
    for (int i = 7; i >= 0; --i, value >>= 4) out[i] = "0123456789abcdef"[value & 15];
}

// A hidden name next to `path` for the object that stands there: ".runpack-XXXXXXXX-YYYYYYYY.bak"
// from the object's index and the clock. False when it does not fit.
static bool makeAsideName(const char* path, const ObjectFacts* facts, uint32_t attempt, char* aside) {
    static const char PREFIX[] = ".runpack-";
    static const char SUFFIX[] = ".bak";
    const size_t nameLength = sizeof(PREFIX) - 1 + 8 + 1 + 8 + sizeof(SUFFIX) - 1;
    const char* slash = strrchr(path, SEPARATOR);
    const char* forward = strrchr(path, '/');
    if (forward != NULL && (slash == NULL || forward > slash)) slash = forward;
    size_t directoryLength = slash != NULL ? static_cast<size_t>(slash - path) + 1 : 0;
    if (directoryLength + nameLength >= DEST_PATH_SIZE) return false;
    memcpy(aside, path, directoryLength);
    char* name = aside + directoryLength;
    memcpy(name, PREFIX, sizeof(PREFIX) - 1);
    writeHex(name + sizeof(PREFIX) - 1, facts->identity.indexLow);
    name[sizeof(PREFIX) - 1 + 8] = '-';
    writeHex(name + sizeof(PREFIX) + 8, (GetTickCount() * 2654435761u) ^ (attempt * 40503u) ^ GetCurrentProcessId());
    memcpy(name + sizeof(PREFIX) + 16, SUFFIX, sizeof(SUFFIX));
    return true;
}

// Renames the user's object at `path` (open as `object`) to a fresh hidden name beside it and
// records it, so that the drain brings it back. False when no name can be had or the journal
// cannot take it; the object is then where it was.
static bool setAside(HANDLE object, const char* path, const WCHAR* widePath, const ObjectFacts* facts,
                     CleanupJournal* journal) {
    char aside[DEST_PATH_SIZE];
    WCHAR wideAside[WIDE_PATH_SIZE];
    for (uint32_t attempt = 0; attempt < SET_ASIDE_ATTEMPTS; ++attempt) {
        if (!makeAsideName(path, facts, attempt, aside) || !widenPath(aside, wideAside)) return false;
        if (!renameByHandle(object, wideAside)) {
            if (GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS) continue;
            return false;
        }
        if (!journalPushSetAside(path, aside, &facts->identity, facts->attributes, journal)) {
            renameByHandle(object, widePath);
            return false;
        }
        setAttributesByHandle(object, facts->attributes | FILE_ATTRIBUTE_HIDDEN);
        return true;
    }
    return false;
}

// Clears the destination of an entry's file. Below the working directory only a file this
// run made may stand there (an earlier entry of the same name): it is deleted. At an absolute
// destination a directory fails the entry; a file or a link is set aside.
static bool clearDestination(const char* path, const WCHAR* wide, bool belowWorkDir,
                             CleanupJournal* journal) {
    HANDLE object = openObject(wide, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (object == INVALID_HANDLE_VALUE) return false;
    ObjectFacts facts;
    bool ok = readObject(object, &facts) && !handleFollowedLink(wide, &facts);
    if (ok && belowWorkDir) {
        ok = !isLink(&facts) && !(facts.attributes & FILE_ATTRIBUTE_DIRECTORY) &&
             journalHoldsCreated(*journal, &facts.identity) && deleteByHandle(object);
    } else if (ok) {
        ok = !isPlainDirectory(&facts) && setAside(object, path, wide, &facts, journal);
    }
    CloseHandle(object);
    return ok;
}

static HANDLE createNew(const WCHAR* path) {
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
}

// Creates the entry's file new, records it, and has the unpack operation fill it. The file's
// handle stays open meanwhile without FILE_SHARE_DELETE, so that the path keeps naming this
// very file; its size is then read through that handle.
static bool writeEntryFile(const FileEntry* entry, UnpackFn unpack, const char* path,
                           bool belowWorkDir, CleanupJournal* journal) {
    size_t length = strlen(path);
    // A path that ends in a separator (an empty name) names no file: nothing is written, and
    // only an entry of 0 bytes counts as extracted.
    if (length == 0 || isSeparator(path[length - 1])) return entry->unpackedSize == 0;

    WCHAR wide[WIDE_PATH_SIZE];
    if (!widenPath(path, wide)) return false;
    HANDLE file = createNew(wide);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
        if (!clearDestination(path, wide, belowWorkDir, journal)) return false;
        file = createNew(wide);
        if (file == INVALID_HANDLE_VALUE) return false;
    }
    ObjectFacts facts;
    bool ok = readObject(file, &facts);
    if (ok && !journalPushCreated(path, &facts.identity, journal)) {
        // Unrecorded, the file would outlive the run: it goes again at once.
        CloseHandle(file);
        HANDLE again = openObject(wide, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
        ObjectFacts now;
        if (again != INVALID_HANDLE_VALUE) {
            if (readObject(again, &now) && sameIdentity(&now.identity, &facts.identity)) deleteByHandle(again);
            CloseHandle(again);
        }
        return false;
    }
    if (!ok) journalPush(path, journal);
    uint32_t written = ok ? unpack(entry->packedSize, entry->data, entry->unpackedSize, path) : 0;
    LARGE_INTEGER filled;
    ok = ok && written == entry->unpackedSize && GetFileSizeEx(file, &filled) &&
         filled.QuadPart == static_cast<LONGLONG>(entry->unpackedSize);
    CloseHandle(file);
    return ok;
}

static bool extractHeld(const FileEntry* entry, const char* workDir, HeldDirectories* held,
                        CleanupJournal* journal) {
    UnpackFn unpack = findUnpackOp(entry->method);
    if (unpack == NULL) return false;

    char path[DEST_PATH_SIZE];
    char scratch[DEST_PATH_SIZE];
    const char* name = entry->name != NULL ? entry->name : "";
    bool hasDirectory = entry->directory != NULL && entry->directory[0] != '\0';
    if (!joinPath(path, hasDirectory ? entry->directory : "", hasDirectory, name)) return false;
    if (!followsTheRule(path)) return false;

    // References to environment variables are expanded before the test for an absolute path,
    // so a variable holding a drive path leads outside the working directory. Undefined ones
    // stay as they are. What a variable brings in must follow the rule as well.
    if (strchr(path, '%') != NULL) {
        memcpy(scratch, path, strlen(path) + 1);
        DWORD needed = ExpandEnvironmentStringsA(scratch, path, DEST_PATH_SIZE);
        if (needed == 0 || needed > DEST_PATH_SIZE || !followsTheRule(path)) return false;
    }
    bool belowWorkDir = !startsWithRoot(path);
    if (belowWorkDir) {
        memcpy(scratch, path, strlen(path) + 1);
        if (!joinPath(path, workDir, true, scratch)) return false;
    }

    bool ok = belowWorkDir ? holdDirectoriesBelow(path, strlen(workDir), held, journal)
                           : createMissingDirectories(path, journal);
    return ok && writeEntryFile(entry, unpack, path, belowWorkDir, journal);
}

bool extractEntry(const FileEntry* entry, const char* workDir, CleanupJournal* journal) {
    HeldDirectories held;
    held.count = 0;
    bool ok = extractHeld(entry, workDir, &held, journal);
    releaseDirectoriesBelow(&held, 0);
    return ok;
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
    HeldDirectories held;
    held.count = 0;
    for (uint32_t index = 0; index < header.fileCount; ++index) {
        ok = readEntry(package, size, offset, &offset, &entry) &&
             extractHeld(&entry, workDir, &held, journal);
        if (!ok) break;
    }
    releaseDirectoriesBelow(&held, 0);
    return ok && offset == size;
}
