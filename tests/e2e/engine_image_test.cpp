// The engine as built: a PE32 GUI program of at most 64 KiB (and 12 KiB for the solid-stream
// decoder) that imports only system DLLs,
// loads at a random base with data that cannot be executed, and carries its resources
// exactly as the run and the user see them.
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

#include <algorithm>
#include <gtest/gtest.h>

#include "e2e/harness.h"
#include "package/sha1.h"
#include "runpack/image/pe_resources.h"

namespace {

const uint16_t RT_STRING_ID = 6, RT_DIALOG_ID = 5, RT_BITMAP_ID = 2, RT_GROUP_ICON_ID = 14,
               RT_VERSION_ID = 16, RT_MANIFEST_ID = 24;
const uint16_t ENGLISH_US = 0x0409, CZECH = 0x0405;

std::vector<uint8_t> productEngine() {
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_TRUE(readFile(std::string(RUNPACK_SOURCE_DIR) + "/build/win32/runpack-engine.exe", &image, &error)) << error;
    return image;
}

const PeResource* find(const std::vector<PeResource>& all, uint16_t type, uint16_t name, int language = -1) {
    for (const PeResource& r : all) {
        if (!r.type.isName && r.type.id == type && !r.name.isName && r.name.id == name &&
            (language < 0 || r.language == language)) {
            return &r;
        }
    }
    return nullptr;
}

std::string utf8(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 63));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 63));
            out += static_cast<char>(0x80 | (c & 63));
        }
    }
    return out;
}

// The sixteen strings of one string-table block: each a length word and UTF-16 units.
std::vector<std::string> stringBlock(const PeResource& block) {
    std::vector<std::string> strings;
    size_t at = 0;
    for (int i = 0; i < 16 && at + 2 <= block.data.size(); ++i) {
        uint16_t length = block.data[at] | (block.data[at + 1] << 8);
        at += 2;
        std::u16string text;
        for (uint16_t k = 0; k < length && at + 2 <= block.data.size(); ++k, at += 2) {
            text += static_cast<char16_t>(block.data[at] | (block.data[at + 1] << 8));
        }
        strings.push_back(utf8(text));
    }
    return strings;
}

struct Reader {
    const std::vector<uint8_t>& data;
    size_t at = 0;
    uint16_t word() { uint16_t v = data.at(at) | (data.at(at + 1) << 8); at += 2; return v; }
    uint32_t dword() { uint32_t low = word(); return low | (static_cast<uint32_t>(word()) << 16); }
    std::string text() { std::u16string t; for (uint16_t c; (c = word()) != 0;) t += static_cast<char16_t>(c); return utf8(t); }
    void align4() { at = (at + 3) & ~size_t(3); }
};

TEST(EngineImage, IsSmallStaticGuiPe32) {
    std::vector<uint8_t> image = productEngine();
    PeFacts facts;
    std::string error;
    ASSERT_TRUE(readPeFacts(image, &facts, &error)) << error;
    EXPECT_EQ(facts.machine, PE_MACHINE_I386);
    EXPECT_FALSE(facts.pe32Plus);
    EXPECT_EQ(facts.subsystem, PE_SUBSYSTEM_GUI);
    EXPECT_EQ(facts.checksum, facts.computedChecksum);
    // 64 KiB for the engine, and at most 12 KiB more for the solid-stream decoder (LZMA2 with
    // its branch filter), which is allowed to grow the engine by that much.
    EXPECT_LE(image.size(), 64u * 1024u + 12u * 1024u);
    RecordProperty("engine_bytes", std::to_string(image.size()));
    printf("engine: %zu bytes\n", image.size());
    // The engine removes its working directory with its own walk: the shell is not among
    // the libraries it needs, so none of the shell's own dependencies is loaded either.
    const std::vector<std::string> system = {"kernel32.dll", "user32.dll", "gdi32.dll",
                                             "advapi32.dll", "ntdll.dll", "msvcrt.dll"};
    for (std::string dll : facts.importedDlls) {
        std::transform(dll.begin(), dll.end(), dll.begin(), ::tolower);
        EXPECT_NE(std::find(system.begin(), system.end(), dll), system.end()) << dll;
    }
}

