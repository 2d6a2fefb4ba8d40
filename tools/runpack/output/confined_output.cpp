// Both platforms walk the same way: from the root's handle, one plain name at a time, each
// level opened without following a link and checked through its handle before anything is
// created in it.
#include "runpack/output/confined_output.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#include <winternl.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

bool fail(std::string* error, const std::string& message) {
    *error = message;
    return false;
}

std::vector<std::string> prefixOf(const std::vector<std::string>& parts, size_t count) {
    return std::vector<std::string>(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace

void markOutputWhole(OutputRecord* record) {
    for (auto made = record->made.rbegin(); made != record->made.rend(); ++made) {
        if (!made->directory) {
            made->whole = true;
            return;
        }
    }
}

std::string outputPath(const OutputRoot& root, const std::vector<std::string>& parts) {
    fs::path path = fs::u8path(root.path);
    for (const std::string& part : parts) path /= fs::u8path(part);
    return path.u8string();
}

#ifndef _WIN32

namespace {

const mode_t NEW_DIRECTORY_MODE = 0755;
const mode_t NEW_FILE_MODE = 0644;

std::string reason() { return strerror(errno); }

// Why `name` in `parent` could not be used as a directory, for the message.
std::string directoryRefusal(int parent, const std::string& name, const std::string& shown) {
    const int saved = errno;
    struct stat st;
    if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) return shown + " is a symbolic link: not followed";
        if (!S_ISDIR(st.st_mode)) return shown + " exists and is not a directory";
    }
    return "cannot create " + shown + ": " + strerror(saved);
}

// Opens (with `create`, first creates when missing) the directory `name` in `parent`,
// never through a link; `made` says whether this call created it.
int openDirectoryAt(int parent, const std::string& name, bool create, bool* made) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    *made = false;
    int fd = openat(parent, name.c_str(), flags);
    if (fd < 0 && errno == ENOENT && create) {
        if (mkdirat(parent, name.c_str(), NEW_DIRECTORY_MODE) == 0) *made = true;
        else if (errno != EEXIST) return -1;
        // Whatever is there now, made by us or swapped in meanwhile, is opened without
        // following it: a link in its place fails here.
        fd = openat(parent, name.c_str(), flags);
    }
    return fd;
}

// Adds what `fd` holds, just made at `parts`, to the root's record.
void recordMade(const OutputRoot& root, const std::vector<std::string>& parts, bool directory, bool replaced, int fd) {
    struct stat st;
    if (!root.record || fstat(fd, &st) != 0) return;
    MadeOutput made;
    made.parts = parts;
    made.directory = directory;
    made.replaced = replaced;
    made.volume = st.st_dev;
    made.index = st.st_ino;
    root.record->made.push_back(made);
}

// Opens every directory of parts[0 .. count-1] in turn; the returned descriptor is the last
// one (the root's own when count is 0, duplicated). -1 with a message otherwise.
int walkDirectories(const OutputRoot& root, const std::vector<std::string>& parts, size_t count, bool create,
                    std::string* error) {
    int current = fcntl(root.fd, F_DUPFD_CLOEXEC, 0);
    if (current < 0) {
        *error = "cannot use " + root.path + ": " + reason();
        return -1;
    }
    for (size_t i = 0; i < count; ++i) {
        bool made = false;
        const int next = openDirectoryAt(current, parts[i], create, &made);
        if (next < 0) {
            *error = directoryRefusal(current, parts[i], outputPath(root, prefixOf(parts, i + 1)));
            close(current);
            return -1;
        }
        if (made) recordMade(root, prefixOf(parts, i + 1), true, false, next);
        close(current);
        current = next;
        if (root.afterDirectory) root.afterDirectory(root.hookState, prefixOf(parts, i + 1));
    }
    return current;
}

}  // namespace

bool openOutputRoot(const std::string& dir, bool create, OutputRoot* root, std::string* error) {
    root->path = dir;
    if (create) {
        std::error_code ec;
        fs::create_directories(fs::u8path(dir), ec);
    }
    root->fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root->fd < 0) return fail(error, "cannot open " + dir + ": " + reason());
    return true;
}

void closeOutputRoot(OutputRoot* root) {
    if (root->fd >= 0) close(root->fd);
    root->fd = -1;
}

