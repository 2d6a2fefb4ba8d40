// The private working directory on Windows' own functions (run under Wine): its descriptor
// in both branches, its name, that it is made new only, and that the held handle keeps it in
// place without standing in the way of a command started in it.
#include "launcher/working_directory.h"

#include <windows.h>
#include <sddl.h>
#include <aclapi.h>

#include <string.h>

#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "win32/test_files.h"

namespace {

using win32test::narrow;
using win32test::wide;

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Wine keeps no descriptor for files: it makes one from the Unix mode bits when asked.
bool underWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

std::string sddlOf(PSECURITY_DESCRIPTOR descriptor) {
    char* text = NULL;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, NULL)) {
        return "<no text>";
    }
    std::string result = text;
    LocalFree(text);
    return result;
}

std::string tokenUserText() {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "<no token>";
    DWORD record[128];
    DWORD length = 0;
    std::string result = "<no user>";
    char* text = NULL;
    if (GetTokenInformation(token, TokenUser, record, sizeof(record), &length) &&
        ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(record)->User.Sid, &text)) {
        result = text;
        LocalFree(text);
    }
    CloseHandle(token);
    return result;
}

// The descriptor each branch must give: owner, then a protected list (P) of exactly two
// entries granting full control (FA), inherited by files and directories (OICI).
std::string expectedSddl(bool administrators) {
    std::string principal = administrators ? "BA" : tokenUserText();
    return "O:" + principal + "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;" + principal + ")";
}

class WorkingDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        static int counter = 0;
        char name[MAX_PATH + 32];
        wsprintfA(name, "%srpw%lu_%d\\", temp, GetCurrentProcessId(), ++counter);
        base = name;
        ASSERT_TRUE(CreateDirectoryA(base.c_str(), NULL)) << base;
    }

    void TearDown() override {
        for (const std::string& extra : extras) {
            DeleteFileA(extra.c_str());
            RemoveDirectoryA(extra.c_str());
        }
        for (WorkingDirectory& work : made) {
            releaseTemporaryDirectory(&work);
            RemoveDirectoryW(work.path);
        }
        RemoveDirectoryA(base.c_str());
    }

    WorkingDirectory& create(bool administrators = true) {
        made.push_back(WorkingDirectory());
        WorkingDirectory& work = made.back();
        EXPECT_EQ(createWorkingDirectory(wide(base).c_str(), administrators, &work), WORKING_DIRECTORY_CREATED)
            << GetLastError();
        return work;
    }

    std::string base;  // ends in a separator, as GetTempPathA gives it
    std::list<WorkingDirectory> made;  // a list: references to its elements stay valid
    std::vector<std::string> extras;
};

}  // namespace

TEST(PrivateSecurity, AdmitsSystemAndAdministratorsOnlyWhenElevated) {
    for (bool administrators : {true, false}) {
        SCOPED_TRACE(administrators ? "administrators" : "user");
        PrivateSecurity security;
        ASSERT_TRUE(buildPrivateSecurity(administrators, &security)) << GetLastError();
        ASSERT_TRUE(IsValidSecurityDescriptor(&security.descriptor));
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ASSERT_TRUE(GetSecurityDescriptorControl(&security.descriptor, &control, &revision));
        // Protected: nothing of the temporary directory's list is inherited.
        EXPECT_EQ(control & SE_DACL_PROTECTED, SE_DACL_PROTECTED);
        EXPECT_EQ(control & SE_DACL_PRESENT, SE_DACL_PRESENT);
        BOOL present = FALSE, defaulted = TRUE;
        PACL acl = NULL;
        ASSERT_TRUE(GetSecurityDescriptorDacl(&security.descriptor, &present, &acl, &defaulted));
        ASSERT_NE(acl, nullptr);
        EXPECT_EQ(acl->AceCount, 2);
        EXPECT_EQ(sddlOf(&security.descriptor), expectedSddl(administrators));
    }
}

