// The backstop's registry side on Windows' own functions (run under Wine): the value in each
// hive, the records written as the journal is filled, and what withdrawing leaves; and which
// arguments make a backstop call.
#include "launcher/backstop.h"

#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "win32/test_files.h"

namespace {

using win32test::narrow;
using win32test::wide;

const char* const NAME = "QELTMP00112233445566FF";

std::string workDir() { return std::string("C:\\users\\someone\\Temp\\") + NAME; }

// The value `name` of `key` in `hive` as text, or "<none>".
std::string stringValue(HKEY hive, const char* key, const char* name) {
    HKEY opened = NULL;
    if (RegOpenKeyExA(hive, key, 0, KEY_READ | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS) return "<none>";
    WCHAR data[1024];
    DWORD size = sizeof(data) - sizeof(WCHAR);
    DWORD type = 0;
    std::wstring wideName(name, name + strlen(name));
    LONG status = RegQueryValueExW(opened, wideName.c_str(), NULL, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(opened);
    if (status != ERROR_SUCCESS) return "<none>";
    if (type != REG_SZ) return "<not REG_SZ>";
    data[size / sizeof(WCHAR)] = 0;
    char text[2048];
    WideCharToMultiByte(CP_UTF8, 0, data, -1, text, sizeof(text), NULL, NULL);
    return text;
}

bool keyExists(HKEY hive, const std::string& key) {
    HKEY opened = NULL;
    if (RegOpenKeyExA(hive, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS) return false;
    RegCloseKey(opened);
    return true;
}

std::vector<SetAsideRecord> records(HKEY hive) {
    std::vector<SetAsideRecord> found;
    HKEY key = NULL;
    std::string path = std::string(SET_ASIDE_KEY) + "\\" + NAME;
    if (RegOpenKeyExA(hive, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return found;
    for (int i = 0;; ++i) {
        SetAsideRecord record;
        DWORD size = sizeof(record), type = 0;
        if (RegQueryValueExA(key, std::to_string(i).c_str(), NULL, &type, reinterpret_cast<BYTE*>(&record), &size) !=
            ERROR_SUCCESS) {
            break;
        }
        EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
        EXPECT_EQ(size, sizeof(record));
        found.push_back(record);
    }
    RegCloseKey(key);
    return found;
}

std::string enginePath() {
    char path[MAX_PATH + 1];
    GetModuleFileNameA(NULL, path, sizeof(path));
    return path;
}

FileIdentity identity(uint32_t low) { return FileIdentity{0x1234, 0, low}; }

}  // namespace

TEST(Backstop, ValueInTheHiveOfTheRunsRightsUntilWithdrawn) {
    for (bool administrators : {true, false}) {
        SCOPED_TRACE(administrators ? "HKLM" : "HKCU");
        HKEY hive = administrators ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        HKEY other = administrators ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
        Backstop backstop;
        ASSERT_TRUE(registerBackstop(wide(workDir()).c_str(), administrators, &backstop));
        EXPECT_EQ(stringValue(hive, RUN_ONCE_KEY, NAME), "\"" + enginePath() + "\" /runpack-remove \"" + workDir() + "\"");
        EXPECT_EQ(stringValue(other, RUN_ONCE_KEY, NAME), "<none>");
        withdrawBackstop(&backstop, false);
        EXPECT_EQ(stringValue(hive, RUN_ONCE_KEY, NAME), "<none>");

        // Kept when the clean-up has left the tree for the next logon.
        ASSERT_TRUE(registerBackstop(wide(workDir()).c_str(), administrators, &backstop));
        withdrawBackstop(&backstop, true);
        EXPECT_NE(stringValue(hive, RUN_ONCE_KEY, NAME), "<none>");
        Backstop again;
        ASSERT_TRUE(registerBackstop(wide(workDir()).c_str(), administrators, &again));
        withdrawBackstop(&again, false);
        EXPECT_EQ(stringValue(hive, RUN_ONCE_KEY, NAME), "<none>");
    }
}

TEST(Backstop, RecordsWhatGivesTheUsersFilesBackAndOnlyThat) {
    Backstop backstop;
    ASSERT_TRUE(registerBackstop(wide(workDir()).c_str(), true, &backstop));
    CleanupJournal journal = NULL;
    FileIdentity work = identity(1), own = identity(2), users = identity(3), package = identity(4), other = identity(5);
    journalPushCreated(wide(workDir()).c_str(), &work, &journal);
    journalPushCreated(L"own.txt", &own, &journal);  // below the working directory: goes with it
    journalPushSetAside(L"D:\\app\\settings.ini", L"D:\\app\\.runpack-00000003-0badf00d.bak", &users,
                        FILE_ATTRIBUTE_READONLY, &journal);
    journalPushCreated(L"D:\\app\\settings.ini", &package, &journal);
    journalPushCreated(L"D:\\app\\new.ini", &other, &journal);  // nothing set aside there
    // Below the working directory, even of a name that stands above a set-aside entry.
    journalPushSetAside(L"settings.ini", L".runpack-1.bak", &users, 0, &journal);
    journalPushCreated(L"settings.ini", &package, &journal);

    std::vector<SetAsideRecord> written = records(HKEY_LOCAL_MACHINE);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0].kind, static_cast<uint32_t>(JOURNAL_SET_ASIDE));
    EXPECT_EQ(narrow(written[0].path), "D:\\app\\settings.ini");
    EXPECT_EQ(narrow(written[0].asidePath), "D:\\app\\.runpack-00000003-0badf00d.bak");
    EXPECT_EQ(written[0].identity.indexLow, 3u);
    EXPECT_EQ(written[0].attributes, static_cast<uint32_t>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(written[1].kind, static_cast<uint32_t>(JOURNAL_CREATED));
    EXPECT_EQ(narrow(written[1].path), "D:\\app\\settings.ini");
    EXPECT_EQ(narrow(written[1].asidePath), "");
    EXPECT_EQ(written[1].identity.indexLow, 4u);

    // Withdrawn: the records and their keys go; later pushes write nothing.
    withdrawBackstop(&backstop, false);
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, std::string(SET_ASIDE_KEY) + "\\" + NAME));
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, RUNPACK_KEY));
    journalPushSetAside(L"D:\\app\\late.ini", L"D:\\app\\.runpack-late.bak", &users, 0, &journal);
    EXPECT_TRUE(records(HKEY_LOCAL_MACHINE).empty());
    journalDrain(&journal, [](const JournalNode*) {});
}

TEST(Backstop, CallsAreTheReservedArgumentInAnyCaseAndNothingElse) {
    for (const char* call : {"/runpack-remove", "/runpack-remove \"x\"", "/RUNPACK-REMOVE", "/Runpack-Remove\tx"}) {
        EXPECT_TRUE(isBackstopCall(call)) << call;
    }
    for (const char* other : {"", "/runpack-removed", "/runpack-remov", "-runpack-remove", "x /runpack-remove",
                              "\"/runpack-remove\""}) {
        EXPECT_FALSE(isBackstopCall(other)) << other;
    }
    // The strict form is checked by the call itself: anything else is refused unread.
    EXPECT_EQ(runBackstop("/RUNPACK-REMOVE \"C:\\x\""), BACKSTOP_REFUSED);
    EXPECT_EQ(runBackstop("/runpack-remove"), BACKSTOP_REFUSED);
    EXPECT_EQ(runBackstop("/runpack-remove \"C:\\windows\""), BACKSTOP_REFUSED);
}
