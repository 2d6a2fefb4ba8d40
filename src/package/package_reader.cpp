// The package readers. Every offset check is done in 64 bits: an item length near 2^32 added
// to an offset must never wrap around to a small number that looks like it fits.
#include "package/package_reader.h"

#include "codec/solid_stream.h"
#include "package/method_ids.h"

// The record sizes that callers put in the size words are the records' sizes in the engine's
// 32-bit build.
#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(PackageHeader) == PACKAGE_HEADER_RECORD_SIZE, "PackageHeader layout");
static_assert(sizeof(FileEntry) == FILE_ENTRY_RECORD_SIZE, "FileEntry layout");
#endif

namespace {

// The format version that this reader understands; the header's first item must carry it.
const uint32_t PACKAGE_VERSION = 0;
// The highest CleanupMode value.
const uint32_t CLEANUP_MODE_LAST = CLEANUP_DETACH;

uint32_t loadLittleEndian32(const uint8_t* bytes)
{
    return (uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8) | ((uint32_t)bytes[2] << 16) |
           ((uint32_t)bytes[3] << 24);
}

// The solid stream that the entries being walked belong to: members and bytes still owed.
struct OpenStream {
    uint32_t membersLeft;
    uint32_t bytesLeft;
};

// Fits `entry` into the run of solid-stream members. An entry with a stream's data opens it
// (only when the last one is complete); its members follow it without a gap, each taking its
// unpacked size from what the stream declares, and the last takes exactly the rest. Entries
// of other methods may come only between streams.
bool followStream(const FileEntry* entry, OpenStream* stream)
{
    if (entry->method != METHOD_LZMA2) {
        return stream->membersLeft == 0;
    }
    if (entry->packedSize != 0) {
        SolidStreamHeader header;
        if (stream->membersLeft != 0 || !readSolidStreamHeader(entry->data, entry->packedSize, &header)) {
            return false;
        }
        stream->membersLeft = header.memberCount;
        stream->bytesLeft = header.unpackedSize;
    }
    if (stream->membersLeft == 0 || entry->unpackedSize > stream->bytesLeft) {
        return false;
    }
    --stream->membersLeft;
    stream->bytesLeft -= entry->unpackedSize;
    return stream->membersLeft != 0 || stream->bytesLeft == 0;
}

}  // namespace

bool readItem(const uint8_t* package, uint32_t size, uint32_t offset, uint32_t* next,
              uint32_t* type, uint32_t* length, const uint8_t** value)
{
    if (package == nullptr) {
        return false;
    }
    // The head must end strictly before the package does: even an item of length 0 needs
    // at least one byte after its head to be taken.
    uint64_t valueOffset = (uint64_t)offset + ITEM_HEAD_SIZE;
    if (valueOffset >= size) {
        return false;
    }
    uint32_t itemType = loadLittleEndian32(package + offset);
    uint32_t itemLength = loadLittleEndian32(package + offset + 4);
    if (itemType == ITEM_INT) {
        if (itemLength != sizeof(uint32_t)) {
            return false;
        }
    } else if (itemType != ITEM_BLOB && itemType != ITEM_STRING) {
        return false;
    }
    uint64_t end = valueOffset + itemLength;
    if (end > size) {
        return false;
    }
    if (next != nullptr) {
        *next = (uint32_t)end;
    }
    if (type != nullptr) {
        *type = itemType;
    }
    if (length != nullptr) {
        *length = itemLength;
    }
    if (value != nullptr) {
        *value = itemLength == 0 ? nullptr : package + valueOffset;
    }
    return true;
}

bool readInt(const uint8_t* package, uint32_t size, uint32_t* cursor, uint32_t* value)
{
    uint32_t type = 0;
    const uint8_t* bytes = nullptr;
    if (!readItem(package, size, *cursor, cursor, &type, nullptr, &bytes)) {
        return false;
    }
    if (type != ITEM_INT) {
        return false;
    }
    if (value != nullptr) {
        *value = loadLittleEndian32(bytes);
    }
    return true;
}

