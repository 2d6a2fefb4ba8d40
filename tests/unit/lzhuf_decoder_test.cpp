// The decoder on hand-made streams: literals and matches against the initial window, the
// end of the input, callback failures and the exact bits of the offset code.
#include <gtest/gtest.h>

#include <random>

#include "codec/lzhuf_decoder.h"
#include "codec/lzhuf_encoder.h"
#include "codec/lzhuf_tables.h"
#include "support/lzhuf_reference_decoder.h"
#include "support/lzhuf_streams.h"

namespace {

TEST(LzhufDecoder, NothingToProduceReadsNothingAndFlushesOnce) {
    for (int count : {0, -1, -100000}) {
        VectorSource source;
        source.data = hexBytes("C6 00");
        VectorSink sink;
        EXPECT_EQ(lzhufDecode(nullptr, count, vectorSourceRead, &source, vectorSinkWrite, &sink), 0);
        EXPECT_EQ(source.calls, 0);
        EXPECT_TRUE(sink.data.empty());
        EXPECT_EQ(sink.flushes, 1);
    }
}

TEST(LzhufDecoder, DecodesLiteralsWithTheFreshModel) {
    DecodeResult a = lzhufDecodeBytes(hexBytes("F6 80"), 1);
    EXPECT_EQ(a.result, 0);
    EXPECT_EQ(a.output, hexBytes("61"));
    EXPECT_EQ(a.flushes, 1);

    // symbol 116 has the code 00000000
    DecodeResult t = lzhufDecodeBytes(hexBytes("00 00"), 1);
    EXPECT_EQ(t.result, 0);
    EXPECT_EQ(t.output, hexBytes("74"));

    DecodeResult empty = lzhufDecodeBytes(hexBytes("C6 00"), 1);
    EXPECT_EQ(empty.output, hexBytes("00"));
}

TEST(LzhufDecoder, MatchCopiesTheByteJustWritten) {
    DecodeResult d = lzhufDecodeBytes(hexBytes("F6 C6 00 00"), 4);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.output, hexBytes("61 61 61 61"));
    EXPECT_EQ(d.consumed, 4u);

    // The test for the end is made only after a whole match: all of it is written.
    DecodeResult shortCount = lzhufDecodeBytes(hexBytes("F6 C6 00 00"), 2);
    EXPECT_EQ(shortCount.result, 0);
    EXPECT_EQ(shortCount.output, hexBytes("61 61 61 61"));
}

TEST(LzhufDecoder, MatchesReachTheInitialWindow) {
    // offset 0 is the last space before the first write position; offset 4095 the first of
    // the zeros from it on
    DecodeResult spaces = lzhufDecodeBytes(hexBytes("8C 00 00"), 3);
    EXPECT_EQ(spaces.result, 0);
    EXPECT_EQ(spaces.output, hexBytes("20 20 20"));
    DecodeResult zeros = lzhufDecodeBytes(hexBytes("8C FF FC"), 3);
    EXPECT_EQ(zeros.result, 0);
    EXPECT_EQ(zeros.output, hexBytes("00 00 00"));
}

TEST(LzhufDecoder, InputThatEndsEarlyFailsAfterWritingWhatItDecoded) {
    DecodeResult none = lzhufDecodeBytes(Bytes(), 1);
    EXPECT_EQ(none.result, -1);
    EXPECT_TRUE(none.output.empty());
    EXPECT_EQ(none.flushes, 0);

    // No bits are invented: F6 alone lacks the ninth bit of the first literal.
    DecodeResult cut = lzhufDecodeBytes(hexBytes("F6"), 1);
    EXPECT_EQ(cut.result, -1);
    EXPECT_TRUE(cut.output.empty());

    // A real stream cut anywhere: every code wholly present is still written.
    Bytes input;
    for (int k = 0; k < 3000; ++k) {
        input.push_back(static_cast<uint8_t>((k * 7) ^ (k >> 3)));
    }
    EncodeResult packed = lzhufEncodeBytes(input);
    ASSERT_EQ(packed.result, 3000);
    for (size_t keep : {packed.packed.size() - 1, packed.packed.size() / 2, size_t(3)}) {
        Bytes truncated(packed.packed.begin(), packed.packed.begin() + keep);
        DecodeResult d = lzhufDecodeBytes(truncated, 3000);
        EXPECT_EQ(d.result, -1) << "kept " << keep;
        EXPECT_EQ(d.flushes, 0);
        EXPECT_LT(d.output.size(), input.size());
        EXPECT_TRUE(std::equal(d.output.begin(), d.output.end(), input.begin()));
        EXPECT_EQ(d.consumed, keep);
    }
}

