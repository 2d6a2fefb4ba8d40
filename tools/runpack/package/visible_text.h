// Texts from a package (command, names, directories, destinations, version strings) shown
// as they are: every character that could move the cursor, erase what was printed, ring the
// bell or reorder what follows on a terminal becomes a visible escape, so that what the tool
// prints is what the engine will use.
#pragma once

#include <string>

// The characters made visible: C0 controls (U+0000-U+001F), DEL, C1 controls
// (U+0080-U+009F), the bidirectional controls (U+061C, U+200E, U+200F, U+202A-U+202E,
// U+2066-U+2069) and the line and paragraph separators U+2028 and U+2029.
bool isControlCodePoint(char32_t c);

// The characters that render as nothing: format characters (general category Cf: U+00AD,
// U+200B-U+200F, U+2060-U+2064, U+FEFF, ...) and the other default-ignorable code points
// (U+034F, U+115F, U+3164, U+FE00-U+FE0F, U+E0000-U+E0FFF, ...), from the Unicode data.
// "set\u200Bup.exe" looks like "setup.exe" wherever it is shown raw.
bool isInvisibleCodePoint(char32_t c);

// `utf8` with each control and invisible character as an escape: "\xNN" below U+0080 (ESC is
// "\x1B"), "\uNNNN" above, "\UNNNNNNNN" beyond U+FFFF; bytes that are not UTF-8 as "\xNN" too. With `asciiOnly`, every other
// character above U+007F is written as "\uNNNN" as well. Backslashes stay as they are: they
// are the separators of the paths shown.
std::string visibleText(const std::string& utf8, bool asciiOnly = false);

// True, with the first such character as an escape in `which` (optional), when `utf8`
// holds a control character. Bytes that are not UTF-8 are not looked at: whoever converts
// the text refuses them.
bool findControlCharacter(const std::string& utf8, std::string* which = nullptr);

// The same for an invisible character.
bool findInvisibleCharacter(const std::string& utf8, std::string* which = nullptr);

// A JSON text as a JSON writer gives it (valid UTF-8, control characters below U+0020
// already escaped), with the other control characters and the invisible ones escaped as
// "\u007F", "\u202E", "\u200b", ... too (beyond U+FFFF as a surrogate pair, "\udb40\udc01").
// They can only stand inside strings, so the result is the same JSON: every value stays exact.
std::string escapeJsonControls(const std::string& json);
