// Internals of the Linux kernel-object layer: object memory, the handle table, per-thread
// wait state and the hooks that the thread and message-queue code plug into.
// DESIGN.md in this folder explains how the pieces fit.
#pragma once

#include <davro/platform/Win32.h>

#include <atomic>
#include <cstdint>

namespace davro::win32::detail {

// What an object is. Stored in the object and read with relaxed loads: a stale handle may
// look at memory that was recycled into an object of another kind, and every fast path
// double-checks the incarnation before it changes anything.
enum class Kind : std::uint8_t {
    Free,
    Mutex,
    ManualEvent,
    AutoEvent,
    Semaphore,
    NamedMutex,  // state lives in shared memory (NamedMutex.cpp)
    Process,     // GetCurrentProcess(): never signalled while we run
    Thread,      // signalled once the thread has ended (threads code, later)
};

// The state word of an object: [incarnation:16][lock:1][waiters:1][payload:46].
//   incarnation  bumped when the object dies, so a compare-and-swap made through a stale
//                handle can never change the object that now occupies the memory;
//   lock         the object's own spin lock, held while its waiter queue is used;
//   waiters      the waiter queue is not empty, so a signal must take the slow path;
//   payload      mutex: owner thread id (22 bits) and the abandoned flag;
//                events and threads: bit 0 = signalled; semaphore: the count.
namespace word {
inline constexpr std::uint64_t kIncShift = 48;
inline constexpr std::uint64_t kLock = std::uint64_t{1} << 47;
inline constexpr std::uint64_t kWaiters = std::uint64_t{1} << 46;
inline constexpr std::uint64_t kPayload = kWaiters - 1;
inline constexpr std::uint64_t kOwner = (std::uint64_t{1} << 22) - 1;
inline constexpr std::uint64_t kAbandoned = std::uint64_t{1} << 22;
inline constexpr std::uint64_t kSignalled = 1;
inline constexpr std::uint32_t incarnation(std::uint64_t w) {
    return static_cast<std::uint32_t>(w >> kIncShift);
}
}  // namespace word

struct WaitEntry;
struct ThreadState;
struct NamedMutexShared;

// One kernel object. Objects live in a type-stable pool (Handles.cpp): their memory is
// never returned to the system, only recycled into new objects, so a stale pointer read
// from the handle table always points at an Object.
struct alignas(64) Object {
    std::atomic<std::uint64_t> state{0};
    std::atomic<std::uint32_t> refs{0};     // handles + waits in progress
    std::atomic<std::uint32_t> allHint{0};  // wait-all waiters queued or registering
    std::atomic<Kind> kind{Kind::Free};
    std::uint32_t index = 0;      // own position in the pool
    std::uint32_t recursion = 0;  // mutex: written only by the owner (or for it, under lock)
    std::int32_t maximum = 0;     // semaphore: maximum count
    std::uint32_t nextFree = 0;   // pool free list
    WaitEntry* head = nullptr;    // waiter queue, FIFO, guarded by the lock bit
    WaitEntry* tail = nullptr;
    union {                                 // read only for the kind that owns it
        NamedMutexShared* named = nullptr;  // named mutex: the shared record
        void* extra;                        // thread: its ThreadRecord
    };
};
// One cache line: a field more would make it two (alignas rounds the size up to 128).
static_assert(sizeof(Object) == 64, "an object must fit one cache line");

// ---- Object pool and handle table (Handles.cpp) ----

// A new object of `kind` with one reference and state `payload` (incarnation added), or
// null when the pool is exhausted.
Object* newObject(Kind kind, std::uint64_t payload);
// A handle for `object`, taking over one reference; null when the table is full.
HANDLE newHandle(Object* object);
// Adds a reference. The caller must already hold one (or otherwise know the object alive).
void addRef(Object* object);
// Adds a reference if the object is alive and still the incarnation given; false otherwise.
bool tryAddRef(Object* object, std::uint32_t incarnation);
// Drops a reference; the last one destroys the object (kind-specific clean-up, then the
// incarnation is bumped and the memory goes back to the pool).
void release(Object* object);

// A handle looked up without taking a reference: the object and the incarnation that the
// handle refers to. Fast paths act only through compare-and-swaps that check `incarnation`.
struct Resolved {
    Object* object;
    std::uint32_t incarnation;
    Kind kind;
};

// ---- Handle values and the two tables (defined in Handles.cpp) ----
// A handle is (generation << 26) | ((slot + 1) << 2): never 0, never negative (so never
// INVALID_HANDLE_VALUE or a pseudo-handle), a multiple of 4 as on Windows. The slot word
// holds [generation:24][incarnation:16][object index + 1:24]; closing a handle bumps the
// generation, so the old value never resolves again until 2^24 reuses of that slot.
namespace handle {
inline constexpr unsigned kSlotBits = 24;
inline constexpr unsigned kGenBits = 24;
inline constexpr std::uint64_t kSlotMask = (std::uint64_t{1} << kSlotBits) - 1;
inline constexpr std::uint64_t kGenMask = (std::uint64_t{1} << kGenBits) - 1;
inline constexpr unsigned kHandleGenShift = 2 + kSlotBits;
inline constexpr unsigned kSlotGenShift = 40;
inline constexpr unsigned kSlotIncShift = 24;
inline constexpr std::uint32_t kChunkBits = 12;
inline constexpr std::uint32_t kChunkSize = 1u << kChunkBits;
inline constexpr std::uint32_t kMaxEntries = (1u << kSlotBits) - 1;  // index + 1 fits
inline constexpr std::uint32_t kChunks = (kMaxEntries >> kChunkBits) + 1;
}  // namespace handle

// A grow-only array of T in chunks; `at` is lock-free. Constant-initialised and trivially
// destructible, so it is usable at any time, also while the process exits.
template <typename T>
class ChunkedArray {
public:
    // Element i, which must be below size().
    T* at(std::uint32_t i) const {
        return &chunks_[i >> handle::kChunkBits].load(
            std::memory_order_acquire)[i & (handle::kChunkSize - 1)];
    }
    std::uint32_t size() const { return size_.load(std::memory_order_acquire); }
    // Appends one element (callers serialise); kMaxEntries when full or out of memory.
    std::uint32_t grow();

private:
    std::atomic<T*> chunks_[handle::kChunks] = {};
    std::atomic<std::uint32_t> size_{0};
};

// A handle slot: its word, and the object that the word names, stored (release) before the
// word is published, so that a lookup reaches the object without going through the pool's
// chunk table. A slot reused after its word was read may show a newer object: resolve()
// checks the object's own index against the word's.
struct Slot {
    std::atomic<std::uint64_t> word{0};
    std::atomic<Object*> object{nullptr};
};

extern ChunkedArray<Object> gObjects;
extern ChunkedArray<Slot> gSlots;

inline bool isPseudoHandle(HANDLE h) {
    const auto v = reinterpret_cast<std::intptr_t>(h);
    return v == -1 || v == -2;
}

// Decodes a handle value to its slot; false if the value cannot be one of ours.
inline bool decodeHandle(HANDLE h, std::uint32_t& slot, std::uint64_t& gen) {
    const auto v = reinterpret_cast<std::uintptr_t>(h);
    if ((v & 3) != 0 || (v >> (handle::kHandleGenShift + handle::kGenBits)) != 0) {
        return false;
    }
    const auto slot1 = static_cast<std::uint32_t>((v >> 2) & handle::kSlotMask);
    if (slot1 == 0 || slot1 - 1 >= gSlots.size()) {
        return false;
    }
    slot = slot1 - 1;
    gen = (v >> handle::kHandleGenShift) & handle::kGenMask;
    return true;
}

// GetCurrentProcess() (-1) resolves to the process object, GetCurrentThread() (-2) to the
// calling thread's object (Threads.cpp); kind Free when there is none. Returned by value,
// so that an inlined resolve() keeps its result in registers.
Resolved resolvePseudo(HANDLE h);

// Looks a handle up; false for null, closed, stale or garbage values (never dereferences a
// value that is out of the table's range). Pseudo-handles resolve to the process object.
inline bool resolve(HANDLE h, Resolved& out) {
    std::uint32_t slot;
    std::uint64_t gen;
    if (!decodeHandle(h, slot, gen)) {
        if (!isPseudoHandle(h)) {
            return false;
        }
        out = resolvePseudo(h);
        return out.kind != Kind::Free;
    }
    const Slot* s = gSlots.at(slot);
    const std::uint64_t w = s->word.load(std::memory_order_acquire);
    Object* o = s->object.load(std::memory_order_acquire);
    const auto obj1 = static_cast<std::uint32_t>(w & handle::kSlotMask);
    if ((w >> handle::kSlotGenShift) != gen || obj1 == 0 || o->index != obj1 - 1) {
        return false;
    }
    out.object = o;
    out.incarnation = static_cast<std::uint32_t>((w >> handle::kSlotIncShift) & 0xFFFF);
    out.kind = o->kind.load(std::memory_order_relaxed);
    return out.kind != Kind::Free;
}

// Looks a handle up and takes a reference; false as for resolve().
Object* acquireRef(HANDLE handle);

// The object behind GetCurrentProcess().
Object* processObject();

// ---- Per-thread state (Waits.cpp) ----

inline constexpr std::uint32_t kStatusWaiting = 0xFFFFFFF0u;   // registered, maybe spinning
inline constexpr std::uint32_t kStatusSleeping = 0xFFFFFFF1u;  // in futex wait: wake needed
// Stopped by SuspendThread in its sleep: taken out of the wait, so no signaller can hand
// it anything until it is resumed and rejoins (withdrawWait / rejoinWait).
inline constexpr std::uint32_t kStatusSuspended = 0xFFFFFFF2u;
// Still waiting, but a release has freed a mutex and taken this waiter off that mutex's
// queue (WaitEntry::woken): the waiter must look at the mutex again, taking it or queueing
// anew, or pass the wake on if its wait ends otherwise. Claimable like kStatusWaiting.
inline constexpr std::uint32_t kStatusRetry = 0xFFFFFFF3u;

// One queue link per object of a wait.
struct WaitEntry {
    WaitEntry* prev = nullptr;
    WaitEntry* next = nullptr;
    ThreadState* waiter = nullptr;
    Object* object = nullptr;
    std::uint32_t index = 0;
    // Guarded by the object's lock bit.
    bool linked = false;
    bool woken = false;    // unlinked by a mutex release that asked the waiter to retry
    bool handoff = false;  // the waiter has retried too long: the next release hands over
};

// An owned in-process mutex, for abandonment when the thread ends.
struct OwnedMutex {
    Object* object;
    std::uint32_t incarnation;
};

// The in-process mutexes that one thread owns. Only that thread touches it (or the threads
// code while the thread is stopped for good). Push and remove are a few plain stores: the
// last acquired mutex is usually the first released.
class OwnedList {
public:
    OwnedList() = default;
    OwnedList(const OwnedList&) = delete;
    OwnedList& operator=(const OwnedList&) = delete;
    ~OwnedList() {
        if (items_ != inline_) {
            delete[] items_;
        }
    }
    void push(Object* object, std::uint32_t incarnation) {
        if (count_ == capacity_) {
            grow();
        }
        items_[count_++] = {object, incarnation};
    }
    void remove(Object* object) {
        for (std::uint32_t i = count_; i-- > 0;) {
            if (items_[i].object == object) {
                items_[i] = items_[--count_];
                return;
            }
        }
    }
    bool empty() const { return count_ == 0; }
    OwnedMutex pop() { return items_[--count_]; }
    void clear() { count_ = 0; }

private:
    void grow() {
        auto* bigger = new OwnedMutex[capacity_ * 2];
        for (std::uint32_t i = 0; i < count_; ++i) {
            bigger[i] = items_[i];
        }
        if (items_ != inline_) {
            delete[] items_;
        }
        items_ = bigger;
        capacity_ *= 2;
    }

