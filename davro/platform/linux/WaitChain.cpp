// Wait chain traversal for the threads of this process: OpenThreadWaitChainSession,
// CloseThreadWaitChainSession and GetThreadWaitChain, over the wait notes that blocked threads
// keep of their own waits (WaitChain.h).
//
// GetThreadWaitChain starts at a thread and walks thread -> the object it waits for -> that
// object's owner -> what the owner waits for, one node per thread and per object, until a
// thread runs, an object has no owner, a thread already in the chain comes back (a cycle: a
// deadlock) or WCT_MAX_NODE_COUNT nodes are listed. Each thread's step is read from its note
// as one consistent copy (a seqlock read, retried while the thread changes it), together with
// the state of the object that the note names; the chain is put together hop by hop while
// every thread keeps running, as on Windows. DESIGN.md, "Wait chains", has the node layout.
#include "WaitChain.h"

#include <davro/platform/Environment.h>
#include <davro/platform/detail/Utf8.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string>

#include "Futex.h"
#include "Locks.h"
#include "NamedObject.h"
#include "StopScope.h"
#include "ThreadContext.h"
#include "ThreadRecord.h"

namespace davro::win32::detail {

// ---- Notes (written by their own thread) ----

namespace {

// A reader that finds a note changing this many times in a row gives up on that thread.
constexpr int kPeekTries = 1000;

// The writer's half of a seqlock change: `seq` odd, then the fields, then `seq` even. The
// fields are stored with release (plain stores on x86), so that a reader that acquires one
// of them sees `seq` odd or later; no fence, which ThreadSanitizer could not follow.
template <typename Change>
void changeNote(WaitNote& note, std::memory_order publish, Change change) {
    const std::uint32_t seq = note.seq.load(std::memory_order_relaxed);
    note.seq.store(seq + 1, std::memory_order_relaxed);
    change();
    note.seq.store(seq + 2, publish);
}

constexpr auto kField = std::memory_order_release;

}  // namespace

OuterNote beginNote(ThreadContext* c, NoteKind kind, std::uintptr_t target, Object* const* objs,
                    std::uint32_t n, bool all) {
    WaitNote& note = c->note;
    OuterNote outer{note.kind.load(std::memory_order_relaxed),
                    note.target.load(std::memory_order_relaxed),
                    note.since.load(std::memory_order_relaxed), false};
    if (kind == NoteKind::Objects && n == 0 &&
        outer.kind != static_cast<std::uint32_t>(NoteKind::None)) {
        outer.kept = true;  // a sender's wait for its answer: the send's note says more
        return outer;
    }
    const std::int64_t now = monotonicNs();
    changeNote(note, std::memory_order_release, [&] {
        note.kind.store(static_cast<std::uint32_t>(kind), kField);
        note.target.store(target, kField);
        note.count.store(n, kField);
        note.all.store(all ? 1 : 0, kField);
        note.since.store(now, kField);
        for (std::uint32_t i = 0; i < n; ++i) {
            note.objects[i].store(objs[i], kField);
        }
    });
    return outer;
}

void endNote(ThreadContext* c, const OuterNote& outer) {
    if (outer.kept) {
        return;
    }
    WaitNote& note = c->note;
    // Sequentially consistent with the load below and with a reader's raise of `peekers` and
    // its load of `seq`: either the reader sees this change, or this thread sees the reader.
    changeNote(note, std::memory_order_seq_cst, [&] {
        note.kind.store(outer.kind, kField);
        note.target.store(outer.target, kField);
        note.count.store(0, kField);
        note.all.store(0, kField);
        note.since.store(outer.since, kField);
    });
    for (unsigned n = 0; note.peekers.load(std::memory_order_seq_cst) != 0;) {
        backoff(n);  // a reader is a few loads from done, inside a NoStopScope
    }
}

void resetNote(ThreadContext* c, std::uint32_t tid) {
    WaitNote& note = c->note;
    changeNote(note, std::memory_order_release, [&] {
        note.tid.store(tid, kField);
        note.kind.store(static_cast<std::uint32_t>(NoteKind::None), kField);
        note.count.store(0, kField);
        note.target.store(0, kField);
    });
}

void forgetPeekers(ThreadContext* c) { c->note.peekers.store(0, std::memory_order_relaxed); }

// ---- Reading a thread's step ----

namespace {

// What one thread contributes to a chain, read from its note in one consistent copy.
struct Step {
    bool blocked = false;
    std::int64_t since = 0;  // monotonic ns at the start of its wait
    bool hasObject = false;  // `object` is the node of what it waits for
    WAITCHAIN_NODE_INFO object = {};
    std::uint32_t next = 0;  // the thread that holds that object, 0 when none
};

// Copies `text` into an object node's name, cut to fit with its terminating zero.
void setName(WAITCHAIN_NODE_INFO& node, const std::wstring& text) {
    const std::size_t n = std::min<std::size_t>(text.size(), WCT_OBJNAME_LENGTH - 1);
    std::copy_n(text.begin(), n, node.LockObject.ObjectName);
    node.LockObject.ObjectName[n] = L'\0';
}

// Whether object `o` would let thread `tid` through now (a wait-all's objects one by one).
bool passes(Object* o, std::uint32_t tid) {
    const Kind kind = o->kind.load(std::memory_order_relaxed);
    if (isNamedKind(kind)) {
        return namedPasses(o, tid);
    }
    return signalledFor(kind, o->state.load(std::memory_order_acquire), tid);
}

// Fills `step` with the node of kernel object `o`, which a thread waits for and keeps alive.
void describeObject(Object* o, Step& step) {
    WAITCHAIN_NODE_INFO& node = step.object;
    switch (o->kind.load(std::memory_order_relaxed)) {
        case Kind::Mutex: {
            const std::uint64_t s = o->state.load(std::memory_order_acquire);
            node.ObjectType = WctMutexType;
            step.next = word::ownerOf(s);
            node.ObjectStatus = step.next != 0                ? WctStatusOwned
                                : (s & word::kAbandoned) != 0 ? WctStatusAbandoned
                                                              : WctStatusNotOwned;
            break;
        }
        case Kind::NamedMutex: {
            bool died = false;
            node.ObjectType = WctMutexType;
            step.next = namedMutexOwner(o, died);
            node.ObjectStatus = step.next != 0 ? WctStatusOwned
                                : died         ? WctStatusAbandoned
                                               : WctStatusNotOwned;
            setName(node, davro::platform::fromUtf8(namedName(o)));
            break;
        }
        case Kind::Thread: {
            // The thread that the handle names holds it until it ends.
            const ThreadRecord* record = recordOf(o);
            node.ObjectType = WctThreadWaitType;
            const bool ended = (o->state.load(std::memory_order_acquire) & word::kSignalled) != 0;
            const std::uint32_t tid = record->tid.load(std::memory_order_relaxed);
            step.next = ended || tid == kTidWanted ? 0 : tid;  // kTidWanted: not started yet
            node.ObjectStatus = step.next != 0 ? WctStatusOwned : WctStatusNotOwned;
            break;
        }
        case Kind::Process:
            node.ObjectType = WctProcessWaitType;  // this process: it ends after its threads
            node.ObjectStatus = WctStatusUnknown;
            break;
        default:
            // Events and semaphores: nobody owns them, so the chain cannot go on (Windows
            // traces owners of mutexes, critical sections, sends, threads and processes only).
            node.ObjectType = WctUnknownType;
            node.ObjectStatus = WctStatusUnknown;
            if (isNamedKind(o->kind.load(std::memory_order_relaxed))) {
                setName(node, davro::platform::fromUtf8(namedName(o)));
            }
            break;
    }
}

// The node of the first object that keeps a wait of `count` objects blocked: the first one
// of a wait-any (each of them keeps it blocked), the first one that would not let the thread
// through of a wait-all. A wait on more than one object says so after the object's name:
// "[<position> of <count>, wait-any]" or "... wait-all]".
void describeObjects(const WaitNote& note, std::uint32_t tid, std::uint32_t count, bool all,
                     Step& step) {
    std::uint32_t chosen = 0;
    for (std::uint32_t i = 0; all && i < count; ++i) {
        if (!passes(note.objects[i].load(std::memory_order_acquire), tid)) {
            chosen = i;
            break;
        }
    }
    describeObject(note.objects[chosen].load(std::memory_order_acquire), step);
    if (count > 1) {
        std::wstring name = step.object.LockObject.ObjectName;
        name += name.empty() ? L"[" : L" [";
        name += std::to_wstring(chosen + 1) + L" of " + std::to_wstring(count) +
                (all ? L", wait-all]" : L", wait-any]");
        // The marker is kept whole: a long name gives way to it.
        const std::size_t room = WCT_OBJNAME_LENGTH - 1;
        if (name.size() > room) {
            const std::size_t marker = name.size() - name.rfind(L'[');
            name.erase(room - marker, name.size() - room);
        }
        setName(step.object, name);
    }
}

// Raises a note's `peekers` for one scope, inside a NoStopScope: the thread that ends the
// note waits until the scope is over.
class Peek {
public:
    explicit Peek(WaitNote& note) : note_(note) {
        note_.peekers.fetch_add(1, std::memory_order_seq_cst);
    }
    ~Peek() { note_.peekers.fetch_sub(1, std::memory_order_release); }
    Peek(const Peek&) = delete;
    Peek& operator=(const Peek&) = delete;

private:
    const NoStopScope noStop_;
    WaitNote& note_;
};

enum class Read { Done, Gone, Busy };

// Reads the note of `c` for thread `tid` into `step`: Gone when `c` is no longer that
// thread's, Busy when its note kept changing. What the note names is read only from a copy
// that was whole (the thread cannot end that note, and so cannot let go of what it names,
// while this reader peeks), and the copy is checked again afterwards, so that the object's
// state belongs to the same wait.
Read readStep(ThreadContext* c, std::uint32_t tid, Step& step) {
    WaitNote& note = c->note;
    const Peek peek(note);
    for (int attempt = 0; attempt < kPeekTries; ++attempt) {
        const std::uint32_t seq = note.seq.load(std::memory_order_seq_cst);
        if ((seq & 1) != 0) {
            cpuRelax();
            continue;
        }
        // Each field acquired: a field that the next change has already written makes the
        // second load of `seq` see that change.
        const std::uint32_t owner = note.tid.load(std::memory_order_acquire);
        const auto kind = static_cast<NoteKind>(note.kind.load(std::memory_order_acquire));
        const std::uintptr_t target = note.target.load(std::memory_order_acquire);
        const std::uint32_t count = note.count.load(std::memory_order_acquire);
        const bool all = note.all.load(std::memory_order_acquire) != 0;
        const std::int64_t since = note.since.load(std::memory_order_acquire);
        if (note.seq.load(std::memory_order_relaxed) != seq) {
            continue;
        }
        if (owner != tid) {
            return Read::Gone;  // the context is another thread's now, or nobody's
        }
        step = Step{};
        step.blocked = kind != NoteKind::None;
        step.since = since;
        if (kind == NoteKind::Objects && count > 0 && count <= MAXIMUM_WAIT_OBJECTS) {
            step.hasObject = true;
            describeObjects(note, tid, count, all, step);
        } else if (kind == NoteKind::Section) {
            step.hasObject = true;
            step.object.ObjectType = WctCriticalSectionType;
            step.next = criticalSectionOwner(target);
            step.object.ObjectStatus = step.next != 0 ? WctStatusOwned : WctStatusNotOwned;
        } else if (kind == NoteKind::SendMessage) {
            step.hasObject = true;
            step.object.ObjectType = WctSendMessageType;
            step.next = static_cast<std::uint32_t>(target);
            step.object.ObjectStatus = WctStatusOwned;  // the receiver holds the answer
        }
        if (note.seq.load(std::memory_order_acquire) == seq) {  // still that wait
            return Read::Done;
        }
    }
    return Read::Busy;
}

// The context of live thread `tid`, or null. Id 0 names no thread: it is what the note of a
// context being given back says, and a reader may still see such a context as live.
ThreadContext* findContext(std::uint32_t tid) {
    if (tid == 0) {
        return nullptr;
    }
    for (ThreadContext* c = allContexts(); c != nullptr; c = c->nextAll) {
        if (c->live.load(std::memory_order_acquire) &&
            c->note.tid.load(std::memory_order_relaxed) == tid) {
            return c;
        }
    }
    return nullptr;
}

// Reads a small /proc file into `buffer` (zero-terminated); false when it cannot be read.
bool readProcFile(const char* path, char* buffer, std::size_t size) {
    const NoCancelScope noCancel;  // open, read and close are cancellation points
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::size_t used = 0;
    while (used + 1 < size) {
        const ssize_t n = ::read(fd, buffer + used, size - 1 - used);
        if (n <= 0) {
            break;
        }
        used += static_cast<std::size_t>(n);
    }
    ::close(fd);
    buffer[used] = '\0';
    return used > 0;
}

// The number after "\n<field>:" in a /proc status text, 0 when absent.
unsigned long statusField(const char* text, const char* field) {
    char key[48];
    std::snprintf(key, sizeof key, "\n%s:", field);
    const char* at = std::strstr(text, key);
    return at == nullptr ? 0 : std::strtoul(at + std::strlen(key), nullptr, 10);
}

// A thread node for thread `tid` of process `pid`.
WAITCHAIN_NODE_INFO threadNode(DWORD pid, std::uint32_t tid, WCT_OBJECT_STATUS status) {
    WAITCHAIN_NODE_INFO node{};
    node.ObjectType = WctThreadType;
    node.ObjectStatus = status;
    node.ThreadObject.ProcessId = pid;
    node.ThreadObject.ThreadId = tid;
    return node;
}

// The thread node of `tid`, a thread of this process, with its context switches so far.
WAITCHAIN_NODE_INFO ownThreadNode(std::uint32_t tid, const Step& step) {
    WAITCHAIN_NODE_INFO node =
        threadNode(GetCurrentProcessId(), tid, step.blocked ? WctStatusBlocked : WctStatusRunning);
    if (step.blocked) {
        // In the layer's milliseconds, which DAVRO_TIME_SCALE speeds up like GetTickCount.
        const std::int64_t ns = std::max<std::int64_t>(0, monotonicNs() - step.since);
        const double ms = static_cast<double>(ns) / 1e6 * davro::platform::timeScale();
        node.ThreadObject.WaitTime = static_cast<DWORD>(std::min(ms, 4294967295.0));
    }
    char path[64];
    char text[4096];
    std::snprintf(path, sizeof path, "/proc/self/task/%u/status", tid);
    if (readProcFile(path, text, sizeof text)) {
        node.ThreadObject.ContextSwitches =
            static_cast<DWORD>(statusField(text, "voluntary_ctxt_switches") +
                               statusField(text, "nonvoluntary_ctxt_switches"));
    }
    return node;
}

bool isOwnThread(std::uint32_t tid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%u", tid);
    return ::access(path, F_OK) == 0;
}

// The process of a thread of another process (a named mutex's owner), 0 when unknown.
DWORD processOf(std::uint32_t tid) {
    char path[64];
    char text[4096];
    std::snprintf(path, sizeof path, "/proc/%u/status", tid);
    return readProcFile(path, text, sizeof text) ? static_cast<DWORD>(statusField(text, "Tgid"))
                                                 : 0;
}

// A chain as GetThreadWaitChain returns it: up to WCT_MAX_NODE_COUNT nodes, whether it came
// back to a thread already in it, whether it went on past the last node.
struct Chain {
    WAITCHAIN_NODE_INFO nodes[WCT_MAX_NODE_COUNT];
    DWORD count = 0;
    bool cycle = false;
    bool tooLong = false;

