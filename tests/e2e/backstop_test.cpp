// The clean-up backstop under Wine: a run killed while it extracts leaves a RunOnce value that
// removes its working directory, and gives the user's file back, at the next logon (Wine's
// wineboot); a run that ends leaves no value, a detached one registers none; the reserved
// argument touches nothing but a working directory in the temporary directory.
#include "e2e/harness.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "package/package_reader.h"
#include "runpack/image/pe_resources.h"
#include "support/package_builder.h"

namespace {

// Windows compares paths without regard to case, and a path the system gives back has the
// case the file system keeps ("C:\windows\temp").
bool startsWithIgnoringCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (tolower(static_cast<unsigned char>(text[i])) != tolower(static_cast<unsigned char>(prefix[i]))) return false;
    }
    return true;
}

const char* const RUN_ONCE = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const char* const SET_ASIDE = "HKLM\\Software\\runpack\\SetAside";
const uint32_t REFUSED = 87;  // ERROR_INVALID_PARAMETER
const uint32_t KILLED = 0xDEAD;

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += "'\\''";
        else quoted += c;
    }
    return quoted + "'";
}

// Runs a Windows program of the session's prefix; its output, CR LF made LF.
std::string wine(const std::string& arguments, int* status = nullptr) {
    std::string command = "timeout " + std::to_string(300 * timeScale()) + " " RUNPACK_SOURCE_DIR "/scripts/wine " +
                          arguments + " 2>/dev/null </dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    if (pipe == nullptr) return output;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, got);
    int result = pclose(pipe);
    if (status != nullptr) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    std::string text;
    for (char c : output) {
        if (c != '\r') text += c;
    }
    return text;
}

// The data of value `name` in the key that `reg query` shows in `listing`, or nullopt.
std::optional<std::string> valueIn(const std::string& listing, const std::string& name) {
    const std::string marker = "    " + name + "    REG_SZ    ";
    size_t at = listing.find(marker);
    if (at == std::string::npos) return std::nullopt;
    at += marker.size();
    size_t end = listing.find_first_of("\r\n", at);
    return listing.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// The SID that ends a value of an elevated run ("S-1-..."), or "".
std::string sidOf(const std::string& value) {
    size_t at = value.rfind(" S-1-");
    return at == std::string::npos ? std::string() : value.substr(at + 1);
}

std::optional<std::string> runOnceValue(const std::string& name) {
    return valueIn(wine(std::string("reg query ") + shellQuote(RUN_ONCE)), name);
}

// A Windows path of the session's prefix as a Linux path: C: is the prefix's drive_c, Z: is /.
fs::path linuxPath(const std::string& windows) {
    std::string rest = windows.substr(2);
    for (char& c : rest) {
        if (c == '\\') c = '/';
    }
    if (windows[0] == 'Z' || windows[0] == 'z') return fs::path(rest);
    const char* prefix = getenv("WINEPREFIX");
    return fs::path(prefix != nullptr ? prefix : "") / "drive_c" / rest.substr(1);
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TestEntry entryOf(std::optional<std::string> directory, const std::string& name, const std::vector<uint8_t>& content) {
    TestEntry entry;
    entry.directory = directory;
    entry.name = name;
    entry.content = content;
    return entry;
}

std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// The hidden names the engine gives a user's file that it sets aside.
std::vector<fs::path> setAsideFiles(const fs::path& directory) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(directory)) {
        std::string name = entry.path().filename().string();
        if (name.rfind(".runpack-", 0) == 0) found.push_back(entry.path());
    }
    return found;
}

