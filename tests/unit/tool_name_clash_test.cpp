// Entries that are one file or folder on Windows: build refuses them, verify and extract fail,
// list warns in text and in JSON, each naming both entries.
#include <nlohmann/json.hpp>

#include "runpack/package/name_clashes.h"
#include "support/package_builder.h"
#include "tool_test_support.h"

using namespace tooltest;

namespace {

TestEntry entry(const std::string& directory, const std::string& name) {
    TestEntry e;
    if (!directory.empty()) e.directory = directory;
    e.name = name;
    e.content = {'x'};
    return e;
}

class ToolNameClash : public ToolTest {
protected:
    // An executable carrying `entries` as written, past build's checks.
    fs::path crafted(const std::vector<TestEntry>& entries) {
        TestPackage package;
        package.command = "run.bat";
        package.entries = entries;
        const std::vector<uint8_t> bytes = buildPackage(package);
        const std::vector<uint8_t> digest = sha1Digest(bytes);
        std::vector<uint8_t> image;
        std::string error;
        EXPECT_TRUE(embedRunInfo(fileBytes(engine), &bytes, &digest, &image, &error)) << error;
        const fs::path exe = dir / ("crafted" + std::to_string(++made) + ".exe");
        writeBytes(exe, image);
        return exe;
    }
    int made = 0;
};

}  // namespace

TEST(NameClashes, PairsEveryEntryWithTheOnesItMeets) {
    const std::vector<std::string> destinations = {"run.bat", "lib\\a.dll", "RUN.BAT", "\xC3\xA9.txt", "LIB",
                                                   "\xC3\x89.txt", "Run.Bat. ", "lib\\b.dll", "keep.txt"};
    const std::vector<NameClash> clashes = findNameClashes(destinations);
    std::vector<std::pair<size_t, size_t>> pairs;
    for (const NameClash& c : clashes) pairs.push_back({c.first, c.second});
    EXPECT_EQ(pairs, (std::vector<std::pair<size_t, size_t>>{{0, 2}, {0, 6}, {1, 4}, {3, 5}, {4, 7}}));
    const std::vector<std::vector<size_t>> partners = clashPartners(clashes, destinations.size());
    EXPECT_EQ(partners[0], (std::vector<size_t>{2, 6}));
    EXPECT_EQ(partners[4], (std::vector<size_t>{1, 7}));
    EXPECT_TRUE(partners[8].empty());
    // Text that is not UTF-8 takes no part.
    EXPECT_TRUE(findNameClashes({"a\xC0.txt", "A\xC0.TXT"}).empty());
}

TEST_F(ToolNameClash, BuildRefusesNamesThatWindowsTakesForOne) {
    const fs::path out = dir / "out.exe";
    writeText(dir / "one" / "run.bat", "1");
    writeText(dir / "two" / "RUN.BAT", "2");
    Result r = build(out, {(dir / "one").string(), (dir / "two").string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("two files with the same destination on Windows, which ignores case and trailing dots and "
                         "spaces: run.bat (" + (dir / "one" / "run.bat").string() + ") and RUN.BAT (" +
                         (dir / "two" / "RUN.BAT").string() + ")"),
              std::string::npos) << r.err;
    // Case beyond ASCII: é and É.
    writeText(dir / "e1" / "\xC3\xA9.txt", "1");
    writeText(dir / "e2" / "\xC3\x89.txt", "2");
    r = build(out, {(dir / "e1").string(), (dir / "e2").string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(": \xC3\xA9.txt (" + (dir / "e1" / "\xC3\xA9.txt").string() + ") and \xC3\x89.txt"),
              std::string::npos) << r.err;
    // A file where another file's folder goes, from a manifest.
    writeText(dir / "m.json", R"({"files": [{"source": "one/run.bat", "name": "tools"},
                                            {"source": "two/RUN.BAT", "name": "x.bat", "directory": "TOOLS"}]})");
    r = build(out, {"--manifest", (dir / "m.json").string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("spaces: tools ("), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(") and TOOLS\\x.bat ("), std::string::npos) << r.err;
    // A trailing dot or space is refused on its own, whether or not it meets another name.
    writeText(dir / "dots.json", R"({"files": [{"source": "one/run.bat", "name": "a.txt"},
                                               {"source": "two/RUN.BAT", "name": "A.TXT. "}]})");
    r = build(out, {"--manifest", (dir / "dots.json").string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_FALSE(fs::exists(out));
    // Folders of one name are one folder: that builds.
    writeText(dir / "f.json", R"({"files": [{"source": "one/run.bat", "name": "a.bat", "directory": "Tools"},
                                            {"source": "two/RUN.BAT", "name": "b.bat", "directory": "tools"}]})");
    r = build(out, {"--manifest", (dir / "f.json").string()});
    EXPECT_EQ(r.code, 0) << r.err;
}

