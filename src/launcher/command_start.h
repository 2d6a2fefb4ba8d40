// Starting the packaged command and waiting for it. Where the run waits, the command runs in
// a job object of its own, so that the run can wait for every program it starts (an
// installer that starts a second program and ends at once), not only the first.
#pragma once

#include <windows.h>

// How often the run looks at the command's job again when a process is listed in it that it
// cannot open (another user's, say), so that it has no handle to wait on.
const DWORD JOB_POLL_INTERVAL_MS = 100;
// Processes of the job looked at each time; a longer list is waited for in parts.
const DWORD JOB_PROCESS_LIST_SIZE = 64;

struct StartedCommand {
    PROCESS_INFORMATION process;  // the first process; its handle is kept for its exit code
    HANDLE job;                   // null when the command runs without a job
};

// Starts `program` (a full path) with `commandLine`, unchanged and writable, in `workDir`.
// Everything is Unicode, so that paths and arguments keep the characters the code page lacks.
// With `inJob` the process is created suspended, put in a new job, and then resumed; the job
// lets a program that asks for it break away, and kills nothing when the engine ends. Where
// no job can be had, or the process cannot be put in it (an engine that itself runs in a job
// on a Windows that does not nest them), the command runs without one. False, with the last
// error, when the command cannot be started; nothing is left running then.
bool startCommand(const WCHAR* program, WCHAR* commandLine, const WCHAR* workDir, bool inJob,
                  StartedCommand* started);

// Waits until the first process has ended, then until no process of the job is left
// running, waiting on the processes' own handles.
void waitForCommand(const StartedCommand* started);

// Closes the handles that are held.
void closeCommand(StartedCommand* started);
