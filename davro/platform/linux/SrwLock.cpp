// Slim reader/writer locks: two 32-bit futex words in the pointer of SRWLOCK.
//
// `state` = [readers:15][writers waiting:15][readers sleep:1][writer:1]. A reader enters
// with one addition while no writer holds the lock or waits for it (and undoes it otherwise); a
// writer when the word is 0 (apart from waiting writers, whose count it takes one from if it was
// one of them). Readers sleep on `state` itself, writers on `turn`, a counter that a release bumps
// to hand the lock to the next writer: a waiting writer reads `turn` before it looks at
// `state`, and every release that a waiting writer could miss changes `state` before it
// bumps `turn`, so the writer either sees the lock free or sleeps on a `turn` that has
// moved already, and no wake-up is lost. Readers are woken all together when the last
// waiting writer has had its turn.
//
// Both words start at zero, so SRWLOCK_INIT and static storage need no initialisation and
// nothing is ever allocated. Hence also no wait-chain note: a slim lock has no owner record.
#include <davro/platform/Win32.h>

#include <atomic>
#include <cstdint>

#include "Check.h"
#include "Futex.h"
#include "StopScope.h"

namespace davro::win32 {
namespace {

using detail::cpuRelax;
using detail::futexWait;
using detail::futexWake;
using detail::futexWakeAll;

constexpr std::uint32_t kWriter = 1U;
constexpr std::uint32_t kReadersSleep = 2U;
constexpr std::uint32_t kWaitingWriter = 1U << 2;
constexpr std::uint32_t kWaitingWritersMask = 0x7FFFU << 2;
constexpr std::uint32_t kReader = 1U << 17;
constexpr std::uint32_t kReadersMask = 0x7FFFU << 17;

// How many times a blocked acquire looks at the word before it sleeps: the holder of a slim
// lock usually leaves within a few hundred cycles.
constexpr int kSpinTurns = 100;

struct Words {
    std::atomic<std::uint32_t> state;
    std::atomic<std::uint32_t> turn;
};
static_assert(sizeof(Words) == sizeof(SRWLOCK), "SRWLOCK is one pointer");
static_assert(alignof(SRWLOCK) >= alignof(Words), "SRWLOCK alignment");

Words& wordsOf(PSRWLOCK lock) { return *reinterpret_cast<Words*>(lock); }

bool readersMayEnter(std::uint32_t s) { return (s & (kWriter | kWaitingWritersMask)) == 0; }

// Hands the lock to the next waiting writer.
void wakeWriter(Words& w) {
    w.turn.fetch_add(1, std::memory_order_seq_cst);
    futexWake(&w.turn, 1);
}

void releaseShared(Words& w) {
    const std::uint32_t s = w.state.fetch_sub(kReader, std::memory_order_seq_cst);
    // The last reader out lets a waiting writer in. Readers never sleep while only readers
    // hold the lock and no writer waits, so there is nobody else to wake.
    if ((s & kReadersMask) == kReader && (s & kWaitingWritersMask) != 0) {
        wakeWriter(w);
    }
}

// Takes a writer that was terminated in its sleep out of the waiting writers. A release may
// have handed it the turn: that goes on to another waiting writer, or, when none is left and
// no writer holds the lock, the readers that slept for the writers are woken.
void withdrawWriter(void* lock) {
    Words& w = *static_cast<Words*>(lock);
    std::uint32_t s = w.state.fetch_sub(kWaitingWriter, std::memory_order_seq_cst);
    if ((s & kWaitingWritersMask) != kWaitingWriter) {
        wakeWriter(w);
        return;
    }
    s -= kWaitingWriter;
    while ((s & kReadersSleep) != 0 && (s & (kWriter | kWaitingWritersMask)) == 0) {
        if (w.state.compare_exchange_weak(s, s & ~kReadersSleep, std::memory_order_seq_cst,
                                          std::memory_order_relaxed)) {
            futexWakeAll(&w.state);
            return;
        }
    }
}

void leaveNoStop() {
    if (detail::leaveNoStop()) {
        detail::runPendingStop();
    }
}

__attribute__((noinline)) void acquireExclusiveSlow(Words& w) {
    for (int turn = 0; turn < kSpinTurns; ++turn) {
        cpuRelax();
        std::uint32_t s = w.state.load(std::memory_order_relaxed);
        if ((s & (kWriter | kReadersMask)) == 0 &&
            w.state.compare_exchange_weak(s, s | kWriter, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
            return;
        }
    }
    // Counted among the waiting writers, the thread can be stopped only in its sleep, where a
    // termination withdraws it (tlsSlimWait).
    detail::enterNoStop();
    std::uint32_t s = w.state.fetch_add(kWaitingWriter, std::memory_order_seq_cst);
    DAVRO_CHECK((s & kWaitingWritersMask) != kWaitingWritersMask,
                "SRW lock: too many waiting writers");
    for (;;) {
        const std::uint32_t turn = w.turn.load(std::memory_order_seq_cst);
        s = w.state.load(std::memory_order_seq_cst);
        while ((s & (kWriter | kReadersMask)) == 0) {
            if (w.state.compare_exchange_weak(s, (s - kWaitingWriter) | kWriter,
                                              std::memory_order_seq_cst,
                                              std::memory_order_seq_cst)) {
                leaveNoStop();
                return;
            }
        }
        detail::tlsSlimWait = {&withdrawWriter, &w};
        leaveNoStop();
        futexWait(&w.turn, turn);
        detail::enterNoStop();
        detail::tlsSlimWait = {};
    }
}

__attribute__((noinline)) void acquireSharedSlow(Words& w) {
    for (int turn = 0; turn < kSpinTurns; ++turn) {
        cpuRelax();
        std::uint32_t s = w.state.load(std::memory_order_relaxed);
        if (readersMayEnter(s) &&
            w.state.compare_exchange_weak(s, s + kReader, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
            return;
        }
    }
    std::uint32_t s = w.state.load(std::memory_order_relaxed);
    for (;;) {
        if (readersMayEnter(s)) {
            DAVRO_CHECK((s & kReadersMask) != kReadersMask, "SRW lock: too many readers");
            if (w.state.compare_exchange_weak(s, s + kReader, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
                return;
            }
            continue;
        }
        if ((s & kReadersSleep) == 0 &&
            !w.state.compare_exchange_weak(s, s | kReadersSleep, std::memory_order_relaxed,
                                           std::memory_order_relaxed)) {
            continue;
        }
        futexWait(&w.state, s | kReadersSleep);
        s = w.state.load(std::memory_order_relaxed);
    }
}

}  // namespace

void InitializeSRWLock(PSRWLOCK lock) { *lock = SRWLOCK_INIT; }

void AcquireSRWLockExclusive(PSRWLOCK lock) {
    Words& w = wordsOf(lock);
    std::uint32_t s = 0;
    if (__builtin_expect(w.state.compare_exchange_strong(s, kWriter, std::memory_order_acquire,
                                                         std::memory_order_relaxed),
                         1)) {
        return;
    }
    acquireExclusiveSlow(w);
}

BOOLEAN TryAcquireSRWLockExclusive(PSRWLOCK lock) {
    Words& w = wordsOf(lock);
    std::uint32_t s = w.state.load(std::memory_order_relaxed);
    while ((s & (kWriter | kReadersMask)) == 0) {
        if (w.state.compare_exchange_weak(s, s | kWriter, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
            return TRUE;
        }
    }
    return FALSE;
}

void ReleaseSRWLockExclusive(PSRWLOCK lock) {
    Words& w = wordsOf(lock);
    std::uint32_t s = kWriter;
    if (__builtin_expect(w.state.compare_exchange_strong(s, 0, std::memory_order_release,
                                                         std::memory_order_relaxed),
                         1)) {
        return;
    }
    // Waiting writers go first; sleeping readers are woken when none is left.
    for (;;) {
        std::uint32_t next = s & ~kWriter;
        if ((s & kWaitingWritersMask) == 0) {
            next &= ~kReadersSleep;
        }
        if (w.state.compare_exchange_weak(s, next, std::memory_order_seq_cst,
                                          std::memory_order_relaxed)) {
            break;
        }
    }
    if ((s & kWaitingWritersMask) != 0) {
        wakeWriter(w);
    } else if ((s & kReadersSleep) != 0) {
        futexWakeAll(&w.state);
    }
}

void AcquireSRWLockShared(PSRWLOCK lock) {
    Words& w = wordsOf(lock);
    // Readers count themselves in with one addition, which unlike a compare-and-swap never
    // fails when several arrive together, and count themselves out again (as a release
    // would: a waiting writer may have seen them) when a writer holds or waits.
    const std::uint32_t s = w.state.fetch_add(kReader, std::memory_order_seq_cst);
    if (__builtin_expect(readersMayEnter(s), 1)) {
        DAVRO_CHECK((s & kReadersMask) != kReadersMask, "SRW lock: too many readers");
        return;
    }
    releaseShared(w);
    acquireSharedSlow(w);
}

BOOLEAN TryAcquireSRWLockShared(PSRWLOCK lock) {
    Words& w = wordsOf(lock);
    std::uint32_t s = w.state.load(std::memory_order_relaxed);
    while (readersMayEnter(s) && (s & kReadersMask) != kReadersMask) {
        if (w.state.compare_exchange_weak(s, s + kReader, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
            return TRUE;
        }
    }
    return FALSE;
}

void ReleaseSRWLockShared(PSRWLOCK lock) { releaseShared(wordsOf(lock)); }

}  // namespace davro::win32
