// Placing entries on a real Windows file system (run under Wine): destination paths, the
// directories created on the way, and what the cleanup journal records, in which order.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "extract/entry_extraction.h"
#include "extract/file_objects.h"
#include "extract/journal.h"
#include "package/method_ids.h"
#include "win32/test_files.h"

namespace {

using namespace win32test;

std::vector<std::string> drained;

void recordPath(const JournalNode* entry) { drained.push_back(narrow(entry->path)); }

// Every byte value, so that a copy that is not byte for byte shows.
std::string everyByte() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    return bytes + "\r\n\x1a tail";
}

bool identityOf(const std::string& path, FileIdentity* identity) {
    HANDLE object = openObject(wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (object == INVALID_HANDLE_VALUE) return false;
    ObjectFacts facts;
    bool ok = readObject(object, &facts);
    CloseHandle(object);
    *identity = facts.identity;
    return ok;
}

bool isDirectory(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}


class EntryExtraction : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        static int counter = 0;
        char name[MAX_PATH + 32];
        wsprintfA(name, "%srpx%lu_%d", temp, GetCurrentProcessId(), ++counter);
        work = name;
        ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL)) << work;
        held = CreateFileA(work.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        target.workDir = held;
        target.codePage = CP_ACP;
        target.elevated = false;
        drained.clear();
    }

    void TearDown() override {
        drainAll();
        CloseHandle(held);
        removeTree(work);
        for (const std::string& extra : extraTrees) removeTree(extra);
    }

    // The real drain, with the working directory as the root of its relative paths.
    void drainAll() {
        setRemovalRoot(held);
        journalDrain(&journal, deletePath);
        setRemovalRoot(NULL);
    }

    static void removeTree(const std::string& path) {
        FileIdentity identity;
        if (identityOf(path, &identity)) removeWorkingTreeAt(wide(path).c_str(), &identity);
    }

    // A journal path as a full path: those below the working directory are relative to it.
    std::string full(const wchar_t* path) const {
        return isFullPath(path) ? narrow(path) : work + "\\" + narrow(path);
    }

    // The journal's paths, oldest first, as full paths.
    std::vector<std::string> journalPaths() const {
        std::vector<std::string> paths;
        for (JournalNode* node = journal; node != NULL; node = node->older) paths.insert(paths.begin(), full(node->path));
        return paths;
    }

    FileEntry entry(const char* directory, const char* name) {
        FileEntry e;
        memset(&e, 0, sizeof(e));
        e.recordSize = FILE_ENTRY_RECORD_SIZE;
        e.directory = directory;
        e.name = name;
        e.method = METHOD_STORED;
        e.unpackedSize = e.packedSize = static_cast<uint32_t>(strlen(content));
        e.data = reinterpret_cast<const uint8_t*>(content);
        return e;
    }

    bool extract(const char* directory, const char* name) {
        FileEntry e = entry(directory, name);
        return extractEntry(&e, &target, &journal);
    }

    const char* content = "content of the entry";
    std::string work;
    HANDLE held = INVALID_HANDLE_VALUE;
    ExtractionTarget target;
    std::vector<std::string> extraTrees;
    CleanupJournal journal = NULL;
};

