// The engine's run from start to end under Wine: lookup, integrity check, validation, the
// working directory, the command, waiting and clean-up in each mode, and every message the
// user can meet, in English and in Czech.
#include "e2e/harness.h"

#include <algorithm>

#include <ctype.h>

#include <fstream>

#include "package/package_reader.h"
#include "runpack/image/pe_resources.h"
#include "support/package_builder.h"

namespace {

const uint32_t NTE_FAIL = 0x80090020u;
const char* const CAPTION_EN = "Processing error";
const char* const CAPTION_CS = "Chyba zpracování";

// A command that leaves a marker in its current directory, then lingers a moment so that a
// launcher that does not wait is seen to return before it ends.
const char* const MARKER_COMMAND = "cmd.exe /c echo ran> marker.txt";

TestPackage onePackage(std::optional<std::string> command, uint32_t mode) {
    TestPackage package;
    package.command = command;
    package.cleanupMode = mode;
    TestEntry entry;
    entry.name = "hello.txt";
    entry.content = {'h', 'i', '\n'};
    package.entries.push_back(entry);
    return package;
}

class RunSequence : public EngineTest {};

TEST_F(RunSequence, AbsentOrEmptyCommandStartsNothingAndCleansUpPerMode) {
    for (std::optional<std::string> command : {std::optional<std::string>(), std::optional<std::string>("")}) {
        for (uint32_t mode : {CLEANUP_JOURNAL, CLEANUP_TREE, CLEANUP_DETACH}) {
            SCOPED_TRACE(testing::Message() << "command " << (command ? "empty" : "absent") << ", mode " << mode);
            fs::remove_all(tmp);
            fs::create_directories(tmp);
            EngineRun run = this->run(makeExe(buildPackage(onePackage(command, mode))));
            EXPECT_EQ(run.exitCode, 0u) << run.output;
            EXPECT_TRUE(run.boxes.empty()) << run.output;
            if (mode == CLEANUP_DETACH) {
                // Nothing is removed: the working directory stays with the extracted file.
                std::optional<fs::path> work = onlyWorkingDirectory(tmp);
                ASSERT_TRUE(work.has_value()) << testing::PrintToString(listTree(tmp));
                EXPECT_EQ(listTree(*work), std::vector<std::string>({"hello.txt"}));
            } else {
                EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
            }
        }
    }
}

TEST_F(RunSequence, WorkingDirectoryIsNewDirectoryWithUnrelatedRandomName) {
    fs::path exe = makeExe(buildPackage(onePackage(std::nullopt, CLEANUP_DETACH)));
    EXPECT_EQ(run(exe).exitCode, 0u);
    EXPECT_EQ(run(exe).exitCode, 0u);
    std::vector<std::string> entries = listTree(tmp);
    std::vector<std::string> directories;
    for (const std::string& entry : entries) {
        if (entry.find('/') == entry.size() - 1) directories.push_back(entry.substr(0, entry.size() - 1));
    }
    // Two runs, two directories, each "QELTMP" and sixteen hex digits of a random number.
    ASSERT_EQ(directories.size(), 2u) << testing::PrintToString(entries);
    for (const std::string& name : directories) {
        EXPECT_EQ(name.size(), 22u) << name;
        EXPECT_EQ(name.rfind("QELTMP", 0), 0u) << name;
        EXPECT_EQ(name.find_first_not_of("0123456789ABCDEF", 6), std::string::npos) << name;
    }
    // Not a counter: random names share hardly a digit in place.
    int differing = 0;
    for (size_t i = 6; i < directories[0].size() && i < directories[1].size(); ++i) {
        differing += directories[0][i] != directories[1][i];
    }
    EXPECT_GE(differing, 4) << directories[0] << " " << directories[1];
}

TEST_F(RunSequence, CommandRunsInWorkingDirectoryInEachMode) {
    // Mode 0: the drain cannot remove the directory that holds the command's own file.
    fs::path exe = makeExe(buildPackage(onePackage(std::string(MARKER_COMMAND), CLEANUP_JOURNAL)));
    EngineRun journal = run(exe);
    EXPECT_EQ(journal.exitCode, 0u) << journal.output;
    std::optional<fs::path> work = onlyWorkingDirectory(tmp);
    ASSERT_TRUE(work.has_value()) << testing::PrintToString(listTree(tmp));
    EXPECT_EQ(listTree(*work), std::vector<std::string>({"marker.txt"}));

    // Mode 1: the tree removal takes the marker and the directory too.
    fs::remove_all(tmp);
    fs::create_directories(tmp);
    fs::path watched = tmp / "seen.txt";
    TestPackage tree = onePackage(std::string("cmd.exe /c echo ran> marker.txt & copy marker.txt ") +
                                      windowsPath(watched),
                                  CLEANUP_TREE);
    EngineRun treeRun = run(makeExe(buildPackage(tree)));
    EXPECT_EQ(treeRun.exitCode, 0u) << treeRun.output;
    EXPECT_TRUE(fs::exists(watched)) << "the command did not run";
    fs::remove(watched);
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));

    // Mode 2: the launcher returns at once; the command and its directory outlive it. The
    // command waits for a file that the test creates only after the launcher has ended.
    fs::remove_all(tmp);
    fs::create_directories(tmp);
    TestPackage detach = onePackage(std::string("cmd.exe /c wait.bat"), CLEANUP_DETACH);
    TestEntry script;
    script.name = "wait.bat";
    // The wait is bounded, so that a failed test leaves no command spinning behind.
    std::string batch = "@echo off\r\nset n=0\r\n:wait\r\nif exist go.txt goto done\r\nset /a n=n+1\r\n"
                        "if %n% lss 100000 goto wait\r\n:done\r\necho ran> marker.txt\r\n";
    script.content.assign(batch.begin(), batch.end());
    detach.entries.push_back(script);
    EngineRun detached = run(makeExe(buildPackage(detach)));
    EXPECT_EQ(detached.exitCode, 0u) << detached.output;
    work = onlyWorkingDirectory(tmp);
    ASSERT_TRUE(work.has_value());
    EXPECT_FALSE(fs::exists(*work / "marker.txt"));
    std::ofstream(*work / "go.txt") << "go";
    EXPECT_TRUE(waitFor(*work / "marker.txt", 20000)) << "the command did not outlive the launcher";
    EXPECT_TRUE(fs::exists(*work / "hello.txt"));
    EXPECT_TRUE(fs::exists(*work / "wait.bat"));
}

