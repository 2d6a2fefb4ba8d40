#include "runpack/commands/lzhuf_command.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/lzhuf_decoder.h"
#include "runpack/package/package_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

// What the bit reader reports when the stream holds fewer bits than the count needs.
const int INPUT_ENDED = -1;

struct Source {
    const Bytes* data;
    size_t position;
};

int32_t readSource(uint8_t* destination, int32_t capacity, void* state) {
    Source* source = static_cast<Source*>(state);
    if (destination == nullptr || capacity < 1) {
        return STREAM_ERR_STATE;
    }
    if (source->position >= source->data->size()) {
        return 0;
    }
    *destination = (*source->data)[source->position++];
    return 1;
}

int32_t writeSink(const uint8_t* source, int32_t count, void* state) {
    Bytes* sink = static_cast<Bytes*>(state);
    if (source != nullptr) {
        sink->insert(sink->end(), source, source + count);
    }
    return count;
}

bool readFile(const char* path, Bytes& data) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    data.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

bool writeFile(const char* path, const Bytes& data, size_t size) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        return false;
    }
    file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(size));
    file.close();
    return !file.fail();
}

// A decimal count from 0 to INT32_MAX, the range of the decoder's count.
bool parseSize(const char* text, int32_t& size) {
    if (*text < '0' || *text > '9') {
        return false;
    }
    char* end;
    unsigned long long value = strtoull(text, &end, 10);
    if (*end != '\0' || value > INT32_MAX) {
        return false;
    }
    size = static_cast<int32_t>(value);
    return true;
}

int encodeCommand(LzhufLevel level, const char* in, const char* outPath, std::ostream& out,
                  std::ostream& err) {
    Bytes input;
    if (!readFile(in, input)) {
        err << "runpack lzhuf: cannot read " << in << "\n";
        return 1;
    }
    if (input.size() > static_cast<size_t>(INT32_MAX)) {
        err << "runpack lzhuf: " << in << " is too large\n";
        return 1;
    }
    Bytes packed;
    bool gaveUp = false;
    std::string error;
    std::unique_ptr<LzhufContext> context = newCodecContext();
    if (!lzhufCompress(context.get(), level, input.data(), input.size(), 0, &packed, &gaveUp, &error)) {
        err << "runpack lzhuf: " << error << "\n";
        return 1;
    }
    if (!writeFile(outPath, packed, packed.size())) {
        err << "runpack lzhuf: cannot write " << outPath << "\n";
        return 1;
    }
    out << input.size() << " bytes in, " << packed.size() << " bytes out\n";
    return 0;
}

int decodeCommand(const char* in, const char* outPath, const char* sizeText, std::ostream& out,
                  std::ostream& err) {
    int32_t size;
    if (!parseSize(sizeText, size)) {
        err << "runpack lzhuf: SIZE must be a byte count, not " << sizeText << "\n";
        return 2;
    }
    Bytes packed;
    if (!readFile(in, packed)) {
        err << "runpack lzhuf: cannot read " << in << "\n";
        return 1;
    }
    Source source = {&packed, 0};
    Bytes output;
    int result = lzhufDecodeBlocks(nullptr, size, readSource, &source, writeSink, &output);
    if (result == INPUT_ENDED) {
        err << "runpack lzhuf: input ends early\n";
        return 1;
    }
    if (result < 0) {
        err << "runpack lzhuf: decoding failed (" << result << ")\n";
        return 1;
    }
    if (output.size() > static_cast<size_t>(size)) {
        err << "runpack lzhuf: stream decodes past " << size << " by "
            << output.size() - static_cast<size_t>(size) << " bytes\n";
        return 1;
    }
    if (!writeFile(outPath, output, output.size())) {
        err << "runpack lzhuf: cannot write " << outPath << "\n";
        return 1;
    }
    out << packed.size() << " bytes in, " << output.size() << " bytes out\n";
    return 0;
}

}  // namespace

const char* lzhufCommandUsage() {
    return "runpack lzhuf encode [--level fast|ref|best] [--] IN OUT\n"
           "                                   compress IN into the raw stream OUT (default best)\n"
           "runpack lzhuf decode [--] IN OUT SIZE\n"
           "                                   decode the raw stream IN into SIZE bytes\n";
}

// The words after encode or decode are read by position; a "--" in front of them only says
// that the next word is IN, even one that begins with "-".
int runLzhufCommand(int argc, char** args, std::ostream& out, std::ostream& err) {
    const bool encode = argc >= 1 && strcmp(args[0], "encode") == 0;
    const bool decode = argc >= 1 && strcmp(args[0], "decode") == 0;
    int next = 1;
    LzhufLevel level = LZHUF_LEVEL_BEST;
    bool usable = encode || decode;
    if (encode && argc >= 3 && strcmp(args[1], "--level") == 0) {
        usable = parseLzhufLevel(args[2], &level);
        next = 3;
    }
    if (next < argc && strcmp(args[next], "--") == 0) ++next;
    if (usable && encode && argc - next == 2) return encodeCommand(level, args[next], args[next + 1], out, err);
    if (usable && decode && argc - next == 3) return decodeCommand(args[next], args[next + 1], args[next + 2], out, err);
    err << "usage:\n" << lzhufCommandUsage();
    return 2;
}
