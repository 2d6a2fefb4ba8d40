// What `runpack build` lets a package name as a file's destination. The engine joins directory
// and name with a backslash and, for a relative result, puts its working directory (up to 260
// characters) and a separator in front, all in 520-byte buffers: the checks here make sure
// every destination fits and that Windows can create every part of it. What the engine itself
// refuses is decided by the shared rule (extract/destination_rule.h); these checks are
// stricter and call it for the parts they share.
#pragma once

#include <stdint.h>

#include <string>

// Room for a destination path in the engine, and the longest working directory it makes.
const uint32_t DEST_PATH_SIZE = 520;
const uint32_t MAX_WORK_DIR_LENGTH = 260;

// Kinds of destination directory: under the working directory, a drive or UNC path, or one
// that starts with an environment variable reference (expanded on the target machine).
enum class DestinationKind { Relative, Absolute, Variable };

// True when Windows can hold `component` as a file or directory name: not empty, no control
// or invisible characters or <>:"/\|?*, and nothing the engine's destination rule refuses ("." and "..",
// a trailing dot or space, a device name). Stricter than that rule, which lets through what
// Windows merely fails to create.
bool checkComponent(const std::string& component, std::string* error);

// The engine's destination rule on the destination it composes from a normalised directory
// (empty for none) and name, both in the target code page. Everything `build` packs passes it.
bool checkComposedDestination(const std::string& directory, const std::string& name, std::string* error);

// Normalises a destination directory: "/" and "\" both separate, empty parts vanish, and the
// result joins the parts with "\". A drive ("C:\...") or UNC ("\\server\share\...") root, or
// a leading "%VAR%" reference, is accepted only with `allowRooted`; `kind` tells which.
bool normalizeDirectory(const std::string& directory, bool allowRooted, std::string* normalized,
                        DestinationKind* kind, std::string* error);

// Normalises a file name that may carry further relative path parts ("/" and "\" both
// separate). A drive or UNC root is refused as not relative.
bool normalizeName(const std::string& name, std::string* normalized, std::string* error);

// Splits a path found below a directory input ("/" between its parts, as the file system
// gives them) into a destination directory ("\" between parts, empty for none) and a name.
// Each part is one name on disk, and must be one name on Windows too: a "\" or ":" inside
// it is refused as a character, never read as a separator or a drive.
bool normalizeFoundPath(const std::string& relative, std::string* directory, std::string* name, std::string* error);

// Checks the length of the joined destination (bytes in the target code page).
bool checkDestinationLength(const std::string& directory, const std::string& name, DestinationKind kind,
                            std::string* error);

// The length of a usual working directory with its separator: "C:\Users\" and a user name of
// some 16 characters, "\AppData\Local\Temp\", the engine's "QEL....tmp" and a "\".
const uint32_t TYPICAL_WORK_DIR_LENGTH = 60;
// The longest path many Windows programs can open: 260 characters with the terminating NUL.
const uint32_t LONG_PATH_LIMIT = 259;

// How long the destination `composed` (directory, "\", name) will typically be on the user's
// machine: relative and "%VAR%..." destinations with a working directory (or a variable's
// value) of TYPICAL_WORK_DIR_LENGTH in place of the reference, absolute ones as they are.
uint64_t typicalDestinationLength(const std::string& composed);

// "" when `composed` typically stays within LONG_PATH_LIMIT; else a warning that names it as
// `shown` and gives the typical length. The engine extracts such a file, but many programs
// (an installer's own among them) cannot open it afterwards.
std::string longPathWarning(const std::string& composed, const std::string& shown);

// True when the engine would treat `path` as absolute: two leading backslashes, or a colon
// as its second character.
bool isAbsoluteDestination(const std::string& path);
