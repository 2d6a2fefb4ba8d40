// The version resource: numbers, the layout the writer makes (checked against the one the
// resource compiler made for the engine), and the reader on malformed bytes.
#include <gtest/gtest.h>

#include "runpack/commands/embedded_engine.h"
#include "runpack/image/pe_resources.h"
#include "runpack/package/text_encoding.h"
#include "runpack/image/version_resource.h"

namespace {

uint16_t get16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b.at(at) | b.at(at + 1) << 8); }

VersionNumber number(uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
    VersionNumber n;
    n.parts[0] = a;
    n.parts[1] = b;
    n.parts[2] = c;
    n.parts[3] = d;
    return n;
}

// The engine's version resource as resources/engine.rc states it.
VersionInfo engineVersion() {
    VersionInfo info;
    info.fileVersion = number(1, 0, 22, 9441);
    info.productVersion = number(1, 0, 6, 7354);
    info.tables.push_back({u"040904B0",
                           {{u"CompanyName", u"runpack"},
                            {u"FileDescription", u"runpack self-extracting run engine"},
                            {u"FileVersion", u"1,0,22,9441"},
                            {u"InternalName", u"runpack-engine"},
                            {u"OriginalFilename", u"runpack-engine.exe"},
                            {u"ProductName", u"runpack"},
                            {u"ProductVersion", u"1,0,6,7354"}}});
    info.translations = {0x04B00409};
    return info;
}

void expectSameInfo(const VersionInfo& got, const VersionInfo& want) {
    EXPECT_TRUE(got.hasFixed);
    EXPECT_EQ(versionNumberText(got.fileVersion), versionNumberText(want.fileVersion));
    EXPECT_EQ(versionNumberText(got.productVersion), versionNumberText(want.productVersion));
    EXPECT_EQ(got.flagsMask, want.flagsMask);
    EXPECT_EQ(got.os, want.os);
    EXPECT_EQ(got.fileType, want.fileType);
    ASSERT_EQ(got.tables.size(), want.tables.size());
    for (size_t t = 0; t < want.tables.size(); ++t) {
        EXPECT_EQ(got.tables[t].name, want.tables[t].name);
        ASSERT_EQ(got.tables[t].strings.size(), want.tables[t].strings.size());
        for (size_t s = 0; s < want.tables[t].strings.size(); ++s) {
            EXPECT_EQ(got.tables[t].strings[s].key, want.tables[t].strings[s].key);
            EXPECT_EQ(got.tables[t].strings[s].value, want.tables[t].strings[s].value);
        }
    }
    EXPECT_EQ(got.translations, want.translations);
}

// Walks the node at `at` independently of the reader: every node starts on a 4-byte
// boundary, its length ends at its value or at the unpadded end of its last child, and a
// text value's length counts its characters and the terminator. Returns the node's end.
size_t checkNode(const std::vector<uint8_t>& r, size_t at, size_t limit, int depth) {
    EXPECT_EQ(at % 4, 0u) << "node at " << at;
    const size_t length = get16(r, at), end = at + length;
    EXPECT_LE(end, limit);
    const uint16_t valueLength = get16(r, at + 2), type = get16(r, at + 4);
    size_t k = at + 6;
    while (get16(r, k) != 0) k += 2;
    const size_t value = (k + 2 + 3) / 4 * 4;
    const size_t valueEnd = value + (type == 1 ? 2 * valueLength : valueLength);
    if (depth == 3) {  // a string: its value ends the node, with one terminator
        EXPECT_EQ(valueEnd, end);
        EXPECT_EQ(get16(r, end - 2), 0);
        return end;
    }
    size_t childEnd = valueEnd;
    for (size_t child = (valueEnd + 3) / 4 * 4; child < end; child = (childEnd + 3) / 4 * 4)
        childEnd = checkNode(r, child, end, depth + 1);
    EXPECT_EQ(childEnd, end) << "node at " << at << " does not end with its last child";
    return end;
}

}  // namespace

TEST(VersionResource, ReadsFourPartNumbersOnly) {
    VersionNumber n;
    ASSERT_TRUE(parseVersionNumber("1.2.3.4", &n));
    EXPECT_EQ(versionNumberText(n), "1.2.3.4");
    ASSERT_TRUE(parseVersionNumber("65535.0.00007.65535", &n));
    EXPECT_EQ(versionNumberText(n), "65535.0.7.65535");
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.65536", "1.2.3.-1", "1..3.4", " 1.2.3.4", "1.2.3.4 ",
                            "1.2.3.000001", "1,2,3,4", "1.2.3.4x", "+1.2.3.4", "99999999999999999999.1.1.1"}) {
        EXPECT_FALSE(parseVersionNumber(bad, &n)) << bad;
    }
}

