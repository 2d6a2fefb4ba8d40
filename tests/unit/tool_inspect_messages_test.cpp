// What list, verify, extract and lzhuf say, line for line, and their exit codes: 2 for a
// command line they cannot read, 1 for a refusal or a package the engine would not run.
#include "runpack/commands/lzhuf_command.h"
#include "tool_test_support.h"

using namespace tooltest;

namespace {

class ToolInspectMessages : public ToolTest {
protected:
    // A built executable with one file.
    fs::path sampleExe() {
        writeText(dir / "in" / "a.txt", "alpha");
        const fs::path exe = dir / "app.exe";
        const Result r = build(exe, {(dir / "in").string()});
        EXPECT_EQ(r.code, 0) << r.err;
        return exe;
    }
    // Replaces the digest of `exe`'s package (null: no digest resource at all).
    void replaceDigest(const fs::path& exe, const std::vector<uint8_t>* digest) {
        const std::vector<uint8_t> package = packageOf(exe);
        std::vector<uint8_t> image;
        std::string error;
        ASSERT_TRUE(embedRunInfo(fileBytes(exe), &package, digest, &image, &error)) << error;
        writeBytes(exe, image);
    }
};

// Runs the test's commands from `dir`, so that a relative name may begin with "-".
class InDirectory {
public:
    explicit InDirectory(const fs::path& dir) : previous_(fs::current_path()) { fs::current_path(dir); }
    ~InDirectory() { fs::current_path(previous_); }

private:
    fs::path previous_;
};

int runLzhuf(std::vector<std::string> words, std::ostream& out, std::ostream& err) {
    std::vector<char*> args;
    for (std::string& word : words) args.push_back(&word[0]);
    return runLzhufCommand(static_cast<int>(args.size()), args.data(), out, err);
}

}  // namespace

TEST_F(ToolInspectMessages, ListWarnsAndFailsWhenThePackageDigestIsMissingOrMalformed) {
    const fs::path exe = sampleExe();
    const Result good = list(exe), goodJson = list(exe, {"--json"});
    EXPECT_EQ(good.code, 0);
    EXPECT_EQ(good.err, "");

    const std::vector<uint8_t> wrong(20, 0xAB);
    const std::vector<uint8_t> longer(21, 0);
    // A digest of the right size that does not match: list reads the entries, not the data
    // the digest covers, and says nothing; verify finds it (below).
    replaceDigest(exe, &wrong);
    for (const std::vector<std::string>& extra : {std::vector<std::string>{}, std::vector<std::string>{"--json"}}) {
        const Result r = list(exe, extra);
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, extra.empty() ? good.out : goodJson.out);
    }
    EXPECT_EQ(verify(exe).err, "runpack verify: package digest does not match the package\n"
                               "runpack verify: " + exe.string() + " FAILED\n");
    const std::vector<std::pair<const std::vector<uint8_t>*, std::string>> digests = {
        {&longer, "package digest is 21 bytes, not 20"},
        {nullptr, "no package digest (RUNINFO 103)"},
    };
    for (const auto& [digest, problem] : digests) {
        SCOPED_TRACE(problem);
        replaceDigest(exe, digest);
        for (const std::vector<std::string>& extra : {std::vector<std::string>{}, std::vector<std::string>{"--json"}}) {
            const Result r = list(exe, extra);
            EXPECT_EQ(r.code, 1);
            EXPECT_EQ(r.err, "runpack list: warning: " + problem + ": the engine refuses to run this executable\n");
            // The listing is still all there, to see what the executable holds.
            EXPECT_EQ(r.out, extra.empty() ? good.out : goodJson.out);
        }
    }
}

TEST_F(ToolInspectMessages, EveryLineOfVerifyAndExtractNamesItsCommand) {
    const fs::path exe = sampleExe();
    const std::vector<uint8_t> wrong(20, 0);
    replaceDigest(exe, &wrong);
    const Result verified = verify(exe);
    EXPECT_EQ(verified.code, 1);
    EXPECT_EQ(verified.err, "runpack verify: package digest does not match the package\n"
                            "runpack verify: " + exe.string() + " FAILED\n");
    const Result extracted = extract(exe, dir / "out");
    EXPECT_EQ(extracted.code, 1);
    EXPECT_EQ(extracted.err, "runpack extract: package digest does not match the package\n"
                             "runpack extract: " + exe.string() + " does not verify; nothing extracted\n");
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST_F(ToolInspectMessages, TwoDashesEndTheOptionsOfEveryCommand) {
    InDirectory here(dir);
    writeText(dir / "-in.txt", "dash");
    // build: an input and an output whose names begin with "-".
    Result r = run(runBuildCommand, {"--engine", engine.string(), "-o", "-app.exe", "--", "-in.txt"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");

    r = run(runVerifyCommand, {"--", "-app.exe"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "-app.exe: OK, 1 files, 4 bytes unpacked\n");
    r = run(runListCommand, {"--json", "--", "-app.exe"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("\"destination\": \"-in.txt\""), std::string::npos) << r.out;
    r = run(runExtractCommand, {"-C", "-out", "--", "-app.exe"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(fileBytes(dir / "-out" / "-in.txt"), (std::vector<uint8_t>{'d', 'a', 's', 'h'}));

    std::ostringstream out, err;
    EXPECT_EQ(runLzhuf({"encode", "--level", "fast", "--", "-in.txt", "-packed"}, out, err), 0) << err.str();
    EXPECT_EQ(runLzhuf({"decode", "--", "-packed", "-back", "4"}, out, err), 0) << err.str();
    EXPECT_EQ(fileBytes(dir / "-back"), (std::vector<uint8_t>{'d', 'a', 's', 'h'}));

    // Without "--" such a name is an unknown option; after it even "--help" is a file name.
    r = run(runVerifyCommand, {"-app.exe"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "runpack verify: unknown option -app.exe\nTry 'runpack verify --help'.\n");
    r = run(runVerifyCommand, {"--", "--help"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "runpack verify: cannot open --help for reading: No such file or directory\n");
    r = run(runListCommand, {"--", "-app.exe", "-other.exe"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "runpack list: one EXE only\nTry 'runpack list --help'.\n");
}

TEST_F(ToolInspectMessages, ExtractTakesTheFolderAfterTheExeOrAfterCButNotBoth) {
    const fs::path exe = sampleExe();
    Result r = run(runExtractCommand, {exe.string(), (dir / "positional").string()});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "extracted 1 files to " + (dir / "positional").string() + "\n");
    EXPECT_EQ(fileBytes(dir / "positional" / "a.txt"), (std::vector<uint8_t>{'a', 'l', 'p', 'h', 'a'}));
    // After "--" too: EXE, then DIR.
    r = run(runExtractCommand, {"--force", "--", exe.string(), (dir / "positional").string()});
    EXPECT_EQ(r.code, 0) << r.err;

    r = run(runExtractCommand, {exe.string(), "one", "-C", "two"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "runpack extract: DIR given twice: give either -C DIR or DIR after EXE\n"
                     "Try 'runpack extract --help'.\n");
    r = run(runExtractCommand, {exe.string(), "one", "two"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "runpack extract: one EXE and one DIR only\nTry 'runpack extract --help'.\n");
    r = run(runExtractCommand, {exe.string()});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "runpack extract: no target: give DIR after EXE, or -C DIR\nTry 'runpack extract --help'.\n");
    EXPECT_FALSE(fs::exists(dir / "one"));
    EXPECT_FALSE(fs::exists(dir / "two"));
}
