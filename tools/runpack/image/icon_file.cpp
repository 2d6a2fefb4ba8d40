// The .ico layout: a 6-byte header (reserved 0, type 1 for icons, image count), one 16-byte
// directory entry per image (width, height, colour count, reserved, planes, bits per pixel,
// the image's size and its offset in the file), then the images. An image is either a PNG
// stream or a bitmap: a BITMAPINFOHEADER whose height counts two stacked bitmaps (the colour
// image and the 1-bit transparency mask), its colour table, then the rows of both, each row
// padded to 4 bytes. An RT_GROUP_ICON resource repeats the header and the entries, 14 bytes
// each, with a 16-bit resource id where the file has the offset.
#include "runpack/image/icon_file.h"

#include <string.h>

#include <algorithm>

namespace {

const uint32_t ICON_HEADER_SIZE = 6;
const uint32_t ICON_FILE_ENTRY_SIZE = 16;
const uint32_t ICON_GROUP_ENTRY_SIZE = 14;
const uint16_t ICON_TYPE = 1;
const uint16_t CURSOR_TYPE = 2;

// BITMAPINFOHEADER fields.
const uint32_t BITMAP_HEADER_SIZE = 40;
const uint32_t BH_WIDTH = 4;
const uint32_t BH_HEIGHT = 8;
const uint32_t BH_PLANES = 12;
const uint32_t BH_BIT_COUNT = 14;
const uint32_t BH_COMPRESSION = 16;
const uint32_t BH_COLORS_USED = 32;
const uint32_t BITMAP_UNCOMPRESSED = 0;
const uint32_t MAX_PALETTE_COLORS = 256;

// A PNG stream: the 8-byte signature, then the IHDR chunk (length 13, type, width and height
// as big-endian 32-bit numbers, ...).
const uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
const uint32_t PNG_IHDR_LENGTH = 13;
const uint32_t PNG_HEADER_END = 8 + 8 + PNG_IHDR_LENGTH + 4;  // through the IHDR chunk's CRC

uint16_t get16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint32_t getBig32(const std::vector<uint8_t>& b, size_t at) {
    return (static_cast<uint32_t>(b[at]) << 24) | (static_cast<uint32_t>(b[at + 1]) << 16) |
           (static_cast<uint32_t>(b[at + 2]) << 8) | static_cast<uint32_t>(b[at + 3]);
}
void put16(std::vector<uint8_t>* b, uint16_t v) {
    b->push_back(static_cast<uint8_t>(v));
    b->push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>* b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

bool fail(std::string* error, const std::string& message) {
    *error = message;
    return false;
}

std::string sizeText(uint64_t width, uint64_t height) { return std::to_string(width) + "x" + std::to_string(height); }

// Bytes of one bitmap row, padded to 4.
uint64_t rowBytes(uint64_t width, uint64_t bits) { return (width * bits + 31) / 32 * 4; }

bool checkPng(const IconImage& image, const std::string& which, std::string* error) {
    const std::vector<uint8_t>& d = image.data;
    if (d.size() < PNG_HEADER_END || getBig32(d, 8) != PNG_IHDR_LENGTH || memcmp(d.data() + 12, "IHDR", 4) != 0)
        return fail(error, which + ": PNG image without its IHDR header");
    const uint32_t width = getBig32(d, 16), height = getBig32(d, 20);
    if (width != image.width() || height != image.height())
        return fail(error, which + ": the directory says " + sizeText(image.width(), image.height()) +
                               ", the PNG image is " + sizeText(width, height));
    return true;
}

bool checkBitmap(const IconImage& image, const std::string& which, std::string* error) {
    const std::vector<uint8_t>& d = image.data;
    if (d.size() < BITMAP_HEADER_SIZE) return fail(error, which + ": shorter than a bitmap header");
    const uint32_t headerSize = get32(d, 0);
    if (headerSize < BITMAP_HEADER_SIZE || headerSize > d.size())
        return fail(error, which + ": neither a PNG image nor a bitmap (header size " + std::to_string(headerSize) + ")");
    const int32_t width = static_cast<int32_t>(get32(d, BH_WIDTH));
    const int32_t doubleHeight = static_cast<int32_t>(get32(d, BH_HEIGHT));
    // The header's height covers the colour rows and the mask rows.
    if (width <= 0 || doubleHeight <= 0 || static_cast<uint32_t>(width) != image.width() ||
        static_cast<uint32_t>(doubleHeight) != 2 * image.height())
        return fail(error, which + ": the directory says " + sizeText(image.width(), image.height()) +
                               ", the bitmap header " + std::to_string(width) + "x" + std::to_string(doubleHeight) +
                               " (height twice the icon's, for the mask)");
    const uint16_t bits = get16(d, BH_BIT_COUNT);
    if (get16(d, BH_PLANES) != 1 || (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32))
        return fail(error, which + ": bitmap with " + std::to_string(get16(d, BH_PLANES)) + " planes of " +
                               std::to_string(bits) + " bits per pixel");
    if (get32(d, BH_COMPRESSION) != BITMAP_UNCOMPRESSED) return fail(error, which + ": compressed bitmap");
    if (image.bitCount != 0 && image.bitCount != bits)
        return fail(error, which + ": the directory says " + std::to_string(image.bitCount) +
                               " bits per pixel, the bitmap " + std::to_string(bits));
    const uint32_t used = get32(d, BH_COLORS_USED);
    const uint32_t paletteLimit = bits <= 8 ? (1u << bits) : MAX_PALETTE_COLORS;
    if (used > paletteLimit) return fail(error, which + ": bitmap with " + std::to_string(used) + " palette colours");
    const uint64_t colors = used ? used : (bits <= 8 ? (1u << bits) : 0);
    const uint64_t needed = headerSize + 4 * colors + rowBytes(image.width(), bits) * image.height() +
                            rowBytes(image.width(), 1) * image.height();
    if (needed > d.size())
        return fail(error, which + ": the bitmap needs " + std::to_string(needed) + " bytes, the directory gives it " +
                               std::to_string(d.size()));
    return true;
}

}  // namespace

bool isPngImage(const std::vector<uint8_t>& data) {
    return data.size() >= sizeof(PNG_SIGNATURE) && memcmp(data.data(), PNG_SIGNATURE, sizeof(PNG_SIGNATURE)) == 0;
}

bool parseIconFile(const std::vector<uint8_t>& file, std::vector<IconImage>* images, std::string* error) {
    images->clear();
    if (file.size() < ICON_HEADER_SIZE) return fail(error, "not an icon file: shorter than its 6-byte header");
    const uint16_t type = get16(file, 2);
    if (get16(file, 0) != 0 || (type != ICON_TYPE && type != CURSOR_TYPE))
        return fail(error, "not an icon file: no icon header");
    if (type == CURSOR_TYPE) return fail(error, "a cursor file, not an icon file");
    const uint32_t count = get16(file, 4);
    if (count == 0) return fail(error, "the icon file holds no images");
    const uint64_t directoryEnd = ICON_HEADER_SIZE + static_cast<uint64_t>(count) * ICON_FILE_ENTRY_SIZE;
    if (directoryEnd > file.size())
        return fail(error, "truncated icon file: a directory of " + std::to_string(count) + " images needs " +
                               std::to_string(directoryEnd) + " bytes, the file has " + std::to_string(file.size()));

    // Every image lies after the directory and inside the file, and no two overlap: the images
    // together never hold more bytes than the file.
    struct Extent {
        uint64_t offset, size;
        uint32_t index;
    };
    std::vector<Extent> extents;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = ICON_HEADER_SIZE + i * ICON_FILE_ENTRY_SIZE;
        const uint64_t size = get32(file, at + 8), offset = get32(file, at + 12);
        const std::string which = "image " + std::to_string(i + 1);
        if (size == 0) return fail(error, which + " is empty");
        if (offset < directoryEnd || offset + size > file.size())
            return fail(error, which + " lies outside the file's images (offset " + std::to_string(offset) + ", " +
                                   std::to_string(size) + " bytes, file " + std::to_string(file.size()) + " bytes)");
        extents.push_back({offset, size, i});
    }
    std::sort(extents.begin(), extents.end(),
              [](const Extent& a, const Extent& b) { return a.offset < b.offset || (a.offset == b.offset && a.index < b.index); });
    for (size_t k = 1; k < extents.size(); ++k) {
        if (extents[k].offset < extents[k - 1].offset + extents[k - 1].size)
            return fail(error, "images " + std::to_string(std::min(extents[k - 1].index, extents[k].index) + 1) + " and " +
                                   std::to_string(std::max(extents[k - 1].index, extents[k].index) + 1) + " overlap");
    }

    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = ICON_HEADER_SIZE + i * ICON_FILE_ENTRY_SIZE;
        IconImage image;
        image.widthByte = file[at];
        image.heightByte = file[at + 1];
        image.colorCount = file[at + 2];
        image.planes = get16(file, at + 4);
        image.bitCount = get16(file, at + 6);
        const size_t size = get32(file, at + 8), offset = get32(file, at + 12);
        image.data.assign(file.begin() + offset, file.begin() + offset + size);
        image.png = isPngImage(image.data);
        const std::string which = "image " + std::to_string(i + 1) + " (" + sizeText(image.width(), image.height()) + ")";
        if (!(image.png ? checkPng(image, which, error) : checkBitmap(image, which, error))) {
            images->clear();
            return false;
        }
        images->push_back(std::move(image));
    }
    return true;
}

