// Threads from the operating system: Windows threads in the engine, POSIX threads natively.
#include "platform/threads.h"

#ifdef _WIN32
#include <windows.h>

// A helper's stack: its work happens in memory from the heap, not in its frames.
static const SIZE_T THREAD_STACK_SIZE = 64u << 10;

ThreadHandle threadStart(ThreadBody body, void* argument)
{
    HANDLE thread = CreateThread(nullptr, THREAD_STACK_SIZE, body, argument, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                 nullptr);
    // The thread that makes the files keeps the processor whenever it has work.
    if (thread != nullptr) {
        SetThreadPriority(thread, THREAD_PRIORITY_BELOW_NORMAL);
    }
    return thread;
}

void threadJoin(ThreadHandle thread)
{
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

void threadPause() { Sleep(1); }

uint32_t processorCount()
{
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    uint32_t count = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
        for (; process != 0; process &= process - 1) {
            ++count;
        }
    }
    return count != 0 ? count : 1;
}

uint32_t freeAddressSpace()
{
    MEMORYSTATUSEX status;
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status)) {
        return 0;
    }
    return status.ullAvailVirtual < 0xFFFFFFFFull ? (uint32_t)status.ullAvailVirtual : 0xFFFFFFFFu;
}

#else
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <time.h>

namespace {

struct Started {
    ThreadBody body;
    void* argument;
};

void* runBody(void* parameter)
{
    Started started = *(Started*)parameter;
    free(parameter);
    started.body(started.argument);
    return nullptr;
}

}  // namespace

ThreadHandle threadStart(ThreadBody body, void* argument)
{
    Started* started = (Started*)malloc(sizeof(Started));
    pthread_t* thread = (pthread_t*)malloc(sizeof(pthread_t));
    if (started == nullptr || thread == nullptr) {
        free(started);
        free(thread);
        return nullptr;
    }
    started->body = body;
    started->argument = argument;
    if (pthread_create(thread, nullptr, runBody, started) != 0) {
        free(started);
        free(thread);
        return nullptr;
    }
    return thread;
}

void threadJoin(ThreadHandle thread)
{
    pthread_join(*(pthread_t*)thread, nullptr);
    free(thread);
}

void threadPause()
{
    const struct timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
}

uint32_t processorCount()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) != 0) {
        return 1;
    }
    int count = CPU_COUNT(&set);
    return count > 0 ? (uint32_t)count : 1;
}

uint32_t freeAddressSpace() { return 0xFFFFFFFFu; }

#endif
