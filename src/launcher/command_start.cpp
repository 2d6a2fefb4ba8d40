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
    // Then for every process left in the job, each on its own handle: a process that has
    // ended is signalled, whatever the job's count of active processes says (a count that
    // stayed above zero after every process had gone has been seen). The list is read again
    // after each end, so that a process started meanwhile is waited for too. The list holds
    // the processes in the job at the time of the call; an id that the system gave to another
    // process in the moment between is waited for as well, which can only make the wait longer.
    for (;;) {
        struct {
            JOBOBJECT_BASIC_PROCESS_ID_LIST header;
            ULONG_PTR more[JOB_PROCESS_LIST_SIZE - 1];
        } list;
        memset(&list, 0, sizeof(list));
        // A list too long for the buffer still fills it, with the error ERROR_MORE_DATA.
        if (!QueryInformationJobObject(started->job, JobObjectBasicProcessIdList, &list, sizeof(list), NULL) &&
            GetLastError() != ERROR_MORE_DATA) {
            return;
        }
        HANDLE running = NULL;
        bool unseen = false;  // a process that is there but cannot be opened
        DWORD count = list.header.NumberOfProcessIdsInList;
        if (count > JOB_PROCESS_LIST_SIZE) count = JOB_PROCESS_LIST_SIZE;
        for (DWORD i = 0; i < count && running == NULL; ++i) {
            DWORD id = static_cast<DWORD>(list.header.ProcessIdList[i]);
            HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
            if (process == NULL) {
                // An id that names no process any more: gone.
                unseen = unseen || GetLastError() != ERROR_INVALID_PARAMETER;
                continue;
            }
            if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
                running = process;
            } else {
                CloseHandle(process);
            }
        }
        if (running != NULL) {
            WaitForSingleObject(running, INFINITE);
            CloseHandle(running);
        } else if (unseen || list.header.NumberOfProcessIdsInList > count) {
            Sleep(JOB_POLL_INTERVAL_MS);  // nothing to wait on, but possibly something running
        } else {
            return;
        }
    }
}

void closeCommand(StartedCommand* started) {
    if (started->process.hProcess != NULL) CloseHandle(started->process.hProcess);
    if (started->process.hThread != NULL) CloseHandle(started->process.hThread);
    if (started->job != NULL) CloseHandle(started->job);
    memset(started, 0, sizeof(*started));
}