class Backstop : public EngineTest {
protected:
    void TearDown() override {
        // Nothing of a failed test stays in the shared prefix.
        for (const std::string& name : HasFailure() ? registered : std::vector<std::string>()) {
            wine(std::string("reg delete ") + shellQuote(RUN_ONCE) + " /v " + name + " /f");
            wine(std::string("reg delete ") + shellQuote(std::string(SET_ASIDE) + "\\" + name) + " /f");
        }
        for (const fs::path& path : leftovers) fs::remove_all(path);
        EngineTest::TearDown();
    }
    RunOptions withArguments(const std::string& arguments) {
        RunOptions options;
        options.arguments = arguments;
        return options;
    }
    // A remover as a run leaves one: the engine with its resource directory cleared, as
    // runpack-remover.exe in a directory of a working directory's name below the Windows
    // directory's Temp. Its Windows path.
    std::string makeRemover() {
        std::vector<uint8_t> image = engineImage();
        size_t optional = le32(image, 0x3C) + 24;
        size_t directories = optional + (image.at(optional) == 0x0B && image.at(optional + 1) == 0x02 ? 112 : 96);
        const size_t RESOURCE_DIRECTORY = 2;
        std::fill(image.begin() + directories + 8 * RESOURCE_DIRECTORY, image.begin() + directories + 8 * RESOURCE_DIRECTORY + 8, 0);
        char name[32];
        snprintf(name, sizeof(name), "QELTMP%08X%08X", static_cast<unsigned>(getpid()), counter++);
        std::string windows = std::string("C:\\windows\\temp\\") + name + "\\runpack-remover.exe";
        fs::path linux = linuxPath(windows);
        fs::create_directories(linux.parent_path());
        leftovers.push_back(linux.parent_path());
        std::string error;
        EXPECT_TRUE(writeFile(linux.string(), image, &error)) << error;
        return windows;
    }
    // Runs the remover at the Windows path `remover` with the engine's arguments `arguments`.
    EngineRun runRemover(const std::string& remover, const std::string& arguments) {
        RunOptions options = withArguments(arguments);
        options.exeText = remover;
        return run(fs::path(), options);
    }
    static uint32_t le32(const std::vector<uint8_t>& bytes, size_t at) {
        return bytes.at(at) | bytes.at(at + 1) << 8 | bytes.at(at + 2) << 16 | static_cast<uint32_t>(bytes.at(at + 3)) << 24;
    }
    unsigned counter = 0;
    std::vector<std::string> registered;
    std::vector<fs::path> leftovers;
};

