// The stress group: a ping-pong that a lost wake-up would stall; threads made from several
// threads at once and (Linux) thousands that end leaving nothing behind; fault injection:
// workers wait at random on shared objects checking every invariant, victims use every family
// of calls, and a controller terminates, suspends and resumes threads, closes a handle that
// victims wait on, fills the object pool and forks, walking wait chains all the while. Then every
// thread ends, every unit and mutex is back, each mutex a victim held is reported abandoned once,
// and messages still work.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "PlatformTestSupport.h"
#include "TestSupport.h"

#ifndef _WIN32
#include <davro/platform/Testing.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/futex.h>
#include <linux/membarrier.h>
#include <linux/seccomp.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <filesystem>
#include <fstream>
#endif

namespace davro::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kThreads = 4;
constexpr LONG kSemMax = 3;
constexpr DWORD kLongMs = 4000;  // a wait that times out although holders let go: a lost wake-up
constexpr UINT kPing = WM_USER + 7;
constexpr LRESULT kPong = 42;
constexpr int kVictims = 2;      // alive at once
constexpr int kMaxVictims = 64;  // in all

enum class Kind { Mutex, Semaphore, AutoEvent, ManualEvent };
const Kind kLayout[] = {Kind::Mutex,     Kind::Mutex,     Kind::Semaphore,  Kind::Semaphore,
                        Kind::AutoEvent, Kind::AutoEvent, Kind::ManualEvent};

struct Victim;

struct Shared {
    Handles hs;
    std::vector<HANDLE> handles;
    std::vector<Kind> kinds;
    std::vector<std::atomic<DWORD>> owner;  // mutexes: the owning thread id, or 0
    std::vector<std::atomic<int>> held;     // semaphores: units held by the threads
    std::atomic<int> failures{0};
    std::string firstFailure;  // written by the first failure only
    // Fault injection only: what the victims and the controller share.
    HANDLE victimMutexes[2] = {hs.mutex(), hs.mutex(FALSE, uniqueName(L"fault").c_str())};
    std::atomic<HANDLE> transient{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<Victim*> victims[kVictims] = {};
    std::atomic<bool> stop{false};
    std::atomic<int> odd{0};  // results that victims, which allocate nothing, cannot describe
    const std::wstring name = uniqueName(L"worker");  // never terminated: its names go

    Shared() : owner(std::size(kLayout)), held(std::size(kLayout)) {
        for (Kind k : kLayout) {
            kinds.push_back(k);
            handles.push_back(k == Kind::Mutex       ? hs.mutex()
                              : k == Kind::Semaphore ? hs.semaphore(kSemMax, kSemMax)
                                                     : hs.event(k == Kind::ManualEvent));
        }
    }
    ~Shared() { CloseHandle(transient.load()); }
    void fail(const std::string& what) {
        if (failures.fetch_add(1) == 0) {
            firstFailure = what;
        }
    }
};

class Worker {
public:
    HANDLE go = nullptr;  // released together by this event
    Clock::time_point end;

    Worker(Shared& shared, unsigned seed)
        : s_(shared), random_(seed), recursion_(s_.handles.size()), units_(s_.handles.size()) {}

    static unsigned run(void* worker) { return static_cast<Worker*>(worker)->run(), 0u; }

    void run() {
        WaitForSingleObject(go, kBoundMs);
        me_ = GetCurrentThreadId();
        while (Clock::now() < end && s_.failures.load() == 0) {
            step();
        }
        for (std::size_t i = 0; i < recursion_.size(); ++i) {
            while (recursion_[i] > 0 || units_[i] > 0) {
                releaseOne(i);
            }
        }
    }

private:
    std::size_t pick() { return random_() % s_.handles.size(); }

