// Throughput of the LZHUF codec through its real callback interface (one call per byte),
// beside two peers on the same data: lhasa's -lh1- decoder (same Huffman model and offset
// code, called in-process on our streams) and gzip -6 compression (the process, timed on
// the data file).
//
// Usage: lzhuf_bench [WORKDIR]   (WORKDIR, default /tmp, receives the two data files)
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" {
#include <lha_decoder.h>
}

#include "codec/lzhuf_decoder.h"
#include "codec/lzhuf_encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

const size_t DLL_BYTES = 16u << 20;
const size_t TEXT_BYTES = 8u << 20;
const int ROUNDS = 3;  // each figure is the best of this many runs
const size_t ADAPTER_BUFFER = 4096;

// Memory source and sink in the shape of the engine's adapters: a tag checked on every
// call, and a small buffer between the codec and the block.
const uint32_t BENCH_TAG = 0x42454E43;

struct MemorySource {
    uint32_t tag;
    const uint8_t* data;
    size_t size;
    size_t position;
};

int32_t memorySourceRead(uint8_t* destination, int32_t capacity, void* state) {
    MemorySource* s = static_cast<MemorySource*>(state);
    if (s->tag != BENCH_TAG || destination == nullptr) {
        return STREAM_ERR_STATE;
    }
    size_t n = std::min(static_cast<size_t>(capacity), s->size - s->position);
    const uint8_t* from = s->data + s->position;
    for (size_t k = 0; k < n; ++k) {
        destination[k] = from[k];
    }
    s->position += n;
    return static_cast<int32_t>(n);
}

struct BufferedSink {
    uint32_t tag;
    uint8_t buffer[ADAPTER_BUFFER];
    size_t filled;
    Bytes* block;
};

void drain(BufferedSink* s) {
    s->block->insert(s->block->end(), s->buffer, s->buffer + s->filled);
    s->filled = 0;
}

int32_t bufferedSinkWrite(const uint8_t* source, int32_t count, void* state) {
    BufferedSink* s = static_cast<BufferedSink*>(state);
    if (s->tag != BENCH_TAG) {
        return STREAM_ERR_STATE;
    }
    if (source == nullptr) {
        drain(s);
        return 0;
    }
    for (int32_t k = 0; k < count; ++k) {
        if (s->filled == ADAPTER_BUFFER) {
            drain(s);
        }
        s->buffer[s->filled++] = source[k];
    }
    return count;
}

// CPU time, not wall time: the machine is shared, and CPU time is what a run costs.
double cpuNow() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

