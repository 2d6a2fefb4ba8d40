// `runpack build --execution-level` and `runpack list` on a fuzzed engine manifest. Either
// the scanner refuses the text with a message, or the level it finds lies inside the text,
// and setting a new level changes exactly those bytes and is found again.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "image_edits.h"
#include "runpack/image/manifest_level.h"

namespace {

std::vector<uint8_t> bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<std::vector<uint8_t>> makeTemplates() {
    return {bytes("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                  "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
                  "  <!-- requested level -->\n"
                  "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>\n"
                  "    <requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>\n"
                  "  </requestedPrivileges></security></trustInfo>\n"
                  "</assembly>\n"),
            bytes("<a:assembly><![CDATA[<x>]]><a:requestedExecutionLevel uiAccess='false' level='asInvoker'/></a:assembly>")};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<std::vector<uint8_t>> templates = makeTemplates();
    const std::vector<uint8_t> input = imageFromInput(data, size, templates);
    const std::string manifest(input.begin(), input.end());

    bool found = false;
    size_t start = 0, length = 0;
    std::string error, changed;
    if (!findExecutionLevel(manifest, &found, &start, &length, &error)) {
        if (error.empty() || setExecutionLevel(manifest, "asInvoker", &changed, &error)) abort();
        return 0;
    }
    if (!found) {
        if (setExecutionLevel(manifest, "asInvoker", &changed, &error)) abort();
        return 0;
    }
    if (start > manifest.size() || length > manifest.size() - start) abort();
    if (!setExecutionLevel(manifest, "highestAvailable", &changed, &error)) abort();
    std::string expected = manifest;
    expected.replace(start, length, "highestAvailable");
    if (changed != expected) abort();
    size_t start2 = 0, length2 = 0;
    if (!findExecutionLevel(changed, &found, &start2, &length2, &error) || !found ||
        changed.compare(start2, length2, "highestAvailable") != 0)
        abort();
    return 0;
}
