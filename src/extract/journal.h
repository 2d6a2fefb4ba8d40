// The cleanup journal: every path the run creates, newest first. Draining it visits the
// paths in reverse order of creation, so every directory comes after what was made inside it.
#pragma once

struct JournalNode {
    char* path;          // owned heap copy
    JournalNode* older;  // the node pushed before this one, or null
};

// The newest node, or null when the journal is empty.
typedef JournalNode* CleanupJournal;

typedef void (*JournalAction)(const char* path);

// Records a copy of `path` as the newest entry. False when memory cannot be had; nothing is
// recorded then.
bool journalPush(const char* path, CleanupJournal* journal);
// Calls `action` with every path from the newest to the oldest and frees each node.
void journalDrain(CleanupJournal* journal, JournalAction action);

#ifdef _WIN32
// Removes an empty directory or deletes a file; a missing path is left alone.
void deletePath(const char* path);
// Deletes the working directory and everything below it through the shell. `workDir` must
// be followed in memory by a second NUL.
void removeWorkingTree(const char* workDir);
#endif
