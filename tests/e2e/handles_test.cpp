// Runs under Wine about where the engine's files go when names and links change under it: a
// temporary directory whose link is retargeted once the working directory appears, an
// absolute destination whose directory is swapped for a link meanwhile, a temporary path and
// names outside the code page, the limits of the working directory's length, and what an
// elevated run refuses (under Wine every run counts as elevated).
#include "e2e/harness.h"

#include <algorithm>
#include <fstream>
#include <thread>

#include "package/package_reader.h"
#include "runpack/image/pe_resources.h"
#include "support/package_builder.h"

namespace {

const uint32_t NTE_FAIL = 0x80090020u;
const uint32_t RUN_OPTIONS_UTF8_NAMES = 8;

std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<uint8_t> fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string fileText(const fs::path& path) {
    std::vector<uint8_t> bytes = fileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void writeText(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TestEntry entry(std::optional<std::string> directory, std::string name, std::vector<uint8_t> content) {
    TestEntry e;
    e.directory = directory;
    e.name = name;
    e.content = std::move(content);
    return e;
}

TestEntry probeEntry(const std::string& name = "probe.exe") {
    return entry(std::nullopt, name, fileBytes(windowsBuildDir() / "runpack-probe.exe"));
}

// The lines of the probe's "where" report: its own path and its current directory.
std::vector<std::string> whereLines(const fs::path& report) {
    std::vector<std::string> lines;
    std::string text = fileText(report), line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    return lines;
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

class Handles : public EngineTest {
protected:
    // A copy of the engine with `package` and the run options `flags`.
    fs::path makeExeWithFlags(const TestPackage& package, uint32_t flags) {
        std::vector<uint8_t> bytes = buildPackage(package);
        std::vector<uint8_t> digest = sha1Digest(bytes), exe, record;
        for (uint32_t value : {8u, flags}) {
            for (int shift = 0; shift < 32; shift += 8) record.push_back(static_cast<uint8_t>(value >> shift));
        }
        std::string error;
        EXPECT_TRUE(embedRunInfo(engineImage(), &bytes, &digest, &exe, &error, &record)) << error;
        fs::path path = dir / "engine.exe";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(exe.data()),
                                                     static_cast<std::streamsize>(exe.size()));
        return path;
    }

    // Runs a package whose command reports where it runs, with TMP at `temp`, in English.
    EngineRun runWhere(TestPackage package, const fs::path& temp, const fs::path& report, uint32_t flags = 0) {
        package.command = "probe.exe where " + windowsPath(report);
        package.entries.insert(package.entries.begin(), probeEntry());
        tmp = temp;
        fs::path exe = flags != 0 ? makeExeWithFlags(package, flags) : makeExe(buildPackage(package));
        return run(exe);
    }
};

TEST_F(Handles, TemporaryPathOutsideTheCodePageRunsAndLeavesNothing) {
    // "Jiří": the ř is in no Western code page, and the run is in English.
    fs::path temp = dir / "Users" / "Ji\xC5\x99\xC3\xAD" / "Temp";
    fs::create_directories(temp);
    fs::path report = dir / "where.txt";
    TestPackage package;
    package.entries.push_back(entry(std::string("lib"), "data.txt", bytesOf("data")));
    EngineRun run = runWhere(package, temp, report);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty()) << run.output;
    std::vector<std::string> lines = whereLines(report);
    ASSERT_EQ(lines.size(), 2u) << fileText(report);
    std::string below = windowsPath(temp) + "\\QELTMP";
    EXPECT_TRUE(startsWith(lines[0], below)) << lines[0];
    EXPECT_TRUE(startsWith(lines[1], below)) << lines[1];
    EXPECT_TRUE(listTree(temp).empty()) << testing::PrintToString(listTree(temp));
}

TEST_F(Handles, NamesBeyondTheCodePageUnderTheUtf8FlagReadBackExactly) {
    const std::string czech = "P\xC5\x99\xC3\xADli\xC5\xA1 \xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88.txt";
    const std::string chinese = "\xE4\xB8\xAD\xE6\x96\x87.txt";
    const std::string folder = "slo\xC5\xBEka";
    TestPackage package;
    package.cleanupMode = CLEANUP_DETACH;  // left in place, to be read back
    package.entries.push_back(probeEntry("sonda \xC5\x99.exe"));
    package.entries.push_back(entry(folder, czech, bytesOf("czech")));
    package.entries.push_back(entry(folder + "\\" + chinese.substr(0, 3), chinese, bytesOf("chinese")));
    fs::path report = dir / "where.txt";
    package.command = "\"sonda \xC5\x99.exe\" where " + windowsPath(report);
    EngineRun run = this->run(makeExeWithFlags(package, RUN_OPTIONS_UTF8_NAMES));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty()) << run.output;
    std::optional<fs::path> work = onlyWorkingDirectory(tmp);
    ASSERT_TRUE(work.has_value()) << run.output;
    std::string name = work->filename().string();
    EXPECT_EQ(listTree(*work), std::vector<std::string>({folder + "/", folder + "/" + czech,
                                                         folder + "/" + chinese.substr(0, 3) + "/",
                                                         folder + "/" + chinese.substr(0, 3) + "/" + chinese,
                                                         "sonda \xC5\x99.exe"}));
    EXPECT_EQ(fileText(*work / folder / czech), "czech");
    EXPECT_EQ(fileText(*work / folder / chinese.substr(0, 3) / chinese), "chinese");
    ASSERT_TRUE(waitFor(report, 30000));  // the run does not wait for its command
    std::vector<std::string> lines = whereLines(report);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], windowsPath(*work / "sonda \xC5\x99.exe"));

    // The same package in tree mode leaves nothing.
    fs::remove_all(*work);
    package.cleanupMode = CLEANUP_TREE;
    run = this->run(makeExeWithFlags(package, RUN_OPTIONS_UTF8_NAMES));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}

