// Where `runpack extract` puts an entry below its target directory DIR. Every destination goes
// through the one function here: the engine's destination rule first, then a mapping to plain
// names, one per directory level, so that the path below DIR is nothing but those names.
#pragma once

#include <string>
#include <vector>

// What the destination is relative to on the user's machine.
enum class PlacementKind {
    WorkingDirectory,  // relative: under the engine's working directory, so directly under DIR
    Drive,             // "X:\..." goes to _absolute/X/...
    Share,             // "\\server\share\..." goes to _absolute/UNC/server/share/...
    Variable,          // holds a %VAR% reference: _absolute/ followed by its parts as written
};

struct Placement {
    PlacementKind kind = PlacementKind::WorkingDirectory;
    std::vector<std::string> parts;  // below DIR; the last one is the file's name
    bool directoryOnly = false;      // the destination ends in a separator: no file, directories only
};

// The folder below DIR that holds destinations outside the working directory.
extern const char ABSOLUTE_FOLDER[];  // "_absolute"

// Maps `destination`, as the engine composes it (directory, "\", name; bytes of the package's
// code page), to parts below DIR. False with a reason when the engine's destination rule
// refuses it or it names nothing. On success every part passes isPlainPart, and the drive
// letter is upper case (c: and C: are one drive).
bool placeDestination(const std::string& destination, Placement* placement, std::string* error);

// True when `part` is one name that stays in the directory it is created in: not empty, not
// "." or "..", without "/", "\" or NUL.
bool isPlainPart(const std::string& part);
