// Two runs of one package with an absolute destination at the same time: the second waits
// for the first, so that each sets aside and puts back the user's own file, never the other
// run's.
#include "e2e/harness.h"

#include <chrono>
#include <fstream>
#include <thread>

#include "support/package_builder.h"
#include "support/test_files.h"

namespace {

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class OverlappingRuns : public EngineTest {};

TEST_F(OverlappingRuns, SecondRunWaitsAndTheUsersFileStaysItsOwn) {
    fs::path destination = dir / "destination";
    fs::create_directories(destination);
    const std::string users = "the user's own settings\r\n";
    std::ofstream(destination / "settings.ini", std::ios::binary) << users;
    fs::path go = dir / "go";
    TestPackage package;
    // Each run's command waits until the test says go, then reports the file it saw.
    package.command = "probe.exe wait-for " + windowsPath(go) + " 60000 " + windowsPath(dir / "seen.txt");
    TestEntry probe;
    probe.name = "probe.exe";
    probe.content = readFile((windowsBuildDir() / "runpack-probe.exe").string());
    package.entries.push_back(probe);
    TestEntry settings;
    settings.directory = windowsPath(destination);
    settings.name = "settings.ini";
    const std::string packaged = "the package's settings\r\n";
    settings.content.assign(packaged.begin(), packaged.end());
    package.entries.push_back(settings);
    fs::path exe = makeExe(buildPackage(package));

    RunOptions first, second;
    first.tag = "-first";
    second.tag = "-second";
    EngineRun firstRun, secondRun;
    std::thread firstThread([&] { firstRun = this->run(exe, first); });
    // The first run has placed the package's file and waits in its command.
    for (int i = 0; i < 600 && readText(destination / "settings.ini") != packaged; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(readText(destination / "settings.ini"), packaged);
    std::thread secondThread([&] { secondRun = this->run(exe, second); });
    // Time for the second run to start and reach the lock; it must not touch the file.
    std::this_thread::sleep_for(std::chrono::milliseconds(3000 * timeScale()));
    size_t asideDuringFirst = 0;
    for (const auto& entry : fs::directory_iterator(destination)) {
        asideDuringFirst += entry.path().filename().string().rfind(".runpack-", 0) == 0 ? 1 : 0;
    }
    std::ofstream(go) << "go";
    firstThread.join();
    secondThread.join();

    EXPECT_EQ(firstRun.exitCode, 0u) << firstRun.output;
    EXPECT_EQ(secondRun.exitCode, 0u) << secondRun.output;
    EXPECT_TRUE(firstRun.boxes.empty()) << firstRun.output;
    EXPECT_TRUE(secondRun.boxes.empty()) << secondRun.output;
    // One set-aside file while the first run ran: the user's, not a second of the package's.
    EXPECT_EQ(asideDuringFirst, 1u);
    // The user's file at its name with its bytes, and nothing hidden beside it.
    EXPECT_EQ(readText(destination / "settings.ini"), users);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(destination)) left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>({"settings.ini"}));
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}

}  // namespace

namespace {

TEST_F(OverlappingRuns, APutBackThatFailsIsReportedNeverASilentSuccess) {
    // The command removes the user's file that the run set aside: it cannot come back.
    fs::path destination = dir / "destination";
    fs::create_directories(destination);
    std::ofstream(destination / "settings.ini", std::ios::binary) << "the user's";
    TestPackage package;
    package.command = "cmd.exe /c del /f /q /a \"" + windowsPath(destination) + "\\.runpack-*\"";
    TestEntry settings;
    settings.directory = windowsPath(destination);
    settings.name = "settings.ini";
    settings.content = {'p'};
    package.entries.push_back(settings);
    EngineRun run = this->run(makeExe(buildPackage(package)));
    ASSERT_EQ(run.boxes.size(), 1u) << run.output;
    EXPECT_EQ(run.boxes[0].text, "Cannot extract files!");
    EXPECT_EQ(run.exitCode, 0x80090020u);
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}

}  // namespace
