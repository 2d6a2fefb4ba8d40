// build -> list -> verify -> extract on a generated tree, and what verify and extract refuse.
#include <openssl/sha.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <random>

#include "package/package_reader.h"
#include "support/package_builder.h"
#include "tool_test_support.h"

using namespace tooltest;

namespace {

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (uint8_t& b : v) b = uint8_t(rng());
    return v;
}

std::vector<uint8_t> textBytes(size_t n) {
    const std::string line = "The engine extracts every file, runs the command and cleans up.\r\n";
    std::vector<uint8_t> v;
    while (v.size() < n) v.insert(v.end(), line.begin(), line.end());
    v.resize(n);
    return v;
}

class ToolRoundTrip : public ToolTest {
protected:
    fs::path tree;
    std::map<std::string, std::vector<uint8_t>> contents;  // relative path -> bytes

    void SetUp() override {
        ToolTest::SetUp();
        tree = dir / "tree";
        contents = {
            {"empty.dat", {}},
            {"readme.txt", textBytes(200000)},
            {"noise.bin", randomBytes(70000, 7)},
            {"sub/deeper/tiny.txt", textBytes(3)},
            {"sub/b.txt", textBytes(5000)},
            {"sub/a.txt", textBytes(4037)},
        };
        for (const auto& [path, bytes] : contents) writeBytes(tree / path, bytes);
    }

    // Every extracted file under `root` with its bytes.
    std::map<std::string, std::vector<uint8_t>> readTree(const fs::path& root) {
        std::map<std::string, std::vector<uint8_t>> found;
        for (const auto& e : fs::recursive_directory_iterator(root))
            if (e.is_regular_file()) found[e.path().lexically_relative(root).generic_string()] = fileBytes(e.path());
        return found;
    }

    // A copy of the test engine carrying `package` and its correct digest.
    fs::path craftedExe(const std::string& name, const TestPackage& package) {
        const fs::path exe = dir / name;
        fs::copy_file(engine, exe);
        const std::vector<uint8_t> bytes = buildPackage(package);
        const std::vector<uint8_t> digest = sha1Digest(bytes);
        replacePackage(exe, bytes, &digest);
        return exe;
    }

    // Replaces the package (and digest) inside `exe`.
    void replacePackage(const fs::path& exe, const std::vector<uint8_t>& package, const std::vector<uint8_t>* digest) {
        std::vector<uint8_t> out;
        std::string error;
        ASSERT_TRUE(embedRunInfo(fileBytes(exe), &package, digest, &out, &error)) << error;
        writeBytes(exe, out);
    }
};

}  // namespace

TEST_F(ToolRoundTrip, BuildListVerifyExtractGiveTheTreeBack) {
    const fs::path exe = dir / "app.exe";
    // The per-file methods: what pays for each file alone.
    const Result built = build(exe, {"-c", "setup.exe /quiet", "--cleanup", "journal", "--to", "app", "--method", "auto",
                                     tree.string()});
    ASSERT_EQ(built.code, 0) << built.err;

    // The package digest is the SHA-1 of the package, by an independent implementation.
    std::vector<uint8_t> digest;
    const std::vector<uint8_t> package = packageOf(exe, &digest);
    uint8_t expected[SHA_DIGEST_LENGTH];
    SHA1(package.data(), package.size(), expected);
    EXPECT_EQ(digest, std::vector<uint8_t>(expected, expected + SHA_DIGEST_LENGTH));
    PackageHeader header{};
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    ASSERT_TRUE(validatePackage(package.data(), uint32_t(package.size()), &header, nullptr));
    EXPECT_STREQ(header.command, "setup.exe /quiet");
    EXPECT_EQ(header.cleanupMode, uint32_t(CLEANUP_JOURNAL));

    // The engine's other resources survive.
    std::vector<PeResource> resources;
    std::string error;
    ASSERT_TRUE(readPeResources(fileBytes(exe), &resources, &error));
    EXPECT_EQ(resources.size(), sampleTestResources().size() + 2);

    // list --json: sorted order, directories with backslashes, methods by what pays.
    const Result listed = list(exe, {"--json"});
    ASSERT_EQ(listed.code, 0) << listed.err;
    const nlohmann::json json = nlohmann::json::parse(listed.out);
    EXPECT_EQ(json["command"], "setup.exe /quiet");
    EXPECT_EQ(json["cleanup"], "journal");
    std::vector<std::string> destinations, methods;
    for (const auto& f : json["files"]) {
        destinations.push_back(f["destination"]);
        methods.push_back(f["method"]);
    }
    EXPECT_EQ(destinations, (std::vector<std::string>{"app\\empty.dat", "app\\noise.bin", "app\\readme.txt",
                                                      "app\\sub\\a.txt", "app\\sub\\b.txt", "app\\sub\\deeper\\tiny.txt"}));
    EXPECT_EQ(methods, (std::vector<std::string>{"stored", "stored", "lzhuf", "lzhuf", "lzhuf", "stored"}));
    EXPECT_EQ(json["files"][2]["unpackedSize"], 200000);
    EXPECT_LT(json["files"][2]["packedSize"], 200000);
    const Result plain = list(exe);
    EXPECT_NE(plain.out.find("command: \"setup.exe /quiet\""), std::string::npos) << plain.out;

    const Result verified = verify(exe);
    EXPECT_EQ(verified.code, 0) << verified.err;
    EXPECT_NE(verified.out.find("OK, 6 files"), std::string::npos) << verified.out;

    const Result extracted = extract(exe, dir / "out");
    ASSERT_EQ(extracted.code, 0) << extracted.err;
    std::map<std::string, std::vector<uint8_t>> want;
    for (const auto& [path, bytes] : contents) want["app/" + path] = bytes;
    EXPECT_EQ(readTree(dir / "out"), want);
}

