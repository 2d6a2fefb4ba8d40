// liblzma compresses a raw LZMA2 stream (no container); the x86 filter in front of it, when
// asked for, and the stream header are ours.
#include "runpack/package/solid_encoder.h"

#include <string.h>

#include <algorithm>
#include <thread>

#include "codec/solid_stream.h"
#include "codec/x86_branch_filter.h"

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

unsigned SolidThreadPool::take(unsigned most) {
    std::lock_guard<std::mutex> hold(lock);
    const unsigned got = std::min(most, spare);
    spare -= got;
    return got;
}

void SolidThreadPool::give(unsigned count) {
    std::lock_guard<std::mutex> hold(lock);
    spare += count;
}

std::vector<uint64_t> solidSegmentEnds(uint64_t bytes, uint32_t count) {
    std::vector<uint64_t> ends;
    for (uint32_t k = 1; k < count; ++k) {
        const uint64_t end = (bytes / count * k + bytes % count * k / count) / 16 * 16;
        if (end > (ends.empty() ? 0 : ends.back())) ends.push_back(end);
    }
    ends.push_back(bytes);
    return ends;
}

uint32_t solidSegmentCount(SolidLevel level, uint64_t bytes) {
    if (!level.segmented || level.streamTarget == 0 || bytes <= 2 * level.streamTarget) return 1;
    return static_cast<uint32_t>((bytes + level.streamTarget - 1) / level.streamTarget);
}

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
// The bytes at the end of a piece that the x86 filter may leave for the next one.
const size_t X86_FILTER_HELD = 4;
// A stream's bytes, after the filter, compressed in segments (SolidSegments): they gather in a
// window that holds the dictionary's worth before the segments in hand and as many segments as
// there are threads for them (this one and those lent by the pool), which are then compressed
// at once and appended in order.
struct Segmenter {
    lzma_options_lzma options;
    uint64_t total = 0;
    std::vector<uint64_t> ends;  // where each segment ends in the stream
    unsigned threads = 1;
    SolidThreadPool* pool = nullptr;
    unsigned lent = 0;  // threads lent for the segments in hand
    bool lending = false;
    std::vector<uint8_t> window;
    uint64_t windowStart = 0;  // stream offset of window[0]
    uint64_t done = 0;         // stream offset where the next segment starts

    // A stream given up halfway gives its threads back.
    ~Segmenter() {
        if (lending && pool) pool->give(lent);
    }

    // The LZMA2 chunks of [start, end) of the stream, with the dictionary's worth before it as
    // the compressor's dictionary; without the end mark unless it ends the stream.
    bool compress(uint64_t start, uint64_t end, std::vector<uint8_t>* out) const {
        const uint64_t lead = std::min<uint64_t>(start, options.dict_size);
        lzma_options_lzma own = options;
        own.preset_dict = lead ? window.data() + (start - lead - windowStart) : nullptr;
        own.preset_dict_size = static_cast<uint32_t>(lead);
        lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &own}, {LZMA_VLI_UNKNOWN, nullptr}};
        lzma_stream strm = LZMA_STREAM_INIT;
        if (lzma_raw_encoder(&strm, filters) != LZMA_OK) return false;
        out->resize(65536 + (end - start) / 4);
        strm.next_in = window.data() + (start - windowStart);
        strm.avail_in = static_cast<size_t>(end - start);
        lzma_ret ret = LZMA_OK;
        size_t used = 0;
        while (ret == LZMA_OK) {
            if (used == out->size()) out->resize(out->size() * 2);
            strm.next_out = out->data() + used;
            strm.avail_out = out->size() - used;
            ret = lzma_code(&strm, LZMA_FINISH);
            used = out->size() - strm.avail_out;
        }
        lzma_end(&strm);
        out->resize(used);
        if (ret != LZMA_STREAM_END || out->empty() || out->back() != 0) return false;
        if (end != total) out->pop_back();
        return true;
    }

    // Compresses the segments the window holds whole when they are `threads` of them or end
    // the stream, and appends their chunks to `stream` at `used`; the window then keeps only
    // the dictionary's worth before the next segment.
    bool flush(std::vector<uint8_t>* stream, size_t* used) {
        if (!lending) {
            lent = threads <= 1 ? 0 : pool ? pool->take(threads - 1) : threads - 1;
            lending = true;
        }
        const uint64_t held = windowStart + window.size();
        std::vector<uint64_t> cuts = {done};
        for (uint64_t end : ends) {
            if (end <= done) continue;
            if (cuts.size() > lent + 1 || end > held) break;
            cuts.push_back(end);
        }
        const size_t count = cuts.size() - 1;
        if (count == 0 || (count < lent + 1 && cuts.back() != total)) return true;
        std::vector<std::vector<uint8_t>> pieces(count);
        std::vector<char> ok(count, 0);
        std::vector<std::thread> helpers;
        for (size_t k = 1; k < count; ++k)
            helpers.emplace_back([&, k] { ok[k] = compress(cuts[k], cuts[k + 1], &pieces[k]); });
        ok[0] = compress(cuts[0], cuts[1], &pieces[0]);
        for (std::thread& t : helpers) t.join();
        if (pool) pool->give(lent);
        lending = false;
        for (size_t k = 0; k < count; ++k) {
            if (!ok[k]) return false;
            if (*used + pieces[k].size() > stream->size()) stream->resize(*used + pieces[k].size());
            memcpy(stream->data() + *used, pieces[k].data(), pieces[k].size());
            *used += pieces[k].size();
        }
        done = cuts.back();
        const uint64_t keep = done - std::min<uint64_t>(done, options.dict_size);
        window.erase(window.begin(), window.begin() + static_cast<ptrdiff_t>(keep - windowStart));
        windowStart = keep;
        return true;
    }

    bool add(const uint8_t* bytes, size_t size, std::vector<uint8_t>* stream, size_t* used) {
        window.insert(window.end(), bytes, bytes + size);
        for (;;) {
            const uint64_t before = done;
            if (!flush(stream, used)) return false;
            if (done == before) return true;
        }
    }
};

