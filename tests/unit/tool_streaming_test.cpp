// The build writes the package while it packs the files, and lays the image out around it:
// what it writes must be byte for byte what the in-memory writers make of the same package
// (embedRunInfo, encodeSolidStream), whatever the sizes and however the bytes are cut.
#include <string.h>

#include <chrono>
#include <random>
#include <thread>

#include "runpack/image/streamed_image.h"
#include "runpack/output/progress_line.h"
#include "runpack/package/package_writer.h"
#include "runpack/package/solid_encoder.h"
#include "support/package_builder.h"
#include "tool_test_support.h"

using namespace tooltest;

namespace {

std::vector<uint8_t> randomBytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(generator());
    return bytes;
}

// Something an encoder can work on: text-like runs with random bytes among them.
std::vector<uint8_t> compressibleBytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = (generator() % 4 == 0) ? static_cast<uint8_t>(generator()) : "runpack "[i % 8];
    return bytes;
}

// The image embedRunInfo makes of `package` with its digest: the reference for the streamed one.
std::vector<uint8_t> imageInMemory(const std::vector<uint8_t>& engine, const std::vector<uint8_t>& package,
                                   const std::vector<uint8_t>* runOptions = nullptr) {
    const std::vector<uint8_t> digest = sha1Digest(package);
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_TRUE(embedRunInfo(engine, &package, &digest, &image, &error, runOptions)) << error;
    return image;
}

class ToolStreaming : public ToolTest {};

}  // namespace

TEST_F(ToolStreaming, StreamedImageIsTheInMemoryImageForAnySizeAndAnyPieces) {
    const std::vector<uint8_t> engineBytes = fileBytes(engine);
    const std::vector<uint8_t> options = {1, 0, 0, 0};
    std::mt19937 generator(7);
    // Odd and even sizes: the checksum's words straddle the package's end, and the pieces'.
    // The small ones are moved down at the end to where their section starts; from 16 MiB the
    // section is on a page, where the package was written from the start.
    for (size_t size : {size_t(1), size_t(2), size_t(3), size_t(4097), size_t((1u << 20) + 1),
                        size_t(RESOURCES_ALWAYS_ON_A_PAGE + 1)}) {
        SCOPED_TRACE(size);
        const std::vector<uint8_t> package = randomBytes(size, static_cast<uint32_t>(size));
        for (const std::vector<uint8_t>* runOptions : {static_cast<const std::vector<uint8_t>*>(nullptr), &options}) {
            const fs::path out = dir / "streamed.exe";
            StreamedImage image;
            std::string error;
            ASSERT_TRUE(image.open(out, engineBytes, runOptions, &error)) << error;
            for (size_t done = 0; done < size;) {
                const size_t n = std::min<size_t>(size - done, 1 + generator() % (size > (1u << 20) ? 500000 : 5000));
                ASSERT_TRUE(image.write(package.data() + done, n, &error)) << error;
                done += n;
            }
            EXPECT_EQ(image.packageSize(), size);
            ASSERT_TRUE(image.finish(&error)) << error;
            EXPECT_EQ(fileBytes(out), imageInMemory(engineBytes, package, runOptions));
            PeFacts facts;
            ASSERT_TRUE(readPeFacts(fileBytes(out), &facts, &error)) << error;
            EXPECT_EQ(facts.checksum, facts.computedChecksum);
        }
    }
}

TEST_F(ToolStreaming, AnUnfinishedImageLeavesNoFileAndNothingStandsInItsWay) {
    const std::vector<uint8_t> engineBytes = fileBytes(engine);
    const fs::path out = dir / "partial.exe";
    writeText(out, "left by a killed build");
    std::string error;
    {
        StreamedImage image;
        ASSERT_TRUE(image.open(out, engineBytes, nullptr, &error)) << error;
        const std::vector<uint8_t> some(1000, 1);
        ASSERT_TRUE(image.write(some.data(), some.size(), &error));
        EXPECT_TRUE(fs::exists(out));
    }  // never finished
    EXPECT_FALSE(fs::exists(out));
    // A directory at the name is not removed, and is reported as the output's problem.
    fs::create_directories(out);
    StreamedImage image;
    EXPECT_FALSE(image.open(out, engineBytes, nullptr, &error));
    EXPECT_EQ(image.failure(), StreamedImage::OUTPUT);
    EXPECT_TRUE(fs::is_directory(out));
    // An engine that is no image is the engine's problem, and creates nothing.
    StreamedImage broken;
    EXPECT_FALSE(broken.open(dir / "x.exe", std::vector<uint8_t>(100, 0), nullptr, &error));
    EXPECT_EQ(broken.failure(), StreamedImage::ENGINE);
    EXPECT_FALSE(fs::exists(dir / "x.exe"));
}