TEST_F(ToolRoundTrip, OutputIsTheSameWhateverTheThreadCountAndMethod) {
    ASSERT_EQ(build(dir / "serial.exe", {"--jobs", "1", tree.string()}).code, 0);
    ASSERT_EQ(build(dir / "parallel.exe", {"--jobs", "4", tree.string()}).code, 0);
    ASSERT_EQ(build(dir / "again.exe", {tree.string()}).code, 0);
    EXPECT_EQ(fileBytes(dir / "serial.exe"), fileBytes(dir / "parallel.exe"));
    EXPECT_EQ(fileBytes(dir / "serial.exe"), fileBytes(dir / "again.exe"));

    for (const char* method : {"stored", "lzhuf"}) {
        SCOPED_TRACE(method);
        const fs::path exe = dir / (std::string(method) + ".exe");
        ASSERT_EQ(build(exe, {"--method", method, tree.string()}).code, 0);
        const nlohmann::json json = nlohmann::json::parse(list(exe, {"--json"}).out);
        for (const auto& f : json["files"]) EXPECT_EQ(f["method"], method);
        EXPECT_EQ(verify(exe).code, 0);
        ASSERT_EQ(extract(exe, dir / method).code, 0);
        EXPECT_EQ(readTree(dir / method), contents);
    }
}

TEST_F(ToolRoundTrip, ManifestAndAbsoluteDestinations) {
    writeText(dir / "m.json", R"({"files": [
        {"source": "tree/readme.txt", "directory": "C:\\Tools", "method": "stored"},
        {"source": "tree/sub/a.txt", "name": "renamed.txt", "directory": "%APPDATA%\\x"},
        {"source": "tree/noise.bin", "name": "n/noise.bin"}]})");
    const fs::path exe = dir / "m.exe";
    const Result built = build(exe, {"--manifest", (dir / "m.json").string()});
    ASSERT_EQ(built.code, 0) << built.err;

    // list puts the two files that leave the working directory up front and marks them.
    std::ostringstream listed, errors;
    ASSERT_EQ(runListCommand({exe.string()}, listed, errors), 0) << errors.str();
    EXPECT_NE(listed.str().find("WARNING: 2 file(s) go outside the working directory (marked !): a file already there "
                                "is set aside and put back after the run\n"),
              std::string::npos)
        << listed.str();
    EXPECT_NE(listed.str().find("\n! stored"), std::string::npos) << listed.str();
    // Detach leaves the package's files where they went.
    const fs::path detached = dir / "d.exe";
    ASSERT_EQ(build(detached, {"--manifest", (dir / "m.json").string(), "--cleanup", "detach"}).code, 0);
    EXPECT_NE(list(detached).out.find("WARNING: 2 file(s) go outside the working directory (marked !), and replace "
                                      "for good what is there\n"),
              std::string::npos);
    std::ostringstream json;
    ASSERT_EQ(runListCommand({exe.string(), "--json"}, json, errors), 0);
    EXPECT_NE(json.str().find("\"outsideWorkingDirectory\": 2"), std::string::npos) << json.str();

    const Result skipping = extract(exe, dir / "out");
    ASSERT_EQ(skipping.code, 0) << skipping.err;
    EXPECT_NE(skipping.err.find("C:\\Tools\\readme.txt"), std::string::npos) << skipping.err;
    EXPECT_EQ(readTree(dir / "out"), (std::map<std::string, std::vector<uint8_t>>{{"n/noise.bin", contents["noise.bin"]}}));

    // Again into the same place: refused without --force, complete with it.
    const Result again = extract(exe, dir / "out", {"--include-absolute"});
    EXPECT_EQ(again.code, 1);
    EXPECT_NE(again.err.find("exists"), std::string::npos) << again.err;
    EXPECT_FALSE(fs::exists(dir / "out" / "_absolute"));
    const Result forced = extract(exe, dir / "out", {"--include-absolute", "--force"});
    ASSERT_EQ(forced.code, 0) << forced.err;
    EXPECT_EQ(readTree(dir / "out"), (std::map<std::string, std::vector<uint8_t>>{
                                         {"n/noise.bin", contents["noise.bin"]},
                                         {"_absolute/C/Tools/readme.txt", contents["readme.txt"]},
                                         {"_absolute/%APPDATA%/x/renamed.txt", contents["sub/a.txt"]}}));
}

