// `runpack build --engine` on a fuzzed engine: the package and its digest are written into
// the image's resources. Either that fails with a message, or the result is an image of
// bounded size that the reader takes back with the package, the digest and every other
// resource intact, and that comes out the same when written again.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "image_edits.h"
#include "runpack/image/pe_resources.h"
#include "support/pe_test_image.h"

namespace {

// Engines of the shapes the writer handles: PE32 and PE32+, with resources or none, with a
// relocation section behind them, with appended symbols and a certificate.
std::vector<std::vector<uint8_t>> makeTemplates() {
    std::vector<std::vector<uint8_t>> templates;
    for (int variant = 0; variant < 4; ++variant) {
        TestImageOptions options;
        options.pe32Plus = variant % 2 == 1;
        options.resources = sampleTestResources();
        options.withResources = variant != 2;
        options.withReloc = variant >= 1;
        if (variant == 3) {
            options.symbols = {'S', 'Y', 'M', 0, 0, 0, 0, 1};
            options.certificate = {'C', 'E', 'R', 'T', 0, 2, 0, 0};
        }
        templates.push_back(makeTestImage(options));
    }
    return templates;
}

// The writer replaces these in any language and whatever the case of the type's name.
bool isRunInfo(const PeResource& r) {
    std::u16string type = r.type.name;
    for (char16_t& c : type)
        if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
    return r.type.isName && type == RUNINFO_TYPE_NAME && !r.name.isName &&
           (r.name.id == ID_PACKAGE || r.name.id == ID_PACKAGE_DIGEST);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<std::vector<uint8_t>> templates = makeTemplates();
    const std::vector<uint8_t> engine = imageFromInput(data, size, templates);
    const std::vector<uint8_t> package(333, 0x5A), digest(20, 0xD1);

    std::vector<uint8_t> output;
    std::string error;
    if (!embedRunInfo(engine, &package, &digest, &output, &error)) {
        if (error.empty()) abort();
        return 0;
    }
    // The output holds the engine's bytes (at most twice, when names and data are shared in
    // its tree), the package and alignment padding: nothing a declared size could inflate.
    if (output.size() > 3 * engine.size() + package.size() + 4 * 0x10000) abort();

    std::vector<uint8_t> gotPackage, gotDigest;
    bool hasPackage = false, hasDigest = false;
    if (!readRunInfo(output, &gotPackage, &hasPackage, &gotDigest, &hasDigest, &error)) abort();
    if (!hasPackage || !hasDigest || gotPackage != package || gotDigest != digest) abort();

    // Every other resource of the engine survives, in the loader's order.
    std::vector<PeResource> before, after;
    if (!readPeResources(engine, &before, &error) || !readPeResources(output, &after, &error)) abort();
    size_t kept = 0;
    for (const PeResource& r : before) kept += isRunInfo(r) ? 0 : 1;
    if (after.size() != kept + 2) abort();

    // Written again with the same contents, the image does not change.
    std::vector<uint8_t> again;
    if (!embedRunInfo(output, &package, &digest, &again, &error) || again != output) abort();
    return 0;
}
