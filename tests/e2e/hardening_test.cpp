// End-to-end runs under Wine that look at what the clean-up leaves behind: read-only files
// the command wrote, a directory that a process which has just ended still holds.
#include "e2e/harness.h"

#include "package/package_reader.h"
#include "support/package_builder.h"

namespace {

std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

TestEntry entry(std::optional<std::string> directory, std::string name, std::vector<uint8_t> content) {
    TestEntry e;
    e.directory = directory;
    e.name = name;
    e.content = std::move(content);
    return e;
}

class Hardening : public EngineTest {};

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
