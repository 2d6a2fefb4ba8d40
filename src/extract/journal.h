// The cleanup journal: every object the run creates and every object of the user's that it
// sets aside, newest first. Draining it visits the entries in reverse order of recording, so
// every directory comes after what was made inside it, and a file that was set aside comes
// back after the package's file that took its place has gone.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

// What a file system object is, whatever its name: the volume's serial number and the
// object's index on that volume. A link has its own identity, not its target's.
struct FileIdentity {
    uint32_t volumeSerial;
    uint32_t indexHigh;
    uint32_t indexLow;
};

enum JournalEntryKind {
    JOURNAL_CREATED = 0,  // the run made the object at `path`
    JOURNAL_SET_ASIDE = 1,  // the user's object at `path` waits under `asidePath`
};

// Paths are UTF-16 on Windows. Below the working directory a path is relative to it
// ("lib\\a.txt", never beginning with a separator or a drive); elsewhere it is a full path.
struct JournalNode {
    uint32_t kind;          // a JournalEntryKind
    wchar_t* path;          // where the object was made, or where the user's object stood
    wchar_t* asidePath;     // JOURNAL_SET_ASIDE: its hidden name meanwhile; otherwise null
    FileIdentity identity;  // the object made, or the user's object set aside
    uint32_t attributes;    // JOURNAL_SET_ASIDE: the object's attributes before it was hidden
    JournalNode* older;     // the node pushed before this one, or null
};
// Path texts live in the node's own allocation, behind the record. Every entry carries the
// identity of its object: nothing is ever done to an object that is not the one recorded.

// True when `path` is a full path (a drive, or two leading backslashes: a share), not one
// relative to the working directory ("//x" and "\\x" are relative).
bool isFullPath(const wchar_t* path);

// The newest node, or null when the journal is empty.
typedef JournalNode* CleanupJournal;

typedef void (*JournalAction)(const JournalNode* entry);

// Records that the run created the object at `path`, which is `identity`. False when memory
// cannot be had; nothing is recorded then.
bool journalPushCreated(const wchar_t* path, const FileIdentity* identity, CleanupJournal* journal);
// Records that the user's object `identity` with `attributes`, which stood at `path`, has
// been (or is about to be) renamed to `asidePath`. False as above.
bool journalPushSetAside(const wchar_t* path, const wchar_t* asidePath, const FileIdentity* identity,
                         uint32_t attributes, CleanupJournal* journal);
// From now on calls `observer` with every entry as it is recorded, before the push returns;
// null stops that. (The backstop writes down what it needs to give the user's objects back.)
void journalObserve(JournalAction observer);
// Calls `action` with every entry from the newest to the oldest and frees each node. The
// action may look at the entry's older neighbours but must not change the journal.
void journalDrain(CleanupJournal* journal, JournalAction action);
// True when `entry` is a file the run made in the place of a user's object that was set aside
// right before it (the entry below it in the journal): the same path, compared as the file
// system compares names, since the user's object keeps its own name, case included.
bool replacesSetAside(const JournalNode* entry);
// True when an entry of kind JOURNAL_CREATED carries `identity`.
bool journalHoldsCreated(CleanupJournal journal, const FileIdentity* identity);
bool sameIdentity(const FileIdentity* a, const FileIdentity* b);

#ifdef _WIN32
#include <windows.h>

// Retries of a removal that fails because another process still holds the object (a
// scanner, a process that is just ending): REMOVAL_RETRY_STEPS pauses of REMOVAL_RETRY_PAUSE_MS.
const uint32_t REMOVAL_RETRY_PAUSE_MS = 50;
const uint32_t REMOVAL_RETRY_STEPS = 40;

// The directory that the drain's paths below the working directory are relative to: the
// working directory, reopened for its removal, or null while it is not held (those entries
// are then left alone).
void setRemovalRoot(HANDLE workDir);
// The drain's action. A created entry: removes the object at its path while it still is the
// recorded object, by handle, never following a link: a
// file is deleted, a link removed as a link, a directory removed when empty. A file stays
// when read-only, unless the user's object set aside for the same path waits right below it
// in the journal. A set-aside entry: renames the user's object back to its path unless
// something else stands there now, and gives it its attributes back. Missing objects are left
// alone; nothing is reported.
void deletePath(const JournalNode* entry);

// For a set-aside entry: true when the user's object stands at its path again, reached from
// its volume's root as the drain reaches it.
bool isBackAtItsPath(const JournalNode* entry);
// The action for a run that leaves its files in place: deletes the set-aside objects that
// the package's files have replaced; every other entry is only forgotten.
void dropSetAside(const JournalNode* entry);
// Opens the working directory `name` (`length` characters) below the held directory
// `parent` for its removal, only while it is a plain directory and `identity`.
// INVALID_HANDLE_VALUE otherwise.
HANDLE openWorkingTree(HANDLE parent, const WCHAR* name, size_t length, const FileIdentity* identity);
// Deletes everything below the directory `tree` (from openWorkingTree), bottom-up, read-only
// files included, each object reached relative to its parent's handle, and then the
// directory itself. Never descends into a link: a link is removed as a link.
void removeWorkingTree(HANDLE tree);
// The same for a full path: the directory is touched only while it still is `identity`.
void removeWorkingTreeAt(const WCHAR* path, const FileIdentity* identity);
#endif