// The test program of the runnable Windows build (tests/programs), as bytes.
std::vector<uint8_t> probeProgram() {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(readFile((windowsBuildDir() / "runpack-probe.exe").string(), &bytes, &error)) << error;
    return bytes;
}

TestEntry fileEntry(const std::string& name, const std::vector<uint8_t>& content,
                    std::optional<std::string> directory = std::nullopt) {
    TestEntry entry;
    entry.name = name;
    entry.directory = directory;
    entry.content = content;
    return entry;
}

std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

TEST_F(RunSequence, ProgramBesideTheEngineNeverRuns) {
    // Whoever can write to the engine's folder (a downloads folder) leaves programs named as
    // the package's command there. The probe stands for both: it notes where it ran from.
    std::vector<uint8_t> probe = probeProgram();
    std::string error;
    ASSERT_TRUE(writeFile((dir / "setup.exe").string(), probe, &error)) << error;
    ASSERT_TRUE(writeFile((dir / "cmd.exe").string(), probe, &error)) << error;
    fs::path log = dir / "ran.txt";
    std::string command = "setup.exe marker " + windowsPath(log);

    // The package's own setup.exe runs, and only it.
    TestPackage carried = onePackage(command, CLEANUP_TREE);
    carried.entries.push_back(fileEntry("setup.exe", probe));
    EngineRun run = this->run(makeExe(buildPackage(carried)));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty()) << run.output;
    std::string ran = lowered(readText(log));
    std::string expectedStart = lowered(windowsPath(tmp) + "\\QELTMP");
    EXPECT_EQ(ran.rfind(expectedStart, 0), 0u) << ran;
    EXPECT_EQ(ran.find("\r\n"), ran.size() - 2) << "more than one program ran: " << ran;
    EXPECT_NE(ran.find("\\setup.exe\r\n"), std::string::npos) << ran;
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));

    // A package without one: the command is found nowhere, and the planted one stays idle.
    fs::remove(log);
    EngineRun missing = this->run(makeExe(buildPackage(onePackage(command, CLEANUP_TREE))));
    ASSERT_EQ(missing.boxes.size(), 1u) << missing.output;
    EXPECT_EQ(missing.boxes[0].caption, CAPTION_EN);
    EXPECT_EQ(missing.boxes[0].text, "Cannot create process!");
    EXPECT_EQ(missing.exitCode, 2u);  // ERROR_FILE_NOT_FOUND
    EXPECT_FALSE(fs::exists(log));
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));

    // A system program is the system's, not the planted cmd.exe.
    fs::path echoed = dir / "echoed.txt";
    TestPackage system = onePackage("cmd.exe /c echo ok> " + windowsPath(echoed), CLEANUP_TREE);
    EngineRun viaCmd = this->run(makeExe(buildPackage(system)));
    EXPECT_EQ(viaCmd.exitCode, 0u) << viaCmd.output;
    EXPECT_EQ(readText(echoed), "ok\r\n");
    EXPECT_FALSE(fs::exists(log));
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}

