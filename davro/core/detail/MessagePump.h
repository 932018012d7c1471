// Internal to the library: the message pump behind the message-pumping waits.
//
// YSyncObject::dispatchLock() calls it between the pieces of its wait, and the thread
// class's static dispatchMessages() forwards to it. Not exported.
#pragma once

namespace davro::detail {

// Removes and dispatches (TranslateMessage, DispatchMessageW) every message in the calling
// thread's queue, for all of its windows and for the thread itself, until the queue is
// empty and `timeout` ms have passed since the call began. Returns 1 as soon as WM_QUIT is
// met (it is taken from the queue and not put back), 0 when the time is up. A timeout of 0
// or less dispatches what is queued, and what arrives meanwhile, and returns 0 at the first
// empty queue; a steady stream of messages keeps it dispatching past the deadline. While
// the queue is empty it waits for new input in steps of 1 ms. The deadline is on the
// system clock.
int dispatchMessages(int timeout);

}  // namespace davro::detail
