// The build: gather the inputs in a stable order, check every destination against what the
// engine and Windows can hold, pack the files on all cores (each worker with its own codec
// context, so the result does not depend on the number of workers), write the package and
// its digest into a copy of the engine under a temporary name, then rename it into place.
#include "runpack/commands/build_command.h"

#include "package/package_limit.h"
#include "runpack/commands/embedded_engine.h"

#include <errno.h>
#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>
#include <thread>

#include <nlohmann/json.hpp>

#include "runpack/package/destination_rules.h"
#include "runpack/package/name_clashes.h"
#include "runpack/image/executable_face.h"
#include "runpack/image/manifest_level.h"
#include "runpack/package/package_writer.h"
#include "runpack/image/pe_resources.h"
#include "runpack/image/streamed_image.h"
#include "runpack/output/progress_line.h"
#include "runpack/package/run_options_record.h"
#include "runpack/package/text_encoding.h"
#include "runpack/package/visible_text.h"
#include "package/method_ids.h"
#include "runpack/package/solid_encoder.h"
#include "package/run_options.h"

namespace fs = std::filesystem;


const char BUILD_USAGE[] =
    "usage: runpack build -o OUT.exe [options] PATH...\n"
    "\n"
    "Packs files into a copy of the engine. A file PATH becomes one entry named after it; a\n"
    "directory PATH contributes every regular file below it (sorted by path), with its\n"
    "subdirectories as the entries' directories; one that holds no file is warned about.\n"
    "Identical inputs give identical output.\n"
    "\n"
    "options:\n"
    "  -o, --output OUT.exe     the executable to write (replaced only when the build succeeds)\n"
    "  -c, --command TEXT       the command line to run after extraction (default: none)\n"
    "  --cleanup MODE           journal: wait, then remove what was extracted\n"
    "                           tree: also remove the working directory tree (default)\n"
    "                           detach: start the command and neither wait nor clean up\n"
    "  --method METHOD          lzma2: the files compressed together in solid LZMA2 streams,\n"
    "                           each file's bytes a dictionary for the next (default where\n"
    "                           this build has the encoder; engines before it refuse it)\n"
    "                           auto: LZHUF when it is smaller, else stored (default without\n"
    "                           the LZMA2 encoder)\n"
    "                           stored | lzhuf: every file of PATH... so\n"
    "  --level LEVEL            best: small streams at a good speed (default)\n"
    "                           max: the smallest LZMA2 streams, a dictionary of up to 64\n"
    "                           MiB and a longer search: about twice the time of best, and\n"
    "                           up to 700 MiB of memory per thread (for LZHUF: best)\n"
    "                           fast: several times faster than best\n"
    "                           ref: LZHUF's reference encoder, as earlier versions wrote\n"
    "  --to DIR                 destination directory of the PATH inputs: relative to the\n"
    "                           working directory, absolute (C:\\Tools\\x, \\\\server\\share) or\n"
    "                           starting with an environment variable (%APPDATA%\\x)\n"
    "  --manifest FILE.json     more files: {\"files\": [{\"source\": \"path\", \"name\": \"a.txt\",\n"
    "                           \"directory\": \"sub\", \"method\": \"auto\"}]}; source is\n"
    "                           relative to the manifest, the other keys are optional\n"
    "  --engine ENGINE.exe      the engine to copy (default: the one this tool was built with)\n"
    "  --codepage N             the Windows code page (1250 or 1252) for non-ASCII names and\n"
    "                           command; without it such text is stored as UTF-8\n"
    "  --names utf8             store names, directories and command as UTF-8 (any character)\n"
    "  --jobs N                 packing threads (default: one per core); they change the\n"
    "                           speed only, never the output\n"
    "  --quiet                  no progress line (on a terminal, a build that takes more\n"
    "                           than a second shows how far it is, cleared at the end)\n"
    "  --set-icon FILE.ico      the executable's icon: every image of FILE.ico (any size and\n"
    "                           depth, PNG images too) replaces the engine's icon\n"
    "  --set-file-version A.B.C.D\n"
    "  --set-product-version A.B.C.D\n"
    "                           the version numbers Windows shows (one not given takes the\n"
    "                           other's value; neither given: 0.0.0.0)\n"
    "  --set-version-string KEY VALUE\n"
    "                           a string of the version resource (FileDescription, ProductName,\n"
    "                           CompanyName, LegalCopyright, OriginalFilename, InternalName,\n"
    "                           Comments, ...); repeatable. Any of these three options replaces\n"
    "                           the engine's version resource: it then holds the strings given\n"
    "                           and FileVersion and ProductVersion written as the numbers\n"
    "  --execution-level LEVEL  asInvoker | highestAvailable | requireAdministrator: what the\n"
    "                           manifest requests (default: requireAdministrator, as the engine)\n"
    "  --                       ends the options: every argument after it is a PATH, even\n"
    "                           one that begins with -\n"
    "\n"
    "run options (stored only when one is given; without them the engine behaves as it\n"
    "always has):\n"
    "  --forward-arguments      append the executable's own arguments (everything after\n"
    "                           its program name) to the command, unchanged, after a space\n"
    "  --exit-code command      where the cleanup mode waits (journal, tree), end with the\n"
    "                           command's exit code instead of 0; the engine's own failures\n"
    "                           keep their codes, and detach still gives 0\n"
    "  --exit-code engine       end with 0, or with the engine's own error code (default)\n"
    "  --unattended             no waiting window and no message box: a failure's caption\n"
    "                           and text go to the caller's standard error (a file or pipe)\n"
    "                           or else to its console; the exit code is as always\n"
    "\n"
    "Refused, without writing anything: names Windows cannot hold (device names, <>:\"/\\|?*,\n"
    "control characters, a trailing dot or space), a first name below PATH that begins with\n"
    "a %VAR% reference (--to and manifests give such destinations), \"..\", destinations\n"
    "longer than the engine's 519 characters (relative ones counted with a 260-character\n"
    "working directory), two files with the same destination on Windows (names that differ\n"
    "only in case, over all of Unicode, or in trailing dots and spaces; a file where another\n"
    "file's folder goes), missing or unreadable inputs,\n"
    "files of 4 GiB or more, a package over 4 GiB - 1 bytes, and a command with a control\n"
    "or invisible character (U+200B, U+FEFF, U+00AD, ...; also refused in names). A\n"
    "destination that would be longer than 259 characters below a working\n"
    "directory of a usual length (60 characters) is packed with a warning: many Windows\n"
    "programs cannot open such a path.\n";