TEST_F(Backstop, KilledRunIsRemovedAndTheUsersFileGivenBackAtTheNextLogon) {
    // First the user's file at an absolute destination, which the run sets aside; then enough
    // to extract that the driver ends the engine while it is still at it.
    fs::path destination = dir / "destination";
    fs::create_directories(destination);
    const std::string users = "the user's own file\r\n";
    std::ofstream(destination / "settings.ini", std::ios::binary) << users;
    TestPackage package;
    package.command = "cmd.exe /c exit";
    package.cleanupMode = CLEANUP_TREE;
    package.entries.push_back(entryOf(windowsPath(destination), "settings.ini", bytesOf("the package's\r\n")));
    for (int i = 0; i < 32; ++i) {
        package.entries.push_back(entryOf(std::nullopt, "part" + std::to_string(i) + ".bin",
                                          std::vector<uint8_t>(2 << 20, static_cast<uint8_t>('a' + i % 26))));
    }
    fs::path exe = makeExe(buildPackage(package));
    RunOptions options;
    options.systemTemp = true;  // the temporary directory the logon's process has too
    options.killWhenExtracting = true;
    EngineRun run = this->run(exe, options);
    ASSERT_FALSE(run.killedDirectory.empty()) << run.output;
    EXPECT_EQ(run.exitCode, KILLED);
    registered.push_back(run.killedDirectory);
    fs::path work = linuxPath(run.tempPath) / run.killedDirectory;
    leftovers.push_back(work);

    // Killed: the directory with what was extracted so far, the value, the user's file aside.
    ASSERT_TRUE(fs::is_directory(work)) << work;
    EXPECT_FALSE(listTree(work).empty());
    // Elevated (Wine's user always is): the value starts a remover in the Windows directory's
    // Temp, never the executable where the user started it, and names the run's user.
    std::optional<std::string> value = runOnceValue(run.killedDirectory);
    ASSERT_TRUE(value.has_value());
    std::string remover = value->substr(1, value->find('"', 1) - 1);
    EXPECT_TRUE(startsWithIgnoringCase(remover, "C:\\windows\\Temp\\QELTMP")) << *value;
    EXPECT_EQ(remover.substr(remover.rfind('\\') + 1), "runpack-remover.exe") << *value;
    EXPECT_EQ(value->substr(remover.size() + 2, std::string::npos).rfind(
                  " /runpack-remove \"" + run.tempPath + run.killedDirectory + "\" S-1-", 0),
              0u)
        << *value;
    // The copy holds the engine, not the package: smaller than the engine itself.
    std::string unixRemover = wine("winepath -u " + shellQuote(remover));
    unixRemover = unixRemover.substr(0, unixRemover.find('\n'));
    ASSERT_TRUE(fs::is_regular_file(unixRemover)) << remover;
    EXPECT_LT(fs::file_size(unixRemover), engineImage().size());
    leftovers.push_back(fs::path(unixRemover).parent_path());
    EXPECT_EQ(readText(destination / "settings.ini"), "the package's\r\n");
    std::vector<fs::path> aside = setAsideFiles(destination);
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(readText(aside[0]), users);

    // A process of the user renames the executable, which Windows allows while it runs, and
    // puts a program of its own at its path (the probe, which removes nothing).
    fs::rename(exe, dir / "renamed.exe");
    fs::copy_file(windowsBuildDir() / "runpack-probe.exe", exe);

    // The logon: the remover removes the tree and puts the user's file back; the value is
    // gone, and the remover and its directory wait for the restart.
    int status = -1;
    wine("wineboot", &status);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(fs::exists(dir / "probe-ran.txt")) << readText(dir / "probe-ran.txt");
    EXPECT_FALSE(fs::exists(work)) << testing::PrintToString(listTree(work));
    EXPECT_EQ(runOnceValue(run.killedDirectory), std::nullopt);
    EXPECT_EQ(readText(destination / "settings.ini"), users);
    EXPECT_TRUE(setAsideFiles(destination).empty());
    // The records went with it.
    wine(std::string("reg query ") + shellQuote(std::string(SET_ASIDE) + "\\" + run.killedDirectory), &status);
    EXPECT_NE(status, 0);
    std::string pending = wine("reg query 'HKLM\\System\\CurrentControlSet\\Control\\Session Manager' /v PendingFileRenameOperations");
    auto lower = [](std::string text) {
        for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        return text;
    };
    if (fs::exists(unixRemover)) {
        EXPECT_NE(lower(pending).find(lower(remover)), std::string::npos) << pending;
    }
}

// TEMP and TMP of the user's environment (HKCU\Environment), which the next logon's
// processes get, set to `path` for as long as it lives, and then put back as they were.
class UserTemporaryDirectory {
public:
    explicit UserTemporaryDirectory(const std::string& path) {
        std::string listing = wine("reg query 'HKCU\\Environment'");
        for (const char* name : {"TEMP", "TMP"}) {
            for (const char* type : {"REG_EXPAND_SZ", "REG_SZ"}) {
                std::string marker = std::string("    ") + name + "    " + type + "    ";
                size_t at = listing.find(marker);
                if (at == std::string::npos) continue;
                at += marker.size();
                saved.push_back({name, type, listing.substr(at, listing.find('\n', at) - at)});
            }
            wine(std::string("reg add 'HKCU\\Environment' /v ") + name + " /t REG_SZ /d " + shellQuote(path) + " /f");
        }
    }
    ~UserTemporaryDirectory() {
        for (const char* name : {"TEMP", "TMP"}) wine(std::string("reg delete 'HKCU\\Environment' /v ") + name + " /f");
        for (const Value& value : saved) {
            wine("reg add 'HKCU\\Environment' /v " + value.name + " /t " + value.type + " /d " + shellQuote(value.data) +
                 " /f");
        }
    }

private:
    struct Value {
        std::string name, type, data;
    };
    std::vector<Value> saved;
};

