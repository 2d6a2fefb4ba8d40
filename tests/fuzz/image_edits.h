// Fuzz input as an executable image: either the input's bytes themselves, or one of a few
// well-formed images with the edits the input describes, so that a fuzzer gets past the first
// checks into the resource tree and the package as easily as it breaks the headers.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

// First byte even: the rest is the image. Odd: bits 1..7 choose the template, and each
// following 8 bytes are one edit: a 32-bit offset (reduced modulo the image's size) whose top
// two bits say what to do there with the 32-bit value after it: store its low byte, its low
// 16 bits or all 32 bits, or cut the image at that offset.
inline std::vector<uint8_t> imageFromInput(const uint8_t* data, size_t size,
                                           const std::vector<std::vector<uint8_t>>& templates) {
    if (size == 0) return {};
    if ((data[0] & 1) == 0 || templates.empty()) return std::vector<uint8_t>(data + 1, data + size);
    std::vector<uint8_t> image = templates[(data[0] >> 1) % templates.size()];
    for (size_t at = 1; at + 8 <= size && !image.empty(); at += 8) {
        uint32_t where = 0, value = 0;
        memcpy(&where, data + at, 4);
        memcpy(&value, data + at + 4, 4);
        const uint32_t what = where >> 30;
        const size_t offset = (where & 0x3FFFFFFF) % image.size();
        if (what == 3) {
            image.resize(offset);
            continue;
        }
        const size_t width = what == 0 ? 1 : what == 1 ? 2 : 4;
        for (size_t i = 0; i < width && offset + i < image.size(); ++i) image[offset + i] = uint8_t(value >> (8 * i));
    }
    return image;
}
