// Every command reads the "RUNINFO" resources and walks the package with the same readers
// the engine runs, so what they accept is what the engine accepts.
#include "runpack/inspect_commands.h"

#include <stdio.h>
#include <string.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <filesystem>

#include <nlohmann/json.hpp>

#include "extract/destination_rule.h"
#include "extract/storage_methods.h"
#include "package/package_reader.h"
#include "runpack/entry_unpacking.h"
#include "runpack/package_writer.h"
#include "runpack/pe_resources.h"
#include "runpack/destination_rules.h"
#include "runpack/text_encoding.h"

namespace fs = std::filesystem;

const char LIST_USAGE[] =
    "usage: runpack list EXE [--json] [--codepage N]\n"
    "\n"
    "Shows the command line, the cleanup mode, the file count and total unpacked size, and\n"
    "every file of the package in EXE: method, unpacked and packed size, ratio, SHA-1 and\n"
    "destination. Destinations outside the engine's working directory (drive, UNC or\n"
    "%VAR% paths) are counted in a warning and marked with \"!\"; destinations the engine\n"
    "refuses (\"..\", a device name, a colon after the drive, ...) are counted in a warning\n"
    "and marked with \"x\", with the reason after them. --json prints the same as one JSON\n"
    "object.\n"
    "Texts are shown as code page N (1250 or 1252; default 1252) would show them.\n";

const char VERIFY_USAGE[] =
    "usage: runpack verify EXE\n"
    "\n"
    "Checks what the engine checks before a run, and more: the package digest is present,\n"
    "20 bytes long and matches; the package passes the engine's validation; no destination\n"
    "is one the engine refuses; every file unpacks to its unpacked size and to the SHA-1 its\n"
    "entry records. Exit code 0 when all of it holds, 1 otherwise, with one line per failure.\n";

const char EXTRACT_USAGE[] =
    "usage: runpack extract EXE -C DIR [--include-absolute] [--force] [--codepage N]\n"
    "\n"
    "Writes the files of the package in EXE under DIR (created when missing) after checking\n"
    "the package like verify. Destinations relative to the engine's working directory go\n"
    "under DIR as they are; absolute ones (C:\\x, \\\\server\\share\\x) and ones starting with\n"
    "an environment variable (%APPDATA%\\x) are skipped unless --include-absolute puts them\n"
    "under DIR/_absolute/ (C:\\x as _absolute/C/x, \\\\server\\share as _absolute/UNC/server/share,\n"
    "%APPDATA%\\x as _absolute/%APPDATA%/x). Nothing is ever written outside DIR: \"..\" is\n"
    "refused and symbolic links are never followed. Existing files are kept (and the\n"
    "extraction refused) unless --force is given. Names are converted from code page N\n"
    "(1250 or 1252; default 1252).\n";

