// Packages with files run from end to end under Wine: where every entry lands, what the run
// removes afterwards in each cleanup mode, and how a failing entry ends the run.
#include "e2e/harness.h"

#include <algorithm>
#include <fstream>
#include <random>

#include "codec/lzhuf_decoder.h"
#include "codec/lzhuf_encoder.h"
#include "package/package_reader.h"
#include "package/sha1.h"
#include "package/method_ids.h"
#include "codec/solid_stream.h"
#include "runpack/package/solid_encoder.h"
#include "support/package_builder.h"

namespace {

const uint32_t NTE_FAIL = 0x80090020u;

int32_t readVector(uint8_t* destination, int32_t capacity, void* state) {
    auto* source = static_cast<std::pair<const std::vector<uint8_t>*, size_t>*>(state);
    int32_t n = 0;
    while (n < capacity && source->second < source->first->size()) destination[n++] = (*source->first)[source->second++];
    return n;
}

int32_t appendVector(const uint8_t* source, int32_t count, void* state) {
    if (source != nullptr) static_cast<std::vector<uint8_t>*>(state)->insert(static_cast<std::vector<uint8_t>*>(state)->end(), source, source + count);
    return count;
}

std::vector<uint8_t> compress(const std::vector<uint8_t>& content) {
    static LzhufContext context;
    std::pair<const std::vector<uint8_t>*, size_t> source(&content, 0);
    std::vector<uint8_t> packed;
    EXPECT_EQ(lzhufEncode(&context, readVector, &source, appendVector, &packed), static_cast<int>(content.size()));
    return packed;
}

// True when the stream decodes to exactly `size` bytes without running out of input.
bool decodesToExactly(const std::vector<uint8_t>& packed, size_t size) {
    static LzhufContext context;
    std::pair<const std::vector<uint8_t>*, size_t> source(&packed, 0);
    std::vector<uint8_t> output;
    int result = lzhufDecode(&context, static_cast<int>(size), readVector, &source, appendVector, &output);
    return result == 0 && output.size() == size;
}

std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<uint8_t> sampleContent(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> content(size);
    // Text-like bytes with repeats, so that the codec has matches to find.
    const std::string words[] = {"runpack ", "extract ", "journal ", "window ", "\r\n", "0123 "};
    size_t i = 0;
    while (i < size) {
        const std::string& word = words[random() % 6];
        for (char c : word) {
            if (i < size) content[i++] = static_cast<uint8_t>(c);
        }
        if (random() % 7 == 0 && i < size) content[i++] = static_cast<uint8_t>(random());
    }
    return content;
}

TestEntry storedEntry(std::optional<std::string> directory, std::optional<std::string> name, std::vector<uint8_t> content) {
    TestEntry entry;
    entry.directory = directory;
    entry.name = name;
    entry.content = std::move(content);
    return entry;
}

TestEntry compressedEntry(std::optional<std::string> directory, std::string name, std::vector<uint8_t> content) {
    TestEntry entry = storedEntry(directory, name, content);
    entry.method = METHOD_LZHUF;
    entry.packed = compress(entry.content);
    return entry;
}

std::vector<uint8_t> fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class Extraction : public EngineTest {
protected:
    // A command that copies the working directory's content to `copy` before the clean-up.
    std::string copyCommand(const fs::path& copy) {
        return "xcopy /e /i /q /y . " + windowsPath(copy);
    }

    // Runs `package` (its entries' directories relative ones) with a command that copies
    // what it extracted: the run succeeds, leaves nothing, and every file held exactly its
    // entry's bytes.
    void expectEveryFileAsPackagedAndNothingLeft(TestPackage package) {
        fs::path copy = dir / "copy";
        package.command = copyCommand(copy);
        EngineRun run = this->run(makeExe(buildPackage(package)));
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        EXPECT_TRUE(run.boxes.empty());
        EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
        for (const TestEntry& entry : package.entries) {
            std::string directory = entry.directory.value_or("");
            std::replace(directory.begin(), directory.end(), '\\', '/');
            const fs::path file = copy / directory / *entry.name;
            EXPECT_TRUE(fileBytes(file) == entry.content) << file;
        }
    }
};

TEST_F(Extraction, TypicalRunExtractsEveryFileAndLeavesNothing) {
    TestPackage package;
    package.cleanupMode = CLEANUP_TREE;
    for (int i = 0; i < 13; ++i) {
        std::string name = "file" + std::to_string(i) + ".dat";
        package.entries.push_back(compressedEntry(i % 3 == 0 ? std::optional<std::string>("lib\\sub") : std::nullopt,
                                                  name, sampleContent(1000 + i * 7919, i)));
    }
    // Every extracted file is its entry's content, byte for byte.
    expectEveryFileAsPackagedAndNothingLeft(package);
}

TEST_F(Extraction, JournalModeKeepsWhatTheCommandMadeAndRemovesTheRest) {
    TestPackage package;
    package.cleanupMode = CLEANUP_JOURNAL;
    package.entries.push_back(storedEntry(std::string("lib"), std::string("a.txt"), bytesOf("a")));
    package.entries.push_back(compressedEntry(std::string("lib\\deep"), "b.txt", bytesOf("bbbbbbbbbbbb")));
    package.entries.push_back(storedEntry(std::nullopt, std::string("c.txt"), bytesOf("c")));
    package.command = "cmd.exe /c echo own> lib\\own.txt";
    EngineRun run = this->run(makeExe(buildPackage(package)));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    std::optional<fs::path> work = onlyWorkingDirectory(tmp);
    ASSERT_TRUE(work.has_value()) << testing::PrintToString(listTree(tmp));
    EXPECT_EQ(listTree(*work), std::vector<std::string>({"lib/", "lib/own.txt"}));
}

TEST_F(Extraction, DetachModeLeavesEverything) {
    TestPackage package;
    package.cleanupMode = CLEANUP_DETACH;
    package.entries.push_back(storedEntry(std::string("lib"), std::string("a.txt"), bytesOf("a")));
    package.entries.push_back(compressedEntry(std::nullopt, "b.txt", sampleContent(5000, 7)));
    package.command = "cmd.exe /c echo own> own.txt";
    EngineRun run = this->run(makeExe(buildPackage(package)));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    std::optional<fs::path> work = onlyWorkingDirectory(tmp);
    ASSERT_TRUE(work.has_value());
    EXPECT_TRUE(waitFor(*work / "own.txt", 20000));
    EXPECT_EQ(fileBytes(*work / "lib" / "a.txt"), bytesOf("a"));
    EXPECT_EQ(fileBytes(*work / "b.txt"), sampleContent(5000, 7));
}

TEST_F(Extraction, FileInPlaceOfAnotherEntrysDirectoryIsRefusedBeforeAnythingIsMade) {
    fs::path outside = dir / "outside";
    fs::create_directories(outside);
    TestPackage package;
    package.cleanupMode = CLEANUP_DETACH;  // a failure forces the tree removal all the same
    package.command = "cmd.exe /c echo never> never.txt";
    package.entries.push_back(storedEntry(std::nullopt, std::string("first.txt"), bytesOf("1")));
    package.entries.push_back(storedEntry(std::nullopt, std::string("sub"), bytesOf("a file")));
    package.entries.push_back(storedEntry(std::string("sub"), std::string("x.txt"), bytesOf("x")));
    package.entries.push_back(storedEntry(windowsPath(outside), std::string("later.txt"), bytesOf("later")));
    for (const char* language : {"en_US.UTF-8", "cs_CZ.UTF-8"}) {
        SCOPED_TRACE(language);
        EngineRun run = this->run(makeExe(buildPackage(package)), inLanguage(language));
        // "sub" is a file and a directory at once: the package is invalid on Windows.
        ASSERT_EQ(run.boxes.size(), 1u) << run.output;
        EXPECT_EQ(run.boxes[0].text, language[0] == 'c' ? "RUNINFO nepze zpracovat!" : "Cannot process RUNINFO!");
        EXPECT_EQ(run.exitCode, NTE_FAIL);
        EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
        EXPECT_FALSE(fs::exists(outside / "later.txt"));
    }
}

TEST_F(Extraction, ExistingFileAtAbsoluteDestinationIsReplacedForTheRunThenRestored) {
    fs::path outside = dir / "outside";
    fs::create_directories(outside / "kept");
    std::ofstream(outside / "kept" / "old.txt") << "old content";
    fs::path seen = dir / "seen.txt";
    TestPackage package;
    package.cleanupMode = CLEANUP_JOURNAL;
    package.entries.push_back(storedEntry(windowsPath(outside / "kept"), std::string("old.txt"), bytesOf("new content")));
    package.command = "cmd.exe /c copy " + windowsPath(outside / "kept" / "old.txt") + " " + windowsPath(seen);
    EngineRun run = this->run(makeExe(buildPackage(package)));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_EQ(fileBytes(seen), bytesOf("new content"));
    EXPECT_EQ(fileBytes(outside / "kept" / "old.txt"), bytesOf("old content"));
    EXPECT_EQ(listTree(outside), std::vector<std::string>({"kept/", "kept/old.txt"}));
    EXPECT_TRUE(listTree(tmp).empty());
}

TEST_F(Extraction, EdgeEntriesExtractAsDescribed) {
    TestPackage package;
    package.cleanupMode = CLEANUP_DETACH;
    package.entries.push_back(storedEntry(std::string("only\\dirs"), std::string(""), {}));   // empty name
    package.entries.push_back(storedEntry(std::nullopt, std::string("empty-stored"), {}));
    package.entries.push_back(compressedEntry(std::nullopt, "empty-lzhuf", {}));
    package.entries.push_back(compressedEntry(std::nullopt, "text.txt", bytesOf("second second second")));
    EngineRun run = this->run(makeExe(buildPackage(package)));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    std::optional<fs::path> work = onlyWorkingDirectory(tmp);
    ASSERT_TRUE(work.has_value());
    EXPECT_EQ(listTree(*work), std::vector<std::string>({"empty-lzhuf", "empty-stored", "only/", "only/dirs/", "text.txt"}));
    EXPECT_EQ(fileBytes(*work / "text.txt"), bytesOf("second second second"));

    // The same package in journal mode leaves nothing.
    fs::remove_all(tmp);
    fs::create_directories(tmp);
    package.cleanupMode = CLEANUP_JOURNAL;
    EngineRun journal = this->run(makeExe(buildPackage(package)));
    EXPECT_EQ(journal.exitCode, 0u) << journal.output;
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}

TEST_F(Extraction, BadEntryDataEndsRunWithMessageAndRemovesPartialFiles) {
    std::vector<uint8_t> content = sampleContent(20000, 3);
    TestEntry mismatched = storedEntry(std::nullopt, std::string("stored.bin"), bytesOf("ten bytes!"));
    mismatched.unpackedSize = 11;
    // Every bit sequence decodes to something: damage the stream where it provably no longer
    // gives exactly the unpacked size.
    TestEntry damaged = compressedEntry(std::nullopt, "damaged.bin", content);
    for (size_t at = damaged.packed->size() / 3;; ++at) {
        ASSERT_LT(at, damaged.packed->size());
        std::vector<uint8_t> trial = *damaged.packed;
        trial[at] ^= 0x5A;
        if (!decodesToExactly(trial, content.size())) {
            damaged.packed = trial;
            break;
        }
    }
    TestEntry shortened = compressedEntry(std::nullopt, "short.bin", content);
    shortened.packed->resize(shortened.packed->size() / 2);
    for (const TestEntry& bad : {mismatched, damaged, shortened}) {
        SCOPED_TRACE(*bad.name);
        TestPackage package;
        package.cleanupMode = CLEANUP_JOURNAL;
        package.entries.push_back(storedEntry(std::nullopt, std::string("good.txt"), bytesOf("good")));
        package.entries.push_back(bad);
        EngineRun run = this->run(makeExe(buildPackage(package)));
        ASSERT_EQ(run.boxes.size(), 1u) << run.output;
        EXPECT_EQ(run.boxes[0].text, "Cannot extract files!");
        EXPECT_EQ(run.exitCode, NTE_FAIL);
        EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
    }
}

}  // namespace