namespace {

enum class Method { Auto, Stored, Lzhuf, Lzma2 };

// --level: one name for both encoders. LZHUF has nothing beyond its best, so max is best
// there; ref is LZHUF's own and leaves LZMA2 at best.
enum class Level { Fast, Ref, Best, Max };

bool parseLevel(const std::string& text, Level* level) {
    if (text == "fast") *level = Level::Fast;
    else if (text == "ref") *level = Level::Ref;
    else if (text == "best") *level = Level::Best;
    else if (text == "max") *level = Level::Max;
    else return false;
    return true;
}

LzhufLevel lzhufLevelOf(Level level) {
    return level == Level::Fast ? LZHUF_LEVEL_FAST : level == Level::Ref ? LZHUF_LEVEL_REF : LZHUF_LEVEL_BEST;
}

SolidLevel solidLevelOf(Level level) {
    return level == Level::Fast ? SOLID_LEVEL_FAST : level == Level::Max ? SOLID_LEVEL_MAX : SOLID_LEVEL_BEST;
}

// The smallest packages that every engine of this version reads: solid LZMA2 where this build
// can make it.
Method defaultMethod() { return solidEncoderAvailable() ? Method::Lzma2 : Method::Auto; }

struct BuildOptions {
    std::string output;
    bool hasCommand = false;
    std::string command;
    uint32_t cleanupMode = CLEANUP_TREE;
    Method method = defaultMethod();
    Level level = Level::Best;
    bool hasTo = false;
    std::string to;
    std::string manifest;
    std::string engine;  // empty: the engine this tool carries
    uint32_t codePage = 0;
    bool namesUtf8 = false;  // --names utf8
    unsigned jobs = 0;
    bool quiet = false;  // no progress line
    uint32_t runFlags = 0;  // RUN_* flags; the run options are stored only when one is set
    std::vector<std::string> inputs;
    std::string icon;  // --set-icon; read into face.icon by the build
    FaceOptions face;
};

// A file to pack and where it goes, texts still in UTF-8.
struct PlannedFile {
    fs::path source;
    std::string directory;  // normalised, "" for none
    std::string name;       // normalised
    DestinationKind kind = DestinationKind::Relative;
    Method method = Method::Auto;
};

bool parseMethod(const std::string& text, Method* method) {
    if (text == "auto") *method = Method::Auto;
    else if (text == "stored") *method = Method::Stored;
    else if (text == "lzhuf") *method = Method::Lzhuf;
    else if (text == "lzma2" && solidEncoderAvailable()) *method = Method::Lzma2;
    else return false;
    return true;
}

bool parseNumber(const std::string& text, uint32_t* value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *value = static_cast<uint32_t>(std::stoul(text));
    return true;
}

// 0: parsed; 2: usage error (message in `error`); 1: --help shown.
int parseOptions(const std::vector<std::string>& args, BuildOptions* o, std::string* error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* v) {
            if (i + 1 >= args.size()) {
                *error = a + " needs a value";
                return false;
            }
            *v = args[++i];
            return true;
        };
        std::string v;
        if (a == "-h" || a == "--help") return 1;
        if (a == "-o" || a == "--output") {
            if (!value(&o->output)) return 2;
        } else if (a == "-c" || a == "--command") {
            if (!value(&o->command)) return 2;
            o->hasCommand = true;
        } else if (a == "--cleanup") {
            if (!value(&v)) return 2;
            if (v == "journal") o->cleanupMode = CLEANUP_JOURNAL;
            else if (v == "tree") o->cleanupMode = CLEANUP_TREE;
            else if (v == "detach") o->cleanupMode = CLEANUP_DETACH;
            else { *error = "unknown cleanup mode \"" + v + "\" (journal, tree or detach)"; return 2; }
        } else if (a == "--method") {
            if (!value(&v)) return 2;
            if (!parseMethod(v, &o->method)) { *error = "unknown method \"" + v + "\" (" + std::string(solidEncoderAvailable() ? "lzma2, " : "") + "auto, stored or lzhuf)"; return 2; }
        } else if (a == "--level") {
            if (!value(&v)) return 2;
            if (!parseLevel(v, &o->level)) { *error = "unknown level \"" + v + "\" (fast, ref, best or max)"; return 2; }
        } else if (a == "--to") {
            if (!value(&o->to)) return 2;
            o->hasTo = true;
        } else if (a == "--manifest") {
            if (!value(&o->manifest)) return 2;
        } else if (a == "--engine") {
            if (!value(&o->engine)) return 2;
        } else if (a == "--codepage") {
            if (!value(&v)) return 2;
            if (!parseNumber(v, &o->codePage) || !isSupportedCodePage(o->codePage)) {
                *error = "unsupported code page \"" + v + "\" (1250 or 1252)";
                return 2;
            }
        } else if (a == "--names") {
            if (!value(&v)) return 2;
            if (v != "utf8") { *error = "unknown names encoding \"" + v + "\" (utf8)"; return 2; }
            o->namesUtf8 = true;
        } else if (a == "--forward-arguments") {
            o->runFlags |= RUN_FORWARD_ARGUMENTS;
        } else if (a == "--unattended") {
            o->runFlags |= RUN_UNATTENDED;
        } else if (a == "--exit-code") {
            if (!value(&v)) return 2;
            if (v == "command") o->runFlags |= RUN_EXIT_CODE_COMMAND;
            else if (v == "engine") o->runFlags &= ~RUN_EXIT_CODE_COMMAND;
            else { *error = "unknown exit code \"" + v + "\" (engine or command)"; return 2; }
        } else if (a == "--quiet") {
            o->quiet = true;
        } else if (a == "--jobs") {
            uint32_t jobs = 0;
            if (!value(&v)) return 2;
            if (!parseNumber(v, &jobs) || jobs == 0) { *error = "--jobs needs a positive number"; return 2; }
            o->jobs = jobs;
        } else if (a == "--set-icon") {
            if (!value(&o->icon)) return 2;
        } else if (a == "--set-file-version" || a == "--set-product-version") {
            if (!value(&v)) return 2;
            const bool file = a == "--set-file-version";
            if (!parseVersionNumber(v, file ? &o->face.fileVersion : &o->face.productVersion)) {
                *error = a + " needs four numbers 0..65535 as A.B.C.D, not \"" + v + "\"";
                return 2;
            }
            (file ? o->face.hasFileVersion : o->face.hasProductVersion) = true;
        } else if (a == "--set-version-string") {
            if (i + 2 >= args.size()) { *error = a + " needs a KEY and a VALUE"; return 2; }
            i += 2;
            if (!addVersionString(&o->face, args[i - 1], args[i], error)) { *error = a + ": " + *error; return 2; }
        } else if (a == "--execution-level") {
            if (!value(&v)) return 2;
            if (!isExecutionLevel(v)) {
                *error = "unknown execution level \"" + v + "\" (asInvoker, highestAvailable or requireAdministrator)";
                return 2;
            }
            o->face.executionLevel = v;
        } else if (a == "--") {
            o->inputs.insert(o->inputs.end(), args.begin() + i + 1, args.end());
            break;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            *error = "unknown option " + a;
            return 2;
        } else {
            o->inputs.push_back(a);
        }
    }
    if (o->namesUtf8 && o->codePage != 0) { *error = "--names utf8 and --codepage exclude each other"; return 2; }
    if (o->output.empty()) { *error = "no output: give -o OUT.exe"; return 2; }
    if (o->inputs.empty() && o->manifest.empty()) { *error = "nothing to pack: give PATH... or --manifest"; return 2; }
    return 0;
}

