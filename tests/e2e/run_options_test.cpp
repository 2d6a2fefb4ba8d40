// The run options ("RUNINFO" 104) under Wine: the engine's arguments forwarded to the
// command, the command's exit code as the run's, unattended runs that show no window and
// tell their caller instead, and records the engine refuses.
#include "e2e/harness.h"

#include <stdlib.h>

#include <fstream>

#include "package/package_reader.h"
#include "runpack/image/pe_resources.h"
#include "support/package_builder.h"

namespace {

const uint32_t NTE_FAIL = 0x80090020u;
const uint32_t FORWARD_ARGUMENTS = 1, EXIT_CODE_COMMAND = 2, UNATTENDED = 4;
const uint32_t PROGRESS_THRESHOLD_BYTES = 1500000;
const uint32_t ERROR_FILENAME_EXCED_RANGE_CODE = 0xCE;

std::vector<uint8_t> optionsRecord(uint32_t recordSize, uint32_t flags) {
    std::vector<uint8_t> bytes;
    for (uint32_t value : {recordSize, flags}) {
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
    }
    return bytes;
}

std::vector<uint8_t> fileBytes(const fs::path& path) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(readFile(path.string(), &bytes, &error)) << error;
    return bytes;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TestEntry entryOf(const std::string& name, const std::vector<uint8_t>& content) {
    TestEntry entry;
    entry.name = name;
    entry.content = content;
    return entry;
}

// A package of the probe program and a command; `padding` more bytes of a second file.
TestPackage probePackage(const std::string& command, uint32_t mode, uint32_t padding = 0) {
    TestPackage package;
    package.command = command;
    package.cleanupMode = mode;
    package.entries.push_back(entryOf("probe.exe", fileBytes(windowsBuildDir() / "runpack-probe.exe")));
    if (padding > 0) package.entries.push_back(entryOf("padding.bin", std::vector<uint8_t>(padding, 'p')));
    return package;
}

class RunOptionsTest : public EngineTest {
protected:
    // A copy of the engine with `package`, its digest and `record` as "RUNINFO" 104.
    fs::path makeExeWithOptions(const TestPackage& package, const std::vector<uint8_t>& record,
                                const std::string& name = "engine.exe") {
        std::vector<uint8_t> bytes = buildPackage(package);
        std::vector<uint8_t> digest = sha1Digest(bytes), exe;
        std::string error;
        EXPECT_TRUE(embedRunInfo(engineImage(), &bytes, &digest, &exe, &error, &record)) << error;
        fs::path path = dir / name;
        EXPECT_TRUE(writeFile(path.string(), exe, &error)) << error;
        return path;
    }
    fs::path makeExeWithFlags(const TestPackage& package, uint32_t flags, const std::string& name = "engine.exe") {
        return makeExeWithOptions(package, optionsRecord(8, flags), name);
    }
    static RunOptions withArguments(const std::string& arguments) {
        RunOptions options;
        options.arguments = arguments;
        return options;
    }
};

class ForwardArguments : public RunOptionsTest {};

TEST_F(ForwardArguments, ArgumentsFollowTheCommandUnchanged) {
    fs::path report = dir / "command-line.txt";
    std::string command = "probe.exe command-line " + windowsPath(report);
    fs::path exe = makeExeWithFlags(probePackage(command, CLEANUP_TREE), FORWARD_ARGUMENTS);
    // The blanks after the engine's name go; everything else stays, quotes, backslashes,
    // inner and trailing blanks included, and characters that no code page has.
    const std::string given = "a \"b c\" d\\\"e  \"f g\\\\\" 'h' %TMP% \xC3\xA9 \xE6\x96\x87\xE4\xBB\xB6 \xF0\x9F\x98\x80  ";
    EngineRun run = this->run(exe, withArguments(" \t " + given));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty()) << run.output;
    EXPECT_EQ(readText(report), command + " " + given);
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));

    // No arguments, or only blanks: the command as the package has it, no space added.
    for (const char* none : {"", "   "}) {
        fs::remove(report);
        EngineRun bare = this->run(exe, withArguments(none));
        EXPECT_EQ(bare.exitCode, 0u) << bare.output;
        EXPECT_EQ(readText(report), command);
    }

    // Without the option, or without the record, the engine's arguments are ignored.
    fs::remove(report);
    EngineRun other = this->run(makeExeWithFlags(probePackage(command, CLEANUP_TREE), UNATTENDED, "other.exe"),
                                withArguments(" x y"));
    EXPECT_EQ(other.exitCode, 0u) << other.output;
    EXPECT_EQ(readText(report), command);
    fs::remove(report);
    EngineRun plain = this->run(makeExe(buildPackage(probePackage(command, CLEANUP_TREE))), withArguments(" x y"));
    EXPECT_EQ(plain.exitCode, 0u) << plain.output;
    EXPECT_EQ(readText(report), command);
}

