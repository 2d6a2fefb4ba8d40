// Test-side package writer: emits the package layout item by item, so that tests can make
// well-formed packages from a description and malformed ones from raw items.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "package/method_ids.h"
#include "package/package_reader.h"

// Raw items, appended in the order of the calls; for packages of any shape, malformed ones
// included.
struct PackageBuilder {
    std::vector<uint8_t> bytes;
    PackageBuilder& integer(uint32_t value);                  // ITEM_INT
    PackageBuilder& blob(const std::vector<uint8_t>& value);  // ITEM_BLOB
    PackageBuilder& text(const std::string& value);           // ITEM_STRING, NUL appended
    PackageBuilder& absent();                                 // ITEM_STRING of length 0
    // Any head: type and length are written as given, followed by exactly `value`.
    PackageBuilder& item(uint32_t type, uint32_t length, const std::vector<uint8_t>& value);
};

// One file of a test package. Unset fields take the values a correct writer would give.
struct TestEntry {
    std::optional<std::string> name;       // nullopt: absent text
    std::optional<std::string> directory;  // nullopt: absent text
    std::vector<uint8_t> content;          // the unpacked content
    uint32_t method = METHOD_STORED;
    std::optional<std::vector<uint8_t>> packed;  // stored bytes; default: content (stored).
                                                 // LZHUF entries must give it.
    std::optional<uint32_t> unpackedSize;        // default content.size()
    std::optional<uint32_t> packedSize;          // default packed.size()
    std::optional<std::vector<uint8_t>> digest;  // default SHA-1 of content
};

struct TestPackage {
    uint32_t version = 0;
    std::optional<std::string> command;  // nullopt: absent
    uint32_t cleanupMode = CLEANUP_TREE;
    std::optional<uint32_t> fileCount;  // default entries.size()
    std::vector<TestEntry> entries;
};

// The package bytes: header, then each entry; the data item is left out exactly when the
// packed size is 0.
std::vector<uint8_t> buildPackage(const TestPackage& package);
// The 20-byte SHA-1 of `bytes`.
std::vector<uint8_t> sha1Digest(const std::vector<uint8_t>& bytes);