std::string joinDirectory(const std::string& base, const std::string& sub) {
    if (base.empty()) return sub;
    if (sub.empty()) return base;
    return base.back() == '\\' ? base + sub : base + "\\" + sub;
}

// Plans the PATH inputs. A directory input that holds no file adds a line to `warnings`.
bool planInputs(const BuildOptions& o, std::vector<PlannedFile>* files, std::vector<std::string>* warnings,
                std::string* error) {
    std::string to;
    DestinationKind toKind = DestinationKind::Relative;
    if (o.hasTo && !normalizeDirectory(o.to, true, &to, &toKind, error)) {
        *error = "--to: " + *error;
        return false;
    }
    for (const std::string& input : o.inputs) {
        const fs::path path = fs::u8path(input);
        std::error_code ec;
        const fs::file_status status = fs::status(path, ec);
        if (status.type() == fs::file_type::not_found) {
            *error = "input " + input + " does not exist";
            return false;
        }
        if (ec) {
            *error = "cannot read input " + input + ": " + ec.message();
            return false;
        }
        if (fs::is_regular_file(status)) {
            PlannedFile f;
            f.source = path;
            f.directory = to;
            f.kind = toKind;
            f.method = o.method;
            std::string none;
            if (!normalizeFoundPath(path.filename().u8string(), &none, &f.name, error)) {
                *error = input + ": " + *error;
                return false;
            }
            files->push_back(f);
            continue;
        }
        if (!fs::is_directory(status)) {
            *error = "input " + input + " is neither a file nor a directory";
            return false;
        }
        std::vector<std::pair<std::string, fs::path>> found;  // relative path, full path
        fs::recursive_directory_iterator it(path, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            const fs::path full = it->path();
            const fs::file_status linkStatus = it->symlink_status(ec);
            if (ec) break;
            const fs::file_status targetStatus = fs::status(full, ec);
            if (ec) break;
            if (fs::is_directory(targetStatus)) {
                if (fs::is_symlink(linkStatus)) {
                    *error = "input " + full.u8string() + " is a symbolic link to a directory; give it as its own PATH";
                    return false;
                }
                continue;
            }
            if (!fs::is_regular_file(targetStatus)) {
                *error = "input " + full.u8string() + " is not a regular file";
                return false;
            }
            found.push_back({full.lexically_relative(path).generic_u8string(), full});
        }
        if (ec) {
            *error = "cannot read directory " + input + ": " + ec.message();
            return false;
        }
        if (found.empty()) warnings->push_back("directory " + input + " holds no files");
        std::sort(found.begin(), found.end());
        for (const auto& entry : found) {
            PlannedFile f;
            f.source = entry.second;
            f.kind = toKind;
            f.method = o.method;
            std::string sub;
            if (!normalizeFoundPath(entry.first, &sub, &f.name, error)) {
                *error = entry.second.u8string() + ": " + *error;
                return false;
            }
            f.directory = joinDirectory(to, sub);
            files->push_back(f);
        }
    }
    return true;
}

