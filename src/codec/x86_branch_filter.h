// The x86 branch filter. Before compression the tool turns the relative targets of CALL (E8)
// and JMP (E9) instructions into absolute ones, which repeat far more often in code; the engine
// turns them back. The decision at each E8/E9 byte depends on the bytes before it,
// so the state carries across calls and the last few bytes of a buffer wait for the next one.
// The conversion rule itself is set out in x86_branch_filter.cpp.
#pragma once

#include <stdint.h>

struct X86BranchFilter {
    uint32_t position;  // stream offset of the next buffer's first byte
    // Stream offsets of the two most recent candidates that were left as they were; both move
    // out of reach when a candidate is converted.
    uint32_t lastSkipped;
    uint32_t skippedBefore;
};

// A filter whose next buffer starts at stream offset `start` (0 for a stream of its own).
void x86FilterBegin(X86BranchFilter* filter, uint32_t start);

// Converts the instructions that lie wholly in `buffer` (`size` bytes, starting at the
// filter's position) in place and returns how many leading bytes are final: all but at most
// four. The caller hands the rest in again at the front of the next buffer; at the end of the
// stream they stay as they are.
uint32_t x86FilterDecode(X86BranchFilter* filter, uint8_t* buffer, uint32_t size);

// The same, encoding: what the tool does before compression.
uint32_t x86FilterEncode(X86BranchFilter* filter, uint8_t* buffer, uint32_t size);
