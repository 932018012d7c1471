// Finding the calling thread's robust list, and checking once per process that the C
// library keeps it the way RobustList.h links into it.
#include "RobustList.h"

#include <davro/platform/Testing.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>

namespace davro::win32::detail {

namespace {

// Set by a test hook: threads that ask from now on are told to use the C library's calls.
std::atomic<bool> gCLibraryOnly{false};

#if DAVRO_LINK_ROBUST_LIST

// Where the probe found the head of its thread's list, from the thread's descriptor
// (pthread_self()): the C library keeps the head at one place in every thread's descriptor.
std::uintptr_t gHeadOffset = 0;

std::uintptr_t offsetFromDescriptor(const RobustHead* head) {
    return reinterpret_cast<std::uintptr_t>(head) - static_cast<std::uintptr_t>(pthread_self());
}

RobustHead* headFromKernel() {
    RobustHead* head = nullptr;
    std::size_t length = 0;
    if (syscall(SYS_get_robust_list, 0, &head, &length) != 0 || head == nullptr ||
        length != sizeof(RobustHead) || head->futexOffset != kRobustFutexOffset) {
        return nullptr;
    }
    return head;
}

// Locks a robust mutex of the C library's own and looks at what its lock did to the list:
// the mutex's links must sit where ours do, be the list's first entry, point back at the
// head, and the entry after them must point back at them, which for an otherwise empty list
// is the C library's slot before the head. Then the unlock must give the list back as it was.
// Where the head lies in the thread's descriptor is kept, for the other threads' heads.
bool probeLayout() {
    RobustHead* head = headFromKernel();
    if (head == nullptr) {
        return false;
    }
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_t mutex;
    const bool made = pthread_mutex_init(&mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    if (!made) {
        return false;
    }
    void* const before = head->list;
    bool ok = pthread_mutex_lock(&mutex) == 0;
    if (ok) {
        auto* links = reinterpret_cast<RobustLinks*>(&mutex.__data.__list);
        ok = head->list == &links->next && links->prev == head &&
             robust::entryOf(links->next)->prev == &links->next;
        ok = pthread_mutex_unlock(&mutex) == 0 && ok && head->list == before;
    }
    pthread_mutex_destroy(&mutex);
    gHeadOffset = offsetFromDescriptor(head);
    return ok;
}

#endif

}  // namespace

RobustHead* robustHeadOfThisThread() {
#if DAVRO_LINK_ROBUST_LIST
    static const bool linkable = probeLayout();
    if (!linkable || gCLibraryOnly.load(std::memory_order_relaxed)) {
        return nullptr;
    }
    // Every thread's head is checked, since every thread's list is written: the kernel's
    // answer for this thread must be the C library's head in this thread's descriptor.
    RobustHead* head = headFromKernel();
    return head != nullptr && offsetFromDescriptor(head) == gHeadOffset ? head : nullptr;
#else
    return nullptr;
#endif
}

}  // namespace davro::win32::detail

namespace davro::win32::testing {

void useCLibraryRobustLocks(bool on) { detail::gCLibraryOnly.store(on, std::memory_order_relaxed); }

}  // namespace davro::win32::testing
