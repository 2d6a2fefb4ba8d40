// The runpack host tool: one subcommand per job, found by name in a table.
#include <stdio.h>
#include <string.h>

#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "runpack/commands/build_command.h"
#include "runpack/commands/inspect_commands.h"
#include "runpack/commands/lzhuf_command.h"
#include "runpack/output/progress_line.h"

namespace {

const char* const TOOL_VERSION = "runpack 0.1";

struct Subcommand {
    const char* name;
    int (*run)(int argc, char** args, std::ostream& out, std::ostream& err);
    const char* (*usage)();
};

const Subcommand SUBCOMMANDS[] = {
    {"build", runBuildSubcommand, buildCommandUsage},
    {"list", runListSubcommand, listCommandUsage},
    {"verify", runVerifySubcommand, verifyCommandUsage},
    {"extract", runExtractSubcommand, extractCommandUsage},
    {"lzhuf", runLzhufCommand, lzhufCommandUsage},
};

void printUsage(std::ostream& stream) {
    stream << "usage:\n";
    for (const Subcommand& command : SUBCOMMANDS) {
        stream << command.usage();
    }
    stream << "runpack --help | --version\n"
           << "Each command but lzhuf explains itself with --help. In every command, -- ends the\n"
           << "options: a file whose name begins with - can be given after it.\n";
}

// The arguments as UTF-8, the encoding of every text inside the tool (paths are opened
// through std::filesystem::u8path). Windows gives a program its command line in UTF-16, and
// the ANSI argv the runtime makes from it cannot hold most characters, so there the tool
// takes the UTF-16 command line and converts it.
std::vector<std::string> utf8Arguments(int argc, char** argv) {
#ifdef _WIN32
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide != nullptr) {
        std::vector<std::string> args;
        for (int i = 0; i < count; ++i) {
            const int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
            std::string arg(size > 0 ? size : 1, '\0');
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &arg[0], size, nullptr, nullptr);
            arg.resize(arg.size() - 1);
            args.push_back(arg);
        }
        LocalFree(wide);
        return args;
    }
#endif
    return std::vector<std::string>(argv, argv + argc);
}

}  // namespace

int main(int count, char** given) {
    std::vector<std::string> arguments = utf8Arguments(count, given);
    std::vector<char*> pointers;
    for (std::string& a : arguments) pointers.push_back(&a[0]);
    pointers.push_back(nullptr);
    const int argc = static_cast<int>(arguments.size());
    char** argv = pointers.data();
    if (argc < 2) {
        printUsage(std::cerr);
        return 2;
    }
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        printUsage(std::cout);
        return 0;
    }
    if (strcmp(argv[1], "--version") == 0) {
        std::cout << TOOL_VERSION << "\n";
        return 0;
    }
    // Long commands tell how far they are, on a terminal only.
    setProgressTerminal(isatty(fileno(stderr)) != 0);
    for (const Subcommand& command : SUBCOMMANDS) {
        if (strcmp(argv[1], command.name) == 0) {
            return command.run(argc - 2, argv + 2, std::cout, std::cerr);
        }
    }
    std::cerr << "runpack: unknown command " << argv[1] << "\n";
    printUsage(std::cerr);
    return 2;
}
