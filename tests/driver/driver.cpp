// Windows-side driver of the end-to-end tests. Starts an engine with TMP and TEMP pointing to
// a test-private directory, watches the windows of its process, reads and answers its message
// boxes, notes the waiting window, and prints what it saw, one fact per line (texts as hex of
// their UTF-8 bytes), ending with the full 32-bit exit code.
//
//   driver [--tmp DIR] [--timeout MS] [--watch-file PATH] [--signal-file PATH] [--no-console]
//          [--arguments-file PATH] [--stderr-pipe] [--console] [--kill-when-extracting]
//          [--system-temp] [--whole-command-line] ENGINE.exe
//   driver --hold-desktop MS
//
// The engine runs in a job of its own, which counts every process that ever joined it (the
// engine's own job for its command is nested in it): the driver reports when the engine's
// first child (the packaged command) has started, even one that ended between two looks, and
// says with each "progress-hidden" whether the command had started by then. With --tmp it
// also reports the last moment TMP was seen empty, which comes before anything the engine
// does there. It reports every top-level window of the engine's process, of whatever class,
// once.
// --arguments-file: the engine's command line is its quoted path followed by exactly the
// text of PATH, read as UTF-8, so that it may hold characters of no code page. --stderr-pipe:
// the engine's standard error is a pipe, whose bytes the driver reports when the engine has
// ended. --console: the driver runs with a console of its own, which the engine can attach
// to, and reports the text the console shows after the run.
// --whole-command-line: the text of --arguments-file is the engine's whole command line, its
// program name included, and the engine is started by its path as the application name.
// --kill-when-extracting: end the engine the way the task manager does once a working
// directory that was not there before holds a file. --system-temp: leave TMP and TEMP as
// they are, whatever --tmp says. The temporary directory the engine uses is reported first.
// --watch-file: report when PATH first exists (a command's marker). --signal-file: create
// PATH once the waiting window has been visible for a moment, and hold the engine until the
// test has removed it, so that the test can take a screenshot while the window is up.
// --no-console: start the engine detached from the driver's console, as a program started
// from the desktop is, so that its console commands get a console of their own.
//
// --hold-desktop keeps Wine's desktop up for a whole session (scripts/wine-session starts it):
// Wine starts the desktop's process for the first program that asks for the desktop, waits
// only 10 s for it, and ends it soon after the last program has gone. Under emulation it can
// take longer than that, and the program that asked then runs without a working desktop. It
// prints "desktop-ready" once the desktop's process serves it (waiting up to MS), then stays
// until it is ended.
#include <windows.h>
#include <shellapi.h>

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

static std::vector<HWND> windowsSeen;

// The names of the working directories in `temp` ("QELTMP..."), and whether each holds an entry.
// Wide, so that a temporary path outside the code page is the directory itself.
static std::vector<std::pair<std::string, bool>> workingDirectories(const std::wstring& temp) {
    std::vector<std::pair<std::string, bool>> found;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((temp + L"QELTMP*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return found;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
        WIN32_FIND_DATAW inner;
        HANDLE below = FindFirstFileW((temp + entry.cFileName + L"\\*").c_str(), &inner);
        bool holds = false;
        if (below != INVALID_HANDLE_VALUE) {
            do {
                holds = wcscmp(inner.cFileName, L".") != 0 && wcscmp(inner.cFileName, L"..") != 0;
            } while (!holds && FindNextFileW(below, &inner));
            FindClose(below);
        }
        // The names are the prefix and hex digits: ASCII.
        found.push_back({std::string(entry.cFileName, entry.cFileName + wcslen(entry.cFileName)), holds});
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

static std::string hexOfBytes(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex.empty() ? "-" : hex;
}

// Reads a pipe to its end on a thread of its own, so that the writer is never held.
struct PipeReader {
    HANDLE pipe;
    std::string bytes;
};

static DWORD WINAPI readPipe(LPVOID param) {
    PipeReader* reader = static_cast<PipeReader*>(param);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(reader->pipe, buffer, sizeof(buffer), &got, NULL) && got > 0) reader->bytes.append(buffer, got);
    return 0;
}

// The text of the driver's console screen buffer, lines without their trailing blanks.
static std::wstring consoleText() {
    HANDLE console = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                 OPEN_EXISTING, 0, NULL);
    if (console == INVALID_HANDLE_VALUE) return L"(no console)";
    std::wstring text;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(console, &info)) {
        std::vector<wchar_t> line(info.dwSize.X);
        for (SHORT y = 0; y <= info.dwCursorPosition.Y && y < info.dwSize.Y; ++y) {
            COORD at = {0, y};
            DWORD read = 0;
            if (!ReadConsoleOutputCharacterW(console, line.data(), info.dwSize.X, at, &read)) break;
            std::wstring row(line.data(), read);
            while (!row.empty() && (row.back() == L' ' || row.back() == 0)) row.pop_back();
            text += row + L"\n";
        }
    }
    CloseHandle(console);
    while (!text.empty() && text.back() == L'\n') text.pop_back();
    return text;
}

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

