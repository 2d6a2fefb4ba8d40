// POSIX: mmap, and madvise(MADV_DONTNEED) to drop a range from the process (for a read-only
// mapping of a file this discards nothing: the page cache keeps the bytes). Windows: a view
// of a file mapping, and VirtualUnlock, which takes pages that are not locked out of the
// working set.
#include "runpack/image/mapped_file.h"

#include <errno.h>

#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#endif

namespace {

std::string reason(int code) { return code != 0 ? ": " + std::generic_category().message(code) : std::string(); }

const uint64_t LARGEST_IMAGE = 0xFFFFFFFFull;

}  // namespace

#ifdef _WIN32

MappedFile::~MappedFile() {
    if (bytes_) UnmapViewOfFile(bytes_);
    if (mapping_) CloseHandle(mapping_);
    if (file_ && file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
}

bool MappedFile::open(const std::string& path, std::string* error) {
    const std::wstring wide = std::filesystem::u8path(path).wstring();
    file_ = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) {
        file_ = nullptr;
        *error = "cannot open " + path + " for reading";
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file_, &size) || size.QuadPart < 0) {
        *error = "cannot read " + path;
        return false;
    }
    size_ = static_cast<uint64_t>(size.QuadPart);
    if (size_ > LARGEST_IMAGE) {
        *error = path + " is 4 GiB or larger: not a PE image";
        return false;
    }
    if (size_ == 0) return true;
    mapping_ = CreateFileMappingW(file_, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping_) bytes_ = static_cast<const uint8_t*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0));
    if (!bytes_) {
        *error = "cannot map " + path + " into memory (" + std::to_string(size_) + " bytes)";
        return false;
    }
    return true;
}

bool MappedFile::unchanged() const { return true; }

void MappedFile::release(const uint8_t* from, const uint8_t* to) const {
    if (!bytes_ || to <= from) return;
    VirtualUnlock(const_cast<uint8_t*>(from), static_cast<SIZE_T>(to - from));
}

#else

MappedFile::~MappedFile() {
    if (bytes_) munmap(const_cast<uint8_t*>(bytes_), static_cast<size_t>(size_));
    if (descriptor_ >= 0) close(descriptor_);
}

bool MappedFile::open(const std::string& path, std::string* error) {
    descriptor_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor_ < 0) {
        *error = "cannot open " + path + " for reading" + reason(errno);
        return false;
    }
    struct stat status;
    if (fstat(descriptor_, &status) != 0) {
        *error = "cannot read " + path + reason(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        *error = "cannot read " + path + ": not a regular file";
        return false;
    }
    size_ = static_cast<uint64_t>(status.st_size);
    identify(&identity_);
    if (size_ > LARGEST_IMAGE) {
        *error = path + " is 4 GiB or larger: not a PE image";
        return false;
    }
    if (size_ == 0) return true;
    void* mapped = mmap(nullptr, static_cast<size_t>(size_), PROT_READ, MAP_PRIVATE, descriptor_, 0);
    if (mapped == MAP_FAILED) {
        *error = "cannot map " + path + " into memory" + reason(errno);
        return false;
    }
    bytes_ = static_cast<const uint8_t*>(mapped);
    return true;
}

bool MappedFile::identify(Identity* identity) const {
    struct stat status;
    if (descriptor_ < 0 || fstat(descriptor_, &status) != 0) return false;
    *identity = Identity{static_cast<uint64_t>(status.st_size), static_cast<uint64_t>(status.st_dev),
                         static_cast<uint64_t>(status.st_ino), static_cast<int64_t>(status.st_mtim.tv_sec),
                         static_cast<int64_t>(status.st_mtim.tv_nsec), static_cast<int64_t>(status.st_ctim.tv_sec),
                         static_cast<int64_t>(status.st_ctim.tv_nsec)};
    return true;
}

bool MappedFile::unchanged() const {
    Identity now{};
    return identify(&now) && now == identity_;
}

void MappedFile::release(const uint8_t* from, const uint8_t* to) const {
    if (!bytes_ || to <= from) return;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t start = (reinterpret_cast<uintptr_t>(from) + page - 1) / page * page;
    const uintptr_t end = reinterpret_cast<uintptr_t>(to) / page * page;
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

#endif
