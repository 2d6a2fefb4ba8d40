#include "package/run_options.h"

#include <stdlib.h>
#include <string.h>

#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(RunOptions) == RUN_OPTIONS_RECORD_SIZE, "RunOptions layout");
#endif

namespace {

uint32_t loadLittleEndian32(const uint8_t* bytes) {
    return (uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8) | ((uint32_t)bytes[2] << 16) |
           ((uint32_t)bytes[3] << 24);
}

// The C runtime's blanks between a program name and its arguments: every control character
// and the space. Bytes from 0x80 on are characters of the code page.
bool isArgumentBlank(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u != 0 && u <= ' ';
}

}  // namespace

bool readRunOptions(const uint8_t* bytes, uint32_t size, RunOptions* options) {
    if (bytes == nullptr || size != RUN_OPTIONS_RECORD_SIZE) return false;
    uint32_t recordSize = loadLittleEndian32(bytes);
    uint32_t flags = loadLittleEndian32(bytes + 4);
    if (recordSize != RUN_OPTIONS_RECORD_SIZE || (flags & ~RUN_KNOWN_FLAGS) != 0) return false;
    options->recordSize = recordSize;
    options->flags = flags;
    return true;
}

const char* commandArguments(const char* commandLine) {
    const char* at = commandLine;
    if (*at == '"') {
        ++at;
        while (*at != '\0' && *at != '"') ++at;
        if (*at == '"') ++at;
    } else {
        while (*at != '\0' && !isArgumentBlank(*at)) ++at;
    }
    while (isArgumentBlank(*at)) ++at;
    return at;
}

CommandLineStatus composeCommandLine(const char* command, const char* arguments, char** line) {
    *line = nullptr;
    size_t commandLength = strlen(command);
    size_t argumentsLength = arguments != nullptr ? strlen(arguments) : 0;
    size_t size = commandLength + 1;
    if (argumentsLength > 0) {
        // Each part is checked alone first, so that the sum cannot wrap.
        if (commandLength >= COMMAND_LINE_LIMIT || argumentsLength >= COMMAND_LINE_LIMIT ||
            commandLength + 1 + argumentsLength + 1 > COMMAND_LINE_LIMIT) {
            return COMMAND_LINE_TOO_LONG;
        }
        size += 1 + argumentsLength;
    }
    char* composed = static_cast<char*>(malloc(size));
    if (composed == nullptr) return COMMAND_LINE_NO_MEMORY;
    memcpy(composed, command, commandLength);
    if (argumentsLength > 0) {
        composed[commandLength] = ' ';
        memcpy(composed + commandLength + 1, arguments, argumentsLength);
    }
    composed[size - 1] = '\0';
    *line = composed;
    return COMMAND_LINE_COMPOSED;
}
