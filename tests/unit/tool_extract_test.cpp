// `runpack extract` against hostile packages and hostile file systems: where destinations are
// placed, and that nothing is written outside DIR whatever links appear, before or during.
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "runpack/output/confined_output.h"
#include "runpack/output/extract_placement.h"
#include "support/package_builder.h"
#include "tool_test_support.h"

using namespace tooltest;

namespace {

using Parts = std::vector<std::string>;

Parts placed(const std::string& destination, bool* directoryOnly = nullptr) {
    Placement placement;
    std::string error;
    EXPECT_TRUE(placeDestination(destination, &placement, &error)) << destination << ": " << error;
    if (directoryOnly) *directoryOnly = placement.directoryOnly;
    return placement.parts;
}

std::string refusal(const std::string& destination) {
    Placement placement;
    std::string error;
    EXPECT_FALSE(placeDestination(destination, &placement, &error)) << destination;
    return error;
}

std::string textOf(const fs::path& path) {
    const std::vector<uint8_t> bytes = fileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// A copy of `engine` at `exe` carrying `package` and its digest.
void embed(const fs::path& engine, const fs::path& exe, const TestPackage& package) {
    const std::vector<uint8_t> bytes = buildPackage(package);
    const std::vector<uint8_t> digest = sha1Digest(bytes);
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_TRUE(embedRunInfo(fileBytes(engine), &bytes, &digest, &image, &error)) << error;
    writeBytes(exe, image);
}

TestEntry entry(const std::string& directory, const std::string& name, const std::string& content) {
    TestEntry e;
    if (!directory.empty()) e.directory = directory;
    e.name = name;
    e.content.assign(content.begin(), content.end());
    return e;
}

}  // namespace

TEST(ExtractPlacement, MapsEveryKindOfDestinationToPlainParts) {
    EXPECT_EQ(placed("a.txt"), (Parts{"a.txt"}));
    EXPECT_EQ(placed("sub\\\\x/a.txt"), (Parts{"sub", "x", "a.txt"}));
    EXPECT_EQ(placed("\\sub\\a.txt"), (Parts{"sub", "a.txt"}));
    EXPECT_EQ(placed("c:\\data\\a.txt"), (Parts{"_absolute", "C", "data", "a.txt"}));
    EXPECT_EQ(placed("D:/a.txt"), (Parts{"_absolute", "D", "a.txt"}));
    EXPECT_EQ(placed("\\\\srv\\share\\d\\a.txt"), (Parts{"_absolute", "UNC", "srv", "share", "d", "a.txt"}));
    EXPECT_EQ(placed("%APPDATA%\\x\\a.txt"), (Parts{"_absolute", "%APPDATA%", "x", "a.txt"}));
    EXPECT_EQ(placed("sub\\%NOSUCH%\\a.txt"), (Parts{"_absolute", "sub", "%NOSUCH%", "a.txt"}));
    bool directoryOnly = false;
    EXPECT_EQ(placed("sub\\deeper\\", &directoryOnly), (Parts{"sub", "deeper"}));
    EXPECT_TRUE(directoryOnly);
}

TEST(ExtractPlacement, RefusesWhatTheEngineRefusesAndWhatNamesNothing) {
    // The crafted directory that once reset the path to the host's root.
    EXPECT_NE(refusal("/:/outside/dir\\a.txt").find("a colon in second place needs a drive letter"), std::string::npos);
    for (const char* destination : {"?:\\x\\a.txt", "1:\\a.txt", "C:a.txt", "..\\a.txt", "sub\\..\\..\\a.txt",
                                    "a.txt:stream", "sub\\CON\\a.txt", "sub.\\a.txt", ".\\a.txt", "\\\\.\\pipe\\x",
                                    "%TEMP%\\..\\a.txt"}) {
        EXPECT_NE(refusal(destination).find("is refused: "), std::string::npos) << destination;
    }
    for (const char* destination : {"", "\\", "C:\\", "\\\\", "//"}) {
        EXPECT_NE(refusal(destination).find("names no file"), std::string::npos) << destination;
    }
    EXPECT_FALSE(isPlainPart(".."));
    EXPECT_FALSE(isPlainPart("a/b"));
    EXPECT_FALSE(isPlainPart(std::string("a\0b", 3)));
    EXPECT_TRUE(isPlainPart("%APPDATA%"));
}

class ToolExtract : public ToolTest {};

class ConfinedOutputTest : public ToolTest {
protected:
    fs::path out, outside;
    OutputRoot root;

