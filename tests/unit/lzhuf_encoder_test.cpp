// The encoder's exact output on small inputs, its match finder's reach and tie-breaks,
// long codes, failures, and round trips through the decoder.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "codec/lzhuf_decoder.h"
#include "codec/lzhuf_encoder.h"
#include "support/lzhuf_streams.h"

namespace {

const int LENGTH_60 = 313;

Bytes repeated(const char* hex, int times) {
    Bytes unit = hexBytes(hex);
    Bytes out;
    for (int k = 0; k < times; ++k) {
        out.insert(out.end(), unit.begin(), unit.end());
    }
    return out;
}

// Bytes without a repeated 3-byte sequence, and without spaces and zeros, so that nothing
// in the block matches the block itself or the initial window.
Bytes blockWithoutRepeats(size_t size) {
    for (unsigned seed = 1;; ++seed) {
        std::mt19937 random(seed);
        Bytes block;
        std::set<uint32_t> seen;
        bool clean = true;
        while (block.size() < size && clean) {
            uint8_t b = static_cast<uint8_t>(random());
            if (b == 0x00 || b == 0x20) {
                continue;
            }
            block.push_back(b);
            if (block.size() >= 3) {
                size_t n = block.size();
                uint32_t key = block[n - 3] << 16 | block[n - 2] << 8 | block[n - 1];
                clean = seen.insert(key).second;
            }
        }
        if (clean) {
            return block;
        }
    }
}

void expectRoundTrip(const Bytes& input, const char* what) {
    EncodeResult e = lzhufEncodeBytes(input);
    ASSERT_EQ(e.result, static_cast<int>(input.size())) << what;
    ASSERT_EQ(e.flushes, 1) << what;
    DecodeResult d = lzhufDecodeBytes(e.packed, static_cast<int>(input.size()));
    ASSERT_EQ(d.result, 0) << what << ", " << input.size() << " bytes";
    if (!input.empty()) {
        ASSERT_EQ(d.consumed, e.packed.size()) << what << ", " << input.size() << " bytes";
    }
    ASSERT_TRUE(d.output == input) << what << ", " << input.size() << " bytes";
}

TEST(LzhufEncoder, SmallInputsGiveTheKnownStreams) {
    const struct {
        const char* input;
        const char* packed;
    } cases[] = {
        {"", "C6 00"},                  // the literal 0 at the first coding position
        {"61", "F6 80"},
        {"61 62", "F6 FB 80"},
        {"61 61 61 61", "F6 C6 00 00"},  // literal, then length 3 at offset 0
        {"20 20 20 20 20", "8E 00 00"},  // length 5 against the initial spaces
    };
    for (const auto& c : cases) {
        Bytes input = hexBytes(c.input);
        EncodeResult e = lzhufEncodeBytes(input);
        EXPECT_EQ(e.result, static_cast<int>(input.size())) << c.input;
        EXPECT_EQ(e.packed, hexBytes(c.packed)) << c.input;
        EXPECT_EQ(e.flushes, 1) << c.input;
    }
}

TEST(LzhufEncoder, RepeatsBecomeMatches) {
    Bytes abc = repeated("61 62 63", 3);
    EncodeResult e = lzhufEncodeBytes(abc);
    std::vector<LzhufItem> items = lzhufItems(e.packed, 9);
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].symbol, 0x61);
    EXPECT_EQ(items[1].symbol, 0x62);
    EXPECT_EQ(items[2].symbol, 0x63);
    EXPECT_EQ(items[3].length(), 6);
    EXPECT_EQ(items[3].offset, 2);

    Bytes same(1000, 0x5A);
    e = lzhufEncodeBytes(same);
    EXPECT_EQ(e.result, 1000);
    items = lzhufItems(e.packed, 1000);
    ASSERT_EQ(items.size(), 18u);
    EXPECT_EQ(items[0].symbol, 0x5A);
    for (int k = 1; k <= 16; ++k) {
        EXPECT_EQ(items[k].symbol, LENGTH_60);
        EXPECT_EQ(items[k].offset, 0);
    }
    EXPECT_EQ(items[17].length(), 39);  // never past the end of the input
    EXPECT_EQ(items[17].offset, 0);
}

