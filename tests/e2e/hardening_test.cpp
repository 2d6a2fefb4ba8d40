// Runs under Wine that try to turn the engine against its user: destinations that climb out
// or name devices, a user's file at an absolute destination, a link swapped into the working
// directory, or in its place, while the command runs; and what the command leaves behind
// (read-only files, a directory that a just-ended process still holds).
#include "e2e/harness.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "package/package_reader.h"
#include "support/package_builder.h"

namespace {

const uint32_t NTE_FAIL = 0x80090020u;

std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<uint8_t> fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Every byte value and a little more, so that a copy that is not byte for byte shows.
std::vector<uint8_t> usersBytes() {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<uint8_t>(i));
    for (char c : std::string("\r\n\x1a the user's own notes")) bytes.push_back(static_cast<uint8_t>(c));
    return bytes;
}

TestEntry entry(std::optional<std::string> directory, std::string name, std::vector<uint8_t> content) {
    TestEntry e;
    e.directory = directory;
    e.name = name;
    e.content = std::move(content);
    return e;
}

class Hardening : public EngineTest {
protected:
    // Expects the one message of a failed extraction and its code.
    void expectExtractionFailed(const EngineRun& run) {
        ASSERT_EQ(run.boxes.size(), 1u) << run.output;
        EXPECT_EQ(run.boxes[0].text, "Cannot extract files!");
        EXPECT_EQ(run.exitCode, NTE_FAIL);
    }
};

TEST_F(Hardening, DestinationsTheRuleRefusesEndTheRunAndWriteNothingOutside) {
    const char* prefix = getenv("WINEPREFIX");
    ASSERT_NE(prefix, nullptr);
    fs::path driveC = fs::path(prefix) / "drive_c";
    const std::string driveRelative = "runpack-drive-relative.txt";
    struct Row {
        std::optional<std::string> directory;
        std::string name;
    } rows[] = {
        {std::string(".."), "escaped.txt"},  // TMP\escaped.txt, beside the working directory
        {std::string("sub\\..\\.."), "escaped.txt"},
        {std::nullopt, "C:" + driveRelative},  // relative to the current directory of drive C:
        {std::nullopt, "a:b"},
        {std::string("sub"), "a:b"},  // a stream of the file sub\a
        {std::nullopt, "CON"},
        {std::string("lib"), "nul.txt"},
    };
    // Files of the user's where the escaping names lead: they must stay as they are.
    fs::path besideWorkDir = tmp / "escaped.txt";
    fs::path onDriveC = driveC / driveRelative;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.directory.value_or("-") + " | " + row.name);
        fs::remove_all(tmp);
        fs::create_directories(tmp);
        writeBytes(besideWorkDir, usersBytes());
        writeBytes(onDriveC, usersBytes());
        TestPackage package;
        package.cleanupMode = CLEANUP_JOURNAL;
        package.entries.push_back(entry(std::nullopt, "first.txt", bytesOf("first")));
        package.entries.push_back(entry(row.directory, row.name, bytesOf("should never be written")));
        package.command = "cmd.exe /c echo never> never.txt";
        EngineRun run = this->run(makeExe(buildPackage(package)));
        expectExtractionFailed(run);
        EXPECT_EQ(listTree(tmp), std::vector<std::string>({"escaped.txt"}));
        EXPECT_EQ(fileBytes(besideWorkDir), usersBytes());
        EXPECT_EQ(fileBytes(onDriveC), usersBytes());
    }
    fs::remove(onDriveC);
}

class AbsoluteDestinationRun : public Hardening {
protected:
    void SetUp() override {
        Hardening::SetUp();
        kept = dir / "outside" / "kept";
        fs::create_directories(kept);
        notes = kept / "notes.txt";
        writeBytes(notes, usersBytes());
        chmod(notes.c_str(), 0444);  // read-only for Windows
    }

    void TearDown() override {
        chmod(notes.c_str(), 0644);
        Hardening::TearDown();
    }

