// Removal on a real Windows file system (run under Wine): the drain removes a path only while
// it is the recorded object, the walk takes the working directory apart bottom-up, busy
// directories are waited for a bounded time, and links are never followed. The link tests
// need links that only the Unix side can make: tests/win32/links_fixture.sh prepares them.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "extract/entry_extraction.h"
#include "extract/file_objects.h"
#include "extract/journal.h"
#include "package/method_ids.h"
#include "win32/test_files.h"

namespace {

using namespace win32test;


FileIdentity identityOf(const std::string& path) {
    FileIdentity identity;
    memset(&identity, 0, sizeof(identity));
    HANDLE object = openObject(wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    EXPECT_NE(object, INVALID_HANDLE_VALUE) << path;
    ObjectFacts facts;
    if (object != INVALID_HANDLE_VALUE && readObject(object, &facts)) identity = facts.identity;
    CloseHandle(object);
    return identity;
}

// Holds a directory open the way another process's current directory is held: without
// FILE_SHARE_DELETE, so that it can be neither removed nor renamed.
HANDLE holdLikeACurrentDirectory(const std::string& path) {
    return CreateFileA(path.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, NULL);
}

// Removes the tree at `path` while it is the directory it is now.
void removeTree(const std::string& path) {
    FileIdentity identity = identityOf(path);
    removeWorkingTreeAt(wide(path).c_str(), &identity);
}

HANDLE holdDirectory(const std::string& path) {
    return CreateFileA(path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
}

class Removal : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        static int counter = 0;
        char name[MAX_PATH + 32];
        wsprintfA(name, "%srpr%lu_%d", temp, GetCurrentProcessId(), ++counter);
        work = name;
        ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL)) << work;
    }

    void TearDown() override {
        journalDrain(&journal, deletePath);
        if (exists(work)) removeTree(work);
    }

    // Records a full path.
    void record(const std::string& path) {
        FileIdentity identity = identityOf(path);
        ASSERT_TRUE(journalPushCreated(wide(path).c_str(), &identity, &journal));
    }

    // Records `name` below the working directory, relative to it.
    void recordBelow(const std::string& name) {
        FileIdentity identity = identityOf(work + "\\" + name);
        ASSERT_TRUE(journalPushCreated(wide(name).c_str(), &identity, &journal));
    }

    // The drain as a run does it, from the held working directory.
    void drainBelow() {
        HANDLE held = holdDirectory(work);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        setRemovalRoot(held);
        journalDrain(&journal, deletePath);
        setRemovalRoot(NULL);
        CloseHandle(held);
    }

    std::string work;
    CleanupJournal journal = NULL;
};

TEST_F(Removal, DrainRemovesAPathOnlyWhileItIsTheRecordedObject) {
    writeAll(work + "\\kept.txt", "made by the run");
    recordBelow("kept.txt");
    // Another file takes the name (made before the old one goes, so it cannot reuse its index).
    writeAll(work + "\\kept.new", "someone else's");
    ASSERT_TRUE(MoveFileExA((work + "\\kept.new").c_str(), (work + "\\kept.txt").c_str(), MOVEFILE_REPLACE_EXISTING));

    ASSERT_TRUE(CreateDirectoryA((work + "\\dir").c_str(), NULL));
    recordBelow("dir");
    ASSERT_TRUE(MoveFileExA((work + "\\dir").c_str(), (work + "\\dir.old").c_str(), 0));
    ASSERT_TRUE(CreateDirectoryA((work + "\\dir").c_str(), NULL));

    writeAll(work + "\\gone.txt", "made by the run");
    recordBelow("gone.txt");
    ASSERT_TRUE(CreateDirectoryA((work + "\\gone").c_str(), NULL));
    recordBelow("gone");
    ASSERT_TRUE(CreateDirectoryA((work + "\\gone\\deep").c_str(), NULL));
    writeAll(work + "\\gone\\deep\\x.txt", "made by the run");
    recordBelow("gone\\deep");
    recordBelow("gone\\deep\\x.txt");

    // Without the working directory's handle nothing below it is touched.
    CleanupJournal copy = NULL;
    for (JournalNode* node = journal; node != NULL; node = node->older) {
        journalPushCreated(node->path, &node->identity, &copy);
    }
    journalDrain(&copy, deletePath);
    EXPECT_EQ(readAll(work + "\\gone\\deep\\x.txt"), "made by the run");

    drainBelow();
    EXPECT_EQ(readAll(work + "\\kept.txt"), "someone else's");
    EXPECT_TRUE(exists(work + "\\dir"));
    EXPECT_TRUE(exists(work + "\\dir.old"));
    EXPECT_FALSE(exists(work + "\\gone.txt"));
    EXPECT_FALSE(exists(work + "\\gone"));
}

