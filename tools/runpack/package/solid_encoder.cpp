// liblzma compresses a raw LZMA2 stream (no container), through the x86 filter first when
// asked; the stream header in front of it is ours.
#include "runpack/package/solid_encoder.h"

#include <string.h>

#include <algorithm>

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

uint64_t solidStreamTarget(SolidLevel level) { return level.streamTarget; }

std::vector<SolidStreamSpan> planSolidStreams(const std::vector<uint64_t>& sizes, const std::vector<bool>& solid,
                                              uint64_t target) {
    const uint64_t most = 0xFFFFFFFFull;
    if (target == 0) target = 1;
    std::vector<SolidStreamSpan> streams;
    for (size_t i = 0; i < sizes.size();) {
        if (!solid[i]) {
            ++i;
            continue;
        }
        size_t end = i;
        uint64_t runBytes = 0;
        while (end < sizes.size() && solid[end]) runBytes += sizes[end++];
        uint64_t count = std::max<uint64_t>(1, runBytes / target + (runBytes % target >= (target + 1) / 2 ? 1 : 0));
        count = std::min<uint64_t>(count, end - i);
        // Where the run's share `k` of `count` ends, without overflow.
        auto shareEnd = [&](uint64_t k) { return runBytes / count * k + runBytes % count * k / count; };
        uint64_t share = 1, before = 0, held = 0;
        streams.push_back({i, 0});
        for (; i < end; ++i) {
            const uint64_t after = before + sizes[i];
            // A share that ends before this file, or in it but nearer its start, ends the
            // stream here; one nearer its end waits for the next file, as it does at an
            // empty file.
            bool cut = false;
            while (share < count && sizes[i] != 0) {
                const uint64_t boundary = shareEnd(share);
                if (boundary > after || (boundary > before && boundary - before > after - boundary)) break;
                cut = true;
                ++share;
            }
            if (streams.back().count > 0 && (cut || held + sizes[i] > most)) {
                streams.push_back({i, 0});
                held = 0;
            }
            ++streams.back().count;
            held += sizes[i];
            before = after;
        }
    }
    return streams;
}

bool solidWantsX86Filter(const std::vector<std::pair<uint64_t, bool>>& members) {
    uint64_t executable = 0, total = 0;
    for (const std::pair<uint64_t, bool>& m : members) {
        total += m.first;
        if (m.second) executable += m.first;
    }
    return executable * 2 > total;
}

bool solidWantsX86Filter(const std::vector<const std::vector<uint8_t>*>& members) {
    std::vector<std::pair<uint64_t, bool>> facts;
    for (const std::vector<uint8_t>* m : members)
        facts.push_back({m->size(), m->size() >= 2 && (*m)[0] == 'M' && (*m)[1] == 'Z'});
    return solidWantsX86Filter(facts);
}

namespace {

// Members in memory, each handed over whole.
struct MemoryMembers {
    const std::vector<const std::vector<uint8_t>*>* members;
    size_t member = SIZE_MAX;
    size_t offset = 0;
};

bool readMemoryMember(void* state, size_t member, uint8_t* buffer, size_t capacity, size_t* got, std::string*) {
    MemoryMembers* m = static_cast<MemoryMembers*>(state);
    if (member != m->member) {
        m->member = member;
        m->offset = 0;
    }
    const std::vector<uint8_t>& bytes = *(*m->members)[member];
    *got = std::min(capacity, bytes.size() - m->offset);
    if (*got) memcpy(buffer, bytes.data() + m->offset, *got);
    m->offset += *got;
    return true;
}

}  // namespace

bool encodeSolidStream(const std::vector<const std::vector<uint8_t>*>& members, SolidLevel level, bool x86Filter,
                       std::vector<uint8_t>* stream, std::string* error) {
    uint64_t total = 0;
    for (const std::vector<uint8_t>* m : members) total += m->size();
    MemoryMembers state{&members};
    return encodeSolidStreamFrom(members.size(), total, level, x86Filter, SolidMemberReader{readMemoryMember, &state},
                                 stream, error);
}

#if RUNPACK_HAVE_LZMA

bool solidEncoderAvailable() { return true; }

// The members go to the encoder in pieces of this size.
const size_t SOLID_READ_PIECE = 1u << 20;
// The x86 filter's pipe, when it restarts at each member, works in pieces of this size.
const size_t SOLID_PIPE_PIECE = 256u << 10;

