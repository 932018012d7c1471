// Internals of the Linux kernel-object layer: object memory, the handle table, per-thread
// wait state and the hooks that the thread and message-queue code plug into.
// DESIGN.md in this folder explains how the pieces fit.
#pragma once

#include <davro/platform/Win32.h>

#include <atomic>
#include <cstdint>
#include <vector>

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
    NamedMutexShared* named = nullptr;  // named mutex: the shared record
    void* extra = nullptr;              // kind-specific data of later kinds (threads)
};
static_assert(sizeof(Object) <= 128, "an object must fit its memory budget");

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
// Looks a handle up; false for null, pseudo, closed, stale or garbage values (never
// dereferences a value that is out of the table's range).
bool resolve(HANDLE handle, Resolved& out);
// Looks a handle up and takes a reference; false as for resolve().
Object* acquireRef(HANDLE handle);

// The object behind GetCurrentProcess() (and, until threads exist, GetCurrentThread()).
Object* processObject();

// ---- Per-thread state (Waits.cpp) ----

inline constexpr std::uint32_t kStatusWaiting = 0xFFFFFFF0u;   // registered, maybe spinning
inline constexpr std::uint32_t kStatusSleeping = 0xFFFFFFF1u;  // in futex wait: wake needed

// One queue link per object of a wait.
struct WaitEntry {
    WaitEntry* prev = nullptr;
    WaitEntry* next = nullptr;
    ThreadState* waiter = nullptr;
    Object* object = nullptr;
    std::uint32_t index = 0;
    bool linked = false;  // guarded by object's lock bit
};

// An owned in-process mutex, for abandonment when the thread ends.
struct OwnedMutex {
    Object* object;
    std::uint32_t incarnation;
};

// Wait state of one thread. Pooled and never freed, so a late futex wake or nudge aimed at
// a thread that has gone lands on valid memory and is only a spurious wake-up.
struct ThreadState {
    // The futex word of the current wait: kStatusWaiting/kStatusSleeping while waiting,
    // otherwise the wait's result, written by whoever satisfied it.
    std::atomic<std::uint32_t> status{0};
    std::uint32_t tid = 0;
    std::uint32_t count = 0;
    bool waitAll = false;
    // MsgWaitForMultipleObjects: the wake mask while in such a wait, 0 otherwise.
    std::atomic<DWORD> inputMask{0};
    WaitEntry entries[MAXIMUM_WAIT_OBJECTS];
    std::vector<OwnedMutex> owned;
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

// ---- Named mutexes (NamedMutex.cpp) ----
HANDLE createNamedMutex(BOOL initialOwner, LPCWSTR name, bool openOnly);
// Lock attempts on a named mutex: WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT or
// WAIT_FAILED. `deadlineNs` is on CLOCK_MONOTONIC; -1 = no limit; 0 = try only.
DWORD lockNamedMutex(Object* object, std::int64_t deadlineNs);
BOOL unlockNamedMutex(Object* object);
void destroyNamedMutex(Object* object);

// ---- Small helpers ----
std::int64_t monotonicNs();
// The absolute deadline of a time-out in ms, divided by the time scale; -1 for INFINITE.
std::int64_t deadlineAfter(DWORD milliseconds);
void cpuRelax();

}  // namespace davro::win32::detail
