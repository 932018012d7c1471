// Thread-local and fiber-local storage: per-thread blocks of slots, indexes handed out from
// process-wide tables.
//
// A thread's block (1088 thread-local slots, and 4080 fiber-local ones allocated with its
// first FlsSetValue) is made by its first set. Its thread-local slots are found through an
// initial-exec pointer beside the last error, which names a shared array of null slots
// until then, so that TlsGetValue is inline (Win32Sync.h): a range check, the store of the
// last error and two loads. Slots are read and written atomically (relaxed) because TlsFree
// and FlsFree clear an index in every thread's block.
// Blocks are linked in a registry under one raw spin lock, held for list and table work
// only, never while a callback runs nor where the thread can be stopped, and taken by an
// at-fork handler so that a fork never leaves it held. A thread-specific-data key's
// destructor runs the fiber-local callbacks at the thread's end, one at a time, each value
// taken out of the block under the lock while the block is still in the registry: a FlsFree
// meanwhile takes the values still to come (and calls their callback itself, as for a live
// thread) and waits for the callback of its index that is running, so that once FlsFree
// returns no callback of the index runs any more. Values that callbacks set again are seen
// by further rounds, a few at most; then the block is freed.
#include <davro/platform/Win32.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "Check.h"
#include "Futex.h"
#include "StopScope.h"