    // Mutexes and semaphores are always let go promptly, so a long wait-any on them is safe
    // when we hold nothing ourselves (no hold-and-wait, so no deadlock).
    DWORD timeoutFor(const std::vector<std::size_t>& set, bool all) {
        bool onlyReleasable = !all;
        for (std::size_t i = 0; i < recursion_.size(); ++i) {
            onlyReleasable = onlyReleasable && recursion_[i] == 0 && units_[i] == 0;
        }
        for (std::size_t i : set) {
            onlyReleasable =
                onlyReleasable && (s_.kinds[i] == Kind::Mutex || s_.kinds[i] == Kind::Semaphore);
        }
        return onlyReleasable && random_() % 4 == 0 ? kLongMs : random_() % 3;
    }

    void acquired(std::size_t i) {
        if (s_.kinds[i] == Kind::Mutex && recursion_[i]++ == 0 && s_.owner[i].exchange(me_) != 0) {
            s_.fail("mutex " + std::to_string(i) + " had two owners");
        } else if (s_.kinds[i] == Kind::Semaphore) {
            ++units_[i];
            if (s_.held[i].fetch_add(1) + 1 > kSemMax) {
                s_.fail("semaphore " + std::to_string(i) + " went below zero");
            }
        }
    }

    void releaseOne(std::size_t i) {
        if (recursion_[i] > 0) {
            if (--recursion_[i] == 0) {
                s_.owner[i].store(0);
            }
            if (!ReleaseMutex(s_.handles[i])) {
                s_.fail("ReleaseMutex by the owner failed");
            }
        } else if (units_[i] > 0) {
            --units_[i];
            s_.held[i].fetch_sub(1);
            LONG previous = kSentinel;
            if (!ReleaseSemaphore(s_.handles[i], 1, &previous) || previous < 0 ||
                previous >= kSemMax) {
                s_.fail("semaphore count out of range: " + std::to_string(previous));
            }
        }
    }

    void check(DWORD result, const std::vector<std::size_t>& set, bool all, DWORD timeout) {
        const auto n = static_cast<DWORD>(set.size());
        if (result == WAIT_TIMEOUT) {
            if (timeout == kLongMs) {
                s_.fail("a wait that had to succeed timed out (lost wake-up)");
            }
            // A wait that took nothing: no mutex of the set may have become ours.
            for (std::size_t i : set) {
                if (s_.kinds[i] == Kind::Mutex && recursion_[i] == 0 &&
                    ReleaseMutex(s_.handles[i])) {
                    s_.fail("a failed wait left mutex " + std::to_string(i) + " owned");
                }
            }
        } else if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + n) {
            s_.fail("abandoned mutex, but no thread ended");
        } else if (result >= WAIT_OBJECT_0 + n) {
            s_.fail("wait result " + std::to_string(result));
        } else {
            for (std::size_t i : set) {
                if (all || i == set[result]) {
                    acquired(i);
                }
            }
        }
    }

    void step() {
        const unsigned op = random_() % 10;
        if (op < 7) {  // a single wait, a wait-any or a wait-all over 2 to 4 distinct objects
            const bool all = op >= 5;
            const std::size_t want = op < 3 ? 1 : 2 + random_() % 3;
            std::vector<std::size_t> set;
            std::vector<HANDLE> list;
            while (set.size() < want) {
                const std::size_t i = pick();
                if (std::find(set.begin(), set.end(), i) == set.end()) {
                    set.push_back(i);
                    list.push_back(s_.handles[i]);
                }
            }
            const DWORD timeout = timeoutFor(set, all);
            check(want == 1
                      ? WaitForSingleObject(list[0], timeout)
                      : WaitForMultipleObjects(static_cast<DWORD>(want), list.data(), all, timeout),
                  set, all, timeout);
        } else if (op < 9) {
            releaseOne(pick());
        } else {
            const std::size_t i = pick();
            if (s_.kinds[i] == Kind::AutoEvent || s_.kinds[i] == Kind::ManualEvent) {
                (random_() % 3 == 0 ? ResetEvent : SetEvent)(s_.handles[i]);
            }
            CloseHandle(CreateMutexW(nullptr, FALSE, s_.name.c_str()));  // also while forking
        }
    }

