// The free space of the file system that extract writes to, asked before anything is written.
#pragma once

#include <stdint.h>

#include <string>

// What the user may still write on the file system that holds `dir`, or while `dir` does not
// exist yet, its nearest existing parent (where it would be created); `unitSize` is the file
// system's allocation unit. False with a message when the file system cannot tell.
bool outputFreeSpace(const std::string& dir, uint64_t* freeBytes, uint32_t* unitSize, std::string* error);
