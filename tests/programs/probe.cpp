// A stand-in for the programs that packages run, for the end-to-end tests. One program with
// a few behaviours, chosen by the first argument:
//
//   probe marker OUT                  append this program's own full path and a line end to OUT
//   probe spawn [--breakaway] CMD...  start CMD (the remaining arguments, joined by spaces)
//                                     and end at once, without waiting for it; --breakaway
//                                     asks for it to leave the job this program runs in
//   probe read-later OUT FILE...      wait two seconds, then write OUT with one line per FILE:
//                                     "FILE=" and its content, or "FILE missing"
//   probe wait-for GO LIMIT_MS OUT    wait until GO exists (at most LIMIT_MS), then write OUT
//   probe command-line OUT [ARG...]   write OUT with this program's command line exactly as
//                                     GetCommandLineW gives it, in UTF-8
//   probe exit CODE [ARG...]          end with CODE (decimal, or hex after 0x), all 32 bits
//   probe where OUT                   write OUT with this program's full path and its current
//                                     directory, one a line, in UTF-8
//   probe ANYTHING ELSE               append its command line and a line end to probe-ran.txt
//                                     beside this program, and end with 2: a program put where
//                                     it must never run (a user's folder) says that it ran
//
// Reports are written to a temporary name and renamed, so a reader sees all of one or none.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

const DWORD READ_LATER_DELAY_MS = 2000;
const DWORD POLL_MS = 20;

bool writeWhole(const std::string& path, const std::string& content) {
    std::string partial = path + ".partial";
    FILE* file = fopen(partial.c_str(), "wb");
    if (file == NULL) return false;
    bool written = fwrite(content.data(), 1, content.size(), file) == content.size();
    written = fclose(file) == 0 && written;
    return written && MoveFileExA(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

int marker(const char* out) {
    char self[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(NULL, self, sizeof(self));
    if (length == 0 || length >= sizeof(self)) return 1;
    FILE* file = fopen(out, "ab");
    if (file == NULL) return 1;
    fprintf(file, "%s\r\n", self);
    return fclose(file) == 0 ? 0 : 1;
}

std::string utf8Of(const WCHAR* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    if (size <= 0) return std::string();
    std::string utf8(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &utf8[0], size, NULL, NULL);
    utf8.resize(size - 1);
    return utf8;
}

int where(const char* out) {
    WCHAR self[32768];
    WCHAR current[32768];
    DWORD length = GetModuleFileNameW(NULL, self, 32768);
    DWORD currentLength = GetCurrentDirectoryW(32768, current);
    if (length == 0 || length >= 32768 || currentLength == 0 || currentLength >= 32768) return 1;
    return writeWhole(out, utf8Of(self) + "\n" + utf8Of(current) + "\n") ? 0 : 1;
}

int spawn(int argc, char** argv) {
    DWORD flags = 0;
    int first = 2;
    if (first < argc && strcmp(argv[first], "--breakaway") == 0) {
        flags |= CREATE_BREAKAWAY_FROM_JOB;
        ++first;
    }
    std::string commandLine;
    for (int i = first; i < argc; ++i) {
        if (i > first) commandLine += ' ';
        commandLine += argv[i];
    }
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    if (!CreateProcessA(NULL, &commandLine[0], NULL, NULL, FALSE, flags, NULL, NULL, &startup, &process)) {
        fprintf(stderr, "probe: cannot start %s: %lu\n", commandLine.c_str(), GetLastError());
        return 1;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

int readLater(int argc, char** argv) {
    Sleep(READ_LATER_DELAY_MS);
    std::string report;
    for (int i = 3; i < argc; ++i) {
        FILE* file = fopen(argv[i], "rb");
        if (file == NULL) {
            report += std::string(argv[i]) + " missing\n";
            continue;
        }
        std::string content;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) content.append(buffer, n);
        fclose(file);
        report += std::string(argv[i]) + "=" + content + "\n";
    }
    return writeWhole(argv[2], report) ? 0 : 1;
}

int waitFor(const char* go, DWORD limit, const char* out) {
    DWORD start = GetTickCount();
    while (GetFileAttributesA(go) == INVALID_FILE_ATTRIBUTES && GetTickCount() - start < limit) {
        Sleep(POLL_MS);
    }
    bool seen = GetFileAttributesA(go) != INVALID_FILE_ATTRIBUTES;
    return writeWhole(out, seen ? "go\n" : "gave up\n") ? 0 : 1;
}

int commandLine(const char* out) {
    const wchar_t* line = GetCommandLineW();
    int size = WideCharToMultiByte(CP_UTF8, 0, line, -1, NULL, 0, NULL, NULL);
    std::string utf8(size > 0 ? size : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, line, -1, &utf8[0], size, NULL, NULL);
    utf8.resize(size > 0 ? size - 1 : 0);
    return writeWhole(out, utf8) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "marker") == 0) return marker(argv[2]);
    if (argc >= 3 && strcmp(argv[1], "spawn") == 0) return spawn(argc, argv);
    if (argc >= 3 && strcmp(argv[1], "read-later") == 0) return readLater(argc, argv);
    if (argc == 5 && strcmp(argv[1], "wait-for") == 0) {
        return waitFor(argv[2], strtoul(argv[3], NULL, 10), argv[4]);
    }
    if (argc >= 3 && strcmp(argv[1], "command-line") == 0) return commandLine(argv[2]);
    if (argc >= 3 && strcmp(argv[1], "exit") == 0) ExitProcess(strtoul(argv[2], NULL, 0));
    if (argc == 3 && strcmp(argv[1], "where") == 0) return where(argv[2]);
    char ran[MAX_PATH + 32];
    DWORD length = GetModuleFileNameA(NULL, ran, MAX_PATH);
    char* name = length > 0 && length < MAX_PATH ? strrchr(ran, '\\') : NULL;
    if (name != NULL) {
        strcpy(name + 1, "probe-ran.txt");
        FILE* file = fopen(ran, "ab");
        if (file != NULL) {
            fprintf(file, "%s\r\n", GetCommandLineA());
            fclose(file);
        }
    }
    fprintf(stderr, "usage: probe marker OUT | spawn [--breakaway] CMD... | read-later OUT FILE... | "
                    "wait-for GO LIMIT_MS OUT | command-line OUT [ARG...] | exit CODE [ARG...] | where OUT\n");
    return 2;
}
