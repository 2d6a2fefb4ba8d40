#include "extract/destination_rule.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

DestinationVerdict check(const std::string& path) {
    return checkDestination(path.data(), static_cast<uint32_t>(path.size()));
}

}  // namespace

TEST(DestinationRule, AcceptsWhatPackagesInUseName)
{
    for (const char* path : {"a.txt", "sub\\a.txt", "sub\\\\a.txt", "\\sub\\a.txt", "sub\\x/a.txt",
                             "//sub/a.txt", "D:\\data\\a.txt", "d:/data/a.txt", "C:\\", "\\\\server\\share\\d\\a.txt",
                             "%DATADIR%\\d\\a.txt", "%NOSUCHVAR%\\d\\a.txt", "sub\\", "", ".hidden",
                             "a..b", "console.txt", "COM10", "lpt", "NULL", "con1.txt", "COMa"}) {
        EXPECT_EQ(check(path), DESTINATION_OK) << path;
    }
}

TEST(DestinationRule, RefusesClimbingOutWithDotDotAnywhere)
{
    for (const char* path : {"..", "..\\escaped.txt", "sub\\..\\..\\x", "sub/../x", "C:\\a\\..\\b",
                             "\\\\server\\share\\..\\x", "%TEMP%\\..\\x", "sub\\.."}) {
        EXPECT_EQ(check(path), DESTINATION_DOT_DOT) << path;
    }
}

TEST(DestinationRule, RefusesDriveRelativeFormsAndRootsWithoutALetter)
{
    EXPECT_EQ(check("C:name"), DESTINATION_DRIVE_RELATIVE);
    EXPECT_EQ(check("C:"), DESTINATION_DRIVE_RELATIVE);
    EXPECT_EQ(check("c:..\\x"), DESTINATION_DRIVE_RELATIVE);
    EXPECT_EQ(check("a:b"), DESTINATION_DRIVE_RELATIVE);  // drive A:, file b
    // A crafted "directory" of "/:/outside/dir" must not become a root anywhere.
    EXPECT_EQ(check("/:/outside/dir\\a.txt"), DESTINATION_BAD_ROOT);
    EXPECT_EQ(check("1:\\x"), DESTINATION_BAD_ROOT);
    EXPECT_EQ(check("?:\\x"), DESTINATION_BAD_ROOT);
}

TEST(DestinationRule, RefusesColonsAfterTheRoot)
{
    for (const char* path : {"ab:c", "a.txt:stream", "sub\\a.txt::$DATA", "C:\\x\\y:z", "sub\\C:\\x",
                             "%=C:%\\x"}) {
        EXPECT_EQ(check(path), DESTINATION_COLON) << path;
    }
}

TEST(DestinationRule, RefusesDeviceNamesWithAnyExtensionOrCase)
{
    for (const char* path : {"CON", "con", "sub\\nul.txt", "Aux.tar.gz", "PRN", "com1", "LPT9.log",
                             "COM0", "CONIN$", "conout$", "nul .txt", "C:\\dir\\CON\\x.txt",
                             "\\\\server\\share\\aux"}) {
        EXPECT_EQ(check(path), DESTINATION_DEVICE_NAME) << path;
    }
    // Windows counts the superscripts 1, 2 and 3 as port digits: bytes B9, B2, B3 in 1252.
    // And in UTF-8, for packages whose names are UTF-8: C2 B9, C2 B2, C2 B3.
    for (const char* path : {"COM\xB9", "lpt\xB2.txt", "sub\\Com\xB3 .log", "COM\xC2\xB9", "lpt\xC2\xB2.txt",
                             "sub\\Com\xC2\xB3 .log"}) {
        EXPECT_EQ(check(path), DESTINATION_DEVICE_NAME) << path;
    }
    EXPECT_EQ(check("COM\xB4"), DESTINATION_OK);  // an acute accent, not a digit
}

TEST(DestinationRule, RefusesPartsEndingInDotOrSpace)
{
    for (const char* path : {"a.", "a ", "sub.\\a.txt", "sub \\a.txt", ".", "sub\\.\\a", "..."}) {
        EXPECT_EQ(check(path), DESTINATION_TRAILING_DOT_OR_SPACE) << path;
    }
}

TEST(DestinationRule, RefusesTheDeviceNamespace)
{
    EXPECT_EQ(check("\\\\.\\PhysicalDrive0"), DESTINATION_DEVICE_NAMESPACE);
    EXPECT_EQ(check("\\\\?\\C:\\x"), DESTINATION_DEVICE_NAMESPACE);
    EXPECT_EQ(check("\\\\?"), DESTINATION_DEVICE_NAMESPACE);
}

TEST(DestinationRule, ExaminesExactlyTheGivenLength)
{
    const char path[] = "ok.txt\\..";
    EXPECT_EQ(checkDestination(path, 6), DESTINATION_OK);
    EXPECT_EQ(checkDestination(path, sizeof(path) - 1), DESTINATION_DOT_DOT);
    for (int verdict = DESTINATION_DOT_DOT; verdict <= DESTINATION_CONTROL_CHARACTER; ++verdict) {
        EXPECT_GT(strlen(describeDestinationVerdict(static_cast<DestinationVerdict>(verdict))), 10u);
    }
}

TEST(DestinationRule, RefusesControlCharactersAnywhere)
{
    for (const char* path : {"a\rb.txt", "dir\x1b[K\\a.txt", "C:\\x\\bell\x07", "\\\\srv\x7f\\share\\a",
                             "%TEMP%\\\ttab", "name\x01"}) {
        EXPECT_EQ(check(path), DESTINATION_CONTROL_CHARACTER) << path;
    }
    // Bytes from 0x80 up are letters in some code page: the rule leaves them to the code page.
    EXPECT_EQ(check("P\xF8\xEDli\x9A\\\x80\x81\x9B.txt"), DESTINATION_OK);
}