namespace {

// Entries of one solid stream over `contents`: the first holds the stream, the rest no data.
std::vector<TestEntry> solidEntries(const std::string& prefix, const std::vector<std::vector<uint8_t>>& contents,
                                    SolidLevel level = SOLID_LEVEL_BEST) {
    std::vector<const std::vector<uint8_t>*> members;
    for (const auto& c : contents) members.push_back(&c);
    std::vector<uint8_t> stream;
    std::string error;
    EXPECT_TRUE(encodeSolidStream(members, level, solidWantsX86Filter(members), &stream, &error)) << error;
    std::vector<TestEntry> entries;
    for (size_t i = 0; i < contents.size(); ++i) {
        TestEntry entry = storedEntry(i % 2 ? std::optional<std::string>("lib") : std::nullopt,
                                      prefix + std::to_string(i) + ".bin", contents[i]);
        entry.method = METHOD_LZMA2;
        entry.packed = i == 0 ? stream : std::vector<uint8_t>();
        entries.push_back(entry);
    }
    return entries;
}

// Real Windows DLLs, whole files in name order until `limit` bytes are reached.
std::vector<std::vector<uint8_t>> windowsDlls(size_t limit) {
    std::vector<fs::path> paths;
    const fs::path folder = "/usr/lib/i386-linux-gnu/wine/i386-windows";
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.path().extension() == ".dll") paths.push_back(e.path());
    std::sort(paths.begin(), paths.end());
    std::vector<std::vector<uint8_t>> dlls;
    size_t total = 0;
    for (const fs::path& p : paths) {
        if (total >= limit) break;
        dlls.push_back(fileBytes(p));
        total += dlls.back().size();
    }
    return dlls;
}

}  // namespace

