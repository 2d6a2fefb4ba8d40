// Reading and rewriting the resources of a Windows executable. The layout of the headers:
// a DOS header whose field at 0x3C holds the offset of "PE\0\0", the 20-byte file header,
// the optional header (PE32 or PE32+, told apart by its magic) ending in the data
// directories, then the section table of 40-byte records. The resource tree is three levels
// of directories (type, name, language) whose leaves are 16-byte data entries that point to
// the bytes by RVA; directory and string offsets inside the tree are relative to its start.
#include "runpack/image/pe_resources.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

const char16_t RUNINFO_TYPE_NAME[] = u"RUNINFO";

namespace {

const uint16_t DOS_MAGIC = 0x5A4D;            // "MZ"
const uint32_t DOS_PE_OFFSET_FIELD = 0x3C;    // e_lfanew
const uint32_t PE_SIGNATURE = 0x00004550;     // "PE\0\0"
const uint32_t FILE_HEADER_SIZE = 20;
const uint16_t OPTIONAL_MAGIC_PE32 = 0x10B;
const uint16_t OPTIONAL_MAGIC_PE32_PLUS = 0x20B;
const uint32_t SECTION_HEADER_SIZE = 40;

// File header fields, from the start of the file header.
const uint32_t FH_MACHINE = 0;
const uint32_t FH_SECTION_COUNT = 2;
const uint32_t FH_SYMBOL_TABLE = 8;
const uint32_t FH_OPTIONAL_SIZE = 16;

// Optional header fields, from its start; the same in both forms up to the subsystem.
const uint32_t OH_INITIALIZED_DATA_SIZE = 8;
const uint32_t OH_SECTION_ALIGNMENT = 32;
const uint32_t OH_FILE_ALIGNMENT = 36;
const uint32_t OH_IMAGE_SIZE = 56;
const uint32_t OH_HEADERS_SIZE = 60;
const uint32_t OH_CHECKSUM = 64;
const uint32_t OH_SUBSYSTEM = 68;
const uint32_t OH_DIRECTORY_COUNT_PE32 = 92;
const uint32_t OH_DIRECTORIES_PE32 = 96;
const uint32_t OH_DIRECTORY_COUNT_PE32_PLUS = 108;
const uint32_t OH_DIRECTORIES_PE32_PLUS = 112;

// Data directory slots used here. The certificate slot holds a file offset, not an RVA.
const uint32_t DIRECTORY_IMPORT = 1;
const uint32_t DIRECTORY_RESOURCE = 2;
const uint32_t DIRECTORY_CERTIFICATE = 4;
const uint32_t DIRECTORY_BASE_RELOCATION = 5;
const uint32_t DIRECTORY_ENTRY_SIZE = 8;

// Section header fields.
const uint32_t SH_VIRTUAL_SIZE = 8;
const uint32_t SH_VIRTUAL_ADDRESS = 12;
const uint32_t SH_RAW_SIZE = 16;
const uint32_t SH_RAW_POINTER = 20;
const uint32_t SH_CHARACTERISTICS = 36;
const uint32_t SECTION_INITIALIZED_DATA = 0x00000040;
const uint32_t SECTION_MEMORY_READ = 0x40000000;

// Resource tree records. In a directory entry the high bit of the name word marks a string
// offset, and the high bit of the data word marks a subdirectory (else a data entry).
const uint32_t RESOURCE_DIRECTORY_SIZE = 16;
const uint32_t RESOURCE_ENTRY_SIZE = 8;
const uint32_t RESOURCE_DATA_ENTRY_SIZE = 16;
const uint32_t RESOURCE_HIGH_BIT = 0x80000000u;
const uint32_t RESOURCE_NAMED_COUNT = 12;
const uint32_t RESOURCE_ID_COUNT = 14;
const uint32_t RESOURCE_LEVELS = 3;  // type, name, language
// Resource bytes start on this boundary; some loaders (dialog templates) depend on it.
const uint32_t RESOURCE_DATA_ALIGNMENT = 8;
// Bounds on the work a hostile tree can ask for. Subdirectories and names may be shared, so
// a small tree can name a huge number of leaves: the walk visits at most as many entries as
// the file could hold without sharing (one per 8 bytes), and gathers at most as many bytes
// of data, and of names, as the file holds.
const uint64_t RESOURCE_VISIT_LIMIT = 1u << 20;

const uint32_t IMPORT_DESCRIPTOR_SIZE = 20;
const uint32_t IMPORT_NAME_FIELD = 12;
const uint32_t IMPORT_DESCRIPTOR_LIMIT = 4096;
const uint32_t IMPORT_NAME_LIMIT = 512;

const uint32_t MAX_ALIGNMENT = 0x10000;

uint16_t get16(ImageBytes b, uint64_t off) {
    return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}
uint32_t get32(ImageBytes b, uint64_t off) {
    return static_cast<uint32_t>(b[off]) | (static_cast<uint32_t>(b[off + 1]) << 8) |
           (static_cast<uint32_t>(b[off + 2]) << 16) | (static_cast<uint32_t>(b[off + 3]) << 24);
}
void put16(std::vector<uint8_t>* b, uint64_t off, uint16_t v) {
    (*b)[off] = static_cast<uint8_t>(v);
    (*b)[off + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(std::vector<uint8_t>* b, uint64_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*b)[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

bool fail(std::string* error, const std::string& message) {
    if (error) *error = message;
    return false;
}

uint64_t alignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

bool isPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

struct Section {
    uint32_t virtualSize = 0;
    uint32_t virtualAddress = 0;
    uint32_t rawSize = 0;
    uint32_t rawPointer = 0;
    uint32_t characteristics = 0;
    uint8_t header[SECTION_HEADER_SIZE] = {};  // the record as found, names included

    // Size in memory: the virtual size, or the raw size when a linker left it zero.
    uint64_t memorySize() const { return virtualSize ? virtualSize : rawSize; }
};

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

// What the header walk finds; offsets are file offsets.
struct PeLayout {
    uint32_t fileHeader = 0;
    uint32_t optionalHeader = 0;
    uint16_t machine = 0;
    bool pe32Plus = false;
    uint16_t subsystem = 0;
    uint32_t sectionAlignment = 0;
    uint32_t fileAlignment = 0;
    uint32_t headersSize = 0;
    uint32_t checksumOffset = 0;
    uint32_t directoriesOffset = 0;
    uint32_t directoryCount = 0;  // slots present in the optional header
    uint32_t sectionTable = 0;
    std::vector<Section> sections;

    DataDirectory directory(ImageBytes image, uint32_t slot) const {
        DataDirectory d;
        if (slot < directoryCount) {
            d.rva = get32(image, directoriesOffset + slot * DIRECTORY_ENTRY_SIZE);
            d.size = get32(image, directoriesOffset + slot * DIRECTORY_ENTRY_SIZE + 4);
        }
        return d;
    }
};

bool parseLayout(ImageBytes image, PeLayout* pe, std::string* error) {
    const uint64_t size = image.size();
    if (size < DOS_PE_OFFSET_FIELD + 4 || get16(image, 0) != DOS_MAGIC)
        return fail(error, "not an executable: no MZ header");
    const uint64_t peOffset = get32(image, DOS_PE_OFFSET_FIELD);
    if (peOffset + 4 + FILE_HEADER_SIZE > size)
        return fail(error, "not a PE image: header offset beyond the end of the file");
    if (get32(image, peOffset) != PE_SIGNATURE) return fail(error, "not a PE image: no PE signature");
    pe->fileHeader = static_cast<uint32_t>(peOffset + 4);
    pe->machine = get16(image, pe->fileHeader + FH_MACHINE);
    const uint32_t sectionCount = get16(image, pe->fileHeader + FH_SECTION_COUNT);
    const uint32_t optionalSize = get16(image, pe->fileHeader + FH_OPTIONAL_SIZE);
    pe->optionalHeader = pe->fileHeader + FILE_HEADER_SIZE;
    if (pe->optionalHeader + static_cast<uint64_t>(optionalSize) > size)
        return fail(error, "truncated PE image: optional header beyond the end of the file");
    if (optionalSize < 2) return fail(error, "malformed PE image: no optional header");
    const uint16_t magic = get16(image, pe->optionalHeader);
    uint32_t countField = 0;
    if (magic == OPTIONAL_MAGIC_PE32) {
        pe->pe32Plus = false;
        countField = OH_DIRECTORY_COUNT_PE32;
        pe->directoriesOffset = OH_DIRECTORIES_PE32;
    } else if (magic == OPTIONAL_MAGIC_PE32_PLUS) {
        pe->pe32Plus = true;
        countField = OH_DIRECTORY_COUNT_PE32_PLUS;
        pe->directoriesOffset = OH_DIRECTORIES_PE32_PLUS;
    } else {
        return fail(error, "malformed PE image: unknown optional header magic");
    }
    if (optionalSize < pe->directoriesOffset)
        return fail(error, "malformed PE image: optional header too short");
    pe->sectionAlignment = get32(image, pe->optionalHeader + OH_SECTION_ALIGNMENT);
    pe->fileAlignment = get32(image, pe->optionalHeader + OH_FILE_ALIGNMENT);
    pe->headersSize = get32(image, pe->optionalHeader + OH_HEADERS_SIZE);
    pe->checksumOffset = pe->optionalHeader + OH_CHECKSUM;
    pe->subsystem = get16(image, pe->optionalHeader + OH_SUBSYSTEM);
    const uint32_t slotsRoom = (optionalSize - pe->directoriesOffset) / DIRECTORY_ENTRY_SIZE;
    pe->directoryCount = std::min(get32(image, pe->optionalHeader + countField), slotsRoom);
    pe->directoriesOffset += pe->optionalHeader;
    pe->sectionTable = pe->optionalHeader + optionalSize;
    const uint64_t sectionTableEnd = pe->sectionTable + static_cast<uint64_t>(sectionCount) * SECTION_HEADER_SIZE;
    if (sectionTableEnd > size)
        return fail(error, "truncated PE image: section table beyond the end of the file");
    // The headers (everything up to SizeOfHeaders) hold the section table and lie in the file.
    if (pe->headersSize < sectionTableEnd)
        return fail(error, "malformed PE image: SizeOfHeaders does not cover the section table");
    if (pe->headersSize > size)
        return fail(error, "truncated PE image: SizeOfHeaders beyond the end of the file");
    pe->sections.resize(sectionCount);
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint32_t at = pe->sectionTable + i * SECTION_HEADER_SIZE;
        Section& s = pe->sections[i];
        memcpy(s.header, image.data() + at, SECTION_HEADER_SIZE);
        s.virtualSize = get32(image, at + SH_VIRTUAL_SIZE);
        s.virtualAddress = get32(image, at + SH_VIRTUAL_ADDRESS);
        s.rawSize = get32(image, at + SH_RAW_SIZE);
        s.rawPointer = get32(image, at + SH_RAW_POINTER);
        s.characteristics = get32(image, at + SH_CHARACTERISTICS);
        if (s.rawSize != 0 && static_cast<uint64_t>(s.rawPointer) + s.rawSize > size)
            return fail(error, "truncated PE image: section data beyond the end of the file");
        if (s.virtualAddress + s.memorySize() > 0x100000000ull)
            return fail(error, "malformed PE image: section beyond the 4 GiB address space");
    }
    return true;
}

// Finds the file offset of `length` bytes at `rva`, all inside one section's raw data (or
// the headers) and inside the file. `available` (optional) receives the bytes from there to
// the end of that area.
bool mapRva(ImageBytes image, const PeLayout& pe, uint32_t rva, uint32_t length,
            uint32_t* offset, uint32_t* available = nullptr) {
    for (const Section& s : pe.sections) {
        if (rva < s.virtualAddress) continue;
        const uint64_t into = rva - s.virtualAddress;
        uint64_t areaEnd = static_cast<uint64_t>(s.rawPointer) + s.rawSize;
        areaEnd = std::min<uint64_t>(areaEnd, image.size());
        const uint64_t start = static_cast<uint64_t>(s.rawPointer) + into;
        if (into >= s.rawSize || start > areaEnd) continue;
        if (start + length > areaEnd) return false;
        *offset = static_cast<uint32_t>(start);
        if (available) *available = static_cast<uint32_t>(areaEnd - start);
        return true;
    }
    const uint64_t headersEnd = std::min<uint64_t>(pe.headersSize, image.size());
    if (static_cast<uint64_t>(rva) + length <= headersEnd) {
        *offset = rva;
        if (available) *available = static_cast<uint32_t>(headersEnd - rva);
        return true;
    }
    return false;
}

char16_t upperAscii(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

std::u16string upperName(const std::u16string& name) {
    std::u16string out = name;
    for (char16_t& c : out) c = upperAscii(c);
    return out;
}

bool isRunInfoType(const PeResourceId& type) {
    return type.isName && upperName(type.name) == RUNINFO_TYPE_NAME;
}

bool isPackageResource(const PeResource& r) {
    return isRunInfoType(r.type) && !r.name.isName && r.name.id == ID_PACKAGE;
}

// Walks the resource tree, gathering one PeResource per language leaf.
struct TreeWalk {
    ImageBytes image;
    const PeLayout& pe;
    uint32_t base = 0;       // file offset of the root directory
    uint32_t available = 0;  // bytes of the section from the root on
    uint64_t visits = 0;
    uint64_t gathered = 0;       // data bytes copied out
    uint64_t nameBytes = 0;      // name bytes copied out
    std::vector<PeResource>* out = nullptr;
    std::string* error = nullptr;
    bool withPackageData = true;  // false: the package resource's bytes are located, not copied

    bool inTree(uint64_t offset, uint64_t length) const { return offset + length <= available; }

    bool readId(uint32_t word, PeResourceId* id) {
        *id = PeResourceId();
        if (word & RESOURCE_HIGH_BIT) {
            const uint64_t at = word & ~RESOURCE_HIGH_BIT;
            if (!inTree(at, 2)) return fail(error, "malformed resources: name outside the section");
            const uint32_t length = get16(image, base + at);
            if (!inTree(at + 2, 2ull * length))
                return fail(error, "malformed resources: name outside the section");
            nameBytes += 2ull * length;
            if (nameBytes > image.size())
                return fail(error, "malformed resources: more names than the file holds");
            id->isName = true;
            id->name.resize(length);
            for (uint32_t i = 0; i < length; ++i) id->name[i] = get16(image, base + at + 2 + 2 * i);
            return true;
        }
        if (word > 0xFFFF) return fail(error, "malformed resources: id wider than 16 bits");
        id->isName = false;
        id->id = static_cast<uint16_t>(word);
        return true;
    }

    bool readLeaf(uint32_t at, PeResource* resource) {
        if (!inTree(at, RESOURCE_DATA_ENTRY_SIZE))
            return fail(error, "malformed resources: data entry outside the section");
        const uint32_t rva = get32(image, base + at);
        const uint32_t size = get32(image, base + at + 4);
        resource->codePage = get32(image, base + at + 8);
        gathered += size;
        if (gathered > image.size())
            return fail(error, "malformed resources: more data than the file holds");
        uint32_t offset = 0;
        if (size != 0 && !mapRva(image, pe, rva, size, &offset))
            return fail(error, "malformed resources: data outside the file");
        resource->offset = offset;
        resource->size = size;
        const bool package = !withPackageData && isPackageResource(*resource);
        if (!package && size != 0) resource->data.assign(image.data() + offset, image.data() + offset + size);
        return true;
    }

    bool readDirectory(uint32_t level, uint32_t at, PeResource* path) {
        if (!inTree(at, RESOURCE_DIRECTORY_SIZE))
            return fail(error, "malformed resources: directory outside the section");
        const uint32_t count = static_cast<uint32_t>(get16(image, base + at + RESOURCE_NAMED_COUNT)) +
                               get16(image, base + at + RESOURCE_ID_COUNT);
        if (!inTree(at + RESOURCE_DIRECTORY_SIZE, static_cast<uint64_t>(count) * RESOURCE_ENTRY_SIZE))
            return fail(error, "malformed resources: directory entries outside the section");
        for (uint32_t i = 0; i < count; ++i) {
            if (++visits > RESOURCE_VISIT_LIMIT || visits > image.size() / RESOURCE_ENTRY_SIZE)
                return fail(error, "malformed resources: too many entries");
            const uint32_t entry = base + at + RESOURCE_DIRECTORY_SIZE + i * RESOURCE_ENTRY_SIZE;
            const uint32_t nameWord = get32(image, entry);
            const uint32_t dataWord = get32(image, entry + 4);
            const bool subdirectory = (dataWord & RESOURCE_HIGH_BIT) != 0;
            const uint32_t target = dataWord & ~RESOURCE_HIGH_BIT;
            if (level + 1 < RESOURCE_LEVELS) {
                if (!subdirectory) return fail(error, "malformed resources: leaf above the language level");
                if (!readId(nameWord, level == 0 ? &path->type : &path->name)) return false;
                if (!readDirectory(level + 1, target, path)) return false;
            } else {
                if (subdirectory) return fail(error, "malformed resources: directory below the language level");
                PeResourceId language;
                if (!readId(nameWord, &language)) return false;
                if (language.isName) return fail(error, "malformed resources: named language");
                PeResource resource;
                resource.type = path->type;
                resource.name = path->name;
                resource.language = language.id;
                if (!readLeaf(target, &resource)) return false;
                out->push_back(std::move(resource));
            }
        }
        return true;
    }
};

// Finds the section that holds `rva`, by its memory extent; -1 when none does.
int sectionOf(const PeLayout& pe, uint32_t rva) {
    for (size_t i = 0; i < pe.sections.size(); ++i) {
        const Section& s = pe.sections[i];
        if (rva >= s.virtualAddress && rva - static_cast<uint64_t>(s.virtualAddress) < s.memorySize())
            return static_cast<int>(i);
    }
    return -1;
}

bool readResourcesWithLayout(ImageBytes image, const PeLayout& pe, std::vector<PeResource>* resources,
                             std::string* error, bool withPackageData = true) {
    resources->clear();
    const DataDirectory dir = pe.directory(image, DIRECTORY_RESOURCE);
    if (dir.rva == 0) return true;
    TreeWalk walk{image, pe};
    if (!mapRva(image, pe, dir.rva, RESOURCE_DIRECTORY_SIZE, &walk.base, &walk.available))
        return fail(error, "malformed resources: resource directory outside the file");
    walk.out = resources;
    walk.error = error;
    walk.withPackageData = withPackageData;
    PeResource path;
    return walk.readDirectory(0, 0, &path);
}

// Order of entries inside one resource directory: names first, by code unit, then ids.
int compareIds(const PeResourceId& a, const PeResourceId& b) {
    if (a.isName != b.isName) return a.isName ? -1 : 1;
    if (a.isName) return a.name < b.name ? -1 : (a.name == b.name ? 0 : 1);
    return a.id < b.id ? -1 : (a.id == b.id ? 0 : 1);
}

bool resourceLess(const PeResource* a, const PeResource* b) {
    int c = compareIds(a->type, b->type);
    if (c == 0) c = compareIds(a->name, b->name);
    if (c == 0) return a->language < b->language;
    return c < 0;
}

// Where a resource's data goes when the caller writes it: the section is laid out with room
// for `size` bytes there, but its bytes come back without that room.
struct SectionHole {
    size_t resource = SIZE_MAX;  // index into the resources; SIZE_MAX: none
    uint64_t size = 0;
    uint64_t at = 0;             // set by the layout: the offset in the section
};

// The new resource section's bytes for resources that will be mapped at `sectionRva`.
// `dataAtByInput` (optional) receives each resource's data offset in the whole section.
bool layoutResourceSection(const std::vector<PeResource>& input, uint32_t sectionRva,
                           std::vector<uint8_t>* section, std::string* error, SectionHole* hole = nullptr,
                           std::vector<uint64_t>* dataAtByInput = nullptr) {
    std::vector<PeResource> normalized = input;
    for (PeResource& r : normalized) {
        if (r.type.isName) r.type.name = upperName(r.type.name);
        if (r.name.isName) r.name.name = upperName(r.name.name);
        if ((r.type.isName && r.type.name.size() > 0xFFFF) || (r.name.isName && r.name.name.size() > 0xFFFF))
            return fail(error, "resource name longer than 65535 characters");
    }
    std::vector<const PeResource*> sorted;
    for (const PeResource& r : normalized) sorted.push_back(&r);
    std::stable_sort(sorted.begin(), sorted.end(), resourceLess);
    for (size_t i = 1; i < sorted.size(); ++i) {
        if (!resourceLess(sorted[i - 1], sorted[i]))
            return fail(error, "two resources with the same type, name and language");
    }

    // Group into the three levels: types -> names -> leaves.
    struct NameGroup { const PeResourceId* id; std::vector<const PeResource*> leaves; };
    struct TypeGroup { const PeResourceId* id; std::vector<NameGroup> names; };
    std::vector<TypeGroup> types;
    for (const PeResource* r : sorted) {
        if (types.empty() || compareIds(*types.back().id, r->type) != 0) types.push_back({&r->type, {}});
        std::vector<NameGroup>& names = types.back().names;
        if (names.empty() || compareIds(*names.back().id, r->name) != 0) names.push_back({&r->name, {}});
        names.back().leaves.push_back(r);
    }
    if (types.size() > 0xFFFF) return fail(error, "too many resource types");

    // Sizes: all directories first (root, types, names), then the data entries, then the
    // strings, then the data, each piece of data on an 8-byte boundary.
    uint64_t directoriesSize = RESOURCE_DIRECTORY_SIZE + types.size() * RESOURCE_ENTRY_SIZE;
    for (const TypeGroup& t : types) {
        if (t.names.size() > 0xFFFF) return fail(error, "too many resources of one type");
        directoriesSize += RESOURCE_DIRECTORY_SIZE + t.names.size() * RESOURCE_ENTRY_SIZE;
        for (const NameGroup& n : t.names)
            directoriesSize += RESOURCE_DIRECTORY_SIZE + n.leaves.size() * RESOURCE_ENTRY_SIZE;
    }
    const uint64_t dataEntriesOffset = directoriesSize;
    const uint64_t stringsOffset = dataEntriesOffset + sorted.size() * RESOURCE_DATA_ENTRY_SIZE;
    std::map<std::u16string, uint64_t> stringAt;
    std::vector<const std::u16string*> stringOrder;
    uint64_t stringsEnd = stringsOffset;
    auto noteString = [&](const PeResourceId& id) {
        if (!id.isName || stringAt.count(id.name)) return;
        stringAt[id.name] = stringsEnd;
        stringOrder.push_back(&stringAt.find(id.name)->first);
        stringsEnd += 2 + 2 * static_cast<uint64_t>(id.name.size());
    };
    for (const TypeGroup& t : types) {
        noteString(*t.id);
        for (const NameGroup& n : t.names) noteString(*n.id);
    }
    const size_t holeIndex = hole ? hole->resource : SIZE_MAX;
    auto dataSize = [&](const PeResource* r) -> uint64_t {
        return static_cast<size_t>(r - normalized.data()) == holeIndex ? hole->size : r->data.size();
    };
    std::vector<uint64_t> dataAt(sorted.size());
    uint64_t end = stringsEnd;
    uint64_t holeAt = UINT64_MAX, holeSize = 0;
    if (dataAtByInput) dataAtByInput->assign(input.size(), 0);
    for (size_t i = 0; i < sorted.size(); ++i) {
        end = alignUp(end, RESOURCE_DATA_ALIGNMENT);
        dataAt[i] = end;
        if (dataAtByInput) (*dataAtByInput)[sorted[i] - normalized.data()] = end;
        if (static_cast<size_t>(sorted[i] - normalized.data()) == holeIndex) {
            holeAt = end;
            holeSize = hole->size;
        }
        end += dataSize(sorted[i]);
    }
    if (hole) hole->at = holeAt;
    // Offsets inside the tree have 31 bits, and data RVAs must stay 32-bit.
    if (end > 0x7FFFFFFF || sectionRva + end > 0xFFFFFFFFull)
        return fail(error, "resources too large for a PE image");
    // Offsets behind the hole move back by its size in the bytes made here.
    auto placed = [&](uint64_t at) { return at > holeAt ? at - holeSize : at; };

    section->assign(static_cast<size_t>(end - holeSize), 0);
    auto idWord = [&](const PeResourceId& id) -> uint32_t {
        return id.isName ? static_cast<uint32_t>(RESOURCE_HIGH_BIT | stringAt[id.name]) : id.id;
    };
    auto writeDirectoryHead = [&](uint64_t at, size_t named, size_t ids) {
        put16(section, at + RESOURCE_NAMED_COUNT, static_cast<uint16_t>(named));
        put16(section, at + RESOURCE_ID_COUNT, static_cast<uint16_t>(ids));
    };
    auto countNamed = [](auto begin, auto finish, auto idOf) {
        size_t n = 0;
        for (auto it = begin; it != finish; ++it) n += idOf(*it).isName ? 1 : 0;
        return n;
    };

    uint64_t nextDirectory = RESOURCE_DIRECTORY_SIZE + types.size() * RESOURCE_ENTRY_SIZE;
    size_t leafIndex = 0;
    const size_t typesNamed = countNamed(types.begin(), types.end(), [](const TypeGroup& t) -> const PeResourceId& { return *t.id; });
    writeDirectoryHead(0, typesNamed, types.size() - typesNamed);
    for (size_t ti = 0; ti < types.size(); ++ti) {
        const TypeGroup& t = types[ti];
        const uint64_t typeDir = nextDirectory;
        nextDirectory += RESOURCE_DIRECTORY_SIZE + t.names.size() * RESOURCE_ENTRY_SIZE;
        const uint64_t rootEntry = RESOURCE_DIRECTORY_SIZE + ti * RESOURCE_ENTRY_SIZE;
        put32(section, rootEntry, idWord(*t.id));
        put32(section, rootEntry + 4, static_cast<uint32_t>(RESOURCE_HIGH_BIT | typeDir));
        const size_t namesNamed = countNamed(t.names.begin(), t.names.end(), [](const NameGroup& n) -> const PeResourceId& { return *n.id; });
        writeDirectoryHead(typeDir, namesNamed, t.names.size() - namesNamed);
        for (size_t ni = 0; ni < t.names.size(); ++ni) {
            const NameGroup& n = t.names[ni];
            const uint64_t nameDir = nextDirectory;
            nextDirectory += RESOURCE_DIRECTORY_SIZE + n.leaves.size() * RESOURCE_ENTRY_SIZE;
            const uint64_t typeEntry = typeDir + RESOURCE_DIRECTORY_SIZE + ni * RESOURCE_ENTRY_SIZE;
            put32(section, typeEntry, idWord(*n.id));
            put32(section, typeEntry + 4, static_cast<uint32_t>(RESOURCE_HIGH_BIT | nameDir));
            writeDirectoryHead(nameDir, 0, n.leaves.size());
            for (size_t li = 0; li < n.leaves.size(); ++li, ++leafIndex) {
                const PeResource* leaf = n.leaves[li];
                const uint64_t nameEntry = nameDir + RESOURCE_DIRECTORY_SIZE + li * RESOURCE_ENTRY_SIZE;
                const uint64_t dataEntry = dataEntriesOffset + leafIndex * RESOURCE_DATA_ENTRY_SIZE;
                put32(section, nameEntry, leaf->language);
                put32(section, nameEntry + 4, static_cast<uint32_t>(dataEntry));
                put32(section, dataEntry, static_cast<uint32_t>(sectionRva + dataAt[leafIndex]));
                put32(section, dataEntry + 4, static_cast<uint32_t>(dataSize(leaf)));
                put32(section, dataEntry + 8, leaf->codePage);
                if (!leaf->data.empty() && dataAt[leafIndex] != holeAt)
                    memcpy(section->data() + placed(dataAt[leafIndex]), leaf->data.data(), leaf->data.size());
            }
        }
    }
    for (const std::u16string* s : stringOrder) {
        const uint64_t at = stringAt[*s];
        put16(section, at, static_cast<uint16_t>(s->size()));
        for (size_t i = 0; i < s->size(); ++i) put16(section, at + 2 + 2 * i, (*s)[i]);
    }
    return true;
}

}  // namespace

PeResourceId peResourceId(uint16_t id) {
    PeResourceId r;
    r.id = id;
    return r;
}

PeResourceId peResourceName(const std::u16string& name) {
    PeResourceId r;
    r.isName = true;
    r.name = upperName(name);
    return r;
}

bool sameResourceId(const PeResourceId& a, const PeResourceId& b) {
    if (a.isName != b.isName) return false;
    return a.isName ? upperName(a.name) == upperName(b.name) : a.id == b.id;
}

uint32_t computePeChecksum(const std::vector<uint8_t>& image, uint32_t checksumOffset) {
    // The checksum field's own four bytes count as zero.
    const uint64_t skipFrom = checksumOffset, skipTo = skipFrom + 4;
    auto byteAt = [&](size_t i) -> uint32_t { return (i >= skipFrom && i < skipTo) ? 0 : image[i]; };
    uint64_t sum = 0;
    const size_t size = image.size();
    for (size_t i = 0; i < size; i += 2) {
        uint32_t word = byteAt(i);
        if (i + 1 < size) word |= byteAt(i + 1) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + size);
}

bool readPeResources(ImageBytes image, std::vector<PeResource>* resources, std::string* error,
                     bool withPackageData) {
    PeLayout pe;
    if (!parseLayout(image, &pe, error)) return false;
    return readResourcesWithLayout(image, pe, resources, error, withPackageData);
}

namespace {

// writePeResources, or with `hole` the image without the hole's bytes: then `holeOffset`
// receives where they go in the file, `dataOffsets` where each resource's data lies, and the
// checksum is left for the caller, as zero.
bool writeResources(const std::vector<uint8_t>& image, const std::vector<PeResource>& resources,
                    std::vector<uint8_t>* output, std::string* error, SectionHole* hole, uint64_t* holeOffset,
                    std::vector<uint64_t>* dataOffsets, uint32_t* checksumOffset) {
    PeLayout pe;
    if (!parseLayout(image, &pe, error)) return false;
    if (pe.directoryCount <= DIRECTORY_RESOURCE)
        return fail(error, "unsupported PE image: no slot for the resource directory");
    if (!isPowerOfTwo(pe.fileAlignment) || pe.fileAlignment > MAX_ALIGNMENT ||
        !isPowerOfTwo(pe.sectionAlignment) || pe.sectionAlignment < pe.fileAlignment)
        return fail(error, "malformed PE image: bad section or file alignment");

    // Which sections move: the resource section, and a base-relocation section behind it.
    const size_t count = pe.sections.size();
    const DataDirectory resourceDir = pe.directory(image, DIRECTORY_RESOURCE);
    const DataDirectory relocDir = pe.directory(image, DIRECTORY_BASE_RELOCATION);
    int resourceIndex = -1;
    if (resourceDir.rva != 0) {
        resourceIndex = sectionOf(pe, resourceDir.rva);
        if (resourceIndex < 0) return fail(error, "malformed PE image: resource directory in no section");
        if (pe.sections[resourceIndex].virtualAddress != resourceDir.rva)
            return fail(error, "unsupported PE image: resource section holds more than the resources");
    }
    int relocIndex = -1;
    if (count > 0) {
        const Section& last = pe.sections[count - 1];
        const bool namedReloc = memcmp(last.header, ".reloc\0", 8) == 0;
        const bool holdsRelocs = relocDir.rva != 0 && sectionOf(pe, relocDir.rva) == static_cast<int>(count - 1);
        if ((holdsRelocs || namedReloc) && resourceIndex != static_cast<int>(count - 1))
            relocIndex = static_cast<int>(count - 1);
    }
    if (resourceIndex >= 0) {
        const size_t expected = relocIndex >= 0 ? count - 2 : count - 1;
        if (static_cast<size_t>(resourceIndex) != expected)
            return fail(error, "unsupported PE image: the resource section is not the last section");
    }
    const size_t keptCount = count - (resourceIndex >= 0 ? 1 : 0) - (relocIndex >= 0 ? 1 : 0);

    // Where the kept sections end, in the file and in memory.
    uint64_t keptRawEnd = pe.headersSize;
    uint64_t keptVirtualEnd = alignUp(pe.headersSize, pe.sectionAlignment);
    uint64_t oldRawEnd = pe.headersSize;
    for (size_t i = 0; i < count; ++i) {
        const Section& s = pe.sections[i];
        const uint64_t rawEnd = s.rawSize ? static_cast<uint64_t>(s.rawPointer) + s.rawSize : 0;
        oldRawEnd = std::max(oldRawEnd, rawEnd);
        if (i < keptCount) {
            keptRawEnd = std::max(keptRawEnd, rawEnd);
            keptVirtualEnd = std::max(keptVirtualEnd, s.virtualAddress + alignUp(s.memorySize(), pe.sectionAlignment));
        }
    }
    if (keptVirtualEnd > 0xFFFFFFFFull) return fail(error, "malformed PE image: sections beyond the 4 GiB address space");
    for (size_t i = keptCount; i < count; ++i) {
        const Section& s = pe.sections[i];
        if (s.virtualAddress < keptVirtualEnd || (s.rawSize && s.rawPointer < keptRawEnd))
            return fail(error, "unsupported PE image: sections out of order");
    }
    if (relocIndex >= 0 && resourceIndex >= 0 &&
        pe.sections[relocIndex].virtualAddress < pe.sections[resourceIndex].virtualAddress)
        return fail(error, "unsupported PE image: sections out of order");

    // The new resource section.
    Section rsrc;
    if (resourceIndex >= 0) {
        rsrc = pe.sections[resourceIndex];
    } else {
        const uint64_t newCount = static_cast<uint64_t>(count) + 1;
        uint64_t firstRaw = pe.headersSize;
        for (const Section& s : pe.sections)
            if (s.rawSize) firstRaw = std::min<uint64_t>(firstRaw, s.rawPointer);
        if (pe.sectionTable + newCount * SECTION_HEADER_SIZE > firstRaw || newCount > 0xFFFF)
            return fail(error, "unsupported PE image: no room in the headers for a resource section");
        memcpy(rsrc.header, ".rsrc\0\0", 8);
        rsrc.characteristics = SECTION_INITIALIZED_DATA | SECTION_MEMORY_READ;
        rsrc.virtualAddress = static_cast<uint32_t>(keptVirtualEnd);
        if (relocIndex >= 0) rsrc.virtualAddress = std::min(rsrc.virtualAddress, pe.sections[relocIndex].virtualAddress);
    }
    std::vector<uint8_t> sectionBytes;
    std::vector<uint64_t> dataAt;
    if (!layoutResourceSection(resources, rsrc.virtualAddress, &sectionBytes, error, hole, &dataAt)) return false;
    const uint64_t holeSize = hole && hole->at != UINT64_MAX ? hole->size : 0;
    const uint64_t sectionSize = sectionBytes.size() + holeSize;
    const uint64_t rsrcRaw = resourceSectionStart(keptRawEnd, pe.fileAlignment, sectionSize);
    const uint64_t rsrcRawSize = alignUp(sectionSize, pe.fileAlignment);
    const uint64_t oldRsrcRawSize = resourceIndex >= 0 ? rsrc.rawSize : 0;
    rsrc.virtualSize = static_cast<uint32_t>(sectionSize);
    rsrc.rawSize = static_cast<uint32_t>(rsrcRawSize);
    rsrc.rawPointer = static_cast<uint32_t>(rsrcRaw);
    if (sectionSize == 0) rsrc.rawPointer = 0;
    if (holeOffset) *holeOffset = rsrcRaw + (hole ? hole->at : 0);
    if (dataOffsets) {
        dataOffsets->clear();
        for (uint64_t at : dataAt) dataOffsets->push_back(rsrcRaw + at);
    }

    std::vector<Section> newSections(pe.sections.begin(), pe.sections.begin() + keptCount);
    newSections.push_back(rsrc);
    uint64_t relocShift = 0;
    uint64_t rawEnd = rsrcRaw + rsrcRawSize;
    uint64_t virtualEnd = rsrc.virtualAddress + alignUp(rsrc.memorySize(), pe.sectionAlignment);
    if (relocIndex >= 0) {
        Section reloc = pe.sections[relocIndex];
        const uint64_t newAddress = alignUp(virtualEnd, pe.sectionAlignment);
        relocShift = newAddress - reloc.virtualAddress;
        reloc.virtualAddress = static_cast<uint32_t>(newAddress);
        reloc.rawPointer = reloc.rawSize ? static_cast<uint32_t>(rawEnd) : 0;
        rawEnd += reloc.rawSize;
        virtualEnd = newAddress + alignUp(reloc.memorySize(), pe.sectionAlignment);
        newSections.push_back(reloc);
    }
    if (rawEnd > 0xFFFFFFFFull || alignUp(virtualEnd, pe.sectionAlignment) > 0xFFFFFFFFull)
        return fail(error, "resources too large for a PE image");

    // Bytes after the last section (symbols, other appended data) move along; a certificate
    // table among them is cut out.
    const DataDirectory certificate = pe.directory(image, DIRECTORY_CERTIFICATE);
    uint64_t certStart = 0, certEnd = 0;
    if (certificate.rva != 0 && certificate.rva >= oldRawEnd &&
        static_cast<uint64_t>(certificate.rva) + certificate.size <= image.size()) {
        certStart = certificate.rva;
        certEnd = certStart + certificate.size;
    }
    auto movedOffset = [&](uint64_t old) -> uint64_t {
        uint64_t moved = old - oldRawEnd + rawEnd;
        if (certEnd > certStart && old >= certEnd) moved -= certEnd - certStart;
        return moved;
    };

    std::vector<uint8_t>& out = *output;
    out.assign(image.begin(), image.begin() + static_cast<size_t>(std::min<uint64_t>(rsrcRaw, image.size())));
    out.resize(static_cast<size_t>(rsrcRaw), 0);
    out.insert(out.end(), sectionBytes.begin(), sectionBytes.end());
    out.resize(static_cast<size_t>(rsrcRaw + rsrcRawSize - holeSize), 0);
    if (relocIndex >= 0) {
        const Section& reloc = pe.sections[relocIndex];
        out.insert(out.end(), image.begin() + reloc.rawPointer, image.begin() + reloc.rawPointer + reloc.rawSize);
    }
    if (oldRawEnd < image.size()) {
        if (certEnd > certStart) {
            out.insert(out.end(), image.begin() + oldRawEnd, image.begin() + certStart);
            out.insert(out.end(), image.begin() + certEnd, image.end());
        } else {
            out.insert(out.end(), image.begin() + oldRawEnd, image.end());
        }
    }

    // Headers: section table, counts and sizes, directories, symbol pointer, checksum.
    for (size_t i = 0; i < newSections.size(); ++i) {
        const Section& s = newSections[i];
        const uint64_t at = pe.sectionTable + i * SECTION_HEADER_SIZE;
        memcpy(out.data() + at, s.header, SECTION_HEADER_SIZE);
        put32(&out, at + SH_VIRTUAL_SIZE, s.virtualSize);
        put32(&out, at + SH_VIRTUAL_ADDRESS, s.virtualAddress);
        put32(&out, at + SH_RAW_SIZE, s.rawSize);
        put32(&out, at + SH_RAW_POINTER, s.rawPointer);
        put32(&out, at + SH_CHARACTERISTICS, s.characteristics);
    }
    put16(&out, pe.fileHeader + FH_SECTION_COUNT, static_cast<uint16_t>(newSections.size()));
    put32(&out, pe.optionalHeader + OH_IMAGE_SIZE, static_cast<uint32_t>(alignUp(virtualEnd, pe.sectionAlignment)));
    if (rsrc.characteristics & SECTION_INITIALIZED_DATA) {
        const uint32_t old = get32(image, pe.optionalHeader + OH_INITIALIZED_DATA_SIZE);
        const uint64_t less = old >= oldRsrcRawSize ? old - oldRsrcRawSize : 0;
        put32(&out, pe.optionalHeader + OH_INITIALIZED_DATA_SIZE, static_cast<uint32_t>(std::min<uint64_t>(less + rsrcRawSize, 0xFFFFFFFFu)));
    }
    const uint64_t resourceSlot = pe.directoriesOffset + DIRECTORY_RESOURCE * DIRECTORY_ENTRY_SIZE;
    put32(&out, resourceSlot, rsrc.virtualAddress);
    put32(&out, resourceSlot + 4, static_cast<uint32_t>(sectionSize));
    if (pe.directoryCount > DIRECTORY_CERTIFICATE) {
        const uint64_t slot = pe.directoriesOffset + DIRECTORY_CERTIFICATE * DIRECTORY_ENTRY_SIZE;
        put32(&out, slot, 0);
        put32(&out, slot + 4, 0);
    }
    if (relocShift && relocDir.rva != 0 && sectionOf(pe, relocDir.rva) == relocIndex) {
        const uint64_t slot = pe.directoriesOffset + DIRECTORY_BASE_RELOCATION * DIRECTORY_ENTRY_SIZE;
        put32(&out, slot, static_cast<uint32_t>(relocDir.rva + relocShift));
    }
    const uint32_t symbols = get32(image, pe.fileHeader + FH_SYMBOL_TABLE);
    if (symbols != 0 && symbols >= oldRawEnd && symbols <= image.size())
        put32(&out, pe.fileHeader + FH_SYMBOL_TABLE, static_cast<uint32_t>(movedOffset(symbols)));
    if (checksumOffset) *checksumOffset = pe.checksumOffset;
    put32(&out, pe.checksumOffset, hole ? 0 : computePeChecksum(out, pe.checksumOffset));
    return true;
}

}  // namespace

uint64_t resourceSectionStart(uint64_t rawEnd, uint32_t fileAlignment, uint64_t sectionSize) {
    const uint64_t next = alignUp(rawEnd, fileAlignment);
    const uint64_t page = alignUp(rawEnd, std::max<uint64_t>(fileAlignment, RESOURCE_PAGE));
    return (page - next) * RESOURCE_PAGE <= sectionSize ? page : next;
}

bool writePeResources(const std::vector<uint8_t>& image, const std::vector<PeResource>& resources,
                      std::vector<uint8_t>* output, std::string* error) {
    return writeResources(image, resources, output, error, nullptr, nullptr, nullptr, nullptr);
}

bool writePeResourcesAround(const std::vector<uint8_t>& image, const std::vector<PeResource>& resources,
                            size_t holeResource, ImageAroundHole* out, std::string* error) {
    SectionHole hole;
    hole.resource = holeResource;
    hole.size = holeResource < resources.size() ? resources[holeResource].size : 0;
    *out = ImageAroundHole();
    out->holeSize = hole.size;
    return writeResources(image, resources, &out->bytes, error, &hole, &out->holeOffset, &out->dataOffsets,
                          &out->checksumOffset);
}

void PeChecksum::add(const uint8_t* bytes, size_t count) {
    size_t i = 0;
    if (pending_ >= 0 && count > 0) {
        sum_ += static_cast<uint32_t>(pending_) | (static_cast<uint32_t>(bytes[0]) << 8);
        pending_ = -1;
        i = 1;
    }
    uint64_t sum = 0;
    for (; i + 1 < count; i += 2) sum += static_cast<uint32_t>(bytes[i]) | (static_cast<uint32_t>(bytes[i + 1]) << 8);
    sum_ += sum;
    if (i < count) pending_ = bytes[i];
    length_ += count;
}

void PeChecksum::append(const PeChecksum& later) {
    sum_ += later.sum_;
    pending_ = later.pending_;
    length_ += later.length_;
}

uint32_t PeChecksum::finish() const {
    uint64_t sum = sum_ + (pending_ >= 0 ? static_cast<uint32_t>(pending_) : 0);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + length_);
}

bool embedRunInfo(const std::vector<uint8_t>& engine, const std::vector<uint8_t>* package,
                  const std::vector<uint8_t>* digest, std::vector<uint8_t>* output,
                  std::string* error, const std::vector<uint8_t>* runOptions) {
    std::vector<PeResource> resources;
    if (!readPeResources(engine, &resources, error)) return false;
    std::vector<PeResource> kept;
    for (PeResource& r : resources) {
        const bool ours = isRunInfoType(r.type) && !r.name.isName &&
                          (r.name.id == ID_PACKAGE || r.name.id == ID_PACKAGE_DIGEST ||
                           r.name.id == ID_RUN_OPTIONS);
        if (!ours) kept.push_back(std::move(r));
    }
    auto add = [&](uint16_t id, const std::vector<uint8_t>* bytes) {
        if (!bytes) return;
        PeResource r;
        r.type = peResourceName(RUNINFO_TYPE_NAME);
        r.name = peResourceId(id);
        r.language = RUNINFO_LANGUAGE;
        r.data = *bytes;
        kept.push_back(std::move(r));
    };
    add(ID_PACKAGE, package);
    add(ID_PACKAGE_DIGEST, digest);
    add(ID_RUN_OPTIONS, runOptions);
    return writePeResources(engine, kept, output, error);
}

bool readRunInfo(const std::vector<uint8_t>& image, std::vector<uint8_t>* package,
                 bool* hasPackage, std::vector<uint8_t>* digest, bool* hasDigest,
                 std::string* error, std::vector<uint8_t>* runOptions, bool* hasRunOptions) {
    std::vector<PeResource> resources;
    *hasPackage = false;
    *hasDigest = false;
    package->clear();
    digest->clear();
    bool optionsFound = false;
    if (runOptions) runOptions->clear();
    if (hasRunOptions) *hasRunOptions = false;
    if (!readPeResources(image, &resources, error)) return false;
    for (PeResource& r : resources) {
        if (!isRunInfoType(r.type) || r.name.isName) continue;
        if (r.name.id == ID_PACKAGE && !*hasPackage) {
            *package = std::move(r.data);
            *hasPackage = true;
        } else if (r.name.id == ID_PACKAGE_DIGEST && !*hasDigest) {
            *digest = std::move(r.data);
            *hasDigest = true;
        } else if (r.name.id == ID_RUN_OPTIONS && !optionsFound) {
            optionsFound = true;
            if (runOptions) *runOptions = std::move(r.data);
        }
    }
    if (hasRunOptions) *hasRunOptions = optionsFound;
    return true;
}

bool locateRunInfo(ImageBytes image, RunInfoLocation* where, std::string* error,
                   std::vector<PeResource>* resources) {
    std::vector<PeResource> own;
    if (!resources) resources = &own;
    *where = RunInfoLocation();
    if (!readPeResources(image, resources, error, false)) return false;
    bool optionsFound = false;
    for (PeResource& r : *resources) {
        if (!isRunInfoType(r.type) || r.name.isName) continue;
        if (r.name.id == ID_PACKAGE && !where->hasPackage) {
            where->hasPackage = true;
            where->packageOffset = r.offset;
            where->packageSize = r.size;
        } else if (r.name.id == ID_PACKAGE_DIGEST && !where->hasDigest) {
            where->digest = r.data;
            where->hasDigest = true;
        } else if (r.name.id == ID_RUN_OPTIONS && !optionsFound) {
            optionsFound = true;
            where->runOptions = r.data;
        }
    }
    where->hasRunOptions = optionsFound;
    return true;
}

bool readPeFacts(const std::vector<uint8_t>& image, PeFacts* facts, std::string* error) {
    PeLayout pe;
    if (!parseLayout(image, &pe, error)) return false;
    *facts = PeFacts();
    facts->machine = pe.machine;
    facts->pe32Plus = pe.pe32Plus;
    facts->subsystem = pe.subsystem;
    facts->checksum = get32(image, pe.checksumOffset);
    facts->computedChecksum = computePeChecksum(image, pe.checksumOffset);
    const DataDirectory imports = pe.directory(image, DIRECTORY_IMPORT);
    if (imports.rva == 0) return true;
    for (uint32_t i = 0;; ++i) {
        if (i >= IMPORT_DESCRIPTOR_LIMIT) return fail(error, "malformed imports: no end of the import table");
        uint32_t at = 0;
        const uint64_t rva = imports.rva + static_cast<uint64_t>(i) * IMPORT_DESCRIPTOR_SIZE;
        if (rva > 0xFFFFFFFFull || !mapRva(image, pe, static_cast<uint32_t>(rva), IMPORT_DESCRIPTOR_SIZE, &at))
            return fail(error, "malformed imports: import table outside the file");
        bool empty = true;
        for (uint32_t k = 0; k < IMPORT_DESCRIPTOR_SIZE; ++k) empty = empty && image[at + k] == 0;
        if (empty) return true;
        uint32_t nameAt = 0, available = 0;
        if (!mapRva(image, pe, get32(image, at + IMPORT_NAME_FIELD), 1, &nameAt, &available))
            return fail(error, "malformed imports: DLL name outside the file");
        std::string name;
        for (uint32_t k = 0;; ++k) {
            if (k >= available || k >= IMPORT_NAME_LIMIT) return fail(error, "malformed imports: DLL name without end");
            const char c = static_cast<char>(image[nameAt + k]);
            if (c == 0) break;
            name.push_back(c);
        }
        facts->importedDlls.push_back(name);
    }
}

// ": " and the system's text for `code`, or nothing when the library set no code.
static std::string systemReason(int code) { return code != 0 ? ": " + std::generic_category().message(code) : std::string(); }

bool readFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
    errno = 0;
    std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
    if (!file) return fail(error, "cannot open " + path + " for reading" + systemReason(errno));
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    file.seekg(0, std::ios::beg);
    if (size < 0) return fail(error, "cannot read " + path);
    // Offsets in an image are 32-bit: a larger file is no image, and is not read into memory.
    if (static_cast<uint64_t>(size) > 0xFFFFFFFFull) return fail(error, path + " is 4 GiB or larger: not a PE image");
    bytes->resize(static_cast<size_t>(size));
    if (size > 0 && !file.read(reinterpret_cast<char*>(bytes->data()), size)) return fail(error, "cannot read " + path);
    return true;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
    errno = 0;
    std::ofstream file(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
    if (!file) return fail(error, "cannot open " + path + " for writing" + systemReason(errno));
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) return fail(error, "cannot write " + path);
    return true;
}
