// WaitOnAddress and its wakes, over futexes and a table of 256 buckets chosen by address.
//
// A 4-byte value on a 4-byte boundary is a futex word itself: the thread sleeps on the
// address and the kernel compares the value, and a wake goes to the address. Any other size
// sleeps on its bucket's counter, which a wake bumps. Either way the sleeper counts itself in
// its bucket first (one half of a 64-bit word per kind), and a wake reads both counts with a
// read-modify-write, after the caller's change of the value: either the wake sees the
// sleeper, or the sleeper's count came later and sees the changed value (the wake's
// read-modify-write heads the release sequence that the count reads from). So a wake costs
// no system call when nobody waits, and none is lost. Sleepers of unrelated addresses that
// share a bucket may be woken too; WaitOnAddress allows such spurious returns.
#include <davro/platform/Win32.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>

#include "Futex.h"
#include "SlimSync.h"

namespace davro::win32 {
namespace {

using detail::deadlineAfter;
using detail::futexWait;
using detail::futexWake;
using detail::futexWakeAll;
using detail::kNoDeadline;
using detail::monotonicNs;

constexpr std::uint64_t kDirectSleeper = 1;
constexpr std::uint64_t kBucketSleeper = std::uint64_t{1} << 32;

struct alignas(64) Bucket {
    std::atomic<std::uint64_t> sleepers{0};  // [on the bucket:32][on the address:32]
    std::atomic<std::uint32_t> wakes{0};
};
Bucket gBuckets[256];

Bucket& bucketOf(const volatile void* address) {
    auto a = reinterpret_cast<std::uintptr_t>(address) >> 2;
    a *= 0x9E3779B97F4A7C15ULL;
    return gBuckets[a >> 56];
}

bool isFutexWord(const volatile void* address, SIZE_T size) {
    return size == 4 && reinterpret_cast<std::uintptr_t>(address) % 4 == 0;
}

// The `size` bytes at `address`, read at once.
std::uint64_t load(const volatile void* address, SIZE_T size) {
    switch (size) {
        case 1:
            return __atomic_load_n(static_cast<const volatile std::uint8_t*>(address),
                                   __ATOMIC_SEQ_CST);
        case 2:
            return __atomic_load_n(static_cast<const volatile std::uint16_t*>(address),
                                   __ATOMIC_SEQ_CST);
        case 4:
            return __atomic_load_n(static_cast<const volatile std::uint32_t*>(address),
                                   __ATOMIC_SEQ_CST);
        default:
            return __atomic_load_n(static_cast<const volatile std::uint64_t*>(address),
                                   __ATOMIC_SEQ_CST);
    }
}

// Sleeps once while the value is `expected` (see the file comment); may return spuriously.
void sleepOnce(const volatile void* address, SIZE_T size, std::uint64_t expected,
               std::int64_t deadline) {
    Bucket& b = bucketOf(address);
    if (isFutexWord(address, size)) {
        b.sleepers.fetch_add(kDirectSleeper, std::memory_order_seq_cst);
        // The kernel compares the word itself, so a change after this look is not missed.
        futexWait(reinterpret_cast<std::atomic<std::uint32_t>*>(const_cast<void*>(address)),
                  static_cast<std::uint32_t>(expected), deadline);
        b.sleepers.fetch_sub(kDirectSleeper, std::memory_order_relaxed);
        return;
    }
    b.sleepers.fetch_add(kBucketSleeper, std::memory_order_seq_cst);
    const std::uint32_t seen = b.wakes.load(std::memory_order_seq_cst);
    if (load(address, size) == expected) {
        futexWait(&b.wakes, seen, deadline);
    }
    b.sleepers.fetch_sub(kBucketSleeper, std::memory_order_relaxed);
}

void wakeAddress(const void* address, int count) {
    Bucket& b = bucketOf(address);
    const std::uint64_t sleepers = b.sleepers.fetch_add(0, std::memory_order_seq_cst);
    if ((sleepers & 0xFFFFFFFFU) != 0 && reinterpret_cast<std::uintptr_t>(address) % 4 == 0) {
        futexWake(reinterpret_cast<std::atomic<std::uint32_t>*>(const_cast<void*>(address)), count);
    }
    if (sleepers >= kBucketSleeper) {
        b.wakes.fetch_add(1, std::memory_order_seq_cst);
        futexWakeAll(&b.wakes);
    }
}

}  // namespace

namespace detail {

void waitOnAddress64(const void* address, std::uint64_t expected, std::int64_t deadline) {
    if (load(address, 8) == expected) {
        sleepOnce(address, 8, expected, deadline);
    }
}

void wakeAddressAll(const void* address) { wakeAddress(address, INT_MAX); }

}  // namespace detail

BOOL WaitOnAddress(volatile VOID* address, PVOID compareAddress, SIZE_T size, DWORD milliseconds) {
    if (size != 1 && size != 2 && size != 4 && size != 8) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::uint64_t expected = 0;
    std::memcpy(&expected, compareAddress, size);  // little-endian: the low bytes
    const std::int64_t deadline = deadlineAfter(milliseconds);
    if (load(address, size) != expected) {
        return TRUE;
    }
    sleepOnce(address, size, expected, deadline);
    if (load(address, size) != expected) {
        return TRUE;
    }
    if (deadline != kNoDeadline && monotonicNs() >= deadline) {
        SetLastError(ERROR_TIMEOUT);
        return FALSE;
    }
    return TRUE;  // woken, or a spurious return: the caller looks at the value again
}

void WakeByAddressSingle(PVOID address) { wakeAddress(address, 1); }

void WakeByAddressAll(PVOID address) { wakeAddress(address, INT_MAX); }

}  // namespace davro::win32