TEST_F(EntryExtraction, RelativeDestinationsGoUnderWorkingDirectoryAsComposed) {
    struct Row {
        const char* directory;
        const char* name;
        const char* path;                      // behind W
        std::vector<std::string> directories;  // created and recorded, behind W
        bool exactDirectories;                 // every directory made is listed
    } rows[] = {
        {nullptr, "a.txt", "\\a.txt", {}, true},
        {"", "b.txt", "\\b.txt", {}, true},
        {"sub", "a.txt", "\\sub\\a.txt", {"\\sub"}, true},
        {"sub2\\", "a.txt", "\\sub2\\a.txt", {"\\sub2"}, true},
        {"\\sub3", "a.txt", "\\sub3\\a.txt", {"\\sub3"}, true},
        {"sub4", "x/a.txt", "\\sub4\\x\\a.txt", {"\\sub4", "\\sub4\\x"}, true},
        {"//sub5", "a.txt", "\\sub5\\a.txt", {"\\sub5"}, true},
        {"%RUNPACK_NO_SUCH_VARIABLE%\\d", "a.txt", "\\%RUNPACK_NO_SUCH_VARIABLE%\\d\\a.txt",
         {"\\%RUNPACK_NO_SUCH_VARIABLE%", "\\%RUNPACK_NO_SUCH_VARIABLE%\\d"}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        size_t before = journalPaths().size();
        ASSERT_TRUE(extract(row.directory, row.name));
        std::vector<std::string> recorded = journalPaths();
        std::vector<std::string> expected;
        for (const std::string& d : row.directories) expected.push_back(work + d);
        expected.push_back(work + row.path);
        if (row.exactDirectories) {
            EXPECT_EQ(std::vector<std::string>(recorded.begin() + before, recorded.end()), expected);
        }
        EXPECT_EQ(recorded.back(), expected.back());
        EXPECT_EQ(readAll(work + row.path), content);
    }
}

TEST_F(EntryExtraction, AbsoluteDestinationsLeaveWorkingDirectory) {
    // A second tree stands for another place on disk (Wine's Z: drive is the Unix root).
    std::string outside = work + "_outside";
    extraTrees.push_back(outside);
    ASSERT_TRUE(CreateDirectoryA(outside.c_str(), NULL));

    std::string drive = outside + "\\data";
    ASSERT_TRUE(extract(drive.c_str(), "a.txt"));
    EXPECT_EQ(journalPaths(), std::vector<std::string>({drive, drive + "\\a.txt"}));
    EXPECT_EQ(readAll(drive + "\\a.txt"), content);

    // A variable holding a drive path is expanded before the absolute-path test.
    SetEnvironmentVariableA("DATADIR", outside.c_str());
    ASSERT_TRUE(extract("%DATADIR%\\d", "b.txt"));
    EXPECT_EQ(journalPaths().back(), outside + "\\d\\b.txt");
    EXPECT_EQ(readAll(outside + "\\d\\b.txt"), content);
    EXPECT_FALSE(exists(work + "\\%DATADIR%"));

    // A share that does not answer: nothing is created or recorded, the file cannot be made.
    size_t before = journalPaths().size();
    EXPECT_FALSE(extract("\\\\runpack-no-server\\share\\d", "a.txt"));
    EXPECT_EQ(journalPaths().size(), before);
}

TEST_F(EntryExtraction, JournalRecordsCreationOrderAndDrainsNewestFirst) {
    ASSERT_TRUE(extract("a\\b", "x"));
    ASSERT_TRUE(extract(nullptr, "y"));
    std::vector<std::string> expected = {"a", "a\\b", "a\\b\\x", "y"};
    std::vector<std::string> recorded;
    for (JournalNode* node = journal; node != NULL; node = node->older) recorded.insert(recorded.begin(), narrow(node->path));
    EXPECT_EQ(recorded, expected);

    journalDrain(&journal, recordPath);
    EXPECT_EQ(drained, std::vector<std::string>(expected.rbegin(), expected.rend()));
    EXPECT_EQ(journal, nullptr);
    journalDrain(&journal, recordPath);  // a second drain does nothing
    EXPECT_EQ(drained.size(), expected.size());

    // The real action, in the same order, removes everything the run made.
    ASSERT_TRUE(extract("c\\d", "x"));
    ASSERT_TRUE(extract(nullptr, "v"));
    drainAll();
    std::vector<std::string> left = namesIn(work);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, std::vector<std::string>({"a", "y"}));  // not recorded this time
    // Without a root, nothing below the working directory is touched.
    ASSERT_TRUE(extract(nullptr, "z"));
    journalDrain(&journal, deletePath);
    EXPECT_EQ(readAll(work + "\\z"), content);
}

TEST_F(EntryExtraction, CreatesOnlyMissingDirectoriesParentFirst) {
    std::string existing = work + "\\there";
    ASSERT_TRUE(CreateDirectoryA(existing.c_str(), NULL));
    EXPECT_TRUE(extract("there", "file.txt"));
    EXPECT_EQ(journalPaths(), std::vector<std::string>({existing + "\\file.txt"}));

    EXPECT_TRUE(extract("/one/two\\three", "file.txt"));  // forward slashes count as separators
    EXPECT_EQ(journalPaths(), std::vector<std::string>({existing + "\\file.txt", work + "\\one", work + "\\one\\two",
                                                        work + "\\one\\two\\three", work + "\\one\\two\\three\\file.txt"}));
    EXPECT_TRUE(isDirectory(work + "\\one\\two\\three"));

    // A path that ends in a separator creates its last level too.
    content = "";
    EXPECT_TRUE(extract("four\\", ""));
    EXPECT_EQ(journalPaths().back(), work + "\\four");
}

