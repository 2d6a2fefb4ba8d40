// Files for native unit tests: a private temporary directory removed afterwards, and whole
// files read and written as bytes.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// A fresh directory under /tmp, removed with everything in it when the object goes.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string file(const char* name) const { return path + "/" + name; }
};

// Writes `bytes` to `path`, creating or truncating it; a failure fails the current test.
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
// The bytes of the file at `path`; empty when it cannot be opened.
std::vector<uint8_t> readFile(const std::string& path);
bool exists(const std::string& path);
