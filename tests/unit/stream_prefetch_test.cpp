#include "extract/stream_prefetch.h"

#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "extract/storage_methods.h"
#include "extract/unpack_operations.h"
#include "runpack/package/solid_encoder.h"
#include "support/package_builder.h"

namespace {

// Text-like content with some noise, so that decoding takes a while.
std::vector<uint8_t> content(size_t length, uint32_t seed)
{
    std::mt19937 random(seed);
    const char* words[] = {"north ", "south ", "east\r\n", "west ", "centre "};
    std::vector<uint8_t> bytes;
    while (bytes.size() < length) {
        if (random() % 6 == 0) {
            bytes.push_back((uint8_t)random());
        } else {
            const char* word = words[random() % 5];
            bytes.insert(bytes.end(), word, word + strlen(word));
        }
    }
    bytes.resize(length);
    return bytes;
}

bool decodesWhole(const std::vector<uint8_t>& stream)
{
    SolidStreamReader* reader = new SolidStreamReader;
    bool ok = solidStreamOpen(reader, stream.data(), (uint32_t)stream.size());
    if (ok) {
        const uint8_t* bytes = nullptr;
        int32_t n = 0;
        while ((n = solidStreamNext(reader, &bytes, 1u << 16)) > 0) {
        }
        ok = n == 0 && solidStreamFinished(reader);
    }
    solidStreamClose(reader);
    delete reader;
    return ok;
}

// A package of `streams` solid streams of three members each, a stored file behind every
// other stream; the stream `damaged` (or none) no longer decodes, its chunk layout intact.
struct Streams {
    std::vector<uint8_t> package;
    std::vector<std::vector<uint8_t>> files;  // every entry's content, in package order
};

Streams makeStreams(int streams, int damaged, int growth = 7000, bool someFiltered = false)
{
    TestPackage package;
    Streams made;
    for (int k = 0; k < streams; ++k) {
        std::vector<std::vector<uint8_t>> members;
        for (int m = 0; m < 3; ++m) members.push_back(content(40000 + 25000 * m + growth * k, 100 + 3 * k + m));
        std::vector<const std::vector<uint8_t>*> pointers;
        for (const auto& m : members) pointers.push_back(&m);
        std::vector<uint8_t> stream;
        std::string error;
        // With `someFiltered`, every other stream goes through the x86 filter, which the
        // extraction undoes on its own copy of what a helper decoded.
        EXPECT_TRUE(encodeSolidStream(pointers, SOLID_LEVEL_FAST, someFiltered && k % 2 == 0, &stream, &error)) << error;
        for (size_t at = stream.size() / 2; k == damaged && at < stream.size(); ++at) {
            std::vector<uint8_t> trial = stream;
            trial[at] ^= 0x5A;
            if (!decodesWhole(trial)) {
                stream = trial;
                break;
            }
        }
        for (int m = 0; m < 3; ++m) {
            TestEntry entry;
            entry.name = "s" + std::to_string(k) + "m" + std::to_string(m);
            entry.content = members[m];
            entry.method = METHOD_LZMA2;
            entry.packed = m == 0 ? stream : std::vector<uint8_t>();
            package.entries.push_back(entry);
            made.files.push_back(members[m]);
        }
        if (k % 2 == 1) {
            TestEntry stored;
            stored.name = "between" + std::to_string(k);
            stored.content = content(3000, k);
            package.entries.push_back(stored);
            made.files.push_back(stored.content);
        }
    }
    made.package = buildPackage(package);
    return made;
}

struct Collected {
    std::vector<uint8_t> bytes;
    uint64_t refuseAfter;
};

bool collect(void* target, const uint8_t* bytes, uint32_t count)
{
    Collected* c = (Collected*)target;
    if (c->bytes.size() + count > c->refuseAfter) return false;
    c->bytes.insert(c->bytes.end(), bytes, bytes + count);
    return true;
}

// What the extraction's loop does, into memory: every entry in package order, the look-ahead
// told at each stream's first member, until the first entry that fails.
struct Extracted {
    std::vector<std::vector<uint8_t>> files;  // those extracted whole
    bool ok = true;
    uint32_t mostSlots = 0;   // streams held at once, at most
    uint64_t mostMemory = 0;  // the most the held streams could take
    bool slotsFreed = true;   // after prefetchEnd
};

// Helpers started at the package's start (`early`, as the engine does while it checks the
// package) or at the first stream.
Extracted extract(const Streams& streams, uint32_t processors, uint32_t memoryCap, uint64_t refuseAt = UINT64_MAX,
                  bool early = false)
{
    const uint8_t* package = streams.package.data();
    const uint32_t size = (uint32_t)streams.package.size();
    std::unique_ptr<StreamPrefetch> prefetch(new StreamPrefetch);
    prefetchBegin(prefetch.get(), package, size, processors, memoryCap);
    if (early) prefetchFromStart(prefetch.get());
    PackageHeader header;
    memset(&header, 0, sizeof(header));
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    uint32_t offset = 0;
    EXPECT_TRUE(readHeader(package, size, &offset, &header));
    Extracted run;
    uint64_t written = 0;
    for (uint32_t index = 0; index < header.fileCount && run.ok; ++index) {
        FileEntry entry;
        memset(&entry, 0, sizeof(entry));
        entry.recordSize = FILE_ENTRY_RECORD_SIZE;
        EXPECT_TRUE(readEntry(package, size, offset, &offset, &entry));
        if (entry.method == METHOD_LZMA2 && entry.packedSize != 0) {
            prefetchAtStream(prefetch.get(), &entry, offset);
            uint32_t slots = 0;
            uint64_t memory = 0;
            for (const PrefetchSlot& slot : prefetch->slots) {
                // Streams and the buffers kept for the next ones, each of its own size.
                memory += slot.outputCapacity + (slot.decoder ? sizeof(SolidFlatDecoder) : 0);
                if (slot.thread != nullptr) ++slots;
            }
            EXPECT_EQ(memory, prefetchHeldMemory(prefetch.get()));
            run.mostSlots = std::max(run.mostSlots, slots);
            run.mostMemory = std::max(run.mostMemory, memory);
        }
        Collected file = {{}, refuseAt > written ? refuseAt - written : 0};
        UnpackFn unpack = findUnpackOp(entry.method);
        run.ok = unpack(entry.packedSize, entry.data, entry.unpackedSize, collect, &file) == entry.unpackedSize;
        written += file.bytes.size();
        if (run.ok) run.files.push_back(file.bytes);
    }
    prefetchEnd(prefetch.get());
    for (const PrefetchSlot& slot : prefetch->slots) run.slotsFreed = run.slotsFreed && slot.thread == nullptr;
    return run;
}

}  // namespace