TEST_F(Backstop, KilledRunInATemporaryDirectoryOutsideTheCodePageLinkedOrShortIsRemovedAtTheNextLogon) {
    // "Jiří": the ř is in no Western code page. The run's user and the next logon have it as
    // TEMP: by its own path, then through a link to it; and then a folder by its short name.
    fs::path temp = dir / "Users" / "Ji\xC5\x99\xC3\xAD" / "Temp";
    fs::create_directories(temp);
    fs::create_directory_symlink(temp, dir / "linked");
    fs::path longNamed = dir / "Temporary files of a long name";
    fs::create_directories(longNamed);
    std::string shortName = wine("winepath -s " + shellQuote(windowsPath(longNamed)));
    shortName = shortName.substr(0, shortName.find('\n'));
    ASSERT_EQ(shortName.find("Temporary files"), std::string::npos) << shortName;
    TestPackage package;
    package.command = "cmd.exe /c exit";
    package.cleanupMode = CLEANUP_TREE;
    for (int i = 0; i < 32; ++i) {
        package.entries.push_back(entryOf(std::nullopt, "part" + std::to_string(i) + ".bin",
                                          std::vector<uint8_t>(2 << 20, static_cast<uint8_t>('a' + i % 26))));
    }
    fs::path exe = makeExe(buildPackage(package));
    const std::vector<std::pair<std::string, fs::path>> temporaryDirectories = {
        {windowsPath(temp), temp}, {windowsPath(dir / "linked"), temp}, {shortName, longNamed}};
    for (const auto& [given, real] : temporaryDirectories) {
        SCOPED_TRACE(given);
        UserTemporaryDirectory userTemp(given);
        RunOptions options;
        options.tempText = given;
        options.killWhenExtracting = true;
        EngineRun run = this->run(exe, options);
        ASSERT_FALSE(run.killedDirectory.empty()) << run.output;
        registered.push_back(run.killedDirectory);
        fs::path work = real / run.killedDirectory;
        leftovers.push_back(work);
        ASSERT_TRUE(fs::is_directory(work)) << work;
        EXPECT_FALSE(listTree(work).empty());
        std::optional<std::string> value = runOnceValue(run.killedDirectory);
        ASSERT_TRUE(value.has_value());
        std::string remover = value->substr(1, value->find('"', 1) - 1);
        ASSERT_TRUE(startsWithIgnoringCase(remover, "C:\\windows\\Temp\\QELTMP")) << *value;
        std::string unixRemover = wine("winepath -u " + shellQuote(remover));
        leftovers.push_back(fs::path(unixRemover.substr(0, unixRemover.find('\n'))).parent_path());

        int status = -1;
        wine("wineboot", &status);
        EXPECT_EQ(status, 0);
        EXPECT_FALSE(fs::exists(work)) << testing::PrintToString(listTree(work));
        EXPECT_EQ(runOnceValue(run.killedDirectory), std::nullopt);
        EXPECT_TRUE(listTree(real).empty()) << testing::PrintToString(listTree(real));
    }
}

