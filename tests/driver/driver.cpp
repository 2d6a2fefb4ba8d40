// Windows-side driver of the end-to-end tests. Starts an engine with TMP and TEMP pointing to
// a test-private directory, watches the windows of its process, reads and answers its message
// boxes, notes the waiting window, and prints what it saw, one fact per line (texts as hex of
// their UTF-8 bytes), ending with the full 32-bit exit code.
//
//   driver [--tmp DIR] [--timeout MS] [--watch-file PATH] [--signal-file PATH] ENGINE.exe
//
// The engine runs in a job of its own, which counts every process that ever joined it: the
// driver reports when the engine's first child (the packaged command) has started, even one
// that ended between two looks, and says with each "progress-hidden" whether the command had
// started by then. With --tmp it also reports the last moment TMP was seen empty, which comes
// before anything the engine does there.
// --watch-file: report when PATH first exists (a command's marker). --signal-file: create
// PATH once the waiting window has been visible for a moment, and hold the engine until the
// test has removed it, so that the test can take a screenshot while the window is up.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

static DWORD startTick;

// True once a process besides the engine has joined the engine's job: its command started.
static bool commandStarted(HANDLE job) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                   sizeof(accounting), NULL)) {
        return false;
    }
    return accounting.TotalProcesses > 1;
}

// True when `directory` exists and holds no entry.
static bool directoryEmpty(const char* directory) {
    std::string pattern = std::string(directory) + "\\*";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool empty = true;
    do {
        empty = strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0;
    } while (empty && FindNextFileA(search, &found));
    FindClose(search);
    return empty;
}

static DWORD now() { return GetTickCount() - startTick; }

static std::string hexOfUtf8(const wchar_t* text) {
    char utf8[8192];
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), NULL, NULL);
    std::string hex;
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i + 1 < length; ++i) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex.empty() ? "-" : hex;
}

static std::string windowTextHex(HWND window) {
    wchar_t text[4096];
    text[0] = 0;
    DWORD_PTR length = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                        1000, &length);
    text[4095] = 0;
    return hexOfUtf8(text);
}

struct Watch {
    DWORD processId;
    HANDLE job;
    HWND progress;             // the waiting window once seen
    bool progressVisibleNow;
    bool signalled;
    DWORD progressVisibleSince;
    std::vector<HWND> answered;
    bool progressFound;        // seen in the current sweep
    bool created;              // its controls were seen, visible or not
};

// The moment the waiting window was seen gone, and whether the command had started by then.
static void reportHidden(Watch* watch) {
    DWORD at = now();
    printf("progress-hidden at=%lu command-started=%d\n", static_cast<unsigned long>(at),
           commandStarted(watch->job) ? 1 : 0);
    fflush(stdout);
}

