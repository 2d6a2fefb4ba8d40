// The x86 branch filter, both ways: the conversion rule on instructions built by hand, and
// agreement with liblzma's filter on real code and on dense candidate runs, in any pieces
// and from any start offset.
#include "codec/x86_branch_filter.h"

#include <gtest/gtest.h>
#include <lzma.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;
namespace fs = std::filesystem;

// liblzma's decoding: the data in stored LZMA2 chunks, which its LZMA2 decoder passes to the
// filter unchanged.
Bytes referenceDecode(const Bytes& data, uint32_t start)
{
    Bytes stream;
    for (size_t at = 0; at < data.size(); at += 1u << 16) {
        size_t chunk = std::min<size_t>(data.size() - at, 1u << 16);
        stream.push_back(at == 0 ? 1 : 2);
        stream.push_back((uint8_t)((chunk - 1) >> 8));
        stream.push_back((uint8_t)(chunk - 1));
        stream.insert(stream.end(), data.begin() + at, data.begin() + at + chunk);
    }
    stream.push_back(0);
    lzma_options_bcj bcj = {};
    bcj.start_offset = start;
    lzma_options_lzma lzma2;
    lzma_lzma_preset(&lzma2, 0);
    lzma2.dict_size = 4096;
    lzma_filter filters[3] = {{LZMA_FILTER_X86, &bcj}, {LZMA_FILTER_LZMA2, &lzma2}, {LZMA_VLI_UNKNOWN, nullptr}};
    Bytes out(data.size());
    size_t in = 0, written = 0;
    EXPECT_EQ(lzma_raw_buffer_decode(filters, nullptr, stream.data(), &in, stream.size(), out.data(), &written,
                                     out.size()),
              LZMA_OK);
    out.resize(written);
    return out;
}

