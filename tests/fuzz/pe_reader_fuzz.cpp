// What list, verify and extract parse from an executable: the PE headers and resource tree,
// the "RUNINFO" package, every entry's destination (the engine's rule and the placement
// below extract's target) and every entry's content, unpacked within its bound. Aborts when
// a result breaks what the tool relies on.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "extract/destination_rule.h"
#include "package/method_ids.h"
#include "image_edits.h"
#include "package/package_reader.h"
#include "runpack/output/entry_unpacking.h"
#include "runpack/output/extract_placement.h"
#include "runpack/package/package_writer.h"
#include "runpack/image/pe_resources.h"
#include "support/package_builder.h"
#include "support/pe_test_image.h"

namespace {

// Executables as build makes them: PE32 and PE32+, a stored and an LZHUF entry, a
// directory, an absolute destination, a relocation section and appended symbols.
std::vector<std::vector<uint8_t>> makeTemplates() {
    const std::string text = "runpack extracts every file and runs the command; runpack extracts every file.";
    std::vector<uint8_t> content(text.begin(), text.end());
    std::unique_ptr<LzhufContext> context = newCodecContext();
    std::vector<uint8_t> packed;
    bool gaveUp = false;
    std::string error;
    lzhufCompress(context.get(), LZHUF_LEVEL_REF, content.data(), content.size(), 0, &packed, &gaveUp, &error);
    TestPackage package;
    package.command = std::string("cmd.exe /c setup.bat");
    TestEntry stored;
    stored.name = std::string("setup.bat");
    stored.content = {'@', 'e', 'c', 'h', 'o'};
    TestEntry compressed;
    compressed.name = std::string("readme.txt");
    compressed.directory = std::string("docs\\en");
    compressed.content = content;
    compressed.method = METHOD_LZHUF;
    compressed.packed = packed;
    TestEntry absolute;
    absolute.name = std::string("tool.dll");
    absolute.directory = std::string("C:\\Tools");
    absolute.content = {1, 2, 3};
    package.entries = {stored, compressed, absolute};
    const std::vector<uint8_t> bytes = buildPackage(package);
    const std::vector<uint8_t> digest = sha1Digest(bytes);

    std::vector<std::vector<uint8_t>> templates;
    for (int variant = 0; variant < 3; ++variant) {
        TestImageOptions options;
        options.pe32Plus = variant == 1;
        options.resources = sampleTestResources();
        options.withReloc = variant == 2;
        if (variant == 2) options.symbols = {'S', 'Y', 'M', 0, 0, 0, 0, 1};
        std::vector<uint8_t> image;
        if (embedRunInfo(makeTestImage(options), &bytes, &digest, &image, &error)) templates.push_back(image);
    }
    return templates;
}

void inspectEntries(const std::vector<uint8_t>& package) {
    const uint32_t size = static_cast<uint32_t>(package.size());
    PackageHeader header{};
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    if (!validatePackage(package.data(), size, &header, nullptr)) return;
    uint32_t offset = 0;
    readHeader(package.data(), size, &offset, &header);
    std::unique_ptr<LzhufContext> context = newCodecContext();
    for (uint32_t i = 0; i < header.fileCount; ++i) {
        FileEntry entry{};
        entry.recordSize = FILE_ENTRY_RECORD_SIZE;
        if (!readEntry(package.data(), size, offset, &offset, &entry)) abort();  // validated above
        std::string destination = entry.name ? entry.name : "";
        if (entry.directory && entry.directory[0]) destination = std::string(entry.directory) + "\\" + destination;
        const DestinationVerdict verdict = checkDestination(destination.data(), uint32_t(destination.size()));
        Placement placement;
        std::string error;
        const bool placed = placeDestination(destination, &placement, &error);
        if (placed && verdict != DESTINATION_OK) abort();
        for (const std::string& part : placement.parts) {
            if (!isPlainPart(part)) abort();
        }
        if (entry.method == METHOD_LZHUF && entry.unpackedSize > lzhufMaxUnpackedSize(entry.packedSize)) {
            // Must be refused unread; decoding it would be the unbounded work the bound prevents.
            if (unpackEntry(context.get(), entry, nullptr, &error)) abort();
            continue;
        }
        unpackEntry(context.get(), entry, nullptr, &error);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<std::vector<uint8_t>> templates = makeTemplates();
    const std::vector<uint8_t> image = imageFromInput(data, size, templates);

    std::vector<PeResource> resources;
    std::string error;
    if (readPeResources(image, &resources, &error)) {
        // What the reader gathers never exceeds the file, however the tree shares its parts.
        size_t bytes = 0;
        for (const PeResource& r : resources) bytes += r.data.size();
        if (bytes > image.size() || resources.size() > image.size() / 8 + 1) abort();
    } else if (error.empty()) {
        abort();
    }
    PeFacts facts;
    readPeFacts(image, &facts, &error);

    std::vector<uint8_t> package, digest;
    bool hasPackage = false, hasDigest = false;
    if (!readRunInfo(image, &package, &hasPackage, &digest, &hasDigest, &error)) return 0;
    if (hasPackage && package.size() <= MAX_PACKAGE_SIZE) inspectEntries(package);
    return 0;
}
