// The solid stream reader against liblzma. The first byte chooses the dictionary size
// (4 KiB times 1 + its low five bits) and, in its bit 5, the x86 branch filter; with bit 6
// set the rest is plain data that liblzma compresses first (with bit 7 choosing among encoder
// settings), so that long valid streams are always within reach; otherwise the rest is the
// LZMA2 stream itself. The reader must hand out exactly what liblzma decodes when liblzma
// accepts the stream whole (end marker at its last byte), and fail when liblzma refuses it.
// With bits 4, 5 and 6 all set, the plain data is cut into members after each CC byte (the
// padding between functions in code); each member goes through liblzma's x86 filter alone,
// and the reader, told the members' sizes, must give the data back whole. Every stream the
// reader opens is also decoded into one flat buffer and read from there, as the engine's
// helper threads do, which must give the reader's bytes and verdict.
#include <lzma.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "codec/solid_stream.h"

namespace {

const size_t OUTPUT_LIMIT = 1u << 20;
// The oracle's output block, kept between runs: clearing megabytes per run would dominate.
uint8_t referenceOutput[OUTPUT_LIMIT + 1];

// liblzma's blocks, kept for the next run: the sanitizer maps and unmaps every large block
// afresh, which would otherwise cost more than the decoding.
struct CachedBlock {
    void* block;
    size_t size;
    bool used;
};
CachedBlock cachedBlocks[32];

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

void setFilters(lzma_filter* filters, lzma_options_lzma* options, bool x86)
{
    size_t n = 0;
    if (x86) {
        filters[n].id = LZMA_FILTER_X86;
        filters[n].options = nullptr;
        ++n;
    }
    filters[n].id = LZMA_FILTER_LZMA2;
    filters[n].options = options;
    ++n;
    filters[n].id = LZMA_VLI_UNKNOWN;
    filters[n].options = nullptr;
}

// liblzma's verdict: true with the output when it decodes the whole input to its end marker.
bool referenceDecode(const uint8_t* stream, size_t size, uint32_t dictionary, bool x86,
                     std::vector<uint8_t>* out)
{
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 6);
    options.dict_size = dictionary;
    lzma_filter filters[3];
    setFilters(filters, &options, x86);
    lzma_stream strm = LZMA_STREAM_INIT;
    strm.allocator = &CACHED_ALLOCATOR;
    if (lzma_raw_decoder(&strm, filters) != LZMA_OK) {
        abort();
    }
    strm.next_in = stream;
    strm.avail_in = size;
    strm.next_out = referenceOutput;
    strm.avail_out = sizeof(referenceOutput);
    lzma_ret ret = lzma_code(&strm, LZMA_FINISH);
    bool accepted = ret == LZMA_STREAM_END && strm.avail_in == 0;
    out->assign(referenceOutput, referenceOutput + (sizeof(referenceOutput) - strm.avail_out));
    lzma_end(&strm);
    return accepted && out->size() <= OUTPUT_LIMIT;
}

bool referenceEncode(const uint8_t* data, size_t size, uint32_t dictionary, bool x86, uint8_t settings,
                     std::vector<uint8_t>* stream)
{
    lzma_options_lzma options;
    lzma_lzma_preset(&options, (settings & 1) ? 0 : 6);
    options.dict_size = dictionary;
    if (settings & 2) {
        options.lc = 0;
        options.lp = 2;
        options.pb = 0;
    }
    lzma_filter filters[3];
    setFilters(filters, &options, x86);
    stream->resize(size + size / 2 + 1024);
    size_t written = 0;
    if (lzma_raw_buffer_encode(filters, &CACHED_ALLOCATOR, data, size, stream->data(), &written, stream->size()) != LZMA_OK) {
        return false;
    }
    stream->resize(written);
    return true;
}

void put32(std::vector<uint8_t>* bytes, uint32_t value)
{
    for (int b = 0; b < 4; ++b) {
        bytes->push_back((uint8_t)(value >> (8 * b)));
    }
}

// The flat decoder as a helper thread runs it, played in the reader's questions: each one
// decodes an uneven stretch more until the bytes asked for are there.
uint32_t flatWait(void* state, uint32_t wanted)
{
    SolidFlatDecoder* flat = (SolidFlatDecoder*)state;
    uint32_t size = flat->header.unpackedSize;
    while (!flat->ended && (wanted > size || flat->decoded < wanted) &&
           solidFlatStep(flat, 1 + (flat->decoded * 7 + wanted) % 70001)) {
    }
    if (wanted > size) {
        return solidFlatFinished(flat) ? size : 0;
    }
    return flat->decoded >= wanted ? flat->decoded : 0;
}