bool outputExists(const OutputRoot& root, const std::vector<std::string>& parts) {
    if (parts.empty()) return true;
    std::string ignored;
    const int parent = walkDirectories(root, parts, parts.size() - 1, false, &ignored);
    if (parent < 0) return false;
    struct stat st;
    const bool found = fstatat(parent, parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    close(parent);
    return found;
}

bool createOutputDirectories(const OutputRoot& root, const std::vector<std::string>& parts, std::string* error) {
    const int fd = walkDirectories(root, parts, parts.size(), true, error);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool createOutputFile(const OutputRoot& root, const std::vector<std::string>& parts, bool force, OutputFile* file,
                      std::string* error) {
    file->path = outputPath(root, parts);
    if (parts.empty()) return fail(error, "no file name below " + root.path);
    const int parent = walkDirectories(root, parts, parts.size() - 1, true, error);
    if (parent < 0) return false;
    const char* name = parts.back().c_str();
    // O_EXCL with O_NOFOLLOW: neither an existing file nor a link is ever written through.
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    file->fd = openat(parent, name, flags, NEW_FILE_MODE);
    const bool replaced = file->fd < 0 && errno == EEXIST;
    if (replaced) {
        struct stat st;
        std::string refusal;
        if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) refusal = "cannot replace " + file->path + ": " + reason();
        else if (S_ISLNK(st.st_mode)) refusal = file->path + " is a symbolic link: not replaced";
        else if (!force) refusal = file->path + " exists (use --force to overwrite)";
        else if (!S_ISREG(st.st_mode)) refusal = "cannot replace " + file->path + ": not a regular file";
        else if (unlinkat(parent, name, 0) != 0) refusal = "cannot replace " + file->path + ": " + reason();
        if (!refusal.empty()) {
            close(parent);
            return fail(error, refusal);
        }
        // Removed by name: what is created now is a new file, whatever the old one was linked to.
        file->fd = openat(parent, name, flags, NEW_FILE_MODE);
    }
    const std::string why = file->fd < 0 ? reason() : std::string();
    close(parent);
    if (file->fd < 0) return fail(error, "cannot create " + file->path + ": " + why);
    recordMade(root, parts, false, replaced, file->fd);
    return true;
}

void rollBackOutput(const OutputRoot& root, const OutputRecord& record) {
    for (auto made = record.made.rbegin(); made != record.made.rend(); ++made) {
        if (made->parts.empty() || (!made->directory && made->replaced && made->whole)) continue;
        std::string ignored;
        const int parent = walkDirectories(root, made->parts, made->parts.size() - 1, false, &ignored);
        if (parent < 0) continue;
        const char* name = made->parts.back().c_str();
        struct stat st;
        // Only the object made: whatever took its name since stays.
        if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && static_cast<uint64_t>(st.st_dev) == made->volume &&
            static_cast<uint64_t>(st.st_ino) == made->index) {
            unlinkat(parent, name, made->directory ? AT_REMOVEDIR : 0);
        }
        close(parent);
    }
}

