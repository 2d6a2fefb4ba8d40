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
// METHOD_LZMA2: the entry's part of the solid stream. An entry with data opens its stream
// (closing one left open); one without continues the stream that is open. The stream is
// checked to end exactly after its last member, and then closed.
uint32_t lzma2Unpack(uint32_t packedSize, const uint8_t* data, uint32_t unpackedSize,
                     SinkWriteFn write, void* target);
