// Icon files for tests, made here rather than committed: 32-bit bitmap images with an opaque
// mask, and PNG images from a minimal encoder (stored deflate blocks), each one colour.
#pragma once

#include <stdint.h>

#include <vector>

// An image of an .ico file with the directory entry that describes it.
struct TestIconImage {
    uint8_t widthByte = 0;  // 0: 256
    uint8_t heightByte = 0;
    uint8_t colorCount = 0;
    uint16_t planes = 1;
    uint16_t bitCount = 32;
    std::vector<uint8_t> data;
};

// A square 32-bit bitmap image (header, bottom-up rows of B, G, R, A, then the AND mask),
// every pixel `rgba` (0xRRGGBBAA).
std::vector<uint8_t> makeBitmapIconData(uint32_t side, uint32_t rgba);
// A square 8-bit RGBA PNG stream, every pixel `rgba`.
std::vector<uint8_t> makePngData(uint32_t side, uint32_t rgba);
// An image entry for either of the above at `side` pixels.
TestIconImage bitmapIconImage(uint32_t side, uint32_t rgba);
TestIconImage pngIconImage(uint32_t side, uint32_t rgba);

// The .ico file: header, directory, then the images in order.
std::vector<uint8_t> makeIconFile(const std::vector<TestIconImage>& images);

// The colours of sampleIconFile's images, and the file: 16, 32 and 48 pixels as bitmaps,
// 256 as PNG.
const uint32_t SAMPLE_ICON_SIDES[4] = {16, 32, 48, 256};
const uint32_t SAMPLE_ICON_COLORS[4] = {0xE0201CFF, 0x2CA02CFF, 0x1F77B4FF, 0x9467BDFF};
std::vector<uint8_t> sampleIconFile();
