// The size of a file. The engine asks Windows; the native build asks the same question
// through POSIX so that the operations built on it can be tested on the host.
#include "platform/file_size.h"

#ifdef _WIN32
#include <windows.h>

uint32_t queryFileSize(const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    // Only the low half is asked for: a file of 4 GiB or more gives its size modulo 2^32.
    DWORD size = GetFileSize(file, nullptr);
    CloseHandle(file);
    return size;
}

#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What Windows answers when a size cannot be read from an open file.
const uint32_t INVALID_FILE_SIZE_VALUE = 0xFFFFFFFF;

}  // namespace

uint32_t queryFileSize(const char* path)
{
    int file = open(path, O_RDONLY);
    if (file < 0) {
        return 0;
    }
    struct stat status;
    uint32_t size = INVALID_FILE_SIZE_VALUE;
    if (fstat(file, &status) == 0) {
        // Windows refuses to open a directory as a file; answer as it would.
        size = S_ISDIR(status.st_mode) ? 0 : (uint32_t)(uint64_t)status.st_size;
    }
    close(file);
    return size;
}

#endif
