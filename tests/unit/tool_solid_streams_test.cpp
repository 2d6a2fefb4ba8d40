// Which files share a solid stream: a plan made from the files' sizes and the level alone, so
// that every machine and thread count builds the same executable; and the max level.
#include <nlohmann/json.hpp>

#include <random>

#include "runpack/package/solid_encoder.h"
#include "tool_test_support.h"

using namespace tooltest;

namespace {

const uint64_t MiB = 1u << 20;

// The plan as (first, count) pairs, for comparing.
std::vector<std::pair<size_t, size_t>> plan(const std::vector<uint64_t>& sizes, const std::vector<bool>& solid,
                                            uint64_t target) {
    std::vector<std::pair<size_t, size_t>> spans;
    for (const SolidStreamSpan& s : planSolidStreams(sizes, solid, target)) spans.push_back({s.first, s.count});
    return spans;
}

typedef std::vector<std::pair<size_t, size_t>> Spans;

// Bytes like a Windows DLL's: "MZ", then routines of code with near calls and jumps, drawn
// from a common set as real libraries share their runtime (and so quick to compress).
std::vector<uint8_t> dllLike(size_t size, unsigned seed) {
    std::mt19937 common(99), random(seed);
    std::vector<std::vector<uint8_t>> routines(64);
    for (std::vector<uint8_t>& r : routines) {
        const size_t length = 40 + common() % 200;
        while (r.size() < length) {
            if (common() % 6 == 0) {
                r.push_back(common() % 2 ? 0xE8 : 0xE9);
                const uint32_t target = common() % 65536 - 32768;
                for (int i = 0; i < 4; ++i) r.push_back(static_cast<uint8_t>(target >> (8 * i)));
            } else {
                r.push_back(static_cast<uint8_t>(common()));
            }
        }
    }
    std::vector<uint8_t> bytes = {'M', 'Z'};
    while (bytes.size() < size) {
        const std::vector<uint8_t>& r = routines[random() % routines.size()];
        bytes.insert(bytes.end(), r.begin(), r.end());
        bytes.push_back(static_cast<uint8_t>(random()));
    }
    bytes.resize(size);
    return bytes;
}

std::vector<uint8_t> textLike(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    const char* words[] = {"extract ", "every ", "file ", "then ", "run ", "the ", "command\r\n", "stream "};
    std::vector<uint8_t> bytes;
    while (bytes.size() < size) {
        for (const char* p = words[random() % 8]; *p != '\0'; ++p) bytes.push_back(static_cast<uint8_t>(*p));
        if (random() % 3 == 0) bytes.push_back(static_cast<uint8_t>('a' + random() % 26));
    }
    bytes.resize(size);
    return bytes;
}

class ToolSolidStreams : public ToolTest {};

}  // namespace

TEST(SolidStreamPlan, RunsAreCutIntoRoundedEqualSharesAtTheNearestFileBoundary) {
    const std::vector<bool> all(16, true);
    // 16 MiB at 4 MiB: four streams of four files.
    EXPECT_EQ(plan(std::vector<uint64_t>(16, MiB), all, 4 * MiB), (Spans{{0, 4}, {4, 4}, {8, 4}, {12, 4}}));
    // 6 MiB at 4 MiB rounds to two streams of 3 MiB; 5 MiB rounds to one.
    EXPECT_EQ(plan(std::vector<uint64_t>(6, MiB), std::vector<bool>(6, true), 4 * MiB), (Spans{{0, 3}, {3, 3}}));
    EXPECT_EQ(plan(std::vector<uint64_t>(5, MiB), std::vector<bool>(5, true), 4 * MiB), (Spans{{0, 5}}));
    // The share ends at 5 MiB. Inside the file at 4..8 MiB it is nearer the file's start, so
    // that file opens the second stream; inside the one at 2..6 MiB nearer its end, so the
    // stream ends after it; a tie cuts before the file.
    EXPECT_EQ(plan({1 * MiB, 3 * MiB, 4 * MiB, 2 * MiB}, {true, true, true, true}, 5 * MiB),
              (Spans{{0, 2}, {2, 2}}));
    EXPECT_EQ(plan({1 * MiB, 1 * MiB, 4 * MiB, 4 * MiB}, {true, true, true, true}, 5 * MiB),
              (Spans{{0, 3}, {3, 1}}));
    EXPECT_EQ(plan({4 * MiB, 3 * MiB, 1 * MiB, 2 * MiB}, {true, true, true, true}, 5 * MiB),
              (Spans{{0, 1}, {1, 3}}));
    EXPECT_EQ(plan({2 * MiB, 2 * MiB, 2 * MiB, 4 * MiB}, {true, true, true, true}, 5 * MiB),
              (Spans{{0, 2}, {2, 2}}));
    // One file larger than several shares takes their boundaries; no stream is empty.
    EXPECT_EQ(plan({MiB, 20 * MiB, MiB, MiB}, {true, true, true, true}, 4 * MiB), (Spans{{0, 1}, {1, 1}, {2, 2}}));
    // Never more streams than files, and an empty file never opens one.
    EXPECT_EQ(plan({0, 0, 0}, {true, true, true}, 1), (Spans{{0, 3}}));
    EXPECT_EQ(plan({10, 0, 10, 0}, {true, true, true, true}, 1), (Spans{{0, 2}, {2, 2}}));
    EXPECT_EQ(plan({}, {}, 4 * MiB), Spans{});
}