// Helpers decode several streams at once, as many as there are processors and as the memory
// cap allows; the files come out byte for byte whoever decoded them, and every helper is
// gone at the end.
TEST(StreamPrefetch, SeveralStreamsInFlightGiveEveryFileByteForByte)
{
    const Streams streams = makeStreams(9, -1, 7000, true);
    for (uint32_t processors : {1u, 2u, 4u, 8u}) {
        const Extracted run = extract(streams, processors, PREFETCH_MEMORY_CAP);
        EXPECT_TRUE(run.ok) << processors;
        EXPECT_TRUE(run.files == streams.files) << processors;
        EXPECT_TRUE(run.slotsFreed);
        // On one processor nothing is decoded ahead; otherwise the first stream and those
        // right behind it start at once, at least one per processor.
        if (processors == 1) {
            EXPECT_EQ(run.mostSlots, 0u);
        } else {
            EXPECT_GE(run.mostSlots, processors) << processors;
        }
    }
}

TEST(StreamPrefetch, TheMemoryCapBoundsTheStreamsHeldAndALargerStreamIsDecodedByTheExtraction)
{
    const Streams streams = makeStreams(7, -1);
    // Room for about two of these streams: never more is held, whatever the processors.
    const uint32_t cap = 2 * (sizeof(SolidFlatDecoder) + 2 * 200000);
    Extracted run = extract(streams, 8, cap);
    EXPECT_TRUE(run.ok);
    EXPECT_TRUE(run.files == streams.files);
    EXPECT_LE(run.mostMemory, cap);
    EXPECT_GE(run.mostSlots, 1u);
    // Room for no stream: the extraction decodes every one itself.
    run = extract(streams, 8, 100000);
    EXPECT_TRUE(run.ok);
    EXPECT_TRUE(run.files == streams.files);
    EXPECT_EQ(run.mostSlots, 0u);
}

// A stream decoded by a helper several positions ahead is corrupt: the files before it come
// out whole, its member fails where the extraction's own decoding fails it, and nothing is
// left running or held.
TEST(StreamPrefetch, ADamagedStreamFarAheadFailsItsMemberAsWithoutHelpers)
{
    const Streams streams = makeStreams(8, 5);
    const Extracted alone = extract(streams, 1, PREFETCH_MEMORY_CAP);
    EXPECT_FALSE(alone.ok);
    // Streams 0 to 4 and the stored files behind streams 1 and 3 come out, and the members
    // of stream 5 before its damage.
    ASSERT_GE(alone.files.size(), 17u);
    ASSERT_LT(alone.files.size(), 20u);
    EXPECT_TRUE(std::equal(alone.files.begin(), alone.files.end(), streams.files.begin()));
    for (uint32_t processors : {2u, 4u, 8u}) {
        const Extracted run = extract(streams, processors, PREFETCH_MEMORY_CAP);
        EXPECT_FALSE(run.ok);
        EXPECT_TRUE(run.files == alone.files) << processors;
        EXPECT_TRUE(run.slotsFreed);
    }
}

