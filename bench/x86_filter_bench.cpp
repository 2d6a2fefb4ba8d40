// The x86 branch filter's decoding speed on real code: whole DLLs in name order up to 64 MiB
// (by default Wine's i386 DLLs), filtered by liblzma's encoder, then decoded again
//   - by our filter alone, in the solid stream reader's 64 KiB pieces;
//   - by liblzma's filter alone (its input in stored LZMA2 chunks), for comparison;
//   - by our solid stream reader, LZMA2 and filter together, from the stream liblzma made at
//     level 0 for the first step.
// Every decode is checked against the input. CPU time of the thread, best of the rounds.
//   x86_filter_bench [directory]
#include <dirent.h>
#include <lzma.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codec/solid_stream.h"
#include "codec/x86_branch_filter.h"

namespace {

const size_t DATA_LIMIT = 64u << 20;
const int ROUNDS = 5;

double threadSeconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

bool readFile(const std::string& path, std::vector<uint8_t>* bytes)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    bytes->clear();
    uint8_t block[1 << 16];
    size_t n;
    while ((n = fread(block, 1, sizeof(block), file)) > 0) bytes->insert(bytes->end(), block, block + n);
    fclose(file);
    return true;
}

std::vector<uint8_t> loadDlls(const std::string& directory, size_t* files)
{
    std::vector<std::string> names;
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return {};
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dll") == 0) names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    std::vector<uint8_t> all, one;
    *files = 0;
    for (const std::string& name : names) {
        if (!readFile(directory + "/" + name, &one) || all.size() + one.size() > DATA_LIMIT) continue;
        all.insert(all.end(), one.begin(), one.end());
        ++*files;
    }
    return all;
}

// Runs `filters` over `input` in one go; false when liblzma refuses.
bool runRaw(bool encode, lzma_filter* filters, const std::vector<uint8_t>& input, std::vector<uint8_t>* output,
            size_t capacity)
{
    lzma_stream strm = LZMA_STREAM_INIT;
    if ((encode ? lzma_raw_encoder(&strm, filters) : lzma_raw_decoder(&strm, filters)) != LZMA_OK) return false;
    output->resize(capacity);
    strm.next_in = input.data();
    strm.avail_in = input.size();
    strm.next_out = output->data();
    strm.avail_out = output->size();
    lzma_ret ret = lzma_code(&strm, LZMA_FINISH);
    output->resize(output->size() - strm.avail_out);
    lzma_end(&strm);
    return ret == LZMA_STREAM_END;
}

std::vector<uint8_t> storedChunks(const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> stream;
    for (size_t at = 0; at < data.size(); at += 1u << 16) {
        size_t chunk = std::min<size_t>(data.size() - at, 1u << 16);
        stream.push_back(at == 0 ? 1 : 2);
        stream.push_back((uint8_t)((chunk - 1) >> 8));
        stream.push_back((uint8_t)(chunk - 1));
        stream.insert(stream.end(), data.begin() + at, data.begin() + at + chunk);
    }
    stream.push_back(0);
    return stream;
}

// Our filter as the solid stream reader runs it: 64 KiB pieces behind what waits.
void ownFilter(std::vector<uint8_t>* data)
{
    X86BranchFilter filter;
    x86FilterBegin(&filter, 0);
    size_t done = 0;
    while (done < data->size()) {
        uint32_t size = (uint32_t)std::min<size_t>(data->size() - done, SOLID_STAGING_SIZE);
        uint32_t final = x86FilterDecode(&filter, data->data() + done, size);
        done += size < SOLID_STAGING_SIZE ? size : final;
    }
}

void report(const char* what, double seconds, size_t bytes)
{
    printf("  %-44s %8.1f ms  %7.0f MB/s\n", what, seconds * 1e3, bytes / seconds / 1e6);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string directory = argc > 1 ? argv[1] : "/usr/lib/wine/i386-windows";
    size_t files = 0;
    std::vector<uint8_t> plain = loadDlls(directory, &files);
    if (plain.empty()) {
        fprintf(stderr, "no DLLs in %s\n", directory.c_str());
        return 1;
    }
    printf("%zu files, %zu bytes from %s\n", files, plain.size(), directory.c_str());

    lzma_options_lzma fast;
    lzma_lzma_preset(&fast, 0);
    lzma_filter x86Encode[3] = {{LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA2, &fast}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_filter lzma2Only[2] = {{LZMA_FILTER_LZMA2, &fast}, {LZMA_VLI_UNKNOWN, nullptr}};
    std::vector<uint8_t> packed, filtered;
    if (!runRaw(true, x86Encode, plain, &packed, plain.size() + plain.size() / 2 + 65536) ||
        !runRaw(false, lzma2Only, packed, &filtered, plain.size() + 1)) {
        fprintf(stderr, "liblzma failed\n");
        return 1;
    }
    std::vector<uint8_t> stored = storedChunks(filtered);
    lzma_options_lzma small;
    lzma_lzma_preset(&small, 0);
    small.dict_size = 4096;
    lzma_filter x86Decode[3] = {{LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA2, &small}, {LZMA_VLI_UNKNOWN, nullptr}};

    // The solid stream: the x86-filtered LZMA2 stream made above behind a header.
    std::vector<uint8_t> solid(SOLID_HEADER_SIZE);
    uint32_t fields[4] = {1, (uint32_t)plain.size(), fast.dict_size, SOLID_FILTER_X86};
    for (uint32_t f = 0; f < SOLID_HEADER_SIZE; ++f) solid[f] = (uint8_t)(fields[f / 4] >> (8 * (f % 4)));
    solid.insert(solid.end(), packed.begin(), packed.end());
    printf("solid stream %zu bytes (liblzma level 0, x86 filter)\n", solid.size());

    double ownBest = 1e9, referenceBest = 1e9, solidBest = 1e9;
    std::vector<uint8_t> work, decoded;
    for (int round = 0; round < ROUNDS; ++round) {
        work = filtered;
        double t = threadSeconds();
        ownFilter(&work);
        ownBest = std::min(ownBest, threadSeconds() - t);
        if (work != plain) {
            fprintf(stderr, "our filter differs\n");
            return 1;
        }
        t = threadSeconds();
        bool ok = runRaw(false, x86Decode, stored, &decoded, plain.size() + 1);
        referenceBest = std::min(referenceBest, threadSeconds() - t);
        if (!ok || decoded != plain) {
            fprintf(stderr, "liblzma's filter differs\n");
            return 1;
        }
        static SolidStreamReader reader;
        t = threadSeconds();
        if (!solidStreamOpen(&reader, solid.data(), (uint32_t)solid.size())) return 1;
        size_t at = 0;
        bool same = true;
        for (;;) {
            const uint8_t* bytes = nullptr;
            int32_t n = solidStreamNext(&reader, &bytes, SOLID_STAGING_SIZE);
            if (n <= 0) {
                same = same && n == 0;
                break;
            }
            same = same && at + n <= plain.size() && memcmp(bytes, plain.data() + at, n) == 0;
            at += n;
        }
        same = same && at == plain.size() && solidStreamFinished(&reader);
        solidStreamClose(&reader);
        solidBest = std::min(solidBest, threadSeconds() - t);
        if (!same) {
            fprintf(stderr, "the solid stream reader differs\n");
            return 1;
        }
    }
    report("x86 filter, ours (64 KiB pieces)", ownBest, plain.size());
    report("x86 filter, liblzma (stored LZMA2 chunks)", referenceBest, plain.size());
    report("solid stream reader, LZMA2 + x86 filter", solidBest, plain.size());
    return 0;
}