TEST(VersionResource, WritesTheEngineResourceByteForByteAsTheResourceCompiler) {
    const std::vector<uint8_t> engine(EMBEDDED_ENGINE, EMBEDDED_ENGINE + EMBEDDED_ENGINE_SIZE);
    std::vector<PeResource> resources;
    std::string error;
    ASSERT_TRUE(readPeResources(engine, &resources, &error)) << error;
    const PeResource* compiled = nullptr;
    for (const PeResource& r : resources)
        if (!r.type.isName && r.type.id == RT_VERSION_TYPE) compiled = &r;
    ASSERT_NE(compiled, nullptr);

    std::vector<uint8_t> written;
    ASSERT_TRUE(writeVersionResource(engineVersion(), &written, &error)) << error;
    EXPECT_EQ(written, compiled->data);
    VersionInfo read;
    ASSERT_TRUE(readVersionResource(compiled->data, &read, &error)) << error;
    expectSameInfo(read, engineVersion());
}

TEST(VersionResource, AlignsEveryNodeWhateverTheTextLengthsAndReadsBackWhatItWrote) {
    VersionInfo info;
    info.fileVersion = number(7, 0, 65535, 1);
    info.productVersion = number(0, 0, 0, 0);
    // Keys and values of every length modulo 4 (in bytes with the terminator: 2, 4, 6, 8),
    // an empty value, characters outside the BMP, and a second table.
    VersionStringTable first{u"040904B0", {}};
    for (size_t k = 1; k <= 4; ++k)
        for (size_t v = 0; v <= 4; ++v) first.strings.push_back({std::u16string(k, u'K') + char16_t(u'0' + v), std::u16string(v, u'v')});
    std::u16string astral;
    std::string error;
    ASSERT_TRUE(utf8ToUtf16("\xF0\x9F\x93\xA6 package, \xC5\xBElu\xC5\xA5", &astral, &error));
    first.strings.push_back({u"Comments", astral});
    info.tables = {first, VersionStringTable{u"040504E2", {{u"ProductName", u"Bal\u00edk"}}}};
    info.translations = {0x04B00409, 0x04E20405};

    std::vector<uint8_t> written;
    ASSERT_TRUE(writeVersionResource(info, &written, &error)) << error;
    EXPECT_EQ(checkNode(written, 0, written.size(), 0), written.size());
    VersionInfo read;
    ASSERT_TRUE(readVersionResource(written, &read, &error)) << error;
    expectSameInfo(read, info);
    EXPECT_EQ(utf16ToUtf8(read.tables[0].strings.back().value), "\xF0\x9F\x93\xA6 package, \xC5\xBElu\xC5\xA5");

    // With no strings and no translations only the fixed part is left.
    ASSERT_TRUE(writeVersionResource(VersionInfo(), &written, &error)) << error;
    EXPECT_EQ(written.size(), 6u + 32 + 2 + 52);  // head, key and terminator, padding, fixed part
    EXPECT_EQ(get16(written, 0), written.size());
}

TEST(VersionResource, RefusesAPartOver65535Bytes) {
    VersionInfo info;
    info.tables.push_back({u"040904B0", {{u"Comments", std::u16string(32678, u'x')}}});
    std::vector<uint8_t> written;
    std::string error;
    ASSERT_TRUE(writeVersionResource(info, &written, &error)) << error;
    info.tables[0].strings[0].value += u"xxxxxxxxxxxx";
    EXPECT_FALSE(writeVersionResource(info, &written, &error));
    EXPECT_EQ(error, "the version resource would take 65558 bytes in one part, more than 65535");
}

TEST(VersionResource, ReaderRefusesPartsThatOverrunWhatHoldsThem) {
    std::vector<uint8_t> good;
    std::string error;
    ASSERT_TRUE(writeVersionResource(engineVersion(), &good, &error)) << error;
    VersionInfo info;
    // Cut anywhere: the root's length then runs past the end.
    for (size_t length = 0; length < good.size(); ++length) {
        EXPECT_FALSE(readVersionResource(std::vector<uint8_t>(good.begin(), good.begin() + length), &info, &error)) << length;
        EXPECT_FALSE(error.empty());
    }
    // The first string (at 152 in this layout) claims more than its table holds.
    std::vector<uint8_t> bad = good;
    ASSERT_EQ(get16(bad, 0x98 + 6), u'C');
    bad[0x98] = 0xF0;
    bad[0x99] = 0x01;
    EXPECT_FALSE(readVersionResource(bad, &info, &error));
    EXPECT_EQ(error, "malformed version resource: a part of 496 bytes at 152 overruns what holds it");
    // A key without its terminator inside its node.
    bad = good;
    bad[0x98] = 8;
    bad[0x99] = 0;
    EXPECT_FALSE(readVersionResource(bad, &info, &error));
    EXPECT_EQ(error, "malformed version resource: a key without its end");
    bad = good;
    bad[6] = 'X';
    EXPECT_FALSE(readVersionResource(bad, &info, &error));
    EXPECT_EQ(error, "malformed version resource: no VS_VERSION_INFO");
    // Every byte changed in turn: never a read outside (the sanitizer build watches), and
    // never more text than the resource holds.
    for (size_t i = 0; i < good.size(); ++i) {
        for (uint8_t value : {uint8_t(0), uint8_t(0xFF)}) {
            bad = good;
            bad[i] = value;
            if (!readVersionResource(bad, &info, &error)) continue;
            size_t text = 0;
            for (const VersionStringTable& t : info.tables)
                for (const VersionString& s : t.strings) text += 2 * (s.key.size() + s.value.size());
            EXPECT_LE(text, good.size());
        }
    }
}
