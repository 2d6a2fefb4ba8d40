// Reading .ico files as hostile input, and the icon group resources made from them.
#include <gtest/gtest.h>

#include "runpack/image/icon_file.h"
#include "support/icon_builder.h"

namespace {

void put32At(std::vector<uint8_t>* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*b)[at + i] = uint8_t(v >> (8 * i));
}
uint32_t get32At(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

// Offsets in a .ico file: the count, and the fields of the n-th directory entry.
const size_t COUNT = 4;
size_t entry(size_t n) { return 6 + 16 * n; }
const size_t E_WIDTH = 0, E_BITS = 6, E_SIZE = 8, E_OFFSET = 12;

std::string refusal(const std::vector<uint8_t>& file) {
    std::vector<IconImage> images;
    std::string error;
    EXPECT_FALSE(parseIconFile(file, &images, &error));
    EXPECT_TRUE(images.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos);
    return error;
}

}  // namespace

TEST(IconFile, ReadsBitmapAndPngImagesAsTheyAre) {
    const std::vector<uint8_t> file = sampleIconFile();
    std::vector<IconImage> images;
    std::string error;
    ASSERT_TRUE(parseIconFile(file, &images, &error)) << error;
    ASSERT_EQ(images.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(images[i].width(), SAMPLE_ICON_SIDES[i]);
        EXPECT_EQ(images[i].height(), SAMPLE_ICON_SIDES[i]);
        EXPECT_EQ(images[i].bitCount, 32);
        EXPECT_EQ(images[i].png, i == 3);
        const std::vector<uint8_t> expected = i == 3 ? makePngData(256, SAMPLE_ICON_COLORS[3])
                                                     : makeBitmapIconData(SAMPLE_ICON_SIDES[i], SAMPLE_ICON_COLORS[i]);
        EXPECT_EQ(images[i].data, expected);
    }
    EXPECT_EQ(images[3].widthByte, 0);

    // Paletted bitmaps with a zero depth in the directory (as many icon editors write them),
    // and images stored in another order than the directory's, are fine too.
    TestIconImage four = bitmapIconImage(16, 0);
    four.bitCount = 0;
    four.colorCount = 16;
    four.data = makeBitmapIconData(16, 0);
    four.data[14] = 4;                                  // 4 bits per pixel
    four.data.resize(40 + 16 * 4 + 8 * 16 + 4 * 16);    // palette, rows of 8 bytes, mask rows
    std::vector<uint8_t> reordered = makeIconFile({pngIconImage(32, 1), four});
    std::vector<uint8_t> swapped = reordered;
    // Swap the two directory entries: the offsets now run backwards.
    std::copy(reordered.begin() + entry(1), reordered.begin() + entry(2), swapped.begin() + entry(0));
    std::copy(reordered.begin() + entry(0), reordered.begin() + entry(1), swapped.begin() + entry(1));
    ASSERT_TRUE(parseIconFile(swapped, &images, &error)) << error;
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].width(), 16u);
    EXPECT_FALSE(images[0].png);
    EXPECT_EQ(images[1].width(), 32u);
    EXPECT_TRUE(images[1].png);
}

TEST(IconFile, RefusesWhatIsNoIconFile) {
    EXPECT_EQ(refusal({}), "not an icon file: shorter than its 6-byte header");
    EXPECT_EQ(refusal({0, 0, 1, 0}), "not an icon file: shorter than its 6-byte header");
    EXPECT_EQ(refusal({'M', 'Z', 0, 0, 0, 0, 0, 0}), "not an icon file: no icon header");
    std::vector<uint8_t> cursor = sampleIconFile();
    cursor[2] = 2;
    EXPECT_EQ(refusal(cursor), "a cursor file, not an icon file");
    EXPECT_EQ(refusal({0, 0, 1, 0, 0, 0}), "the icon file holds no images");
}

TEST(IconFile, RefusesDirectoriesTheFileCannotHold) {
    std::vector<uint8_t> file = sampleIconFile();
    // An absurd count: 65535 entries need a megabyte of directory.
    std::vector<uint8_t> bad = file;
    bad[COUNT] = 0xFF;
    bad[COUNT + 1] = 0xFF;
    EXPECT_EQ(refusal(bad), "truncated icon file: a directory of 65535 images needs 1048566 bytes, the file has " +
                                std::to_string(file.size()));
    // Every cut of a good file fails cleanly: a header, a directory or an image goes missing.
    const std::vector<uint8_t> small = makeIconFile({bitmapIconImage(16, 1), pngIconImage(32, 2)});
    for (size_t length = 0; length < small.size(); ++length) {
        SCOPED_TRACE(length);
        refusal(std::vector<uint8_t>(small.begin(), small.begin() + length));
    }
}