TEST_F(Extraction, SolidStreamsOfRealDllsExtractByteForByteAndLeaveNothing) {
    const std::vector<std::vector<uint8_t>> dlls = windowsDlls(6u << 20);
    ASSERT_GT(dlls.size(), 3u) << "no Wine i386 DLLs on this machine";
    // Two streams with stored and LZHUF entries around them, and an empty member in each: the
    // first at best (the x86 filter over the whole stream), the second at max (the filter
    // restarted at each file).
    std::vector<std::vector<uint8_t>> first(dlls.begin(), dlls.begin() + dlls.size() / 2);
    first.insert(first.begin() + 1, std::vector<uint8_t>());
    std::vector<std::vector<uint8_t>> second(dlls.begin() + dlls.size() / 2, dlls.end());
    second.insert(second.end() - 1, std::vector<uint8_t>());
    TestPackage package;
    package.cleanupMode = CLEANUP_TREE;
    package.entries.push_back(storedEntry(std::nullopt, std::string("readme.txt"), bytesOf("solid")));
    for (TestEntry& e : solidEntries("a", first)) package.entries.push_back(e);
    package.entries.push_back(compressedEntry(std::nullopt, "between.txt", sampleContent(5000, 9)));
    const std::vector<TestEntry> maxEntries = solidEntries("b", second, SOLID_LEVEL_MAX);
    ASSERT_EQ((*maxEntries[0].packed)[12], SOLID_FILTER_X86_EACH_MEMBER);
    for (const TestEntry& e : maxEntries) package.entries.push_back(e);
    expectEveryFileAsPackagedAndNothingLeft(package);
}

