// The PE resource reader and writer, on synthetic images from tests/support.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>

#include "runpack/image/pe_resources.h"
#include "support/pe_test_image.h"

namespace {

std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// The sample resources as the reader should report them.
void expectSameAsSample(const std::vector<PeResource>& got) {
    const std::vector<TestResource> want = sampleTestResources();
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].type.isName, !want[i].typeName.empty());
        EXPECT_EQ(got[i].type.name, want[i].typeName);
        EXPECT_EQ(got[i].type.id, want[i].typeId);
        EXPECT_EQ(got[i].name.isName, !want[i].name.empty());
        EXPECT_EQ(got[i].name.name, want[i].name);
        EXPECT_EQ(got[i].name.id, want[i].nameId);
        EXPECT_EQ(got[i].language, want[i].language);
        EXPECT_EQ(got[i].codePage, want[i].codePage);
        EXPECT_EQ(got[i].data, want[i].data);
    }
}

std::vector<uint8_t> sampleImage(bool plus, bool reloc = false) {
    TestImageOptions options;
    options.pe32Plus = plus;
    options.resources = sampleTestResources();
    options.withReloc = reloc;
    return makeTestImage(options);
}

// Checks what every rewritten image must satisfy: sections contiguous and aligned (the
// resources on a page of the file when they are large enough),
// SizeOfImage, the resource directory naming the .rsrc section, every data entry of the
// tree 8-byte aligned, and a correct checksum.
void expectConsistentImage(const std::vector<uint8_t>& image) {
    const std::vector<TestSection> sections = testSections(image);
    ASSERT_FALSE(sections.empty());
    uint32_t rawEnd = testGet32(image, TEST_OPTIONAL_HEADER + 60), virtualEnd = 0x1000;
    const TestSection* rsrc = nullptr;
    for (const TestSection& s : sections) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(s.rawPointer % TEST_FILE_ALIGNMENT, 0u);
        EXPECT_EQ(s.rawSize % TEST_FILE_ALIGNMENT, 0u);
        EXPECT_EQ(s.virtualAddress, virtualEnd);
        if (s.name == ".rsrc") {
            // The resources start on the first page of the file behind the section before them
            // when that leaves at most one byte in 4,096 of the section empty, else right behind.
            const uint32_t page = (rawEnd + 4095) / 4096 * 4096;
            EXPECT_EQ(s.rawPointer, uint64_t{page - rawEnd} * 4096 <= s.virtualSize ? page : rawEnd);
        } else {
            EXPECT_EQ(s.rawPointer, rawEnd);
        }
        EXPECT_GE(s.rawSize, s.virtualSize);
        EXPECT_LE(s.rawPointer + s.rawSize, image.size());
        rawEnd = s.rawPointer + s.rawSize;
        virtualEnd = s.virtualAddress + (s.virtualSize + TEST_SECTION_ALIGNMENT - 1) / TEST_SECTION_ALIGNMENT * TEST_SECTION_ALIGNMENT;
        if (s.name == ".rsrc") rsrc = &s;
    }
    EXPECT_EQ(testGet32(image, TEST_OPTIONAL_HEADER + 56), virtualEnd);
    uint32_t initialized = 0;
    for (const TestSection& s : sections) initialized += (s.characteristics & 0x40) ? s.rawSize : 0;
    EXPECT_EQ(testGet32(image, TEST_OPTIONAL_HEADER + 8), initialized);
    ASSERT_NE(rsrc, nullptr);
    const uint32_t dirs = testDirectoriesOffset(image);
    EXPECT_EQ(testGet32(image, dirs + 16), rsrc->virtualAddress);
    EXPECT_EQ(testGet32(image, dirs + 20), rsrc->virtualSize);
    EXPECT_EQ(testGet32(image, testChecksumOffset()), testPeChecksum(image));

    // Walk the tree by hand: data entries and the data they point to on 8-byte boundaries.
    const uint32_t base = rsrc->rawPointer;
    std::vector<std::pair<uint32_t, int>> pending = {{0, 0}};
    while (!pending.empty()) {
        const auto [dir, level] = pending.back();
        pending.pop_back();
        const uint32_t n = testGet16(image, base + dir + 12) + testGet16(image, base + dir + 14);
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t target = testGet32(image, base + dir + 16 + 8 * i + 4);
            if (level < 2) {
                ASSERT_NE(target & 0x80000000u, 0u);
                pending.push_back({target & 0x7FFFFFFF, level + 1});
            } else {
                EXPECT_EQ(target % 8, 0u);
                EXPECT_EQ(testGet32(image, base + target) % 8, 0u);
            }
        }
    }
}

}  // namespace

