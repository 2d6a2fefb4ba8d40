// Which program a command line starts (run under Wine): the name as CreateProcess reads it,
// and the order of the places it is looked for, with planted programs in every place the
// search must not look and a PATH of hostile shapes.
#include "launcher/command_search.h"

#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "win32/test_files.h"

namespace {

using win32test::narrow;
using win32test::wide;

std::string nameOf(const char* commandLine, size_t capacity = PROGRAM_PATH_SIZE) {
    WCHAR name[PROGRAM_PATH_SIZE];
    if (!programName(wide(commandLine).c_str(), name, capacity)) return "<none>";
    return narrow(name);
}

std::string systemDirectory() {
    char directory[MAX_PATH];
    GetSystemDirectoryA(directory, MAX_PATH);
    return directory;
}

// A directory tree for one test, with the process's PATH and current directory restored
// afterwards.
class CommandSearch : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        static int counter = 0;
        char name[MAX_PATH + 32];
        wsprintfA(name, "%srpc%lu_%d", temp, GetCurrentProcessId(), ++counter);
        root = name;
        ASSERT_TRUE(CreateDirectoryA(root.c_str(), NULL));
        work = directory("work");
        DWORD size = GetEnvironmentVariableA("PATH", NULL, 0);
        savedPath.assign(size, '\0');
        GetEnvironmentVariableA("PATH", &savedPath[0], size);
        savedPath.resize(size > 0 ? size - 1 : 0);
        char current[MAX_PATH];
        GetCurrentDirectoryA(MAX_PATH, current);
        savedCurrent = current;
    }

    void TearDown() override {
        SetEnvironmentVariableA("PATH", savedPath.c_str());
        SetCurrentDirectoryA(savedCurrent.c_str());
        for (auto it = made.rbegin(); it != made.rend(); ++it) {
            DeleteFileA(it->c_str());
            RemoveDirectoryA(it->c_str());
        }
        RemoveDirectoryA(root.c_str());
    }

    std::string directory(const std::string& relative) {
        std::string path = root + "\\" + relative;
        EXPECT_TRUE(CreateDirectoryA(path.c_str(), NULL)) << path;
        made.push_back(path);
        return path;
    }

    std::string program(const std::string& directory, const std::string& name) {
        std::string path = directory + "\\" + name;
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
        EXPECT_NE(file, INVALID_HANDLE_VALUE) << path;
        CloseHandle(file);
        made.push_back(path);
        return path;
    }

    void setPath(const std::string& value) { ASSERT_TRUE(SetEnvironmentVariableA("PATH", value.c_str())); }

    // The full path found for `commandLine`, or "<not found: CODE>".
    std::string find(const char* commandLine, bool elevated = false) {
        WCHAR path[PROGRAM_PATH_SIZE];
        wmemset(path, L'x', PROGRAM_PATH_SIZE);
        SetLastError(0);
        if (findProgram(wide(commandLine).c_str(), wide(work).c_str(), elevated, path)) return narrow(path);
        return "<not found: " + std::to_string(GetLastError()) + ">";
    }

    std::string root, work, savedPath, savedCurrent;
    std::vector<std::string> made;
};

const char* const NOT_FOUND = "<not found: 2>";

}  // namespace

TEST(ProgramName, IsTheFirstTokenOrTheQuotedName) {
    EXPECT_EQ(nameOf("setup.exe /quiet"), "setup.exe");
    EXPECT_EQ(nameOf("setup\t/quiet"), "setup.exe");
    EXPECT_EQ(nameOf("  \tsetup.exe"), "setup.exe");
    EXPECT_EQ(nameOf("\"my setup.exe\" /q"), "my setup.exe");
    EXPECT_EQ(nameOf("\"my setup\" /q"), "my setup.exe");
    EXPECT_EQ(nameOf("\"no closing quote"), "no closing quote.exe");
    EXPECT_EQ(nameOf("C:\\Program Files\\x.exe"), "C:\\Program.exe");  // unquoted: up to the blank
    EXPECT_EQ(nameOf(""), "<none>");
    EXPECT_EQ(nameOf("   "), "<none>");
    EXPECT_EQ(nameOf("\"\" /q"), "<none>");
}

TEST(ProgramName, AddsExeOnlyWhenTheFileNameHasNoExtension) {
    EXPECT_EQ(nameOf("install.bat"), "install.bat");
    EXPECT_EQ(nameOf("tool.v2\\run"), "tool.v2\\run.exe");  // the dot is in the directory
    EXPECT_EQ(nameOf("tool.v2/run"), "tool.v2/run.exe");
    EXPECT_EQ(nameOf("C:run"), "C:run.exe");
    EXPECT_EQ(nameOf("setup."), "setup.");
}

