// Named objects: mutexes, events and semaphores shared by every process of the same user
// under one name (NamedObject.cpp; DESIGN.md, "Named objects").
//
// A process has one object per name: every handle that it opens to the name, by creating
// or opening it, names that object, and the object's last reference gives up the process's
// hold on the name. The state lives in the name's shared record (NamedFile.h).
#pragma once

#include <davro/platform/Win32.h>

#include <atomic>
#include <cstdint>
#include <string_view>

#include "HandleTable.h"
#include "NamedFile.h"
#include "Object.h"
#include "ThreadContext.h"

namespace davro::win32::detail {

// What a Create call asks for when the name is new.
struct NamedCreation {
    NamedKind kind;
    BOOL initialOwner;  // mutexes
    LONG count;         // events: 1 when set; semaphores: the initial count
    LONG maximum;       // semaphores
};

// Create*W with a name: joins the object of that name (ERROR_ALREADY_EXISTS, the creation
// arguments ignored) or makes it (last error 0). Fails with ERROR_INVALID_HANDLE when the
// name holds another kind of object. `desiredAccess`: the rights of the handle (mapped as
// Open*W maps them), 0 for all.
HANDLE createNamed(const wchar_t* name, const NamedCreation& creation, DWORD desiredAccess = 0);
// Open*W: the object of that name if it is of a kind in `family` (bits 1 << NamedKind), with
// `desiredAccess` as Windows grants it for the object's type: ERROR_FILE_NOT_FOUND for a
// missing name, then ERROR_ACCESS_DENIED for an empty mask or a right that the type does not
// define, ERROR_PRIVILEGE_NOT_HELD for ACCESS_SYSTEM_SECURITY.
HANDLE openNamed(const wchar_t* name, unsigned family, DWORD desiredAccess);
inline constexpr unsigned kMutexFamily = 1U << static_cast<unsigned>(NamedKind::Mutex);
inline constexpr unsigned kEventFamily = (1U << static_cast<unsigned>(NamedKind::AutoEvent)) |
                                         (1U << static_cast<unsigned>(NamedKind::ManualEvent));
inline constexpr unsigned kSemaphoreFamily = 1U << static_cast<unsigned>(NamedKind::Semaphore);
inline constexpr unsigned kTimerFamily = (1U << static_cast<unsigned>(NamedKind::ManualTimer)) |
                                         (1U << static_cast<unsigned>(NamedKind::AutoTimer));

// The narrow names: the process's narrow encoding (UTF-8) as wide code units; bytes that
// are not UTF-8 become units of their own (0xDC80 + byte), so that names stay apart. False
// when memory is short.
bool wideName(const char* narrow, std::wstring& wide);

// WaitForSingleObject's first look at a named object, without a reference: the result, or
// WAIT_TIMEOUT when it is not signalled for the caller (the caller then blocks if it may). A
// named timer is only looked at, not fired: a wait's later look does that.
DWORD tryWaitNamed(Resolved r);
// WaitForSingleObject on a plain handle to a named object: tryWaitNamed, then the blocking
// wait if the time-out allows it.
DWORD waitNamed(HANDLE object, Resolved r, DWORD milliseconds);
// WaitForSingleObject(0) on a named timer: fires it if it is due, then tries it.
DWORD pollNamedTimer(const Resolved& r);
// ReleaseMutex, SetEvent, ResetEvent and ReleaseSemaphore on a named object; the caller
// has checked the kind and the access.
BOOL releaseNamedMutex(Resolved r);
BOOL setNamedEvent(Resolved r);
BOOL resetNamedEvent(const Resolved& r);
BOOL releaseNamedSemaphore(Resolved r, LONG releaseCount, LPLONG previousCount);

// A named timer's fire (fireNamedTimer, WaitableTimer.cpp): a manual timer is set and every
// waiter woken; a synchronization timer is set as an auto event, which releases one waiter.
void signalNamedTimer(SharedRecord* rec);
// SetWaitableTimer on a named timer (`due` as the record keeps it): not signalled, and every
// waiter wakes to read the due time again. With kTimerDisarmed, CancelWaitableTimer: the
// signalled state stays. ERROR_INVALID_HANDLE when the handle has died. `generation`, when
// given, receives the record's set generation that this set made.
BOOL setNamedTimer(const Resolved& r, std::int64_t due, std::int64_t periodNs,
                   std::uint32_t* generation = nullptr);

// ---- For the wait engine, which holds a reference on `o` ----

// One attempt to take `o` for the calling thread `c`: WAIT_OBJECT_0 or WAIT_ABANDONED (taken)
// or WAIT_TIMEOUT. `registered`: the thread counts among the waiters (joinNamedWaiters), and
// may take what a set handed to the waiters. A take is then either kept (keepNamed: it decided the
// wait, and a mutex goes on the thread's list, its abandonment reported) or given back
// (giveBackNamed: the abandonment stays for the next taker; `registered` as for the take).
DWORD tryTakeNamed(ThreadContext* c, Object* o, bool registered);
void keepNamed(ThreadContext* c, Object* o);
void giveBackNamed(ThreadContext* c, Object* o, bool registered);
// A blocking wait counts itself among the waiters of an event or a semaphore while it is
// registered, so that a set or a release wakes it; leaving, it passes a wake-up on that it
// may have received for nothing. For mutexes the futex word's waiters flag does this, and
// a waiter that `slept` passes a wake-up on as it leaves.
void joinNamedWaiters(Object* o);
void leaveNamedWaiters(Object* o, bool slept);
// The futex word that a waiter on `o` sleeps on and the value it expects there (a mutex's
// waiters flag set first, unless it is free).
void namedSleepWord(ThreadContext* c, Object* o, std::atomic<std::uint32_t>*& word,
                    std::uint32_t& expected);
// Whether `value` of the futex word of `o` shows something that a registered waiter could
// take.
bool namedWordFree(Object* o, std::uint32_t value);

// At a thread's end: every named mutex it owns is marked abandoned and released, so that
// the next taker in any process gets WAIT_ABANDONED. `ghost`: in a forked child, for a
// thread that does not exist there; its locks belong to the parent's thread and are only
// forgotten.
void abandonNamedMutexes(ThreadContext* context, bool ghost);

// For wait chain traversal, whose caller keeps `o` alive (WaitChain.h): the thread id that
// holds named mutex `o`, 0 when none does (it may be a thread of another process), with
// `ownerDied` set when a process died holding it; the name of any named object in UTF-8, as
// given less a Global\ or Local\ prefix; whether it would let thread `tid` through now (also
// what a spinning waiter watches for, whose references keep `o` alive).
std::uint32_t namedMutexOwner(Object* o, bool& ownerDied);
std::string_view namedName(Object* o);
bool namedPasses(Object* o, std::uint32_t tid);
// For the test hook waitersOn: the threads of any process that sleep on `o`, or may be
// about to (a mutex's waiters flag counts as one).
std::uint32_t namedSleepers(Object* o);

// The last reference of a named object has gone (ObjectPool.cpp).
void destroyNamed(Object* object);

// fork(): the registry's lock is held across it, and the child holds every name through
// descriptors of its own.
void prepareNamedForFork();
void namedAfterForkInParent();
void namedAfterForkInChild();

}  // namespace davro::win32::detail
