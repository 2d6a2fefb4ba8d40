// `runpack list` reading the version resource of a fuzzed engine. Either the reader refuses
// it with a message, or what it read, written out again, reads back the same: the writer
// makes what the reader takes, whatever the strings.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "image_edits.h"
#include "runpack/image/version_resource.h"

namespace {

std::vector<std::vector<uint8_t>> makeTemplates() {
    VersionInfo info;
    info.fileVersion.parts[0] = 1;
    info.productVersion.parts[3] = 7;
    info.tables.push_back({u"040904B0", {{u"CompanyName", u"runpack"}, {u"FileVersion", u"1.0.0.0"}, {u"Comments", u""}}});
    info.tables.push_back({u"040504E2", {{u"ProductName", u"Bal\u00edk"}}});
    info.translations = {0x04B00409, 0x04E20405};
    std::vector<uint8_t> full, bare;
    std::string error;
    writeVersionResource(info, &full, &error);
    writeVersionResource(VersionInfo(), &bare, &error);
    return {full, bare};
}

bool sameTables(const VersionInfo& a, const VersionInfo& b) {
    if (a.tables.size() != b.tables.size() || a.translations != b.translations) return false;
    for (size_t t = 0; t < a.tables.size(); ++t) {
        if (a.tables[t].name != b.tables[t].name || a.tables[t].strings.size() != b.tables[t].strings.size()) return false;
        for (size_t s = 0; s < a.tables[t].strings.size(); ++s) {
            if (a.tables[t].strings[s].key != b.tables[t].strings[s].key ||
                a.tables[t].strings[s].value != b.tables[t].strings[s].value)
                return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<std::vector<uint8_t>> templates = makeTemplates();
    const std::vector<uint8_t> resource = imageFromInput(data, size, templates);

    VersionInfo info;
    std::string error;
    if (!readVersionResource(resource, &info, &error)) {
        if (error.empty()) abort();
        return 0;
    }
    size_t text = 0;
    for (const VersionStringTable& t : info.tables) {
        text += t.name.size();
        for (const VersionString& s : t.strings) text += s.key.size() + s.value.size();
    }
    if (2 * text > resource.size() || 4 * info.translations.size() > resource.size()) abort();

    std::vector<uint8_t> written;
    if (!writeVersionResource(info, &written, &error)) {
        if (error.empty()) abort();
        return 0;
    }
    VersionInfo again;
    if (!readVersionResource(written, &again, &error) || !again.hasFixed || !sameTables(info, again)) abort();
    if (info.hasFixed && !(again.fileVersion == info.fileVersion && again.productVersion == info.productVersion)) abort();
    return 0;
}