    TestPackage packageOver(uint32_t mode) {
        TestPackage package;
        package.cleanupMode = mode;
        package.entries.push_back(entry(std::nullopt, "inside.txt", bytesOf("inside")));
        package.entries.push_back(entry(windowsPath(kept), "notes.txt", bytesOf("the package's notes")));
        return package;
    }

    void expectUsersFileBack() {
        EXPECT_EQ(fileBytes(notes), usersBytes());
        struct stat status;
        ASSERT_EQ(stat(notes.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0222, 0u) << "read-only again";
        EXPECT_EQ(listTree(dir / "outside"), std::vector<std::string>({"kept/", "kept/notes.txt"}));
    }

    fs::path kept;
    fs::path notes;
};

TEST_F(AbsoluteDestinationRun, UsersFileIsBackByteForByteAfterTreeAndJournalRuns) {
    for (uint32_t mode : {CLEANUP_TREE, CLEANUP_JOURNAL}) {
        SCOPED_TRACE(mode);
        fs::path seen = dir / ("seen-" + std::to_string(mode) + ".txt");
        TestPackage package = packageOver(mode);
        package.command = "cmd.exe /c copy " + windowsPath(notes) + " " + windowsPath(seen);
        EngineRun run = this->run(makeExe(buildPackage(package)));
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        EXPECT_TRUE(run.boxes.empty()) << run.output;
        EXPECT_EQ(fileBytes(seen), bytesOf("the package's notes"));  // in place while the command ran
        expectUsersFileBack();
        EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
    }
}

TEST_F(AbsoluteDestinationRun, UsersFileIsBackByteForByteAfterAFailedRun) {
    TestPackage package = packageOver(CLEANUP_DETACH);  // a failure cleans up all the same
    TestEntry broken = entry(std::nullopt, "broken.bin", bytesOf("ten bytes!"));
    broken.unpackedSize = 11;
    package.entries.push_back(broken);
    package.command = "cmd.exe /c echo never> never.txt";
    EngineRun run = this->run(makeExe(buildPackage(package)));
    expectExtractionFailed(run);
    expectUsersFileBack();
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}

TEST_F(AbsoluteDestinationRun, UsersFileComesBackUnderItsOwnNameCaseIncluded) {
    // The user's "Config.ini" where the package writes "config.ini": the same file on Windows.
    const fs::path config = kept / "Config.ini";
    writeBytes(config, usersBytes());
    for (uint32_t mode : {CLEANUP_TREE, CLEANUP_JOURNAL}) {
        SCOPED_TRACE(mode);
        fs::path seen = dir / ("seen-" + std::to_string(mode) + ".txt");
        TestPackage package;
        package.cleanupMode = mode;
        package.entries.push_back(entry(windowsPath(kept), "config.ini", bytesOf("the package's settings")));
        package.command = "cmd.exe /c copy " + windowsPath(kept / "config.ini") + " " + windowsPath(seen);
        EngineRun run = this->run(makeExe(buildPackage(package)));
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        EXPECT_TRUE(run.boxes.empty()) << run.output;
        EXPECT_EQ(fileBytes(seen), bytesOf("the package's settings"));  // in place while the command ran
        EXPECT_EQ(listTree(dir / "outside"), std::vector<std::string>({"kept/", "kept/Config.ini", "kept/notes.txt"}));
        EXPECT_EQ(fileBytes(config), usersBytes());
        EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
    }
}

TEST_F(AbsoluteDestinationRun, DetachLeavesThePackagesFileAndNoBackup) {
    EngineRun run = this->run(makeExe(buildPackage(packageOver(CLEANUP_DETACH))));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_EQ(fileBytes(notes), bytesOf("the package's notes"));
    EXPECT_EQ(listTree(dir / "outside"), std::vector<std::string>({"kept/", "kept/notes.txt"}));
}

TEST_F(AbsoluteDestinationRun, DirectoryAtTheDestinationFailsTheRunAndStays) {
    fs::create_directories(kept / "data");
    writeBytes(kept / "data" / "mine.txt", bytesOf("mine"));
    TestPackage package;
    package.cleanupMode = CLEANUP_TREE;
    package.entries.push_back(entry(windowsPath(kept), "data", bytesOf("a file where a directory is")));
    EngineRun run = this->run(makeExe(buildPackage(package)));
    expectExtractionFailed(run);
    EXPECT_EQ(fileBytes(kept / "data" / "mine.txt"), bytesOf("mine"));
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}

// A batch file that reports through `ready` that the command runs, then waits (at most about
// two minutes) until `go` exists.
std::vector<uint8_t> waitingBatch(const fs::path& ready, const fs::path& go) {
    std::string text = "@echo off\r\n"
                       "echo ready> \"" + windowsPath(ready) + "\"\r\n"
                       "set n=0\r\n"
                       ":loop\r\n"
                       "if exist \"" + windowsPath(go) + "\" goto done\r\n"
                       "set /a n+=1\r\n"
                       "if %n% gtr 120 goto done\r\n"
                       "ping -n 2 127.0.0.1 >nul\r\n"
                       "goto loop\r\n"
                       ":done\r\n";
    return bytesOf(text);
}

TEST_F(Hardening, LinkSwappedIntoTheWorkingDirectoryLeavesItsTargetAlone) {
    // The target: a folder of the user's, with a file of the same name as one in the package.
    fs::path outside = dir / "outside";
    fs::create_directories(outside / "nested");
    writeBytes(outside / "a.txt", bytesOf("the user's a"));
    writeBytes(outside / "victim.txt", bytesOf("the user's victim"));
    writeBytes(outside / "nested" / "deep.txt", bytesOf("the user's deep"));
    fs::path ready = dir / "ready.flag";
    fs::path go = dir / "go.flag";

    TestPackage package;
    package.cleanupMode = CLEANUP_TREE;
    package.entries.push_back(entry(std::string("lib"), "a.txt", bytesOf("the package's a")));
    package.entries.push_back(entry(std::string("lib"), "b.txt", bytesOf("the package's b")));
    package.entries.push_back(entry(std::nullopt, "wait.bat", waitingBatch(ready, go)));
    package.command = "cmd.exe /c wait.bat";

    // While the command waits, the directory the run made is swapped for a link to `outside`.
    bool swapped = false;
    std::thread attacker([&]() {
        if (!waitFor(ready, 60000)) return;
        std::optional<fs::path> work = onlyWorkingDirectory(tmp);
        if (work) {
            std::error_code error;
            fs::rename(*work / "lib", dir / "moved-lib", error);
            if (!error) fs::create_directory_symlink(outside, *work / "lib", error);
            swapped = !error;
        }
        std::ofstream(go) << "go";
    });
    RunOptions options;
    options.timeoutMs = 180000;
    EngineRun run = this->run(makeExe(buildPackage(package)), options);
    attacker.join();
    ASSERT_TRUE(swapped);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty()) << run.output;

