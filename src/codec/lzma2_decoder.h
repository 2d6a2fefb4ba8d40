// The LZMA2 decoder: a sequence of chunks, each either stored bytes or an LZMA range-coded
// run, ending with a zero control byte. The whole input lies in memory; the output goes into
// a circular dictionary that the caller provides and reads from after each call, so memory is
// exactly the dictionary size that the stream declares. No recursion, no allocation.
#pragma once

#include <stdint.h>

// LZMA's probability model for the largest literal context LZMA2 allows (lc + lp <= 4).
const uint32_t LZMA_LITERAL_CODER_SIZE = 0x300;
const uint32_t LZMA2_MAX_LCLP = 4;
const uint32_t LZMA2_MAX_PB = 4;
const uint32_t LZMA_STATES = 12;
const uint32_t LZMA_POS_STATES_MAX = 1u << LZMA2_MAX_PB;
const uint32_t LZMA_LEN_STATES = 4;          // distance-slot contexts, by match length
const uint32_t LZMA_DIST_SLOTS = 64;
const uint32_t LZMA_FULL_DISTANCES = 128;    // distances below this use the special coders
const uint32_t LZMA_END_POS_MODEL = 14;      // the first slot whose low bits go direct + align
const uint32_t LZMA_ALIGN_BITS = 4;
const uint32_t LZMA_MATCH_LEN_MIN = 2;

// Results of lzma2Decode.
enum Lzma2Status {
    LZMA2_OK = 0,       // output produced up to the limit; more to come
    LZMA2_END = 1,      // the end marker was read: the stream is complete
    LZMA2_ERROR = -1,   // malformed or truncated stream; the decoder is unusable until reset
};

// The length coders: choice bits, then 8 low, 8 mid or 256 high lengths.
struct LzmaLengthCoder {
    uint16_t choice;
    uint16_t choice2;
    uint16_t low[LZMA_POS_STATES_MAX][8];
    uint16_t mid[LZMA_POS_STATES_MAX][8];
    uint16_t high[256];
};

// Every adaptive probability of one LZMA state; reset to the midpoint on a state reset.
struct LzmaProbabilities {
    uint16_t isMatch[LZMA_STATES][LZMA_POS_STATES_MAX];
    uint16_t isRep[LZMA_STATES];
    uint16_t isRepG0[LZMA_STATES];
    uint16_t isRepG1[LZMA_STATES];
    uint16_t isRepG2[LZMA_STATES];
    uint16_t isRep0Long[LZMA_STATES][LZMA_POS_STATES_MAX];
    uint16_t distSlot[LZMA_LEN_STATES][LZMA_DIST_SLOTS];
    uint16_t distSpecial[LZMA_FULL_DISTANCES - LZMA_END_POS_MODEL + 1];
    uint16_t distAlign[1u << LZMA_ALIGN_BITS];
    LzmaLengthCoder matchLength;
    LzmaLengthCoder repLength;
    uint16_t literal[LZMA_LITERAL_CODER_SIZE << LZMA2_MAX_LCLP];
};

// One decoding run over one stream. Set up with lzma2Begin; the fields are the decoder's.
struct Lzma2Decoder {
    // Input: the whole stream, and the next byte to read.
    const uint8_t* input;
    uint32_t inputSize;
    uint32_t inputPosition;

    // The circular dictionary: `dictionaryPosition` is where the next byte goes, `dictionaryFull`
    // how many bytes before it are valid (at most the size).
    uint8_t* dictionary;
    uint32_t dictionarySize;
    uint32_t dictionaryPosition;
    uint32_t dictionaryFull;
    // How far back a match may reach: the dictionary size, unless the caller set a smaller
    // one after lzma2Begin (a buffer larger than the stream's dictionary, serving as both).
    uint32_t historyLimit;

    // Chunk sequencing.
    bool needDictionaryReset;
    bool needProperties;
    bool inChunk;             // a chunk is open: `chunkLeft` bytes of output remain in it
    bool chunkIsLzma;
    uint32_t chunkLeft;
    uint32_t chunkInputEnd;   // the input offset where the open chunk's packed bytes end
    bool failed;

    // LZMA coder state.
    uint32_t lc, lp, pb;
    uint32_t state;
    uint32_t rep0, rep1, rep2, rep3;  // distances minus one
    uint32_t pendingLength;           // bytes of a match still to copy
    uint32_t range;
    uint32_t code;
    LzmaProbabilities probabilities;
};

// Prepares `decoder` for the stream at `input`, decoding into `dictionary` of `dictionarySize`
// bytes (at least 4096 and a multiple of 16, so that positions taken modulo the dictionary keep
// the low bits LZMA's position contexts use).
void lzma2Begin(Lzma2Decoder* decoder, const uint8_t* input, uint32_t inputSize,
                uint8_t* dictionary, uint32_t dictionarySize);

// Decodes up to `limit` bytes into the dictionary from its current position, never past its
// end (the caller reads the new bytes, then calls again; the position wraps to 0 at the end).
// `produced` receives the number of bytes written. LZMA2_END once the end marker is read, and
// only then; a stream that runs out of input before it is an error.
Lzma2Status lzma2Decode(Lzma2Decoder* decoder, uint32_t limit, uint32_t* produced);

// Walks the chunk headers of the stream at `input` without decoding: every control byte in a
// valid order, every properties byte in range, every chunk inside the input, and the end
// marker exactly at its last byte. `unpackedSize` receives the sum of the chunks' sizes.
// `dictionaryResets`, when given, receives how many chunks reset the dictionary (the first
// always does).
bool lzma2CheckChunks(const uint8_t* input, uint32_t inputSize, uint64_t* unpackedSize,
                      uint32_t* dictionaryResets);