TEST(PeChecksumPieces, AnyCutGivesTheWholeFilesChecksum) {
    std::mt19937 generator(11);
    for (size_t size : {size_t(0), size_t(1), size_t(2), size_t(7), size_t(70001)}) {
        const std::vector<uint8_t> bytes = randomBytes(size, static_cast<uint32_t>(size) + 1);
        // An offset past the end: no field is skipped.
        const uint32_t whole = computePeChecksum(bytes, static_cast<uint32_t>(size) + 8);
        PeChecksum pieces;
        for (size_t done = 0; done < size;) {
            const size_t n = std::min<size_t>(size - done, generator() % 7);
            pieces.add(bytes.data() + done, n);
            done += n;
        }
        EXPECT_EQ(pieces.finish(), whole) << size;
        // An even head counted apart, the rest appended.
        const size_t head = size / 2 & ~size_t(1);
        PeChecksum first, rest;
        first.add(bytes.data(), head);
        rest.add(bytes.data() + head, size - head);
        first.append(rest);
        EXPECT_EQ(first.finish(), whole) << size;
    }
    // All ones: sums that fold to 0xFFFF at every step.
    const std::vector<uint8_t> ones(4096, 0xFF);
    PeChecksum all;
    all.add(ones.data(), ones.size());
    EXPECT_EQ(all.finish(), computePeChecksum(ones, 5000));
}

TEST(SolidStreamPieces, TheStreamDoesNotDependOnHowTheMembersAreRead) {
    if (!solidEncoderAvailable()) GTEST_SKIP() << "built without the LZMA2 encoder";
    // Members of many pieces, an empty one, and an executable's head.
    std::vector<uint8_t> exe = compressibleBytes(100000, 3);
    exe[0] = 'M';
    exe[1] = 'Z';
    const std::vector<std::vector<uint8_t>> members = {compressibleBytes(400001, 1), {}, exe,
                                                       compressibleBytes(17, 2)};
    std::vector<const std::vector<uint8_t>*> pointers;
    uint64_t total = 0;
    for (const std::vector<uint8_t>& m : members) {
        pointers.push_back(&m);
        total += m.size();
    }
    for (bool filter : {false, true}) {
        std::vector<uint8_t> whole, cut;
        std::string error;
        ASSERT_TRUE(encodeSolidStream(pointers, SOLID_LEVEL_FAST, filter, &whole, &error)) << error;
        // The same members handed over in small uneven pieces.
        struct Cutter {
            const std::vector<std::vector<uint8_t>>* members;
            size_t member = SIZE_MAX, offset = 0, step = 0;
        } cutter{&members};
        const SolidMemberReader reader{[](void* state, size_t member, uint8_t* buffer, size_t capacity, size_t* got,
                                          std::string*) {
                                           Cutter* c = static_cast<Cutter*>(state);
                                           if (member != c->member) c->member = member, c->offset = 0;
                                           const std::vector<uint8_t>& m = (*c->members)[member];
                                           *got = std::min({capacity, m.size() - c->offset, size_t(1000 + 777 * (c->step++ % 5))});
                                           if (*got) memcpy(buffer, m.data() + c->offset, *got);
                                           c->offset += *got;
                                           return true;
                                       },
                                       &cutter};
        ASSERT_TRUE(encodeSolidStreamFrom(members.size(), total, SOLID_LEVEL_FAST, filter, reader, &cut, &error)) << error;
        EXPECT_EQ(cut, whole) << "filter " << filter;
        // Members that come out shorter than declared are refused, not encoded short.
        Cutter again{&members};
        const SolidMemberReader same{reader.read, &again};
        EXPECT_FALSE(encodeSolidStreamFrom(members.size(), total + 1, SOLID_LEVEL_FAST, filter, same, &cut, &error));
        EXPECT_EQ(error, "the files of a solid stream changed while they were packed");
    }
}

