// What an executable shows of itself before it runs: its icon, its version resource and the
// execution level its manifest requests. `runpack build` sets them in its copy of the engine
// (leaving every other resource as it was), and `runpack list` reads them back.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "runpack/image/icon_file.h"
#include "runpack/image/pe_resources.h"
#include "runpack/image/version_resource.h"

// The engine's icon group: the one Windows shows for the executable.
const uint16_t ENGINE_ICON_GROUP = 101;
// The one string block of the version resource: English (US), code page 1200 (UTF-16).
const uint16_t VERSION_LANGUAGE = 0x0409;
const uint16_t VERSION_CODE_PAGE = 1200;
extern const char16_t VERSION_BLOCK_NAME[];  // u"040904B0"
// The strings that follow the version numbers rather than --set-version-string.
extern const char16_t FILE_VERSION_KEY[];     // u"FileVersion"
extern const char16_t PRODUCT_VERSION_KEY[];  // u"ProductVersion"

struct FaceOptions {
    bool setIcon = false;
    std::vector<IconImage> icon;  // from parseIconFile
    bool hasFileVersion = false;
    VersionNumber fileVersion;
    bool hasProductVersion = false;
    VersionNumber productVersion;
    std::vector<VersionString> strings;  // added by addVersionString
    std::string executionLevel;          // empty: as the engine requests

    bool setsVersion() const { return hasFileVersion || hasProductVersion || !strings.empty(); }
    bool any() const { return setIcon || setsVersion() || !executionLevel.empty(); }
};

// Adds one --set-version-string. False with a message when the key is empty, holds a
// control character, is FileVersion or ProductVersion (which follow the numbers), or was
// given before (keys compare without regard to ASCII case, as Windows looks them up), or
// when the key or value is not valid UTF-8 or holds a NUL.
bool addVersionString(FaceOptions* options, const std::string& key, const std::string& value, std::string* error);

// The version resource for the options: the given numbers (one not given takes the other's
// value; neither given, 0.0.0.0), the fixed flags of an application, and one block
// "040904B0" holding exactly the given strings plus FileVersion and ProductVersion written
// as the numbers, sorted by key; the translation 0x0409, 1200.
VersionInfo versionInfoFor(const FaceOptions& options);

// Rewrites `resources` for the options. Icon: icon group 101 (in every language) and the
// images it alone names are removed, and the new group 101 (in the old group's language,
// else neutral) names new images whose ids are the lowest ids no remaining image uses.
// Version: every version resource is replaced by versionInfoFor's as VS_VERSION_INFO (1) in
// English (US). Execution level: set in every application manifest (RT_MANIFEST 1). False
// with a message when the engine's icon group 101 is malformed, it has no manifest with a
// requestedExecutionLevel to change, or the version resource would be too large.
bool applyFace(std::vector<PeResource>* resources, const FaceOptions& options, std::string* error);

// The same on an image: a copy of `engine` with its resources rewritten.
bool applyFaceToImage(const std::vector<uint8_t>& engine, const FaceOptions& options, std::vector<uint8_t>* output,
                      std::string* error);

// What list shows. Each part is read on its own: a malformed one gets a message in its
// error field and leaves the others readable.
struct FaceFacts {
    bool hasIcon = false;  // the first icon group, in the loader's order: the one Windows shows
    PeResourceId iconGroup;
    std::vector<IconGroupEntry> icons;
    std::vector<bool> iconPresent;  // its RT_ICON image exists
    std::vector<bool> iconPng;      // ... and is a PNG stream
    std::string iconError;

    bool hasVersion = false;
    VersionInfo version;
    std::string versionError;

    bool hasManifest = false;
    bool hasLevel = false;
    std::string level;
    std::string manifestError;
};
void readFace(const std::vector<PeResource>& resources, FaceFacts* facts);