TEST_F(EntryExtraction, FileInPlaceOfDirectoryFailsWithoutRecordingTheFile) {
    FILE* blocker = fopen((work + "\\sub").c_str(), "wb");
    ASSERT_NE(blocker, nullptr);
    fclose(blocker);
    EXPECT_FALSE(extract("sub", "a.txt"));
    EXPECT_TRUE(journalPaths().empty());
}

TEST_F(EntryExtraction, EmptyNameCreatesDirectoryChainAndCountsOnlyWhenSizeIsZero) {
    content = "";
    EXPECT_TRUE(extract("e\\f", ""));  // nothing can be opened, but 0 bytes were expected
    EXPECT_TRUE(isDirectory(work + "\\e\\f"));
    content = "x";
    EXPECT_FALSE(extract("g", ""));
    EXPECT_EQ(journalPaths().back(), work + "\\g");  // the directory; no file was made
}

TEST_F(EntryExtraction, OverlongDestinationsFailAtEveryStage) {
    std::string longName(520, 'n');
    size_t before = journalPaths().size();
    EXPECT_FALSE(extract(nullptr, longName.c_str()));           // composed: 520 characters
    std::string fits(519 - 2, 'n');
    EXPECT_FALSE(extract("d", fits.c_str()));                   // a name no file system takes
    std::string expansion(600, 'v');
    SetEnvironmentVariableA("RUNPACK_LONG", expansion.c_str());
    EXPECT_FALSE(extract("%RUNPACK_LONG%", "a.txt"));          // the expansion does not fit
    EXPECT_EQ(journalPaths().size(), before);
    EXPECT_FALSE(exists(work + "\\d"));
}

TEST_F(EntryExtraction, RefusesDestinationsThatBreakTheRuleBeforeCreatingAnything) {
    SetEnvironmentVariableA("RUNPACK_UP", "..");
    SetEnvironmentVariableA("RUNPACK_DRIVE_RELATIVE", "C:rel");
    SetEnvironmentVariableA("RUNPACK_CONTROL", "bell\a");
    struct Row {
        const char* directory;
        const char* name;
    } rows[] = {
        {"..", "escaped.txt"}, {"sub\\..\\..", "escaped.txt"}, {nullptr, "C:name"}, {"sub", "a:b"},
        {nullptr, "CON"}, {"lib", "nul.txt"}, {"dir.", "x"}, {"%RUNPACK_UP%", "escaped.txt"},
        {"%RUNPACK_DRIVE_RELATIVE%", "x"}, {"\\\\?\\C:\\x", "y"},
        // Control characters, given or from a variable: no name holds one.
        {"sub\x1B[K", "x"}, {nullptr, "a\rb.txt"}, {"%RUNPACK_CONTROL%", "x"}, {"sub", "del\x7F"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.directory ? row.directory : "-") + " | " + row.name);
        EXPECT_FALSE(extract(row.directory, row.name));
    }
    EXPECT_TRUE(journalPaths().empty());
    EXPECT_TRUE(namesIn(work).empty());
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    EXPECT_FALSE(exists(std::string(temp) + "escaped.txt"));
}

TEST_F(EntryExtraction, RecordsTheIdentityOfEveryObjectItCreates) {
    ASSERT_TRUE(extract("a\\b", "x.txt"));
    int entries = 0;
    for (JournalNode* node = journal; node != NULL; node = node->older, ++entries) {
        SCOPED_TRACE(full(node->path));
        EXPECT_EQ(node->kind, static_cast<uint32_t>(JOURNAL_CREATED));
        FileIdentity now;
        ASSERT_TRUE(identityOf(full(node->path), &now));
        EXPECT_TRUE(sameIdentity(&now, &node->identity));
    }
    EXPECT_EQ(entries, 3);
}

