// DLL search once the engine has narrowed it (run under Wine): a DLL beside the program is
// found by name before, and not after.
#include "launcher/library_search.h"

#include <windows.h>

#include <gtest/gtest.h>

// The narrowed search stays for the rest of this process: the tests after it load only
// system DLLs.
TEST(LibrarySearch, DllBesideTheProgramIsNoLongerFoundByName) {
    const char* name = "runpack-planted.dll";
    HMODULE beside = LoadLibraryExA(name, NULL, LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
    ASSERT_NE(beside, nullptr) << "the planted DLL is missing beside the test program: " << GetLastError();
    FreeLibrary(beside);
    ASSERT_EQ(GetModuleHandleA(name), nullptr);

    restrictLibrarySearch();
    HMODULE loaded = LoadLibraryA(name);
    EXPECT_EQ(loaded, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    if (loaded != NULL) FreeLibrary(loaded);
    // System DLLs still load.
    HMODULE system = LoadLibraryA("version.dll");
    EXPECT_NE(system, nullptr);
    if (system != NULL) FreeLibrary(system);
}
