// Writes every file of the package to its destination: the entry's directory and name,
// environment references expanded, placed under the working directory unless absolute.
// Every directory on the way is reached from a held directory, one name at a time relative
// to its parent's handle, never through a link the run's user could have made; every file is
// created new and written through the handle that created it. Every directory created and
// every destination file is recorded in the cleanup journal with its identity before a byte
// is written, and a file of the user's that stands at an absolute destination is set aside
// first, so that the drain can remove exactly what the run made and give back what it
// replaced.
#pragma once

#include <stdint.h>
#include <windows.h>

#include "extract/journal.h"
#include "extract/stream_prefetch.h"
#include "package/package_reader.h"

// A destination path holds at most 519 characters and its terminator at every stage.
const uint32_t DEST_PATH_SIZE = 520;
// Attempts at a fresh hidden name for a file set aside.
const uint32_t SET_ASIDE_ATTEMPTS = 8;

// Where and how a package is extracted.
struct ExtractionTarget {
    HANDLE workDir;     // the held working directory: the root of every relative destination
    UINT codePage;      // of the package's names and directories: CP_ACP, or CP_UTF8
    bool elevated;      // a full path reached through a variable must be a local fixed drive
};

// The package's text (`length` bytes) in UTF-16, converted from `codePage`; the one place
// where the package's bytes become names. False when it does not fit `capacity` characters
// with its terminator, or is not valid in a code page that can tell (UTF-8).
bool packageText(const char* text, size_t length, UINT codePage, WCHAR* wide, size_t capacity);

// True when every entry's name and directory and the command (null: none) are valid in
// `codePage` (only UTF-8 can be invalid), and no two entries land on one file on Windows: no
// destination (as the extraction composes it, environment references expanded) is, by the file
// system's comparison of names, another entry's file or a directory on another entry's way.
// Entries whose destination cannot be composed are left to the extraction, which fails at
// them. Checked before anything is made for the run; false also when memory for the check
// cannot be had.
bool packageTextsAreValid(const uint8_t* package, uint32_t size, const char* command, UINT codePage);

// True when `path` (a full path) lies on a local fixed drive: "X:\" of a fixed disk. UNC
// paths, device paths and removable, network or unknown drives are not.
bool isLocalFixedPath(const WCHAR* path);

// True when the files of the package fit the free space of the volumes they go to: the
// working directory's (`target->workDir`, or any directory on its volume) for relative
// destinations, and for each full one (as written or through a variable) the volume of the
// deepest directory on its way that exists. Each file counts its unpacked size in whole
// allocation units. Asks only: creates nothing. Destinations the extraction refuses, and
// volumes that cannot tell their free space, are not counted.
bool packageFitsItsVolumes(const uint8_t* package, uint32_t size, const ExtractionTarget* target);

// The extraction pass: every entry in package order; stops at the first that fails. True
// when every entry was extracted and the entries end exactly at the end of the package.
// `prefetch` is the look-ahead begun over this package (prefetchBegin), perhaps already
// decoding; the pass ends it, so that its memory is back before the command runs.
bool extractPackage(const uint8_t* package, uint32_t size, const ExtractionTarget* target,
                    CleanupJournal* journal, StreamPrefetch* prefetch);

// Extracts one entry. False when its method has no unpack operation; its destination breaks
// the destination rule (as composed, or as expanded) or does not fit DEST_PATH_SIZE
// (composed or expanded); its text is not valid in the package's code page; a directory on
// its way is a link the run may not follow, or not a directory, or cannot be created;
// something other than a file this run made stands at a destination below the working
// directory; a directory stands at an absolute destination, or the object there cannot be
// set aside; or the unpack operation writes another number of bytes than the unpacked size.
bool extractEntry(const FileEntry* entry, const ExtractionTarget* target, CleanupJournal* journal);