TEST_F(ForwardArguments, ArgumentsNeverChooseTheProgram) {
    // A package whose command names no program: the caller's arguments do not make one.
    fs::path planted = dir / "planted.txt";
    for (const char* command : {"", "   "}) {
        SCOPED_TRACE(std::string("command \"") + command + "\"");
        fs::remove_all(tmp);
        fs::create_directories(tmp);
        TestPackage package = probePackage(command, CLEANUP_TREE);
        EngineRun run = this->run(makeExeWithFlags(package, FORWARD_ARGUMENTS),
                                  withArguments(" probe.exe marker " + windowsPath(planted)));
        if (command[0] == '\0') {
            // An empty command starts nothing, as without the option.
            EXPECT_EQ(run.exitCode, 0u) << run.output;
            EXPECT_TRUE(run.boxes.empty()) << run.output;
        } else {
            ASSERT_EQ(run.boxes.size(), 1u) << run.output;
            EXPECT_EQ(run.boxes[0].text, "Cannot create process!");
            EXPECT_EQ(run.exitCode, 2u);  // ERROR_FILE_NOT_FOUND
        }
        EXPECT_FALSE(fs::exists(planted));
        EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
    }
}

TEST_F(ForwardArguments, CommandLineOverTheLimitIsRefusedBeforeAnythingRuns) {
    fs::path report = dir / "command-line.txt";
    std::string command = "probe.exe command-line " + windowsPath(report) + " ";
    command.resize(2000, 'c');
    fs::path exe = makeExeWithFlags(probePackage(command, CLEANUP_JOURNAL), FORWARD_ARGUMENTS);
    // Command, space, arguments and terminator: 32767 characters fit, 32768 do not.
    std::string fits(32767 - command.size() - 2, 'a');
    EngineRun longest = this->run(exe, withArguments(" " + fits));
    EXPECT_EQ(longest.exitCode, 0u) << longest.output.substr(0, 2000);
    EXPECT_EQ(readText(report), command + " " + fits);
    fs::remove(report);

    EngineRun over = this->run(exe, withArguments(" " + fits + "a"));
    ASSERT_EQ(over.boxes.size(), 1u) << over.output.substr(0, 2000);
    EXPECT_EQ(over.boxes[0].text, "Cannot create process!");
    EXPECT_EQ(over.exitCode, ERROR_FILENAME_EXCED_RANGE_CODE);
    EXPECT_FALSE(fs::exists(report));
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}

class CommandExitCode : public RunOptionsTest {};

TEST_F(CommandExitCode, WaitingModesEndWithTheCommandsCode) {
    for (uint32_t mode : {CLEANUP_TREE, CLEANUP_JOURNAL}) {
        SCOPED_TRACE(mode);
        TestPackage seven = probePackage("cmd.exe /c exit 7", mode);
        EngineRun run = this->run(makeExeWithFlags(seven, EXIT_CODE_COMMAND, "seven.exe"));
        EXPECT_EQ(run.exitCode, 7u) << run.output;
        EXPECT_TRUE(run.boxes.empty()) << run.output;
        // A code from the command is no failure of the run: the mode's clean-up is kept.
        EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));

        // All 32 bits come back.
        EngineRun wide = this->run(makeExeWithFlags(probePackage("probe.exe exit 0xC0000135", mode), EXIT_CODE_COMMAND,
                                                    "wide.exe"));
        EXPECT_EQ(wide.exitCode, 0xC0000135u) << wide.output;
    }
    // The first process's code, not that of a program it started and that ended later.
    EngineRun spawned = this->run(makeExeWithFlags(
        probePackage("probe.exe spawn probe.exe exit 5", CLEANUP_TREE), EXIT_CODE_COMMAND, "spawned.exe"));
    EXPECT_EQ(spawned.exitCode, 0u) << spawned.output;
}

