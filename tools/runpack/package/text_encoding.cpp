// The two code pages agree with ASCII below 0x80; each table gives the Unicode character of
// bytes 0x80..0xFF, 0 where the code page defines none.
#include "runpack/package/text_encoding.h"

namespace {

const uint16_t CP1250_HIGH[128] = {
    0x20AC, 0,      0x201A, 0,      0x201E, 0x2026, 0x2020, 0x2021, 0,      0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0,      0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7, 0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7, 0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7, 0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7, 0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

// 0xA0..0xFF of code page 1252 are Latin-1; only 0x80..0x9F differ.
const uint16_t CP1252_HIGH[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

uint32_t unicodeOf(uint8_t byte, uint32_t codePage) {
    if (byte < 0x80) return byte;
    if (codePage == CODE_PAGE_CENTRAL_EUROPEAN) return CP1250_HIGH[byte - 0x80];
    if (codePage == CODE_PAGE_WESTERN) return byte < 0xA0 ? CP1252_HIGH[byte - 0x80] : byte;
    return 0;
}

// Next character of UTF-8 text; false on a malformed sequence.
bool nextUtf8(const std::string& s, size_t* i, uint32_t* c) {
    const uint8_t b = static_cast<uint8_t>(s[*i]);
    int more = 0;
    uint32_t value = 0;
    if (b < 0x80) { value = b; }
    else if ((b & 0xE0) == 0xC0) { value = b & 0x1F; more = 1; }
    else if ((b & 0xF0) == 0xE0) { value = b & 0x0F; more = 2; }
    else if ((b & 0xF8) == 0xF0) { value = b & 0x07; more = 3; }
    else return false;
    if (more > 0 && *i + more >= s.size()) return false;
    for (int k = 1; k <= more; ++k) {
        const uint8_t t = static_cast<uint8_t>(s[*i + k]);
        if ((t & 0xC0) != 0x80) return false;
        value = (value << 6) | (t & 0x3F);
    }
    *i += 1 + more;
    *c = value;
    return true;
}

void appendUtf8(std::string* out, uint32_t c) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xE0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace

bool isSupportedCodePage(uint32_t codePage) {
    return codePage == CODE_PAGE_CENTRAL_EUROPEAN || codePage == CODE_PAGE_WESTERN;
}

bool isAscii(const std::string& text) {
    for (char c : text)
        if (static_cast<uint8_t>(c) >= 0x80) return false;
    return true;
}

bool encodeAnsi(const std::string& utf8, uint32_t codePage, std::string* ansi, std::string* error) {
    ansi->clear();
    if (isAscii(utf8)) {
        *ansi = utf8;
        return true;
    }
    if (!isSupportedCodePage(codePage)) {
        *error = codePage == 0 ? "non-ASCII text needs --codepage: \"" + utf8 + "\""
                               : "unsupported code page " + std::to_string(codePage);
        return false;
    }
    for (size_t i = 0; i < utf8.size();) {
        uint32_t c = 0;
        if (!nextUtf8(utf8, &i, &c)) {
            *error = "text is not valid UTF-8: \"" + utf8 + "\"";
            return false;
        }
        int found = -1;
        for (int b = 0; b < 256 && found < 0; ++b)
            if (unicodeOf(static_cast<uint8_t>(b), codePage) == c && (c != 0 || b == 0)) found = b;
        if (found < 0) {
            *error = "\"" + utf8 + "\" has a character that code page " + std::to_string(codePage) + " cannot hold";
            return false;
        }
        ansi->push_back(static_cast<char>(found));
    }
    return true;
}

std::string decodeAnsi(const std::string& ansi, uint32_t codePage) {
    std::string out;
    for (char ch : ansi) {
        const uint32_t c = unicodeOf(static_cast<uint8_t>(ch), codePage);
        appendUtf8(&out, (c == 0 && ch != 0) ? 0xFFFD : c);
    }
    return out;
}

bool utf8ToUtf16(const std::string& utf8, std::u16string* utf16, std::string* error) {
    utf16->clear();
    for (size_t i = 0; i < utf8.size();) {
        const size_t start = i;
        uint32_t c = 0;
        // The shortest form only, no surrogates, nothing above U+10FFFF.
        const bool read = nextUtf8(utf8, &i, &c);
        const size_t length = i - start;
        const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!read || c < least[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            *error = "text is not valid UTF-8: \"" + utf8 + "\"";
            return false;
        }
        if (c >= 0x10000) {
            utf16->push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            utf16->push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            utf16->push_back(static_cast<char16_t>(c));
        }
    }
    return true;
}

std::string utf16ToUtf8(const std::u16string& utf16) {
    std::string out;
    for (size_t i = 0; i < utf16.size(); ++i) {
        uint32_t c = utf16[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (utf16[++i] - 0xDC00);
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
            continue;
        }
        appendUtf8(&out, (c >= 0xD800 && c <= 0xDFFF) ? 0xFFFD : c);
    }
    return out;
}
