// The signals that the rest of the layer gives to kernel objects (KernelObjects.cpp).
#pragma once

#include "Object.h"
#include "ThreadContext.h"

namespace davro::win32::detail {

// Marks a Thread-kind object as ended (signalled for ever) and wakes its waiters.
void signalForever(Object* object);

// Abandons every in-process mutex still owned by the thread of `context`: each becomes free
// with its abandoned flag set, which the next acquirer reports as WAIT_ABANDONED.
void abandonOwnedMutexes(ThreadContext* context);

// In a forked child: the mutexes that the forking thread owned under its old id are its
// own under the new one.
void renumberOwnedMutexes(ThreadContext* context, std::uint32_t oldTid);

}  // namespace davro::win32::detail