TEST(LzhufDecoder, CallbackFailuresComeBackUnchanged) {
    VectorSink sink;
    VectorSource source;
    source.data = hexBytes("F6 C6 00 00");
    EXPECT_EQ(lzhufDecode(nullptr, 4, nullptr, &source, vectorSinkWrite, &sink), STREAM_ERR_STATE);
    EXPECT_EQ(lzhufDecode(nullptr, 4, vectorSourceRead, &source, nullptr, &sink), STREAM_ERR_STATE);
    EXPECT_EQ(source.calls, 0);
    EXPECT_EQ(sink.flushes, 0);

    source.failAfter = 1;
    EXPECT_EQ(lzhufDecode(nullptr, 4, vectorSourceRead, &source, vectorSinkWrite, &sink), -7);
    EXPECT_EQ(sink.flushes, 0);

    VectorSource good;
    good.data = hexBytes("F6 C6 00 00");
    VectorSink failing;
    failing.failAfter = 2;
    EXPECT_EQ(lzhufDecode(nullptr, 4, vectorSourceRead, &good, vectorSinkWrite, &failing), -9);
    EXPECT_EQ(failing.data, hexBytes("61 61"));
    EXPECT_EQ(failing.flushes, 0);
}

TEST(LzhufDecoder, BitReaderDeliversExactlyTheInputBits) {
    LzhufContext context;
    clearContext(&context);
    VectorSource source;
    source.data = hexBytes("A5 3C");
    EXPECT_EQ(readBit(&context, vectorSourceRead, &source), 1);
    EXPECT_EQ(readBit(&context, vectorSourceRead, &source), 0);
    EXPECT_EQ(readByte(&context, vectorSourceRead, &source), 0x94);  // 100101 00
    EXPECT_EQ(readByte(&context, vectorSourceRead, &source), -1);  // 6 bits left, not 8
    EXPECT_EQ(source.position, 2u);

    clearContext(&context);
    VectorSource one;
    one.data = hexBytes("80");
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(readBit(&context, vectorSourceRead, &one), k == 0 ? 1 : 0);
    }
    EXPECT_EQ(readBit(&context, vectorSourceRead, &one), -1);
}

TEST(LzhufDecoder, EveryOffsetReadsBackThroughThePrefixCode) {
    for (unsigned offset = 0; offset < RING_SIZE; ++offset) {
        LzhufContext context;
        clearContext(&context);
        VectorSink sink;
        ASSERT_EQ(encodeOffset(&context, offset, vectorSinkWrite, &sink), 0);
        ASSERT_EQ(flushBits(&context, vectorSinkWrite, &sink), 0);
        int high = offset >> 6;
        size_t bits = OFFSET_CODE_LEN[high] + 6;
        ASSERT_EQ(sink.data.size(), (bits + 7) / 8);
        // the prefix stands left-aligned in the first byte
        ASSERT_EQ(sink.data[0] >> (8 - OFFSET_CODE_LEN[high]),
                  OFFSET_CODE[high] >> (8 - OFFSET_CODE_LEN[high]));

        VectorSource source;
        source.data = sink.data;
        source.data.push_back(0);  // the decoder looks at 8 bits even for a 9-bit code
        clearContext(&context);
        ASSERT_EQ(decodeOffset(&context, vectorSourceRead, &source), static_cast<int>(offset));
    }
    EXPECT_EQ(OFFSET_DECODE_HIGH[0x1F], 0);
    EXPECT_EQ(OFFSET_DECODE_LEN[0x93], 6);
    EXPECT_EQ(OFFSET_DECODE_HIGH[0xC1], 24);
    EXPECT_EQ(OFFSET_DECODE_HIGH[0xFF], 63);
}

