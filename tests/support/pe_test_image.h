// Small synthetic Windows executables for tests: headers, a code section, an import table,
// a resource section laid out by this helper's own simple encoder, and optional extras
// (a trailing .reloc section, appended symbols, a certificate table).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct TestResource {
    std::u16string typeName;  // empty: integer type
    uint16_t typeId = 0;
    std::u16string name;      // empty: integer name
    uint16_t nameId = 0;
    uint16_t language = 0;
    uint32_t codePage = 0;
    std::vector<uint8_t> data;
};

struct TestImageOptions {
    bool pe32Plus = false;
    bool withResources = true;
    // Must already be in the loader's order (named first by name, then ids ascending).
    std::vector<TestResource> resources;
    bool withReloc = false;
    std::vector<uint8_t> symbols;      // appended after the sections, pointed to by the header
    std::vector<uint8_t> certificate;  // appended last, named by the certificate directory
    std::vector<std::string> importedDlls = {"KERNEL32.dll", "USER32.dll"};
};

// Field offsets of the images this helper makes.
const uint32_t TEST_PE_OFFSET = 0x80;
const uint32_t TEST_FILE_HEADER = TEST_PE_OFFSET + 4;
const uint32_t TEST_OPTIONAL_HEADER = TEST_FILE_HEADER + 20;
const uint32_t TEST_FILE_ALIGNMENT = 0x200;
const uint32_t TEST_SECTION_ALIGNMENT = 0x1000;

std::vector<uint8_t> makeTestImage(const TestImageOptions& options);

// A resource list with a dialog, a string block in two languages, a named type and a name.
std::vector<TestResource> sampleTestResources();

// Independent reading helpers for assertions.
uint16_t testGet16(const std::vector<uint8_t>& b, uint64_t off);
uint32_t testGet32(const std::vector<uint8_t>& b, uint64_t off);
// The PE checksum computed the plain way: 32-bit sum of 16-bit words, folded at the end.
uint32_t testPeChecksum(const std::vector<uint8_t>& image);

struct TestSection {
    std::string name;
    uint32_t virtualSize, virtualAddress, rawSize, rawPointer, characteristics;
};
std::vector<TestSection> testSections(const std::vector<uint8_t>& image);
// Offset of the data directories and of the checksum in `image`.
uint32_t testDirectoriesOffset(const std::vector<uint8_t>& image);
uint32_t testChecksumOffset();