// The header fields that say how Windows may load an image, and its base relocations.
struct LoadFacts {
    bool pe32Plus = false;
    uint16_t fileCharacteristics = 0;
    uint16_t dllCharacteristics = 0;
    std::vector<uint8_t> relocations;  // the bytes the base-relocation directory names
    bool relocationsValid = false;     // every block well formed, every target in a kept section
    size_t relocationCount = 0;
    std::string relocationSection;     // name of the section that holds them
    std::string lastSection;
};

const uint16_t IMAGE_FILE_RELOCS_STRIPPED = 0x0001;
const uint16_t DLL_HIGH_ENTROPY_VA = 0x0020, DLL_DYNAMIC_BASE = 0x0040, DLL_NX_COMPAT = 0x0100,
               DLL_TERMINAL_SERVER_AWARE = 0x8000;
const uint16_t RELOCATION_ABSOLUTE = 0, RELOCATION_HIGHLOW = 3, RELOCATION_DIR64 = 10;

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b.at(at) | (b.at(at + 1) << 8) | (b.at(at + 2) << 16) | (static_cast<uint32_t>(b.at(at + 3)) << 24);
}
uint16_t le16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b.at(at) | (b.at(at + 1) << 8)); }

LoadFacts loadFacts(const std::vector<uint8_t>& image) {
    LoadFacts facts;
    const size_t pe = le32(image, 0x3C);
    const size_t fileHeader = pe + 4, optional = pe + 24;
    const uint16_t sectionCount = le16(image, fileHeader + 2);
    facts.fileCharacteristics = le16(image, fileHeader + 18);
    facts.pe32Plus = le16(image, optional) == 0x20B;
    facts.dllCharacteristics = le16(image, optional + 70);
    const size_t directories = optional + (facts.pe32Plus ? 112 : 96);
    const uint32_t relocRva = le32(image, directories + 5 * 8), relocSize = le32(image, directories + 5 * 8 + 4);
    struct Section { std::string name; uint32_t rva, size, raw; };
    std::vector<Section> sections;
    const size_t table = optional + le16(image, fileHeader + 16);
    for (uint16_t i = 0; i < sectionCount; ++i) {
        size_t at = table + i * 40u;
        std::string name(reinterpret_cast<const char*>(&image.at(at)), 8);
        name = name.c_str();
        sections.push_back({name, le32(image, at + 12), std::max(le32(image, at + 8), le32(image, at + 16)),
                            le32(image, at + 20)});
    }
    if (!sections.empty()) facts.lastSection = sections.back().name;
    auto sectionOf = [&](uint32_t rva) -> const Section* {
        for (const Section& s : sections) {
            if (rva >= s.rva && rva < s.rva + s.size) return &s;
        }
        return nullptr;
    };
    const Section* holder = sectionOf(relocRva);
    if (relocSize == 0 || holder == nullptr) return facts;
    facts.relocationSection = holder->name;
    size_t start = holder->raw + (relocRva - holder->rva);
    facts.relocations.assign(image.begin() + start, image.begin() + start + relocSize);

    // Blocks of one page each: the page's address, the block's size, then 16-bit entries of
    // a type and an offset in the page. Nothing may point into the sections a builder moves.
    facts.relocationsValid = true;
    for (size_t at = 0; at < facts.relocations.size();) {
        uint32_t page = le32(facts.relocations, at), size = le32(facts.relocations, at + 4);
        if (size < 8 || size % 2 != 0 || at + size > facts.relocations.size()) {
            facts.relocationsValid = false;
            return facts;
        }
        for (size_t e = at + 8; e < at + size; e += 2) {
            uint16_t entry = le16(facts.relocations, e);
            uint16_t type = entry >> 12;
            if (type == RELOCATION_ABSOLUTE) continue;
            const Section* target = sectionOf(page + (entry & 0xFFF));
            bool kept = target != nullptr && target->name != ".rsrc" && target->name != ".reloc";
            if (type != (facts.pe32Plus ? RELOCATION_DIR64 : RELOCATION_HIGHLOW) || !kept) facts.relocationsValid = false;
            ++facts.relocationCount;
        }
        at += size;
    }
    return facts;
}

