// An icon group names its images by RT_ICON id, so replacing a group means replacing the
// images only it names and choosing ids for the new ones that no other image holds. The
// version resource and the manifest are single resources, rewritten whole.
#include "runpack/image/executable_face.h"

#include <algorithm>
#include <map>
#include <set>

#include "runpack/image/manifest_level.h"
#include "runpack/package/text_encoding.h"

const char16_t VERSION_BLOCK_NAME[] = u"040904B0";
const char16_t FILE_VERSION_KEY[] = u"FileVersion";
const char16_t PRODUCT_VERSION_KEY[] = u"ProductVersion";

namespace {

const uint16_t LANGUAGE_NEUTRAL = 0;
const uint32_t LARGEST_RESOURCE_ID = 0xFFFF;

bool fail(std::string* error, const std::string& message) {
    *error = message;
    return false;
}

bool isIdOf(const PeResource& r, uint16_t type) { return !r.type.isName && r.type.id == type; }
bool isNumbered(const PeResource& r, uint16_t type, uint16_t name) {
    return isIdOf(r, type) && !r.name.isName && r.name.id == name;
}

std::u16string foldAsciiCase(const std::u16string& text) {
    std::u16string folded = text;
    for (char16_t& c : folded)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return folded;
}

bool replaceIcon(std::vector<PeResource>* resources, const std::vector<IconImage>& images, std::string* error) {
    // The images of the old group, and those other groups name (which stay).
    std::set<uint16_t> oldImages, otherImages;
    bool hadGroup = false;
    uint16_t language = LANGUAGE_NEUTRAL;
    for (const PeResource& r : *resources) {
        if (!isIdOf(r, RT_GROUP_ICON_TYPE)) continue;
        std::vector<IconGroupEntry> entries;
        std::string message;
        const bool ours = !r.name.isName && r.name.id == ENGINE_ICON_GROUP;
        if (!parseIconGroup(r.data, &entries, &message)) {
            if (ours) return fail(error, "the engine's icon group 101 is malformed: " + message);
            continue;  // names nothing that could be told apart
        }
        if (ours && !hadGroup) language = r.language;
        hadGroup = hadGroup || ours;
        for (const IconGroupEntry& e : entries) (ours ? oldImages : otherImages).insert(e.id);
    }
    std::vector<PeResource> kept;
    std::set<uint16_t> used;
    for (PeResource& r : *resources) {
        if (isNumbered(r, RT_GROUP_ICON_TYPE, ENGINE_ICON_GROUP)) continue;
        if (isIdOf(r, RT_ICON_TYPE) && !r.name.isName) {
            if (oldImages.count(r.name.id) && !otherImages.count(r.name.id)) continue;
            used.insert(r.name.id);
        }
        kept.push_back(std::move(r));
    }
    std::vector<uint16_t> ids;
    for (uint32_t id = 1; ids.size() < images.size(); ++id) {
        if (id > LARGEST_RESOURCE_ID) return fail(error, "no free icon image ids left in the engine for " +
                                                             std::to_string(images.size()) + " images");
        if (!used.count(static_cast<uint16_t>(id))) ids.push_back(static_cast<uint16_t>(id));
    }
    for (size_t i = 0; i < images.size(); ++i) {
        PeResource image;
        image.type = peResourceId(RT_ICON_TYPE);
        image.name = peResourceId(ids[i]);
        image.language = language;
        image.data = images[i].data;
        kept.push_back(std::move(image));
    }
    PeResource group;
    group.type = peResourceId(RT_GROUP_ICON_TYPE);
    group.name = peResourceId(ENGINE_ICON_GROUP);
    group.language = language;
    group.data = makeIconGroup(images, ids);
    kept.push_back(std::move(group));
    *resources = std::move(kept);
    return true;
}

bool replaceVersion(std::vector<PeResource>* resources, const FaceOptions& options, std::string* error) {
    PeResource version;
    version.type = peResourceId(RT_VERSION_TYPE);
    version.name = peResourceId(VERSION_RESOURCE_ID);
    version.language = VERSION_LANGUAGE;
    if (!writeVersionResource(versionInfoFor(options), &version.data, error)) return false;
    resources->erase(std::remove_if(resources->begin(), resources->end(),
                                    [](const PeResource& r) { return isIdOf(r, RT_VERSION_TYPE); }),
                     resources->end());
    resources->push_back(std::move(version));
    return true;
}

bool replaceLevel(std::vector<PeResource>* resources, const std::string& level, std::string* error) {
    bool changed = false;
    for (PeResource& r : *resources) {
        if (!isNumbered(r, RT_MANIFEST_TYPE, APPLICATION_MANIFEST_ID)) continue;
        std::string text(r.data.begin(), r.data.end()), result;
        if (!setExecutionLevel(text, level, &result, error)) return fail(error, "the engine's manifest: " + *error);
        r.data.assign(result.begin(), result.end());
        changed = true;
    }
    if (!changed) return fail(error, "the engine has no application manifest (RT_MANIFEST 1) to set the execution level in");
    return true;
}

}  // namespace

