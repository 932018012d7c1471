// Window classes and message-only windows: RegisterClassW, CreateWindowExW, DestroyWindow,
// the window data of GetWindowLongPtrW/SetWindowLongPtrW and DefWindowProcW.
//
// Windows live in one registry from handle value (0x20000 upwards in steps of 4, never
// reused) to procedure, owning queue and class; a window holds a reference on its queue.
// Procedures are always called without any lock, and the procedure called is the window's
// current one, as GWLP_WNDPROC may change it from inside its own messages. Windows and
// classes are records linked into the registry: each is allocated before the registry's
// lock is taken and freed after it is left, so the spin lock never waits for the allocator.
#include <cwctype>
#include <memory>
#include <new>
#include <string>

#include "Locks.h"
#include "MessageQueue.h"

namespace davro::win32::detail {
namespace {

constexpr ATOM kFirstAtom = 0xC000;  // class atoms come from the string-atom range
constexpr std::uintptr_t kFirstWindow = 0x20000;
constexpr std::uintptr_t kWindowStep = 4;

struct Window {
    std::uintptr_t value = 0;  // the handle
    WNDPROC procedure = nullptr;
    Queue* owner = nullptr;  // retained
    ATOM atom = 0;
    LONG_PTR userData = 0;
    bool destroying = false;
    Window* next = nullptr;  // in its bucket of the registry
};

struct WindowClass {
    std::wstring key;  // the name in lower case: names compare without regard to case
    WNDPROC procedure = nullptr;
    ATOM atom = 0;
    unsigned windows = 0;
    WindowClass* next = nullptr;
};

constexpr std::uintptr_t kWindowBuckets = 64;

// Guarded by `lock`: windows in buckets by handle value, classes in one list.
struct Registry {
    SpinLock lock;
    Window* windows[kWindowBuckets] = {};
    WindowClass* classes = nullptr;
    std::uintptr_t nextWindow = kFirstWindow;
};
Registry gRegistry;

Window*& bucketOf(std::uintptr_t value) {
    return gRegistry.windows[(value / kWindowStep) % kWindowBuckets];
}

// Frees a chain of windows taken out of the registry.
void freeWindows(Window* w) {
    while (w != nullptr) {
        Window* const next = w->next;
        delete w;
        w = next;
    }
}

// A class name or an atom made with MAKEINTATOM (a value below 0x10000).
bool isAtom(LPCWSTR name) { return reinterpret_cast<std::uintptr_t>(name) < 0x10000; }

wchar_t lowerCase(wchar_t c) { return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c))); }

// Sets `key` to the name in lower case, as a class keeps it. False, with
// ERROR_NOT_ENOUGH_MEMORY set, when memory is short.
bool classKey(LPCWSTR name, std::wstring& key) {
    try {
        key = name;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    for (wchar_t& c : key) {
        c = lowerCase(c);
    }
    return true;
}

// Whether class name `name` is `key`, a name in lower case: case is ignored, as on Windows.
bool sameName(LPCWSTR name, const std::wstring& key) {
    std::size_t i = 0;
    for (; name[i] != L'\0'; ++i) {
        if (i == key.size() || lowerCase(name[i]) != key[i]) {
            return false;
        }
    }
    return i == key.size();
}

// The registered class of a name or an atom; null, with the last error set to `missing`
// unless it is 0, if there is none. Registry lock held.
WindowClass* findClass(LPCWSTR name, DWORD missing) {
    for (WindowClass* c = name != nullptr ? gRegistry.classes : nullptr; c != nullptr;
         c = c->next) {
        if (isAtom(name) ? c->atom == static_cast<ATOM>(reinterpret_cast<std::uintptr_t>(name))
                         : sameName(name, c->key)) {
            return c;
        }
    }
    if (missing != 0) {
        SetLastError(missing);
    }
    return nullptr;
}

Window* findLocked(HWND window) {
    const auto value = reinterpret_cast<std::uintptr_t>(window);
    for (Window* w = bucketOf(value); w != nullptr; w = w->next) {
        if (w->value == value) {
            return w;
        }
    }
    return nullptr;
}

// The window's class has one window fewer. Registry lock held.
void countOut(const Window* w) {
    for (WindowClass* c = gRegistry.classes; c != nullptr; c = c->next) {
        if (c->atom == w->atom) {
            --c->windows;
        }
    }
}

// Takes a window out of the registry (registry lock held) and returns it, with its queue
// reference, for the caller to drop and free after unlocking; null if it is not there.
Window* removeLocked(HWND window) {
    const auto value = reinterpret_cast<std::uintptr_t>(window);
    for (Window** link = &bucketOf(value); *link != nullptr; link = &(*link)->next) {
        Window* const w = *link;
        if (w->value == value) {
            *link = w->next;
            w->next = nullptr;
            countOut(w);
            return w;
        }
    }
    return nullptr;
}

void removeWindow(HWND window) {
    Window* gone = nullptr;
    {
        const SpinGuard guard(gRegistry.lock);
        gone = removeLocked(window);
    }
    if (gone != nullptr) {
        releaseQueue(gone->owner);
        delete gone;
    }
}

// Calls the window's current procedure; 0 when the window is gone.
LRESULT callWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WNDPROC procedure = nullptr;
    {
        const NoStopScope noStop;  // never stopped holding a reference on a queue
        Queue* owner = nullptr;
        if (!findWindow(window, procedure, owner)) {
            return 0;
        }
        releaseQueue(owner);
    }
    return procedure(window, message, wParam, lParam);
}

}  // namespace

