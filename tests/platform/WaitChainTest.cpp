// Wait chain traversal: GetThreadWaitChain from a blocked thread through what it waits for to
// the owners, on mutexes (cycles of two and three threads), named mutexes, critical sections,
// thread handles and events, and while sessions come and go on busy threads. Where the
// system has no wait chain traversal (Wine answers ERROR_NOT_SUPPORTED) the tests skip.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "PlatformTestSupport.h"
#include "TestSupport.h"

namespace davro::test {
namespace {

struct Chain {
    BOOL whole = FALSE;
    DWORD error = 0;
    DWORD count = 0;
    BOOL cycle = 7;  // a sentinel: every call that fills nodes sets it
    WAITCHAIN_NODE_INFO nodes[WCT_MAX_NODE_COUNT] = {};
};

Chain chainOf(DWORD threadId, DWORD room = WCT_MAX_NODE_COUNT) {
    Chain c;
    HWCT session = OpenThreadWaitChainSession(0, nullptr);
    c.count = room;
    c.whole = GetThreadWaitChain(session, 0, 0, threadId, &c.count, c.nodes, &c.cycle);
    c.error = c.whole ? 0 : GetLastError();
    CloseThreadWaitChainSession(session);
    return c;
}

// The chain of `threadId` once it has `count` nodes (and a cycle, if `cycle`), polled for at
// most kBoundMs: the threads of a test block in their own time.
Chain chainWhen(DWORD threadId, DWORD count, bool cycle = false) {
    Chain c;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    do {
        c = chainOf(threadId);
        if (c.whole && c.count == count && (c.cycle != FALSE) == cycle) {
            break;
        }
        std::this_thread::sleep_for(1ms);  // polling the state under test, not ordering
    } while (std::chrono::steady_clock::now() < deadline);
    return c;
}

#define DAVRO_REQUIRE_WAIT_CHAINS()                                               \
    if (HWCT probe = OpenThreadWaitChainSession(0, nullptr); probe == nullptr) {  \
        GTEST_SKIP() << "no wait chain traversal here: error " << GetLastError(); \
    } else                                                                        \
        CloseThreadWaitChainSession(probe)

// Expects node `i` to be of `type` in `status`; a thread node also of this process and `id`.
void expectNode(const Chain& c, DWORD i, WCT_OBJECT_TYPE type, WCT_OBJECT_STATUS status,
                DWORD id = 0) {
    SCOPED_TRACE(testing::Message() << "node " << i);
    ASSERT_LT(i, c.count);
    EXPECT_EQ(type, c.nodes[i].ObjectType);
    EXPECT_EQ(status, c.nodes[i].ObjectStatus);
    if (type == WctThreadType) {
        EXPECT_EQ(GetCurrentProcessId(), c.nodes[i].ThreadObject.ProcessId);
        EXPECT_EQ(id, c.nodes[i].ThreadObject.ThreadId);
    }
}

// Runs `body` on a thread of its own and returns once the thread has given its id.
std::thread startNamed(std::atomic<DWORD>& id, std::function<void()> body) {
    std::thread t([&id, body] {
        id = GetCurrentThreadId();
        body();
    });
    while (id == 0) {
        std::this_thread::yield();
    }
    return t;
}

HANDLE startThread(unsigned (*routine)(void*), void* argument, unsigned* id = nullptr) {
    return reinterpret_cast<HANDLE>(  // NOLINT(performance-no-int-to-ptr)
        _beginthreadex(nullptr, 0, routine, argument, 0, id));
}

// Thread i holds mutex i and waits for mutex i+1 (mod n), so the chain from thread 1 runs
// 1, 2, ..., 0 and back to 1. Thread 0's wait is a wait-any with `stop`, which breaks the
// cycle at the end: thread 0 gives its mutex up and the others follow.
TEST(WaitChainTest, MutexCyclesOfTwoAndThreeThreadsComeBackToTheFirstThread) {
    DAVRO_REQUIRE_WAIT_CHAINS();
    for (const DWORD n : {2u, 3u}) {
        SCOPED_TRACE(testing::Message() << n << " threads");
        Handles hs;
        std::vector<HANDLE> mutexes;
        for (DWORD i = 0; i < n; ++i) {
            mutexes.push_back(hs.mutex());
        }
        HANDLE stop = hs.event(TRUE);
        std::atomic<DWORD> holding{0};
        std::vector<std::atomic<DWORD>> ids(n);
        std::vector<std::thread> threads;
        for (DWORD i = 0; i < n; ++i) {
            threads.emplace_back([&, i] {
                WaitForSingleObject(mutexes[i], kBoundMs);
                ids[i] = GetCurrentThreadId();
                for (++holding; holding < n;) {
                    std::this_thread::yield();  // until every thread holds its mutex
                }
                HANDLE next[] = {mutexes[(i + 1) % n], stop};
                if (WaitForMultipleObjects(i == 0 ? 2 : 1, next, FALSE, kBoundMs) == 0) {
                    ReleaseMutex(next[0]);
                }
                ReleaseMutex(mutexes[i]);
            });
        }
        while (holding < n) {
            std::this_thread::yield();
        }
        const Chain c = chainWhen(ids[1], 2 * n + 1, true);
        SetEvent(stop);
        for (std::thread& t : threads) {
            t.join();
        }
        ASSERT_TRUE(c.whole) << c.error;
        EXPECT_TRUE(c.cycle);
        for (DWORD k = 0; k <= n; ++k) {
            expectNode(c, 2 * k, WctThreadType, WctStatusBlocked, ids[(1 + k) % n]);
            if (k < n) {
                expectNode(c, 2 * k + 1, WctMutexType, WctStatusOwned);
            }
        }
#ifndef _WIN32
        // Ours: which object of a wait on several the chain follows.
        EXPECT_STREQ(L"", c.nodes[1].LockObject.ObjectName);
        EXPECT_STREQ(L"[1 of 2, wait-any]", c.nodes[2 * n - 1].LockObject.ObjectName);
#endif
    }
}

// The chain of a thread that waits for a named mutex names the mutex and its owner, and ends
// where the owner waits for an event (nobody owns one); a thread handle and a critical section
// appear as nodes of their own, on the way to a thread that runs. Then too little room, the
// caller's own chain and bad arguments.
TEST(WaitChainTest, ChainsPassNamedMutexesSectionsAndThreadHandlesToAnEventOrARunningThread) {
    DAVRO_REQUIRE_WAIT_CHAINS();
    Handles hs;
    const std::wstring name = uniqueName(L"wait-chain");
    HANDLE named = hs.mutex(FALSE, name.c_str());
    HANDLE release = hs.event(TRUE);
    std::atomic<DWORD> owner{0};
    std::atomic<DWORD> namedWaiter{0};
    std::atomic<DWORD> joiner{0};
    std::thread holder = startNamed(owner, [&] {
        WaitForSingleObject(named, kBoundMs);
        WaitForSingleObject(release, kBoundMs);
        ReleaseMutex(named);
    });
    chainWhen(owner, 2);
    std::thread onNamed = startNamed(namedWaiter, [&] {
        if (WaitForSingleObject(named, kBoundMs) == WAIT_OBJECT_0) {
            ReleaseMutex(named);
        }
    });
    // A thread of _beginthreadex (a handle to wait for) blocks on a section that this thread
    // holds, and another thread waits for that thread's end.
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    unsigned entrantId = 0;
    auto enterAndLeave = [](void* cs) -> unsigned {
        EnterCriticalSection(static_cast<CRITICAL_SECTION*>(cs));
        LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(cs));
        return 0;
    };
    HANDLE entrant = hs.add(startThread(enterAndLeave, &section, &entrantId));
    std::thread onHandle = startNamed(joiner, [&] { WaitForSingleObject(entrant, kBoundMs); });
    const Chain toOwner = chainWhen(namedWaiter, 4);
    const Chain toMe = chainWhen(joiner, 5);
    const Chain cut = chainOf(joiner, 2);
    LeaveCriticalSection(&section);
    SetEvent(release);
    for (std::thread* t : {&holder, &onNamed, &onHandle}) {
        t->join();
    }
    DeleteCriticalSection(&section);