namespace davro::win32 {
namespace {

using detail::kTlsSlots;
using detail::RawSpinLock;

constexpr DWORD kFlsSlots = FLS_MAXIMUM_AVAILABLE;

// The slots of every thread that has no block: all null and never written, since no set
// reaches them and TlsAlloc and TlsFree clear only the blocks in the registry.
void* noSlots[kTlsSlots];

}  // namespace

__thread detail::ThreadWords detail::threadWords = {ERROR_SUCCESS, noSlots};

namespace {

struct Block {
    void* tls[kTlsSlots];
    std::atomic<std::atomic<void*>*> fls;
    Block* next;
    Block* prev;
};

// The calling thread's block, once it has one.
__thread Block* tlsBlock __attribute__((tls_model("initial-exec"))) = nullptr;

struct Registry {
    RawSpinLock lock;
    Block* blocks = nullptr;
    bool tlsUsed[kTlsSlots] = {};
    // An allocated fiber-local index has `flsUsed` set; its callback may be null.
    std::atomic<bool> flsUsed[kFlsSlots] = {};
    PFLS_CALLBACK_FUNCTION flsCallback[kFlsSlots] = {};
    // How many ending threads run a callback of the index now; FlsFree waits for 0.
    std::atomic<std::uint32_t> flsRunning[kFlsSlots] = {};
    pthread_key_t key{};
};

// The index whose callback the calling thread runs at its end, kNotRunning when none: a
// FlsFree of that index from inside the callback does not wait for itself.
constexpr DWORD kNotRunning = FLS_OUT_OF_INDEXES;
__thread DWORD tlsRunningFls = kNotRunning;

// Rounds of fiber-local callbacks at a thread's end, as many as the C library gives its
// thread-specific-data destructors.
constexpr int kCallbackRounds = 4;

void onThreadEnd(void* block);

Registry& registry() {
    static Registry* const r = [] {
        auto* made = new Registry;  // never destroyed: threads may end after static destructors
        DAVRO_CHECK(pthread_key_create(&made->key, &onThreadEnd) == 0,
                    "no thread-specific-data key left for thread-local storage");
        DAVRO_CHECK(pthread_atfork([] { registry().lock.lock(); }, [] { registry().lock.unlock(); },
                                   [] {
                                       // Only the forking thread goes on in the child.
                                       Registry& child = registry();
                                       child.lock.reset();
                                       for (auto& running : child.flsRunning) {
                                           running.store(0, std::memory_order_relaxed);
                                       }
                                       if (tlsRunningFls != kNotRunning) {
                                           child.flsRunning[tlsRunningFls].store(1);
                                       }
                                   }) == 0,
                    "fork handlers could not be installed");
        return made;
    }();
    return *r;
}

// The registry's lock, held where no suspension or termination can stop the thread: one that
// arrives meanwhile is carried out once the lock is left.
class Locked {
public:
    explicit Locked(Registry& r) : r_(r) {
        detail::enterNoStop();
        r_.lock.lock();
    }
    ~Locked() {
        r_.lock.unlock();
        if (detail::leaveNoStop()) {
            detail::runPendingStop();
        }
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    Registry& r_;
};

// The calling thread's block, made on first use; null when memory is short.
Block* ownBlock() {
    if (Block* b = tlsBlock) {
        return b;
    }
    Registry& r = registry();
    auto* b = static_cast<Block*>(std::calloc(1, sizeof(Block)));
    if (b == nullptr) {
        return nullptr;
    }
    if (pthread_setspecific(r.key, b) != 0) {
        std::free(b);
        return nullptr;
    }
    {
        const Locked locked(r);
        b->next = r.blocks;
        if (r.blocks != nullptr) {
            r.blocks->prev = b;
        }
        r.blocks = b;
    }
    tlsBlock = b;
    detail::threadWords.tlsSlots = b->tls;
    return b;
}

std::atomic<void*>* flsSlotsOf(Block* b) {
    std::atomic<void*>* slots = b->fls.load(std::memory_order_acquire);
    if (slots == nullptr) {
        slots = static_cast<std::atomic<void*>*>(std::calloc(kFlsSlots, sizeof(void*)));
        b->fls.store(slots, std::memory_order_release);
    }
    return slots;
}

using Calls = std::vector<std::pair<PFLS_CALLBACK_FUNCTION, void*>>;

void runCallbacks(const Calls& calls) {
    for (const auto& [callback, value] : calls) {
        callback(value);
    }
}

// Runs the callback of slot `index` of the ending thread's block, if the slot holds a value
// and the index a callback; true if it ran one.
bool runEndCallback(Registry& r, Block* b, DWORD index) {
    PFLS_CALLBACK_FUNCTION callback = nullptr;
    void* value = nullptr;
    {
        const Locked locked(r);
        value = b->fls.load(std::memory_order_relaxed)[index].exchange(nullptr,
                                                                       std::memory_order_relaxed);
        callback = r.flsCallback[index];
        if (value == nullptr || callback == nullptr) {
            return false;
        }
        r.flsRunning[index].fetch_add(1, std::memory_order_relaxed);
    }
    tlsRunningFls = index;
    callback(value);
    tlsRunningFls = kNotRunning;
    // A FlsFree from inside a callback of the index waits for 1 rather than 0.
    if (r.flsRunning[index].fetch_sub(1, std::memory_order_release) <= 2) {
        detail::futexWakeAll(&r.flsRunning[index]);
    }
    return true;
}

void onThreadEnd(void* block) {
    auto* b = static_cast<Block*>(block);
    Registry& r = registry();
    bool ran = true;
    for (int round = 0; ran && round < kCallbackRounds; ++round) {
        ran = false;
        // The slots are only looked at here: a value is taken under the lock.
        std::atomic<void*>* fls = b->fls.load(std::memory_order_acquire);
        for (DWORD i = 0; fls != nullptr && i < kFlsSlots; ++i) {
            if (fls[i].load(std::memory_order_relaxed) != nullptr && runEndCallback(r, b, i)) {
                ran = true;
            }
        }
    }
    {
        const Locked locked(r);
        (b->prev != nullptr ? b->prev->next : r.blocks) = b->next;
        if (b->next != nullptr) {
            b->next->prev = b->prev;
        }
    }
    tlsBlock = nullptr;
    detail::threadWords.tlsSlots = noSlots;
    std::free(b->fls.load(std::memory_order_relaxed));
    std::free(b);
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace

// ---- Thread-local storage ----

DWORD TlsAlloc() {
    Registry& r = registry();
    const Locked locked(r);
    for (DWORD i = 0; i < kTlsSlots; ++i) {
        if (!r.tlsUsed[i]) {
            r.tlsUsed[i] = true;
            for (Block* b = r.blocks; b != nullptr; b = b->next) {
                __atomic_store_n(&b->tls[i], nullptr, __ATOMIC_RELAXED);
            }
            return i;
        }
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return TLS_OUT_OF_INDEXES;
}

BOOL TlsFree(DWORD index) {
    Registry& r = registry();
    const Locked locked(r);
    if (index >= kTlsSlots || !r.tlsUsed[index]) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    r.tlsUsed[index] = false;
    for (Block* b = r.blocks; b != nullptr; b = b->next) {
        __atomic_store_n(&b->tls[index], nullptr, __ATOMIC_RELAXED);
    }
    return TRUE;
}

BOOL TlsSetValue(DWORD index, LPVOID value) {
    if (index >= kTlsSlots) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    Block* b = ownBlock();
    if (b == nullptr) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    __atomic_store_n(&b->tls[index], value, __ATOMIC_RELAXED);
    return TRUE;
}

// ---- Fiber-local storage ----

DWORD FlsAlloc(PFLS_CALLBACK_FUNCTION callback) {
    Registry& r = registry();
    const Locked locked(r);
    for (DWORD i = 0; i < kFlsSlots; ++i) {
        if (!r.flsUsed[i].load(std::memory_order_relaxed)) {
            for (Block* b = r.blocks; b != nullptr; b = b->next) {
                if (std::atomic<void*>* fls = b->fls.load(std::memory_order_acquire)) {
                    fls[i].store(nullptr, std::memory_order_relaxed);
                }
            }
            r.flsCallback[i] = callback;
            r.flsUsed[i].store(true, std::memory_order_release);
            return i;
        }
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FLS_OUT_OF_INDEXES;
}

BOOL FlsFree(DWORD index) {
    Registry& r = registry();
    Calls calls;
    {
        const Locked locked(r);
        if (index >= kFlsSlots || !r.flsUsed[index].load(std::memory_order_relaxed)) {
            return fail(ERROR_INVALID_PARAMETER);
        }
        r.flsUsed[index].store(false, std::memory_order_relaxed);
        const PFLS_CALLBACK_FUNCTION callback = r.flsCallback[index];
        r.flsCallback[index] = nullptr;
        for (Block* b = r.blocks; b != nullptr; b = b->next) {
            if (std::atomic<void*>* fls = b->fls.load(std::memory_order_acquire)) {
                void* value = fls[index].exchange(nullptr, std::memory_order_relaxed);
                if (value != nullptr && callback != nullptr) {
                    calls.emplace_back(callback, value);
                }
            }
        }
    }
    runCallbacks(calls);
    // Ending threads may still run a callback of the index that they took before.
    std::atomic<std::uint32_t>& running = r.flsRunning[index];
    const std::uint32_t own = tlsRunningFls == index ? 1 : 0;
    for (std::uint32_t n = running.load(std::memory_order_acquire); n > own;
         n = running.load(std::memory_order_acquire)) {
        detail::futexWait(&running, n);
    }
    return TRUE;
}

PVOID FlsGetValue(DWORD index) {
    if (index >= kFlsSlots || !registry().flsUsed[index].load(std::memory_order_acquire)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    detail::threadWords.lastError = ERROR_SUCCESS;
    const Block* b = tlsBlock;
    std::atomic<void*>* fls = b != nullptr ? b->fls.load(std::memory_order_acquire) : nullptr;
    return fls != nullptr ? fls[index].load(std::memory_order_relaxed) : nullptr;
}

BOOL FlsSetValue(DWORD index, PVOID data) {
    if (index >= kFlsSlots || !registry().flsUsed[index].load(std::memory_order_acquire)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    Block* b = ownBlock();
    std::atomic<void*>* fls = b != nullptr ? flsSlotsOf(b) : nullptr;
    if (fls == nullptr) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    fls[index].store(data, std::memory_order_relaxed);
    return TRUE;
}

}  // namespace davro::win32
