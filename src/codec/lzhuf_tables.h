// Constant tables of the LZHUF stream format: the fixed prefix code for the upper six bits
// of a match offset, and the byte-indexed tables the decoder reads that code with.
#pragma once

#include <stdint.h>

// Number of values of the upper six offset bits, and of byte values.
const int OFFSET_HIGH_COUNT = 64;
const int BYTE_VALUES = 256;

// Code of the upper six offset bits h, left-aligned in a byte, and its length (3..8 bits).
extern const uint8_t OFFSET_CODE[OFFSET_HIGH_COUNT];
extern const uint8_t OFFSET_CODE_LEN[OFFSET_HIGH_COUNT];

// For the 8 bits that follow a match symbol: the h whose code they begin with, and that
// code's length. The bits after the code are the first low offset bits.
extern const uint8_t OFFSET_DECODE_HIGH[BYTE_VALUES];
extern const uint8_t OFFSET_DECODE_LEN[BYTE_VALUES];
