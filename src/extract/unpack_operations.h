// The unpack operation of each storage method: stored bytes back into a file.
#pragma once

#include <stdint.h>

#include "codec/solid_stream.h"
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
// Gives the next lzma2Unpack that opens the stream whose data begins at `stream` that
// stream's `size` bytes, decoded by someone else into `decoded` (before the branch filter), in
// order from its start: with `wait` null all of them are there and the stream was found to end
// where it says; otherwise `wait` (with `state`) tells how far they are. The members are then
// read from there (solidStreamOpenDecoded) instead of being decoded again. The bytes stay the
// caller's: they must stay until the stream's last member is written or the extraction ends.
void lzma2AdoptDecoded(const uint8_t* stream, const uint8_t* decoded, uint32_t size, DecodedWaitFn wait,
                       void* state);

// Closes the stream left open, if any, and gives back the dictionary kept for the next one.
// The extraction calls it at its end.
void lzma2Release();
