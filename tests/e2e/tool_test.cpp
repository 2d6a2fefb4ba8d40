// The runpack tool with the real engine under Wine: what it builds runs and leaves nothing,
// the Windows build of the tool makes the same bytes, a signature added afterwards keeps the
// executable working, and a changed byte is caught by both the tool and the engine.
#include "e2e/harness.h"

#include <algorithm>
#include <stdlib.h>

#include <fstream>
#include <random>

#include "runpack/image/pe_resources.h"
#include "support/package_builder.h"

namespace {

#ifdef RUNPACK_TOOL
const char* const TOOL = RUNPACK_TOOL;

std::string quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += "'\\''";
        else quoted += c;
    }
    return quoted + "'";
}

// Runs a shell command; its exit status, and its output in `output` when given.
int shell(const std::string& command, std::string* output = nullptr) {
    std::string full = command + " 2>&1";
    FILE* pipe = popen(full.c_str(), "r");
    if (pipe == nullptr) return -1;
    std::string text;
    char buffer[4096];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr) text += buffer;
    int status = pclose(pipe);
    if (output != nullptr) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<uint8_t> bytesOf(const fs::path& path) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(readFile(path.string(), &bytes, &error)) << error;
    return bytes;
}

// A tree of a few hundred files: nested directories, empty files, text and binary, ~3 MB.
void makeTree(const fs::path& root) {
    std::mt19937 random(2026);
    for (int i = 0; i < 240; ++i) {
        fs::path directory = root / ("d" + std::to_string(i % 7)) / ("e" + std::to_string(i % 3));
        if (i % 5 == 0) directory = root;
        fs::create_directories(directory);
        std::ofstream file(directory / ("file" + std::to_string(i) + (i % 2 ? ".txt" : ".bin")), std::ios::binary);
        size_t size = i % 11 == 0 ? 0 : (random() % 25000);
        for (size_t k = 0; k < size; ++k) {
            char c = i % 2 ? "runpack extracts files\r\n"[k % 24] : static_cast<char>(random() % (i % 4 == 0 ? 256 : 16));
            file.put(c);
        }
    }
}

class Tool : public EngineTest {
protected:
    std::string engineOption() { return " --engine " + quote((windowsBuildDir() / "runpack-engine.exe").string()); }
};

TEST_F(Tool, BuiltExecutableRunsUnderWineAndLeavesNothing) {
    fs::path tree = dir / "tree";
    makeTree(tree);
    fs::path copy = dir / "copy";
    fs::path exe = dir / "app.exe";
    std::string output;
    ASSERT_EQ(shell(std::string(TOOL) + " build -o " + quote(exe.string()) + engineOption() +
                    " -c " + quote("xcopy /e /i /q /y . " + windowsPath(copy)) + " " + quote(tree.string()), &output), 0) << output;
    ASSERT_EQ(shell(std::string(TOOL) + " verify " + quote(exe.string()), &output), 0) << output;

    EngineRun run = this->run(exe);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
    // The command saw every file, byte for byte (xcopy leaves empty directories out, but
    // every file is there).
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(tree)) {
        if (!entry.is_regular_file()) continue;
        ++files;
        fs::path copied = copy / fs::relative(entry.path(), tree);
        EXPECT_EQ(bytesOf(copied), bytesOf(entry.path())) << copied;
    }
    EXPECT_EQ(files, 240u);
}

