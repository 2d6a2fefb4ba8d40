// `runpack build`: packs files and directories into a copy of the engine.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Runs the command with the arguments after "build". Messages go to `out` and `err`; the
// result is the process exit code (0 on success, 1 on a refusal or failure, 2 on bad usage).
int runBuildCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

extern const char BUILD_USAGE[];

// The same for the tool's dispatch table: argc/args after "build", and its usage line.
int runBuildSubcommand(int argc, char** args, std::ostream& out, std::ostream& err);
const char* buildCommandUsage();
