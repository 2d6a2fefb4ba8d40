// Builds small PE images by hand. The resource encoder here lays the tree out depth-first
// with data 4-byte aligned and names at the end, unlike the tool's writer, so that reading
// is tested on a layout the writer does not make.
#include "support/pe_test_image.h"

#include <string.h>

namespace {

void put16(std::vector<uint8_t>& b, uint64_t off, uint32_t v) {
    if (b.size() < off + 2) b.resize(off + 2);
    b[off] = uint8_t(v);
    b[off + 1] = uint8_t(v >> 8);
}
void put32(std::vector<uint8_t>& b, uint64_t off, uint32_t v) {
    put16(b, off, v & 0xFFFF);
    put16(b, off + 2, v >> 16);
}
uint32_t alignTo(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

// Tree node of the encoder: a directory with id entries, or a leaf.
struct Entry {
    std::u16string name;
    uint32_t id;
    std::vector<Entry> children;
    const TestResource* leaf = nullptr;
};

Entry* child(Entry& parent, const std::u16string& name, uint32_t id) {
    for (Entry& e : parent.children)
        if (e.name == name && (name.empty() ? e.id == id : true)) return &e;
    parent.children.push_back(Entry{name, id, {}, nullptr});
    return &parent.children.back();
}

struct Encoder {
    std::vector<uint8_t> out;
    uint32_t rva;
    std::vector<std::pair<uint64_t, const TestResource*>> dataEntries;  // entry offset, leaf
    std::vector<std::pair<uint64_t, std::u16string>> names;            // entry offset, name

    uint32_t directory(const Entry& dir) {
        const uint32_t at = uint32_t(out.size());
        uint32_t named = 0;
        for (const Entry& e : dir.children) named += e.name.empty() ? 0 : 1;
        out.resize(at + 16 + 8 * dir.children.size());
        put16(out, at + 12, named);
        put16(out, at + 14, uint32_t(dir.children.size()) - named);
        for (size_t i = 0; i < dir.children.size(); ++i) {
            const Entry& e = dir.children[i];
            const uint64_t entry = at + 16 + 8 * i;
            if (e.name.empty()) put32(out, entry, e.id);
            else names.push_back({entry, e.name});
            if (e.leaf) {
                const uint32_t dataEntry = uint32_t(out.size());
                out.resize(dataEntry + 16);
                put32(out, entry + 4, dataEntry);
                dataEntries.push_back({dataEntry, e.leaf});
            } else {
                put32(out, entry + 4, 0x80000000u | directory(e));
            }
        }
        return at;
    }

    void finish() {
        for (auto& d : dataEntries) {
            out.resize(alignTo(uint32_t(out.size()), 4));
            put32(out, d.first, rva + uint32_t(out.size()));
            put32(out, d.first + 4, uint32_t(d.second->data.size()));
            put32(out, d.first + 8, d.second->codePage);
            out.insert(out.end(), d.second->data.begin(), d.second->data.end());
        }
        for (auto& n : names) {
            out.resize(alignTo(uint32_t(out.size()), 2));
            put32(out, n.first, 0x80000000u | uint32_t(out.size()));
            const uint64_t at = out.size();
            put16(out, at, uint32_t(n.second.size()));
            for (size_t i = 0; i < n.second.size(); ++i) put16(out, at + 2 + 2 * i, n.second[i]);
        }
    }
};

std::vector<uint8_t> encodeResources(const std::vector<TestResource>& resources, uint32_t rva) {
    Entry root{u"", 0, {}, nullptr};
    for (const TestResource& r : resources) {
        Entry* type = child(root, r.typeName, r.typeId);
        Entry* name = child(*type, r.name, r.nameId);
        name->children.push_back(Entry{u"", r.language, {}, &r});
    }
    Encoder encoder;
    encoder.rva = rva;
    encoder.directory(root);
    encoder.finish();
    return encoder.out;
}

std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

}  // namespace

uint16_t testGet16(const std::vector<uint8_t>& b, uint64_t off) { return uint16_t(b.at(off) | (b.at(off + 1) << 8)); }
uint32_t testGet32(const std::vector<uint8_t>& b, uint64_t off) {
    return testGet16(b, off) | (uint32_t(testGet16(b, off + 2)) << 16);
}

uint32_t testChecksumOffset() { return TEST_OPTIONAL_HEADER + 64; }

uint32_t testDirectoriesOffset(const std::vector<uint8_t>& image) {
    const bool plus = testGet16(image, TEST_OPTIONAL_HEADER) == 0x20B;
    return TEST_OPTIONAL_HEADER + (plus ? 112 : 96);
}

uint32_t testPeChecksum(const std::vector<uint8_t>& image) {
    std::vector<uint8_t> copy = image;
    put32(copy, testChecksumOffset(), 0);
    if (copy.size() % 2) copy.push_back(0);
    uint64_t sum = 0;
    for (size_t i = 0; i < copy.size(); i += 2) sum += testGet16(copy, i);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + image.size());
}

