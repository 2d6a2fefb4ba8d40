// The fast and best encoder levels: round trips, offsets up to 4095 and never before the
// first byte, what they save against the reference encoder, failures of the writer, and
// their streams decoded by lhasa and by jLHA, whose window starts with zeros.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>

#include "codec/lzhuf_decoder.h"
#include "codec/lzhuf_encoder.h"
#include "codec/lzhuf_levels.h"
#include "support/lzhuf_reference_decoder.h"
#include "support/lzhuf_streams.h"

#ifdef RUNPACK_LHASA
extern "C" {
#include <lha_decoder.h>
}
#endif

namespace {

// Takes chunks of any size; fails once `failAfter` bytes are in.
struct ChunkSink {
    Bytes data;
    int flushes = 0;
    int writes = 0;
    long failAfter = -1;
};

int32_t chunkSinkWrite(const uint8_t* source, int32_t count, void* state) {
    ChunkSink* sink = static_cast<ChunkSink*>(state);
    if (source == nullptr) {
        ++sink->flushes;
        return 0;
    }
    ++sink->writes;
    if (sink->failAfter >= 0 && sink->data.size() + count > static_cast<size_t>(sink->failAfter)) {
        return -9;
    }
    sink->data.insert(sink->data.end(), source, source + count);
    return count;
}

struct Encoded {
    int result;
    Bytes packed;
    int flushes;
};

Encoded encodeAt(LzhufLevel level, const Bytes& input, long failAfter = -1) {
    static LzhufContext context;
    ChunkSink sink;
    sink.failAfter = failAfter;
    int result;
    if (level == LZHUF_LEVEL_FAST) {
        std::unique_ptr<LzhufFastWork> work(new LzhufFastWork);
        result = lzhufEncodeFast(&context, work.get(), input.data(), static_cast<int32_t>(input.size()),
                                 chunkSinkWrite, &sink);
    } else {
        std::unique_ptr<LzhufBestWork> work(new LzhufBestWork);
        result = lzhufEncodeBest(&context, work.get(), input.data(), static_cast<int32_t>(input.size()),
                                 chunkSinkWrite, &sink);
    }
    return {result, sink.data, sink.flushes};
}

const LzhufLevel LEVELS[] = {LZHUF_LEVEL_FAST, LZHUF_LEVEL_BEST};

const char* nameOf(LzhufLevel level) {
    return level == LZHUF_LEVEL_FAST ? "fast" : "best";
}

Bytes randomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (uint8_t& b : bytes) {
        b = static_cast<uint8_t>(random());
    }
    return bytes;
}

// Words, noise and runs, like text with tables and padding in it.
Bytes mixedInput(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    const char* words[] = {"copyright ", "license ", "the ", "software ", "\r\n", "    ", "= "};
    Bytes input;
    while (input.size() < size) {
        unsigned pick = random() % 12;
        if (pick < 7) {
            for (const char* p = words[pick]; *p != '\0'; ++p) {
                input.push_back(static_cast<uint8_t>(*p));
            }
        } else if (pick < 10) {
            input.push_back(static_cast<uint8_t>(random()));
        } else {
            input.insert(input.end(), random() % 100, static_cast<uint8_t>(random() % 4));
        }
    }
    input.resize(size);
    return input;
}

// A block of random bytes given `times` times: each copy lies 4037 bytes after the last,
// out of the reference encoder's reach.
Bytes period4037(int times) {
    Bytes block = randomBytes(4037, 4037);
    Bytes input;
    for (int k = 0; k < times; ++k) {
        input.insert(input.end(), block.begin(), block.end());
    }
    return input;
}

// Inputs that begin with what the window starts with (spaces, zeros), short ones, long
// runs, noise, and enough symbols for several model rebuilds.
std::vector<Bytes> sampleInputs() {
    std::vector<Bytes> inputs = {Bytes(), hexBytes("61"), hexBytes("61 61 61 61"), Bytes(300, 0x20),
                                 Bytes(70000, 0x00), randomBytes(70000, 1), mixedInput(5000, 2),
                                 mixedInput(400000, 3), period4037(8)};
    Bytes spacesFirst(100, 0x20);
    Bytes text = mixedInput(3000, 4);
    spacesFirst.insert(spacesFirst.end(), text.begin(), text.end());
    inputs.push_back(spacesFirst);
    return inputs;
}

