// Adapters that implement the codec's stream callbacks over files and memory blocks.
// The codec moves one byte per call, so the file adapters buffer STREAM_BUFFER_SIZE bytes and
// reach the file once per buffer: the source through the C library, the sink through the
// writer it was given (the engine's is the handle that created the file). Every record begins with a tag, its size in the 32-bit
// layout, which its creator sets after clearing the record and every callback checks first.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "codec/stream_callbacks.h"
#include "extract/sink_writer.h"

const int32_t STREAM_BUFFER_SIZE = 4096;
const uint32_t FILE_STREAM_TAG = 4116;
const uint32_t FILE_SINK_TAG = 4120;
const uint32_t MEMORY_STREAM_TAG = 16;


// The record of FileSource (reading a file opened "rb").
struct FileStream {
    uint32_t tag;                        // FILE_STREAM_TAG
    uint8_t buffer[STREAM_BUFFER_SIZE];  // the last fill
    int32_t filled;                      // valid bytes in buffer
    int32_t position;                    // next unread byte
    int32_t total;                       // 0
    FILE* file;                          // none makes the record unusable
};
typedef FileStream FileSource;

// The record of FileSink: bytes on their way to `target` through `write`.
struct FileSink {
    uint32_t tag;                        // FILE_SINK_TAG
    uint8_t buffer[STREAM_BUFFER_SIZE];  // bytes not yet written
    int32_t filled;                      // waiting bytes in buffer
    int32_t position;                    // next free byte
    int32_t total;                       // bytes accepted by write calls
    SinkWriteFn write;                   // none makes the record unusable
    void* target;
};

// SinkWriteFn over a C stream (a FILE*, binary): true when the C library took every byte.
bool writeToCFile(void* file, const uint8_t* bytes, uint32_t count);

// The record of MemorySource (reading a block) and MemorySink (filling a block, or counting).
struct MemoryStream {
    uint32_t tag;       // MEMORY_STREAM_TAG
    uint8_t* data;      // the bytes to read or the block to fill; sink: null for counting
    int32_t size;       // bytes at data, or capacity; counting sink: the running count
    int32_t position;   // bytes read or written so far
};
typedef MemoryStream MemorySource;
typedef MemoryStream MemorySink;

// Set-up of a record: cleared, tagged, and given its file (null to be opened afterwards) or
// its block (null with size 0 for a counting sink).
void setUpFileStream(FileStream* stream, FILE* file);
void setUpFileSink(FileSink* sink, SinkWriteFn write, void* target);
void setUpMemoryStream(MemoryStream* stream, uint8_t* data, int32_t size);

// StreamReadFn over a MemorySource: copies what is left, 0 at the end of the data.
int32_t memorySourceRead(uint8_t* destination, int32_t capacity, void* state);
// StreamWriteFn over a FileSink: buffers, writes a full buffer when a further byte arrives,
// writes what waits on the flush.
int32_t fileSinkWrite(const uint8_t* source, int32_t count, void* state);
// StreamReadFn over a FileSource: delivers from the buffer, refilling it from the file.
int32_t fileSourceRead(uint8_t* destination, int32_t capacity, void* state);
// StreamWriteFn over a MemorySink: fills the block, or counts when it has none.
int32_t memorySinkWrite(const uint8_t* source, int32_t count, void* state);
