// Removal of what the run created, by handle and never through a link: the drain's actions
// for single entries, and the bottom-up walk that removes the whole working directory. Below
// the working directory every object is reached from the held directory, one name at a time
// relative to its parent's handle; no path there is resolved again from its text.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "extract/file_objects.h"
#include "extract/journal.h"

// Deep enough for any tree that the walk can meet: deeper levels are left alone.
const uint32_t WALK_MAX_DEPTH = 512;
// Bytes of one directory listing read at a time, taken from the heap for each level.
const uint32_t WALK_LISTING_SIZE = 4096;

static HANDLE removalRoot = NULL;

void setRemovalRoot(HANDLE workDir) { removalRoot = workDir; }

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

// Opens the object that `path` (relative to the removal root) names, directory by directory
// from the root, never through a link. INVALID_HANDLE_VALUE with the last error otherwise.
static HANDLE openBelowRoot(const WCHAR* path, DWORD access, DWORD share) {
    if (removalRoot == NULL) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE directory = removalRoot;
    const WCHAR* name = path;
    for (;;) {
        const WCHAR* end = wcschr(name, L'\\');
        size_t length = end != NULL ? static_cast<size_t>(end - name) : wcslen(name);
        HANDLE next = end != NULL
                          ? openBelow(directory, name, length, FILE_TRAVERSE, SHARE_ALL, BELOW_OPEN, false)
                          : openBelow(directory, name, length, access, share, BELOW_OPEN, false);
        DWORD error = GetLastError();
        if (directory != removalRoot) CloseHandle(directory);
        SetLastError(error);
        if (next == INVALID_HANDLE_VALUE || end == NULL) return next;
        directory = next;
        name = end + 1;
    }
}

