// A deadlock found from inside the program: two threads take two mutexes in opposite orders,
// and GetThreadWaitChain shows the cycle that holds them. One of the two waits also ends on
// a "give up" event, so that the example can end.
#include <davro/platform/Win32.h>
#include <davro/primitives/Event.h>
#include <davro/primitives/Mutex.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

using namespace davro::win32;

namespace {

// Takes the wait chain of thread `id` until it shows a cycle (five seconds at most), prints
// it and returns whether it was one.
bool showCycle(HWCT session, DWORD id) {
    WAITCHAIN_NODE_INFO nodes[WCT_MAX_NODE_COUNT];
    DWORD count = 0;
    BOOL cycle = FALSE;
    for (int look = 0; look < 500 && !cycle; ++look) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        count = WCT_MAX_NODE_COUNT;
        if (!GetThreadWaitChain(session, 0, 0, id, &count, nodes, &cycle)) {
            std::printf("GetThreadWaitChain failed: error %lu\n",
                        static_cast<unsigned long>(GetLastError()));
            return false;
        }
    }
    // Threads and what they wait for alternate: thread, object, the object's owner, ...
    for (DWORD i = 0; i < count; ++i) {
        const WAITCHAIN_NODE_INFO& node = nodes[i];
        if (node.ObjectType == WctThreadType) {
            std::printf("%sthread %lu (%s)", i == 0 ? "" : " -> ",
                        static_cast<unsigned long>(node.ThreadObject.ThreadId),
                        node.ObjectStatus == WctStatusBlocked ? "blocked" : "running");
        } else {
            std::printf(" -> %s (%s)", node.ObjectType == WctMutexType ? "mutex" : "other object",
                        node.ObjectStatus == WctStatusOwned ? "owned" : "not owned");
        }
    }
    std::printf("\n");
    std::printf(cycle ? "a cycle: deadlock\n" : "no cycle\n");
    return cycle != FALSE;
}

}  // namespace

int main() {
    HWCT session = OpenThreadWaitChainSession(0, nullptr);  // a synchronous session
    if (session == nullptr) {
        // Wine, for one, has no wait chain traversal (ERROR_NOT_SUPPORTED).
        std::printf("no wait chain traversal here: error %lu\n",
                    static_cast<unsigned long>(GetLastError()));
        return 0;
    }
    YMutex first(L"first");
    YMutex second(L"second");
    YManualEventObject firstHeld;
    YManualEventObject secondHeld;
    YManualEventObject giveUp;
    std::atomic<DWORD> id{0};

    std::thread one([&] {
        first.lock(INFINITE);
        id = GetCurrentThreadId();
        firstHeld.signal();
        secondHeld.wait(5000);
        second.lock(INFINITE);  // held by the other thread, which waits for `first`
        second.unlock();
        first.unlock();
    });
    std::thread other([&] {
        second.lock(INFINITE);
        secondHeld.signal();
        firstHeld.wait(5000);
        YSyncObject* const firstOrGiveUp[] = {&first, &giveUp};
        if (YSyncObject::lockMultiple(firstOrGiveUp, 2, 0, 10000) == 0) {
            first.unlock();
        }
        second.unlock();  // once given up: now `one` gets it
    });
    firstHeld.wait(5000);
    const bool deadlock = showCycle(session, id);
    giveUp.signal();
    one.join();
    other.join();
    CloseThreadWaitChainSession(session);
    return deadlock ? 0 : 1;
}
