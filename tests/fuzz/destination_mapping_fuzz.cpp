// The destination of an entry, from the engine's rule to the place extract gives it below its
// target, and build's stricter checks against that rule. The input is a directory and a name
// separated by the first NUL (no NUL: a name alone). Aborts when:
// - extract places a destination the rule refuses, or a part that could leave the folder it
//   is created in, or a path that does not stay below the target once joined and normalised;
// - build's component checks accept an ASCII destination the rule refuses (for other text the
//   code-page bytes decide, and build checks those again), or one extract cannot place.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <string>

#include "extract/destination_rule.h"
#include "runpack/package/destination_rules.h"
#include "runpack/output/extract_placement.h"
#include "runpack/package/text_encoding.h"

namespace fs = std::filesystem;

namespace {

void checkPlacement(const std::string& destination) {
    const DestinationVerdict verdict = checkDestination(destination.data(), uint32_t(destination.size()));
    Placement placement;
    std::string error;
    if (!placeDestination(destination, &placement, &error)) {
        if (error.empty()) abort();
        return;
    }
    if (verdict != DESTINATION_OK || placement.parts.empty()) abort();
    const fs::path target = "/target";
    for (uint32_t codePage : {CODE_PAGE_CENTRAL_EUROPEAN, CODE_PAGE_WESTERN}) {
        fs::path path = target;
        for (const std::string& part : placement.parts) {
            const std::string decoded = decodeAnsi(part, codePage);
            if (!isPlainPart(part) || !isPlainPart(decoded)) abort();
            path /= fs::u8path(decoded);
        }
        const fs::path relative = path.lexically_normal().lexically_relative(target);
        if (relative.empty() || relative.is_absolute() || *relative.begin() == "..") abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const bool hasDirectory = split != std::string::npos;
    const std::string directory = hasDirectory ? input.substr(0, split) : std::string();
    std::string name = hasDirectory ? input.substr(split + 1) : input;
    name = name.substr(0, name.find('\0'));  // package texts end at their first NUL

    // As the engine composes it.
    checkPlacement(directory.empty() ? name : directory + "\\" + name);

    // As build makes it, from text given on its command line or in a manifest.
    std::string normalizedDirectory, normalizedName, error;
    DestinationKind kind;
    if (!normalizeDirectory(directory, true, &normalizedDirectory, &kind, &error) ||
        !normalizeName(name, &normalizedName, &error))
        return 0;
    const std::string composed = normalizedDirectory.empty() ? normalizedName : normalizedDirectory + "\\" + normalizedName;
    if (isAscii(composed)) {
        if (checkDestination(composed.data(), uint32_t(composed.size())) != DESTINATION_OK) abort();
        Placement placement;
        if (!placeDestination(composed, &placement, &error)) abort();
    }
    return 0;
}
