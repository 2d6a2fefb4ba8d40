// Files and listings for the Windows-side tests: written, read and listed plainly, through
// the calls a user's program would make.
#pragma once

#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace win32test {

// UTF-8 and UTF-16, both ways.
inline std::wstring wide(const std::string& text) {
    std::wstring out(text.size() + 1, L'\0');
    int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], static_cast<int>(out.size()));
    out.resize(length > 0 ? length - 1 : 0);
    return out;
}

inline std::string narrow(const wchar_t* text) {
    std::string out(wcslen(text) * 3 + 1, '\0');
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], static_cast<int>(out.size()), NULL, NULL);
    out.resize(length > 0 ? length - 1 : 0);
    return out;
}

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

// The names in a directory (UTF-8; `directory` too), "." and ".." left out, in listing order.
inline std::vector<std::string> namesIn(const std::string& directory) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide(directory + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        std::string name = narrow(found.cFileName);
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

}  // namespace win32test
