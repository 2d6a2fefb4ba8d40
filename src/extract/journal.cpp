#include "extract/journal.h"

#include <stdlib.h>
#include <string.h>

bool journalPush(const char* path, CleanupJournal* journal) {
    JournalNode* node = static_cast<JournalNode*>(malloc(sizeof(JournalNode)));
    if (node == NULL) return false;
    size_t length = strlen(path) + 1;
    node->path = static_cast<char*>(malloc(length));
    if (node->path == NULL) {
        free(node);
        return false;
    }
    memcpy(node->path, path, length);
    node->older = *journal;
    *journal = node;
    return true;
}

void journalDrain(CleanupJournal* journal, JournalAction action) {
    while (*journal != NULL) {
        JournalNode* newest = *journal;
        action(newest->path);
        *journal = newest->older;
        free(newest->path);
        free(newest);
    }
}