TEST_F(Tool, WindowsBuildOfToolMakesALargeFilesSegmentsAsTheNativeOne) {
    // A file above two streams' worth at fast (16 MiB) is compressed in segments on the
    // tool's threads: the 32-bit tool, one thread or several, makes the native tool's bytes.
    fs::path tree = dir / "large";
    fs::create_directories(tree);
    std::vector<uint8_t> large;
    uint32_t x = 1;
    while (large.size() < (17u << 20) + 5) {
        x = x * 1103515245u + 12345u;
        const std::string word = "segment " + std::to_string(x >> 20) + (x & 0x10000 ? "\r\n" : " ");
        large.insert(large.end(), word.begin(), word.end());
    }
    std::ofstream(tree / "large.txt", std::ios::binary).write(reinterpret_cast<const char*>(large.data()), large.size());
    fs::path engine = windowsBuildDir() / "runpack-engine.exe";
    fs::path native = dir / "native.exe";
    fs::path seen = dir / "seen.txt";
    const std::string command = " -c " + quote("cmd.exe /c copy large.txt " + windowsPath(seen));
    std::string output;
    ASSERT_EQ(shell(std::string(TOOL) + " build --quiet --level fast -o " + quote(native.string()) + " --engine " +
                        quote(engine.string()) + command + " " + quote(tree.string()), &output), 0) << output;
    for (const std::string jobs : {"1", "3"}) {
        fs::path windows = dir / ("windows" + jobs + ".exe");
        ASSERT_EQ(shell(std::string(RUNPACK_SOURCE_DIR) + "/scripts/wine " + quote((windowsBuildDir() / "runpack.exe").string()) +
                        " build --quiet --level fast --jobs " + jobs + " -o " + quote(windowsPath(windows)) + " --engine " +
                        quote(windowsPath(engine)) + command + " " + quote(windowsPath(tree)) + " </dev/null", &output), 0)
            << output;
        EXPECT_EQ(bytesOf(windows), bytesOf(native)) << "--jobs " << jobs;
    }
    // The engine reads the one stream the segments make.
    EngineRun run = this->run(native);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(bytesOf(seen) == large);
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}

TEST_F(Tool, WindowsBuildOfToolMakesIdenticalExecutable) {
    fs::path tree = dir / "tree";
    makeTree(tree);
    fs::path native = dir / "native.exe";
    fs::path windows = dir / "windows.exe";
    fs::path engine = windowsBuildDir() / "runpack-engine.exe";
    // The command copies one extracted file out of the working directory.
    fs::path seen = dir / "seen.txt";
    std::string command = "cmd.exe /c copy file5.txt " + windowsPath(seen);
    std::string output;
    // Both tools compress with the same liblzma: the default (solid LZMA2 streams) and the
    // per-file methods give the same bytes from either.
    for (const std::string method : {" --method auto", ""}) {
        ASSERT_EQ(shell(std::string(TOOL) + " build -o " + quote(native.string()) + " --engine " + quote(engine.string()) +
                        method + " -c " + quote(command) + " " + quote(tree.string()), &output), 0) << output;
        ASSERT_EQ(shell(std::string(RUNPACK_SOURCE_DIR) + "/scripts/wine " + quote((windowsBuildDir() / "runpack.exe").string()) +
                        " build -o " + quote(windowsPath(windows)) + " --engine " + quote(windowsPath(engine)) + method +
                        " -c " + quote(command) + " " + quote(windowsPath(tree)) + " </dev/null", &output), 0) << output;
        EXPECT_EQ(bytesOf(windows), bytesOf(native)) << "method:" << method;
        // And a second native build of the same inputs gives the same bytes again.
        fs::path again = dir / "again.exe";
        ASSERT_EQ(shell(std::string(TOOL) + " build -o " + quote(again.string()) + " --engine " + quote(engine.string()) +
                        method + " -c " + quote(command) + " " + quote(tree.string()), &output), 0) << output;
        EXPECT_EQ(bytesOf(again), bytesOf(native)) << "method:" << method;
    }
    ASSERT_EQ(shell(std::string(TOOL) + " list " + quote(windows.string()), &output), 0) << output;
    EXPECT_NE(output.find("lzma2"), std::string::npos) << output;
    // The Windows build reads it back through its own view of the file: the same listing, and
    // every file checked.
    const std::string nativeList = output;
    const std::string windowsTool = std::string(RUNPACK_SOURCE_DIR) + "/scripts/wine " +
                                    quote((windowsBuildDir() / "runpack.exe").string());
    ASSERT_EQ(shell(windowsTool + " list " + quote(windowsPath(windows)) + " </dev/null", &output), 0) << output;
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());  // a console's line ends
    EXPECT_EQ(output, nativeList);
    ASSERT_EQ(shell(windowsTool + " verify --quiet " + quote(windowsPath(windows)) + " </dev/null", &output), 0) << output;
    EXPECT_NE(output.find(": OK, "), std::string::npos) << output;

    // What the Windows build made runs, and leaves nothing behind.
    EngineRun run = this->run(windows);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty()) << run.output;
    EXPECT_EQ(bytesOf(seen), bytesOf(tree / "file5.txt"));
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}

