// Icons: the .ico file a user gives to `runpack build --set-icon`, and the two resource types
// an executable carries them in (an RT_GROUP_ICON directory naming RT_ICON images by id).
// The .ico file is hostile input: every field is checked against the file before use.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// Resource types of icons.
const uint16_t RT_ICON_TYPE = 3;
const uint16_t RT_GROUP_ICON_TYPE = 14;

// One image of an icon, with its directory entry as the file gives it. A width or height
// byte of 0 means 256 pixels.
struct IconImage {
    uint8_t widthByte = 0;
    uint8_t heightByte = 0;
    uint8_t colorCount = 0;
    uint16_t planes = 0;
    uint16_t bitCount = 0;
    bool png = false;           // a PNG stream, else a bitmap (BITMAPINFOHEADER, colours, mask)
    std::vector<uint8_t> data;  // stored in the RT_ICON resource as it is

    uint32_t width() const { return widthByte ? widthByte : 256; }
    uint32_t height() const { return heightByte ? heightByte : 256; }
};

// Reads a .ico file: at least one image, every image inside the file, after the directory,
// overlapping no other, and agreeing with the directory on its size (a bitmap also holding
// all the rows its header promises). False with a one-line message otherwise.
bool parseIconFile(const std::vector<uint8_t>& file, std::vector<IconImage>* images, std::string* error);

// One entry of an RT_GROUP_ICON directory: like the file's, with the image's resource id
// instead of its offset.
struct IconGroupEntry {
    uint8_t widthByte = 0;
    uint8_t heightByte = 0;
    uint8_t colorCount = 0;
    uint16_t planes = 0;
    uint16_t bitCount = 0;
    uint32_t bytes = 0;
    uint16_t id = 0;

    uint32_t width() const { return widthByte ? widthByte : 256; }
    uint32_t height() const { return heightByte ? heightByte : 256; }
};

// The RT_GROUP_ICON bytes for `images`, the i-th stored as RT_ICON `ids[i]`.
std::vector<uint8_t> makeIconGroup(const std::vector<IconImage>& images, const std::vector<uint16_t>& ids);

// Reads an RT_GROUP_ICON resource. False with a message when it is malformed.
bool parseIconGroup(const std::vector<uint8_t>& group, std::vector<IconGroupEntry>* entries, std::string* error);

// True when `data` begins with the PNG signature.
bool isPngImage(const std::vector<uint8_t>& data);
