// The codec runs through its callback interface (one byte per call for the reference
// encoder and the decoder); the adapters here read from and write into memory owned by the
// caller. The fast and best encoder levels read the caller's buffer directly.
#include "runpack/package/package_writer.h"

#include <string.h>

#include "codec/lzhuf_encoder.h"
#include "codec/stream_callbacks.h"

namespace {

struct BufferSource {
    const uint8_t* data;
    uint64_t size;
    uint64_t position;
};

struct VectorSink {
    std::vector<uint8_t>* out;
    uint64_t limit;  // the sink refuses a byte that would make the output this long
    bool full;
};

int32_t bufferSourceRead(uint8_t* destination, int32_t capacity, void* state) {
    BufferSource* source = static_cast<BufferSource*>(state);
    if (!source || !destination || capacity < 0) return STREAM_ERR_STATE;
    const uint64_t left = source->size - source->position;
    const uint64_t n = left < static_cast<uint64_t>(capacity) ? left : static_cast<uint64_t>(capacity);
    if (n) memcpy(destination, source->data + source->position, static_cast<size_t>(n));
    source->position += n;
    return static_cast<int32_t>(n);
}

int32_t vectorSinkWrite(const uint8_t* bytes, int32_t count, void* state) {
    VectorSink* sink = static_cast<VectorSink*>(state);
    if (!sink || count < 0) return STREAM_ERR_STATE;
    if (!bytes) return 0;
    if (sink->out->size() + static_cast<uint64_t>(count) >= sink->limit) {
        sink->full = true;
        return STREAM_ERR_WRITE;
    }
    sink->out->insert(sink->out->end(), bytes, bytes + count);
    return count;
}

void put32(std::vector<uint8_t>* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// An item head and value; the caller has checked the size bound.
void item(std::vector<uint8_t>* out, uint32_t type, const uint8_t* value, uint32_t length) {
    put32(out, type);
    put32(out, length);
    if (length) out->insert(out->end(), value, value + length);
}
void intItem(std::vector<uint8_t>* out, uint32_t value) {
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    item(out, ITEM_INT, bytes, 4);
}
// Present text: its bytes and the terminating NUL. Absent text: length 0.
void textItem(std::vector<uint8_t>* out, bool present, const std::string& text) {
    if (!present) {
        item(out, ITEM_STRING, nullptr, 0);
        return;
    }
    put32(out, ITEM_STRING);
    put32(out, static_cast<uint32_t>(text.size() + 1));
    out->insert(out->end(), text.begin(), text.end());
    out->push_back(0);
}

uint64_t textItemSize(bool present, const std::string& text) {
    return ITEM_HEAD_SIZE + (present ? text.size() + 1 : 0);
}

}  // namespace

std::unique_ptr<LzhufContext> newCodecContext() {
    std::unique_ptr<LzhufContext> context(new LzhufContext);
    clearContext(context.get());
    return context;
}

bool lzhufCompress(LzhufContext* context, LzhufLevel level, const uint8_t* data, uint64_t size,
                   uint64_t limit, std::vector<uint8_t>* packed, bool* gaveUp, std::string* error) {
    packed->clear();
    *gaveUp = false;
    if (size > 0x7FFFFFFF) {
        *error = "file too large for LZHUF (2 GiB at most)";
        return false;
    }
    BufferSource source{data, size, 0};
    VectorSink sink{packed, limit ? limit : UINT64_MAX, false};
    const int32_t length = static_cast<int32_t>(size);
    int result;
    if (level == LZHUF_LEVEL_FAST) {
        std::unique_ptr<LzhufFastWork> work(new LzhufFastWork);
        result = lzhufEncodeFast(context, work.get(), data, length, vectorSinkWrite, &sink);
    } else if (level == LZHUF_LEVEL_BEST) {
        std::unique_ptr<LzhufBestWork> work(new LzhufBestWork);
        result = lzhufEncodeBest(context, work.get(), data, length, vectorSinkWrite, &sink);
    } else {
        result = lzhufEncode(context, bufferSourceRead, &source, vectorSinkWrite, &sink);
    }
    if (sink.full) {
        *gaveUp = true;
        packed->clear();
        return false;
    }
    if (result < 0 || static_cast<uint64_t>(result) != size) {
        *error = "LZHUF encoding failed (result " + std::to_string(result) + ")";
        return false;
    }
    return true;
}

bool parseLzhufLevel(const std::string& text, LzhufLevel* level) {
    if (text == "fast") *level = LZHUF_LEVEL_FAST;
    else if (text == "ref") *level = LZHUF_LEVEL_REF;
    else if (text == "best") *level = LZHUF_LEVEL_BEST;
    else return false;
    return true;
}

std::vector<uint8_t> sha1Of(const uint8_t* data, uint64_t size) {
    Sha1Context context;
    sha1Start(&context);
    const uint64_t chunk = 1u << 30;
    for (uint64_t done = 0; done < size; done += chunk) {
        const uint64_t n = size - done < chunk ? size - done : chunk;
        sha1Add(&context, data + done, static_cast<uint32_t>(n));
    }
    std::vector<uint8_t> digest(SHA1_DIGEST_SIZE);
    sha1Finish(&context, digest.data());
    return digest;
}

uint64_t packageHeaderSize(const PackageContents& contents) {
    return 3 * (ITEM_HEAD_SIZE + 4) + textItemSize(contents.hasCommand, contents.command);
}

uint64_t packageEntrySize(const PackageFile& f, uint64_t packedSize) {
    uint64_t size = textItemSize(true, f.name) + textItemSize(f.hasDirectory, f.directory);
    size += ITEM_HEAD_SIZE + PACKAGE_DIGEST_SIZE + 3 * (ITEM_HEAD_SIZE + 4);
    if (packedSize != 0) size += ITEM_HEAD_SIZE + packedSize;
    return size;
}

void appendPackageHeader(const PackageContents& contents, std::vector<uint8_t>* out) {
    intItem(out, 0);
    textItem(out, contents.hasCommand, contents.command);
    intItem(out, contents.cleanupMode);
    intItem(out, static_cast<uint32_t>(contents.files.size()));
}

void appendEntryHead(const PackageFile& f, uint32_t packedSize, std::vector<uint8_t>* out) {
    textItem(out, true, f.name);
    textItem(out, f.hasDirectory, f.directory);
    item(out, ITEM_BLOB, f.digest.data(), PACKAGE_DIGEST_SIZE);
    intItem(out, f.unpackedSize);
    intItem(out, f.method);
    intItem(out, packedSize);
    if (packedSize != 0) {
        put32(out, ITEM_BLOB);
        put32(out, packedSize);
    }
}

bool writePackage(const PackageContents& contents, std::vector<uint8_t>* package, std::string* error) {
    uint64_t size = packageHeaderSize(contents);
    for (const PackageFile& f : contents.files) {
        if (f.digest.size() != PACKAGE_DIGEST_SIZE) {
            *error = "internal error: digest of " + f.name + " is not 20 bytes";
            return false;
        }
        size += packageEntrySize(f, f.packed.size());
        if (size > MAX_PACKAGE_SIZE) break;
    }
    if (size > MAX_PACKAGE_SIZE) {
        *error = PACKAGE_TOO_LARGE;
        return false;
    }
    package->clear();
    package->reserve(static_cast<size_t>(size));
    appendPackageHeader(contents, package);
    for (const PackageFile& f : contents.files) {
        appendEntryHead(f, static_cast<uint32_t>(f.packed.size()), package);
        package->insert(package->end(), f.packed.begin(), f.packed.end());
    }
    return true;
}
