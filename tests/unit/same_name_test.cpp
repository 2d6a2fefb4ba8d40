// When two destinations are one object on Windows: the upper-casing of code units, the key
// of a path, and the search for entries whose keys meet.
#include "package/same_name.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::u16string keyOf(const std::u16string& path) {
    std::u16string key(path.size(), u'\0');
    key.resize(nameKey(reinterpret_cast<const uint16_t*>(path.data()), static_cast<uint32_t>(path.size()),
                       reinterpret_cast<uint16_t*>(&key[0])));
    return key;
}

// The entries (by index) that the clash groups of `destinations` hold, group by group; a
// destination ending in "\" names a directory only.
std::vector<std::vector<uint32_t>> clashes(const std::vector<std::u16string>& destinations) {
    std::vector<std::u16string> keys;
    for (const std::u16string& d : destinations) keys.push_back(keyOf(d));
    std::vector<NameKeyRecord> records;
    for (uint32_t i = 0; i < keys.size(); ++i) {
        const uint16_t* key = reinterpret_cast<const uint16_t*>(keys[i].data());
        const uint32_t length = static_cast<uint32_t>(keys[i].size());
        const bool namesFile = !destinations[i].empty() && destinations[i].back() != u'\\';
        const uint32_t count = nameKeyRecords(key, length, i, namesFile, nullptr);
        EXPECT_LE(count, length + 1);
        const size_t at = records.size();
        records.resize(at + count);
        EXPECT_EQ(nameKeyRecords(key, length, i, namesFile, records.data() + at), count);
    }
    const uint32_t count = static_cast<uint32_t>(records.size());
    sortNameKeys(records.data(), count);
    std::vector<std::vector<uint32_t>> groups;
    uint32_t end = 0;
    for (uint32_t g = nextNameClash(records.data(), count, 0, &end); g < count;
         g = nextNameClash(records.data(), count, end, &end)) {
        groups.emplace_back();
        for (uint32_t r = g; r < end; ++r) groups.back().push_back(records[r].owner / 2);
        std::sort(groups.back().begin(), groups.back().end());
    }
    return groups;
}

}  // namespace

TEST(SameName, UpperCasesEveryScriptByItsSimpleMapping) {
    // Where the Unicode data is not installed: a unit of each kind of run and the ends.
    const uint16_t pairs[][2] = {
        {'a', 'A'}, {'A', 'A'}, {'{', '{'},
        {0x00E9, 0x00C9},  // é É
        {0x0101, 0x0100},  // ā Ā, a run of every second unit
        {0x0100, 0x0100},
        {0x0430, 0x0410},  // Cyrillic а А
        {0x03C2, 0x03A3},  // final ς Σ
        {0x10D0, 0x1C90},  // Georgian, behind a gap of more than 255 units
        {0xFF41, 0xFF21},  // fullwidth ａ Ａ, the last run
        {0x00DF, 0x00DF},  // ß: only a full mapping (SS), which names do not use
        {0xD801, 0xD801},  // a surrogate stays what it is
        {0xFFFF, 0xFFFF},
    };
    for (const auto& pair : pairs) EXPECT_EQ(upcaseUnit(pair[0]), pair[1]) << std::hex << pair[0];
}

TEST(SameName, TableAgreesWithTheUnicodeData) {
    std::ifstream data("/usr/share/unicode/UnicodeData.txt");
    if (!data) GTEST_SKIP() << "no /usr/share/unicode/UnicodeData.txt (Debian's unicode-data)";
    std::vector<uint16_t> expected(0x10000);
    for (uint32_t c = 0; c < 0x10000; ++c) expected[c] = static_cast<uint16_t>(c);
    std::string line;
    size_t mapped = 0;
    while (std::getline(data, line)) {
        std::vector<std::string> fields;
        std::stringstream split(line);
        std::string field;
        while (std::getline(split, field, ';')) fields.push_back(field);
        if (fields.size() < 13 || fields[12].empty()) continue;
        const unsigned long code = std::stoul(fields[0], nullptr, 16);
        const unsigned long upper = std::stoul(fields[12], nullptr, 16);
        if (code > 0xFFFF || upper > 0xFFFF) continue;
        expected[code] = static_cast<uint16_t>(upper);
        ++mapped;
    }
    EXPECT_GT(mapped, 1000u);
    size_t wrong = 0;
    for (uint32_t c = 0; c < 0x10000; ++c) {
        if (upcaseUnit(static_cast<uint16_t>(c)) != expected[c] && ++wrong <= 5) {
            ADD_FAILURE() << std::hex << "U+" << c << " gives " << upcaseUnit(static_cast<uint16_t>(c)) << ", not "
                          << expected[c];
        }
    }
    EXPECT_EQ(wrong, 0u);
}

