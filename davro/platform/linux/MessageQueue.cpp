// The per-thread message queue and message-only windows of the Win32 subset on Linux.
//
// A thread gets its queue on its first call of a message function (or of CreateWindowExW,
// SendMessageW, MsgWaitForMultipleObjects, PostQuitMessage) and loses it when it ends.
// DESIGN.md ("Message queue") explains the rules that are kept and the ones that are not.
#include <davro/platform/Environment.h>
#include <davro/platform/Win32.h>
#include <pthread.h>

#include <atomic>
#include <cwctype>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Kernel.h"

namespace davro::win32::detail {
namespace {

constexpr UINT kWmNcDestroy = 0x0082;
constexpr DWORD kPostedBits = QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
// What GetModuleHandleW(NULL) answers: the classic base address of a Windows program.
constexpr std::uintptr_t kModuleBase = 0x400000;
constexpr ATOM kFirstAtom = 0xC000;  // class atoms come from the string-atom range
constexpr std::uintptr_t kFirstWindow = 0x20000;
constexpr std::uintptr_t kWindowStep = 4;

struct Queue;

// A message sent by another thread, waiting for the owner's window procedure. It lives on
// the sender's stack; the sender leaves only after `done`, which is set last.
struct SentMessage {
    HWND window = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    LRESULT result = 0;
    std::atomic<bool> done{false};
    std::shared_ptr<Queue> sender;  // keeps the sender's reply event open until signalled
};

// The message queue of one thread.
struct Queue : std::enable_shared_from_this<Queue> {
    DWORD tid = 0;
    ThreadState* state = nullptr;  // the owner's wait state, for notifyInput
    HANDLE replyEvent = nullptr;   // auto-reset: answers to this thread's cross-thread sends
    std::mutex lock;
    // Guarded by `lock`.
    std::deque<MSG> posted;
    std::deque<SentMessage*> sent;
    bool quit = false;
    int quitCode = 0;
    bool alive = true;
    // QS_ kinds of input that arrived since the owner last looked at its queue. Set under
    // `lock` with seq_cst (the wait machinery's rule for notifyInput); cleared by the owner.
    std::atomic<DWORD> changed{0};

