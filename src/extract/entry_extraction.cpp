#include "extract/entry_extraction.h"

#include <stdlib.h>
#include <string.h>

#include "extract/destination_rule.h"
#include "extract/file_objects.h"
#include "extract/storage_methods.h"
#include "extract/stream_prefetch.h"
#include "extract/unpack_operations.h"
#include "package/same_name.h"

// The longest name of one file or directory that the file systems take.
const size_t NAME_LIMIT = 255;
// Every directory level a destination can have.
const uint32_t MAX_HELD_DIRECTORIES = DEST_PATH_SIZE / 2;

static const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A directory on the way is only a root for the names below it: creating there is checked
// against the directory's own access list, not the handle's rights.
static const DWORD LEVEL_ACCESS = FILE_TRAVERSE;
// Below the working directory the levels are held without FILE_SHARE_DELETE, so that nobody
// can rename or delete them while the run works in them.
static const DWORD LEVEL_SHARE_BELOW = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The directories on the way of consecutive entries, each held open; entries in the same
// directories share them. Level 0 is the root: the working directory (not owned) or a
// volume's root (owned).
struct HeldDirectories {
    uint32_t count;
    bool ownsRoot;
    uint32_t ends[MAX_HELD_DIRECTORIES];  // where each level's name ends in `path`
    HANDLE handles[MAX_HELD_DIRECTORIES];
    WCHAR path[DEST_PATH_SIZE];  // the journal's path of the deepest level held
};

static bool isSeparator(WCHAR c) { return c == L'\\' || c == L'/'; }

static bool followsTheRule(const char* path, size_t length) {
    return checkDestination(path, static_cast<uint32_t>(length)) == DESTINATION_OK;
}

bool packageText(const char* text, size_t length, UINT codePage, WCHAR* wide, size_t capacity) {
    if (length == 0) {
        wide[0] = L'\0';
        return capacity > 0;
    }
    DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    int written = MultiByteToWideChar(codePage, flags, text, static_cast<int>(length), wide,
                                      static_cast<int>(capacity) - 1);
    if (written <= 0) return false;
    wide[written] = L'\0';
    return true;
}

static bool validText(const char* text, UINT codePage) {
    return text == NULL || text[0] == '\0' || codePage != CP_UTF8 ||
           MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, NULL, 0) > 0;
}


bool isLocalFixedPath(const WCHAR* path) {
    WCHAR letter = path[0] | 0x20;
    if (letter < L'a' || letter > L'z' || path[1] != L':' || !isSeparator(path[2])) return false;
    WCHAR root[4] = {path[0], L':', L'\\', L'\0'};
    return GetDriveTypeW(root) == DRIVE_FIXED;
}

static void releaseDirectoriesBelow(HeldDirectories* held, uint32_t keep) {
    while (held->count > keep) {
        --held->count;
        if (held->count > 0 || held->ownsRoot) CloseHandle(held->handles[held->count]);
    }
}

// Opens the existing directory `name` below `parent`. Below the working directory no link is
// taken; at an absolute destination a link is followed only when the system owns it.
static HANDLE openLevel(HANDLE parent, const WCHAR* name, size_t length, bool belowWorkDir) {
    if (!belowWorkDir) return openDirectoryOnTheWay(parent, name, length);
    return openBelow(parent, name, length, LEVEL_ACCESS, LEVEL_SHARE_BELOW, BELOW_OPEN, false);
}

// One level: an existing plain directory is taken, a missing one created and recorded under
// `journalPath`; either is then held. Anything but a directory fails.
static bool holdLevel(HeldDirectories* held, const WCHAR* name, size_t length, bool belowWorkDir,
                      const WCHAR* journalPath, CleanupJournal* journal) {
    if (held->count == MAX_HELD_DIRECTORIES) return false;
    HANDLE parent = held->handles[held->count - 1];
    HANDLE level = openBelow(parent, name, length, LEVEL_ACCESS | DELETE, LEVEL_SHARE_BELOW, BELOW_CREATE_DIRECTORY,
                             false);
    bool created = level != INVALID_HANDLE_VALUE;
    if (!created) {
        if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
        level = openLevel(parent, name, length, belowWorkDir);
        if (level == INVALID_HANDLE_VALUE) return false;
    }
    ObjectFacts facts;
    bool ok = created ? readObject(level, &facts) : readAttributes(level, &facts);
    ok = ok && isPlainDirectory(&facts);
    if (created && !(ok && journalPushCreated(journalPath, &facts.identity, journal))) {
        // Unrecorded, it would outlive the run: it goes again at once.
        deleteByHandle(level);
        ok = false;
    }
    if (!ok) {
        CloseHandle(level);
        return false;
    }
    held->handles[held->count++] = level;
    return true;
}

