// `runpack lzhuf`: compresses a file into a raw LZHUF stream, or decodes a raw stream into
// exactly the number of bytes the caller names. Useful to inspect a package's entries by hand.
#pragma once

#include <ostream>

// Runs `runpack lzhuf ARGS...`; args[0] is the first word after "lzhuf". Reports go to out,
// failures to err. Returns the process exit code: 0 on success.
int runLzhufCommand(int argc, char** args, std::ostream& out, std::ostream& err);

// The usage lines of the subcommand, for the tool's help.
const char* lzhufCommandUsage();
