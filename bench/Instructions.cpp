// Instructions per operation of every uncontended path, counted by callgrind, which
// gives the same counts on any x86-64 host however busy it is. Run it through
// bench/instructions.py, which starts it under `valgrind --tool=callgrind`, reads the
// counts and sets them against their baselines and targets.
//
// Each path runs in a loop of N iterations and then of 2N, each loop between a reset and
// a dump of callgrind's counters (client requests). The difference of the two counts,
// divided by N, is the cost of one iteration without the set-up, the first calls or the
// client requests themselves; the cost of an empty loop of the same shape, measured the
// same way, is then taken off. Each path is warmed up by N untimed iterations first.
//
//     Instructions [N]       N defaults to 1000
//
// Outside valgrind the program runs every loop all the same (a smoke test) and says so.
#include <davro/platform/Win32.h>
#include <davro/primitives/CriticalSection.h>
#include <davro/primitives/Event.h>
#include <davro/primitives/Mutex.h>
#include <davro/primitives/ReadWriteSection.h>
#include <davro/primitives/Semaphore.h>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>
#include <valgrind/callgrind.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include "RobustSharedMutex.h"

namespace {

using namespace davro::win32;

// The slice length that YSyncObject::lock(INFINITE) hands to the kernel, so that the raw
// calls beside a class are exactly the calls it makes.
constexpr DWORD kSliceMs = 600000;

// A pointer that the compiler cannot see through: the virtual calls of the classes stay
// in, as for callers that hold a base pointer (guards, the condition).
template <class T>
T* opaque(T* pointer) {
    asm volatile("" : "+r"(pointer));
    return pointer;
}

// The measured loop. `op` is inlined into it, and taken by value so that what it
// captured stays in registers; the barrier keeps the loop (and an empty op) from being
// folded away.
template <class Op>
__attribute__((noinline)) void repeat(long count, Op op) {
    for (long i = 0; i < count; ++i) {
        op();
        asm volatile("" ::: "memory");
    }
}

long gIterations = 1000;

// Warms `op` up, then counts a loop of N and one of 2N iterations, twice each, dumped as
// "<name>@1" and "<name>@2". Work of another thread can only add to a count, and the
// parked thread's last steps into its wait land in one count at most, so the smaller
// count of each pair is that of the loop alone.
template <class Op>
void measure(const char* name, Op op) {
    repeat(gIterations, op);
    for (int trial = 0; trial < 2; ++trial) {
        for (int factor = 1; factor <= 2; ++factor) {
            const std::string label = std::string(name) + "@" + std::to_string(factor);
            CALLGRIND_ZERO_STATS;
            repeat(gIterations * factor, op);
            CALLGRIND_DUMP_STATS_AT(label.c_str());
        }
    }
}

// A second thread, started first and parked until the end: glibc takes its single-thread
// shortcuts (no lock prefix, other paths) only while a process has one thread, and the
// library only ever runs in programs that have more.
class ParkedThread {
public:
    // Returns once the thread has reached its wait: it holds the mutex from its
    // announcement until the condition's wait gives the mutex up.
    ParkedThread()
        : thread_([this] {
              std::unique_lock<std::mutex> hold(mutex_);
              parked_ = true;
              woken_.notify_one();
              woken_.wait(hold, [this] { return done_; });
          }) {
        std::unique_lock<std::mutex> hold(mutex_);
        woken_.wait(hold, [this] { return parked_; });
    }
    ~ParkedThread() {
        {
            const std::lock_guard<std::mutex> hold(mutex_);
            done_ = true;
        }
        woken_.notify_one();
        thread_.join();
    }
    ParkedThread(const ParkedThread&) = delete;
    ParkedThread& operator=(const ParkedThread&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable woken_;
    bool parked_ = false;
    bool done_ = false;
    std::thread thread_;
};

void kernelObjects() {
    {
        const HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
        measure("win32/MutexWaitRelease", [=] {
            WaitForSingleObject(mutex, INFINITE);
            ReleaseMutex(mutex);
        });
        CloseHandle(mutex);
    }
    {
        const HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 1, nullptr);
        measure("win32/SemaphoreWaitRelease", [=] {
            WaitForSingleObject(semaphore, INFINITE);
            ReleaseSemaphore(semaphore, 1, nullptr);
        });
        CloseHandle(semaphore);
    }
    {
        const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        measure("win32/AutoEventSetWait", [=] {
            SetEvent(event);
            WaitForSingleObject(event, INFINITE);
        });
        CloseHandle(event);
    }
    {
        const HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        measure("win32/ManualEventPoll", [=] {
            const DWORD result = WaitForSingleObject(event, 0);
            asm volatile("" : : "r"(result));
        });
        CloseHandle(event);
    }
    {
        HANDLE events[MAXIMUM_WAIT_OBJECTS];
        for (HANDLE& e : events) {
            e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        }
        SetEvent(events[MAXIMUM_WAIT_OBJECTS - 1]);
        measure("win32/WaitAny64LastSignalled", [&events] {
            const DWORD result = WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, events, FALSE, 0);
            asm volatile("" : : "r"(result));
        });
        for (HANDLE e : events) {
            CloseHandle(e);
        }
    }
    {
        const std::wstring name = L"davro-instructions-" + std::to_wstring(GetCurrentProcessId());
        const HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
        measure("win32/NamedMutexWaitRelease", [=] {
            WaitForSingleObject(mutex, INFINITE);
            ReleaseMutex(mutex);
        });
        CloseHandle(mutex);
        const HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 1, (name + L"-s").c_str());
        measure("win32/NamedSemaphoreWaitRelease", [=] {
            WaitForSingleObject(semaphore, INFINITE);
            ReleaseSemaphore(semaphore, 1, nullptr);
        });
        CloseHandle(semaphore);
        const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, (name + L"-e").c_str());
        measure("win32/NamedAutoEventSetWait", [=] {
            SetEvent(event);
            WaitForSingleObject(event, INFINITE);
        });
        CloseHandle(event);
    }
    {
        const DWORD index = TlsAlloc();
        int value = 0;
        TlsSetValue(index, &value);
        measure("win32/TlsGetValue", [=] {
            void* got = TlsGetValue(index);
            asm volatile("" : : "r"(got));
        });
        TlsFree(index);
    }
}