    Shared& s_;
    std::mt19937 random_;
    std::vector<int> recursion_;
    std::vector<int> units_;
    DWORD me_ = 0;
};

// Two threads pass a turn back and forth through two auto-reset events, one side waiting
// on both at once: a single lost wake-up stalls the exchange and fails the bounded wait.
TEST(KernelStressTest, PingPongNeverLosesAWakeUp) {
    Handles hs;
    HANDLE ping = hs.event();
    HANDLE pong = hs.event();
    const HANDLE both[] = {hs.event(), ping};
    std::atomic<int> stalls{0};
    std::thread other([&] {
        for (int i = 0; i < 20000 && stalls.load() == 0; ++i) {
            stalls += WaitForMultipleObjects(2, both, FALSE, kBoundMs) != WAIT_OBJECT_0 + 1;
            SetEvent(pong);
        }
    });
    for (int i = 0; i < 20000 && stalls.load() == 0; ++i) {
        SetEvent(ping);
        if (WaitForSingleObject(pong, kBoundMs) != WAIT_OBJECT_0) {
            stalls.fetch_add(1);
            SetEvent(ping);
        }
    }
    other.join();
    EXPECT_EQ(0, stalls.load());
}

TEST(ThreadStressTest, ManyThreadsCreatedAndWaitedForFromSeveralThreads) {
    std::atomic<int> failures{0};
    auto create = [&failures](int creator) {
        for (int i = 0; i < 600; ++i) {
            const auto code = static_cast<std::uintptr_t>(creator * 600 + i);
            const bool suspended = i % 3 == 0;
            HANDLE t = beginThread(
                [](void* p) { return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p)); },
                reinterpret_cast<void*>(code), suspended ? CREATE_SUSPENDED : 0);
            DWORD exitCode = 0;
            failures += t == nullptr || (suspended && ResumeThread(t) != 1) ||
                        WaitForSingleObject(t, kBoundMs) != WAIT_OBJECT_0 ||
                        !GetExitCodeThread(t, &exitCode) || exitCode != code;
            CloseHandle(t);
        }
    };
    std::thread creators[] = {std::thread(create, 0), std::thread(create, 1),
                              std::thread(create, 2)};
    for (std::thread& c : creators) {
        c.join();
    }
    EXPECT_EQ(0, failures.load());
}

#ifndef _WIN32  // what a process holds is read from Linux's /proc
// The process's live threads, open descriptors, heap bytes in use and address space (kB),
// once (bounded) no more than `settled` threads are left: a handle is signalled a moment
// before its thread's task has gone. Resident memory, which caches and huge pages move, is
// no measure here.
struct ProcessUse {
    long threads, descriptors;  // NOLINT(readability-isolate-declaration)
    size_t heapBytes;
    long addressSpaceKb;
};

ProcessUse processUse(long settled = 1L << 30) {
    auto entries = [](const char* directory) {
        const std::filesystem::directory_iterator list(directory);
        return static_cast<long>(std::distance(begin(list), end(list)));
    };
    for (int i = 0; i < 5000 && entries("/proc/self/task") > settled; ++i) {
        Sleep(1);
    }
    ProcessUse use{entries("/proc/self/task"), entries("/proc/self/fd"), mallinfo2().uordblks, 0};
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        use.addressSpaceKb =
            line.rfind("VmSize:", 0) == 0 ? std::stol(line.substr(7)) : use.addressSpaceKb;
    }
    return use;
}

unsigned waitUntilTerminated(void* entered) {
    ReleaseSemaphore(entered, 1, nullptr);
    return WaitForSingleObject(GetCurrentProcess(), 12 * kBoundMs);  // never signalled
}

