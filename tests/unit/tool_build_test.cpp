// `runpack build`: what it refuses, and that a refusal leaves no output behind.
#include <iconv.h>
#include <string.h>

#include "package/package_reader.h"
#include "runpack/package/package_writer.h"
#include "support/package_builder.h"
#include "runpack/package/destination_rules.h"
#include "runpack/package/text_encoding.h"
#include "tool_test_support.h"

using namespace tooltest;

namespace {

class ToolBuild : public ToolTest {
protected:
    // Builds from `args`; expects a refusal whose message contains `needle` and no output.
    void expectRefused(const std::vector<std::string>& args, const std::string& needle) {
        const fs::path out = dir / "out.exe";
        const Result r = build(out, args);
        EXPECT_EQ(r.code, 1) << r.err;
        EXPECT_NE(r.err.find(needle), std::string::npos) << "message: " << r.err;
        EXPECT_FALSE(fs::exists(out));
        EXPECT_FALSE(fs::exists(dir / "out.exe.partial"));
    }
    // The entries' names and directories in the built package, as stored.
    std::vector<std::pair<std::string, std::string>> destinations(const fs::path& exe) {
        const std::vector<uint8_t> package = packageOf(exe);
        std::vector<std::pair<std::string, std::string>> found;
        PackageHeader header{};
        header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
        uint32_t offset = 0;
        EXPECT_TRUE(readHeader(package.data(), uint32_t(package.size()), &offset, &header));
        for (uint32_t i = 0; i < header.fileCount; ++i) {
            FileEntry e{};
            e.recordSize = FILE_ENTRY_RECORD_SIZE;
            EXPECT_TRUE(readEntry(package.data(), uint32_t(package.size()), offset, &offset, &e));
            found.push_back({e.directory ? e.directory : "(absent)", e.name});
        }
        return found;
    }
};

}  // namespace

TEST_F(ToolBuild, RefusesNamesWindowsCannotHold) {
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"CON", "reserved device name"},     {"nul.txt", "reserved device name"},
        {"com1.log", "reserved device name"}, {"a<b", "does not allow"},
        {"a|b", "does not allow"},            {"why?", "does not allow"},
        {"star*", "does not allow"},          {"quote\"d", "does not allow"},
        {"trailing.", "ends in a dot"},       {"trailing ", "ends in a dot or a space"},
        {"tab\there", "control character"},
    };
    for (const auto& [name, reason] : bad) {
        SCOPED_TRACE(name);
        const fs::path input = dir / "in" / name;
        writeText(input, "x");
        expectRefused({input.string()}, reason);
        // The same name deeper in a directory input is refused as well.
        expectRefused({(dir / "in").string()}, reason);
        fs::remove_all(dir / "in");
    }
    // A directory on the way with a bad name.
    writeText(dir / "tree" / "aux" / "ok.txt", "x");
    expectRefused({(dir / "tree").string()}, "reserved device name");
}

