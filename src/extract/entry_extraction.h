// Writes every file of the package to its destination: the entry's directory and name,
// environment references expanded, placed under the working directory unless absolute.
// Every directory created and every destination file is recorded in the cleanup journal
// with its identity before a byte is written, and a file of the user's that stands at an
// absolute destination is set aside first, so that the drain can remove exactly what the
// run made and give back what it replaced.
#pragma once

#include <stdint.h>

#include "extract/journal.h"
#include "package/package_reader.h"

// A destination path holds at most 519 characters and its terminator at every stage.
const uint32_t DEST_PATH_SIZE = 520;
// Attempts at a fresh hidden name for a file set aside.
const uint32_t SET_ASIDE_ATTEMPTS = 8;

// The extraction pass: every entry in package order; stops at the first that fails. True
// when every entry was extracted and the entries end exactly at the end of the package.
bool extractPackage(const uint8_t* package, uint32_t size, const char* workDir,
                    CleanupJournal* journal);

// Extracts one entry. False when its method has no unpack operation; its destination breaks
// the destination rule (as composed, or as expanded) or does not fit DEST_PATH_SIZE
// (composed, expanded or placed); a directory on its way below the working directory is a
// link or not a directory, or a directory cannot be created; something other than a file
// this run made stands at a destination below the working directory; a directory stands at
// an absolute destination, or the object there cannot be set aside; or the unpack operation
// writes another number of bytes than the unpacked size into the file created for it.
// Below the working directory every file is created new: nothing that was there is opened.
bool extractEntry(const FileEntry* entry, const char* workDir, CleanupJournal* journal);

// Creates, top-down, every missing directory that `path` names before its last separator
// ("/" counts as one here) and records each with its identity. Directories that exist are
// taken as they are. False when a directory cannot be created, or the one just created is
// no longer a plain directory when it is opened.
bool createMissingDirectories(const char* path, CleanupJournal* journal);

// Searches backward from `from` for `ch` within one NUL-terminated text, never below
// `lowerBound`. Null when `from` is null or nothing is found; `from` itself when it already
// lies below `lowerBound`.
char* findCharBackward(char* lowerBound, char* from, char ch);