TEST(PeResources, ReadsTheTreeOfPe32AndPe32Plus) {
    for (bool plus : {false, true}) {
        SCOPED_TRACE(plus);
        std::vector<PeResource> resources;
        std::string error;
        ASSERT_TRUE(readPeResources(sampleImage(plus), &resources, &error)) << error;
        expectSameAsSample(resources);
    }
}

TEST(PeResources, RewriteWithTheSameListReadsBackIdenticallyAndIsStable) {
    for (bool plus : {false, true}) {
        SCOPED_TRACE(plus);
        const std::vector<uint8_t> image = sampleImage(plus);
        std::vector<PeResource> resources;
        std::string error;
        ASSERT_TRUE(readPeResources(image, &resources, &error)) << error;
        std::vector<uint8_t> once, twice;
        ASSERT_TRUE(writePeResources(image, resources, &once, &error)) << error;
        expectConsistentImage(once);
        std::vector<PeResource> again;
        ASSERT_TRUE(readPeResources(once, &again, &error)) << error;
        expectSameAsSample(again);
        // Everything before the resource section is untouched but for the header fields.
        const TestSection idata = testSections(image)[1];
        EXPECT_TRUE(std::equal(image.begin() + 0x400, image.begin() + idata.rawPointer + idata.rawSize, once.begin() + 0x400));
        ASSERT_TRUE(writePeResources(once, again, &twice, &error)) << error;
        EXPECT_EQ(once, twice);
    }
}

TEST(PeResources, WriterSortsNamesFirstThenIdsAndUpperCasesNames) {
    const std::vector<uint8_t> image = sampleImage(false);
    std::vector<PeResource> list;
    auto add = [&](PeResourceId type, PeResourceId name, uint16_t language, const std::string& data) {
        PeResource r;
        r.type = type;
        r.name = name;
        r.language = language;
        r.data = bytes(data);
        list.push_back(r);
    };
    PeResourceId lowerType;
    lowerType.isName = true;
    lowerType.name = u"zeta";
    add(peResourceId(3), peResourceId(9), 2, "c");
    add(lowerType, peResourceId(1), 0, "z");
    add(peResourceId(3), peResourceId(2), 7, "b7");
    add(peResourceId(3), peResourceId(2), 1, "b1");
    add(peResourceName(u"ALPHA"), peResourceName(u"B"), 0, "ab");
    add(peResourceName(u"ALPHA"), peResourceName(u"AB"), 0, "aab");
    add(peResourceName(u"ALPHA"), peResourceId(4), 0, "a4");

    std::vector<uint8_t> out;
    std::string error;
    ASSERT_TRUE(writePeResources(image, list, &out, &error)) << error;
    expectConsistentImage(out);
    std::vector<PeResource> back;
    ASSERT_TRUE(readPeResources(out, &back, &error)) << error;
    std::vector<std::string> order;
    for (const PeResource& r : back) order.push_back(std::string(r.data.begin(), r.data.end()));
    EXPECT_EQ(order, (std::vector<std::string>{"aab", "ab", "a4", "z", "b1", "b7", "c"}));
    EXPECT_EQ(back[3].type.name, u"ZETA");
    // The root directory counts two named types and one id.
    const TestSection rsrc = testSections(out).back();
    EXPECT_EQ(testGet16(out, rsrc.rawPointer + 12), 2);
    EXPECT_EQ(testGet16(out, rsrc.rawPointer + 14), 1);

    list.push_back(list[0]);
    EXPECT_FALSE(writePeResources(image, list, &out, &error));
    EXPECT_NE(error.find("same type, name and language"), std::string::npos) << error;
}

