// `runpack build --set-icon` on a fuzzed .ico file. Either it is refused with one line, or
// its images lie inside the file without overlapping (never more bytes than the file) and
// agree with their headers, and they replace the engine's icon group without leaving an
// image that no group names, and without touching an image another group still names.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "image_edits.h"
#include "runpack/image/executable_face.h"
#include "runpack/image/icon_file.h"
#include "support/icon_builder.h"

namespace {

// Small icon files of the kinds people give: bitmaps of several depths, PNG images.
std::vector<std::vector<uint8_t>> makeTemplates() {
    TestIconImage paletted = bitmapIconImage(16, 0x80808080);
    paletted.bitCount = 0;
    paletted.data[14] = 4;
    paletted.data.resize(40 + 16 * 4 + 8 * 16 + 4 * 16);
    return {makeIconFile({bitmapIconImage(16, 0x11223344), pngIconImage(32, 0x55667788)}),
            makeIconFile({paletted, bitmapIconImage(24, 0x01020304)}), makeIconFile({pngIconImage(48, 0xAABBCCDD)})};
}

PeResource resource(uint16_t type, uint16_t name, std::vector<uint8_t> data) {
    PeResource r;
    r.type = peResourceId(type);
    r.name = peResourceId(name);
    r.data = std::move(data);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<std::vector<uint8_t>> templates = makeTemplates();
    const std::vector<uint8_t> file = imageFromInput(data, size, templates);

    std::vector<IconImage> images;
    std::string error;
    if (!parseIconFile(file, &images, &error)) {
        if (error.empty() || error.find('\n') != std::string::npos || !images.empty()) abort();
        return 0;
    }
    if (images.empty()) abort();
    size_t total = 0;
    for (const IconImage& image : images) {
        total += image.data.size();
        if (image.png != isPngImage(image.data)) abort();
    }
    if (total > file.size()) abort();

    // An engine whose group 101 names images 1 and 2, and whose group 7 names 2 and 9.
    std::vector<IconImage> two(2, images[0]);
    std::vector<PeResource> resources = {resource(RT_ICON_TYPE, 1, {1}), resource(RT_ICON_TYPE, 2, {2}),
                                         resource(RT_ICON_TYPE, 9, {9}),
                                         resource(RT_GROUP_ICON_TYPE, 7, makeIconGroup(two, {2, 9})),
                                         resource(RT_GROUP_ICON_TYPE, ENGINE_ICON_GROUP, makeIconGroup(two, {1, 2}))};
    FaceOptions face;
    face.setIcon = true;
    face.icon = images;
    if (!applyFace(&resources, face, &error)) abort();
    std::map<uint16_t, const PeResource*> icons;
    std::set<uint16_t> named;
    const PeResource* group = nullptr;
    for (const PeResource& r : resources) {
        if (r.type.id == RT_ICON_TYPE && !icons.insert({r.name.id, &r}).second) abort();  // one image per id
        if (r.type.id == RT_GROUP_ICON_TYPE && r.name.id == ENGINE_ICON_GROUP) group = &r;
        if (r.type.id == RT_GROUP_ICON_TYPE) {
            std::vector<IconGroupEntry> entries;
            if (!parseIconGroup(r.data, &entries, &error)) abort();
            for (const IconGroupEntry& e : entries) named.insert(e.id);
        }
    }
    if (!group || icons.count(2) != 1 || icons[2]->data != std::vector<uint8_t>{2} || icons.count(9) != 1) abort();
    std::vector<IconGroupEntry> entries;
    if (!parseIconGroup(group->data, &entries, &error) || entries.size() != images.size()) abort();
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto image = icons.find(entries[i].id);
        if (image == icons.end() || image->second->data != images[i].data || entries[i].bytes != images[i].data.size() ||
            entries[i].width() != images[i].width())
            abort();
    }
    for (const auto& icon : icons)
        if (!named.count(icon.first)) abort();  // orphaned
    return 0;
}
