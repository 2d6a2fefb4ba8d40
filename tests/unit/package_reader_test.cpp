#include "package/package_reader.h"

#include <gtest/gtest.h>

#include <string.h>

#include "codec/solid_stream.h"
#include "runpack/package/solid_encoder.h"
#include "support/package_builder.h"

namespace {

std::vector<uint8_t> bytesOf(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

bool validates(const std::vector<uint8_t>& package, uint32_t* total = nullptr)
{
    return validatePackage(package.data(), (uint32_t)package.size(), nullptr, total);
}

// The header of a package with `count` files, as raw items, for packages that go wrong after it.
PackageBuilder headerItems(uint32_t count)
{
    PackageBuilder builder;
    builder.integer(0).text("run.exe").integer(CLEANUP_TREE).integer(count);
    return builder;
}

// An entry's first six items, up to and including the packed size.
PackageBuilder& entryItems(PackageBuilder& builder, uint32_t packedSize,
                           uint32_t method = METHOD_STORED)
{
    return builder.text("a.txt").absent().blob(std::vector<uint8_t>(PACKAGE_DIGEST_SIZE, 7))
        .integer(packedSize).integer(method).integer(packedSize);
}

TestEntry storedEntry(const std::string& name, const std::string& content)
{
    TestEntry entry;
    entry.name = name;
    entry.content = bytesOf(content);
    return entry;
}

}  // namespace

TEST(PackageReader, ItemBytesFollowTheDocumentedLayout)
{
    PackageBuilder builder;
    builder.integer(0).text("abc").absent();
    const std::vector<uint8_t> expected = {1, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0,
                                           3, 0, 0, 0, 4, 0, 0, 0, 'a', 'b', 'c', 0,
                                           3, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(builder.bytes, expected);
}

TEST(PackageReader, ReadItemReportsHeadNextAndValue)
{
    PackageBuilder builder;
    builder.blob({9, 8, 7}).integer(5);
    const uint8_t* package = builder.bytes.data();
    uint32_t size = (uint32_t)builder.bytes.size();

    uint32_t next = 0, type = 0, length = 0;
    const uint8_t* value = nullptr;
    ASSERT_TRUE(readItem(package, size, 0, &next, &type, &length, &value));
    EXPECT_EQ(next, 11u);  // odd length: the next item starts at an odd offset
    EXPECT_EQ(type, ITEM_BLOB);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(value, package + 8);

    uint32_t cursor = next, integer = 0;
    ASSERT_TRUE(readInt(package, size, &cursor, &integer));
    EXPECT_EQ(integer, 5u);
    EXPECT_EQ(cursor, size);
    // Every output is optional.
    EXPECT_TRUE(readItem(package, size, 0, nullptr, nullptr, nullptr, nullptr));
}

TEST(PackageReader, ItemHeadMustEndBeforeThePackageEnds)
{
    PackageBuilder builder;
    builder.blob({});
    const uint8_t* package = builder.bytes.data();
    // Eight bytes: a complete head of length 0 that ends exactly at the end is refused.
    EXPECT_FALSE(readItem(package, 8, 0, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(readItem(package, 0, 0, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(readItem(nullptr, 100, 0, nullptr, nullptr, nullptr, nullptr));
    // One more byte and it is read; the length-0 value is the null reference.
    builder.bytes.push_back(0);
    const uint8_t* value = builder.bytes.data();
    uint32_t next = 0;
    EXPECT_TRUE(readItem(builder.bytes.data(), 9, 0, &next, nullptr, nullptr, &value));
    EXPECT_EQ(next, 8u);
    EXPECT_EQ(value, nullptr);
    // Offsets near 2^32 must not wrap around into the package.
    EXPECT_FALSE(readItem(builder.bytes.data(), 9, 0xFFFFFFFC, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(readItem(builder.bytes.data(), 9, 0xFFFFFFF8, nullptr, nullptr, nullptr, nullptr));
}

TEST(PackageReader, ItemValueMustLieInsideThePackage)
{
    for (uint32_t length : {5u, 6u, 0x7FFFFFFFu, 0xFFFFFFF8u, 0xFFFFFFF9u, 0xFFFFFFFFu}) {
        PackageBuilder builder;
        builder.item(ITEM_BLOB, length, {1, 2, 3, 4});
        EXPECT_FALSE(readItem(builder.bytes.data(), (uint32_t)builder.bytes.size(), 0, nullptr,
                              nullptr, nullptr, nullptr))
            << "length " << length;
    }
    // A value that ends exactly at the end of the package is accepted.
    PackageBuilder exact;
    exact.item(ITEM_BLOB, 4, {1, 2, 3, 4});
    EXPECT_TRUE(readItem(exact.bytes.data(), (uint32_t)exact.bytes.size(), 0, nullptr, nullptr,
                         nullptr, nullptr));
}

TEST(PackageReader, ItemTypesAndIntegerLengthAreChecked)
{
    for (uint32_t type : {0u, 4u, 0xFFFFFFFFu}) {
        PackageBuilder builder;
        builder.item(type, 4, {0, 0, 0, 0});
        EXPECT_FALSE(readItem(builder.bytes.data(), (uint32_t)builder.bytes.size(), 0, nullptr,
                              nullptr, nullptr, nullptr))
            << "type " << type;
    }
    // An integer of length 8 is refused even though its first four bytes hold a fine value.
    for (uint32_t length : {0u, 3u, 8u}) {
        PackageBuilder builder;
        builder.item(ITEM_INT, length, std::vector<uint8_t>(length, 0)).integer(0);
        uint32_t cursor = 0;
        EXPECT_FALSE(readInt(builder.bytes.data(), (uint32_t)builder.bytes.size(), &cursor,
                             nullptr))
            << "length " << length;
    }
}

TEST(PackageReader, TypedReadersRefuseAnItemOfAnotherType)
{
    PackageBuilder builder;
    builder.integer(1).blob({1}).text("x").integer(0);
    const uint8_t* package = builder.bytes.data();
    uint32_t size = (uint32_t)builder.bytes.size();
    const uint32_t intAt = 0, blobAt = 12, textAt = 21;
    const char* text = nullptr;
    uint32_t cursor;

    cursor = blobAt;
    EXPECT_FALSE(readInt(package, size, &cursor, nullptr));
    cursor = textAt;
    EXPECT_FALSE(readInt(package, size, &cursor, nullptr));
    cursor = intAt;
    EXPECT_FALSE(readBlob(package, size, &cursor, nullptr, nullptr));
    cursor = textAt;
    EXPECT_FALSE(readBlob(package, size, &cursor, nullptr, nullptr));
    cursor = intAt;
    EXPECT_FALSE(readString(package, size, &cursor, &text));
    cursor = blobAt;
    EXPECT_FALSE(readString(package, size, &cursor, &text));

    cursor = textAt;
    ASSERT_TRUE(readString(package, size, &cursor, &text));
    EXPECT_STREQ(text, "x");
    EXPECT_EQ(cursor, textAt + 10);
}

TEST(PackageReader, StringsEndInNulOnlyTheLastByteIsChecked)
{
    PackageBuilder builder;
    builder.item(ITEM_STRING, 3, {'a', 0, 'b', 0}).integer(0);
    const char* text = nullptr;
    uint32_t cursor = 0;
    EXPECT_FALSE(readString(builder.bytes.data(), (uint32_t)builder.bytes.size(), &cursor, &text));

    // A NUL in the middle passes; the text as its users see it ends there.
    PackageBuilder inner;
    inner.item(ITEM_STRING, 4, {'a', 0, 'b', 0}).integer(0);
    cursor = 0;
    ASSERT_TRUE(readString(inner.bytes.data(), (uint32_t)inner.bytes.size(), &cursor, &text));
    EXPECT_STREQ(text, "a");
    EXPECT_EQ(cursor, 12u);
}

TEST(PackageReader, AbsentAndEmptyCommandAreDifferent)
{
    TestPackage absent;
    std::vector<uint8_t> bytes = buildPackage(absent);
    PackageHeader header = {};
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    header.command = "sentinel";
    ASSERT_TRUE(validatePackage(bytes.data(), (uint32_t)bytes.size(), &header, nullptr));
    EXPECT_EQ(header.command, nullptr);

    TestPackage empty;
    empty.command = "";
    bytes = buildPackage(empty);
    ASSERT_TRUE(validatePackage(bytes.data(), (uint32_t)bytes.size(), &header, nullptr));
    ASSERT_NE(header.command, nullptr);
    EXPECT_STREQ(header.command, "");
}

TEST(PackageReader, ValidatePackageReturnsHeaderAndTotal)
{
    TestPackage description;
    description.command = "setup.exe /q";
    description.cleanupMode = CLEANUP_DETACH;
    description.entries = {storedEntry("one.txt", "first"), storedEntry("two.txt", "second!")};
    std::vector<uint8_t> bytes = buildPackage(description);

    PackageHeader header = {};
    uint32_t total = 12345;
    ASSERT_TRUE(validatePackage(bytes.data(), (uint32_t)bytes.size(), &header, &total));
    EXPECT_EQ(header.recordSize, PACKAGE_HEADER_RECORD_SIZE);
    EXPECT_EQ(header.version, 0u);
    EXPECT_STREQ(header.command, "setup.exe /q");
    EXPECT_EQ((const uint8_t*)header.command, bytes.data() + 20);  // in place, not a copy
    EXPECT_EQ(header.cleanupMode, (uint32_t)CLEANUP_DETACH);
    EXPECT_EQ(header.fileCount, 2u);
    EXPECT_EQ(total, 12u);
}

TEST(PackageReader, ValidatePackageLeavesHeaderAloneOnFailure)
{
    TestPackage description;
    description.fileCount = 1;
    std::vector<uint8_t> bytes = buildPackage(description);
    PackageHeader header = {};
    header.fileCount = 77;
    uint32_t total = 5;
    EXPECT_FALSE(validatePackage(bytes.data(), (uint32_t)bytes.size(), &header, &total));
    EXPECT_EQ(header.fileCount, 77u);
    EXPECT_EQ(total, 0u);
}

TEST(PackageReader, EmptyPackageIsValidWithTotalZero)
{
    TestPackage description;
    description.command = "cmd";
    std::vector<uint8_t> bytes = buildPackage(description);
    uint32_t total = 99;
    EXPECT_TRUE(validates(bytes, &total));
    EXPECT_EQ(total, 0u);
    // Too small for the first item.
    for (uint32_t size : {0u, 1u, 8u}) {
        EXPECT_FALSE(validatePackage(bytes.data(), size, nullptr, nullptr)) << size;
    }
}

TEST(PackageReader, RefusesHeaderValuesOutOfRange)
{
    TestPackage version;
    version.version = 1;
    EXPECT_FALSE(validates(buildPackage(version)));
    TestPackage mode;
    mode.cleanupMode = 3;
    EXPECT_FALSE(validates(buildPackage(mode)));
    mode.cleanupMode = 0xFFFFFFFF;
    EXPECT_FALSE(validates(buildPackage(mode)));
    for (uint32_t fine : {CLEANUP_JOURNAL, CLEANUP_TREE, CLEANUP_DETACH}) {
        mode.cleanupMode = fine;
        EXPECT_TRUE(validates(buildPackage(mode))) << fine;
    }
    // The command must be a string item.
    PackageBuilder builder;
    builder.integer(0).blob({'a', 0}).integer(CLEANUP_TREE).integer(0);
    EXPECT_FALSE(validates(builder.bytes));
}

TEST(PackageReader, RecordSizeWordsAreChecked)
{
    std::vector<uint8_t> bytes = buildPackage({});
    PackageHeader header = {};
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE + 1;
    EXPECT_FALSE(readHeader(bytes.data(), (uint32_t)bytes.size(), nullptr, &header));
    EXPECT_FALSE(readHeader(bytes.data(), (uint32_t)bytes.size(), nullptr, nullptr));
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    uint32_t end = 0;
    EXPECT_TRUE(readHeader(bytes.data(), (uint32_t)bytes.size(), &end, &header));
    EXPECT_EQ(end, bytes.size());

    TestPackage one;
    one.entries = {storedEntry("a", "b")};
    bytes = buildPackage(one);
    FileEntry entry = {};
    entry.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    EXPECT_FALSE(readEntry(bytes.data(), (uint32_t)bytes.size(), end, nullptr, &entry));
    EXPECT_FALSE(readEntry(bytes.data(), (uint32_t)bytes.size(), end, nullptr, nullptr));
    entry.recordSize = FILE_ENTRY_RECORD_SIZE;
    EXPECT_TRUE(readEntry(bytes.data(), (uint32_t)bytes.size(), end, nullptr, &entry));
}

TEST(PackageReader, ReadEntryFillsEveryField)
{
    TestPackage description;
    TestEntry entry = storedEntry("bin\\tool.exe", "payload");
    entry.directory = "%ProgramFiles%\\Tool";
    description.entries = {entry};
    TestEntry compressed;
    compressed.name = "b";
    compressed.method = METHOD_LZHUF;
    compressed.content = bytesOf("xxxxxxxx");
    compressed.packed = std::vector<uint8_t>{0xAA, 0xBB, 0xCC};
    description.entries.push_back(compressed);
    std::vector<uint8_t> bytes = buildPackage(description);
    uint32_t size = (uint32_t)bytes.size();

    PackageHeader header = {};
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    uint32_t offset = 0;
    ASSERT_TRUE(readHeader(bytes.data(), size, &offset, &header));

    FileEntry read = {};
    read.recordSize = FILE_ENTRY_RECORD_SIZE;
    ASSERT_TRUE(readEntry(bytes.data(), size, offset, &offset, &read));
    EXPECT_STREQ(read.name, "bin\\tool.exe");
    EXPECT_STREQ(read.directory, "%ProgramFiles%\\Tool");
    EXPECT_EQ(std::vector<uint8_t>(read.digest, read.digest + PACKAGE_DIGEST_SIZE),
              sha1Digest(bytesOf("payload")));
    EXPECT_EQ(read.unpackedSize, 7u);
    EXPECT_EQ(read.method, METHOD_STORED);
    EXPECT_EQ(read.packedSize, 7u);
    EXPECT_EQ(0, memcmp(read.data, "payload", 7));

    ASSERT_TRUE(readEntry(bytes.data(), size, offset, &offset, &read));
    EXPECT_STREQ(read.name, "b");
    EXPECT_EQ(read.directory, nullptr);
    EXPECT_EQ(read.unpackedSize, 8u);
    EXPECT_EQ(read.method, METHOD_LZHUF);
    EXPECT_EQ(read.packedSize, 3u);
    EXPECT_EQ(read.data, bytes.data() + size - 3);
    EXPECT_EQ(offset, size);
}

TEST(PackageReader, EntryWithPackedSizeZeroHasNoDataItem)
{
    TestPackage description;
    description.entries = {storedEntry("empty", ""), storedEntry("full", "z")};
    std::vector<uint8_t> bytes = buildPackage(description);
    uint32_t total = 1;
    ASSERT_TRUE(validates(bytes, &total));
    EXPECT_EQ(total, 1u);

    FileEntry entry = {};
    entry.recordSize = FILE_ENTRY_RECORD_SIZE;
    entry.data = bytes.data();
    uint32_t start = 44;  // behind the header with its absent command
    uint32_t next = 0;
    ASSERT_TRUE(readEntry(bytes.data(), (uint32_t)bytes.size(), start, &next, &entry));
    EXPECT_EQ(entry.data, nullptr);
    // Six items: two texts of 14 and 8 bytes, a 28-byte digest and three integers.
    EXPECT_EQ(next, start + 14 + 8 + 28 + 3 * 12);

    // A data blob after an entry of packed size 0 is taken as the next entry or as bytes
    // after the last one: refused either way.
    PackageBuilder last = headerItems(1);
    entryItems(last, 0).blob({});
    EXPECT_FALSE(validates(last.bytes));
    PackageBuilder middle = headerItems(2);
    entryItems(middle, 0).blob({1});
    entryItems(middle, 0);
    EXPECT_FALSE(validates(middle.bytes));
}

TEST(PackageReader, RefusesMalformedEntries)
{
    struct Case {
        const char* what;
        TestEntry entry;
    };
    std::vector<Case> cases;
    for (size_t digestLength : {0, 19, 21, 40}) {
        TestEntry entry = storedEntry("a", "b");
        entry.digest = std::vector<uint8_t>(digestLength, 0);
        cases.push_back({"digest length", entry});
    }
    for (uint32_t method : {3u, 4u, 0xFFFFFFFFu}) {
        TestEntry entry = storedEntry("a", "b");
        entry.method = method;
        cases.push_back({"method", entry});
    }
    {
        // A blob shorter than the packed size would make the unpack operation read past it.
        TestEntry entry = storedEntry("a", "bcd");
        entry.packedSize = 4;
        cases.push_back({"short data", entry});
        entry.packedSize = 2;
        cases.push_back({"long data", entry});
        entry.packedSize = 1;
        entry.packed = std::vector<uint8_t>{};
        cases.push_back({"empty data blob", entry});
    }
    for (const Case& c : cases) {
        TestPackage description;
        description.entries = {c.entry};
        EXPECT_FALSE(validates(buildPackage(description))) << c.what;
    }

    // Items of the wrong type in an entry's places.
    PackageBuilder nameAsBlob = headerItems(1);
    nameAsBlob.blob({'a', 0}).absent().blob(std::vector<uint8_t>(20)).integer(0).integer(0)
        .integer(0);
    EXPECT_FALSE(validates(nameAsBlob.bytes));
    PackageBuilder digestAsText = headerItems(1);
    digestAsText.absent().absent().text(std::string(19, 'd')).integer(0).integer(0).integer(0);
    EXPECT_FALSE(validates(digestAsText.bytes));
    PackageBuilder dataAsText = headerItems(1);
    entryItems(dataAsText, 2).text("x");
    EXPECT_FALSE(validates(dataAsText.bytes));
    PackageBuilder wideInteger = headerItems(1);
    wideInteger.absent().absent().blob(std::vector<uint8_t>(20)).integer(0).integer(0)
        .item(ITEM_INT, 8, std::vector<uint8_t>(8, 0));
    EXPECT_FALSE(validates(wideInteger.bytes));
}

TEST(PackageReader, WalkMustEndExactlyAtThePackageEnd)
{
    TestPackage description;
    description.entries = {storedEntry("a", "bc")};
    std::vector<uint8_t> bytes = buildPackage(description);
    ASSERT_TRUE(validates(bytes));

    std::vector<uint8_t> oneMore = bytes;
    oneMore.push_back(0);
    EXPECT_FALSE(validates(oneMore));

    PackageBuilder extraItem;
    extraItem.bytes = bytes;
    extraItem.integer(0);
    EXPECT_FALSE(validates(extraItem.bytes));

    for (uint32_t shorter = 1; shorter <= bytes.size(); ++shorter) {
        EXPECT_FALSE(validatePackage(bytes.data(), (uint32_t)bytes.size() - shorter, nullptr,
                                     nullptr))
            << shorter;
    }

    // More files announced than present, fewer announced than present.
    description.fileCount = 2;
    EXPECT_FALSE(validates(buildPackage(description)));
    description.fileCount = 0;
    EXPECT_FALSE(validates(buildPackage(description)));
    // A count far beyond what fits fails at the first missing entry.
    description.fileCount = 0xFFFFFFFF;
    EXPECT_FALSE(validates(buildPackage(description)));
}

TEST(PackageReader, TotalOfUnpackedSizesWrapsAround)
{
    TestPackage description;
    for (uint32_t size : {0x80000000u, 0x80000000u, 5u}) {
        TestEntry entry;
        entry.name = "big";
        entry.unpackedSize = size;
        entry.method = METHOD_LZHUF;
        entry.packed = std::vector<uint8_t>{0};
        description.entries.push_back(entry);
    }
    uint32_t total = 0;
    ASSERT_TRUE(validates(buildPackage(description), &total));
    EXPECT_EQ(total, 5u);
}

namespace {

// Entries for a solid stream of `members` (made by the tool's encoder): the first holds the
// stream, the others no data.
std::vector<TestEntry> solidEntries(const std::vector<std::vector<uint8_t>>& members,
                                    SolidLevel level = SOLID_LEVEL_FAST, bool x86 = false)
{
    std::vector<const std::vector<uint8_t>*> pointers;
    for (const auto& m : members) pointers.push_back(&m);
    std::vector<uint8_t> stream;
    std::string error;
    EXPECT_TRUE(encodeSolidStream(pointers, level, x86, &stream, &error)) << error;
    std::vector<TestEntry> entries;
    for (size_t i = 0; i < members.size(); ++i) {
        TestEntry entry;
        entry.name = "m" + std::to_string(i);
        entry.content = members[i];
        entry.method = METHOD_LZMA2;
        entry.packed = i == 0 ? stream : std::vector<uint8_t>();
        entries.push_back(entry);
    }
    return entries;
}

}  // namespace

TEST(PackageReader, SolidStreamMembersValidateInOrder)
{
    TestPackage package;
    package.entries = solidEntries({bytesOf("first file"), {}, bytesOf(std::string(5000, 'x'))});
    package.entries.push_back(storedEntry("after", "stored"));
    std::vector<TestEntry> second = solidEntries({bytesOf("second stream")});
    package.entries.insert(package.entries.end(), second.begin(), second.end());
    uint32_t total = 0;
    EXPECT_TRUE(validates(buildPackage(package), &total));
    EXPECT_EQ(total, 10u + 5000u + 6u + 13u);

    // An empty first member still carries the stream.
    TestPackage emptyFirst;
    emptyFirst.entries = solidEntries({{}, bytesOf("b")});
    EXPECT_TRUE(validates(buildPackage(emptyFirst)));
}

TEST(PackageReader, RefusesBrokenSolidStreamRuns)
{
    const std::vector<TestEntry> three = solidEntries({bytesOf("one"), bytesOf("two"), bytesOf("three")});
    struct Case {
        const char* what;
        std::vector<TestEntry> entries;
    };
    std::vector<Case> cases;
    {
        Case c{"a member without its stream", {three[1]}};
        cases.push_back(c);
    }
    {
        Case c{"a stored entry between members", three};
        c.entries.insert(c.entries.begin() + 1, storedEntry("between", "x"));
        cases.push_back(c);
    }
    {
        Case c{"the package ends before the last member", three};
        c.entries.pop_back();
        cases.push_back(c);
    }
    {
        Case c{"a member too many", three};
        c.entries.push_back(three[2]);
        cases.push_back(c);
    }
    {
        Case c{"a new stream before the last one is complete", three};
        c.entries[2] = three[0];
        cases.push_back(c);
    }
    {
        // The members' sizes must add up to what the stream holds: one byte moved to the
        // last member's declared size is refused, and so is one taken from it.
        Case c{"members take more than the stream holds", three};
        c.entries[2].unpackedSize = 6;
        cases.push_back(c);
        c.entries[2].unpackedSize = 4;
        c.what = "members take less than the stream holds";
        cases.push_back(c);
    }
    {
        // Sizes that add up to the stream's size only modulo 2^32.
        Case c{"member sizes past 4 GiB", three};
        c.entries[0].unpackedSize = 0x80000000u;
        c.entries[1].unpackedSize = 0x80000000u;
        cases.push_back(c);
    }
    {
        Case c{"a stream's data cut short", three};
        std::vector<uint8_t> cut = *c.entries[0].packed;
        cut.resize(cut.size() - 1);
        c.entries[0].packed = cut;
        cases.push_back(c);
    }
    {
        Case c{"a stream's header declaring a 128 MiB dictionary", three};
        std::vector<uint8_t> big = *c.entries[0].packed;
        big[8] = 0;
        big[9] = 0;
        big[10] = 0;
        big[11] = 8;
        c.entries[0].packed = big;
        cases.push_back(c);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestPackage package;
        package.entries = c.entries;
        EXPECT_FALSE(validates(buildPackage(package)));
    }
}

TEST(PackageReader, StreamThatListsItsMembersSizesMustListEachEntrysOwn)
{
    // The filter that restarts at each member lists the members' sizes in the stream: the
    // entries must declare the same sizes, not only the same total.
    const std::vector<TestEntry> three =
        solidEntries({bytesOf("one"), {}, bytesOf("three")}, SOLID_LEVEL_MAX, true);
    ASSERT_EQ((*three[0].packed)[12], SOLID_FILTER_X86_EACH_MEMBER);
    TestPackage package;
    package.entries = three;
    EXPECT_TRUE(validates(buildPackage(package)));
    package.entries[0].unpackedSize = 2;
    package.entries[1].unpackedSize = 1;
    EXPECT_FALSE(validates(buildPackage(package)));
    package.entries = three;
    package.entries[1].unpackedSize = 5;
    package.entries[2].unpackedSize = 0;
    EXPECT_FALSE(validates(buildPackage(package)));
}