// The stream decoded into one flat buffer and read from there must give what the reader gives
// and fail where it fails; a stream the flat decoder does not take must be one whose
// dictionary is reset after its first chunk.
void checkFlat(const std::vector<uint8_t>& data, bool readerOk, const std::vector<uint8_t>& readerOut)
{
    static SolidFlatDecoder flat;
    static SolidStreamReader reader;
    SolidStreamHeader header;
    if (!readSolidStreamHeader(data.data(), (uint32_t)data.size(), &header)) {
        abort();
    }
    std::vector<uint8_t> buffer(solidFlatCapacity(&header));
    if (!solidFlatOpen(&flat, data.data(), (uint32_t)data.size(), buffer.data(), (uint32_t)buffer.size())) {
        if (header.dictionaryResets < 2) {
            abort();
        }
        return;
    }
    if (!solidStreamOpenDecoded(&reader, data.data(), (uint32_t)data.size(), buffer.data(), flatWait, &flat)) {
        abort();
    }
    std::vector<uint8_t> out;
    bool ok = true;
    for (;;) {
        const uint8_t* bytes = nullptr;
        int32_t n = solidStreamNext(&reader, &bytes, 1 + (uint32_t)(out.size() % 6007));
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        out.insert(out.end(), bytes, bytes + n);
    }
    ok = ok && solidStreamFinished(&reader);
    solidStreamClose(&reader);
    if (ok != readerOk || (ok && out != readerOut)) {
        abort();
    }
}

// The reader's verdict over the same stream behind a one-member header, or, given the
// members' sizes, behind a header that restarts the filter at each of them.
bool ownDecode(const std::vector<uint8_t>& stream, uint32_t dictionary, bool x86, uint32_t unpacked,
               std::vector<uint8_t>* out, const std::vector<uint32_t>& memberSizes = {})
{
    std::vector<uint8_t> data;
    bool each = !memberSizes.empty();
    put32(&data, each ? (uint32_t)memberSizes.size() : 1);
    put32(&data, unpacked);
    put32(&data, dictionary);
    put32(&data, each ? SOLID_FILTER_X86_EACH_MEMBER : x86 ? SOLID_FILTER_X86 : SOLID_FILTER_NONE);
    for (uint32_t m : memberSizes) {
        put32(&data, m);
    }
    data.insert(data.end(), stream.begin(), stream.end());
    static SolidStreamReader reader;
    if (!solidStreamOpen(&reader, data.data(), (uint32_t)data.size())) {
        return false;
    }
    out->clear();
    bool ok = true;
    for (;;) {
        const uint8_t* bytes = nullptr;
        // Uneven pieces, so that the reader's buffers are crossed at every offset.
        int32_t n = solidStreamNext(&reader, &bytes, 1 + (uint32_t)(out->size() % 7919));
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) {
            break;
        }
        out->insert(out->end(), bytes, bytes + n);
    }
    ok = ok && solidStreamFinished(&reader);
    solidStreamClose(&reader);
    checkFlat(data, ok, *out);
    return ok;
}

// Members cut after each CC byte, filtered each alone by liblzma, in one unfiltered stream:
// the reader must undo each member's filter from its own offset 0.
void checkFilterRestartedAtEachMember(const uint8_t* data, size_t size, uint32_t dictionary, uint8_t settings)
{
    std::vector<uint8_t> filtered, packed, alone;
    std::vector<uint32_t> memberSizes;
    size_t start = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] != 0xCC && i + 1 != size) {
            continue;
        }
        if (!referenceEncode(data + start, i + 1 - start, dictionary, true, 1, &packed) ||
            !referenceDecode(packed.data(), packed.size(), dictionary, false, &alone) ||
            alone.size() != i + 1 - start) {
            abort();
        }
        filtered.insert(filtered.end(), alone.begin(), alone.end());
        memberSizes.push_back((uint32_t)alone.size());
        start = i + 1;
    }
    std::vector<uint8_t> stream, actual;
    if (!referenceEncode(filtered.data(), filtered.size(), dictionary, false, settings, &stream) ||
        !ownDecode(stream, dictionary, false, (uint32_t)size, &actual, memberSizes) ||
        actual != std::vector<uint8_t>(data, data + size)) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    uint8_t mode = data[0];
    uint32_t dictionary = SOLID_DICTIONARY_MIN * (1 + (mode & 7));
    bool x86 = (mode & 32) != 0;
    if ((mode & 0x70) == 0x70) {
        if (size > 1 && size - 1 <= OUTPUT_LIMIT) {
            checkFilterRestartedAtEachMember(data + 1, size - 1, dictionary, mode >> 7 | (size & 2));
        }
        return 0;
    }
    std::vector<uint8_t> stream;
    if (mode & 64) {
        if (!referenceEncode(data + 1, size - 1, dictionary, x86, mode >> 7 | (size & 2), &stream)) {
            abort();
        }
    } else {
        stream.assign(data + 1, data + size);
    }
    std::vector<uint8_t> expected;
    bool accepted = referenceDecode(stream.data(), stream.size(), dictionary, x86, &expected);
    if (mode & 64) {
        if (!accepted || expected != std::vector<uint8_t>(data + 1, data + size)) {
            abort();  // the oracle itself must round-trip
        }
    }
    // Streams whose output the oracle cut off are not compared.
    if (!accepted && expected.size() > OUTPUT_LIMIT) {
        return 0;
    }
    // The package declares the size; give the reader the one the chunks add up to.
    uint64_t chunksUnpacked = 0;
    bool walked = lzma2CheckChunks(stream.data(), (uint32_t)stream.size(), &chunksUnpacked, nullptr);
    std::vector<uint8_t> actual;
    bool decoded = walked && chunksUnpacked <= 0xFFFFFFFFu &&
                   ownDecode(stream, dictionary, x86, (uint32_t)chunksUnpacked, &actual);
    if (decoded != accepted) {
        abort();
    }
    if (decoded && actual != expected) {
        abort();
    }
    return 0;
}