// Runs `command` in the Wine session (a Windows program and its arguments, shell-quoted);
// its exit status.
int inWine(const std::string& command) {
    return system((RUNPACK_SOURCE_DIR "/scripts/wine " + command + " >/dev/null 2>&1 </dev/null").c_str());
}

TEST_F(RunSequence, ElevatedRunNeverStartsAProgramOfTheUsersPath) {
    // Folders of the user's holding programs of the names packages run: one on the PATH of
    // the user's environment, one on the caller's (Wine adds WINEPATH to a program's PATH).
    // Under Wine every run is elevated.
    std::vector<uint8_t> probe = probeProgram();
    std::string error;
    fs::path users = dir / "users bin", callers = dir / "callers bin";
    for (const fs::path& folder : {users, callers}) {
        fs::create_directories(folder);
        for (const char* name : {"java.exe", "python.exe"}) {
            ASSERT_TRUE(writeFile((folder / name).string(), probe, &error)) << error;
        }
    }
    ASSERT_EQ(inWine("reg add 'HKCU\\Environment' /v PATH /d '" + windowsPath(users) + "' /f"), 0);
    // First the user's environment alone, then the caller's as well.
    RunOptions options;
    for (const fs::path& folder : {users, callers}) {
        SCOPED_TRACE(folder.string());
        if (folder == callers) options.environment["WINEPATH"] = windowsPath(callers);
        // The setting is real: a command started by the run sees the folder on its PATH.
        fs::path seen = dir / "path.txt";
        std::string show = "cmd.exe /c echo %PATH%> " + windowsPath(seen);
        EngineRun shown = this->run(makeExe(buildPackage(onePackage(show, CLEANUP_TREE))), options);
        EXPECT_EQ(shown.exitCode, 0u) << shown.output;
        EXPECT_NE(readText(seen).find(windowsPath(folder)), std::string::npos) << readText(seen);

        for (const char* command : {"java.exe -jar setup.jar", "python.exe setup.py"}) {
            SCOPED_TRACE(command);
            EngineRun run = this->run(makeExe(buildPackage(onePackage(std::string(command), CLEANUP_TREE))), options);
            EXPECT_EQ(run.boxes.size(), 1u) << run.output;
            EXPECT_EQ(run.boxes.empty() ? "" : run.boxes[0].text, "Cannot create process!");
            EXPECT_EQ(run.exitCode, 2u);  // ERROR_FILE_NOT_FOUND
            EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
        }
        EXPECT_FALSE(fs::exists(folder / "probe-ran.txt")) << readText(folder / "probe-ran.txt");
    }
    inWine("reg delete 'HKCU\\Environment' /v PATH /f");
}

TEST_F(RunSequence, CleanUpWaitsForWhatTheCommandStarted) {
    // An installer's way: start a second program and end at once. The second one reads the
    // extracted files two seconds later; they must still be there, and gone after it ends.
    for (uint32_t mode : {CLEANUP_TREE, CLEANUP_JOURNAL}) {
        SCOPED_TRACE(mode);
        fs::remove_all(tmp);
        fs::create_directories(tmp);
        fs::path report = dir / ("report" + std::to_string(mode) + ".txt");
        TestPackage package;
        package.cleanupMode = mode;
        package.command = "probe.exe spawn probe.exe read-later " + windowsPath(report) + " hello.txt docs\\readme.txt";
        package.entries.push_back(fileEntry("probe.exe", probeProgram()));
        package.entries.push_back(fileEntry("hello.txt", bytesOf("hi")));
        package.entries.push_back(fileEntry("readme.txt", bytesOf("read me"), std::string("docs")));
        EngineRun run = this->run(makeExe(buildPackage(package)));
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        EXPECT_TRUE(run.boxes.empty()) << run.output;
        // The engine ended after the second program had written its report.
        EXPECT_EQ(readText(report), "hello.txt=hi\ndocs\\readme.txt=read me\n");
        EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
    }
}

