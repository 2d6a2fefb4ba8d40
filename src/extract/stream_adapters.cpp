// The four stream adapters. The file adapters keep one buffer of STREAM_BUFFER_SIZE bytes
// between the codec's one-byte calls and the C library; the memory adapters copy directly.
#include "extract/stream_adapters.h"

#include <string.h>

// The tags are the records' sizes in the engine's 32-bit build.
#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(FileStream) == FILE_STREAM_TAG, "FileStream layout");
static_assert(sizeof(FileSink) == FILE_SINK_TAG, "FileSink layout");
static_assert(sizeof(MemoryStream) == MEMORY_STREAM_TAG, "MemoryStream layout");
#endif

void setUpFileStream(FileStream* stream, FILE* file)
{
    memset(stream, 0, sizeof(*stream));
    stream->tag = FILE_STREAM_TAG;
    stream->file = file;
}

void setUpFileSink(FileSink* sink, SinkWriteFn write, void* target)
{
    memset(sink, 0, sizeof(*sink));
    sink->tag = FILE_SINK_TAG;
    sink->write = write;
    sink->target = target;
}

bool writeToCFile(void* file, const uint8_t* bytes, uint32_t count)
{
    return count == 0 || fwrite(bytes, 1, count, (FILE*)file) == count;
}

void setUpMemoryStream(MemoryStream* stream, uint8_t* data, int32_t size)
{
    memset(stream, 0, sizeof(*stream));
    stream->tag = MEMORY_STREAM_TAG;
    stream->data = data;
    stream->size = size;
}

int32_t memorySourceRead(uint8_t* destination, int32_t capacity, void* state)
{
    MemorySource* source = (MemorySource*)state;
    if (source == nullptr || source->tag != MEMORY_STREAM_TAG || destination == nullptr) {
        return STREAM_ERR_STATE;
    }
    // The codec reads one byte per call: take that byte without a library call.
    if (capacity == 1 && source->position < source->size) {
        *destination = source->data[source->position++];
        return 1;
    }
    int32_t count = source->size - source->position;
    if (capacity < count) {
        count = capacity;
    }
    if (count <= 0) {
        return 0;
    }
    memcpy(destination, source->data + source->position, (size_t)count);
    source->position += count;
    return count;
}

int32_t fileSinkWrite(const uint8_t* source, int32_t count, void* state)
{
    FileSink* sink = (FileSink*)state;
    if (sink == nullptr || sink->tag != FILE_SINK_TAG || sink->write == nullptr) {
        return STREAM_ERR_STATE;
    }
    if (source == nullptr) {
        // The flush: hand on what waits, and report how much that was.
        int32_t waiting = sink->filled;
        if (waiting == 0) {
            return 0;
        }
        bool written = sink->write(sink->target, sink->buffer, (uint32_t)waiting);
        sink->filled = 0;
        sink->position = 0;
        return written ? waiting : STREAM_ERR_WRITE;
    }
    // The codec writes one byte per call: store it without a library call while there is room.
    if (count == 1 && sink->position < STREAM_BUFFER_SIZE) {
        sink->buffer[sink->position++] = *source;
        sink->filled++;
        sink->total++;
        return 1;
    }
    int32_t accepted = 0;
    while (count > 0) {
        int32_t room = STREAM_BUFFER_SIZE - sink->position;
        int32_t take = room < count ? room : count;
        if (take > 0) {
            memcpy(sink->buffer + sink->position, source + accepted, (size_t)take);
            sink->position += take;
            sink->filled += take;
            accepted += take;
            count -= take;
        } else {
            // A full buffer is written only when a further byte arrives.
            if (!sink->write(sink->target, sink->buffer, STREAM_BUFFER_SIZE)) {
                return STREAM_ERR_WRITE;
            }
            sink->position = 0;
            sink->filled = 0;
        }
    }
    sink->total += accepted;
    return accepted;
}

int32_t fileSourceRead(uint8_t* destination, int32_t capacity, void* state)
{
    FileSource* source = (FileSource*)state;
    if (source == nullptr || source->tag != FILE_STREAM_TAG || source->file == nullptr ||
        destination == nullptr) {
        return STREAM_ERR_STATE;
    }
    if (capacity == 1 && source->position < source->filled) {
        *destination = source->buffer[source->position++];
        return 1;
    }
    int32_t delivered = 0;
    while (capacity > 0) {
        int32_t waiting = source->filled - source->position;
        int32_t take = waiting < capacity ? waiting : capacity;
        if (take > 0) {
            memcpy(destination + delivered, source->buffer + source->position, (size_t)take);
            source->position += take;
            delivered += take;
            capacity -= take;
        } else {
            // A read error of the C library ends the input like the end of the file.
            source->position = 0;
            source->filled =
                (int32_t)fread(source->buffer, 1, STREAM_BUFFER_SIZE, source->file);
            if (source->filled == 0) {
                break;
            }
        }
    }
    return delivered;
}

int32_t memorySinkWrite(const uint8_t* source, int32_t count, void* state)
{
    MemorySink* sink = (MemorySink*)state;
    if (sink == nullptr || sink->tag != MEMORY_STREAM_TAG || count < 0) {
        return STREAM_ERR_STATE;
    }
    if (source == nullptr) {
        return 0;
    }
    if (sink->data == nullptr) {
        // Counting mode: only the number of bytes matters.
        sink->size += count;
        return count;
    }
    // Compared in 64 bits so that a huge count cannot wrap around to look as if it fits.
    if ((int64_t)sink->position + count > sink->size) {
        return STREAM_ERR_WRITE;
    }
    memcpy(sink->data + sink->position, source, (size_t)count);
    sink->position += count;
    return count;
}