// Opens the object that the full path `path` names relative to its directory, which is
// walked from the volume's root (a link on the way only when the system owns it) and stays
// open in `*parent`. A link at the end is opened as the link.
static HANDLE openFullPath(const WCHAR* path, DWORD access, DWORD share, HANDLE* parent) {
    const WCHAR* name = NULL;
    *parent = openParentOnTheWay(path, &name);
    if (*parent == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    HANDLE object = openBelow(*parent, name, wcslen(name), access, share, BELOW_OPEN, true);
    if (object == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        CloseHandle(*parent);
        *parent = INVALID_HANDLE_VALUE;
        SetLastError(error);
    }
    return object;
}

// Opens the object that `path` of an entry names, with `access`: below the working directory
// from the removal root, elsewhere from its volume's root, never a link's target.
static HANDLE openEntryPath(const WCHAR* path, DWORD access, DWORD share) {
    if (!isFullPath(path)) return openBelowRoot(path, access, share);
    HANDLE parent;
    HANDLE object = openFullPath(path, access, share, &parent);
    if (object != INVALID_HANDLE_VALUE) CloseHandle(parent);
    return object;
}

// Checks that `object` (or INVALID_HANDLE_VALUE) is `identity`; closes it otherwise.
static HANDLE checkRecorded(HANDLE object, const FileIdentity* identity, ObjectFacts* facts) {
    if (object == INVALID_HANDLE_VALUE) return object;
    if (!readObject(object, facts) || !sameIdentity(&facts->identity, identity)) {
        CloseHandle(object);
        SetLastError(ERROR_FILE_NOT_FOUND);  // the recorded object is not there
        return INVALID_HANDLE_VALUE;
    }
    return object;
}

// Opens the object at `path` for a change and checks that it is `identity`.
// INVALID_HANDLE_VALUE otherwise.
static HANDLE openRecorded(const WCHAR* path, const FileIdentity* identity, ObjectFacts* facts) {
    return checkRecorded(openEntryPath(path, REMOVAL_ACCESS, SHARE_ALL), identity, facts);
}

// The user's object comes back under its name in the directory where it waits, renamed
// relative to that directory's handle, and only while it is the object set aside.
static void putBack(const JournalNode* entry) {
    if (!isFullPath(entry->asidePath) || !isFullPath(entry->path)) return;
    HANDLE parent;
    ObjectFacts facts;
    HANDLE object = checkRecorded(openFullPath(entry->asidePath, REMOVAL_ACCESS, SHARE_ALL, &parent),
                                  &entry->identity, &facts);
    if (object == INVALID_HANDLE_VALUE) {
        if (parent != INVALID_HANDLE_VALUE) CloseHandle(parent);
        return;
    }
    const WCHAR* name = entry->path + wcslen(entry->path);
    while (name > entry->path && name[-1] != L'\\' && name[-1] != L'/') --name;
    // Never over something: if the name is taken, the user's object stays where it waits.
    if (renameBelow(object, parent, name, wcslen(name))) setAttributesByHandle(object, entry->attributes);
    CloseHandle(object);
    CloseHandle(parent);
}

bool isBackAtItsPath(const JournalNode* entry) {
    if (!isFullPath(entry->path)) return false;
    HANDLE parent;
    ObjectFacts facts;
    HANDLE object = checkRecorded(openFullPath(entry->path, FILE_READ_ATTRIBUTES, SHARE_ALL, &parent),
                                  &entry->identity, &facts);
    if (parent != INVALID_HANDLE_VALUE) CloseHandle(parent);
    if (object == INVALID_HANDLE_VALUE) return false;
    CloseHandle(object);
    return true;
}

// True when the entry's object is a directory, as far as can be told.
static bool isDirectoryEntry(const JournalNode* entry) {
    HANDLE object = openEntryPath(entry->path, FILE_READ_ATTRIBUTES, SHARE_ALL);
    if (object == INVALID_HANDLE_VALUE) return false;
    ObjectFacts facts;
    bool directory = readAttributes(object, &facts) && (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    CloseHandle(object);
    return directory;
}

void deletePath(const JournalNode* entry) {
    if (entry->kind == JOURNAL_SET_ASIDE) {
        putBack(entry);
        return;
    }
    ObjectFacts facts;
    HANDLE object;
    for (uint32_t retries = 0;; ++retries) {
        object = openRecorded(entry->path, &entry->identity, &facts);
        if (object != INVALID_HANDLE_VALUE || !isBusy(GetLastError()) || retries == REMOVAL_RETRY_STEPS) break;
        // Only a directory is waited for: a process that is just ending may still have it as
        // its current directory.
        if (!isDirectoryEntry(entry)) break;
        Sleep(REMOVAL_RETRY_PAUSE_MS);
    }
    if (object == INVALID_HANDLE_VALUE) return;
    // A directory goes only when empty.
    // The package's file goes even when read-only where the user's object waits to come back.
    deleteObject(object, &facts, replacesSetAside(entry));
    CloseHandle(object);
}

void dropSetAside(const JournalNode* entry) {
    if (entry->kind != JOURNAL_SET_ASIDE) return;
    ObjectFacts facts;
    HANDLE object = openRecorded(entry->asidePath, &entry->identity, &facts);
    if (object == INVALID_HANDLE_VALUE) return;
    deleteObject(object, &facts, true);
    CloseHandle(object);
}

// One removal of a tree: the pauses left for objects that are busy.
struct TreeWalk {
    uint32_t retriesLeft;
};

static bool pauseForBusy(TreeWalk* walk, DWORD error) {
    if (walk->retriesLeft == 0 || !isBusy(error)) return false;
    --walk->retriesLeft;
    Sleep(REMOVAL_RETRY_PAUSE_MS);
    return true;
}

static bool removeDirectoryContents(TreeWalk* walk, HANDLE directory, uint32_t depth);

// Removes `object` (open with its facts read): a file or a link at once, a directory after
// what is in it. The handle is closed.
static bool removeOpened(TreeWalk* walk, HANDLE object, ObjectFacts* facts, uint32_t depth) {
    bool ok = true;
    if (isPlainDirectory(facts)) {
        if (facts->attributes & FILE_ATTRIBUTE_READONLY) {
            facts->attributes &= ~FILE_ATTRIBUTE_READONLY;
            setAttributesByHandle(object, facts->attributes);
        }
        ok = removeDirectoryContents(walk, object, depth);
        // Deletions inside may still be pending while other processes hold those objects.
        while (ok && !deleteByHandle(object)) {
            DWORD error = GetLastError();
            ok = pauseForBusy(walk, error == ERROR_DIR_NOT_EMPTY ? ERROR_SHARING_VIOLATION : error);
        }
    } else {
        ok = deleteObject(object, facts, true);
    }
    CloseHandle(object);
    return ok;
}

// Removes the object `name` in `directory`; `listed` are the attributes its listing gave.
static bool removeBelow(TreeWalk* walk, HANDLE directory, const WCHAR* name, size_t length, DWORD listed,
                        uint32_t depth) {
    if (depth > WALK_MAX_DEPTH) return false;
    DWORD access = REMOVAL_ACCESS | ((listed & FILE_ATTRIBUTE_DIRECTORY) ? FILE_LIST_DIRECTORY | FILE_TRAVERSE : 0);
    HANDLE object;
    // Held without FILE_SHARE_DELETE: while the walk is inside a directory, nobody renames it.
    // A link is opened as the link, and removed as one; a name that lists as a link while
    // the handle holds something else is left alone.
    while ((object = openBelow(directory, name, length, access, FILE_SHARE_READ | FILE_SHARE_WRITE, BELOW_OPEN,
                               true)) == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (!pauseForBusy(walk, error)) return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    ObjectFacts facts;
    if (!readAttributes(object, &facts) || ((listed & FILE_ATTRIBUTE_REPARSE_POINT) && !isLink(&facts))) {
        CloseHandle(object);
        return false;
    }
    return removeOpened(walk, object, &facts, depth);
}

// Removes everything inside `directory`, listing it through that very handle. True when
// every object in it went.
static bool removeDirectoryContents(TreeWalk* walk, HANDLE directory, uint32_t depth) {
    uint8_t* listing = static_cast<uint8_t*>(malloc(WALK_LISTING_SIZE));
    if (listing == NULL) return false;
    bool all = true;
    while (GetFileInformationByHandleEx(directory, FileIdBothDirectoryInfo, listing, WALK_LISTING_SIZE)) {
        for (uint8_t* at = listing;;) {
            const FILE_ID_BOTH_DIR_INFO* found = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            const WCHAR* name = found->FileName;
            size_t nameLength = found->FileNameLength / sizeof(WCHAR);
            bool dots = name[0] == L'.' && (nameLength == 1 || (nameLength == 2 && name[1] == L'.'));
            if (!dots && !removeBelow(walk, directory, name, nameLength, found->FileAttributes, depth + 1)) {
                all = false;
            }
            if (found->NextEntryOffset == 0) break;
            at += found->NextEntryOffset;
        }
    }
    if (GetLastError() != ERROR_NO_MORE_FILES) all = false;
    free(listing);
    return all;
}

HANDLE openWorkingTree(HANDLE parent, const WCHAR* name, size_t length, const FileIdentity* identity) {
    HANDLE tree;
    TreeWalk walk;
    walk.retriesLeft = REMOVAL_RETRY_STEPS;
    // A process that is just ending may still have it as its current directory.
    while ((tree = openBelow(parent, name, length, REMOVAL_ACCESS | FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, BELOW_OPEN, false)) == INVALID_HANDLE_VALUE) {
        if (!pauseForBusy(&walk, GetLastError())) return tree;
    }
    ObjectFacts facts;
    if (!readObject(tree, &facts) || !isPlainDirectory(&facts) || !sameIdentity(&facts.identity, identity)) {
        CloseHandle(tree);
        return INVALID_HANDLE_VALUE;
    }
    return tree;
}

void removeWorkingTree(HANDLE tree) {
    TreeWalk walk;
    walk.retriesLeft = REMOVAL_RETRY_STEPS;
    ObjectFacts facts;
    if (!readAttributes(tree, &facts)) {
        CloseHandle(tree);
        return;
    }
    removeOpened(&walk, tree, &facts, 0);
}

void removeWorkingTreeAt(const WCHAR* path, const FileIdentity* identity) {
    WCHAR parentPath[WIDE_PATH_SIZE];
    size_t length = wcslen(path);
    while (length > 0 && (path[length - 1] == L'\\' || path[length - 1] == L'/')) --length;
    size_t nameStart = length;
    while (nameStart > 0 && path[nameStart - 1] != L'\\' && path[nameStart - 1] != L'/') --nameStart;
    if (nameStart == 0 || nameStart >= WIDE_PATH_SIZE) return;
    memcpy(parentPath, path, nameStart * sizeof(WCHAR));
    parentPath[nameStart] = L'\0';
    HANDLE parent = openObject(parentPath, FILE_TRAVERSE | FILE_LIST_DIRECTORY, SHARE_ALL);
    if (parent == INVALID_HANDLE_VALUE) return;
    HANDLE tree = openWorkingTree(parent, path + nameStart, length - nameStart, identity);
    CloseHandle(parent);
    if (tree != INVALID_HANDLE_VALUE) removeWorkingTree(tree);
}