// liblzma's x86 filter run alone, from offset 0, over one member handed in piece by piece.
// liblzma has no way to run the filter by itself, so the bytes go through the filter into a
// quick LZMA2 stream, which a second stream decodes again without the filter: memory stays
// at the two coders' own and two pieces, whatever the member's size.
struct X86Pipe {
    lzma_options_lzma quick;
    lzma_stream encoder = LZMA_STREAM_INIT;
    lzma_stream decoder = LZMA_STREAM_INIT;
    std::vector<uint8_t> packed, filtered;
};

static bool x86PipeBegin(X86Pipe* pipe) {
    lzma_end(&pipe->encoder);
    lzma_end(&pipe->decoder);
    lzma_lzma_preset(&pipe->quick, 0);
    lzma_filter encodeFilters[3] = {{LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA2, &pipe->quick}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_filter decodeFilters[2] = {{LZMA_FILTER_LZMA2, &pipe->quick}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (pipe->packed.empty()) pipe->packed.resize(SOLID_PIPE_PIECE);
    if (pipe->filtered.empty()) pipe->filtered.resize(SOLID_PIPE_PIECE);
    return lzma_raw_encoder(&pipe->encoder, encodeFilters) == LZMA_OK &&
           lzma_raw_decoder(&pipe->decoder, decodeFilters) == LZMA_OK;
}

static void x86PipeEnd(X86Pipe* pipe) {
    lzma_end(&pipe->encoder);
    lzma_end(&pipe->decoder);
}

// Takes `size` bytes of the member (none, with `finish`, at its end) and hands every filtered
// byte that comes out to `take`. False when a coder fails or `take` does.
template <typename Take>
static bool x86PipeRun(X86Pipe* pipe, const uint8_t* bytes, size_t size, bool finish, Take take) {
    pipe->encoder.next_in = bytes;
    pipe->encoder.avail_in = size;
    const lzma_action action = finish ? LZMA_FINISH : LZMA_RUN;
    for (;;) {
        pipe->encoder.next_out = pipe->packed.data();
        pipe->encoder.avail_out = pipe->packed.size();
        lzma_ret encoded = lzma_code(&pipe->encoder, action);
        if (encoded != LZMA_OK && encoded != LZMA_STREAM_END) return false;
        pipe->decoder.next_in = pipe->packed.data();
        pipe->decoder.avail_in = pipe->packed.size() - pipe->encoder.avail_out;
        lzma_ret decoded = LZMA_OK;
        // Everything the encoder gave, through the decoder; at the end, until it ends too.
        while (pipe->decoder.avail_in != 0 || (encoded == LZMA_STREAM_END && decoded == LZMA_OK)) {
            pipe->decoder.next_out = pipe->filtered.data();
            pipe->decoder.avail_out = pipe->filtered.size();
            decoded = lzma_code(&pipe->decoder, LZMA_RUN);
            if (decoded != LZMA_OK && decoded != LZMA_STREAM_END) return false;
            size_t out = pipe->filtered.size() - pipe->decoder.avail_out;
            if (out != 0 && !take(pipe->filtered.data(), out)) return false;
            if (decoded == LZMA_STREAM_END) break;
            if (out == 0 && pipe->decoder.avail_in == 0 && encoded != LZMA_STREAM_END) break;
        }
        if (encoded == LZMA_STREAM_END) return decoded == LZMA_STREAM_END;
        if (!finish && pipe->encoder.avail_in == 0 && pipe->encoder.avail_out != 0) return true;
    }
}

bool encodeSolidStreamFrom(size_t memberCount, uint64_t total, SolidLevel level, bool x86Filter,
                           const SolidMemberReader& reader, std::vector<uint8_t>* stream, std::string* error) {
    if (memberCount == 0 || total > 0xFFFFFFFFull) {
        *error = "a solid stream holds from 1 file up to 4 GiB - 1 bytes";
        return false;
    }
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, level.preset | (level.extreme ? LZMA_PRESET_EXTREME : 0))) {
        *error = "no such compression preset";
        return false;
    }
    if (level.dictionary != 0) options.dict_size = level.dictionary;
    if (level.positionBits >= 0) options.pb = static_cast<uint32_t>(level.positionBits);
    if (x86Filter && level.codeLiteralBits >= 0) options.lc = static_cast<uint32_t>(level.codeLiteralBits);
    if (x86Filter && level.codeNiceLength != 0) options.nice_len = level.codeNiceLength;
    if (x86Filter && level.codeDepth != 0) options.depth = level.codeDepth;
    options.dict_size = dictionaryFor(total, options.dict_size);
    // Restarting the filter at each member: each goes through a pipe of its own that filters
    // it from offset 0, and the stream itself has no filter in liblzma's chain.
    const bool eachMember = x86Filter && level.filterEachMember;
    lzma_filter filters[3];
    size_t n = 0;
    if (x86Filter && !eachMember) filters[n++] = {LZMA_FILTER_X86, nullptr};
    filters[n++] = {LZMA_FILTER_LZMA2, &options};
    filters[n] = {LZMA_VLI_UNKNOWN, nullptr};
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&strm, filters) != LZMA_OK) {
        *error = "cannot start the LZMA2 encoder";
        return false;
    }
    stream->assign(SOLID_HEADER_SIZE, 0);
    storeLittleEndian32(stream->data(), static_cast<uint32_t>(memberCount));
    storeLittleEndian32(stream->data() + 4, static_cast<uint32_t>(total));
    storeLittleEndian32(stream->data() + 8, options.dict_size);
    storeLittleEndian32(stream->data() + 12, eachMember  ? SOLID_FILTER_X86_EACH_MEMBER
                                             : x86Filter ? SOLID_FILTER_X86
                                                         : SOLID_FILTER_NONE);
    // The members' sizes, filled in as each is read.
    if (eachMember) stream->resize(SOLID_HEADER_SIZE + 4 * memberCount, 0);
    size_t used = stream->size();
    stream->resize(used + 65536 + total / 4);
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(SOLID_READ_PIECE, std::max<uint64_t>(total, 1))));
    uint64_t fed = 0;
    lzma_ret ret = LZMA_OK;
    // Runs the encoder over `avail_in` bytes, or to the end with LZMA_FINISH.
    auto code = [&](lzma_action action) {
        for (;;) {
            if (used == stream->size()) stream->resize(stream->size() * 2);
            strm.next_out = stream->data() + used;
            strm.avail_out = stream->size() - used;
            ret = lzma_code(&strm, action);
            used = stream->size() - strm.avail_out;
            if (ret != LZMA_OK) break;
            if (action == LZMA_RUN && strm.avail_in == 0) break;
        }
    };
    bool readFailed = false;
    X86Pipe pipe;
    // The filtered bytes, into the stream's encoder.
    auto encode = [&](const uint8_t* bytes, size_t size) {
        strm.next_in = bytes;
        strm.avail_in = size;
        code(LZMA_RUN);
        return ret == LZMA_OK;
    };
    for (size_t i = 0; i < memberCount && ret == LZMA_OK && !readFailed; ++i) {
        bool piped = !eachMember || x86PipeBegin(&pipe);
        uint64_t size = 0;
        while (piped) {
            size_t got = 0;
            if (!reader.read(reader.state, i, piece.data(), piece.size(), &got, error)) {
                readFailed = true;
                break;
            }
            if (got == 0) break;
            size += got;
            if (fed + size > total) break;
            // liblzma takes a second call that can make no progress for an error: no empty pieces.
            piped = eachMember ? x86PipeRun(&pipe, piece.data(), got, false, encode) : encode(piece.data(), got);
        }
        fed += size;
        if (readFailed || fed > total || ret != LZMA_OK) break;
        if (eachMember) {
            storeLittleEndian32(stream->data() + SOLID_HEADER_SIZE + 4 * i, static_cast<uint32_t>(size));
            if (piped) piped = x86PipeRun(&pipe, nullptr, 0, true, encode);
        }
        if (!piped) {
            if (ret == LZMA_OK) {
                *error = "the x86 branch filter failed on a file";
                readFailed = true;
            }
            break;
        }
    }
    if (!readFailed && ret == LZMA_OK && fed == total) {
        strm.next_in = nullptr;
        strm.avail_in = 0;
        code(LZMA_FINISH);
        ret = ret == LZMA_STREAM_END ? LZMA_OK : ret == LZMA_OK ? LZMA_PROG_ERROR : ret;
    }
    lzma_end(&strm);
    x86PipeEnd(&pipe);
    stream->resize(used);
    if (readFailed) return false;
    if (ret == LZMA_OK && fed != total) {
        *error = "the files of a solid stream changed while they were packed";
        return false;
    }
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

bool encodeSolidStreamFrom(size_t, uint64_t, SolidLevel, bool, const SolidMemberReader&, std::vector<uint8_t>*,
                           std::string* error) {
    *error = "this build of runpack has no LZMA2 encoder (built without liblzma)";
    return false;
}

#endif