// The extraction fails early (a write refused) while helpers decode far ahead: they stop,
// and the end waits for them and frees their memory (the sanitizers see a leak or a race).
TEST(StreamPrefetch, AnExtractionThatFailsEarlyStopsEveryHelper)
{
    const Streams streams = makeStreams(8, -1);
    for (uint64_t refuseAt : {0ull, 50000ull, 400000ull}) {
        const Extracted run = extract(streams, 8, PREFETCH_MEMORY_CAP, refuseAt);
        EXPECT_FALSE(run.ok);
        EXPECT_TRUE(run.slotsFreed);
        for (size_t i = 0; i < run.files.size(); ++i) EXPECT_TRUE(run.files[i] == streams.files[i]) << i;
    }
}

// Streams that shrink one after another: each is decoded into buffers kept from a larger
// stream before it, whose bytes must never show, not even behind a stream that fails.
TEST(StreamPrefetch, BuffersKeptFromALargerStreamHandOutOnlyTheNextStreamsBytes)
{
    const Streams whole = makeStreams(8, -1, -4000);
    const Streams damaged = makeStreams(8, 7, -4000);
    const Extracted alone = extract(damaged, 1, PREFETCH_MEMORY_CAP);
    ASSERT_FALSE(alone.ok);
    for (uint32_t processors : {2u, 3u}) {
        Extracted run = extract(whole, processors, PREFETCH_MEMORY_CAP);
        EXPECT_TRUE(run.ok) << processors;
        EXPECT_TRUE(run.files == whole.files) << processors;
        run = extract(damaged, processors, PREFETCH_MEMORY_CAP);
        EXPECT_FALSE(run.ok);
        EXPECT_TRUE(run.files == alone.files) << processors;
        EXPECT_TRUE(run.slotsFreed);
    }
}

// Helpers set on the first streams before the extraction begins hand them over when it gets
// there, damaged streams included, exactly as helpers started at the first stream do.
TEST(StreamPrefetch, HelpersStartedAtThePackagesStartHandOverTheirStreams)
{
    const Streams whole = makeStreams(6, -1);
    const Streams damaged = makeStreams(6, 1);
    const Extracted alone = extract(damaged, 1, PREFETCH_MEMORY_CAP);
    ASSERT_FALSE(alone.ok);
    for (uint32_t processors : {1u, 2u, 4u}) {
        std::unique_ptr<StreamPrefetch> prefetch(new StreamPrefetch);
        prefetchBegin(prefetch.get(), whole.package.data(), (uint32_t)whole.package.size(), processors,
                      PREFETCH_MEMORY_CAP);
        prefetchFromStart(prefetch.get());
        uint32_t started = 0;
        for (const PrefetchSlot& slot : prefetch->slots) started += slot.thread != nullptr ? 1 : 0;
        // At least a helper for each processor; a helper that has already ended makes way
        // for another, so there may be more.
        if (processors == 1) {
            EXPECT_EQ(started, 0u);
        } else {
            EXPECT_GE(started, processors);
        }
        prefetchEnd(prefetch.get());

        Extracted run = extract(whole, processors, PREFETCH_MEMORY_CAP, UINT64_MAX, true);
        EXPECT_TRUE(run.ok);
        EXPECT_TRUE(run.files == whole.files) << processors;
        run = extract(damaged, processors, PREFETCH_MEMORY_CAP, UINT64_MAX, true);
        EXPECT_FALSE(run.ok);
        EXPECT_TRUE(run.files == alone.files) << processors;
        EXPECT_TRUE(run.slotsFreed);
    }
}

// The look-ahead starts before the package is checked, so it reads packages of any shape:
// cut short anywhere or with bytes changed, it starts on what it can read and stops cleanly
// (the sanitizers watch every read and every helper).
TEST(StreamPrefetch, TheLookAheadStartedOnAnUncheckedPackageReadsOnlyWithinIt)
{
    const Streams streams = makeStreams(4, -1);
    const std::vector<uint8_t>& package = streams.package;
    std::mt19937 random(7);
    for (int trial = 0; trial < 60; ++trial) {
        std::vector<uint8_t> bytes(package.begin(), package.begin() + random() % (package.size() + 1));
        for (int flips = trial % 4; flips > 0 && !bytes.empty(); --flips) bytes[random() % bytes.size()] ^= 1u << (random() % 8);
        // A copy of exactly that length: a read past it is a read past the allocation.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
        memcpy(exact.get(), bytes.data(), bytes.size());
        std::unique_ptr<StreamPrefetch> prefetch(new StreamPrefetch);
        prefetchBegin(prefetch.get(), exact.get(), (uint32_t)bytes.size(), 3, PREFETCH_MEMORY_CAP);
        prefetchFromStart(prefetch.get());
        prefetchEnd(prefetch.get());
        for (const PrefetchSlot& slot : prefetch->slots) EXPECT_TRUE(slot.thread == nullptr && slot.output == nullptr);
    }
}
