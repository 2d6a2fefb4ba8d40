// The cleanup journal as a stack of plain records: what each push keeps, the order of the
// drain, and the lookup of a created object by identity.
#include "extract/journal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> visited;

void describe(const JournalNode* entry) {
    std::string text = entry->kind == JOURNAL_SET_ASIDE ? "aside " : "created ";
    text += entry->path;
    if (entry->asidePath != nullptr) text += std::string(" <- ") + entry->asidePath;
    if (entry->hasIdentity) text += " #" + std::to_string(entry->identity.indexLow);
    visited.push_back(text);
}

const FileIdentity FIRST = {7, 0, 100};
const FileIdentity SECOND = {7, 0, 200};

}  // namespace

TEST(Journal, DrainsNewestFirstWithEachEntrysOwnCopies)
{
    CleanupJournal journal = nullptr;
    char path[] = "W\\a";
    ASSERT_TRUE(journalPush("W", &journal));
    ASSERT_TRUE(journalPushCreated(path, &FIRST, &journal));
    path[2] = 'b';  // the caller's buffer may change right after the push
    ASSERT_TRUE(journalPushSetAside("C:\\x\\notes.txt", "C:\\x\\.runpack-1.bak", &SECOND, 0x21, &journal));
    ASSERT_TRUE(journalPushCreated("C:\\x\\notes.txt", &FIRST, &journal));
    EXPECT_EQ(journal->older->attributes, 0x21u);

    visited.clear();
    journalDrain(&journal, describe);
    EXPECT_EQ(visited, std::vector<std::string>({"created C:\\x\\notes.txt #100",
                                                 "aside C:\\x\\notes.txt <- C:\\x\\.runpack-1.bak #200",
                                                 "created W\\a #100", "created W"}));
    EXPECT_EQ(journal, nullptr);
    journalDrain(&journal, describe);  // an empty journal: nothing happens
    EXPECT_EQ(visited.size(), 4u);
}

TEST(Journal, FindsCreatedObjectsByIdentityOnly)
{
    CleanupJournal journal = nullptr;
    EXPECT_FALSE(journalHoldsCreated(journal, &FIRST));
    journalPush("W", &journal);
    journalPushSetAside("C:\\x", "C:\\.y", &SECOND, 0, &journal);
    journalPushCreated("W\\a", &FIRST, &journal);
    EXPECT_TRUE(journalHoldsCreated(journal, &FIRST));
    EXPECT_FALSE(journalHoldsCreated(journal, &SECOND));  // the user's object, not the run's
    FileIdentity otherVolume = FIRST;
    otherVolume.volumeSerial = 8;
    EXPECT_FALSE(journalHoldsCreated(journal, &otherVolume));
    visited.clear();
    journalDrain(&journal, describe);
}