TEST_F(Backstop, ValueLivesWhileTheRunWaitsAndNeverInDetach) {
    // The command shows its working directory and the RunOnce values while the engine waits.
    fs::path during = dir / "during.txt";
    std::string show = "cmd.exe /c echo %CD%> " + windowsPath(during) + " & reg query \"" + std::string(RUN_ONCE) +
                       "\" >> " + windowsPath(during);
    fs::path exe = makeExe(buildPackage([&] {
        TestPackage package;
        package.command = show;
        package.cleanupMode = CLEANUP_JOURNAL;
        package.entries.push_back(entryOf(std::nullopt, "a.txt", bytesOf("a")));
        return package;
    }()));
    EngineRun run = this->run(exe);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    std::string seen = readText(during);
    // cmd's echo keeps the blank before the "&" that follows it.
    std::string workDir = seen.substr(0, seen.find_first_of(" \r"));
    std::string name = workDir.substr(workDir.rfind('\\') + 1);
    ASSERT_EQ(name.rfind("QELTMP", 0), 0u) << seen;
    registered.push_back(name);
    std::optional<std::string> value = valueIn(seen, name);
    ASSERT_TRUE(value.has_value()) << seen;
    std::string remover = value->substr(1, value->find('"', 1) - 1);
    EXPECT_EQ(*value, "\"" + remover + "\" /runpack-remove \"" + workDir + "\" " + sidOf(*value)) << seen;
    EXPECT_TRUE(startsWithIgnoringCase(remover, "C:\\windows\\Temp\\QELTMP")) << *value;
    // Gone once the run's clean-up is done, and the remover with its directory.
    EXPECT_EQ(runOnceValue(name), std::nullopt);
    std::string unixRemover = wine("winepath -u " + shellQuote(remover));
    EXPECT_FALSE(fs::exists(fs::path(unixRemover.substr(0, unixRemover.find('\n'))).parent_path())) << remover;

    // Detach: the command runs after the engine has ended; no value was ever there.
    fs::remove(during);
    TestPackage detached;
    detached.command = show;
    detached.cleanupMode = CLEANUP_DETACH;
    detached.entries.push_back(entryOf(std::nullopt, "a.txt", bytesOf("a")));
    EngineRun detachedRun = this->run(makeExe(buildPackage(detached)));
    EXPECT_EQ(detachedRun.exitCode, 0u) << detachedRun.output;
    ASSERT_TRUE(waitFor(during, 30000));
    // The report is renamed into place by nobody: wait until cmd has written all of it.
    std::string detachedSeen;
    for (int i = 0; i < 100 && detachedSeen.find("RunOnce") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        detachedSeen = readText(during);
    }
    std::string detachedDir = detachedSeen.substr(0, detachedSeen.find_first_of(" \r"));
    std::string detachedName = detachedDir.substr(detachedDir.rfind('\\') + 1);
    ASSERT_EQ(detachedName.rfind("QELTMP", 0), 0u) << detachedSeen;
    EXPECT_EQ(valueIn(detachedSeen, detachedName), std::nullopt) << detachedSeen;
    EXPECT_EQ(runOnceValue(detachedName), std::nullopt);
}

