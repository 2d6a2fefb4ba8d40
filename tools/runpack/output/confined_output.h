// Creating directories and files below one directory through handles only: every level is
// opened relative to the handle of the level above, never by a path, and no symbolic link,
// junction or other reparse point is followed or replaced, whatever appears while the tool
// works. On Linux that is openat/mkdirat with O_NOFOLLOW; on Windows NtCreateFile relative to
// the parent's handle with FILE_OPEN_REPARSE_POINT, an attribute check of every handle, and
// a check that the file's final path lies under the root's.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// What one run made below the root, oldest first, so that a run that fails midway can take
// back what it made and leave no cut file looking whole.
struct MadeOutput {
    std::vector<std::string> parts;
    bool directory = false;
    bool replaced = false;  // a file: --force replaced one that stood at its path
    bool whole = false;     // a file: all of it was written (markOutputWhole)
    // The identity of the object made: device and inode, or volume serial and file index.
    uint64_t volume = 0;
    uint64_t index = 0;
};
struct OutputRecord {
    std::vector<MadeOutput> made;
};

// The directory everything is created below. The root itself is the user's choice: a link
// in its own path is followed.
struct OutputRoot {
    std::string path;  // as given, for messages
#ifdef _WIN32
    void* handle = nullptr;
    std::wstring finalPath;  // the root's path as the system resolves it
#else
    int fd = -1;
#endif
    // Called after each directory on the way to a file has been opened or created, with the
    // parts up to it; the tests swap links in here.
    void (*afterDirectory)(void* state, const std::vector<std::string>& parts) = nullptr;
    void* hookState = nullptr;
    // When set, every directory and file created below the root is added to it.
    OutputRecord* record = nullptr;
};

// Opens `dir`, creating it (and missing parents) first when `create` is set. False with a
// message naming `dir` otherwise.
bool openOutputRoot(const std::string& dir, bool create, OutputRoot* root, std::string* error);
void closeOutputRoot(OutputRoot* root);

// True when something (a file, a directory, a link) is at `parts` below the root; looked up
// level by level without following links. When a level on the way is missing, or is not a
// directory, nothing is there (creating the file then says why).
bool outputExists(const OutputRoot& root, const std::vector<std::string>& parts);

// An open file created below the root.
struct OutputFile {
    std::string path;  // for messages
#ifdef _WIN32
    void* handle = nullptr;
#else
    int fd = -1;
#endif
};

// Creates the directories `parts` names, every level that is missing, below the root. False
// with a message when a level is a link or not a directory, or cannot be created.
bool createOutputDirectories(const OutputRoot& root, const std::vector<std::string>& parts, std::string* error);

// Creates the directories on the way, then the new file parts.back(). An existing file is
// replaced only with `force`, and never when it is a link; a directory is never replaced.
// Every part must be a plain name (extract_placement.h).
bool createOutputFile(const OutputRoot& root, const std::vector<std::string>& parts, bool force, OutputFile* file,
                      std::string* error);
bool writeOutputFile(OutputFile* file, const uint8_t* bytes, size_t count, std::string* error);
// Closes the file; false when the last writes could not be stored.
bool closeOutputFile(OutputFile* file, std::string* error);

// Marks the file created last as written in full.
void markOutputWhole(OutputRecord* record);
// Takes back, newest first, what `record` holds: every file made (but a whole one that
// replaced a file: what stood there is gone, and the new one is what the user asked for), and
// every directory made once it is empty. Only the very object made is removed, reached
// without following a link; a file or directory that was there before the run is never
// touched. Failures are silent: what cannot be removed stays.
void rollBackOutput(const OutputRoot& root, const OutputRecord& record);

// The path of `parts` below the root as the user would write it, for messages.
std::string outputPath(const OutputRoot& root, const std::vector<std::string>& parts);
