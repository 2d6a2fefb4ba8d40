#include "runpack/image/streamed_image.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif
#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

#include <algorithm>
#include <system_error>

#include "runpack/package/package_writer.h"

namespace fs = std::filesystem;

std::string systemReason(int code) {
    return code != 0 ? std::generic_category().message(code) : std::string("the system gave no reason");
}

namespace {

void store32(std::vector<uint8_t>* bytes, uint64_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

bool StreamedImage::fail(Failure kind, const std::string& message, std::string* error) {
    failure_ = kind;
    *error = message;
    return false;
}

bool StreamedImage::open(const fs::path& path, const std::vector<uint8_t>& engine,
                         const std::vector<uint8_t>* runOptions, std::string* error) {
    std::vector<PeResource> resources;
    if (!readPeResources(engine, &resources, error)) return fail(ENGINE, *error, error);
    for (PeResource& r : resources) {
        const bool ours = r.type.isName && peResourceName(r.type.name).name == RUNINFO_TYPE_NAME && !r.name.isName &&
                          (r.name.id == ID_PACKAGE || r.name.id == ID_PACKAGE_DIGEST || r.name.id == ID_RUN_OPTIONS);
        if (!ours) resources_.push_back(std::move(r));
    }
    auto add = [&](uint16_t id, const std::vector<uint8_t>& bytes) {
        PeResource r;
        r.type = peResourceName(RUNINFO_TYPE_NAME);
        r.name = peResourceId(id);
        r.language = RUNINFO_LANGUAGE;
        r.data = bytes;
        resources_.push_back(std::move(r));
        return resources_.size() - 1;
    };
    packageIndex_ = add(ID_PACKAGE, {});
    digestIndex_ = add(ID_PACKAGE_DIGEST, std::vector<uint8_t>(PACKAGE_DIGEST_SIZE, 0));
    if (runOptions) add(ID_RUN_OPTIONS, *runOptions);
    engine_ = engine;
    // Laid out for a package large enough that its section starts on a page of the file;
    // finish moves a smaller one down to where its section starts.
    resources_[packageIndex_].size = static_cast<uint32_t>(RESOURCES_ALWAYS_ON_A_PAGE);
    ImageAroundHole around;
    if (!writePeResourcesAround(engine_, resources_, packageIndex_, &around, error)) return fail(ENGINE, *error, error);
    packageOffset_ = around.holeOffset;

    // Whatever file stands at the name (one a killed build left, or a link planted there) is
    // removed as it is, never followed; a directory stays. The file is made new: an exclusive
    // create does not write through a link, and fails if anything took the name meanwhile.
    std::error_code ignored;
    if (fs::is_directory(fs::symlink_status(path, ignored))) return fail(OUTPUT, systemReason(EISDIR), error);
    fs::remove(path, ignored);
    errno = 0;
#ifdef _WIN32
    const int fd = _wopen(path.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_BINARY | O_CLOEXEC, 0666);
#endif
    if (fd < 0) return fail(OUTPUT, systemReason(errno), error);
    path_ = path;
    created_ = true;
    file_ = fdopen(fd, "w+b");
    if (file_ == nullptr) {
        const int code = errno;
        close(fd);
        abandon();
        return fail(OUTPUT, systemReason(code), error);
    }
    sha1Start(&sha1_);
    // The head in front of the package is written again at the end, with its final bytes.
    return put(around.bytes.data(), static_cast<size_t>(packageOffset_), error);
}

bool StreamedImage::put(const uint8_t* bytes, size_t count, std::string* error) {
    errno = 0;
    if (count != 0 && fwrite(bytes, 1, count, file_) != count) {
        const int code = errno != 0 ? errno : EIO;
        abandon();
        return fail(OUTPUT, systemReason(code), error);
    }
    return true;
}

bool StreamedImage::write(const uint8_t* bytes, size_t count, std::string* error) {
    if (!file_) return fail(OUTPUT, systemReason(EBADF), error);
    if (packageSize_ + count > MAX_PACKAGE_SIZE) {
        abandon();
        return fail(TOO_LARGE, PACKAGE_TOO_LARGE, error);
    }
    if (!put(bytes, count, error)) return false;
    for (size_t done = 0; done < count;) {
        const size_t n = std::min<size_t>(count - done, 1u << 30);
        sha1Add(&sha1_, bytes + done, static_cast<uint32_t>(n));
        done += n;
    }
    rest_.add(bytes, count);
    packageSize_ += count;
    return true;
}

bool StreamedImage::finish(std::string* error) {
    if (!file_) return fail(OUTPUT, systemReason(EBADF), error);
    std::vector<uint8_t> digest(SHA1_DIGEST_SIZE);
    sha1Finish(&sha1_, digest.data());
    resources_[packageIndex_].size = static_cast<uint32_t>(packageSize_);
    resources_[digestIndex_].data = digest;
    ImageAroundHole around;
    if (!writePeResourcesAround(engine_, resources_, packageIndex_, &around, error)) {
        abandon();
        return fail(ENGINE, *error, error);
    }
    // Nothing in front of the package depends on its size or digest but where it starts: as
    // laid out at the start, or earlier for a small package. The head's length stays even, as
    // the checksum's words need (the package starts on an aligned offset).
    if (around.holeOffset > packageOffset_ || around.holeOffset % 2 != 0 || packageOffset_ % 2 != 0) {
        abandon();
        return fail(ENGINE, "internal error: the resource layout moved the package", error);
    }
    const bool moved = around.holeOffset < packageOffset_;
    if (moved && !moveDown(around.holeOffset, error)) return false;
    const uint8_t* tail = around.bytes.data() + packageOffset_;
    const size_t tailSize = around.bytes.size() - static_cast<size_t>(packageOffset_);
    if (!put(tail, tailSize, error)) return false;
    if (moved && !cutAt(packageOffset_ + packageSize_ + tailSize, error)) return false;
    rest_.add(tail, tailSize);
    std::vector<uint8_t> head(around.bytes.begin(), around.bytes.begin() + static_cast<size_t>(packageOffset_));
    PeChecksum checksum;
    checksum.add(head.data(), head.size());
    checksum.append(rest_);
    store32(&head, around.checksumOffset, checksum.finish());
    errno = 0;
    if (fflush(file_) != 0 || fseek(file_, 0, SEEK_SET) != 0) {
        const int code = errno != 0 ? errno : EIO;
        abandon();
        return fail(OUTPUT, systemReason(code), error);
    }
    if (!put(head.data(), head.size(), error)) return false;
    errno = 0;
    FILE* file = file_;
    file_ = nullptr;
    if (fclose(file) != 0) {
        const int code = errno != 0 ? errno : EIO;
        abandon();
        return fail(OUTPUT, systemReason(code), error);
    }
    created_ = false;  // complete: it stays
    return true;
}

bool StreamedImage::moveDown(uint64_t to, std::string* error) {
    // Only a package under RESOURCES_ALWAYS_ON_A_PAGE moves, by less than a page: offsets fit
    // a long everywhere. Copied from its start, so that no byte is overwritten before it is read.
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(packageSize_, 1u << 20)));
    for (uint64_t done = 0; done < packageSize_;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), packageSize_ - done));
        errno = 0;
        if (fseek(file_, static_cast<long>(packageOffset_ + done), SEEK_SET) != 0 || fread(piece.data(), 1, n, file_) != n ||
            fseek(file_, static_cast<long>(to + done), SEEK_SET) != 0 || fwrite(piece.data(), 1, n, file_) != n) {
            const int code = errno != 0 ? errno : EIO;
            abandon();
            return fail(OUTPUT, systemReason(code), error);
        }
        done += n;
    }
    errno = 0;
    if (fseek(file_, static_cast<long>(to + packageSize_), SEEK_SET) != 0) {
        const int code = errno != 0 ? errno : EIO;
        abandon();
        return fail(OUTPUT, systemReason(code), error);
    }
    packageOffset_ = to;
    return true;
}

bool StreamedImage::cutAt(uint64_t size, std::string* error) {
    errno = 0;
    bool cut = fflush(file_) == 0;
#ifdef _WIN32
    cut = cut && _chsize_s(_fileno(file_), static_cast<__int64>(size)) == 0;
#else
    cut = cut && ftruncate(fileno(file_), static_cast<off_t>(size)) == 0;
#endif
    if (cut) return true;
    const int code = errno != 0 ? errno : EIO;
    abandon();
    return fail(OUTPUT, systemReason(code), error);
}

void StreamedImage::abandon() {
    if (file_) {
        fclose(file_);
        file_ = nullptr;
    }
    if (created_) {
        std::error_code ignored;
        fs::remove(path_, ignored);
        created_ = false;
    }
}