bool readBlob(const uint8_t* package, uint32_t size, uint32_t* cursor, uint32_t* length,
              const uint8_t** value)
{
    uint32_t type = 0;
    uint32_t itemLength = 0;
    const uint8_t* bytes = nullptr;
    if (!readItem(package, size, *cursor, cursor, &type, &itemLength, &bytes)) {
        return false;
    }
    if (type != ITEM_BLOB) {
        return false;
    }
    if (length != nullptr) {
        *length = itemLength;
    }
    if (value != nullptr) {
        *value = bytes;
    }
    return true;
}

bool readString(const uint8_t* package, uint32_t size, uint32_t* cursor, const char** text)
{
    uint32_t type = 0;
    uint32_t itemLength = 0;
    const uint8_t* bytes = nullptr;
    if (!readItem(package, size, *cursor, cursor, &type, &itemLength, &bytes)) {
        return false;
    }
    if (type != ITEM_STRING) {
        return false;
    }
    // Only the terminator is checked: a NUL further in simply ends the text early.
    if (itemLength != 0 && bytes[itemLength - 1] != 0) {
        return false;
    }
    *text = (const char*)bytes;
    return true;
}

bool readHeader(const uint8_t* package, uint32_t size, uint32_t* endOffset,
                PackageHeader* header)
{
    if (header == nullptr || header->recordSize != PACKAGE_HEADER_RECORD_SIZE) {
        return false;
    }
    uint32_t cursor = 0;
    if (!readInt(package, size, &cursor, &header->version) ||
        header->version != PACKAGE_VERSION) {
        return false;
    }
    if (!readString(package, size, &cursor, &header->command)) {
        return false;
    }
    if (!readInt(package, size, &cursor, &header->cleanupMode) ||
        header->cleanupMode > CLEANUP_MODE_LAST) {
        return false;
    }
    bool ok = readInt(package, size, &cursor, &header->fileCount);
    if (endOffset != nullptr) {
        *endOffset = cursor;
    }
    return ok;
}

bool readEntry(const uint8_t* package, uint32_t size, uint32_t offset, uint32_t* next,
               FileEntry* entry)
{
    if (entry == nullptr || entry->recordSize != FILE_ENTRY_RECORD_SIZE) {
        return false;
    }
    uint32_t cursor = offset;
    if (!readString(package, size, &cursor, &entry->name) ||
        !readString(package, size, &cursor, &entry->directory)) {
        return false;
    }
    uint32_t digestLength = 0;
    if (!readBlob(package, size, &cursor, &digestLength, &entry->digest) ||
        digestLength != PACKAGE_DIGEST_SIZE) {
        return false;
    }
    if (!readInt(package, size, &cursor, &entry->unpackedSize) ||
        !readInt(package, size, &cursor, &entry->method) || !isKnownMethod(entry->method)) {
        return false;
    }
    if (!readInt(package, size, &cursor, &entry->packedSize)) {
        return false;
    }
    entry->data = nullptr;
    if (entry->packedSize != 0) {
        // The unpack operations take exactly packedSize bytes from the data: a shorter blob
        // would make them read past it, and a longer one is a package no writer produces.
        uint32_t dataLength = 0;
        if (!readBlob(package, size, &cursor, &dataLength, &entry->data) ||
            dataLength != entry->packedSize) {
            return false;
        }
    }
    if (next != nullptr) {
        *next = cursor;
    }
    return true;
}

bool validatePackage(const uint8_t* package, uint32_t size, PackageHeader* header,
                     uint32_t* totalUnpacked)
{
    if (totalUnpacked != nullptr) {
        *totalUnpacked = 0;
    }
    PackageHeader read = {};
    read.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    uint32_t offset = 0;
    if (!readHeader(package, size, &offset, &read)) {
        return false;
    }
    FileEntry entry = {};
    entry.recordSize = FILE_ENTRY_RECORD_SIZE;
    // The sum wraps around modulo 2^32; it only decides whether a progress window is shown.
    uint32_t total = 0;
    OpenStream stream = {0, 0};
    for (uint32_t index = 0; index < read.fileCount; ++index) {
        if (!readEntry(package, size, offset, &offset, &entry) || !followStream(&entry, &stream)) {
            return false;
        }
        total += entry.unpackedSize;
        if (totalUnpacked != nullptr) {
            *totalUnpacked = total;
        }
    }
    if (offset != size || stream.membersLeft != 0) {
        return false;
    }
    if (header != nullptr) {
        *header = read;
    }
    return true;
}