// 2000 threads that return, then 200 terminated inside a wait, 20 at a time. The number of
// threads that did not end as expected.
int createAndEndThreads() {
    int failures = 0;
    for (int i = 0; i < 2000; ++i) {
        HANDLE t = beginThread([](void*) -> unsigned { return 5; }, nullptr);
        DWORD code = 0;
        failures += WaitForSingleObject(t, kBoundMs) != WAIT_OBJECT_0 ||
                    !GetExitCodeThread(t, &code) || code != 5 || !CloseHandle(t);
    }
    Handles hs;
    HANDLE entered = hs.semaphore(0, 20);
    for (int round = 0; round < 10; ++round) {
        HANDLE victims[20];
        for (HANDLE& victim : victims) {
            victim = beginThread(&waitUntilTerminated, entered);
            failures += WaitForSingleObject(entered, kBoundMs) != WAIT_OBJECT_0;
        }
        for (HANDLE victim : victims) {
            DWORD code = 0;
            failures += !TerminateThread(victim, 77) ||
                        WaitForSingleObject(victim, kBoundMs) != WAIT_OBJECT_0 ||
                        !GetExitCodeThread(victim, &code) || code != 77;
            CloseHandle(victim);
        }
    }
    return failures;
}

// A thread that ends, by returning or terminated in a wait, leaves no kernel task, descriptor
// or memory behind. The first pass fills the layer's pools and the C library's stack cache;
// the second must not grow anything: one thread or descriptor kept per thread would show in
// the thousands, 30 heap bytes per thread past the heap bound, one stack per thread in
// gigabytes of address space.
TEST(ThreadStressTest, ThreadsThatEndLeaveNoTaskDescriptorOrMemoryBehind) {
    const long threadsAtStart = processUse().threads;
    ASSERT_EQ(0, createAndEndThreads());
    const ProcessUse before = processUse(threadsAtStart);
    ASSERT_EQ(0, createAndEndThreads());
    const ProcessUse after = processUse(before.threads);
    EXPECT_LE(after.threads, before.threads);
    EXPECT_LE(after.descriptors, before.descriptors);
    EXPECT_LE(after.heapBytes, before.heapBytes + 64 * 1024);
    EXPECT_LE(after.addressSpaceKb, before.addressSpaceKb + 1024 * 1024);
}
#endif

struct Victim {
    Shared* s = nullptr;
    unsigned seed = 0;  // of its random steps
    HANDLE thread = nullptr;
    HANDLE graves[2] = {};  // an unnamed and a named mutex, held until the victim ends
    HANDLE owned = nullptr;
    std::atomic<HWND> window{nullptr};
    std::atomic<DWORD> id{0};
};

LRESULT pong(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return message == kPing ? kPong : DefWindowProcW(window, message, wParam, lParam);
}

HWND newWindow() { return createMessageWindow(L"DavroFault"); }

bool took(DWORD r) { return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED; }

