// The package format and its readers. A package is a gapless sequence of items
// (type u32, length u32, value), all integers unsigned 32-bit little-endian: a header of
// four items, then one entry of six or seven items per file, then the end of the package.
// The readers work in place on a read-only view; they never copy, allocate or write.
#pragma once

#include <stdint.h>

// Item types.
const uint32_t ITEM_INT = 1;     // length exactly 4: an unsigned 32-bit integer
const uint32_t ITEM_BLOB = 2;    // any length, 0 included: raw bytes
const uint32_t ITEM_STRING = 3;  // length 0: absent text; otherwise ANSI text ending in NUL

const uint32_t ITEM_HEAD_SIZE = 8;

// The values of the header's cleanup-mode item.
enum CleanupMode : uint32_t {
    CLEANUP_JOURNAL = 0,  // wait for the command, drain the journal
    CLEANUP_TREE = 1,     // wait, drain, then remove the working directory tree
    CLEANUP_DETACH = 2,   // neither wait nor clean up
};

const uint32_t PACKAGE_DIGEST_SIZE = 20;  // SHA-1 of an entry's content, and of the package

// Record sizes in the 32-bit layout; every reader refuses a record carrying another value.
const uint32_t PACKAGE_HEADER_RECORD_SIZE = 20;
const uint32_t FILE_ENTRY_RECORD_SIZE = 32;

// The header, items H1..H4. Texts point into the package; absent text is null.
struct PackageHeader {
    uint32_t recordSize;   // PACKAGE_HEADER_RECORD_SIZE, set by the caller
    uint32_t version;      // must be 0
    const char* command;   // null when absent; "" when empty
    uint32_t cleanupMode;  // a CleanupMode value
    uint32_t fileCount;
};

// One entry, items E1..E7. References point into the package.
struct FileEntry {
    uint32_t recordSize;      // FILE_ENTRY_RECORD_SIZE, set by the caller
    const char* name;         // null when absent
    const char* directory;    // null when absent; absent or empty means none
    const uint8_t* digest;    // PACKAGE_DIGEST_SIZE bytes: SHA-1 of the unpacked content
    uint32_t unpackedSize;
    uint32_t method;          // a storage-method id
    uint32_t packedSize;
    const uint8_t* data;      // packedSize bytes; null when packedSize is 0
};

// Reads the item at `offset`. Its 8-byte head must end strictly before `size` and its value
// must lie wholly inside the package. The outputs are optional and written only on success:
// `next` = offset + 8 + length, `value` = null when the length is 0.
bool readItem(const uint8_t* package, uint32_t size, uint32_t offset, uint32_t* next,
              uint32_t* type, uint32_t* length, const uint8_t** value);

// Typed readers: the item at *cursor must have the expected type. On success the cursor
// moves behind the item; after a failure its value is unspecified.
bool readInt(const uint8_t* package, uint32_t size, uint32_t* cursor, uint32_t* value);
bool readBlob(const uint8_t* package, uint32_t size, uint32_t* cursor, uint32_t* length,
              const uint8_t** value);
bool readString(const uint8_t* package, uint32_t size, uint32_t* cursor, const char** text);

// Reads the header from offset 0. `endOffset` (optional) receives the offset behind H4.
bool readHeader(const uint8_t* package, uint32_t size, uint32_t* endOffset,
                PackageHeader* header);

// Reads the entry at `offset`. `next` (optional) receives the offset behind its last item.
bool readEntry(const uint8_t* package, uint32_t size, uint32_t offset, uint32_t* next,
               FileEntry* entry);

// The validation pass: header, every entry, and nothing after the last one. The members of
// each solid stream follow one another, its header and chunk heads are sound, and their
// unpacked sizes add up to what it declares. `header`
// (optional) receives the header on success; `totalUnpacked` (optional) the sum of the
// entries' unpacked sizes, modulo 2^32.
bool validatePackage(const uint8_t* package, uint32_t size, PackageHeader* header,
                     uint32_t* totalUnpacked);