bool planManifest(const BuildOptions& o, std::vector<PlannedFile>* files, std::string* error) {
    if (o.manifest.empty()) return true;
    std::ifstream stream(fs::u8path(o.manifest), std::ios::binary);
    if (!stream) {
        *error = "cannot read manifest " + o.manifest;
        return false;
    }
    const nlohmann::json manifest = nlohmann::json::parse(stream, nullptr, false);
    if (manifest.is_discarded()) {
        *error = "manifest " + o.manifest + " is not valid JSON";
        return false;
    }
    const nlohmann::json* list = &manifest;
    if (manifest.is_object()) {
        if (!manifest.contains("files")) {
            *error = "manifest " + o.manifest + " has no \"files\" list";
            return false;
        }
        list = &manifest["files"];
    }
    if (!list->is_array()) {
        *error = "manifest " + o.manifest + ": \"files\" must be a list";
        return false;
    }
    const fs::path base = fs::u8path(o.manifest).parent_path();
    size_t index = 0;
    for (const nlohmann::json& entry : *list) {
        const std::string where = "manifest " + o.manifest + ", file " + std::to_string(index++) + ": ";
        auto text = [&](const char* key, std::string* value) {
            if (!entry.contains(key)) return true;
            if (!entry[key].is_string()) {
                *error = where + "\"" + key + "\" must be a string";
                return false;
            }
            *value = entry[key].get<std::string>();
            return true;
        };
        if (!entry.is_object()) {
            *error = where + "must be an object";
            return false;
        }
        for (auto it = entry.begin(); it != entry.end(); ++it) {
            if (it.key() != "source" && it.key() != "name" && it.key() != "directory" && it.key() != "method") {
                *error = where + "unknown key \"" + it.key() + "\"";
                return false;
            }
        }
        std::string source, name, directory, method = "auto";
        if (!text("source", &source) || !text("name", &name) || !text("directory", &directory) || !text("method", &method))
            return false;
        if (source.empty()) {
            *error = where + "no \"source\"";
            return false;
        }
        PlannedFile f;
        f.source = base / fs::u8path(source);
        if (!entry.contains("method")) f.method = o.method;
        else if (!parseMethod(method, &f.method)) {
            *error = where + "unknown method \"" + method + "\"";
            return false;
        }
        if (name.empty()) name = fs::u8path(source).filename().u8string();
        if (!normalizeName(name, &f.name, error) ||
            !normalizeDirectory(directory, true, &f.directory, &f.kind, error)) {
            *error = where + *error;
            return false;
        }
        files->push_back(f);
    }
    return true;
}

// A package text in the package's encoding: UTF-8 as it is under RUN_UTF8_NAMES (checked to
// be well-formed, as the engine refuses anything else), otherwise the code page's bytes.
bool encodeText(const BuildOptions& o, const std::string& utf8, std::string* out, std::string* error) {
    if ((o.runFlags & RUN_UTF8_NAMES) == 0) return encodeAnsi(utf8, o.codePage, out, error);
    std::u16string ignored;
    if (!utf8ToUtf16(utf8, &ignored, error)) return false;
    *out = utf8;
    return true;
}

// Refuses two files whose destinations Windows takes for one file or folder: names that
// differ only in case (over all of Unicode) or in trailing dots and spaces, or a file where
// another file's directory goes. Both are named in the message.
bool checkNameClashes(const std::vector<PlannedFile>& planned, std::string* error) {
    std::vector<std::string> destinations;
    destinations.reserve(planned.size());
    for (const PlannedFile& p : planned) destinations.push_back(p.directory.empty() ? p.name : p.directory + "\\" + p.name);
    const std::vector<NameClash> clashes = findNameClashes(destinations);
    if (clashes.empty()) return true;
    const NameClash& c = clashes.front();
    *error = "two files with the same destination on Windows, which ignores case and trailing dots and spaces: " +
             destinations[c.first] + " (" + planned[c.first].source.u8string() + ") and " + destinations[c.second] +
             " (" + planned[c.second].source.u8string() + ")";
    return false;
}

// Converts the destination texts to the code page and checks what the engine can hold: the
// length, and the engine's own rule on the bytes it will see. A destination that is long
// for many Windows programs adds a line to `warnings`.
bool checkDestinations(const BuildOptions& o, const std::vector<PlannedFile>& planned,
                       std::vector<PackageFile>* files, std::vector<std::string>* warnings, std::string* error) {
    if (!checkNameClashes(planned, error)) return false;
    for (const PlannedFile& p : planned) {
        PackageFile f;
        if (!encodeText(o, p.name, &f.name, error) || !encodeText(o, p.directory, &f.directory, error) ||
            !checkDestinationLength(f.directory, f.name, p.kind, error) ||
            !checkComposedDestination(f.directory, f.name, error)) {
            *error = p.source.u8string() + ": " + *error;
            return false;
        }
        f.hasDirectory = !f.directory.empty();
        const std::string warning = longPathWarning(f.hasDirectory ? f.directory + "\\" + f.name : f.name,
                                                    p.directory.empty() ? p.name : p.directory + "\\" + p.name);
        if (!warning.empty()) warnings->push_back(p.source.u8string() + ": " + warning);
        files->push_back(std::move(f));
    }
    return true;
}

