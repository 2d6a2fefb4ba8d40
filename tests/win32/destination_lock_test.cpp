// The lock that keeps two runs of one package with destinations outside the working directory
// apart: which packages take it, waiting for another run, giving up after the time, and
// taking over the lock of a run that died holding it.
#include "launcher/destination_lock.h"

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/package_builder.h"

namespace {

const uint8_t DIGEST[PACKAGE_DIGEST_SIZE] = {0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

bool shared(std::optional<std::string> directory, std::optional<std::string> name = std::string("a.txt")) {
    TestPackage package;
    TestEntry plain;
    plain.name = "plain.txt";
    package.entries.push_back(plain);
    TestEntry entry;
    entry.directory = directory;
    entry.name = name;
    entry.content = {'x'};
    package.entries.push_back(entry);
    std::vector<uint8_t> bytes = buildPackage(package);
    return packageHasSharedDestinations(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

struct Holder {
    HANDLE taken;    // set once the holder has the lock
    HANDLE release;  // the holder lets go when this is set
    bool exitHolding;
};

DWORD WINAPI hold(void* parameter) {
    Holder* holder = static_cast<Holder*>(parameter);
    HANDLE lock = NULL;
    if (takeDestinationLock(DIGEST, 5000, NULL, &lock) != DESTINATION_LOCK_HELD) return 1;
    SetEvent(holder->taken);
    WaitForSingleObject(holder->release, INFINITE);
    if (!holder->exitHolding) releaseDestinationLock(&lock);
    return 0;  // a thread that ends holding a mutex abandons it
}

}  // namespace

TEST(DestinationLock, OnlyPackagesThatWriteOutsideTheWorkingDirectoryTakeIt) {
    for (const char* directory : {"C:\\Tools", "c:relative", "\\\\server\\share", "//server/share", "%APPDATA%\\x",
                                  "sub\\%TEMP%", "D:"}) {
        EXPECT_TRUE(shared(std::string(directory))) << directory;
    }
    EXPECT_TRUE(shared(std::nullopt, std::string("C:\\a.txt")));
    for (std::optional<std::string> directory :
         {std::optional<std::string>(), std::optional<std::string>(""), std::optional<std::string>("sub\\dir"),
          std::optional<std::string>("\\rooted"), std::optional<std::string>("a:")}) {
        // "a:" has its colon second: a drive, shared. The others stay below the working directory.
        bool expected = directory.has_value() && *directory == "a:";
        EXPECT_EQ(shared(directory), expected) << directory.value_or("<absent>");
    }
    // A package that cannot be read is never taken as harmless.
    const uint8_t garbage[] = {1, 2, 3};
    EXPECT_TRUE(packageHasSharedDestinations(garbage, sizeof(garbage)));
}

TEST(DestinationLock, ASecondRunWaitsGivesUpAfterItsTimeAndTakesOverAnAbandonedLock) {
    for (bool exitHolding : {false, true}) {
        SCOPED_TRACE(exitHolding ? "abandoned" : "released");
        Holder holder = {CreateEventA(NULL, TRUE, FALSE, NULL), CreateEventA(NULL, TRUE, FALSE, NULL), exitHolding};
        HANDLE thread = CreateThread(NULL, 0, hold, &holder, 0, NULL);
        ASSERT_EQ(WaitForSingleObject(holder.taken, 5000), WAIT_OBJECT_0);

        // Held elsewhere: a bounded wait ends with ERROR_TIMEOUT and no lock.
        HANDLE lock = reinterpret_cast<HANDLE>(1);
        DWORD before = GetTickCount();
        EXPECT_EQ(takeDestinationLock(DIGEST, 300, NULL, &lock), DESTINATION_LOCK_TIMED_OUT);
        EXPECT_GE(GetTickCount() - before, 250u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
        EXPECT_EQ(lock, nullptr);
        // Another package's lock is free meanwhile.
        uint8_t other[PACKAGE_DIGEST_SIZE] = {0};
        ASSERT_EQ(takeDestinationLock(other, 0, NULL, &lock), DESTINATION_LOCK_HELD);
        releaseDestinationLock(&lock);
        EXPECT_EQ(lock, nullptr);

        // Let go (or died holding it) while the second run waits: it gets the lock.
        SetEvent(holder.release);
        EXPECT_EQ(takeDestinationLock(DIGEST, 5000, NULL, &lock), DESTINATION_LOCK_HELD);
        EXPECT_NE(lock, nullptr);
        releaseDestinationLock(&lock);
        WaitForSingleObject(thread, 5000);
        CloseHandle(thread);
        CloseHandle(holder.taken);
        CloseHandle(holder.release);
    }
}
