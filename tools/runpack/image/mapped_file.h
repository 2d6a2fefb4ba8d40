// An executable mapped read-only into memory, for list, verify and extract. The readers walk
// the mapping as they would a buffer, but only the pages they touch are read from the disk,
// and the pages they are done with are handed back (release), so that memory stays a fixed
// amount however large the package is: list touches only the entries, verify and extract see
// every byte once in order and drop it behind them.
#pragma once

#include <stdint.h>

#include <string>

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps the file at `path` (UTF-8). False with a message naming the path; a file of 4 GiB
    // or more is refused, as no image can be that large.
    bool open(const std::string& path, std::string* error);
    const uint8_t* data() const { return bytes_; }
    uint64_t size() const { return size_; }
    // The pages wholly inside [from, to) will not be read soon: they leave the process's
    // memory (they stay in the system's file cache, and a later read maps them in again).
    void release(const uint8_t* from, const uint8_t* to) const;
    // False when the file may have been written since it was opened: its size, modification
    // or status-change time is not what it was. (On Windows the file is opened without
    // FILE_SHARE_WRITE: no one can write it while it is mapped.)
    bool unchanged() const;

private:
    const uint8_t* bytes_ = nullptr;
    uint64_t size_ = 0;
#ifdef _WIN32
    void* file_ = nullptr;
    void* mapping_ = nullptr;
#else
    int descriptor_ = -1;
    struct Identity {
        uint64_t size, device, inode;
        int64_t modified, modifiedNs, changed, changedNs;
        bool operator==(const Identity& o) const {
            return size == o.size && device == o.device && inode == o.inode && modified == o.modified &&
                   modifiedNs == o.modifiedNs && changed == o.changed && changedNs == o.changedNs;
        }
    } identity_{};
    bool identify(Identity* identity) const;
#endif
};
