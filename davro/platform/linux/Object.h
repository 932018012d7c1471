// The kernel object: one 64-byte record per mutex, event, semaphore, thread or process,
// its state word, and its lifetime in the object pool (ObjectPool.cpp).
//
// DESIGN.md, "Objects", explains the state word and why stale handles can never change an
// object that has taken over the memory of a dead one.
#pragma once

#include <davro/platform/Win32.h>

#include <atomic>
#include <cstdint>

namespace davro::win32::detail {

// What an object is. Read with relaxed loads: a stale handle may look at memory that was
// recycled into an object of another kind, and every path double-checks the incarnation
// before it changes anything.
// The values pair up kinds that a wait treats alike, so that one mask tells them: waits take
// an auto event or a semaphore by counting it down (an auto event is a count of at most 1),
// and find a manual event or a thread signalled without changing it.
enum class Kind : std::uint8_t {
    Free = 0,
    Mutex = 1,
    ManualEvent = 2,  // these two: kSignalledOnly
    Thread = 3,       // signalled once the thread has ended (Threads.cpp)
    AutoEvent = 4,    // these two: kCountedDown
    Semaphore = 5,
    Process = 7,  // GetCurrentProcess(): never signalled while we run
    // Waitable timers (WaitableTimer.cpp): signalled like a manual or an auto event once
    // their due time has passed and somebody has looked (fireTimer). Apart from the pairs
    // above, so that no fast path of events takes them for one.
    ManualTimer = 8,
    AutoTimer = 9,
    // Named objects: their state lives in a record shared between processes (NamedObject.cpp).
    // Last of all, so that one comparison tells them on the fast paths.
    NamedMutex = 16,
    NamedAutoEvent = 17,
    NamedManualEvent = 18,
    NamedSemaphore = 19,
    // Named waitable timers: named objects whose record also holds the due time and period
    // (WaitableTimer.cpp, "Named timers").
    NamedManualTimer = 20,
    NamedAutoTimer = 21,
};
inline constexpr bool isNamedKind(Kind k) { return k >= Kind::NamedMutex; }
inline constexpr bool isNamedTimerKind(Kind k) {
    return k == Kind::NamedManualTimer || k == Kind::NamedAutoTimer;
}
// Timers of the process only: a named timer's state is in its record.
inline constexpr bool isTimerKind(Kind k) { return k == Kind::ManualTimer || k == Kind::AutoTimer; }
inline constexpr unsigned kSignalledOnly = 2;
inline constexpr unsigned kCountedDown = 4;
inline constexpr unsigned kindPair(Kind k) { return static_cast<unsigned>(k) & ~1U; }

// The state word of an object: [incarnation:30][0:1][lock:1][waiters:1][payload:31].
//   incarnation  new for every object (one counter for all) and bumped when the object
//                dies, so that a compare-and-swap made through a stale handle can never
//                change the object that now occupies the memory (30 bits: a value comes
//                back after a billion objects have been made);
//   lock         the object's own spin lock, held while its waiter queue is used;
//   waiters      the waiter queue is not empty, so a signal must take the slow path;
//   payload      mutex: owner thread id (22 bits) and the abandoned flag;
//                events, timers and threads: bit 0 = signalled; semaphore: the count.
namespace word {
inline constexpr unsigned kIncShift = 34;
inline constexpr std::uint32_t kIncMask = 0x3FFFFFFF;
inline constexpr std::uint64_t kLock = std::uint64_t{1} << 32;
inline constexpr std::uint64_t kWaiters = std::uint64_t{1} << 31;
inline constexpr std::uint64_t kPayload = kWaiters - 1;
inline constexpr std::uint64_t kOwner = (std::uint64_t{1} << 22) - 1;  // PID_MAX_LIMIT
inline constexpr std::uint64_t kAbandoned = std::uint64_t{1} << 22;
inline constexpr std::uint64_t kSignalled = 1;
inline constexpr std::uint64_t kCount = kPayload;  // a semaphore's count: LONG's range
inline constexpr std::uint32_t incarnation(std::uint64_t w) {
    return static_cast<std::uint32_t>(w >> kIncShift);
}
inline constexpr std::uint32_t ownerOf(std::uint64_t w) {
    return static_cast<std::uint32_t>(w & kOwner);
}
}  // namespace word

struct WaitEntry;
struct NamedShared;
struct ThreadRecord;
struct TimerRecord;

// One kernel object. Objects live in a type-stable pool: their memory is never returned to
// the system, only recycled into new objects, so a stale pointer read from the handle table
// always points at an Object.
struct alignas(64) Object {
    std::atomic<std::uint64_t> state{0};
    std::atomic<std::uint32_t> refs{0};     // handles + waits and signals in progress
    std::atomic<std::uint32_t> allHint{0};  // wait-all waiters queued or registering
    std::atomic<Kind> kind{Kind::Free};
    std::uint32_t index = 0;      // own position in the pool
    std::uint32_t recursion = 0;  // mutex: written only by the owner (or for it, under lock)
    std::int32_t maximum = 0;     // semaphore: maximum count
    std::uint32_t nextFree = 0;   // pool free list
    WaitEntry* head = nullptr;    // waiter queue, FIFO, guarded by the lock bit
    WaitEntry* tail = nullptr;
    union {                            // read only for the kind that owns it
        NamedShared* named = nullptr;  // named objects: the shared record
        ThreadRecord* thread;          // thread: its record
        TimerRecord* timer;            // timers: due time, period, completion routine
    };
};
// One cache line: a field more would make it two (alignas rounds the size up to 128).
static_assert(sizeof(Object) == 64, "an object must fit one cache line");

// ---- The object pool (ObjectPool.cpp) ----

// A new object of `kind` with one reference and state `payload` (its incarnation added), or
// null when the pool is exhausted or memory is short.
Object* newObject(Kind kind, std::uint64_t payload);
// Adds a reference. The caller must already hold one.
void addRef(Object* object);
// Adds a reference if the object is alive and still the incarnation given; false otherwise.
bool tryAddRef(Object* object, std::uint32_t incarnation);
// Drops a reference; the last one destroys the object (kind-specific clean-up, then the
// incarnation is bumped and the memory goes back to the pool). Never called with a lock
// bit or spin lock held: destroying a named object takes the named-object registry's lock.
void release(Object* object);

// Calls visit(object, context) for every object the pool has ever made, alive or not (the
// caller checks kind and incarnation). For the rare searches: a thread's mutexes at its end.
void forEachObject(void (*visit)(Object*, void*), void* context);

// The object behind GetCurrentProcess(): static, never signalled, never destroyed.
Object* processObject();

// Whether an object of kind `k` in state `s` is signalled for thread `tid`.
inline bool signalledFor(Kind k, std::uint64_t s, std::uint32_t tid) {
    switch (k) {
        case Kind::Mutex:
            return word::ownerOf(s) == 0 || word::ownerOf(s) == tid;
        case Kind::ManualEvent:
        case Kind::AutoEvent:
        case Kind::Thread:
        case Kind::ManualTimer:
        case Kind::AutoTimer:
            return (s & word::kSignalled) != 0;
        case Kind::Semaphore:
            return (s & word::kCount) != 0;
        default:
            return false;
    }
}

// The state after thread `tid` has taken the object, which must be signalled for it;
// `abandoned` tells whether an abandoned mutex was taken.
inline std::uint64_t takenState(Kind k, std::uint64_t s, std::uint32_t tid, bool& abandoned) {
    abandoned = false;
    switch (k) {
        case Kind::Mutex:
            if (word::ownerOf(s) == tid) {
                return s;
            }
            abandoned = (s & word::kAbandoned) != 0;
            return (s & ~(word::kOwner | word::kAbandoned)) | tid;
        case Kind::AutoEvent:
        case Kind::AutoTimer:
            return s & ~word::kSignalled;
        case Kind::Semaphore:
            return s - 1;
        default:
            return s;  // manual events and timers and ended threads stay signalled
    }
}

// The incarnation an object has now.
inline std::uint32_t incarnationOf(const Object* object) {
    return word::incarnation(object->state.load(std::memory_order_acquire));
}

}  // namespace davro::win32::detail