TEST(LzhufEncoder, MatchesReachBack4036BytesAndNoFurther) {
    for (size_t size : {size_t(4036), size_t(4037)}) {
        Bytes block = blockWithoutRepeats(size);
        Bytes twice = block;
        twice.insert(twice.end(), block.begin(), block.end());
        EncodeResult e = lzhufEncodeBytes(twice);
        ASSERT_EQ(e.result, static_cast<int>(twice.size()));
        std::vector<LzhufItem> items = lzhufItems(e.packed, static_cast<int>(twice.size()));
        for (size_t k = 0; k < size; ++k) {
            ASSERT_LT(items[k].symbol, 256) << "first copy, item " << k;
        }
        size_t matches = 0;
        for (size_t k = size; k < items.size(); ++k) {
            EXPECT_LE(items[k].offset, 4035);
            if (items[k].offset >= 0) {
                ++matches;
                EXPECT_EQ(items[k].offset, 4035);
            }
        }
        if (size == 4036) {
            EXPECT_EQ(items.size(), size + 68);  // 67 matches of 60, one of 16
            EXPECT_EQ(matches, 68u);
        } else {
            EXPECT_EQ(matches, 0u);
            EXPECT_EQ(items.size(), 2 * size);
        }
        expectRoundTrip(twice, "block given twice");
    }
}

// Only the ring starts as spaces: the copy of its first 59 bytes that follows it starts as
// zeros, and keys that reach past the ring's end read those zeros until input is stored at
// the bytes they copy. For short inputs this decides between equally good matches.
TEST(LzhufEncoder, RingCopyStartsAsZerosNotSpaces) {
    // 22 zeros, 20 00 20, 12 zeros, 20, 4 zeros. With a copy that started as spaces the last
    // match would differ and the stream would end in 94 instead of 00.
    Bytes input(22, 0x00);
    for (uint8_t b : hexBytes("20 00 20")) {
        input.push_back(b);
    }
    input.insert(input.end(), 12, 0x00);
    input.push_back(0x20);
    input.insert(input.end(), 4, 0x00);
    ASSERT_EQ(input.size(), 42u);
    EncodeResult e = lzhufEncodeBytes(input);
    EXPECT_EQ(e.packed, hexBytes("C6 4F 00 35 91 80 19 60 76 10 00"));
    expectRoundTrip(input, "spaces and zeros");
}

TEST(LzhufEncoder, CodesLongerThanSixteenBitsAreWrittenWhole) {
    // Drive a model to Fibonacci-like weights, then code its deepest symbol.
    LzhufContext encoderModel;
    clearContext(&encoderModel);
    startModel(&encoderModel);
    const int chain[] = {300, 301, 302, 303, 304, 305, 306, 307, 308};
    lzhufCountFibonacci(&encoderModel, chain, 9);
    int deepest = 0;
    for (int s = 0; s < SYMBOL_COUNT; ++s) {
        if (lzhufSymbolCode(encoderModel, s).size() > lzhufSymbolCode(encoderModel, deepest).size()) {
            deepest = s;
        }
    }
    std::string code = lzhufSymbolCode(encoderModel, deepest);
    ASSERT_GT(code.size(), 16u);

    LzhufContext decoderModel = encoderModel;
    VectorSink sink;
    // A 3-bit lead-in puts the long code across three byte boundaries.
    ASSERT_EQ(writeBits(&encoderModel, 3, 0xA000, vectorSinkWrite, &sink), 0);
    ASSERT_EQ(encodeSymbol(&encoderModel, deepest, vectorSinkWrite, &sink), 0);
    ASSERT_EQ(encodeSymbol(&encoderModel, deepest, vectorSinkWrite, &sink), 0);
    ASSERT_EQ(flushBits(&encoderModel, vectorSinkWrite, &sink), 0);

    std::string written;
    for (uint8_t byte : sink.data) {
        for (int bit = 7; bit >= 0; --bit) {
            written.push_back(static_cast<char>('0' + ((byte >> bit) & 1)));
        }
    }
    EXPECT_EQ(written.substr(0, 3 + code.size()), "101" + code);

    VectorSource source;
    source.data = sink.data;
    decoderModel.inBuffer = 0;
    decoderModel.inCount = 0;
    EXPECT_EQ(readBit(&decoderModel, vectorSourceRead, &source), 1);
    EXPECT_EQ(readBit(&decoderModel, vectorSourceRead, &source), 0);
    EXPECT_EQ(readBit(&decoderModel, vectorSourceRead, &source), 1);
    EXPECT_EQ(decodeSymbol(&decoderModel, vectorSourceRead, &source), deepest);
    EXPECT_EQ(decodeSymbol(&decoderModel, vectorSourceRead, &source), deepest);
}