TEST_F(Removal, DrainLeavesReadOnlyFilesAndDirectoriesThatAreNotEmpty) {
    writeAll(work + "\\file.txt", "x");
    writeAll(work + "\\readonly.txt", "x");
    ASSERT_TRUE(SetFileAttributesA((work + "\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(CreateDirectoryA((work + "\\empty").c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryA((work + "\\full").c_str(), NULL));
    writeAll(work + "\\full\\own.txt", "the command's");
    for (const char* name : {"file.txt", "readonly.txt", "empty", "full"}) recordBelow(name);
    FileIdentity none = {0, 0, 0};
    journalPushCreated(L"missing", &none, &journal);
    drainBelow();
    // A read-only file and a directory with something in it stay, as they always did.
    std::vector<std::string> left = namesIn(work);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, std::vector<std::string>({"full", "readonly.txt"}));
    SetFileAttributesA((work + "\\readonly.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Removal, WalkRemovesTheWholeTreeReadOnlyHiddenDeepAndWideNamesIncluded) {
    ASSERT_TRUE(CreateDirectoryA((work + "\\a").c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryA((work + "\\a\\b").c_str(), NULL));
    writeAll(work + "\\a\\b\\c.txt", "c");
    writeAll(work + "\\readonly.txt", "r");
    ASSERT_TRUE(SetFileAttributesA((work + "\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    writeAll(work + "\\hidden.sys", "h");
    ASSERT_TRUE(SetFileAttributesA((work + "\\hidden.sys").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(CreateDirectoryA((work + "\\rodir").c_str(), NULL));
    writeAll(work + "\\rodir\\inside.txt", "i");
    ASSERT_TRUE(SetFileAttributesA((work + "\\rodir\\inside.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesA((work + "\\rodir").c_str(), FILE_ATTRIBUTE_READONLY));

    // A name outside the ANSI code page, and a path longer than the ANSI functions can reach.
    std::wstring longWork = std::wstring(L"\\\\?\\") + wide(work);
    HANDLE unicode = CreateFileW((longWork + L"\\\x0436\x4e2d.txt").c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(unicode, INVALID_HANDLE_VALUE);
    CloseHandle(unicode);
    std::wstring deep = longWork;
    for (int level = 0; deep.size() < 400; ++level) {
        deep += L"\\level-of-a-long-path";
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), NULL)) << level;
    }
    HANDLE deepFile = CreateFileW((deep + L"\\deep.txt").c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(deepFile, INVALID_HANDLE_VALUE);
    CloseHandle(deepFile);

    removeTree(work);
    EXPECT_FALSE(exists(work)) << testing::PrintToString(namesIn(work));
}

TEST_F(Removal, WalkAcceptsATrailingSeparatorAndForwardSlashes) {
    writeAll(work + "\\x.txt", "x");
    std::string slashed = work;
    for (char& c : slashed) {
        if (c == '\\') c = '/';
    }
    FileIdentity identity = identityOf(work);
    removeWorkingTreeAt(wide(slashed + "/").c_str(), &identity);
    EXPECT_FALSE(exists(work));
}

TEST_F(Removal, WalkTouchesNothingWhenTheDirectoryIsNoLongerTheRecordedOne) {
    writeAll(work + "\\x.txt", "x");
    FileIdentity other = identityOf(work + "\\x.txt");
    removeWorkingTreeAt(wide(work).c_str(), &other);
    EXPECT_EQ(readAll(work + "\\x.txt"), "x");
    FileIdentity itself = identityOf(work);
    removeWorkingTreeAt(wide(work).c_str(), &itself);
    EXPECT_FALSE(exists(work));
}

TEST_F(Removal, BusyDirectoryIsWaitedForBriefly) {
    ASSERT_TRUE(CreateDirectoryA((work + "\\sub").c_str(), NULL));
    writeAll(work + "\\sub\\x.txt", "x");
    HANDLE held = holdLikeACurrentDirectory(work + "\\sub");
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    // Released well within the retries, as a process that is just ending releases it.
    std::thread releaser([held]() {
        Sleep(50);
        CloseHandle(held);
    });
    removeTree(work);
    releaser.join();
    EXPECT_FALSE(exists(work));

    // The drain waits the same way for a directory it recorded.
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    record(work);
    held = holdLikeACurrentDirectory(work);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread second([held]() {
        Sleep(50);
        CloseHandle(held);
    });
    journalDrain(&journal, deletePath);
    second.join();
    EXPECT_FALSE(exists(work));
}

TEST_F(Removal, DirectoryHeldForGoodIsGivenUpAfterTheRetries) {
    ASSERT_TRUE(CreateDirectoryA((work + "\\sub").c_str(), NULL));
    writeAll(work + "\\x.txt", "x");
    HANDLE held = holdLikeACurrentDirectory(work + "\\sub");
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    DWORD started = GetTickCount();
    removeTree(work);
    DWORD waited = GetTickCount() - started;
    EXPECT_FALSE(exists(work + "\\x.txt"));
    EXPECT_TRUE(exists(work + "\\sub"));
    EXPECT_GE(waited, REMOVAL_RETRY_STEPS * REMOVAL_RETRY_PAUSE_MS / 2);  // it did wait
    CloseHandle(held);
}

// Links made on the Unix side (see links_fixture.sh): `outside` holds precious.txt and
// inner/deep.txt; `empty-target` is empty; work-a/sub, work-b/sub and absolute/dest link to
// outside; work-b/empty and link-to-empty link to empty-target.
class Links : public ::testing::Test {
protected:
    void SetUp() override {
        const char* fixture = getenv("RUNPACK_LINK_FIXTURE");
        if (fixture == NULL) GTEST_SKIP() << "run through links_fixture.sh";
        root = fixture;
        ASSERT_EQ(readAll(root + "\\outside\\precious.txt"), "precious");
    }

    void expectOutsideIntact() {
        std::vector<std::string> names = namesIn(root + "\\outside");
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, std::vector<std::string>({"inner", "precious.txt"}));
        EXPECT_EQ(readAll(root + "\\outside\\precious.txt"), "precious");
        EXPECT_EQ(readAll(root + "\\outside\\inner\\deep.txt"), "deep");
        EXPECT_TRUE(exists(root + "\\empty-target"));
    }

    FileEntry entry(const char* directory, const char* name) {
        FileEntry e;
        memset(&e, 0, sizeof(e));
        e.recordSize = FILE_ENTRY_RECORD_SIZE;
        e.directory = directory;
        e.name = name;
        e.method = METHOD_STORED;
        e.unpackedSize = e.packedSize = 7;
        e.data = reinterpret_cast<const uint8_t*>("written");
        return e;
    }

    std::string root;
    CleanupJournal journal = NULL;
};

TEST_F(Links, TheFixtureLinksListAsLinks) {
    for (const char* link : {"\\work-a\\sub", "\\work-b\\sub", "\\link-to-empty", "\\absolute\\dest"}) {
        DWORD attributes = GetFileAttributesA((root + link).c_str());
        EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) << link;
    }
}

TEST_F(Links, ExtractionRefusesALinkOnItsWayBelowTheWorkingDirectory) {
    std::string work = root + "\\work-a";
    ExtractionTarget target = {holdDirectory(work), CP_ACP, false};
    FileEntry through = entry("sub", "planted.txt");
    EXPECT_FALSE(extractEntry(&through, &target, &journal));
    FileEntry deeper = entry("sub\\inner", "planted.txt");
    EXPECT_FALSE(extractEntry(&deeper, &target, &journal));
    EXPECT_EQ(journal, nullptr);
    FileEntry beside = entry("real", "ok.txt");
    EXPECT_TRUE(extractEntry(&beside, &target, &journal));
    setRemovalRoot(target.workDir);
    journalDrain(&journal, deletePath);
    setRemovalRoot(NULL);
    CloseHandle(target.workDir);
    EXPECT_FALSE(exists(work + "\\real"));
    expectOutsideIntact();
}

TEST_F(Links, ALinkAtAnAbsoluteDestinationIsNeverWrittenThrough) {
    std::string destination = root + "\\absolute";
    FileEntry onto = entry(destination.c_str(), "dest");
    ExtractionTarget target = {holdDirectory(root), CP_ACP, false};
    bool extracted = extractEntry(&onto, &target, &journal);
    CloseHandle(target.workDir);
    expectOutsideIntact();
    journalDrain(&journal, deletePath);
    // Where the handle holds the link itself, the link is set aside and put back; where the
    // platform follows it (Wine), the entry fails. Either way the link stays and leads where it did.
    DWORD attributes = GetFileAttributesA((destination + "\\dest").c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) << extracted;
    EXPECT_EQ(namesIn(destination), std::vector<std::string>({"dest"}));
    expectOutsideIntact();
}

TEST_F(Links, TheDrainNeverRemovesALinksTarget) {
    // Recorded with the identity of what was made there before a link took its place, by
    // full path and below a working directory.
    FileIdentity made = identityOf(root + "\\work-b\\own.txt");
    journalPushCreated(wide(root + "\\link-to-empty").c_str(), &made, &journal);
    journalPushCreated(wide(root + "\\work-a\\sub").c_str(), &made, &journal);
    journalPushCreated(wide(root + "\\work-a\\sub\\precious.txt").c_str(), &made, &journal);
    journalPushCreated(L"sub", &made, &journal);
    journalPushCreated(L"sub\\precious.txt", &made, &journal);
    HANDLE held = holdDirectory(root + "\\work-a");
    setRemovalRoot(held);
    journalDrain(&journal, deletePath);
    setRemovalRoot(NULL);
    CloseHandle(held);
    EXPECT_TRUE(exists(root + "\\link-to-empty"));
    expectOutsideIntact();
}

TEST_F(Links, TheWalkNeverDescendsIntoALink) {
    std::string work = root + "\\work-b";
    removeTree(work);
    expectOutsideIntact();
    // Everything else inside has gone; what is left are the links (Wine cannot remove a
    // Unix link: it resolves every name it opens).
    for (const std::string& name : namesIn(work)) {
        DWORD attributes = GetFileAttributesA((work + "\\" + name).c_str());
        EXPECT_TRUE(attributes & FILE_ATTRIBUTE_REPARSE_POINT) << name;
    }
    EXPECT_FALSE(exists(work + "\\own.txt"));
    EXPECT_FALSE(exists(work + "\\real"));
}

}  // namespace
