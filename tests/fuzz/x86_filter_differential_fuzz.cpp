// The x86 branch filter's decoding and encoding against liblzma's. The first byte chooses the
// start offset (0, or the next four bytes), whether the data is made mostly of the bytes that
// matter to the filter (E8, E9, 00, FF), how the data is cut into the pieces handed to the
// filter, and whether encoding is compared too; the rest is the data. Both sides must give the
// same bytes, however the data is cut, and decoding what was encoded gives the data back.
#include <lzma.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "codec/x86_branch_filter.h"

namespace {

const size_t DATA_LIMIT = 1u << 18;
const uint32_t LZMA2_STORED_CHUNK = 1u << 16;
uint8_t referenceOutput[DATA_LIMIT + 1];

// liblzma's blocks, kept for the next run: the sanitizer would otherwise map and unmap the
// decoder's dictionary and state every run.
struct CachedBlock {
    void* block;
    size_t size;
    bool used;
};
CachedBlock cachedBlocks[16];

void* cachedAlloc(void*, size_t count, size_t size)
{
    size_t bytes = count * size;
    for (CachedBlock& c : cachedBlocks) {
        if (!c.used && c.block != nullptr && c.size == bytes) {
            c.used = true;
            return c.block;
        }
    }
    void* block = malloc(bytes);
    for (CachedBlock& c : cachedBlocks) {
        if (c.block == nullptr) {
            c = {block, bytes, true};
            return block;
        }
    }
    return block;
}

void cachedFree(void*, void* block)
{
    for (CachedBlock& c : cachedBlocks) {
        if (c.block == block && block != nullptr) {
            c.used = false;
            return;
        }
    }
    free(block);
}

const lzma_allocator CACHED_ALLOCATOR = {cachedAlloc, cachedFree, nullptr};

// liblzma's x86 filter from `start` in front of a quick LZMA2 with a small window, and that
// LZMA2 alone.
struct ReferenceFilters {
    lzma_options_bcj bcj = {};
    lzma_options_lzma lzma2;
    lzma_filter withFilter[3];
    lzma_filter alone[2];