    expectNode(toOwner, 0, WctThreadType, WctStatusBlocked, namedWaiter);
    expectNode(toOwner, 1, WctMutexType, WctStatusOwned);
    const std::wstring shown = toOwner.nodes[1].LockObject.ObjectName;
    EXPECT_NE(std::wstring::npos, shown.find(name)) << "the kernel name ends with ours";
    expectNode(toOwner, 2, WctThreadType, WctStatusBlocked, owner);
    expectNode(toOwner, 3, WctUnknownType, WctStatusUnknown);  // the event
    expectNode(toMe, 0, WctThreadType, WctStatusBlocked, joiner);
    expectNode(toMe, 1, WctThreadWaitType, WctStatusOwned);
    expectNode(toMe, 2, WctThreadType, WctStatusBlocked, entrantId);
    expectNode(toMe, 3, WctCriticalSectionType, WctStatusOwned);
    expectNode(toMe, 4, WctThreadType, WctStatusRunning, GetCurrentThreadId());
    EXPECT_FALSE(toOwner.cycle || toMe.cycle);
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), cut.error);
    EXPECT_EQ(5u, cut.count);                               // the nodes needed
    expectNode(cut, 1, WctThreadWaitType, WctStatusOwned);  // the nodes that fitted

    const Chain self = chainOf(GetCurrentThreadId());
    EXPECT_EQ(1u, self.count);
    expectNode(self, 0, WctThreadType, WctStatusRunning, GetCurrentThreadId());
    const Chain tooMany = chainOf(GetCurrentThreadId(), WCT_MAX_NODE_COUNT + 1);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), tooMany.error);
    EXPECT_EQ(7, tooMany.cycle);