    bool add(const WAITCHAIN_NODE_INFO& node) {
        if (count == WCT_MAX_NODE_COUNT) {
            tooLong = true;
            return false;
        }
        nodes[count++] = node;
        return true;
    }
};

// Walks the chain from thread `tid`: ERROR_SUCCESS, or ERROR_OBJECT_NOT_FOUND when `tid` is
// no thread of this process.
DWORD walk(std::uint32_t tid, Chain& chain) {
    std::uint32_t seen[WCT_MAX_NODE_COUNT];
    std::uint32_t seenCount = 0;
    for (;;) {
        Step step;  // a thread without a note never waited in the layer: it runs
        ThreadContext* c = findContext(tid);
        const Read read = c != nullptr ? readStep(c, tid, step) : Read::Gone;
        if (read == Read::Busy) {
            // It blocks and wakes in a tight loop: neither running nor blocked for long.
            chain.add(threadNode(GetCurrentProcessId(), tid, WctStatusUnknown));
            return ERROR_SUCCESS;
        }
        if (read == Read::Gone && !isOwnThread(tid)) {
            if (chain.count == 0) {
                return ERROR_OBJECT_NOT_FOUND;
            }
            // A thread of another process (it holds a named mutex): listed, not followed.
            chain.add(threadNode(processOf(tid), tid, WctStatusUnknown));
            return ERROR_SUCCESS;
        }
        if (!chain.add(ownThreadNode(tid, step))) {
            return ERROR_SUCCESS;
        }
        if (std::find(seen, seen + seenCount, tid) != seen + seenCount) {
            chain.cycle = true;  // listed once more, so that the chain shows where it closes
            return ERROR_SUCCESS;
        }
        seen[seenCount++] = tid;
        if (!step.hasObject || !chain.add(step.object) || step.next == 0) {
            return ERROR_SUCCESS;
        }
        tid = step.next;
    }
}

// ---- Sessions ----

// The open sessions. A session holds nothing but its handle value: a synchronous session's
// walks need no state between calls. A spin lock, so that fork() never copies it held; the
// set's nodes are made before it is taken and freed after it is left (node handles), so
// that it never waits for the allocator.
struct Sessions {
    SpinLock lock;
    std::set<std::uintptr_t> open;
    std::atomic<std::uintptr_t> last{0};
};

Sessions& sessions() {
    static auto* s = new Sessions;  // never destroyed: a report may come during exit
    return *s;
}

bool isOpen(HWCT session) {
    Sessions& s = sessions();
    const SpinGuard guard(s.lock);
    return s.open.count(reinterpret_cast<std::uintptr_t>(session)) != 0;
}

constexpr DWORD kKnownFlags =
    WCT_OUT_OF_PROC_FLAG | WCT_OUT_OF_PROC_COM_FLAG | WCT_OUT_OF_PROC_CS_FLAG | WCT_NETWORK_IO_FLAG;

}  // namespace

}  // namespace davro::win32::detail

