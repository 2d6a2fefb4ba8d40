// The clean-up backstop. While a run's files are in its working directory, a RunOnce value
// named after the directory starts a remover at the next logon with the reserved argument,
// so that a run that was killed (the task manager, a power cut, a logoff) leaves nothing
// behind for long. The remover is a copy of the running engine without its resources in a
// private directory of its own; it removes the directory tree, never following a link, and
// gives back the user's files that the run had set aside at absolute destinations. Those are
// recorded, as they are set aside, in a key of the same hive: only the principal whose rights
// the run had can write there, so the list a later elevated process acts on cannot have been
// planted. An executable that carries a package never acts on the reserved argument.
#pragma once

#include <stdint.h>
#include <windows.h>

#include "extract/entry_extraction.h"
#include "extract/journal.h"
#include "launcher/working_directory.h"

// The reserved argument: the engine's only argument that is never a package's, and never
// forwarded to a command. Followed by one space and the directory's full path in quotes.
#define BACKSTOP_ARGUMENT "/runpack-remove"
// Where the value goes, in HKEY_LOCAL_MACHINE for a run with the Administrators group,
// HKEY_CURRENT_USER otherwise; the 64-bit view on 64-bit Windows.
#define RUN_ONCE_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"
// In the same hive, one key per working directory below SET_ASIDE_KEY holds its set-aside
// records; the keys above it go again when they are empty.
#define RUNPACK_KEY "Software\\runpack"
#define SET_ASIDE_KEY RUNPACK_KEY "\\SetAside"
// The exit code of a backstop call that names anything but a working directory.
const uint32_t BACKSTOP_REFUSED = ERROR_INVALID_PARAMETER;
// More records than this in one key are not read: no run sets aside so many files.
const uint32_t SET_ASIDE_RECORD_LIMIT = 65536;

// One journal entry that the backstop needs: the user's object set aside, or the package's
// file that took its place. Stored as a REG_BINARY value named by its decimal index, from 0
// in the order the entries were recorded. Texts end with a NUL inside their arrays.
struct SetAsideRecord {
    uint32_t kind;  // JOURNAL_SET_ASIDE or JOURNAL_CREATED
    uint32_t attributes;
    FileIdentity identity;
    WCHAR path[DEST_PATH_SIZE];
    WCHAR asidePath[DEST_PATH_SIZE];  // "" for JOURNAL_CREATED
};

// The value starts not the engine where the user started it (a folder the user can write,
// where a file of the user's could stand by the next logon, and an executable that refuses
// the argument) but a copy of the running engine without its resources, under this name in a
// private directory (SYSTEM and Administrators for an elevated run, SYSTEM and the user
// otherwise) made for it below the Windows directory's Temp.
#define REMOVER_NAME "runpack-remover.exe"

struct Backstop {
    HKEY hive;  // null when no value is registered
    char name[WORKING_NAME_LENGTH + 1];
    uint32_t recordCount;
    // The remover's directory, held while the run lasts; handle INVALID_HANDLE_VALUE and path
    // empty when the run has none (an unelevated run).
    WorkingDirectory remover;
};

// Registers the backstop of the working directory `workDir` (the full path of the held
// directory, ending in its name) in the hive that `administrators` selects, and from then on
// records every set-aside entry pushed to a journal. The value starts the remover:
// `"REMOVER" /runpack-remove "WORKDIR"`, and for an elevated run the run's user's SID after
// it. The remover is written from the engine's own file only once that file is known to be
// the image this process runs (it cannot change while the image is mapped), and never holds
// the package. False, with nothing registered or left, when the engine's own file, the
// remover, the key or the value cannot be had: the run goes on without a backstop.
bool registerBackstop(const WCHAR* workDir, bool administrators, Backstop* backstop);

// Stops the recording and deletes the records; deletes the value and the remover too unless
// `keepValue` (the clean-up left the tree behind, and the next logon is to finish it).
void withdrawBackstop(Backstop* backstop, bool keepValue);

// True when `path` leads to the plain directory `identity` (not a link, not another object
// put in its place): only the run's own directory keeps a value.
bool isSameDirectory(const WCHAR* path, const FileIdentity* identity);

// Writes the running engine's image without its resources to the new file `target`: the
// engine's file is opened without write or delete sharing and used only when it is the file
// this process's image is mapped from. False when it is not, or anything fails.
bool writeRemover(const WCHAR* target);

// True when the first of `arguments` (the engine's own, split from its Unicode command line
// as forwarding splits it) is the reserved argument in any spelling: any case, quoted or not
// (firstArgumentIs). The process is then a backstop call, whatever follows.
bool isBackstopCall(const WCHAR* arguments);

// The backstop call, for `arguments` that isBackstopCall accepted. Only a remover acts on
// it: any other image (one that carries a package) returns BACKSTOP_REFUSED having read and
// written nothing. The call must be exactly the argument in lower case, one space and the
// path in quotes, optionally followed by one space and the SID of the run's user; the path
// must be a drive's full path of plain names that ends in a working directory's name
// ("QELTMP" and 16 hex digits). With a SID that is not the caller's (another administrator
// logged on first), nothing is removed: the value, which the logon consumed, is written back
// for the next logon, where the caller can and no value of its name is there, composed from
// the remover's own path, the path and the SID (a SID as the system writes one), and the
// result is BACKSTOP_REFUSED. Otherwise the path must be the temporary directory, as the
// final path of its handle gives it (UTF-16, links and short names resolved), followed by the
// name, which must name a plain directory or nothing; otherwise nothing is touched and the
// result is BACKSTOP_REFUSED. The set-aside records are played back as the run's drain would,
// then the tree is removed below the held temporary directory (a missing one is not an
// error), the value and the records are deleted, the remover and its directory are marked
// for removal at the next restart, and the result is 0. Shows nothing.
uint32_t runBackstop(const WCHAR* arguments);
