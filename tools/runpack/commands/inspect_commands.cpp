// Every command reads the "RUNINFO" resources and walks the package with the same readers
// the engine runs, so what they accept is what the engine accepts.
#include "runpack/commands/inspect_commands.h"

#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <future>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "codec/solid_stream.h"
#include "extract/destination_rule.h"
#include "package/method_ids.h"
#include "package/package_reader.h"
#include "package/run_options.h"
#include "runpack/output/confined_output.h"
#include "runpack/output/entry_unpacking.h"
#include "runpack/image/executable_face.h"
#include "runpack/image/mapped_file.h"
#include "runpack/output/extract_placement.h"
#include "runpack/output/progress_line.h"
#include "runpack/output/output_space.h"
#include "extract/volume_space.h"
#include "runpack/package/package_writer.h"
#include "runpack/image/pe_resources.h"
#include "runpack/package/run_options_record.h"
#include "runpack/package/destination_rules.h"
#include "runpack/package/name_clashes.h"
#include "runpack/package/text_encoding.h"
#include "runpack/package/visible_text.h"

namespace fs = std::filesystem;

const char LIST_USAGE[] =
    "usage: runpack list EXE [--json] [--codepage N]\n"
    "\n"
    "Shows the command line, the cleanup mode, the run options, the file count and total\n"
    "unpacked size, and every file of the package in EXE: method, unpacked and packed size,\n"
    "ratio, SHA-1 and destination. Destinations outside the engine's working directory\n"
    "(drive, UNC or %VAR% paths) are counted in a warning and marked with \"!\"; destinations\n"
    "the engine refuses (\"..\", a device name, a colon after the drive, ...) are counted in a\n"
    "warning and marked with \"x\", with the reason after them; destinations longer than many\n"
    "Windows programs can open (259 characters, relative ones below a working directory of a\n"
    "usual length) get a warning each. Two entries that Windows takes for one file or folder\n"
    "(names that differ only in case, over all of Unicode, or in trailing dots and spaces; a\n"
    "file where another entry's folder goes) get a warning that names both: the engine refuses\n"
    "such a package. Then the executable's icon (the size and depth of each\n"
    "image), its version numbers and strings, and the execution level its manifest requests.\n"
    "--json prints the same as one JSON object.\n"
    "Texts are shown as code page N (1250 or 1252; default 1252) would show them, with every\n"
    "control character (C0, DEL, C1, the bidirectional controls) as an escape such as \\x1B or\n"
    "\\u202E, and every character that renders as nothing (format characters and default-\n"
    "ignorable code points: \\u200B, \\u00AD, \\uFEFF, \\U000E0041, ...) likewise, on a terminal\n"
    "and in a pipe alike; --json escapes them as JSON does (\\u200b). A command that holds a\n"
    "control character gets a warning, and verify fails.\n"
    "Exit code 0; 1 when EXE holds no package that can be read, and also, after the listing\n"
    "and a warning, when the package digest is missing or not 20 bytes: the engine refuses\n"
    "to run such an executable. list reads the entries only, not the files' data, so it\n"
    "does not check the digest against the package: verify does.\n"
    "-- ends the options: EXE may then begin with -.\n";

const char VERIFY_USAGE[] =
    "usage: runpack verify EXE [--quiet]\n"
    "\n"
    "Checks what the engine checks before a run, and more: the package digest is present,\n"
    "20 bytes long and matches; the run options, when present, are a record the engine\n"
    "accepts; the package passes the engine's validation; no destination is one the engine\n"
    "refuses, and no two are one file or folder on Windows (see list); every file unpacks to its unpacked size and to the SHA-1 its entry records.\n"
    "Exit code 0 when all of it holds, 1 otherwise, with one line per failure.\n"
    "On a terminal, a check that takes more than a second shows how far it is (bytes done\n"
    "and to do, rate, time left) on one line, cleared at the end; --quiet shows none.\n"
    "-- ends the options: EXE may then begin with -.\n";

const char EXTRACT_USAGE[] =
    "usage: runpack extract EXE -C DIR [--include-absolute] [--force] [--codepage N] [--quiet]\n"
    "       runpack extract EXE DIR [...]\n"
    "\n"
    "Writes the files of the package in EXE under DIR (created when missing) after checking\n"
    "the package like verify, and after checking that DIR's file system has room for them\n"
    "(refused otherwise, saying how much is needed and how much is free). Should a file fail\n"
    "to be written, the files and folders this run created are removed again, so no cut file\n"
    "is left; a file that --force replaced stays when it was written in full. Destinations relative to the engine's working directory go\n"
    "under DIR as they are; absolute ones (C:\\x, \\\\server\\share\\x) and ones starting with\n"
    "an environment variable (%APPDATA%\\x) are skipped unless --include-absolute puts them\n"
    "under DIR/_absolute/ (C:\\x and c:\\x as _absolute/C/x, \\\\server\\share as\n"
    "_absolute/UNC/server/share, %APPDATA%\\x as _absolute/%APPDATA%/x). Nothing is ever\n"
    "written outside DIR: destinations the engine refuses (\"..\" among them) are refused,\n"
    "every folder and file is created relative to the one above it, and no symbolic link\n"
    "(or junction) is followed or replaced, even one that appears while extract runs.\n"
    "Existing files are kept (and the extraction refused) unless --force is given. Names\n"
    "are converted from code page N (1250 or 1252; default 1252). On a terminal, a long\n"
    "check or extraction shows how far it is on one line, cleared at the end; --quiet shows\n"
    "none. -- ends the options: what follows is EXE and, if given, DIR.\n";

