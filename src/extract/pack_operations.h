// The measure and pack operations of each storage method: a source file into stored bytes.
#pragma once

#include <stdint.h>
#include <stdio.h>

// Copies a file through in chunks of this many bytes.
const uint32_t COPY_CHUNK_SIZE = 10240;

uint32_t storedMeasure(const char* path);
uint32_t storedPack(const char* path, FILE* output);
uint32_t lzhufMeasure(const char* path);
uint32_t lzhufPack(const char* path, FILE* output);
// METHOD_LZMA2 for one file on its own: a stream of one member in stored chunks. Building
// compressed, solid streams across files is the package tool's work.
uint32_t lzma2Measure(const char* path);
uint32_t lzma2Pack(const char* path, FILE* output);
