// Removal of what the run created, by handle and never through a link: the drain's actions
// for single entries, and the bottom-up walk that removes the whole working directory.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "extract/file_objects.h"
#include "extract/journal.h"

// Deep enough for any tree that paths of WALK_PATH_SIZE characters can reach.
const uint32_t WALK_PATH_SIZE = 1024;
const uint32_t WALK_MAX_DEPTH = WALK_PATH_SIZE / 2;
// Bytes of one directory listing read at a time, taken from the heap for each level.
const uint32_t WALK_LISTING_SIZE = 4096;

// Another process holds the object or has a deletion pending on it: it may be free soon.
static bool isBusy(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}

static const DWORD REMOVAL_ACCESS = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
static const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Deletes the object behind `object` (facts read), a read-only one after clearing the flag
// when `evenReadOnly`; the flag comes back if the deletion fails.
static bool deleteObject(HANDLE object, const ObjectFacts* facts, bool evenReadOnly) {
    bool readOnly = (facts->attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly) {
        if (!evenReadOnly || !setAttributesByHandle(object, facts->attributes & ~FILE_ATTRIBUTE_READONLY)) {
            return false;
        }
    }
    if (deleteByHandle(object)) return true;
    DWORD error = GetLastError();
    if (readOnly) setAttributesByHandle(object, facts->attributes);
    SetLastError(error);
    return false;
}

// True when the user's object set aside for the same path waits right below `entry`: the
// package's file must then go even when read-only, so that the user's can come back.
static bool setAsideWaitsBelow(const JournalNode* entry) {
    const JournalNode* older = entry->older;
    return older != NULL && older->kind == JOURNAL_SET_ASIDE && strcmp(older->path, entry->path) == 0;
}

// Opens the object that `path` names for a change and checks that it is `identity` or, with
// no identity given, not a link's target reached through the link. INVALID_HANDLE_VALUE
// otherwise. (An object that is `identity` is the run's own, however the name reached it.)
static HANDLE openRecorded(const WCHAR* path, const FileIdentity* identity, ObjectFacts* facts) {
    HANDLE object = openObject(path, REMOVAL_ACCESS, SHARE_ALL);
    if (object == INVALID_HANDLE_VALUE) return object;
    if (!readObject(object, facts) ||
        (identity != NULL ? !sameIdentity(&facts->identity, identity) : handleFollowedLink(path, facts))) {
        CloseHandle(object);
        SetLastError(ERROR_FILE_NOT_FOUND);  // the recorded object is not there
        return INVALID_HANDLE_VALUE;
    }
    return object;
}

static void putBack(const JournalNode* entry) {
    WCHAR path[WIDE_PATH_SIZE];
    WCHAR aside[WIDE_PATH_SIZE];
    if (!widenPath(entry->path, path) || !widenPath(entry->asidePath, aside)) return;
    ObjectFacts facts;
    HANDLE object = openRecorded(aside, &entry->identity, &facts);
    if (object == INVALID_HANDLE_VALUE) return;
    // Never over something: if the path is taken, the user's object stays where it waits.
    if (renameByHandle(object, path)) setAttributesByHandle(object, entry->attributes);
    CloseHandle(object);
}

void deletePath(const JournalNode* entry) {
    if (entry->kind == JOURNAL_SET_ASIDE) {
        putBack(entry);
        return;
    }
    WCHAR path[WIDE_PATH_SIZE];
    if (!widenPath(entry->path, path)) return;
    ObjectFacts facts;
    HANDLE object;
    for (uint32_t retries = 0;; ++retries) {
        object = openRecorded(path, entry->hasIdentity ? &entry->identity : NULL, &facts);
        if (object != INVALID_HANDLE_VALUE || !isBusy(GetLastError()) || retries == REMOVAL_RETRY_STEPS) break;
        // Only a directory is waited for: a process that is just ending may still have it as
        // its current directory.
        DWORD listed = GetFileAttributesW(path);
        if (listed == INVALID_FILE_ATTRIBUTES || !(listed & FILE_ATTRIBUTE_DIRECTORY)) break;
        Sleep(REMOVAL_RETRY_PAUSE_MS);
    }
    if (object == INVALID_HANDLE_VALUE) return;
    // A directory goes only when empty; a link goes as a link.
    deleteObject(object, &facts, setAsideWaitsBelow(entry));
    CloseHandle(object);
}

void dropSetAside(const JournalNode* entry) {
    if (entry->kind != JOURNAL_SET_ASIDE) return;
    WCHAR aside[WIDE_PATH_SIZE];
    if (!widenPath(entry->asidePath, aside)) return;
    ObjectFacts facts;
    HANDLE object = openRecorded(aside, &entry->identity, &facts);
    if (object == INVALID_HANDLE_VALUE) return;
    deleteObject(object, &facts, true);
    CloseHandle(object);
}

// One removal of a tree: the path of the object at hand, grown and cut back as the walk
// descends and returns, and the pauses left for objects that are busy.
struct TreeWalk {
    WCHAR path[WALK_PATH_SIZE];
    uint32_t retriesLeft;
};

static bool pauseForBusy(TreeWalk* walk, DWORD error) {
    if (walk->retriesLeft == 0 || !isBusy(error)) return false;
    --walk->retriesLeft;
    Sleep(REMOVAL_RETRY_PAUSE_MS);
    return true;
}