    Queue() = default;
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;
    ~Queue() {
        if (replyEvent != nullptr) {
            CloseHandle(replyEvent);
        }
    }
};

struct Window {
    WNDPROC procedure = nullptr;
    std::shared_ptr<Queue> owner;
    ATOM atom = 0;
    bool destroying = false;
};

struct WindowClass {
    std::wstring name;  // as registered; compared without regard to case
    WNDPROC procedure = nullptr;
    ATOM atom = 0;
    unsigned windows = 0;
};

// Process-wide tables. Never destroyed, so that threads ending while the process exits
// still find them.
struct Registry {
    std::mutex lock;
    std::unordered_map<DWORD, std::shared_ptr<Queue>> queues;
    std::unordered_map<std::uintptr_t, Window> windows;
    std::vector<WindowClass> classes;
    std::uintptr_t nextWindow = kFirstWindow;
    pthread_key_t key{};
};

thread_local Queue* tlsQueue = nullptr;

void onThreadEnd(void* queue);
bool inputProbe(DWORD wakeMask);

Registry& registry() {
    static Registry* r = [] {
        auto* created = new Registry;
        pthread_key_create(&created->key, &onThreadEnd);
        setInputProbe(&inputProbe);
        return created;
    }();
    return *r;
}

bool inputProbe(DWORD wakeMask) {
    const Queue* q = tlsQueue;
    return q != nullptr && (q->changed.load(std::memory_order_seq_cst) & wakeMask) != 0;
}

// Answers a sent message. The sender may return the moment `done` is set, so everything
// that is still needed is taken from the record before.
void reply(SentMessage* sent, LRESULT result) {
    const std::shared_ptr<Queue> sender = std::move(sent->sender);
    sent->result = result;
    sent->done.store(true, std::memory_order_release);
    SetEvent(sender->replyEvent);
}

// Ends a queue: its windows go away without messages (their thread can no longer run
// them), senders waiting on it get 0, posted messages are dropped.
void retire(const std::shared_ptr<Queue>& q) {
    Registry& r = registry();
    {
        const std::lock_guard<std::mutex> guard(r.lock);
        const auto found = r.queues.find(q->tid);
        if (found != r.queues.end() && found->second == q) {
            r.queues.erase(found);
        }
        for (auto it = r.windows.begin(); it != r.windows.end();) {
            if (it->second.owner == q) {
                for (WindowClass& c : r.classes) {
                    if (c.atom == it->second.atom) {
                        --c.windows;
                    }
                }
                it = r.windows.erase(it);
            } else {
                ++it;
            }
        }
    }
    std::deque<SentMessage*> waiting;
    {
        const std::lock_guard<std::mutex> guard(q->lock);
        q->alive = false;
        q->posted.clear();
        waiting.swap(q->sent);
    }
    for (SentMessage* s : waiting) {
        reply(s, 0);
    }
}

void onThreadEnd(void* queue) {
    Queue* q = static_cast<Queue*>(queue);
    tlsQueue = nullptr;
    retire(q->shared_from_this());
}

Queue* createQueue() {
    Registry& r = registry();
    auto q = std::make_shared<Queue>();
    q->tid = currentThreadId();
    q->state = currentThreadState();
    q->replyEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::shared_ptr<Queue> stale;
    {
        const std::lock_guard<std::mutex> guard(r.lock);
        std::shared_ptr<Queue>& slot = r.queues[q->tid];
        // A queue left under this id by a thread that ended without its end hook
        // (terminated) is retired now.
        stale = std::move(slot);
        slot = q;
    }
    if (stale) {
        retire(stale);
    }
    pthread_setspecific(r.key, q.get());
    tlsQueue = q.get();
    return q.get();
}

Queue* currentQueue() {
    Queue* q = tlsQueue;
    return q != nullptr ? q : createQueue();
}

std::shared_ptr<Queue> queueOfThread(DWORD tid) {
    Registry& r = registry();
    const std::lock_guard<std::mutex> guard(r.lock);
    const auto found = r.queues.find(tid);
    return found != r.queues.end() ? found->second : nullptr;
}

// The procedure and owner of a live window; false (and, unless `quiet`, the last error)
// otherwise.
bool findWindow(HWND window, WNDPROC& procedure, std::shared_ptr<Queue>& owner,
                bool quiet = false) {
    Registry& r = registry();
    const std::lock_guard<std::mutex> guard(r.lock);
    const auto found = r.windows.find(reinterpret_cast<std::uintptr_t>(window));
    if (found == r.windows.end()) {
        if (!quiet) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        }
        return false;
    }
    procedure = found->second.procedure;
    owner = found->second.owner;
    return true;
}

bool post(Queue* q, const MSG& message) {
    {
        const std::lock_guard<std::mutex> guard(q->lock);
        if (!q->alive) {
            SetLastError(ERROR_INVALID_THREAD_ID);
            return false;
        }
        q->posted.push_back(message);
        q->changed.fetch_or(kPostedBits, std::memory_order_seq_cst);
    }
    if (q != tlsQueue) {
        notifyInput(q->state);
    }
    return true;
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

// Window filter of PeekMessageW/GetMessageW: null = all of the thread's windows and its
// thread messages, -1 = thread messages only, otherwise that window only.
bool matches(const MSG& m, HWND window, UINT first, UINT last) {
    const bool threadOnly = window == reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1));
    if (window != nullptr && (threadOnly ? m.hwnd != nullptr : m.hwnd != window)) {
        return false;
    }
    if (first == 0 && last == 0) {
        return true;
    }
    return m.message >= first && m.message <= last;
}

bool validWindowFilter(HWND window) {
    if (window == nullptr || window == reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1))) {
        return true;
    }
    WNDPROC procedure = nullptr;
    std::shared_ptr<Queue> owner;
    return findWindow(window, procedure, owner);
}

// Runs one message sent by another thread, taken from the queue under `guard`, which is
// released while the procedure runs and held again on return.
void runSentMessage(Queue* q, std::unique_lock<std::mutex>& guard) {
    SentMessage* s = q->sent.front();
    q->sent.pop_front();
    guard.unlock();
    WNDPROC procedure = nullptr;
    std::shared_ptr<Queue> owner;
    LRESULT result = 0;
    if (findWindow(s->window, procedure, owner, true) && owner.get() == q) {
        result = procedure(s->window, s->message, s->wParam, s->lParam);
    }
    reply(s, result);
    guard.lock();
}

