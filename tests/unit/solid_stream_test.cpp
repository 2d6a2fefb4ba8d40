// The solid stream reader and its LZMA2 decoder, against streams that liblzma makes, and the
// header and chunk rules that refuse a stream before anything is decoded.
#include "codec/solid_stream.h"

#include <gtest/gtest.h>
#include <lzma.h>

#include <algorithm>
#include <memory>
#include <random>
#include <tuple>
#include <vector>

#include "runpack/package/solid_encoder.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes randomBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes v(n);
    for (uint8_t& b : v) b = (uint8_t)rng();
    return v;
}

Bytes textBytes(size_t n)
{
    const std::string line = "Every file goes to its place, the command runs, and all is removed.\r\n";
    Bytes v;
    while (v.size() < n) v.insert(v.end(), line.begin(), line.end());
    v.resize(n);
    return v;
}

// Code-like bytes: E8/E9 with near operands between other bytes, so that the branch filter
// converts many instructions, some of them close together.
Bytes codeBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes v;
    v.push_back('M');
    v.push_back('Z');
    while (v.size() < n) {
        uint32_t r = rng();
        if (r % 4 == 0) {
            v.push_back(r % 8 == 0 ? 0xE8 : 0xE9);
            uint32_t target = (rng() % 65536) - 32768;
            for (int i = 0; i < 4; ++i) v.push_back((uint8_t)(target >> (8 * i)));
        } else {
            v.push_back((uint8_t)(r >> 8) & 0x3F);
        }
    }
    v.resize(n);
    return v;
}

// liblzma's raw LZMA2 stream for `data`, with explicit coder settings.
Bytes rawLzma2(const Bytes& data, uint32_t dictionary, uint32_t lc, uint32_t lp, uint32_t pb, bool x86,
               uint32_t preset = 6)
{
    lzma_options_lzma options;
    lzma_lzma_preset(&options, preset);
    options.dict_size = dictionary;
    options.lc = lc;
    options.lp = lp;
    options.pb = pb;
    lzma_filter filters[3];
    size_t n = 0;
    if (x86) filters[n++] = {LZMA_FILTER_X86, nullptr};
    filters[n++] = {LZMA_FILTER_LZMA2, &options};
    filters[n] = {LZMA_VLI_UNKNOWN, nullptr};
    Bytes out(data.size() + data.size() / 8 + 4096);
    size_t written = 0;
    EXPECT_EQ(lzma_raw_buffer_encode(filters, nullptr, data.data(), data.size(), out.data(), &written, out.size()),
              LZMA_OK);
    out.resize(written);
    return out;
}

