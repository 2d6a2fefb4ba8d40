// One run at a time per package that writes outside its working directory. Two runs of the
// same package would otherwise both set aside and put back the same user's files, and the
// second would take the first one's file for the user's. A machine-wide named mutex, named
// after the package's digest, is held from before the first file is set aside until the last
// one is back.
#pragma once

#include <stdint.h>
#include <windows.h>

// How long a run waits for another run of the same package before it gives up.
const DWORD DESTINATION_LOCK_WAIT_MS = 300000;
// "Global\runpack-" and the digest's 40 hex digits.
#define DESTINATION_LOCK_PREFIX "Global\\runpack-"

// Whether an entry of the package places a file outside the working directory: a directory
// (or name) that is absolute (two leading separators, or a colon as its second character) or
// holds a %VAR% reference, which may expand to one. The package must have been validated.
bool packageHasSharedDestinations(const uint8_t* package, uint32_t size);

enum DestinationLockStatus {
    DESTINATION_LOCK_HELD,
    DESTINATION_LOCK_TIMED_OUT,  // another run held it for all of `timeoutMs`
    DESTINATION_LOCK_FAILED,     // the mutex could not be had; the last error says why
};

// Takes the lock of the package whose SHA-1 is `digest`, waiting up to `timeoutMs`; while it
// waits, the waiting window `progress` (when not null) is served. A lock that a killed run
// left behind is taken over. `*lock` is the held mutex, or null.
DestinationLockStatus takeDestinationLock(const uint8_t* digest, DWORD timeoutMs, HWND progress, HANDLE* lock);

// Lets go of a held lock; nothing when `*lock` is null.
void releaseDestinationLock(HANDLE* lock);
