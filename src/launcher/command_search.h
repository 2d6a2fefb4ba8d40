// Which program the packaged command starts. The command line names it the way CreateProcess
// reads a command line; the engine then looks for it itself, in a fixed order that never
// includes the engine's own folder (usually a downloads folder, where anyone may have left a
// program of the same name), and starts it by its full path.
#pragma once

#include <stddef.h>
#include <windows.h>

// Room for a program's full path and its terminator.
const size_t PROGRAM_PATH_SIZE = MAX_PATH + 1;
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
// name is looked for in `workDir`, the system directory, the Windows directory and then each
// absolute entry of PATH, in this order; empty and relative entries are skipped, as they
// would name whatever directory happens to be current. Only a file counts, not a directory.
// False, with the last error ERROR_FILE_NOT_FOUND, when it is found nowhere.
bool findProgram(const WCHAR* commandLine, const WCHAR* workDir, WCHAR* path);

// Whether the program at `path` (a full path, as findProgram gives it) is started through a
// command interpreter or is one (isCommandInterpreter), by the name as found and by its long
// name: a short name's extension ("SETUP~1.CMD") may stand for a longer one, and the other way.
bool startsCommandInterpreter(const WCHAR* path);
