// Which destination paths a package may name. One rule for the whole project: the engine
// refuses an entry whose destination breaks it, and the runpack tool refuses to build such an
// entry, marks it when listing and fails it when verifying, so that the two never disagree.
#pragma once

#include <stdint.h>

// Why a destination is refused; DESTINATION_OK when it is not.
enum DestinationVerdict {
    DESTINATION_OK = 0,
    DESTINATION_DOT_DOT,           // a ".." part climbs out of the directory it names
    DESTINATION_DRIVE_RELATIVE,    // "C:name": relative to the drive's current directory
    DESTINATION_BAD_ROOT,          // a colon in second place without a letter A-Z before it
    DESTINATION_COLON,             // a colon after the root: an alternate data stream
    DESTINATION_DEVICE_NAME,       // CON, PRN, AUX, NUL, COM0-9, LPT0-9 (and superscripts 1-3), CONIN$, CONOUT$
    DESTINATION_TRAILING_DOT_OR_SPACE,  // Windows drops it, so the part names another file
    DESTINATION_DEVICE_NAMESPACE,  // "\\.\..." or "\\?\...": the device namespace, not a share
    DESTINATION_CONTROL_CHARACTER, // a byte below 0x20 or 0x7F: no name holds one, and a terminal acts on it
};

// Checks a destination path as the engine composes it: the entry's directory, a backslash and
// its name, or the name alone when there is no directory; also the same path after its
// environment references were expanded. "\" and "/" both separate parts. Allowed roots, at
// the very start only: a drive "X:\" (X in A-Z, a-z), a share "\\server\share", or a "%VAR%"
// reference. Empty parts (doubled separators) pass, as does a "%" anywhere. `length` bytes are
// examined; the text need not be terminated.
DestinationVerdict checkDestination(const char* path, uint32_t length);

// A short English description of a refusal, for the tool's messages.
const char* describeDestinationVerdict(DestinationVerdict verdict);