// An input read in pieces: its size taken at open, and the messages of a read that fails.
class SourceFile {
public:
    bool open(const fs::path& path, std::string* error) {
        path_ = path;
        errno = 0;
        stream_.open(path, std::ios::binary);
        if (!stream_) {
            *error = "cannot read input " + path.u8string() + ": " + systemReason(errno);
            return false;
        }
        stream_.seekg(0, std::ios::end);
        const std::streamoff size = stream_.tellg();
        if (size < 0) {
            *error = "cannot read input " + path.u8string();
            return false;
        }
        if (static_cast<uint64_t>(size) > 0xFFFFFFFFull) {
            *error = "input " + path.u8string() + " is 4 GiB or larger";
            return false;
        }
        stream_.seekg(0, std::ios::beg);
        size_ = static_cast<uint64_t>(size);
        left_ = size_;
        return true;
    }
    uint64_t size() const { return size_; }
    // The next bytes, at most `capacity`; 0 at the end of the size found at open.
    bool read(uint8_t* buffer, size_t capacity, size_t* got, std::string* error) {
        *got = static_cast<size_t>(std::min<uint64_t>(capacity, left_));
        if (*got && !stream_.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(*got))) {
            *error = "cannot read input " + path_.u8string();
            return false;
        }
        left_ -= *got;
        return true;
    }

private:
    fs::path path_;
    std::ifstream stream_;
    uint64_t size_ = 0;
    uint64_t left_ = 0;
};

bool readSource(const fs::path& path, std::vector<uint8_t>* bytes, std::string* error) {
    SourceFile source;
    if (!source.open(path, error)) return false;
    bytes->resize(static_cast<size_t>(source.size()));
    size_t got = 0;
    return source.read(bytes->data(), bytes->size(), &got, error);
}

// The output's checks that need no packing: it is no directory, and the directory it goes
// into exists. The write itself reports anything else.
bool checkOutputPath(const std::string& output, std::string* error) {
    const fs::path path = fs::u8path(output);
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        *error = "cannot write " + output + ": it is a directory";
        return false;
    }
    const fs::path parent = path.parent_path();
    if (parent.empty()) return true;
    const fs::file_status status = fs::status(parent, ec);
    const int reason = status.type() == fs::file_type::not_found ? ENOENT
                       : fs::exists(status) && !fs::is_directory(status) ? ENOTDIR
                                                                        : 0;
    if (reason != 0) {
        *error = "cannot write " + output + ": " + systemReason(reason);
        return false;
    }
    return true;
}

// Packs one file: its content, digest and stored form.
bool packFile(LzhufContext* context, LzhufLevel level, const PlannedFile& plan, PackageFile* file,
              std::string* error) {
    std::vector<uint8_t> content;
    if (!readSource(plan.source, &content, error)) return false;
    file->unpackedSize = static_cast<uint32_t>(content.size());
    file->digest = sha1Of(content.data(), content.size());
    if (plan.method == Method::Lzma2) {
        // Kept as it is until its stream is made from it and its neighbours.
        file->method = METHOD_LZMA2;
        file->packed = std::move(content);
        return true;
    }
    if (plan.method == Method::Stored || (plan.method == Method::Auto && content.empty())) {
        file->method = METHOD_STORED;
        file->packed = std::move(content);
        return true;
    }
    bool gaveUp = false;
    // Auto: the encoder stops as soon as its output would be no smaller than the file.
    const uint64_t limit = plan.method == Method::Auto ? content.size() : 0;
    if (plan.method == Method::Auto && content.size() > 0x7FFFFFFF) gaveUp = true;
    else if (!lzhufCompress(context, level, content.data(), content.size(), limit, &file->packed, &gaveUp, error) &&
             !gaveUp) {
        *error = plan.source.u8string() + ": " + *error;
        return false;
    }
    if (gaveUp) {
        file->method = METHOD_STORED;
        file->packed = std::move(content);
    } else {
        file->method = METHOD_LZHUF;
    }
    return true;
}

// Inputs are read in pieces of this size.
const size_t READ_PIECE = 1u << 20;

// A stored file's digest and size, read once; it is read again when it is written.
bool hashSource(const fs::path& path, PackageFile* file, std::string* error) {
    SourceFile source;
    if (!source.open(path, error)) return false;
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(READ_PIECE, std::max<uint64_t>(source.size(), 1))));
    Sha1Context sha1;
    sha1Start(&sha1);
    for (;;) {
        size_t got = 0;
        if (!source.read(piece.data(), piece.size(), &got, error)) return false;
        if (got == 0) break;
        sha1Add(&sha1, piece.data(), static_cast<uint32_t>(got));
    }
    file->digest.assign(SHA1_DIGEST_SIZE, 0);
    sha1Finish(&sha1, file->digest.data());
    file->unpackedSize = static_cast<uint32_t>(source.size());
    file->method = METHOD_STORED;
    return true;
}

// One piece of packing work, done on any thread and written in package order: a file, or the
// files of one solid stream.
struct PackUnit {
    size_t first = 0;
    size_t count = 1;
    bool solid = false;
    bool done = false;        // the fields below are set
    bool ok = false;
    std::string error;
    bool fromSource = false;  // stored: the file is read again as it is written
    SolidSegments segments;   // a stream's: in how many pieces, on how many threads
};

// Groups consecutive METHOD_LZMA2 files into the level's streams, by their sizes on disk;
// every other file is a unit of its own. Which files share a stream follows from their sizes
// and the level alone, never from the number of threads.
std::vector<PackUnit> formSolidStreams(const BuildOptions& o, const std::vector<PlannedFile>& planned,
                                       const std::vector<uint64_t>& sizes) {
    std::vector<bool> solid;
    for (const PlannedFile& p : planned) solid.push_back(p.method == Method::Lzma2);
    const std::vector<SolidStreamSpan> streams =
        planSolidStreams(sizes, solid, solidStreamTarget(solidLevelOf(o.level)));
    std::vector<PackUnit> units;
    size_t stream = 0;
    for (size_t i = 0; i < planned.size();) {
        PackUnit u;
        u.first = i;
        if (solid[i]) {
            u.solid = true;
            u.count = streams[stream++].count;
        }
        units.push_back(u);
        i += u.count;
    }
    return units;
}

