// verify and extract on entries that declare more than their packed bytes can yield: memory
// follows the real data, never the declared size.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/time.h>

#include <algorithm>
#include <functional>

#include "runpack/output/entry_unpacking.h"
#include "runpack/package/package_writer.h"
#include "support/package_builder.h"
#include "tool_test_support.h"

using namespace tooltest;

#if defined(__SANITIZE_ADDRESS__)
#define RUNPACK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RUNPACK_ASAN 1
#endif
#endif

#ifdef RUNPACK_ASAN
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*, size_t),
                                                         void (*freeHook)(const volatile void*));
#endif

namespace {

const uint32_t DECLARED = 0x7FFFFFFF;  // 2 GiB - 1: the most an LZHUF entry can name

// One LZHUF entry of 136 packed bytes declaring 2 GiB: a package of 276 bytes.
TestPackage twoGiBPackage() {
    TestPackage package;
    TestEntry e;
    e.name = std::string("big.bin");
    e.method = METHOD_LZHUF;
    e.packed = std::vector<uint8_t>(136, 0x5A);
    e.unpackedSize = DECLARED;
    package.entries.push_back(e);
    return package;
}

class ToolMemory : public ToolTest {
protected:
    fs::path craftedExe() {
        const fs::path exe = dir / "crafted.exe";
        const std::vector<uint8_t> package = buildPackage(twoGiBPackage());
        EXPECT_EQ(package.size(), 276u);
        const std::vector<uint8_t> digest = sha1Digest(package);
        std::vector<uint8_t> image;
        std::string error;
        EXPECT_TRUE(embedRunInfo(fileBytes(engine), &package, &digest, &image, &error)) << error;
        writeBytes(exe, image);
        return exe;
    }
};

const char* const REFUSAL = "declares 2147483647 bytes, but 136 packed bytes of LZHUF yield at most 6528";

#ifdef RUNPACK_ASAN
size_t largestAllocation = 0;
void noteAllocation(const volatile void*, size_t size) { largestAllocation = std::max(largestAllocation, size); }
void noteFree(const volatile void*) {}
#endif

}  // namespace

TEST_F(ToolMemory, EntryDeclaringTwoGiBFailsCleanlyUnderAOneGiBAddressLimit) {
#ifdef RUNPACK_ASAN
    GTEST_SKIP() << "AddressSanitizer maps terabytes of shadow memory and cannot run under RLIMIT_AS; "
                    "the sanitizer build measures the largest allocation instead";
#else
    const fs::path exe = craftedExe();
    using Command = int (*)(const std::vector<std::string>&, std::ostream&, std::ostream&);
    const std::vector<std::pair<Command, std::vector<std::string>>> runs = {
        {runVerifyCommand, {exe.string()}},
        {runExtractCommand, {exe.string(), "-C", (dir / "out").string()}},
    };
    for (const auto& [command, args] : runs) {
        int pipeEnds[2];
        ASSERT_EQ(pipe(pipeEnds), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // The child: 1 GiB of address space, then the command as the tool runs it.
            close(pipeEnds[0]);
            const rlimit limit{1ul << 30, 1ul << 30};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(99);
            std::ostringstream out, err;
            const int code = command(args, out, err);
            const std::string text = err.str();
            if (write(pipeEnds[1], text.data(), text.size()) < 0) _exit(98);
            _exit(code);
        }
        close(pipeEnds[1]);
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
        close(pipeEnds[0]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status) << "\n" << text;
        EXPECT_EQ(WEXITSTATUS(status), 1) << text;
        EXPECT_NE(text.find(std::string("entry 0 (big.bin): ") + REFUSAL + "\n"), std::string::npos) << text;
    }
    EXPECT_FALSE(fs::exists(dir / "out"));
#endif
}

#ifdef RUNPACK_ASAN
TEST_F(ToolMemory, EntryDeclaringTwoGiBAllocatesNothingLarge) {
    const fs::path exe = craftedExe();
    // The hooks stay installed for the rest of the process: the sanitizer cannot remove them.
    ASSERT_EQ(__sanitizer_install_malloc_and_free_hooks(noteAllocation, noteFree), 1);
    largestAllocation = 0;
    const Result verified = verify(exe);
    const size_t largest = largestAllocation;
    EXPECT_EQ(verified.code, 1);
    EXPECT_NE(verified.err.find(REFUSAL), std::string::npos) << verified.err;
    // The image and the package are a few kilobytes; the declared size is 2 GiB.
    EXPECT_GT(largest, 0u);  // the hooks saw the command's allocations
    EXPECT_LT(largest, size_t(16) << 20);
}
#endif

#ifndef RUNPACK_ASAN
namespace {

// The peak resident size, in KiB, of a child process that runs `body`; its exit code in `code`.
long childPeakKiB(const std::function<int()>& body, int* code) {
    const pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    struct rusage usage {};
    if (child < 0 || wait4(child, &status, 0, &usage) != child) return -1;
    *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return usage.ru_maxrss;
}

}  // namespace