TEST_F(ToolRoundTrip, VerifyFindsEveryKindOfDamage) {
    const fs::path exe = dir / "app.exe";
    // Per-file methods, so that the last entry is stored and its bytes can be damaged alone.
    ASSERT_EQ(build(exe, {"--method", "auto", tree.string()}).code, 0);
    std::vector<uint8_t> digest;
    const std::vector<uint8_t> package = packageOf(exe, &digest);

    auto expectFailure = [&](const std::string& needle) {
        const Result r = verify(exe);
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find(needle), std::string::npos) << r.err;
        EXPECT_EQ(extract(exe, dir / "never").code, 1);
        EXPECT_FALSE(fs::exists(dir / "never"));
    };
    replacePackage(exe, package, nullptr);
    expectFailure("no package digest");
    std::vector<uint8_t> longDigest = digest;
    longDigest.push_back(0);
    replacePackage(exe, package, &longDigest);
    expectFailure("21 bytes, not 20");

    // One byte of stored data changed: the package digest and the entry's SHA-1 both fail.
    std::vector<uint8_t> damaged = package;
    damaged[damaged.size() - 1] ^= 1;  // the last entry is stored (tiny.txt)
    replacePackage(exe, damaged, &digest);
    expectFailure("package digest does not match");
    const std::vector<uint8_t> newDigest = sha1Digest(damaged);
    replacePackage(exe, damaged, &newDigest);
    expectFailure("content does not match its SHA-1");

    // A structurally broken package: what the engine would refuse.
    std::vector<uint8_t> cut(package.begin(), package.end() - 1);
    const std::vector<uint8_t> cutDigest = sha1Digest(cut);
    replacePackage(exe, cut, &cutDigest);
    expectFailure("malformed");

    // No package at all.
    std::vector<uint8_t> bare;
    std::string error;
    ASSERT_TRUE(embedRunInfo(fileBytes(exe), nullptr, nullptr, &bare, &error));
    writeBytes(exe, bare);
    EXPECT_NE(verify(exe).err.find("carries no package"), std::string::npos);
    EXPECT_EQ(list(exe).code, 1);
    writeText(dir / "not.exe", "MZ but nothing else");
    EXPECT_EQ(list(dir / "not.exe").code, 1);
}

TEST_F(ToolRoundTrip, ExtractNeverLeavesItsDirectory) {
    // A package that names "..": refused before anything is written.
    TestPackage evil;
    evil.entries.resize(2);
    evil.entries[0].name = std::string("fine.txt");
    evil.entries[0].content = {'o', 'k'};
    evil.entries[1].name = std::string("evil.txt");
    evil.entries[1].directory = std::string("sub\\..\\..");
    evil.entries[1].content = {'x'};
    const fs::path exe = dir / "evil.exe";
    fs::copy_file(engine, exe);
    const std::vector<uint8_t> package = buildPackage(evil);
    const std::vector<uint8_t> digest = sha1Digest(package);
    replacePackage(exe, package, &digest);
    const Result r = extract(exe, dir / "out");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("\"..\""), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "out"));
    EXPECT_FALSE(fs::exists(dir / "evil.txt"));

    // A symbolic link inside the target directory is not followed, even with --force.
    const fs::path exe2 = dir / "app.exe";
    ASSERT_EQ(build(exe2, {"--to", "sub", (tree / "readme.txt").string()}).code, 0);
    fs::create_directories(dir / "out2");
    fs::create_directories(dir / "elsewhere");
    fs::create_directory_symlink(dir / "elsewhere", dir / "out2" / "sub");
    const Result linked = extract(exe2, dir / "out2", {"--force"});
    EXPECT_EQ(linked.code, 1);
    EXPECT_NE(linked.err.find("symbolic link"), std::string::npos) << linked.err;
    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
}

