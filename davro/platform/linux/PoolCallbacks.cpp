// Around the callbacks: cleanup groups, whose members (the objects made in an environment that
// names the group) CloseThreadpoolCleanupGroupMembers closes together, and what a running
// callback asks to be done when it returns.
#include <atomic>
#include <new>

#include "ThreadPool.h"

namespace davro::win32 {

struct TP_CLEANUP_GROUP {};

namespace detail::pool {

// The members of a cleanup group: a list under the group's lock. A member leaves it when it
// is closed on its own (or, for a simple callback, when it has run); closing the members
// takes the whole list at once. The creator and every object made for the group (until it
// has left the lock for the last time, which may be after the group's members were closed)
// hold a reference; the last frees the group.
struct Group : TP_CLEANUP_GROUP {
    SRWLOCK lock = SRWLOCK_INIT;
    Item* head = nullptr;
    std::atomic<unsigned> refs{1};
};

void releaseGroup(Group* group) {
    if (group->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete group;
    }
}

void joinGroup(Item* item, PTP_CALLBACK_ENVIRON environment) {
    if (environment == nullptr || environment->CleanupGroup == nullptr) {
        return;
    }
    auto* const group = static_cast<Group*>(environment->CleanupGroup);
    group->refs.fetch_add(1, std::memory_order_relaxed);
    item->group = group;
    item->cancelCallback = environment->CleanupGroupCancelCallback;
    Hold hold(group->lock);
    item->groupNext = group->head;
    if (group->head != nullptr) {
        group->head->groupPrev = item;
    }
    group->head = item;
    item->inGroup = true;
}

void leaveGroup(Item* item) {
    Group* const group = item->group;
    if (group == nullptr) {
        return;
    }
    {
        Hold hold(group->lock);
        if (item->inGroup) {
            (item->groupPrev != nullptr ? item->groupPrev->groupNext : group->head) =
                item->groupNext;
            if (item->groupNext != nullptr) {
                item->groupNext->groupPrev = item->groupPrev;
            }
            item->groupPrev = item->groupNext = nullptr;
            item->inGroup = false;
        }
    }
    item->group = nullptr;
    releaseGroup(group);
}

// Defined with their kinds: takes a timer or wait off its thread so that it queues nothing
// more (waiting for a firing under way), and drops that thread's reference.
void stopTimer(Item* item);
void stopWait(Item* item);

}  // namespace detail::pool

using detail::pool::Hold;
using detail::pool::Item;
using detail::pool::Kind;

PTP_CLEANUP_GROUP CreateThreadpoolCleanupGroup() {
    auto* const group = new (std::nothrow) detail::pool::Group;
    if (group == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return group;
}

void CloseThreadpoolCleanupGroupMembers(PTP_CLEANUP_GROUP group, BOOL cancelPending,
                                        PVOID cleanupContext) {
    auto* const g = static_cast<detail::pool::Group*>(group);
    // The members leave the group together and keep their links as this call's own list, so
    // that closing them needs no memory. Out of the group, nobody else follows those links.
    Item* members = nullptr;
    {
        Hold hold(g->lock);
        members = g->head;
        for (Item* item = members; item != nullptr; item = item->groupNext) {
            item->addRef();  // kept while this call works on it
            item->inGroup = false;
        }
        g->head = nullptr;
    }
    while (Item* const item = members) {
        members = item->groupNext;
        item->groupPrev = item->groupNext = nullptr;
        if (item->kind == Kind::kTimer) {
            detail::pool::stopTimer(item);
        } else if (item->kind == Kind::kWait) {
            detail::pool::stopWait(item);
        }
        if (cancelPending != FALSE) {
            const unsigned dropped = detail::pool::cancelPending(item);
            const bool simple = item->kind == Kind::kSimple;
            if (item->cancelCallback != nullptr && (!simple || dropped > 0)) {
                item->cancelCallback(item->context, cleanupContext);
            }
            if (simple && dropped > 0) {
                item->release();  // the creator's reference of a callback that will not run
            }
        }
        detail::pool::waitIdle(item);
        if (item->kind != Kind::kSimple && item->kind != Kind::kUserWorkItem) {
            item->release();  // the creator's reference: the group closes the object
        }
        item->release();
    }
}

void CloseThreadpoolCleanupGroup(PTP_CLEANUP_GROUP group) {
    detail::pool::releaseGroup(static_cast<detail::pool::Group*>(group));
}

// ---- What a callback asks for its return ----

namespace {

detail::pool::Instance* instanceOf(PTP_CALLBACK_INSTANCE instance) {
    return static_cast<detail::pool::Instance*>(instance);
}

}  // namespace

void SetEventWhenCallbackReturns(PTP_CALLBACK_INSTANCE instance, HANDLE event) {
    instanceOf(instance)->event = event;
}

void ReleaseMutexWhenCallbackReturns(PTP_CALLBACK_INSTANCE instance, HANDLE mutex) {
    instanceOf(instance)->mutex = mutex;
}

void ReleaseSemaphoreWhenCallbackReturns(PTP_CALLBACK_INSTANCE instance, HANDLE semaphore,
                                         DWORD releaseCount) {
    instanceOf(instance)->semaphore = semaphore;
    instanceOf(instance)->semaphoreCount = releaseCount;
}

void LeaveCriticalSectionWhenCallbackReturns(PTP_CALLBACK_INSTANCE instance,
                                             PCRITICAL_SECTION section) {
    instanceOf(instance)->section = section;
}

}  // namespace davro::win32