TEST(SolidStreamPlan, OtherEntriesSplitRunsAndNoStreamReaches4GiB) {
    // Each run of solid entries is planned on its own: 2 + 2 MiB at 4 MiB stays one stream
    // only when nothing stands between.
    EXPECT_EQ(plan({2 * MiB, 2 * MiB, 7, 2 * MiB, 2 * MiB}, {true, true, false, true, true}, 4 * MiB),
              (Spans{{0, 2}, {3, 2}}));
    EXPECT_EQ(plan({5, 6, 7}, {false, true, false}, 4 * MiB), (Spans{{1, 1}}));
    // A target beyond 4 GiB still cuts before a stream would hold 4 GiB or more.
    const uint64_t GiB = 1ull << 30;
    EXPECT_EQ(plan({3 * GiB, 1 * GiB - 1, 1, 2 * GiB}, {true, true, true, true}, 64 * GiB),
              (Spans{{0, 2}, {2, 2}}));
}

TEST_F(ToolSolidStreams, EveryThreadCountBuildsTheSameExecutable) {
    // Enough files for two streams at the fast level (8 MiB each, so 12.3 MiB are cut in two
    // halves; one thread makes one stream of them if the plan follows the threads):
    // executables, with the branch filter, and text, without.
    for (const char* kind : {"dll", "text"}) {
        SCOPED_TRACE(kind);
        const fs::path tree = dir / kind;
        std::map<std::string, std::vector<uint8_t>> contents;
        for (unsigned k = 0; k < 11; ++k) {
            const size_t size = MiB + 25 * 1024 * k;
            const std::string name = std::string(k % 3 ? "lib/" : "") + "f" + std::to_string(k) + ".bin";
            contents[name] = std::string(kind) == "dll" ? dllLike(size, k) : textLike(size, k);
            writeBytes(tree / name, contents[name]);
        }
        std::vector<uint8_t> first;
        // Every count on the executables; on the text (a few seconds each) the two ends.
        const std::vector<std::string> counts =
            std::string(kind) == "dll" ? std::vector<std::string>{"1", "2", "3", "8"} : std::vector<std::string>{"1", "8"};
        for (const std::string& jobs : counts) {
            const fs::path exe = dir / (kind + jobs + ".exe");
            const Result built = build(exe, {"--level", "fast", "--jobs", jobs, tree.string()});
            ASSERT_EQ(built.code, 0) << built.err;
            EXPECT_NE(built.out.find("11 files (11 compressed, 2 solid streams)"), std::string::npos) << built.out;
            if (first.empty()) first = fileBytes(exe);
            else EXPECT_EQ(fileBytes(exe), first) << "--jobs " << jobs;
        }
        const fs::path exe = dir / (std::string(kind) + "1.exe");
        const nlohmann::json json = nlohmann::json::parse(list(exe, {"--json"}).out);
        for (const auto& stream : json["streams"])
            EXPECT_EQ(stream["x86Filter"], std::string(kind) == "dll") << stream.dump();
        ASSERT_EQ(extract(exe, dir / (std::string(kind) + "-out")).code, 0);
        for (const auto& [name, bytes] : contents) EXPECT_EQ(fileBytes(dir / (std::string(kind) + "-out") / name), bytes) << name;
    }
}

TEST_F(ToolSolidStreams, TheMaxLevelBuildsSmallerStreamsThatVerifyAndExtract) {
    const fs::path tree = dir / "tree";
    std::map<std::string, std::vector<uint8_t>> contents = {
        {"a.txt", textLike(300000, 1)}, {"bin/app.dll", dllLike(200000, 2)}, {"bin/empty.dat", {}}};
    for (const auto& [name, bytes] : contents) writeBytes(tree / name, bytes);
    ASSERT_EQ(build(dir / "best.exe", {tree.string()}).code, 0);
    const Result built = build(dir / "max.exe", {"--level", "max", tree.string()});
    ASSERT_EQ(built.code, 0) << built.err;
    EXPECT_LT(packageOf(dir / "max.exe").size(), packageOf(dir / "best.exe").size());
    EXPECT_EQ(verify(dir / "max.exe").code, 0);
    ASSERT_EQ(extract(dir / "max.exe", dir / "out").code, 0);
    for (const auto& [name, bytes] : contents) EXPECT_EQ(fileBytes(dir / "out" / name), bytes) << name;
    // For LZHUF, max is best.
    ASSERT_EQ(build(dir / "lzhuf-max.exe", {"--method", "lzhuf", "--level", "max", tree.string()}).code, 0);
    ASSERT_EQ(build(dir / "lzhuf-best.exe", {"--method", "lzhuf", "--level", "best", tree.string()}).code, 0);
    EXPECT_EQ(fileBytes(dir / "lzhuf-max.exe"), fileBytes(dir / "lzhuf-best.exe"));
}
