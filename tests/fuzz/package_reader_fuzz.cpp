// Feeds arbitrary bytes to the package readers: the validation pass, then the same walk the
// extraction pass makes, reading every byte that a reference handed out claims to cover so
// that the address sanitizer sees any reference reaching outside the package.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "package/method_ids.h"
#include "package/package_reader.h"

namespace {

volatile uint8_t sink;

void touch(const void* bytes, size_t length)
{
    const uint8_t* cursor = (const uint8_t*)bytes;
    uint8_t folded = 0;
    for (size_t i = 0; i < length; ++i) {
        folded ^= cursor[i];
    }
    sink = folded;
}

void touchText(const char* text)
{
    if (text != nullptr) {
        touch(text, strlen(text) + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Copy into a block of exactly `size` bytes so that one byte too far is caught.
    uint8_t* package = (uint8_t*)malloc(size == 0 ? 1 : size);
    if (size != 0) {
        memcpy(package, data, size);
    }
    uint32_t packageSize = (uint32_t)size;

    PackageHeader validated = {};
    uint32_t total = 0;
    bool valid = validatePackage(package, packageSize, &validated, &total);

    PackageHeader header = {};
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    uint32_t offset = 0;
    uint32_t walkedTotal = 0;
    bool walked = false;
    bool solid = false;
    if (readHeader(package, packageSize, &offset, &header)) {
        touchText(header.command);
        FileEntry entry = {};
        entry.recordSize = FILE_ENTRY_RECORD_SIZE;
        uint32_t index = 0;
        for (; index < header.fileCount; ++index) {
            if (!readEntry(package, packageSize, offset, &offset, &entry)) {
                break;
            }
            solid = solid || entry.method == METHOD_LZMA2;
            touchText(entry.name);
            touchText(entry.directory);
            touch(entry.digest, PACKAGE_DIGEST_SIZE);
            if (entry.packedSize != 0) {
                touch(entry.data, entry.packedSize);
            } else if (entry.data != nullptr) {
                abort();
            }
            walkedTotal += entry.unpackedSize;
        }
        walked = index == header.fileCount && offset == packageSize;
    }
    // Validation accepts nothing the walk refuses. It refuses more only where solid streams
    // are concerned: their headers and the order and sizes of their members are checked by
    // validation alone, as the extraction pass relies on it; elsewhere both walks agree.
    if (valid && !walked) {
        abort();
    }
    if (!valid && walked && !solid) {
        abort();
    }
    if (valid && (total != walkedTotal || validated.fileCount != header.fileCount ||
                  validated.command != header.command ||
                  validated.cleanupMode != header.cleanupMode)) {
        abort();
    }
    free(package);
    return 0;
}