// Allocates nothing of its own: a thread terminated inside the allocator would block it.
unsigned victim(void* argument) {
    Victim& v = *static_cast<Victim*>(argument);
    Shared& s = *v.s;
    std::minstd_rand random(v.seed);
    v.id = GetCurrentThreadId();
    v.window = newWindow();
    for (HANDLE grave : v.graves) {
        WaitForSingleObject(grave, 0);
    }
    SetEvent(v.owned);
    const HANDLE events[] = {s.handles[4], s.handles[6]};  // an auto and the manual event
    for (MSG m{}; !s.stop.load();) {
        const unsigned op = random() % 10;
        HANDLE mutex = s.victimMutexes[op % 2];
        Victim* other = s.victims[random() % kVictims].load();
        if (op < 2 && took(WaitForSingleObject(mutex, random() % 2))) {
            ReleaseMutex(mutex);
        } else if (op == 2) {  // the controller may close the first handle meanwhile
            const HANDLE any[] = {s.transient.load(), events[0], events[1]};
            s.odd += WaitForMultipleObjects(3, any, random() % 2, random() % 3) == WAIT_FAILED &&
                     GetLastError() != ERROR_INVALID_HANDLE;
            (random() % 3 == 0 ? ResetEvent : SetEvent)(events[random() % 2]);
        } else if (op == 3) {
            CloseHandle(CreateEventW(nullptr, FALSE, FALSE, nullptr));
            CloseHandle(CreateMutexW(nullptr, FALSE, nullptr));
        } else if (op < 6 && other != nullptr) {
            PostThreadMessageW(GetCurrentThreadId(), kPing, 0, 0);
            PostThreadMessageW(other->id, kPing, 0, 0);
            PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE);
            // Only the victim of slot 0 suspends: two that suspend each other stop for ever.
            if (s.victims[0] == &v && other != &v && SuspendThread(other->thread) != 0xFFFFFFFF) {
                ResumeThread(other->thread);
            }
            const LRESULT answer = SendMessageW(other->window, kPing, 0, 0);
            s.odd += answer != kPong && answer != 0;
        } else if (op > 5) {  // serves the messages sent to its window
            MsgWaitForMultipleObjects(1, events, FALSE, random() % 2, QS_ALLINPUT);
            PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
        }
    }
    return 0;
}

void pause(std::minstd_rand& random) {  // a random point in what the others are doing
    for (unsigned n = random() % 3000; n > 0; --n) {
        std::this_thread::yield();
    }
}

#ifndef _WIN32
// A child forked (alone, or while the other threads are busy): the layer works there and
// nothing hangs; its thread, under a new id, posts to itself and finds the message.
int forkedChildWorks() {
    HANDLE e = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    HANDLE m = CreateMutexW(nullptr, TRUE, uniqueName(L"forked").c_str());
    MSG msg{};
    const bool ok = e != nullptr && m != nullptr && WaitForSingleObject(e, kBoundMs) == 0 &&
                    WaitForSingleObject(m, kBoundMs) == 0 && ReleaseMutex(m) && ReleaseMutex(m) &&
                    PostThreadMessageW(GetCurrentThreadId(), kPing, 0, 0) &&
                    PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE) && msg.message == kPing;
    return ok && CloseHandle(m) && CloseHandle(e) ? 0 : 1;
}
#endif

#ifndef _WIN32
// Makes system call `number` fail with ENOSYS in this process, its children and the programs
// they run, from now on; false where no seccomp filter can be installed.
bool refuseSystemCall(long number) {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(number), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

constexpr int kNoSeccomp = 77;
constexpr const char* kMembarrierRefused = "DAVRO_TEST_MEMBARRIER_REFUSED";

// Runs `use` in a forked child whose system call `number` fails: the child's result, or
// kNoSeccomp where the call cannot be made to fail.
int withRefused(long number, const std::function<void()>& use) {
    return runForked(
        [&] {
            const rlimit noCore{0, 0};  // the abort expected here writes no core file
            setrlimit(RLIMIT_CORE, &noCore);
            if (!refuseSystemCall(number)) {
                return kNoSeccomp;
            }
            use();
            return 0;
        },
        4 * kBoundMs);
}

// Calls that cannot fail, failing all the same, stop the process with a message instead of
// going on without what they guarantee: a futex wait that could no longer sleep, a heavy
// fence (fork()'s handshake with the threads inside the gate) that would fence nothing.
// Where membarrier is refused from the start, the layer uses full fences instead, and this
// test, run again in such a process, finds threads, fork() and named mutexes working.
TEST(FaultInjectionTest, CallsThatCannotFailStopTheProcessWhenTheyDo) {
    if (std::getenv(kMembarrierRefused) != nullptr) {
        // The second run: membarrier has been refused since before the library was loaded.
        ASSERT_EQ(-1, syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0));
        PostThreadMessageW(GetCurrentThreadId(), kPing, 0, 0);
        EXPECT_EQ(0, runForked(forkedChildWorks, 4 * kBoundMs));
        HANDLE turn = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        std::thread other([turn] { SetEvent(turn); });
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(turn, kBoundMs));
        other.join();
        CloseHandle(turn);
        EXPECT_EQ(0, forkedChildWorks());
        return;
    }
    const int fence = withRefused(SYS_membarrier, [] {
        GetCurrentThreadId();  // the layer in use, and so its fork handlers
        runForked([] { return 0; }, kBoundMs);
    });
    if (fence == kNoSeccomp) {
        GTEST_SKIP() << "no seccomp filter can be installed here";
    }
    EXPECT_EQ(128 + SIGABRT, fence);