// PeekMessageW without the argument checks; the caller has its queue.
bool peek(Queue* q, MSG* out, HWND window, UINT first, UINT last, UINT flags) {
    const bool unfiltered = window == nullptr && first == 0 && last == 0;
    std::unique_lock<std::mutex> guard(q->lock);
    // Messages sent by other threads first, each run without the lock.
    while (!q->sent.empty()) {
        runSentMessage(q, guard);
    }
    // Looking at the queue makes what is in it old: MsgWaitForMultipleObjects waits for
    // input that arrives after this. QS_ALLPOSTMESSAGE is cleared only by an unfiltered look.
    const DWORD seen = QS_SENDMESSAGE | (unfiltered ? kPostedBits : QS_POSTMESSAGE);
    if ((q->changed.load(std::memory_order_relaxed) & seen) != 0) {
        q->changed.fetch_and(~seen, std::memory_order_relaxed);
    }
    for (auto it = q->posted.begin(); it != q->posted.end(); ++it) {
        if (matches(*it, window, first, last)) {
            *out = *it;
            if ((flags & PM_REMOVE) != 0) {
                q->posted.erase(it);
            }
            return true;
        }
    }
    // The quit flag comes after every posted message, whatever the range filter.
    const bool threadMessages =
        window == nullptr || window == reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1));
    if (q->quit && threadMessages) {
        *out = MSG{};
        out->message = WM_QUIT;
        out->wParam = static_cast<WPARAM>(q->quitCode);
        out->time = GetTickCount();
        if ((flags & PM_REMOVE) != 0) {
            q->quit = false;
        }
        return true;
    }
    return false;
}

// Time left to an absolute deadline of deadlineAfter(), back in (scaled) milliseconds.
DWORD millisecondsLeft(std::int64_t deadline) {
    if (deadline < 0) {
        return INFINITE;
    }
    const std::int64_t left = deadline - monotonicNs();
    if (left <= 0) {
        return 0;
    }
    const std::int64_t ms =
        (left * static_cast<std::int64_t>(davro::platform::timeScale()) + 999999) / 1000000;
    return ms >= static_cast<std::int64_t>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms);
}

// MsgWaitForMultipleObjects with bWaitAll: all objects signalled and new input. New input
// stays new until this thread looks at its queue, which it cannot do while it is in here,
// so the input is awaited first and then the objects for the time left. Nothing is taken
// before everything is there, as in a wait-all.
DWORD waitAllAndInput(Queue* q, DWORD count, const HANDLE* handles, DWORD milliseconds,
                      DWORD wakeMask) {
    if (count > MAXIMUM_WAIT_OBJECTS - 1 || (count != 0 && handles == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    Resolved rs[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i) {
        if (!resolve(handles[i], rs[i])) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        for (DWORD j = 0; j < i; ++j) {
            if (rs[j].object == rs[i].object) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return WAIT_FAILED;
            }
        }
    }
    const std::int64_t deadline = deadlineAfter(milliseconds);
    DWORD result = waitObjectsOrInput(0, nullptr, milliseconds, wakeMask);
    if (result != WAIT_OBJECT_0) {
        return result;
    }
    if (count != 0) {
        result = WaitForMultipleObjects(count, handles, TRUE, millisecondsLeft(deadline));
        if (result == WAIT_TIMEOUT || result == WAIT_FAILED) {
            return result;
        }
    }
    q->changed.fetch_and(~wakeMask, std::memory_order_relaxed);
    return result;
}

std::wstring lowerCase(LPCWSTR text) {
    std::wstring s(text);
    for (wchar_t& c : s) {
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    }
    return s;
}

// A class name or an atom made with MAKEINTATOM (a value below 0x10000).
bool isAtom(LPCWSTR name) { return reinterpret_cast<std::uintptr_t>(name) < 0x10000; }

// The registered class of a name or atom; null if none. Registry lock held.
WindowClass* findClass(Registry& r, LPCWSTR name) {
    if (name == nullptr) {
        return nullptr;
    }
    const bool atom = isAtom(name);
    const std::wstring key = atom ? std::wstring() : lowerCase(name);
    for (WindowClass& c : r.classes) {
        if (atom ? c.atom == static_cast<ATOM>(reinterpret_cast<std::uintptr_t>(name))
                 : lowerCase(c.name.c_str()) == key) {
            return &c;
        }
    }
    return nullptr;
}

}  // namespace
}  // namespace davro::win32::detail

