// The run's private working directory: a new directory under the temporary path whose name
// no other process can predict, whose access list admits only the run's own principals and
// inherits nothing from the temporary directory, and which stays open for the whole run, so
// that nobody can rename, remove or replace it while files are extracted and run from it.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

// The temporary path holds at most this many characters and a terminator.
const DWORD TEMP_PATH_LENGTH = 260;
// The working directory's full path holds at most this many characters: the longest that a
// process's current directory can be (its text with a final separator within MAX_PATH).
const size_t WORK_DIR_PATH_LIMIT = 258;
// The working directory buffer, zero-filled before the path goes in.
const size_t WORK_DIR_BUFFER_SIZE = WORK_DIR_PATH_LIMIT + 2;
// A working directory's name: this prefix and two hex digits for each random byte.
#define WORKING_DIRECTORY_PREFIX "QELTMP"
const size_t WORKING_NAME_RANDOM_BYTES = 8;
const size_t WORKING_NAME_LENGTH = sizeof(WORKING_DIRECTORY_PREFIX) - 1 + 2 * WORKING_NAME_RANDOM_BYTES;
// Names drawn before the run gives up, when each one drawn already exists.
const int WORKING_NAME_ATTEMPTS = 16;

// What names a directory for as long as it exists, whatever path leads to it: the serial
// number of its volume and its index on that volume.
struct DirectoryIdentity {
    DWORD volumeSerial;
    DWORD indexHigh;
    DWORD indexLow;
};

struct WorkingDirectory {
    WCHAR path[WORK_DIR_BUFFER_SIZE];  // zero-filled, then the full path
    WCHAR name[WORKING_NAME_LENGTH + 1];
    // The temporary directory, held (sharing everything) from its opening to the end of the
    // clean-up: the working directory is made, and later reopened for its removal, relative
    // to it, never through the temporary path's text again.
    HANDLE parent;                    // INVALID_HANDLE_VALUE when not held
    // Held for the run: read access without delete sharing (nobody may rename or remove
    // it), and no delete access (a started command's current directory is opened without
    // delete sharing).
    HANDLE handle;                    // INVALID_HANDLE_VALUE when not held
    DirectoryIdentity identity;       // from the held handle
};

// The room an access list of two entries with the largest SIDs needs.
const DWORD PRIVATE_ACL_SIZE =
    sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + SECURITY_MAX_SID_SIZE);

// A security descriptor with a protected access list (nothing inherited from the parent):
// full control, passed on to every file and directory created below, for SYSTEM and one
// principal, which is also the owner. The descriptor points into the record: it must not be
// copied.
struct PrivateSecurity {
    SECURITY_DESCRIPTOR descriptor;
    DWORD system[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
    DWORD principal[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
    DWORD acl[(PRIVATE_ACL_SIZE + sizeof(DWORD) - 1) / sizeof(DWORD)];
};

enum WorkingDirectoryStatus {
    WORKING_DIRECTORY_CREATED,
    WORKING_DIRECTORY_NO_NAME,      // no temporary directory, path too long, not a local fixed
                                    // drive in an elevated run, no random name
    WORKING_DIRECTORY_NOT_CREATED,  // the directory itself could not be made or held
};

// True when the Administrators group is enabled in the process's token: an elevated run of
// an administrator. Only then can a directory that admits Administrators serve this process.
bool processHasAdministrators();

// Copies the SID of the user of the process's token into `sid` (SECURITY_MAX_SID_SIZE bytes).
// False with the last error set when the token cannot be read.
bool tokenUserSid(DWORD* sid);

// Builds the working directory's descriptor: SYSTEM and Administrators when `administrators`,
// SYSTEM and the user of the process's token otherwise. False with the last error set when a
// SID, the token or the access list cannot be had.
bool buildPrivateSecurity(bool administrators, PrivateSecurity* security);

// Creates the directory `name` below the open directory `parent` with `security`, new only:
// when anything of that name exists, even a link, it fails with ERROR_ALREADY_EXISTS and
// opens nothing. On success `directory` is the held handle described above.
bool createPrivateDirectory(HANDLE parent, const char* name, PrivateSecurity* security,
                            HANDLE* directory);

// The full path of the held directory `directory`, links and short names resolved, in the
// form a current directory takes ("X:\..." or "\\server\share\...") and in UTF-16, into
// `path` (WORK_DIR_BUFFER_SIZE characters); false when it cannot be had or is longer than
// WORK_DIR_PATH_LIMIT.
bool finalDirectoryPath(HANDLE directory, WCHAR* path);

// Creates a working directory with a fresh random name in `tempPath` (drawing a new name,
// up to WORKING_NAME_ATTEMPTS times, only while the one drawn exists), holds it and the
// temporary directory open and takes its identity. The path is the one the held directory
// has (links on the way resolved) and may be at most WORK_DIR_PATH_LIMIT characters. With
// `administrators` (an elevated run) the temporary directory must be on a local fixed
// drive. On failure nothing is held and the last error says why.
WorkingDirectoryStatus createWorkingDirectory(const WCHAR* tempPath, bool administrators,
                                              WorkingDirectory* work);

// Lets the user of the process's token, as well as SYSTEM and Administrators, read, change and
// remove the directory and everything in it: what an elevated run leaves there, when its
// clean-up keeps what the command made, is then the user's to use and remove. Goes through
// the held handle: false when it is no longer held or the access list could not be set.
bool shareWithUser(const WorkingDirectory* work);

// Closes the held handle, so that the directory can be removed; the temporary directory
// stays held.
void releaseWorkingDirectory(WorkingDirectory* work);
// Closes the temporary directory's handle too.
void releaseTemporaryDirectory(WorkingDirectory* work);