// Opens the root of the volume that the full path `path` names and holds it as level 0; the
// rest of the path (behind the root's separator) is at `*rest`. False when the path has no
// root that can be opened.
static bool holdVolumeRoot(const WCHAR* path, HeldDirectories* held, const WCHAR** rest) {
    HANDLE handle = openVolumeRoot(path, rest);
    if (handle == INVALID_HANDLE_VALUE) return false;
    held->handles[0] = handle;
    held->count = 1;
    held->ownsRoot = true;
    held->ends[0] = static_cast<uint32_t>(*rest - path);
    return true;
}

// Holds every directory on the way of `path` (the journal's form: relative to the working
// directory, or full), top-down, creating the missing ones; levels already held under the
// same name are taken as they are, the others let go. `*name` is then the file's name.
static bool holdDirectories(const WCHAR* path, const ExtractionTarget* target, HeldDirectories* held,
                            CleanupJournal* journal, const WCHAR** name) {
    bool belowWorkDir = !isFullPath(path);
    const WCHAR* part = path;
    if (belowWorkDir) {
        if (held->count == 0 || held->ownsRoot) {
            releaseDirectoriesBelow(held, 0);
            held->handles[0] = target->workDir;
            held->ownsRoot = false;
            held->count = 1;
            held->ends[0] = 0;
        }
    } else {
        size_t rootLength = held->count > 0 && held->ownsRoot ? held->ends[0] : 0;
        if (rootLength == 0 || memcmp(held->path, path, rootLength * sizeof(WCHAR)) != 0) {
            releaseDirectoriesBelow(held, 0);
            if (!holdVolumeRoot(path, held, &part)) return false;
            memcpy(held->path, path, held->ends[0] * sizeof(WCHAR));
        } else {
            part = path + rootLength;
        }
    }
    uint32_t level = 1;
    for (;; ++level) {
        const WCHAR* end = wcschr(part, L'\\');
        if (end == NULL) break;  // what follows is the file's name
        uint32_t endOffset = static_cast<uint32_t>(end - path);
        if (level < held->count && held->ends[level] == endOffset &&
            memcmp(held->path, path, endOffset * sizeof(WCHAR)) == 0) {
            part = end + 1;
            continue;
        }
        releaseDirectoriesBelow(held, level);
        WCHAR journalPath[DEST_PATH_SIZE];
        memcpy(journalPath, path, endOffset * sizeof(WCHAR));
        journalPath[endOffset] = L'\0';
        if (!holdLevel(held, part, static_cast<size_t>(end - part), belowWorkDir, journalPath, journal)) {
            return false;
        }
        held->ends[level] = endOffset;
        memcpy(held->path, path, endOffset * sizeof(WCHAR));
        part = end + 1;
    }
    releaseDirectoriesBelow(held, level);
    *name = part;
    return true;
}

// Writes "XXXXXXXX" for `value` in hexadecimal.
static void writeHex(WCHAR* out, uint32_t value) {
    for (int i = 7; i >= 0; --i, value >>= 4) out[i] = L"0123456789abcdef"[value & 15];
}

const size_t ASIDE_NAME_LENGTH = 30;  // ".runpack-XXXXXXXX-YYYYYYYY.bak"

// Puts the name that `object` has in its directory, read from the handle, behind the first
// `directoryLength` characters of `path` (which keeps its own name when the handle cannot
// tell, or the name would not fit).
static void ownName(HANDLE object, WCHAR* path, size_t directoryLength) {
    union {
        FILE_NAME_INFO info;
        WCHAR room[WIDE_PATH_SIZE + 4];
    } name;
    if (!GetFileInformationByHandleEx(object, FileNameInfo, &name, sizeof(name))) return;
    const WCHAR* end = name.info.FileName + name.info.FileNameLength / sizeof(WCHAR);
    const WCHAR* last = end;
    while (last > name.info.FileName && last[-1] != L'\\') --last;
    size_t length = static_cast<size_t>(end - last);
    if (length == 0 || directoryLength + length >= DEST_PATH_SIZE) return;
    memcpy(path + directoryLength, last, length * sizeof(WCHAR));
    path[directoryLength + length] = L'\0';
}

