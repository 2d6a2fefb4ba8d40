// The x86 branch filter's decoder. An E8 or E9 byte followed by a 32-bit operand whose top
// byte is 00 or FF (a near target, forward or back) was converted by the encoder from a
// displacement into an absolute address (operand + offset of the next instruction). Where
// other candidate opcodes lie within the four bytes before it, the conversion was taken with
// care: such an operand may itself hold bytes that look like the top of an address, and the
// encoder flipped the bits below that byte until it did not, which is undone here the same way.
#include "codec/x86_branch_filter.h"

namespace {

const uint32_t INSTRUCTION_SIZE = 5;  // the opcode and its 32-bit operand

// A byte that can be the top of a near 32-bit target.
inline bool isNearTop(uint8_t b)
{
    return b == 0x00 || b == 0xFF;
}

// For each pattern of candidates within the three bytes before (bits 1..3 of the mask,
// shifted down), whether a conversion is allowed, and which operand byte is checked.
const bool CONVERSION_ALLOWED[8] = {true, true, true, false, true, false, false, false};
const uint32_t CHECKED_BYTE[8] = {0, 1, 2, 2, 3, 3, 3, 3};

}  // namespace

void x86FilterBegin(X86BranchFilter* filter)
{
    filter->position = 0;
    filter->lastOpcode = 0u - INSTRUCTION_SIZE;
    filter->recentMask = 0;
}

uint32_t x86FilterDecode(X86BranchFilter* filter, uint8_t* buffer, uint32_t size)
{
    if (size < INSTRUCTION_SIZE) {
        return 0;
    }
    uint32_t base = filter->position;
    uint32_t last = filter->lastOpcode;
    uint32_t mask = filter->recentMask;
    if (base - last > INSTRUCTION_SIZE) {
        last = base - INSTRUCTION_SIZE;
    }
    uint32_t i = 0;
    const uint32_t limit = size - INSTRUCTION_SIZE;
    while (i <= limit) {
        uint8_t opcode = buffer[i];
        if (opcode != 0xE8 && opcode != 0xE9) {
            ++i;
            continue;
        }
        uint32_t here = base + i;
        uint32_t gap = here - last;
        last = here;
        if (gap > INSTRUCTION_SIZE) {
            mask = 0;
        } else {
            for (uint32_t step = 0; step < gap; ++step) {
                mask = (mask & 0x77) << 1;
            }
        }
        uint8_t top = buffer[i + 4];
        uint32_t pattern = mask >> 1;
        if (isNearTop(top) && pattern < 8 && CONVERSION_ALLOWED[pattern]) {
            uint32_t operand = ((uint32_t)top << 24) | ((uint32_t)buffer[i + 3] << 16) |
                               ((uint32_t)buffer[i + 2] << 8) | buffer[i + 1];
            uint32_t target;
            for (;;) {
                target = operand - (here + INSTRUCTION_SIZE);
                if (mask == 0) {
                    break;
                }
                uint32_t shift = CHECKED_BYTE[pattern] * 8;
                if (!isNearTop((uint8_t)(target >> (24 - shift)))) {
                    break;
                }
                operand = target ^ ((1u << (32 - shift)) - 1);
            }
            // The top byte is rebuilt from bit 24: 00 forward, FF back.
            buffer[i + 4] = (uint8_t)(0u - ((target >> 24) & 1));
            buffer[i + 3] = (uint8_t)(target >> 16);
            buffer[i + 2] = (uint8_t)(target >> 8);
            buffer[i + 1] = (uint8_t)target;
            i += INSTRUCTION_SIZE;
            mask = 0;
        } else {
            ++i;
            mask |= 1;
            if (isNearTop(top)) {
                mask |= 0x10;
            }
        }
    }
    filter->position = base + i;
    filter->lastOpcode = last;
    filter->recentMask = mask;
    return i;
}