namespace {

const uint32_t DEFAULT_DISPLAY_CODE_PAGE = CODE_PAGE_WESTERN;

// The executable mapped into memory and the package found in it. Only the pages that are read
// are loaded: list reads the entries alone, verify and extract every byte once, in order,
// handing the pages back behind them.
struct LoadedPackage {
    MappedFile file;
    std::vector<PeResource> resources;  // every resource but the package, with its bytes
    const uint8_t* package = nullptr;
    uint32_t size = 0;
    bool hasDigest = false;
    std::vector<uint8_t> digest;
    bool hasRunOptions = false;
    std::vector<uint8_t> runOptionsRecord;
    PackageHeader header{};
    std::vector<FileEntry> entries;
};

// Maps the executable and finds its resources; false with the reason when it is no image
// whose resources can be read.
bool openImage(const std::string& path, LoadedPackage* loaded, bool* hasPackage, std::string* error) {
    if (!loaded->file.open(path, error)) return false;
    RunInfoLocation where;
    if (!locateRunInfo(ImageBytes(loaded->file.data(), loaded->file.size()), &where, error, &loaded->resources)) {
        *error = path + ": " + *error;
        return false;
    }
    *hasPackage = where.hasPackage;
    loaded->package = where.packageSize != 0 ? loaded->file.data() + where.packageOffset : nullptr;
    loaded->size = where.packageSize;
    loaded->hasDigest = where.hasDigest;
    loaded->digest = where.digest;
    loaded->hasRunOptions = where.hasRunOptions;
    loaded->runOptionsRecord = where.runOptions;
    return true;
}

// Maps the executable and finds its package.
bool loadPackage(const std::string& path, LoadedPackage* loaded, std::string* error) {
    bool hasPackage = false;
    if (!openImage(path, loaded, &hasPackage, error)) return false;
    if (!hasPackage) {
        *error = path + " carries no package (no RUNINFO 102 resource)";
        return false;
    }
    return true;
}

// The pages of the package that the validation walk touched go back: a large package of
// solid streams has a chunk head in every 64 KiB.
void releasePackage(const LoadedPackage& loaded) {
    if (loaded.package) loaded.file.release(loaded.package, loaded.package + loaded.size);
}

bool readEntries(LoadedPackage* loaded, std::string* error) {
    const uint8_t* data = loaded->package;
    const uint32_t size = loaded->size;
    loaded->header = PackageHeader{};
    loaded->header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    if (!data || !validatePackage(data, size, &loaded->header, nullptr)) {
        *error = "the package is malformed: the engine would refuse it";
        return false;
    }
    uint32_t offset = 0;
    PackageHeader header{};
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    readHeader(data, size, &offset, &header);
    loaded->entries.clear();
    for (uint32_t i = 0; i < header.fileCount; ++i) {
        FileEntry entry{};
        entry.recordSize = FILE_ENTRY_RECORD_SIZE;
        if (!readEntry(data, size, offset, &offset, &entry)) {
            *error = "the package is malformed at entry " + std::to_string(i);
            return false;
        }
        loaded->entries.push_back(entry);
    }
    releasePackage(*loaded);
    return true;
}

const char* cleanupName(uint32_t mode) {
    switch (mode) {
        case CLEANUP_JOURNAL: return "journal";
        case CLEANUP_TREE: return "tree";
        case CLEANUP_DETACH: return "detach";
    }
    return "?";
}

// The run options as the engine reads them: every flag clear without the record; false, with
// the reason, when the engine would refuse the record.
bool readLoadedRunOptions(const LoadedPackage& loaded, RunOptions* options, std::string* error) {
    options->recordSize = RUN_OPTIONS_RECORD_SIZE;
    options->flags = 0;
    if (!loaded.hasRunOptions) return true;
    const std::vector<uint8_t>& record = loaded.runOptionsRecord;
    // Any size but the record's is refused; a huge one must not wrap to it.
    const uint32_t size = record.size() > RUN_OPTIONS_RECORD_SIZE ? RUN_OPTIONS_RECORD_SIZE + 1
                                                                  : static_cast<uint32_t>(record.size());
    if (!readRunOptions(record.data(), size, options)) {
        *error = "the run options (RUNINFO 104) are malformed: the engine would refuse to run";
        return false;
    }
    return true;
}

const char* methodName(uint32_t method) {
    return method == METHOD_LZMA2 ? "lzma2" : method == METHOD_LZHUF ? "lzhuf" : "stored";
}

// For each entry, the number (from 1) of the solid stream it belongs to; 0 for entries of
// other methods. The package was validated, so members follow the entry that holds their stream.
std::vector<size_t> solidStreamNumbers(const std::vector<FileEntry>& entries) {
    std::vector<size_t> numbers(entries.size(), 0);
    size_t current = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].method != METHOD_LZMA2) continue;
        if (entries[i].packedSize != 0) ++current;
        numbers[i] = current;
    }
    return numbers;
}

// What `list` says of a solid stream: its members, their sizes together, and its header.
struct SolidStreamFacts {
    size_t number;        // from 1, as solidStreamNumbers counts
    size_t members;
    uint64_t unpacked;
    uint32_t packed;      // the holder's data: header and chunks
    SolidStreamHeader header;
};

std::vector<SolidStreamFacts> solidStreams(const std::vector<FileEntry>& entries) {
    std::vector<SolidStreamFacts> streams;
    const std::vector<size_t> numbers = solidStreamNumbers(entries);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (numbers[i] == 0) continue;
        if (streams.empty() || streams.back().number != numbers[i]) {
            SolidStreamFacts f = {numbers[i], 0, 0, entries[i].packedSize, {}};
            // The package was validated: the holder's header reads.
            readSolidStreamHeader(entries[i].data, entries[i].packedSize, &f.header);
            streams.push_back(f);
        }
        ++streams.back().members;
        streams.back().unpacked += entries[i].unpackedSize;
    }
    return streams;
}

double streamRatio(const SolidStreamFacts& f) {
    return f.unpacked == 0 ? 1.0 : static_cast<double>(f.packed) / f.unpacked;
}

std::string hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[bytes[i] >> 4]);
        s.push_back(digits[bytes[i] & 15]);
    }
    return s;
}

// The destination as the engine composes it: directory, "\", name; the name alone when the
// directory is absent or empty.
std::string composedDestination(const FileEntry& e) {
    const std::string name = e.name ? e.name : "";
    if (e.directory && e.directory[0]) return std::string(e.directory) + "\\" + name;
    return name;
}

// What the engine's rule says of the entry's destination.
DestinationVerdict destinationVerdict(const FileEntry& e) {
    const std::string destination = composedDestination(e);
    return checkDestination(destination.data(), static_cast<uint32_t>(destination.size()));
}