// lzhufDecode reads ahead, walks the tree with tables and writes from a linear history; the
// stepwise decoder does everything one bit and one byte at a time. Both must give the same
// bytes, results and flushes for any stream, any count and any failing callback.
namespace differential {

struct Decoded {
    int result;
    Bytes output;
    int flushes;
    bool operator==(const Decoded& other) const {
        return result == other.result && output == other.output && flushes == other.flushes;
    }
};

typedef int (*DecodeFn)(LzhufContext*, int, StreamReadFn, void*, StreamWriteFn, void*);

int decodeStepwise(LzhufContext* c, int count, StreamReadFn read, void* readState,
                   StreamWriteFn write, void* writeState) {
    return lzhufDecodeStepwise(c, count, read, readState, write, writeState);
}

Decoded decodeWith(DecodeFn decode, const Bytes& packed, int count, long failReadAfter = -1,
        long failWriteAfter = -1, long* writes = nullptr) {
    static LzhufContext context;
    VectorSource source;
    source.data = packed;
    source.failAfter = failReadAfter;
    VectorSink sink;
    sink.failAfter = failWriteAfter;
    sink.anyCount = decode == lzhufDecodeBlocks;
    int result = decode(&context, count, vectorSourceRead, &source, vectorSinkWrite, &sink);
    if (writes != nullptr) {
        *writes = sink.writes;
    }
    return {result, sink.data, sink.flushes};
}

// The block form against the byte-wise one: same result, bytes and flushes, the writer
// keeping what fits below its failure point.
void expectSameInBlocks(const Bytes& packed, int count, long failReadAfter = -1,
                        long failWriteAfter = -1) {
    Decoded bytewise = decodeWith(lzhufDecode, packed, count, failReadAfter, failWriteAfter);
    Decoded blocks = decodeWith(lzhufDecodeBlocks, packed, count, failReadAfter, failWriteAfter);
    ASSERT_EQ(blocks.result, bytewise.result) << packed.size() << " bytes, count " << count
                                              << ", read fails after " << failReadAfter
                                              << ", write fails after " << failWriteAfter;
    ASSERT_TRUE(blocks == bytewise) << packed.size() << " bytes, count " << count
                                    << ", read fails after " << failReadAfter
                                    << ", write fails after " << failWriteAfter;
}

void expectSame(const Bytes& packed, int count, long failReadAfter = -1, long failWriteAfter = -1) {
    Decoded fast = decodeWith(lzhufDecode, packed, count, failReadAfter, failWriteAfter);
    Decoded plain = decodeWith(decodeStepwise, packed, count, failReadAfter, failWriteAfter);
    ASSERT_EQ(fast.result, plain.result) << packed.size() << " bytes, count " << count
                                         << ", read fails after " << failReadAfter
                                         << ", write fails after " << failWriteAfter;
    ASSERT_TRUE(fast == plain) << packed.size() << " bytes, count " << count
                               << ", read fails after " << failReadAfter
                               << ", write fails after " << failWriteAfter;
}

Bytes mixedInput(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes input;
    const char* words[] = {"copyright ", "license ", "the ", "software ", "\n", "    "};
    while (input.size() < size) {
        unsigned pick = random() % 10;
        if (pick < 6) {
            for (const char* p = words[pick]; *p != '\0'; ++p) {
                input.push_back(static_cast<uint8_t>(*p));
            }
        } else if (pick < 8) {
            input.push_back(static_cast<uint8_t>(random()));
        } else {
            input.insert(input.end(), random() % 80, static_cast<uint8_t>(random() % 3));
        }
    }
    input.resize(size);
    return input;
}

}  // namespace differential

TEST(LzhufDecoder, AgreesWithTheStepwiseDecoderOnEncodedAndRandomStreams) {
    using namespace differential;
    // Long enough for several model rebuilds; short ones for the first codes.
    for (size_t size : {size_t(0), size_t(1), size_t(7), size_t(300), size_t(5000), size_t(400000)}) {
        Bytes input = mixedInput(size, static_cast<unsigned>(size) + 1);
        EncodeResult e = lzhufEncodeBytes(input);
        ASSERT_EQ(e.result, static_cast<int>(size));
        Decoded fast = decodeWith(lzhufDecode, e.packed, static_cast<int>(size));
        ASSERT_EQ(fast.result, 0);
        ASSERT_TRUE(fast.output == input) << size << " bytes";
        expectSame(e.packed, static_cast<int>(size));
        expectSame(e.packed, static_cast<int>(size) / 2);
    }
    // Any bits decode to something: random streams, each far past the end of its input.
    std::mt19937 random(7);
    for (int k = 0; k < 200; ++k) {
        Bytes packed(random() % 3000);
        for (uint8_t& b : packed) {
            b = static_cast<uint8_t>(random());
        }
        expectSame(packed, static_cast<int>(random() % 20000));
    }
}

TEST(LzhufDecoder, AgreesWithTheStepwiseDecoderWhereInputEndsOrCallbacksFail) {
    using namespace differential;
    Bytes input = mixedInput(2000, 3);
    EncodeResult e = lzhufEncodeBytes(input);
    const int count = static_cast<int>(input.size());
    for (size_t keep = 0; keep <= e.packed.size(); ++keep) {
        Bytes cut(e.packed.begin(), e.packed.begin() + keep);
        expectSame(cut, count);
    }
    for (long at = 0; at <= static_cast<long>(e.packed.size()); ++at) {
        expectSame(e.packed, count, at);
    }
    for (long at = 0; at <= count; at += 7) {
        expectSame(e.packed, count, -1, at);
    }
}