TEST(ProgramName, RefusesWhatDoesNotFit) {
    std::string long259(259, 'a');
    EXPECT_EQ(nameOf((long259 + ".exe").c_str()), "<none>");
    EXPECT_EQ(nameOf(long259.c_str()), "<none>");  // fits, but not with ".exe"
    std::string long256(256, 'a');
    EXPECT_EQ(nameOf(long256.c_str()), long256 + ".exe");
    EXPECT_EQ(nameOf("abc", 4), "<none>");
    EXPECT_EQ(nameOf("abc.d", 6), "abc.d");
}

TEST_F(CommandSearch, WorkingDirectoryComesFirst) {
    std::string onPath = directory("onpath");
    std::string extracted = program(work, "tool.exe");
    program(onPath, "tool.exe");
    program(work, "cmd.exe");
    setPath(onPath);
    EXPECT_EQ(find("tool /x"), extracted);
    // Even a system program's name: the package's own file wins, as it always did.
    EXPECT_EQ(find("cmd.exe /c exit"), work + "\\cmd.exe");
}

TEST_F(CommandSearch, SystemThenWindowsDirectoryComeBeforePath) {
    std::string onPath = directory("onpath");
    program(onPath, "cmd.exe");
    setPath(onPath);
    EXPECT_EQ(find("cmd.exe /c exit"), systemDirectory() + "\\cmd.exe");
    EXPECT_EQ(find("\"cmd\" /c exit"), systemDirectory() + "\\cmd.exe");
}

TEST_F(CommandSearch, NeverLooksInTheEnginesFolderOrTheCurrentDirectory) {
    // The test program's own folder stands for the engine's: its name is not found there.
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, MAX_PATH);
    std::string selfName = strrchr(self, '\\') + 1;
    setPath("");
    EXPECT_EQ(find(selfName.c_str()), NOT_FOUND);

    std::string current = directory("current");
    program(current, "planted.exe");
    ASSERT_TRUE(SetCurrentDirectoryA(current.c_str()));
    EXPECT_EQ(find("planted.exe"), NOT_FOUND);
}

TEST_F(CommandSearch, PathEntriesThatAreNotAbsoluteAreSkipped) {
    std::string current = directory("current");
    directory("current\\sub");
    program(current, "planted.exe");
    program(current + "\\sub", "planted.exe");
    ASSERT_TRUE(SetCurrentDirectoryA(current.c_str()));
    std::string drive = current.substr(0, 2);
    std::string rootRelative = current.substr(2);
    setPath(".;sub;;" + drive + ";" + drive + "sub;" + rootRelative + ";\"sub\";\"" + current.substr(0, 3));
    EXPECT_EQ(find("planted"), NOT_FOUND);
    // The same directory named absolutely is searched.
    setPath(";;\"" + current + "\"");
    EXPECT_EQ(find("planted"), current + "\\planted.exe");
    setPath("..;" + current + "\\;");
    EXPECT_EQ(find("planted"), current + "\\planted.exe");
}

TEST_F(CommandSearch, PathIsSearchedInOrderAndOnlyFilesCount) {
    std::string first = directory("first"), second = directory("second");
    directory("first\\tool.exe");  // a directory of the program's name
    std::string wanted = program(second, "tool.exe");
    setPath(first + ";" + second);
    EXPECT_EQ(find("tool"), wanted);
    directory("work\\other.exe");
    EXPECT_EQ(find("other"), NOT_FOUND);
}

TEST_F(CommandSearch, HostilePathIsReadWithoutOverflow) {
    std::string wanted = program(directory("last"), "tool.exe");
    // Entries longer than any path, a quote that never closes, and the variable near its
    // largest size, with the real directory at its very end.
    std::string value;
    while (value.size() < 32000 - wanted.size()) value += "C:\\" + std::string(400, 'p') + ";";
    value += "\"C:\\unclosed;";
    value += wanted.substr(0, wanted.rfind('\\'));
    setPath(value);
    EXPECT_EQ(find("tool"), wanted);
    setPath(std::string(32000, 'a'));
    EXPECT_EQ(find("tool"), NOT_FOUND);
    setPath(std::string(32000, ';'));
    EXPECT_EQ(find("tool"), NOT_FOUND);
    SetEnvironmentVariableA("PATH", NULL);
    EXPECT_EQ(find("tool"), NOT_FOUND);
}