// The product and, where it differs, the build that runs here (the x86_64 twin on machines
// without 32-bit support).
std::vector<fs::path> enginesToCheck() {
    std::vector<fs::path> engines = {fs::path(RUNPACK_SOURCE_DIR) / "build" / "win32" / "runpack-engine.exe"};
    fs::path running = windowsBuildDir() / "runpack-engine.exe";
    if (fs::exists(running) && !fs::equivalent(running, engines[0])) engines.push_back(running);
    return engines;
}

TEST(EngineImage, LoadsAtRandomBaseWithDataNotExecutable) {
    for (const fs::path& engine : enginesToCheck()) {
        SCOPED_TRACE(engine.string());
        std::vector<uint8_t> image;
        std::string error;
        ASSERT_TRUE(readFile(engine.string(), &image, &error)) << error;
        printf("%s: %zu bytes\n", engine.string().c_str(), image.size());
        LoadFacts facts = loadFacts(image);
        EXPECT_EQ(facts.dllCharacteristics & DLL_DYNAMIC_BASE, DLL_DYNAMIC_BASE);
        EXPECT_EQ(facts.dllCharacteristics & DLL_NX_COMPAT, DLL_NX_COMPAT);
        // A Remote Desktop host gives it the system's Windows directory, not a session's own.
        EXPECT_EQ(facts.dllCharacteristics & DLL_TERMINAL_SERVER_AWARE, DLL_TERMINAL_SERVER_AWARE);
        if (facts.pe32Plus) {
            EXPECT_EQ(facts.dllCharacteristics & DLL_HIGH_ENTROPY_VA, DLL_HIGH_ENTROPY_VA);
        }
        EXPECT_EQ(facts.fileCharacteristics & IMAGE_FILE_RELOCS_STRIPPED, 0);
        EXPECT_GT(facts.relocationCount, 0u);
        EXPECT_TRUE(facts.relocationsValid);
    }
}

TEST(EngineImage, KeepsRelocationsAndFlagsWhenAPackageIsEmbedded) {
    for (const fs::path& engine : enginesToCheck()) {
        SCOPED_TRACE(engine.string());
        std::vector<uint8_t> image;
        std::string error;
        ASSERT_TRUE(readFile(engine.string(), &image, &error)) << error;
        // A package larger than the section alignment, so that the relocations have to move.
        std::vector<uint8_t> package(70000);
        for (size_t i = 0; i < package.size(); ++i) package[i] = static_cast<uint8_t>(i * 7);
        std::vector<uint8_t> digest(SHA1_DIGEST_SIZE);
        sha1OfBuffer(package.data(), static_cast<uint32_t>(package.size()), digest.data());
        std::vector<uint8_t> built;
        ASSERT_TRUE(embedRunInfo(image, &package, &digest, &built, &error)) << error;

        LoadFacts before = loadFacts(image), after = loadFacts(built);
        EXPECT_EQ(after.dllCharacteristics, before.dllCharacteristics);
        EXPECT_EQ(after.fileCharacteristics, before.fileCharacteristics);
        EXPECT_EQ(after.relocations, before.relocations);
        EXPECT_TRUE(after.relocationsValid);
        EXPECT_EQ(after.relocationSection, ".reloc");
        EXPECT_EQ(after.lastSection, ".reloc");
        PeFacts pe;
        ASSERT_TRUE(readPeFacts(built, &pe, &error)) << error;
        EXPECT_EQ(pe.checksum, pe.computedChecksum);
    }
}