TEST(LzhufLevels, StreamsDecodeToTheInputWithoutReferringBeforeIt) {
    for (LzhufLevel level : LEVELS) {
        for (const Bytes& input : sampleInputs()) {
            const int size = static_cast<int>(input.size());
            Encoded e = encodeAt(level, input);
            ASSERT_EQ(e.result, size) << nameOf(level);
            ASSERT_EQ(e.flushes, 1) << nameOf(level);
            DecodeResult d = lzhufDecodeBytes(e.packed, size);
            ASSERT_EQ(d.result, 0) << nameOf(level) << ", " << size << " bytes";
            ASSERT_TRUE(d.output == input) << nameOf(level) << ", " << size << " bytes";
            ASSERT_EQ(d.consumed, e.packed.size()) << nameOf(level) << ", " << size << " bytes";

            // Every match copies from bytes already produced...
            long produced = 0;
            for (const LzhufItem& item : lzhufItems(e.packed, size)) {
                ASSERT_LE(item.offset + 1, produced) << nameOf(level) << ", " << size << " bytes";
                produced += item.length();
            }
            // ...so a window that starts with zeros gives the same bytes.
            static LzhufContext context;
            VectorSource source;
            source.data = e.packed;
            VectorSink sink;
            ASSERT_EQ(lzhufDecodeStepwise(&context, size, vectorSourceRead, &source, vectorSinkWrite,
                                          &sink, 0x00),
                      0);
            ASSERT_TRUE(sink.data == input) << nameOf(level) << ", " << size << " bytes";
        }
    }
}

TEST(LzhufLevels, OffsetsReachBack4096Bytes) {
    Bytes input = period4037(10);
    Bytes ref = lzhufEncodeBytes(input).packed;
    for (LzhufLevel level : LEVELS) {
        Encoded e = encodeAt(level, input);
        int farthest = 0;
        for (const LzhufItem& item : lzhufItems(e.packed, static_cast<int>(input.size()))) {
            farthest = item.offset > farthest ? item.offset : farthest;
        }
        EXPECT_EQ(farthest, 4036) << nameOf(level);
        // Nine of the ten copies cost a few bits per 60 bytes instead of a literal per byte.
        EXPECT_LT(e.packed.size() * 4, ref.size()) << nameOf(level);
    }
}

TEST(LzhufLevels, BestSavesOnTheReferenceAndFastStaysCloseToIt) {
    for (const Bytes& input : {mixedInput(300000, 5), mixedInput(100000, 6)}) {
        size_t ref = lzhufEncodeBytes(input).packed.size();
        size_t fast = encodeAt(LZHUF_LEVEL_FAST, input).packed.size();
        size_t best = encodeAt(LZHUF_LEVEL_BEST, input).packed.size();
        EXPECT_LE(fast * 100, ref * 103) << input.size() << " bytes";
        EXPECT_LE(best, fast) << input.size() << " bytes";
        EXPECT_LT(best, ref) << input.size() << " bytes";
    }
}

TEST(LzhufLevels, WriterFailuresComeBackUnchangedWithoutTheFlush) {
    Bytes input = mixedInput(50000, 7);
    for (LzhufLevel level : LEVELS) {
        long whole = static_cast<long>(encodeAt(level, input).packed.size());
        ASSERT_GT(whole, 4096);
        for (long failAfter : {0L, 1L, 4096L, whole - 1}) {
            Encoded e = encodeAt(level, input, failAfter);
            EXPECT_EQ(e.result, -9) << nameOf(level) << " failing after " << failAfter;
            EXPECT_EQ(e.flushes, 0) << nameOf(level) << " failing after " << failAfter;
        }
    }
    static LzhufContext context;
    std::unique_ptr<LzhufFastWork> fast(new LzhufFastWork);
    std::unique_ptr<LzhufBestWork> best(new LzhufBestWork);
    ChunkSink sink;
    EXPECT_EQ(lzhufEncodeFast(&context, fast.get(), input.data(), 10, nullptr, &sink), STREAM_ERR_STATE);
    EXPECT_EQ(lzhufEncodeBest(&context, best.get(), nullptr, 10, chunkSinkWrite, &sink), STREAM_ERR_STATE);
    EXPECT_EQ(sink.writes + sink.flushes, 0);
}

