// What build says when it is handed something it cannot use, line for line, and its exit
// code: 1 for a refusal, 0 with a warning for inputs that hold no file.
#include <algorithm>

#include "package/package_limit.h"
#include "tool_test_support.h"

using namespace tooltest;

namespace {

class ToolBuildMessages : public ToolTest {
protected:
    // Every file directly in `dir`, to show that a refusal left nothing behind.
    std::vector<std::string> filesInDir() {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

}  // namespace

TEST_F(ToolBuildMessages, AnOutputThatCannotBeWrittenIsNamedAsGivenWithTheReason) {
    writeText(dir / "a.txt", "a");
    const std::string input = (dir / "a.txt").string();
    const std::string missing = (dir / "missing" / "out.exe").string();
    Result r = run(runBuildCommand, {"-o", missing, "--engine", engine.string(), input});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "runpack build: cannot write " + missing + ": No such file or directory\n");

    const std::string underFile = (dir / "a.txt" / "out.exe").string();
    r = run(runBuildCommand, {"-o", underFile, "--engine", engine.string(), input});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "runpack build: cannot write " + underFile + ": Not a directory\n");

    fs::create_directory(dir / "src");
    r = build(dir / "src", {input});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "runpack build: cannot write " + (dir / "src").string() + ": it is a directory\n");
    EXPECT_TRUE(fs::is_empty(dir / "src"));

    // Found only when the image is written: still the user's path, and whatever stood in
    // the way of the temporary file is left as it was.
    fs::create_directory(dir / "out.exe.partial");
    r = build(dir / "out.exe", {input});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "runpack build: cannot write " + (dir / "out.exe").string() + ": Is a directory\n");
    EXPECT_TRUE(fs::is_directory(dir / "out.exe.partial"));
    EXPECT_EQ(filesInDir(), (std::vector<std::string>{"a.txt", "engine.exe", "out.exe.partial", "src"}));
}

TEST_F(ToolBuildMessages, AMissingInputIsSaidNotToExist) {
    const std::string missing = (dir / "missing.txt").string();
    Result r = build(dir / "out.exe", {missing});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "runpack build: input " + missing + " does not exist\n");
    // A manifest's source is read with the packing: the system's reason then.
    writeText(dir / "m.json", R"({"files": [{"source": "gone.txt"}]})");
    r = build(dir / "out.exe", {"--manifest", (dir / "m.json").string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "runpack build: cannot read input " + (dir / "gone.txt").string() + ": No such file or directory\n");
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
}

TEST_F(ToolBuildMessages, InputsThatHoldNoFileAreWarnedAboutAndStillBuilt) {
    fs::create_directories(dir / "empty" / "only-a-subdirectory");
    Result r = build(dir / "out.exe", {(dir / "empty").string()});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "runpack build: warning: directory " + (dir / "empty").string() + " holds no files\n");
    EXPECT_EQ(r.out.rfind("wrote " + (dir / "out.exe").string() + ": 0 files", 0), 0u) << r.out;
    EXPECT_EQ(verify(dir / "out.exe").code, 0);

    // Beside an input with files, the empty one is still named.
    writeText(dir / "full" / "a.txt", "a");
    r = build(dir / "out.exe", {(dir / "full").string(), (dir / "empty").string()});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "runpack build: warning: directory " + (dir / "empty").string() + " holds no files\n");

    writeText(dir / "m.json", R"({"files": []})");
    r = build(dir / "out.exe", {"--manifest", (dir / "m.json").string()});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "runpack build: warning: no files to pack\n");
}

