// The largest package the engine starts. A package lives in the engine's image, and the loader
// maps an image whole, as one block of SizeOfImage bytes of addresses, before the engine's
// first instruction: what a package costs a run in addresses is the size of the image it
// makes. These tests give an executable the image a package of a given size would give it by
// growing its last section's zero-filled part, which takes addresses but no bytes of the
// file, and run it with a solid package whose decoding takes the memory a real one takes.
#include "e2e/harness.h"

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include "codec/solid_stream.h"
#include "package/package_limit.h"
#include "runpack/image/pe_resources.h"
#include "runpack/package/solid_encoder.h"
#include "support/package_builder.h"

namespace {

const char* const KEEP_COMMAND = "cmd.exe /c move /y * \"%RUNPACK_KEEP%\"";

uint32_t load16(const std::vector<uint8_t>& bytes, size_t at) { return bytes[at] | bytes[at + 1] << 8; }

uint32_t load32(const std::vector<uint8_t>& bytes, size_t at) {
    return load16(bytes, at) | load16(bytes, at + 2) << 16;
}

void store32(std::vector<uint8_t>* bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Grows the image of the PE32 or PE32+ file `exe` to `imageSize` bytes of addresses, rounded
// up to the section alignment: the last section's VirtualSize takes what is added, which the
// loader maps as zeros, and SizeOfImage and the checksum follow; the file keeps its length.
// False when the image is already that large.
bool growImage(std::vector<uint8_t>* exe, uint32_t imageSize) {
    const size_t nt = load32(*exe, 0x3c);
    const size_t optional = nt + 24;
    const uint32_t sections = load16(*exe, nt + 6);
    const size_t last = optional + load16(*exe, nt + 20) + (sections - 1) * 40;
    const uint32_t alignment = load32(*exe, optional + 32);
    const uint32_t address = load32(*exe, last + 12);
    const uint64_t rounded = (static_cast<uint64_t>(imageSize) + alignment - 1) / alignment * alignment;
    if (rounded <= load32(*exe, optional + 56) || rounded > UINT32_MAX) return false;
    store32(exe, last + 8, static_cast<uint32_t>(rounded - address));  // VirtualSize
    store32(exe, optional + 56, static_cast<uint32_t>(rounded));       // SizeOfImage
    store32(exe, optional + 64, 0);
    store32(exe, optional + 64, computePeChecksum(*exe, static_cast<uint32_t>(optional + 64)));
    return true;
}

std::vector<uint8_t> fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> randomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random() % 23 + 'a');
    return bytes;
}

TestEntry solidMember(const std::string& name, std::vector<uint8_t> content) {
    TestEntry entry;
    entry.name = name;
    entry.directory = std::nullopt;
    entry.content = std::move(content);
    entry.method = METHOD_LZMA2;
    entry.packed = std::vector<uint8_t>();
    return entry;
}

// Appends one solid stream of `contents` to `package`, its members named `prefix`0, 1, ...
void addStream(TestPackage* package, const std::string& prefix, const std::vector<std::vector<uint8_t>>& contents,
               const SolidLevel& level) {
    std::vector<const std::vector<uint8_t>*> members;
    for (const auto& c : contents) members.push_back(&c);
    std::vector<uint8_t> stream;
    std::string error;
    ASSERT_TRUE(encodeSolidStream(members, level, false, &stream, &error)) << error;
    for (size_t i = 0; i < contents.size(); ++i) {
        package->entries.push_back(solidMember(prefix + std::to_string(i) + ".bin", contents[i]));
        if (i == 0) package->entries.back().packed = stream;
    }
}

// The decoding of this package takes what the engine's largest allows: a first stream of 64
// MiB whose dictionary is the largest the format allows, which the extraction decodes itself,
// and three small streams behind it for the helper threads to decode ahead. Its command moves
// what was extracted to the directory RUNPACK_KEEP names, where the clean-up leaves it (a
// rename: no copy of the large file under emulation).
TestPackage largestDecodingPackage() {
    TestPackage package;
    package.cleanupMode = CLEANUP_TREE;
    // 64 MiB of a repeated 1 MiB block: quick to compress, and a 64 MiB dictionary.
    const std::vector<uint8_t> block = randomBytes(1u << 20, 1);
    std::vector<uint8_t> large;
    large.reserve(SOLID_DICTIONARY_MAX);
    while (large.size() < SOLID_DICTIONARY_MAX) large.insert(large.end(), block.begin(), block.end());
    const SolidLevel level = {1, false, SOLID_DICTIONARY_MAX, -1, -1, SOLID_DICTIONARY_MAX, false, 0, 0, false};
    addStream(&package, "large", {large, randomBytes(4000, 2)}, level);
    EXPECT_EQ(load32(*package.entries[0].packed, 8), SOLID_DICTIONARY_MAX) << "the stream's dictionary";
    for (int k = 0; k < 3; ++k) {
        addStream(&package, "small" + std::to_string(k) + "-",
                  {randomBytes(300000 + 1000 * k, 10 + k), randomBytes(70000, 20 + k)}, SOLID_LEVEL_FAST);
    }
    package.command = KEEP_COMMAND;
    return package;
}