// The raw calls that each class makes, beside the class itself.
void classLayer() {
    {
        YMutex mutex;
        YSyncObject* object = opaque<YSyncObject>(&mutex);
        measure("davro/YMutexLockUnlock", [=] {
            object->lock(INFINITE);
            object->unlock();
        });
        const HANDLE raw = CreateMutexW(nullptr, FALSE, nullptr);
        measure("win32/MutexSliceWaitRelease", [=] {
            WaitForSingleObject(raw, kSliceMs);
            ReleaseMutex(raw);
        });
        CloseHandle(raw);
    }
    {
        YEventObject event;
        YSyncObject* object = opaque<YSyncObject>(&event);
        measure("davro/YEventSignalLock", [=] {
            object->unlock();
            object->lock(INFINITE);
        });
        const HANDLE raw = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        measure("win32/EventSetSliceWait", [=] {
            SetEvent(raw);
            WaitForSingleObject(raw, kSliceMs);
        });
        CloseHandle(raw);
    }
    {
        YSemaphore semaphore(1, 1);
        YSyncObject* object = opaque<YSyncObject>(&semaphore);
        measure("davro/YSemaphoreLockUnlock", [=] {
            object->lock(INFINITE);
            object->unlock();
        });
        const HANDLE raw = CreateSemaphoreW(nullptr, 1, 1, nullptr);
        measure("win32/SemaphoreSliceWaitRelease", [=] {
            WaitForSingleObject(raw, kSliceMs);
            ReleaseSemaphore(raw, 1, nullptr);
        });
        CloseHandle(raw);
    }
    {
        YSemaphore semaphore(1, 2);
        YSemaphore* object = opaque(&semaphore);
        measure("davro/YSemaphoreGetCount", [=] {
            const int count = object->getCount();
            asm volatile("" : : "r"(count));
        });
        // The same four kernel calls as getCount makes, without the class around them.
        const HANDLE raw = CreateSemaphoreW(nullptr, 1, 2, nullptr);
        const HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
        measure("win32/SemaphoreGetCount", [=] {
            WaitForSingleObject(mutex, kSliceMs);
            LONG previous = 0;
            if (WaitForSingleObject(raw, 0) == WAIT_OBJECT_0) {
                ReleaseSemaphore(raw, 1, &previous);
            }
            ReleaseMutex(mutex);
            asm volatile("" : : "r"(previous));
        });
        CloseHandle(mutex);
        CloseHandle(raw);
    }
    {
        YCriticalSection section(L"Instructions");
        YCriticalSection* object = opaque(&section);
        measure("davro/YCriticalSectionLockUnlock", [=] {
            object->lock(INFINITE);
            object->unlock();
        });
    }
    {
        YReadWriteSection section(L"Instructions");
        YReadWriteSection* object = opaque(&section);
        measure("davro/YReadWriteSectionRead", [=] {
            object->enterSectionRead();
            object->leaveSectionRead();
        });
        measure("davro/YReadWriteSectionWrite", [=] {
            object->enterSectionWrite();
            object->leaveSectionWrite();
        });
    }
}

void baselines() {
    {
        std::recursive_mutex mutex;
        std::recursive_mutex* object = opaque(&mutex);
        measure("std/RecursiveMutexLockUnlock", [=] {
            object->lock();
            object->unlock();
        });
    }
    {
        std::mutex mutex;
        std::mutex* object = opaque(&mutex);
        measure("std/MutexLockUnlock", [=] {
            object->lock();
            object->unlock();
        });
    }
    {
        sem_t semaphore;
        sem_init(&semaphore, 0, 1);
        sem_t* object = opaque(&semaphore);
        measure("posix/SemWaitPost", [=] {
            sem_wait(object);
            sem_post(object);
        });
        sem_destroy(&semaphore);
    }
    {
        std::shared_mutex mutex;
        std::shared_mutex* object = opaque(&mutex);
        measure("std/SharedMutexReadLockUnlock", [=] {
            object->lock_shared();
            object->unlock_shared();
        });
    }
    {
        const davro::bench::RobustSharedMutex mutex;
        pthread_mutex_t* object = opaque(mutex.get());
        measure("pthread/RobustSharedMutexLockUnlock", [=] {
            pthread_mutex_lock(object);
            pthread_mutex_unlock(object);
        });
    }
    {
        pthread_key_t key{};
        pthread_key_create(&key, nullptr);
        int value = 0;
        pthread_setspecific(key, &value);
        measure("pthread/GetSpecific", [=] {
            void* got = pthread_getspecific(key);
            asm volatile("" : : "r"(got));
        });
        pthread_key_delete(key);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        gIterations = std::strtol(argv[1], nullptr, 10);
        if (gIterations <= 0) {
            std::fprintf(stderr, "usage: %s [iterations > 0]\n", argv[0]);
            return 1;
        }
    }
    const ParkedThread parked;
    measure("loop/Empty", [] {});
    kernelObjects();
    classLayer();
    baselines();
    if (RUNNING_ON_VALGRIND == 0) {
        std::printf(
            "Not under callgrind: every path ran, nothing was counted "
            "(bench/instructions.py runs it under valgrind)\n");
    }
    return 0;
}