TEST(SameName, KeyDropsCaseTrailingDotsAndSpacesAndDoubledSeparators) {
    EXPECT_EQ(keyOf(u"run.bat"), keyOf(u"RUN.BAT"));
    EXPECT_EQ(keyOf(u"\u00E9.txt"), keyOf(u"\u00C9.txt"));
    EXPECT_EQ(keyOf(u"a.txt"), keyOf(u"A.TXT. "));
    EXPECT_EQ(keyOf(u"a.txt"), keyOf(u"a.txt..."));
    EXPECT_EQ(keyOf(u"sub. \\a.txt"), u"SUB\\A.TXT");
    EXPECT_EQ(keyOf(u"sub//x/a.txt"), u"SUB\\X\\A.TXT");
    EXPECT_EQ(keyOf(u"\\sub\\a.txt"), u"SUB\\A.TXT");
    EXPECT_EQ(keyOf(u"sub\\"), u"SUB");
    EXPECT_EQ(keyOf(u"C:\\Data\\a.txt"), u"C:\\DATA\\A.TXT");
    EXPECT_EQ(keyOf(u"c:/data//A.TXT"), u"C:\\DATA\\A.TXT");
    // A share keeps its two leading separators: it is not the relative "server\share\f".
    EXPECT_EQ(keyOf(u"\\\\server\\share\\f"), u"\\\\SERVER\\SHARE\\F");
    EXPECT_EQ(keyOf(u"//server/share/f"), u"\\\\SERVER\\SHARE\\F");
    EXPECT_EQ(keyOf(u""), u"");
    EXPECT_EQ(keyOf(u". \\ ."), u"");
    // Leading dots and spaces are part of the name; inner ones too.
    EXPECT_EQ(keyOf(u" .a. b"), u" .A. B");
    EXPECT_NE(keyOf(u"stra\u00DFe"), keyOf(u"STRASSE"));
}

TEST(SameName, FindsEveryFileThatMeetsAnotherEntrysFileOrDirectory) {
    // Files of one name on Windows.
    EXPECT_EQ(clashes({u"run.bat", u"setup.exe", u"RUN.BAT"}), (std::vector<std::vector<uint32_t>>{{0, 2}}));
    EXPECT_EQ(clashes({u"\u00E9.txt", u"\u00C9.txt"}), (std::vector<std::vector<uint32_t>>{{0, 1}}));
    EXPECT_EQ(clashes({u"a.txt", u"A.TXT. "}), (std::vector<std::vector<uint32_t>>{{0, 1}}));
    EXPECT_EQ(clashes({u"C:\\Tools\\app.ini", u"c:\\tools\\APP.INI"}), (std::vector<std::vector<uint32_t>>{{0, 1}}));
    // A file where another entry needs a directory, in either order.
    EXPECT_EQ(clashes({u"lib", u"LIB\\x.dll"}), (std::vector<std::vector<uint32_t>>{{0, 1}}));
    EXPECT_EQ(clashes({u"Lib\\x.dll", u"lib\\y.dll", u"LIB"}), (std::vector<std::vector<uint32_t>>{{0, 1, 2}}));
    // Directories of one name are one directory; a directory-only entry is one of them.
    EXPECT_TRUE(clashes({u"lib\\x.dll", u"LIB\\y.dll", u"Lib\\", u"lib\\sub\\z.dll"}).empty());
    EXPECT_EQ(clashes({u"lib\\", u"LIB"}), (std::vector<std::vector<uint32_t>>{{0, 1}}));
    // Names that Windows keeps apart.
    EXPECT_TRUE(clashes({u"stra\u00DFe", u"STRASSE", u"a.txt", u"a.txt.bak", u"sub\\a.txt", u"\\\\sub\\a.txt\\f",
                         u"C:\\a.txt", u"", u""})
                    .empty());
}

TEST(SameName, FindsTheOneClashAmongManyEntries) {
    // Sorted, not compared pair by pair: the clash between the first entry and the last is
    // found among twenty thousand.
    std::vector<std::u16string> destinations;
    destinations.push_back(u"data\\Part-0.bin");
    for (int i = 1; i < 20000; ++i) {
        std::string name = "data\\part-" + std::to_string(i) + ".bin";
        destinations.push_back(std::u16string(name.begin(), name.end()));
    }
    destinations.push_back(u"DATA\\PART-0.BIN ");
    EXPECT_EQ(clashes(destinations), (std::vector<std::vector<uint32_t>>{{0, 20000}}));
    destinations.pop_back();
    EXPECT_TRUE(clashes(destinations).empty());
}