// Renames the user's object `object` in the held `directory` (whose full path, with a final
// separator, is `directoryPath`) to a fresh hidden name beside it and records it, so that
// the drain brings it back. False when no name can be had or the journal cannot take it; the
// object is then where it was.
static bool setAside(HANDLE object, HANDLE directory, const WCHAR* path, size_t directoryLength,
                     const ObjectFacts* facts, CleanupJournal* journal) {
    WCHAR aside[DEST_PATH_SIZE];
    if (directoryLength + ASIDE_NAME_LENGTH >= DEST_PATH_SIZE) return false;
    // It comes back under the name it has, which may differ from the package's in case.
    WCHAR ownPath[DEST_PATH_SIZE];
    wcscpy(ownPath, path);
    ownName(object, ownPath, directoryLength);
    memcpy(aside, path, directoryLength * sizeof(WCHAR));
    WCHAR* name = aside + directoryLength;
    for (uint32_t attempt = 0; attempt < SET_ASIDE_ATTEMPTS; ++attempt) {
        memcpy(name, L".runpack-", 9 * sizeof(WCHAR));
        writeHex(name + 9, facts->identity.indexLow);
        name[17] = L'-';
        writeHex(name + 18, (GetTickCount() * 2654435761u) ^ (attempt * 40503u) ^ GetCurrentProcessId());
        memcpy(name + 26, L".bak", 5 * sizeof(WCHAR));
        if (!renameBelow(object, directory, name, ASIDE_NAME_LENGTH)) {
            if (GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS) continue;
            return false;
        }
        if (!journalPushSetAside(ownPath, aside, &facts->identity, facts->attributes, journal)) {
            renameBelow(object, directory, ownPath + directoryLength, wcslen(ownPath + directoryLength));
            return false;
        }
        setAttributesByHandle(object, facts->attributes | FILE_ATTRIBUTE_HIDDEN);
        return true;
    }
    return false;
}

// Clears the destination `name` in `directory`. Below the working directory only a file this
// run made may stand there (an earlier entry of the same name): it is deleted. At an absolute
// destination a directory fails the entry; a file or a link is set aside.
static bool clearDestination(HANDLE directory, const WCHAR* path, const WCHAR* name, bool belowWorkDir,
                             CleanupJournal* journal) {
    size_t nameLength = wcslen(name);
    HANDLE object = openBelow(directory, name, nameLength, DELETE | FILE_WRITE_ATTRIBUTES, SHARE_ALL, BELOW_OPEN,
                              !belowWorkDir);
    if (object == INVALID_HANDLE_VALUE) return false;
    ObjectFacts facts;
    bool ok = readObject(object, &facts);
    if (ok && belowWorkDir) {
        ok = !(facts.attributes & FILE_ATTRIBUTE_DIRECTORY) && journalHoldsCreated(*journal, &facts.identity) &&
             deleteByHandle(object);
    } else if (ok) {
        ok = !isPlainDirectory(&facts) &&
             setAside(object, directory, path, static_cast<size_t>(name - path), &facts, journal);
    }
    CloseHandle(object);
    return ok;
}

static const DWORD FILE_ACCESS = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | FILE_READ_ATTRIBUTES;

