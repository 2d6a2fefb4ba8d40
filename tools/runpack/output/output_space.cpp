#include "runpack/output/output_space.h"

#include <string.h>

#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <sys/statvfs.h>
#endif

namespace fs = std::filesystem;

namespace {

// `dir`, or its nearest parent that exists.
fs::path existingPart(const std::string& dir) {
    std::error_code ec;
    fs::path path = fs::absolute(fs::u8path(dir), ec);
    if (ec) path = fs::u8path(dir);
    while (!fs::exists(path, ec) && path.has_relative_path() && path != path.parent_path()) path = path.parent_path();
    return path;
}

}  // namespace

bool outputFreeSpace(const std::string& dir, uint64_t* freeBytes, uint32_t* unitSize, std::string* error) {
    const fs::path existing = existingPart(dir);
#ifdef _WIN32
    ULARGE_INTEGER available;
    WCHAR volume[MAX_PATH + 1];
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (!GetDiskFreeSpaceExW(existing.c_str(), &available, nullptr, nullptr)) {
        *error = "cannot tell the free space of " + existing.u8string() + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    *freeBytes = available.QuadPart;
    // The cluster size is asked of the volume's root; unknown, files count in bytes.
    *unitSize = GetVolumePathNameW(existing.c_str(), volume, MAX_PATH + 1) &&
                        GetDiskFreeSpaceW(volume, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)
                    ? sectorsPerCluster * bytesPerSector
                    : 1;
#else
    struct statvfs facts;
    if (statvfs(existing.c_str(), &facts) != 0) {
        *error = "cannot tell the free space of " + existing.u8string() + ": " + strerror(errno);
        return false;
    }
    // What an unprivileged user may take: the blocks reserved for the superuser do not count.
    *freeBytes = static_cast<uint64_t>(facts.f_bavail) * facts.f_frsize;
    *unitSize = static_cast<uint32_t>(facts.f_frsize);
#endif
    return true;
}