TEST(LzhufEncoder, CallbackFailuresComeBackUnchanged) {
    VectorSource source;
    source.data = Bytes(100, 0x41);
    VectorSink sink;
    EXPECT_EQ(lzhufEncode(nullptr, nullptr, &source, vectorSinkWrite, &sink), STREAM_ERR_STATE);
    EXPECT_EQ(lzhufEncode(nullptr, vectorSourceRead, &source, nullptr, &sink), STREAM_ERR_STATE);
    EXPECT_EQ(source.calls, 0);

    for (long failAfter : {0L, 30L, 70L}) {
        VectorSource failingSource;
        failingSource.data = Bytes(100, 0x41);
        failingSource.failAfter = failAfter;
        VectorSink out;
        EXPECT_EQ(lzhufEncode(nullptr, vectorSourceRead, &failingSource, vectorSinkWrite, &out), -7);
        EXPECT_EQ(out.flushes, 0);
    }

    VectorSource text;
    text.data = Bytes(5000, 0);
    for (size_t k = 0; k < text.data.size(); ++k) {
        text.data[k] = static_cast<uint8_t>(k * k >> 5);
    }
    VectorSink failing;
    failing.failAfter = 3;
    EXPECT_EQ(lzhufEncode(nullptr, vectorSourceRead, &text, vectorSinkWrite, &failing), -9);
    EXPECT_EQ(failing.data.size(), 3u);
    EXPECT_EQ(failing.flushes, 0);
}

TEST(LzhufEncoder, ContextCarriesNothingFromOneRunToTheNext) {
    LzhufContext context;
    Bytes first(3000, 0x33);
    Bytes second = hexBytes("61 62 61 62 61 62 63");
    lzhufEncodeBytes(first, &context);
    EXPECT_EQ(lzhufEncodeBytes(second, &context).packed, lzhufEncodeBytes(second).packed);
}

Bytes sample(const char* kind, size_t size, std::mt19937& random) {
    Bytes out(size);
    if (kind[0] == 'r') {
        for (auto& b : out) {
            b = static_cast<uint8_t>(random());
        }
    } else if (kind[0] == 't') {
        static const char* words[] = {"the ", "of ", "package ", "file ", "run ", "and ",
                                      "directory ", "a ", "is ", "\n", "extract ", "to "};
        size_t k = 0;
        while (k < size) {
            for (const char* w = words[random() % 12]; *w != '\0' && k < size; ++w) {
                out[k++] = static_cast<uint8_t>(*w);
            }
        }
    } else {
        // binary: runs, small integers and zero padding, like an executable's sections
        for (size_t k = 0; k < size; ++k) {
            uint32_t r = random();
            out[k] = (r % 4 == 0) ? 0 : (r % 4 == 1) ? static_cast<uint8_t>(k >> 4)
                                                    : static_cast<uint8_t>(r >> 24 & 0x0F);
        }
    }
    return out;
}

TEST(LzhufRoundTrip, EverySizeUpTo2000) {
    std::mt19937 random(7);
    for (const char* kind : {"random", "text", "binary"}) {
        for (size_t size = 0; size <= 2000; ++size) {
            expectRoundTrip(sample(kind, size, random), kind);
        }
    }
}

TEST(LzhufRoundTrip, SelectedSizesUpTo70000) {
    std::mt19937 random(11);
    for (const char* kind : {"random", "text", "binary"}) {
        for (size_t size = 2001; size <= 70000; size += 997) {
            expectRoundTrip(sample(kind, size, random), kind);
        }
        for (size_t size : {4035u, 4036u, 4037u, 4095u, 4096u, 4097u, 65535u, 65536u, 70000u}) {
            expectRoundTrip(sample(kind, size, random), kind);
        }
    }
}

// Several megabytes pass through many model rebuilds.
TEST(LzhufRoundTrip, SeveralMegabytes) {
    std::mt19937 random(3);
    Bytes mixed;
    while (mixed.size() < 3 * 1024 * 1024) {
        const char* kind = (mixed.size() / 100000) % 3 == 0 ? "text"
                           : (mixed.size() / 100000) % 3 == 1 ? "binary" : "random";
        Bytes part = sample(kind, 20000 + random() % 50000, random);
        mixed.insert(mixed.end(), part.begin(), part.end());
    }
    expectRoundTrip(mixed, "mixed");
    expectRoundTrip(Bytes(2 * 1024 * 1024, 0xFF), "one byte value");
}

}  // namespace
