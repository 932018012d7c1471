// The per-thread message queue of the Win32 subset on Linux: posting, peeking, sending
// between threads and the message waits.
//
// A thread gets its queue on its first message call (or PostThreadMessageW to itself,
// CreateWindowExW, MsgWaitForMultipleObjects, PostQuitMessage) and loses it when it ends
// (retireQueue, run by the thread's teardown). DESIGN.md, "Message queue", has the rules
// that are kept and the ones that are not. Locks are spin locks held for a few list
// operations, never while a window procedure runs and never around the allocator: a posted
// message is allocated before the lock is taken and freed after it is left. Records that
// another thread may touch (a sent message) live on the heap with a reference count, never
// on a stack.
#include "MessageQueue.h"

#include <davro/platform/Environment.h>

#include <atomic>
#include <new>

#include "Futex.h"
#include "Locks.h"
#include "StopScope.h"
#include "WaitChain.h"
#include "WaitEngine.h"

namespace davro::win32::detail {

namespace {

constexpr DWORD kPostedBits = QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
// The answer to one of this thread's sends has come: a private input bit beside the QS_
// ones, so that a sender waits for answers and sent messages in one message wait.
constexpr DWORD kReplyBit = kNotInput;

// A message sent to another thread's window. Two references: the sender's (dropped when it
// has the answer, or at its end) and the receiving queue's (dropped by the answer).
struct SentMessage {
    std::atomic<int> refs{2};
    HWND window = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    LRESULT result = 0;
    std::atomic<bool> done{false};
    Queue* sender = nullptr;           // retained: the answer reaches it after its thread ends
    SentMessage* next = nullptr;       // the receiver's list of sent messages, then its stack
                                       // of messages being run
    SentMessage* outerSend = nullptr;  // the sender's stack of sends in progress
    OuterNote outer{};                 // the sender's wait chain note before this send
    bool noted = false;                // whether the send is noted for wait chains
};

// A posted message: made before the queue's lock is taken, freed after it is left.
struct Posted {
    MSG message{};
    Posted* next = nullptr;
};

// Frees a chain of posted messages taken off a queue.
void freePosted(Posted* p) {
    while (p != nullptr) {
        Posted* const next = p->next;
        delete p;
        p = next;
    }
}

}  // namespace

struct Queue {
    Queue() = default;
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;
    ~Queue() { freePosted(postedHead); }  // empty once retired; this is for a queue never used

