// The decoder hands over one byte per call; the sink here gathers them into blocks for the
// digest and the writer, and refuses every byte beyond the entry's unpacked size.
#include "runpack/output/entry_unpacking.h"

#include <string.h>

#include <algorithm>
#include <memory>

#include "codec/lzhuf_decoder.h"
#include "codec/stream_callbacks.h"
#include "package/method_ids.h"
#include "package/sha1.h"

namespace {

// Why 48: every code of the stream is a symbol of the adaptive Huffman tree, at least 1 bit
// long (the root is never a leaf). A literal yields 1 byte. A match yields at most 60 bytes
// and carries, besides its symbol, the offset: a prefix code of 3 to 8 bits and 6 plain bits,
// so a match takes at least 10 bits. The bit reader fails rather than invent bits past the
// end of the input, so every code that yields output lies wholly inside the stream: at most
// 60 bytes per 10 bits, 6 per bit, 48 per packed byte. (A last match may carry the output up
// to 59 bytes past the count the caller asked for, but those bytes are inside this bound too.)
const uint64_t LZHUF_MAX_BYTES_PER_PACKED_BYTE = 48;

// The decoder's count is a signed 32-bit number.
const uint32_t LZHUF_MAX_COUNT = 0x7FFFFFFF;

// Bytes gathered before they go to the digest and the writer.
const size_t UNPACK_BLOCK_SIZE = 64 * 1024;

struct DigestSink {
    Sha1Context sha1;
    bool hash;          // the bytes go through SHA-1
    const EntryWriter* writer;
    uint64_t expected;  // bytes the entry declares
    uint64_t produced;  // bytes taken so far
    bool overrun;       // the stream yielded more than `expected`
    bool writeFailed;
    std::string* error;
    std::unique_ptr<uint8_t[]> block;
    size_t filled;
};

bool pass(DigestSink* sink, const uint8_t* bytes, size_t count) {
    if (count == 0) return true;
    if (sink->hash) sha1Add(&sink->sha1, bytes, static_cast<uint32_t>(count));
    if (sink->writer && !sink->writer->write(sink->writer->state, bytes, count, sink->error)) {
        sink->writeFailed = true;
        return false;
    }
    return true;
}

bool flush(DigestSink* sink) {
    const size_t n = sink->filled;
    sink->filled = 0;
    return pass(sink, sink->block.get(), n);
}

int32_t digestSinkWrite(const uint8_t* bytes, int32_t count, void* state) {
    DigestSink* sink = static_cast<DigestSink*>(state);
    if (!sink || count < 0) return STREAM_ERR_STATE;
    if (!bytes) return flush(sink) ? 0 : STREAM_ERR_WRITE;
    if (sink->produced + static_cast<uint64_t>(count) > sink->expected) {
        sink->overrun = true;
        return STREAM_ERR_WRITE;
    }
    for (int32_t done = 0; done < count;) {
        const size_t take = std::min<size_t>(UNPACK_BLOCK_SIZE - sink->filled, static_cast<size_t>(count - done));
        memcpy(sink->block.get() + sink->filled, bytes + done, take);
        sink->filled += take;
        done += static_cast<int32_t>(take);
        if (sink->filled == UNPACK_BLOCK_SIZE && !flush(sink)) return STREAM_ERR_WRITE;
    }
    sink->produced += static_cast<uint64_t>(count);
    return count;
}

// Stored data goes to the digest and the writer in pieces of this size, straight from the package.
const uint32_t STORED_PIECE_SIZE = 1u << 20;

void report(const InputProgress* progress, const uint8_t* position) {
    if (progress) progress->reached(progress->state, position);
}

struct MemorySource {
    const uint8_t* data;
    uint32_t size;
    uint32_t position;
    const InputProgress* progress;
    uint32_t reported;
};

int32_t memorySourceRead(uint8_t* destination, int32_t capacity, void* state) {
    MemorySource* source = static_cast<MemorySource*>(state);
    if (!source || !destination || capacity < 0) return STREAM_ERR_STATE;
    const uint32_t left = source->size - source->position;
    const uint32_t n = left < static_cast<uint32_t>(capacity) ? left : static_cast<uint32_t>(capacity);
    if (n) memcpy(destination, source->data + source->position, n);
    source->position += n;
    if (source->position - source->reported >= INPUT_REPORT_BYTES) {
        source->reported = source->position;
        report(source->progress, source->data + source->position);
    }
    return static_cast<int32_t>(n);
}

}  // namespace

uint64_t lzhufMaxUnpackedSize(uint32_t packedSize) {
    return LZHUF_MAX_BYTES_PER_PACKED_BYTE * packedSize;
}