// The destination for a message: decoded as list shows it by default, control characters
// escaped.
std::string shownDestination(const FileEntry& e) {
    return visibleText(decodeAnsi(composedDestination(e), DEFAULT_DISPLAY_CODE_PAGE));
}

// The entries' destinations as UTF-8: the package's own bytes under the UTF-8 flag, otherwise
// decoded from `codePage`.
std::vector<std::string> destinationsText(const std::vector<FileEntry>& entries, bool utf8Names, uint32_t codePage) {
    std::vector<std::string> destinations;
    destinations.reserve(entries.size());
    for (const FileEntry& e : entries) {
        const std::string composed = composedDestination(e);
        destinations.push_back(utf8Names ? composed : decodeAnsi(composed, codePage));
    }
    return destinations;
}

// The line that says two entries land on one object on Windows, for list, verify and extract.
std::string clashText(const NameClash& c, const std::vector<std::string>& destinations) {
    return "entries " + std::to_string(c.first) + " (" + visibleText(destinations[c.first]) + ") and " +
           std::to_string(c.second) + " (" + visibleText(destinations[c.second]) +
           ") are one file or folder on Windows, which ignores case and trailing dots and spaces: the engine "
           "refuses the package";
}

// True, with the character escaped in `which`, when the command holds a control character:
// `build` never writes one, and a terminal acts on it.
bool commandControlCharacter(const PackageHeader& h, std::string* which) {
    return h.command && findControlCharacter(decodeAnsi(h.command, DEFAULT_DISPLAY_CODE_PAGE), which);
}

// What is wrong with the package digest, or "" when the engine's integrity check passes.
// Without `computed` (the package's SHA-1), only the digest resource itself is checked.
std::string digestProblem(const LoadedPackage& loaded, const std::vector<uint8_t>* computed) {
    if (!loaded.hasDigest) return "no package digest (RUNINFO 103)";
    if (loaded.digest.size() != PACKAGE_DIGEST_SIZE)
        return "package digest is " + std::to_string(loaded.digest.size()) + " bytes, not 20";
    if (computed && *computed != loaded.digest) return "package digest does not match the package";
    return "";
}

// Drops the pages of a mapped package behind the reader and counts the bytes read.
struct ReadBehind {
    const MappedFile* file;
    const uint8_t* released;  // page-aligned in the mapping (the mapping starts on a page)
    const uint8_t* counted;
    ProgressLine* progress;   // optional

    ReadBehind(const MappedFile& f, const uint8_t* start, ProgressLine* line)
        : file(&f), released(f.data()), counted(start), progress(line) {}

    void reached(const uint8_t* position) {
        if (position <= counted) return;
        if (progress) progress->add(static_cast<uint64_t>(position - counted));
        counted = position;
        if (position - released >= static_cast<ptrdiff_t>(INPUT_REPORT_BYTES)) {
            file->release(released, position);
            const uintptr_t page = 4096;
            released += (reinterpret_cast<uintptr_t>(position) - reinterpret_cast<uintptr_t>(released)) / page * page;
        }
    }
    static void hook(void* state, const uint8_t* position) { static_cast<ReadBehind*>(state)->reached(position); }
    InputProgress input() { return InputProgress{hook, this}; }
};

// The SHA-1 of the whole package, read in pieces that are dropped behind.
std::vector<uint8_t> packageSha1(const LoadedPackage& loaded) {
    Sha1Context context;
    sha1Start(&context);
    ReadBehind behind(loaded.file, loaded.package, nullptr);
    for (uint32_t done = 0; done < loaded.size;) {
        const uint32_t n = std::min<uint32_t>(INPUT_REPORT_BYTES, loaded.size - done);
        sha1Add(&context, loaded.package + done, n);
        done += n;
        behind.reached(loaded.package + done);
    }
    std::vector<uint8_t> digest(SHA1_DIGEST_SIZE);
    sha1Finish(&context, digest.data());
    return digest;
}

bool verifyEntries(LoadedPackage* loaded, const std::string& prefix, std::ostream& err, ProgressLine* progress,
                   uint32_t codePage);

// The package checks of verify; problems are written to `err` one per line, each after
// "runpack " and `command`. The package's SHA-1 is computed on a second thread while the
// files are unpacked; its line still comes first. `progress` (optional) counts the package
// bytes unpacked. Names not under the UTF-8 flag are read in `codePage`.
bool verifyPackage(LoadedPackage* loaded, const char* command, std::ostream& firstErr, ProgressLine* progress,
                   uint32_t codePage = DEFAULT_DISPLAY_CODE_PAGE) {
    const std::string prefix = std::string("runpack ") + command + ": ";
    const bool digestToCompute = digestProblem(*loaded, nullptr).empty();
    std::future<std::vector<uint8_t>> computed;
    if (digestToCompute) computed = std::async(std::launch::async, [loaded] { return packageSha1(*loaded); });
    std::ostringstream err;
    const bool rest = verifyEntries(loaded, prefix, err, progress, codePage);
    if (progress) progress->finish();
    std::vector<uint8_t> sha1;
    if (digestToCompute) sha1 = computed.get();
    const std::string error = digestProblem(*loaded, digestToCompute ? &sha1 : nullptr);
    if (!error.empty()) firstErr << prefix << error << "\n";
    firstErr << err.str();
    return rest && error.empty();
}

