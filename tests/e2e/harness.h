// Runs real engine executables under Wine through the Windows-side driver and reports what
// a user would have seen: message boxes, the waiting window, the exit code, and the files left
// in the test's private temporary directory.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

struct BoxSeen {
    std::string caption;   // UTF-8
    std::string text;      // UTF-8, "\r\n" kept
    bool progressVisible;  // the waiting window was on the screen when the box came up
    long at;               // milliseconds since the start
};

struct ProgressSeen {
    bool opened = false;
    std::vector<std::string> texts;  // its static texts, UTF-8
    long createdAt = -1;  // first seen, while its controls were being made
    long openedAt = -1, shownAt = -1, hiddenAt = -1;
    bool commandStartedWhenHidden = false;  // the command had started when it was seen gone
    // The window's frame on the screen (left, top, right, bottom) while the driver held the
    // engine for a screenshot; empty without one.
    std::vector<long> heldFrame;
};

struct EngineRun {
    uint32_t exitCode = 0;
    bool finished = false;   // the driver reported an exit code
    bool timedOut = false;
    std::vector<BoxSeen> boxes;
    ProgressSeen progress;
    long fileSeenAt = -1;
    long childSeenAt = -1;   // when the engine's command was first seen to have started
    // The last moment the engine's TMP was seen empty: before the engine made anything there,
    // so before every step of its run that follows the working directory's creation.
    long tmpLastEmptyAt = -1;
    long exitAt = -1;
    long startError = -1;  // the error of a refused CreateProcess of the engine; -1 when it started
    std::vector<std::string> windows;  // class names of the engine's top-level windows
    std::string errorOutput;  // the bytes the engine wrote to its standard error pipe
    std::string consoleText;  // UTF-8: what the driver's console showed after the run
    std::string tempPath;     // the engine's temporary directory, Windows form, with a final "\\"
    std::string killedDirectory;  // the working directory's name when the driver ended the run
    std::string output;      // the driver's raw report, for failure messages
};

struct RunOptions {
    std::string language = "en_US.UTF-8";  // LANG for Wine: selects the resources' language
    std::optional<fs::path> watchFile;     // report when this file first exists
    std::optional<fs::path> screenshot;    // PNG of the screen while the waiting window is up
    std::map<std::string, std::string> environment;  // extra variables for the engine
    // The engine's command line after its quoted path, byte for byte; none by default.
    std::optional<std::string> arguments;
    // `arguments` is the engine's whole command line, its program name included: the engine
    // is started by its path as the application name.
    bool wholeCommandLine = false;
    bool stderrPipe = false;  // give the engine a pipe as standard error and collect it
    bool console = false;     // run the driver with a console the engine can attach to
    bool noConsole = false;  // started without the driver's console, as from the desktop
    bool systemTemp = false;  // leave TMP alone: the engine uses the prefix's own temporary directory
    std::optional<std::string> tempText;  // TMP and TEMP as this text (UTF-8) instead of `tmp`
    std::optional<std::string> exeText;   // start the engine by this Windows path, not by `exe`
    bool killWhenExtracting = false;  // end the engine once its working directory holds a file
    long timeoutMs = 60000;  // before the time scale
    // A refused start of the engine (`startError`) is an outcome of the run, not a failure.
    bool startMayFail = false;
    // Added to the names of the run's own files in the test directory (its report, its
    // arguments), so that runs of one test can overlap.
    std::string tag;
};

// Options that differ from the defaults only in the language.
inline RunOptions inLanguage(const std::string& language) {
    RunOptions options;
    options.language = language;
    return options;
}

// The Windows build whose programs this machine runs under Wine: RUNPACK_WINDOWS_BUILD, or
// build/<scripts/windows-arch>.
fs::path windowsBuildDir();
// Where each test's directory goes: RUNPACK_E2E_WORK, or build/e2e-work.
fs::path workRoot();
// Where screenshots go: RUNPACK_SCREENSHOTS, or build/screenshots.
fs::path screenshotDir();
// How many times slower than a plain machine Windows programs run here (RUNPACK_TIME_SCALE,
// 1 by default; an emulated machine sets more). Every time limit of a run or a wait is
// multiplied by it: limits only end runs that hang, and no test asserts a speed.
long timeScale();
// Windows form of a Linux path, through Wine's Z: drive.
std::string windowsPath(const fs::path& path);
// A UTF-8 string from the driver's hex form.
std::string fromHex(const std::string& hex);

// Every test gets a private directory (removed when it passes) with a tmp/ for the engine.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The engine of the runnable Windows build, as bytes.
    static const std::vector<uint8_t>& engineImage();
    // A copy of the engine carrying `package` as "RUNINFO" 102 and `digest` as 103 (absent
    // when null), written into the test directory.
    fs::path makeExe(const std::vector<uint8_t>* package, const std::vector<uint8_t>* digest,
                     const std::string& name = "engine.exe");
    // A copy carrying the package with its correct SHA-1.
    fs::path makeExe(const std::vector<uint8_t>& package);

    EngineRun run(const fs::path& exe, const RunOptions& options = RunOptions());

    // Paths below `root`, relative, '/'-separated, sorted; directories end in '/'.
    static std::vector<std::string> listTree(const fs::path& root);
    // Waits until `path` exists or the time (times the time scale) runs out.
    static bool waitFor(const fs::path& path, long timeoutMs);

    fs::path dir;  // the test's own directory
    fs::path tmp;  // TMP and TEMP of the engine
};

// The one working directory a run left in `tmp`, or empty when there is none.
std::optional<fs::path> onlyWorkingDirectory(const fs::path& tmp);