TEST_F(CommandExitCode, DetachWithoutTheOptionAndEngineFailuresKeepTheirCodes) {
    // Detach does not wait, so it has no code to give: 0.
    EngineRun detached = this->run(makeExeWithFlags(probePackage("cmd.exe /c exit 7", CLEANUP_DETACH),
                                                    EXIT_CODE_COMMAND, "detached.exe"));
    EXPECT_EQ(detached.exitCode, 0u) << detached.output;
    fs::remove_all(tmp);
    fs::create_directories(tmp);
    // Without the option the run ends with 0 as it always has.
    EngineRun plain = this->run(makeExe(buildPackage(probePackage("cmd.exe /c exit 7", CLEANUP_TREE))));
    EXPECT_EQ(plain.exitCode, 0u) << plain.output;
    // The engine's own failure keeps its code and its message.
    EngineRun missing = this->run(makeExeWithFlags(probePackage("no-such-program.exe", CLEANUP_TREE),
                                                   EXIT_CODE_COMMAND, "missing.exe"));
    ASSERT_EQ(missing.boxes.size(), 1u) << missing.output;
    EXPECT_EQ(missing.boxes[0].text, "Cannot create process!");
    EXPECT_EQ(missing.exitCode, 2u);
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}

class Unattended : public RunOptionsTest {};

TEST_F(Unattended, LargePackageShowsNoWindowAtAll) {
    // Above the threshold an attended run shows its waiting window; this one shows nothing.
    TestPackage package = probePackage("probe.exe exit 0", CLEANUP_TREE, PROGRESS_THRESHOLD_BYTES + 1);
    EngineRun run = this->run(makeExeWithFlags(package, UNATTENDED));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.windows.empty()) << run.output;
    EXPECT_FALSE(run.progress.opened) << run.output;
    EXPECT_TRUE(run.boxes.empty()) << run.output;
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));

    // The same package attended: the driver does see the engine's window.
    EngineRun attended = this->run(makeExe(buildPackage(package)));
    EXPECT_TRUE(attended.progress.opened) << attended.output;
    EXPECT_FALSE(attended.windows.empty()) << attended.output;
}

