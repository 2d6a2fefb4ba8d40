#include "support/test_files.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

TempDir::TempDir() {
    char pattern[] = "/tmp/runpack-test-XXXXXX";
    path = mkdtemp(pattern);
}

TempDir::~TempDir() { std::filesystem::remove_all(path); }

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    if (!bytes.empty()) {
        EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    }
    fclose(file);
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return bytes;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    fclose(file);
    return bytes;
}

bool exists(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}