TEST_F(Backstop, ReservedArgumentRemovesOnlyAWorkingDirectoryOfTheTemporaryDirectory) {
    // What an attacker would point the reserved argument at, each with a file of its own.
    fs::path outside = dir / "outside";
    fs::create_directories(outside);
    std::ofstream(outside / "precious.txt") << "precious";
    fs::path victim = tmp / "victim";
    fs::create_directories(victim);
    std::ofstream(victim / "own.txt") << "own";
    fs::path elsewhere = dir / "elsewhere" / "QELTMP0123456789ABCDEF";
    fs::create_directories(elsewhere);
    std::ofstream(elsewhere / "own.txt") << "own";
    fs::path link = tmp / "QELTMP00000000000000AA";
    fs::create_directory_symlink(outside, link);
    fs::path file = tmp / "QELTMP00000000000000BB";
    std::ofstream(file) << "a file";
    for (const char* name : {"QELTMP0123456789abcdef", "QELTMP0123456789ABCDE", "QELTMP0123456789ABCDEF0",
                             "QELTMP0123456789ABCDEG", "qeltmp0123456789ABCDEF"}) {
        fs::create_directories(tmp / name);
        std::ofstream(tmp / name / "own.txt") << "own";
    }
    const std::string temp = windowsPath(tmp) + "\\";
    const std::vector<std::string> refused = {
        " /runpack-remove \"" + temp + "victim\"",
        " /runpack-remove \"" + windowsPath(elsewhere) + "\"",
        " /runpack-remove \"" + temp + "QELTMP00000000000000AA\"",  // a link to a directory
        " /runpack-remove \"" + temp + "QELTMP00000000000000BB\"",  // a file
        " /runpack-remove \"" + temp + "QELTMP0123456789abcdef\"",
        " /runpack-remove \"" + temp + "QELTMP0123456789ABCDE\"",
        " /runpack-remove \"" + temp + "QELTMP0123456789ABCDEF0\"",
        " /runpack-remove \"" + temp + "QELTMP0123456789ABCDEG\"",
        " /runpack-remove \"" + temp + "qeltmp0123456789ABCDEF\"",
        " /runpack-remove \"" + temp + "QELTMP00000000000000AA\\..\\victim\"",
        " /runpack-remove \"" + windowsPath(tmp) + "\\\\QELTMP00000000000000AA\"",
        " /runpack-remove " + temp + "victim",
        " /runpack-remove  \"" + temp + "victim\"",
        " /runpack-remove \"" + temp + "victim\" more",
        " /runpack-remove \"" + temp + "victim",
        " /RUNPACK-REMOVE \"" + temp + "victim\"",
        " /runpack-remove",
    };
    fs::path marker = dir / "ran.txt";
    TestPackage package;
    package.command = "cmd.exe /c echo ran> " + windowsPath(marker);
    package.entries.push_back(entryOf(std::nullopt, "a.txt", bytesOf("a")));
    fs::path exe = makeExe(buildPackage(package));
    const std::string remover = makeRemover();
    std::vector<std::string> before = listTree(tmp), outsideBefore = listTree(outside);
    for (const std::string& arguments : refused) {
        SCOPED_TRACE(arguments);
        EngineRun run = runRemover(remover, arguments);
        EXPECT_EQ(run.exitCode, REFUSED) << run.output;
        EXPECT_TRUE(run.boxes.empty()) << run.output;
        EXPECT_TRUE(run.windows.empty()) << run.output;
        EXPECT_EQ(listTree(tmp), before);
        EXPECT_EQ(listTree(outside), outsideBefore);
        EXPECT_TRUE(fs::exists(elsewhere / "own.txt"));
    }
    EXPECT_TRUE(fs::is_symlink(link));

    // A working directory's name in the temporary directory goes, and with it a link inside
    // it, but never what the link points to.
    fs::path work = tmp / "QELTMP0123456789ABCDEF";
    fs::create_directories(work / "sub" / "deeper");
    std::ofstream(work / "sub" / "deeper" / "x.txt") << "x";
    std::ofstream(work / "top.txt") << "top";
    fs::create_directory_symlink(outside, work / "sub" / "link");
    const std::string call = " /runpack-remove \"" + temp + "QELTMP0123456789ABCDEF\"";
    // The same call to an executable that carries a package, even one of the run's: refused,
    // nothing touched, the package not run.
    std::vector<std::string> workBefore = listTree(work);
    EngineRun plain = this->run(exe, withArguments(call));
    EXPECT_EQ(plain.exitCode, REFUSED) << plain.output;
    EXPECT_TRUE(plain.boxes.empty()) << plain.output;
    EXPECT_EQ(listTree(work), workBefore);
    EXPECT_FALSE(fs::exists(marker)) << "the package ran";
    EngineRun removal = runRemover(remover, call);
    EXPECT_EQ(removal.exitCode, 0u) << removal.output;
    EXPECT_TRUE(removal.windows.empty()) << removal.output;
    // Wine opens a link's target whatever the flags say, so the walk must leave a Unix link
    // (and the directories above it) in place there; Windows removes the link itself.
    auto entries = [](const fs::path& directory) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
        return names;
    };
    if (fs::exists(fs::symlink_status(work))) {
        EXPECT_EQ(entries(work), std::vector<std::string>({"sub"}));
        EXPECT_EQ(entries(work / "sub"), std::vector<std::string>({"link"}));
        EXPECT_TRUE(fs::is_symlink(work / "sub" / "link"));
    }
    EXPECT_EQ(listTree(outside), outsideBefore);
    EXPECT_EQ(readText(outside / "precious.txt"), "precious");
    EXPECT_FALSE(fs::exists(marker));
    fs::remove(link);
    fs::remove_all(work);
}

