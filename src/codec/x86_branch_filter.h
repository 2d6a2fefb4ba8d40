// The x86 branch filter, decoding side. Before compression the tool turned the relative
// targets of CALL (E8) and JMP (E9) instructions into absolute ones, which repeat far more often
// in code; this turns them back. The decision at each E8/E9 byte depends on the bytes before it,
// so the state carries across calls and the last few bytes of a buffer wait for the next one.
#pragma once

#include <stdint.h>

struct X86BranchFilter {
    uint32_t position;      // stream offset of the next buffer's first byte
    uint32_t lastOpcode;    // stream offset of the last E8/E9 byte seen, minus nothing
    uint32_t recentMask;    // which of the bytes before it were E8/E9 candidates
};

// A filter at stream offset 0.
void x86FilterBegin(X86BranchFilter* filter);

// Converts the instructions that lie wholly in `buffer` (`size` bytes, starting at the
// filter's position) in place and returns how many leading bytes are final: all but at most
// four. The caller hands the rest in again at the front of the next buffer; at the end of the
// stream they stay as they are.
uint32_t x86FilterDecode(X86BranchFilter* filter, uint8_t* buffer, uint32_t size);
