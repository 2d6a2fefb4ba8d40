#include "launcher/command_start.h"

#include <string.h>

namespace {

HANDLE createCommandJob() {
    HANDLE job = CreateJobObjectA(NULL, NULL);
    if (job == NULL) return NULL;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof(limits));
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        CloseHandle(job);
        return NULL;
    }
    return job;
}

}  // namespace

bool startCommand(const WCHAR* program, WCHAR* commandLine, const WCHAR* workDir, bool inJob,
                  StartedCommand* started) {
    memset(started, 0, sizeof(*started));
    started->job = inJob ? createCommandJob() : NULL;
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    DWORD flags = started->job != NULL ? CREATE_SUSPENDED : 0;
    if (!CreateProcessW(program, commandLine, NULL, NULL, FALSE, flags, NULL, workDir, &startup,
                        &started->process)) {
        DWORD error = GetLastError();
        closeCommand(started);
        SetLastError(error);
        return false;
    }
    if (started->job == NULL) return true;
    if (!AssignProcessToJobObject(started->job, started->process.hProcess)) {
        CloseHandle(started->job);
        started->job = NULL;
    }
    if (ResumeThread(started->process.hThread) == static_cast<DWORD>(-1)) {
        DWORD error = GetLastError();
        TerminateProcess(started->process.hProcess, error);
        closeCommand(started);
        SetLastError(error);
        return false;
    }
    return true;
}

void waitForCommand(const StartedCommand* started) {
    WaitForSingleObject(started->process.hProcess, INFINITE);
    if (started->job == NULL) return;
    // Polling rather than the job's completion port: the port's messages are not guaranteed
    // to arrive, while the count of active processes is always current.
    for (;;) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
        if (!QueryInformationJobObject(started->job, JobObjectBasicAccountingInformation,
                                       &accounting, sizeof(accounting), NULL) ||
            accounting.ActiveProcesses == 0) {
            return;
        }
        Sleep(JOB_POLL_INTERVAL_MS);
    }
}

void closeCommand(StartedCommand* started) {
    if (started->process.hProcess != NULL) CloseHandle(started->process.hProcess);
    if (started->process.hThread != NULL) CloseHandle(started->process.hThread);
    if (started->job != NULL) CloseHandle(started->job);
    memset(started, 0, sizeof(*started));
}