TEST(EngineImage, CarriesMessagesInBothLanguages) {
    std::vector<PeResource> all;
    std::string error;
    ASSERT_TRUE(readPeResources(productEngine(), &all, &error)) << error;
    const std::vector<std::string> english = {"", "", "Cannot get RUNINFO\r\nError code: 0x%X",
        "Cannot lock RUNINFO\r\nError code: 0x%X", "Missing RUNINFO or bad checksum!", "Cannot process RUNINFO!",
        "Cannot get the name of a temporary directory!\r\nError code: 0x%X",
        "Cannot create temporary directory!\r\nError code: 0x%X",
        "Cannot set the temporary directory current one!\r\nError code: 0x%X", "Cannot extract files!",
        "Cannot allocate command memory!", "Cannot create process!", "Processing error",
        "Cannot read RUNINFO\r\nError code: 0x%X", "", ""};
    const std::vector<std::string> czech = {"", "", "Nelze získat RUNINFO\r\nKód chyby: 0x%X",
        "Nelze zamknout RUNINFO\r\nKód chyby: 0x%X", "RUNINFO chybí nebo má špatný kontrolní součet!",
        "RUNINFO nepze zpracovat!", "Nelze získat název dočasného adresáře!\r\nKód chyby: 0x%X",
        "Dočasný adresář nelze vytvořit!\r\nKód chyby: 0x%X",
        "Dočasný adresář nelze nastavyt jako výchozí!\r\nKód chyby: 0x%X", "Výkonné soubory se nepodařilo rozbalit!",
        "Nedostatek paměti!", "Program nelze spustit!", "Chyba zpracování", "Chyba čtení RUNINFO\r\nKód chyby: 0x%X",
        "", ""};
    const PeResource* en = find(all, RT_STRING_ID, 1, ENGLISH_US);
    const PeResource* cs = find(all, RT_STRING_ID, 1, CZECH);
    ASSERT_NE(en, nullptr);
    ASSERT_NE(cs, nullptr);
    EXPECT_EQ(stringBlock(*en), english);
    EXPECT_EQ(stringBlock(*cs), czech);
}