// Creates the entry's file new in `directory`, records it under `path`, and has the unpack
// operation write it through the handle that created it. The handle stays open meanwhile
// without FILE_SHARE_DELETE or write sharing; its size is then read through it.
static bool writeEntryFile(const FileEntry* entry, UnpackFn unpack, HANDLE directory, const WCHAR* path,
                           const WCHAR* name, bool belowWorkDir, CleanupJournal* journal) {
    size_t nameLength = wcslen(name);
    // A path that ends in a separator (an empty name) names no file: nothing is written, and
    // only an entry of 0 bytes counts as extracted.
    if (nameLength == 0) return entry->unpackedSize == 0;

    HANDLE file = openBelow(directory, name, nameLength, FILE_ACCESS, FILE_SHARE_READ, BELOW_CREATE_FILE, false);
    if (file == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
        if (!clearDestination(directory, path, name, belowWorkDir, journal)) return false;
        file = openBelow(directory, name, nameLength, FILE_ACCESS, FILE_SHARE_READ, BELOW_CREATE_FILE, false);
        if (file == INVALID_HANDLE_VALUE) return false;
    }
    ObjectFacts facts;
    if (!readObject(file, &facts) || !journalPushCreated(path, &facts.identity, journal)) {
        // Unrecorded, the file would outlive the run: it goes again at once.
        deleteByHandle(file);
        CloseHandle(file);
        return false;
    }
    uint32_t written = unpack(entry->packedSize, entry->data, entry->unpackedSize, writeAll, file);
    LARGE_INTEGER filled;
    bool ok = written == entry->unpackedSize && GetFileSizeEx(file, &filled) &&
              filled.QuadPart == static_cast<LONGLONG>(entry->unpackedSize);
    CloseHandle(file);
    return ok;
}

// The journal's form of a destination: separators made backslashes, doubled ones and those
// at the start of a relative path dropped. A trailing separator stays: it names no file.
static void normalisePath(WCHAR* path) {
    bool full = isFullPath(path);
    WCHAR* out = path;
    const WCHAR* in = path;
    if (full && isSeparator(in[0])) {
        *out++ = L'\\';
        *out++ = L'\\';
        in += 2;
    } else if (full) {
        *out++ = *in++;
        *out++ = *in++;
    }
    for (; *in != L'\0'; ++in) {
        if (!isSeparator(*in)) {
            *out++ = *in;
        } else if ((out > path && out[-1] != L'\\') || (full && out == path + 2 && path[0] != L'\\')) {
            *out++ = L'\\';
        }
    }
    *out = L'\0';
}

// The expanded destination as UTF-8, for the rule's check (which reads bytes).
static bool expandedFollowsTheRule(const WCHAR* path) {
    char utf8[DEST_PATH_SIZE * 3];
    int length = WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8, sizeof(utf8), NULL, NULL);
    return length > 0 && followsTheRule(utf8, static_cast<size_t>(length - 1));
}

// The destination of `entry` in `path`, in the journal's form: composed from its directory and
// name, checked against the destination rule (unless `ruleAside`), converted to UTF-16, its
// environment references expanded and checked again, separators normalised. False when any of
// that fails.
static bool composeDestination(const FileEntry* entry, const ExtractionTarget* target, WCHAR* path,
                               bool ruleAside) {
    // The destination as the package composes it: the entry's directory, a backslash and
    // its name. The rule is checked on these bytes, then they become UTF-16 once.
    char composed[DEST_PATH_SIZE];
    const char* name = entry->name != NULL ? entry->name : "";
    bool hasDirectory = entry->directory != NULL && entry->directory[0] != '\0';
    size_t directoryLength = hasDirectory ? strlen(entry->directory) : 0;
    size_t nameLength = strlen(name);
    size_t length = directoryLength + (hasDirectory ? 1 : 0) + nameLength;
    if (length >= DEST_PATH_SIZE) return false;
    if (hasDirectory) {
        memcpy(composed, entry->directory, directoryLength);
        composed[directoryLength] = '\\';
    }
    memcpy(composed + length - nameLength, name, nameLength);
    composed[length] = '\0';
    if (!ruleAside && !followsTheRule(composed, length)) return false;
    if (!packageText(composed, length, target->codePage, path, DEST_PATH_SIZE)) return false;

    // References to environment variables are expanded before the test for an absolute path,
    // so a variable holding a drive path leads outside the working directory. Undefined ones
    // stay as they are. What a variable brings in must follow the rule as well; in an
    // elevated run it must also lead to a local fixed drive.
    if (wcschr(path, L'%') != NULL) {
        WCHAR expanded[DEST_PATH_SIZE];
        DWORD needed = ExpandEnvironmentStringsW(path, expanded, DEST_PATH_SIZE);
        if (needed == 0 || needed > DEST_PATH_SIZE || (!ruleAside && !expandedFollowsTheRule(expanded))) return false;
        if (target->elevated && isFullPath(expanded) && !isLocalFixedPath(expanded)) return false;
        memcpy(path, expanded, needed * sizeof(WCHAR));
    }
    normalisePath(path);
    // A name that no file system takes fails the entry before anything is made for it.
    size_t partLength = 0;
    for (const WCHAR* c = path; *c != L'\0'; ++c) {
        partLength = *c == L'\\' ? 0 : partLength + 1;
        if (partLength > NAME_LIMIT) return false;
    }
    return true;
}

