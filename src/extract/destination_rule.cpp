#include "extract/destination_rule.h"

static bool isSeparator(char c) { return c == '\\' || c == '/'; }

static char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

static bool isDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// True when the first `length` bytes at `a` spell `word` (upper case), ignoring case.
static bool equalsWord(const char* a, uint32_t length, const char* word) {
    uint32_t i = 0;
    for (; i < length && word[i] != '\0'; ++i) {
        if (upperAscii(a[i]) != word[i]) return false;
    }
    return i == length && word[i] == '\0';
}

// COM and LPT take a digit 0-9, or one of the superscripts 1, 2 and 3 that Windows also counts
// as digits there. In code page 1252 those are the bytes B9, B2 and B3; the rule does not know
// the target's code page, so it refuses these bytes whatever letters they stand for elsewhere.
static bool isPortDigit(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return (c >= '0' && c <= '9') || u == 0xB9 || u == 0xB2 || u == 0xB3;
}

// Windows opens a device for these names whatever extension follows them, and with spaces
// between the name and the dot ("nul .txt").
static bool isDeviceName(const char* part, uint32_t length) {
    uint32_t base = 0;
    while (base < length && part[base] != '.') ++base;
    while (base > 0 && part[base - 1] == ' ') --base;
    static const char* const DEVICES[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : DEVICES) {
        if (equalsWord(part, base, device)) return true;
    }
    if (base == 4 && isPortDigit(part[3])) {
        return equalsWord(part, 3, "COM") || equalsWord(part, 3, "LPT");
    }
    // The same superscripts in UTF-8 (C2 B9, C2 B2, C2 B3), for packages whose names are UTF-8.
    if (base == 5 && static_cast<unsigned char>(part[3]) == 0xC2 && static_cast<unsigned char>(part[4]) >= 0x80 &&
        isPortDigit(part[4])) {
        return equalsWord(part, 3, "COM") || equalsWord(part, 3, "LPT");
    }
    return false;
}

static DestinationVerdict checkPart(const char* part, uint32_t length) {
    if (length == 0) return DESTINATION_OK;  // a doubled separator: Windows reads one
    if (length == 2 && part[0] == '.' && part[1] == '.') return DESTINATION_DOT_DOT;
    for (uint32_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(part[i]);
        if (c < 0x20 || c == 0x7F) return DESTINATION_CONTROL_CHARACTER;
    }
    for (uint32_t i = 0; i < length; ++i) {
        if (part[i] == ':') return DESTINATION_COLON;
    }
    if (isDeviceName(part, length)) return DESTINATION_DEVICE_NAME;
    char last = part[length - 1];
    if (last == '.' || last == ' ') return DESTINATION_TRAILING_DOT_OR_SPACE;
    return DESTINATION_OK;
}

DestinationVerdict checkDestination(const char* path, uint32_t length) {
    uint32_t start = 0;
    if (length >= 2 && path[1] == ':') {
        // A drive: only "X:" followed by a separator names a place independent of the
        // drive's current directory.
        if (!isDriveLetter(path[0])) return DESTINATION_BAD_ROOT;
        if (length == 2 || !isSeparator(path[2])) return DESTINATION_DRIVE_RELATIVE;
        start = 3;
    } else if (length >= 2 && path[0] == '\\' && path[1] == '\\') {
        // A share "\\server\share". A server "." or "?" is the device namespace instead.
        start = 2;
        uint32_t end = start;
        while (end < length && !isSeparator(path[end])) ++end;
        if (end - start == 1 && (path[start] == '.' || path[start] == '?')) {
            return DESTINATION_DEVICE_NAMESPACE;
        }
    }
    uint32_t partStart = start;
    for (uint32_t i = start; i <= length; ++i) {
        if (i < length && !isSeparator(path[i])) continue;
        DestinationVerdict verdict = checkPart(path + partStart, i - partStart);
        if (verdict != DESTINATION_OK) return verdict;
        partStart = i + 1;
    }
    return DESTINATION_OK;
}

const char* describeDestinationVerdict(DestinationVerdict verdict) {
    switch (verdict) {
        case DESTINATION_OK: return "acceptable";
        case DESTINATION_DOT_DOT: return "a \"..\" part leaves the directory it names";
        case DESTINATION_DRIVE_RELATIVE: return "a drive without a separator (\"C:name\") is relative to that drive's current directory";
        case DESTINATION_BAD_ROOT: return "a colon in second place needs a drive letter A-Z before it";
        case DESTINATION_COLON: return "a colon after the drive names an alternate data stream";
        case DESTINATION_DEVICE_NAME: return "a part is a reserved device name";
        case DESTINATION_TRAILING_DOT_OR_SPACE: return "a part ends in a dot or a space, which Windows drops";
        case DESTINATION_DEVICE_NAMESPACE: return "\"\\\\.\\\" and \"\\\\?\\\" name devices, not a share";
        case DESTINATION_CONTROL_CHARACTER: return "a part holds a control character";
    }
    return "refused";
}
