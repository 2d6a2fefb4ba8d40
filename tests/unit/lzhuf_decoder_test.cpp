// The decoder on hand-made streams: literals and matches against the initial window, the
// end of the input, callback failures and the exact bits of the offset code.
#include <gtest/gtest.h>

#include "codec/lzhuf_decoder.h"
#include "codec/lzhuf_encoder.h"
#include "codec/lzhuf_tables.h"
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

}  // namespace
