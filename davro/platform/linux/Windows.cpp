// Window classes and message-only windows: RegisterClassW, CreateWindowExW, DestroyWindow,
// the window data of GetWindowLongPtrW/SetWindowLongPtrW and DefWindowProcW.
//
// Windows live in one registry from handle value (0x20000 upwards in steps of 4, never
// reused) to procedure, owning queue and class; a window holds a reference on its queue.
// Procedures are always called without any lock, and the procedure called is the window's
// current one, as GWLP_WNDPROC may change it from inside its own messages.
#include <cwctype>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "Locks.h"
#include "MessageQueue.h"

namespace davro::win32::detail {
namespace {

constexpr ATOM kFirstAtom = 0xC000;  // class atoms come from the string-atom range
constexpr std::uintptr_t kFirstWindow = 0x20000;
constexpr std::uintptr_t kWindowStep = 4;

struct Window {
    WNDPROC procedure = nullptr;
    Queue* owner = nullptr;  // retained
    ATOM atom = 0;
    LONG_PTR userData = 0;
    bool destroying = false;
};

struct WindowClass {
    std::wstring key;  // the name in lower case: names compare without regard to case
    WNDPROC procedure = nullptr;
    ATOM atom = 0;
    unsigned windows = 0;
};

struct Registry {
    SpinLock lock;
    std::unordered_map<std::uintptr_t, Window>* windows = nullptr;  // never freed
    std::vector<WindowClass>* classes = nullptr;
    std::uintptr_t nextWindow = kFirstWindow;
};
Registry gRegistry;

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

// Makes the tables on first use; false when memory is short. Registry lock held.
bool tables() {
    try {
        if (gRegistry.windows == nullptr) {
            gRegistry.windows = new std::unordered_map<std::uintptr_t, Window>;
        }
        if (gRegistry.classes == nullptr) {
            gRegistry.classes = new std::vector<WindowClass>;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// The registered class of a name or an atom; null, with the last error set to `missing`
// unless it is 0, if there is none. Registry lock held.
WindowClass* findClass(LPCWSTR name, DWORD missing) {
    if (name != nullptr && gRegistry.classes != nullptr) {
        for (WindowClass& c : *gRegistry.classes) {
            if (isAtom(name) ? c.atom == static_cast<ATOM>(reinterpret_cast<std::uintptr_t>(name))
                             : sameName(name, c.key)) {
                return &c;
            }
        }
    }
    if (missing != 0) {
        SetLastError(missing);
    }
    return nullptr;
}

Window* findLocked(HWND window) {
    if (gRegistry.windows == nullptr) {
        return nullptr;
    }
    const auto found = gRegistry.windows->find(reinterpret_cast<std::uintptr_t>(window));
    return found != gRegistry.windows->end() ? &found->second : nullptr;
}

// Removes a window (registry lock held); returns its queue reference for the caller to drop
// after unlocking.
Queue* removeLocked(HWND window) {
    const auto found = gRegistry.windows->find(reinterpret_cast<std::uintptr_t>(window));
    if (found == gRegistry.windows->end()) {
        return nullptr;
    }
    for (WindowClass& c : *gRegistry.classes) {
        if (c.atom == found->second.atom) {
            --c.windows;
        }
    }
    Queue* owner = found->second.owner;
    gRegistry.windows->erase(found);
    return owner;
}

void removeWindow(HWND window) {
    Queue* owner = nullptr;
    {
        const SpinGuard guard(gRegistry.lock);
        owner = removeLocked(window);
    }
    if (owner != nullptr) {
        releaseQueue(owner);
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
    const SpinGuard guard(gRegistry.lock);
    if (gRegistry.windows == nullptr) {
        return;
    }
    for (auto it = gRegistry.windows->begin(); it != gRegistry.windows->end();) {
        if (it->second.owner != q) {
            ++it;
            continue;
        }
        for (WindowClass& c : *gRegistry.classes) {
            if (c.atom == it->second.atom) {
                --c.windows;
            }
        }
        // The window's reference: never the last, as the caller holds one.
        releaseQueue(it->second.owner);
        it = gRegistry.windows->erase(it);
    }
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
    WindowClass entry;
    if (!classKey(windowClass->lpszClassName, entry.key)) {
        return 0;
    }
    entry.procedure = windowClass->lpfnWndProc;
    const SpinGuard guard(gRegistry.lock);
    if (!tables()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    if (findClass(windowClass->lpszClassName, 0) != nullptr) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    // The lowest free atom, so that registering and unregistering never runs out.
    ATOM atom = kFirstAtom;
    for (bool taken = true; taken;) {
        taken = false;
        for (const WindowClass& c : *gRegistry.classes) {
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
    entry.atom = atom;
    try {
        gRegistry.classes->push_back(std::move(entry));
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    return atom;
}

BOOL UnregisterClassW(LPCWSTR className, HINSTANCE /*instance*/) {
    const NoStopScope noStop;  // never stopped in the allocator, whose lock it would keep
    const SpinGuard guard(gRegistry.lock);
    WindowClass* c = findClass(className, ERROR_CLASS_DOES_NOT_EXIST);
    if (c == nullptr) {
        return FALSE;
    }
    if (c->windows != 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    gRegistry.classes->erase(gRegistry.classes->begin() + (c - gRegistry.classes->data()));
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
        const SpinGuard guard(gRegistry.lock);
        WindowClass* c = findClass(className, ERROR_CANNOT_FIND_WND_CLASS);
        if (c == nullptr) {
            return nullptr;
        }
        const std::uintptr_t value = gRegistry.nextWindow;
        try {
            gRegistry.windows->emplace(value, Window{c->procedure, q, c->atom, 0, false});
        } catch (const std::bad_alloc&) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        retainQueue(q);
        gRegistry.nextWindow += kWindowStep;
        ++c->windows;
        window = reinterpret_cast<HWND>(value);  // NOLINT(performance-no-int-to-ptr)
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
