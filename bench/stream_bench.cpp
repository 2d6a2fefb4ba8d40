// Decode time of each solid stream of a runpack executable's package, on one thread, and what
// the engine's schedule would make of them on more processors.
//
//   stream_bench EXE [WRITE_MB_PER_S] [ROUNDS]
//
// Each stream is decoded through solidStreamNext (x86 filter included) ROUNDS times (3 by
// default), by the thread's CPU time, best of the rounds. The model then lays the streams out
// as the engine does: helpers start on the streams in package order, as many at once as there
// are processors and as the memory cap allows; one thread writes the files in package order,
// at WRITE_MB_PER_S (10^6 bytes per second, measured separately: the engine's run of the
// same files stored), never ahead of the stream's decoding. It prints the model's time for
// 1, 2, 4, 8 and 16 processors: decoding and writing only, start-up and the digest not
// included.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codec/solid_stream.h"
#include "extract/stream_prefetch.h"
#include "package/package_reader.h"
#include "runpack/image/pe_resources.h"

namespace {

double threadSeconds()
{
    struct timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

struct Stream {
    const uint8_t* data;
    uint32_t packed;
    uint32_t unpacked;
    uint32_t members;
    uint64_t memory;   // output and decoder, as the look-ahead counts it
    double decode;     // seconds
};

double decodeOnce(const Stream& s)
{
    static SolidStreamReader reader;
    double start = threadSeconds();
    if (!solidStreamOpen(&reader, s.data, s.packed)) {
        fprintf(stderr, "stream refused\n");
        exit(1);
    }
    const uint8_t* bytes = nullptr;
    int32_t n = 0;
    uint64_t total = 0;
    while ((n = solidStreamNext(&reader, &bytes, 1u << 16)) > 0) total += (uint32_t)n;
    if (n != 0 || !solidStreamFinished(&reader) || total != s.unpacked) {
        fprintf(stderr, "stream corrupt\n");
        exit(1);
    }
    solidStreamClose(&reader);
    return threadSeconds() - start;
}

// The engine's schedule, with decoding and writing at constant rates, `decoders` helpers
// decoding at once at full speed. Returns the time the last file is written.
double model(const std::vector<Stream>& streams, uint32_t processors, uint32_t decoders, double writeSecondsPerByte)
{
    const size_t count = streams.size();
    std::vector<double> begin(count), end(count);
    // Processors 1: the extraction decodes and writes each stream itself, one after the other.
    if (processors == 1) {
        double t = 0;
        for (const Stream& s : streams) t += s.decode + s.unpacked * writeSecondsPerByte;
        return t;
    }
    double written = 0;  // when the writer has written every stream before the current one
    size_t started = 0;
    double notBefore = 0;  // a stream held back by the cap starts once the writer frees memory
    for (size_t k = 0; k < count; ++k) {
        // Start every stream the helpers and the cap allow by the time the writer reaches
        // stream k (helpers start in package order; one has a processor while it decodes).
        while (started < count) {
            // The earliest moment stream `started` can begin: a helper free, memory free.
            double t = std::max(started == 0 ? 0 : begin[started - 1], notBefore);
            std::vector<double> busy;
            for (size_t j = 0; j < started; ++j) {
                if (end[j] > t) busy.push_back(end[j]);
            }
            std::sort(busy.begin(), busy.end());
            if (busy.size() >= decoders) t = busy[busy.size() - decoders];
            // Memory: held from the stream's start until the writer has written it.
            uint64_t held = streams[started].memory;
            for (size_t j = k; j < started; ++j) held += streams[j].memory;
            if (held > PREFETCH_MEMORY_CAP && started > k) {
                notBefore = 1e300;
                break;
            }
            begin[started] = t;
            end[started] = t + streams[started].decode;
            ++started;
        }
        if (started == k) {  // the writer's stream could not start ahead: decoded when reached
            begin[k] = written;
            end[k] = written + streams[k].decode;
            ++started;
        }
        const double write = streams[k].unpacked * writeSecondsPerByte;
        // The writer follows the decoding: it ends no earlier than the decode, plus the last
        // stretch's write, and no earlier than its own pace allows.
        const double from = std::max(written, begin[k]);
        written = std::max(from + write, end[k] + write / 64);
        if (notBefore > 1e299) notBefore = written;
    }
    return written;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: stream_bench EXE [WRITE_MB_PER_S] [ROUNDS]\n");
        return 2;
    }
    const double writeRate = argc > 2 ? atof(argv[2]) : 0;
    const int rounds = argc > 3 ? atoi(argv[3]) : 3;
    std::vector<uint8_t> image, package, digest;
    bool hasPackage = false, hasDigest = false;
    std::string error;
    if (!readFile(argv[1], &image, &error) || !readRunInfo(image, &package, &hasPackage, &digest, &hasDigest, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    PackageHeader header;
    memset(&header, 0, sizeof(header));
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    uint32_t offset = 0;
    const uint32_t size = (uint32_t)package.size();
    if (!readHeader(package.data(), size, &offset, &header)) return 1;
    std::vector<Stream> streams;
    for (uint32_t i = 0; i < header.fileCount; ++i) {
        FileEntry entry;
        memset(&entry, 0, sizeof(entry));
        entry.recordSize = FILE_ENTRY_RECORD_SIZE;
        if (!readEntry(package.data(), size, offset, &offset, &entry)) return 1;
        if (entry.method != 2 || entry.packedSize == 0) continue;
        SolidStreamHeader h;
        if (!readSolidStreamHeader(entry.data, entry.packedSize, &h)) return 1;
        uint64_t dictionary = std::min<uint64_t>(h.dictionarySize, (h.unpackedSize + 4095ull) / 4096 * 4096);
        streams.push_back({entry.data, entry.packedSize, h.unpackedSize, h.memberCount,
                           h.unpackedSize + dictionary + sizeof(SolidStreamReader), 1e9});
    }
    double decodeTotal = 0;
    uint64_t unpackedTotal = 0;
    printf("stream  members  packed MB  unpacked MB  decode s (CPU, best of %d)\n", rounds);
    for (size_t k = 0; k < streams.size(); ++k) {
        for (int r = 0; r < rounds; ++r) streams[k].decode = std::min(streams[k].decode, decodeOnce(streams[k]));
        printf("%6zu  %7u  %9.2f  %11.2f  %8.3f\n", k, streams[k].members, streams[k].packed / 1e6,
               streams[k].unpacked / 1e6, streams[k].decode);
        decodeTotal += streams[k].decode;
        unpackedTotal += streams[k].unpacked;
    }
    printf("total   %7s  %9s  %11.2f  %8.3f\n", "", "", unpackedTotal / 1e6, decodeTotal);
    if (writeRate > 0) {
        const double perByte = 1 / (writeRate * 1e6);
        printf("\nmodel, writing at %.1f MB/s (%.3f s for all):\n", writeRate, unpackedTotal * perByte);
        // The writer needs a processor too: between a helper per processor that never waits
        // for it (the lower figure) and one processor left to the writer alone (the upper).
        const double one = model(streams, 1, 1, perByte);
        printf("  processors   helpers at full speed   one processor for the writer\n");
        for (uint32_t p : {1u, 2u, 4u, 8u, 16u}) {
            const double fast = model(streams, p, p, perByte);
            const double slow = p == 1 ? fast : model(streams, p, p - 1, perByte);
            printf("  %10u   %6.3f s (%.2fx one)     %6.3f s (%.2fx one)\n", p, fast, fast / one, slow, slow / one);
        }
    }
    return 0;
}