namespace davro::win32 {

using namespace detail;

HWCT OpenThreadWaitChainSession(DWORD flags, PWAITCHAINCALLBACK /*callback*/) {
    if ((flags & ~WCT_ASYNC_OPEN_FLAG) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (flags == WCT_ASYNC_OPEN_FLAG) {
        SetLastError(ERROR_NOT_SUPPORTED);  // results through a callback: not offered here
        return nullptr;
    }
    Sessions& s = sessions();
    const NoStopScope noStop;  // never stopped in the allocator, whose lock it would keep
    const std::uintptr_t value = s.last.fetch_add(1, std::memory_order_relaxed) + 1;
    std::set<std::uintptr_t> made;
    try {
        made.insert(value);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    {
        const SpinGuard guard(s.lock);
        s.open.insert(made.extract(made.begin()));  // a node moved: nothing allocated
    }
    return reinterpret_cast<HWCT>(value);  // NOLINT(performance-no-int-to-ptr)
}

void CloseThreadWaitChainSession(HWCT session) {
    Sessions& s = sessions();
    const NoStopScope noStop;
    std::set<std::uintptr_t>::node_type gone;  // freed once the lock is left
    const SpinGuard guard(s.lock);
    gone = s.open.extract(reinterpret_cast<std::uintptr_t>(session));
}

BOOL GetThreadWaitChain(HWCT session, DWORD_PTR /*context*/, DWORD flags, DWORD threadId,
                        LPDWORD nodeCount, PWAITCHAIN_NODE_INFO nodeInfoArray, LPBOOL isCycle) {
    if (nodeCount == nullptr || nodeInfoArray == nullptr || isCycle == nullptr || *nodeCount == 0 ||
        *nodeCount > WCT_MAX_NODE_COUNT || (flags & ~kKnownFlags) != 0 || !isOpen(session)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Chain chain;
    DWORD error = ERROR_SUCCESS;
    try {
        error = walk(threadId, chain);
    } catch (const std::bad_alloc&) {
        error = ERROR_NOT_ENOUGH_MEMORY;  // a name that could not be converted
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    const DWORD room = *nodeCount;
    std::copy_n(chain.nodes, std::min(room, chain.count), nodeInfoArray);
    *isCycle = chain.cycle ? TRUE : FALSE;
    *nodeCount = chain.count;
    if (chain.count > room) {
        SetLastError(ERROR_MORE_DATA);  // the nodes that fitted are still valid
        return FALSE;
    }
    if (chain.tooLong) {
        SetLastError(ERROR_TOO_MANY_THREADS);  // the chain goes on past WCT_MAX_NODE_COUNT
        return FALSE;
    }
    return TRUE;
}

}  // namespace davro::win32