namespace davro::win32 {

using namespace detail;

BOOL PeekMessageW(LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage) {
    Queue* q = currentQueue();
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
        // The look above made the queue's contents old, so this sleeps until something
        // new is posted or sent.
        waitObjectsOrInput(0, nullptr, INFINITE, QS_ALLINPUT | QS_ALLPOSTMESSAGE);
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
    std::shared_ptr<Queue> owner;
    if (!findWindow(message->hwnd, procedure, owner)) {
        return 0;
    }
    if (owner->tid != currentThreadId()) {
        SetLastError(ERROR_ACCESS_DENIED);  // window procedures run on their own thread
        return 0;
    }
    return procedure(message->hwnd, message->message, message->wParam, message->lParam);
}

BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    Queue* own = tlsQueue;
    if (own != nullptr && own->tid == threadId) {
        return post(own, makeMessage(nullptr, message, wParam, lParam)) ? TRUE : FALSE;
    }
    const std::shared_ptr<Queue> q = queueOfThread(threadId);
    if (!q) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return post(q.get(), makeMessage(nullptr, message, wParam, lParam)) ? TRUE : FALSE;
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (window == nullptr) {
        // As Win32: a null window posts a thread message to the calling thread.
        return post(currentQueue(), makeMessage(nullptr, message, wParam, lParam)) ? TRUE : FALSE;
    }
    WNDPROC procedure = nullptr;
    std::shared_ptr<Queue> owner;
    if (!findWindow(window, procedure, owner)) {
        return FALSE;
    }
    if (!post(owner.get(), makeMessage(window, message, wParam, lParam))) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Queue* self = currentQueue();
    WNDPROC procedure = nullptr;
    std::shared_ptr<Queue> owner;
    if (!findWindow(window, procedure, owner)) {
        return 0;
    }
    if (owner.get() == self) {
        return procedure(window, message, wParam, lParam);
    }
    SentMessage sent;
    sent.window = window;
    sent.message = message;
    sent.wParam = wParam;
    sent.lParam = lParam;
    sent.sender = self->shared_from_this();
    {
        const std::lock_guard<std::mutex> guard(owner->lock);
        if (!owner->alive) {
            return 0;
        }
        owner->sent.push_back(&sent);
        owner->changed.fetch_or(QS_SENDMESSAGE, std::memory_order_seq_cst);
    }
    notifyInput(owner->state);
    // While it waits for the answer the sender serves messages sent to itself, so that two
    // threads sending to each other do not deadlock.
    while (!sent.done.load(std::memory_order_acquire)) {
        if (waitObjectsOrInput(1, &self->replyEvent, INFINITE, QS_SENDMESSAGE) ==
            WAIT_OBJECT_0 + 1) {
            std::unique_lock<std::mutex> guard(self->lock);
            while (!self->sent.empty()) {
                runSentMessage(self, guard);
            }
            self->changed.fetch_and(~QS_SENDMESSAGE, std::memory_order_relaxed);
        }
    }
    return sent.result;
}

void PostQuitMessage(int exitCode) {
    Queue* q = currentQueue();
    const std::lock_guard<std::mutex> guard(q->lock);
    q->quit = true;
    q->quitCode = exitCode;
    q->changed.fetch_or(kPostedBits, std::memory_order_seq_cst);
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask) {
    Queue* q = currentQueue();
    if (waitAll) {
        return waitAllAndInput(q, count, handles, milliseconds, wakeMask);
    }
    const DWORD result = waitObjectsOrInput(count, handles, milliseconds, wakeMask);
    if (result == WAIT_OBJECT_0 + count) {
        // The input that ended the wait is no longer new.
        q->changed.fetch_and(~wakeMask, std::memory_order_relaxed);
    }
    return result;
}