static BOOL CALLBACK collectStatic(HWND child, LPARAM param) {
    std::string* texts = reinterpret_cast<std::string*>(param);
    char className[64];
    GetClassNameA(child, className, sizeof(className));
    bool picture = (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP;
    if (lstrcmpiA(className, "Static") == 0 && !picture) {
        wchar_t text[512];
        if (GetWindowTextW(child, text, 512) > 0) {
            if (!texts->empty()) *texts += ",";
            *texts += hexOfUtf8(text);
        }
    }
    return TRUE;
}

static BOOL CALLBACK inspectWindow(HWND window, LPARAM param) {
    Watch* watch = reinterpret_cast<Watch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != watch->processId) return TRUE;
    char className[64];
    GetClassNameA(window, className, sizeof(className));
    if (strcmp(className, "#32770") != 0) return TRUE;

    HWND button = FindWindowExA(window, NULL, "Button", NULL);
    bool answeredBefore = false;
    for (HWND seen : watch->answered) answeredBefore = answeredBefore || seen == window;
    if (answeredBefore && button == NULL) return TRUE;  // a box going away
    if (button != NULL) {
        // A message box: report it once, when it is up and filled in, then press its button
        // until it goes away.
        if (!IsWindowVisible(window)) return TRUE;
        if (!answeredBefore) {
            HWND text = GetDlgItem(window, 0xFFFF);
            std::string caption = windowTextHex(window);
            std::string message = text != NULL ? windowTextHex(text) : "-";
            if (caption == "-" && message == "-") return TRUE;  // not filled in yet
            watch->answered.push_back(window);
            printf("box at=%lu caption=%s text=%s progress-visible=%d\n",
                   static_cast<unsigned long>(now()), caption.c_str(), message.c_str(),
                   watch->progress != NULL && IsWindow(watch->progress) &&
                           IsWindowVisible(watch->progress)
                       ? 1
                       : 0);
            fflush(stdout);
        }
        PostMessageA(button, BM_CLICK, 0, 0);
        return TRUE;
    }

    // The waiting window is the dialog with a picture control and no button.
    if (watch->progress == NULL) {
        bool picture = false;
        for (HWND c = FindWindowExA(window, NULL, "Static", NULL); c != NULL && !picture;
             c = FindWindowExA(window, c, "Static", NULL)) {
            picture = (GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP;
        }
        if (!picture) return TRUE;
        if (!watch->created) {
            watch->created = true;
            printf("progress-created at=%lu\n", static_cast<unsigned long>(now()));
        }
        if (!IsWindowVisible(window)) return TRUE;  // still being built
    }
    if (watch->progress != NULL && watch->progress != window) return TRUE;
    bool visible = IsWindowVisible(window) != FALSE;
    watch->progressFound = true;
    if (watch->progress == NULL) {
        watch->progress = window;
        std::string texts;
        EnumChildWindows(window, collectStatic, reinterpret_cast<LPARAM>(&texts));
        RECT frame;
        GetWindowRect(window, &frame);
        printf("progress-open at=%lu texts=%s size=%ldx%ld\n",
               static_cast<unsigned long>(now()), texts.empty() ? "-" : texts.c_str(),
               static_cast<long>(frame.right - frame.left),
               static_cast<long>(frame.bottom - frame.top));
    }
    if (visible && !watch->progressVisibleNow) {
        watch->progressVisibleSince = now();
        printf("progress-shown at=%lu\n", static_cast<unsigned long>(now()));
    } else if (!visible && watch->progressVisibleNow) {
        reportHidden(watch);
    }
    watch->progressVisibleNow = visible;
    fflush(stdout);
    return TRUE;
}

int main(int argc, char** argv) {
    const char* tmp = NULL;
    const char* watchFile = NULL;
    const char* signalFile = NULL;
    DWORD timeout = 60000;
    const char* engine = NULL;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--tmp") == 0 && i + 1 < argc) tmp = argv[++i];
        else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) timeout = strtoul(argv[++i], NULL, 10);
        else if (strcmp(argv[i], "--watch-file") == 0 && i + 1 < argc) watchFile = argv[++i];
        else if (strcmp(argv[i], "--signal-file") == 0 && i + 1 < argc) signalFile = argv[++i];
        else engine = argv[i];
    }
    if (engine == NULL) {
        fprintf(stderr, "usage: driver [--tmp DIR] [--timeout MS] [--watch-file PATH] [--signal-file PATH] ENGINE.exe\n");
        return 2;
    }
    if (tmp != NULL) {
        SetEnvironmentVariableA("TMP", tmp);
        SetEnvironmentVariableA("TEMP", tmp);
    }

    std::string commandLine = std::string("\"") + engine + "\"";
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    // Wine starts the desktop's process for the first program that asks for the desktop and
    // ends it a little after the last one has gone. Asking here first keeps it from being
    // started by the engine, where it would count in the job as a command.
    GetDesktopWindow();
    HANDLE job = CreateJobObjectA(NULL, NULL);
    if (job == NULL) {
        printf("start-failed job error=%lu\n", static_cast<unsigned long>(GetLastError()));
        return 3;
    }
    // The clock starts before the engine does: every moment reported follows its start.
    startTick = GetTickCount();
    // TMP's state is taken just before each look; a moment it was seen empty precedes
    // anything the engine made there.
    long tmpLastEmpty = -1;
    bool tmpUsed = false;
    if (tmp != NULL && directoryEmpty(tmp)) tmpLastEmpty = 0;
    // Suspended until it is in the job, so that nothing it starts can escape the count.
    if (!CreateProcessA(NULL, &commandLine[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL,
                        &startup, &process)) {
        printf("start-failed error=%lu\n", static_cast<unsigned long>(GetLastError()));
        return 3;
    }
    if (!AssignProcessToJobObject(job, process.hProcess)) {
        printf("start-failed job error=%lu\n", static_cast<unsigned long>(GetLastError()));
        TerminateProcess(process.hProcess, 0xDEAD);
        return 3;
    }
    ResumeThread(process.hThread);

    Watch watch = {process.dwProcessId, job, NULL, false, false, 0, {}, false, false};
    bool fileSeen = false;
    bool childSeen = false;
    bool timedOut = false;
    for (;;) {
        if (tmp != NULL && !tmpUsed) {
            DWORD lookedAt = now();
            if (directoryEmpty(tmp)) {
                tmpLastEmpty = static_cast<long>(lookedAt);
            } else {
                tmpUsed = true;
                printf("tmp-used at=%lu last-empty=%ld\n", static_cast<unsigned long>(now()), tmpLastEmpty);
                fflush(stdout);
            }
        }
        watch.progressFound = false;
        EnumWindows(inspectWindow, reinterpret_cast<LPARAM>(&watch));
        if (!watch.progressFound && watch.progressVisibleNow) {
            // The window is gone altogether.
            reportHidden(&watch);
            watch.progressVisibleNow = false;
        }
        if (!childSeen && commandStarted(job)) {
            childSeen = true;
            printf("child-seen at=%lu\n", static_cast<unsigned long>(now()));
            fflush(stdout);
        }
        if (watchFile != NULL && !fileSeen && GetFileAttributesA(watchFile) != INVALID_FILE_ATTRIBUTES) {
            fileSeen = true;
            printf("file-seen at=%lu\n", static_cast<unsigned long>(now()));
            fflush(stdout);
        }
        if (signalFile != NULL && !watch.signalled && watch.progressVisibleNow &&
            now() - watch.progressVisibleSince >= 150) {
            // The engine is held still while the test takes its screenshot, so that the
            // window is on it however slowly the screenshot comes; the test removes the
            // file when it has the picture.
            SuspendThread(process.hThread);
            HANDLE f = CreateFileA(signalFile, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
            if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
            while (GetFileAttributesA(signalFile) != INVALID_FILE_ATTRIBUTES && now() <= timeout) Sleep(10);
            ResumeThread(process.hThread);
            watch.signalled = true;
        }
        DWORD wait = WaitForSingleObject(process.hProcess, 5);
        if (wait == WAIT_OBJECT_0) break;
        if (now() > timeout) {
            TerminateProcess(process.hProcess, 0xDEAD);
            timedOut = true;
            break;
        }
    }
    if (watch.progress != NULL && watch.progressVisibleNow) reportHidden(&watch);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    if (timedOut) printf("timeout\n");
    printf("exit code=0x%08lX at=%lu\n", static_cast<unsigned long>(code), static_cast<unsigned long>(now()));
    fflush(stdout);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(job);
    return 0;
}
