// Writes every file of the package to its destination: the entry's directory and name,
// environment references expanded, placed under the working directory unless absolute.
// Every directory created and every destination file is recorded in the cleanup journal
// before it is filled, so that whatever the run leaves behind can be removed again.
#pragma once

#include <stdint.h>

#include "extract/journal.h"
#include "package/package_reader.h"

// A destination path holds at most 519 characters and its terminator at every stage.
const uint32_t DEST_PATH_SIZE = 520;

// The extraction pass: every entry in package order; stops at the first that fails. True
// when every entry was extracted and the entries end exactly at the end of the package.
bool extractPackage(const uint8_t* package, uint32_t size, const char* workDir,
                    CleanupJournal* journal);

// Extracts one entry. False when its method has no unpack operation, its destination does
// not fit DEST_PATH_SIZE (composed, expanded or placed), a directory cannot be created, or
// the unpack operation writes another number of bytes than the unpacked size.
bool extractEntry(const FileEntry* entry, const char* workDir, CleanupJournal* journal);

// Creates, top-down, every missing directory that `path` names before its last separator
// ("/" counts as one here) and records each. False only when a directory cannot be created.
bool createMissingDirectories(const char* path, CleanupJournal* journal);

// Searches backward from `from` for `ch` within one NUL-terminated text, never below
// `lowerBound`. Null when `from` is null or nothing is found; `from` itself when it already
// lies below `lowerBound`.
char* findCharBackward(char* lowerBound, char* from, char ch);
