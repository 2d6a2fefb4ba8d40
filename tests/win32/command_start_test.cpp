// Starting the command in a job and waiting for it (run under Wine): the wait lasts until the
// programs the command started have ended too, and a command that cannot start leaves
// nothing held.
#include "launcher/command_start.h"

#include <windows.h>

#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "win32/test_files.h"

namespace {

using win32test::wide;

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class CommandStart : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        static int counter = 0;
        char name[MAX_PATH + 32];
        wsprintfA(name, "%srps%lu_%d", temp, GetCurrentProcessId(), ++counter);
        work = name;
        ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
        char system[MAX_PATH];
        GetSystemDirectoryA(system, MAX_PATH);
        cmd = std::string(system) + "\\cmd.exe";
        memset(&started, 0, sizeof(started));
    }

    void TearDown() override {
        closeCommand(&started);
        DeleteFileA((work + "\\late.txt").c_str());
        RemoveDirectoryA(work.c_str());
    }

    std::string work, cmd;
    StartedCommand started;
};

}  // namespace

TEST_F(CommandStart, WaitLastsUntilWhatTheCommandStartedHasEnded) {
    // The command starts a second command interpreter without waiting for it and ends; the
    // second one lingers (a ping of about two seconds) before it writes its file.
    WCHAR commandLine[] =
        L"cmd.exe /c start /b cmd.exe /c \"ping -n 3 127.0.0.1 >nul & echo late> late.txt\"";
    ASSERT_TRUE(startCommand(wide(cmd).c_str(), commandLine, wide(work).c_str(), true, &started)) << GetLastError();
    EXPECT_NE(started.job, nullptr);
    waitForCommand(&started);
    EXPECT_EQ(WaitForSingleObject(started.process.hProcess, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(exists(work + "\\late.txt"));
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
    ASSERT_TRUE(QueryInformationJobObject(started.job, JobObjectBasicAccountingInformation, &accounting,
                                          sizeof(accounting), NULL));
    EXPECT_EQ(accounting.ActiveProcesses, 0u);
    EXPECT_GE(accounting.TotalProcesses, 2u);
}

TEST_F(CommandStart, CommandStartedWithoutAJobWhenTheRunDoesNotWait) {
    WCHAR commandLine[] = L"cmd.exe /c exit 3";
    ASSERT_TRUE(startCommand(wide(cmd).c_str(), commandLine, wide(work).c_str(), false, &started)) << GetLastError();
    EXPECT_EQ(started.job, nullptr);
    waitForCommand(&started);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(started.process.hProcess, &code));
    EXPECT_EQ(code, 3u);  // the first process's handle is kept, with its exit code
}

TEST_F(CommandStart, CommandThatCannotStartHoldsNothing) {
    WCHAR commandLine[] = L"missing.exe";
    std::string missing = work + "\\missing.exe";
    EXPECT_FALSE(startCommand(wide(missing).c_str(), commandLine, wide(work).c_str(), true, &started));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(started.job, nullptr);
    EXPECT_EQ(started.process.hProcess, nullptr);
    EXPECT_EQ(started.process.hThread, nullptr);

    WCHAR again[] = L"cmd.exe /c exit";
    std::string gone = work + "\\gone";
    EXPECT_FALSE(startCommand(wide(cmd).c_str(), again, wide(gone).c_str(), true, &started));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));  // no such current directory
    EXPECT_EQ(started.process.hProcess, nullptr);
}