#ifndef _WIN32
    EXPECT_EQ(static_cast<DWORD>(ERROR_OBJECT_NOT_FOUND), chainOf(0xFFFFFFF0).error);
    DAVRO_EXPECT_ERROR(nullptr, ERROR_NOT_SUPPORTED,
                       OpenThreadWaitChainSession(WCT_ASYNC_OPEN_FLAG, nullptr));
#endif
}

// An id that names no thread of the process fails, as any unknown id does; 0 too, also while
// other threads end and give their contexts back.
TEST(WaitChainTest, IdsOfNoThreadFailAlsoWhileThreadsEnd) {
    DAVRO_REQUIRE_WAIT_CHAINS();
    std::atomic<bool> done{false};
    std::vector<std::thread> enders;
    for (int i = 0; i < 2; ++i) {
        enders.emplace_back([&] {
            for (int k = 0; k < 1000 && !done; ++k) {
                HANDLE t = startThread([](void*) -> unsigned { return 0; }, nullptr);
                WaitForSingleObject(t, kBoundMs);
                CloseHandle(t);
                std::thread([] { WaitForSingleObject(GetCurrentThread(), 0); }).join();
            }
        });
    }
    HWCT session = OpenThreadWaitChainSession(0, nullptr);
    int found = 0;
    int otherErrors = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < end && found == 0) {
        for (const DWORD id : {0u, 0xFFFFFFF0u}) {
            Chain c;
            c.count = WCT_MAX_NODE_COUNT;
            if (GetThreadWaitChain(session, 0, 0, id, &c.count, c.nodes, &c.cycle)) {
                ++found;
#ifndef _WIN32
            } else if (GetLastError() != ERROR_OBJECT_NOT_FOUND) {
                ++otherErrors;
#endif
            }
        }
    }
    done = true;
    for (std::thread& t : enders) {
        t.join();
    }
    CloseThreadWaitChainSession(session);
    EXPECT_EQ(0, found);
    EXPECT_EQ(0, otherErrors);
}

