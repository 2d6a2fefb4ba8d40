// The run options: an optional record ("RUNINFO" 104) beside the package that changes how a
// run meets its caller: whether the engine's own arguments reach the command, whose exit code
// the process ends with, and whether failures are shown in a box or written to a console.
// Without the record every flag is clear. Also the text handling that forwarding needs, for
// the code page's text and for Unicode, in which the engine forwards.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

// The record, all integers unsigned 32-bit little-endian: recordSize, then flags.
const uint32_t RUN_OPTIONS_RECORD_SIZE = 8;

// Flags. Every other bit must be clear: a record that sets one comes from a newer builder
// whose meaning this engine does not know, and is refused.
const uint32_t RUN_FORWARD_ARGUMENTS = 1u << 0;  // the engine's arguments follow the command
const uint32_t RUN_EXIT_CODE_COMMAND = 1u << 1;  // a waited-for command's exit code is the run's
const uint32_t RUN_UNATTENDED = 1u << 2;         // no window; failures go to a console
const uint32_t RUN_UTF8_NAMES = 1u << 3;         // names, directories and command are UTF-8
const uint32_t RUN_KNOWN_FLAGS = RUN_FORWARD_ARGUMENTS | RUN_EXIT_CODE_COMMAND | RUN_UNATTENDED | RUN_UTF8_NAMES;

struct RunOptions {
    uint32_t recordSize;  // RUN_OPTIONS_RECORD_SIZE
    uint32_t flags;
};

// Reads the record from the `size` bytes at `bytes`. True only when there are exactly
// RUN_OPTIONS_RECORD_SIZE bytes, the size word says so and no unknown flag is set; `options`
// is written only then.
bool readRunOptions(const uint8_t* bytes, uint32_t size, RunOptions* options);

// The C runtime's blanks between a program name and its arguments: every control character
// and the space. A code page's bytes from 0x80 on, negative as `char`, are characters.
template <typename Char>
bool isCommandLineBlank(Char c) {
    return c != Char(0) && static_cast<uint32_t>(c) <= ' ';
}

template <typename Char>
size_t textLength(const Char* text) {
    size_t length = 0;
    while (text[length] != Char(0)) ++length;
    return length;
}

// The longest command line a process can be started with, in characters, terminator included.
const size_t COMMAND_LINE_LIMIT = 32767;

// The arguments in a process's full command line: what follows the program name and the
// blanks (any character from 1 to 32) behind it. The name is split off as the C runtime's
// start-up code does: a quoted name runs to its closing quote (or the end), any other up to
// the first blank. Points into `commandLine`; "" when there are no arguments. For the code
// page's text and for Unicode alike.
template <typename Char>
const Char* commandArguments(const Char* commandLine) {
    const Char* at = commandLine;
    if (*at == Char('"')) {
        ++at;
        while (*at != Char(0) && *at != Char('"')) ++at;
        if (*at == Char('"')) ++at;
    } else {
        while (*at != Char(0) && !isCommandLineBlank(*at)) ++at;
    }
    while (isCommandLineBlank(*at)) ++at;
    return at;
}

enum CommandLineStatus {
    COMMAND_LINE_COMPOSED,
    COMMAND_LINE_TOO_LONG,   // with its terminator over COMMAND_LINE_LIMIT characters
    COMMAND_LINE_NO_MEMORY,
};

// A new, writable command line (free it with free()): `command`, then, when `arguments` is
// not empty, one space and `arguments`, both unchanged. With arguments the result must fit
// COMMAND_LINE_LIMIT; a command alone is copied whatever its length, as it always was.
// `line` is null unless the result is COMMAND_LINE_COMPOSED.
template <typename Char>
CommandLineStatus composeCommandLine(const Char* command, const Char* arguments, Char** line) {
    *line = nullptr;
    size_t commandLength = textLength(command);
    size_t argumentsLength = arguments != nullptr ? textLength(arguments) : 0;
    size_t size = commandLength + 1;
    if (argumentsLength > 0) {
        // Each part is checked alone first, so that the sum cannot wrap.
        if (commandLength >= COMMAND_LINE_LIMIT || argumentsLength >= COMMAND_LINE_LIMIT ||
            commandLength + 1 + argumentsLength + 1 > COMMAND_LINE_LIMIT) {
            return COMMAND_LINE_TOO_LONG;
        }
        size += 1 + argumentsLength;
    }
    Char* composed = static_cast<Char*>(malloc(size * sizeof(Char)));
    if (composed == nullptr) return COMMAND_LINE_NO_MEMORY;
    memcpy(composed, command, commandLength * sizeof(Char));
    if (argumentsLength > 0) {
        composed[commandLength] = Char(' ');
        memcpy(composed + commandLength + 1, arguments, argumentsLength * sizeof(Char));
    }
    composed[size - 1] = Char(0);
    *line = composed;
    return COMMAND_LINE_COMPOSED;
}

