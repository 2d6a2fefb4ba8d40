// queryFileSize as the engine runs it, on Windows' own file functions.
#include "platform/file_size.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <stdio.h>

#include <string>

namespace {

// A fresh directory under the temporary path, removed with what the test put in it.
struct TempDir {
    std::string path;
    TempDir()
    {
        char base[MAX_PATH];
        GetTempPathA(MAX_PATH, base);
        char name[MAX_PATH];
        GetTempFileNameA(base, "rps", 0, name);  // reserves a unique name as a file
        DeleteFileA(name);
        CreateDirectoryA(name, nullptr);
        path = name;
    }
    ~TempDir()
    {
        DeleteFileA(file("seven").c_str());
        DeleteFileA(file("empty").c_str());
        DeleteFileA(file("large").c_str());
        DeleteFileA(file("locked").c_str());
        RemoveDirectoryA(path.c_str());
    }
    std::string file(const char* name) const { return path + "\\" + name; }
};

void writeBytes(const std::string& path, size_t count)
{
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    for (size_t i = 0; i < count; ++i) {
        fputc((int)(i & 0xFF), file);
    }
    fclose(file);
}

}  // namespace

TEST(FileSize, GivesTheSizeOfAFile)
{
    TempDir dir;
    writeBytes(dir.file("seven"), 7);
    writeBytes(dir.file("empty"), 0);
    writeBytes(dir.file("large"), 70000);
    EXPECT_EQ(queryFileSize(dir.file("seven").c_str()), 7u);
    EXPECT_EQ(queryFileSize(dir.file("empty").c_str()), 0u);
    EXPECT_EQ(queryFileSize(dir.file("large").c_str()), 70000u);
}

TEST(FileSize, GivesZeroWhenTheFileCannotBeOpened)
{
    TempDir dir;
    EXPECT_EQ(queryFileSize(dir.file("missing").c_str()), 0u);
    EXPECT_EQ(queryFileSize((dir.path + "\\no\\such\\file").c_str()), 0u);
    // A directory cannot be opened as a file.
    EXPECT_EQ(queryFileSize(dir.path.c_str()), 0u);
}

TEST(FileSize, FileOpenForWritingWithoutSharingCannotBeMeasured)
{
    TempDir dir;
    std::string path = dir.file("locked");
    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer, "abc", 3, &written, nullptr));
    EXPECT_EQ(queryFileSize(path.c_str()), 0u);
    CloseHandle(writer);
    EXPECT_EQ(queryFileSize(path.c_str()), 3u);
}
