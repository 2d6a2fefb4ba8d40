// Throughput and ratio of the LZHUF codec, beside its peers, in one run on the same data.
//
// For each data set and each encoder level (ref, fast, best): the level's encode speed and
// ratio, then the speed of the decoders on that level's stream: ours twice, through its
// real callback interface, once as the engine runs it (lzhufDecode, one write call per
// byte) and once as the tool runs it (lzhufDecodeBlocks, a write call per stretch);
// lhasa's -lh1- decoder (in-process, through its library) and jLHA's (in-process in a Java
// process that has warmed up its JIT, when Java and jlha-utils are installed). Next to
// them gzip -6 (the process, on the data file).
// Every decode is checked against the input; a peer whose window starts otherwise than ours
// may differ on the reference encoder's streams, which is marked.
//
// A third, small set checks the reach of the offsets: a block repeated at a period of 4037
// bytes, which only the fast and best levels can match.
//
// Usage: lzhuf_bench [WORKDIR [ROUNDS]]   (WORKDIR, default /tmp, receives the data and
// stream files; each figure is the best of ROUNDS runs, default 3)
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
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <lha_decoder.h>
}

#include "codec/lzhuf_decoder.h"
#include "codec/lzhuf_encoder.h"
#include "codec/lzhuf_levels.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

const size_t DLL_BYTES = 16u << 20;
const size_t TEXT_BYTES = 8u << 20;
const size_t ADAPTER_BUFFER = 4096;

// Memory source and sink in the shape of the engine's adapters: a tag checked on every
// call, a single byte taken or stored without a library call, and a small buffer between
// the codec and the block.
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
    if (capacity == 1 && s->position < s->size) {
        *destination = s->data[s->position++];
        return 1;
    }
    size_t n = std::min(static_cast<size_t>(capacity), s->size - s->position);
    memcpy(destination, s->data + s->position, n);
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
    if (count == 1 && s->filled < ADAPTER_BUFFER) {
        s->buffer[s->filled++] = *source;
        return 1;
    }
    // More than a byte: copied a run at a time, as the engine's adapters do.
    for (int32_t done = 0; done < count;) {
        if (s->filled == ADAPTER_BUFFER) {
            drain(s);
        }
        size_t take = std::min(static_cast<size_t>(count - done), ADAPTER_BUFFER - s->filled);
        memcpy(s->buffer + s->filled, source + done, take);
        s->filled += take;
        done += static_cast<int32_t>(take);
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

void writeFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
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

// A block of 4037 pseudo-random bytes given 32 times: each copy lies just beyond the
// reference encoder's reach of 4036 bytes, within the stream format's 4096.
Bytes periodData() {
    const size_t period = 4037;
    const int copies = 32;
    Bytes block(period);
    uint32_t x = 4037;
    for (uint8_t& b : block) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 24);
    }
    Bytes data;
    for (int k = 0; k < copies; ++k) {
        data.insert(data.end(), block.begin(), block.end());
    }
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

// A decoder's best speed and whether its output equalled the input.
struct Decoded {
    double speed = 0;
    bool same = true;
    bool ran = false;
};

struct Row {
    const char* level;
    size_t packed = 0;
    double encode = 0;
    Decoded ours;
    Decoded blocks;
    Decoded lhasa;
    Decoded jlha;
};

int rounds = 3;

