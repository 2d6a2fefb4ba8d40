// The build: gather the inputs in a stable order, check every destination against what the
// engine and Windows can hold, pack the files on all cores (each worker with its own codec
// context, so the result does not depend on the number of workers), write the package and
// its digest into a copy of the engine under a temporary name, then rename it into place.
#include "runpack/commands/build_command.h"

#include "package/package_limit.h"
#include "runpack/commands/embedded_engine.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif
#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
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

// The C library's text for `code`, as the system says it.
std::string systemReason(int code) {
    return code != 0 ? std::generic_category().message(code) : std::string("the system gave no reason");
}

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

bool readSource(const fs::path& path, std::vector<uint8_t>* bytes, std::string* error) {
    errno = 0;
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        *error = "cannot read input " + path.u8string() + ": " + systemReason(errno);
        return false;
    }
    stream.seekg(0, std::ios::end);
    const std::streamoff size = stream.tellg();
    if (size < 0) {
        *error = "cannot read input " + path.u8string();
        return false;
    }
    if (static_cast<uint64_t>(size) > 0xFFFFFFFFull) {
        *error = "input " + path.u8string() + " is 4 GiB or larger";
        return false;
    }
    stream.seekg(0, std::ios::beg);
    bytes->resize(static_cast<size_t>(size));
    if (size && !stream.read(reinterpret_cast<char*>(bytes->data()), size)) {
        *error = "cannot read input " + path.u8string();
        return false;
    }
    return true;
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

// Writes `bytes` to `path`; false with the system's reason. A file it made and could not fill
// is removed again; whatever stood at `path` and could not be opened is left alone.
bool writeImage(const fs::path& path, const std::vector<uint8_t>& bytes, std::string* reason) {
    // Whatever file stands at the name (one a killed build left, or a link planted there) is
    // removed as it is, never followed; a directory stays. The file is made new: an exclusive create does not
    // write through a link, and fails if anything took the name meanwhile.
    std::error_code ignored;
    if (fs::is_directory(fs::symlink_status(path, ignored))) {
        *reason = systemReason(EISDIR);  // not ours to remove
        return false;
    }
    fs::remove(path, ignored);
    errno = 0;
#ifdef _WIN32
    int fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_BINARY | O_CLOEXEC, 0666);
#endif
    if (fd < 0) {
        *reason = systemReason(errno);
        return false;
    }
    FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        *reason = systemReason(errno);
        close(fd);
        fs::remove(path, ignored);
        return false;
    }
    errno = 0;
    bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = fclose(file) == 0 && written;
    if (written) return true;
    *reason = systemReason(errno != 0 ? errno : EIO);
    fs::remove(path, ignored);
    return false;
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

// A one-line bar on stderr, for terminals only.
// One line on the terminal: a bar, bytes packed of the total, files, and the throughput.
void drawProgress(uint64_t done, uint64_t total, size_t filesDone, size_t files,
                  std::chrono::steady_clock::time_point start) {
    const int width = 30;
    const int filled = total ? static_cast<int>(done * width / total) : width;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double mb = 1e6;
    fprintf(stderr, "\r[%s%s] %3d%%  %.1f/%.1f MB  %zu/%zu files  %.1f MB/s ", std::string(filled, '#').c_str(),
            std::string(width - filled, ' ').c_str(), total ? static_cast<int>(done * 100 / total) : 100,
            done / mb, total / mb, filesDone, files, seconds > 0 ? done / mb / seconds : 0.0);
    fflush(stderr);
}

const uint64_t PROGRESS_MIN_BYTES = 8u << 20;

