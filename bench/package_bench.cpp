// Package and SHA-1 benchmarks: the throughput of sha1OfBuffer, with each block function,
// next to the system's sha1sum and OpenSSL's SHA-1 in the same run, and the cost of the
// validation pass as the number of entries and the size of their data change.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "package/package_reader.h"
#include "package/sha1.h"
#include "support/package_builder.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string hex(const uint8_t* digest)
{
    char text[2 * SHA1_DIGEST_SIZE + 1];
    for (uint32_t i = 0; i < SHA1_DIGEST_SIZE; ++i) {
        snprintf(text + 2 * i, 3, "%02x", digest[i]);
    }
    return text;
}

// The calling thread's CPU time in seconds: on a shared machine the fair measure beside
// `openssl speed`, which divides by its own CPU time too.
double threadSeconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

// The CPU time, user and system, of the children that have ended and been waited for.
double childrenSeconds()
{
    rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// OpenSSL's SHA-1 on 16 KiB blocks for one second (`openssl speed -evp sha1`), in MB per
// CPU second, or a negative value when it cannot be run or read.
double opensslSpeed()
{
    FILE* pipe = popen("openssl speed -evp sha1 -bytes 16384 -seconds 1 2>/dev/null", "r");
    if (pipe == nullptr) {
        return -1;
    }
    double thousands = -1;
    char line[512];
    while (fgets(line, sizeof(line), pipe) != nullptr) {
        // The result line: "sha1   1890000.00k", in thousands of bytes per second.
        double value = 0;
        if (strncmp(line, "sha1 ", 5) == 0 && sscanf(line + 5, "%lfk", &value) == 1) {
            thousands = value;
        }
    }
    pclose(pipe);
    return thousands < 0 ? -1 : thousands / 1e3;
}

void benchSha1(uint32_t megabytes, int rounds)
{
    const size_t size = (size_t)megabytes << 20;
    std::vector<uint8_t> bytes(size);
    std::mt19937_64 random(1);
    for (size_t i = 0; i + 8 <= size; i += 8) {
        uint64_t value = random();
        memcpy(&bytes[i], &value, 8);
    }
    char path[] = "/tmp/runpack-sha1-bench-XXXXXX";
    int descriptor = mkstemp(path);
    if (descriptor < 0 || write(descriptor, bytes.data(), size) != (ssize_t)size) {
        perror("temporary file");
        exit(1);
    }
    close(descriptor);

    // Each round times every block function, sha1sum and OpenSSL once, one after another, so
    // that a change in the machine's load falls on all of them alike.
    const Sha1BlockPath chosen = sha1BlockPath();
    const bool extensions = sha1SetBlockPath(SHA1_BLOCKS_SHA_EXTENSIONS);
    printf("SHA extensions: %s; sha1OfBuffer takes the %s path\n",
           extensions ? "yes" : "no", chosen == SHA1_BLOCKS_SHA_EXTENSIONS ? "extensions'" : "portable");
    const std::string command = std::string("sha1sum ") + path;
    uint8_t digest[SHA1_DIGEST_SIZE], portableDigest[SHA1_DIGEST_SIZE];
    std::string theirs;
    double best = 1e9, bestPortable = 1e9, bestTool = 1e9, bestOpenssl = -1;
    for (int round = 0; round < rounds; ++round) {
        if (extensions) {
            sha1SetBlockPath(SHA1_BLOCKS_SHA_EXTENSIONS);
            double start = threadSeconds();
            sha1OfBuffer(bytes.data(), (uint32_t)size, digest);
            best = std::min(best, threadSeconds() - start);
        }
        sha1SetBlockPath(SHA1_BLOCKS_PORTABLE);
        double cpuStart = threadSeconds();
        sha1OfBuffer(bytes.data(), (uint32_t)size, portableDigest);
        bestPortable = std::min(bestPortable, threadSeconds() - cpuStart);

        // The whole sha1sum process, reading a file that is already in the page cache: the CPU
        // time it and its shell take.
        const double childStart = childrenSeconds();
        FILE* pipe = popen(command.c_str(), "r");
        char line[256] = {};
        if (pipe == nullptr || fgets(line, sizeof(line), pipe) == nullptr) {
            perror("sha1sum");
            exit(1);
        }
        pclose(pipe);
        bestTool = std::min(bestTool, childrenSeconds() - childStart);
        theirs = std::string(line, 2 * SHA1_DIGEST_SIZE);

        bestOpenssl = std::max(bestOpenssl, opensslSpeed());
    }
    sha1SetBlockPath(chosen);
    unlink(path);

    const double portable = size / bestPortable / 1e6;
    const double tool = size / bestTool / 1e6;
    const double mine = extensions ? size / best / 1e6 : portable;
    if (!extensions) {
        memcpy(digest, portableDigest, sizeof(digest));
    }
    if (extensions) {
        printf("sha1OfBuffer %u MiB, SHA extensions: %6.1f ms, %5.0f MB/s (CPU time)\n", megabytes,
               best * 1e3, mine);
    }
    printf("sha1OfBuffer %u MiB, portable:       %6.1f ms, %5.0f MB/s (CPU time)\n", megabytes,
           bestPortable * 1e3, portable);
    printf("sha1sum      %u MiB:                 %6.1f ms, %5.0f MB/s (whole process, CPU time)\n",
           megabytes, bestTool * 1e3, tool);
    if (bestOpenssl > 0) {
        printf("openssl speed -evp sha1, 16 KiB blocks:     %5.0f MB/s (CPU time, best of %d runs of 1 s)\n",
               bestOpenssl, rounds);
    } else {
        printf("openssl speed: not available\n");
    }
    printf("sha1OfBuffer / sha1sum %.2f", mine / tool);
    if (bestOpenssl > 0) {
        printf(", / openssl %.2f", mine / bestOpenssl);
    }
    printf("; digests %s\n",
           hex(digest) == theirs && memcmp(digest, portableDigest, sizeof(digest)) == 0 ? "equal" : "DIFFER");
}

// A package of `count` stored entries of `dataSize` bytes each, written item by item.
std::vector<uint8_t> makePackage(uint32_t count, uint32_t dataSize)
{
    PackageBuilder builder;
    builder.integer(0).text("run.exe").integer(CLEANUP_TREE).integer(count);
    std::vector<uint8_t> data(dataSize, 0x5A);
    std::vector<uint8_t> digest(PACKAGE_DIGEST_SIZE, 0x11);
    builder.bytes.reserve((size_t)count * (dataSize + 120) + 64);
    for (uint32_t i = 0; i < count; ++i) {
        builder.text("file" + std::to_string(i) + ".dat").text("sub\\dir").blob(digest);
        builder.integer(dataSize).integer(METHOD_STORED).integer(dataSize).blob(data);
    }
    return builder.bytes;
}

void benchValidation(uint32_t count, uint32_t dataSize)
{
    std::vector<uint8_t> package = makePackage(count, dataSize);
    uint32_t total = 0;
    int repetitions = 0;
    Clock::time_point start = Clock::now();
    double elapsed = 0;
    do {
        if (!validatePackage(package.data(), (uint32_t)package.size(), nullptr, &total)) {
            fprintf(stderr, "package refused\n");
            exit(1);
        }
        ++repetitions;
        elapsed = secondsSince(start);
    } while (elapsed < 0.3);
    printf("validatePackage %6u entries of %6u bytes (%8.1f MiB): %8.1f us per pass\n", count,
           dataSize, package.size() / 1048576.0, elapsed / repetitions * 1e6);
}

}  // namespace

int main()
{
    benchSha1(64, 5);
    benchValidation(1000, 1024);
    benchValidation(10000, 1024);
    benchValidation(10000, 100 * 1024);
    benchValidation(100000, 16);
    return 0;
}
