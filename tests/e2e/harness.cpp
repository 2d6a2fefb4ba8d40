#include "e2e/harness.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "package/sha1.h"
#include "runpack/image/pe_resources.h"

fs::path windowsBuildDir() {
    if (const char* dir = getenv("RUNPACK_WINDOWS_BUILD")) return dir;
    FILE* arch = popen(RUNPACK_SOURCE_DIR "/scripts/windows-arch", "r");
    char name[32] = "win64";
    if (arch != NULL) {
        if (fgets(name, sizeof(name), arch) == NULL) name[0] = '\0';
        pclose(arch);
    }
    std::string build(name);
    while (!build.empty() && (build.back() == '\n' || build.back() == ' ')) build.pop_back();
    return fs::path(RUNPACK_SOURCE_DIR) / "build" / build;
}

fs::path workRoot() {
    if (const char* dir = getenv("RUNPACK_E2E_WORK")) return dir;
    return fs::path(RUNPACK_SOURCE_DIR) / "build" / "e2e-work";
}

fs::path screenshotDir() {
    if (const char* dir = getenv("RUNPACK_SCREENSHOTS")) return dir;
    return fs::path(RUNPACK_SOURCE_DIR) / "build" / "screenshots";
}

long timeScale() {
    const char* scale = getenv("RUNPACK_TIME_SCALE");
    long value = scale != NULL ? strtol(scale, NULL, 10) : 1;
    return value >= 1 ? value : 1;
}

std::string windowsPath(const fs::path& path) {
    std::string text = "Z:" + fs::absolute(path).lexically_normal().string();
    for (char& c : text) {
        if (c == '/') c = '\\';
    }
    return text;
}

std::string fromHex(const std::string& hex) {
    if (hex == "-") return "";
    std::string text;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return text;
}

static std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += "'\\''";
        else quoted += c;
    }
    return quoted + "'";
}

// The value of `key=` in one report line, or "".
static std::string field(const std::string& line, const std::string& key) {
    size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return "";
    at += key.size() + 2;
    size_t end = line.find(' ', at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

static std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) {
        if (!part.empty() && part.back() == '\r') part.pop_back();  // the driver's console writes CR LF
        parts.push_back(part);
    }
    return parts;
}

void EngineTest::SetUp() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir = workRoot() / (std::string(info->test_suite_name()) + "." + info->name());
    fs::remove_all(dir);
    tmp = dir / "tmp";
    fs::create_directories(tmp);
}

void EngineTest::TearDown() {
    if (!HasFailure()) fs::remove_all(dir);
}

const std::vector<uint8_t>& EngineTest::engineImage() {
    static std::vector<uint8_t> image;
    if (image.empty()) {
        std::string error;
        fs::path engine = windowsBuildDir() / "runpack-engine.exe";
        if (!readFile(engine.string(), &image, &error)) ADD_FAILURE() << error;
    }
    return image;
}

fs::path EngineTest::makeExe(const std::vector<uint8_t>* package,
                             const std::vector<uint8_t>* digest, const std::string& name) {
    std::vector<uint8_t> exe;
    std::string error;
    EXPECT_TRUE(embedRunInfo(engineImage(), package, digest, &exe, &error)) << error;
    fs::path path = dir / name;
    EXPECT_TRUE(writeFile(path.string(), exe, &error)) << error;
    return path;
}

fs::path EngineTest::makeExe(const std::vector<uint8_t>& package) {
    std::vector<uint8_t> digest(SHA1_DIGEST_SIZE);
    sha1OfBuffer(package.data(), static_cast<uint32_t>(package.size()), digest.data());
    return makeExe(&package, &digest);
}