TEST_F(ToolNameClash, VerifyListAndExtractNameBothEntries) {
    // run.bat and RUN.BAT; é.txt and É.txt in code page 1252; a.txt and "A.TXT. "; a file
    // "lib" and a folder "LIB".
    const fs::path exe = crafted({entry("", "run.bat"), entry("", "RUN.BAT"), entry("", "\xE9.txt"),
                                  entry("", "\xC9.txt"), entry("", "a.txt"), entry("", "A.TXT. "),
                                  entry("", "lib"), entry("LIB", "x.dll"), entry("", "other.txt")});
    const Result v = verify(exe);
    EXPECT_EQ(v.code, 1);
    const std::string tail = " are one file or folder on Windows, which ignores case and trailing dots and spaces: "
                             "the engine refuses the package\n";
    for (const std::string& both : {std::string("entries 0 (run.bat) and 1 (RUN.BAT)"),
                                    std::string("entries 2 (\xC3\xA9.txt) and 3 (\xC3\x89.txt)"),
                                    std::string("entries 4 (a.txt) and 5 (A.TXT. )"),
                                    std::string("entries 6 (lib) and 7 (LIB\\x.dll)")}) {
        EXPECT_NE(v.err.find("runpack verify: " + both + tail), std::string::npos) << v.err;
    }
    EXPECT_NE(v.err.find("FAILED"), std::string::npos);

    const Result l = list(exe);
    EXPECT_EQ(l.code, 0) << l.err;
    EXPECT_NE(l.out.find("WARNING: entries 0 (run.bat) and 1 (RUN.BAT) are one file or folder on Windows"),
              std::string::npos) << l.out;
    EXPECT_NE(l.out.find("WARNING: entries 2 (\xC3\xA9.txt) and 3 (\xC3\x89.txt) are one"), std::string::npos) << l.out;
    const nlohmann::json json = nlohmann::json::parse(list(exe, {"--json"}).out);
    EXPECT_EQ(json["nameClashes"], 4);
    EXPECT_EQ(json["files"][0]["sameNameAs"], nlohmann::json::array({1}));
    EXPECT_EQ(json["files"][5]["sameNameAs"], nlohmann::json::array({4}));
    EXPECT_EQ(json["files"][7]["sameNameAs"], nlohmann::json::array({6}));
    EXPECT_EQ(json["files"][8]["sameNameAs"], nlohmann::json::array());

    const Result x = extract(exe, dir / "out");
    EXPECT_EQ(x.code, 1);
    EXPECT_NE(x.err.find("runpack extract: entries 0 (run.bat) and 1 (RUN.BAT)" + tail), std::string::npos) << x.err;
    EXPECT_FALSE(fs::exists(dir / "out"));

    // Without the clashes the same package verifies, lists without a warning and extracts.
    const fs::path sound = crafted({entry("", "run.bat"), entry("", "\xE9.txt"), entry("LIB", "x.dll"),
                                    entry("lib", "y.dll"), entry("", "a.txt")});
    EXPECT_EQ(verify(sound).code, 0);
    EXPECT_EQ(list(sound).out.find("one file or folder"), std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(list(sound, {"--json"}).out)["nameClashes"], 0);
    EXPECT_EQ(extract(sound, dir / "sound").code, 0);
}