TEST_F(Handles, ANameThatIsNotUtf8UnderTheFlagFailsValidationBeforeAnythingIsMade) {
    TestPackage package;
    package.entries.push_back(entry(std::nullopt, "bad\xC5.txt", bytesOf("x")));
    package.command = "cmd.exe /c exit";
    EngineRun run = this->run(makeExeWithFlags(package, RUN_OPTIONS_UTF8_NAMES));
    ASSERT_EQ(run.boxes.size(), 1u) << run.output;
    EXPECT_EQ(run.boxes[0].text, "Cannot process RUNINFO!");
    EXPECT_EQ(run.exitCode, NTE_FAIL);
    EXPECT_TRUE(listTree(tmp).empty());
    // Without the flag the same bytes are the code page's and run.
    run = this->run(makeExe(buildPackage(package)));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
}

TEST_F(Handles, TemporaryLinkRetargetedOnceTheWorkingDirectoryAppearsChangesNothing) {
    // TMP leads through a link; once the run's directory appears in the real one, the link is
    // turned to a victim's folder that holds a directory of the same name with the user's files.
    fs::path real = dir / "real-temp";
    fs::path victim = dir / "victim";
    fs::create_directories(real);
    fs::create_directories(victim);
    fs::path link = dir / "temp-link";
    fs::create_directory_symlink(real, link);
    fs::path report = dir / "where.txt";

    TestPackage package;
    for (int i = 0; i < 40; ++i) {
        package.entries.push_back(entry(std::string("lib"), "f" + std::to_string(i) + ".txt",
                                        std::vector<uint8_t>(64 * 1024, static_cast<uint8_t>('a' + i % 26))));
    }
    std::string workName;
    bool retargeted = false;
    std::thread attacker([&]() {
        for (int waited = 0; waited < 60000 && workName.empty(); ++waited) {
            std::error_code error;
            for (const auto& item : fs::directory_iterator(real, error)) workName = item.path().filename().string();
            if (workName.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (workName.empty()) return;
        fs::create_directories(victim / workName / "lib");
        for (int i = 0; i < 40; ++i) writeText(victim / workName / "lib" / ("f" + std::to_string(i) + ".txt"), "PRECIOUS");
        writeText(victim / workName / "probe.exe", "PRECIOUS");
        std::error_code error;
        fs::remove(link, error);
        fs::create_directory_symlink(victim, link, error);
        retargeted = !error;
    });
    EngineRun run = runWhere(package, link, report);
    attacker.join();
    ASSERT_TRUE(retargeted);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty()) << run.output;
    // The command ran in the directory made, not in the victim's.
    std::vector<std::string> lines = whereLines(report);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], windowsPath(real / workName)) << lines[1];
    // Nothing of the victim's was written or removed; nothing is left in the real directory.
    std::vector<std::string> expected = {workName + "/", workName + "/lib/"};
    for (int i = 0; i < 40; ++i) expected.push_back(workName + "/lib/f" + std::to_string(i) + ".txt");
    expected.push_back(workName + "/probe.exe");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listTree(victim), expected);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(fileText(victim / workName / "lib" / ("f" + std::to_string(i) + ".txt")), "PRECIOUS");
    EXPECT_EQ(fileText(victim / workName / "probe.exe"), "PRECIOUS");
    EXPECT_TRUE(listTree(real).empty()) << testing::PrintToString(listTree(real));
}