namespace {

// Damages the LZMA2 data of the stream that `entries` (a solidEntries result) begin with until
// it no longer gives the members' bytes exactly; the chunk layout stays, so the package passes
// validation and the run reaches the decoder. Without a checksum a changed byte may still
// decode: the first damage that the reader provably refuses is taken.
void damageStream(std::vector<TestEntry>* entries) {
    static SolidStreamReader reader;
    auto decodes = [](const std::vector<uint8_t>& stream) {
        if (!solidStreamOpen(&reader, stream.data(), static_cast<uint32_t>(stream.size()))) return false;
        const uint8_t* bytes = nullptr;
        int32_t n = 0;
        while ((n = solidStreamNext(&reader, &bytes, 65536)) > 0) {
        }
        const bool ok = n == 0 && solidStreamFinished(&reader);
        solidStreamClose(&reader);
        return ok;
    };
    std::vector<uint8_t>& packed = *(*entries)[0].packed;
    for (size_t at = packed.size() / 2;; ++at) {
        ASSERT_LT(at, packed.size());
        std::vector<uint8_t> trial = packed;
        trial[at] ^= 0x5A;
        if (!decodes(trial)) {
            packed = trial;
            return;
        }
    }
}

}  // namespace

TEST_F(Extraction, DamagedSolidStreamEndsRunAndRemovesEverything) {
    std::vector<TestEntry> entries = solidEntries("m", {sampleContent(30000, 1), sampleContent(40000, 2)});
    damageStream(&entries);
    TestPackage package;
    package.cleanupMode = CLEANUP_JOURNAL;
    package.entries = entries;
    EngineRun run = this->run(makeExe(buildPackage(package)));
    ASSERT_EQ(run.boxes.size(), 1u) << run.output;
    EXPECT_EQ(run.boxes[0].text, "Cannot extract files!");
    EXPECT_EQ(run.exitCode, NTE_FAIL);
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}