TEST_F(WorkingDirectoryTest, CarriesTheProtectedDescriptorOnDisk) {
    if (underWine()) {
        GTEST_SKIP() << "Wine makes a file's descriptor from its Unix mode bits and keeps none it is given";
    }
    for (bool administrators : {true, false}) {
        SCOPED_TRACE(administrators ? "administrators" : "user");
        WorkingDirectory& work = create(administrators);
        PSECURITY_DESCRIPTOR descriptor = NULL;
        ASSERT_EQ(GetSecurityInfo(work.handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                  NULL, NULL, NULL, NULL, &descriptor),
                  static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(sddlOf(descriptor), expectedSddl(administrators));
        LocalFree(descriptor);
    }
}

TEST_F(WorkingDirectoryTest, NamesArePrefixAndRandomHexAndNeverRepeat) {
    WorkingDirectory& first = create();
    WorkingDirectory& second = create();
    for (const WorkingDirectory* work : {&first, &second}) {
        std::string path = narrow(work->path);
        ASSERT_EQ(path.size(), base.size() + WORKING_NAME_LENGTH) << path;
        EXPECT_EQ(path.substr(0, base.size()), base);
        std::string name = path.substr(base.size());
        EXPECT_EQ(name.substr(0, 6), "QELTMP");
        EXPECT_EQ(name.find_first_not_of("0123456789ABCDEF", 6), std::string::npos) << name;
        // The tree removal needs two NULs behind the path.
        EXPECT_EQ(work->path[path.size() + 1], '\0');
        EXPECT_TRUE(exists(path));
    }
    // 64 random bits each: two names that share most of their digits are no accident.
    std::string a = narrow(first.path), b = narrow(second.path);
    int differing = 0;
    for (size_t i = base.size() + 6; i < a.size(); ++i) differing += a[i] != b[i];
    EXPECT_GE(differing, 4) << a << " " << b;
}

TEST_F(WorkingDirectoryTest, IdentityIsTheDirectorysOwn) {
    WorkingDirectory& work = create();
    HANDLE other = CreateFileW(work.path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION information;
    ASSERT_TRUE(GetFileInformationByHandle(other, &information));
    CloseHandle(other);
    EXPECT_EQ(work.identity.volumeSerial, information.dwVolumeSerialNumber);
    EXPECT_EQ(work.identity.indexHigh, information.nFileIndexHigh);
    EXPECT_EQ(work.identity.indexLow, information.nFileIndexLow);
}

TEST_F(WorkingDirectoryTest, HeldDirectoryCannotBeRemovedOrRenamedUntilReleased) {
    WorkingDirectory& work = create();
    std::string path = narrow(work.path);
    std::string moved = base + "moved";
    extras.push_back(moved);
    EXPECT_FALSE(RemoveDirectoryA(path.c_str()));
    EXPECT_FALSE(MoveFileA(path.c_str(), moved.c_str()));
    EXPECT_TRUE(exists(path));
    EXPECT_FALSE(exists(moved));

    releaseWorkingDirectory(&work);
    EXPECT_EQ(work.handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(RemoveDirectoryA(path.c_str())) << GetLastError();
}

TEST_F(WorkingDirectoryTest, CommandStartsInItWhileItIsHeld) {
    // Windows opens a new process's current directory without delete sharing: a held handle
    // with delete access would make every start fail.
    WorkingDirectory& work = create();
    std::string marker = narrow(work.path) + "\\marker.txt";
    extras.push_back(marker);
    char system[MAX_PATH];
    GetSystemDirectoryA(system, MAX_PATH);
    std::string program = std::string(system) + "\\cmd.exe";
    char commandLine[] = "cmd.exe /c echo ran> marker.txt";
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    ASSERT_TRUE(CreateProcessA(program.c_str(), commandLine, NULL, NULL, FALSE, 0, NULL, narrow(work.path).c_str(), &startup,
                               &process))
        << GetLastError();
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_TRUE(exists(marker));
}

TEST_F(WorkingDirectoryTest, ExistingNameIsNeverOpened) {
    PrivateSecurity security;
    ASSERT_TRUE(buildPrivateSecurity(true, &security));
    HANDLE parent = CreateFileA(base.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, NULL);
    ASSERT_NE(parent, INVALID_HANDLE_VALUE);
    std::string directory = base + "QELTMPTAKEN", file = base + "QELTMPFILE";
    extras.push_back(file);
    extras.push_back(directory);
    ASSERT_TRUE(CreateDirectoryA(directory.c_str(), NULL));
    HANDLE planted = CreateFileA(file.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(planted, INVALID_HANDLE_VALUE);
    CloseHandle(planted);

    for (const char* name : {"QELTMPTAKEN", "qeltmptaken", "QELTMPFILE"}) {
        SCOPED_TRACE(name);
        HANDLE opened = NULL;
        EXPECT_FALSE(createPrivateDirectory(parent, name, &security, &opened));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(opened, INVALID_HANDLE_VALUE);
    }
    HANDLE fresh = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(createPrivateDirectory(parent, "QELTMPFRESH", &security, &fresh)) << GetLastError();
    if (fresh != INVALID_HANDLE_VALUE) CloseHandle(fresh);
    extras.push_back(base + "QELTMPFRESH");
    CloseHandle(parent);
}

TEST_F(WorkingDirectoryTest, TemporaryPathThatCannotServeGivesNoName) {
    WorkingDirectory work;
    // Missing: the platform's code comes through.
    std::string missing = base + "missing\\";
    EXPECT_EQ(createWorkingDirectory(wide(missing).c_str(), true, &work), WORKING_DIRECTORY_NO_NAME);
    DWORD error = GetLastError();
    EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) << error;
    EXPECT_EQ(work.handle, INVALID_HANDLE_VALUE);

    // So long that the name would not fit 260 characters: refused before anything is made.
    std::string deep = base + std::string(260 - base.size() - WORKING_NAME_LENGTH, 'd') + "\\";
    EXPECT_EQ(createWorkingDirectory(wide(deep).c_str(), true, &work), WORKING_DIRECTORY_NO_NAME);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

namespace {

// Whether the access list of `path` allows `sid` full control.
bool allowsFullControl(const std::string& path, PSID sid) {
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL,
                              &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    bool found = false;
    for (DWORD i = 0; dacl != NULL && i < dacl->AceCount && !found; ++i) {
        ACCESS_ALLOWED_ACE* ace = NULL;
        if (GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            (ace->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS) {
            found = EqualSid(&ace->SidStart, sid) != FALSE;
        }
    }
    LocalFree(descriptor);
    return found;
}

}  // namespace

TEST(WorkingDirectory, AnElevatedRunsLeftoversBecomeTheUsers) {
    WCHAR temp[MAX_PATH + 1];
    ASSERT_GT(GetTempPathW(MAX_PATH + 1, temp), 0u);
    WorkingDirectory work;
    ASSERT_EQ(createWorkingDirectory(temp, true, &work), WORKING_DIRECTORY_CREATED);
    std::wstring inner = std::wstring(work.path) + L"\\left";
    ASSERT_TRUE(CreateDirectoryW(inner.c_str(), NULL));
    std::wstring file = inner + L"\\made-by-the-command.txt";
    CloseHandle(CreateFileW(file.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL));
    DWORD user[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
    ASSERT_TRUE(tokenUserSid(user));
    // Wine keeps no descriptor it is given: there only the call's success can be seen.
    bool descriptorsKept = !underWine();
    if (descriptorsKept) {
        EXPECT_FALSE(allowsFullControl(narrow(work.path), user));
    }

    EXPECT_TRUE(shareWithUser(&work));
    // The directory and everything already in it.
    if (descriptorsKept) {
        EXPECT_TRUE(allowsFullControl(narrow(work.path), user));
        EXPECT_TRUE(allowsFullControl(narrow(inner.c_str()), user));
        EXPECT_TRUE(allowsFullControl(narrow(file.c_str()), user));
    }
    releaseWorkingDirectory(&work);
    // Without the held directory nothing is changed.
    EXPECT_FALSE(shareWithUser(&work));
    DeleteFileW(file.c_str());
    RemoveDirectoryW(inner.c_str());
    RemoveDirectoryW(work.path);
    releaseTemporaryDirectory(&work);
}
