#include "launcher/destination_lock.h"

#include "launcher/progress_window.h"
#include "package/package_reader.h"

namespace {

bool isSharedPlace(const char* text) {
    if (text == NULL || text[0] == '\0') return false;
    bool separator = text[0] == '\\' || text[0] == '/';
    if ((separator && (text[1] == '\\' || text[1] == '/')) || text[1] == ':') return true;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '%') return true;
    }
    return false;
}

}  // namespace

bool packageHasSharedDestinations(const uint8_t* package, uint32_t size) {
    PackageHeader header;
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    uint32_t offset = 0;
    if (!readHeader(package, size, &offset, &header)) return true;  // never taken as harmless
    for (uint32_t i = 0; i < header.fileCount; ++i) {
        FileEntry entry;
        entry.recordSize = FILE_ENTRY_RECORD_SIZE;
        if (!readEntry(package, size, offset, &offset, &entry)) return true;
        if (isSharedPlace(entry.directory) || isSharedPlace(entry.name)) return true;
    }
    return false;
}

DestinationLockStatus takeDestinationLock(const uint8_t* digest, DWORD timeoutMs, HWND progress, HANDLE* lock) {
    *lock = NULL;
    char name[sizeof(DESTINATION_LOCK_PREFIX) + 2 * PACKAGE_DIGEST_SIZE];
    char* at = name + wsprintfA(name, DESTINATION_LOCK_PREFIX);
    for (uint32_t i = 0; i < PACKAGE_DIGEST_SIZE; ++i) at += wsprintfA(at, "%02X", digest[i]);
    HANDLE mutex = CreateMutexA(NULL, FALSE, name);
    if (mutex == NULL) return DESTINATION_LOCK_FAILED;
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        DWORD left = elapsed < timeoutMs ? timeoutMs - elapsed : 0;
        DWORD waited = progress != NULL ? MsgWaitForMultipleObjects(1, &mutex, FALSE, left, QS_ALLINPUT)
                                        : WaitForSingleObject(mutex, left);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED_0) {
            *lock = mutex;
            return DESTINATION_LOCK_HELD;
        }
        if (progress != NULL && waited == WAIT_OBJECT_0 + 1 && left > 0) {
            pumpProgressWindow(progress);
            continue;
        }
        DWORD error = waited == WAIT_TIMEOUT || (waited == WAIT_OBJECT_0 + 1) ? ERROR_TIMEOUT : GetLastError();
        CloseHandle(mutex);
        SetLastError(error);
        return waited == WAIT_FAILED ? DESTINATION_LOCK_FAILED : DESTINATION_LOCK_TIMED_OUT;
    }
}

void releaseDestinationLock(HANDLE* lock) {
    if (*lock == NULL) return;
    ReleaseMutex(*lock);
    CloseHandle(*lock);
    *lock = NULL;
}