bool verifyEntries(LoadedPackage* loaded, const std::string& prefix, std::ostream& err, ProgressLine* progress,
                   uint32_t codePage) {
    bool ok = true;
    std::string error;
    RunOptions options;
    if (!readLoadedRunOptions(*loaded, &options, &error)) {
        err << prefix << error << "\n";
        ok = false;
    }
    if (!readEntries(loaded, &error)) {
        err << prefix << error << "\n";
        return false;
    }
    std::string control;
    if (commandControlCharacter(loaded->header, &control)) {
        err << prefix << "the command holds a control character (" << control << "): \""
            << visibleText(decodeAnsi(loaded->header.command, DEFAULT_DISPLAY_CODE_PAGE)) << "\"\n";
        ok = false;
    }
    // Under the UTF-8 flag the engine refuses, before anything is made, a text that is not
    // well-formed UTF-8.
    if ((options.flags & RUN_UTF8_NAMES) != 0) {
        std::u16string ignored;
        if (loaded->header.command != nullptr && !utf8ToUtf16(loaded->header.command, &ignored, &error)) {
            err << prefix << "the command is not UTF-8, as the run options say: " << visibleText(error) << "\n";
            ok = false;
        }
        for (size_t i = 0; i < loaded->entries.size(); ++i) {
            const FileEntry& e = loaded->entries[i];
            if (!utf8ToUtf16(e.name != nullptr ? e.name : "", &ignored, &error) ||
                !utf8ToUtf16(e.directory != nullptr ? e.directory : "", &ignored, &error)) {
                err << prefix << "entry " << i << ": not UTF-8, as the run options say: " << visibleText(error) << "\n";
                ok = false;
            }
        }
    }
    for (size_t i = 0; i < loaded->entries.size(); ++i) {
        const DestinationVerdict verdict = destinationVerdict(loaded->entries[i]);
        if (verdict != DESTINATION_OK) {
            err << prefix << "entry " << i << " (" << shownDestination(loaded->entries[i])
                << "): the engine refuses this destination: " << describeDestinationVerdict(verdict) << "\n";
            ok = false;
        }
    }
    const std::vector<std::string> destinations =
        destinationsText(loaded->entries, (options.flags & RUN_UTF8_NAMES) != 0, codePage);
    for (const NameClash& clash : findNameClashes(destinations)) {
        err << prefix << clashText(clash, destinations) << "\n";
        ok = false;
    }
    std::unique_ptr<LzhufContext> context = newCodecContext();
    std::unique_ptr<SolidCursor> solid(new SolidCursor);
    ReadBehind behind(loaded->file, loaded->package, progress);
    const InputProgress input = behind.input();
    for (size_t i = 0; i < loaded->entries.size(); ++i) {
        if (!unpackEntry(context.get(), loaded->entries[i], nullptr, &error, solid.get(), &input)) {
            err << prefix << "entry " << i << " (" << shownDestination(loaded->entries[i]) << "): " << visibleText(error)
                << "\n";
            ok = false;
        }
    }
    return ok;
}

std::string resourceIdText(const PeResourceId& id) {
    return id.isName ? visibleText(utf16ToUtf8(id.name)) : std::to_string(id.id);
}



void printFace(const FaceFacts& f, std::ostream& out) {
    out << "icon:    ";
    if (!f.hasIcon) {
        out << "(none)";
    } else if (!f.iconError.empty()) {
        out << "group " << resourceIdText(f.iconGroup) << ", malformed: " << visibleText(f.iconError);
    } else {
        out << "group " << resourceIdText(f.iconGroup) << ":";
        for (size_t i = 0; i < f.icons.size(); ++i) {
            const IconGroupEntry& e = f.icons[i];
            out << (i ? ", " : " ") << e.width() << "x" << e.height();
            if (e.bitCount) out << " " << e.bitCount << "-bit";
            if (f.iconPng[i]) out << " PNG";
            if (!f.iconPresent[i]) out << " (image " << e.id << " missing)";
        }
    }
    out << "\nversion: ";
    if (!f.hasVersion) {
        out << "(none)\n";
    } else if (!f.versionError.empty()) {
        out << visibleText(f.versionError) << "\n";
    } else {
        const VersionInfo& v = f.version;
        if (v.hasFixed) out << "file " << versionNumberText(v.fileVersion) << ", product " << versionNumberText(v.productVersion) << "\n";
        else out << "(no numbers)\n";
        for (const VersionStringTable& table : v.tables) {
            for (const VersionString& string : table.strings) {
                out << "  " << visibleText(utf16ToUtf8(table.name)) << " " << visibleText(utf16ToUtf8(string.key)) << ": "
                    << visibleText(utf16ToUtf8(string.value)) << "\n";
            }
        }
    }
    out << "execution level: ";
    if (!f.hasManifest) out << "(no manifest)";
    else if (!f.manifestError.empty()) out << visibleText(f.manifestError);
    else if (!f.hasLevel) out << "(none requested)";
    else out << visibleText(f.level, true);
    out << "\n";
}

void faceJson(const FaceFacts& f, nlohmann::ordered_json* root) {
    using json = nlohmann::ordered_json;
    json icon = nullptr;
    if (f.hasIcon) {
        icon = json::object();
        icon["group"] = f.iconGroup.isName ? json(utf16ToUtf8(f.iconGroup.name)) : json(f.iconGroup.id);
        icon["images"] = json::array();
        for (size_t i = 0; i < f.icons.size() && f.iconError.empty(); ++i) {
            const IconGroupEntry& e = f.icons[i];
            json image;
            image["width"] = e.width();
            image["height"] = e.height();
            image["bitCount"] = e.bitCount;
            image["png"] = static_cast<bool>(f.iconPng[i]);
            image["bytes"] = e.bytes;
            image["id"] = e.id;
            image["present"] = static_cast<bool>(f.iconPresent[i]);
            icon["images"].push_back(image);
        }
        icon["error"] = f.iconError.empty() ? json(nullptr) : json(f.iconError);
    }
    json version = nullptr;
    if (f.hasVersion) {
        version = json::object();
        const bool fixed = f.versionError.empty() && f.version.hasFixed;
        version["fileVersion"] = fixed ? json(versionNumberText(f.version.fileVersion)) : json(nullptr);
        version["productVersion"] = fixed ? json(versionNumberText(f.version.productVersion)) : json(nullptr);
        version["strings"] = json::object();
        for (const VersionStringTable& table : f.version.tables) {
            json& strings = version["strings"][utf16ToUtf8(table.name)];
            strings = json::object();
            for (const VersionString& string : table.strings) strings[utf16ToUtf8(string.key)] = utf16ToUtf8(string.value);
        }
        version["error"] = f.versionError.empty() ? json(nullptr) : json(f.versionError);
    }
    (*root)["icon"] = icon;
    (*root)["version"] = version;
    (*root)["executionLevel"] = f.hasLevel && f.manifestError.empty() ? json(visibleText(f.level, true)) : json(nullptr);
    (*root)["manifestError"] = f.manifestError.empty() ? json(nullptr) : json(f.manifestError);
}