TEST(PeResources, EmbedRunInfoAddsReplacesAndRemovesOnlyItsOwnResources) {
    for (bool plus : {false, true}) {
        SCOPED_TRACE(plus);
        const std::vector<uint8_t> engine = sampleImage(plus);
        const std::vector<uint8_t> package = bytes("package bytes, odd length");
        const std::vector<uint8_t> digest(20, 0xAB);
        std::vector<uint8_t> embedded;
        std::string error;
        ASSERT_TRUE(embedRunInfo(engine, &package, &digest, &embedded, &error)) << error;
        expectConsistentImage(embedded);

        std::vector<PeResource> resources;
        ASSERT_TRUE(readPeResources(embedded, &resources, &error)) << error;
        std::vector<PeResource> others;
        int runInfo = 0;
        for (const PeResource& r : resources) {
            if (r.type.isName && r.type.name == u"RUNINFO") {
                ++runInfo;
                EXPECT_EQ(r.language, RUNINFO_LANGUAGE);
                EXPECT_FALSE(r.name.isName);
                EXPECT_EQ(r.data, r.name.id == ID_PACKAGE ? package : digest);
            } else {
                others.push_back(r);
            }
        }
        EXPECT_EQ(runInfo, 2);
        expectSameAsSample(others);

        std::vector<uint8_t> gotPackage, gotDigest;
        bool hasPackage = false, hasDigest = false;
        ASSERT_TRUE(readRunInfo(embedded, &gotPackage, &hasPackage, &gotDigest, &hasDigest, &error));
        EXPECT_TRUE(hasPackage);
        EXPECT_TRUE(hasDigest);
        EXPECT_EQ(gotPackage, package);
        EXPECT_EQ(gotDigest, digest);

        // Replacing the package and dropping the digest.
        const std::vector<uint8_t> second = bytes("second");
        std::vector<uint8_t> replaced;
        ASSERT_TRUE(embedRunInfo(embedded, &second, nullptr, &replaced, &error)) << error;
        ASSERT_TRUE(readRunInfo(replaced, &gotPackage, &hasPackage, &gotDigest, &hasDigest, &error));
        EXPECT_TRUE(hasPackage);
        EXPECT_FALSE(hasDigest);
        EXPECT_EQ(gotPackage, second);
        EXPECT_TRUE(gotDigest.empty());

        // Removing both gives back the original resource section's content.
        std::vector<uint8_t> removed, plain;
        ASSERT_TRUE(embedRunInfo(replaced, nullptr, nullptr, &removed, &error)) << error;
        ASSERT_TRUE(writePeResources(engine, others, &plain, &error)) << error;
        EXPECT_EQ(removed, plain);
    }
}

TEST(PeResources, ResourcesStartOnAPageOnlyWhereTheEmptyBytesAreAtMostOneIn4096) {
    // Sections that end 3,584 bytes before a page: from 14,680,064 bytes of resources on.
    EXPECT_EQ(resourceSectionStart(0x10200, 0x200, 3584 * 4096 - 1), 0x10200u);
    EXPECT_EQ(resourceSectionStart(0x10200, 0x200, 3584 * 4096), 0x11000u);
    EXPECT_EQ(resourceSectionStart(0x10100, 0x200, 0), 0x10200u);
    EXPECT_EQ(resourceSectionStart(0x10000, 0x200, 0), 0x10000u);
    EXPECT_EQ(resourceSectionStart(0x10001, 0x200, RESOURCES_ALWAYS_ON_A_PAGE), 0x11000u);
    EXPECT_EQ(resourceSectionStart(0x10200, 0x2000, 0), 0x12000u);

    // A package of 16 MiB is on a page; the first 4 KiB of it are not (the sample's sections
    // do not end on a page), and each reads back.
    const std::vector<uint8_t> engine = sampleImage(false);
    std::vector<uint8_t> package(RESOURCES_ALWAYS_ON_A_PAGE);
    for (size_t i = 0; i < package.size(); ++i) package[i] = static_cast<uint8_t>(i * 7 + (i >> 13));
    std::vector<uint8_t> large, small, back;
    std::string error;
    ASSERT_TRUE(embedRunInfo(engine, &package, nullptr, &large, &error)) << error;
    expectConsistentImage(large);
    const std::vector<TestSection> sections = testSections(large);
    const TestSection& rsrc = sections[sections.size() - 1];
    ASSERT_EQ(rsrc.name, ".rsrc");
    EXPECT_EQ(rsrc.rawPointer % 4096, 0u);
    bool hasPackage = false, hasDigest = false;
    std::vector<uint8_t> digest;
    ASSERT_TRUE(readRunInfo(large, &back, &hasPackage, &digest, &hasDigest, &error)) << error;
    EXPECT_TRUE(back == package);
    package.resize(4096);
    ASSERT_TRUE(embedRunInfo(engine, &package, nullptr, &small, &error)) << error;
    expectConsistentImage(small);
    EXPECT_NE(testSections(small).back().rawPointer % 4096, 0u);
    ASSERT_TRUE(readRunInfo(small, &back, &hasPackage, &digest, &hasDigest, &error)) << error;
    EXPECT_TRUE(back == package);
}