TEST_F(CommandSearch, NameWithAPathIsTakenBelowTheWorkingDirectoryOnly) {
    std::string bin = directory("work\\bin");
    std::string wanted = program(bin, "tool.exe");
    std::string onPath = directory("onpath");
    directory("onpath\\bin");
    program(onPath + "\\bin", "other.exe");
    setPath(onPath);
    EXPECT_EQ(find("bin\\tool /x"), wanted);
    EXPECT_EQ(find("bin/tool.exe"), bin + "\\tool.exe");
    EXPECT_EQ(find("bin\\other.exe"), NOT_FOUND);
    // Absolute names stand as they are.
    EXPECT_EQ(find(("\"" + wanted + "\" /x").c_str()), wanted);
    EXPECT_EQ(find((systemDirectory() + "\\cmd.exe /c exit").c_str()), systemDirectory() + "\\cmd.exe");
    EXPECT_EQ(find((onPath + "\\missing.exe").c_str()), NOT_FOUND);
}

// The machine's PATH in the registry, put back as it was (type and bytes) after a test.
class MachinePath {
public:
    MachinePath() {
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, MACHINE_ENVIRONMENT_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
        DWORD size = 0;
        had = RegQueryValueExW(key, L"Path", NULL, &type, NULL, &size) == ERROR_SUCCESS;
        saved.resize(size);
        if (had) RegQueryValueExW(key, L"Path", NULL, &type, saved.data(), &size);
    }
    ~MachinePath() {
        if (had) RegSetValueExW(key, L"Path", 0, type, saved.data(), static_cast<DWORD>(saved.size()));
        else RegDeleteValueW(key, L"Path");
        RegCloseKey(key);
    }
    bool set(const std::string& value, DWORD valueType = REG_EXPAND_SZ) {
        std::wstring text = wide(value);
        return RegSetValueExW(key, L"Path", 0, valueType, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR))) == ERROR_SUCCESS;
    }
    HKEY key = NULL;

private:
    bool had = false;
    DWORD type = 0;
    std::vector<BYTE> saved;
};

TEST_F(CommandSearch, ElevatedSearchTakesOnlyTheMachinesPathAsTheRegistryKeepsIt) {
    MachinePath machine;
    ASSERT_NE(machine.key, static_cast<HKEY>(NULL));
    // The user's folders: on the process's PATH, and behind variables the user can set.
    std::string users = directory("users"), machineOwn = directory("machine");
    program(users, "tool.exe");
    program(users, "only.exe");
    std::string wanted = program(machineOwn, "tool.exe");
    setPath(users);
    ASSERT_TRUE(SetEnvironmentVariableA("RUNPACK_USERS", users.c_str()));
    ASSERT_TRUE(SetEnvironmentVariableA("RUNPACK_TAIL", users.substr(2).c_str()));
    ASSERT_TRUE(machine.set("%RUNPACK_USERS%;" + users.substr(0, 2) + "%RUNPACK_TAIL%;" + machineOwn));
    EXPECT_EQ(find("tool"), users + "\\tool.exe");  // unelevated: the process's PATH, as ever
    EXPECT_EQ(find("tool", true), wanted);
    EXPECT_EQ(find("only", true), NOT_FOUND);
    // Unexpanded text as REG_SZ is no reference either; a missing value finds nothing.
    ASSERT_TRUE(machine.set("%RUNPACK_USERS%", REG_SZ));
    EXPECT_EQ(find("tool", true), NOT_FOUND);
    ASSERT_EQ(RegDeleteValueW(machine.key, L"Path"), ERROR_SUCCESS);
    EXPECT_EQ(find("tool", true), NOT_FOUND);
    EXPECT_EQ(find("tool"), users + "\\tool.exe");
    SetEnvironmentVariableA("RUNPACK_USERS", NULL);
    SetEnvironmentVariableA("RUNPACK_TAIL", NULL);

    // The system root's reference is the system's Windows directory, whatever the process's
    // SystemRoot says, in any case; a value without its terminator is read to its end.
    char windows[MAX_PATH];
    GetSystemWindowsDirectoryA(windows, MAX_PATH);
    std::string below = std::string(windows) + "\\rpc-search-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryA(below.c_str(), NULL));
    made.push_back(below);
    std::string system = program(below, "tool.exe");
    std::string leaf = below.substr(strlen(windows));
    ASSERT_TRUE(SetEnvironmentVariableA("SystemRoot", users.c_str()));
    ASSERT_TRUE(machine.set("%SYSTEMROOT%" + leaf));
    EXPECT_EQ(find("tool", true), system);
    std::wstring unterminated = wide("%SystemRoot%" + leaf);
    ASSERT_EQ(RegSetValueExW(machine.key, L"Path", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(unterminated.data()),
                             static_cast<DWORD>(unterminated.size() * sizeof(WCHAR))),
              ERROR_SUCCESS);
    EXPECT_EQ(find("tool", true), system);
    SetEnvironmentVariableA("SystemRoot", windows);
}
