// PNG: the signature, then chunks of a big-endian length, a type, the data and a CRC-32 of
// type and data. IHDR gives the size and pixel format, IDAT a zlib stream of the rows (each
// prefixed by filter type 0), IEND closes. Stored deflate blocks need no compressor.
#include "support/icon_builder.h"

#include <string.h>

#include <algorithm>

namespace {

void put16(std::vector<uint8_t>* b, uint32_t v) {
    b->push_back(uint8_t(v));
    b->push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>* b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
void putBig32(std::vector<uint8_t>* b, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) b->push_back(uint8_t(v >> shift));
}

uint32_t crc32(const uint8_t* data, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

void chunk(std::vector<uint8_t>* png, const char* type, const std::vector<uint8_t>& data) {
    putBig32(png, uint32_t(data.size()));
    std::vector<uint8_t> typed(type, type + 4);
    typed.insert(typed.end(), data.begin(), data.end());
    png->insert(png->end(), typed.begin(), typed.end());
    putBig32(png, crc32(typed.data(), typed.size()));
}

}  // namespace

std::vector<uint8_t> makeBitmapIconData(uint32_t side, uint32_t rgba) {
    std::vector<uint8_t> d;
    put32(&d, 40);
    put32(&d, side);
    put32(&d, 2 * side);  // colour rows and mask rows
    put16(&d, 1);
    put16(&d, 32);
    for (int i = 0; i < 6; ++i) put32(&d, 0);  // uncompressed, sizes and colours unused
    for (uint32_t i = 0; i < side * side; ++i) {
        d.push_back(uint8_t(rgba >> 8));   // B
        d.push_back(uint8_t(rgba >> 16));  // G
        d.push_back(uint8_t(rgba >> 24));  // R
        d.push_back(uint8_t(rgba));        // A
    }
    const uint32_t maskRow = (side + 31) / 32 * 4;
    d.insert(d.end(), size_t(maskRow) * side, 0);  // every pixel drawn
    return d;
}

std::vector<uint8_t> makePngData(uint32_t side, uint32_t rgba) {
    std::vector<uint8_t> raw;
    for (uint32_t y = 0; y < side; ++y) {
        raw.push_back(0);
        for (uint32_t x = 0; x < side; ++x) putBig32(&raw, rgba);
    }
    std::vector<uint8_t> z = {0x78, 0x01};
    for (size_t at = 0; at < raw.size();) {
        const size_t n = std::min<size_t>(raw.size() - at, 0xFFFF);
        z.push_back(at + n == raw.size() ? 1 : 0);
        put16(&z, uint32_t(n));
        put16(&z, uint32_t(~n & 0xFFFF));
        z.insert(z.end(), raw.begin() + at, raw.begin() + at + n);
        at += n;
    }
    uint32_t a = 1, b = 0;
    for (uint8_t c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    putBig32(&z, (b << 16) | a);

    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    putBig32(&header, side);
    putBig32(&header, side);
    header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, no filter choice, no interlace
    chunk(&png, "IHDR", header);
    chunk(&png, "IDAT", z);
    chunk(&png, "IEND", {});
    return png;
}

TestIconImage bitmapIconImage(uint32_t side, uint32_t rgba) {
    TestIconImage image;
    image.widthByte = image.heightByte = uint8_t(side);
    image.data = makeBitmapIconData(side, rgba);
    return image;
}

TestIconImage pngIconImage(uint32_t side, uint32_t rgba) {
    TestIconImage image;
    image.widthByte = image.heightByte = uint8_t(side);
    image.data = makePngData(side, rgba);
    return image;
}

std::vector<uint8_t> makeIconFile(const std::vector<TestIconImage>& images) {
    std::vector<uint8_t> file;
    put16(&file, 0);
    put16(&file, 1);
    put16(&file, uint32_t(images.size()));
    uint32_t offset = 6 + 16 * uint32_t(images.size());
    for (const TestIconImage& image : images) {
        file.push_back(image.widthByte);
        file.push_back(image.heightByte);
        file.push_back(image.colorCount);
        file.push_back(0);
        put16(&file, image.planes);
        put16(&file, image.bitCount);
        put32(&file, uint32_t(image.data.size()));
        put32(&file, offset);
        offset += uint32_t(image.data.size());
    }
    for (const TestIconImage& image : images) file.insert(file.end(), image.data.begin(), image.data.end());
    return file;
}

std::vector<uint8_t> sampleIconFile() {
    std::vector<TestIconImage> images;
    for (int i = 0; i < 3; ++i) images.push_back(bitmapIconImage(SAMPLE_ICON_SIDES[i], SAMPLE_ICON_COLORS[i]));
    images.push_back(pngIconImage(SAMPLE_ICON_SIDES[3], SAMPLE_ICON_COLORS[3]));
    return makeIconFile(images);
}
