// Files and directories reached by handle, never through a link: opening the object a name
// stands for (a link itself, not its target), reading what it is, and deleting, renaming and
// re-marking it through that handle, so that no name can be swapped between a check and a
// change. Below a directory the run holds, every object is reached by its name relative to
// that directory's handle, never by a full path. Windows only; paths are wide.
#pragma once

#include <stdint.h>
#include <windows.h>

#include "extract/journal.h"
#include "extract/volume_space.h"

// Full paths hold at most this many characters and a terminator.
const uint32_t WIDE_PATH_SIZE = 520;

// The attributes that a handle can set; the rest (directory, reparse point, ...) are facts.
const DWORD SETTABLE_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// What an open handle says about its object.
struct ObjectFacts {
    FileIdentity identity;
    DWORD attributes;
};

// Opens the object that `path` names itself, a link included, never its target, with
// `access` and `share`; directories too. INVALID_HANDLE_VALUE with the last error on failure.
HANDLE openObject(const WCHAR* path, DWORD access, DWORD share);
// Reads identity and attributes; false when the handle cannot tell. The volume's serial number
// can cost a round trip to another process (under Wine): where the identity is not needed,
// readAttributes is the cheap call.
bool readObject(HANDLE object, ObjectFacts* facts);
// Reads the attributes only; the identity is left as it was.
bool readAttributes(HANDLE object, ObjectFacts* facts);
// True when the name lists as a link while the handle opened on it does not hold a link: the
// platform followed the link to its target, so the handle must not be used to change
// anything. (Wine opens the target of a Unix symbolic link whatever the flags say.)
bool handleFollowedLink(const WCHAR* path, const ObjectFacts* facts);
inline bool isLink(const ObjectFacts* facts) {
    return (facts->attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
inline bool isPlainDirectory(const ObjectFacts* facts) {
    return (facts->attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
           FILE_ATTRIBUTE_DIRECTORY;
}

// Marks the object for deletion when its last handle closes (needs DELETE access); a
// directory must be empty. False with the last error.
bool deleteByHandle(HANDLE object);
// Sets the settable attributes to exactly `attributes` (needs FILE_WRITE_ATTRIBUTES).
bool setAttributesByHandle(HANDLE object, DWORD attributes);

// How an object is opened below a held directory.
enum BelowDisposition {
    BELOW_OPEN,              // an existing object
    BELOW_CREATE_FILE,       // a new file; fails when anything of the name exists
    BELOW_CREATE_DIRECTORY,  // a new directory; likewise
    BELOW_FOLLOW,            // an existing object, a link followed to its target
};

// Opens or creates the object `name` (`length` characters, one name without separators)
// relative to the directory `root`, with `access` and `share`. Unless BELOW_FOLLOW asks for
// it (the caller has checked the link), a link is never followed: with
// `allowLink` the link itself is opened, otherwise a link fails with ERROR_CANT_ACCESS_FILE
// (and so does a name that lists as a link while the handle holds something else). A created
// object gets `security` (null: inherited). INVALID_HANDLE_VALUE with the last error on
// failure; ERROR_ALREADY_EXISTS when a create finds the name taken.
HANDLE openBelow(HANDLE root, const WCHAR* name, size_t length, DWORD access, DWORD share,
                 BelowDisposition disposition, bool allowLink, void* security = NULL);
// Gives `object` the name `name` in the directory `root` (same volume), never replacing what
// stands there. False with the last error.
bool renameBelow(HANDLE object, HANDLE root, const WCHAR* name, size_t length);
// Opens the root of the volume or share that the full path `path` names ("X:\\..." or
// "\\\\server\\share\\..."); `*rest` is then what follows the root's separator.
// INVALID_HANDLE_VALUE when there is no such root or it cannot be opened.
HANDLE openVolumeRoot(const WCHAR* path, const WCHAR** rest);
// Opens the existing directory `name` below `parent` on the way to a full path, for creating
// and opening names below it. A link there is followed only when the system owns it
// (SYSTEM, TrustedInstaller, Administrators: the system's own junctions); any other link
// fails with ERROR_CANT_ACCESS_FILE.
HANDLE openDirectoryOnTheWay(HANDLE parent, const WCHAR* name, size_t length);
// Opens the directory that holds the object at the full path `path`, walking from its volume's
// root as openDirectoryOnTheWay does; `*name` points at the object's name in `path`.
// INVALID_HANDLE_VALUE on failure.
HANDLE openParentOnTheWay(const WCHAR* path, const WCHAR** name);
// What the volume that holds `object` has: its serial number, size and allocation unit, and
// the free bytes the process's user may write there (quotas counted), asked of the handle,
// never of a path. False when the file system cannot tell.
bool readVolumeFacts(HANDLE object, VolumeFacts* facts);
// Writes all `count` bytes through `file`; false when any is not written.
bool writeAll(void* file, const uint8_t* bytes, uint32_t count);