TEST_F(ToolRoundTrip, ListMarksAndVerifyFailsWhatTheEngineRefuses) {
    TestPackage package;
    auto add = [&](const char* directory, const char* name) {
        TestEntry e;
        if (directory) e.directory = std::string(directory);
        e.name = std::string(name);
        e.content = {'x'};
        package.entries.push_back(e);
    };
    add("sub", "fine.txt");
    add("sub\\..\\..", "evil.txt");
    add(nullptr, "nul.txt");
    add("/:/outside/dir", "a.txt");
    add("C:\\Tools", "outside.txt");
    const fs::path exe = craftedExe("refused.exe", package);

    const Result listed = list(exe);
    ASSERT_EQ(listed.code, 0) << listed.err;
    EXPECT_NE(listed.out.find("WARNING: 3 file(s) have a destination the engine refuses (marked x)"), std::string::npos)
        << listed.out;
    EXPECT_NE(listed.out.find("WARNING: 1 file(s) go outside the working directory"), std::string::npos) << listed.out;
    std::vector<std::string> marks;
    std::istringstream lines(listed.out);
    for (std::string line; std::getline(lines, line);)
        if (line.find(" stored ") != std::string::npos) marks.push_back(line.substr(0, 1));
    EXPECT_EQ(marks, (std::vector<std::string>{" ", "x", "x", "x", "!"}));
    EXPECT_NE(listed.out.find("sub\\..\\..\\evil.txt  (refused: a \"..\" part"), std::string::npos) << listed.out;

    const nlohmann::json json = nlohmann::json::parse(list(exe, {"--json"}).out);
    EXPECT_EQ(json["refusedByEngine"], 3);
    std::vector<bool> refused;
    for (const auto& f : json["files"]) {
        refused.push_back(f["refusedByEngine"]);
        EXPECT_EQ(f["refusal"].is_null(), !f["refusedByEngine"].get<bool>()) << f;
    }
    EXPECT_EQ(refused, (std::vector<bool>{false, true, true, true, false}));
    EXPECT_EQ(json["files"][2]["refusal"], "a part is a reserved device name");

    // verify: exit 1, one line for each refused entry and none for the others.
    const Result verified = verify(exe);
    EXPECT_EQ(verified.code, 1);
    EXPECT_EQ(verified.out, "");
    const std::string prefix = "): the engine refuses this destination: ";
    EXPECT_NE(verified.err.find("entry 1 (sub\\..\\..\\evil.txt" + prefix + "a \"..\" part"), std::string::npos)
        << verified.err;
    EXPECT_NE(verified.err.find("entry 2 (nul.txt" + prefix), std::string::npos) << verified.err;
    EXPECT_NE(verified.err.find("entry 3 (/:/outside/dir\\a.txt" + prefix), std::string::npos) << verified.err;
    EXPECT_EQ(std::count(verified.err.begin(), verified.err.end(), '\n'), 4) << verified.err;  // and FAILED
}

TEST_F(ToolRoundTrip, HelpOfEveryCommand) {
    for (auto command : {runListCommand, runVerifyCommand, runExtractCommand}) {
        const Result help = run(command, {"--help"});
        EXPECT_EQ(help.code, 0);
        EXPECT_NE(help.out.find("usage: runpack "), std::string::npos);
        EXPECT_EQ(run(command, {}).code, 2);
    }
    EXPECT_NE(run(runExtractCommand, {"--help"}).out.find("--include-absolute"), std::string::npos);
    EXPECT_EQ(run(runExtractCommand, {"x.exe"}).code, 2);  // no -C
}

