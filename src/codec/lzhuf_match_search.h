// What the whole-buffer encoders (the fast and best levels) share to find matches: the hash
// of the three bytes that start every match, and the length two positions have in common.
#pragma once

#include <stdint.h>
#include <string.h>

// Hash of the three bytes at p, `bits` wide.
inline uint32_t hashOfThree(const uint8_t* p, int bits) {
    uint32_t key = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                   static_cast<uint32_t>(p[2]) << 16;
    return (key * 2654435761u) >> (32 - bits);
}

// Length of the common prefix of a and b, at most `limit`, given that the first `from`
// bytes are already known to agree.
inline int commonLength(const uint8_t* a, const uint8_t* b, int from, int limit) {
    int i = from;
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    while (i + 8 <= limit) {
        uint64_t x;
        uint64_t y;
        memcpy(&x, a + i, sizeof(x));
        memcpy(&y, b + i, sizeof(y));
        if (x != y) {
            return i + (__builtin_ctzll(x ^ y) >> 3);
        }
        i += 8;
    }
#endif
    while (i < limit && a[i] == b[i]) {
        ++i;
    }
    return i;
}
