// Work objects, simple callbacks and QueueUserWorkItem: items queued on a pool by their
// submission (ThreadPool.cpp), each run once per submission.
#include <new>

#include "ThreadPool.h"

namespace davro::win32 {

namespace detail::pool {
namespace {

// A new item, or null with ERROR_NOT_ENOUGH_MEMORY.
Item* makeItem(Kind kind, Pool* pool, void* callback, PVOID context, bool runsLong) {
    auto* const item = new (std::nothrow) Item(kind, pool, callback, context, runsLong);
    if (item == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return item;
}

}  // namespace
}  // namespace detail::pool

using detail::pool::Item;
using detail::pool::Kind;

PTP_WORK CreateThreadpoolWork(PTP_WORK_CALLBACK callback, PVOID context,
                              PTP_CALLBACK_ENVIRON environment) {
    if (callback == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Item* const item = detail::pool::makeItem(Kind::kWork, detail::pool::poolOf(environment),
                                              reinterpret_cast<void*>(callback), context,
                                              detail::pool::longFunction(environment));
    if (item != nullptr) {
        detail::pool::joinGroup(item, environment);
    }
    return reinterpret_cast<PTP_WORK>(item);
}

void SubmitThreadpoolWork(PTP_WORK work) { detail::pool::submit(reinterpret_cast<Item*>(work)); }

void WaitForThreadpoolWorkCallbacks(PTP_WORK work, BOOL cancelPending) {
    auto* const item = reinterpret_cast<Item*>(work);
    if (cancelPending != FALSE) {
        detail::pool::cancelPending(item);
    }
    detail::pool::waitIdle(item);
}

void CloseThreadpoolWork(PTP_WORK work) {
    auto* const item = reinterpret_cast<Item*>(work);
    detail::pool::leaveGroup(item);
    item->release();
}

BOOL TrySubmitThreadpoolCallback(PTP_SIMPLE_CALLBACK callback, PVOID context,
                                 PTP_CALLBACK_ENVIRON environment) {
    if (callback == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Item* const item = detail::pool::makeItem(Kind::kSimple, detail::pool::poolOf(environment),
                                              reinterpret_cast<void*>(callback), context,
                                              detail::pool::longFunction(environment));
    if (item == nullptr) {
        return FALSE;
    }
    detail::pool::joinGroup(item, environment);
    detail::pool::submit(item);
    return TRUE;
}

BOOL QueueUserWorkItem(LPTHREAD_START_ROUTINE function, PVOID context, ULONG flags) {
    if (function == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Item* const item = detail::pool::makeItem(Kind::kUserWorkItem, detail::pool::defaultPool(),
                                              reinterpret_cast<void*>(function), context,
                                              (flags & WT_EXECUTELONGFUNCTION) != 0);
    if (item == nullptr) {
        return FALSE;
    }
    detail::pool::submit(item);
    return TRUE;
}

}  // namespace davro::win32
