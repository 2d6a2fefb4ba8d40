// Holds the x86 branch filter to liblzma's on real executables: every file of the given
// directories (by default Wine's i386 and x86_64 Windows libraries and programs), whole, from
// stream offset 0, both ways round:
//   - liblzma's encoding of the file, decoded by our filter in the solid stream reader's
//     64 KiB pieces, must give the file back;
//   - the file itself, decoded by our filter and by liblzma's, must give the same bytes;
//   - the file encoded by our filter, as the tool runs it, must be liblzma's encoding.
// Prints the count of files and bytes and every file that differs; exit status 1 if any does.
//   x86_filter_compare [directory...]
#include <dirent.h>
#include <lzma.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codec/x86_branch_filter.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const uint32_t PIECE = 1u << 16;

bool readFile(const std::string& path, Bytes* bytes)
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

bool runRaw(bool encode, lzma_filter* filters, const Bytes& input, Bytes* output, size_t capacity)
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

Bytes storedChunks(const Bytes& data)
{
    Bytes stream;
    for (size_t at = 0; at < data.size(); at += PIECE) {
        size_t chunk = std::min<size_t>(data.size() - at, PIECE);
        stream.push_back(at == 0 ? 1 : 2);
        stream.push_back((uint8_t)((chunk - 1) >> 8));
        stream.push_back((uint8_t)(chunk - 1));
        stream.insert(stream.end(), data.begin() + at, data.begin() + at + chunk);
    }
    stream.push_back(0);
    return stream;
}

// Our filter over `data` in place, 64 KiB at a time, as the solid stream reader and the tool
// run it.
void ownRun(uint32_t (*run)(X86BranchFilter*, uint8_t*, uint32_t), Bytes* data)
{
    X86BranchFilter filter;
    x86FilterBegin(&filter, 0);
    size_t done = 0;
    while (done < data->size()) {
        uint32_t size = (uint32_t)std::min<size_t>(data->size() - done, PIECE);
        uint32_t final = run(&filter, data->data() + done, size);
        done += size < PIECE ? size : final;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> directories;
    for (int i = 1; i < argc; ++i) directories.push_back(argv[i]);
    if (directories.empty()) {
        directories = {"/usr/lib/i386-linux-gnu/wine/i386-windows", "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"};
    }
    lzma_options_lzma fast;
    lzma_lzma_preset(&fast, 0);
    lzma_options_lzma small;
    lzma_lzma_preset(&small, 0);
    small.dict_size = 4096;
    lzma_filter x86Encode[3] = {{LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA2, &fast}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_filter lzma2Only[2] = {{LZMA_FILTER_LZMA2, &fast}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_filter x86Decode[3] = {{LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA2, &small}, {LZMA_VLI_UNKNOWN, nullptr}};
    size_t files = 0, bytes = 0, converted = 0, differing = 0;
    for (const std::string& directory : directories) {
        std::vector<std::string> names;
        if (DIR* dir = opendir(directory.c_str())) {
            while (dirent* entry = readdir(dir)) names.push_back(entry->d_name);
            closedir(dir);
        }
        std::sort(names.begin(), names.end());
        size_t before = files;
        for (const std::string& name : names) {
            std::string path = directory + "/" + name;
            struct stat info;
            Bytes plain;
            if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || !readFile(path, &plain)) continue;
            Bytes packed, encoded, theirs;
            size_t room = plain.size() + plain.size() / 2 + 65536;
            if (!runRaw(true, x86Encode, plain, &packed, room) || !runRaw(false, lzma2Only, packed, &encoded, room) ||
                encoded.size() != plain.size() || !runRaw(false, x86Decode, storedChunks(plain), &theirs, room)) {
                printf("liblzma failed on %s\n", path.c_str());
                return 1;
            }
            for (size_t i = 0; i < plain.size(); ++i) converted += encoded[i] != plain[i];
            Bytes ours = encoded;
            ownRun(x86FilterDecode, &ours);
            bool same = ours == plain;
            ours = plain;
            ownRun(x86FilterDecode, &ours);
            same = same && ours == theirs;
            ours = plain;
            ownRun(x86FilterEncode, &ours);
            same = same && ours == encoded;
            if (!same) {
                printf("differs: %s\n", path.c_str());
                ++differing;
            }
            ++files;
            bytes += plain.size();
        }
        printf("%s: %zu files\n", directory.c_str(), files - before);
    }
    printf("%zu files, %zu bytes, %zu bytes changed by the encoder; %zu differ\n", files, bytes, converted, differing);
    return differing == 0 ? 0 : 1;
}