    std::atomic<int> refs{1};
    DWORD tid = 0;
    ThreadContext* owner = nullptr;   // for nudges; contexts are never freed
    Queue* nextInRegistry = nullptr;  // guarded by the registry's lock
    SpinLock lock;
    // Guarded by `lock`.
    Posted* postedHead = nullptr;  // first in, first out
    Posted* postedTail = nullptr;
    SentMessage* sentHead = nullptr;  // sent by other threads, first in, first out
    SentMessage* sentTail = nullptr;
    bool quit = false;
    int quitCode = 0;
    bool alive = true;
    // Touched only by the owning thread (or its teardown).
    SentMessage* running = nullptr;  // sent messages whose procedure is running, innermost first
    SentMessage* sending = nullptr;  // own sends waiting for their answer, innermost first
    // QS_ kinds of input that arrived since the owner last looked at its queue. Set with a
    // seq_cst operation before the owner is nudged (the rule of nudgeWait); cleared by the
    // owner.
    std::atomic<DWORD> changed{0};
};

namespace {

// Queues by thread id: a fixed table of lists linked through the queues themselves, so that
// registering one allocates nothing under the lock.
constexpr DWORD kRegistryBuckets = 256;
struct Registry {
    SpinLock lock;
    Queue* buckets[kRegistryBuckets] = {};
};
Registry gRegistry;

Queue*& bucketOf(DWORD tid) { return gRegistry.buckets[tid % kRegistryBuckets]; }

void unrefSent(SentMessage* s) {
    if (s->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        releaseQueue(s->sender);
        delete s;
    }
}

// Answers a sent message: its sender sees `done`, then its reply bit, then is nudged.
void reply(SentMessage* s, LRESULT result) {
    s->result = result;
    s->done.store(true, std::memory_order_release);
    Queue* sender = s->sender;
    sender->changed.fetch_or(kReplyBit, std::memory_order_seq_cst);
    nudgeWait(sender->owner);
    unrefSent(s);
}

// Takes the oldest message sent to `q`, or null.
SentMessage* takeSent(Queue* q) {
    const SpinGuard guard(q->lock);
    SentMessage* s = q->sentHead;
    if (s != nullptr) {
        q->sentHead = s->next;
        if (q->sentHead == nullptr) {
            q->sentTail = nullptr;
        }
        s->next = nullptr;
    }
    return s;
}

// Runs every message sent to `q` (the calling thread's own queue), each without a lock. A
// message being run is on the `running` stack, so that if the thread ends inside the window
// procedure its teardown still answers it. Outside the procedure the thread cannot be
// stopped: a stop between taking a message and listing it, or between unlisting and
// answering it, would leave its sender waiting for ever.
void runSentMessages(Queue* q) {
    for (;;) {
        SentMessage* s = nullptr;
        WNDPROC procedure = nullptr;
        {
            const NoStopScope noStop;
            s = takeSent(q);
            if (s == nullptr) {
                return;
            }
            s->next = q->running;
            q->running = s;
            Queue* owner = nullptr;
            if (findWindow(s->window, procedure, owner)) {
                if (owner != q) {
                    procedure = nullptr;
                }
                releaseQueue(owner);  // before the procedure, which may end the thread
            }
        }
        const LRESULT result =
            procedure != nullptr ? procedure(s->window, s->message, s->wParam, s->lParam) : 0;
        const NoStopScope noStop;
        q->running = s->next;
        reply(s, result);
    }
}

Queue* queueOfThread(DWORD tid) {
    const SpinGuard guard(gRegistry.lock);
    for (Queue* q = bucketOf(tid); q != nullptr; q = q->nextInRegistry) {
        if (q->tid == tid) {
            retainQueue(q);
            return q;
        }
    }
    return nullptr;
}

// Enters `q` in the registry under its thread's id, in front of any older queue of that id.
void registerQueue(Queue* q) {
    const SpinGuard guard(gRegistry.lock);
    Queue*& first = bucketOf(q->tid);
    q->nextInRegistry = first;
    first = q;
}

void unregisterQueue(const Queue* q, DWORD tid) {
    const SpinGuard guard(gRegistry.lock);
    for (Queue** link = &bucketOf(tid); *link != nullptr; link = &(*link)->nextInRegistry) {
        if (*link == q) {
            *link = q->nextInRegistry;
            return;
        }
    }
}

MSG makeMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG m{};
    m.hwnd = window;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    return m;
}

HWND threadMessagesOnly() {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a filter value, never dereferenced
    return reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1));
}

// Window filter of PeekMessageW/GetMessageW: null = all of the thread's windows and its
// thread messages, -1 = thread messages only, otherwise that window only.
bool matches(const MSG& m, HWND window, UINT first, UINT last) {
    if (window != nullptr &&
        (window == threadMessagesOnly() ? m.hwnd != nullptr : m.hwnd != window)) {
        return false;
    }
    if (first == 0 && last == 0) {
        return true;
    }
    return m.message >= first && m.message <= last;
}

