#include "runpack/package/visible_text.h"

#include <stdint.h>
#include <stdio.h>

namespace {

// Decodes the UTF-8 sequence at `i`: its code point and length, or false for a byte that
// starts no well-formed sequence (overlong forms and encoded surrogates included).
bool decodeAt(const std::string& text, size_t i, char32_t* codePoint, size_t* length) {
    const uint8_t lead = static_cast<uint8_t>(text[i]);
    if (lead < 0x80) {
        *codePoint = lead;
        *length = 1;
        return true;
    }
    // The lead byte gives the sequence's length and its share of the code point; the
    // shortest form is the only valid one.
    size_t n = 0;
    char32_t c = 0, minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
        c = lead & 0x1F;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        c = lead & 0x0F;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        c = lead & 0x07;
        minimum = 0x10000;
    } else {
        return false;
    }
    if (text.size() - i < n) return false;
    for (size_t k = 1; k < n; ++k) {
        const uint8_t b = static_cast<uint8_t>(text[i + k]);
        if ((b & 0xC0) != 0x80) return false;
        c = (c << 6) | (b & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    *codePoint = c;
    *length = n;
    return true;
}

std::string byteEscape(uint8_t b) {
    char escaped[8];
    snprintf(escaped, sizeof escaped, "\\x%02X", b);
    return escaped;
}

// "\uNNNN", or "\UNNNNNNNN" beyond the basic plane.
std::string codePointEscape(char32_t c) {
    char escaped[16];
    if (c > 0xFFFF) snprintf(escaped, sizeof escaped, "\\U%08X", static_cast<unsigned>(c));
    else snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
    return escaped;
}

#include "runpack/package/invisible_ranges.inc"

// Shown as an escape wherever a package's text is printed.
bool isEscaped(char32_t c) { return isControlCodePoint(c) || isInvisibleCodePoint(c); }

// True, with the first character that `wanted` picks as an escape in `which`.
bool findCharacter(const std::string& utf8, bool (*wanted)(char32_t), std::string* which) {
    for (size_t i = 0; i < utf8.size();) {
        char32_t c;
        size_t length;
        if (!decodeAt(utf8, i, &c, &length)) {
            ++i;
            continue;
        }
        if (wanted(c)) {
            if (which) *which = c < 0x80 ? byteEscape(static_cast<uint8_t>(c)) : codePointEscape(c);
            return true;
        }
        i += length;
    }
    return false;
}

}  // namespace

bool isInvisibleCodePoint(char32_t c) {
    for (const auto& range : INVISIBLE_RANGES) {
        if (c < range[0]) return false;
        if (c <= range[1]) return true;
    }
    return false;
}

bool isControlCodePoint(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string visibleText(const std::string& utf8, bool asciiOnly) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        char32_t c;
        size_t length;
        if (!decodeAt(utf8, i, &c, &length)) {
            out += byteEscape(static_cast<uint8_t>(utf8[i]));
            ++i;
            continue;
        }
        if (c < 0x80 && isControlCodePoint(c)) out += byteEscape(static_cast<uint8_t>(c));
        else if (isEscaped(c) || (asciiOnly && c >= 0x80)) out += codePointEscape(c);
        else out.append(utf8, i, length);
        i += length;
    }
    return out;
}

bool findControlCharacter(const std::string& utf8, std::string* which) {
    return findCharacter(utf8, isControlCodePoint, which);
}

bool findInvisibleCharacter(const std::string& utf8, std::string* which) {
    return findCharacter(utf8, isInvisibleCodePoint, which);
}

std::string escapeJsonControls(const std::string& json) {
    std::string out;
    out.reserve(json.size());
    for (size_t i = 0; i < json.size();) {
        char32_t c;
        size_t length;
        if (!decodeAt(json, i, &c, &length)) {
            c = 0;
            length = 1;
        }
        if (c >= 0x7F && isEscaped(c)) {
            char escaped[16];
            if (c > 0xFFFF) {
                const unsigned v = static_cast<unsigned>(c) - 0x10000;
                snprintf(escaped, sizeof escaped, "\\u%04x\\u%04x", 0xD800 + (v >> 10), 0xDC00 + (v & 0x3FF));
            } else {
                snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            }
            out += escaped;
        } else {
            out.append(json, i, length);
        }
        i += length;
    }
    return out;
}