// liblzma's encoding: its filter and a fast LZMA2, whose output its LZMA2 decoder undoes.
Bytes referenceEncode(const Bytes& data, uint32_t start)
{
    lzma_options_bcj bcj = {};
    bcj.start_offset = start;
    lzma_options_lzma lzma2;
    lzma_lzma_preset(&lzma2, 0);
    lzma_filter withFilter[3] = {{LZMA_FILTER_X86, &bcj}, {LZMA_FILTER_LZMA2, &lzma2}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_filter plain[2] = {{LZMA_FILTER_LZMA2, &lzma2}, {LZMA_VLI_UNKNOWN, nullptr}};
    Bytes packed(data.size() + data.size() / 8 + 4096);
    size_t written = 0;
    EXPECT_EQ(lzma_raw_buffer_encode(withFilter, nullptr, data.data(), data.size(), packed.data(), &written,
                                     packed.size()),
              LZMA_OK);
    Bytes out(data.size());
    size_t in = 0, produced = 0;
    EXPECT_EQ(lzma_raw_buffer_decode(plain, nullptr, packed.data(), &in, written, out.data(), &produced, out.size()),
              LZMA_OK);
    out.resize(produced);
    return out;
}

// Ours, as the solid stream reader and the tool run it: each piece behind what the filter left
// waiting, and what waits at the end stays as it is.
Bytes ownRun(uint32_t (*run)(X86BranchFilter*, uint8_t*, uint32_t), const Bytes& data, uint32_t start, size_t piece)
{
    X86BranchFilter filter;
    x86FilterBegin(&filter, start);
    Bytes out, waiting;
    for (size_t at = 0; at < data.size(); at += piece) {
        waiting.insert(waiting.end(), data.begin() + at, data.begin() + std::min(data.size(), at + piece));
        uint32_t final = run(&filter, waiting.data(), (uint32_t)waiting.size());
        EXPECT_LE(waiting.size() - final, 4u);
        out.insert(out.end(), waiting.begin(), waiting.begin() + final);
        waiting.erase(waiting.begin(), waiting.begin() + final);
    }
    out.insert(out.end(), waiting.begin(), waiting.end());
    return out;
}

Bytes ownDecode(const Bytes& data, uint32_t start, size_t piece) { return ownRun(x86FilterDecode, data, start, piece); }
Bytes ownEncode(const Bytes& data, uint32_t start, size_t piece) { return ownRun(x86FilterEncode, data, start, piece); }

Bytes fileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(X86BranchFilter, ConvertsTheCandidatesTheRuleAllows)
{
    struct Case {
        const char* what;
        uint32_t start;
        Bytes input;
        Bytes expected;
    };
    const Case cases[] = {
        {"a CALL at 0: the target 0 is 5 back from the next instruction", 0,
         {0xE8, 0x00, 0x00, 0x00, 0x00}, {0xE8, 0xFB, 0xFF, 0xFF, 0xFF}},
        {"a JMP at stream offset 100", 100,
         {0xE9, 0x10, 0x00, 0x00, 0x00, 0x90}, {0xE9, 0xA7, 0xFF, 0xFF, 0xFF, 0x90}},
        {"the result's top byte follows its bit 24", 0,
         {0xE8, 0x10, 0x00, 0x00, 0xFF, 0x90}, {0xE8, 0x0B, 0x00, 0x00, 0xFF, 0x90}},
        {"a far target (top byte 01) stays", 0,
         {0xE8, 0x10, 0x00, 0x00, 0x01, 0x90}, {0xE8, 0x10, 0x00, 0x00, 0x01, 0x90}},
        {"other opcodes stay", 0,
         {0xEA, 0x00, 0x00, 0x00, 0x00, 0xE7, 0x00, 0x00, 0x00, 0x00},
         {0xEA, 0x00, 0x00, 0x00, 0x00, 0xE7, 0x00, 0x00, 0x00, 0x00}},
        {"a converted operand's bytes are no candidates", 0,
         {0xE8, 0xE8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
         {0xE8, 0xE3, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"one skipped candidate just before", 0,
         {0xE8, 0xE8, 0x11, 0x11, 0x01, 0x00, 0x11}, {0xE8, 0xE8, 0x0B, 0x11, 0x01, 0x00, 0x11}},
        {"one skipped candidate three before", 0,
         {0xE8, 0x11, 0x11, 0xE8, 0x01, 0x11, 0x11, 0x00}, {0xE8, 0x11, 0x11, 0xE8, 0xF9, 0x10, 0x11, 0x00}},
        {"two skipped candidates within three bytes stop it", 0,
         {0xE8, 0x11, 0xE8, 0xE8, 0x11, 0x11, 0x11, 0x00, 0x11},
         {0xE8, 0x11, 0xE8, 0xE8, 0x11, 0x11, 0x11, 0x00, 0x11}},
        {"a skipped candidate whose own top byte is 00 stops it", 0,
         {0xE8, 0xE9, 0xE8, 0x5F, 0x57, 0xE9, 0xFF, 0xE8, 0xE9, 0xFF, 0x00},
         {0xE8, 0xE9, 0xE8, 0x5F, 0x57, 0xE9, 0xFF, 0xE8, 0xE9, 0xFF, 0x00}},
        {"a skipped candidate's top byte inside the operand must not come out 00 or FF", 0,
         {0xE8, 0x9D, 0xE9, 0x00, 0x01, 0xE8, 0xFF, 0x11, 0xFF},
         {0xE8, 0x9D, 0xE9, 0xFF, 0xFE, 0xE8, 0xFF, 0x11, 0xFF}},
        {"offsets wrap around at 2^32", 0xFFFFFFFE,
         {0x90, 0x90, 0x90, 0xE8, 0x00, 0x00, 0x00, 0x00}, {0x90, 0x90, 0x90, 0xE8, 0xFA, 0xFF, 0xFF, 0xFF}},
        {"the last four bytes hold no candidate", 0,
         {0x90, 0xE8, 0x00, 0x00, 0x00}, {0x90, 0xE8, 0x00, 0x00, 0x00}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(referenceDecode(c.input, c.start), c.expected) << c.what << " (liblzma)";
        for (size_t piece : {1, 2, 3, 7, 64}) {
            EXPECT_EQ(ownDecode(c.input, c.start, piece), c.expected) << c.what << ", pieces of " << piece;
            // Encoding takes each decoded case back to what it came from.
            EXPECT_EQ(ownEncode(c.expected, c.start, piece), c.input) << c.what << ", encoded in pieces of " << piece;
        }
    }
}

TEST(X86BranchFilter, HoldsBackOnlyWhatItCannotDecideYet)
{
    X86BranchFilter filter;
    x86FilterBegin(&filter, 0);
    uint8_t four[4] = {0xE8, 0, 0, 0};
    EXPECT_EQ(x86FilterDecode(&filter, four, 4), 0u);
    uint8_t plain[10] = {};
    EXPECT_EQ(x86FilterDecode(&filter, plain, 10), 6u);
    EXPECT_EQ(filter.position, 6u);
    // An instruction that ends at the buffer's end is decided; one more byte waits again.
    uint8_t call[6] = {0x90, 0xE8, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(x86FilterDecode(&filter, call, 6), 6u);
    EXPECT_EQ(filter.position, 12u);
    EXPECT_EQ(Bytes(call, call + 6), Bytes({0x90, 0xE8, 0xF4, 0xFF, 0xFF, 0xFF}));
}

TEST(X86BranchFilter, AgreesWithLiblzmaOnDenseCandidatesInAnyPieces)
{
    std::mt19937 rng(30);
    const uint8_t dense[] = {0xE8, 0xE9, 0x00, 0xFF, 0x01, 0x11};
    for (int round = 0; round < 200; ++round) {
        Bytes data(1 + rng() % 300);
        for (uint8_t& b : data) b = rng() % 4 == 0 ? (uint8_t)rng() : dense[rng() % sizeof(dense)];
        uint32_t start = round % 3 == 0 ? 0 : (uint32_t)rng();
        const Bytes expected = referenceDecode(data, start);
        const Bytes encoded = referenceEncode(data, start);
        for (size_t piece : {1, 5, 13, 4096}) {
            ASSERT_EQ(ownDecode(data, start, piece), expected) << "round " << round << ", pieces of " << piece;
            ASSERT_EQ(ownEncode(data, start, piece), encoded) << "round " << round << ", encoded in pieces of " << piece;
        }
    }
}

TEST(X86BranchFilter, EncodesRealCodeAsLiblzmaDoesAndUndoesIt)
{
    std::vector<fs::path> paths;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/usr/lib/i386-linux-gnu/wine/i386-windows", ec))
        if (e.path().extension() == ".dll") paths.push_back(e.path());
    std::sort(paths.begin(), paths.end());
    ASSERT_GE(paths.size(), 4u) << "no Wine i386 DLLs on this machine";
    Bytes code;
    for (size_t i = 0; i < 4; ++i) {
        Bytes dll = fileBytes(paths[i]);
        code.insert(code.end(), dll.begin(), dll.end());
    }
    for (uint32_t start : {0u, 0x401000u}) {
        const Bytes encoded = referenceEncode(code, start);
        ASSERT_EQ(encoded.size(), code.size());
        size_t changed = 0;
        for (size_t i = 0; i < code.size(); ++i) changed += encoded[i] != code[i];
        EXPECT_GT(changed, code.size() / 1000) << "the encoder converted next to nothing";
        for (size_t piece : {1u << 16, 4099u}) {
            EXPECT_TRUE(ownDecode(encoded, start, piece) == code) << "start " << start << ", pieces of " << piece;
            EXPECT_TRUE(ownEncode(code, start, piece) == encoded) << "start " << start << ", encoded in pieces of " << piece;
        }
    }
}