// list shows a package whatever its digest says, but the engine refuses to run it when the
// digest fails: then a warning and exit code 1.
int warnOfDigest(const LoadedPackage& loaded, std::ostream& err) {
    const std::string problem = digestProblem(loaded, nullptr);
    if (problem.empty()) return 0;
    err << "runpack list: warning: " << problem << ": the engine refuses to run this executable\n";
    return 1;
}

int usageError(const char* command, const std::string& message, std::ostream& err) {
    err << "runpack " << command << ": " << message << "\n" << "Try 'runpack " << command << " --help'.\n";
    return 2;
}

bool parseCodePage(const std::string& text, uint32_t* codePage) {
    if (text == "1250") *codePage = CODE_PAGE_CENTRAL_EUROPEAN;
    else if (text == "1252") *codePage = CODE_PAGE_WESTERN;
    else return false;
    return true;
}

}  // namespace

int runListCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string exe;
    bool json = false;
    uint32_t codePage = DEFAULT_DISPLAY_CODE_PAGE;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (optionsEnded || args[i].empty() || args[i][0] != '-') {
            if (!exe.empty()) return usageError("list", "one EXE only", err);
            exe = args[i];
        } else if (args[i] == "--") {
            optionsEnded = true;
        } else if (args[i] == "-h" || args[i] == "--help") {
            out << LIST_USAGE;
            return 0;
        } else if (args[i] == "--json") {
            json = true;
        } else if (args[i] == "--codepage") {
            if (i + 1 >= args.size() || !parseCodePage(args[++i], &codePage))
                return usageError("list", "--codepage needs 1250 or 1252", err);
        } else {
            return usageError("list", "unknown option " + args[i], err);
        }
    }
    if (exe.empty()) return usageError("list", "no EXE given", err);
    LoadedPackage loaded;
    std::string error;
    RunOptions options;
    FaceFacts face;
    bool hasPackage = false;
    if (!openImage(exe, &loaded, &hasPackage, &error)) {
        err << "runpack list: " << error << "\n";
        return 1;
    }
    readFace(loaded.resources, &face);
    if (!hasPackage) error = exe + " carries no package (no RUNINFO 102 resource)";
    if (!hasPackage || !readLoadedRunOptions(loaded, &options, &error) || !readEntries(&loaded, &error)) {
        err << "runpack list: " << error << "\n";
        return 1;
    }
    const PackageHeader& h = loaded.header;
    // Names are UTF-8 when the run options say so, otherwise the code page's; on the terminal
    // with control characters escaped, in JSON escaped as JSON does (below).
    const bool utf8Names = (options.flags & RUN_UTF8_NAMES) != 0;
    auto text = [&](const char* t) { return utf8Names ? std::string(t ? t : "") : decodeAnsi(t ? t : "", codePage); };
    auto shown = [&](const char* t) { return visibleText(text(t)); };
    // Destinations outside the working directory: a drive or UNC path, or one that begins
    // with an environment reference (expanded on the user's machine, usually to such a path).
    // A destination the engine refuses goes nowhere, and is counted only as refused.
    auto outside = [](const FileEntry& e) {
        const std::string destination = composedDestination(e);
        return (isAbsoluteDestination(destination) || (!destination.empty() && destination[0] == '%')) &&
               destinationVerdict(e) == DESTINATION_OK;
    };
    uint64_t totalUnpacked = 0;
    size_t outsideCount = 0, refusedCount = 0;
    for (const FileEntry& e : loaded.entries) {
        totalUnpacked += e.unpackedSize;
        if (outside(e)) ++outsideCount;
        if (destinationVerdict(e) != DESTINATION_OK) ++refusedCount;
    }
    // Entries that land on one file or folder on Windows: the engine refuses the package.
    const std::vector<std::string> destinations = destinationsText(loaded.entries, utf8Names, codePage);
    const std::vector<NameClash> clashes = findNameClashes(destinations);
    const std::vector<std::vector<size_t>> partners = clashPartners(clashes, loaded.entries.size());
    // A solid stream's members have no packed size of their own: each shows its stream's ratio.
    const std::vector<size_t> streams = solidStreamNumbers(loaded.entries);
    const std::vector<SolidStreamFacts> streamFacts = solidStreams(loaded.entries);
    auto ratio = [&](size_t i) {
        const FileEntry& e = loaded.entries[i];
        if (streams[i] != 0) return streamRatio(streamFacts[streams[i] - 1]);
        return e.unpackedSize == 0 ? 1.0 : static_cast<double>(e.packedSize) / e.unpackedSize;
    };
    if (json) {
        nlohmann::ordered_json root;
        root["command"] = h.command ? nlohmann::ordered_json(text(h.command)) : nlohmann::ordered_json(nullptr);
        root["cleanup"] = cleanupName(h.cleanupMode);
        nlohmann::ordered_json runOptions;
        runOptions["forwardArguments"] = (options.flags & RUN_FORWARD_ARGUMENTS) != 0;
        runOptions["exitCode"] = (options.flags & RUN_EXIT_CODE_COMMAND) != 0 ? "command" : "engine";
        runOptions["unattended"] = (options.flags & RUN_UNATTENDED) != 0;
        runOptions["utf8Names"] = utf8Names;
        root["options"] = runOptions;
        root["packageSize"] = loaded.size;
        root["fileCount"] = loaded.entries.size();
        root["unpackedSize"] = totalUnpacked;
        root["outsideWorkingDirectory"] = outsideCount;
        root["refusedByEngine"] = refusedCount;
        root["commandHasControlCharacter"] = commandControlCharacter(h, nullptr);
        root["nameClashes"] = clashes.size();
        root["files"] = nlohmann::ordered_json::array();
        for (size_t i = 0; i < loaded.entries.size(); ++i) {
            const FileEntry& e = loaded.entries[i];
            nlohmann::ordered_json f;
            f["name"] = e.name ? nlohmann::ordered_json(text(e.name)) : nlohmann::ordered_json(nullptr);
            f["directory"] = e.directory ? nlohmann::ordered_json(text(e.directory)) : nlohmann::ordered_json(nullptr);
            f["destination"] = text(composedDestination(e).c_str());
            f["outsideWorkingDirectory"] = outside(e);
            const DestinationVerdict verdict = destinationVerdict(e);
            f["refusedByEngine"] = verdict != DESTINATION_OK;
            f["longPath"] = !longPathWarning(composedDestination(e), "").empty();
            f["refusal"] = verdict != DESTINATION_OK ? nlohmann::ordered_json(describeDestinationVerdict(verdict))
                                                     : nlohmann::ordered_json(nullptr);
            f["sameNameAs"] = partners[i];
            f["method"] = methodName(e.method);
            f["stream"] = streams[i] != 0 ? nlohmann::ordered_json(streams[i]) : nlohmann::ordered_json(nullptr);
            f["unpackedSize"] = e.unpackedSize;
            f["packedSize"] = e.packedSize;
            f["ratio"] = ratio(i);
            f["sha1"] = hex(e.digest, PACKAGE_DIGEST_SIZE);
            root["files"].push_back(f);
        }
        root["streams"] = nlohmann::ordered_json::array();
        for (const SolidStreamFacts& sf : streamFacts) {
            nlohmann::ordered_json f;
            f["stream"] = sf.number;
            f["method"] = "lzma2";
            f["files"] = sf.members;
            f["unpackedSize"] = sf.unpacked;
            f["packedSize"] = sf.packed;
            f["ratio"] = streamRatio(sf);
            f["dictionarySize"] = sf.header.dictionarySize;
            f["x86Filter"] = sf.header.filter != SOLID_FILTER_NONE;
            f["x86FilterEachFile"] = sf.header.filter == SOLID_FILTER_X86_EACH_MEMBER;
            root["streams"].push_back(f);
        }
        faceJson(face, &root);
        out << escapeJsonControls(root.dump(2)) << "\n";
        return warnOfDigest(loaded, err);
    }
    out << "command: " << (h.command ? "\"" + shown(h.command) + "\"" : std::string("(none)")) << "\n";
    out << "cleanup: " << cleanupName(h.cleanupMode) << "\n";
    out << "options: " << describeRunOptions(options.flags) << "\n";
    out << "files:   " << loaded.entries.size() << ", " << totalUnpacked << " bytes unpacked (package "
        << loaded.size << " bytes)\n";
    if (outsideCount > 0) {
        out << "WARNING: " << outsideCount
            << " file(s) go outside the working directory (marked !)"
            << (h.cleanupMode == CLEANUP_DETACH ? ", and replace for good what is there\n"
                                                : ": a file already there is set aside and put back after the run\n");
    }
    std::string control;
    if (commandControlCharacter(h, &control)) {
        out << "WARNING: the command holds a control character (" << control
            << "), shown escaped: build never writes one, and verify fails\n";
    }
    if (refusedCount > 0) {
        out << "WARNING: " << refusedCount
            << " file(s) have a destination the engine refuses (marked x): it stops there, and verify fails\n";
    }
    for (const NameClash& clash : clashes) out << "WARNING: " << clashText(clash, destinations) << ", and verify fails\n";
    for (const FileEntry& e : loaded.entries) {
        const std::string warning = longPathWarning(composedDestination(e), shown(composedDestination(e).c_str()));
        if (!warning.empty()) out << "WARNING: " << warning << "\n";
    }
    char line[128];
    snprintf(line, sizeof line, "  %-6s %12s %12s %6s  %-40s  %s\n", "method", "unpacked", "packed", "ratio", "sha1",
             "destination");
    out << line;
    for (size_t i = 0; i < loaded.entries.size(); ++i) {
        const FileEntry& e = loaded.entries[i];
        std::string destination = composedDestination(e);
        const DestinationVerdict verdict = destinationVerdict(e);
        const char* mark = verdict != DESTINATION_OK ? "x" : outside(e) ? "!" : " ";
        // A solid stream's member shows its stream's number, "lzma2:1", and its ratio; the
        // stream's packed size is the first member's, the others show "-".
        std::string method = methodName(e.method);
        std::string packed = std::to_string(e.packedSize);
        if (streams[i] != 0) {
            method += ":" + std::to_string(streams[i]);
            if (e.packedSize == 0) packed = "-";
        }
        snprintf(line, sizeof line, "%s %-6s %12u %12s %5.1f%%  %s  ", mark, method.c_str(), e.unpackedSize,
                 packed.c_str(), 100.0 * ratio(i), hex(e.digest, PACKAGE_DIGEST_SIZE).c_str());
        out << line << shown(destination.c_str());
        if (verdict != DESTINATION_OK) out << "  (refused: " << describeDestinationVerdict(verdict) << ")";
        out << "\n";
    }
    for (const SolidStreamFacts& sf : streamFacts) {
        snprintf(line, sizeof line, "stream %zu: %zu file(s), %llu bytes in %u (%.1f%%), dictionary %u KiB%s\n",
                 sf.number, sf.members, static_cast<unsigned long long>(sf.unpacked), sf.packed,
                 100.0 * streamRatio(sf), sf.header.dictionarySize / 1024,
                 sf.header.filter == SOLID_FILTER_X86                ? ", x86 branch filter"
                 : sf.header.filter == SOLID_FILTER_X86_EACH_MEMBER ? ", x86 branch filter restarted at each file"
                                                                     : "");
        out << line;
    }
    printFace(face, out);
    return warnOfDigest(loaded, err);
}

int runVerifyCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string exe;
    bool optionsEnded = false, quiet = false;
    for (const std::string& a : args) {
        if (!optionsEnded && a == "--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && (a == "-h" || a == "--help")) {
            out << VERIFY_USAGE;
            return 0;
        }
        if (!optionsEnded && a == "--quiet") {
            quiet = true;
            continue;
        }
        if (!optionsEnded && !a.empty() && a[0] == '-') return usageError("verify", "unknown option " + a, err);
        if (!exe.empty()) return usageError("verify", "one EXE only", err);
        exe = a;
    }
    if (exe.empty()) return usageError("verify", "no EXE given", err);
    LoadedPackage loaded;
    std::string error;
    if (!loadPackage(exe, &loaded, &error)) {
        err << "runpack verify: " << error << "\n";
        return 1;
    }
    bool verified;
    {
        ProgressLine progress(err, !quiet, "runpack verify", loaded.size);
        verified = verifyPackage(&loaded, "verify", err, &progress);
    }
    if (!verified) {
        err << "runpack verify: " << exe << " FAILED\n";
        return 1;
    }
    uint64_t total = 0;
    for (const FileEntry& e : loaded.entries) total += e.unpackedSize;
    out << exe << ": OK, " << loaded.entries.size() << " files, " << total << " bytes unpacked\n";
    return 0;
}

