// The x86 branch filter.
//
// The filter works on a stream of bytes at stream offsets counted from a start offset (0 for
// a solid stream), modulo 2^32. It looks for the opcodes of CALL rel32 (E8) and JMP rel32 (E9)
// and rewrites their 32-bit little-endian operand, the target's distance from the end of the
// instruction, as the target itself, and back. Nothing marks which bytes are instructions, so
// every E8 or E9 byte whose four operand bytes lie in the stream is a *candidate*, scanned from
// the first byte on; the last four bytes of the stream are never candidates.
//
// A candidate at offset p is converted when both hold:
//   - its operand's most significant byte (offset p + 4) is 00 or FF: a target within 16 MiB
//     either way, as in real code;
//   - of the candidates at p - 3, p - 2 and p - 1 that were left as they were, there is at most
//     one, and that one's own most significant byte, which lies inside this operand, is neither
//     00 nor FF. Bytes of a converted operand are never candidates, and a conversion forgets
//     the candidates left before it.
// Otherwise the candidate is left as it is and scanning goes on at p + 1.
//
// Converting maps the operand v to v + (p + 5) when encoding and to v - (p + 5) when decoding.
// When a skipped candidate lies k bytes before (k = 1..3), its most significant byte is byte
// 3 - k of the operand (byte 0 the lowest). That byte must not come out as 00 or FF, or the
// other side would decide differently about the skipped candidate: when it does, the result's
// bytes from it down to byte 0 are inverted and the mapping is applied once more. Those bytes
// then hold the inverse of what they held before the conversion, so the byte reads neither 00
// nor FF and once is enough. Last, the most significant byte is set from bit 24 (00 when
// clear, FF when set), so that the other side finds the same candidates converted, and
// scanning goes on at p + 5.
//
// Between calls the state is the offset of the next byte and the offsets of the two most
// recent skipped candidates: nothing else from earlier bytes decides anything. The operand
// bytes that a decision reads lie ahead of the candidate, so the bytes from the first candidate
// that cannot yet be decided are handed in again with the next buffer.
#include "codec/x86_branch_filter.h"

namespace {

const uint8_t OPCODE_CALL = 0xE8;
const uint8_t OPCODE_JMP = 0xE9;
const uint32_t INSTRUCTION_SIZE = 5;
// How far back a skipped candidate bears on a decision.
const uint32_t SKIPPED_REACH = 3;

bool isCandidateOpcode(uint8_t byte)
{
    return byte == OPCODE_CALL || byte == OPCODE_JMP;
}

// A most significant byte of a short reach, forward or back.
bool isNearTargetByte(uint8_t byte)
{
    return byte == 0x00 || byte == 0xFF;
}

// The offsets of skipped candidates as far back as no later candidate can see them.
void forgetSkipped(X86BranchFilter* filter, uint32_t at)
{
    filter->lastSkipped = at - (SKIPPED_REACH + 1);
    filter->skippedBefore = filter->lastSkipped;
}

}  // namespace

void x86FilterBegin(X86BranchFilter* filter, uint32_t start)
{
    filter->position = start;
    forgetSkipped(filter, start);
}

namespace {

// Both directions: `encode` adds the offset that decoding takes away.
inline uint32_t convertBranches(X86BranchFilter* filter, uint8_t* buffer, uint32_t size, bool encode)
{
    uint32_t done = 0;
    while (size - done >= INSTRUCTION_SIZE) {
        uint8_t* instruction = buffer + done;
        if (!isCandidateOpcode(instruction[0])) {
            ++done;
            continue;
        }
        uint32_t at = filter->position + done;
        uint32_t back = at - filter->lastSkipped;
        bool guarded = back <= SKIPPED_REACH;
        // The operand's bit offset of the skipped candidate's most significant byte.
        uint32_t guardShift = guarded ? 8 * (SKIPPED_REACH - back) : 0;
        bool convert = isNearTargetByte(instruction[4]);
        if (guarded) {
            convert = convert && at - filter->skippedBefore > SKIPPED_REACH &&
                      !isNearTargetByte(instruction[4 - back]);
        }
        if (!convert) {
            filter->skippedBefore = filter->lastSkipped;
            filter->lastSkipped = at;
            ++done;
            continue;
        }
        uint32_t operand = (uint32_t)instruction[1] | ((uint32_t)instruction[2] << 8) |
                           ((uint32_t)instruction[3] << 16) | ((uint32_t)instruction[4] << 24);
        uint32_t following = at + INSTRUCTION_SIZE;  // where the target was counted from
        uint32_t shift = encode ? following : 0 - following;
        operand += shift;
        if (guarded && isNearTargetByte((uint8_t)(operand >> guardShift))) {
            operand = (operand ^ ((1u << (guardShift + 8)) - 1)) + shift;
        }
        instruction[1] = (uint8_t)operand;
        instruction[2] = (uint8_t)(operand >> 8);
        instruction[3] = (uint8_t)(operand >> 16);
        instruction[4] = (uint8_t)(0 - ((operand >> 24) & 1));
        forgetSkipped(filter, at + INSTRUCTION_SIZE);
        done += INSTRUCTION_SIZE;
    }
    filter->position += done;
    return done;
}

}  // namespace

uint32_t x86FilterDecode(X86BranchFilter* filter, uint8_t* buffer, uint32_t size)
{
    return convertBranches(filter, buffer, size, false);
}

uint32_t x86FilterEncode(X86BranchFilter* filter, uint8_t* buffer, uint32_t size)
{
    return convertBranches(filter, buffer, size, true);
}
