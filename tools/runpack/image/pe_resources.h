// Reading and rewriting the resources of a Windows executable (PE32 or PE32+) on the host:
// the tool embeds a package into a copy of the engine and reads it back from any file.
// Every function checks every offset it follows, so arbitrary files can be handed to it.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// A resource type or name: an integer id, or a string (stored upper-case in the image).
struct PeResourceId {
    bool isName = false;
    uint16_t id = 0;
    std::u16string name;
};

// One leaf of the resource tree: type / name / language, with its bytes.
struct PeResource {
    PeResourceId type;
    PeResourceId name;
    uint16_t language = 0;
    uint32_t codePage = 0;
    std::vector<uint8_t> data;
    uint64_t offset = 0;  // where the bytes lie in the file read (not used when writing)
    uint32_t size = 0;    // how many
};

// The bytes of an image to read: a vector, or a file mapped into memory.
struct ImageBytes {
    const uint8_t* bytes = nullptr;
    uint64_t length = 0;
    ImageBytes(const std::vector<uint8_t>& v) : bytes(v.data()), length(v.size()) {}
    ImageBytes(const uint8_t* b, uint64_t n) : bytes(b), length(n) {}
    uint64_t size() const { return length; }
    const uint8_t* data() const { return bytes; }
    uint8_t operator[](uint64_t i) const { return bytes[i]; }
};

// The engine's own resource type and the ids of the package, of its SHA-1 digest and of the
// optional run options.
extern const char16_t RUNINFO_TYPE_NAME[];  // u"RUNINFO"
const uint16_t ID_PACKAGE = 102;
const uint16_t ID_PACKAGE_DIGEST = 103;
const uint16_t ID_RUN_OPTIONS = 104;
// Language neutral, system-default sublanguage: where the tool stores these resources.
const uint16_t RUNINFO_LANGUAGE = 0x0800;

// Resource ids made from an integer or from text (text is upper-cased as the loader expects).
PeResourceId peResourceId(uint16_t id);
PeResourceId peResourceName(const std::u16string& name);
bool sameResourceId(const PeResourceId& a, const PeResourceId& b);

// Parses a PE32 or PE32+ image and flattens its resource tree (type, name, language order
// as stored). An image without a resource directory gives an empty list. False with a
// message in `error` when the image or its resource tree is malformed.
// Without `withPackageData`, the package ("RUNINFO" 102) is only located: its `data` stays
// empty, `offset` and `size` say where it is.
bool readPeResources(ImageBytes image, std::vector<PeResource>* resources, std::string* error,
                     bool withPackageData = true);

// Makes a copy of `image` whose resource section holds exactly `resources`, laid out anew
// and sorted as the loader requires (named entries first, by name, then ids ascending, at
// every level). Section sizes, SizeOfImage, SizeOfInitializedData, the resource data
// directory and the checksum are set to match, and identical inputs give identical bytes.
// The resource section must be the last section, or be followed only by a base-relocation
// section (which is then moved behind it); an image without one gets a new last section.
// Bytes after the last section (such as a symbol table) are kept and moved. A certificate
// table is dropped: its signature covers the old bytes and would no longer match.
bool writePeResources(const std::vector<uint8_t>& image, const std::vector<PeResource>& resources,
                      std::vector<uint8_t>* output, std::string* error);

// Where the resource section starts in the file, behind sections whose bytes end at `rawEnd`.
// Wine maps a section from the file only when it starts on a page of the file, and otherwise
// reads all of it into fresh memory when the process starts (a stored package of 69.7 MB:
// 0.62 s and 19,130 page faults, against 0.37 s and 2,630 on a page). So the section starts on
// the next page when the bytes left empty before it are at most one in RESOURCE_PAGE of its
// `sectionSize`, always from 16 MiB, and otherwise at the next `fileAlignment`: a small
// package is not made 4 KiB larger for a few milliseconds of start under Wine.
const uint64_t RESOURCE_PAGE = 4096;
const uint64_t RESOURCES_ALWAYS_ON_A_PAGE = RESOURCE_PAGE * RESOURCE_PAGE;
uint64_t resourceSectionStart(uint64_t rawEnd, uint32_t fileAlignment, uint64_t sectionSize);