// The members of a solid stream read from their files in order, each through SHA-1.
struct MemberFiles {
    const std::vector<PlannedFile>* planned = nullptr;
    std::vector<PackageFile>* files = nullptr;
    size_t first = 0;
    const std::vector<uint64_t>* sizes = nullptr;
    size_t open = SIZE_MAX;  // the member being read
    SourceFile source;
    Sha1Context sha1;

    // The member read so far is complete: its entry gets its digest and size.
    bool close(std::string* error) {
        if (open == SIZE_MAX) return true;
        PackageFile& f = (*files)[first + open];
        f.digest.assign(SHA1_DIGEST_SIZE, 0);
        sha1Finish(&sha1, f.digest.data());
        f.unpackedSize = static_cast<uint32_t>(source.size());
        f.method = METHOD_LZMA2;
        if (source.size() != (*sizes)[first + open]) {
            *error = "input " + (*planned)[first + open].source.u8string() + " changed while it was packed";
            return false;
        }
        open = SIZE_MAX;
        return true;
    }
    static bool read(void* state, size_t member, uint8_t* buffer, size_t capacity, size_t* got, std::string* error) {
        MemberFiles* m = static_cast<MemberFiles*>(state);
        if (member != m->open) {
            if (!m->close(error)) return false;
            m->source = SourceFile();
            if (!m->source.open((*m->planned)[m->first + member].source, error)) return false;
            m->open = member;
            sha1Start(&m->sha1);
        }
        if (!m->source.read(buffer, capacity, got, error)) return false;
        if (*got) sha1Add(&m->sha1, buffer, static_cast<uint32_t>(*got));
        return true;
    }
};

// Whether a file begins with "MZ": for the choice of the branch filter.
bool beginsWithMz(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    char head[2] = {0, 0};
    return stream.read(head, 2) && head[0] == 'M' && head[1] == 'Z';
}

// Packs one unit: a stored file's digest, a compressed file's stored form, a stream's bytes
// (into the first member's `packed`).
bool packUnit(const BuildOptions& o, LzhufContext* context, const std::vector<PlannedFile>& planned,
              const std::vector<uint64_t>& sizes, PackUnit* unit, std::vector<PackageFile>* files, std::string* error) {
    if (!unit->solid) {
        const PlannedFile& plan = planned[unit->first];
        if (plan.method == Method::Stored) {
            unit->fromSource = true;
            return hashSource(plan.source, &(*files)[unit->first], error);
        }
        return packFile(context, lzhufLevelOf(o.level), plan, &(*files)[unit->first], error);
    }
    const SolidLevel level = solidLevelOf(o.level);
    std::vector<std::pair<uint64_t, bool>> facts;
    uint64_t total = 0;
    for (size_t i = unit->first; i < unit->first + unit->count; ++i) {
        facts.push_back({sizes[i], sizes[i] >= 2 && beginsWithMz(planned[i].source)});
        total += sizes[i];
    }
    MemberFiles members;
    members.planned = &planned;
    members.files = files;
    members.first = unit->first;
    members.sizes = &sizes;
    std::vector<uint8_t> stream;
    if (!encodeSolidStreamFrom(unit->count, total, level, solidWantsX86Filter(facts),
                               SolidMemberReader{MemberFiles::read, &members}, &stream, error, unit->segments))
        return false;
    if (!members.close(error)) return false;
    (*files)[unit->first].packed = std::move(stream);
    return true;
}

// Writes the data of a stored file, read again, and checks that it is what was hashed.
bool copySource(const PlannedFile& plan, const PackageFile& file, StreamedImage* image, ProgressLine* progress,
                std::string* error) {
    SourceFile source;
    if (!source.open(plan.source, error)) return false;
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(READ_PIECE, std::max<uint64_t>(source.size(), 1))));
    Sha1Context sha1;
    sha1Start(&sha1);
    for (uint64_t done = 0; done < file.unpackedSize;) {
        size_t got = 0;
        if (!source.read(piece.data(), static_cast<size_t>(std::min<uint64_t>(piece.size(), file.unpackedSize - done)),
                         &got, error))
            return false;
        if (got == 0) break;
        sha1Add(&sha1, piece.data(), static_cast<uint32_t>(got));
        if (!image->write(piece.data(), got, error)) return false;
        done += got;
        progress->add(got);
    }
    uint8_t digest[SHA1_DIGEST_SIZE];
    sha1Finish(&sha1, digest);
    if (source.size() != file.unpackedSize || memcmp(digest, file.digest.data(), SHA1_DIGEST_SIZE) != 0) {
        *error = "input " + plan.source.u8string() + " changed while it was packed";
        return false;
    }
    return true;
}