// The waiting window is a dialog of the engine's with a picture control and no button.
static bool isWaitingWindow(HWND window) {
    char className[64];
    GetClassNameA(window, className, sizeof(className));
    if (strcmp(className, "#32770") != 0 || FindWindowExA(window, NULL, "Button", NULL) != NULL)
        return false;
    for (HWND c = FindWindowExA(window, NULL, "Static", NULL); c != NULL;
         c = FindWindowExA(window, c, "Static", NULL)) {
        if ((GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP) return true;
    }
    return false;
}

struct VisibleWaitingWindowSearch {
    DWORD processId;
    bool found;
};

static BOOL CALLBACK findVisibleWaitingWindow(HWND window, LPARAM param) {
    VisibleWaitingWindowSearch* search = reinterpret_cast<VisibleWaitingWindowSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && IsWindowVisible(window) && isWaitingWindow(window)) {
        search->found = true;
        return FALSE;
    }
    return TRUE;
}

// Whether the waiting window is up when a box is seen. Asked of the windows themselves, not
// of what this sweep has seen so far: the box lies above the waiting window and is visited
// first, so a window shown since the last sweep is not known yet.
static bool waitingWindowVisible(const Watch* watch) {
    if (watch->progress != NULL) return IsWindow(watch->progress) && IsWindowVisible(watch->progress);
    VisibleWaitingWindowSearch search = {watch->processId, false};
    EnumWindows(findVisibleWaitingWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

static BOOL CALLBACK inspectWindow(HWND window, LPARAM param) {
    Watch* watch = reinterpret_cast<Watch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != watch->processId) return TRUE;
    char className[64];
    GetClassNameA(window, className, sizeof(className));
    bool seenBefore = false;
    for (HWND seen : windowsSeen) seenBefore = seenBefore || seen == window;
    if (!seenBefore) {
        windowsSeen.push_back(window);
        printf("window at=%lu class=%s visible=%d\n", static_cast<unsigned long>(now()),
               hexOfBytes(className).c_str(), IsWindowVisible(window) ? 1 : 0);
        fflush(stdout);
    }
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
                   waitingWindowVisible(watch) ? 1 : 0);
            fflush(stdout);
        }
        PostMessageA(button, BM_CLICK, 0, 0);
        return TRUE;
    }

    if (watch->progress == NULL) {
        if (!isWaitingWindow(window)) return TRUE;
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
    const char* argumentsFile = NULL;
    bool stderrPipe = false;
    bool console = false;
    DWORD creationFlags = 0;
    bool killWhenExtracting = false;
    bool systemTemp = false;
    bool wholeCommandLine = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--tmp") == 0 && i + 1 < argc) tmp = argv[++i];
        else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) timeout = strtoul(argv[++i], NULL, 10);
        else if (strcmp(argv[i], "--watch-file") == 0 && i + 1 < argc) watchFile = argv[++i];
        else if (strcmp(argv[i], "--signal-file") == 0 && i + 1 < argc) signalFile = argv[++i];
        else if (strcmp(argv[i], "--arguments-file") == 0 && i + 1 < argc) argumentsFile = argv[++i];
        else if (strcmp(argv[i], "--stderr-pipe") == 0) stderrPipe = true;
        else if (strcmp(argv[i], "--console") == 0) console = true;
        else if (strcmp(argv[i], "--no-console") == 0) creationFlags = DETACHED_PROCESS;
        else if (strcmp(argv[i], "--kill-when-extracting") == 0) killWhenExtracting = true;
        else if (strcmp(argv[i], "--system-temp") == 0) systemTemp = true;
        else if (strcmp(argv[i], "--whole-command-line") == 0) wholeCommandLine = true;
        else engine = argv[i];
    }
    if (engine == NULL) {
        fprintf(stderr, "usage: driver [--tmp DIR] [--timeout MS] [--watch-file PATH] [--signal-file PATH] [--no-console] ENGINE.exe\n");
        return 2;
    }
    if (tmp != NULL && !systemTemp) {
        // Set from the Unicode command line: the directory may hold characters that the
        // code page lacks.
        int wideCount = 0;
        LPWSTR* wideArguments = CommandLineToArgvW(GetCommandLineW(), &wideCount);
        for (int i = 1; wideArguments != NULL && i + 1 < wideCount; ++i) {
            if (wcscmp(wideArguments[i], L"--tmp") == 0) {
                SetEnvironmentVariableW(L"TMP", wideArguments[i + 1]);
                SetEnvironmentVariableW(L"TEMP", wideArguments[i + 1]);
                break;
            }
        }
        if (wideArguments != NULL) LocalFree(wideArguments);
    }
    char tempPath[MAX_PATH + 1];
    DWORD tempLength = GetTempPathA(sizeof(tempPath), tempPath);
    if (tempLength == 0 || tempLength >= sizeof(tempPath)) tempPath[0] = '\0';
    // Written out at once: a report with nothing in it means the engine was never started.
    printf("temp path=%s\n", hexOfBytes(tempPath).c_str());
    fflush(stdout);
    WCHAR wideTemp[MAX_PATH + 1];
    DWORD wideTempLength = GetTempPathW(MAX_PATH + 1, wideTemp);
    if (wideTempLength == 0 || wideTempLength > MAX_PATH) wideTemp[0] = L'\0';
    std::vector<std::pair<std::string, bool>> directoriesBefore = workingDirectories(wideTemp);
    bool killed = false;

    std::string commandLine = wholeCommandLine ? std::string() : std::string("\"") + engine + "\"";
    if (argumentsFile != NULL) {
        FILE* file = fopen(argumentsFile, "rb");
        if (file == NULL) {
            printf("start-failed arguments-file\n");
            return 3;
        }
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) commandLine.append(buffer, got);
        fclose(file);
    }
    if (console) {
        // A console of the driver's own, whatever Wine gave it; its text starts empty.
        FreeConsole();
        if (!AllocConsole()) {
            printf("start-failed console error=%lu\n", static_cast<unsigned long>(GetLastError()));
            return 3;
        }
    }
    std::wstring wideCommandLine(commandLine.size() + 1, L'\0');
    // The quoted path is the code page's, the rest UTF-8.
    size_t engineLength = wholeCommandLine ? 0 : strlen(engine) + 2;
    int converted = MultiByteToWideChar(CP_ACP, 0, commandLine.data(), static_cast<int>(engineLength),
                                        &wideCommandLine[0], static_cast<int>(wideCommandLine.size()));
    converted += MultiByteToWideChar(CP_UTF8, 0, commandLine.data() + engineLength,
                                     static_cast<int>(commandLine.size() - engineLength), &wideCommandLine[converted],
                                     static_cast<int>(wideCommandLine.size()) - converted);
    wideCommandLine.resize(converted);
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PipeReader errorReader = {NULL, std::string()};
    HANDLE errorWrite = NULL;
    if (stderrPipe) {
        SECURITY_ATTRIBUTES inherited = {sizeof(inherited), NULL, TRUE};
        if (!CreatePipe(&errorReader.pipe, &errorWrite, &inherited, 0)) {
            printf("start-failed pipe error=%lu\n", static_cast<unsigned long>(GetLastError()));
            return 3;
        }
        SetHandleInformation(errorReader.pipe, HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = NULL;
        startup.hStdOutput = NULL;
        startup.hStdError = errorWrite;
    }
    PROCESS_INFORMATION process;
    // Wine starts the desktop's process for the first program that asks for the desktop and
    // ends it a little after the last one has gone. Asking here first keeps it from being
    // started by the engine, where it would count in the job as a command.
    GetDesktopWindow();
    // The engine puts its command in a job of its own, which nests in this one. Breakaway is
    // allowed here as well, so that a program that leaves the engine's job leaves this one
    // too, as it would for an engine started outside any job.
    HANDLE job = CreateJobObjectA(NULL, NULL);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof(limits));
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (job == NULL || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        printf("start-failed job error=%lu\n", static_cast<unsigned long>(GetLastError()));
        return 3;
    }
    // The clock starts before the engine does: every moment reported follows its start.
    startTick = GetTickCount();
    // TMP's state is taken just before each look; a moment it was seen empty precedes
    // anything the engine made there.
    const char* watchedTmp = systemTemp ? NULL : tmp;
    long tmpLastEmpty = -1;
    bool tmpUsed = false;
    if (watchedTmp != NULL && directoryEmpty(watchedTmp)) tmpLastEmpty = 0;
    // Suspended until it is in the job, so that nothing it starts can escape the count.
    WCHAR applicationName[MAX_PATH + 1];
    if (wholeCommandLine && MultiByteToWideChar(CP_ACP, 0, engine, -1, applicationName, MAX_PATH + 1) == 0) {
        printf("start-failed engine path\n");
        return 3;
    }
    if (!CreateProcessW(wholeCommandLine ? applicationName : NULL, &wideCommandLine[0], NULL, NULL, stderrPipe ? TRUE : FALSE,
                        creationFlags | CREATE_SUSPENDED, NULL, NULL,
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
    HANDLE errorThread = NULL;
    if (stderrPipe) {
        CloseHandle(errorWrite);
        errorThread = CreateThread(NULL, 0, readPipe, &errorReader, 0, NULL);
    }

    Watch watch = {process.dwProcessId, job, NULL, false, false, 0, {}, false, false};
    bool fileSeen = false;
    bool childSeen = false;
    DWORD lastPaintLook = 0;
    bool timedOut = false;
    for (;;) {
        if (watchedTmp != NULL && !tmpUsed) {
            DWORD lookedAt = now();
            if (directoryEmpty(watchedTmp)) {
                tmpLastEmpty = static_cast<long>(lookedAt);
            } else {
                tmpUsed = true;
                printf("tmp-used at=%lu last-empty=%ld\n", static_cast<unsigned long>(now()), tmpLastEmpty);
                fflush(stdout);
            }
        }
        if (killWhenExtracting && !killed) {
            for (const auto& directory : workingDirectories(wideTemp)) {
                bool before = false;
                for (const auto& old : directoriesBefore) before = before || old.first == directory.first;
                if (before || !directory.second) continue;
                TerminateProcess(process.hProcess, 0xDEAD);
                WaitForSingleObject(process.hProcess, INFINITE);
                killed = true;
                printf("killed at=%lu directory=%s\n", static_cast<unsigned long>(now()),
                       hexOfBytes(directory.first).c_str());
                fflush(stdout);
                break;
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
                // Where the picture must show it: the window's frame on the screen.
                RECT frame;
                GetWindowRect(watch.progress, &frame);
                printf("progress-held at=%lu frame=%ld,%ld,%ld,%ld\n", static_cast<unsigned long>(now()),
                       static_cast<long>(frame.left), static_cast<long>(frame.top), static_cast<long>(frame.right),
                       static_cast<long>(frame.bottom));
                fflush(stdout);
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
    if (errorThread != NULL) {
        // The pipe ends when the engine and whatever inherited its end have gone.
        if (WaitForSingleObject(errorThread, 10000) != WAIT_OBJECT_0) printf("stderr-unfinished\n");
        printf("stderr bytes=%s\n", hexOfBytes(errorReader.bytes).c_str());
    }
    if (console) printf("console text=%s\n", hexOfUtf8(consoleText().c_str()).c_str());
    if (timedOut) printf("timeout\n");
    printf("exit code=0x%08lX at=%lu\n", static_cast<unsigned long>(code), static_cast<unsigned long>(now()));
    fflush(stdout);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(job);
    return 0;
}