TEST_F(ToolBuildMessages, ANameFromDiskWithAColonOrBackslashIsRefusedForThatCharacter) {
    const std::string colon = "\"a:b.txt\" has ':', a character Windows does not allow in names (<>:\"/\\|?*)";
    const std::string backslash = "\"x\\y.txt\" has '\\', a character Windows does not allow in names (<>:\"/\\|?*)";
    struct Case {
        std::string file;     // below dir/tree
        std::string input;    // what build is given
        std::string message;  // after "runpack build: "
    };
    const std::string tree = (dir / "tree").string();
    const std::vector<Case> cases = {
        {"a:b.txt", tree + "/a:b.txt", tree + "/a:b.txt: " + colon},
        {"a:b.txt", tree, tree + "/a:b.txt: " + colon},
        {"x\\y.txt", tree + "/x\\y.txt", tree + "/x\\y.txt: " + backslash},
        {"sub/x\\y.txt", tree, tree + "/sub/x\\y.txt: " + backslash},
        {"x\\y.txt/in.txt", tree, tree + "/x\\y.txt/in.txt: " + backslash},
        // A leading "%VAR%" would take the file wherever the variable points.
        {"%APPDATA%/evil.dll", tree, tree + "/%APPDATA%/evil.dll: \"%APPDATA%\" reads as an environment variable: "
                                             "such a destination is allowed only through --to or a manifest"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file + " from " + c.input);
        writeText(dir / "tree" / c.file, "x");
        const Result r = build(dir / "out.exe", {c.input});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, "runpack build: " + c.message + "\n");
        EXPECT_FALSE(fs::exists(dir / "out.exe"));
        fs::remove_all(dir / "tree");
    }
    // Deeper down, "%" is a plain character, as it always was.
    writeText(dir / "tree" / "sub" / "%X%.txt", "x");
    EXPECT_EQ(build(dir / "out.exe", {tree}).code, 0);

    // In a manifest "\" separates, and the colon of a name that is no drive path is the
    // problem as well.
    writeText(dir / "a.txt", "a");
    writeText(dir / "m.json", R"({"files": [{"source": "a.txt", "name": "a:b.txt"}]})");
    const Result r = build(dir / "out.exe", {"--manifest", (dir / "m.json").string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "runpack build: manifest " + (dir / "m.json").string() + ", file 0: " + colon + "\n");
}

TEST_F(ToolBuildMessages, AnUnknownLevelIsRefusedWithTheLevelsThereAre) {
    writeText(dir / "a.txt", "a");
    const Result r = build(dir / "out.exe", {"--level", "ultra", (dir / "a.txt").string()});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "runpack build: unknown level \"ultra\" (fast, ref, best or max)\nTry 'runpack build --help'.\n");
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
    const Result help = run(runBuildCommand, {"--help"});
    EXPECT_NE(help.out.find("  --level LEVEL            best: small streams at a good speed (default)\n"
                            "                           max: the smallest LZMA2 streams"),
              std::string::npos)
        << help.out;
}

TEST_F(ToolBuildMessages, APackageAboveWhatThe32BitEngineCanMapIsRefusedBeforeItsFilesAreRead) {
    // Sparse: the file claims its size without taking the room; nothing reads it.
    const fs::path big = dir / "in" / "big.bin";
    fs::create_directories(big.parent_path());
    const uint64_t size = static_cast<uint64_t>(ENGINE_PACKAGE_LIMIT) + 1;
    { std::ofstream(big.string()); }
    fs::resize_file(big, size);
    const Result r = build(dir / "out.exe", {"--method", "stored", (dir / "in").string()});
    EXPECT_EQ(r.code, 1);
    char limit[32], over[32];
    snprintf(limit, sizeof limit, "%.1f MiB", ENGINE_PACKAGE_LIMIT / 1048576.0);
    snprintf(over, sizeof over, "%.1f MiB", size / 1048576.0);
    EXPECT_EQ(r.err, "runpack build: the package would be at least " + std::to_string(size) + " bytes (" + over +
                         "), above the " + std::to_string(ENGINE_PACKAGE_LIMIT) + " bytes (" + limit +
                         ") that the 32-bit engine can map and run; split the files over several executables\n");
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
}