    void SetUp() override {
        ToolTest::SetUp();
        out = dir / "out";
        outside = dir / "outside";
        fs::create_directories(outside);
        std::string error;
        ASSERT_TRUE(openOutputRoot(out.string(), true, &root, &error)) << error;
    }
    void TearDown() override {
        closeOutputRoot(&root);
        ToolTest::TearDown();
    }
    bool create(const Parts& parts, const std::string& content, bool force, std::string* error) {
        OutputFile file;
        if (!createOutputFile(root, parts, force, &file, error)) return false;
        const bool written = writeOutputFile(&file, reinterpret_cast<const uint8_t*>(content.data()), content.size(), error);
        return closeOutputFile(&file, error) && written;
    }
};

struct Swap {
    Parts when;          // the directory after which the swap happens
    fs::path directory;  // renamed away, and replaced by a link to `target`
    fs::path target;
    bool done = false;
};

void swapInLink(void* state, const Parts& parts) {
    Swap* swap = static_cast<Swap*>(state);
    if (swap->done || parts != swap->when) return;
    fs::rename(swap->directory, fs::path(swap->directory.string() + "-moved"));
    fs::create_directory_symlink(swap->target, swap->directory);
    swap->done = true;
}

TEST_F(ConfinedOutputTest, LinkSwappedIntoAParentDuringTheWalkIsNotFollowed) {
    // After a level is opened, it is renamed and a link to `outside` takes its name: the walk
    // goes on in the directory it holds, never through the link.
    for (const Parts& when : {Parts{"sub"}, Parts{"sub", "deeper"}}) {
        SCOPED_TRACE(when.size());
        fs::remove_all(out / "sub");
        fs::remove_all(out / "sub-moved");
        fs::create_directories(out / "sub" / "deeper");
        fs::path swapped = out / "sub";
        if (when.size() == 2) swapped /= "deeper";
        Swap swap{when, swapped, outside};
        root.afterDirectory = swapInLink;
        root.hookState = &swap;
        std::string error;
        ASSERT_TRUE(create({"sub", "deeper", "f.txt"}, "payload", false, &error)) << error;
        root.afterDirectory = nullptr;
        EXPECT_TRUE(swap.done);
        EXPECT_TRUE(fs::is_symlink(swapped));
        EXPECT_TRUE(fs::is_empty(outside));
        const fs::path landed = when.size() == 1 ? out / "sub-moved" / "deeper" / "f.txt"
                                                 : out / "sub" / "deeper-moved" / "f.txt";
        EXPECT_EQ(textOf(landed), "payload");
        fs::remove(swapped);
    }
}

TEST_F(ConfinedOutputTest, LinksAlreadyInPlaceAreRefusedAndNeverReplaced) {
    std::string error;
    // A link as a directory on the way, pointing outside or to a directory inside.
    fs::create_directory_symlink(outside, out / "sub");
    EXPECT_FALSE(create({"sub", "f.txt"}, "x", true, &error));
    EXPECT_EQ(error, (out / "sub").string() + " is a symbolic link: not followed");
    EXPECT_FALSE(createOutputDirectories(root, {"sub", "deeper"}, &error));
    // A link as the file itself, dangling or not, with and without --force.
    writeText(outside / "victim.txt", "keep");
    fs::create_symlink(outside / "victim.txt", out / "f.txt");
    fs::create_symlink(outside / "missing.txt", out / "dangling.txt");
    for (bool force : {false, true}) {
        EXPECT_FALSE(create({"f.txt"}, "x", force, &error));
        EXPECT_EQ(error, (out / "f.txt").string() + " is a symbolic link: not replaced");
        EXPECT_FALSE(create({"dangling.txt"}, "x", force, &error));
        EXPECT_NE(error.find("is a symbolic link: not replaced"), std::string::npos) << error;
    }
    EXPECT_EQ(textOf(outside / "victim.txt"), "keep");
    EXPECT_FALSE(fs::exists(outside / "missing.txt"));
    EXPECT_TRUE(fs::is_symlink(out / "f.txt"));
    // A file where a directory is needed.
    writeText(out / "file", "x");
    EXPECT_FALSE(create({"file", "f.txt"}, "x", true, &error));
    EXPECT_EQ(error, (out / "file").string() + " exists and is not a directory");
}

TEST_F(ConfinedOutputTest, ForceReplacesAFileByANewOneButNeverADirectory) {
    std::string error;
    writeText(out / "a.txt", "old");
    EXPECT_TRUE(outputExists(root, {"a.txt"}));
    EXPECT_FALSE(create({"a.txt"}, "new", false, &error));
    EXPECT_EQ(error, (out / "a.txt").string() + " exists (use --force to overwrite)");
    ASSERT_TRUE(create({"a.txt"}, "new", true, &error)) << error;
    EXPECT_EQ(textOf(out / "a.txt"), "new");
    // A hard link to a file outside is replaced by a new file, not written through.
    writeText(outside / "victim.txt", "keep");
    fs::create_hard_link(outside / "victim.txt", out / "linked.txt");
    ASSERT_TRUE(create({"linked.txt"}, "new", true, &error)) << error;
    EXPECT_EQ(textOf(outside / "victim.txt"), "keep");
    EXPECT_EQ(textOf(out / "linked.txt"), "new");
    fs::create_directories(out / "d");
    EXPECT_FALSE(create({"d"}, "x", true, &error));
    EXPECT_EQ(error, "cannot replace " + (out / "d").string() + ": not a regular file");
    EXPECT_FALSE(outputExists(root, {"missing", "a.txt"}));
    EXPECT_FALSE(outputExists(root, {"a.txt", "below-a-file"}));
}

TEST_F(ToolExtract, RefusesTheCraftedRootThatOnceWroteOutside) {
    // Its directory "/:/<dir>/outside/dir" became the parts "_absolute", "/" and the rest,
    // and the "/" reset the path to the host's root.
    const fs::path victim = dir / "outside" / "dir" / "a.txt";
    writeText(victim, "keep");
    TestPackage package;
    package.entries.push_back(entry("/:" + (dir / "outside" / "dir").string(), "a.txt", "overwritten"));
    const fs::path exe = dir / "crafted.exe";
    embed(engine, exe, package);
    const Result r = extract(exe, dir / "target", {"--include-absolute", "--force"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("the engine refuses this destination: a colon in second place"), std::string::npos) << r.err;
    EXPECT_EQ(textOf(victim), "keep");
    EXPECT_FALSE(fs::exists(dir / "target"));
}

TEST_F(ToolExtract, PlansEverythingBeforeWritingAnything) {
    TestPackage package;
    package.entries.push_back(entry("sub", "a.txt", "a"));
    package.entries.push_back(entry("", "SUB\\b.txt", "b"));
    package.entries.push_back(entry("sub/", "a.txt", "again"));  // lands where the first one does
    const fs::path exe = dir / "dup.exe";
    embed(engine, exe, package);
    const Result dup = extract(exe, dir / "x");
    EXPECT_EQ(dup.code, 1);
    EXPECT_NE(dup.err.find("runpack extract: entries 0 (sub\\a.txt) and 2 (sub/\\a.txt) are one file or folder on "
                           "Windows"),
              std::string::npos) << dup.err;
    EXPECT_FALSE(fs::exists(dir / "x"));

    // A directory-only entry (empty name) creates its folders, as the engine does.
    package.entries.pop_back();
    package.entries.push_back(entry("empty\\folder", "", ""));
    embed(engine, exe, package);
    const Result made = extract(exe, dir / "x");
    ASSERT_EQ(made.code, 0) << made.err;
    EXPECT_EQ(made.out, "extracted 2 files to " + (dir / "x").string() + "\n");
    EXPECT_TRUE(fs::is_directory(dir / "x" / "empty" / "folder"));
    EXPECT_EQ(textOf(dir / "x" / "SUB" / "b.txt"), "b");
    // Again without --force: refused before anything is touched; the folder-only entry is no obstacle.
    writeText(dir / "x" / "sub" / "a.txt", "changed");
    const Result again = extract(exe, dir / "x");
    EXPECT_EQ(again.code, 1);
    EXPECT_NE(again.err.find((dir / "x" / "sub" / "a.txt").string() + " exists (use --force to overwrite)"),
              std::string::npos) << again.err;
    EXPECT_EQ(textOf(dir / "x" / "sub" / "a.txt"), "changed");
}

namespace {

std::string bytesText(size_t count, char fill) { return std::string(count, fill); }

// Paths below `root`, relative and sorted; directories end in '/', links are not followed.
std::vector<std::string> listTree(const fs::path& root) {
    std::vector<std::string> paths;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const bool directory = it->is_directory() && !it->is_symlink();
        paths.push_back(it->path().lexically_relative(root).string() + (directory ? "/" : ""));
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// A small tmpfs mounted for the test (only root may mount: the test is skipped otherwise).
class SmallFileSystem {
public:
    explicit SmallFileSystem(const fs::path& at, const std::string& size) : at_(at) {
        fs::create_directories(at);
        mounted_ = mount("tmpfs", at.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
    }
    ~SmallFileSystem() {
        if (mounted_) umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

private:
    fs::path at_;
    bool mounted_ = false;
};

// Limits the size of every file this process writes, for one scope: a write beyond it fails
// (EFBIG) instead of raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {bytes, saved_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previous_);
    }

private:
    struct rlimit saved_;
    void (*previous_)(int);
};

}  // namespace

TEST_F(ToolExtract, FolderWithoutRoomIsRefusedBeforeAnythingIsWrittenNamingTheSpace) {
    const fs::path small = dir / "small";
    SmallFileSystem fileSystem(small, "1m");
    if (!fileSystem.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
    TestPackage package;
    package.entries.push_back(entry("sub", "a.bin", bytesText(600 * 1024, 'a')));
    package.entries.push_back(entry("sub", "b.bin", bytesText(600 * 1024 + 1, 'b')));
    const fs::path exe = dir / "big.exe";
    embed(engine, exe, package);
    for (const fs::path& target : {small / "new" / "deeper", small}) {
        SCOPED_TRACE(target.string());
        const Result r = extract(exe, target);
        EXPECT_EQ(r.code, 1);
        // 150 + 151 pages of 4 KiB against the 256 pages of a 1 MiB tmpfs.
        EXPECT_EQ(r.err, "runpack extract: not enough space for 2 files in " + target.string() +
                             ": they need 1232896 bytes (1.2 MiB), its file system has 1048576 bytes (1.0 MiB) "
                             "free; nothing extracted\n");
        EXPECT_TRUE(fs::is_empty(small));
    }
    // One of them fits.
    package.entries.pop_back();
    embed(engine, exe, package);
    const Result fits = extract(exe, small);
    EXPECT_EQ(fits.code, 0) << fits.err;
    EXPECT_EQ(fs::file_size(small / "sub" / "a.bin"), 600u * 1024);
}

TEST_F(ToolExtract, FileCutShortMidwayTakesBackEverythingTheRunMade) {
    TestPackage package;
    package.entries.push_back(entry("one", "a.txt", bytesText(10000, 'a')));
    package.entries.push_back(entry("one\\two", "b.txt", bytesText(10000, 'b')));
    package.entries.push_back(entry("three", "big.bin", bytesText(100000, 'c')));  // cut at the limit
    package.entries.push_back(entry("", "never.txt", "never"));
    const fs::path exe = dir / "cut.exe";
    embed(engine, exe, package);
    // Into a folder that does not exist yet: it goes too, with the parent it lacked.
    const fs::path target = dir / "parent" / "target";
    Result r;
    {
        FileSizeLimit limit(64 * 1024);
        r = extract(exe, target);
    }
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "runpack extract: cannot write " + (target / "three" / "big.bin").string() +
                         ": File too large\n"
                         "runpack extract: removed the files and folders this run had made\n");
    EXPECT_FALSE(fs::exists(dir / "parent"));

    // Into a folder of the user's: the run's files and folders go, the user's stay.
    fs::create_directories(dir / "mine" / "one");
    writeText(dir / "mine" / "one" / "kept.txt", "the user's");
    {
        FileSizeLimit limit(64 * 1024);
        r = extract(exe, dir / "mine");
    }
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(listTree(dir / "mine"), (std::vector<std::string>{"one/", "one/kept.txt"}));
}

TEST_F(ToolExtract, FailureMidwayKeepsWhatWasThereAndAWholeFileThatForceReplaced) {
    TestPackage package;
    package.entries.push_back(entry("a", "1.txt", "new one"));
    package.entries.push_back(entry("a", "2.txt", "new two"));
    package.entries.push_back(entry("n", "3.txt", "new three"));
    package.entries.push_back(entry("b", "4.txt", "four"));  // b is a link: refused there
    const fs::path exe = dir / "midway.exe";
    embed(engine, exe, package);
    const fs::path target = dir / "target";
    fs::create_directories(target / "a");
    fs::create_directories(dir / "elsewhere");
    writeText(target / "a" / "1.txt", "old one");
    fs::create_directory_symlink(dir / "elsewhere", target / "b");
    const Result r = extract(exe, target, {"--force"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "runpack extract: " + (target / "b").string() + " is a symbolic link: not followed\n"
                     "runpack extract: removed the files and folders this run had made\n");
    // a/1.txt was there: --force replaced it and the new one was whole. a/2.txt, n/3.txt and
    // n/ were the run's own.
    EXPECT_EQ(listTree(target), (std::vector<std::string>{"a/", "a/1.txt", "b"}));
    EXPECT_EQ(textOf(target / "a" / "1.txt"), "new one");
    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
}