    EXPECT_EQ(listTree(outside), std::vector<std::string>({"a.txt", "nested/", "nested/deep.txt", "victim.txt"}));
    EXPECT_EQ(fileBytes(outside / "a.txt"), bytesOf("the user's a"));
    EXPECT_EQ(fileBytes(outside / "victim.txt"), bytesOf("the user's victim"));
    EXPECT_EQ(fileBytes(outside / "nested" / "deep.txt"), bytesOf("the user's deep"));
    // Everything else the run made has gone. Wine cannot remove a Unix link through any of its
    // calls (it resolves every name it opens), so the link stays, and the directory with it.
    std::optional<fs::path> work = onlyWorkingDirectory(tmp);
    ASSERT_TRUE(work.has_value()) << testing::PrintToString(listTree(tmp));
    std::vector<fs::path> left;
    for (const auto& item : fs::directory_iterator(*work)) left.push_back(item.path());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].filename(), "lib");
    EXPECT_TRUE(fs::is_symlink(left[0]));
}

TEST_F(Hardening, WorkingDirectorySwappedForALinkLeavesItsTargetAlone) {
    fs::path outside = dir / "outside";
    fs::create_directories(outside / "lib");
    writeBytes(outside / "lib" / "a.txt", bytesOf("the user's a"));
    writeBytes(outside / "victim.txt", bytesOf("the user's victim"));
    fs::path ready = dir / "ready.flag";
    fs::path go = dir / "go.flag";

    TestPackage package;
    package.cleanupMode = CLEANUP_TREE;
    package.entries.push_back(entry(std::string("lib"), "a.txt", bytesOf("the package's a")));
    package.entries.push_back(entry(std::nullopt, "wait.bat", waitingBatch(ready, go)));
    package.command = "cmd.exe /c wait.bat";

    // While the command waits, the working directory itself moves away and a link to
    // `outside` takes its name.
    fs::path moved = dir / "moved-work";
    std::optional<fs::path> work;
    bool swapped = false;
    std::thread attacker([&]() {
        if (!waitFor(ready, 60000)) return;
        work = onlyWorkingDirectory(tmp);
        if (work) {
            std::error_code error;
            fs::rename(*work, moved, error);
            if (!error) fs::create_directory_symlink(outside, *work, error);
            swapped = !error;
        }
        std::ofstream(go) << "go";
    });
    RunOptions options;
    options.timeoutMs = 180000;
    EngineRun run = this->run(makeExe(buildPackage(package)), options);
    attacker.join();
    ASSERT_TRUE(swapped);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty()) << run.output;

    EXPECT_EQ(listTree(outside), std::vector<std::string>({"lib/", "lib/a.txt", "victim.txt"}));
    EXPECT_EQ(fileBytes(outside / "lib" / "a.txt"), bytesOf("the user's a"));
    EXPECT_EQ(fileBytes(outside / "victim.txt"), bytesOf("the user's victim"));
    EXPECT_TRUE(fs::is_symlink(*work));
    // The real working directory is no longer where the run recorded it: it stays.
    EXPECT_EQ(fileBytes(moved / "lib" / "a.txt"), bytesOf("the package's a"));
}