TEST_F(Backstop, ReservedArgumentIsNeverForwarded) {
    // With --forward-arguments the reserved argument still makes a backstop call: the package
    // does not run, and the command never sees the argument.
    fs::path marker = dir / "ran.txt";
    TestPackage package;
    package.command = "probe.exe marker " + windowsPath(marker);
    std::vector<uint8_t> probe;
    std::string probeError;
    ASSERT_TRUE(readFile((windowsBuildDir() / "runpack-probe.exe").string(), &probe, &probeError)) << probeError;
    package.entries.push_back(entryOf(std::nullopt, "probe.exe", probe));
    std::vector<uint8_t> bytes = buildPackage(package);
    std::vector<uint8_t> digest = sha1Digest(bytes), record = {8, 0, 0, 0, 1, 0, 0, 0}, image;
    std::string error;
    ASSERT_TRUE(embedRunInfo(engineImage(), &bytes, &digest, &image, &error, &record)) << error;
    fs::path exe = dir / "forwarding.exe";
    ASSERT_TRUE(writeFile(exe.string(), image, &error)) << error;
    fs::create_directories(tmp / "victim");
    for (const std::string& arguments : {std::string(" /runpack-remove \"") + windowsPath(tmp) + "\\victim\"",
                                         std::string(" /Runpack-Remove x")}) {
        SCOPED_TRACE(arguments);
        EngineRun run = this->run(exe, withArguments(arguments));
        EXPECT_EQ(run.exitCode, REFUSED) << run.output;
        EXPECT_FALSE(fs::exists(marker));
        EXPECT_TRUE(fs::exists(tmp / "victim"));
    }
    // An argument that only begins like it is an ordinary argument.
    EngineRun ordinary = this->run(exe, withArguments(" /runpack-removed"));
    EXPECT_EQ(ordinary.exitCode, 0u) << ordinary.output;
    EXPECT_TRUE(fs::exists(marker));
}