static bool extractHeld(const FileEntry* entry, const ExtractionTarget* target, HeldDirectories* held,
                        CleanupJournal* journal) {
    UnpackFn unpack = findUnpackOp(entry->method);
    if (unpack == NULL) return false;
    WCHAR path[DEST_PATH_SIZE];
    if (!composeDestination(entry, target, path, false)) return false;
    const WCHAR* fileName = NULL;
    if (!holdDirectories(path, target, held, journal, &fileName)) return false;
    return writeEntryFile(entry, unpack, held->handles[held->count - 1], path, fileName, !isFullPath(path),
                          journal);
}

// The plan's slot for the volume that holds the open `directory`; -1 when it cannot be told.
static int32_t volumeOf(HANDLE directory, SpacePlan* plan) {
    VolumeFacts facts;
    return readVolumeFacts(directory, &facts) ? spacePlanVolume(plan, &facts) : -1;
}

// The plan's slot for the volume a file at the full path `path` will be written on: that of
// the deepest directory on its way that exists, reached from the volume's root as the
// extraction reaches it (a link only where the system owns it), so that a volume mounted on
// the way counts, not the one its path begins with. The missing directories will be made on
// that volume.
static int32_t wayVolume(const WCHAR* path, SpacePlan* plan) {
    const WCHAR* part = NULL;
    HANDLE directory = openVolumeRoot(path, &part);
    if (directory == INVALID_HANDLE_VALUE) return -1;
    for (const WCHAR* end; (end = wcschr(part, L'\\')) != NULL; part = end + 1) {
        HANDLE next = openDirectoryOnTheWay(directory, part, static_cast<size_t>(end - part));
        if (next == INVALID_HANDLE_VALUE) break;
        CloseHandle(directory);
        directory = next;
    }
    int32_t volume = volumeOf(directory, plan);
    CloseHandle(directory);
    return volume;
}

bool packageFitsItsVolumes(const uint8_t* package, uint32_t size, const ExtractionTarget* target) {
    PackageHeader header;
    memset(&header, 0, sizeof(header));
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    uint32_t offset = 0;
    if (!readHeader(package, size, &offset, &header)) return true;
    FileEntry entry;
    memset(&entry, 0, sizeof(entry));
    entry.recordSize = FILE_ENTRY_RECORD_SIZE;
    SpacePlan plan;
    spacePlanBegin(&plan);
    int32_t workVolume = volumeOf(target->workDir, &plan);
    // Consecutive entries in one directory share its volume: the way is walked once for them.
    WCHAR lastDirectory[DEST_PATH_SIZE];
    size_t lastLength = DEST_PATH_SIZE;  // none yet
    int32_t lastVolume = -1;
    for (uint32_t index = 0; index < header.fileCount; ++index) {
        if (!readEntry(package, size, offset, &offset, &entry)) break;
        WCHAR path[DEST_PATH_SIZE];
        // A destination the extraction refuses fails the run there; it is not counted.
        if (entry.unpackedSize == 0 || !composeDestination(&entry, target, path, false)) continue;
        int32_t volume = workVolume;
        if (isFullPath(path)) {
            size_t length = static_cast<size_t>(wcsrchr(path, L'\\') - path);
            if (length != lastLength || memcmp(path, lastDirectory, length * sizeof(WCHAR)) != 0) {
                lastVolume = wayVolume(path, &plan);
                lastLength = length;
                memcpy(lastDirectory, path, length * sizeof(WCHAR));
            }
            volume = lastVolume;
        }
        spacePlanFile(&plan, volume, entry.unpackedSize);
    }
    return spacePlanShortfall(&plan) < 0;
}

