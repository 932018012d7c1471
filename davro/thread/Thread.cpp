// YThread: creation with the start-up handshake, the start routine, suspension, waits for
// the end of one or several threads, priorities and the static helpers.
#include <davro/core/detail/MessagePump.h>
#include <davro/platform/detail/UniqueHandle.h>
#include <davro/thread/Thread.h>

#include <chrono>
#include <memory>
#include <utility>

using namespace davro::win32;
using davro::platform::UniqueHandle;

namespace {

constexpr unsigned int kResumeFailed = 0xFFFFFFFF;

// Before each wait of the start-up and before waitThread's wait the waiter yields the core
// while the object is not signalled, for at most this long. The scheduler mostly queues a
// new thread on its creator's core, where the thread that the wait is for can only run once
// the waiter gives up the core; and when the two run on different cores, a waiter that
// sleeps lets its (virtual) processor halt, and waking one costs some 15-20 us here. Either
// way a wait that sleeps at once adds a round trip through the scheduler to each of the
// handshake's steps. 50 us stays clear of that wake-up cost.
constexpr std::chrono::microseconds kHandshakeYieldTime{50};

// Filled by create() on its own stack. The new thread copies the three fields before it
// signals `started` and never touches the record again, so it may end with create().
struct ThreadStartup {
    YThread* thread;
    HANDLE started;
    HANDLE go;
};

// Only for objects that a successful wait does not change (manual-reset events, threads).
void yieldUntilSignalled(HANDLE h) {
    const auto end = std::chrono::steady_clock::now() + kHandshakeYieldTime;
    while (WaitForSingleObject(h, 0) == WAIT_TIMEOUT && std::chrono::steady_clock::now() < end) {
        Sleep(0);
    }
}

}  // namespace

YThread::YThread() : threadId(0) {}

YThread::YThread(const YString& displayName) : YSyncObject(displayName), threadId(0) {}

// The base duplicates the handle; the id is copied as it is now.
YThread::YThread(const YThread& other)
    : YSyncObject(other), threadId(other.threadId.load(std::memory_order_acquire)) {}

YThread& YThread::operator=(const YThread& other) {
    if (this != &other) {
        YSyncObject::operator=(other);
        threadId.store(other.threadId.load(std::memory_order_acquire), std::memory_order_release);
    }
    return *this;
}

YThread::~YThread() = default;

int YThread::create(unsigned int startTimeout, int createSuspended) {
    return createThread(startTimeout, true, createSuspended);
}

int YThread::create(int createSuspended) { return createThread(INFINITE, false, createSuspended); }

int YThread::createThread(unsigned int startTimeout, bool timed, int createSuspended) {
    // An earlier thread is left alone: only our handle to it goes.
    UniqueHandle(std::exchange(handle, nullptr)).reset(nullptr);
    threadId.store(0, std::memory_order_release);
    // Manual-reset, so that neither signal can be consumed by anyone but its one waiter.
    const UniqueHandle started(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!started || !go) {
        return 0;
    }
    ThreadStartup startup{this, started.get(), go.get()};
    unsigned id = 0;
    // Always created suspended: the id is stored before the thread can run and reset it.
    // Until the start has succeeded, the handle is also held here, to be closed on failure.
    UniqueHandle thread(reinterpret_cast<HANDLE>(  // NOLINT(performance-no-int-to-ptr)
        _beginthreadex(nullptr, 0, &YThread::threadEntry, &startup, CREATE_SUSPENDED, &id)));
    handle = thread.get();
    threadId.store(thread ? id : 0, std::memory_order_release);
    const auto fail = [this] {
        handle = nullptr;
        threadId.store(0, std::memory_order_release);
        return 0;
    };
    if (!thread || (resume() == kResumeFailed && !timed)) {
        return fail();  // left suspended, the thread never reads the record
    }
    // A plain kernel wait: the deadlock watchdog is for waits on objects, not for this.
    if (startTimeout != 0) {
        yieldUntilSignalled(started.get());
    }
    const DWORD result = WaitForSingleObject(started.get(), startTimeout);
    if (timed && (result == WAIT_TIMEOUT || result == WAIT_FAILED)) {
        TerminateThread(thread.get(), 0);
        return fail();
    }
    thread.release();  // ours for good, in `handle`
    if (createSuspended == 1) {
        suspend();
    }
    SetEvent(go.release());  // the thread closes it
    return 1;
}

unsigned YThread::threadEntry(void* argument) {
    const auto* startup = static_cast<const ThreadStartup*>(argument);
    YThread* const self = startup->thread;
    const HANDLE started = startup->started;
    const HANDLE go = startup->go;
    SetEvent(started);  // from here on the record may be gone
    yieldUntilSignalled(go);
    WaitForSingleObject(go, INFINITE);
    CloseHandle(go);
    const int result = self->run();
    self->threadId.store(0, std::memory_order_release);
    return static_cast<unsigned>(result);
}

unsigned int YThread::resume() { return ResumeThread(handle); }

unsigned int YThread::suspend() { return SuspendThread(handle); }

int YThread::waitThread(unsigned int timeout) {
    const unsigned int id = getThreadId();
    if (id == getCurrentThreadId()) {
        return -1;  // a thread never waits for its own end
    }
    if (id == 0) {
        return 0;
    }
    if (timeout != 0) {
        yieldUntilSignalled(handle);  // a short run() ends here, without a kernel sleep
    }
    return YSyncObject::lock(timeout);  // the base's own wait, not a derived lock()
}

unsigned int YThread::getThreadId() const { return threadId.load(std::memory_order_acquire); }

unsigned int YThread::getCurrentThreadId() { return GetCurrentThreadId(); }

void YThread::sleep(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

int YThread::dispatchMessages(int timeout) { return davro::detail::dispatchMessages(timeout); }

int YThread::waitThreads(YThread* const* threads, int count, int waitAll, unsigned int timeout) {
    // new[] with a negative count throws std::bad_array_new_length, a std::bad_alloc.
    const std::unique_ptr<YSyncObject*[]> kept(new YSyncObject*[count]);
    const unsigned int self = getCurrentThreadId();
    int n = 0;
    for (int i = 0; i < count; ++i) {
        YThread* t = threads[i];
        if (t == nullptr) {
            continue;
        }
        const unsigned int id = t->getThreadId();
        if (id != self && id != 0) {
            kept[n++] = t;
        }
    }
    if (n == 0) {
        return 0;
    }
    return lockMultiple(kept.get(), n, waitAll, timeout);
}

int YThread::unlock() { return 0; }

void YThread::setIdlePriority() { SetThreadPriority(handle, THREAD_PRIORITY_IDLE); }
void YThread::setLowestPriority() { SetThreadPriority(handle, THREAD_PRIORITY_LOWEST); }
void YThread::setBelowNormalPriority() { SetThreadPriority(handle, THREAD_PRIORITY_BELOW_NORMAL); }
void YThread::setNormalPriority() { SetThreadPriority(handle, THREAD_PRIORITY_NORMAL); }
void YThread::setAboveNormalPriority() { SetThreadPriority(handle, THREAD_PRIORITY_ABOVE_NORMAL); }
void YThread::setHighestPriority() { SetThreadPriority(handle, THREAD_PRIORITY_HIGHEST); }
void YThread::setTimeCriticalPriority() {
    SetThreadPriority(handle, THREAD_PRIORITY_TIME_CRITICAL);
}