ATOM RegisterClassW(const WNDCLASSW* windowClass) {
    if (windowClass == nullptr || windowClass->lpfnWndProc == nullptr ||
        windowClass->lpszClassName == nullptr || isAtom(windowClass->lpszClassName) ||
        *windowClass->lpszClassName == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Registry& r = registry();
    const std::lock_guard<std::mutex> guard(r.lock);
    if (findClass(r, windowClass->lpszClassName) != nullptr) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    // The lowest free atom, so that registering and unregistering never runs out.
    ATOM atom = kFirstAtom;
    for (bool taken = true; taken;) {
        taken = false;
        for (const WindowClass& c : r.classes) {
            if (c.atom == atom) {
                taken = true;
                ++atom;
                break;
            }
        }
    }
    if (atom < kFirstAtom) {  // wrapped: every atom is in use
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    r.classes.push_back(WindowClass{windowClass->lpszClassName, windowClass->lpfnWndProc, atom, 0});
    return atom;
}

BOOL UnregisterClassW(LPCWSTR className, HINSTANCE /*instance*/) {
    Registry& r = registry();
    const std::lock_guard<std::mutex> guard(r.lock);
    WindowClass* c = findClass(r, className);
    if (c == nullptr) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (c->windows != 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    r.classes.erase(r.classes.begin() + (c - r.classes.data()));
    return TRUE;
}

HWND CreateWindowExW(DWORD /*exStyle*/, LPCWSTR className, LPCWSTR /*windowName*/, DWORD /*style*/,
                     int /*x*/, int /*y*/, int /*width*/, int /*height*/, HWND parent,
                     HMENU /*menu*/, HINSTANCE /*instance*/, void* /*param*/) {
    if (parent != HWND_MESSAGE) {
        SetLastError(ERROR_INVALID_PARAMETER);  // only message-only windows exist here
        return nullptr;
    }
    Queue* q = currentQueue();
    Registry& r = registry();
    const std::lock_guard<std::mutex> guard(r.lock);
    WindowClass* c = findClass(r, className);
    if (c == nullptr) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    const std::uintptr_t value = r.nextWindow;
    r.nextWindow += kWindowStep;
    r.windows.emplace(value, Window{c->procedure, q->shared_from_this(), c->atom, false});
    ++c->windows;
    return reinterpret_cast<HWND>(value);  // NOLINT(performance-no-int-to-ptr)
}

BOOL DestroyWindow(HWND window) {
    Registry& r = registry();
    const auto value = reinterpret_cast<std::uintptr_t>(window);
    WNDPROC procedure = nullptr;
    Queue* q = nullptr;
    {
        const std::lock_guard<std::mutex> guard(r.lock);
        const auto found = r.windows.find(value);
        if (found == r.windows.end()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        Window& w = found->second;
        if (w.owner->tid != currentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);  // only the owning thread may destroy it
            return FALSE;
        }
        if (w.destroying) {
            return TRUE;  // called again from its own WM_DESTROY
        }
        w.destroying = true;
        procedure = w.procedure;
        q = w.owner.get();
    }
    // The window is still valid while it hears of its end.
    procedure(window, WM_DESTROY, 0, 0);
    procedure(window, kWmNcDestroy, 0, 0);
    {
        const std::lock_guard<std::mutex> guard(r.lock);
        const auto found = r.windows.find(value);
        if (found != r.windows.end()) {
            for (WindowClass& c : r.classes) {
                if (c.atom == found->second.atom) {
                    --c.windows;
                }
            }
            r.windows.erase(found);
        }
    }
    // Messages still posted to it can no longer be dispatched.
    const std::lock_guard<std::mutex> guard(q->lock);
    for (auto it = q->posted.begin(); it != q->posted.end();) {
        it = it->hwnd == window ? q->posted.erase(it) : it + 1;
    }
    return TRUE;
}

LRESULT DefWindowProcW(HWND window, UINT message, WPARAM /*wParam*/, LPARAM /*lParam*/) {
    if (message == WM_CLOSE) {
        DestroyWindow(window);
    }
    return 0;
}

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
    if (moduleName != nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);  // only the program itself is known
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(kModuleBase);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace davro::win32