#if !defined(__SANITIZE_THREAD__)  // its runtime needs the futex calls that this refuses
    EXPECT_EQ(128 + SIGABRT, withRefused(SYS_futex, [] {
                  HANDLE never = CreateEventW(nullptr, FALSE, FALSE, nullptr);
                  WaitForSingleObject(never, 500);  // spins, then sleeps on its futex
              }));
#endif
    // Membarrier refused before the library is loaded: this test once more, in a new program.
    const int fallBack = withRefused(SYS_membarrier, [] {
        setenv(kMembarrierRefused, "1", 1);
        const int quiet = ::open("/dev/null", O_WRONLY);  // its failures still show on stderr
        dup2(quiet, STDOUT_FILENO);
        const std::string filter =
            "--gtest_filter=FaultInjectionTest.CallsThatCannotFailStopTheProcessWhenTheyDo";
        char* const argv[] = {const_cast<char*>("FaultInjectionTest"),
                              const_cast<char*>(filter.c_str()), nullptr};
        execv("/proc/self/exe", argv);
        std::_Exit(3);  // not started
    });
    EXPECT_EQ(0, fallBack);
}

// A thread whose robust list something else has registered (not the C library's head in the
// thread's own descriptor) locks its named mutexes through the C library's calls: that list,
// and the word just before its head, which linking into an empty list would write, are left
// alone.
TEST(FaultInjectionTest, ARobustListThatIsNotTheCLibrarysIsNeverWritten) {
    const std::wstring name = uniqueName(L"foreign-list");
    constexpr std::uintptr_t kCanary = 0xC0FFEE;
    struct {
        std::uintptr_t before = kCanary;
        robust_list_head head{};
    } foreign;
    // This thread's first named mutex: the layout is probed here, on a list of the C library.
    HANDLE probed = CreateMutexW(nullptr, TRUE, uniqueName(L"probed-list").c_str());
    ASSERT_TRUE(ReleaseMutex(probed));
    bool worked = false;
    std::thread([&] {
        robust_list_head* own = nullptr;
        std::size_t length = 0;
        ASSERT_EQ(0, syscall(SYS_get_robust_list, 0, &own, &length));
        foreign.head.list.next = &foreign.head.list;  // empty
        foreign.head.futex_offset = own->futex_offset;
        ASSERT_EQ(0, syscall(SYS_set_robust_list, &foreign.head, sizeof foreign.head));
        HANDLE m = CreateMutexW(nullptr, TRUE, name.c_str());
        worked = m != nullptr && ReleaseMutex(m) && WaitForSingleObject(m, kBoundMs) == 0 &&
                 ReleaseMutex(m) && CloseHandle(m);
        syscall(SYS_set_robust_list, own, length);
    }).join();
    EXPECT_TRUE(CloseHandle(probed));
    EXPECT_TRUE(worked);
    EXPECT_EQ(kCanary, foreign.before);
    EXPECT_EQ(&foreign.head.list, foreign.head.list.next);
    EXPECT_EQ(nullptr, foreign.head.list_op_pending);
}
#endif

