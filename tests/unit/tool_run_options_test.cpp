// The run options on the tool's side: `runpack build` stores the record only when an option
// is given, `list` shows what the engine will read, and `verify` and `list` refuse a record the
// engine would refuse.
#include <optional>

#include <nlohmann/json.hpp>

#include "package/run_options.h"
#include "tool_test_support.h"

using namespace tooltest;

namespace {

class ToolRunOptions : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        input = dir / "in" / "a.txt";
        writeText(input, "a");
    }
    // The "RUNINFO" 104 bytes of `exe`, or nullopt when it has none.
    std::optional<std::vector<uint8_t>> optionsRecord(const fs::path& exe) {
        std::vector<uint8_t> package, digest, record;
        bool hasPackage = false, hasDigest = false, present = false;
        std::string error;
        EXPECT_TRUE(readRunInfo(fileBytes(exe), &package, &hasPackage, &digest, &hasDigest, &error, &record, &present))
            << error;
        if (!present) return std::nullopt;
        return record;
    }
    // Replaces the record of `exe` with `record`, keeping the package.
    void replaceRecord(const fs::path& exe, const std::vector<uint8_t>& record) {
        std::vector<uint8_t> digest;
        const std::vector<uint8_t> package = packageOf(exe, &digest);
        std::vector<uint8_t> out;
        std::string error;
        ASSERT_TRUE(embedRunInfo(fileBytes(exe), &package, &digest, &out, &error, &record)) << error;
        writeBytes(exe, out);
    }
    fs::path input;
};

std::vector<uint8_t> recordBytes(uint32_t recordSize, uint32_t flags) {
    std::vector<uint8_t> bytes;
    for (uint32_t value : {recordSize, flags}) {
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
    }
    return bytes;
}

}  // namespace

TEST_F(ToolRunOptions, NoOptionStoresNoRecordAndLeavesTheOutputAsItWas) {
    const fs::path plain = dir / "plain.exe", engineDefault = dir / "default.exe";
    ASSERT_EQ(build(plain, {"-c", "run.exe", input.string()}).code, 0);
    ASSERT_EQ(build(engineDefault, {"-c", "run.exe", "--exit-code", "engine", input.string()}).code, 0);
    EXPECT_FALSE(optionsRecord(plain).has_value());
    EXPECT_EQ(fileBytes(plain), fileBytes(engineDefault));
    // The same bytes as the package and digest alone make, as every build before the options.
    std::vector<uint8_t> digest, expected;
    const std::vector<uint8_t> package = packageOf(plain, &digest);
    std::string error;
    ASSERT_TRUE(embedRunInfo(fileBytes(engine), &package, &digest, &expected, &error)) << error;
    EXPECT_EQ(fileBytes(plain), expected);

    const Result listed = list(plain);
    EXPECT_NE(listed.out.find("\noptions: none\n"), std::string::npos) << listed.out;
    const nlohmann::json json = nlohmann::json::parse(list(plain, {"--json"}).out);
    EXPECT_EQ(json["options"], nlohmann::json::parse(
                                   R"({"forwardArguments": false, "exitCode": "engine", "unattended": false, "utf8Names": false})"));
}

TEST_F(ToolRunOptions, EachOptionAloneAndTogetherIsStoredListedAndVerified) {
    const struct {
        std::vector<std::string> args;
        uint32_t flags;
        const char* listed;
    } cases[] = {
        {{"--forward-arguments"}, 1, "forward-arguments"},
        {{"--exit-code", "command"}, 2, "exit-code command"},
        {{"--unattended"}, 4, "unattended"},
        {{"--unattended", "--exit-code", "command", "--forward-arguments"}, 7,
         "forward-arguments, exit-code command, unattended"},
        // The last --exit-code wins.
        {{"--exit-code", "command", "--unattended", "--exit-code", "engine"}, 4, "unattended"},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.listed);
        const fs::path exe = dir / ("app" + std::to_string(index++) + ".exe");
        std::vector<std::string> args = c.args;
        args.push_back(input.string());
        const Result built = build(exe, args);
        ASSERT_EQ(built.code, 0) << built.err;
        EXPECT_EQ(optionsRecord(exe), recordBytes(8, c.flags));

        const Result listed = list(exe);
        EXPECT_NE(listed.out.find(std::string("\noptions: ") + c.listed + "\n"), std::string::npos) << listed.out;
        const nlohmann::json json = nlohmann::json::parse(list(exe, {"--json"}).out)["options"];
        EXPECT_EQ(json["forwardArguments"], (c.flags & RUN_FORWARD_ARGUMENTS) != 0);
        EXPECT_EQ(json["exitCode"], (c.flags & RUN_EXIT_CODE_COMMAND) != 0 ? "command" : "engine");
        EXPECT_EQ(json["unattended"], (c.flags & RUN_UNATTENDED) != 0);
        const Result verified = verify(exe);
        EXPECT_EQ(verified.code, 0) << verified.err;
    }
}