EngineRun EngineTest::run(const fs::path& exe, const RunOptions& options) {
    std::string command = "LANG=" + shellQuote(options.language) + " LC_ALL=" +
                          shellQuote(options.language);
    for (const auto& [name, value] : options.environment) {
        command += " " + name + "=" + shellQuote(value);
    }
    long timeoutMs = options.timeoutMs * timeScale();
    command += " timeout " + std::to_string(timeoutMs / 1000 + 30 * timeScale()) + " " +
               RUNPACK_SOURCE_DIR "/scripts/wine " +
               shellQuote((windowsBuildDir() / "runpack-driver.exe").string()) + " --tmp " +
               shellQuote(options.tempText ? *options.tempText : windowsPath(tmp)) + " --timeout " + std::to_string(timeoutMs);
    if (options.watchFile) command += " --watch-file " + shellQuote(windowsPath(*options.watchFile));
    if (options.arguments) {
        fs::path arguments = dir / ("engine-arguments" + options.tag + ".txt");
        std::ofstream(arguments, std::ios::binary) << *options.arguments;
        command += " --arguments-file " + shellQuote(windowsPath(arguments));
        if (options.wholeCommandLine) command += " --whole-command-line";
    }
    if (options.stderrPipe) command += " --stderr-pipe";
    if (options.console) command += " --console";
    if (options.noConsole) command += " --no-console";
    if (options.killWhenExtracting) command += " --kill-when-extracting";
    if (options.systemTemp) command += " --system-temp";
    fs::path signal = dir / ("progress-visible" + options.tag + ".signal");
    fs::remove(signal);
    if (options.screenshot) command += " --signal-file " + shellQuote(windowsPath(signal));
    // The report goes through a file: Wine's own background processes may inherit and keep
    // open a pipe, which would never see its end.
    fs::path report = dir / ("driver-report" + options.tag + ".txt");
    command += " " + shellQuote(options.exeText ? *options.exeText : windowsPath(exe)) + " >" + shellQuote(report.string()) + " 2>&1 </dev/null";

    // The screenshot is taken from here, once the driver says the window has been up a moment;
    // the driver holds the engine until the signal is gone.
    auto startPhotographer = [&]() {
        if (!options.screenshot) return std::thread();
        fs::path target = *options.screenshot;
        return std::thread([signal, target]() {
            if (!waitFor(signal, 30000)) return;
            fs::create_directories(target.parent_path());
            std::string shot = "/usr/bin/import -display " + shellQuote(getenv("DISPLAY") ? getenv("DISPLAY") : ":0") +
                               " -window root " + shellQuote(target.string()) + " >/dev/null 2>&1";
            if (system(shot.c_str()) != 0) fprintf(stderr, "screenshot failed: %s\n", shot.c_str());
            fs::remove(signal);
        });
    };

    EngineRun result;
    int status = 0;
    for (int attempt = 1;; ++attempt) {
        fs::remove(report);
        std::thread photographer = startPhotographer();
        status = system(command.c_str());
        if (photographer.joinable()) photographer.join();
        std::ifstream in(report);
        result.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        // The driver writes its first line before it starts the engine: a failure with an
        // empty report is Wine failing to start the driver (seen once on a loaded machine),
        // and a report that ends where Wine refused to create the engine's process with its
        // internal error (ERROR_INTERNAL_ERROR, seen once on an image that ran at once when
        // started again) means the engine never ran either. Nothing of the test has run in
        // both cases, so such a run is tried once more. The same internal error can meet the
        // engine's own start of the command (seen on a loaded machine: "Cannot create
        // process!" and 1359, which nothing of the engine's sets itself); the engine has then
        // cleaned up after its failure as after any other, and the run is tried once more too.
        // Any other run never is.
        const bool driverNeverStarted = result.output.empty();
        const bool engineNeverStarted = result.output.find("start-failed error=1359") != std::string::npos;
        const bool commandNeverStarted = result.output.find("exit code=0x0000054F") != std::string::npos;
        if (!(driverNeverStarted || engineNeverStarted || commandNeverStarted) || attempt == 2) break;
        if (status == 0 && !commandNeverStarted) break;
        fprintf(stderr, "the %s did not start (status %d); starting the run once more\n",
                driverNeverStarted ? "driver" : engineNeverStarted ? "engine" : "engine's command", status);
    }
    const size_t refused = result.output.find("start-failed error=");
    if (refused != std::string::npos) result.startError = std::stol(result.output.substr(refused + 19));
    const bool refusalExpected = options.startMayFail && result.startError >= 0;
    if (status != 0 && !refusalExpected) ADD_FAILURE() << "driver ended with status " << status << ": " << command;

    for (const std::string& line : split(result.output, '\n')) {
        if (line.rfind("box ", 0) == 0) {
            result.boxes.push_back({fromHex(field(line, "caption")), fromHex(field(line, "text")),
                                    field(line, "progress-visible") == "1",
                                    std::stol(field(line, "at"))});
        } else if (line.rfind("progress-open ", 0) == 0) {
            result.progress.opened = true;
            result.progress.openedAt = std::stol(field(line, "at"));
            std::string texts = field(line, "texts");
            if (texts != "-") {
                for (const std::string& text : split(texts, ',')) result.progress.texts.push_back(fromHex(text));
            }
        } else if (line.rfind("progress-created ", 0) == 0) {
            result.progress.createdAt = std::stol(field(line, "at"));
        } else if (line.rfind("progress-shown ", 0) == 0) {
            if (result.progress.shownAt < 0) result.progress.shownAt = std::stol(field(line, "at"));
        } else if (line.rfind("progress-hidden ", 0) == 0) {
            if (result.progress.hiddenAt < 0) {
                result.progress.hiddenAt = std::stol(field(line, "at"));
                result.progress.commandStartedWhenHidden = field(line, "command-started") == "1";
            }
        } else if (line.rfind("progress-held ", 0) == 0) {
            for (const std::string& number : split(field(line, "frame"), ',')) {
                result.progress.heldFrame.push_back(std::stol(number));
            }
        } else if (line.rfind("tmp-used ", 0) == 0) {
            result.tmpLastEmptyAt = std::stol(field(line, "last-empty"));
        } else if (line.rfind("file-seen ", 0) == 0) {
            result.fileSeenAt = std::stol(field(line, "at"));
        } else if (line.rfind("child-seen ", 0) == 0) {
            result.childSeenAt = std::stol(field(line, "at"));
        } else if (line.rfind("window ", 0) == 0) {
            result.windows.push_back(fromHex(field(line, "class")));
        } else if (line.rfind("stderr ", 0) == 0) {
            result.errorOutput = fromHex(field(line, "bytes"));
        } else if (line.rfind("temp ", 0) == 0) {
            result.tempPath = fromHex(field(line, "path"));
        } else if (line.rfind("killed ", 0) == 0) {
            result.killedDirectory = fromHex(field(line, "directory"));
        } else if (line.rfind("console ", 0) == 0) {
            result.consoleText = fromHex(field(line, "text"));
        } else if (line == "timeout") {
            result.timedOut = true;
        } else if (line.rfind("exit ", 0) == 0) {
            result.finished = true;
            result.exitCode = static_cast<uint32_t>(std::stoul(field(line, "code"), nullptr, 16));
            result.exitAt = std::stol(field(line, "at"));
        }
    }
    EXPECT_TRUE(result.finished || refusalExpected) << "the driver did not report an exit:\n" << result.output;
    EXPECT_FALSE(result.timedOut) << result.output;
    return result;
}

std::vector<std::string> EngineTest::listTree(const fs::path& root) {
    std::vector<std::string> paths;
    if (!fs::exists(root)) return paths;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string relative = fs::relative(entry.path(), root).generic_string();
        if (entry.is_directory()) relative += "/";
        paths.push_back(relative);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

bool EngineTest::waitFor(const fs::path& path, long timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs * timeScale());
    while (std::chrono::steady_clock::now() < deadline) {
        if (fs::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return fs::exists(path);
}

std::optional<fs::path> onlyWorkingDirectory(const fs::path& tmp) {
    std::optional<fs::path> found;
    for (const auto& entry : fs::directory_iterator(tmp)) {
        if (found) return std::nullopt;
        found = entry.path();
    }
    return found;
}