// The Windows tool runs in whatever code page its user has, and Wine gives it the code page
// of the locale it runs in (1250 under cs_CZ, 1252 under en_US and POSIX): from the same
// names, command and version strings beyond ASCII it makes the native tool's bytes in each.
// A shell without LANG (POSIX, as minimal machines and containers give) is among them.
TEST_F(Tool, WindowsBuildOfToolMakesTheSameBytesInAnyLocale) {
    const fs::path tree = dir / "tree";
    for (const char* name : {"P\xC5\x99\xC3\xADli\xC5\xA1.txt", "\xE6\x97\xA5\xE6\x9C\xAC/\xF0\x9F\x93\xA6.bin",
                             "\xC3\xA9t\xC3\xA9/ascii.txt"}) {
        const fs::path path = tree / fs::u8path(name);
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << name;
    }
    const std::string options = " -c " + quote("cmd.exe /c type P\xC5\x99\xC3\xADli\xC5\xA1.txt") +
                                " --set-version-string Comments " + quote("\xC2\xA9 K\xC5\xAF\xC5\x88 \xE6\x97\xA5");
    const fs::path engine = windowsBuildDir() / "runpack-engine.exe";
    const fs::path native = dir / "native.exe", windows = dir / "windows.exe";
    std::string output;
    ASSERT_EQ(shell(std::string(TOOL) + " build -o " + quote(native.string()) + " --engine " + quote(engine.string()) +
                    options + " " + quote(tree.string()), &output), 0) << output;
    ASSERT_EQ(shell(std::string(TOOL) + " list " + quote(native.string()), &output), 0) << output;
    ASSERT_NE(output.find("\xE6\x97\xA5\xE6\x9C\xAC\\\xF0\x9F\x93\xA6.bin"), std::string::npos) << output;
    for (const std::string locale : {"LANG=POSIX", "LANG=C", "LANG=cs_CZ.UTF-8", "LANG=en_US.UTF-8",
                                     "LANG=cs_CZ.UTF-8 LC_ALL=POSIX", "LANG=C.UTF-8 LC_CTYPE=C"}) {
        SCOPED_TRACE(locale);
        fs::remove(windows);
        ASSERT_EQ(shell("env -u LANG -u LC_ALL -u LC_CTYPE -u LC_MESSAGES " + locale + " " + RUNPACK_SOURCE_DIR +
                            "/scripts/wine " + quote((windowsBuildDir() / "runpack.exe").string()) + " build -o " +
                            quote(windowsPath(windows)) + " --engine " + quote(windowsPath(engine)) + options + " " +
                            quote(windowsPath(tree)) + " </dev/null", &output), 0) << output;
        EXPECT_EQ(bytesOf(windows), bytesOf(native));
    }
}