// Packs the units on the build's threads and writes them, in package order, to `image` as
// each is ready. A unit is taken only a few ahead of the one being written, so that what waits
// in memory stays bounded. The first failure in package order is reported, whatever the timing.
bool packAndWrite(const BuildOptions& o, const std::vector<PlannedFile>& planned, PackageContents* contents,
                  StreamedImage* image, size_t* streamCount, std::ostream& err,
                  std::string* error) {
    std::vector<PackageFile>& files = contents->files;
    std::vector<uint64_t> sizes(planned.size(), 0);
    uint64_t total = 0;
    for (size_t i = 0; i < planned.size(); ++i) {
        std::error_code ec;
        const uintmax_t size = fs::file_size(planned[i].source, ec);
        sizes[i] = ec ? 0 : static_cast<uint64_t>(size);
        total += sizes[i];
    }
    std::vector<PackUnit> units = formSolidStreams(o, planned, sizes);
    *streamCount = 0;
    for (const PackUnit& u : units) *streamCount += u.solid ? 1 : 0;

    unsigned jobs = o.jobs ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
    // The stream of a large file is made in segments, on the threads that no unit keeps busy
    // (a packing thread that finds no more work lends its own): the cut follows from the
    // sizes, the threads only make it faster.
    SolidThreadPool pool;
    for (PackUnit& u : units) {
        if (!u.solid) continue;
        uint64_t bytes = 0;
        for (size_t i = u.first; i < u.first + u.count; ++i) bytes += sizes[i];
        u.segments.count = solidSegmentCount(solidLevelOf(o.level), bytes);
        u.segments.threads = jobs;
        u.segments.pool = &pool;
    }
    const unsigned allJobs = jobs;
    jobs = static_cast<unsigned>(std::min<size_t>(jobs, std::max<size_t>(units.size(), 1)));
    pool.spare = allJobs - jobs;
    const size_t ahead = 2 * jobs;
    std::mutex lock;
    std::condition_variable changed;
    size_t next = 0, written = 0;
    bool stopping = false;
    auto worker = [&]() {
        std::unique_ptr<LzhufContext> context = newCodecContext();
        for (;;) {
            size_t k;
            {
                std::unique_lock<std::mutex> hold(lock);
                changed.wait(hold, [&] { return stopping || next >= units.size() || next < written + ahead; });
                if (stopping || next >= units.size()) {
                    pool.give(1);
                    return;
                }
                k = next++;
            }
            std::string message;
            const bool ok = packUnit(o, context.get(), planned, sizes, &units[k], &files, &message);
            std::lock_guard<std::mutex> hold(lock);
            units[k].ok = ok;
            units[k].error = message;
            units[k].done = true;
            changed.notify_all();
        }
    };
    std::vector<std::thread> threads;
    for (unsigned k = 0; k < jobs; ++k) threads.emplace_back(worker);

    ProgressLine progress(err, !o.quiet, "runpack build", total);
    std::vector<uint8_t> items;
    appendPackageHeader(*contents, &items);
    bool ok = image->write(items.data(), items.size(), error);
    for (size_t k = 0; ok && k < units.size(); ++k) {
        {
            std::unique_lock<std::mutex> hold(lock);
            changed.wait(hold, [&] { return units[k].done; });
        }
        if (!units[k].ok) {
            *error = units[k].error;
            ok = false;
            break;
        }
        for (size_t i = units[k].first; ok && i < units[k].first + units[k].count; ++i) {
            PackageFile& f = files[i];
            const uint32_t packedSize = units[k].fromSource ? f.unpackedSize : static_cast<uint32_t>(f.packed.size());
            items.clear();
            appendEntryHead(f, packedSize, &items);
            ok = image->write(items.data(), items.size(), error);
            if (ok && units[k].fromSource) {
                ok = copySource(planned[i], f, image, &progress, error);
            } else if (ok) {
                ok = image->write(f.packed.data(), f.packed.size(), error);
                progress.add(f.unpackedSize);
            }
            f.packed.clear();
            f.packed.shrink_to_fit();
        }
        std::lock_guard<std::mutex> hold(lock);
        written = k + 1;
        changed.notify_all();
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
        changed.notify_all();
    }
    for (std::thread& t : threads) t.join();
    progress.finish();
    return ok;
}

}  // namespace

namespace {

std::string mebibytes(uint64_t bytes) {
    char text[32];
    snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

// Refuses a package of `size` bytes (with `atLeast`, of at least that many) above what the
// 32-bit engine can start: its image is mapped whole into a process of 2 GiB of addresses.
bool withinEngineLimit(uint64_t size, bool atLeast, std::string* error) {
    if (size <= ENGINE_PACKAGE_LIMIT) return true;
    *error = std::string("the package would be ") + (atLeast ? "at least " : "") + std::to_string(size) + " bytes (" +
             mebibytes(size) + "), above the " + std::to_string(ENGINE_PACKAGE_LIMIT) + " bytes (" +
             mebibytes(ENGINE_PACKAGE_LIMIT) +
             ") that the 32-bit engine can map and run; split the files over several executables";
    return false;
}

// The stored files alone, before any is read: their sizes are the least the package holds.
bool storedFilesWithinEngineLimit(const std::vector<PlannedFile>& planned, std::string* error) {
    uint64_t stored = 0;
    for (const PlannedFile& p : planned) {
        std::error_code ec;
        const uintmax_t size = fs::file_size(p.source, ec);
        if (!ec && p.method == Method::Stored) stored += size;
    }
    return withinEngineLimit(stored, true, error);
}

}  // namespace

int runBuildCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    BuildOptions o;
    std::string error;
    const int parsed = parseOptions(args, &o, &error);
    if (parsed == 1) {
        out << BUILD_USAGE;
        return 0;
    }
    if (parsed == 2) {
        err << "runpack build: " << visibleText(error) << "\n" << "Try 'runpack build --help'.\n";
        return 2;
    }
    // Messages quote names found on disk and texts given for the package: shown escaped.
    auto refuse = [&](const std::string& message) {
        err << "runpack build: " << visibleText(message) << "\n";
        return 1;
    };