bool writeOutputFile(OutputFile* file, const uint8_t* bytes, size_t count, std::string* error) {
    while (count > 0) {
        const ssize_t n = write(file->fd, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(error, "cannot write " + file->path + ": " + reason());
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

bool closeOutputFile(OutputFile* file, std::string* error) {
    if (file->fd < 0) return true;
    const int result = close(file->fd);
    file->fd = -1;
    if (result != 0) return fail(error, "cannot write " + file->path + ": " + reason());
    return true;
}

#else  // _WIN32

namespace {

// What the walk needs of each level on the way.
const ACCESS_MASK DIRECTORY_ACCESS =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// The NtCreateFile results told apart here (ntstatus.h clashes with windows.h).
const NTSTATUS STATUS_NAME_COLLISION = static_cast<NTSTATUS>(0xC0000035L);
const NTSTATUS STATUS_NOT_A_DIRECTORY_FOUND = static_cast<NTSTATUS>(0xC0000103L);

std::wstring wide(const std::string& utf8) { return fs::u8path(utf8).wstring(); }

std::string describeError(DWORD code) {
    char text[256] = {};
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                       sizeof text, nullptr) == 0) {
        snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(code));
    }
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
}

std::string describeStatus(NTSTATUS status) { return describeError(RtlNtStatusToDosError(status)); }

// Opens or creates `name` relative to the open directory `parent`, as the handle of that
// very object: a reparse point is opened itself, never followed.
NTSTATUS createAt(HANDLE parent, const std::string& name, ACCESS_MASK access, ULONG disposition, ULONG options,
                  ULONG share, HANDLE* handle, ULONG_PTR* information = nullptr) {
    std::wstring text = wide(name);
    UNICODE_STRING unicode;
    unicode.Buffer = &text[0];
    unicode.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
    unicode.MaximumLength = unicode.Length;
    OBJECT_ATTRIBUTES attributes;
    memset(&attributes, 0, sizeof attributes);
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = parent;
    attributes.ObjectName = &unicode;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK io;
    memset(&io, 0, sizeof io);
    *handle = nullptr;
    const NTSTATUS status = NtCreateFile(handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                         share, disposition,
                                         options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (information) *information = io.Information;
    return status;
}

// The identity of the object behind `handle`; false when the handle cannot tell.
bool identityOf(HANDLE handle, uint64_t* volume, uint64_t* index) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return false;
    *volume = info.dwVolumeSerialNumber;
    *index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

// Adds what `handle` holds, just made at `parts`, to the root's record.
void recordMade(const OutputRoot& root, const std::vector<std::string>& parts, bool directory, bool replaced,
                HANDLE handle) {
    MadeOutput made;
    if (!root.record || !identityOf(handle, &made.volume, &made.index)) return;
    made.parts = parts;
    made.directory = directory;
    made.replaced = replaced;
    root.record->made.push_back(made);
}

bool isReparsePoint(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return true;  // unknown: treated as the worst
    return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::wstring finalPathOf(HANDLE handle) {
    std::wstring path(1024, L'\0');
    for (;;) {
        const DWORD n = GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(n + 1);
    }
}

bool lowerOrdinalEqual(const std::wstring& a, size_t length, const std::wstring& b) {
    return a.size() >= length && CompareStringOrdinal(a.c_str(), static_cast<int>(length), b.c_str(),
                                                      static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// True when the object behind `handle` lies below the root, by the system's own resolution.
bool liesUnder(const OutputRoot& root, HANDLE handle) {
    const std::wstring path = finalPathOf(handle);
    std::wstring base = root.finalPath;
    if (path.empty() || base.empty()) return false;
    if (base.back() != L'\\') base.push_back(L'\\');
    return path.size() > base.size() && lowerOrdinalEqual(path, base.size(), base);
}

// Opens every directory of parts[0 .. count-1] in turn and returns the last handle (a
// duplicate of the root's when count is 0); null with a message otherwise.
HANDLE walkDirectories(const OutputRoot& root, const std::vector<std::string>& parts, size_t count, bool create,
                       std::string* error) {
    HANDLE current = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), static_cast<HANDLE>(root.handle), GetCurrentProcess(), &current, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        *error = "cannot use " + root.path;
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        const std::string shown = outputPath(root, prefixOf(parts, i + 1));
        HANDLE next = nullptr;
        ULONG_PTR information = 0;
        // No FILE_SHARE_DELETE: while the walk holds a level, nobody renames or removes it.
        const NTSTATUS result = createAt(current, parts[i], DIRECTORY_ACCESS, create ? FILE_OPEN_IF : FILE_OPEN,
                                         FILE_DIRECTORY_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE, &next, &information);
        CloseHandle(current);
        current = nullptr;
        if (result < 0) {
            if (result == STATUS_NOT_A_DIRECTORY_FOUND) *error = shown + " exists and is not a directory";
            else *error = "cannot create " + shown + ": " + describeStatus(result);
            return nullptr;
        }
        if (isReparsePoint(next)) {
            CloseHandle(next);
            *error = shown + " is a link (reparse point): not followed";
            return nullptr;
        }
        // Links the file system does not report as reparse points (Wine shows a Unix symbolic
        // link as the directory it points to) are caught here, before anything is created in
        // the level they lead to.
        if (!liesUnder(root, next)) {
            CloseHandle(next);
            *error = shown + " resolves outside " + root.path + " (a link?): not followed";
            return nullptr;
        }
        if (information == FILE_CREATED) recordMade(root, prefixOf(parts, i + 1), true, false, next);
        current = next;
        if (root.afterDirectory) root.afterDirectory(root.hookState, prefixOf(parts, i + 1));
    }
    return current;
}

void deleteByHandle(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

}  // namespace

bool openOutputRoot(const std::string& dir, bool create, OutputRoot* root, std::string* error) {
    root->path = dir;
    if (create) {
        std::error_code ec;
        fs::create_directories(fs::u8path(dir), ec);
    }
    HANDLE handle = CreateFileW(wide(dir).c_str(), DIRECTORY_ACCESS, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return fail(error, "cannot open " + dir + ": " + describeError(GetLastError()));
    root->handle = handle;
    root->finalPath = finalPathOf(handle);
    if (root->finalPath.empty()) {
        closeOutputRoot(root);
        return fail(error, "cannot resolve " + dir);
    }
    return true;
}

void closeOutputRoot(OutputRoot* root) {
    if (root->handle) CloseHandle(static_cast<HANDLE>(root->handle));
    root->handle = nullptr;
}

bool outputExists(const OutputRoot& root, const std::vector<std::string>& parts) {
    if (parts.empty()) return true;
    std::string ignored;
    HANDLE parent = walkDirectories(root, parts, parts.size() - 1, false, &ignored);
    if (!parent) return false;
    HANDLE handle = nullptr;
    const NTSTATUS status = createAt(parent, parts.back(), FILE_READ_ATTRIBUTES, FILE_OPEN, 0,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &handle);
    CloseHandle(parent);
    if (status < 0) return false;
    CloseHandle(handle);
    return true;
}

bool createOutputDirectories(const OutputRoot& root, const std::vector<std::string>& parts, std::string* error) {
    HANDLE handle = walkDirectories(root, parts, parts.size(), true, error);
    if (!handle) return false;
    CloseHandle(handle);
    return true;
}

bool createOutputFile(const OutputRoot& root, const std::vector<std::string>& parts, bool force, OutputFile* file,
                      std::string* error) {
    file->path = outputPath(root, parts);
    if (parts.empty()) return fail(error, "no file name below " + root.path);
    HANDLE parent = walkDirectories(root, parts, parts.size() - 1, true, error);
    if (!parent) return false;
    const std::string& name = parts.back();
    const ACCESS_MASK access = GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES;
    HANDLE handle = nullptr;
    NTSTATUS status = createAt(parent, name, access, FILE_CREATE, FILE_NON_DIRECTORY_FILE, FILE_SHARE_READ, &handle);
    const bool replaced = status == STATUS_NAME_COLLISION;
    if (replaced) {
        // Look at what is there through its own handle: a link is opened itself, not followed.
        HANDLE existing = nullptr;
        const NTSTATUS opened = createAt(parent, name, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, 0,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &existing);
        std::string refusal;
        if (opened < 0) {
            refusal = "cannot replace " + file->path + ": " + describeStatus(opened);
        } else {
            BY_HANDLE_FILE_INFORMATION info;
            const bool known = GetFileInformationByHandle(existing, &info) != 0;
            if (!known || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                refusal = file->path + " is a link (reparse point): not replaced";
            else if (!force)
                refusal = file->path + " exists (use --force to overwrite)";
            else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                refusal = "cannot replace " + file->path + ": not a regular file";
            else
                deleteByHandle(existing);
            CloseHandle(existing);
        }
        if (!refusal.empty()) {
            CloseHandle(parent);
            return fail(error, refusal);
        }
        status = createAt(parent, name, access, FILE_CREATE, FILE_NON_DIRECTORY_FILE, FILE_SHARE_READ, &handle);
    }
    CloseHandle(parent);
    if (status < 0) return fail(error, "cannot create " + file->path + ": " + describeStatus(status));
    // The last proof: the system places the new file below the root.
    if (!liesUnder(root, handle)) {
        deleteByHandle(handle);
        CloseHandle(handle);
        return fail(error, file->path + " resolves outside " + root.path + ": refused");
    }
    file->handle = handle;
    recordMade(root, parts, false, replaced, handle);
    return true;
}

void rollBackOutput(const OutputRoot& root, const OutputRecord& record) {
    for (auto made = record.made.rbegin(); made != record.made.rend(); ++made) {
        if (made->parts.empty() || (!made->directory && made->replaced && made->whole)) continue;
        std::string ignored;
        HANDLE parent = walkDirectories(root, made->parts, made->parts.size() - 1, false, &ignored);
        if (!parent) continue;
        HANDLE object = nullptr;
        const NTSTATUS opened = createAt(parent, made->parts.back(), DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, 0,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &object);
        CloseHandle(parent);
        if (opened < 0) continue;
        // Only the object made: whatever took its name since stays.
        uint64_t volume = 0, index = 0;
        if (identityOf(object, &volume, &index) && volume == made->volume && index == made->index) deleteByHandle(object);
        CloseHandle(object);
    }
}

bool writeOutputFile(OutputFile* file, const uint8_t* bytes, size_t count, std::string* error) {
    while (count > 0) {
        const DWORD chunk = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
        DWORD written = 0;
        if (!WriteFile(static_cast<HANDLE>(file->handle), bytes, chunk, &written, nullptr) || written == 0)
            return fail(error, "cannot write " + file->path);
        bytes += written;
        count -= written;
    }
    return true;
}

bool closeOutputFile(OutputFile* file, std::string* error) {
    if (!file->handle) return true;
    const BOOL closed = CloseHandle(static_cast<HANDLE>(file->handle));
    file->handle = nullptr;
    if (!closed) return fail(error, "cannot write " + file->path);
    return true;
}

#endif
