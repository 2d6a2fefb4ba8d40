// The cleanup journal as a stack of plain records: what each push keeps, the order of the
// drain, and the lookup of a created object by identity.
#include "extract/journal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> visited;

// The journal's texts are ASCII here.
std::string narrow(const wchar_t* text) {
    std::string out;
    for (; *text != L'\0'; ++text) out += static_cast<char>(*text);
    return out;
}

void describe(const JournalNode* entry) {
    std::string text = entry->kind == JOURNAL_SET_ASIDE ? "aside " : "created ";
    text += narrow(entry->path);
    if (entry->asidePath != nullptr) text += " <- " + narrow(entry->asidePath);
    text += " #" + std::to_string(entry->identity.indexLow);
    visited.push_back(text);
}

const FileIdentity ZERO = {7, 0, 0};

const FileIdentity FIRST = {7, 0, 100};
const FileIdentity SECOND = {7, 0, 200};

}  // namespace

TEST(Journal, DrainsNewestFirstWithEachEntrysOwnCopies)
{
    CleanupJournal journal = nullptr;
    wchar_t path[] = L"W\\a";
    ASSERT_TRUE(journalPushCreated(L"W", &ZERO, &journal));
    ASSERT_TRUE(journalPushCreated(path, &FIRST, &journal));
    path[2] = L'b';  // the caller's buffer may change right after the push
    ASSERT_TRUE(journalPushSetAside(L"C:\\x\\notes.txt", L"C:\\x\\.runpack-1.bak", &SECOND, 0x21, &journal));
    ASSERT_TRUE(journalPushCreated(L"C:\\x\\notes.txt", &FIRST, &journal));
    EXPECT_EQ(journal->older->attributes, 0x21u);

    visited.clear();
    journalDrain(&journal, describe);
    EXPECT_EQ(visited, std::vector<std::string>({"created C:\\x\\notes.txt #100",
                                                 "aside C:\\x\\notes.txt <- C:\\x\\.runpack-1.bak #200",
                                                 "created W\\a #100", "created W #0"}));
    EXPECT_EQ(journal, nullptr);
    journalDrain(&journal, describe);  // an empty journal: nothing happens
    EXPECT_EQ(visited.size(), 4u);
}

TEST(Journal, FindsCreatedObjectsByIdentityOnly)
{
    CleanupJournal journal = nullptr;
    EXPECT_FALSE(journalHoldsCreated(journal, &FIRST));
    journalPushCreated(L"W", &ZERO, &journal);
    journalPushSetAside(L"C:\\x", L"C:\\.y", &SECOND, 0, &journal);
    journalPushCreated(L"W\\a", &FIRST, &journal);
    EXPECT_TRUE(journalHoldsCreated(journal, &FIRST));
    EXPECT_FALSE(journalHoldsCreated(journal, &SECOND));  // the user's object, not the run's
    FileIdentity otherVolume = FIRST;
    otherVolume.volumeSerial = 8;
    EXPECT_FALSE(journalHoldsCreated(journal, &otherVolume));
    visited.clear();
    journalDrain(&journal, describe);
}

TEST(Journal, TellsFullPathsFromPathsBelowTheWorkingDirectory)
{
    for (const wchar_t* full : {L"C:\\x", L"c:", L"\\\\server\\share"}) {
        EXPECT_TRUE(isFullPath(full)) << narrow(full);
    }
    for (const wchar_t* below : {L"lib\\a.txt", L"a", L"", L"\\lib", L"/lib", L"//lib", L"x\\C:"}) {
        EXPECT_FALSE(isFullPath(below)) << narrow(below);
    }
}
