// The slim synchronisation of the platform layer, each beside its std/pthread baseline in
// the same run: SRW locks against std::shared_mutex (alone and shared by 2, 4 and 8 threads,
// both modes), a condition-variable round trip against std::condition_variable, a
// WaitOnAddress ping-pong against bare futexes, a completed InitOnceExecuteOnce against
// std::call_once, an SList push + pop against a plain lock-free stack and TlsGetValue against
// pthread_getspecific. The futex figures are Linux-only.
#include <benchmark/benchmark.h>
#include <davro/platform/Win32.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "BenchMain.h"
#include "TwoThreads.h"

#if !defined(_WIN32)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

using namespace davro::win32;

// ---- SRW lock against std::shared_mutex: exclusive and shared, 1 to 8 threads ----

SRWLOCK gSrwLock = SRWLOCK_INIT;
std::shared_mutex gSharedMutex;

void BM_SrwExclusive(benchmark::State& state) {
    for (auto _ : state) {
        AcquireSRWLockExclusive(&gSrwLock);
        ReleaseSRWLockExclusive(&gSrwLock);
    }
    state.SetItemsProcessed(state.iterations());
}
DAVRO_BENCHMARK(BM_SrwExclusive)
    ->Name("SRW/Exclusive/win32")
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->Threads(8)
    ->UseRealTime();

void BM_StdSharedMutexExclusive(benchmark::State& state) {
    for (auto _ : state) {
        gSharedMutex.lock();
        gSharedMutex.unlock();
    }
    state.SetItemsProcessed(state.iterations());
}
DAVRO_BENCHMARK(BM_StdSharedMutexExclusive)
    ->Name("SRW/Exclusive/std")
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->Threads(8)
    ->UseRealTime();

void BM_SrwShared(benchmark::State& state) {
    for (auto _ : state) {
        AcquireSRWLockShared(&gSrwLock);
        ReleaseSRWLockShared(&gSrwLock);
    }
    state.SetItemsProcessed(state.iterations());
}
DAVRO_BENCHMARK(BM_SrwShared)
    ->Name("SRW/Shared/win32")
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->Threads(8)
    ->UseRealTime();

void BM_StdSharedMutexShared(benchmark::State& state) {
    for (auto _ : state) {
        gSharedMutex.lock_shared();
        gSharedMutex.unlock_shared();
    }
    state.SetItemsProcessed(state.iterations());
}
DAVRO_BENCHMARK(BM_StdSharedMutexShared)
    ->Name("SRW/Shared/std")
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->Threads(8)
    ->UseRealTime();

// ---- condition-variable round trip between two threads ----
// The benchmark thread hands the turn to a partner and waits until it comes back: two wakes
// and two sleeps per iteration, both sides under one lock.

void BM_ConditionVariableRoundTrip(benchmark::State& state) {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE toPartner = CONDITION_VARIABLE_INIT;
    CONDITION_VARIABLE toMain = CONDITION_VARIABLE_INIT;
    int turn = 0;  // 1: the partner's turn
    bool stop = false;
    std::thread partner([&] {
        AcquireSRWLockExclusive(&lock);
        for (;;) {
            while (turn != 1 && !stop) {
                SleepConditionVariableSRW(&toPartner, &lock, INFINITE, 0);
            }
            if (stop) {
                break;
            }
            turn = 0;
            WakeConditionVariable(&toMain);
        }
        ReleaseSRWLockExclusive(&lock);
    });
    for (auto _ : state) {
        AcquireSRWLockExclusive(&lock);
        turn = 1;
        WakeConditionVariable(&toPartner);
        while (turn == 1) {
            SleepConditionVariableSRW(&toMain, &lock, INFINITE, 0);
        }
        ReleaseSRWLockExclusive(&lock);
    }
    AcquireSRWLockExclusive(&lock);
    stop = true;
    ReleaseSRWLockExclusive(&lock);
    WakeConditionVariable(&toPartner);
    partner.join();
}
DAVRO_BENCHMARK(BM_ConditionVariableRoundTrip)
    ->Name("ConditionVariable/RoundTrip/win32")
    ->UseRealTime();

void BM_StdConditionVariableRoundTrip(benchmark::State& state) {
    davro::bench::stdConditionVariableRoundTrip(state);
}
DAVRO_BENCHMARK(BM_StdConditionVariableRoundTrip)
    ->Name("ConditionVariable/RoundTrip/std")
    ->UseRealTime();

// ---- waits on an address: a ping-pong of two threads ----
// An auto-reset flag per direction: 0 clear, 1 set, 2 clear with a sleeper, woken only when
// someone sleeps; once through WaitOnAddress and its wake, once through bare futexes.

struct AddressWaits {
    static void wait(std::atomic<LONG>* word) {
        LONG sleeping = 2;
        WaitOnAddress(word, &sleeping, sizeof sleeping, INFINITE);
    }
    static void wake(std::atomic<LONG>* word) { WakeByAddressSingle(word); }
};

#if !defined(_WIN32)
struct Futexes {
    static void wait(std::atomic<LONG>* word) {
        syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
    }
    static void wake(std::atomic<LONG>* word) {
        syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }
};
#endif