static bool removeObjectAt(TreeWalk* walk, size_t length, DWORD listed, const FileIdentity* identity,
                           uint32_t depth);

// Removes everything inside `directory`, whose path is the walk's first `length` characters,
// listing it through that very handle. True when every object in it went.
static bool emptyDirectory(TreeWalk* walk, HANDLE directory, size_t length, uint32_t depth) {
    uint8_t* listing = static_cast<uint8_t*>(malloc(WALK_LISTING_SIZE));
    if (listing == NULL) return false;
    bool all = true;
    while (GetFileInformationByHandleEx(directory, FileIdBothDirectoryInfo, listing, WALK_LISTING_SIZE)) {
        for (uint8_t* at = listing;;) {
            const FILE_ID_BOTH_DIR_INFO* found = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            const WCHAR* name = found->FileName;
            size_t nameLength = found->FileNameLength / sizeof(WCHAR);
            bool dots = name[0] == L'.' && (nameLength == 1 || (nameLength == 2 && name[1] == L'.'));
            if (!dots && length + 1 + nameLength >= WALK_PATH_SIZE) {
                all = false;
            } else if (!dots) {
                walk->path[length] = L'\\';
                memcpy(walk->path + length + 1, name, nameLength * sizeof(WCHAR));
                walk->path[length + 1 + nameLength] = L'\0';
                if (!removeObjectAt(walk, length + 1 + nameLength, found->FileAttributes, NULL, depth + 1)) {
                    all = false;
                }
                walk->path[length] = L'\0';
            }
            if (found->NextEntryOffset == 0) break;
            at += found->NextEntryOffset;
        }
    }
    if (GetLastError() != ERROR_NO_MORE_FILES) all = false;
    free(listing);
    return all;
}

// Removes the object at the walk's path: a file or a link at once, a directory after what is
// in it. `listed` are the attributes its directory listing gave.
static bool removeObjectAt(TreeWalk* walk, size_t length, DWORD listed, const FileIdentity* identity,
                           uint32_t depth) {
    if (depth > WALK_MAX_DEPTH) return false;
    DWORD access = REMOVAL_ACCESS | ((listed & FILE_ATTRIBUTE_DIRECTORY) ? FILE_LIST_DIRECTORY : 0);
    HANDLE object;
    // Held without FILE_SHARE_DELETE: while the walk is inside a directory, nobody renames it.
    while ((object = openObject(walk->path, access, FILE_SHARE_READ | FILE_SHARE_WRITE)) == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (!pauseForBusy(walk, error)) return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    ObjectFacts facts;
    bool ok = identity == NULL ? readAttributes(object, &facts)
                               : readObject(object, &facts) && sameIdentity(&facts.identity, identity);
    // Listed as a link but opened as something else: the platform followed the link, and the
    // handle holds its target. Hands off.
    if ((listed & FILE_ATTRIBUTE_REPARSE_POINT) && !isLink(&facts)) ok = false;
    if (ok && isPlainDirectory(&facts)) {
        if (facts.attributes & FILE_ATTRIBUTE_READONLY) {
            facts.attributes &= ~FILE_ATTRIBUTE_READONLY;
            setAttributesByHandle(object, facts.attributes);
        }
        ok = emptyDirectory(walk, object, length, depth);
        // Deletions inside may still be pending while other processes hold those objects.
        while (ok && !deleteByHandle(object)) {
            DWORD error = GetLastError();
            ok = pauseForBusy(walk, error == ERROR_DIR_NOT_EMPTY ? ERROR_SHARING_VIOLATION : error);
        }
    } else if (ok) {
        ok = deleteObject(object, &facts, true);
    }
    CloseHandle(object);
    return ok;
}

void removeWorkingTree(const char* workDir, const FileIdentity* identity) {
    TreeWalk walk;
    WCHAR wide[WIDE_PATH_SIZE];
    if (!widenPath(workDir, wide)) return;
    // The walk's paths carry the "\\?\" prefix, which lifts the length limit of the platform's
    // paths; with it, nothing is normalised any more, so separators are made backslashes and
    // trailing ones dropped here.
    size_t length = 0;
    const WCHAR* rest = wide;
    if (wide[0] == L'\\' && wide[1] == L'\\') {
        memcpy(walk.path, L"\\\\?\\UNC", 7 * sizeof(WCHAR));
        length = 7;
        rest = wide + 1;
    } else if (wide[0] != L'\0' && wide[1] == L':') {
        memcpy(walk.path, L"\\\\?\\", 4 * sizeof(WCHAR));
        length = 4;
    }
    for (; *rest != L'\0' && length + 1 < WALK_PATH_SIZE; ++rest) {
        walk.path[length++] = *rest == L'/' ? L'\\' : *rest;
    }
    while (length > 0 && walk.path[length - 1] == L'\\') --length;
    walk.path[length] = L'\0';
    walk.retriesLeft = REMOVAL_RETRY_STEPS;
    DWORD listed = GetFileAttributesW(walk.path);
    if (listed == INVALID_FILE_ATTRIBUTES) return;
    removeObjectAt(&walk, length, listed, identity, 0);
}