class PackageLimit : public EngineTest {
protected:
    // The executable of `package` with its image grown to `imageSize` bytes of addresses.
    fs::path makeGrownExe(const TestPackage& package, uint32_t imageSize, const std::string& name) {
        std::vector<uint8_t> exe = fileBytes(makeExe(buildPackage(package)));
        EXPECT_TRUE(growImage(&exe, imageSize)) << imageSize;
        const fs::path path = dir / name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(exe.data()), exe.size());
        return path;
    }

    // Options for a run whose command moves the files it finds to `keep`.
    RunOptions keepingIn(const fs::path& keep) {
        fs::remove_all(keep);
        fs::create_directories(keep);
        RunOptions options;
        options.timeoutMs = 180000;
        options.environment["RUNPACK_KEEP"] = windowsPath(keep);
        return options;
    }

    // Whether `keep` holds every file of `package`, byte for byte, and nothing else.
    static bool everyFileKept(const TestPackage& package, const fs::path& keep) {
        for (const TestEntry& entry : package.entries) {
            if (fileBytes(keep / *entry.name) != entry.content) return false;
        }
        return listTree(keep).size() == package.entries.size();
    }
};

}  // namespace

// The engine whose image is as large as `runpack build` allows (the largest package and what
// the image holds besides) starts, decodes a 64 MiB stream with the largest dictionary while
// helpers decode the streams behind it, runs its command and leaves nothing.
TEST_F(PackageLimit, EngineWithTheLargestImageBuildAllowsExtractsItsStreamsAndLeavesNothing) {
    const TestPackage package = largestDecodingPackage();
    const fs::path exe = makeGrownExe(package, ENGINE_PACKAGE_LIMIT + ENGINE_IMAGE_ALLOWANCE, "largest.exe");
    const fs::path keep = dir / "keep";
    const EngineRun run = this->run(exe, keepingIn(keep));
    EXPECT_EQ(run.startError, -1) << run.output;
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty()) << run.output;
    EXPECT_TRUE(everyFileKept(package, keep)) << testing::PrintToString(listTree(keep));
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
}

// A measurement, run only when RUNPACK_MEASURE_IMAGE_MIB lists image sizes in MiB: for each
// size, whether the engine with an image that large starts, extracts the package of the test
// above byte for byte and leaves nothing, or how it fails. Whatever the outcome, a run leaves
// nothing behind: an engine that fails for want of memory removes what it made.
TEST_F(PackageLimit, ImageSizesListedForMeasurementEachRunWholeOrFailLeavingNothing) {
    const char* sizes = getenv("RUNPACK_MEASURE_IMAGE_MIB");
    if (sizes == nullptr) GTEST_SKIP() << "RUNPACK_MEASURE_IMAGE_MIB lists no image sizes";
    const TestPackage package = largestDecodingPackage();
    const fs::path keep = dir / "keep";
    std::istringstream list(sizes);
    uint32_t mebibytes = 0;
    while (list >> mebibytes) {
        const std::string name = "image-" + std::to_string(mebibytes) + ".exe";
        const fs::path exe = makeGrownExe(package, mebibytes << 20, name);
        RunOptions options = keepingIn(keep);
        options.startMayFail = true;
        options.tag = std::to_string(mebibytes);
        const EngineRun run = this->run(exe, options);
        const bool whole = run.exitCode == 0 && run.boxes.empty() && everyFileKept(package, keep);
        std::string boxes;
        for (const BoxSeen& box : run.boxes) boxes += " box \"" + box.text + "\"";
        printf("image %u MiB: %s start-error %ld exit 0x%08x%s\n", mebibytes,
               run.startError >= 0 ? "refused" : whole ? "whole" : "failed", run.startError, run.exitCode,
               boxes.c_str());
        fflush(stdout);
        EXPECT_TRUE(listTree(tmp).empty()) << mebibytes << testing::PrintToString(listTree(tmp));
        fs::remove(exe);
    }
}

// A measurement with real bytes, run only when RUNPACK_MEASURE_STORED_EXE names an executable
// built by `runpack build` from the files of RUNPACK_MEASURE_STORED_FILES (a directory of
// files, no subdirectories) with the command KEEP_COMMAND, `cmd.exe /c move /y * "%RUNPACK_KEEP%"`: the
// engine starts, extracts every file, and its command moves them out of the working
// directory, where the clean-up leaves them, to be compared byte for byte.
TEST_F(PackageLimit, StoredPackageGivenForMeasurementRunsAndLeavesNothing) {
    const char* built = getenv("RUNPACK_MEASURE_STORED_EXE");
    const char* files = getenv("RUNPACK_MEASURE_STORED_FILES");
    if (built == nullptr || files == nullptr) GTEST_SKIP() << "RUNPACK_MEASURE_STORED_EXE names no executable";
    const fs::path exe = dir / "stored.exe";
    fs::copy_file(built, exe);
    const fs::path keep = dir / "keep";
    RunOptions options = keepingIn(keep);
    options.timeoutMs = 1800000;
    const EngineRun run = this->run(exe, options);
    printf("stored package: %ju bytes of executable, exit 0x%08x after %ld ms\n",
           static_cast<uintmax_t>(fs::file_size(exe)), run.exitCode, run.exitAt);
    fs::remove(exe);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty()) << run.output;
    EXPECT_TRUE(listTree(tmp).empty()) << testing::PrintToString(listTree(tmp));
    size_t compared = 0;
    for (const auto& file : fs::directory_iterator(files)) {
        EXPECT_TRUE(fileBytes(keep / file.path().filename()) == fileBytes(file.path())) << file.path();
        fs::remove(keep / file.path().filename());
        ++compared;
    }
    printf("stored package: %zu files compared\n", compared);
    EXPECT_GT(compared, 0u);
}
