// One-time initialisation: the pointer of INIT_ONCE holds the state in its two low bits
// and, once complete, the context above them.
//
// idle 0 -> synchronous initialisation under way 1 -> complete (2 | context), or back to
// idle when it failed; idle -> asynchronous attempts under way 3 -> complete. Threads that
// wait for a synchronous initialiser sleep on the word's address (AddressWait.cpp) and are
// all woken when it leaves state 1. A complete INIT_ONCE is read with one acquire load.
#include <davro/platform/Win32.h>

#include <atomic>
#include <cstdint>

#include "Futex.h"
#include "SlimSync.h"

namespace davro::win32 {
namespace {

constexpr std::uintptr_t kStateMask = 3;
constexpr std::uintptr_t kIdle = 0;
constexpr std::uintptr_t kBusy = 1;
constexpr std::uintptr_t kDone = 2;
constexpr std::uintptr_t kAsync = 3;

static_assert(sizeof(std::atomic<std::uintptr_t>) == sizeof(INIT_ONCE), "INIT_ONCE is a pointer");

std::atomic<std::uintptr_t>& wordOf(PINIT_ONCE initOnce) {
    return *reinterpret_cast<std::atomic<std::uintptr_t>*>(initOnce);
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

void giveContext(std::uintptr_t word, LPVOID* context) {
    if (context != nullptr) {
        *context =
            reinterpret_cast<LPVOID>(word & ~kStateMask);  // NOLINT(performance-no-int-to-ptr)
    }
}

}  // namespace

void InitOnceInitialize(PINIT_ONCE initOnce) { *initOnce = INIT_ONCE_STATIC_INIT; }

BOOL InitOnceBeginInitialize(LPINIT_ONCE initOnce, DWORD flags, PBOOL pending, LPVOID* context) {
    // Unknown bits are ignored, as on Windows.
    if ((flags & (INIT_ONCE_CHECK_ONLY | INIT_ONCE_ASYNC)) ==
            (INIT_ONCE_CHECK_ONLY | INIT_ONCE_ASYNC) ||
        pending == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    std::atomic<std::uintptr_t>& word = wordOf(initOnce);
    std::uintptr_t w = word.load(std::memory_order_acquire);
    for (;;) {
        const std::uintptr_t state = w & kStateMask;
        if (state == kDone) {
            *pending = FALSE;
            giveContext(w, context);
            return TRUE;
        }
        if ((flags & INIT_ONCE_CHECK_ONLY) != 0) {
            return fail(ERROR_GEN_FAILURE);
        }
        if ((flags & INIT_ONCE_ASYNC) != 0) {
            if (state == kBusy) {
                return fail(ERROR_INVALID_PARAMETER);
            }
            if (state == kAsync || word.compare_exchange_weak(w, kAsync, std::memory_order_acquire,
                                                              std::memory_order_acquire)) {
                *pending = TRUE;
                return TRUE;
            }
            continue;
        }
        if (state == kAsync) {
            return fail(ERROR_INVALID_PARAMETER);
        }
        if (state == kIdle) {
            if (word.compare_exchange_weak(w, kBusy, std::memory_order_acquire,
                                           std::memory_order_acquire)) {
                *pending = TRUE;
                return TRUE;
            }
            continue;
        }
        detail::waitOnAddress64(&word, w, detail::kNoDeadline);
        w = word.load(std::memory_order_acquire);
    }
}

BOOL InitOnceComplete(LPINIT_ONCE initOnce, DWORD flags, LPVOID context) {
    const auto value = reinterpret_cast<std::uintptr_t>(context);
    const bool failed = (flags & INIT_ONCE_INIT_FAILED) != 0;
    if ((flags & ~(INIT_ONCE_ASYNC | INIT_ONCE_INIT_FAILED)) != 0 ||
        flags == (INIT_ONCE_ASYNC | INIT_ONCE_INIT_FAILED) ||
        (!failed && (value & kStateMask) != 0)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    std::atomic<std::uintptr_t>& word = wordOf(initOnce);
    std::uintptr_t w = word.load(std::memory_order_relaxed);
    if ((flags & INIT_ONCE_ASYNC) != 0) {
        for (;;) {
            if ((w & kStateMask) == kDone) {
                return fail(ERROR_GEN_FAILURE);  // another attempt completed first
            }
            if ((w & kStateMask) != kAsync) {
                return fail(ERROR_INVALID_PARAMETER);
            }
            if (word.compare_exchange_weak(w, value | kDone, std::memory_order_acq_rel,
                                           std::memory_order_relaxed)) {
                return TRUE;  // asynchronous callers never sleep: nobody to wake
            }
        }
    }
    if ((w & kStateMask) != kBusy) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    word.store(failed ? kIdle : (value | kDone), std::memory_order_release);
    detail::wakeAddressAll(&word);
    return TRUE;
}

BOOL InitOnceExecuteOnce(PINIT_ONCE initOnce, PINIT_ONCE_FN function, PVOID parameter,
                         LPVOID* context) {
    const std::uintptr_t w = wordOf(initOnce).load(std::memory_order_acquire);
    if ((w & kStateMask) == kDone) {
        giveContext(w, context);
        return TRUE;
    }
    BOOL pending = FALSE;
    if (!InitOnceBeginInitialize(initOnce, 0, &pending, context)) {
        return FALSE;
    }
    if (!pending) {
        return TRUE;
    }
    PVOID made = nullptr;
    // The function's own last error stays when it fails.
    if (!function(initOnce, parameter, &made)) {
        const DWORD error = GetLastError();
        InitOnceComplete(initOnce, INIT_ONCE_INIT_FAILED, nullptr);
        SetLastError(error);
        return FALSE;
    }
    if (!InitOnceComplete(initOnce, 0, made)) {  // reserved bits set in the context
        InitOnceComplete(initOnce, INIT_ONCE_INIT_FAILED, nullptr);
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (context != nullptr) {
        *context = made;
    }
    return TRUE;
}

}  // namespace davro::win32