TEST_F(Unattended, FailureTextGoesToStandardErrorInTheCodePage) {
    struct Case {
        const char* language;
        const char* text;  // in the code page of the language: 1252 or 1250
    } cases[] = {
        {"en_US.UTF-8", "Processing error: Cannot create process!\r\n"},
        {"cs_CZ.UTF-8", "Chyba zpracov\xE1n\xED: Program nelze spustit!\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.language);
        RunOptions options = inLanguage(c.language);
        options.stderrPipe = true;
        EngineRun run = this->run(makeExeWithFlags(probePackage("no-such-program.exe", CLEANUP_DETACH), UNATTENDED),
                                  options);
        EXPECT_EQ(run.exitCode, 2u) << run.output;
        EXPECT_EQ(run.errorOutput, c.text) << run.output;
        EXPECT_TRUE(run.windows.empty()) << run.output;
        EXPECT_TRUE(run.boxes.empty()) << run.output;
        // Nothing is left on disk after the failure, whatever the mode.
        EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
    }
}

TEST_F(Unattended, FailureTextGoesToTheCallersConsole) {
    for (const char* language : {"en_US.UTF-8", "cs_CZ.UTF-8"}) {
        SCOPED_TRACE(language);
        bool czech = language[0] == 'c';
        RunOptions options = inLanguage(language);
        options.console = true;
        // The temporary directory is missing: a failure before anything is created.
        fs::path exe = makeExeWithFlags(probePackage("probe.exe exit 0", CLEANUP_TREE), UNATTENDED);
        fs::remove_all(tmp);
        EngineRun run = this->run(exe, options);
        EXPECT_NE(run.exitCode, 0u) << run.output;
        char code[16];
        snprintf(code, sizeof(code), "0x%X", run.exitCode);
        EXPECT_EQ(run.consoleText, czech ? std::string("Chyba zpracování: Nelze získat název dočasného adresáře!\n"
                                                       "Kód chyby: ") + code
                                         : std::string("Processing error: Cannot get the name of a temporary "
                                                       "directory!\nError code: ") + code)
            << run.output;
        EXPECT_TRUE(run.windows.empty()) << run.output;
        fs::create_directories(tmp);
    }
}

TEST_F(Unattended, WithoutPipeOrConsoleTheRunStillEndsWithItsCode) {
    // A bad digest: reported without a box too, since the options are read first.
    std::vector<uint8_t> package = buildPackage(probePackage("probe.exe exit 0", CLEANUP_TREE));
    std::vector<uint8_t> digest(20, 0), record = optionsRecord(8, UNATTENDED), image;
    std::string error;
    ASSERT_TRUE(embedRunInfo(engineImage(), &package, &digest, &image, &error, &record)) << error;
    fs::path exe = dir / "bad-digest.exe";
    ASSERT_TRUE(writeFile(exe.string(), image, &error)) << error;
    EngineRun run = this->run(exe);
    EXPECT_EQ(run.exitCode, NTE_FAIL) << run.output;
    EXPECT_TRUE(run.windows.empty()) << run.output;
    RunOptions piped;
    piped.stderrPipe = true;
    EngineRun told = this->run(exe, piped);
    EXPECT_EQ(told.errorOutput, "Processing error: Missing RUNINFO or bad checksum!\r\n") << told.output;
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}

TEST_F(Unattended, AllThreeOptionsBuiltByTheTool) {
#ifdef RUNPACK_TOOL
    fs::path input = dir / "input";
    fs::create_directories(input);
    std::string error;
    ASSERT_TRUE(writeFile((input / "probe.exe").string(), fileBytes(windowsBuildDir() / "runpack-probe.exe"), &error));
    ASSERT_TRUE(writeFile((input / "padding.bin").string(), std::vector<uint8_t>(PROGRESS_THRESHOLD_BYTES + 1, 'p'),
                          &error));
    fs::path exe = dir / "app.exe";
    std::string build = std::string(RUNPACK_TOOL) + " build -o '" + exe.string() + "' --engine '" +
                        (windowsBuildDir() / "runpack-engine.exe").string() +
                        "' -c 'probe.exe exit' --forward-arguments --exit-code command --unattended '" +
                        input.string() + "' >/dev/null";
    ASSERT_EQ(system(build.c_str()), 0) << build;
    // The caller's argument becomes the command's exit code, with no window on the way.
    RunOptions options = withArguments(" 42");
    options.stderrPipe = true;
    EngineRun run = this->run(exe, options);
    EXPECT_EQ(run.exitCode, 42u) << run.output;
    EXPECT_TRUE(run.windows.empty()) << run.output;
    EXPECT_EQ(run.errorOutput, "") << run.output;
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
#else
    GTEST_SKIP() << "no runpack tool in this build";
#endif
}

class RunOptionsRecord : public RunOptionsTest {};

TEST_F(RunOptionsRecord, MalformedRecordIsRefusedInABoxBeforeAnythingIsCreated) {
    std::vector<uint8_t> seven = optionsRecord(8, UNATTENDED);
    seven.pop_back();
    std::vector<uint8_t> nine = optionsRecord(8, UNATTENDED);
    nine.push_back(0);
    const std::vector<std::vector<uint8_t>> records = {
        seven, nine, optionsRecord(16, UNATTENDED), optionsRecord(8, UNATTENDED | 16), optionsRecord(8, 1u << 31),
        std::vector<uint8_t>(),
    };
    fs::path marker = dir / "ran.txt";
    TestPackage package = probePackage("probe.exe marker " + windowsPath(marker), CLEANUP_TREE);
    for (size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(i);
        bool czech = i % 2 == 1;
        RunOptions options = inLanguage(czech ? "cs_CZ.UTF-8" : "en_US.UTF-8");
        options.stderrPipe = true;
        EngineRun run = this->run(makeExeWithOptions(package, records[i], "bad" + std::to_string(i) + ".exe"), options);
        // The flags are unknown, so the box is shown even where the unattended bit is set.
        ASSERT_EQ(run.boxes.size(), 1u) << run.output;
        EXPECT_EQ(run.boxes[0].caption, czech ? "Chyba zpracování" : "Processing error");
        EXPECT_EQ(run.boxes[0].text, czech ? "RUNINFO nepze zpracovat!" : "Cannot process RUNINFO!");
        EXPECT_EQ(run.exitCode, NTE_FAIL);
        EXPECT_EQ(run.errorOutput, "");
        EXPECT_FALSE(fs::exists(marker));
        EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
    }
    // A bad digest is reported first, as before.
    std::vector<uint8_t> bytes = buildPackage(package), digest(20, 0), image;
    std::string error;
    ASSERT_TRUE(embedRunInfo(engineImage(), &bytes, &digest, &image, &error, &records[0])) << error;
    ASSERT_TRUE(writeFile((dir / "both.exe").string(), image, &error)) << error;
    EngineRun both = this->run(dir / "both.exe");
    ASSERT_EQ(both.boxes.size(), 1u) << both.output;
    EXPECT_EQ(both.boxes[0].text, "Missing RUNINFO or bad checksum!");
}

}  // namespace