TEST_F(ToolRoundTrip, SolidStreamsByDefault) {
    const fs::path exe = dir / "solid.exe";
    const Result built = build(exe, {tree.string()});
    ASSERT_EQ(built.code, 0) << built.err;
    EXPECT_NE(built.out.find("6 files (6 compressed, 1 solid stream)"), std::string::npos) << built.out;

    // One stream: the first entry holds it, every entry names it.
    const nlohmann::json json = nlohmann::json::parse(list(exe, {"--json"}).out);
    ASSERT_EQ(json["files"].size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(json["files"][i]["method"], "lzma2");
        EXPECT_EQ(json["files"][i]["stream"], 1);
        EXPECT_EQ(json["files"][i]["packedSize"] == 0, i != 0) << i;
    }
    // The stream's own line: its members, their sizes together, its ratio, which every member
    // shows as its own.
    ASSERT_EQ(json["streams"].size(), 1u);
    const nlohmann::json& stream = json["streams"][0];
    EXPECT_EQ(stream["files"], 6);
    uint64_t unpacked = 0;
    for (const auto& f : json["files"]) unpacked += f["unpackedSize"].get<uint64_t>();
    EXPECT_EQ(stream["unpackedSize"].get<uint64_t>(), unpacked);
    EXPECT_EQ(stream["packedSize"], json["files"][0]["packedSize"]);
    for (const auto& f : json["files"]) EXPECT_EQ(f["ratio"], stream["ratio"]);
    EXPECT_GE(stream["dictionarySize"].get<uint64_t>(), 4096u);
    const std::string text = list(exe).out;
    EXPECT_NE(text.find("lzma2:1"), std::string::npos) << text;
    EXPECT_NE(text.find("stream 1: 6 file(s), " + std::to_string(unpacked) + " bytes in "), std::string::npos) << text;
    const Result verified = verify(exe);
    EXPECT_EQ(verified.code, 0) << verified.err;
    ASSERT_EQ(extract(exe, dir / "out").code, 0);
    EXPECT_EQ(readTree(dir / "out"), contents);

    // Smaller than the per-file methods on the same files.
    const fs::path perFile = dir / "perfile.exe";
    ASSERT_EQ(build(perFile, {"--method", "auto", tree.string()}).code, 0);
    EXPECT_LT(packageOf(exe).size(), packageOf(perFile).size());

    // A byte changed inside the stream, digest updated: verify names the damage, extract
    // refuses, and nothing of the package's files is left behind.
    std::vector<uint8_t> damaged = packageOf(exe);
    damaged[damaged.size() / 2] ^= 0x10;
    const std::vector<uint8_t> digest = sha1Digest(damaged);
    replacePackage(exe, damaged, &digest);
    const Result broken = verify(exe);
    EXPECT_EQ(broken.code, 1);
    EXPECT_NE(broken.err.find("entry "), std::string::npos) << broken.err;
    EXPECT_EQ(extract(exe, dir / "never").code, 1);
}

TEST_F(ToolRoundTrip, ExtractSkipsAbsoluteMembersOfAStreamButDecodesThem) {
    // The absolute file sits between two members that are extracted.
    writeText(dir / "m.json", R"({"files": [
        {"source": "tree/readme.txt"},
        {"source": "tree/noise.bin", "directory": "C:\\Tools"},
        {"source": "tree/sub/a.txt"},
        {"source": "tree/empty.dat"}]})");
    const fs::path exe = dir / "m.exe";
    const Result built = build(exe, {"--manifest", (dir / "m.json").string()});
    ASSERT_EQ(built.code, 0) << built.err;
    EXPECT_NE(built.out.find("1 solid stream"), std::string::npos) << built.out;
    const Result r = extract(exe, dir / "out");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(readTree(dir / "out"), (std::map<std::string, std::vector<uint8_t>>{
                                         {"readme.txt", contents["readme.txt"]},
                                         {"a.txt", contents["sub/a.txt"]},
                                         {"empty.dat", {}}}));
}

TEST_F(ToolRoundTrip, StoredAndLzhufEntriesSplitSolidStreams) {
    writeText(dir / "m.json", R"({"files": [
        {"source": "tree/readme.txt"},
        {"source": "tree/sub/b.txt"},
        {"source": "tree/noise.bin", "method": "stored"},
        {"source": "tree/sub/a.txt"},
        {"source": "tree/sub/deeper/tiny.txt", "method": "lzhuf"}]})");
    const fs::path exe = dir / "mixed.exe";
    const Result built = build(exe, {"--manifest", (dir / "m.json").string(), "--level", "fast"});
    ASSERT_EQ(built.code, 0) << built.err;
    const nlohmann::json json = nlohmann::json::parse(list(exe, {"--json"}).out);
    std::vector<std::string> methods;
    std::vector<nlohmann::json> streams;
    for (const auto& f : json["files"]) {
        methods.push_back(f["method"]);
        streams.push_back(f["stream"]);
    }
    EXPECT_EQ(methods, (std::vector<std::string>{"lzma2", "lzma2", "stored", "lzma2", "lzhuf"}));
    EXPECT_EQ(streams, (std::vector<nlohmann::json>{1, 1, nullptr, 2, nullptr}));
    EXPECT_EQ(verify(exe).code, 0);
}