TEST_F(Hardening, TreeModeRemovesReadOnlyFilesTheCommandWrote) {
    TestPackage package;
    package.cleanupMode = CLEANUP_TREE;
    package.entries.push_back(entry(std::string("lib"), "a.txt", bytesOf("a")));
    package.command = "cmd.exe /c echo x> ro.txt & attrib +r ro.txt & mkdir made & echo y> made\\ro2.txt & "
                      "attrib +r made\\ro2.txt & attrib +r lib\\a.txt";
    EngineRun run = this->run(makeExe(buildPackage(package)));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty()) << run.output;
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}

TEST_F(Hardening, ACommandThatOnlyExitsLeavesNothingInTreeMode) {
    // Started as from the desktop, the engine has no console: its command gets a console host
    // of its own, which under Wine keeps the working directory as its current directory for a
    // moment after the command has ended. The removal waits for it.
    TestPackage package;
    package.cleanupMode = CLEANUP_TREE;
    package.entries.push_back(entry(std::nullopt, "a.txt", bytesOf("a")));
    package.command = "cmd.exe /c exit 7";
    fs::path exe = makeExe(buildPackage(package));
    RunOptions options;
    options.noConsole = true;
    for (int attempt = 0; attempt < 3; ++attempt) {
        SCOPED_TRACE(attempt);
        EngineRun run = this->run(exe, options);
        EXPECT_EQ(run.exitCode, 0u) << run.output;  // the command's own code is not the engine's
        EXPECT_TRUE(run.boxes.empty()) << run.output;
        EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
    }
}

}  // namespace