    explicit ReferenceFilters(uint32_t start)
    {
        bcj.start_offset = start;
        lzma_lzma_preset(&lzma2, 0);
        lzma2.dict_size = 4096;
        withFilter[0] = {LZMA_FILTER_X86, &bcj};
        withFilter[1] = {LZMA_FILTER_LZMA2, &lzma2};
        withFilter[2] = {LZMA_VLI_UNKNOWN, nullptr};
        alone[0] = {LZMA_FILTER_LZMA2, &lzma2};
        alone[1] = {LZMA_VLI_UNKNOWN, nullptr};
    }
};

// liblzma's x86 decoding of `data`: the data goes in as stored LZMA2 chunks, which the LZMA2
// decoder hands to the filter unchanged.
std::vector<uint8_t> referenceDecode(const std::vector<uint8_t>& data, uint32_t start)
{
    std::vector<uint8_t> stream;
    for (size_t at = 0; at < data.size(); at += LZMA2_STORED_CHUNK) {
        size_t chunk = data.size() - at < LZMA2_STORED_CHUNK ? data.size() - at : LZMA2_STORED_CHUNK;
        stream.push_back(at == 0 ? 1 : 2);  // stored, the first one resetting the dictionary
        stream.push_back((uint8_t)((chunk - 1) >> 8));
        stream.push_back((uint8_t)(chunk - 1));
        stream.insert(stream.end(), data.begin() + at, data.begin() + at + chunk);
    }
    stream.push_back(0);
    ReferenceFilters filters(start);
    lzma_stream strm = LZMA_STREAM_INIT;
    strm.allocator = &CACHED_ALLOCATOR;
    if (lzma_raw_decoder(&strm, filters.withFilter) != LZMA_OK) {
        abort();
    }
    strm.next_in = stream.data();
    strm.avail_in = stream.size();
    strm.next_out = referenceOutput;
    strm.avail_out = sizeof(referenceOutput);
    if (lzma_code(&strm, LZMA_FINISH) != LZMA_STREAM_END || strm.avail_in != 0) {
        abort();
    }
    std::vector<uint8_t> out(referenceOutput, referenceOutput + (sizeof(referenceOutput) - strm.avail_out));
    lzma_end(&strm);
    return out;
}

// liblzma's x86 encoding of `data`: through the filter into quick LZMA2, which LZMA2 alone
// decodes again.
std::vector<uint8_t> referenceEncode(const std::vector<uint8_t>& data, uint32_t start)
{
    ReferenceFilters filters(start);
    std::vector<uint8_t> packed(data.size() + data.size() / 8 + 1024);
    size_t packedSize = 0;
    if (lzma_raw_buffer_encode(filters.withFilter, &CACHED_ALLOCATOR, data.data(), data.size(), packed.data(), &packedSize,
                               packed.size()) != LZMA_OK) {
        abort();
    }
    size_t in = 0, outSize = 0;
    if (lzma_raw_buffer_decode(filters.alone, &CACHED_ALLOCATOR, packed.data(), &in, packedSize, referenceOutput, &outSize,
                               sizeof(referenceOutput)) != LZMA_OK) {
        abort();
    }
    return std::vector<uint8_t>(referenceOutput, referenceOutput + outSize);
}

// Ours, the way the solid stream reader and the tool run it: each piece is added behind what
// the filter left over, and at the end what it left over stays as it is.
std::vector<uint8_t> ownRun(uint32_t (*run)(X86BranchFilter*, uint8_t*, uint32_t), const std::vector<uint8_t>& data,
                            uint32_t start, bool smallPieces, uint32_t cutSeed)
{
    X86BranchFilter filter;
    x86FilterBegin(&filter, start);
    std::vector<uint8_t> out;
    std::vector<uint8_t> waiting;
    uint32_t largest = smallPieces ? 16 : 4096;
    size_t at = 0;
    while (at < data.size()) {
        cutSeed = cutSeed * 1103515245u + 12345u;
        size_t piece = 1 + (cutSeed >> 16) % largest;
        piece = piece < data.size() - at ? piece : data.size() - at;
        waiting.insert(waiting.end(), data.begin() + at, data.begin() + at + piece);
        at += piece;
        uint32_t final = run(&filter, waiting.data(), (uint32_t)waiting.size());
        if (final > waiting.size() || waiting.size() - final > 4) {
            abort();
        }
        out.insert(out.end(), waiting.begin(), waiting.begin() + final);
        waiting.erase(waiting.begin(), waiting.begin() + final);
    }
    out.insert(out.end(), waiting.begin(), waiting.end());
    return out;
}

// Mostly the bytes the filter decides on, so that long runs of candidates are common.
const uint8_t DENSE_BYTES[8] = {0xE8, 0xE9, 0x00, 0xFF, 0xE8, 0x00, 0xFF, 0x01};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    if (size < 1) {
        return 0;
    }
    uint8_t mode = input[0];
    size_t used = 1;
    uint32_t start = 0;
    if ((mode & 1) && size >= 5) {
        start = (uint32_t)input[1] | ((uint32_t)input[2] << 8) | ((uint32_t)input[3] << 16) |
                ((uint32_t)input[4] << 24);
        used = 5;
    }
    if (size - used > DATA_LIMIT) {
        return 0;
    }
    std::vector<uint8_t> data(input + used, input + size);
    if (mode & 2) {
        for (uint8_t& byte : data) {
            byte = byte < 0x80 ? DENSE_BYTES[byte & 7] : byte;
        }
    }
    const uint32_t cutSeed = mode * 2654435761u ^ (uint32_t)size;
    if (ownRun(x86FilterDecode, data, start, (mode & 4) != 0, cutSeed) != referenceDecode(data, start)) {
        abort();
    }
    if (mode & 8) {
        const std::vector<uint8_t> encoded = ownRun(x86FilterEncode, data, start, (mode & 4) != 0, cutSeed);
        if (encoded != referenceEncode(data, start) ||
            ownRun(x86FilterDecode, encoded, start, (mode & 16) != 0, cutSeed + 1) != data) {
            abort();
        }
    }
    return 0;
}
