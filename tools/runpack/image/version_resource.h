// The version resource (RT_VERSION) that Windows shows as a file's properties: the fixed
// numbers (file and product version, flags, type) and blocks of named strings, one block per
// language and code page. The reader takes any bytes; the writer lays out what it is given.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

const uint16_t RT_VERSION_TYPE = 16;
const uint16_t VERSION_RESOURCE_ID = 1;  // VS_VERSION_INFO

// Values of the fixed part for an application: every flag meaningful, none set, made for
// 32-bit Windows NT.
const uint32_t VERSION_FLAGS_MASK = 0x3F;       // VS_FFI_FILEFLAGSMASK
const uint32_t VERSION_OS_NT_WINDOWS32 = 0x00040004;
const uint32_t VERSION_TYPE_APP = 1;            // VFT_APP

// A four-part version A.B.C.D, each part 0..65535.
struct VersionNumber {
    uint16_t parts[4] = {0, 0, 0, 0};
    bool operator==(const VersionNumber& o) const;
};

// Reads "A.B.C.D": exactly four decimal parts, each 0..65535. False otherwise.
bool parseVersionNumber(const std::string& text, VersionNumber* number);
// "A.B.C.D", each part without leading zeros.
std::string versionNumberText(const VersionNumber& number);

struct VersionString {
    std::u16string key;
    std::u16string value;
};

// One block of strings; its name is the language and code page in hex ("040904B0").
struct VersionStringTable {
    std::u16string name;
    std::vector<VersionString> strings;
};

struct VersionInfo {
    bool hasFixed = false;  // the reader found the fixed part (the writer always writes it)
    VersionNumber fileVersion;
    VersionNumber productVersion;
    uint32_t flagsMask = VERSION_FLAGS_MASK;
    uint32_t flags = 0;
    uint32_t os = VERSION_OS_NT_WINDOWS32;
    uint32_t fileType = VERSION_TYPE_APP;
    uint32_t fileSubtype = 0;
    uint32_t dateHigh = 0;
    uint32_t dateLow = 0;
    std::vector<VersionStringTable> tables;  // StringFileInfo
    std::vector<uint32_t> translations;      // VarFileInfo "Translation": language | code page << 16
};

// The resource bytes for `info`: VS_VERSIONINFO with the fixed part, a StringFileInfo with
// each table (when there are any), a VarFileInfo with the translations (when there are
// any). Every node starts on a 4-byte boundary; its length covers its children but not the
// padding after it. False when a node would exceed the 65535 bytes its length can say.
bool writeVersionResource(const VersionInfo& info, std::vector<uint8_t>* resource, std::string* error);

// Reads a version resource: the fixed part when its signature is there, every string table
// and the translations; other nodes are skipped. False with a message when a node's length,
// key or value does not fit inside its parent.
bool readVersionResource(const std::vector<uint8_t>& resource, VersionInfo* info, std::string* error);