// ASCII letters in lower case; every other character as it is.
template <typename Char>
uint32_t lowerAscii(Char c) {
    uint32_t code = static_cast<uint32_t>(c);
    if (sizeof(Char) == 1) code &= 0xFF;
    return code >= 'A' && code <= 'Z' ? code + ('a' - 'A') : code;
}

// Whether `length` characters at `text` are `word` (lower-case ASCII) in any case.
template <typename Char>
bool equalsIgnoringCase(const Char* text, size_t length, const char* word) {
    size_t i = 0;
    for (; i < length; ++i) {
        if (word[i] == '\0' || lowerAscii(text[i]) != static_cast<uint32_t>(word[i])) return false;
    }
    return word[i] == '\0';
}

// Whether the first of `arguments` (as commandArguments gives them) is `word` (lower-case
// ASCII) once the C runtime's quoting is read: quotes anywhere in it are dropped, and it ends
// at a blank outside quotes. Letters match in any case. An argument with a backslash never
// matches: `word` has none, and the runtime turns backslashes before a quote into backslashes
// or a literal quote, never into nothing. Blanks are every control character and the space,
// which takes in more spellings than the runtime itself would.
template <typename Char>
bool firstArgumentIs(const Char* arguments, const char* word) {
    size_t matched = 0;
    bool quoted = false;
    for (const Char* at = arguments; *at != Char(0); ++at) {
        if (*at == Char('"')) {
            quoted = !quoted;
            continue;
        }
        if (!quoted && isCommandLineBlank(*at)) break;
        if (word[matched] == '\0' || lowerAscii(*at) != static_cast<uint32_t>(word[matched])) return false;
        ++matched;
    }
    return word[matched] == '\0';
}

// The program name at the start of `commandLine`, as the engine reads it: after any leading
// spaces and tabs, a quoted name up to its closing quote (or the end), otherwise everything up
// to the first space or tab. `*start` and `*length` say where it is.
template <typename Char>
void commandProgram(const Char* commandLine, size_t* start, size_t* length) {
    size_t at = 0;
    while (commandLine[at] == Char(' ') || commandLine[at] == Char('\t')) ++at;
    size_t end;
    if (commandLine[at] == Char('"')) {
        ++at;
        end = at;
        while (commandLine[end] != Char(0) && commandLine[end] != Char('"')) ++end;
    } else {
        end = at;
        while (commandLine[end] != Char(0) && commandLine[end] != Char(' ') && commandLine[end] != Char('\t')) ++end;
    }
    *start = at;
    *length = end - at;
}

// Whether the program `name` (`length` characters: a bare file name or a path) hands its
// command line to a command interpreter, which reads `&`, `|`, `%VAR%` and the like in it as
// commands of their own: `cmd.exe` and `command.com` themselves, and `.bat` and `.cmd` files,
// which the system starts through `cmd.exe`. Only the last part of a path counts, without a
// stream name (`x.bat::$DATA`) and without the trailing dots and spaces that the system drops
// from a name; a part without a dot is taken with ".exe", as the engine looks for it. Letters
// in any case.
template <typename Char>
bool isCommandInterpreter(const Char* name, size_t length) {
    size_t first = 0;
    for (size_t i = 0; i < length; ++i) {
        if (name[i] == Char('\\') || name[i] == Char('/')) first = i + 1;
    }
    // A drive of a name without a separator ("C:cmd.exe"), then a stream name.
    if (first == 0 && length >= 2 && name[1] == Char(':')) first = 2;
    size_t end = first;
    while (end < length && name[end] != Char(':')) ++end;
    while (end > first && (name[end - 1] == Char('.') || name[end - 1] == Char(' '))) --end;
    const Char* part = name + first;
    size_t partLength = end - first;
    bool hasDot = false;
    for (size_t i = 0; i < partLength; ++i) hasDot = hasDot || part[i] == Char('.');
    if (!hasDot) return equalsIgnoringCase(part, partLength, "cmd");
    if (equalsIgnoringCase(part, partLength, "cmd.exe") || equalsIgnoringCase(part, partLength, "command.com")) {
        return true;
    }
    return partLength >= 4 && (equalsIgnoringCase(part + partLength - 4, 4, ".bat") ||
                              equalsIgnoringCase(part + partLength - 4, 4, ".cmd"));
}