TEST_F(RunSequence, ConsoleCommandsOfAConsolelessEngineNeverLeaveItWaiting) {
    // Console programs started by an engine that has no console get a console of their own
    // (a console host joins the job as well); each run must end once they have, however many
    // runs one Wine server has seen. A later run hanging ends at the run's time limit.
    fs::path report = dir / "report.txt";
    TestPackage package;
    package.cleanupMode = CLEANUP_TREE;
    package.command = "cmd.exe /c probe.exe spawn probe.exe marker " + windowsPath(report);
    package.entries.push_back(fileEntry("probe.exe", probeProgram()));
    fs::path exe = makeExe(buildPackage(package));
    RunOptions options;
    options.noConsole = true;
    options.timeoutMs = 30000;
    const int RUNS = 12;
    for (int i = 0; i < RUNS; ++i) {
        SCOPED_TRACE(i);
        EngineRun run = this->run(exe, options);
        ASSERT_FALSE(run.timedOut) << run.output;
        ASSERT_EQ(run.exitCode, 0u) << run.output;
    }
    // Every run waited for the program its command started: one line each.
    std::string lines = readText(report);
    EXPECT_EQ(static_cast<int>(std::count(lines.begin(), lines.end(), '\n')), RUNS) << lines;
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}

TEST_F(RunSequence, ProgramThatBreaksAwayIsNotWaitedFor) {
    // The second program leaves the job and waits for a file that the test makes only once
    // the engine has ended (or gives up after 20 s, which a waiting engine would show).
    fs::path go = dir / "go.txt", done = dir / "done.txt";
    TestPackage package;
    package.cleanupMode = CLEANUP_TREE;
    package.command = "probe.exe spawn --breakaway probe.exe wait-for " + windowsPath(go) + " 20000 " +
                      windowsPath(done);
    package.entries.push_back(fileEntry("probe.exe", probeProgram()));
    EngineRun run = this->run(makeExe(buildPackage(package)));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty()) << run.output;
    EXPECT_FALSE(fs::exists(done)) << "the engine waited for a program that broke away";
    std::ofstream(go) << "go";
    ASSERT_TRUE(waitFor(done, 30000));
    // What the tree removal could not take while that program ran from the working
    // directory differs between Windows and Wine: it is not checked here.
    EXPECT_EQ(readText(done), "go\n");
}

TEST_F(RunSequence, MissingPackageResourceReportsLookupError) {
    std::vector<uint8_t> digest(20, 0);
    fs::path exe = makeExe(nullptr, &digest);
    EngineRun run = this->run(exe);
    ASSERT_EQ(run.boxes.size(), 1u) << run.output;
    // The type exists (the digest), the name does not: ERROR_RESOURCE_NAME_NOT_FOUND.
    EXPECT_EQ(run.boxes[0].caption, CAPTION_EN);
    EXPECT_EQ(run.boxes[0].text, "Cannot read RUNINFO\r\nError code: 0x716");
    EXPECT_EQ(run.exitCode, 0x716u);

    fs::path bare = makeExe(nullptr, nullptr, "bare.exe");
    EngineRun czech = this->run(bare, inLanguage("cs_CZ.UTF-8"));
    ASSERT_EQ(czech.boxes.size(), 1u) << czech.output;
    EXPECT_EQ(czech.boxes[0].caption, CAPTION_CS);
    EXPECT_EQ(czech.boxes[0].text, "Chyba čtení RUNINFO\r\nKód chyby: 0x715");
    EXPECT_EQ(czech.exitCode, 0x715u);  // ERROR_RESOURCE_TYPE_NOT_FOUND
    EXPECT_TRUE(listTree(tmp).empty());
}

TEST_F(RunSequence, BadDigestIsRefusedBeforeAnythingIsCreated) {
    std::vector<uint8_t> package = buildPackage(onePackage(std::string(MARKER_COMMAND), CLEANUP_JOURNAL));
    std::vector<uint8_t> good = sha1Digest(package);
    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    std::vector<uint8_t> shorter(good.begin(), good.end() - 1);
    std::vector<uint8_t> doubled = good;
    doubled.insert(doubled.end(), good.begin(), good.end());
    std::vector<uint8_t> empty;
    std::vector<uint8_t> different = good;
    different[19] ^= 1;

    struct Case {
        const char* what;
        const std::vector<uint8_t>* package;
        const std::vector<uint8_t>* digest;
    } cases[] = {
        {"missing", &package, nullptr},       {"19 bytes", &package, &shorter},
        {"21 bytes", &package, &longer},      {"40 bytes", &package, &doubled},
        {"0 bytes", &package, &empty},        {"different", &package, &different},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::path exe = makeExe(c.package, c.digest, "bad" + std::to_string(index++) + ".exe");
        bool czech = index % 2 == 0;
        EngineRun run = this->run(exe, inLanguage(czech ? "cs_CZ.UTF-8" : "en_US.UTF-8"));
        ASSERT_EQ(run.boxes.size(), 1u) << run.output;
        EXPECT_EQ(run.boxes[0].caption, czech ? CAPTION_CS : CAPTION_EN);
        EXPECT_EQ(run.boxes[0].text, czech ? "RUNINFO chybí nebo má špatný kontrolní součet!"
                                           : "Missing RUNINFO or bad checksum!");
        EXPECT_EQ(run.exitCode, NTE_FAIL);
        EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
    }
}