#ifdef RUNPACK_LHASA
struct LhasaInput {
    const Bytes* packed;
    size_t position;
};

size_t lhasaRead(void* buffer, size_t length, void* state) {
    LhasaInput* in = static_cast<LhasaInput*>(state);
    size_t n = std::min(length, in->packed->size() - in->position);
    memcpy(buffer, in->packed->data() + in->position, n);
    in->position += n;
    return n;
}

Bytes decodeWithLhasa(const Bytes& packed, size_t size) {
    char lh1[] = "-lh1-";
    LhasaInput in = {&packed, 0};
    LHADecoder* decoder = lha_decoder_new(lha_decoder_for_name(lh1), lhasaRead, &in, size);
    Bytes out(size);
    size_t total = 0;
    while (total < size) {
        size_t n = lha_decoder_read(decoder, out.data() + total, size - total);
        if (n == 0) {
            break;
        }
        total += n;
    }
    lha_decoder_free(decoder);
    out.resize(total);
    return out;
}
#endif

TEST(LzhufLevels, LhasaDecodesTheStreamsToTheInput) {
#ifdef RUNPACK_LHASA
    for (LzhufLevel level : LEVELS) {
        for (const Bytes& input : sampleInputs()) {
            Encoded e = encodeAt(level, input);
            EXPECT_TRUE(decodeWithLhasa(e.packed, input.size()) == input)
                << nameOf(level) << ", " << input.size() << " bytes";
        }
    }
#else
    GTEST_SKIP() << "lhasa's library was not found when the tests were built (Debian: liblhasa-dev)";
#endif
}

#ifdef RUNPACK_JAVA
// Runs jLHA's decoder in a Java process on `packed`.
Bytes decodeWithJlha(const Bytes& packed, size_t size) {
    char pattern[] = "/tmp/runpack-jlha-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return Bytes();
    }
    std::string dir = pattern;
    std::string in = dir + "/packed";
    std::string out = dir + "/out";
    std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(packed.data()), packed.size());
    std::string command = std::string("'") + RUNPACK_JAVA + "' -cp '" + RUNPACK_JLHA_CLASSPATH +
                          "' JlhaDecode decode '" + in + "' " + std::to_string(size) + " '" + out + "'";
    Bytes decoded;
    if (system(command.c_str()) == 0) {
        std::ifstream file(out, std::ios::binary);
        decoded.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    remove(in.c_str());
    remove(out.c_str());
    rmdir(dir.c_str());
    return decoded;
}
#endif

TEST(LzhufLevels, JlhaDecodesTheStreamsToTheInput) {
#ifdef RUNPACK_JAVA
    // One Java process per stream: a few inputs, among them one that starts with spaces.
    std::vector<Bytes> inputs = sampleInputs();
    Bytes spacesFirst = inputs.back();
    inputs = {spacesFirst, period4037(3), mixedInput(100000, 8), Bytes(300, 0x20)};
    for (LzhufLevel level : LEVELS) {
        for (const Bytes& input : inputs) {
            Encoded e = encodeAt(level, input);
            EXPECT_TRUE(decodeWithJlha(e.packed, input.size()) == input)
                << nameOf(level) << ", " << input.size() << " bytes";
        }
    }
    // The check can tell: the reference encoder matches the leading spaces against the
    // window's, which jLHA's starts without.
    Bytes ref = lzhufEncodeBytes(spacesFirst).packed;
    EXPECT_FALSE(decodeWithJlha(ref, spacesFirst.size()) == spacesFirst);
#else
    GTEST_SKIP() << "jLHA cross-check skipped: java, javac or /usr/share/java/jlha.jar was not "
                    "found when the tests were built (Debian: jlha-utils and a JDK)";
#endif
}

}  // namespace
