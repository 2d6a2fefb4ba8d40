// Conversion between the UTF-8 text of the host (file names, command lines) and the 8-bit
// ANSI code pages that package texts are stored in. The engine hands those bytes to the
// Windows "A" functions unchanged, so the code page must be the one of the target machines.
#pragma once

#include <stdint.h>

#include <string>

// Code pages with a table here: Central European and Western European Windows code pages.
const uint32_t CODE_PAGE_CENTRAL_EUROPEAN = 1250;
const uint32_t CODE_PAGE_WESTERN = 1252;

bool isSupportedCodePage(uint32_t codePage);
bool isAscii(const std::string& text);

// UTF-8 to the code page. ASCII passes unchanged with any code page (0 included); any other
// character needs a supported code page that holds it. False with a message otherwise.
bool encodeAnsi(const std::string& utf8, uint32_t codePage, std::string* ansi, std::string* error);

// The code page's bytes as UTF-8. Bytes the code page leaves undefined become U+FFFD.
std::string decodeAnsi(const std::string& ansi, uint32_t codePage);

// UTF-8 to UTF-16, as the resource formats of Windows store text. False with a message for
// malformed UTF-8 (overlong forms and encoded surrogates included).
bool utf8ToUtf16(const std::string& utf8, std::u16string* utf16, std::string* error);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16ToUtf8(const std::u16string& utf16);
