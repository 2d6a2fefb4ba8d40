// The run options record and the command-line text that forwarding works with: exactly the
// records the engine accepts, and the arguments the runtime would see.
#include "package/run_options.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> record(uint32_t recordSize, uint32_t flags) {
    std::vector<uint8_t> bytes;
    for (uint32_t value : {recordSize, flags}) {
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
    }
    return bytes;
}

bool reads(const std::vector<uint8_t>& bytes, RunOptions* options) {
    return readRunOptions(bytes.data(), static_cast<uint32_t>(bytes.size()), options);
}

// composeCommandLine's result as a string, or the status name when it made none.
std::string composed(const std::string& command, const char* arguments) {
    char* line = reinterpret_cast<char*>(1);
    CommandLineStatus status = composeCommandLine(command.c_str(), arguments, &line);
    if (status != COMMAND_LINE_COMPOSED) {
        EXPECT_EQ(line, nullptr);
        return status == COMMAND_LINE_TOO_LONG ? "(too long)" : "(no memory)";
    }
    std::string text(line);
    free(line);
    return text;
}

}  // namespace

TEST(RunOptions, ReadsEveryCombinationOfTheKnownFlags) {
    for (uint32_t flags = 0; flags <= RUN_KNOWN_FLAGS; ++flags) {
        RunOptions options = {0, 0xFFFFFFFFu};
        ASSERT_TRUE(reads(record(8, flags), &options)) << flags;
        EXPECT_EQ(options.recordSize, 8u);
        EXPECT_EQ(options.flags, flags);
    }
    EXPECT_EQ(RUN_FORWARD_ARGUMENTS, 1u);
    EXPECT_EQ(RUN_EXIT_CODE_COMMAND, 2u);
    EXPECT_EQ(RUN_UTF8_NAMES, 8u);
    EXPECT_EQ(RUN_UNATTENDED, 4u);
}

TEST(RunOptions, RefusesOtherSizesSizeWordsAndUnknownFlags) {
    std::vector<uint8_t> seven = record(8, 1), nine = record(8, 1), sixteen = record(8, 1);
    seven.pop_back();
    nine.push_back(0);
    std::vector<uint8_t> second = record(8, 1);
    sixteen.insert(sixteen.end(), second.begin(), second.end());
    const std::vector<std::vector<uint8_t>> bad = {
        {}, seven, nine, sixteen,
        record(0, 1), record(7, 1), record(9, 1), record(16, 1),
        record(0x08000000, 1),  // the size word read the wrong way round
        record(8, 1u << 4), record(8, 1u << 31), record(8, RUN_KNOWN_FLAGS | 0x100),
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        RunOptions options = {123, 456};
        EXPECT_FALSE(reads(bad[i], &options)) << i;
        EXPECT_EQ(options.recordSize, 123u) << "written on refusal: " << i;
        EXPECT_EQ(options.flags, 456u) << i;
    }
    RunOptions options;
    EXPECT_FALSE(readRunOptions(nullptr, 8, &options));
}

TEST(RunOptions, ArgumentsFollowTheProgramNameAsTheRuntimeSplitsIt) {
    const struct {
        const char* line;
        const char* arguments;
    } cases[] = {
        {"app.exe", ""},
        {"app.exe ", ""},
        {"app.exe a b", "a b"},
        {"app.exe \t  a  \"b c\"  ", "a  \"b c\"  "},  // inner and trailing blanks stay
        {"\"C:\\Program Files\\app.exe\" /x \"y z\"", "/x \"y z\""},
        {"\"C:\\Program Files\\app.exe\"/x", "/x"},  // the quoted name ends at its quote
        {"\"a\"b c", "b c"},
        {"\"\" x", "x"},
        {"\"no closing quote a b", ""},
        {"app\"x y\" z", "y\" z"},  // an unquoted name ends at the first blank only
        {"app.exe\x01\x1F\x7Fz", "\x7Fz"},  // every control character is a blank; DEL is not
        {"app\xA0name.exe arg", "arg"},  // a code page's non-breaking space is no blank
        {"", ""},
        {" app.exe a", "app.exe a"},  // a leading blank: the name is empty
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(commandArguments(c.line), c.arguments) << c.line;
    }
    // The engine forwards in Unicode: the same split, and characters beyond any code page.
    const std::u16string wide = u"\"C:\\Program Files\\app.exe\"\u00A0 \u6587\u4EF6 \"\U0001F600 x\"";
    EXPECT_EQ(std::u16string(commandArguments(wide.c_str())), u"\u00A0 \u6587\u4EF6 \"\U0001F600 x\"");
    EXPECT_EQ(std::u16string(commandArguments(u"app.exe\u3000\t a")), u"a");  // only 1..32 are blanks
}