TEST(FaultInjectionTest, EveryInvariantHoldsWhereverThreadsAreStopped) {
    const bool terminate = !runningUnderWine();  // whose calls keep locks that killed threads had
    const char* fixed = std::getenv("DAVRO_STRESS_SEED");
    const unsigned seed = fixed != nullptr ? std::strtoul(fixed, nullptr, 10) : 20261207u;
    SCOPED_TRACE("seed " + std::to_string(seed) + " (set DAVRO_STRESS_SEED to repeat it)");
    std::minstd_rand random(seed);
    const WNDCLASSW windowClass{0,       pong,    0,       0,       nullptr,
                                nullptr, nullptr, nullptr, nullptr, L"DavroFault"};
    ASSERT_NE(0, RegisterClassW(&windowClass));
    Shared s;
#ifndef _WIN32
    PostThreadMessageW(GetCurrentThreadId(), kPing, 0, 0);  // the child inherits a queue
    EXPECT_EQ(0, runForked(forkedChildWorks, 4 * kBoundMs));
#endif
    Victim victims[kMaxVictims];
    int made = 0;
    auto spawn = [&](int slot) {
        Victim& v = victims[made++];
        v.s = &s;
        v.seed = seed + 100 + static_cast<unsigned>(made);
        v.owned = s.hs.event(TRUE);
        v.graves[0] = s.hs.mutex();
        v.graves[1] = s.hs.mutex(FALSE, (uniqueName(L"grave") + std::to_wstring(made)).c_str());
        v.thread = beginThread(&victim, &v);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(v.owned, kBoundMs));
        s.victims[slot] = &v;
    };
    spawn(0);
    spawn(1);
    std::vector<HANDLE> threads;  // the workers, then the victims alive at the end
    std::vector<Worker> workers;
    workers.reserve(kThreads);
    HANDLE go = s.hs.event(TRUE);
    for (int t = 0; t < kThreads; ++t) {
        Worker& w = workers.emplace_back(s, seed + 1 + static_cast<unsigned>(t));
        w.go = go;
        w.end = Clock::now() + 3s;
        threads.push_back(beginThread(&Worker::run, &w));
    }
    SetEvent(go);
    HWCT session = OpenThreadWaitChainSession(0, nullptr);  // null where there is none (Wine)
    for ([[maybe_unused]] int forks = 0; Clock::now() < workers[0].end && !s.failures.load();) {
        if (session != nullptr) {  // a victim's chain, walked while it runs, stops and ends
            WAITCHAIN_NODE_INFO nodes[WCT_MAX_NODE_COUNT];
            DWORD count = WCT_MAX_NODE_COUNT;
            BOOL cycle = FALSE;
            const DWORD id = s.victims[random() % kVictims].load()->id.load();
            if (GetThreadWaitChain(session, 0, 0, id, &count, nodes, &cycle) &&
                (count == 0 || count > WCT_MAX_NODE_COUNT ||
                 nodes[0].ThreadObject.ThreadId != id)) {
                s.fail("a wait chain walked meanwhile is malformed");
            }
        }
        const unsigned action = random() % 10;
        const int slot = static_cast<int>(random() % kVictims);
        Victim* v = s.victims[slot].load();
        DWORD code = 0;
        if (action == 0 && terminate && made < kMaxVictims) {
            // Its mutex is abandoned as TerminateThread returns: this poll is the one taker told.
            pause(random);
            EXPECT_TRUE(TerminateThread(v->thread, 9));
#ifdef _WIN32
            WaitForSingleObject(v->thread, kBoundMs);  // Windows' may return first
#endif
            if (WaitForSingleObject(v->graves[1], 0) != WAIT_ABANDONED ||
                !ReleaseMutex(v->graves[1]) || WaitForSingleObject(v->thread, 0) != WAIT_OBJECT_0 ||
                !GetExitCodeThread(v->thread, &code) || code != 9) {
                s.fail("a terminated victim did not end with its code and mutex abandoned");
            }
            v->graves[1] = nullptr;  // told already
            spawn(slot);
        } else if (action < 6) {
            const std::size_t pick = random() % (threads.size() + 1);
            HANDLE t = pick < threads.size() ? threads[pick] : v != nullptr ? v->thread : nullptr;
            if (t != nullptr && SuspendThread(t) != 0xFFFFFFFF) {
                pause(random);
                ResumeThread(t);
            }
        } else if (action < 8) {  // closes the handle that victims wait on
            HANDLE old = s.transient.exchange(CreateEventW(nullptr, TRUE, random() % 2, nullptr));
            SetEvent(old);
            CloseHandle(old);
#ifndef _WIN32
        } else if (action == 8) {
            davro::win32::testing::limitObjects(davro::win32::testing::liveObjects());
            pause(random);
            davro::win32::testing::limitObjects(0);
        } else if (forks++ < 5 && runForked(forkedChildWorks, 4 * kBoundMs) != 0) {
            s.fail("a child forked while the others worked did not work");
#endif
        }
    }
    if (session != nullptr) {
        CloseThreadWaitChainSession(session);
    }
    s.stop = true;
    for (const auto& v : s.victims) {  // resumed, if one was terminated while it held it
        threads.push_back(v.load()->thread);
        for (DWORD n = 2; n > 1 && n != 0xFFFFFFFF;) {
            n = ResumeThread(threads.back());
        }
    }
    if (WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE,
                               2 * kLongMs) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "seed %u: a thread did not end: a stuck wait or an unanswered send\n",
                     seed);
        std::abort();  // it still uses this frame
    }
    EXPECT_EQ(0, s.failures.load()) << s.firstFailure;
    EXPECT_EQ(0, s.odd.load());
    for (std::size_t i = 0; i < s.handles.size(); ++i) {  // every unit and mutex is back
        if (s.kinds[i] == Kind::Semaphore) {
            EXPECT_EQ(kSemMax, semaphoreCount(s.handles[i])) << i;
        } else if (s.kinds[i] == Kind::Mutex) {
            EXPECT_EQ(WAIT_OBJECT_0, pollMutexElsewhere(s.handles[i])) << i;
        }
    }
    // Every victim ended holding its graves: three takers race, one is told of each.
    std::atomic<int> told[kMaxVictims * 2] = {};
    auto take = [&] {
        for (int i = 0; i < made * 2; ++i) {
            const DWORD r = WaitForSingleObject(victims[i / 2].graves[i % 2], kBoundMs);
            told[i] += r == WAIT_ABANDONED ? 1 : 0;
            if (took(r)) {
                ReleaseMutex(victims[i / 2].graves[i % 2]);
            }
        }
    };
    std::thread takers[] = {std::thread(take), std::thread(take), std::thread(take)};
    for (std::thread& t : takers) {
        t.join();
    }
    for (int i = 0; i < made * 2; ++i) {
        EXPECT_EQ(victims[i / 2].graves[i % 2] != nullptr, told[i].load()) << "victim " << i / 2;
        CloseHandle(i % 2 == 0 ? victims[i / 2].thread : nullptr);
    }
    // A fresh thread still posts to itself, peeks and sends (to this thread, which serves it).
    MSG m{};
    const HWND window = newWindow();
    WaitProbe fresh([&] {
        MSG own{};
        return PostThreadMessageW(GetCurrentThreadId(), kPing, 0, 0) &&
                       PeekMessageW(&own, nullptr, 0, 0, PM_REMOVE)
                   ? static_cast<int>(SendMessageW(window, kPing, 0, 0))
                   : -1;
    });
    MsgWaitForMultipleObjects(0, nullptr, FALSE, kBoundMs, QS_SENDMESSAGE);
    PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
    EXPECT_EQ(kPong, fresh.result());
    for (int t = 0; t < kThreads; ++t) {
        CloseHandle(threads[t]);
    }
}

}  // namespace
}  // namespace davro::test