namespace {

class ForwardingToInterpreters : public RunOptionsTest {};

const uint32_t ERROR_BAD_ARGUMENTS_CODE = 0xA0;

TEST_F(ForwardingToInterpreters, NoArgumentReachesACommandInterpreter) {
    // What an unelevated caller would add to an elevated run's command through cmd.exe: each
    // would write the file if it reached the interpreter.
    fs::path pwned = dir / "pwned.txt";
    const std::string write = "echo INJECTED > " + windowsPath(pwned);
    const std::vector<std::string> attacks = {
        "in.txt & " + write,
        "in.txt | " + write,
        "in.txt ^& " + write,
        "\"in.txt\" \"& " + write + "\" \" & " + write,
        "%COMSPEC% /c " + write,
        "!COMSPEC! /c " + write,
        "in.txt\r\n" + write,
        "in.txt\n" + write,
        "in.txt",  // even an argument of no harm: nothing reaches an interpreter
    };
    fs::path ran = dir / "ran.txt";
    TestPackage viaCmd = probePackage("cmd.exe /c echo ran> " + windowsPath(ran), CLEANUP_TREE);
    TestPackage viaBatch = probePackage("setup.bat", CLEANUP_TREE);
    viaBatch.entries.push_back(entryOf("setup.bat", [&] {
        std::string script = "@echo ran %* > " + windowsPath(ran) + "\r\n";
        return std::vector<uint8_t>(script.begin(), script.end());
    }()));
    TestPackage viaShortName = viaBatch;
    viaShortName.command = "SETUP.BAT.";
    const std::pair<const char*, TestPackage*> packages[] = {
        {"cmd.exe", &viaCmd}, {"setup.bat", &viaBatch}, {"SETUP.BAT.", &viaShortName}};
    for (const auto& [name, package] : packages) {
        fs::path exe = makeExeWithFlags(*package, FORWARD_ARGUMENTS, "forwarding.exe");
        for (const std::string& attack : attacks) {
            SCOPED_TRACE(std::string(name) + " <- " + attack);
            EngineRun run = this->run(exe, withArguments(" " + attack));
            ASSERT_EQ(run.boxes.size(), 1u) << run.output;
            EXPECT_EQ(run.boxes[0].text, "Cannot create process!");
            EXPECT_EQ(run.exitCode, ERROR_BAD_ARGUMENTS_CODE);
            EXPECT_FALSE(fs::exists(pwned));
            EXPECT_FALSE(fs::exists(ran)) << "the interpreter was started";
            EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
        }
        // With nothing to forward the package's own command runs as it always did (Wine starts
        // no batch file by a name with a trailing dot).
        if (std::string(name).back() == '.') continue;
        EngineRun bare = this->run(exe, withArguments("  "));
        EXPECT_EQ(bare.exitCode, 0u) << bare.output;
        EXPECT_TRUE(fs::exists(ran)) << name;
        fs::remove(ran);
    }
}

TEST_F(ForwardingToInterpreters, ReservedArgumentBehindAFullwidthQuoteIsNotForwarded) {
    // The engine's program name opened by a fullwidth quote: the code page's best fit makes it
    // a plain quote, which would hide what follows inside the name; forwarding reads Unicode,
    // where the name ends at the first blank and the reserved argument comes first.
    fs::path report = dir / "command-line.txt";
    fs::path exe = makeExeWithFlags(probePackage("probe.exe command-line " + windowsPath(report), CLEANUP_TREE),
                                    FORWARD_ARGUMENTS);
    fs::create_directories(tmp / "victim");
    for (const std::string& line :
         {std::string("\xEF\xBC\x82x /runpack-remove \"") + windowsPath(tmp) + "\\victim\"",
          std::string("\xEF\xBC\x82x \"/RUNPACK-remove\" \"") + windowsPath(tmp) + "\\victim\"",
          std::string("x /runpack\"-\"remove \"C:\\nowhere\"")}) {
        SCOPED_TRACE(line);
        RunOptions options = withArguments(line);
        options.wholeCommandLine = true;
        EngineRun run = this->run(exe, options);
        EXPECT_EQ(run.exitCode, 87u) << run.output;  // a backstop call that names no working directory
        EXPECT_TRUE(run.boxes.empty()) << run.output;
        EXPECT_FALSE(fs::exists(report)) << readText(report);
        EXPECT_TRUE(fs::exists(tmp / "victim"));
    }
    // An ordinary argument after the same name is forwarded.
    RunOptions options = withArguments("\xEF\xBC\x82x /runpack-removed");
    options.wholeCommandLine = true;
    EngineRun run = this->run(exe, options);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_EQ(readText(report), "probe.exe command-line " + windowsPath(report) + " /runpack-removed");
}

}  // namespace