bool packAll(const BuildOptions& o, const std::vector<PlannedFile>& planned, std::vector<PackageFile>* files,
             std::string* error) {
    uint64_t total = 0;
    for (const PlannedFile& p : planned) {
        std::error_code ec;
        const uintmax_t size = fs::file_size(p.source, ec);
        if (!ec) total += size;
    }
    unsigned jobs = o.jobs ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
    jobs = static_cast<unsigned>(std::min<size_t>(jobs, std::max<size_t>(planned.size(), 1)));
    std::atomic<size_t> next{0};
    std::atomic<size_t> finished{0};
    std::atomic<uint64_t> bytesDone{0};
    std::atomic<bool> failed{false};
    std::mutex errorLock;
    std::string firstError;
    size_t firstErrorIndex = SIZE_MAX;
    auto worker = [&]() {
        std::unique_ptr<LzhufContext> context = newCodecContext();
        for (;;) {
            const size_t i = next++;
            if (i >= planned.size() || failed) return;
            std::string message;
            if (!packFile(context.get(), lzhufLevelOf(o.level), planned[i], &(*files)[i], &message)) {
                std::lock_guard<std::mutex> hold(errorLock);
                // Report the first failing file in package order, whatever the timing.
                if (i < firstErrorIndex) {
                    firstErrorIndex = i;
                    firstError = message;
                }
                failed = true;
            }
            bytesDone += (*files)[i].unpackedSize;
            ++finished;
        }
    };
    const bool progress = total >= PROGRESS_MIN_BYTES && isatty(fileno(stderr));
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (unsigned k = 0; k < jobs; ++k) threads.emplace_back(worker);
    if (progress) {
        while (finished < planned.size() && !failed) {
            drawProgress(bytesDone, total, finished, planned.size(), start);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    for (std::thread& t : threads) t.join();
    if (progress) {
        drawProgress(bytesDone, total, finished, planned.size(), start);
        fprintf(stderr, "\n");
    }
    if (failed) {
        *error = firstError;
        return false;
    }
    return true;
}

// Groups consecutive METHOD_LZMA2 files into the level's streams and compresses the streams
// on the build's threads. The first file of each stream then holds the stream, the others
// nothing. Which files share a stream follows from their sizes and the level alone.
bool formSolidStreams(const BuildOptions& o, std::vector<PackageFile>* files, size_t* streamCount,
                      std::string* error) {
    const SolidLevel level = solidLevelOf(o.level);
    unsigned jobs = o.jobs ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
    std::vector<uint64_t> sizes;
    std::vector<bool> solid;
    for (const PackageFile& f : *files) {
        sizes.push_back(f.packed.size());
        solid.push_back(f.method == METHOD_LZMA2);
    }
    const std::vector<SolidStreamSpan> streams = planSolidStreams(sizes, solid, solidStreamTarget(level));
    *streamCount = streams.size();
    std::vector<std::vector<uint8_t>> encoded(streams.size());
    std::vector<std::string> errors(streams.size());
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    auto worker = [&]() {
        for (;;) {
            const size_t k = next++;
            if (k >= streams.size() || failed) return;
            std::vector<const std::vector<uint8_t>*> members;
            for (size_t i = streams[k].first; i < streams[k].first + streams[k].count; ++i)
                members.push_back(&(*files)[i].packed);
            if (!encodeSolidStream(members, level, solidWantsX86Filter(members), &encoded[k], &errors[k])) failed = true;
        }
    };
    jobs = static_cast<unsigned>(std::min<size_t>(jobs, std::max<size_t>(streams.size(), 1)));
    std::vector<std::thread> threads;
    for (unsigned k = 0; k < jobs; ++k) threads.emplace_back(worker);
    for (std::thread& t : threads) t.join();
    for (size_t k = 0; k < streams.size(); ++k) {
        if (!errors[k].empty()) {
            *error = errors[k];
            return false;
        }
    }
    for (size_t k = 0; k < streams.size(); ++k) {
        (*files)[streams[k].first].packed = std::move(encoded[k]);
        for (size_t i = streams[k].first + 1; i < streams[k].first + streams[k].count; ++i) {
            (*files)[i].packed.clear();
            (*files)[i].packed.shrink_to_fit();
        }
    }
    return true;
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
    if (!storedFilesWithinEngineLimit(planned, &error)) return refuse(error);
    if (!packAll(o, planned, &contents.files, &error)) return refuse(error);
    size_t streamCount = 0;
    if (!formSolidStreams(o, &contents.files, &streamCount, &error)) return refuse(error);

    std::vector<uint8_t> package, image;
    if (!writePackage(contents, &package, &error)) return refuse(error);
    if (!withinEngineLimit(package.size(), false, &error)) return refuse(error);
    const std::vector<uint8_t> digest = sha1Of(package.data(), package.size());
    // No record without an option: executables built without one stay as they always were.
    const std::vector<uint8_t> runOptions = encodeRunOptions(o.runFlags);
    if (!embedRunInfo(engine, &package, &digest, &image, &error, o.runFlags != 0 ? &runOptions : nullptr)) return refuse("engine " + (o.engine.empty() ? std::string("carried by this tool") : o.engine) + ": " + error);

    // Written under a temporary name beside the output and renamed into place, so that the
    // output is either the old file or the whole new one; failures name the user's path.
    const fs::path output = fs::u8path(o.output);
    fs::path temporary = output;
    temporary += ".partial";
    std::error_code ec;
    if (!writeImage(temporary, image, &error)) return refuse("cannot write " + o.output + ": " + error);
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
    out << "), package " << package.size() << " bytes\n";
    return 0;
}

int runBuildSubcommand(int argc, char** args, std::ostream& out, std::ostream& err) {
    return runBuildCommand(std::vector<std::string>(args, args + argc), out, err);
}

const char* buildCommandUsage() {
    return "runpack build -o OUT.exe [options] PATH...   pack files into a copy of the engine\n";
}