bool validWindowFilter(HWND window) {
    if (window == nullptr || window == threadMessagesOnly()) {
        return true;
    }
    const NoStopScope noStop;  // never stopped holding a reference on a queue
    WNDPROC procedure = nullptr;
    Queue* owner = nullptr;
    if (!findWindow(window, procedure, owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    releaseQueue(owner);
    return true;
}

// PeekMessageW without the argument checks, on the caller's own queue.
bool peek(Queue* q, MSG* out, HWND window, UINT first, UINT last, UINT flags) {
    // Messages sent by other threads first. Looking at the queue makes what is in it old:
    // MsgWaitForMultipleObjects waits for input that arrives after this. The send bit is
    // cleared before the sent messages are taken, so that one sent meanwhile sets it again.
    q->changed.fetch_and(~QS_SENDMESSAGE, std::memory_order_seq_cst);
    runSentMessages(q);
    const bool unfiltered = window == nullptr && first == 0 && last == 0;
    // A stop held back by the lock would otherwise run before the message taken is freed.
    const NoStopScope noStop;
    Posted* removed = nullptr;  // freed once the lock is left
    bool found = false;
    {
        const SpinGuard guard(q->lock);
        // QS_ALLPOSTMESSAGE is cleared only by an unfiltered look, under the lock that posts
        // take, so a message posted during the look is either found or stays new.
        const DWORD seen = unfiltered ? kPostedBits : QS_POSTMESSAGE;
        if ((q->changed.load(std::memory_order_relaxed) & seen) != 0) {
            q->changed.fetch_and(~seen, std::memory_order_relaxed);
        }
        Posted* before = nullptr;
        for (Posted* p = q->postedHead; p != nullptr; before = p, p = p->next) {
            if (matches(p->message, window, first, last)) {
                *out = p->message;
                if ((flags & PM_REMOVE) != 0) {
                    if (before != nullptr) {
                        before->next = p->next;
                    } else {
                        q->postedHead = p->next;
                    }
                    if (q->postedTail == p) {
                        q->postedTail = before;
                    }
                    removed = p;
                }
                found = true;
                break;
            }
        }
        // The quit flag comes after every posted message, whatever the range filter.
        if (!found && q->quit && (window == nullptr || window == threadMessagesOnly())) {
            *out = MSG{};
            out->message = WM_QUIT;
            out->wParam = static_cast<WPARAM>(q->quitCode);
            out->time = GetTickCount();
            if ((flags & PM_REMOVE) != 0) {
                q->quit = false;
            }
            found = true;
        }
    }
    delete removed;
    return found;
}

DWORD waitForInput(DWORD milliseconds, DWORD mask) {
    return waitMultiple(0, nullptr, false, milliseconds, true, mask);
}

}  // namespace

Queue* currentQueue() {
    ThreadContext* c = currentContext();
    if (c == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (c->queue != nullptr) {
        return c->queue;
    }
    // Made, registered and recorded in one step: a thread terminated inside the allocator
    // would keep the heap's lock, and one terminated after registering would leave a queue
    // that its end never retires.
    const NoStopScope noStop;
    auto* q = new (std::nothrow) Queue;
    if (q == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    q->tid = c->tid;
    q->owner = c;
    q->refs.store(2, std::memory_order_relaxed);  // the thread's and the registry's
    registerQueue(q);
    c->queue = q;
    return q;
}

void retainQueue(Queue* q) { q->refs.fetch_add(1, std::memory_order_relaxed); }

void releaseQueue(Queue* q) {
    if (q->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete q;
    }
}

DWORD queueThread(const Queue* q) { return q->tid; }

bool postMessage(Queue* q, const MSG& message) {
    auto* p = new (std::nothrow) Posted{message, nullptr};
    if (p == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    bool alive = false;
    {
        const SpinGuard guard(q->lock);
        alive = q->alive;
        if (alive) {
            if (q->postedTail != nullptr) {
                q->postedTail->next = p;
            } else {
                q->postedHead = p;
            }
            q->postedTail = p;
            q->changed.fetch_or(kPostedBits, std::memory_order_seq_cst);
        }
    }
    if (!alive) {
        delete p;
        SetLastError(ERROR_INVALID_THREAD_ID);
        return false;
    }
    if (q->owner != tlsContext) {
        nudgeWait(q->owner);
    }
    return true;
}

// The first half of SendMessageW to a window of another thread's queue: the record made,
// listed as the caller's and queued at `owner` (answered 0 at once if that thread has
// ended); null with ERROR_NOT_ENOUGH_MEMORY when memory is short. Runs in the caller's
// NoStopScope.
SentMessage* queueSend(Queue* owner, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Queue* self = currentQueue();
    auto* s = self != nullptr ? new (std::nothrow) SentMessage : nullptr;
    if (s == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    s->window = window;
    s->message = message;
    s->wParam = wParam;
    s->lParam = lParam;
    s->sender = self;
    retainQueue(self);
    s->outerSend = self->sending;
    self->sending = s;
    bool queued = false;
    {
        const SpinGuard guard(owner->lock);
        if (owner->alive) {
            if (owner->sentTail != nullptr) {
                owner->sentTail->next = s;
            } else {
                owner->sentHead = s;
            }
            owner->sentTail = s;
            owner->changed.fetch_or(QS_SENDMESSAGE, std::memory_order_seq_cst);
            queued = true;
        }
    }
    if (queued) {
        nudgeWait(owner->owner);
        // Noted for wait chain traversal: this thread waits for the receiver.
        s->outer =
            beginNote(self->owner, NoteKind::SendMessage, queueThread(owner), nullptr, 0, false);
        s->noted = true;
    } else {
        reply(s, 0);  // the receiver has ended: nobody will run it
    }
    return s;
}

// The second half: waits for the answer, serving messages sent to the calling thread
// meanwhile, so that two threads sending to each other do not deadlock. The answer sets
// `done` before the reply bit, and the bit is cleared before `done` is looked at again.
LRESULT awaitAnswer(SentMessage* s) {
    Queue* self = s->sender;
    while (!s->done.load(std::memory_order_acquire)) {
        waitForInput(INFINITE, QS_SENDMESSAGE | kReplyBit);
        self->changed.fetch_and(~(QS_SENDMESSAGE | kReplyBit), std::memory_order_seq_cst);
        runSentMessages(self);
    }
    const NoStopScope noStop;  // unlisted and dropped in one step
    if (s->noted) {
        endNote(self->owner, s->outer);
    }
    self->sending = s->outerSend;
    const LRESULT result = s->result;
    unrefSent(s);
    return result;
}

void dropPostedFor(Queue* q, HWND window) {
    Posted* dropped = nullptr;  // freed once the lock is left
    {
        const SpinGuard guard(q->lock);
        Posted* kept = nullptr;
        for (Posted** link = &q->postedHead; *link != nullptr;) {
            Posted* const p = *link;
            if (p->message.hwnd == window) {
                *link = p->next;
                p->next = dropped;
                dropped = p;
            } else {
                kept = p;
                link = &p->next;
            }
        }
        q->postedTail = kept;
    }
    freePosted(dropped);
}

bool hasNewInput(ThreadContext* c, DWORD mask) {
    const Queue* q = c->queue;
    return q != nullptr && (q->changed.load(std::memory_order_seq_cst) & mask) != 0;
}

void markQueuedInputNew(Queue* q) {
    DWORD queued = 0;
    {
        const SpinGuard guard(q->lock);
        if (q->postedHead != nullptr || q->quit) {
            queued |= kPostedBits;
        }
        if (q->sentHead != nullptr) {
            queued |= QS_SENDMESSAGE;
        }
    }
    if (queued != 0) {
        q->changed.fetch_or(queued, std::memory_order_relaxed);  // read by this thread only
    }
}

void forgetInput(Queue* q, DWORD mask) {
    q->changed.fetch_and(~(mask & ~kReplyBit), std::memory_order_relaxed);
}

void retireQueue(ThreadContext* c) {
    Queue* q = c->queue;
    if (q == nullptr) {
        return;
    }
    while (SentMessage* s = q->sending) {  // sends cut short: their answers go nowhere
        q->sending = s->outerSend;
        unrefSent(s);
    }
    unregisterQueue(q, q->tid);
    forgetWindowsOf(q);
    SentMessage* waiting = nullptr;
    Posted* posted = nullptr;
    {
        const SpinGuard guard(q->lock);
        q->alive = false;
        posted = q->postedHead;
        q->postedHead = q->postedTail = nullptr;
        waiting = q->sentHead;
        q->sentHead = q->sentTail = nullptr;
    }
    freePosted(posted);
    while (SentMessage* s = q->running) {  // the thread ended inside their procedures
        q->running = s->next;
        reply(s, 0);
    }
    while (SentMessage* s = waiting) {
        waiting = s->next;
        reply(s, 0);
    }
    c->queue = nullptr;
    releaseQueue(q);  // the thread's
    releaseQueue(q);  // the registry's
}

void renumberQueue(ThreadContext* c, std::uint32_t oldTid) {
    Queue* q = c->queue;
    if (q == nullptr) {
        return;
    }
    unregisterQueue(q, oldTid);
    q->tid = c->tid;
    registerQueue(q);
}

}  // namespace davro::win32::detail

namespace davro::win32 {

using namespace detail;

BOOL PeekMessageW(LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage) {
    Queue* q = currentQueue();
    if (q == nullptr) {
        return FALSE;
    }
    if (message == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!validWindowFilter(window)) {
        return FALSE;
    }
    return peek(q, message, window, filterMin, filterMax, removeMessage) ? TRUE : FALSE;
}

BOOL GetMessageW(LPMSG message, HWND window, UINT filterMin, UINT filterMax) {
    Queue* q = currentQueue();
    if (q == nullptr) {
        return -1;
    }
    if (message == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    for (;;) {
        if (!validWindowFilter(window)) {
            return -1;
        }
        if (peek(q, message, window, filterMin, filterMax, PM_REMOVE)) {
            return message->message == WM_QUIT ? FALSE : TRUE;
        }
        // The look above made the queue's contents old, so this sleeps until something new
        // is posted or sent.
        waitForInput(INFINITE, QS_ALLINPUT | QS_ALLPOSTMESSAGE);
    }
}

BOOL TranslateMessage(const MSG* /*message*/) {
    return FALSE;  // no keyboard input exists, so there is never a character to add
}

LRESULT DispatchMessageW(const MSG* message) {
    if (message == nullptr || message->hwnd == nullptr) {
        return 0;  // a thread message has no window procedure
    }
    WNDPROC procedure = nullptr;
    bool own = false;
    {
        const NoStopScope noStop;  // never stopped holding a reference on a queue
        Queue* owner = nullptr;
        if (!findWindow(message->hwnd, procedure, owner)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        own = queueThread(owner) == currentThreadId();
        releaseQueue(owner);
    }
    if (!own) {
        SetLastError(ERROR_ACCESS_DENIED);  // window procedures run on their own thread
        return 0;
    }
    return procedure(message->hwnd, message->message, message->wParam, message->lParam);
}

BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    const NoStopScope noStop;  // never stopped holding a reference on a queue
    const MSG m = makeMessage(nullptr, message, wParam, lParam);
    if (threadId == currentThreadId()) {
        // As on Windows, a thread that posts to itself gets its queue from the call.
        Queue* own = currentQueue();
        return own != nullptr && postMessage(own, m) ? TRUE : FALSE;
    }
    Queue* q = queueOfThread(threadId);
    if (q == nullptr) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    const bool posted = postMessage(q, m);
    releaseQueue(q);
    return posted ? TRUE : FALSE;
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const NoStopScope noStop;  // never stopped holding a reference on a queue
    if (window == nullptr) {
        // As Win32: a null window posts a thread message to the calling thread.
        Queue* own = currentQueue();
        return own != nullptr && postMessage(own, makeMessage(nullptr, message, wParam, lParam))
                   ? TRUE
                   : FALSE;
    }
    WNDPROC procedure = nullptr;
    Queue* owner = nullptr;
    if (!findWindow(window, procedure, owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const bool posted = postMessage(owner, makeMessage(window, message, wParam, lParam));
    releaseQueue(owner);
    if (!posted && GetLastError() == ERROR_INVALID_THREAD_ID) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    }
    return posted ? TRUE : FALSE;
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WNDPROC procedure = nullptr;
    SentMessage* s = nullptr;
    {
        // Up to the procedure or the wait for the answer, which may end the thread, nothing
        // can stop it: it would keep the reference on the owner's queue, the allocator's
        // lock, or a record that nobody frees.
        const NoStopScope noStop;
        Queue* owner = nullptr;
        if (!findWindow(window, procedure, owner)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        const bool own = queueThread(owner) == currentThreadId();
        s = own ? nullptr : queueSend(owner, window, message, wParam, lParam);
        releaseQueue(owner);
        if (!own && s == nullptr) {
            return 0;
        }
    }
    return s == nullptr ? procedure(window, message, wParam, lParam) : awaitAnswer(s);
}

void PostQuitMessage(int exitCode) {
    Queue* q = currentQueue();
    if (q == nullptr) {
        return;
    }
    const SpinGuard guard(q->lock);
    q->quit = true;
    q->quitCode = exitCode;
    q->changed.fetch_or(kPostedBits, std::memory_order_seq_cst);
}

}  // namespace davro::win32
