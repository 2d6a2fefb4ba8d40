// What a package may name as a file's destination. The engine joins directory and name with
// a backslash and, for a relative result, puts its working directory (up to 260 characters)
// and a separator in front, all in 520-byte buffers: the checks here make sure every
// destination fits and that Windows can create every part of it.
#pragma once

#include <stdint.h>

#include <string>

// Room for a destination path in the engine, and the longest working directory it makes.
const uint32_t DEST_PATH_SIZE = 520;
const uint32_t MAX_WORK_DIR_LENGTH = 260;

// Kinds of destination directory: under the working directory, a drive or UNC path, or one
// that starts with an environment variable reference (expanded on the target machine).
enum class DestinationKind { Relative, Absolute, Variable };

// True when Windows can hold `component` as a file or directory name: not empty, not "." or
// "..", no control characters or <>:"/\|?*, no trailing dot or space, no device name.
bool checkComponent(const std::string& component, std::string* error);

// Normalises a destination directory: "/" and "\" both separate, empty parts vanish, and the
// result joins the parts with "\". A drive ("C:\...") or UNC ("\\server\share\...") root, or
// a leading "%VAR%" reference, is accepted only with `allowRooted`; `kind` tells which.
bool normalizeDirectory(const std::string& directory, bool allowRooted, std::string* normalized,
                        DestinationKind* kind, std::string* error);

// Normalises a file name that may carry further relative path parts.
bool normalizeName(const std::string& name, std::string* normalized, std::string* error);

// Checks the length of the joined destination (bytes in the target code page).
bool checkDestinationLength(const std::string& directory, const std::string& name, DestinationKind kind,
                            std::string* error);

// True when the engine would treat `path` as absolute: two leading backslashes, or a colon
// as its second character.
bool isAbsoluteDestination(const std::string& path);
