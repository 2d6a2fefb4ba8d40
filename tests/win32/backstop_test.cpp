// The backstop's registry side on Windows' own functions (run under Wine): the value in each
// hive, the records written as the journal is filled, and what withdrawing leaves; and which
// arguments make a backstop call.
#include "launcher/backstop.h"

#include <windows.h>

#include <sddl.h>
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

std::vector<BYTE> readWhole(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return std::vector<BYTE>();
    std::vector<BYTE> bytes(GetFileSize(file, NULL));
    DWORD got = 0;
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, NULL);
    CloseHandle(file);
    bytes.resize(got);
    return bytes;
}

const IMAGE_NT_HEADERS* ntHeaders(const std::vector<BYTE>& file) {
    if (file.size() < sizeof(IMAGE_DOS_HEADER)) return nullptr;
    LONG at = reinterpret_cast<const IMAGE_DOS_HEADER*>(file.data())->e_lfanew;
    if (at < 0 || static_cast<size_t>(at) + sizeof(IMAGE_NT_HEADERS) > file.size()) return nullptr;
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(file.data() + at);
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
        std::string value = stringValue(hive, RUN_ONCE_KEY, NAME);
        // Either way a remover in a directory of its own below the Windows directory's Temp,
        // never the engine where it was started; an elevated run's names the run's user.
        char windows[MAX_PATH + 1];
        GetSystemWindowsDirectoryA(windows, sizeof(windows));
        std::string remover = narrow(backstop.remover.path) + "\\" REMOVER_NAME;
        // The path as the held directory gives it: the case is the file system's.
        std::string expected = std::string(windows) + "\\Temp\\QELTMP";
        EXPECT_EQ(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, remover.c_str(), (int)expected.size(),
                                 expected.c_str(), (int)expected.size()),
                  CSTR_EQUAL)
            << remover;
        std::string call = "\"" + remover + "\" /runpack-remove \"" + workDir() + "\"";
        if (administrators) {
            EXPECT_EQ(value.rfind(call + " S-1-", 0), 0u) << value;
        } else {
            EXPECT_EQ(value, call);
        }
        EXPECT_NE(GetFileAttributesA(remover.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(stringValue(other, RUN_ONCE_KEY, NAME), "<none>");
        withdrawBackstop(&backstop, false);
        EXPECT_EQ(stringValue(hive, RUN_ONCE_KEY, NAME), "<none>");
        // The copy and its directory go with the value.
        EXPECT_EQ(GetFileAttributesA(remover.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetFileAttributesA(remover.substr(0, remover.rfind('\\')).c_str()), INVALID_FILE_ATTRIBUTES);

        // Kept when the clean-up has left the tree for the next logon, with its remover.
        ASSERT_TRUE(registerBackstop(wide(workDir()).c_str(), administrators, &backstop));
        std::string kept = narrow(backstop.remover.path) + "\\" REMOVER_NAME;
        withdrawBackstop(&backstop, true);
        EXPECT_NE(stringValue(hive, RUN_ONCE_KEY, NAME), "<none>");
        EXPECT_NE(GetFileAttributesA(kept.c_str()), INVALID_FILE_ATTRIBUTES);
        DeleteFileA(kept.c_str());
        RemoveDirectoryA(kept.substr(0, kept.rfind('\\')).c_str());
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

TEST(Backstop, CallsAreTheReservedArgumentInAnySpellingAndNothingElse) {
    // Any case, and quoted as the runtime would read it: whatever a command would get as the
    // reserved argument is a backstop call.
    for (const WCHAR* call : {L"/runpack-remove", L"/runpack-remove \"x\"", L"/RUNPACK-REMOVE", L"/Runpack-Remove\tx",
                              L"\"/runpack-remove\"", L"/runpack\"-\"remove x"}) {
        EXPECT_TRUE(isBackstopCall(call));
    }
    for (const WCHAR* other : {L"", L"/runpack-removed", L"/runpack-remov", L"-runpack-remove", L"x /runpack-remove",
                               L"\uFF0Frunpack-remove", L"\"/runpack-remove x\""}) {
        EXPECT_FALSE(isBackstopCall(other));
    }
}

TEST(Backstop, OnlyARemoverActsOnACall) {
    // This program has resources and runs from no remover's directory: even a well-formed
    // call of its own user names nothing it acts on, and no value appears.
    WCHAR sid[256] = L"";
    DWORD user[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
    LPWSTR text = NULL;
    ASSERT_TRUE(tokenUserSid(user) && ConvertSidToStringSidW(user, &text));
    wcscpy(sid, text);
    LocalFree(text);
    char temp[MAX_PATH + 1];
    GetTempPathA(sizeof(temp), temp);
    std::string directory = std::string(temp) + NAME;
    ASSERT_TRUE(CreateDirectoryA(directory.c_str(), NULL));
    std::wstring call = L"/runpack-remove \"" + wide(directory) + L"\"";
    EXPECT_EQ(runBackstop(call.c_str()), BACKSTOP_REFUSED);
    EXPECT_EQ(runBackstop((call + L" " + sid).c_str()), BACKSTOP_REFUSED);
    EXPECT_EQ(runBackstop((call + L" S-1-5-21-1-2-3-4").c_str()), BACKSTOP_REFUSED);
    EXPECT_NE(GetFileAttributesA(directory.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(stringValue(HKEY_LOCAL_MACHINE, RUN_ONCE_KEY, NAME), "<none>");
    EXPECT_EQ(stringValue(HKEY_CURRENT_USER, RUN_ONCE_KEY, NAME), "<none>");
    RemoveDirectoryA(directory.c_str());
}

TEST(Backstop, RemoverIsTheRunningImageWithoutItsResources) {
    char temp[MAX_PATH + 1];
    GetTempPathA(sizeof(temp), temp);
    std::string target = std::string(temp) + "runpack-remover-test.exe";
    std::wstring wideTarget(target.begin(), target.end());
    DeleteFileA(target.c_str());
    ASSERT_TRUE(writeRemover(wideTarget.c_str()));
    // Never over a file that is there.
    EXPECT_FALSE(writeRemover(wideTarget.c_str()));

    std::vector<BYTE> copy = readWhole(target);
    DeleteFileA(target.c_str());

    // Its headers: no resources, no signature; each section's raw data the bytes of the same
    // section in the engine's own file, but the resources', which the copy has none of.
    std::vector<BYTE> original = readWhole(enginePath());
    const IMAGE_NT_HEADERS* nt = ntHeaders(copy);
    const IMAGE_NT_HEADERS* originalNt = ntHeaders(original);
    ASSERT_NE(nt, nullptr);
    ASSERT_NE(originalNt, nullptr);
    EXPECT_EQ(nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress, 0u);
    EXPECT_EQ(nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].VirtualAddress, 0u);
    DWORD resources = originalNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress;
    ASSERT_EQ(nt->FileHeader.NumberOfSections, originalNt->FileHeader.NumberOfSections);
    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    const IMAGE_SECTION_HEADER* originals = IMAGE_FIRST_SECTION(originalNt);
    size_t rawTotal = nt->OptionalHeader.SizeOfHeaders;
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
        SCOPED_TRACE(std::string(reinterpret_cast<const char*>(originals[i].Name), 8).c_str());
        EXPECT_EQ(sections[i].VirtualAddress, originals[i].VirtualAddress);
        if (resources != 0 && originals[i].VirtualAddress == resources) {
            EXPECT_EQ(sections[i].SizeOfRawData, 0u);
            continue;
        }
        ASSERT_EQ(sections[i].SizeOfRawData, originals[i].SizeOfRawData);
        rawTotal += sections[i].SizeOfRawData;
        ASSERT_LE(sections[i].PointerToRawData + sections[i].SizeOfRawData, copy.size());
        EXPECT_EQ(memcmp(copy.data() + sections[i].PointerToRawData, original.data() + originals[i].PointerToRawData,
                         sections[i].SizeOfRawData),
                  0);
    }
    EXPECT_EQ(copy.size(), rawTotal);
}

TEST(Backstop, OnlyTheRunsOwnDirectoryKeepsTheValue) {
    char temp[MAX_PATH + 1];
    GetTempPathA(sizeof(temp), temp);
    std::string path = std::string(temp) + "runpack-identity-test";
    std::string moved = path + "-moved";
    RemoveDirectoryA(path.c_str());
    RemoveDirectoryA(moved.c_str());
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), NULL));
    HANDLE held = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION information;
    ASSERT_TRUE(GetFileInformationByHandle(held, &information));
    CloseHandle(held);
    FileIdentity own = {information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
    EXPECT_TRUE(isSameDirectory(wide(path).c_str(), &own));
    // Renamed away and an empty directory made in its place: not the run's.
    ASSERT_TRUE(MoveFileA(path.c_str(), moved.c_str()));
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), NULL));
    EXPECT_FALSE(isSameDirectory(wide(path).c_str(), &own));
    EXPECT_TRUE(isSameDirectory(wide(moved).c_str(), &own));
    // A file in its place, or nothing, neither.
    RemoveDirectoryA(path.c_str());
    EXPECT_FALSE(isSameDirectory(wide(path).c_str(), &own));
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    CloseHandle(file);
    EXPECT_FALSE(isSameDirectory(wide(path).c_str(), &own));
    DeleteFileA(path.c_str());
    RemoveDirectoryA(moved.c_str());
}