TEST(LzhufDecoder, AgreesWithTheStepwiseDecoderOnCodesDeeperThanSixteenBits) {
    using namespace differential;
    // Count a chain of match symbols up to Fibonacci-like weights, as the model tests do,
    // but through the encoder, so that the stream carries every one of those codes.
    LzhufContext encoder;
    clearContext(&encoder);
    startModel(&encoder);
    VectorSink sink;
    const int chain[] = {300, 301, 302, 303, 304, 305, 306, 307, 308};
    LzhufContext counted;
    clearContext(&counted);
    startModel(&counted);
    lzhufCountFibonacci(&counted, chain, 9);
    int produced = 0;
    for (int symbol : chain) {
        int leaf = counted.nodeParent[NODE_COUNT + symbol];
        while (encoder.nodeWeight[encoder.nodeParent[NODE_COUNT + symbol]] < counted.nodeWeight[leaf]) {
            ASSERT_EQ(encodeSymbol(&encoder, symbol, vectorSinkWrite, &sink), 0);
            ASSERT_EQ(encodeOffset(&encoder, 0, vectorSinkWrite, &sink), 0);
            produced += symbol - 253;
        }
    }
    int deepest = 0;
    for (int s = 0; s < SYMBOL_COUNT; ++s) {
        if (lzhufSymbolCode(encoder, s).size() > lzhufSymbolCode(encoder, deepest).size()) {
            deepest = s;
        }
    }
    ASSERT_GT(lzhufSymbolCode(encoder, deepest).size(), 16u);
    for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(encodeSymbol(&encoder, deepest, vectorSinkWrite, &sink), 0);
        if (deepest >= 256) {
            ASSERT_EQ(encodeOffset(&encoder, 0, vectorSinkWrite, &sink), 0);
        }
        produced += deepest >= 256 ? deepest - 253 : 1;
    }
    ASSERT_EQ(flushBits(&encoder, vectorSinkWrite, &sink), 0);
    Decoded fast = decodeWith(lzhufDecode, sink.data, produced);
    EXPECT_EQ(fast.result, 0);
    EXPECT_EQ(fast.output.size(), static_cast<size_t>(produced));
    expectSame(sink.data, produced);
}

}  // namespace

TEST(LzhufDecoder, BlockOutputGivesTheSameBytesResultsAndFlushes) {
    using namespace differential;
    // Encoded streams, whole and asked for half, with long matches that the block form
    // copies a word at a time; the longest moves the history back many times.
    for (size_t size : {size_t(0), size_t(1), size_t(300), size_t(70000), size_t(400000)}) {
        Bytes input = mixedInput(size, static_cast<unsigned>(size) + 5);
        EncodeResult e = lzhufEncodeBytes(input);
        long writes = 0;
        Decoded blocks = decodeWith(lzhufDecodeBlocks, e.packed, static_cast<int>(size), -1, -1, &writes);
        ASSERT_EQ(blocks.result, 0);
        ASSERT_TRUE(blocks.output == input) << size << " bytes";
        // A stretch per move of the history, and the rest at the end.
        EXPECT_LE(writes, static_cast<long>(size / 20000 + 1)) << size << " bytes";
        expectSameInBlocks(e.packed, static_cast<int>(size));
        expectSameInBlocks(e.packed, static_cast<int>(size) / 2);
    }
    expectSameInBlocks(Bytes{0xC6, 0x00}, 0);
    expectSameInBlocks(Bytes{0xC6, 0x00}, -5);
    // Random bits, far past the end of their input: overlapping copies of every distance.
    std::mt19937 random(11);
    for (int k = 0; k < 200; ++k) {
        Bytes packed(random() % 3000);
        for (uint8_t& b : packed) {
            b = static_cast<uint8_t>(random());
        }
        expectSameInBlocks(packed, static_cast<int>(random() % 40000));
    }
    // Input that ends or fails anywhere, and a writer that fails anywhere: the writer has
    // had every byte decoded before the failure, and the failure comes back unchanged.
    Bytes input = mixedInput(40000, 9);
    EncodeResult e = lzhufEncodeBytes(input);
    const int count = static_cast<int>(input.size());
    for (size_t keep = 0; keep <= e.packed.size(); keep += 13) {
        Bytes cut(e.packed.begin(), e.packed.begin() + keep);
        expectSameInBlocks(cut, count);
    }
    for (long at = 0; at <= static_cast<long>(e.packed.size()); at += 17) {
        expectSameInBlocks(e.packed, count, at);
    }
    for (long at : {0L, 1L, 4095L, 28000L, 28671L, 28672L, 30000L, 39999L, 40000L}) {
        expectSameInBlocks(e.packed, count, -1, at);
        expectSameInBlocks(e.packed, count, e.packed.size() / 2, at);
    }
}