Bytes encodeAt(LzhufLevel level, const Bytes& data, double* speed) {
    static LzhufContext context;
    static std::unique_ptr<LzhufFastWork> fast(new LzhufFastWork);
    static std::unique_ptr<LzhufBestWork> best(new LzhufBestWork);
    static BufferedSink sink;
    Bytes packed;
    for (int round = 0; round < rounds; ++round) {
        packed.clear();
        packed.reserve(data.size());
        sink.tag = BENCH_TAG;
        sink.filled = 0;
        sink.block = &packed;
        MemorySource source = {BENCH_TAG, data.data(), data.size(), 0};
        const int32_t size = static_cast<int32_t>(data.size());
        double start = cpuNow();
        int result;
        if (level == LZHUF_LEVEL_REF) {
            result = lzhufEncode(&context, memorySourceRead, &source, bufferedSinkWrite, &sink);
        } else if (level == LZHUF_LEVEL_FAST) {
            result = lzhufEncodeFast(&context, fast.get(), data.data(), size, bufferedSinkWrite, &sink);
        } else {
            result = lzhufEncodeBest(&context, best.get(), data.data(), size, bufferedSinkWrite, &sink);
        }
        double time = cpuNow() - start;
        if (result != size) {
            fprintf(stderr, "encode returned %d\n", result);
            exit(1);
        }
        *speed = std::max(*speed, megabytesPerSecond(data.size(), time));
    }
    return packed;
}

typedef int (*DecodeFn)(LzhufContext*, int, StreamReadFn, void*, StreamWriteFn, void*);

Decoded decodeOurs(DecodeFn decode, const Bytes& packed, const Bytes& data) {
    static LzhufContext context;
    static BufferedSink sink;
    Decoded d;
    Bytes output;
    for (int round = 0; round < rounds; ++round) {
        output.clear();
        output.reserve(data.size());
        MemorySource source = {BENCH_TAG, packed.data(), packed.size(), 0};
        sink.tag = BENCH_TAG;
        sink.filled = 0;
        sink.block = &output;
        double start = cpuNow();
        int result = decode(&context, static_cast<int>(data.size()), memorySourceRead, &source,
                            bufferedSinkWrite, &sink);
        double time = cpuNow() - start;
        if (result != 0 || output != data) {
            fprintf(stderr, "our decoder returned %d or differs\n", result);
            exit(1);
        }
        d.speed = std::max(d.speed, megabytesPerSecond(data.size(), time));
    }
    d.ran = true;
    return d;
}

Decoded decodeLhasa(const Bytes& packed, const Bytes& data) {
    char lh1[] = "-lh1-";
    LHADecoderType* type = lha_decoder_for_name(lh1);
    Bytes output(data.size());
    Decoded d;
    for (int round = 0; round < rounds; ++round) {
        LhasaInput in = {&packed, 0};
        LHADecoder* decoder = lha_decoder_new(type, lhasaRead, &in, data.size());
        double start = cpuNow();
        size_t total = 0;
        for (;;) {
            size_t n = lha_decoder_read(decoder, output.data() + total,
                                        std::min<size_t>(65536, data.size() - total));
            if (n == 0) {
                break;
            }
            total += n;
        }
        double time = cpuNow() - start;
        lha_decoder_free(decoder);
        d.same = d.same && total == data.size() && output == data;
        d.speed = std::max(d.speed, megabytesPerSecond(data.size(), time));
    }
    d.ran = true;
    return d;
}

Decoded decodeJlha(const fs::path& packedFile, const fs::path& dataFile) {
    Decoded d;
#ifdef LZHUF_BENCH_JAVA
    std::string command = std::string("'") + LZHUF_BENCH_JAVA + "' -cp '" + LZHUF_BENCH_JLHA_CLASSPATH +
                          "' JlhaDecode bench '" + packedFile.string() + "' '" + dataFile.string() + "' " +
                          std::to_string(rounds);
    FILE* pipe = popen(command.c_str(), "r");
    char same[16] = "";
    if (pipe != nullptr && fscanf(pipe, "%lf %15s", &d.speed, same) == 2) {
        d.same = strcmp(same, "same") == 0;
        d.ran = true;
    }
    if (pipe != nullptr) {
        pclose(pipe);
    }
#else
    (void)packedFile;
    (void)dataFile;
#endif
    return d;
}

