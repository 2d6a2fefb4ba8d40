// Writing an executable whose package is made while it is written. The resource section is
// laid out first around a package of unknown size: everything in front of the package does not
// depend on its size. The package then goes to the file piece by piece, through SHA-1 and the
// checksum; at the end the section is laid out again with the package's size and digest, the
// rest of the image follows it, and the head is written over with its final bytes. The file
// is byte for byte what embedRunInfo makes from the whole package in memory.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <string>
#include <vector>

#include "package/sha1.h"
#include "runpack/image/pe_resources.h"

// The C library's text for `code`, as the system says it; what the tool's messages about
// files end with.
std::string systemReason(int code);

class StreamedImage {
public:
    enum Failure { NONE, ENGINE, OUTPUT, TOO_LARGE };

    StreamedImage() = default;
    ~StreamedImage() { abandon(); }
    StreamedImage(const StreamedImage&) = delete;
    StreamedImage& operator=(const StreamedImage&) = delete;

    // Makes `path` anew (whatever file stands there is removed, never followed; a directory is
    // refused) for a copy of `engine` with a package, its digest and, when given, the run options.
    bool open(const std::filesystem::path& path, const std::vector<uint8_t>& engine,
              const std::vector<uint8_t>* runOptions, std::string* error);
    // The package's next bytes. Refused (TOO_LARGE) past MAX_PACKAGE_SIZE.
    bool write(const uint8_t* bytes, size_t count, std::string* error);
    uint64_t packageSize() const { return packageSize_; }
    // Writes the rest of the image and closes the file: it is complete only when this succeeds.
    bool finish(std::string* error);
    // Closes and removes an unfinished file.
    void abandon();
    // What the last failure was about: the engine, the output file, or the package's size.
    Failure failure() const { return failure_; }

private:
    bool fail(Failure kind, const std::string& message, std::string* error);
    bool put(const uint8_t* bytes, size_t count, std::string* error);
    // Moves the package written so far to start at `to`, before where it starts now.
    bool moveDown(uint64_t to, std::string* error);
    // Ends the file at `size` bytes.
    bool cutAt(uint64_t size, std::string* error);

    std::filesystem::path path_;
    FILE* file_ = nullptr;
    bool created_ = false;
    std::vector<uint8_t> engine_;
    std::vector<PeResource> resources_;
    size_t packageIndex_ = 0, digestIndex_ = 0;
    uint64_t packageOffset_ = 0;
    uint64_t packageSize_ = 0;
    Sha1Context sha1_;
    PeChecksum rest_;  // the package and everything behind it
    Failure failure_ = NONE;
};