TEST(PeResources, ReadRunInfoFindsEitherInAnyLanguage) {
    TestImageOptions options;
    TestResource digest;
    digest.typeName = u"RUNINFO";
    digest.nameId = ID_PACKAGE_DIGEST;
    digest.language = 0x0409;
    digest.data = bytes("digest");
    options.resources = {digest};
    std::vector<uint8_t> package, gotDigest;
    bool hasPackage = true, hasDigest = false;
    std::string error;
    ASSERT_TRUE(readRunInfo(makeTestImage(options), &package, &hasPackage, &gotDigest, &hasDigest, &error));
    EXPECT_FALSE(hasPackage);
    EXPECT_TRUE(hasDigest);
    EXPECT_EQ(gotDigest, bytes("digest"));

    options.withResources = false;
    ASSERT_TRUE(readRunInfo(makeTestImage(options), &package, &hasPackage, &gotDigest, &hasDigest, &error));
    EXPECT_FALSE(hasPackage);
    EXPECT_FALSE(hasDigest);
}

TEST(PeResources, TrailingRelocationSectionMovesBehindTheResources) {
    const std::vector<uint8_t> image = sampleImage(false, true);
    const TestSection oldReloc = testSections(image).back();
    const std::vector<uint8_t> big(3 * TEST_SECTION_ALIGNMENT + 5, 0x5A);
    std::vector<uint8_t> out;
    std::string error;
    ASSERT_TRUE(embedRunInfo(image, &big, nullptr, &out, &error)) << error;
    expectConsistentImage(out);
    const std::vector<TestSection> sections = testSections(out);
    ASSERT_EQ(sections.size(), 4u);
    EXPECT_EQ(sections[2].name, ".rsrc");
    const TestSection reloc = sections[3];
    EXPECT_EQ(reloc.name, ".reloc");
    EXPECT_GT(reloc.virtualAddress, oldReloc.virtualAddress);
    const uint32_t dirs = testDirectoriesOffset(out);
    EXPECT_EQ(testGet32(out, dirs + 40), reloc.virtualAddress);
    EXPECT_EQ(testGet32(out, dirs + 44), 12u);
    EXPECT_TRUE(std::equal(out.begin() + reloc.rawPointer, out.begin() + reloc.rawPointer + reloc.rawSize,
                           image.begin() + oldReloc.rawPointer));
}

TEST(PeResources, ImageWithoutResourcesGetsANewLastSection) {
    for (bool reloc : {false, true}) {
        SCOPED_TRACE(reloc);
        TestImageOptions options;
        options.withResources = false;
        options.withReloc = reloc;
        const std::vector<uint8_t> image = makeTestImage(options);
        std::vector<PeResource> none;
        std::string error;
        ASSERT_TRUE(readPeResources(image, &none, &error)) << error;
        EXPECT_TRUE(none.empty());
        const std::vector<uint8_t> package = bytes("p");
        std::vector<uint8_t> out;
        ASSERT_TRUE(embedRunInfo(image, &package, &package, &out, &error)) << error;
        expectConsistentImage(out);
        const std::vector<TestSection> sections = testSections(out);
        ASSERT_EQ(sections.size(), reloc ? 4u : 3u);
        EXPECT_EQ(sections[2].name, ".rsrc");
        EXPECT_EQ(sections[2].characteristics, 0x40000040u);
        std::vector<PeResource> back;
        ASSERT_TRUE(readPeResources(out, &back, &error)) << error;
        EXPECT_EQ(back.size(), 2u);
    }
}