TEST(EngineImage, CarriesProgressDialogBitmapIconVersionAndManifest) {
    std::vector<PeResource> all;
    std::string error;
    ASSERT_TRUE(readPeResources(productEngine(), &all, &error)) << error;
    for (auto [language, first, second] : {std::make_tuple(ENGLISH_US, "Application is being initialized", "Please wait.."),
                                          std::make_tuple(CZECH, "Probíhá inicializace programu", "Čekejte prosím..")}) {
        SCOPED_TRACE(language);
        const PeResource* dialog = find(all, RT_DIALOG_ID, 105, language);
        ASSERT_NE(dialog, nullptr);
        Reader r{dialog->data};
        EXPECT_EQ(r.word(), 1);       // extended template
        EXPECT_EQ(r.word(), 0xFFFF);
        EXPECT_EQ(r.dword(), 0u);     // help id
        EXPECT_EQ(r.dword(), 0x80u);  // WS_EX_TOOLWINDOW
        EXPECT_EQ(r.dword(), 0x90040940u);
        EXPECT_EQ(r.word(), 3);       // controls
        EXPECT_EQ(r.word(), 0); EXPECT_EQ(r.word(), 0); EXPECT_EQ(r.word(), 161); EXPECT_EQ(r.word(), 67);
        EXPECT_EQ(r.word(), 0);       // no menu
        EXPECT_EQ(r.word(), 0);       // no class
        EXPECT_EQ(r.text(), "");      // no title
        EXPECT_EQ(r.word(), 8);       // point size
        EXPECT_EQ(r.word(), 0);       // weight
        EXPECT_EQ(r.word(), 1 << 8);  // not italic, character set 1
        EXPECT_EQ(r.text(), "MS Sans Serif");
        struct Control { uint32_t style; uint16_t x, y, cx, cy; std::string text; } controls[] = {
            {0x5000000E, 37, 5, 87, 29, ""}, {0x50020201, 0, 41, 160, 10, first}, {0x50020201, 0, 51, 161, 10, second}};
        for (const Control& c : controls) {
            r.align4();
            EXPECT_EQ(r.dword(), 0u);  // help id
            EXPECT_EQ(r.dword(), 0u);  // extended style
            EXPECT_EQ(r.dword(), c.style);
            EXPECT_EQ(r.word(), c.x); EXPECT_EQ(r.word(), c.y); EXPECT_EQ(r.word(), c.cx); EXPECT_EQ(r.word(), c.cy);
            EXPECT_EQ(r.dword(), 0xFFFFFFFFu);  // id -1
            EXPECT_EQ(r.word(), 0xFFFF);
            EXPECT_EQ(r.word(), 0x0082);        // the static class
            if (c.text.empty()) {
                EXPECT_EQ(r.word(), 0xFFFF);
                EXPECT_EQ(r.word(), 108);       // the bitmap, by ordinal
            } else {
                EXPECT_EQ(r.text(), c.text);
            }
            EXPECT_EQ(r.word(), 0);             // no creation data
        }
    }

    const PeResource* bitmap = find(all, RT_BITMAP_ID, 108);
    ASSERT_NE(bitmap, nullptr);
    Reader b{bitmap->data};
    EXPECT_EQ(b.dword(), 40u);
    EXPECT_EQ(b.dword(), 130u);
    EXPECT_EQ(b.dword(), 47u);
    EXPECT_EQ(b.word(), 1);
    EXPECT_EQ(b.word(), 8);
    // Stored run-length coded: every row's runs fill exactly its 130 pixels with colours the
    // short palette holds, and the rows end where the picture does.
    const uint32_t BI_RLE8 = 1;
    EXPECT_EQ(b.dword(), BI_RLE8);
    const uint32_t codedSize = b.dword();
    b.dword(); b.dword();
    const uint32_t colours = b.dword();
    b.dword();
    EXPECT_GE(colours, 2u);
    EXPECT_LE(colours, 16u);
    b.at += 4 * colours;
    EXPECT_EQ(b.at + codedSize, bitmap->data.size());
    uint32_t row = 0, column = 0;
    bool ended = false;
    while (!ended && b.at + 2 <= bitmap->data.size()) {
        const uint8_t count = bitmap->data[b.at], value = bitmap->data[b.at + 1];
        b.at += 2;
        if (count > 0) {
            EXPECT_LT(value, colours) << "row " << row;
            column += count;
            EXPECT_LE(column, 130u) << "row " << row;
        } else if (value == 0) {
            EXPECT_EQ(column, 130u) << "row " << row;
            ++row;
            column = 0;
        } else {
            EXPECT_EQ(value, 1) << "only plain runs, ends of line and the end of the picture";
            ended = true;
        }
    }
    EXPECT_TRUE(ended);
    EXPECT_EQ(row, 47u);
    EXPECT_EQ(b.at, bitmap->data.size());

    const PeResource* icons = find(all, RT_GROUP_ICON_ID, 101);
    ASSERT_NE(icons, nullptr);
    ASSERT_GE(icons->data.size(), 6u);
    EXPECT_EQ(icons->data[4], 3);  // three images

    const PeResource* version = find(all, RT_VERSION_ID, 1, ENGLISH_US);
    ASSERT_NE(version, nullptr);
    std::u16string wide(reinterpret_cast<const char16_t*>(version->data.data()), version->data.size() / 2);
    EXPECT_NE(wide.find(u"1,0,22,9441"), std::u16string::npos);
    EXPECT_NE(wide.find(u"1,0,6,7354"), std::u16string::npos);
    EXPECT_NE(wide.find(u"040904B0"), std::u16string::npos);  // one English (US) block, code page 1200
    EXPECT_EQ(wide.find(u"040504"), std::u16string::npos);
    const uint32_t fixed[] = {0xFEEF04BD, 0x00010000, 0x00010000, 0x001624E1, 0x00010000, 0x00061CBA};
    const uint8_t* start = reinterpret_cast<const uint8_t*>(std::search(
        reinterpret_cast<const char*>(version->data.data()), reinterpret_cast<const char*>(version->data.data()) + version->data.size(),
        reinterpret_cast<const char*>(fixed), reinterpret_cast<const char*>(fixed) + 4));
    ASSERT_NE(start, version->data.data() + version->data.size());
    EXPECT_EQ(memcmp(start, fixed, sizeof(fixed)), 0);  // signature, structure version, file and product versions

    const PeResource* manifest = find(all, RT_MANIFEST_ID, 1);
    ASSERT_NE(manifest, nullptr);
    std::string text(manifest->data.begin(), manifest->data.end());
    for (const char* needle : {"version=\"1.0.0.0\"", "processorArchitecture=\"X86\"", "type=\"win32\"",
                               "level=\"requireAdministrator\"", "uiAccess=\"false\""}) {
        EXPECT_NE(text.find(needle), std::string::npos) << needle;
    }
}

