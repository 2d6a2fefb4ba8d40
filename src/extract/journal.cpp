#include "extract/journal.h"

#include <stdlib.h>
#include <string.h>

#include "package/same_name.h"

static JournalAction pushObserver = NULL;

// One allocation holds the node and its path texts.
static bool pushNode(uint32_t kind, const wchar_t* path, const wchar_t* asidePath,
                     const FileIdentity* identity, uint32_t attributes, CleanupJournal* journal) {
    size_t pathSize = wcslen(path) + 1;
    size_t asideSize = asidePath != NULL ? wcslen(asidePath) + 1 : 0;
    JournalNode* node =
        static_cast<JournalNode*>(malloc(sizeof(JournalNode) + (pathSize + asideSize) * sizeof(wchar_t)));
    if (node == NULL) return false;
    memset(node, 0, sizeof(JournalNode));
    node->kind = kind;
    node->path = reinterpret_cast<wchar_t*>(node + 1);
    memcpy(node->path, path, pathSize * sizeof(wchar_t));
    if (asidePath != NULL) {
        node->asidePath = node->path + pathSize;
        memcpy(node->asidePath, asidePath, asideSize * sizeof(wchar_t));
    }
    node->identity = *identity;
    node->attributes = attributes;
    node->older = *journal;
    *journal = node;
    if (pushObserver != NULL) pushObserver(node);
    return true;
}

void journalObserve(JournalAction observer) { pushObserver = observer; }

bool isFullPath(const wchar_t* path) {
    return (path[0] == L'\\' && path[1] == L'\\') || (path[0] != L'\0' && path[1] == L':');
}

bool journalPushCreated(const wchar_t* path, const FileIdentity* identity, CleanupJournal* journal) {
    return pushNode(JOURNAL_CREATED, path, NULL, identity, 0, journal);
}

bool journalPushSetAside(const wchar_t* path, const wchar_t* asidePath, const FileIdentity* identity,
                         uint32_t attributes, CleanupJournal* journal) {
    return pushNode(JOURNAL_SET_ASIDE, path, asidePath, identity, attributes, journal);
}

void journalDrain(CleanupJournal* journal, JournalAction action) {
    while (*journal != NULL) {
        JournalNode* newest = *journal;
        action(newest);
        *journal = newest->older;
        free(newest);
    }
}

bool sameIdentity(const FileIdentity* a, const FileIdentity* b) {
    return a->volumeSerial == b->volumeSerial && a->indexHigh == b->indexHigh &&
           a->indexLow == b->indexLow;
}

bool journalHoldsCreated(CleanupJournal journal, const FileIdentity* identity) {
    for (const JournalNode* node = journal; node != NULL; node = node->older) {
        if (node->kind == JOURNAL_CREATED && sameIdentity(&node->identity, identity)) {
            return true;
        }
    }
    return false;
}

bool replacesSetAside(const JournalNode* entry) {
    const JournalNode* older = entry->older;
    if (entry->kind != JOURNAL_CREATED || older == NULL || older->kind != JOURNAL_SET_ASIDE) return false;
    for (size_t i = 0;; ++i) {
        uint16_t unit = static_cast<uint16_t>(entry->path[i]);
        if (upcaseUnit(unit) != upcaseUnit(static_cast<uint16_t>(older->path[i]))) return false;
        if (unit == 0) return true;
    }
}