namespace {

// The member's bytes from the open stream, or the stream that its data opens.
bool unpackSolidMember(const FileEntry& e, SolidCursor* solid, DigestSink* sink, std::string* error,
                       const InputProgress* progress) {
    if (solid == nullptr) {
        *error = "a member of a solid stream can only be unpacked in package order";
        return false;
    }
    if (e.packedSize != 0) {
        solidStreamClose(&solid->reader);
        solid->open = solidStreamOpen(&solid->reader, e.data, e.packedSize);
        if (!solid->open) {
            *error = "solid stream header or chunk layout is malformed";
            return false;
        }
        solid->membersLeft = solid->reader.header.memberCount;
        solid->dataEnd = e.data + e.packedSize;
        solid->reported = e.data;
    }
    if (!solid->open || solid->membersLeft == 0) {
        *error = "continues no solid stream";
        return false;
    }
    --solid->membersLeft;
    for (uint32_t left = e.unpackedSize; left != 0;) {
        const uint8_t* bytes = nullptr;
        const int32_t n = solidStreamNext(&solid->reader, &bytes, left);
        if (n <= 0) {
            *error = "LZMA2 stream is corrupt or ends early";
            return false;
        }
        if (!pass(sink, bytes, static_cast<size_t>(n))) return false;
        left -= static_cast<uint32_t>(n);
        const uint8_t* read = solid->reader.decoder.input + solid->reader.decoder.inputPosition;
        if (progress && read - solid->reported >= static_cast<ptrdiff_t>(INPUT_REPORT_BYTES)) {
            solid->reported = read;
            report(progress, read);
        }
    }
    sink->produced = e.unpackedSize;
    if (solid->membersLeft == 0) {
        const bool finished = solidStreamFinished(&solid->reader);
        solidStreamClose(&solid->reader);
        solid->open = false;
        report(progress, solid->dataEnd);
        if (!finished) {
            *error = "solid stream holds more than its members take";
            return false;
        }
    }
    return true;
}

}  // namespace

bool unpackEntry(LzhufContext* context, const FileEntry& e, const EntryWriter* writer, std::string* error,
                 SolidCursor* solid, const InputProgress* progress, bool checkDigest) {
    DigestSink sink;
    sha1Start(&sink.sha1);
    sink.hash = checkDigest;
    sink.writer = writer;
    sink.expected = e.unpackedSize;
    sink.produced = 0;
    sink.overrun = false;
    sink.writeFailed = false;
    sink.error = error;
    sink.filled = 0;
    if (e.method == METHOD_STORED) {
        if (e.packedSize != e.unpackedSize) {
            *error = "stored with packed size " + std::to_string(e.packedSize) + " but unpacked size " +
                     std::to_string(e.unpackedSize);
            return false;
        }
        for (uint32_t done = 0; done < e.packedSize;) {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(STORED_PIECE_SIZE, e.packedSize - done));
            if (!pass(&sink, e.data + done, n)) return false;
            done += n;
            report(progress, e.data + done);
        }
    } else if (e.method == METHOD_LZHUF) {
        if (e.unpackedSize > LZHUF_MAX_COUNT) {
            *error = "unpacked size " + std::to_string(e.unpackedSize) + " too large for LZHUF";
            return false;
        }
        const uint64_t most = lzhufMaxUnpackedSize(e.packedSize);
        if (e.unpackedSize > most) {
            *error = "declares " + std::to_string(e.unpackedSize) + " bytes, but " + std::to_string(e.packedSize) +
                     " packed bytes of LZHUF yield at most " + std::to_string(most);
            return false;
        }
        sink.block.reset(new uint8_t[UNPACK_BLOCK_SIZE]);
        MemorySource source{e.data, e.packedSize, 0, progress, 0};
        const int result = lzhufDecodeBlocks(context, static_cast<int>(e.unpackedSize), memorySourceRead,
                                             &source, digestSinkWrite, &sink);
        if (sink.writeFailed) return false;
        if (sink.overrun) {
            *error = "LZHUF stream decodes past its unpacked size " + std::to_string(e.unpackedSize);
            return false;
        }
        if (result != 0) {
            *error = result == -1 ? "LZHUF stream ends early" : "LZHUF decoding failed";
            return false;
        }
        if (sink.produced != e.unpackedSize) {
            *error = "LZHUF stream decodes to the wrong size";
            return false;
        }
        report(progress, e.data + e.packedSize);
    } else if (e.method == METHOD_LZMA2) {
        if (!unpackSolidMember(e, solid, &sink, error, progress)) return false;
    } else {
        *error = "unknown storage method " + std::to_string(e.method);
        return false;
    }
    if (!checkDigest) return true;
    uint8_t digest[SHA1_DIGEST_SIZE];
    sha1Finish(&sink.sha1, digest);
    if (memcmp(digest, e.digest, SHA1_DIGEST_SIZE) != 0) {
        *error = "content does not match its SHA-1";
        return false;
    }
    return true;
}