// Runs a shell command with its output in `output`: its exit status, 127 when the program
// is not installed.
int runQuietly(const std::string& command, std::string* output) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    output->clear();
    char buffer[4096];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) *output += buffer;
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// The Windows runpack.exe as shipped: no COFF symbols, which go into runpack.exe.debug beside
// it, nothing after its last section, and a correct checksum, for PE readers as for Windows.
TEST(ToolImage, ReleaseBuildIsStrippedWithSymbolsBeside) {
    for (const char* build : {"win32", "win64"}) {
        const std::string path = std::string(RUNPACK_SOURCE_DIR) + "/build/" + build + "/runpack.exe";
        if (std::string(build) == "win64" && !fs::exists(path)) continue;  // made only where it runs
        SCOPED_TRACE(path);
        std::vector<uint8_t> image;
        std::string error;
        ASSERT_TRUE(readFile(path, &image, &error)) << error;
        ASSERT_GE(image.size(), 0x40u);
        const uint32_t fileHeader = (image[0x3C] | image[0x3D] << 8 | image[0x3E] << 16 | uint32_t(image[0x3F]) << 24) + 4;
        ASSERT_LE(fileHeader + 20, image.size());
        auto field = [&](uint32_t at) {
            return image[at] | image[at + 1] << 8 | image[at + 2] << 16 | uint32_t(image[at + 3]) << 24;
        };
        EXPECT_EQ(field(fileHeader + 12), 0u);  // NumberOfSymbols
        EXPECT_EQ(field(fileHeader + 8), 0u);   // PointerToSymbolTable: no string table either
        EXPECT_TRUE(fs::exists(path + ".debug"));
        // The file ends where its last section's data ends, and its checksum is right.
        const uint32_t sections = image[fileHeader + 2] | image[fileHeader + 3] << 8;
        const uint32_t table = fileHeader + 20 + (image[fileHeader + 16] | image[fileHeader + 17] << 8);
        ASSERT_LE(table + 40 * sections, image.size());
        uint64_t end = 0;
        for (uint32_t i = 0; i < sections; ++i) {
            const uint32_t header = table + 40 * i;
            end = std::max<uint64_t>(end, uint64_t(field(header + 20)) + field(header + 16));  // raw pointer + size
        }
        EXPECT_EQ(end, image.size());
        PeFacts facts;
        ASSERT_TRUE(readPeFacts(image, &facts, &error)) << error;
        EXPECT_EQ(facts.checksum, facts.computedChecksum);
        EXPECT_NE(facts.checksum, 0u);
        // Other PE readers, where installed, read it without a warning.
        std::string output;
        if (runQuietly("7z l -tPE " + path, &output) != 127) {
            EXPECT_EQ(output.find("WARNING"), std::string::npos) << output;
            EXPECT_EQ(output.find("Warnings"), std::string::npos) << output;
        }
        const std::string pefileCheck =
            "/usr/bin/python3 -c 'import sys, pefile; pe = pefile.PE(sys.argv[1]); "
            "sys.exit(0 if pe.get_warnings() == [] and pe.get_overlay_data_start_offset() is None and "
            "pe.verify_checksum() else 1)' " + path;
        if (runQuietly("/usr/bin/python3 -c 'import pefile'", &output) == 0) {
            EXPECT_EQ(runQuietly(pefileCheck, &output), 0) << output;
        }
        if (runQuietly("winedump " + path, &output) != 127) {
            EXPECT_EQ(output.find("rror"), std::string::npos) << output;
            EXPECT_EQ(output.find("arning"), std::string::npos) << output;
        }
    }
}
