// Processors: affinity masks over sched_setaffinity, the processor count and GetSystemInfo.
//
// Windows numbers the processors of a group 0 to 63 and gives each a bit of a mask; here bit
// n is CPU n of the kernel, so a mask names the first 64 CPUs. Linux has no process affinity
// of its own: each thread has one. The process mask is the layer's: the main thread's when
// first asked, then what SetProcessAffinityMask set, which it also gives every thread the
// process has at that moment (new threads inherit their creator's, as on Linux).
#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "HandleTable.h"
#include "Locks.h"
#include "ThreadRecord.h"

namespace davro::win32::detail {
namespace {

constexpr unsigned kGroupSize = 64;  // processors per group, and bits per mask

// Processors online; at least 1.
unsigned onlineProcessors() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1U;
}

DWORD_PTR maskOf(const cpu_set_t& set) {
    DWORD_PTR mask = 0;
    for (unsigned cpu = 0; cpu < kGroupSize; ++cpu) {
        if (CPU_ISSET(cpu, &set)) {
            mask |= DWORD_PTR{1} << cpu;
        }
    }
    return mask;
}

cpu_set_t setOf(DWORD_PTR mask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (unsigned cpu = 0; cpu < kGroupSize; ++cpu) {
        if ((mask & (DWORD_PTR{1} << cpu)) != 0) {
            CPU_SET(cpu, &set);
        }
    }
    return set;
}

// The processors of the system (group 0): one bit per processor online.
DWORD_PTR systemMask() {
    const unsigned n = onlineProcessors();
    return n >= kGroupSize ? ~DWORD_PTR{0} : (DWORD_PTR{1} << n) - 1;
}

// The affinity of thread `tid` (0: the caller), or 0 when it cannot be read.
DWORD_PTR affinityOf(pid_t tid) {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(tid, sizeof set, &set) == 0 ? maskOf(set) : 0;
}

std::atomic<DWORD_PTR> gProcessMask{0};  // 0 until first asked

DWORD_PTR processMask() {
    DWORD_PTR mask = gProcessMask.load(std::memory_order_acquire);
    if (mask == 0) {
        mask = affinityOf(getpid()) & systemMask();
        if (mask == 0) {
            mask = systemMask();
        }
        DWORD_PTR none = 0;
        if (!gProcessMask.compare_exchange_strong(none, mask, std::memory_order_acq_rel)) {
            mask = none;
        }
    }
    return mask;
}

bool isCurrentProcess(HANDLE process) {
    Resolved r{};
    if (!resolve(process, r) || r.kind != Kind::Process) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

// After the calling thread's affinity changed: whether it is bound to one processor decides
// whether its waits spin (ThreadContext::singleProcessor).
void noteOwnAffinity(DWORD_PTR mask) {
    if (ThreadContext* c = tlsContext) {
        c->spin.singleProcessor = __builtin_popcountll(mask) == 1;
    }
}

}  // namespace
}  // namespace davro::win32::detail

namespace davro::win32 {

using namespace detail;

DWORD_PTR SetThreadAffinityMask(HANDLE thread, DWORD_PTR affinityMask) {
    return withThread(thread, DWORD_PTR{0}, [affinityMask](ThreadRecord* r) -> DWORD_PTR {
        if (affinityMask == 0 || (affinityMask & ~processMask()) != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        // Under the lock the thread cannot finish, so its tid still names it.
        const SpinGuard guard(r->lock);
        if (r->phase.load(std::memory_order_relaxed) != Phase::Running) {
            SetLastError(ERROR_ACCESS_DENIED);  // the thread has ended
            return 0;
        }
        const auto tid = static_cast<pid_t>(r->tid.load(std::memory_order_relaxed));
        const DWORD_PTR previous = affinityOf(tid);
        const cpu_set_t set = setOf(affinityMask);
        if (previous == 0 || sched_setaffinity(tid, sizeof set, &set) != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);  // processors this process may not use
            return 0;
        }
        if (r == currentRecord()) {
            noteOwnAffinity(affinityMask);
        }
        return previous;
    });
}

BOOL GetProcessAffinityMask(HANDLE process, PDWORD_PTR processAffinityMask,
                            PDWORD_PTR systemAffinityMask) {
    if (!isCurrentProcess(process)) {
        return FALSE;
    }
    if (processAffinityMask == nullptr || systemAffinityMask == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *processAffinityMask = processMask();
    *systemAffinityMask = systemMask();
    return TRUE;
}

BOOL SetProcessAffinityMask(HANDLE process, DWORD_PTR affinityMask) {
    if (!isCurrentProcess(process)) {
        return FALSE;
    }
    if (affinityMask == 0 || (affinityMask & ~systemMask()) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const cpu_set_t set = setOf(affinityMask);
    if (sched_setaffinity(0, sizeof set, &set) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);  // processors this process may not use
        return FALSE;
    }
    noteOwnAffinity(affinityMask);
    gProcessMask.store(affinityMask, std::memory_order_release);
    // Every other thread of the process, as the kernel lists them now.
    if (DIR* tasks = opendir("/proc/self/task")) {
        // readdir on a stream of its own: nothing shared with other threads.
        while (const dirent* entry = readdir(tasks)) {  // NOLINT(concurrency-mt-unsafe)
            const long tid = std::strtol(entry->d_name, nullptr, 10);
            if (tid > 0) {
                sched_setaffinity(static_cast<pid_t>(tid), sizeof set, &set);
            }
        }
        closedir(tasks);
    }
    return TRUE;
}

void GetSystemInfo(LPSYSTEM_INFO info) {
    *info = SYSTEM_INFO{};
#if defined(__x86_64__)
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
    info->dwProcessorType = 8664;  // PROCESSOR_AMD_X8664
#elif defined(__aarch64__)
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_ARM64;
#elif defined(__i386__)
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
    info->dwProcessorType = 586;  // PROCESSOR_INTEL_PENTIUM
#elif defined(__arm__)
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_ARM;
#else
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_UNKNOWN;
#endif
    info->dwPageSize = static_cast<DWORD>(sysconf(_SC_PAGESIZE));
    // Windows' bounds; the kernel does not map a program below 64 KiB either.
    info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(0x10000);  // NOLINT
    info->lpMaximumApplicationAddress =
        reinterpret_cast<LPVOID>(std::uintptr_t{0x00007FFFFFFEFFFF});  // NOLINT
    info->dwActiveProcessorMask = systemMask();
    const unsigned n = onlineProcessors();
    info->dwNumberOfProcessors = n < kGroupSize ? n : kGroupSize;
    // Windows' 64 KiB: a multiple of every page size, so what is aligned to it is aligned here.
    info->dwAllocationGranularity = 0x10000;
}

void GetNativeSystemInfo(LPSYSTEM_INFO info) { GetSystemInfo(info); }

DWORD GetActiveProcessorCount(WORD groupNumber) {
    const unsigned n = onlineProcessors();
    if (groupNumber == ALL_PROCESSOR_GROUPS) {
        return n;
    }
    const unsigned first = unsigned{groupNumber} * kGroupSize;
    if (first >= n) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return n - first < kGroupSize ? n - first : kGroupSize;
}

}  // namespace davro::win32