    if ((o.runFlags & RUN_EXIT_CODE_COMMAND) != 0 && o.cleanupMode == CLEANUP_DETACH) {
        err << "runpack build: warning: --exit-code command has no effect with --cleanup detach, which does not wait\n";
    }
    if ((o.runFlags & RUN_FORWARD_ARGUMENTS) != 0 && o.hasCommand) {
        // The caller of the executable would choose what runs: an interpreter reads `&`, `|`
        // and `%VAR%` in its arguments as commands of their own.
        size_t start = 0, length = 0;
        commandProgram(o.command.c_str(), &start, &length);
        if (isCommandInterpreter(o.command.c_str() + start, length)) {
            return refuse("--forward-arguments cannot be used with the command's program \"" +
                          o.command.substr(start, length) +
                          "\": a command interpreter (cmd.exe, command.com, a .bat or .cmd file) would run "
                          "the caller's arguments as commands of their own; forward to a program that takes "
                          "its arguments as they are");
        }
    }
    // Said before the packing, which can take minutes: an output that cannot be written.
    if (!checkOutputPath(o.output, &error)) return refuse(error);
    std::vector<PlannedFile> planned;
    std::vector<std::string> warnings;
    if (!planInputs(o, &planned, &warnings, &error) || !planManifest(o, &planned, &error)) return refuse(error);
    if (planned.empty() && warnings.empty()) warnings.push_back("no files to pack");
    for (const std::string& warning : warnings) err << "runpack build: warning: " << visibleText(warning) << "\n";
    PackageContents contents;
    contents.cleanupMode = o.cleanupMode;
    contents.hasCommand = o.hasCommand;
    std::string control;
    if (o.hasCommand && findControlCharacter(o.command, &control))
        return refuse("command \"" + o.command + "\" holds a control character (" + control + ")");
    if (o.hasCommand && findInvisibleCharacter(o.command, &control))
        return refuse("command \"" + o.command + "\" holds an invisible character (" + control + ")");
    // Without a code page, names beyond ASCII are stored as UTF-8 and the package says so.
    bool beyondAscii = o.hasCommand && !isAscii(o.command);
    for (const PlannedFile& p : planned) beyondAscii = beyondAscii || !isAscii(p.name) || !isAscii(p.directory);
    if (o.namesUtf8 || (o.codePage == 0 && beyondAscii)) o.runFlags |= RUN_UTF8_NAMES;
    if (o.hasCommand && !encodeText(o, o.command, &contents.command, &error)) return refuse("command: " + error);
    std::vector<std::string> longPaths;
    if (!checkDestinations(o, planned, &contents.files, &longPaths, &error)) return refuse(error);
    for (const std::string& warning : longPaths) err << "runpack build: warning: " << visibleText(warning) << "\n";
    std::vector<uint8_t> engine(EMBEDDED_ENGINE, EMBEDDED_ENGINE + EMBEDDED_ENGINE_SIZE);
    if (!o.engine.empty() && !readFile(o.engine, &engine, &error)) return refuse("engine: " + error);
    if (!o.icon.empty()) {
        std::vector<uint8_t> file;
        if (!readFile(o.icon, &file, &error) || !parseIconFile(file, &o.face.icon, &error))
            return refuse("--set-icon " + o.icon + ": " + error);
        o.face.setIcon = true;
    }
    if (o.face.any()) {
        std::vector<uint8_t> faced;
        if (!applyFaceToImage(engine, o.face, &faced, &error))
            return refuse("engine " + (o.engine.empty() ? std::string("carried by this tool") : o.engine) + ": " + error);
        engine.swap(faced);
    }
    // Stored files are counted before any is read: they alone can put the package over.
    if (!storedFilesWithinEngineLimit(planned, &error)) return refuse(error);
    // No record without an option: executables built without one stay as they always were.
    const std::vector<uint8_t> runOptions = encodeRunOptions(o.runFlags);
    const std::string engineName = "engine " + (o.engine.empty() ? std::string("carried by this tool") : o.engine);
    // Written under a temporary name beside the output, the package as its files are packed,
    // and renamed into place, so that the output is either the old file or the whole new one;
    // failures name the user's path.
    const fs::path output = fs::u8path(o.output);
    fs::path temporary = output;
    temporary += ".partial";
    StreamedImage image;
    auto imageFailure = [&](const std::string& message) {
        if (image.failure() == StreamedImage::ENGINE) return refuse(engineName + ": " + message);
        if (image.failure() == StreamedImage::TOO_LARGE) return refuse(message);
        return refuse("cannot write " + o.output + ": " + message);
    };
    if (!image.open(temporary, engine, o.runFlags != 0 ? &runOptions : nullptr, &error)) return imageFailure(error);
    size_t streamCount = 0;
    if (!packAndWrite(o, planned, &contents, &image, &streamCount, err, &error)) {
        image.abandon();
        return image.failure() != StreamedImage::NONE ? imageFailure(error) : refuse(error);
    }
    // The whole package's size is known once it is written; the unfinished file goes with it.
    if (!withinEngineLimit(image.packageSize(), false, &error)) {
        image.abandon();
        return refuse(error);
    }
    if (!image.finish(&error)) return imageFailure(error);
    std::error_code ec;
    fs::rename(temporary, output, ec);
    if (ec) {
        error = ec.message();
        fs::remove(temporary, ec);
        return refuse("cannot write " + o.output + ": " + error);
    }
    size_t compressed = 0;
    for (const PackageFile& f : contents.files) compressed += f.method != METHOD_STORED ? 1 : 0;
    out << "wrote " << o.output << ": " << contents.files.size() << " files (" << compressed << " compressed";
    if (streamCount != 0) out << ", " << streamCount << " solid stream" << (streamCount == 1 ? "" : "s");
    out << "), package " << image.packageSize() << " bytes\n";
    return 0;
}

int runBuildSubcommand(int argc, char** args, std::ostream& out, std::ostream& err) {
    return runBuildCommand(std::vector<std::string>(args, args + argc), out, err);
}

const char* buildCommandUsage() {
    return "runpack build -o OUT.exe [options] PATH...   pack files into a copy of the engine\n";
}