double gzipSpeed(const fs::path& file, size_t bytes, size_t* packed) {
    std::string command = "gzip -6 -c '" + file.string() + "' | wc -c";
    double speed = 0;
    for (int round = 0; round < rounds; ++round) {
        double start = childrenCpu();
        FILE* pipe = popen(command.c_str(), "r");
        unsigned long long size = 0;
        if (pipe == nullptr || fscanf(pipe, "%llu", &size) != 1 || pclose(pipe) != 0) {
            fprintf(stderr, "gzip failed\n");
            exit(1);
        }
        *packed = size;
        speed = std::max(speed, megabytesPerSecond(bytes, childrenCpu() - start));
    }
    return speed;
}

std::string figure(const Decoded& d) {
    if (!d.ran) {
        return "-";
    }
    char text[32];
    snprintf(text, sizeof(text), "%.1f%s", d.speed, d.same ? "" : "*");
    return text;
}

std::string ratio(double a, const Decoded& b) {
    if (!b.ran || b.speed == 0) {
        return "-";
    }
    char text[32];
    snprintf(text, sizeof(text), "%.2fx", a / b.speed);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    fs::path work = argc > 1 ? argv[1] : "/tmp";
    if (argc > 2) {
        rounds = std::max(1, atoi(argv[2]));
    }
    struct Set {
        const char* name;
        Bytes data;
    } sets[] = {
        {"dlls", dllData()},
        {"text", textData()},
        {"4037", periodData()},
    };
    std::string load = "?";
    std::ifstream loadavg("/proc/loadavg");
    std::getline(loadavg, load);
    printf("best of %d runs; MB/s = 10^6 bytes of unpacked data per CPU second; load at start: %s\n",
           rounds, load.c_str());
    printf("decoders on each level's stream; * = output differs from the input (window start)\n");
    printf("decode: one write call per byte (the engine's); blocks: lzhufDecodeBlocks (the tool's)\n");
    printf("%-5s %-8s %7s %8s %8s %8s %8s %8s %7s %7s %7s %7s\n", "data", "level", "ratio", "encode",
           "decode", "blocks", "lhasa", "jLHA", "dec/lh", "dec/jl", "blk/lh", "blk/jl");
    const struct {
        LzhufLevel level;
        const char* name;
    } levels[] = {{LZHUF_LEVEL_REF, "ref"}, {LZHUF_LEVEL_FAST, "fast"}, {LZHUF_LEVEL_BEST, "best"}};
    for (Set& set : sets) {
        fs::path dataFile = work / (std::string("lzhuf_bench_") + set.name + ".bin");
        writeFile(dataFile, set.data);
        for (const auto& level : levels) {
            Row row;
            row.level = level.name;
            Bytes packed = encodeAt(level.level, set.data, &row.encode);
            row.packed = packed.size();
            fs::path packedFile = work / (std::string("lzhuf_bench_") + set.name + "." + level.name + ".lzh");
            writeFile(packedFile, packed);
            row.ours = decodeOurs(lzhufDecode, packed, set.data);
            row.blocks = decodeOurs(lzhufDecodeBlocks, packed, set.data);
            row.lhasa = decodeLhasa(packed, set.data);
            row.jlha = decodeJlha(packedFile, dataFile);
            fs::remove(packedFile);
            printf("%-5s %-8s %6.2f%% %8.1f %8.1f %8.1f %8s %8s %7s %7s %7s %7s\n", set.name, row.level,
                   100.0 * row.packed / set.data.size(), row.encode, row.ours.speed, row.blocks.speed,
                   figure(row.lhasa).c_str(), figure(row.jlha).c_str(),
                   ratio(row.ours.speed, row.lhasa).c_str(), ratio(row.ours.speed, row.jlha).c_str(),
                   ratio(row.blocks.speed, row.lhasa).c_str(), ratio(row.blocks.speed, row.jlha).c_str());
            fflush(stdout);
        }
        size_t gzipped = 0;
        double gzip = gzipSpeed(dataFile, set.data.size(), &gzipped);
        printf("%-5s %-8s %6.2f%% %8.1f\n", set.name, "gzip -6", 100.0 * gzipped / set.data.size(), gzip);
        fs::remove(dataFile);
    }
    return 0;
}