TEST(PeResources, AppendedSymbolsMoveAndACertificateIsDropped) {
    TestImageOptions options;
    options.resources = sampleTestResources();
    options.symbols = bytes("SYMBOLS-and-string-table");
    options.certificate = bytes("CERTIFICATE-DATA");
    const std::vector<uint8_t> image = makeTestImage(options);
    const std::vector<uint8_t> package(5000, 1);
    std::vector<uint8_t> out;
    std::string error;
    ASSERT_TRUE(embedRunInfo(image, &package, nullptr, &out, &error)) << error;
    expectConsistentImage(out);
    const TestSection last = testSections(out).back();
    const uint32_t symbols = testGet32(out, TEST_FILE_HEADER + 8);
    EXPECT_EQ(symbols, last.rawPointer + last.rawSize);
    EXPECT_EQ(std::string(out.begin() + symbols, out.end()), "SYMBOLS-and-string-table");
    const uint32_t dirs = testDirectoriesOffset(out);
    EXPECT_EQ(testGet32(out, dirs + 32), 0u);
    EXPECT_EQ(testGet32(out, dirs + 36), 0u);
}

TEST(PeResources, ReadsFactsOfBothForms) {
    for (bool plus : {false, true}) {
        PeFacts facts;
        std::string error;
        ASSERT_TRUE(readPeFacts(sampleImage(plus), &facts, &error)) << error;
        EXPECT_EQ(facts.machine, plus ? PE_MACHINE_AMD64 : PE_MACHINE_I386);
        EXPECT_EQ(facts.pe32Plus, plus);
        EXPECT_EQ(facts.subsystem, PE_SUBSYSTEM_GUI);
        EXPECT_EQ(facts.importedDlls, (std::vector<std::string>{"KERNEL32.dll", "USER32.dll"}));
        EXPECT_EQ(facts.checksum, facts.computedChecksum);
        EXPECT_EQ(facts.computedChecksum, testPeChecksum(sampleImage(plus)));
    }
}

TEST(PeResources, RefusesResourceSectionThatIsNotLast) {
    std::vector<uint8_t> image = sampleImage(false, true);
    // Rename .reloc and point the relocation directory nowhere: the section must stay put.
    const uint32_t table = TEST_OPTIONAL_HEADER + 224;
    memcpy(image.data() + table + 3 * 40, ".data\0\0", 8);
    const uint32_t dirs = testDirectoriesOffset(image);
    for (int i = 0; i < 8; ++i) image[dirs + 40 + i] = 0;
    std::vector<PeResource> resources;
    std::vector<uint8_t> out;
    std::string error;
    ASSERT_TRUE(readPeResources(image, &resources, &error)) << error;
    EXPECT_FALSE(writePeResources(image, resources, &out, &error));
    EXPECT_EQ(error, "unsupported PE image: the resource section is not the last section");
}

TEST(PeResources, TruncatedImagesAreRefusedAtEveryLength) {
    for (bool plus : {false, true}) {
        const std::vector<uint8_t> image = sampleImage(plus);
        const TestSection rsrc = testSections(image).back();
        std::vector<PeResource> resources;
        std::vector<uint8_t> out;
        PeFacts facts;
        std::string error;
        // Up to the end of the section table every cut loses a header field.
        const uint32_t headersEnd = TEST_OPTIONAL_HEADER + (plus ? 240 : 224) + 3 * 40;
        for (uint32_t length = 0; length < rsrc.rawPointer + rsrc.virtualSize; ++length) {
            const std::vector<uint8_t> cut(image.begin(), image.begin() + length);
            const bool read = readPeResources(cut, &resources, &error);
            const bool facts_ok = readPeFacts(cut, &facts, &error);
            const bool written = writePeResources(cut, resources, &out, &error);
            if (length < headersEnd) {
                EXPECT_FALSE(read) << length;
                EXPECT_FALSE(facts_ok) << length;
            }
            if (length >= rsrc.rawPointer) {
                EXPECT_FALSE(read) << length;
            }
            EXPECT_FALSE(written) << length;
        }
    }
}