TEST(RunOptions, ComposesCommandAndArgumentsWithinTheLimit) {
    EXPECT_EQ(composed("setup.exe /q", nullptr), "setup.exe /q");
    EXPECT_EQ(composed("setup.exe /q", ""), "setup.exe /q");
    EXPECT_EQ(composed("setup.exe /q", "a \"b c\" d\\\"e"), "setup.exe /q a \"b c\" d\\\"e");
    EXPECT_EQ(composed("", "a"), " a");

    // Command, space, arguments and terminator: exactly the limit fits, one more does not.
    const std::string command(100, 'c');
    const std::string fits(COMMAND_LINE_LIMIT - command.size() - 2, 'a');
    EXPECT_EQ(composed(command, fits.c_str()), command + " " + fits);
    const std::string over = fits + "a";
    EXPECT_EQ(composed(command, over.c_str()), "(too long)");
    const std::string huge(3 * COMMAND_LINE_LIMIT, 'a');
    EXPECT_EQ(composed(command, huge.c_str()), "(too long)");
    EXPECT_EQ(composed(huge, "a"), "(too long)");
    // Without arguments a command is copied whatever its length, as before the options.
    EXPECT_EQ(composed(huge, nullptr), huge);
    EXPECT_EQ(composed(huge, ""), huge);

    // The limit counts characters, not bytes.
    const std::u16string wideCommand(100, u'\u010D');
    const std::u16string wideFits(COMMAND_LINE_LIMIT - wideCommand.size() - 2, u'\u6587');
    char16_t* line = nullptr;
    ASSERT_EQ(composeCommandLine(wideCommand.c_str(), wideFits.c_str(), &line), COMMAND_LINE_COMPOSED);
    EXPECT_EQ(std::u16string(line), wideCommand + u" " + wideFits);
    free(line);
    const std::u16string wideOver = wideFits + u"x";
    EXPECT_EQ(composeCommandLine(wideCommand.c_str(), wideOver.c_str(), &line), COMMAND_LINE_TOO_LONG);
    EXPECT_EQ(line, nullptr);
}

TEST(RunOptions, ReservedArgumentIsSeenInEverySpellingTheRuntimeReadsAsIt) {
    const char* reserved = "/runpack-remove";
    for (const char* arguments : {"/runpack-remove \"C:\\x\"", "/RunPack-REMOVE", "\"/runpack-remove\" x",
                                  "/runpack\"-\"remove", "\"/runpack-remove", "/runpack-remove\"\"\tx",
                                  "/runpack-remove\x01x", "\"\"/runpack-remove"}) {
        EXPECT_TRUE(firstArgumentIs(arguments, reserved)) << arguments;
    }
    for (const char* arguments : {"", "/runpack-removed", "/runpack-remov", "x /runpack-remove",
                                  "\"/runpack-remove x\"", "/runpack-remove\\", "\\/runpack-remove",
                                  "/runpack-remove\\\"\"", "-runpack-remove", "/runpack\xC2\xADremove"}) {
        EXPECT_FALSE(firstArgumentIs(arguments, reserved)) << arguments;
    }
    // Unicode: a fullwidth quote or solidus is no quote or slash, and a character above 0xFF
    // never matches by its low byte.
    EXPECT_TRUE(firstArgumentIs(u"\"/RUNPACK-remove\" \"C:\\x\"", reserved));
    EXPECT_FALSE(firstArgumentIs(u"\uFF02/runpack-remove", reserved));
    EXPECT_FALSE(firstArgumentIs(u"\uFF0Frunpack-remove", reserved));
    EXPECT_FALSE(firstArgumentIs(u"\u012Frunpack-remove", reserved));  // 0x12F: low byte '/'
    // The engine's own command line: a name opened by a fullwidth quote ends at the first blank,
    // so the reserved argument behind it is the first argument, as forwarding sees it.
    EXPECT_TRUE(firstArgumentIs(commandArguments(u"\uFF02x /runpack-remove \"C:\\nowhere\""), reserved));
}

TEST(RunOptions, CommandInterpretersAreKnownByTheirProgramsName) {
    for (const char* name : {"cmd.exe", "CMD.EXE", "cmd", "Cmd", "C:\\Windows\\System32\\cmd.exe",
                             "C:/Windows/system32/CMD.exe", "command.com", "COMMAND.COM", "setup.bat",
                             "SETUP~1.BAT", "x.CmD", "dir\\run.cmd", "setup.bat.", "setup.bat . .", "cmd.exe  ",
                             "setup.bat::$DATA", "setup.bat:stream", "C:setup.bat", "C:cmd", ".bat",
                             "a b\\c d.bat"}) {
        EXPECT_TRUE(isCommandInterpreter(name, strlen(name))) << name;
    }
    for (const char* name : {"", "app.exe", "cmdx.exe", "xcmd.exe", "cmd.exe.exe", "cmd.com", "command",
                             "command.exe", "setup.bat.exe", "setup.bats", "bat", "setupbat", "cmd.exe\\x.exe",
                             "C:\\a.bat\\app.exe", "C:", "powershell.exe", "x.cmdx"}) {
        EXPECT_FALSE(isCommandInterpreter(name, strlen(name))) << name;
    }
    // Only `length` characters count.
    EXPECT_TRUE(isCommandInterpreter("cmd.exe /c x.exe", 7));
    EXPECT_FALSE(isCommandInterpreter("app.exe.bat", 7));
    EXPECT_TRUE(isCommandInterpreter(u"C:\\\u6587\\setup.BAT", 14));
}

TEST(RunOptions, ProgramIsSplitFromTheCommandLikeTheEngineReadsIt) {
    const struct {
        const char* line;
        const char* program;
    } cases[] = {
        {"cmd.exe /c setup.bat", "cmd.exe"},
        {"  \t\"C:\\Program Files\\x.bat\" a", "C:\\Program Files\\x.bat"},
        {"\"unclosed name", "unclosed name"},
        {"setup.bat", "setup.bat"},
        {"\"\" cmd.exe", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        size_t start = 99, length = 99;
        commandProgram(c.line, &start, &length);
        EXPECT_EQ(std::string(c.line + start, length), c.program) << c.line;
    }
}