TEST_F(Handles, AbsoluteDestinationWhoseDirectoryIsSwappedForALinkLeavesTheOtherDirectoryAlone) {
    // The user's folder holds Vendor\app.dll; another folder, which the user could not write
    // on Windows, holds its own app.dll. Once the run has begun writing into Vendor, Vendor is
    // moved away and a link to the other folder takes its name.
    fs::path user = dir / "appdata";
    fs::path privileged = dir / "privileged";
    fs::create_directories(user / "Vendor");
    fs::create_directories(privileged);
    writeText(user / "Vendor" / "app.dll", "USER ORIGINAL");
    writeText(privileged / "app.dll", "PRIVILEGED ORIGINAL");

    TestPackage package;
    package.cleanupMode = CLEANUP_TREE;
    for (int i = 0; i < 40; ++i) {
        package.entries.push_back(entry(std::string("%RUNPACK_APPDATA%\\Vendor"), "part" + std::to_string(i) + ".bin",
                                        std::vector<uint8_t>(64 * 1024, 'p')));
    }
    package.entries.push_back(entry(std::string("%RUNPACK_APPDATA%\\Vendor"), "app.dll", bytesOf("PACKAGE FILE")));
    package.entries.push_back(entry(std::nullopt, "go.txt", bytesOf("go")));
    package.command = "cmd.exe /c exit";
    bool swapped = false;
    std::thread attacker([&]() {
        for (int waited = 0; waited < 60000; ++waited) {
            if (fs::exists(user / "Vendor" / "part0.bin")) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::error_code error;
        fs::rename(user / "Vendor", user / "Vendor.moved", error);
        if (!error) fs::create_directory_symlink(privileged, user / "Vendor", error);
        swapped = !error;
    });
    RunOptions options;
    options.environment["RUNPACK_APPDATA"] = windowsPath(user);
    options.timeoutMs = 120000;
    EngineRun run = this->run(makeExe(buildPackage(package)), options);
    attacker.join();
    ASSERT_TRUE(swapped);
    (void)run;
    // Whatever the run did, the other folder is as it was: nothing written, nothing moved out.
    EXPECT_EQ(listTree(privileged), std::vector<std::string>({"app.dll"}));
    EXPECT_EQ(fileText(privileged / "app.dll"), "PRIVILEGED ORIGINAL");
    // The user's file is still in the directory that was moved: as the run set it aside, or
    // back under its name.
    bool userFileKept = false;
    for (const auto& item : fs::directory_iterator(user / "Vendor.moved")) {
        if (fileText(item.path()) == "USER ORIGINAL") userFileKept = true;
    }
    EXPECT_TRUE(userFileKept) << testing::PrintToString(listTree(user));
}

TEST_F(Handles, WorkingDirectoryOf258CharactersRunsAnd259IsRefusedLeavingNothing) {
    for (size_t length : {258u, 259u}) {
        SCOPED_TRACE(length);
        // The working directory's path: TMP, a separator and the 22 characters of its name.
        std::string base = windowsPath(dir) + "\\";
        size_t pad = length - 22 - 1 - base.size();
        fs::path temp = dir / std::string(pad, 't');
        fs::create_directories(temp);
        ASSERT_EQ(windowsPath(temp).size() + 1 + 22, length);
        fs::path report = dir / "where.txt";
        fs::remove(report);
        // The program lies outside: below a working directory this long no program name fits
        // the platform's limit for a program's path.
        fs::path probe = dir / "probe.exe";
        if (!fs::exists(probe)) fs::copy_file(windowsBuildDir() / "runpack-probe.exe", probe);
        TestPackage package;
        package.entries.push_back(entry(std::string("lib"), "data.txt", bytesOf("data")));
        package.command = "\"" + windowsPath(probe) + "\" where " + windowsPath(report);
        tmp = temp;
        EngineRun run = this->run(makeExe(buildPackage(package)));
        if (length == 258) {
            EXPECT_EQ(run.exitCode, 0u) << run.output;
            EXPECT_TRUE(run.boxes.empty()) << run.output;
            std::vector<std::string> lines = whereLines(report);
            ASSERT_EQ(lines.size(), 2u);
            EXPECT_EQ(lines[1].size(), 258u) << lines[1];
        } else {
            ASSERT_EQ(run.boxes.size(), 1u) << run.output;
            EXPECT_EQ(run.boxes[0].text, "Cannot get the name of a temporary directory!\r\nError code: 0xCE");
            EXPECT_EQ(run.exitCode, 0xCEu);
        }
        EXPECT_TRUE(listTree(temp).empty()) << testing::PrintToString(listTree(temp));
        fs::remove_all(temp);
    }
}

TEST_F(Handles, EntryWhoseFullPathPasses260CharactersExtractsAndGoes) {
    fs::path report = dir / "where.txt";
    TestPackage package;
    std::string deep = std::string(60, 'a') + "\\" + std::string(60, 'b') + "\\" + std::string(60, 'c') + "\\" +
                       std::string(60, 'd');
    package.entries.push_back(entry(deep, std::string(40, 'n') + ".txt", bytesOf("deep")));
    package.cleanupMode = CLEANUP_DETACH;
    EngineRun run = runWhere(package, tmp, report);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    std::optional<fs::path> work = onlyWorkingDirectory(tmp);
    ASSERT_TRUE(work.has_value());
    std::string full = windowsPath(*work) + "\\" + deep + "\\" + std::string(40, 'n') + ".txt";
    EXPECT_GE(full.size(), 300u);
    std::string relative = deep + "/" + std::string(40, 'n') + ".txt";
    for (char& c : relative) {
        if (c == '\\') c = '/';
    }
    EXPECT_EQ(fileText(*work / relative), "deep");
    fs::remove_all(*work);

    // In tree mode and in journal mode it goes again.
    for (uint32_t mode : {static_cast<uint32_t>(CLEANUP_TREE), static_cast<uint32_t>(CLEANUP_JOURNAL)}) {
        package.cleanupMode = mode;
        run = runWhere(package, tmp, report);
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        EXPECT_TRUE(listTree(tmp).empty()) << mode << testing::PrintToString(listTree(tmp));
    }
}

TEST_F(Handles, AnElevatedRunRefusesAShareAsTemporaryDirectoryOrVariableDestination) {
    TestPackage package;
    package.entries.push_back(entry(std::string("%RUNPACK_SHARE%\\d"), "a.txt", bytesOf("a")));
    package.command = "cmd.exe /c exit";
    RunOptions options;
    options.environment["RUNPACK_SHARE"] = "\\\\runpack-no-server\\share";
    EngineRun run = this->run(makeExe(buildPackage(package)), options);
    ASSERT_EQ(run.boxes.size(), 1u) << run.output;
    EXPECT_EQ(run.boxes[0].text, "Cannot extract files!");
    EXPECT_EQ(run.exitCode, NTE_FAIL);
    EXPECT_TRUE(listTree(tmp).empty());

    // A device path to a local directory is refused as a temporary directory as well.
    for (std::string temp : {std::string("\\\\runpack-no-server\\share\\temp\\"), "\\\\?\\" + windowsPath(tmp) + "\\"}) {
        SCOPED_TRACE(temp);
        RunOptions unc;
        unc.tempText = temp;
        run = this->run(makeExe(buildPackage(package)), unc);
        ASSERT_EQ(run.boxes.size(), 1u) << run.output;
        EXPECT_TRUE(startsWith(run.boxes[0].text, "Cannot get the name of a temporary directory!")) << run.boxes[0].text;
        EXPECT_TRUE(listTree(tmp).empty());
    }
}

}  // namespace