TEST_F(ToolRunOptions, ARecordTheEngineWouldRefuseFailsVerifyAndList) {
    const fs::path exe = dir / "app.exe";
    ASSERT_EQ(build(exe, {"--unattended", input.string()}).code, 0);
    std::vector<uint8_t> shortRecord = recordBytes(8, 4);
    shortRecord.pop_back();
    for (const std::vector<uint8_t>& record :
         {shortRecord, recordBytes(12, 4), recordBytes(8, 1u << 4), std::vector<uint8_t>()}) {
        SCOPED_TRACE(testing::PrintToString(record));
        replaceRecord(exe, record);
        const Result verified = verify(exe);
        EXPECT_EQ(verified.code, 1);
        EXPECT_NE(verified.err.find("run options (RUNINFO 104) are malformed"), std::string::npos) << verified.err;
        EXPECT_NE(verified.err.find("FAILED"), std::string::npos) << verified.err;
        const Result listed = list(exe);
        EXPECT_EQ(listed.code, 1);
        EXPECT_NE(listed.err.find("run options (RUNINFO 104) are malformed"), std::string::npos) << listed.err;
    }
}

TEST_F(ToolRunOptions, UsageErrorsAndHelp) {
    const fs::path exe = dir / "app.exe";
    Result r = build(exe, {"--exit-code", "child", input.string()});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("unknown exit code \"child\" (engine or command)"), std::string::npos) << r.err;
    EXPECT_EQ(build(exe, {input.string(), "--exit-code"}).code, 2);
    EXPECT_FALSE(fs::exists(exe));

    // Detach does not wait: the option is kept, with a warning.
    r = build(exe, {"--cleanup", "detach", "--exit-code", "command", input.string()});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("warning: --exit-code command has no effect with --cleanup detach"), std::string::npos);
    EXPECT_EQ(optionsRecord(exe), recordBytes(8, RUN_EXIT_CODE_COMMAND));

    const std::string help = run(runBuildCommand, {"--help"}).out;
    for (const char* option : {"--forward-arguments", "--exit-code command", "--exit-code engine", "--unattended"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
}

TEST_F(ToolRunOptions, ForwardingToACommandInterpreterIsRefused) {
    const fs::path exe = dir / "app.exe";
    for (const char* command : {"cmd.exe /c setup.bat", "CMD /c run", "\"C:\\Windows\\System32\\cmd.exe\" /k",
                                "setup.bat", "tools\\Setup.CMD x", "command.com /c x", "setup.bat. x"}) {
        SCOPED_TRACE(command);
        const Result built = build(exe, {"-c", command, "--forward-arguments", input.string()});
        EXPECT_EQ(built.code, 1);
        EXPECT_NE(built.err.find("command interpreter"), std::string::npos) << built.err;
        EXPECT_FALSE(fs::exists(exe));
        // Without forwarding the same command is the package author's own and is built.
        ASSERT_EQ(build(exe, {"-c", command, input.string()}).code, 0);
        fs::remove(exe);
    }
    // A program that only looks like one, and a batch file passed as an argument, forward.
    for (const char* command : {"cmdtool.exe", "app.exe setup.bat", "\"my cmd.exe.dir\\app.exe\""}) {
        SCOPED_TRACE(command);
        const Result built = build(exe, {"-c", command, "--forward-arguments", input.string()});
        EXPECT_EQ(built.code, 0) << built.err;
        fs::remove(exe);
    }
}