namespace {

const uint32_t DEFAULT_DISPLAY_CODE_PAGE = CODE_PAGE_WESTERN;

struct LoadedPackage {
    std::vector<uint8_t> bytes;
    bool hasDigest = false;
    std::vector<uint8_t> digest;
    PackageHeader header{};
    std::vector<FileEntry> entries;
};

// Reads the executable and its package; with `validate`, the package must pass the
// engine's validation and its entries are read.
bool loadPackage(const std::string& path, LoadedPackage* loaded, std::string* error) {
    std::vector<uint8_t> image;
    if (!readFile(path, &image, error)) return false;
    bool hasPackage = false;
    if (!readRunInfo(image, &loaded->bytes, &hasPackage, &loaded->digest, &loaded->hasDigest, error)) {
        *error = path + ": " + *error;
        return false;
    }
    if (!hasPackage) {
        *error = path + " carries no package (no RUNINFO 102 resource)";
        return false;
    }
    if (static_cast<uint64_t>(loaded->bytes.size()) > MAX_PACKAGE_SIZE) {
        *error = "package too large";
        return false;
    }
    return true;
}

bool readEntries(LoadedPackage* loaded, std::string* error) {
    const uint8_t* data = loaded->bytes.data();
    const uint32_t size = static_cast<uint32_t>(loaded->bytes.size());
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

const char* methodName(uint32_t method) { return method == METHOD_LZHUF ? "lzhuf" : "stored"; }

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

// The package checks of verify; problems are written to `err` one per line.
bool verifyPackage(LoadedPackage* loaded, std::ostream& err) {
    bool ok = true;
    std::string error;
    if (!loaded->hasDigest) {
        err << "no package digest (RUNINFO 103)\n";
        ok = false;
    } else if (loaded->digest.size() != PACKAGE_DIGEST_SIZE) {
        err << "package digest is " << loaded->digest.size() << " bytes, not 20\n";
        ok = false;
    } else if (sha1Of(loaded->bytes.data(), loaded->bytes.size()) != loaded->digest) {
        err << "package digest does not match the package\n";
        ok = false;
    }
    if (!readEntries(loaded, &error)) {
        err << error << "\n";
        return false;
    }
    for (size_t i = 0; i < loaded->entries.size(); ++i) {
        const DestinationVerdict verdict = destinationVerdict(loaded->entries[i]);
        if (verdict != DESTINATION_OK) {
            err << "entry " << i << " (" << composedDestination(loaded->entries[i])
                << "): the engine refuses this destination: " << describeDestinationVerdict(verdict) << "\n";
            ok = false;
        }
    }
    std::unique_ptr<LzhufContext> context = newCodecContext();
    for (size_t i = 0; i < loaded->entries.size(); ++i) {
        if (!unpackEntry(context.get(), loaded->entries[i], nullptr, &error)) {
            err << "entry " << i << " (" << composedDestination(loaded->entries[i]) << "): " << error << "\n";
            ok = false;
        }
    }
    return ok;
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
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-h" || args[i] == "--help") {
            out << LIST_USAGE;
            return 0;
        } else if (args[i] == "--json") {
            json = true;
        } else if (args[i] == "--codepage") {
            if (i + 1 >= args.size() || !parseCodePage(args[++i], &codePage))
                return usageError("list", "--codepage needs 1250 or 1252", err);
        } else if (!args[i].empty() && args[i][0] == '-') {
            return usageError("list", "unknown option " + args[i], err);
        } else if (exe.empty()) {
            exe = args[i];
        } else {
            return usageError("list", "one EXE only", err);
        }
    }
    if (exe.empty()) return usageError("list", "no EXE given", err);
    LoadedPackage loaded;
    std::string error;
    if (!loadPackage(exe, &loaded, &error) || !readEntries(&loaded, &error)) {
        err << "runpack list: " << error << "\n";
        return 1;
    }
    const PackageHeader& h = loaded.header;
    auto text = [&](const char* t) { return decodeAnsi(t ? t : "", codePage); };
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
    auto ratio = [](const FileEntry& e) {
        return e.unpackedSize == 0 ? 1.0 : static_cast<double>(e.packedSize) / e.unpackedSize;
    };
    if (json) {
        nlohmann::ordered_json root;
        root["command"] = h.command ? nlohmann::ordered_json(text(h.command)) : nlohmann::ordered_json(nullptr);
        root["cleanup"] = cleanupName(h.cleanupMode);
        root["packageSize"] = loaded.bytes.size();
        root["fileCount"] = loaded.entries.size();
        root["unpackedSize"] = totalUnpacked;
        root["outsideWorkingDirectory"] = outsideCount;
        root["refusedByEngine"] = refusedCount;
        root["files"] = nlohmann::ordered_json::array();
        for (const FileEntry& e : loaded.entries) {
            nlohmann::ordered_json f;
            f["name"] = e.name ? nlohmann::ordered_json(text(e.name)) : nlohmann::ordered_json(nullptr);
            f["directory"] = e.directory ? nlohmann::ordered_json(text(e.directory)) : nlohmann::ordered_json(nullptr);
            f["destination"] = text(composedDestination(e).c_str());
            f["outsideWorkingDirectory"] = outside(e);
            const DestinationVerdict verdict = destinationVerdict(e);
            f["refusedByEngine"] = verdict != DESTINATION_OK;
            f["refusal"] = verdict != DESTINATION_OK ? nlohmann::ordered_json(describeDestinationVerdict(verdict))
                                                     : nlohmann::ordered_json(nullptr);
            f["method"] = methodName(e.method);
            f["unpackedSize"] = e.unpackedSize;
            f["packedSize"] = e.packedSize;
            f["ratio"] = ratio(e);
            f["sha1"] = hex(e.digest, PACKAGE_DIGEST_SIZE);
            root["files"].push_back(f);
        }
        out << root.dump(2) << "\n";
        return 0;
    }
    out << "command: " << (h.command ? "\"" + text(h.command) + "\"" : std::string("(none)")) << "\n";
    out << "cleanup: " << cleanupName(h.cleanupMode) << "\n";
    out << "files:   " << loaded.entries.size() << ", " << totalUnpacked << " bytes unpacked (package "
        << loaded.bytes.size() << " bytes)\n";
    if (outsideCount > 0) {
        out << "WARNING: " << outsideCount
            << " file(s) go outside the working directory (marked !), and are overwritten there\n";
    }
    if (refusedCount > 0) {
        out << "WARNING: " << refusedCount
            << " file(s) have a destination the engine refuses (marked x): it stops there, and verify fails\n";
    }
    char line[128];
    snprintf(line, sizeof line, "  %-6s %12s %12s %6s  %-40s  %s\n", "method", "unpacked", "packed", "ratio", "sha1",
             "destination");
    out << line;
    for (const FileEntry& e : loaded.entries) {
        std::string destination = composedDestination(e);
        const DestinationVerdict verdict = destinationVerdict(e);
        const char* mark = verdict != DESTINATION_OK ? "x" : outside(e) ? "!" : " ";
        snprintf(line, sizeof line, "%s %-6s %12u %12u %5.1f%%  %s  ", mark, methodName(e.method), e.unpackedSize,
                 e.packedSize, 100.0 * ratio(e), hex(e.digest, PACKAGE_DIGEST_SIZE).c_str());
        out << line << text(destination.c_str());
        if (verdict != DESTINATION_OK) out << "  (refused: " << describeDestinationVerdict(verdict) << ")";
        out << "\n";
    }
    return 0;
}

int runVerifyCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string exe;
    for (const std::string& a : args) {
        if (a == "-h" || a == "--help") {
            out << VERIFY_USAGE;
            return 0;
        }
        if (!a.empty() && a[0] == '-') return usageError("verify", "unknown option " + a, err);
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
    if (!verifyPackage(&loaded, err)) {
        err << "runpack verify: " << exe << " FAILED\n";
        return 1;
    }
    uint64_t total = 0;
    for (const FileEntry& e : loaded.entries) total += e.unpackedSize;
    out << exe << ": OK, " << loaded.entries.size() << " files, " << total << " bytes unpacked\n";
    return 0;
}

namespace {

// Where an entry goes under DIR, as path parts; false (with a reason) when it must not be
// written, `skipped` when it is absolute and not asked for.
bool localParts(const std::string& destination, bool includeAbsolute, std::vector<std::string>* parts, bool* skipped,
                std::string* error) {
    parts->clear();
    *skipped = false;
    std::string rest = destination;
    const bool unc = destination.size() >= 2 && destination[0] == '\\' && destination[1] == '\\';
    const bool drive = destination.size() >= 2 && destination[1] == ':';
    const bool variable = destination.find('%') != std::string::npos;
    if (unc || drive || variable) {
        if (!includeAbsolute) {
            *skipped = true;
            return true;
        }
        parts->push_back("_absolute");
        if (unc) {
            parts->push_back("UNC");
            rest = destination.substr(2);
        } else if (drive) {
            parts->push_back(std::string(1, destination[0]));
            rest = destination.substr(2);
        }
    }
    std::string part;
    auto flush = [&]() {
        if (part.empty() || part == ".") {
            part.clear();
            return true;
        }
        if (part == "..") {
            *error = "destination \"" + destination + "\" contains \"..\"";
            return false;
        }
        parts->push_back(part);
        part.clear();
        return true;
    };
    for (char c : rest) {
        if (c == '\\' || c == '/') {
            if (!flush()) return false;
        } else if (c == ':' || c == 0) {
            *error = "destination \"" + destination + "\" cannot be placed on this system";
            return false;
        } else {
            part.push_back(c);
        }
    }
    if (!flush()) return false;
    if (parts->empty() || (parts->size() == 1 && (*parts)[0] == "_absolute")) {
        *error = "destination \"" + destination + "\" names no file";
        return false;
    }
    return true;
}

// Creates `dir` if missing; refuses a symbolic link or a non-directory in its place.
bool ensureDirectory(const fs::path& dir, std::string* error) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(dir, ec);
    if (fs::is_symlink(status)) {
        *error = dir.u8string() + " is a symbolic link: not followed";
        return false;
    }
    if (fs::exists(status)) {
        if (fs::is_directory(status)) return true;
        *error = dir.u8string() + " exists and is not a directory";
        return false;
    }
    if (!fs::create_directory(dir, ec) || ec) {
        *error = "cannot create " + dir.u8string() + (ec ? ": " + ec.message() : "");
        return false;
    }
    return true;
}

// Creates a new file for writing. Never through a symbolic link; an existing file only with
// `force`.
FILE* createNewFile(const fs::path& path, bool force, std::string* error) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (fs::is_symlink(status)) {
        *error = path.u8string() + " is a symbolic link: not followed";
        return nullptr;
    }
    if (fs::exists(status)) {
        if (!force) {
            *error = path.u8string() + " exists (use --force to overwrite)";
            return nullptr;
        }
        if (!fs::is_regular_file(status) || !fs::remove(path, ec)) {
            *error = "cannot replace " + path.u8string();
            return nullptr;
        }
    }
#ifdef _WIN32
    FILE* file = _wfopen(path.c_str(), L"wb");
#else
    // O_EXCL|O_NOFOLLOW: a link or file created meanwhile is not written through.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    FILE* file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (fd >= 0 && !file) close(fd);