TEST_F(Tool, SignedExecutableVerifiesRunsAndStaysReadable) {
    fs::path tree = dir / "tree";
    fs::create_directories(tree);
    std::ofstream(tree / "a.txt") << "signed payload";
    fs::path exe = dir / "app.exe";
    fs::path signed_ = dir / "signed.exe";
    std::string output;
    ASSERT_EQ(shell(std::string(TOOL) + " build -o " + quote(exe.string()) + engineOption() + " " + quote(tree.string()), &output), 0) << output;
    ASSERT_EQ(shell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=runpack-test -keyout " +
                    quote((dir / "key.pem").string()) + " -out " + quote((dir / "cert.pem").string()), &output), 0) << output;
    ASSERT_EQ(shell("osslsigncode sign -certs " + quote((dir / "cert.pem").string()) + " -key " + quote((dir / "key.pem").string()) +
                    " -in " + quote(exe.string()) + " -out " + quote(signed_.string()), &output), 0) << output;
    EXPECT_EQ(shell("osslsigncode verify -CAfile " + quote((dir / "cert.pem").string()) + " " + quote(signed_.string()), &output), 0) << output;
    EXPECT_EQ(shell(std::string(TOOL) + " list " + quote(signed_.string()), &output), 0) << output;
    EXPECT_NE(output.find("a.txt"), std::string::npos) << output;
    EXPECT_EQ(shell(std::string(TOOL) + " verify " + quote(signed_.string()), &output), 0) << output;
    EngineRun run = this->run(signed_);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(listTree(tmp).empty());
}

TEST_F(Tool, ChangedPackageByteIsCaughtByToolAndEngine) {
    fs::path tree = dir / "tree";
    makeTree(tree);
    fs::path exe = dir / "app.exe";
    std::string output;
    ASSERT_EQ(shell(std::string(TOOL) + " build -o " + quote(exe.string()) + engineOption() + " " + quote(tree.string()), &output), 0) << output;
    std::vector<uint8_t> image = bytesOf(exe);
    std::vector<uint8_t> package, digest;
    bool hasPackage = false, hasDigest = false;
    std::string error;
    ASSERT_TRUE(readRunInfo(image, &package, &hasPackage, &digest, &hasDigest, &error)) << error;
    auto at = std::search(image.begin(), image.end(), package.begin(), package.end());
    ASSERT_NE(at, image.end());
    size_t start = at - image.begin();
    for (size_t offset : {size_t(0), package.size() / 3, package.size() / 2, package.size() - 1}) {
        SCOPED_TRACE(offset);
        std::vector<uint8_t> changed = image;
        changed[start + offset] ^= 0x01;
        fs::path bad = dir / ("bad" + std::to_string(offset) + ".exe");
        ASSERT_TRUE(writeFile(bad.string(), changed, &error)) << error;
        EXPECT_NE(shell(std::string(TOOL) + " verify " + quote(bad.string()), &output), 0) << output;
        EngineRun run = this->run(bad);
        ASSERT_EQ(run.boxes.size(), 1u) << run.output;
        EXPECT_EQ(run.boxes[0].text, "Missing RUNINFO or bad checksum!");
        EXPECT_EQ(run.exitCode, 0x80090020u);
        EXPECT_TRUE(listTree(tmp).empty());
    }
}

// The tool itself under a 1 GiB address-space limit, on a 276-byte package whose one LZHUF
// entry declares 2 GiB over 136 packed bytes: one line and exit code 1, no abort.
TEST_F(Tool, EntryDeclaringTwoGiBFailsCleanlyUnderAOneGiBAddressLimit) {
    TestPackage package;
    TestEntry entry;
    entry.name = std::string("big.bin");
    entry.method = METHOD_LZHUF;
    entry.packed = std::vector<uint8_t>(136, 0x5A);
    entry.unpackedSize = 0x7FFFFFFF;
    package.entries.push_back(entry);
    const std::vector<uint8_t> bytes = buildPackage(package);
    ASSERT_EQ(bytes.size(), 276u);
    fs::path exe = makeExe(bytes);
    for (const std::string& command : {" verify " + quote(exe.string()),
                                      " extract " + quote(exe.string()) + " -C " + quote((dir / "out").string())}) {
        std::string output;
        EXPECT_EQ(shell("prlimit --as=1073741824 " + std::string(TOOL) + command, &output), 1) << output;
        EXPECT_NE(output.find("entry 0 (big.bin): declares 2147483647 bytes, but 136 packed bytes of LZHUF yield at "
                              "most 6528\n"), std::string::npos) << output;
    }
    EXPECT_FALSE(fs::exists(dir / "out"));
}