TEST_F(EntryExtraction, BelowWorkingDirectoryOnlyItsOwnEarlierFileIsReplaced) {
    // Two entries of one name: the later one's bytes win, as they always did.
    ASSERT_TRUE(extract(nullptr, "twice.txt"));
    content = "second and longer content";
    ASSERT_TRUE(extract(nullptr, "twice.txt"));
    EXPECT_EQ(readAll(work + "\\twice.txt"), content);

    // A file the run did not make is never opened, let alone overwritten.
    writeAll(work + "\\planted.txt", "planted");
    size_t before = journalPaths().size();
    EXPECT_FALSE(extract(nullptr, "planted.txt"));
    EXPECT_EQ(readAll(work + "\\planted.txt"), "planted");
    EXPECT_EQ(journalPaths().size(), before);

    // Nor is a directory that stands where the file goes.
    ASSERT_TRUE(CreateDirectoryA((work + "\\taken").c_str(), NULL));
    EXPECT_FALSE(extract(nullptr, "taken"));
    EXPECT_TRUE(isDirectory(work + "\\taken"));
}

class AbsoluteDestination : public EntryExtraction {
protected:
    void SetUp() override {
        EntryExtraction::SetUp();
        outside = work + "_outside";
        extraTrees.push_back(outside);
        ASSERT_TRUE(CreateDirectoryA(outside.c_str(), NULL));
        notes = outside + "\\notes.txt";
        writeAll(notes, everyByte());
        ASSERT_TRUE(SetFileAttributesA(notes.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
        ASSERT_TRUE(identityOf(notes, &userIdentity));
    }

    void TearDown() override {
        for (const std::string& name : namesIn(outside)) {
            SetFileAttributesA((outside + "\\" + name).c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        EntryExtraction::TearDown();
    }

    // The one name in `outside` besides notes.txt, or "".
    std::string asideName() {
        std::vector<std::string> names = namesIn(outside);
        for (const std::string& name : names) {
            if (name != "notes.txt") return name;
        }
        return "";
    }

    std::string outside;
    std::string notes;
    FileIdentity userIdentity;
};

TEST_F(AbsoluteDestination, UsersFileIsSetAsideHiddenAndComesBackByteForByte) {
    ASSERT_TRUE(extract(outside.c_str(), "notes.txt"));
    EXPECT_EQ(readAll(notes), content);
    std::string aside = asideName();
    ASSERT_EQ(aside.rfind(".runpack-", 0), 0u) << aside;
    EXPECT_EQ(aside.substr(aside.size() - 4), ".bak");
    EXPECT_EQ(GetFileAttributesA((outside + "\\" + aside).c_str()),
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(readAll(outside + "\\" + aside), everyByte());
    // Recorded as set aside first, then as the file the run made.
    ASSERT_NE(journal, nullptr);
    ASSERT_NE(journal->older, nullptr);
    EXPECT_EQ(journal->kind, static_cast<uint32_t>(JOURNAL_CREATED));
    EXPECT_EQ(journal->older->kind, static_cast<uint32_t>(JOURNAL_SET_ASIDE));
    EXPECT_EQ(narrow(journal->older->asidePath), outside + "\\" + aside);
    EXPECT_TRUE(sameIdentity(&journal->older->identity, &userIdentity));

    drainAll();
    EXPECT_EQ(namesIn(outside), std::vector<std::string>({"notes.txt"}));
    EXPECT_EQ(readAll(notes), everyByte());
    EXPECT_EQ(GetFileAttributesA(notes.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    FileIdentity back;
    ASSERT_TRUE(identityOf(notes, &back));
    EXPECT_TRUE(sameIdentity(&back, &userIdentity));
}

TEST_F(AbsoluteDestination, TwoEntriesOfOneNameStillGiveTheUsersFileBack) {
    ASSERT_TRUE(extract(outside.c_str(), "notes.txt"));
    content = "the second entry";
    ASSERT_TRUE(extract(outside.c_str(), "notes.txt"));
    EXPECT_EQ(readAll(notes), content);
    EXPECT_EQ(namesIn(outside).size(), 3u);
    drainAll();
    EXPECT_EQ(namesIn(outside), std::vector<std::string>({"notes.txt"}));
    EXPECT_EQ(readAll(notes), everyByte());
}

TEST_F(AbsoluteDestination, PackagesFileGoesEvenWhenMadeReadOnlySoTheUsersCanComeBack) {
    ASSERT_TRUE(extract(outside.c_str(), "notes.txt"));
    ASSERT_TRUE(SetFileAttributesA(notes.c_str(), FILE_ATTRIBUTE_READONLY));
    drainAll();
    EXPECT_EQ(namesIn(outside), std::vector<std::string>({"notes.txt"}));
    EXPECT_EQ(readAll(notes), everyByte());
}

TEST_F(AbsoluteDestination, WhatTakesThePlaceMeanwhileStaysAndSoDoesTheUsersFile) {
    ASSERT_TRUE(extract(outside.c_str(), "notes.txt"));
    std::string aside = asideName();
    // Another program replaces the package's file: neither object is lost.
    writeAll(notes + ".new", "someone else's");
    ASSERT_TRUE(MoveFileExA((notes + ".new").c_str(), notes.c_str(), MOVEFILE_REPLACE_EXISTING));
    drainAll();
    EXPECT_EQ(readAll(notes), "someone else's");
    EXPECT_EQ(readAll(outside + "\\" + aside), everyByte());
}

TEST_F(AbsoluteDestination, DroppingTheSetAsideLeavesThePackagesFileAlone) {
    ASSERT_TRUE(extract(outside.c_str(), "notes.txt"));
    journalDrain(&journal, dropSetAside);
    EXPECT_EQ(namesIn(outside), std::vector<std::string>({"notes.txt"}));
    EXPECT_EQ(readAll(notes), content);
}

TEST_F(AbsoluteDestination, DirectoryThereFailsTheEntryAndStays) {
    ASSERT_TRUE(CreateDirectoryA((outside + "\\data").c_str(), NULL));
    writeAll(outside + "\\data\\inside.txt", "inside");
    EXPECT_FALSE(extract(outside.c_str(), "data"));
    EXPECT_TRUE(journalPaths().empty());
    EXPECT_EQ(readAll(outside + "\\data\\inside.txt"), "inside");
}

}  // namespace

namespace {

TEST(PackageText, ConvertsFromTheCodePageOrStrictUtf8) {
    WCHAR wide[16];
    ASSERT_TRUE(packageText("a\xC5\x99", 3, CP_UTF8, wide, 16));
    EXPECT_EQ(std::wstring(wide), std::wstring(L"a\x0159"));
    EXPECT_FALSE(packageText("a\xC5", 2, CP_UTF8, wide, 16));          // cut short
    EXPECT_FALSE(packageText("\xC0\xAF", 2, CP_UTF8, wide, 16));       // an overlong "/"
    EXPECT_FALSE(packageText("0123456789abcdef", 16, CP_ACP, wide, 16));  // no room for the terminator
    ASSERT_TRUE(packageText("", 0, CP_UTF8, wide, 16));
    EXPECT_EQ(wide[0], L'\0');
}

TEST(LocalFixedPath, OnlyADriveLetterOfAFixedDisk) {
    EXPECT_TRUE(isLocalFixedPath(L"C:\\windows"));
    for (const WCHAR* path : {L"\\\\server\\share\\x", L"\\\\?\\C:\\x", L"\\\\.\\C:\\x", L"C:x", L"1:\\x", L""}) {
        EXPECT_FALSE(isLocalFixedPath(path)) << narrow(path);
    }
}

}  // namespace

TEST_F(EntryExtraction, Utf8NamesArriveAsTheirCharactersAndAreRemoved) {
    target.codePage = CP_UTF8;
    ASSERT_TRUE(extract("slo\xC5\xBEka", "\xE4\xB8\xAD.txt"));
    std::vector<std::string> names = namesIn(work);
    ASSERT_EQ(names, std::vector<std::string>({"slo\xC5\xBEka"}));
    HANDLE file = CreateFileW((wide(work) + L"\\slo\x017Eka\\\x4E2D.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_EQ(narrow(journal->path), "slo\xC5\xBEka\\\xE4\xB8\xAD.txt");
    // Not UTF-8: nothing is made.
    EXPECT_FALSE(extract("bad\xC5", "x.txt"));
    drainAll();
    EXPECT_TRUE(namesIn(work).empty());
}