std::vector<TestSection> testSections(const std::vector<uint8_t>& image) {
    const uint32_t count = testGet16(image, TEST_FILE_HEADER + 2);
    const uint32_t table = TEST_OPTIONAL_HEADER + testGet16(image, TEST_FILE_HEADER + 16);
    std::vector<TestSection> sections;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t at = table + 40 * i;
        TestSection s;
        s.name.assign(reinterpret_cast<const char*>(image.data() + at), strnlen(reinterpret_cast<const char*>(image.data() + at), 8));
        s.virtualSize = testGet32(image, at + 8);
        s.virtualAddress = testGet32(image, at + 12);
        s.rawSize = testGet32(image, at + 16);
        s.rawPointer = testGet32(image, at + 20);
        s.characteristics = testGet32(image, at + 36);
        sections.push_back(s);
    }
    return sections;
}

std::vector<TestResource> sampleTestResources() {
    std::vector<TestResource> list;
    auto add = [&](std::u16string typeName, uint16_t typeId, std::u16string name, uint16_t nameId,
                   uint16_t language, const std::string& data) {
        TestResource r;
        r.typeName = typeName;
        r.typeId = typeId;
        r.name = name;
        r.nameId = nameId;
        r.language = language;
        r.codePage = 1252;
        r.data = bytesOf(data);
        list.push_back(r);
    };
    add(u"MYDATA", 0, u"ALPHA", 0, 0x0409, "alpha bytes");
    add(u"MYDATA", 0, u"", 7, 0x0409, "seven");
    add(u"", 5, u"", 100, 0x0405, std::string("dialog-cz\0\x01", 11));
    add(u"", 5, u"", 100, 0x0409, "dialog-en!");
    add(u"", 6, u"", 1, 0x0409, "strings");
    add(u"", 10, u"", 55, 0, "");
    return list;
}