TEST_F(ToolMemory, ALargePackageIsBuiltListedVerifiedAndExtractedInAFixedMemory) {
    // 96 MiB in one stored file: every command that held the file, the package or the image
    // whole would grow by that much at least, several times over.
    const size_t size = size_t(96) << 20;
    const fs::path input = dir / "in" / "big.bin";
    fs::create_directories(input.parent_path());
    {
        std::ofstream file(input, std::ios::binary);
        std::vector<uint8_t> piece(1 << 20);
        uint32_t state = 12345;
        for (size_t done = 0; done < size; done += piece.size()) {
            for (uint8_t& b : piece) b = static_cast<uint8_t>((state = state * 1103515245u + 12345u) >> 24);
            file.write(reinterpret_cast<const char*>(piece.data()), static_cast<std::streamsize>(piece.size()));
        }
    }
    const fs::path exe = dir / "big.exe";
    using Command = int (*)(const std::vector<std::string>&, std::ostream&, std::ostream&);
    auto inChild = [](Command command, std::vector<std::string> args) {
        return [command, args]() {
            std::ostringstream out, err;
            return command(args, out, err);
        };
    };
    int code = -1;
    const long baseline = childPeakKiB([] { return 0; }, &code);
    ASSERT_GT(baseline, 0);
    const std::vector<std::pair<const char*, std::function<int()>>> runs = {
        {"build", inChild(runBuildCommand, {"--engine", engine.string(), "-o", exe.string(), "--method", "stored",
                                            input.string()})},
        {"list", inChild(runListCommand, {exe.string()})},
        {"verify", inChild(runVerifyCommand, {exe.string()})},
        {"extract", inChild(runExtractCommand, {exe.string(), "-C", (dir / "out").string()})},
    };
    for (const auto& [name, body] : runs) {
        const long peak = childPeakKiB(body, &code);
        EXPECT_EQ(code, 0) << name;
        // A fixed amount: buffers of a few MiB, never the 96 MiB of data.
        EXPECT_LT(peak - baseline, 32 * 1024) << name << ": " << peak << " KiB at most, " << baseline << " KiB before";
    }
    EXPECT_EQ(fs::file_size(dir / "out" / "big.bin"), size);
}
#endif

TEST(EntryUnpacking, DeclaredSizeIsBoundByFortyEightBytesPerPackedByte) {
    // F6 C6 00 00: the literal "a", then a match of 3 at offset 0: "aaaa".
    const std::vector<uint8_t> stream = {0xF6, 0xC6, 0x00, 0x00};
    const std::vector<uint8_t> digest(20, 0);
    FileEntry e{};
    e.recordSize = FILE_ENTRY_RECORD_SIZE;
    e.method = METHOD_LZHUF;
    e.packedSize = uint32_t(stream.size());
    e.data = stream.data();
    e.digest = digest.data();
    std::unique_ptr<LzhufContext> context = newCodecContext();
    std::string error;
    EXPECT_EQ(lzhufMaxUnpackedSize(4), 192u);
    e.unpackedSize = 193;
    EXPECT_FALSE(unpackEntry(context.get(), e, nullptr, &error));
    EXPECT_EQ(error, "declares 193 bytes, but 4 packed bytes of LZHUF yield at most 192");
    e.unpackedSize = 192;  // within the bound: decoded, and found short
    EXPECT_FALSE(unpackEntry(context.get(), e, nullptr, &error));
    EXPECT_EQ(error, "LZHUF stream ends early");
    e.unpackedSize = 2;  // the match carries the output past the declared size
    EXPECT_FALSE(unpackEntry(context.get(), e, nullptr, &error));
    EXPECT_EQ(error, "LZHUF stream decodes past its unpacked size 2");
}

TEST(EntryUnpacking, StreamsTheBytesInBlocksAndChecksTheirDigest) {
    // Zeros compress about as well as LZHUF can: close to, and never beyond, the bound.
    const std::vector<uint8_t> zeros(1 << 20, 0);
    std::unique_ptr<LzhufContext> context = newCodecContext();
    std::vector<uint8_t> packed;
    bool gaveUp = false;
    std::string error;
    ASSERT_TRUE(lzhufCompress(context.get(), LZHUF_LEVEL_REF, zeros.data(), zeros.size(), 0, &packed, &gaveUp, &error)) << error;
    EXPECT_LE(zeros.size(), lzhufMaxUnpackedSize(uint32_t(packed.size())));
    EXPECT_GT(zeros.size(), lzhufMaxUnpackedSize(uint32_t(packed.size())) * 3 / 4);

    const std::vector<uint8_t> digest = sha1Digest(zeros);
    FileEntry e{};
    e.recordSize = FILE_ENTRY_RECORD_SIZE;
    e.method = METHOD_LZHUF;
    e.packedSize = uint32_t(packed.size());
    e.data = packed.data();
    e.unpackedSize = uint32_t(zeros.size());
    e.digest = digest.data();
    struct Seen {
        size_t total = 0, largest = 0;
    } seen;
    const EntryWriter writer{[](void* state, const uint8_t* bytes, size_t count, std::string*) {
                                 Seen* s = static_cast<Seen*>(state);
                                 s->total += count;
                                 s->largest = std::max(s->largest, count);
                                 return std::all_of(bytes, bytes + count, [](uint8_t b) { return b == 0; });
                             },
                             &seen};
    ASSERT_TRUE(unpackEntry(context.get(), e, &writer, &error)) << error;
    // All of it, in pieces: the entry is never held whole.
    EXPECT_EQ(seen.total, zeros.size());
    EXPECT_LE(seen.largest, size_t(64 * 1024));

    // A writer that fails stops the unpacking with its own message.
    const EntryWriter failing{[](void*, const uint8_t*, size_t, std::string* message) {
                                  *message = "disk full";
                                  return false;
                              },
                              nullptr};
    EXPECT_FALSE(unpackEntry(context.get(), e, &failing, &error));
    EXPECT_EQ(error, "disk full");
    // One changed byte of the content: the digest no longer matches.
    std::vector<uint8_t> other = digest;
    other[0] ^= 1;
    e.digest = other.data();
    EXPECT_FALSE(unpackEntry(context.get(), e, nullptr, &error));
    EXPECT_EQ(error, "content does not match its SHA-1");
}