#endif
    if (!file) *error = "cannot create " + path.u8string();
    return file;
}

struct FileTarget {
    FILE* file;
    std::string path;
};

bool writeToFile(void* state, const uint8_t* bytes, size_t count, std::string* error) {
    FileTarget* target = static_cast<FileTarget*>(state);
    if (fwrite(bytes, 1, count, target->file) == count) return true;
    *error = "cannot write " + target->path;
    return false;
}

}  // namespace

int runExtractCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string exe, dir;
    bool includeAbsolute = false, force = false;
    uint32_t codePage = DEFAULT_DISPLAY_CODE_PAGE;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            out << EXTRACT_USAGE;
            return 0;
        } else if (a == "-C") {
            if (i + 1 >= args.size()) return usageError("extract", "-C needs a directory", err);
            dir = args[++i];
        } else if (a == "--include-absolute") {
            includeAbsolute = true;
        } else if (a == "--force") {
            force = true;
        } else if (a == "--codepage") {
            if (i + 1 >= args.size() || !parseCodePage(args[++i], &codePage))
                return usageError("extract", "--codepage needs 1250 or 1252", err);
        } else if (!a.empty() && a[0] == '-') {
            return usageError("extract", "unknown option " + a, err);
        } else if (exe.empty()) {
            exe = a;
        } else {
            return usageError("extract", "one EXE only", err);
        }
    }
    if (exe.empty()) return usageError("extract", "no EXE given", err);
    if (dir.empty()) return usageError("extract", "no target: give -C DIR", err);

    LoadedPackage loaded;
    std::string error;
    if (!loadPackage(exe, &loaded, &error)) {
        err << "runpack extract: " << error << "\n";
        return 1;
    }
    if (!verifyPackage(&loaded, err)) {
        err << "runpack extract: " << exe << " does not verify; nothing extracted\n";
        return 1;
    }
    // Plan every file before writing any, so that a refusal leaves DIR as it was.
    struct Target { size_t entry; std::vector<std::string> parts; };
    std::vector<Target> targets;
    size_t skipped = 0;
    for (size_t i = 0; i < loaded.entries.size(); ++i) {
        Target t{i, {}};
        bool skip = false;
        const std::string destination = decodeAnsi(composedDestination(loaded.entries[i]), codePage);
        if (!localParts(destination, includeAbsolute, &t.parts, &skip, &error)) {
            err << "runpack extract: entry " << i << ": " << error << "; nothing extracted\n";
            return 1;
        }
        if (skip) {
            err << "skipped (absolute destination, see --include-absolute): " << destination << "\n";
            ++skipped;
            continue;
        }
        targets.push_back(t);
    }
    if (!force) {
        for (const Target& t : targets) {
            fs::path path = fs::u8path(dir);
            for (const std::string& p : t.parts) path /= fs::u8path(p);
            std::error_code ec;
            if (fs::exists(fs::symlink_status(path, ec))) {
                err << "runpack extract: " << path.u8string() << " exists (use --force to overwrite); nothing extracted\n";
                return 1;
            }
        }
    }
    const fs::path root = fs::u8path(dir);
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(root, ec))) fs::create_directories(root, ec);
    if (!fs::is_directory(root, ec)) {
        err << "runpack extract: cannot create " << dir << "\n";
        return 1;
    }
    std::unique_ptr<LzhufContext> context = newCodecContext();
    for (const Target& t : targets) {
        fs::path path = root;
        for (size_t k = 0; k + 1 < t.parts.size(); ++k) {
            path /= fs::u8path(t.parts[k]);
            if (!ensureDirectory(path, &error)) {
                err << "runpack extract: " << error << "\n";
                return 1;
            }
        }
        path /= fs::u8path(t.parts.back());
        FileTarget target{createNewFile(path, force, &error), path.u8string()};
        if (!target.file) {
            err << "runpack extract: " << error << "\n";
            return 1;
        }
        const EntryWriter writer{writeToFile, &target};
        const bool unpacked = unpackEntry(context.get(), loaded.entries[t.entry], &writer, &error);
        const bool closed = fclose(target.file) == 0;
        if (unpacked && !closed) error = "cannot write " + target.path;
        if (!unpacked || !closed) {
            err << "runpack extract: " << error << "\n";
            return 1;
        }
    }
    out << "extracted " << targets.size() << " files to " << dir;
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
    return "runpack list EXE [--json]                  show the command and files of a package\n";
}
const char* verifyCommandUsage() {
    return "runpack verify EXE                         check digest, structure and every file\n";
}
const char* extractCommandUsage() {
    return "runpack extract EXE -C DIR [--include-absolute] [--force]   write the files under DIR\n";
}
