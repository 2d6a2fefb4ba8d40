// The run options record ("RUNINFO" 104) on the tool's side: writing it from the flags that
// `runpack build` was given, and naming the flags for `runpack list`. Reading uses the
// engine's own reader (package/run_options.h), so the tool accepts what the engine accepts.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// The record's bytes for `flags` (known flags only).
std::vector<uint8_t> encodeRunOptions(uint32_t flags);

// The options as `runpack build` spells them, in the order of the flag bits, separated by
// ", "; "none" when no flag is set.
std::string describeRunOptions(uint32_t flags);