TEST_F(Backstop, AnotherUsersRemovalLeavesEverythingAndKeepsTheValue) {
    // A working directory of this user's temporary directory, and a value naming another
    // user, as when an administrator other than the run's user logs on first.
    const std::string name = "QELTMP00000000000000CC";
    fs::path work = tmp / name;
    fs::create_directories(work);
    std::ofstream(work / "own.txt") << "own";
    registered.push_back(name);
    const std::string remover = makeRemover();
    const std::string call = " /runpack-remove \"" + windowsPath(tmp) + "\\" + name + "\"";
    EngineRun other = runRemover(remover, call + " S-1-5-21-1-2-3-1001");
    EXPECT_EQ(other.exitCode, REFUSED) << other.output;
    EXPECT_TRUE(fs::exists(work / "own.txt"));
    // The logon consumed the value; the remover wrote it back for its own user's next logon,
    // from what it checked: its own path, the directory and the SID.
    EXPECT_EQ(runOnceValue(name), "\"" + remover + "\"" + call + " S-1-5-21-1-2-3-1001");
    // A value of that name that is there stays as it is.
    wine(std::string("reg add ") + shellQuote(RUN_ONCE) + " /v " + name + " /d 'cmd.exe /c exit 3' /f");
    EXPECT_EQ(runRemover(remover, call + " S-1-5-21-1-2-3-1002").exitCode, REFUSED);
    EXPECT_EQ(runOnceValue(name), "cmd.exe /c exit 3");
    wine(std::string("reg delete ") + shellQuote(RUN_ONCE) + " /v " + name + " /f");

    // A SID that is not one, or not as the system writes it, or text after it, is no user's:
    // nothing is touched and nothing written. So is a path that is no working directory's.
    const std::vector<std::string> refused = {
        call + " S-1-5-21-1-2-3-1001 x", call + " ", call + "  S-1", call + " BA", call + " s-1-5-21-1-2-3-1001",
        call + " S-1-5-21-1-2-3-01001",
        " /runpack-remove \"C:\\any dir\\..\\" + name + "\" S-1-5-21-1-2-3-4",
        " /runpack-remove \"C:\\any dir\\\\" + name + "\" S-1-5-21-1-2-3-4",
        " /runpack-remove \"C:\\any dir\\" + name + "\\\" S-1-5-21-1-2-3-4",
        " /runpack-remove \"\\\\server\\share\\" + name + "\" S-1-5-21-1-2-3-4",
        " /runpack-remove \"C:\\any dir\\" + name.substr(0, 21) + "g\" S-1-5-21-1-2-3-4",
    };
    for (const std::string& arguments : refused) {
        SCOPED_TRACE(arguments);
        EngineRun run = runRemover(remover, arguments);
        EXPECT_EQ(run.exitCode, REFUSED) << run.output;
        EXPECT_TRUE(fs::exists(work / "own.txt"));
        EXPECT_EQ(runOnceValue(name), std::nullopt);
        EXPECT_EQ(runOnceValue(name.substr(0, 21) + "g"), std::nullopt);
    }
}

TEST_F(Backstop, RemoversCallToAPlainExecutableWritesNothingAndItsFileNeverRunsAtTheNextLogon) {
    // A process of the user starts a runpack executable of the user's folder elevated with the
    // remover's arguments and another user's SID, hoping for a RunOnce value that starts the
    // executable's path, where it then puts a program of its own.
    const std::string name = "QELTMP0123456789ABCDEF";
    registered.push_back(name);
    fs::path marker = dir / "ran.txt";
    TestPackage package;
    package.command = "cmd.exe /c echo ran> " + windowsPath(marker);
    package.entries.push_back(entryOf(std::nullopt, "a.txt", bytesOf("a")));
    fs::path exe = makeExe(buildPackage(package));
    const std::string call = " /runpack-remove \"C:\\any dir\\" + name + "\" S-1-5-21-1-2-3-4";
    EngineRun run = this->run(exe, withArguments(call));
    EXPECT_EQ(run.exitCode, REFUSED) << run.output;
    EXPECT_TRUE(run.boxes.empty()) << run.output;
    EXPECT_FALSE(fs::exists(marker)) << "the package ran";
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
    EXPECT_EQ(runOnceValue(name), std::nullopt);

    // The user's program in the executable's place, and the next logon: it never runs.
    fs::path renamed = dir / "renamed.exe";
    fs::rename(exe, renamed);
    fs::copy_file(windowsBuildDir() / "runpack-probe.exe", exe);
    int status = -1;
    wine("wineboot", &status);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(fs::exists(dir / "probe-ran.txt")) << readText(dir / "probe-ran.txt");

    // An administrator's value of that name is left as it is.
    wine(std::string("reg add ") + shellQuote(RUN_ONCE) + " /v " + name + " /d 'cmd.exe /c exit 3' /f");
    EXPECT_EQ(this->run(renamed, withArguments(call)).exitCode, REFUSED);
    EXPECT_EQ(runOnceValue(name), "cmd.exe /c exit 3");
    wine(std::string("reg delete ") + shellQuote(RUN_ONCE) + " /v " + name + " /f");
    EXPECT_EQ(runOnceValue(name), std::nullopt);
}

}  // namespace