TEST(IconFile, RefusesImagesOutsideTheFileEmptyOrOverlapping) {
    const std::vector<uint8_t> file = sampleIconFile();
    const uint32_t size = uint32_t(file.size());
    std::vector<uint8_t> bad = file;
    put32At(&bad, entry(3) + E_SIZE, size);  // runs past the end
    EXPECT_EQ(refusal(bad), "image 4 lies outside the file's images (offset " + std::to_string(get32At(file, entry(3) + E_OFFSET)) +
                                ", " + std::to_string(size) + " bytes, file " + std::to_string(size) + " bytes)");
    bad = file;
    put32At(&bad, entry(1) + E_OFFSET, 0xFFFFFFF0u);  // offset + size wraps in 32 bits
    EXPECT_NE(refusal(bad).find("image 2 lies outside"), std::string::npos);
    bad = file;
    put32At(&bad, entry(0) + E_OFFSET, 6);  // inside the directory
    EXPECT_NE(refusal(bad).find("image 1 lies outside"), std::string::npos);
    bad = file;
    put32At(&bad, entry(2) + E_SIZE, 0);
    EXPECT_EQ(refusal(bad), "image 3 is empty");

    // The amplification attack: many entries naming the same bytes would make the output
    // (and the memory for it) many times the file. Overlap is refused.
    const std::vector<uint8_t> one = makeIconFile({pngIconImage(64, 7)});
    std::vector<uint8_t> many(6 + 16 * 1000);
    many[2] = 1;
    many[COUNT] = 1000 & 0xFF;
    many[COUNT + 1] = 1000 >> 8;
    const std::vector<uint8_t> png(one.begin() + 22, one.end());
    for (size_t i = 0; i < 1000; ++i) {
        std::copy(one.begin() + 6, one.begin() + 22, many.begin() + entry(i));
        put32At(&many, entry(i) + E_OFFSET, uint32_t(many.size()));
    }
    many.insert(many.end(), png.begin(), png.end());
    EXPECT_EQ(refusal(many), "images 1 and 2 overlap");
    bad = file;
    put32At(&bad, entry(2) + E_OFFSET, get32At(file, entry(1) + E_OFFSET) + 4);
    EXPECT_EQ(refusal(bad), "images 2 and 3 overlap");
}

TEST(IconFile, RefusesImagesWhoseOwnHeaderDisagreesWithTheDirectory) {
    const std::vector<uint8_t> file = sampleIconFile();
    std::vector<uint8_t> bad = file;
    bad[entry(0) + E_WIDTH] = 20;
    EXPECT_EQ(refusal(bad), "image 1 (20x16): the directory says 20x16, the bitmap header 16x32 (height twice the "
                            "icon's, for the mask)");
    bad = file;
    bad[entry(3) + E_WIDTH] = 128;
    EXPECT_EQ(refusal(bad), "image 4 (128x256): the directory says 128x256, the PNG image is 256x256");
    bad = file;
    bad[entry(1) + E_BITS] = 8;
    EXPECT_EQ(refusal(bad), "image 2 (32x32): the directory says 8 bits per pixel, the bitmap 32");

    // A bitmap whose height is not doubled for the mask.
    bad = makeIconFile({bitmapIconImage(16, 0)});
    put32At(&bad, 22 + 8, 16);
    EXPECT_NE(refusal(bad).find("the bitmap header 16x16"), std::string::npos);
    // A bitmap shorter than the rows its header promises (the mask is cut off).
    TestIconImage shortImage = bitmapIconImage(48, 0);
    shortImage.data.resize(shortImage.data.size() - 4);
    EXPECT_EQ(refusal(makeIconFile({shortImage})),
              "image 1 (48x48): the bitmap needs 9640 bytes, the directory gives it 9636");
    // A palette larger than its depth allows, a compressed bitmap, a bitmap header of an
    // impossible size, a PNG without IHDR.
    TestIconImage palette = bitmapIconImage(16, 0);
    palette.data[14] = 8;
    put32At(&palette.data, 32, 257);
    palette.bitCount = 8;
    EXPECT_EQ(refusal(makeIconFile({palette})), "image 1 (16x16): bitmap with 257 palette colours");
    TestIconImage compressed = bitmapIconImage(16, 0);
    compressed.data[16] = 1;
    EXPECT_EQ(refusal(makeIconFile({compressed})), "image 1 (16x16): compressed bitmap");
    TestIconImage huge = bitmapIconImage(16, 0);
    put32At(&huge.data, 0, 0x7FFFFFFF);
    EXPECT_EQ(refusal(makeIconFile({huge})),
              "image 1 (16x16): neither a PNG image nor a bitmap (header size 2147483647)");
    TestIconImage png = pngIconImage(32, 0);
    png.data.resize(20);
    EXPECT_EQ(refusal(makeIconFile({png})), "image 1 (32x32): PNG image without its IHDR header");
}

TEST(IconFile, GroupNamesEachImageByIdAndReadsBack) {
    std::vector<IconImage> images;
    std::string error;
    ASSERT_TRUE(parseIconFile(sampleIconFile(), &images, &error)) << error;
    const std::vector<uint8_t> group = makeIconGroup(images, {5, 6, 9, 2});
    ASSERT_EQ(group.size(), 6u + 4 * 14);
    std::vector<IconGroupEntry> entries;
    ASSERT_TRUE(parseIconGroup(group, &entries, &error)) << error;
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[2].width(), 48u);
    EXPECT_EQ(entries[2].id, 9);
    EXPECT_EQ(entries[3].widthByte, 0);
    EXPECT_EQ(entries[3].bitCount, 32);
    EXPECT_EQ(entries[3].bytes, images[3].data.size());
    EXPECT_EQ(entries[3].id, 2);
    EXPECT_FALSE(parseIconGroup(std::vector<uint8_t>(group.begin(), group.end() - 1), &entries, &error));
    EXPECT_EQ(error, "icon group of 4 images in 61 bytes");
}
