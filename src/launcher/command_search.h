// Which program the packaged command starts. The command line names it the way CreateProcess
// reads a command line; the engine then looks for it itself, in a fixed order that never
// includes the engine's own folder (usually a downloads folder, where anyone may have left a
// program of the same name), and starts it by its full path.
#pragma once

#include <stddef.h>
#include <windows.h>

// Room for a program's full path and its terminator.
const size_t PROGRAM_PATH_SIZE = MAX_PATH + 1;
// Where the machine-wide environment is kept, in HKEY_LOCAL_MACHINE; its PATH is the value
// "Path".
#define MACHINE_ENVIRONMENT_KEY L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment"
// The one reference of the machine's PATH that is expanded: the system's Windows directory.
#define SYSTEM_ROOT_REFERENCE L"%SystemRoot%"
// Added to a program name whose file-name part has no extension.
#define PROGRAM_DEFAULT_EXTENSION L".exe"

// Copies the program name at the start of `commandLine` into `name` (`capacity` characters):
// after any leading blanks, a quoted name up to its closing quote (or the end), otherwise
// everything up to the first space or tab; ".exe" is appended when the part after the last
// separator has no dot. False when the name is empty or does not fit.
bool programName(const WCHAR* commandLine, WCHAR* name, size_t capacity);

// Finds the program that `commandLine` names and writes its full path into `path`
// (PROGRAM_PATH_SIZE characters). A name with a path (a drive, a leading or inner separator) is
// taken as it stands, relative ones below `workDir`, and looked for nowhere else. A bare
// name is looked for in `workDir`, the system directory, the system's Windows directory (never
// a terminal session's private one) and then each absolute entry of PATH, in this order; empty
// and relative entries are skipped, as they would name whatever directory happens to be
// current. Unelevated, PATH is the process's own. `elevated`, it is the machine's as the
// registry keeps it (MACHINE_ENVIRONMENT_KEY), never the user's or the caller's: a folder
// that only the user's PATH names is the user's to write, and what an elevated run starts
// from there would run with the administrator's rights. Of its references only the system
// root's is expanded, to the system's Windows directory; an entry with any other is skipped.
// Only a file counts, not a directory. False, with the last error ERROR_FILE_NOT_FOUND, when
// it is found nowhere.
bool findProgram(const WCHAR* commandLine, const WCHAR* workDir, bool elevated, WCHAR* path);

// Whether the program at `path` (a full path, as findProgram gives it) is started through a
// command interpreter or is one (isCommandInterpreter), by the name as found and by its long
// name: a short name's extension ("SETUP~1.CMD") may stand for a longer one, and the other way.
bool startsCommandInterpreter(const WCHAR* path);