bool encodeSolidStreamFrom(size_t memberCount, uint64_t total, SolidLevel level, bool x86Filter,
                           const SolidMemberReader& reader, std::vector<uint8_t>* stream, std::string* error,
                           SolidSegments segments) {
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
    // The x86 filter runs ahead of liblzma's LZMA2: over the whole stream from offset 0, or
    // from offset 0 again at each member.
    const bool eachMember = x86Filter && level.filterEachMember;
    const bool segmented = segments.count > 1;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream strm = LZMA_STREAM_INIT;
    if (!segmented && lzma_raw_encoder(&strm, filters) != LZMA_OK) {
        *error = "cannot start the LZMA2 encoder";
        return false;
    }
    Segmenter segmenter;
    if (segmented) {
        segmenter.options = options;
        segmenter.total = total;
        segmenter.ends = solidSegmentEnds(total, segments.count);
        segmenter.threads = std::max(1u, segments.threads);
        segmenter.pool = segments.pool;
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
    // A piece as read, behind the few bytes the filter could not yet decide.
    const size_t pieceSize = static_cast<size_t>(std::min<uint64_t>(SOLID_READ_PIECE, std::max<uint64_t>(total, 1)));
    std::vector<uint8_t> work(X86_FILTER_HELD + pieceSize);
    size_t held = 0;
    X86BranchFilter filter;
    x86FilterBegin(&filter, 0);
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
    // Filtered bytes, into the stream's encoder or the segments. liblzma takes a second call
    // that can make no progress for an error: no empty pieces.
    auto encode = [&](const uint8_t* bytes, size_t size) {
        if (size == 0) return ret == LZMA_OK;
        if (segmented) {
            if (!segmenter.add(bytes, size, stream, &used)) ret = LZMA_PROG_ERROR;
            return ret == LZMA_OK;
        }
        strm.next_in = bytes;
        strm.avail_in = size;
        code(LZMA_RUN);
        return ret == LZMA_OK;
    };
    // The `size` bytes read into `work` behind the held ones, through the filter; at `end`
    // (of the stream, or of a member where the filter restarts) the undecided last bytes go
    // as they are.
    auto filterAndEncode = [&](size_t size, bool end) {
        size_t n = held + size;
        size_t ready = x86Filter ? x86FilterEncode(&filter, work.data(), static_cast<uint32_t>(n)) : n;
        if (end) ready = n;
        if (!encode(work.data(), ready)) return false;
        held = n - ready;
        memmove(work.data(), work.data() + ready, held);
        return true;
    };
    bool readFailed = false;
    for (size_t i = 0; i < memberCount && ret == LZMA_OK && !readFailed; ++i) {
        uint64_t size = 0;
        for (;;) {
            size_t got = 0;
            if (!reader.read(reader.state, i, work.data() + held, pieceSize, &got, error)) {
                readFailed = true;
                break;
            }
            if (got == 0) break;
            size += got;
            if (fed + size > total || !filterAndEncode(got, false)) break;
        }
        fed += size;
        if (readFailed || fed > total || ret != LZMA_OK) break;
        if (eachMember) {
            storeLittleEndian32(stream->data() + SOLID_HEADER_SIZE + 4 * i, static_cast<uint32_t>(size));
            if (!filterAndEncode(0, true)) break;
            x86FilterBegin(&filter, 0);
        }
    }
    if (!readFailed && ret == LZMA_OK && fed == total) filterAndEncode(0, true);
    if (!readFailed && ret == LZMA_OK && fed == total && segmented) {
        // Every byte went to the segments; the last of them ended the stream.
        if (segmenter.done != total) ret = LZMA_PROG_ERROR;
    } else if (!readFailed && ret == LZMA_OK && fed == total) {
        strm.next_in = nullptr;
        strm.avail_in = 0;
        code(LZMA_FINISH);
        ret = ret == LZMA_STREAM_END ? LZMA_OK : ret == LZMA_OK ? LZMA_PROG_ERROR : ret;
    }
    lzma_end(&strm);
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
                           std::string* error, SolidSegments) {
    *error = "this build of runpack has no LZMA2 encoder (built without liblzma)";
    return false;
}

#endif
