// liblzma compresses a raw LZMA2 stream (no container), through the x86 filter first when
// asked; the stream header in front of it is ours.
#include "runpack/package/solid_encoder.h"

#include "codec/solid_stream.h"

#if RUNPACK_HAVE_LZMA
#include <lzma.h>
#endif

namespace {

void storeLittleEndian32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The dictionary for `total` bytes at `preset`: never more than the data needs, in whole
// grains of the stream header's rule.
uint32_t dictionaryFor(uint64_t total, uint32_t presetDictionary) {
    uint64_t size = presetDictionary;
    if (total < size) size = (total + SOLID_DICTIONARY_GRAIN - 1) / SOLID_DICTIONARY_GRAIN * SOLID_DICTIONARY_GRAIN;
    if (size < SOLID_DICTIONARY_MIN) size = SOLID_DICTIONARY_MIN;
    if (size > SOLID_DICTIONARY_MAX) size = SOLID_DICTIONARY_MAX;
    return static_cast<uint32_t>(size);
}

}  // namespace

uint64_t solidStreamTarget(SolidLevel level) {
    // Three dictionaries' worth: past that, a larger stream gains little.
    return level.preset >= 6 ? 24u << 20 : 8u << 20;
}

bool solidWantsX86Filter(const std::vector<const std::vector<uint8_t>*>& members) {
    uint64_t executable = 0, total = 0;
    for (const std::vector<uint8_t>* m : members) {
        total += m->size();
        if (m->size() >= 2 && (*m)[0] == 'M' && (*m)[1] == 'Z') executable += m->size();
    }
    return executable * 2 > total;
}

#if RUNPACK_HAVE_LZMA

bool solidEncoderAvailable() { return true; }

bool encodeSolidStream(const std::vector<const std::vector<uint8_t>*>& members, SolidLevel level, bool x86Filter,
                       std::vector<uint8_t>* stream, std::string* error) {
    uint64_t total = 0;
    for (const std::vector<uint8_t>* m : members) total += m->size();
    if (members.empty() || total > 0xFFFFFFFFull) {
        *error = "a solid stream holds from 1 file up to 4 GiB - 1 bytes";
        return false;
    }
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, level.preset)) {
        *error = "no such compression preset";
        return false;
    }
    options.dict_size = dictionaryFor(total, options.dict_size);
    lzma_filter filters[3];
    size_t n = 0;
    if (x86Filter) filters[n++] = {LZMA_FILTER_X86, nullptr};
    filters[n++] = {LZMA_FILTER_LZMA2, &options};
    filters[n] = {LZMA_VLI_UNKNOWN, nullptr};
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&strm, filters) != LZMA_OK) {
        *error = "cannot start the LZMA2 encoder";
        return false;
    }
    stream->assign(SOLID_HEADER_SIZE, 0);
    storeLittleEndian32(stream->data(), static_cast<uint32_t>(members.size()));
    storeLittleEndian32(stream->data() + 4, static_cast<uint32_t>(total));
    storeLittleEndian32(stream->data() + 8, options.dict_size);
    storeLittleEndian32(stream->data() + 12, x86Filter ? SOLID_FILTER_X86 : SOLID_FILTER_NONE);
    size_t used = stream->size();
    stream->resize(used + 65536 + total / 4);
    lzma_ret ret = LZMA_OK;
    for (size_t i = 0; i <= members.size() && ret == LZMA_OK; ++i) {
        const bool last = i == members.size();
        // liblzma takes a second call that can make no progress for an error.
        if (!last && members[i]->empty()) continue;
        strm.next_in = last ? nullptr : members[i]->data();
        strm.avail_in = last ? 0 : members[i]->size();
        const lzma_action action = last ? LZMA_FINISH : LZMA_RUN;
        for (;;) {
            if (used == stream->size()) stream->resize(stream->size() * 2);
            strm.next_out = stream->data() + used;
            strm.avail_out = stream->size() - used;
            ret = lzma_code(&strm, action);
            used = stream->size() - strm.avail_out;
            if (ret != LZMA_OK) break;
            if (!last && strm.avail_in == 0) break;
        }
        if (last && ret == LZMA_STREAM_END) ret = LZMA_OK;
        else if (last) ret = ret == LZMA_OK ? LZMA_PROG_ERROR : ret;
    }
    lzma_end(&strm);
    stream->resize(used);
    if (ret != LZMA_OK) {
        *error = "LZMA2 encoding failed (liblzma error " + std::to_string(static_cast<int>(ret)) + ")";
        return false;
    }
    if (stream->size() > std::size_t{0xFFFFFFFFu}) {
        *error = "a solid stream came out at 4 GiB or more";
        return false;
    }
    return true;
}

#else

bool solidEncoderAvailable() { return false; }

bool encodeSolidStream(const std::vector<const std::vector<uint8_t>*>&, SolidLevel, bool, std::vector<uint8_t>*,
                       std::string* error) {
    *error = "this build of runpack has no LZMA2 encoder (built without liblzma)";
    return false;
}

#endif