TEST(PeResources, CorruptTreesAreRefusedWithoutOverreading) {
    const std::vector<uint8_t> image = sampleImage(false);
    const TestSection rsrc = testSections(image).back();
    const uint32_t base = rsrc.rawPointer;
    std::vector<PeResource> resources;
    std::string error;
    auto refused = [&](std::vector<uint8_t> bad, const std::string& expected) {
        EXPECT_FALSE(readPeResources(bad, &resources, &error));
        EXPECT_EQ(error, expected);
    };
    // The first type entry's subdirectory points back at the root: a loop.
    std::vector<uint8_t> bad = image;
    bad[base + 16 + 4] = 0;
    bad[base + 16 + 5] = 0;
    bad[base + 16 + 6] = 0;
    bad[base + 16 + 7] = 0x80;
    {
        // Following root -> root -> root reaches a directory where a leaf must be.
        refused(bad, "malformed resources: directory below the language level");
    }
    bad = image;
    bad[base + 14] = 0xFF;  // more id entries than the section holds
    bad[base + 15] = 0xFF;
    refused(bad, "malformed resources: directory entries outside the section");
    bad = image;
    bad[base + 16 + 3] = 0xFF;  // name offset far outside
    refused(bad, "malformed resources: name outside the section");

    // Every single byte of the tree set to 0xFF: no crash, no read outside (sanitizer build).
    for (uint32_t i = 0; i < rsrc.virtualSize; ++i) {
        bad = image;
        bad[base + i] = 0xFF;
        if (readPeResources(bad, &resources, &error)) {
            for (const PeResource& r : resources) EXPECT_LE(r.data.size(), image.size());
        }
    }
}

namespace {

void put32At(std::vector<uint8_t>& b, uint64_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = uint8_t(v >> (8 * i));
}

}  // namespace

TEST(PeResources, RefusesSizeOfHeadersThatMissesTheSectionTableOrTheFile) {
    // A SizeOfHeaders short of the section table made the writer put section records past
    // the end of its output; one beyond the file made it allocate up to 4 GiB.
    const uint32_t field = TEST_OPTIONAL_HEADER + 60;
    const std::vector<uint8_t> image = sampleImage(false);
    const std::vector<std::pair<uint32_t, std::string>> cases = {
        {0x40, "malformed PE image: SizeOfHeaders does not cover the section table"},
        {TEST_OPTIONAL_HEADER + 224 + 3 * 40 - 1, "malformed PE image: SizeOfHeaders does not cover the section table"},
        {uint32_t(image.size()) + 1, "truncated PE image: SizeOfHeaders beyond the end of the file"},
        {0xFFFFF000u, "truncated PE image: SizeOfHeaders beyond the end of the file"},
    };
    for (const auto& [value, message] : cases) {
        SCOPED_TRACE(value);
        std::vector<uint8_t> bad = image;
        put32At(bad, field, value);
        std::vector<PeResource> resources;
        std::vector<uint8_t> out;
        PeFacts facts;
        std::string error;
        EXPECT_FALSE(readPeResources(bad, &resources, &error));
        EXPECT_EQ(error, message);
        EXPECT_FALSE(readPeFacts(bad, &facts, &error));
        const std::vector<uint8_t> package = bytes("p");
        EXPECT_FALSE(embedRunInfo(bad, &package, &package, &out, &error));
        EXPECT_EQ(error, message);
    }
    // A section whose raw data runs past the end of the file.
    std::vector<uint8_t> bad = image;
    put32At(bad, TEST_OPTIONAL_HEADER + 224 + 40 + 16, 0x7FFFFE00u);
    std::vector<PeResource> resources;
    std::string error;
    EXPECT_FALSE(readPeResources(bad, &resources, &error));
    EXPECT_EQ(error, "truncated PE image: section data beyond the end of the file");
}