std::vector<uint8_t> makeIconGroup(const std::vector<IconImage>& images, const std::vector<uint16_t>& ids) {
    std::vector<uint8_t> group;
    put16(&group, 0);
    put16(&group, ICON_TYPE);
    put16(&group, static_cast<uint16_t>(images.size()));
    for (size_t i = 0; i < images.size(); ++i) {
        const IconImage& image = images[i];
        group.push_back(image.widthByte);
        group.push_back(image.heightByte);
        group.push_back(image.colorCount);
        group.push_back(0);
        put16(&group, image.planes);
        put16(&group, image.bitCount);
        put32(&group, static_cast<uint32_t>(image.data.size()));
        put16(&group, ids[i]);
    }
    return group;
}

bool parseIconGroup(const std::vector<uint8_t>& group, std::vector<IconGroupEntry>* entries, std::string* error) {
    entries->clear();
    if (group.size() < ICON_HEADER_SIZE || get16(group, 0) != 0 || get16(group, 2) != ICON_TYPE)
        return fail(error, "not an icon group");
    const uint32_t count = get16(group, 4);
    if (ICON_HEADER_SIZE + static_cast<uint64_t>(count) * ICON_GROUP_ENTRY_SIZE > group.size())
        return fail(error, "icon group of " + std::to_string(count) + " images in " + std::to_string(group.size()) + " bytes");
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = ICON_HEADER_SIZE + i * ICON_GROUP_ENTRY_SIZE;
        IconGroupEntry e;
        e.widthByte = group[at];
        e.heightByte = group[at + 1];
        e.colorCount = group[at + 2];
        e.planes = get16(group, at + 4);
        e.bitCount = get16(group, at + 6);
        e.bytes = get32(group, at + 8);
        e.id = get16(group, at + 12);
        entries->push_back(e);
    }
    return true;
}
