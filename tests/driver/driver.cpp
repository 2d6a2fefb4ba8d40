// Windows-side driver of the end-to-end tests. Starts an engine with TMP and TEMP pointing to
// a test-private directory, watches the windows of its process, reads and answers its message
// boxes, notes the waiting window, and prints what it saw, one fact per line (texts as hex of
// their UTF-8 bytes), ending with the full 32-bit exit code.
//
//   driver [--tmp DIR] [--timeout MS] [--watch-file PATH] [--signal-file PATH] ENGINE.exe
//   driver --hold-desktop MS
//
// The engine runs in a job of its own, which counts every process that ever joined it: the
// driver reports when the engine's first child (the packaged command) has started, even one
// that ended between two looks, and says with each "progress-hidden" whether the command had
// started by then. With --tmp it also reports the last moment TMP was seen empty, which comes
// before anything the engine does there.
// --watch-file: report when PATH first exists (a command's marker). --signal-file: create
// PATH once the waiting window has been visible for a moment, and hold the engine until the
// test has removed it, so that the test can take a screenshot while the window is up.
//
// --hold-desktop keeps Wine's desktop up for a whole session (scripts/wine-session starts it):
// Wine starts the desktop's process for the first program that asks for the desktop, waits
// only 10 s for it, and ends it soon after the last program has gone. Under emulation it can
// take longer than that, and the program that asked then runs without a working desktop. It
// prints "desktop-ready" once the desktop's process serves it (waiting up to MS), then stays
// until it is ended.
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

// The file names of the job's processes other than `engine` that still run, comma-separated,
// or "-": what the report says the engine started.
static std::string jobProcessNames(HANDLE job, DWORD engine) {
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[63];
    } ids;
    std::string names;
    if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof(ids), NULL)) return "-";
    for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList; ++i) {
        DWORD id = static_cast<DWORD>(ids.list.ProcessIdList[i]);
        if (id == engine) continue;
        char path[MAX_PATH] = "?";
        DWORD length = sizeof(path);
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
        if (process != NULL) {
            if (!QueryFullProcessImageNameA(process, 0, path, &length)) strcpy(path, "?");
            CloseHandle(process);
        }
        const char* name = strrchr(path, '\\');
        if (!names.empty()) names += ",";
        for (const char* c = name != NULL ? name + 1 : path; *c != '\0'; ++c) names += *c == ' ' ? '_' : *c;
    }
    return names.empty() ? "-" : names;
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

static BOOL CALLBACK collectStaticRect(HWND child, LPARAM param) {
    char className[64];
    GetClassNameA(child, className, sizeof(className));
    if (lstrcmpiA(className, "Static") == 0) {
        RECT frame;
        GetWindowRect(child, &frame);
        reinterpret_cast<std::vector<RECT>*>(param)->push_back(frame);
    }
    return TRUE;
}

// True when each static control of `dialog` (the picture and every line) is drawn on the
// screen itself: the whole window has reached the display.
static bool paintedOnScreen(HWND dialog) {
    std::vector<RECT> controls;
    EnumChildWindows(dialog, collectStaticRect, reinterpret_cast<LPARAM>(&controls));
    RECT frame;
    GetWindowRect(dialog, &frame);
    int width = frame.right - frame.left, height = frame.bottom - frame.top;
    if (controls.empty() || width <= 0 || height <= 0) return false;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info;
    memset(&info, 0, sizeof(info));
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = NULL;
    HBITMAP picture = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    bool painted = false;
    if (picture != NULL) {
        HGDIOBJ previous = SelectObject(memory, picture);
        painted = BitBlt(memory, 0, 0, width, height, screen, frame.left, frame.top, SRCCOPY) != FALSE;
        GdiFlush();
        const DWORD* pixels = static_cast<const DWORD*>(bits);
        // Each control shows white (the background it stands on: a part not yet on the
        // display is black) and something else (its text or picture).
        for (const RECT& control : controls) {
            bool white = false, marked = false;
            for (LONG y = control.top; y < control.bottom && !(white && marked); ++y) {
                for (LONG x = control.left; x < control.right && !(white && marked); ++x) {
                    LONG row = y - frame.top, column = x - frame.left;
                    if (row < 0 || row >= height || column < 0 || column >= width) continue;
                    bool isWhite = (pixels[row * width + column] & 0xFFFFFF) == 0xFFFFFF;
                    white = white || isWhite;
                    marked = marked || !isWhite;
                }
            }
            painted = painted && white && marked;
        }
        SelectObject(memory, previous);
        DeleteObject(picture);
    }
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return painted;
}

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

static int holdDesktop(DWORD timeout) {
    DWORD start = GetTickCount();
    DWORD owner = 0;
    for (;;) {
        // Attached to the desktop's process once that has started; 0 before.
        GetWindowThreadProcessId(GetDesktopWindow(), &owner);
        if ((owner != 0 && owner != GetCurrentProcessId()) || GetTickCount() - start > timeout) break;
        Sleep(100);
    }
    HANDLE process = owner != 0 ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, owner) : NULL;
    if (process == NULL) {
        printf("desktop-failed owner=%lu\n", static_cast<unsigned long>(owner));
        return 1;
    }
    DWORD left = timeout - (GetTickCount() - start);
    WaitForInputIdle(process, static_cast<LONG>(left) > 0 ? left : 0);
    CloseHandle(process);
    printf("desktop-ready at=%lu\n", static_cast<unsigned long>(GetTickCount() - start));
    fflush(stdout);
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) DispatchMessageA(&message);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--hold-desktop") == 0) return holdDesktop(strtoul(argv[2], NULL, 10));
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
    DWORD lastPaintLook = 0;
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
            DWORD at = now();
            printf("child-seen at=%lu processes=%s\n", static_cast<unsigned long>(at),
                   jobProcessNames(job, process.dwProcessId).c_str());
            fflush(stdout);
        }
        if (watchFile != NULL && !fileSeen && GetFileAttributesA(watchFile) != INVALID_FILE_ATTRIBUTES) {
            fileSeen = true;
            printf("file-seen at=%lu\n", static_cast<unsigned long>(now()));
            fflush(stdout);
        }
        if (signalFile != NULL && !watch.signalled && watch.progressVisibleNow &&
            now() - watch.progressVisibleSince >= 150 && now() - lastPaintLook >= 50) {
            // The engine is held still while the test takes its screenshot, so that the
            // window is on it however slowly the screenshot comes; the test removes the
            // file when it has the picture. On a slow machine the window reaches the screen
            // only in part until the engine next handles its messages: the engine is held
            // only once the whole window is there.
            lastPaintLook = now();
            SuspendThread(process.hThread);
            if (IsWindowVisible(watch.progress) && paintedOnScreen(watch.progress)) {
                HANDLE f = CreateFileA(signalFile, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
                if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
                while (GetFileAttributesA(signalFile) != INVALID_FILE_ATTRIBUTES && now() <= timeout) Sleep(10);
                watch.signalled = true;
            }
            ResumeThread(process.hThread);
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
