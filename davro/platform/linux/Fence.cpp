// The heavy side of the asymmetric fence: membarrier(2).
#include "Fence.h"

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Check.h"

namespace davro::win32::detail {
namespace {

bool registerMembarrier() {
    const long commands = syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
    if (commands < 0 || (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0) {
        return false;
    }
    return syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
}

// Registered while the library loads, before any thread of ours can take the light side.
// Where the kernel lacks the command or refuses it (an old kernel, a seccomp filter), both
// sides use full fences from the start (Fence.h).
const bool gRegistered = [] {
    const bool ok = registerMembarrier();
    gAsymmetricFences.store(ok, std::memory_order_seq_cst);
    return ok;
}();

}  // namespace

std::atomic<bool> gAsymmetricFences{false};

bool asymmetricFencesWork() { return gRegistered; }

void heavyFence() {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (gAsymmetricFences.load(std::memory_order_relaxed)) {
        // Registered at load, the command cannot fail. If it did, the light side's compiler
        // barrier would order nothing, and the handshakes that guard fork() and the unmapping
        // of named mutexes would be gone without a word: stop instead.
        DAVRO_CHECK(syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0,
                    "membarrier failed after it was registered: the fork gate and the named "
                    "mutex hazards would no longer hold");
    }
}

}  // namespace davro::win32::detail
