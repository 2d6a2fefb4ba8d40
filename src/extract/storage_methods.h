// The table of storage methods: for each method id of the package format, how to measure,
// pack and unpack a file. A run of the engine uses only the lookup and the unpack operations;
// measure and pack are the producing side, from which a package's data is made.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "extract/sink_writer.h"
#include "package/method_ids.h"

// The number of bytes that the pack operation would produce for the file; 0 on failure.
typedef uint32_t (*MeasureFn)(const char* sourcePath);
// Writes the stored form of the file to `output` (binary, owned by the caller); returns
// the number of bytes written.
typedef uint32_t (*PackFn)(const char* sourcePath, FILE* output);
// Writes the unpacked bytes to `target` through `write` (the caller has created the file
// and closes it); returns the number of bytes written, which equals `unpackedSize` on success,
// 0 on failure.
typedef uint32_t (*UnpackFn)(uint32_t packedSize, const uint8_t* data, uint32_t unpackedSize,
                             SinkWriteFn write, void* target);

struct StorageMethod {
    uint32_t id;
    MeasureFn measure;
    PackFn pack;
    UnpackFn unpack;
};

// One row per id that isKnownMethod accepts.
const uint32_t STORAGE_METHOD_COUNT = 3;
extern const StorageMethod STORAGE_METHODS[STORAGE_METHOD_COUNT];

// The unpack operation of the first row with this id; null when there is none.
UnpackFn findUnpackOp(uint32_t id);
