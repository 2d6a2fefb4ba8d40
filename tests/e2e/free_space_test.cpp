// Runs whose files do not fit the volume they go to: a drive of a few MiB (a tmpfs that the
// Wine prefix maps to a drive letter) as an absolute destination, as a variable's destination
// and as the temporary directory. The run ends with message 9 and ERROR_DISK_FULL before it
// makes anything, there or in the temporary directory; what fits still runs.
#include "e2e/harness.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include "package/package_reader.h"
#include "support/package_builder.h"

namespace {

const uint32_t ERROR_DISK_FULL_CODE = 112;

TestEntry entry(std::optional<std::string> directory, std::string name, size_t size, uint32_t declared = 0) {
    TestEntry e;
    e.directory = directory;
    e.name = name;
    e.content.assign(size, static_cast<uint8_t>('r'));
    // A size that the entry declares beyond its bytes: the run counts what the package says
    // it will write, before a byte is written.
    if (declared != 0) e.unpackedSize = declared;
    return e;
}

class FreeSpace : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        small = dir / "small";
        fs::create_directories(small);
        if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=4m") != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
        mounted = true;
        const char* prefix = getenv("WINEPREFIX");
        ASSERT_NE(prefix, nullptr);
        // The first free letter from Q: on becomes the small drive.
        for (char letter = 'q'; letter <= 'y'; ++letter) {
            fs::path device = fs::path(prefix) / "dosdevices" / (std::string(1, letter) + ":");
            std::error_code ec;
            if (fs::exists(fs::symlink_status(device, ec))) continue;
            fs::create_directory_symlink(small, device);
            drive = device;
            root = std::string(1, static_cast<char>(letter - 'a' + 'A')) + ":\\";
            break;
        }
        ASSERT_FALSE(root.empty()) << "no free drive letter";
    }
    void TearDown() override {
        std::error_code ec;
        if (!drive.empty()) fs::remove(drive, ec);
        if (mounted) umount2(small.c_str(), MNT_DETACH);
        EngineTest::TearDown();
    }

    void expectDiskFull(const EngineRun& run) {
        ASSERT_EQ(run.boxes.size(), 1u) << run.output;
        EXPECT_EQ(run.boxes[0].text, "Cannot extract files!");
        EXPECT_EQ(run.exitCode, ERROR_DISK_FULL_CODE) << run.output;
    }

    fs::path small;
    fs::path drive;
    std::string root;  // "Q:\"
    bool mounted = false;
};

// The Windows build of the tool, run under Wine: its exit status, and its output in `output`.
int windowsTool(const std::string& arguments, std::string* output) {
    const std::string command = "timeout 120 " + std::string(RUNPACK_SOURCE_DIR) + "/scripts/wine '" +
                                (windowsBuildDir() / "runpack.exe").string() + "' " + arguments + " </dev/null 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    output->clear();
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr) *output += buffer;
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST_F(FreeSpace, WindowsToolRefusesAFolderWithoutRoomBeforeWritingAnything) {
    TestPackage package;
    package.entries.push_back(entry(std::nullopt, "first.bin", 3u << 20));
    package.entries.push_back(entry(std::string("lib"), "second.bin", 2u << 20));
    const fs::path exe = makeExe(buildPackage(package));
    for (const std::string& target : {" -C '" + root + "out'", " '" + root + "out\\deeper'"}) {
        SCOPED_TRACE(target);
        std::string output;
        EXPECT_EQ(windowsTool("extract '" + windowsPath(exe) + "'" + target, &output), 1) << output;
        EXPECT_NE(output.find("runpack extract: not enough space for 2 files in " + root + "out"), std::string::npos)
            << output;
        EXPECT_NE(output.find("its file system has 4194304 bytes (4.0 MiB) free; nothing extracted"), std::string::npos)
            << output;
        EXPECT_TRUE(listTree(small).empty()) << testing::PrintToString(listTree(small));
    }
    // What fits is written.
    package.entries.pop_back();
    std::string output;
    EXPECT_EQ(windowsTool("extract '" + windowsPath(makeExe(buildPackage(package))) + "' '" + root + "out'", &output), 0)
        << output;
    EXPECT_EQ(fs::file_size(small / "out" / "first.bin"), 3u << 20);
}

TEST_F(FreeSpace, AbsoluteOrVariableDestinationWithoutRoomEndsTheRunBeforeAnythingIsMade) {
    RunOptions options;
    options.environment["RUNPACK_SMALL"] = root + "app";
    struct Row {
        std::string what;
        std::optional<std::string> directory;
    } rows[] = {{"absolute", root + "app\\data"}, {"variable", std::string("%RUNPACK_SMALL%\\data")}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TestPackage package;
        package.cleanupMode = CLEANUP_DETACH;  // a run that went ahead would leave its files
        package.entries.push_back(entry(std::nullopt, "inside.txt", 6));
        package.entries.push_back(entry(row.directory, "first.bin", 16, 3u << 20));
        package.entries.push_back(entry(row.directory, "second.bin", 16, 2u << 20));
        package.command = "cmd.exe /c echo never> never.txt";
        EngineRun run = this->run(makeExe(buildPackage(package)), options);
        expectDiskFull(run);
        EXPECT_TRUE(listTree(small).empty()) << testing::PrintToString(listTree(small));
        EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
    }

    // What fits runs: 3 MiB on the 4 MiB drive, in tree mode, and goes again afterwards.
    TestPackage fits;
    fits.entries.push_back(entry(root + "app\\data", "first.bin", 3u << 20));
    fits.command = "cmd.exe /c if exist " + root + "app\\data\\first.bin echo seen> " + windowsPath(dir / "seen.txt");
    EngineRun run = this->run(makeExe(buildPackage(fits)), options);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty()) << run.output;
    EXPECT_TRUE(fs::exists(dir / "seen.txt"));
    EXPECT_TRUE(listTree(small).empty()) << testing::PrintToString(listTree(small));
}

TEST_F(FreeSpace, TemporaryDirectoryWithoutRoomEndsTheRunBeforeTheWorkingDirectoryIsMade) {
    fs::create_directories(small / "tmp");
    RunOptions options;
    options.tempText = root + "tmp";
    TestPackage package;
    package.entries.push_back(entry(std::nullopt, "first.bin", 16, 3u << 20));
    package.entries.push_back(entry(std::string("lib"), "second.bin", 16, 2u << 20));
    package.command = "cmd.exe /c echo never> never.txt";
    EngineRun run = this->run(makeExe(buildPackage(package)), options);
    expectDiskFull(run);
    EXPECT_EQ(listTree(small), std::vector<std::string>({"tmp/"}));
}