    OwnedMutex inline_[16] = {};
    OwnedMutex* items_ = inline_;
    std::uint32_t count_ = 0;
    std::uint32_t capacity_ = 16;
};

// Wait state of one thread. Pooled and never freed, so a late futex wake or nudge aimed at
// a thread that has gone lands on valid memory and is only a spurious wake-up.
struct ThreadState {
    // The futex word of the current wait: kStatusWaiting/kStatusSleeping while waiting,
    // otherwise the wait's result, written by whoever satisfied it.
    std::atomic<std::uint32_t> status{0};
    std::uint32_t tid = 0;
    std::uint32_t count = 0;
    std::int64_t firstRetry = 0;  // monotonic ns of the current wait's first retry, 0: none
    bool waitAll = false;
    // MsgWaitForMultipleObjects: the wake mask while in such a wait, 0 otherwise.
    std::atomic<DWORD> inputMask{0};
    WaitEntry entries[MAXIMUM_WAIT_OBJECTS];
    OwnedList owned;
    ThreadState* nextFree = nullptr;
};

// The calling thread's state, created on first use; its destructor hook runs when the
// thread ends and abandons the mutexes that it still owns.
ThreadState* currentThreadState();
// The calling thread's id (gettid(), cached; corrected in a forked child).
std::uint32_t currentThreadId();
// Abandons every in-process mutex still owned by `thread`. Called on the thread itself at
// its end; the threads code may call it for a thread that it has stopped for good.
void abandonOwnedMutexes(ThreadState* thread);

// Marks a Thread-kind object as ended (signalled for ever) and wakes its waiters.
void signalForever(Object* object);

// ---- Hooks for the message queue ----

// The message queue installs a probe that tells whether the calling thread's queue holds
// input that matches a MsgWaitForMultipleObjects wake mask. Without one, there is no input.
using InputProbe = bool (*)(DWORD wakeMask);
void setInputProbe(InputProbe probe);
// Called by the queue after it has added input for `thread` (from any thread; the input
// must be published with a seq_cst atomic operation first): a thread in
// MsgWaitForMultipleObjects wakes up and runs the probe again. Harmless at any other time.
void notifyInput(ThreadState* thread);
// The wait-any of MsgWaitForMultipleObjects (MessageQueue.cpp defines the function itself):
// WAIT_OBJECT_0 + count when the probe finds input of `wakeMask`, otherwise as
// WaitForMultipleObjects; count may be 0.
DWORD waitObjectsOrInput(DWORD count, const HANDLE* handles, DWORD milliseconds, DWORD wakeMask);

// ---- Named mutexes (NamedMutex.cpp) ----
HANDLE createNamedMutex(BOOL initialOwner, LPCWSTR name, bool openOnly);
// Lock attempts on a named mutex: WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT or
// WAIT_FAILED. `deadlineNs` is on CLOCK_MONOTONIC; -1 = no limit; 0 = try only.
DWORD lockNamedMutex(Object* object, std::int64_t deadlineNs);
BOOL unlockNamedMutex(Object* object);
void destroyNamedMutex(Object* object);

// ---- Threads (Threads.cpp, Suspend.cpp) ----

// The calling thread's Thread-kind object (created on first use for a thread that the
// layer did not start); null only when out of memory. No reference is added.
Object* currentThreadObject();
// Frees the thread record of a Thread-kind object whose last reference has gone.
void destroyThread(Object* object);
// Finishes, on the thread itself, a blocking wait that it left from its sleep because it
// was terminated: the wait ends as failed unless it had been satisfied already (a mutex
// handed over is then recorded as owned, to be abandoned), its queue entries are removed
// and the references that its caller held on the objects are dropped. Waits.cpp.
void abandonWait(ThreadState* thread);
// A thread suspended in the sleep of its wait leaves the wait while it is stopped, as on
// Windows: withdrawWait makes it unclaimable (false if the wait was decided already) and
// passes on a mutex retry request that it has not answered, and rejoinWait, once it is
// resumed, makes it claimable again, takes what became signalled meanwhile (those signals
// passed it by) and queues again where a release took its entries off. Both run on the
// thread itself. Waits.cpp.
bool withdrawWait(ThreadState* thread);
void rejoinWait(ThreadState* thread);

// Stop deferral. SuspendThread and TerminateThread stop a thread with a signal; a thread
// is never stopped inside the layer's own critical work (object lock bits, the all-lock,
// the handle free lists, a half-done signal or wait registration), where stopping it
// would block or corrupt other threads. Such work runs inside a NoStopScope; a stop that
// arrives meanwhile is remembered and carried out when the outermost scope ends. The only
// place inside a blocking wait where a thread may stop is its futex sleep, marked by
// StoppableSleep. Plain per-thread fields (read by the thread's own signal handler only).
struct StopState {
    int noStop;   // depth of NoStopScopes
    int pending;  // a stop arrived inside a scope
    int inWait;   // in the futex sleep of a blocking wait
};
extern __thread StopState tlsStop __attribute__((tls_model("initial-exec")));
// Carries out a stop that arrived inside a NoStopScope (Suspend.cpp).
void runPendingStop();
// Whether a suspension or termination of the calling thread is under way: checked before
// each futex sleep of a wait, since the stop signal may not reach a thread that sleeps
// (ThreadSanitizer holds signals back while a thread is in a plain system call).
bool stopRequested();

class NoStopScope {
public:
    NoStopScope() {
        ++tlsStop.noStop;
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    ~NoStopScope() {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (--tlsStop.noStop == 0 && tlsStop.pending != 0) {
            runPendingStop();
        }
    }
    NoStopScope(const NoStopScope&) = delete;
    NoStopScope& operator=(const NoStopScope&) = delete;
};

// Inside a NoStopScope that covers a whole wait: the futex sleep, where the thread may be
// suspended (it keeps its queue entries) or terminated (abandonWait cleans up).
class StoppableSleep {
public:
    StoppableSleep() {
        tlsStop.inWait = 1;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (--tlsStop.noStop == 0 && (tlsStop.pending != 0 || stopRequested())) {
            runPendingStop();
        }
    }
    ~StoppableSleep() {
        ++tlsStop.noStop;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        tlsStop.inWait = 0;
    }
    StoppableSleep(const StoppableSleep&) = delete;
    StoppableSleep& operator=(const StoppableSleep&) = delete;
};

// ---- Small helpers ----
std::int64_t monotonicNs();
// The absolute deadline of a time-out in ms, divided by the time scale; -1 for INFINITE.
std::int64_t deadlineAfter(DWORD milliseconds);
void cpuRelax();

}  // namespace davro::win32::detail