std::vector<uint8_t> makeTestImage(const TestImageOptions& options) {
    const bool plus = options.pe32Plus;
    const uint32_t optionalSize = plus ? 240 : 224;
    const uint32_t sectionTable = TEST_OPTIONAL_HEADER + optionalSize;
    const uint32_t headersSize = 0x400;  // room for one more section header

    struct Piece { const char* name; uint32_t characteristics; std::vector<uint8_t> bytes; uint32_t va = 0; uint32_t raw = 0; };
    std::vector<Piece> pieces;
    pieces.push_back({".text", 0x60000020, std::vector<uint8_t>(0x30, 0xC3)});

    // Imports: descriptors (zero-terminated), then the DLL names.
    const uint32_t importVa = 0x2000;
    std::vector<uint8_t> idata((options.importedDlls.size() + 1) * 20, 0);
    for (size_t i = 0; i < options.importedDlls.size(); ++i) {
        put32(idata, i * 20 + 12, importVa + uint32_t(idata.size()));
        put32(idata, i * 20 + 16, importVa);  // a thunk address; never followed here
        for (char c : options.importedDlls[i]) idata.push_back(uint8_t(c));
        idata.push_back(0);
    }
    pieces.push_back({".idata", 0xC0000040, idata});

    uint32_t va = 0x1000;
    uint32_t raw = headersSize;
    for (Piece& p : pieces) {
        p.va = va;
        p.raw = raw;
        va += alignTo(uint32_t(p.bytes.size()), TEST_SECTION_ALIGNMENT);
        raw += alignTo(uint32_t(p.bytes.size()), TEST_FILE_ALIGNMENT);
    }
    uint32_t resourceVa = 0;
    if (options.withResources) {
        resourceVa = va;
        pieces.push_back({".rsrc", 0x40000040, encodeResources(options.resources, va), va, raw});
        va += alignTo(uint32_t(pieces.back().bytes.size()), TEST_SECTION_ALIGNMENT);
        raw += alignTo(uint32_t(pieces.back().bytes.size()), TEST_FILE_ALIGNMENT);
    }
    uint32_t relocVa = 0, relocSize = 0;
    if (options.withReloc) {
        std::vector<uint8_t> block;
        put32(block, 0, 0x1000);  // page RVA
        put32(block, 4, 12);      // block size
        put16(block, 8, 0x3010);  // HIGHLOW at page offset 0x10
        put16(block, 10, 0);
        relocVa = va;
        relocSize = uint32_t(block.size());
        pieces.push_back({".reloc", 0x42000040, block, va, raw});
        va += alignTo(relocSize, TEST_SECTION_ALIGNMENT);
        raw += alignTo(relocSize, TEST_FILE_ALIGNMENT);
    }

    std::vector<uint8_t> image(raw, 0);
    put16(image, 0, 0x5A4D);
    put32(image, 0x3C, TEST_PE_OFFSET);
    put32(image, TEST_PE_OFFSET, 0x00004550);
    put16(image, TEST_FILE_HEADER, plus ? 0x8664 : 0x014C);
    put16(image, TEST_FILE_HEADER + 2, uint32_t(pieces.size()));
    put16(image, TEST_FILE_HEADER + 16, optionalSize);
    put16(image, TEST_FILE_HEADER + 18, plus ? 0x0022 : 0x0102);
    const uint32_t oh = TEST_OPTIONAL_HEADER;
    put16(image, oh, plus ? 0x20B : 0x10B);
    uint32_t initialized = 0;
    for (const Piece& p : pieces)
        if (p.characteristics & 0x40) initialized += alignTo(uint32_t(p.bytes.size()), TEST_FILE_ALIGNMENT);
    put32(image, oh + 4, TEST_FILE_ALIGNMENT);  // size of code
    put32(image, oh + 8, initialized);
    put32(image, oh + 16, 0x1000);  // entry point
    put32(image, oh + 20, 0x1000);  // base of code
    if (plus) {
        put32(image, oh + 24, 0x40000000);
        put32(image, oh + 28, 0x1);
    } else {
        put32(image, oh + 28, 0x400000);
    }
    put32(image, oh + 32, TEST_SECTION_ALIGNMENT);
    put32(image, oh + 36, TEST_FILE_ALIGNMENT);
    put16(image, oh + 40, 4);
    put16(image, oh + 48, 4);
    put32(image, oh + 56, va);
    put32(image, oh + 60, headersSize);
    put16(image, oh + 68, 2);  // GUI
    const uint32_t dirs = oh + (plus ? 112 : 96);
    put32(image, dirs - 4, 16);
    put32(image, dirs + 8, importVa);
    put32(image, dirs + 12, uint32_t(idata.size()));
    if (resourceVa) {
        put32(image, dirs + 16, resourceVa);
        put32(image, dirs + 20, uint32_t(pieces[2].bytes.size()));
    }
    if (relocVa) {
        put32(image, dirs + 40, relocVa);
        put32(image, dirs + 44, relocSize);
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
        const Piece& p = pieces[i];
        const uint32_t at = sectionTable + 40 * uint32_t(i);
        memcpy(image.data() + at, p.name, strlen(p.name));
        put32(image, at + 8, uint32_t(p.bytes.size()));
        put32(image, at + 12, p.va);
        put32(image, at + 16, alignTo(uint32_t(p.bytes.size()), TEST_FILE_ALIGNMENT));
        put32(image, at + 20, p.raw);
        put32(image, at + 36, p.characteristics);
        memcpy(image.data() + p.raw, p.bytes.data(), p.bytes.size());
    }
    if (!options.symbols.empty()) {
        put32(image, TEST_FILE_HEADER + 8, uint32_t(image.size()));
        put32(image, TEST_FILE_HEADER + 12, 1);
        image.insert(image.end(), options.symbols.begin(), options.symbols.end());
    }
    if (!options.certificate.empty()) {
        image.resize(alignTo(uint32_t(image.size()), 8));
        put32(image, dirs + 32, uint32_t(image.size()));
        put32(image, dirs + 36, uint32_t(options.certificate.size()));
        image.insert(image.end(), options.certificate.begin(), options.certificate.end());
    }
    put32(image, testChecksumOffset(), testPeChecksum(image));
    return image;
}