// The Windows build of the tool under Wine: extract writes the tree, refuses to overwrite,
// refuses a link on the way (Wine shows a Unix symbolic link as a plain directory, so the
// check of the final path by handle is what finds it) and takes back what it wrote before
// it, and refuses the crafted root.
TEST_F(Tool, WindowsBuildExtractsOnlyInsideItsTarget) {
    fs::path tree = dir / "tree";
    fs::create_directories(tree / "sub");
    std::ofstream(tree / "a.txt") << "first";
    std::ofstream(tree / "sub" / "b.txt") << "second";
    fs::path exe = dir / "app.exe";
    std::string output;
    ASSERT_EQ(shell(std::string(TOOL) + " build -o " + quote(exe.string()) + engineOption() + " " + quote(tree.string()), &output), 0) << output;
    auto windowsTool = [&](const std::string& arguments, std::string* text) {
        return shell("timeout 120 " + std::string(RUNPACK_SOURCE_DIR) + "/scripts/wine " +
                     quote((windowsBuildDir() / "runpack.exe").string()) + " " + arguments + " </dev/null", text);
    };
    const std::string extract = "extract " + quote(windowsPath(exe)) + " -C ";

    fs::path out = dir / "out";
    ASSERT_EQ(windowsTool(extract + quote(windowsPath(out)), &output), 0) << output;
    EXPECT_EQ(bytesOf(out / "a.txt"), bytesOf(tree / "a.txt"));
    EXPECT_EQ(bytesOf(out / "sub" / "b.txt"), bytesOf(tree / "sub" / "b.txt"));
    EXPECT_EQ(windowsTool(extract + quote(windowsPath(out)), &output), 1);
    EXPECT_NE(output.find("a.txt exists (use --force to overwrite); nothing extracted"), std::string::npos) << output;
    EXPECT_EQ(windowsTool(extract + quote(windowsPath(out)) + " --force", &output), 0) << output;

    fs::path linked = dir / "linked";
    fs::path outside = dir / "outside";
    fs::create_directories(linked);
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, linked / "sub");
    EXPECT_EQ(windowsTool(extract + quote(windowsPath(linked)) + " --force", &output), 1);
    EXPECT_NE(output.find("sub resolves outside"), std::string::npos) << output;
    EXPECT_TRUE(fs::is_empty(outside));
    // a.txt, written before the link stopped the run, was the run's own: it is taken back.
    EXPECT_NE(output.find("removed the files and folders this run had made"), std::string::npos) << output;
    EXPECT_FALSE(fs::exists(linked / "a.txt"));

    // The crafted directory "/:/<dir>/victim" that once reset the path to the host's root.
    fs::create_directories(dir / "victim");
    std::ofstream(dir / "victim" / "a.txt") << "keep";
    TestPackage package;
    TestEntry entry;
    entry.name = std::string("a.txt");
    entry.directory = "/:" + (dir / "victim").string();
    entry.content = {'x'};
    package.entries.push_back(entry);
    fs::path crafted = makeExe(buildPackage(package));
    EXPECT_EQ(windowsTool("extract " + quote(windowsPath(crafted)) + " -C " + quote(windowsPath(dir / "target")) +
                              " --include-absolute --force", &output), 1);
    EXPECT_NE(output.find("the engine refuses this destination: a colon in second place"), std::string::npos) << output;
    EXPECT_EQ(bytesOf(dir / "victim" / "a.txt"), std::vector<uint8_t>({'k', 'e', 'e', 'p'}));
    EXPECT_FALSE(fs::exists(dir / "target" / "_absolute"));
}
#endif

}  // namespace
