// The unpack operation of each storage method: stored bytes back into a file.
#pragma once

#include <stdint.h>

#include "extract/sink_writer.h"

// METHOD_STORED: writes the packed bytes as they are. Packed and unpacked size must agree.
uint32_t storedUnpack(uint32_t packedSize, const uint8_t* data, uint32_t unpackedSize,
                      SinkWriteFn write, void* target);
// METHOD_LZHUF: decodes the packed stream into the file.
uint32_t lzhufUnpack(uint32_t packedSize, const uint8_t* data, uint32_t unpackedSize,
                     SinkWriteFn write, void* target);
