#include "launcher/messages.h"

#include <string.h>

#include "resources/resource_ids.h"

namespace {

char textBuffers[2][TEXT_BUFFER_SIZE];
int lastTextBuffer = 0;

bool unattended = false;
HANDLE callerError = NULL;  // a file or pipe the caller gave as standard error

// The line an unattended report writes, in the code page and in Unicode: caption, ": ",
// message and a line end.
const size_t REPORT_LINE_SIZE = 2 * TEXT_BUFFER_SIZE + 4;
char reportLine[REPORT_LINE_SIZE];
wchar_t reportLineWide[REPORT_LINE_SIZE];

DWORD WINAPI writeReportLine(LPVOID) {
    DWORD written = 0;
    if (callerError != NULL) {
        WriteFile(callerError, reportLine, static_cast<DWORD>(strlen(reportLine)), &written, NULL);
        return 0;
    }
    // A process that has a console already (Wine gives a graphical process its parent's)
    // cannot attach again, and writes to the one it has.
    BOOL attached = AttachConsole(ATTACH_PARENT_PROCESS);
    if (!attached && GetLastError() != ERROR_ACCESS_DENIED) return 0;
    // The console's own output, whatever standard handles this process was given.
    HANDLE console = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (console != INVALID_HANDLE_VALUE) {
        int length = MultiByteToWideChar(CP_ACP, 0, reportLine, -1, reportLineWide, REPORT_LINE_SIZE);
        if (length > 1) WriteConsoleW(console, reportLineWide, length - 1, &written, NULL);
        CloseHandle(console);
    }
    if (attached) FreeConsole();
    return 0;
}

// Writes the report line on a thread of its own and waits for it at most
// REPORT_WRITE_LIMIT_MS; a write that hangs is left behind and ends with the process.
void writeUnattendedReport(const char* caption, const char* message) {
    size_t captionLength = strlen(caption);
    size_t messageLength = strlen(message);
    memcpy(reportLine, caption, captionLength);
    memcpy(reportLine + captionLength, ": ", 2);
    memcpy(reportLine + captionLength + 2, message, messageLength);
    memcpy(reportLine + captionLength + 2 + messageLength, "\r\n", 3);
    HANDLE writer = CreateThread(NULL, 0, writeReportLine, NULL, 0, NULL);
    if (writer == NULL) return;
    WaitForSingleObject(writer, REPORT_WRITE_LIMIT_MS);
    CloseHandle(writer);
}

}  // namespace

const char* loadText(HINSTANCE instance, UINT id) {
    lastTextBuffer ^= 1;
    char* text = textBuffers[lastTextBuffer];
    text[0] = '\0';
    LoadStringA(instance, id, text, TEXT_BUFFER_SIZE);
    return text;
}

void setUnattendedReporting() {
    unattended = true;
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == NULL || error == INVALID_HANDLE_VALUE) return;
    DWORD type = GetFileType(error);
    if (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) callerError = error;
}

uint32_t reportError(UINT id) {
    uint32_t code = GetLastError();
    if (code == 0) code = CODE_NTE_FAIL;

    // The format and the caption are the last two texts loaded, so both stay valid.
    char message[TEXT_BUFFER_SIZE];
    wsprintfA(message, loadText(NULL, id), code);
    const char* caption = loadText(NULL, IDS_CAPTION);
    if (unattended) {
        writeUnattendedReport(caption, message);
    } else {
        MessageBoxA(NULL, message, caption, MB_ICONWARNING);
    }
    return code;
}