// writePeResources for an image whose one large resource is written apart, piece by piece:
// resource `holeResource` has `size` bytes and no `data`. `bytes` is the image without them;
// they go at `holeOffset` in the file. `dataOffsets[i]` is where resource i's data lies in the
// file; the checksum, at `checksumOffset`, is left as zero for the writer to fill in. The file
// is byte for byte what writePeResources makes with the data in place.
struct ImageAroundHole {
    std::vector<uint8_t> bytes;
    uint64_t holeOffset = 0;
    uint64_t holeSize = 0;
    std::vector<uint64_t> dataOffsets;
    uint32_t checksumOffset = 0;
};
bool writePeResourcesAround(const std::vector<uint8_t>& image, const std::vector<PeResource>& resources,
                            size_t holeResource, ImageAroundHole* out, std::string* error);

// The PE checksum, from the file's bytes handed in order in any pieces (the checksum field as
// zeros): what computePeChecksum gives for the whole file.
class PeChecksum {
public:
    void add(const uint8_t* bytes, size_t count);
    // Counts `later`'s bytes as following this one's, whose length must be even.
    void append(const PeChecksum& later);
    uint32_t finish() const;

private:
    uint64_t sum_ = 0;   // the 16-bit words added up, folded at the end
    int pending_ = -1;   // the low byte of a word whose high byte is still to come
    uint64_t length_ = 0;
};

// Copy of `engine` with the package ("RUNINFO" 102), its digest ("RUNINFO" 103) and the run
// options ("RUNINFO" 104) stored under RUNINFO_LANGUAGE. A null pointer leaves that resource
// out: an existing one, in any language, is removed either way. Every other resource stays as
// it was.
bool embedRunInfo(const std::vector<uint8_t>& engine, const std::vector<uint8_t>* package,
                  const std::vector<uint8_t>* digest, std::vector<uint8_t>* output,
                  std::string* error, const std::vector<uint8_t>* runOptions = nullptr);

// Finds "RUNINFO" 102, 103 and, when asked for, 104 in any language. `hasPackage`,
// `hasDigest` and `hasRunOptions` tell whether each exists; the byte outputs are cleared when
// it does not. False only for a malformed image.
bool readRunInfo(const std::vector<uint8_t>& image, std::vector<uint8_t>* package,
                 bool* hasPackage, std::vector<uint8_t>* digest, bool* hasDigest,
                 std::string* error, std::vector<uint8_t>* runOptions = nullptr,
                 bool* hasRunOptions = nullptr);

// Where the package lies in an image, and the small resources beside it, read without
// copying the package. `resources` (optional) receives every resource as readPeResources
// gives them without the package's bytes.
struct RunInfoLocation {
    bool hasPackage = false;
    uint64_t packageOffset = 0;
    uint32_t packageSize = 0;
    bool hasDigest = false;
    std::vector<uint8_t> digest;
    bool hasRunOptions = false;
    std::vector<uint8_t> runOptions;
};
bool locateRunInfo(ImageBytes image, RunInfoLocation* where, std::string* error,
                   std::vector<PeResource>* resources = nullptr);

// Machine type values found in the file header.
const uint16_t PE_MACHINE_I386 = 0x014C;
const uint16_t PE_MACHINE_AMD64 = 0x8664;
// Subsystem values of the optional header.
const uint16_t PE_SUBSYSTEM_GUI = 2;
const uint16_t PE_SUBSYSTEM_CONSOLE = 3;

// Facts about an image for checks: the header fields, the DLLs named in its import
// directory (in table order), the stored checksum and the one computed over the file.
struct PeFacts {
    uint16_t machine = 0;
    bool pe32Plus = false;
    uint16_t subsystem = 0;
    std::vector<std::string> importedDlls;
    uint32_t checksum = 0;
    uint32_t computedChecksum = 0;
};
bool readPeFacts(const std::vector<uint8_t>& image, PeFacts* facts, std::string* error);

// The PE checksum of `image`: 16-bit one's-complement sum of the file with the checksum
// field itself counted as zero, plus the file length. `checksumOffset` is the field's offset.
uint32_t computePeChecksum(const std::vector<uint8_t>& image, uint32_t checksumOffset);

// Whole-file reading and writing in binary mode; paths are UTF-8. False with a message
// naming the path. readFile refuses files of 4 GiB or more, which no image can be.
bool readFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);
bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);
