// The runpack host tool: one subcommand per job, found by name in a table.
#include <string.h>

#include <iostream>

#include "runpack/build_command.h"
#include "runpack/inspect_commands.h"
#include "runpack/lzhuf_command.h"

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
           << "Each command but lzhuf explains itself with --help.\n";
}

}  // namespace

int main(int argc, char** argv) {
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
    for (const Subcommand& command : SUBCOMMANDS) {
        if (strcmp(argv[1], command.name) == 0) {
            return command.run(argc - 2, argv + 2, std::cout, std::cerr);
        }
    }
    std::cerr << "runpack: unknown command " << argv[1] << "\n";
    printUsage(std::cerr);
    return 2;
}