TEST_F(RunSequence, ChangedPackageByteIsRefusedBeforeAnythingIsCreated) {
    std::vector<uint8_t> package = buildPackage(onePackage(std::string(MARKER_COMMAND), CLEANUP_JOURNAL));
    std::vector<uint8_t> good = sha1Digest(package);
    package[package.size() / 2] ^= 0x40;
    EngineRun run = this->run(makeExe(&package, &good));
    ASSERT_EQ(run.boxes.size(), 1u) << run.output;
    EXPECT_EQ(run.boxes[0].caption, CAPTION_EN);
    EXPECT_EQ(run.boxes[0].text, "Missing RUNINFO or bad checksum!");
    EXPECT_EQ(run.exitCode, NTE_FAIL);
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}

TEST_F(RunSequence, InvalidStructureIsRefusedBeforeAnythingIsCreated) {
    TestPackage versionOne = onePackage(std::string(MARKER_COMMAND), CLEANUP_TREE);
    versionOne.version = 1;
    std::vector<uint8_t> trailing = buildPackage(onePackage(std::string(MARKER_COMMAND), CLEANUP_TREE));
    trailing.push_back(0);
    TestPackage modeThree = onePackage(std::nullopt, 3);
    std::vector<std::vector<uint8_t>> packages = {buildPackage(versionOne), trailing, buildPackage(modeThree)};
    for (size_t i = 0; i < packages.size(); ++i) {
        SCOPED_TRACE(i);
        bool czech = i == 1;
        EngineRun run = this->run(makeExe(packages[i]), inLanguage(czech ? "cs_CZ.UTF-8" : "en_US.UTF-8"));
        ASSERT_EQ(run.boxes.size(), 1u) << run.output;
        EXPECT_EQ(run.boxes[0].caption, czech ? CAPTION_CS : CAPTION_EN);
        EXPECT_EQ(run.boxes[0].text, czech ? "RUNINFO nepze zpracovat!" : "Cannot process RUNINFO!");
        EXPECT_EQ(run.exitCode, NTE_FAIL);
        EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
    }
}

TEST_F(RunSequence, CommandThatCannotStartReportsPlatformCodeAndRemovesTree) {
    for (const char* language : {"en_US.UTF-8", "cs_CZ.UTF-8"}) {
        SCOPED_TRACE(language);
        bool czech = language[0] == 'c';
        TestPackage package = onePackage(std::string("no-such-program-here.exe"), CLEANUP_DETACH);
        EngineRun run = this->run(makeExe(buildPackage(package)), inLanguage(language));
        ASSERT_EQ(run.boxes.size(), 1u) << run.output;
        EXPECT_EQ(run.boxes[0].caption, czech ? CAPTION_CS : CAPTION_EN);
        EXPECT_EQ(run.boxes[0].text, czech ? "Program nelze spustit!" : "Cannot create process!");
        EXPECT_EQ(run.exitCode, 2u);  // ERROR_FILE_NOT_FOUND
        // A failure after the working directory was entered removes it whatever the mode.
        EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
    }
}

TEST_F(RunSequence, MissingTemporaryDirectoryReportsNoUniqueName) {
    fs::path exe = makeExe(buildPackage(onePackage(std::nullopt, CLEANUP_TREE)));
    fs::remove_all(tmp);  // the runtime gives no unique name in a missing directory
    EngineRun run = this->run(exe);
    ASSERT_EQ(run.boxes.size(), 1u) << run.output;
    EXPECT_EQ(run.boxes[0].caption, CAPTION_EN);
    char expected[128];
    snprintf(expected, sizeof(expected),
             "Cannot get the name of a temporary directory!\r\nError code: 0x%X", run.exitCode);
    EXPECT_EQ(run.boxes[0].text, expected);
    EXPECT_NE(run.exitCode, 0u);
}

}  // namespace
