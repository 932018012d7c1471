// Wait notes: what a blocked thread waits for, kept so that GetThreadWaitChain (WaitChain.cpp)
// can follow thread -> object -> owner -> object ... while every thread keeps running.
//
// A thread describes its own blocking waits in its context's WaitNote, in the slow paths
// only: a wait that blocks (waitBlocking, a named mutex's blocking lock), a contended
// critical section, a message sent to another thread. The lock-free fast paths write
// nothing. The note is a seqlock (`seq` odd while it changes), so a reader copies it without
// a lock that a waiting or waking thread needs.
//
// A reader also follows the note to what it names: an object's state, a thread object's
// record, a named mutex's shared record, a critical section's owner. Those stay alive only
// while the wait lasts (its references, the section that the thread is entering). So a reader
// raises the note's `peekers` before it reads the note and lowers it when it is done, and a
// thread that ends a note waits until no reader peeks before it lets go of what its wait kept
// alive. A reader peeks for a few loads inside a NoStopScope, so that wait is short.
// DESIGN.md, "Wait chains", has the whole picture.
#pragma once

#include <cstdint>

#include "Object.h"
#include "ThreadContext.h"

namespace davro::win32::detail {

// What a note describes.
enum class NoteKind : std::uint32_t {
    None,         // not blocked in the layer: the thread runs (or sleeps, or does I/O)
    Objects,      // a wait on kernel objects (0 to 64; none: a message-only wait)
    Section,      // entering a critical section that another thread holds
    SendMessage,  // waiting for another thread to answer a sent message
};

// The note that a wait replaced, given back when it ends: a wait inside a window procedure
// that runs while its thread sends a message puts the send's note back afterwards.
struct OuterNote {
    std::uint32_t kind;
    std::uintptr_t target;
    std::int64_t since;
    bool kept;  // the new wait left the note alone (a message-only wait inside a send)
};

// Starts the note of a blocking wait of the calling thread `c`: `objs`/`n`/`all` for
// NoteKind::Objects (the caller holds references on them until endNote returns), `target`
// for a section (its address) or a send (the receiving thread's id). A message-only wait
// (Objects, n 0) inside another note leaves that note as it is: a sender waits for its
// answer that way.
OuterNote beginNote(ThreadContext* c, NoteKind kind, std::uintptr_t target, Object* const* objs,
                    std::uint32_t n, bool all);

// Ends the note that beginNote started, putting `outer` back, and returns once no reader
// follows the ended note any more: only then may the caller give up what the wait held.
void endNote(ThreadContext* c, const OuterNote& outer);

// The context's note belongs to a new thread (installContext, a forked child) or to none
// (releaseContext, tid 0): any note left by a thread that was terminated is dropped.
void resetNote(ThreadContext* c, std::uint32_t tid);
// In a forked child, where only the forking thread exists: readers that were peeking at the
// moment of the fork never end their peek here, so their count is dropped.
void forgetPeekers(ThreadContext* c);

// The thread id that owns the critical section at `section` (a CRITICAL_SECTION's address),
// 0 when none does (CriticalSection.cpp).
std::uint32_t criticalSectionOwner(std::uintptr_t section);
// In a forked child, on the forking thread: its critical section owner id takes the thread's
// new id `tid`, and the sections it entered before the fork name that id too.
void renumberSectionOwner(std::uint32_t tid);

}  // namespace davro::win32::detail
