#include "runpack/package/run_options_record.h"

#include "package/run_options.h"

namespace {

void putLittleEndian32(std::vector<uint8_t>* bytes, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes->push_back(static_cast<uint8_t>(value >> shift));
}

}  // namespace

std::vector<uint8_t> encodeRunOptions(uint32_t flags) {
    std::vector<uint8_t> record;
    putLittleEndian32(&record, RUN_OPTIONS_RECORD_SIZE);
    putLittleEndian32(&record, flags & RUN_KNOWN_FLAGS);
    return record;
}

std::string describeRunOptions(uint32_t flags) {
    std::string text;
    auto add = [&](uint32_t flag, const char* name) {
        if ((flags & flag) == 0) return;
        if (!text.empty()) text += ", ";
        text += name;
    };
    add(RUN_FORWARD_ARGUMENTS, "forward-arguments");
    add(RUN_EXIT_CODE_COMMAND, "exit-code command");
    add(RUN_UNATTENDED, "unattended");
    add(RUN_UTF8_NAMES, "utf8 names");
    return text.empty() ? "none" : text;
}