// Packages of several streams: on a machine with more than one processor, the engine decodes
// later streams on helper threads, as many at once as it has processors, while it writes the
// files of the current one, and writes the files of such a stream as its bytes arrive.
// Whichever thread decodes a stream, the files are the members' bytes, and a damaged stream
// (the first, which a helper takes at once; the second; the sixth, decoded several streams
// ahead of the files being written) fails the run cleanly.
TEST_F(Extraction, SeveralSolidStreamsExtractByteForByteAndADamagedOneFailsTheRun) {
    std::vector<std::vector<TestEntry>> streams;
    for (int k = 0; k < 7; ++k) {
        std::vector<std::vector<uint8_t>> members;
        for (int m = 0; m < 3; ++m) members.push_back(sampleContent(100000 + 50000 * m + 9000 * k, 40 + 3 * k + m));
        streams.push_back(solidEntries("s" + std::to_string(k) + "-", members));
    }
    auto severalStreams = [&](int damaged) {
        TestPackage package;
        package.cleanupMode = CLEANUP_TREE;
        for (int k = 0; k < 7; ++k) {
            std::vector<TestEntry> entries = streams[k];
            if (k == damaged) damageStream(&entries);
            for (TestEntry& e : entries) package.entries.push_back(e);
            if (k % 2 == 1) package.entries.push_back(storedEntry(std::nullopt, "between" + std::to_string(k), bytesOf("x")));
        }
        return package;
    };
    expectEveryFileAsPackagedAndNothingLeft(severalStreams(-1));
    for (int damaged : {0, 1, 5}) {
        TestPackage package = severalStreams(damaged);
        EngineRun run = this->run(makeExe(buildPackage(package)));
        ASSERT_EQ(run.boxes.size(), 1u) << damaged << run.output;
        EXPECT_EQ(run.boxes[0].text, "Cannot extract files!");
        EXPECT_EQ(run.exitCode, NTE_FAIL) << damaged;
        EXPECT_TRUE(listTree(tmp).empty()) << damaged << testing::PrintToString(listTree(tmp));
    }
}

// The helpers start on the first streams while the engine still checks the package. A package
// refused by that check (a byte changed inside a stream under the original digest, or a byte
// more than its entries) is reported as such, with nothing made, and the run ends: whatever
// the helpers had started stops with it.
TEST_F(Extraction, APackageRefusedWhileHelpersDecodeAheadIsReportedAndLeavesNothing) {
    TestPackage package;
    package.cleanupMode = CLEANUP_TREE;
    for (int k = 0; k < 4; ++k) {
        std::vector<std::vector<uint8_t>> members;
        for (int m = 0; m < 2; ++m) members.push_back(sampleContent(300000 + 70000 * m, 70 + 2 * k + m));
        for (TestEntry& e : solidEntries("r" + std::to_string(k) + "-", members)) package.entries.push_back(e);
    }
    std::vector<uint8_t> bytes = buildPackage(package);
    const std::vector<uint8_t> digest = sha1Digest(bytes);
    std::vector<uint8_t> changed = bytes;
    changed[changed.size() / 2] ^= 0x10;
    std::vector<uint8_t> longer = bytes;
    longer.push_back(0);
    const std::vector<uint8_t> longerDigest = sha1Digest(longer);
    struct Case {
        const std::vector<uint8_t>* package;
        const std::vector<uint8_t>* digest;
        const char* text;
    } cases[] = {{&changed, &digest, "Missing RUNINFO or bad checksum!"},
                 {&longer, &longerDigest, "Cannot process RUNINFO!"}};
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EngineRun run = this->run(makeExe(c.package, c.digest, "refused" + std::to_string(index++) + ".exe"));
        ASSERT_EQ(run.boxes.size(), 1u) << run.output;
        EXPECT_EQ(run.boxes[0].text, c.text);
        EXPECT_EQ(run.exitCode, NTE_FAIL);
        EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
    }
    // The same streams unchanged run whole.
    expectEveryFileAsPackagedAndNothingLeft(package);
}
