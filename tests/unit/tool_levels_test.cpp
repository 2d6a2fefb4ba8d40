// `runpack build --level` and `runpack lzhuf encode --level`: every level's packages verify
// and extract, the reference level writes what the reference encoder writes, and the
// default is the best level.
#include <nlohmann/json.hpp>

#include <map>
#include <random>

#include "codec/lzhuf_encoder.h"
#include "package/method_ids.h"
#include "package/package_reader.h"
#include "runpack/commands/lzhuf_command.h"
#include "support/lzhuf_streams.h"
#include "tool_test_support.h"

using namespace tooltest;

namespace {

std::vector<uint8_t> textLike(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    const char* words[] = {"extract ", "every ", "file ", "then ", "run ", "the ", "command\r\n"};
    std::vector<uint8_t> bytes;
    while (bytes.size() < size) {
        for (const char* p = words[random() % 7]; *p != '\0'; ++p) bytes.push_back(static_cast<uint8_t>(*p));
        if (random() % 5 == 0) bytes.push_back(static_cast<uint8_t>(random()));
    }
    bytes.resize(size);
    return bytes;
}

class ToolLevels : public ToolTest {
protected:
    fs::path tree;
    std::map<std::string, std::vector<uint8_t>> contents;

    void SetUp() override {
        ToolTest::SetUp();
        tree = dir / "tree";
        // Spaces first: the reference encoder matches them against the window's.
        std::vector<uint8_t> spaces(500, ' ');
        std::vector<uint8_t> text = textLike(30000, 2);
        spaces.insert(spaces.end(), text.begin(), text.end());
        contents = {{"a.txt", textLike(120000, 1)}, {"sub/spaces.txt", spaces}, {"sub/tiny.txt", textLike(5, 3)}};
        for (const auto& [path, bytes] : contents) writeBytes(tree / path, bytes);
    }

    // The packed bytes of each entry, by name.
    std::map<std::string, std::vector<uint8_t>> packedEntries(const fs::path& exe) {
        const std::vector<uint8_t> package = packageOf(exe);
        const uint32_t size = static_cast<uint32_t>(package.size());
        std::map<std::string, std::vector<uint8_t>> entries;
        PackageHeader header{};
        header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
        uint32_t offset = 0;
        EXPECT_TRUE(readHeader(package.data(), size, &offset, &header));
        for (uint32_t k = 0; k < header.fileCount; ++k) {
            FileEntry entry{};
            entry.recordSize = FILE_ENTRY_RECORD_SIZE;
            EXPECT_TRUE(readEntry(package.data(), size, offset, &offset, &entry));
            EXPECT_EQ(entry.method, METHOD_LZHUF) << entry.name;
            entries[entry.name] = std::vector<uint8_t>(entry.data, entry.data + entry.packedSize);
        }
        return entries;
    }
};

}  // namespace

TEST_F(ToolLevels, EveryLevelBuildsPackagesThatVerifyAndExtract) {
    std::map<std::string, size_t> packedText;
    for (const char* level : {"fast", "ref", "best"}) {
        SCOPED_TRACE(level);
        const fs::path exe = dir / (std::string(level) + ".exe");
        const Result built = build(exe, {"--method", "lzhuf", "--level", level, tree.string()});
        ASSERT_EQ(built.code, 0) << built.err;
        const Result verified = verify(exe);
        EXPECT_EQ(verified.code, 0) << verified.err;
        EXPECT_NE(verified.out.find("OK, 3 files"), std::string::npos) << verified.out;
        ASSERT_EQ(extract(exe, dir / level).code, 0);
        for (const auto& [path, bytes] : contents) EXPECT_EQ(fileBytes(dir / level / path), bytes) << path;
        packedText[level] = packedEntries(exe)["a.txt"].size();
    }
    EXPECT_LT(packedText["best"], packedText["ref"]);
}

TEST_F(ToolLevels, TheReferenceLevelWritesTheReferenceEncodersStreams) {
    ASSERT_EQ(build(dir / "ref.exe", {"--method", "lzhuf", "--level", "ref", tree.string()}).code, 0);
    const std::map<std::string, std::vector<uint8_t>> entries = packedEntries(dir / "ref.exe");
    ASSERT_EQ(entries.size(), 3u);
    for (const auto& [path, bytes] : contents) {
        const std::string name = fs::path(path).filename().string();
        EXPECT_EQ(entries.at(name), lzhufEncodeBytes(bytes).packed) << name;
    }
}

TEST_F(ToolLevels, TheDefaultIsTheBestLevelAndUnknownLevelsAreRefused) {
    ASSERT_EQ(build(dir / "default.exe", {tree.string()}).code, 0);
    ASSERT_EQ(build(dir / "best.exe", {"--level", "best", tree.string()}).code, 0);
    EXPECT_EQ(fileBytes(dir / "default.exe"), fileBytes(dir / "best.exe"));

    const Result refused = build(dir / "x.exe", {"--level", "smallest", tree.string()});
    EXPECT_EQ(refused.code, 2);
    EXPECT_NE(refused.err.find("unknown level \"smallest\" (fast, ref, best or max)"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(dir / "x.exe"));
}

TEST_F(ToolLevels, LzhufEncodeTakesALevel) {
    const fs::path in = tree / "a.txt";
    for (const char* level : {"fast", "ref", "best"}) {
        SCOPED_TRACE(level);
        const fs::path packed = dir / (std::string(level) + ".lzh");
        const fs::path back = dir / (std::string(level) + ".back");
        std::vector<std::string> words = {"encode", "--level", level, in.string(), packed.string()};
        std::vector<char*> args;
        for (std::string& w : words) args.push_back(&w[0]);
        std::ostringstream out, err;
        ASSERT_EQ(runLzhufCommand(static_cast<int>(args.size()), args.data(), out, err), 0) << err.str();
        std::vector<std::string> decode = {"decode", packed.string(), back.string(),
                                           std::to_string(contents["a.txt"].size())};
        args.clear();
        for (std::string& w : decode) args.push_back(&w[0]);
        ASSERT_EQ(runLzhufCommand(static_cast<int>(args.size()), args.data(), out, err), 0) << err.str();
        EXPECT_EQ(fileBytes(back), contents["a.txt"]);
        if (std::string(level) == "ref") {
            EXPECT_EQ(fileBytes(packed), lzhufEncodeBytes(contents["a.txt"]).packed);
        }
    }
    std::vector<std::string> words = {"encode", "--level", "slow", in.string(), (dir / "x").string()};
    std::vector<char*> args;
    for (std::string& w : words) args.push_back(&w[0]);
    std::ostringstream out, err;
    EXPECT_EQ(runLzhufCommand(static_cast<int>(args.size()), args.data(), out, err), 2);
}