namespace {

bool writeToOutput(void* state, const uint8_t* bytes, size_t count, std::string* error) {
    return writeOutputFile(static_cast<OutputFile*>(state), bytes, count, error);
}

// The key under which two entries land on the same path below DIR.
std::string placementKey(const std::vector<std::string>& parts) {
    std::string key;
    for (const std::string& part : parts) key += "/" + part;
#ifdef _WIN32
    for (char& c : key)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
#endif
    return key;
}

// Refuses, in one line, a DIR whose file system has no room for files of `sizes` bytes, each
// taking whole allocation units. When the free space cannot be had, the writing says so.
bool outputFits(const std::string& dir, const std::vector<uint32_t>& sizes, std::ostream& err) {
    VolumeFacts facts{0, 0, 0, 0};
    std::string error;
    if (!outputFreeSpace(dir, &facts.freeBytes, &facts.unitSize, &error)) return true;
    SpacePlan plan;
    spacePlanBegin(&plan);
    const int32_t volume = spacePlanVolume(&plan, &facts);
    for (uint32_t size : sizes) spacePlanFile(&plan, volume, size);
    if (spacePlanShortfall(&plan) < 0) return true;
    const auto amount = [](uint64_t bytes) {
        char text[64];
        snprintf(text, sizeof text, "%llu bytes (%.1f MiB)", static_cast<unsigned long long>(bytes),
                 static_cast<double>(bytes) / (1024 * 1024));
        return std::string(text);
    };
    err << "runpack extract: not enough space for " << sizes.size() << " files in " << dir << ": they need "
        << amount(plan.volumes[0].neededBytes) << ", its file system has " << amount(facts.freeBytes)
        << " free; nothing extracted\n";
    return false;
}

// What this run made: below DIR, and DIR itself with the parents it lacked (deepest first).
struct RunRecord : OutputRecord {
    std::vector<fs::path> folders;
};

// After a failure midway: removes what this run made and says so. DIR and its parents go
// only when empty.
void takeBack(OutputRoot* root, const RunRecord& record, std::ostream& err) {
    rollBackOutput(*root, record);
    closeOutputRoot(root);
    std::error_code ec;
    for (const fs::path& folder : record.folders) {
        if (!fs::remove(folder, ec)) break;
    }
    if (!record.made.empty()) err << "runpack extract: removed the files and folders this run had made\n";
}

}  // namespace

int runExtractCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string exe, dir;
    bool includeAbsolute = false, force = false, dirGiven = false, quiet = false;
    uint32_t codePage = DEFAULT_DISPLAY_CODE_PAGE;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.empty() || a[0] != '-') {
            // EXE, then DIR: as -C DIR, the way archivers take a folder after the archive.
            if (exe.empty()) {
                exe = a;
            } else if (!dirGiven) {
                dirGiven = true;
                dir = a;
            } else {
                return usageError("extract", "one EXE and one DIR only", err);
            }
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "-h" || a == "--help") {
            out << EXTRACT_USAGE;
            return 0;
        } else if (a == "-C") {
            if (i + 1 >= args.size()) return usageError("extract", "-C needs a directory", err);
            if (dirGiven) return usageError("extract", "DIR given twice: give either -C DIR or DIR after EXE", err);
            dirGiven = true;
            dir = args[++i];
        } else if (a == "--include-absolute") {
            includeAbsolute = true;
        } else if (a == "--force") {
            force = true;
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a == "--codepage") {
            if (i + 1 >= args.size() || !parseCodePage(args[++i], &codePage))
                return usageError("extract", "--codepage needs 1250 or 1252", err);
        } else {
            return usageError("extract", "unknown option " + a, err);
        }
    }
    if (exe.empty()) return usageError("extract", "no EXE given", err);
    if (dir.empty()) return usageError("extract", "no target: give DIR after EXE, or -C DIR", err);

    LoadedPackage loaded;
    std::string error;
    if (!loadPackage(exe, &loaded, &error)) {
        err << "runpack extract: " << error << "\n";
        return 1;
    }
    bool verified;
    {
        ProgressLine progress(err, !quiet, "runpack extract: checking", loaded.size);
        verified = verifyPackage(&loaded, "extract", err, &progress, codePage);
    }
    if (!verified) {
        err << "runpack extract: " << exe << " does not verify; nothing extracted\n";
        return 1;
    }
    // Names are UTF-8 when the run options say so, otherwise the code page's.
    RunOptions options;
    const bool utf8Names = readLoadedRunOptions(loaded, &options, &error) && (options.flags & RUN_UTF8_NAMES) != 0;
    auto decode = [&](const std::string& bytes) { return utf8Names ? bytes : decodeAnsi(bytes, codePage); };
    // Plan every file before writing any, so that a refusal leaves DIR as it was. Every
    // destination goes through placeDestination: the engine's rule, then plain names only.
    struct Target {
        size_t entry;
        Placement placement;
    };
    std::vector<Target> targets;
    std::map<std::string, size_t> placed;  // path below DIR -> entry
    size_t skipped = 0;
    for (size_t i = 0; i < loaded.entries.size(); ++i) {
        const FileEntry& e = loaded.entries[i];
        Target t{i, {}};
        const std::string destination = composedDestination(e);
        if (!placeDestination(destination, &t.placement, &error)) {
            err << "runpack extract: entry " << i << ": " << visibleText(decode(error)) << "; nothing extracted\n";
            return 1;
        }
        if (t.placement.kind != PlacementKind::WorkingDirectory && !includeAbsolute) {
            err << "skipped (absolute destination, see --include-absolute): " << visibleText(decode(destination)) << "\n";
            ++skipped;
            continue;
        }
        if (t.placement.directoryOnly && e.unpackedSize != 0) {
            err << "runpack extract: entry " << i << ": destination \"" << visibleText(decode(destination))
                << "\" names a directory but holds " << e.unpackedSize << " bytes; nothing extracted\n";
            return 1;
        }
        for (std::string& part : t.placement.parts) {
            part = decode(part);
            if (!isPlainPart(part)) {  // decoding only ever adds bytes of 0x80 and above
                err << "runpack extract: entry " << i << ": cannot place \"" << visibleText(part) << "\"; nothing extracted\n";
                return 1;
            }
        }
        const auto inserted = placed.insert({placementKey(t.placement.parts), i});
        if (!inserted.second) {
            err << "runpack extract: entry " << i << " has the same destination as entry " << inserted.first->second
                << ": " << visibleText(decode(destination)) << "; nothing extracted\n";
            return 1;
        }
        targets.push_back(t);
    }

    // Everything below DIR is created through the handle of DIR, level by level, and what
    // this run creates is recorded, to be taken back should a file fail.
    OutputRoot root;
    RunRecord record;
    root.record = &record;
    std::error_code ec;
    const bool dirExists = fs::exists(fs::u8path(dir), ec);
    if (dirExists) {
        if (!openOutputRoot(dir, false, &root, &error)) {
            err << "runpack extract: " << error << "\n";
            return 1;
        }
        for (const Target& t : targets) {
            if (force || t.placement.directoryOnly || !outputExists(root, t.placement.parts)) continue;
            err << "runpack extract: " << visibleText(outputPath(root, t.placement.parts))
                << " exists (use --force to overwrite); nothing extracted\n";
            closeOutputRoot(&root);
            return 1;
        }
    }
    std::vector<uint32_t> sizes;
    for (const Target& t : targets) sizes.push_back(loaded.entries[t.entry].unpackedSize);
    if (!outputFits(dir, sizes, err)) {
        closeOutputRoot(&root);
        return 1;
    }
    if (!dirExists) {
        // DIR and the parents it lacks are this run's too.
        for (fs::path missing = fs::absolute(fs::u8path(dir), ec); !ec && !fs::exists(missing, ec) &&
                                                                   missing.has_relative_path();
             missing = missing.parent_path()) {
            record.folders.push_back(missing);
        }
        if (!openOutputRoot(dir, true, &root, &error)) {
            err << "runpack extract: " << error << "\n";
            takeBack(&root, record, err);
            return 1;
        }
    }
    // The files are written from the bytes just checked, without computing their SHA-1 again;
    // a change of the executable meanwhile is caught at the end.
    std::unique_ptr<LzhufContext> context = newCodecContext();
    std::unique_ptr<SolidCursor> solid(new SolidCursor);
    ProgressLine progress(err, !quiet, "runpack extract: writing", loaded.size);
    ReadBehind behind(loaded.file, loaded.package, &progress);
    const InputProgress input = behind.input();
    size_t files = 0;
    size_t unpackedUpTo = 0;  // entries before this one have been through the solid cursor
    for (const Target& t : targets) {
        // Members of a solid stream that are not extracted are still decoded, to reach the
        // bytes of those that follow them.
        for (; unpackedUpTo < t.entry; ++unpackedUpTo) {
            const FileEntry& skipped = loaded.entries[unpackedUpTo];
            if (skipped.method == METHOD_LZMA2 &&
                !unpackEntry(context.get(), skipped, nullptr, &error, solid.get(), &input, false)) {
                progress.finish();
                err << "runpack extract: entry " << unpackedUpTo << ": " << error << "\n";
                takeBack(&root, record, err);
                return 1;
            }
        }
        unpackedUpTo = t.entry + 1;
        bool done = false;
        if (t.placement.directoryOnly) {
            // Empty, but it may be the entry that holds its solid stream.
            const FileEntry& e = loaded.entries[t.entry];
            done = createOutputDirectories(root, t.placement.parts, &error) &&
                   (e.method != METHOD_LZMA2 || unpackEntry(context.get(), e, nullptr, &error, solid.get(), &input, false));
        } else {
            OutputFile file;
            if (createOutputFile(root, t.placement.parts, force, &file, &error)) {
                const EntryWriter writer{writeToOutput, &file};
                const bool unpacked =
                    unpackEntry(context.get(), loaded.entries[t.entry], &writer, &error, solid.get(), &input, false);
                std::string closeError;
                const bool closed = closeOutputFile(&file, &closeError);
                if (unpacked && !closed) error = closeError;
                done = unpacked && closed;
                files += done ? 1 : 0;
                if (done) markOutputWhole(&record);
            }
        }
        if (!done) {
            progress.finish();
            err << "runpack extract: " << visibleText(decode(error)) << "\n";
            takeBack(&root, record, err);
            return 1;
        }
    }
    progress.finish();
    // The bytes written are those checked above unless the file was written in between: then
    // what this run made goes, as after any failure.
    if (!loaded.file.unchanged()) {
        err << "runpack extract: " << exe << " changed while it was extracted: the files written may not be "
            << "those checked; verify it and extract again\n";
        takeBack(&root, record, err);
        return 1;
    }
    closeOutputRoot(&root);
    out << "extracted " << files << " files to " << dir;
    if (skipped) out << " (" << skipped << " with absolute destinations skipped)";
    out << "\n";
    return 0;
}

int runListSubcommand(int argc, char** args, std::ostream& out, std::ostream& err) {
    return runListCommand(std::vector<std::string>(args, args + argc), out, err);
}
int runVerifySubcommand(int argc, char** args, std::ostream& out, std::ostream& err) {
    return runVerifyCommand(std::vector<std::string>(args, args + argc), out, err);
}
int runExtractSubcommand(int argc, char** args, std::ostream& out, std::ostream& err) {
    return runExtractCommand(std::vector<std::string>(args, args + argc), out, err);
}
const char* listCommandUsage() {
    return "runpack list EXE [--json] [--codepage N]   show the command and files of a package\n";
}
const char* verifyCommandUsage() {
    return "runpack verify EXE [--quiet]               check digest, structure and every file\n";
}
const char* extractCommandUsage() {
    return "runpack extract EXE [-C] DIR [--include-absolute] [--force] [--codepage N] [--quiet]\n"
           "                                           write the files under DIR\n";
}