template <class Waits>
class Flag {
public:
    void set() {
        if (word_.exchange(1) == 2) {
            Waits::wake(&word_);
        }
    }
    void wait() {
        for (;;) {
            LONG cur = word_.load();
            if (cur == 1 && word_.compare_exchange_strong(cur, 0)) {
                return;
            }
            if (cur == 0 && !word_.compare_exchange_strong(cur, 2)) {
                continue;
            }
            Waits::wait(&word_);
        }
    }

private:
    std::atomic<LONG> word_{0};
};

void BM_WaitOnAddressPingPong(benchmark::State& state) {
    davro::bench::pingPong<Flag<AddressWaits>>(state);
}
DAVRO_BENCHMARK(BM_WaitOnAddressPingPong)->Name("WaitOnAddress/PingPong/win32")->UseRealTime();

#if !defined(_WIN32)
void BM_FutexPingPong(benchmark::State& state) { davro::bench::pingPong<Flag<Futexes>>(state); }
DAVRO_BENCHMARK(BM_FutexPingPong)->Name("WaitOnAddress/PingPong/futex")->UseRealTime();
#endif

// A wake with nobody waiting, the common case of a release path.
void BM_WakeByAddressNobody(benchmark::State& state) {
    LONG word = 0;
    for (auto _ : state) {
        WakeByAddressSingle(&word);
    }
}
DAVRO_BENCHMARK(BM_WakeByAddressNobody)->Name("WaitOnAddress/WakeNobody/win32");

#if !defined(_WIN32)
void BM_FutexWakeNobody(benchmark::State& state) {
    std::atomic<LONG> word{0};
    for (auto _ : state) {
        Futexes::wake(&word);
    }
}
DAVRO_BENCHMARK(BM_FutexWakeNobody)->Name("WaitOnAddress/WakeNobody/futex");
#endif

// ---- one-time initialisation, once done ----

BOOL initNothing(PINIT_ONCE, PVOID, PVOID* context) {
    *context = nullptr;
    return TRUE;
}

void BM_InitOnceDone(benchmark::State& state) {
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    for (auto _ : state) {
        PVOID context = nullptr;
        InitOnceExecuteOnce(&once, initNothing, nullptr, &context);
        benchmark::DoNotOptimize(context);
    }
}
DAVRO_BENCHMARK(BM_InitOnceDone)->Name("InitOnce/Done/win32");

void BM_StdCallOnceDone(benchmark::State& state) {
    static std::once_flag once;
    int calls = 0;
    for (auto _ : state) {
        std::call_once(once, [&] { ++calls; });
        benchmark::DoNotOptimize(calls);
    }
}
DAVRO_BENCHMARK(BM_StdCallOnceDone)->Name("InitOnce/Done/std");

// ---- interlocked list: push + pop, one thread ----

struct alignas(16) Node {
    SLIST_ENTRY entry;
    Node* next;
};

void BM_SListPushPop(benchmark::State& state) {
    alignas(16) SLIST_HEADER head;
    InitializeSListHead(&head);
    Node node{};
    for (auto _ : state) {
        InterlockedPushEntrySList(&head, &node.entry);
        benchmark::DoNotOptimize(InterlockedPopEntrySList(&head));
    }
}
DAVRO_BENCHMARK(BM_SListPushPop)->Name("SList/PushPop/win32");

// A plain lock-free stack: one pointer, compare-and-swap, no ABA protection.
void BM_LockFreeStackPushPop(benchmark::State& state) {
    std::atomic<Node*> top{nullptr};
    Node node{};
    for (auto _ : state) {
        Node* old = top.load(std::memory_order_relaxed);
        do {
            node.next = old;
        } while (!top.compare_exchange_weak(old, &node, std::memory_order_release,
                                            std::memory_order_relaxed));
        Node* first = top.load(std::memory_order_acquire);
        while (first != nullptr &&
               !top.compare_exchange_weak(first, first->next, std::memory_order_acquire,
                                          std::memory_order_acquire)) {
        }
        benchmark::DoNotOptimize(first);
    }
}
DAVRO_BENCHMARK(BM_LockFreeStackPushPop)->Name("SList/PushPop/lockfree");

// ---- thread-local storage: a get ----

void BM_TlsGetValue(benchmark::State& state) {
    const DWORD index = TlsAlloc();
    int value = 0;
    TlsSetValue(index, &value);
    for (auto _ : state) {
        benchmark::DoNotOptimize(TlsGetValue(index));
    }
    TlsFree(index);
}
DAVRO_BENCHMARK(BM_TlsGetValue)->Name("Tls/Get/win32");

void BM_PthreadGetSpecific(benchmark::State& state) {
    pthread_key_t key{};
    pthread_key_create(&key, nullptr);
    int value = 0;
    pthread_setspecific(key, &value);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pthread_getspecific(key));
    }
    pthread_key_delete(key);
}
DAVRO_BENCHMARK(BM_PthreadGetSpecific)->Name("Tls/Get/pthread");

}  // namespace

int main(int argc, char** argv) { return davro::bench::runBenchmarks(argc, argv); }