double childrenCpu() {
    rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

double megabytesPerSecond(size_t bytes, double time) {
    return bytes / 1e6 / time;
}

Bytes readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

Bytes dllData() {
    std::vector<fs::path> paths;
    for (const auto& entry : fs::directory_iterator("/usr/lib/i386-linux-gnu/wine/i386-windows")) {
        if (entry.path().extension() == ".dll") {
            paths.push_back(entry.path());
        }
    }
    std::sort(paths.begin(), paths.end());
    Bytes data;
    for (const fs::path& path : paths) {
        Bytes part = readFile(path);
        data.insert(data.end(), part.begin(), part.end());
        if (data.size() >= DLL_BYTES) {
            break;
        }
    }
    data.resize(std::min(data.size(), DLL_BYTES));
    return data;
}

Bytes textData() {
    std::vector<fs::path> paths;
    for (const auto& entry : fs::directory_iterator("/usr/share/common-licenses")) {
        if (entry.is_regular_file()) {
            paths.push_back(entry.path());
        }
    }
    for (const auto& entry : fs::recursive_directory_iterator(
             "/usr/share/doc", fs::directory_options::skip_permission_denied)) {
        if (entry.path().filename() == "copyright" && entry.is_regular_file()) {
            paths.push_back(entry.path());
        }
    }
    std::sort(paths.begin(), paths.end());
    Bytes once;
    for (const fs::path& path : paths) {
        Bytes part = readFile(path);
        once.insert(once.end(), part.begin(), part.end());
    }
    Bytes data;
    while (!once.empty() && data.size() < TEXT_BYTES) {
        data.insert(data.end(), once.begin(), once.end());
    }
    data.resize(std::min(data.size(), TEXT_BYTES));
    return data;
}

struct LhasaInput {
    const Bytes* packed;
    size_t position;
};

size_t lhasaRead(void* buf, size_t length, void* state) {
    LhasaInput* in = static_cast<LhasaInput*>(state);
    size_t n = std::min(length, in->packed->size() - in->position);
    memcpy(buf, in->packed->data() + in->position, n);
    in->position += n;
    return n;
}

struct Figures {
    double encode;
    double decode;
    double lhasaDecode;
    double gzip;
    size_t packed;
};

Figures measure(const char* name, const Bytes& data, const fs::path& file) {
    Figures f = {0, 0, 0, 0, 0};
    Bytes packed;
    for (int round = 0; round < ROUNDS; ++round) {
        static BufferedSink sink;
        packed.clear();
        packed.reserve(data.size());
        MemorySource source = {BENCH_TAG, data.data(), data.size(), 0};
        sink.tag = BENCH_TAG;
        sink.filled = 0;
        sink.block = &packed;
        double start = cpuNow();
        int result = lzhufEncode(nullptr, memorySourceRead, &source, bufferedSinkWrite, &sink);
        double time = cpuNow() - start;
        if (result != static_cast<int>(data.size())) {
            fprintf(stderr, "%s: encode returned %d\n", name, result);
            exit(1);
        }
        f.encode = std::max(f.encode, megabytesPerSecond(data.size(), time));
    }
    f.packed = packed.size();

    Bytes output;
    for (int round = 0; round < ROUNDS; ++round) {
        static BufferedSink sink;
        output.clear();
        output.reserve(data.size());
        MemorySource source = {BENCH_TAG, packed.data(), packed.size(), 0};
        sink.tag = BENCH_TAG;
        sink.filled = 0;
        sink.block = &output;
        double start = cpuNow();
        int result = lzhufDecode(nullptr, static_cast<int>(data.size()), memorySourceRead, &source,
                                 bufferedSinkWrite, &sink);
        double time = cpuNow() - start;
        if (result != 0 || output != data) {
            fprintf(stderr, "%s: decode returned %d or differs\n", name, result);
            exit(1);
        }
        f.decode = std::max(f.decode, megabytesPerSecond(data.size(), time));
    }

    char lh1[] = "-lh1-";
    LHADecoderType* type = lha_decoder_for_name(lh1);
    Bytes lhasaOutput(data.size());
    for (int round = 0; round < ROUNDS; ++round) {
        LhasaInput in = {&packed, 0};
        LHADecoder* decoder = lha_decoder_new(type, lhasaRead, &in, data.size());
        double start = cpuNow();
        size_t total = 0;
        for (;;) {
            size_t n = lha_decoder_read(decoder, lhasaOutput.data() + total,
                                        std::min<size_t>(65536, data.size() - total));
            if (n == 0) {
                break;
            }
            total += n;
        }
        double time = cpuNow() - start;
        lha_decoder_free(decoder);
        if (total != data.size()) {
            fprintf(stderr, "%s: lhasa produced %zu bytes\n", name, total);
            exit(1);
        }
        f.lhasaDecode = std::max(f.lhasaDecode, megabytesPerSecond(data.size(), time));
    }

    std::string command = "gzip -6 -c '" + file.string() + "' > /dev/null";
    for (int round = 0; round < ROUNDS; ++round) {
        double start = childrenCpu();
        if (system(command.c_str()) != 0) {
            fprintf(stderr, "%s: gzip failed\n", name);
            exit(1);
        }
        f.gzip = std::max(f.gzip, megabytesPerSecond(data.size(), childrenCpu() - start));
    }
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    fs::path work = argc > 1 ? argv[1] : "/tmp";
    struct Set {
        const char* name;
        Bytes data;
        fs::path file;
    } sets[] = {
        {"dlls", dllData(), work / "lzhuf_bench_dlls.bin"},
        {"text", textData(), work / "lzhuf_bench_text.txt"},
    };
    printf("best of %d runs; MB/s = 10^6 bytes of unpacked data per CPU second\n", ROUNDS);
    printf("%-5s %9s %7s %9s %9s %9s %9s %8s %8s\n", "data", "bytes", "ratio", "encode",
           "gzip -6", "decode", "lhasa", "enc/gz", "dec/lh");
    for (Set& set : sets) {
        std::ofstream(set.file, std::ios::binary)
            .write(reinterpret_cast<const char*>(set.data.data()), set.data.size());
        Figures f = measure(set.name, set.data, set.file);
        printf("%-5s %9zu %6.1f%% %9.1f %9.1f %9.1f %9.1f %7.2fx %7.2fx\n", set.name,
               set.data.size(), 100.0 * f.packed / set.data.size(), f.encode, f.gzip, f.decode,
               f.lhasaDecode, f.encode / f.gzip, f.decode / f.lhasaDecode);
        fs::remove(set.file);
    }
    return 0;
}
