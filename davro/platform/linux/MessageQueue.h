// The per-thread message queue (MessageQueue.cpp) and what the window registry
// (Windows.cpp) and the rest of the layer need of it.
#pragma once

#include <davro/platform/Win32.h>

#include <cstdint>

#include "ThreadContext.h"

namespace davro::win32::detail {

// One thread's message queue; reference-counted (retainQueue/releaseQueue), since posters,
// senders and windows may still hold one when its thread ends.
struct Queue;

// The calling thread's queue, made on first use; null with ERROR_NOT_ENOUGH_MEMORY set when
// memory is short. No reference is added: the thread holds one until its end.
Queue* currentQueue();
void retainQueue(Queue* q);
void releaseQueue(Queue* q);
// The id of the thread that owns `q`.
DWORD queueThread(const Queue* q);

// Adds a posted message; false with the last error set when the queue's thread has ended
// (ERROR_INVALID_THREAD_ID) or memory is short.
bool postMessage(Queue* q, const MSG& message);
// Drops the messages still posted to a window that is going away.
void dropPostedFor(Queue* q, HWND window);

// Whether the queue of `c` has new input of the kinds in `mask` (MsgWaitForMultipleObjects'
// rule: only input that arrived since the thread last looked counts).
bool hasNewInput(ThreadContext* c, DWORD mask);
// Makes the input of `mask` old: what ended a message wait is not new input any more.
void forgetInput(Queue* q, DWORD mask);
// Makes every message still in the queue new again, seen or not (MWMO_INPUTAVAILABLE). Called
// by the queue's own thread.
void markQueuedInputNew(Queue* q);
// The queue's own bit among the new-input bits, not a QS_ kind (the senders' reply bit).
inline constexpr DWORD kNotInput = 0x80000000;

// At the thread's end (and for the threads a forked child lacks): what it was sending is
// dropped, messages sent to it and not yet answered get 0, its windows go without messages,
// posted messages are dropped and the queue leaves the registry.
void retireQueue(ThreadContext* c);
// In a forked child: the queue of the forking thread is found under its new id.
void renumberQueue(ThreadContext* c, std::uint32_t oldTid);

// ---- The window registry (Windows.cpp) ----

// The procedure and owner (retained) of a live window; false otherwise.
bool findWindow(HWND window, WNDPROC& procedure, Queue*& owner);
// Removes, without messages, every window of a queue whose thread has ended.
void forgetWindowsOf(const Queue* q);

}  // namespace davro::win32::detail