TEST_F(ToolStreaming, EveryMethodBuildsWhatTheInMemoryWritersMake) {
    // Files across the read piece's size, empty ones, and executables for the branch filter.
    std::vector<uint8_t> exe = compressibleBytes(200000, 9);
    exe[0] = 'M';
    exe[1] = 'Z';
    writeBytes(dir / "in" / "big.bin", randomBytes((2u << 20) + 3, 4));
    writeBytes(dir / "in" / "empty", {});
    writeBytes(dir / "in" / "sub" / "text.txt", compressibleBytes(150001, 5));
    writeBytes(dir / "in" / "sub" / "tool.exe", exe);
    const std::vector<uint8_t> engineBytes = fileBytes(engine);
    std::vector<std::vector<std::string>> variants = {{"--method", "stored"}, {"--method", "lzhuf", "--level", "fast"},
                                                      {"--method", "auto", "--level", "fast"}};
    if (solidEncoderAvailable()) variants.push_back({"--method", "lzma2", "--level", "fast", "--jobs", "2"});
    for (std::vector<std::string> args : variants) {
        SCOPED_TRACE(args[1]);
        const fs::path exePath = dir / ("out-" + args[1] + ".exe");
        args.push_back("--unattended");
        args.push_back((dir / "in").string());
        const Result r = build(exePath, args);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_FALSE(fs::exists(dir / ("out-" + args[1] + ".exe.partial")));
        const std::vector<uint8_t> package = packageOf(exePath);
        std::vector<uint8_t> record;
        bool hasPackage = false, hasDigest = false, hasOptions = false;
        std::vector<uint8_t> ignored, digest;
        std::string error;
        ASSERT_TRUE(readRunInfo(fileBytes(exePath), &ignored, &hasPackage, &digest, &hasDigest, &error, &record, &hasOptions));
        ASSERT_TRUE(hasOptions);
        EXPECT_EQ(fileBytes(exePath), imageInMemory(engineBytes, package, &record));
        EXPECT_EQ(r.out.substr(r.out.find("package ")), "package " + std::to_string(package.size()) + " bytes\n");
        const Result checked = verify(exePath);
        EXPECT_EQ(checked.code, 0) << checked.err;
        EXPECT_EQ(checked.out, exePath.string() + ": OK, 4 files, " + std::to_string((2u << 20) + 3 + 150001 + 200000) +
                                   " bytes unpacked\n");
    }
}

TEST(ProgressLineText, SaysDoneTotalRateAndTimeLeft) {
    EXPECT_EQ(progressText("runpack verify", 512u << 20, 1024u << 20, 2.0),
              "runpack verify: 512 MiB of 1024 MiB, 256 MiB/s, 2 s left");
    EXPECT_EQ(progressText("runpack build", 0, 1024u << 20, 0.5), "runpack build: 0 MiB of 1024 MiB");
    // Done: no time left to tell but the last second.
    EXPECT_EQ(progressText("x", 3u << 20, 3u << 20, 3.0), "x: 3 MiB of 3 MiB, 1 MiB/s, 1 s left");
}

TEST(ProgressLineText, DrawsOnlyOnATerminalAfterASecondAndClearsItself) {
    std::ostringstream shown, off, notTerminal;
    setProgressTerminal(false);
    {
        ProgressLine line(notTerminal, true, "runpack verify", 100);
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        line.add(50);
    }
    setProgressTerminal(true);
    {
        ProgressLine line(shown, true, "runpack verify", 100u << 20);
        line.add(10u << 20);  // within the first second: nothing yet
        EXPECT_EQ(shown.str(), "");
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        line.add(40u << 20);
        ProgressLine quiet(off, false, "runpack verify", 100);
        quiet.add(50);
    }
    setProgressTerminal(false);
    EXPECT_EQ(notTerminal.str(), "");
    EXPECT_EQ(off.str(), "");
    const std::string text = shown.str();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.rfind("\rrunpack verify: 50 MiB of 100 MiB, ", 0), 0u) << text;
    // Cleared at the end: spaces over the line, the cursor back at its start.
    EXPECT_EQ(text.back(), '\r');
    EXPECT_EQ(text.find('\n'), std::string::npos);
}
