// The cost of the waitable classes on an uncontended path, each beside the raw davro::win32
// calls it makes and the std/POSIX equivalent measured in the same run. The objects are
// reached through a YSyncObject pointer that the compiler cannot see through, as callers
// that hold a base pointer (guards, the condition) reach them: the virtual calls stay in.
#include <benchmark/benchmark.h>
#include <davro/primitives/Event.h>
#include <davro/primitives/Mutex.h>
#include <davro/primitives/Semaphore.h>
#include <semaphore.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "BenchMain.h"

namespace {

using namespace davro::win32;

// The slice length that YSyncObject::lock(INFINITE) hands to the kernel.
constexpr DWORD kSliceMs = 600000;

// ---- Mutex: lock(INFINITE) + unlock ----

void BM_YMutexLockUnlock(benchmark::State& state) {
    YMutex mutex;
    YSyncObject* object = &mutex;
    benchmark::DoNotOptimize(object);
    for (auto _ : state) {
        object->lock(INFINITE);
        object->unlock();
    }
}
DAVRO_BENCHMARK(BM_YMutexLockUnlock)->Name("Mutex/LockUnlock/davro");

void BM_Win32MutexLockUnlock(benchmark::State& state) {
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    for (auto _ : state) {
        WaitForSingleObject(mutex, INFINITE);
        ReleaseMutex(mutex);
    }
    CloseHandle(mutex);
}
DAVRO_BENCHMARK(BM_Win32MutexLockUnlock)->Name("Mutex/LockUnlockInfinite/win32");

// The raw calls exactly as the class makes them: a finite ten-minute slice.
void BM_Win32MutexSliceLockUnlock(benchmark::State& state) {
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    for (auto _ : state) {
        WaitForSingleObject(mutex, kSliceMs);
        ReleaseMutex(mutex);
    }
    CloseHandle(mutex);
}
DAVRO_BENCHMARK(BM_Win32MutexSliceLockUnlock)->Name("Mutex/LockUnlock/win32");

void BM_StdMutexLockUnlock(benchmark::State& state) {
    std::mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
}
DAVRO_BENCHMARK(BM_StdMutexLockUnlock)->Name("Mutex/LockUnlock/std");

// ---- Event: set + wait (auto reset) ----

void BM_YEventSetWait(benchmark::State& state) {
    YEventObject event;
    YSyncObject* object = &event;
    benchmark::DoNotOptimize(object);
    for (auto _ : state) {
        object->unlock();
        object->lock(INFINITE);
    }
}
DAVRO_BENCHMARK(BM_YEventSetWait)->Name("Event/SetWait/davro");

void BM_Win32EventSetWait(benchmark::State& state) {
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    for (auto _ : state) {
        SetEvent(event);
        WaitForSingleObject(event, INFINITE);
    }
    CloseHandle(event);
}
DAVRO_BENCHMARK(BM_Win32EventSetWait)->Name("Event/SetWaitInfinite/win32");

void BM_Win32EventSliceSetWait(benchmark::State& state) {
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    for (auto _ : state) {
        SetEvent(event);
        WaitForSingleObject(event, kSliceMs);
    }
    CloseHandle(event);
}
DAVRO_BENCHMARK(BM_Win32EventSliceSetWait)->Name("Event/SetWait/win32");

// An auto-reset event made of the standard parts: a flag under a mutex and a condition.
void BM_StdEventSetWait(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable changed;
    bool set = false;
    for (auto _ : state) {
        {
            const std::lock_guard<std::mutex> hold(mutex);
            set = true;
        }
        changed.notify_one();
        std::unique_lock<std::mutex> hold(mutex);
        changed.wait(hold, [&] { return set; });
        set = false;
    }
}
DAVRO_BENCHMARK(BM_StdEventSetWait)->Name("Event/SetWait/std");

// ---- Semaphore: lock(INFINITE) + unlock, and getCount ----

void BM_YSemaphoreLockUnlock(benchmark::State& state) {
    YSemaphore semaphore(1, 1);
    YSyncObject* object = &semaphore;
    benchmark::DoNotOptimize(object);
    for (auto _ : state) {
        object->lock(INFINITE);
        object->unlock();
    }
}
DAVRO_BENCHMARK(BM_YSemaphoreLockUnlock)->Name("Semaphore/LockUnlock/davro");

void BM_Win32SemaphoreLockUnlock(benchmark::State& state) {
    const HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 1, nullptr);
    for (auto _ : state) {
        WaitForSingleObject(semaphore, INFINITE);
        ReleaseSemaphore(semaphore, 1, nullptr);
    }
    CloseHandle(semaphore);
}
DAVRO_BENCHMARK(BM_Win32SemaphoreLockUnlock)->Name("Semaphore/LockUnlockInfinite/win32");

void BM_Win32SemaphoreSliceLockUnlock(benchmark::State& state) {
    const HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 1, nullptr);
    for (auto _ : state) {
        WaitForSingleObject(semaphore, kSliceMs);
        ReleaseSemaphore(semaphore, 1, nullptr);
    }
    CloseHandle(semaphore);
}
DAVRO_BENCHMARK(BM_Win32SemaphoreSliceLockUnlock)->Name("Semaphore/LockUnlock/win32");

void BM_YSemaphoreGetCount(benchmark::State& state) {
    YSemaphore semaphore(1, 2);
    YSemaphore* object = &semaphore;
    benchmark::DoNotOptimize(object);
    for (auto _ : state) {
        benchmark::DoNotOptimize(object->getCount());
    }
}
DAVRO_BENCHMARK(BM_YSemaphoreGetCount)->Name("Semaphore/GetCount/davro");

// The same four kernel calls as getCount makes, without the class around them.
void BM_Win32SemaphoreGetCount(benchmark::State& state) {
    const HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 2, nullptr);
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    for (auto _ : state) {
        WaitForSingleObject(mutex, kSliceMs);
        LONG previous = 0;
        if (WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0) {
            ReleaseSemaphore(semaphore, 1, &previous);
        }
        ReleaseMutex(mutex);
        benchmark::DoNotOptimize(previous);
    }
    CloseHandle(mutex);
    CloseHandle(semaphore);
}
DAVRO_BENCHMARK(BM_Win32SemaphoreGetCount)->Name("Semaphore/GetCount/win32");

// On Windows these are the POSIX semaphores of the compiler's pthread library.
void BM_PosixSemaphoreWaitPost(benchmark::State& state) {
    sem_t semaphore;
    sem_init(&semaphore, 0, 1);
    for (auto _ : state) {
        sem_wait(&semaphore);
        sem_post(&semaphore);
    }
    sem_destroy(&semaphore);
}
DAVRO_BENCHMARK(BM_PosixSemaphoreWaitPost)->Name("Semaphore/LockUnlock/posix");

void BM_PosixSemaphoreGetValue(benchmark::State& state) {
    sem_t semaphore;
    sem_init(&semaphore, 0, 1);
    for (auto _ : state) {
        int value = 0;
        sem_getvalue(&semaphore, &value);
        benchmark::DoNotOptimize(value);
    }
    sem_destroy(&semaphore);
}
DAVRO_BENCHMARK(BM_PosixSemaphoreGetValue)->Name("Semaphore/GetCount/posix");

}  // namespace

int main(int argc, char** argv) { return davro::bench::runBenchmarks(argc, argv); }
