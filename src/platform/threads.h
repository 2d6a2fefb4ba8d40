// Threads for work that runs beside the extraction: start, join, a short pause, how many
// processors the process may use, how much address space is free, and the two atomic
// accesses through which threads publish progress. The engine asks Windows; the native build
// asks POSIX, so that the code built on it is tested on the host, under the thread sanitizer
// too.
#pragma once

#include <stdint.h>

#ifdef _WIN32
#define THREAD_CALL __stdcall
#else
#define THREAD_CALL
#endif

// A thread's body: it gets the argument given to threadStart; its result is not used.
typedef unsigned long(THREAD_CALL* ThreadBody)(void* argument);
typedef void* ThreadHandle;

// Runs `body(argument)` on a new thread with a small stack, at a priority below the caller's
// where the system has one. Null when no thread can be had.
ThreadHandle threadStart(ThreadBody body, void* argument);

// Waits until the thread has ended and lets go of it.
void threadJoin(ThreadHandle thread);

// Gives the processor away for about a millisecond.
void threadPause();

// The processors the process may run on (its affinity), at least 1.
uint32_t processorCount();

// Bytes of address space still free in the process, at most 4 GiB - 1.
uint32_t freeAddressSpace();

// A 32-bit word that one thread publishes and others read: the store makes everything the
// storing thread wrote before it visible to the thread whose load sees the stored value.
inline uint32_t loadAcquire(const uint32_t* word) { return __atomic_load_n(word, __ATOMIC_ACQUIRE); }
inline void storeRelease(uint32_t* word, uint32_t value) { __atomic_store_n(word, value, __ATOMIC_RELEASE); }