bool addVersionString(FaceOptions* options, const std::string& key, const std::string& value, std::string* error) {
    std::u16string wideKey, wideValue;
    if (!utf8ToUtf16(key, &wideKey, error) || !utf8ToUtf16(value, &wideValue, error)) return false;
    if (wideKey.empty()) return fail(error, "a version string needs a name");
    for (char16_t c : wideKey)
        if (c < 0x20 || c == 0x7F) return fail(error, "version string name \"" + key + "\" holds a control character");
    if (wideValue.find(u'\0') != std::u16string::npos) return fail(error, "version string " + key + " holds a NUL character");
    const std::u16string folded = foldAsciiCase(wideKey);
    if (folded == foldAsciiCase(FILE_VERSION_KEY) || folded == foldAsciiCase(PRODUCT_VERSION_KEY))
        return fail(error, key + " is written from the version number: use --set-file-version or --set-product-version");
    for (const VersionString& s : options->strings)
        if (foldAsciiCase(s.key) == folded) return fail(error, "version string " + key + " given twice");
    options->strings.push_back({wideKey, wideValue});
    return true;
}

VersionInfo versionInfoFor(const FaceOptions& options) {
    VersionInfo info;
    info.hasFixed = true;
    info.fileVersion = options.hasFileVersion ? options.fileVersion : options.productVersion;
    info.productVersion = options.hasProductVersion ? options.productVersion : options.fileVersion;
    VersionStringTable table;
    table.name = VERSION_BLOCK_NAME;
    table.strings = options.strings;
    std::u16string text;
    std::string ignored;
    utf8ToUtf16(versionNumberText(info.fileVersion), &text, &ignored);
    table.strings.push_back({FILE_VERSION_KEY, text});
    utf8ToUtf16(versionNumberText(info.productVersion), &text, &ignored);
    table.strings.push_back({PRODUCT_VERSION_KEY, text});
    std::sort(table.strings.begin(), table.strings.end(),
              [](const VersionString& a, const VersionString& b) { return a.key < b.key; });
    info.tables.push_back(table);
    info.translations.push_back(VERSION_LANGUAGE | (static_cast<uint32_t>(VERSION_CODE_PAGE) << 16));
    return info;
}

bool applyFace(std::vector<PeResource>* resources, const FaceOptions& options, std::string* error) {
    if (options.setIcon && !replaceIcon(resources, options.icon, error)) return false;
    if (options.setsVersion() && !replaceVersion(resources, options, error)) return false;
    if (!options.executionLevel.empty() && !replaceLevel(resources, options.executionLevel, error)) return false;
    return true;
}

bool applyFaceToImage(const std::vector<uint8_t>& engine, const FaceOptions& options, std::vector<uint8_t>* output,
                      std::string* error) {
    std::vector<PeResource> resources;
    if (!readPeResources(engine, &resources, error)) return false;
    if (!applyFace(&resources, options, error)) return false;
    return writePeResources(engine, resources, output, error);
}

void readFace(const std::vector<PeResource>& resources, FaceFacts* facts) {
    *facts = FaceFacts();
    for (const PeResource& r : resources) {
        if (!facts->hasIcon && isIdOf(r, RT_GROUP_ICON_TYPE)) {
            facts->hasIcon = true;
            facts->iconGroup = r.name;
            if (!parseIconGroup(r.data, &facts->icons, &facts->iconError)) continue;
            // Each image by id, in the group's language where there is a choice.
            std::map<uint16_t, const PeResource*> images;
            for (const PeResource& i : resources) {
                if (!isIdOf(i, RT_ICON_TYPE) || i.name.isName) continue;
                const PeResource*& found = images[i.name.id];
                if (!found || (found->language != r.language && i.language == r.language)) found = &i;
            }
            for (const IconGroupEntry& e : facts->icons) {
                const auto image = images.find(e.id);
                facts->iconPresent.push_back(image != images.end());
                facts->iconPng.push_back(image != images.end() && isPngImage(image->second->data));
            }
        } else if (!facts->hasVersion && isIdOf(r, RT_VERSION_TYPE)) {
            facts->hasVersion = true;
            readVersionResource(r.data, &facts->version, &facts->versionError);
        } else if (!facts->hasManifest && isNumbered(r, RT_MANIFEST_TYPE, APPLICATION_MANIFEST_ID)) {
            facts->hasManifest = true;
            const std::string text(r.data.begin(), r.data.end());
            size_t start = 0, length = 0;
            if (findExecutionLevel(text, &facts->hasLevel, &start, &length, &facts->manifestError) && facts->hasLevel)
                facts->level = text.substr(start, length);
        }
    }
}
