// `runpack list`, `runpack verify` and `runpack extract`: looking into a built executable
// with the engine's own package reader.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Each runs the command with the arguments after its name and returns the exit code:
// 0 success, 1 a failed check or refusal, 2 bad usage.
int runListCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runVerifyCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runExtractCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

extern const char LIST_USAGE[];
extern const char VERIFY_USAGE[];
extern const char EXTRACT_USAGE[];

// The same for the tool's dispatch table: argc/args after the command name, usage lines.
int runListSubcommand(int argc, char** args, std::ostream& out, std::ostream& err);
int runVerifySubcommand(int argc, char** args, std::ostream& out, std::ostream& err);
int runExtractSubcommand(int argc, char** args, std::ostream& out, std::ostream& err);
const char* listCommandUsage();
const char* verifyCommandUsage();
const char* extractCommandUsage();