bool findWindow(HWND window, WNDPROC& procedure, Queue*& owner) {
    const SpinGuard guard(gRegistry.lock);
    const Window* w = findLocked(window);
    if (w == nullptr) {
        return false;
    }
    procedure = w->procedure;
    owner = w->owner;
    retainQueue(owner);
    return true;
}

void forgetWindowsOf(const Queue* q) {
    Window* gone = nullptr;  // freed once the lock is left
    {
        const SpinGuard guard(gRegistry.lock);
        for (Window*& first : gRegistry.windows) {
            for (Window** link = &first; *link != nullptr;) {
                Window* const w = *link;
                if (w->owner != q) {
                    link = &w->next;
                    continue;
                }
                *link = w->next;
                countOut(w);
                // The window's reference: never the last, as the caller holds one.
                releaseQueue(w->owner);
                w->next = gone;
                gone = w;
            }
        }
    }
    freeWindows(gone);
}

}  // namespace davro::win32::detail

namespace davro::win32 {

using namespace detail;

ATOM RegisterClassW(const WNDCLASSW* windowClass) {
    const NoStopScope noStop;  // never stopped in the allocator, whose lock it would keep
    if (windowClass == nullptr || windowClass->lpfnWndProc == nullptr ||
        windowClass->lpszClassName == nullptr || isAtom(windowClass->lpszClassName) ||
        *windowClass->lpszClassName == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::unique_ptr<WindowClass> entry(new (std::nothrow) WindowClass);  // freed unless listed
    if (entry == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    if (!classKey(windowClass->lpszClassName, entry->key)) {
        return 0;
    }
    entry->procedure = windowClass->lpfnWndProc;
    const SpinGuard guard(gRegistry.lock);
    if (findClass(windowClass->lpszClassName, 0) != nullptr) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    // The lowest free atom, so that registering and unregistering never runs out.
    ATOM atom = kFirstAtom;
    for (bool taken = true; taken;) {
        taken = false;
        for (const WindowClass* c = gRegistry.classes; c != nullptr; c = c->next) {
            if (c->atom == atom) {
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
    entry->atom = atom;
    entry->next = gRegistry.classes;
    gRegistry.classes = entry.release();
    return atom;
}

BOOL UnregisterClassW(LPCWSTR className, HINSTANCE /*instance*/) {
    const NoStopScope noStop;           // never stopped in the allocator, whose lock it would keep
    std::unique_ptr<WindowClass> gone;  // freed once the lock is left
    const SpinGuard guard(gRegistry.lock);
    WindowClass* c = findClass(className, ERROR_CLASS_DOES_NOT_EXIST);
    if (c == nullptr) {
        return FALSE;
    }
    if (c->windows != 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    for (WindowClass** link = &gRegistry.classes; *link != nullptr; link = &(*link)->next) {
        if (*link == c) {
            *link = c->next;
            break;
        }
    }
    gone.reset(c);
    return TRUE;
}

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     void* param) {
    if (parent != HWND_MESSAGE) {
        SetLastError(ERROR_INVALID_PARAMETER);  // only message-only windows exist here
        return nullptr;
    }
    HWND window = nullptr;
    {
        // Up to the first message nothing can stop the thread: stopped in the allocator (the
        // queue, the window table) it would keep the allocator's lock.
        const NoStopScope noStop;
        Queue* q = currentQueue();
        if (q == nullptr) {
            return nullptr;
        }
        std::unique_ptr<Window> w(new (std::nothrow) Window);  // freed unless listed
        if (w == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        const SpinGuard guard(gRegistry.lock);
        WindowClass* c = findClass(className, ERROR_CANNOT_FIND_WND_CLASS);
        if (c == nullptr) {
            return nullptr;
        }
        w->value = gRegistry.nextWindow;
        w->procedure = c->procedure;
        w->owner = q;
        w->atom = c->atom;
        retainQueue(q);
        gRegistry.nextWindow += kWindowStep;
        ++c->windows;
        window = reinterpret_cast<HWND>(w->value);  // NOLINT(performance-no-int-to-ptr)
        Window*& first = bucketOf(w->value);
        w->next = first;
        first = w.release();
    }
    // As on Windows, the procedure hears of its window before CreateWindowExW returns, and
    // may refuse it: FALSE to WM_NCCREATE, -1 to WM_CREATE.
    CREATESTRUCTW create{
        param,      instance,  menu,   parent, height, width, y, x, static_cast<LONG>(style),
        windowName, className, exStyle};
    const auto createParam = reinterpret_cast<LPARAM>(&create);
    if (callWindow(window, WM_NCCREATE, 0, createParam) == FALSE) {
        callWindow(window, WM_NCDESTROY, 0, 0);
        removeWindow(window);
        return nullptr;
    }
    if (callWindow(window, WM_CREATE, 0, createParam) == -1) {
        DestroyWindow(window);
        return nullptr;
    }
    return window;
}

BOOL DestroyWindow(HWND window) {
    Queue* q = nullptr;
    {
        const SpinGuard guard(gRegistry.lock);
        Window* w = findLocked(window);
        if (w == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (queueThread(w->owner) != currentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);  // only the owning thread may destroy it
            return FALSE;
        }
        if (w->destroying) {
            return TRUE;  // called again from its own WM_DESTROY
        }
        w->destroying = true;
        q = w->owner;
        retainQueue(q);
    }
    // The window is still valid while it hears of its end.
    callWindow(window, WM_DESTROY, 0, 0);
    callWindow(window, WM_NCDESTROY, 0, 0);
    removeWindow(window);
    // Messages still posted to it can no longer be dispatched.
    dropPostedFor(q, window);
    releaseQueue(q);
    return TRUE;
}

LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
    const SpinGuard guard(gRegistry.lock);
    Window* w = findLocked(window);
    if (w == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    LONG_PTR previous = 0;
    if (index == GWLP_USERDATA) {
        previous = w->userData;
        w->userData = value;
    } else if (index == GWLP_WNDPROC && value != 0) {
        previous = reinterpret_cast<LONG_PTR>(w->procedure);
        w->procedure = reinterpret_cast<WNDPROC>(value);  // NOLINT(performance-no-int-to-ptr)
    } else {
        SetLastError(ERROR_INVALID_INDEX);
    }
    return previous;  // the last error is left alone on success, as on Windows
}

LONG_PTR GetWindowLongPtrW(HWND window, int index) {
    const SpinGuard guard(gRegistry.lock);
    const Window* w = findLocked(window);
    if (w == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (index == GWLP_USERDATA) {
        return w->userData;
    }
    if (index == GWLP_WNDPROC) {
        return reinterpret_cast<LONG_PTR>(w->procedure);
    }
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
}

LRESULT DefWindowProcW(HWND window, UINT message, WPARAM /*wParam*/, LPARAM /*lParam*/) {
    if (message == WM_NCCREATE) {
        return TRUE;  // let the window be created
    }
    if (message == WM_CLOSE) {
        DestroyWindow(window);
    }
    return 0;
}

}  // namespace davro::win32