#ifndef _WIN32
// A forked child renumbers its thread: a critical section that it enters there, and one that
// it held across the fork, name its own id in the child, not its parent thread's.
TEST(WaitChainTest, AForkedChildsSectionsNameItsOwnThread) {
    DAVRO_REQUIRE_WAIT_CHAINS();
    CRITICAL_SECTION before;
    InitializeCriticalSection(&before);
    EnterCriticalSection(&before);  // held across the fork, and this thread's owner id made
    const int failures = runForked(
        [&] {
            CRITICAL_SECTION after;
            InitializeCriticalSection(&after);
            EnterCriticalSection(&after);
            int wrong = 0;
            for (CRITICAL_SECTION* section : {&after, &before}) {
                std::atomic<DWORD> id{0};
                std::thread entrant = startNamed(id, [section] {
                    EnterCriticalSection(section);
                    LeaveCriticalSection(section);
                });
                const Chain c = chainWhen(id, 3);
                LeaveCriticalSection(section);
                entrant.join();
                const WAITCHAIN_NODE_INFO& owner = c.nodes[2];
                wrong += c.whole && c.count == 3 && owner.ObjectType == WctThreadType &&
                                 owner.ObjectStatus == WctStatusRunning &&
                                 owner.ThreadObject.ThreadId == GetCurrentThreadId() &&
                                 owner.ThreadObject.ProcessId == GetCurrentProcessId()
                             ? 0
                             : 1;
            }
            DeleteCriticalSection(&after);
            return wrong;
        },
        4 * kBoundMs);
    LeaveCriticalSection(&before);
    DeleteCriticalSection(&before);
    EXPECT_EQ(0, failures);
}
#endif

// Four threads released together: two take two mutexes and a critical section in one order
// and now and then wait for a short-lived thread, blocking and waking all the time; two open
// sessions and walk the chains of the first two meanwhile. Every chain must start at the
// thread asked for, alternate threads and objects, and fit its count.
TEST(WaitChainTest, ChainsStayWellFormedWhileThreadsBlockAndWake) {
    DAVRO_REQUIRE_WAIT_CHAINS();
    Handles hs;
    HANDLE go = hs.event(TRUE);
    HANDLE first = hs.mutex();
    HANDLE second = hs.mutex();
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    std::atomic<bool> done{false};
    std::atomic<DWORD> busy[2] = {};
    std::atomic<int> wellFormed{0};
    std::vector<std::thread> threads;
    for (std::atomic<DWORD>& id : busy) {
        threads.push_back(startNamed(id, [&] {
            WaitForSingleObject(go, kBoundMs);
            for (int i = 0; !done; ++i) {
                WaitForSingleObject(first, kBoundMs);
                WaitForSingleObject(second, kBoundMs);
                EnterCriticalSection(&section);
                LeaveCriticalSection(&section);
                ReleaseMutex(second);
                ReleaseMutex(first);
                if (i % 16 == 0) {  // a thread whose record goes while it may be walked
                    HANDLE t = startThread([](void*) -> unsigned { return 0; }, nullptr);
                    WaitForSingleObject(t, kBoundMs);
                    CloseHandle(t);
                }
            }
        }));
    }
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            WaitForSingleObject(go, kBoundMs);
            for (int i = 0; i < 1000; ++i) {
                const Chain c = chainOf(busy[i % 2]);
                bool ok =
                    c.whole && c.count >= 1 && c.nodes[0].ThreadObject.ThreadId == busy[i % 2];
                for (DWORD k = 0; ok && k < c.count; ++k) {
                    ok = (c.nodes[k].ObjectType == WctThreadType) == (k % 2 == 0);
                }
                wellFormed += ok ? 1 : 0;
            }
        });
    }
    SetEvent(go);
    threads[2].join();
    threads[3].join();
    done = true;
    threads[0].join();
    threads[1].join();
    DeleteCriticalSection(&section);
    EXPECT_EQ(2000, wellFormed);
}

}  // namespace
}  // namespace davro::test