// `member` as liblzma's x86 filter turns it from offset 0: through the filter into LZMA2, and
// back out of LZMA2 alone.
Bytes liblzmaX86(const Bytes& member)
{
    if (member.empty()) return member;
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 0);
    lzma_filter withFilter[3] = {{LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_filter without[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    Bytes packed(member.size() * 2 + 4096), filtered(member.size());
    size_t written = 0, in = 0, out = 0;
    EXPECT_EQ(lzma_raw_buffer_encode(withFilter, nullptr, member.data(), member.size(), packed.data(), &written,
                                     packed.size()),
              LZMA_OK);
    EXPECT_EQ(lzma_raw_buffer_decode(without, nullptr, packed.data(), &in, written, filtered.data(), &out,
                                     filtered.size()),
              LZMA_OK);
    EXPECT_EQ(out, member.size());
    return filtered;
}

void put32(Bytes* b, uint32_t value)
{
    for (int i = 0; i < 4; ++i) b->push_back((uint8_t)(value >> (8 * i)));
}

// A stream: the header fields, then the chunks as given.
Bytes withHeader(uint32_t members, uint32_t unpacked, uint32_t dictionary, uint32_t filter, const Bytes& chunks)
{
    Bytes b;
    put32(&b, members);
    put32(&b, unpacked);
    put32(&b, dictionary);
    put32(&b, filter);
    b.insert(b.end(), chunks.begin(), chunks.end());
    return b;
}

// Everything an open reader hands out, in pieces whose sizes follow `pieces` round, and
// closes it; false when it fails or the stream does not end right after the declared size.
bool drain(SolidStreamReader* reader, Bytes* out, const std::vector<uint32_t>& pieces)
{
    bool ok = true;
    for (size_t k = 0;; ++k) {
        const uint8_t* bytes = nullptr;
        int32_t n = solidStreamNext(reader, &bytes, pieces[k % pieces.size()]);
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        out->insert(out->end(), bytes, bytes + n);
    }
    ok = ok && solidStreamFinished(reader);
    solidStreamClose(reader);
    return ok;
}

// The reader over the whole stream, as drain gives it.
bool readAll(const Bytes& stream, Bytes* out, const std::vector<uint32_t>& pieces = {1u << 30})
{
    static SolidStreamReader reader;
    out->clear();
    if (!solidStreamOpen(&reader, stream.data(), (uint32_t)stream.size())) return false;
    return drain(&reader, out, pieces);
}

}  // namespace

TEST(SolidStream, DecodesWhatLiblzmaEncodes)
{
    struct Case {
        const char* what;
        Bytes data;
        uint32_t dictionary, lc, lp, pb;
        bool x86;
    };
    const Bytes code = codeBytes(300000, 3);
    const std::vector<Case> cases = {
        {"text", textBytes(200000), 1u << 20, 3, 0, 2, false},
        {"random: stored chunks", randomBytes(150000, 1), 1u << 20, 3, 0, 2, false},
        {"zeros: several 2 MiB chunks", Bytes(5u << 20, 0), 1u << 20, 3, 0, 2, false},
        {"dictionary smaller than the data", textBytes(100000), 4096, 3, 0, 2, false},
        {"position contexts", randomBytes(3000, 2), 8192, 0, 4, 4, false},
        {"literal contexts", textBytes(50000), 65536, 4, 0, 0, false},
        {"code through the branch filter", code, 1u << 20, 3, 0, 2, true},
        {"code, filter, small dictionary", code, 4096, 1, 3, 1, true},
        {"filter over text", textBytes(7), 4096, 3, 0, 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes stream = withHeader(1, (uint32_t)c.data.size(), c.dictionary,
                                        c.x86 ? SOLID_FILTER_X86 : SOLID_FILTER_NONE,
                                        rawLzma2(c.data, c.dictionary, c.lc, c.lp, c.pb, c.x86));
        Bytes out;
        ASSERT_TRUE(readAll(stream, &out));
        EXPECT_TRUE(out == c.data);
        // Uneven small pieces cross every buffer boundary of the reader.
        ASSERT_TRUE(readAll(stream, &out, {1, 7, 4093, 65537, 3}));
        EXPECT_TRUE(out == c.data);
    }
}

TEST(SolidStream, FilterRestartedAtEachMemberUndoesLiblzmasFilterOfEachMember)
{
    // Members that end in an E8 whose operand would reach into the next member, members
    // shorter than an instruction, empty ones, and members around the reader's 64 KiB
    // staging buffer, so that boundaries fall before, at and after its ends.
    Bytes endsInCall = codeBytes(20000, 7);
    endsInCall[endsInCall.size() - 2] = 0xE8;
    const std::vector<Bytes> members = {
        endsInCall, {0xE8, 0x00, 0x00}, {}, codeBytes(SOLID_STAGING_SIZE - 1, 8), {0xE9, 0x10, 0x20, 0x00, 0x00},
        codeBytes(SOLID_STAGING_SIZE + 3, 9), {}, textBytes(777), codeBytes(3 * SOLID_STAGING_SIZE, 10), {0xE8},
    };
    Bytes plain, filtered;
    for (const Bytes& m : members) {
        const Bytes f = liblzmaX86(m);
        plain.insert(plain.end(), m.begin(), m.end());
        filtered.insert(filtered.end(), f.begin(), f.end());
    }
    // Filtering the members as one stream would differ, else this would prove nothing.
    ASSERT_FALSE(liblzmaX86(plain) == filtered);
    Bytes stream = withHeader((uint32_t)members.size(), (uint32_t)plain.size(), 1u << 20,
                              SOLID_FILTER_X86_EACH_MEMBER, {});
    for (const Bytes& m : members) put32(&stream, (uint32_t)m.size());
    const Bytes chunks = rawLzma2(filtered, 1u << 20, 2, 0, 0, false);
    stream.insert(stream.end(), chunks.begin(), chunks.end());
    Bytes out;
    ASSERT_TRUE(readAll(stream, &out));
    EXPECT_TRUE(out == plain);
    ASSERT_TRUE(readAll(stream, &out, {1, 7, 4093, 65537, 3}));
    EXPECT_TRUE(out == plain);
}

TEST(SolidStream, ToolStreamsHoldTheirMembersInOrder)
{
    // Empty members side by side, and at either end.
    const Bytes a = codeBytes(70000, 5), b, c = textBytes(123457), d = codeBytes(9, 6);
    const std::vector<const Bytes*> members = {&b, &a, &b, &b, &c, &d, &b};
    Bytes expected = a;
    expected.insert(expected.end(), c.begin(), c.end());
    expected.insert(expected.end(), d.begin(), d.end());
    // best runs the x86 filter over the whole stream; max restarts it at each member and so
    // lists their sizes; without the filter neither does.
    struct Case {
        const char* what;
        SolidLevel level;
        bool x86;
        uint32_t filter;
    };
    for (const Case& k : {Case{"best", SOLID_LEVEL_BEST, true, SOLID_FILTER_X86},
                          Case{"max", SOLID_LEVEL_MAX, true, SOLID_FILTER_X86_EACH_MEMBER},
                          Case{"max, no filter", SOLID_LEVEL_MAX, false, SOLID_FILTER_NONE}}) {
        SCOPED_TRACE(k.what);
        Bytes stream;
        std::string error;
        ASSERT_TRUE(encodeSolidStream(members, k.level, k.x86, &stream, &error)) << error;
        SolidStreamHeader header;
        ASSERT_TRUE(readSolidStreamHeader(stream.data(), (uint32_t)stream.size(), &header));
        EXPECT_EQ(header.memberCount, 7u);
        EXPECT_EQ(header.unpackedSize, a.size() + c.size() + d.size());
        EXPECT_EQ(header.filter, k.filter);
        if (k.filter == SOLID_FILTER_X86_EACH_MEMBER) {
            ASSERT_EQ(header.memberSizes, stream.data() + SOLID_HEADER_SIZE);
            for (size_t i = 0; i < members.size(); ++i) {
                const uint8_t* at = header.memberSizes + 4 * i;
                EXPECT_EQ(at[0] | at[1] << 8 | at[2] << 16 | (uint32_t)at[3] << 24, members[i]->size()) << i;
            }
        } else {
            EXPECT_EQ(header.memberSizes, nullptr);
            EXPECT_EQ(header.chunksOffset, SOLID_HEADER_SIZE);
        }
        // The dictionary is no larger than the data needs, in whole grains.
        EXPECT_EQ(header.dictionarySize % SOLID_DICTIONARY_GRAIN, 0u);
        EXPECT_LT(header.dictionarySize, header.unpackedSize + SOLID_DICTIONARY_GRAIN);
        Bytes out;
        ASSERT_TRUE(readAll(stream, &out, {70000, 1, 123457, 9}));
        EXPECT_TRUE(out == expected);
    }
}

TEST(SolidStream, SegmentsMakeOneStreamWhateverTheThreads)
{
    // Text and code in members that the segments cut across, through the x86 filter over the
    // stream, restarted at each member, and without it; at fast (a 1 MiB dictionary, smaller
    // than a segment's start) and best (a dictionary as large as the data).
    const Bytes text = textBytes(300000), code = codeBytes(400001, 3), noise = randomBytes(100007, 4);
    const std::vector<const Bytes*> members = {&code, &text, &noise, &code};
    Bytes expected;
    for (const Bytes* m : members) expected.insert(expected.end(), m->begin(), m->end());
    struct Case {
        const char* what;
        SolidLevel level;
        bool x86;
    };
    SolidLevel eachMember = SOLID_LEVEL_FAST;
    eachMember.filterEachMember = true;
    for (const Case& k : {Case{"fast, filter over the stream", SOLID_LEVEL_FAST, true},
                          Case{"fast, filter at each member", eachMember, true},
                          Case{"best, no filter", SOLID_LEVEL_BEST, false}}) {
        SCOPED_TRACE(k.what);
        Bytes whole;
        std::string error;
        ASSERT_TRUE(encodeSolidStream(members, k.level, k.x86, &whole, &error)) << error;
        Bytes first;
        // 8 threads with only one to lend beside the caller's: the pool limits them.
        SolidThreadPool pool;
        pool.spare = 1;
        for (unsigned threads : {1u, 3u, 8u, 0u}) {
            SCOPED_TRACE(threads);
            size_t member = SIZE_MAX, offset = 0;
            SolidMemberReader reader = {
                [](void* state, size_t m, uint8_t* buffer, size_t capacity, size_t* got, std::string*) {
                    auto* s = static_cast<std::tuple<const std::vector<const Bytes*>*, size_t*, size_t*>*>(state);
                    size_t& at = *std::get<2>(*s);
                    if (*std::get<1>(*s) != m) {
                        *std::get<1>(*s) = m;
                        at = 0;
                    }
                    const Bytes& bytes = *(*std::get<0>(*s))[m];
                    *got = std::min(capacity, bytes.size() - at);
                    std::copy(bytes.begin() + at, bytes.begin() + at + *got, buffer);
                    at += *got;
                    return true;
                },
                nullptr};
            auto state = std::make_tuple(&members, &member, &offset);
            reader.state = &state;
            Bytes stream;
            ASSERT_TRUE(encodeSolidStreamFrom(members.size(), expected.size(), k.level, k.x86, reader, &stream, &error,
                                              threads ? SolidSegments{5, threads, nullptr}
                                                      : SolidSegments{5, 8, &pool}))
                << error;
            EXPECT_EQ(pool.spare, 1u) << "every thread lent is given back";
            if (first.empty()) first = stream;
            EXPECT_TRUE(stream == first) << "the threads changed the stream";
        }
        // One stream, with the header of the whole: the engine's reader takes it in any pieces.
        EXPECT_TRUE(std::equal(first.begin(), first.begin() + SOLID_HEADER_SIZE, whole.begin()));
        EXPECT_FALSE(first == whole);
        EXPECT_LT(first.size(), whole.size() + whole.size() / 50);
        Bytes out;
        ASSERT_TRUE(readAll(first, &out, {70000, 1, 123457, 9}));
        EXPECT_TRUE(out == expected);
    }
    const std::vector<uint64_t> ends = solidSegmentEnds(1000003, 3);
    EXPECT_EQ(ends, std::vector<uint64_t>({333328, 666656, 1000003}));
    EXPECT_EQ(solidSegmentCount(SOLID_LEVEL_BEST, 32u << 20), 1u);
    EXPECT_EQ(solidSegmentCount(SOLID_LEVEL_BEST, (32u << 20) + 1), 3u);
    EXPECT_EQ(solidSegmentCount(SOLID_LEVEL_MAX, 1u << 30), 1u);
}

TEST(SolidStream, HeaderRefusals)
{
    const Bytes data = textBytes(10000);
    const Bytes chunks = rawLzma2(data, 65536, 3, 0, 2, false);
    const uint32_t size = (uint32_t)data.size();
    ASSERT_TRUE(readSolidStreamHeader(withHeader(1, size, 65536, 0, chunks).data(),
                                      (uint32_t)(chunks.size() + SOLID_HEADER_SIZE), nullptr));
    struct Case {
        const char* what;
        Bytes stream;
    };
    Bytes trailing = chunks;
    trailing.push_back(0);
    Bytes noEnd(chunks.begin(), chunks.end() - 1);
    Bytes cut(chunks.begin(), chunks.end() - 2);
    cut.push_back(0);
    std::vector<Case> cases = {
        {"no members", withHeader(0, size, 65536, 0, chunks)},
        {"unpacked size one short", withHeader(1, size - 1, 65536, 0, chunks)},
        {"unpacked size one over", withHeader(1, size + 1, 65536, 0, chunks)},
        {"dictionary below 4 KiB", withHeader(1, size, 2048, 0, chunks)},
        {"dictionary over 64 MiB", withHeader(1, size, (64u << 20) + 4096, 0, chunks)},
        {"dictionary of 4 GiB - 4 KiB", withHeader(1, size, 0xFFFFF000u, 0, chunks)},
        {"dictionary not in grains", withHeader(1, size, 65536 + 16, 0, chunks)},
        {"unknown filter", withHeader(1, size, 65536, 3, chunks)},
        {"a byte after the end marker", withHeader(1, size, 65536, 0, trailing)},
        {"no end marker", withHeader(1, size, 65536, 0, noEnd)},
        {"chunk cut short", withHeader(1, size, 65536, 0, cut)},
        {"header only", withHeader(1, 0, 65536, 0, {})},
        {"half a header", Bytes(8, 0)},
    };
    // The member sizes that the restarting filter needs: they must lie in the data and add up
    // to the unpacked size, without wrapping around.
    auto listed = [&](uint32_t members, std::vector<uint32_t> sizes) {
        Bytes b = withHeader(members, size, 65536, SOLID_FILTER_X86_EACH_MEMBER, {});
        for (uint32_t s : sizes) put32(&b, s);
        b.insert(b.end(), chunks.begin(), chunks.end());
        return b;
    };
    const Bytes good = listed(2, {size - 3, 3});
    ASSERT_TRUE(readSolidStreamHeader(good.data(), (uint32_t)good.size(), nullptr));
    cases.push_back({"member sizes one short", listed(2, {size - 3, 2})});
    cases.push_back({"member sizes one over", listed(2, {size - 3, 4})});
    cases.push_back({"member sizes past 4 GiB", listed(2, {0x80000000u, 0x80000000u + size})});
    cases.push_back({"more members listed than the data holds", listed(0x40000000u, {size})});
    const Bytes sizesOnly = listed(1, {size});
    cases.push_back({"member sizes but no chunks", Bytes(sizesOnly.begin(), sizesOnly.begin() + 20)});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(readSolidStreamHeader(c.stream.data(), (uint32_t)c.stream.size(), nullptr));
        Bytes out;
        EXPECT_FALSE(readAll(c.stream, &out));
    }
    // The largest dictionary is taken; an empty stream is just the end marker.
    EXPECT_TRUE(readSolidStreamHeader(withHeader(1, size, 64u << 20, 0, chunks).data(),
                                      (uint32_t)(chunks.size() + SOLID_HEADER_SIZE), nullptr));
    const Bytes empty = withHeader(3, 0, 4096, 1, {0});
    Bytes out;
    EXPECT_TRUE(readAll(empty, &out));
    EXPECT_TRUE(out.empty());
}

TEST(SolidStream, ChunkOrderRules)
{
    // Stored chunks: 01 resets the dictionary, 02 continues; sizes are big-endian minus one.
    auto stored = [](uint8_t control, const Bytes& bytes) {
        Bytes c(3 + bytes.size());
        c[0] = control;
        c[1] = (uint8_t)((bytes.size() - 1) >> 8);
        c[2] = (uint8_t)(bytes.size() - 1);
        std::copy(bytes.begin(), bytes.end(), c.begin() + 3);
        return c;
    };
    const Bytes hello = {'h', 'e', 'l', 'l', 'o'};
    auto stream = [](std::vector<Bytes> chunks, uint32_t unpacked) {
        Bytes all;
        for (const Bytes& c : chunks) all.insert(all.end(), c.begin(), c.end());
        all.push_back(0);
        return withHeader(1, unpacked, 4096, 0, all);
    };
    Bytes out;
    ASSERT_TRUE(readAll(stream({stored(1, hello), stored(2, hello), stored(1, hello)}, 15), &out));
    EXPECT_EQ(std::string(out.begin(), out.end()), "hellohellohello");
    // The first chunk must reset the dictionary.
    EXPECT_FALSE(readAll(stream({stored(2, hello)}, 5), &out));
    // Control bytes 03..7F name no chunk.
    EXPECT_FALSE(readAll(stream({{0x03, 0, 0, 'x'}}, 1), &out));
    // An LZMA chunk after a dictionary reset must bring properties: take a real chunk of
    // liblzma's (control E0..FF) and lower its control to 0xA0 (state reset, no properties).
    const Bytes lz = rawLzma2(textBytes(3000), 4096, 3, 0, 2, false);
    ASSERT_GE(lz[0], 0xE0);
    Bytes noProperties(lz.begin(), lz.end());
    noProperties[0] = (uint8_t)(0xA0 | (lz[0] & 0x1F));
    noProperties.erase(noProperties.begin() + 5);  // its properties byte
    EXPECT_FALSE(readAll(stream({stored(1, hello), Bytes(noProperties.begin(), noProperties.end() - 1)}, 3005), &out));
    // Properties with lc + lp above 4 are refused (lc 3, lp 2).
    Bytes wideContext = lz;
    wideContext[5] = (uint8_t)((0 * 5 + 2) * 9 + 3);
    EXPECT_FALSE(readAll(withHeader(1, 3000, 4096, 0, wideContext), &out));
    // The same chunk after stored data: dictionary reset is then a legal second reset.
    ASSERT_TRUE(readAll(stream({stored(1, hello), Bytes(lz.begin(), lz.end() - 1)}, 3005), &out));
    EXPECT_TRUE(Bytes(out.begin() + 5, out.end()) == textBytes(3000));
}

TEST(SolidStream, DamagedPayloadFailsOrDiffersButNeverOverruns)
{
    // Without a checksum in LZMA2 a changed byte may still decode; the reader must then hand
    // out exactly the declared size or fail, and never read or write outside its buffers
    // (the sanitizer build checks that). Most damage is caught by the range decoder's end.
    const Bytes data = textBytes(60000);
    const Bytes chunks = rawLzma2(data, 65536, 3, 0, 2, false);
    int refused = 0;
    for (size_t at = 6; at < chunks.size() - 1; at += 7) {
        Bytes damaged = chunks;
        damaged[at] ^= 0x5A;
        Bytes out;
        if (!readAll(withHeader(1, (uint32_t)data.size(), 65536, 0, damaged), &out)) {
            ++refused;
        } else {
            EXPECT_EQ(out.size(), data.size());
        }
    }
    EXPECT_GT(refused, (int)(chunks.size() / 7) * 9 / 10);
}

TEST(SolidStream, ReaderRefusesWhatItWasNotOpenedFor)
{
    SolidStreamReader reader;
    reader.dictionary = nullptr;
    const uint8_t* bytes = nullptr;
    EXPECT_EQ(solidStreamNext(&reader, &bytes, 10), -1);
    EXPECT_FALSE(solidStreamFinished(&reader));
    solidStreamClose(&reader);
    // Declared more than the chunks hold: refused at open.
    const Bytes chunks = rawLzma2(textBytes(100), 4096, 3, 0, 2, false);
    const Bytes longer = withHeader(1, 101, 4096, 0, chunks);
    EXPECT_FALSE(solidStreamOpen(&reader, longer.data(), (uint32_t)longer.size()));
}

namespace {

// A helper's decoding, played without a thread: the reader's every question about the bytes
// decoded elsewhere decodes `step` more with the flat decoder until they are there.
struct FlatHelper {
    SolidFlatDecoder* flat;
    uint32_t step;
};

uint32_t flatWait(void* state, uint32_t wanted)
{
    FlatHelper* h = (FlatHelper*)state;
    SolidFlatDecoder* flat = h->flat;
    uint32_t size = flat->header.unpackedSize;
    while (!flat->ended && (wanted > size || flat->decoded < wanted) && solidFlatStep(flat, h->step)) {
    }
    if (wanted > size) return solidFlatFinished(flat) ? size : 0;
    return flat->decoded >= wanted ? flat->decoded : 0;
}

// The stream decoded into one flat buffer and read from there, in `pieces`: what readAll
// gives for the same stream, and false where it fails. `flatOpened` tells whether the flat
// decoder took the stream at all.
bool readThroughFlat(const Bytes& stream, Bytes* out, uint32_t step, const std::vector<uint32_t>& pieces,
                     bool* flatOpened = nullptr)
{
    static SolidStreamReader reader;
    static SolidFlatDecoder flat;
    out->clear();
    SolidStreamHeader header;
    if (!readSolidStreamHeader(stream.data(), (uint32_t)stream.size(), &header)) return false;
    // Exactly the capacity asked for: the sanitizers see a write past it.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[solidFlatCapacity(&header)]);
    bool opened = solidFlatOpen(&flat, stream.data(), (uint32_t)stream.size(), buffer.get(), solidFlatCapacity(&header));
    if (flatOpened != nullptr) *flatOpened = opened;
    if (!opened) return false;
    FlatHelper helper = {&flat, step};
    EXPECT_TRUE(solidStreamOpenDecoded(&reader, stream.data(), (uint32_t)stream.size(), buffer.get(), flatWait, &helper));
    return drain(&reader, out, pieces);
}

}  // namespace

// A stream decoded into a buffer of its own size, with no window, and read from there with
// the filter run by the reader: every filter, in steps and pieces that cross every boundary,
// gives the bytes the reader gives.
TEST(SolidFlat, DecodedIntoOneBufferAndReadFromThereGivesTheReadersBytes)
{
    const Bytes code = codeBytes(300000, 3);
    std::vector<Bytes> streams = {
        withHeader(1, (uint32_t)code.size(), 1u << 20, SOLID_FILTER_X86, rawLzma2(code, 1u << 20, 3, 0, 2, true)),
        // A window smaller than the stream: the decoder's bytes reach back only as far.
        withHeader(1, (uint32_t)code.size(), 4096, SOLID_FILTER_X86, rawLzma2(code, 4096, 1, 3, 1, true)),
        withHeader(1, 200000, 65536, SOLID_FILTER_NONE, rawLzma2(textBytes(200000), 65536, 3, 0, 2, false)),
        withHeader(1, 150000, 1u << 20, SOLID_FILTER_NONE, rawLzma2(randomBytes(150000, 1), 1u << 20, 3, 0, 2, false)),
        withHeader(1, 0, 4096, SOLID_FILTER_NONE, Bytes{0x00}),
    };
    // The filter restarted at each member, members around the staging buffer's size.
    const std::vector<Bytes> members = {codeBytes(20000, 7), {0xE8, 0x00, 0x00}, {}, codeBytes(SOLID_STAGING_SIZE + 3, 9),
                                        codeBytes(2 * SOLID_STAGING_SIZE, 10), {0xE8}};
    Bytes filtered;
    uint32_t total = 0;
    for (const Bytes& m : members) {
        const Bytes f = liblzmaX86(m);
        filtered.insert(filtered.end(), f.begin(), f.end());
        total += (uint32_t)m.size();
    }
    Bytes eachMember = withHeader((uint32_t)members.size(), total, 1u << 20, SOLID_FILTER_X86_EACH_MEMBER, {});
    for (const Bytes& m : members) put32(&eachMember, (uint32_t)m.size());
    const Bytes chunks = rawLzma2(filtered, 1u << 20, 2, 0, 0, false);
    eachMember.insert(eachMember.end(), chunks.begin(), chunks.end());
    streams.push_back(eachMember);

    for (size_t i = 0; i < streams.size(); ++i) {
        Bytes expected;
        ASSERT_TRUE(readAll(streams[i], &expected)) << i;
        for (uint32_t step : {1u, 4093u, 1u << 20}) {
            Bytes out;
            EXPECT_TRUE(readThroughFlat(streams[i], &out, step, {1u << 30})) << i << " " << step;
            EXPECT_TRUE(out == expected) << i << " " << step;
            EXPECT_TRUE(readThroughFlat(streams[i], &out, step, {1, 7, 4093, 65537, 3})) << i << " " << step;
            EXPECT_TRUE(out == expected) << i << " " << step;
        }
    }
}

// Damage fails the flat path where it fails the reader, and what comes out before is the
// same stream's bytes; a match reaching further back than the declared dictionary fails
// both, although the flat buffer holds the bytes it names; and a stream that resets its
// dictionary later than at its start is left to the reader.
TEST(SolidFlat, FailsWhereTheReaderFailsAndRefusesALaterDictionaryReset)
{
    const Bytes code = codeBytes(120000, 5);
    const Bytes chunks = rawLzma2(code, 65536, 3, 0, 2, true);
    int refused = 0;
    for (size_t at = 6; at < chunks.size() - 1; at += 499) {
        Bytes damaged = chunks;
        damaged[at] ^= 0x5A;
        const Bytes stream = withHeader(1, (uint32_t)code.size(), 65536, SOLID_FILTER_X86, damaged);
        Bytes byReader, byFlat;
        const bool readerOk = readAll(stream, &byReader);
        const bool flatOk = readThroughFlat(stream, &byFlat, 4093, {1u << 30});
        EXPECT_EQ(flatOk, readerOk) << at;
        const size_t common = std::min(byReader.size(), byFlat.size());
        EXPECT_TRUE(std::equal(byFlat.begin(), byFlat.begin() + common, byReader.begin())) << at;
        refused += readerOk ? 0 : 1;
    }
    EXPECT_GT(refused, 0);

    // A block repeated 70,000 bytes later, encoded with a 1 MiB dictionary but declared with
    // 64 KiB: the repeat's matches are out of reach.
    Bytes repeated = randomBytes(70000, 11);
    repeated.insert(repeated.end(), repeated.begin(), repeated.end());
    const Bytes far = withHeader(1, (uint32_t)repeated.size(), 65536, SOLID_FILTER_NONE,
                                 rawLzma2(repeated, 1u << 20, 3, 0, 2, false));
    Bytes out;
    EXPECT_FALSE(readAll(far, &out));
    bool opened = false;
    EXPECT_FALSE(readThroughFlat(far, &out, 4093, {1u << 30}, &opened));
    EXPECT_TRUE(opened);
    EXPECT_LE(out.size(), 70000u);

    // Two stored chunks, each resetting the dictionary.
    Bytes twoResets = {0x01, 0x00, 0x09};
    for (int i = 0; i < 10; ++i) twoResets.push_back((uint8_t)('a' + i));
    twoResets.insert(twoResets.end(), {0x01, 0x00, 0x09});
    for (int i = 0; i < 10; ++i) twoResets.push_back((uint8_t)('k' + i));
    twoResets.push_back(0x00);
    const Bytes resetting = withHeader(1, 20, 4096, SOLID_FILTER_NONE, twoResets);
    ASSERT_TRUE(readAll(resetting, &out));
    EXPECT_EQ(std::string(out.begin(), out.end()), "abcdefghijklmnopqrst");
    EXPECT_FALSE(readThroughFlat(resetting, &out, 4093, {1u << 30}, &opened));
    EXPECT_FALSE(opened);
}