TEST(PeResources, SharedSubtreesAndNamesCannotMultiplyTheWork) {
    // One resource big enough to leave room in its section for a hand-made tree.
    TestImageOptions options;
    TestResource big;
    big.typeId = 10;
    big.nameId = 1;
    big.data.assign(8192, 0);
    options.resources = {big};
    const std::vector<uint8_t> image = makeTestImage(options);
    const TestSection rsrc = testSections(image).back();
    const uint32_t base = rsrc.rawPointer;

    // Three levels of 60 entries that all lead to the same directory and data entry:
    // 216,000 leaves from a 10 KB file.
    std::vector<uint8_t> fanned = image;
    const uint32_t levels[3] = {0, 0x200, 0x400}, dataEntry = 0x600;
    for (int level = 0; level < 3; ++level) {
        const uint32_t at = base + levels[level];
        std::fill(fanned.begin() + at, fanned.begin() + at + 16, 0);
        fanned[at + 14] = 60;
        for (uint32_t i = 0; i < 60; ++i) {
            put32At(fanned, at + 16 + 8 * i, i + 1);
            put32At(fanned, at + 16 + 8 * i + 4, level < 2 ? (0x80000000u | levels[level + 1]) : dataEntry);
        }
    }
    put32At(fanned, base + dataEntry, rsrc.virtualAddress);
    put32At(fanned, base + dataEntry + 4, 0);  // empty: only the count of entries limits it
    std::vector<PeResource> resources;
    std::string error;
    EXPECT_FALSE(readPeResources(fanned, &resources, &error));
    EXPECT_EQ(error, "malformed resources: too many entries");

    // Named types that all share one name of 2,000 characters: more name bytes than the file.
    std::vector<uint8_t> named = image;
    std::fill(named.begin() + base, named.begin() + base + 0x1000, 0);
    named[base + 12] = 60;  // named entries
    const uint32_t emptyDirectory = 0x200, name = 0x300;
    for (uint32_t i = 0; i < 60; ++i) {
        put32At(named, base + 16 + 8 * i, 0x80000000u | name);
        put32At(named, base + 16 + 8 * i + 4, 0x80000000u | emptyDirectory);
    }
    named[base + name] = 0xD0;  // 2000 = 0x07D0 characters
    named[base + name + 1] = 0x07;
    EXPECT_FALSE(readPeResources(named, &resources, &error));
    EXPECT_EQ(error, "malformed resources: more names than the file holds");
}

TEST(PeResources, EveryHeaderAndTreeFieldAtExtremesFailsCleanlyOrRoundTrips) {
    // Each 32-bit value at every even offset of the headers and of the start of the tree,
    // set to values a crafted file would use. Reading and embedding must either fail with a
    // message or give an image the reader takes back with the package intact, no bigger than
    // the input, the package and the alignment padding allow. The sanitizer build sees any
    // access outside the buffers.
    for (bool plus : {false, true}) {
        SCOPED_TRACE(plus);
        const std::vector<uint8_t> image = sampleImage(plus, true);
        const TestSection rsrc = testSections(image)[2];
        const std::vector<uint8_t> package(300, 0x11), digest(20, 0x22);
        std::vector<uint32_t> offsets;
        for (uint32_t off = 0; off + 4 <= 0x400; off += 2) offsets.push_back(off);
        for (uint32_t off = 0; off + 4 <= 0x100; off += 2) offsets.push_back(rsrc.rawPointer + off);
        size_t embedded = 0;
        for (uint32_t off : offsets) {
            for (uint32_t value : {0u, 1u, 0x40u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, uint32_t(image.size())}) {
                std::vector<uint8_t> bad = image;
                put32At(bad, off, value);
                std::vector<PeResource> resources;
                std::vector<uint8_t> out, gotPackage, gotDigest;
                PeFacts facts;
                std::string error;
                readPeResources(bad, &resources, &error);
                readPeFacts(bad, &facts, &error);
                if (!embedRunInfo(bad, &package, &digest, &out, &error)) {
                    EXPECT_FALSE(error.empty());
                    continue;
                }
                ++embedded;
                EXPECT_LE(out.size(), 2 * bad.size() + package.size() + 2 * 0x10000) << off << " " << value;
                bool hasPackage = false, hasDigest = false;
                ASSERT_TRUE(readRunInfo(out, &gotPackage, &hasPackage, &gotDigest, &hasDigest, &error))
                    << "offset " << off << " value " << value << ": " << error;
                EXPECT_EQ(gotPackage, package);
                EXPECT_EQ(gotDigest, digest);
            }
        }
        EXPECT_GT(embedded, offsets.size());  // most fields do not matter to the writer
    }
}
