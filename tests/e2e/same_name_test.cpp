// Packages whose entries are one file or folder on Windows (names that differ only in case,
// over all of Unicode, or in trailing dots and spaces; two destinations that a variable makes
// one; a file where another entry's folder goes): the engine refuses them while validating,
// with message 5, before anything is made, so that what a reviewer inspected is what runs.
#include "e2e/harness.h"

#include <fstream>

#include "package/package_reader.h"
#include "runpack/image/pe_resources.h"
#include "support/package_builder.h"

namespace {

const uint32_t NTE_FAIL = 0x80090020u;
const uint32_t RUN_OPTIONS_UTF8_NAMES = 8;

std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

TestEntry entry(std::optional<std::string> directory, std::string name, const std::string& content) {
    TestEntry e;
    e.directory = std::move(directory);
    e.name = std::move(name);
    e.content = bytesOf(content);
    return e;
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

class SameNameRun : public EngineTest {
protected:
    // The engine carrying `package`, with the run options' flags when not 0.
    fs::path exeOf(const TestPackage& package, uint32_t flags) {
        std::vector<uint8_t> bytes = buildPackage(package);
        if (flags == 0) return makeExe(bytes);
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
};

}  // namespace

TEST_F(SameNameRun, EntriesThatAreOneFileOnWindowsAreRefusedBeforeAnythingIsMade) {
    // A folder of the user's, where two destinations meet through a variable.
    const fs::path kept = dir / "outside" / "kept";
    fs::create_directories(kept);
    std::ofstream(kept / "notes.txt") << "the user's notes";
    const std::string keptPath = windowsPath(kept);
    struct Row {
        const char* what;
        std::vector<TestEntry> entries;
        uint32_t flags;
    } rows[] = {
        {"run.bat and RUN.BAT", {entry(std::nullopt, "run.bat", "@echo inspected"), entry(std::nullopt, "RUN.BAT", "@echo runs")}, 0},
        {"e-acute in either case, UTF-8",
         {entry(std::nullopt, "\xC3\xA9.txt", "small"), entry(std::nullopt, "\xC3\x89.txt", "capital")},
         RUN_OPTIONS_UTF8_NAMES},
        {"Cyrillic in either case, UTF-8",
         {entry(std::string("\xD0\xB4\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5"), "a.txt", "small"),
          entry(std::string("\xD0\x94\xD0\x90\xD0\x9D\xD0\x9D\xD0\xAB\xD0\x95"), "b.txt", "folder"),
          entry(std::nullopt, "\xD0\x94\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5", "a file where the folder goes")},
         RUN_OPTIONS_UTF8_NAMES},
        {"e-acute in either case, code page 1252",
         {entry(std::nullopt, "\xE9.txt", "small"), entry(std::nullopt, "\xC9.txt", "capital")}, 0},
        {"a.txt and A.TXT. ", {entry(std::nullopt, "a.txt", "a"), entry(std::nullopt, "A.TXT. ", "A")}, 0},
        {"a file where a folder goes", {entry(std::string("LIB"), "x.dll", "x"), entry(std::nullopt, "lib", "file")}, 0},
        {"one folder by its path and through a variable",
         {entry(keptPath, "x.txt", "by path"), entry(std::string("%RUNPACK_KEPT%"), "X.TXT", "by variable")}, 0},
    };
    RunOptions options;
    options.environment["RUNPACK_KEPT"] = upper(keptPath);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TestPackage package;
        package.cleanupMode = CLEANUP_JOURNAL;
        package.entries.push_back(entry(std::nullopt, "first.txt", "first"));
        package.entries.insert(package.entries.end(), row.entries.begin(), row.entries.end());
        package.command = "cmd.exe /c echo never> " + windowsPath(dir / "never.txt");
        EngineRun run = this->run(exeOf(package, row.flags), options);
        ASSERT_EQ(run.boxes.size(), 1u) << run.output;
        EXPECT_EQ(run.boxes[0].text, "Cannot process RUNINFO!");
        EXPECT_EQ(run.exitCode, NTE_FAIL);
        EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
        EXPECT_EQ(listTree(dir / "outside"), std::vector<std::string>({"kept/", "kept/notes.txt"}));
        EXPECT_FALSE(fs::exists(dir / "never.txt"));
    }
}

TEST_F(SameNameRun, FoldersOfOneNameAreOneFolderAndTheRunGoesOn) {
    TestPackage package;
    package.cleanupMode = CLEANUP_TREE;
    package.entries.push_back(entry(std::string("Tools"), "a.txt", "a"));
    package.entries.push_back(entry(std::string("tools"), "b.txt", "b"));
    package.entries.push_back(entry(std::string("TOOLS\\"), "", ""));  // the folder alone
    package.entries.push_back(entry(std::nullopt, "tools.txt", "not the folder"));
    const fs::path seen = dir / "seen.txt";
    package.command = "cmd.exe /c dir /b /s > " + windowsPath(seen);
    EngineRun run = this->run(exeOf(package, 0));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty()) << run.output;
    std::ifstream listing(seen);
    std::string text((std::istreambuf_iterator<char>(listing)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("a.txt"), std::string::npos) << text;
    EXPECT_NE(text.find("b.txt"), std::string::npos) << text;
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}
