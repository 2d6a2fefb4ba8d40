// Files and listings for the Windows-side tests: written, read and listed plainly, through
// the calls a user's program would make.
#pragma once

#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace win32test {

inline bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline void writeAll(const std::string& path, const std::string& content) {
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    fwrite(content.data(), 1, content.size(), file);
    fclose(file);
}

// The file's bytes, or "<missing>" when it cannot be opened.
inline std::string readAll(const std::string& path) {
    std::string content;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == NULL) return "<missing>";
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) content.append(buffer, n);
    fclose(file);
    return content;
}

// The names in a directory, "." and ".." left out, in listing order.
inline std::vector<std::string> namesIn(const std::string& directory) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

}  // namespace win32test