TEST_F(ToolBuild, RefusesDotDotAndRootedDestinationsOutsideToAndManifest) {
    writeText(dir / "a.txt", "a");
    expectRefused({"--to", "sub\\..\\..\\x", (dir / "a.txt").string()}, "\"..\"");
    writeText(dir / "m.json", R"({"files": [{"source": "a.txt", "name": "..\\a.txt"}]})");
    expectRefused({"--manifest", (dir / "m.json").string()}, "\"..\"");
    writeText(dir / "m.json", R"({"files": [{"source": "a.txt", "name": "C:\\x\\a.txt"}]})");
    expectRefused({"--manifest", (dir / "m.json").string()}, "must be relative");
    writeText(dir / "m.json", R"({"files": [{"source": "a.txt", "directory": "C:x"}]})");
    expectRefused({"--manifest", (dir / "m.json").string()}, "not a drive path");
    writeText(dir / "m.json", R"({"files": [{"source": "a.txt", "size": 3}]})");
    expectRefused({"--manifest", (dir / "m.json").string()}, "unknown key \"size\"");
    writeText(dir / "m.json", R"({"files": [)");
    expectRefused({"--manifest", (dir / "m.json").string()}, "not valid JSON");

    // Absolute and variable destinations are fine through --to and the manifest.
    writeText(dir / "m.json", R"({"files": [{"source": "a.txt", "directory": "%APPDATA%\\Tools"},
                                             {"source": "a.txt", "name": "b.txt", "directory": "\\\\srv\\share\\d"}]})");
    const fs::path out = dir / "ok.exe";
    const Result r = build(out, {"--to", "C:/Tools/x/", (dir / "a.txt").string(), "--manifest", (dir / "m.json").string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(destinations(out), (std::vector<std::pair<std::string, std::string>>{
                                     {"C:\\Tools\\x", "a.txt"}, {"%APPDATA%\\Tools", "a.txt"}, {"\\\\srv\\share\\d", "b.txt"}}));
}

TEST_F(ToolBuild, DestinationLengthCountsTheLongestWorkingDirectory) {
    writeText(dir / "f", "x");
    const fs::path out = dir / "out.exe";
    // Relative: 260 + "\" + directory + "\" + "f" must stay within 519 characters.
    const std::string fits(519 - 261 - 2, 'd');
    ASSERT_EQ(build(out, {"--to", fits, (dir / "f").string()}).code, 0);
    fs::remove(out);
    expectRefused({"--to", fits + "d", (dir / "f").string()}, "too long");
    // Absolute: the path itself within 519.
    const std::string drive = "C:\\" + std::string(519 - 3 - 2, 'd');
    ASSERT_EQ(build(out, {"--to", drive, (dir / "f").string()}).code, 0);
    fs::remove(out);
    expectRefused({"--to", drive + "d", (dir / "f").string()}, "too long");
}

TEST_F(ToolBuild, NonAsciiNamesAreUtf8UnlessACodePageIsGiven) {
    const std::string czech = "p\xC5\x99\xC3\xADli\xC5\xA1.txt";  // "příliš.txt"
    writeText(dir / czech, "x");
    writeText(dir / "plain.txt", "x");
    const fs::path out = dir / "cz.exe";

    // Without a code page the names and the command are stored as they are, in UTF-8, and the
    // run options say so; list and extract read them back.
    ASSERT_EQ(build(out, {"-c", "run \xC5\x99", "--to", "\xC5\xBDlu\xC5\xA5", (dir / czech).string()}).code, 0);
    EXPECT_EQ(destinations(out), (std::vector<std::pair<std::string, std::string>>{{"\xC5\xBDlu\xC5\xA5", czech}}));
    Result listed = list(out);
    EXPECT_NE(listed.out.find("utf8 names"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find(czech), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("run \xC5\x99"), std::string::npos) << listed.out;
    EXPECT_EQ(verify(out).code, 0);
    fs::remove(out);
    // ASCII alone: no record, as before.
    ASSERT_EQ(build(out, {(dir / "plain.txt").string()}).code, 0);
    EXPECT_EQ(list(out).out.find("utf8 names"), std::string::npos);
    fs::remove(out);
    // Asked for, even for ASCII; never together with a code page.
    ASSERT_EQ(build(out, {"--names", "utf8", (dir / "plain.txt").string()}).code, 0);
    EXPECT_NE(list(out).out.find("utf8 names"), std::string::npos);
    fs::remove(out);
    EXPECT_EQ(build(out, {"--names", "utf8", "--codepage", "1250", (dir / "plain.txt").string()}).code, 2);
    EXPECT_EQ(build(out, {"--names", "latin", (dir / "plain.txt").string()}).code, 2);

    // A code page keeps the bytes as they always were.
    ASSERT_EQ(build(out, {"--codepage", "1250", "--to", "\xC5\xBDlu\xC5\xA5", (dir / czech).string()}).code, 0);
    EXPECT_EQ(destinations(out), (std::vector<std::pair<std::string, std::string>>{
                                     {"\x8Elu\x9D", "p\xF8\xEDli\x9A.txt"}}));
    EXPECT_EQ(list(out).out.find("utf8 names"), std::string::npos);
    // Code page 1252 has no "ř".
    fs::remove(out);
    expectRefused({"--codepage", "1252", (dir / czech).string()}, "cannot hold");
    // A name that is not UTF-8 cannot be stored as UTF-8.
    const std::string broken = "bad\xC5.txt";
    writeText(dir / broken, "x");
    expectRefused({(dir / broken).string()}, "bad\\xC5.txt");  // shown escaped
}

TEST_F(ToolBuild, AppliesTheEngineRuleToTheBytesInTheTargetCodePage) {
    // "COM\u00B9" is a device on Windows; only its code-page form shows the port digit.
    const std::string superscript = "COM\xC2\xB9.log";
    writeText(dir / superscript, "x");
    writeText(dir / "in.txt", "x");
    expectRefused({"--codepage", "1252", (dir / superscript).string()}, "reserved device name");
    expectRefused({"--codepage", "1252", "--to", "logs\\" + superscript, (dir / "in.txt").string()},
                  "reserved device name");
}

TEST_F(ToolBuild, RefusesUnreadableInputsAndDuplicateDestinations) {
    expectRefused({(dir / "missing.txt").string()}, "does not exist");
    writeText(dir / "one" / "same.txt", "1");
    writeText(dir / "two" / "SAME.TXT", "2");
    expectRefused({(dir / "one" / "same.txt").string(), (dir / "two" / "SAME.TXT").string()},
                  "same destination");
    // A failed build leaves an existing output as it was.
    const fs::path out = dir / "out.exe";
    writeText(out, "previous");
    const Result r = build(out, {(dir / "missing.txt").string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(fileBytes(out), std::vector<uint8_t>({'p', 'r', 'e', 'v', 'i', 'o', 'u', 's'}));
}

TEST_F(ToolBuild, MalformedEngineOrExecutableIsOneLineAndExitCode1) {
    writeText(dir / "a.txt", "a");
    const fs::path crafted = dir / "crafted.exe";
    const fs::path out = dir / "out.exe";
    for (uint32_t headersSize : {0x40u, 0xFFFFF000u}) {
        SCOPED_TRACE(headersSize);
        std::vector<uint8_t> bytes = fileBytes(engine);
        for (int i = 0; i < 4; ++i) bytes[TEST_OPTIONAL_HEADER + 60 + i] = uint8_t(headersSize >> (8 * i));
        writeBytes(crafted, bytes);
        const std::string reason = headersSize == 0x40 ? "malformed PE image: SizeOfHeaders does not cover the section table"
                                                       : "truncated PE image: SizeOfHeaders beyond the end of the file";
        const Result built = run(runBuildCommand, {"--engine", crafted.string(), "-o", out.string(), (dir / "a.txt").string()});
        EXPECT_EQ(built.code, 1);
        EXPECT_EQ(built.err, "runpack build: engine " + crafted.string() + ": " + reason + "\n");
        EXPECT_FALSE(fs::exists(out));
        // The same file handed to the inspecting commands.
        for (auto command : {runListCommand, runVerifyCommand}) {
            const Result r = run(command, {crafted.string()});
            EXPECT_EQ(r.code, 1);
            EXPECT_NE(r.err.find(crafted.string() + ": " + reason + "\n"), std::string::npos) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
        const Result extracted = extract(crafted, dir / "x");
        EXPECT_EQ(extracted.code, 1);
        EXPECT_EQ(std::count(extracted.err.begin(), extracted.err.end(), '\n'), 1) << extracted.err;
        EXPECT_FALSE(fs::exists(dir / "x"));
    }
}

TEST_F(ToolBuild, NeverWritesThroughWhatStandsAtTheTemporaryName) {
    writeText(dir / "a.txt", "payload");
    writeText(dir / "victim.txt", "the user's own");
    const fs::path out = dir / "out.exe";
    // A link planted where the output is first written, and a stale file a killed build left.
    fs::create_symlink(dir / "victim.txt", dir / "out.exe.partial");
    Result r = build(out, {(dir / "a.txt").string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(fileBytes(dir / "victim.txt"), std::vector<uint8_t>({'t', 'h', 'e', ' ', 'u', 's', 'e', 'r', '\'', 's',
                                                                   ' ', 'o', 'w', 'n'}));
    EXPECT_FALSE(fs::is_symlink(out));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "out.exe.partial")));
    EXPECT_EQ(verify(out).code, 0);

    fs::remove(out);
    writeText(dir / "out.exe.partial", std::string(100000, 'x'));
    r = build(out, {(dir / "a.txt").string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(verify(out).code, 0);
    EXPECT_FALSE(fs::exists(dir / "out.exe.partial"));
}

TEST_F(ToolBuild, UsageErrorsAndHelp) {
    EXPECT_EQ(run(runBuildCommand, {"a.txt"}).code, 2);
    EXPECT_EQ(run(runBuildCommand, {"-o", "x.exe"}).code, 2);
    EXPECT_EQ(run(runBuildCommand, {"-o", "x.exe", "--cleanup", "never", "a"}).code, 2);
    EXPECT_EQ(run(runBuildCommand, {"-o", "x.exe", "--codepage", "437", "a"}).code, 2);
    const Result help = run(runBuildCommand, {"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char* option : {"--cleanup", "--method", "--to", "--manifest", "--engine", "--codepage", "--jobs"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

TEST(DestinationRules, ComponentsAndLengths) {
    std::string error, normalized;
    DestinationKind kind;
    for (const char* ok : {"a", "a.b", "CONSOLE", "com10", "LPT", ".hidden", "%X%", "x y"})
        EXPECT_TRUE(checkComponent(ok, &error)) << ok << ": " << error;
    for (const char* bad : {"", ".", "..", "lpt9", "Aux.tar.gz", "a:b", "a\x7f"})
        EXPECT_FALSE(checkComponent(bad, &error)) << bad;
    ASSERT_TRUE(normalizeDirectory("/a//b\\c/", false, &normalized, &kind, &error));
    EXPECT_EQ(normalized, "a\\b\\c");
    ASSERT_TRUE(normalizeDirectory("c:\\", true, &normalized, &kind, &error));
    EXPECT_EQ(normalized, "c:");
    EXPECT_EQ(kind, DestinationKind::Absolute);
    ASSERT_TRUE(normalizeDirectory("%TEMP%\\x", true, &normalized, &kind, &error));
    EXPECT_EQ(kind, DestinationKind::Variable);
    EXPECT_FALSE(normalizeDirectory("%TEMP%\\x", false, &normalized, &kind, &error));
    EXPECT_FALSE(normalizeDirectory("\\\\server", true, &normalized, &kind, &error));
    EXPECT_TRUE(checkDestinationLength("c:", std::string(516, 'n'), DestinationKind::Absolute, &error));
    EXPECT_FALSE(checkDestinationLength("c:", std::string(517, 'n'), DestinationKind::Absolute, &error));
    EXPECT_TRUE(checkDestinationLength("", std::string(258, 'n'), DestinationKind::Variable, &error));
    EXPECT_FALSE(checkDestinationLength("", std::string(259, 'n'), DestinationKind::Relative, &error));
}

TEST(TextEncoding, TablesMatchTheSystemConverter) {
    // Every byte 0x80..0xFF decodes as the C library's iconv decodes it, and encodes back.
    for (uint32_t codePage : {CODE_PAGE_CENTRAL_EUROPEAN, CODE_PAGE_WESTERN}) {
        const std::string name = "CP" + std::to_string(codePage);
        iconv_t converter = iconv_open("UTF-8", name.c_str());
        ASSERT_NE(converter, iconv_t(-1)) << name;
        for (int b = 0x80; b <= 0xFF; ++b) {
            char in[1] = {char(b)}, out[8];
            char* inPointer = in;
            char* outPointer = out;
            size_t inLeft = 1, outLeft = sizeof out;
            iconv(converter, nullptr, nullptr, nullptr, nullptr);
            const bool defined = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft) != size_t(-1);
            const std::string byte(1, char(b));
            const std::string decoded = decodeAnsi(byte, codePage);
            if (!defined) {
                EXPECT_EQ(decoded, "\xEF\xBF\xBD") << name << " byte " << b;  // U+FFFD
                continue;
            }
            const std::string expected(out, outPointer);
            EXPECT_EQ(decoded, expected) << name << " byte " << b;
            std::string back, error;
            ASSERT_TRUE(encodeAnsi(expected, codePage, &back, &error)) << error;
            EXPECT_EQ(back, byte) << name << " byte " << b;
        }
        iconv_close(converter);
    }
}

TEST(PackageWriter, EmitsExactlyTheItemLayout) {
    // Compared with the test-side builder: absent and empty texts, a file without data.
    PackageContents contents;
    contents.cleanupMode = CLEANUP_DETACH;
    PackageFile a;
    a.name = "a.txt";
    a.hasDirectory = true;
    a.directory = "sub";
    a.packed = {'h', 'i', '!'};
    a.unpackedSize = 3;
    a.digest = sha1Digest(a.packed);
    PackageFile empty;
    empty.name = "";
    empty.digest = sha1Digest({});
    contents.files = {a, empty};
    std::vector<uint8_t> written;
    std::string error;
    ASSERT_TRUE(writePackage(contents, &written, &error)) << error;

    TestPackage expected;
    expected.cleanupMode = CLEANUP_DETACH;
    expected.entries.resize(2);
    expected.entries[0].name = std::string("a.txt");
    expected.entries[0].directory = std::string("sub");
    expected.entries[0].content = {'h', 'i', '!'};
    expected.entries[1].name = std::string("");
    EXPECT_EQ(written, buildPackage(expected));

    contents.hasCommand = true;
    contents.command = "";
    expected.command = std::string("");
    ASSERT_TRUE(writePackage(contents, &written, &error)) << error;
    EXPECT_EQ(written, buildPackage(expected));
}