bool packageTextsAreValid(const uint8_t* package, uint32_t size, const char* command, UINT codePage) {
    if (!validText(command, codePage)) return false;
    const ExtractionTarget target = {NULL, codePage, false};
    // The first pass counts what the second writes into one allocation: the records of every
    // file and directory the entries name, then their keys, one after the other.
    NameKeyRecord* records = NULL;
    uint16_t* keys = NULL;
    uint32_t keyUnits = 0;
    uint32_t recordCount = 0;
    PackageHeader header;
    memset(&header, 0, sizeof(header));
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    FileEntry entry;
    memset(&entry, 0, sizeof(entry));
    entry.recordSize = FILE_ENTRY_RECORD_SIZE;
    for (int pass = 0; pass < 2; ++pass) {
        uint32_t offset = 0;
        keyUnits = recordCount = 0;
        readHeader(package, size, &offset, &header);
        for (uint32_t index = 0; index < header.fileCount && readEntry(package, size, offset, &offset, &entry);
             ++index) {
            if (pass == 0 && !(validText(entry.name, codePage) && validText(entry.directory, codePage))) return false;
            // A destination that breaks the rule still takes part ("a.txt. " is "a.txt"); one that
            // cannot be composed at all stops the extraction there.
            WCHAR path[DEST_PATH_SIZE];
            if (!composeDestination(&entry, &target, path, true)) continue;
            uint32_t length = static_cast<uint32_t>(wcslen(path));
            uint16_t* key = keys != NULL ? keys + keyUnits : reinterpret_cast<uint16_t*>(path);
            uint32_t keyLength = nameKey(reinterpret_cast<const uint16_t*>(path), length, key);
            // A destination that ends in a separator names a directory only.
            bool namesFile = length > 0 && path[length - 1] != L'\\';
            recordCount += nameKeyRecords(key, keyLength, index, namesFile, keys != NULL ? records + recordCount : NULL);
            keyUnits += keyLength;
        }
        if (pass == 0) {
            // Counts from the package decide this allocation: it is refused when it would not
            // fit the address space rather than computed modulo 2^32.
            uint64_t bytes = uint64_t(recordCount) * sizeof(NameKeyRecord) + (uint64_t(keyUnits) + 1) * sizeof(uint16_t);
            if (bytes > 0x7FFFFFFFu) return false;
            records = static_cast<NameKeyRecord*>(malloc(static_cast<size_t>(bytes)));
            if (records == NULL) return false;
            keys = reinterpret_cast<uint16_t*>(records + recordCount);
        }
    }
    sortNameKeys(records, recordCount);
    bool distinct = !nameKeysClash(records, recordCount);
    free(records);
    return distinct;
}

bool extractEntry(const FileEntry* entry, const ExtractionTarget* target, CleanupJournal* journal) {
    HeldDirectories held;
    held.count = 0;
    held.ownsRoot = false;
    bool ok = extractHeld(entry, target, &held, journal);
    releaseDirectoriesBelow(&held, 0);
    return ok;
}

bool extractPackage(const uint8_t* package, uint32_t size, const ExtractionTarget* target,
                    CleanupJournal* journal, StreamPrefetch* prefetch) {
    PackageHeader header;
    memset(&header, 0, sizeof(header));
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    uint32_t offset = 0;
    bool ok = readHeader(package, size, &offset, &header);
    if (!ok) {
        prefetchEnd(prefetch);
        return false;
    }

    FileEntry entry;
    memset(&entry, 0, sizeof(entry));
    entry.recordSize = FILE_ENTRY_RECORD_SIZE;
    HeldDirectories held;
    held.count = 0;
    held.ownsRoot = false;
    for (uint32_t index = 0; index < header.fileCount; ++index) {
        ok = readEntry(package, size, offset, &offset, &entry);
        if (!ok) break;
        if (entry.method == METHOD_LZMA2 && entry.packedSize != 0) {
            prefetchAtStream(prefetch, &entry, offset);
        }
        ok = extractHeld(&entry, target, &held, journal);
        if (!ok) break;
    }
    prefetchEnd(prefetch);
    lzma2Release();
    releaseDirectoriesBelow(&held, 0);
    return ok && offset == size;
}
