// The narrow (A) variants of the calls that take or give text. Texts are UTF-8 here, where
// Windows uses the process's ANSI code page: the locale formats are made wide, converted and
// sized in bytes. The message calls forward to their W twins unchanged: the layer's messages
// carry no text that A and W windows would see differently. The named objects' calls take
// their names as wide code units (NamedObject.h), so that bytes that are not UTF-8 stay apart.
#include <davro/platform/Win32.h>
#include <davro/platform/detail/Utf8.h>

#include <cstring>
#include <new>
#include <string>

#include "NamedObject.h"

namespace davro::win32 {
namespace {

using FormatW = int (*)(LCID, DWORD, const SYSTEMTIME*, LPCWSTR, LPWSTR, int);

// A W locale format called for its A twin: the result as UTF-8, with the size protocol in
// bytes (size 0: the bytes needed with the null; too small: 0 + ERROR_INSUFFICIENT_BUFFER).
int formatNarrow(FormatW formatW, LCID locale, DWORD flags, const SYSTEMTIME* value, LPCSTR format,
                 LPSTR text, int size) {
    if (size < 0 || (size > 0 && text == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    try {
        const std::wstring wideFormat = format != nullptr ? platform::fromUtf8(format) : L"";
        LPCWSTR f = format != nullptr ? wideFormat.c_str() : nullptr;
        const int needed = formatW(locale, flags, value, f, nullptr, 0);
        if (needed == 0) {
            return 0;  // the W call's error stands
        }
        std::wstring wide(static_cast<std::size_t>(needed), L'\0');
        if (formatW(locale, flags, value, f, wide.data(), needed) == 0) {
            return 0;
        }
        wide.resize(static_cast<std::size_t>(needed) - 1);  // without the null
        const std::string narrow = platform::toUtf8(wide);
        const auto bytes = static_cast<int>(narrow.size()) + 1;
        if (size == 0) {
            return bytes;
        }
        if (size < bytes) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(text, narrow.c_str(), narrow.size() + 1);
        return bytes;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

}  // namespace

BOOL PeekMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage) {
    return PeekMessageW(message, window, filterMin, filterMax, removeMessage);
}

BOOL GetMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax) {
    return GetMessageW(message, window, filterMin, filterMax);
}

LRESULT DispatchMessageA(const MSG* message) { return DispatchMessageW(message); }

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    return PostThreadMessageW(threadId, message, wParam, lParam);
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return PostMessageW(window, message, wParam, lParam);
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendMessageW(window, message, wParam, lParam);
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value) {
    return SetWindowLongPtrW(window, index, value);
}

LONG_PTR GetWindowLongPtrA(HWND window, int index) { return GetWindowLongPtrW(window, index); }

int GetDateFormatA(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCSTR format, LPSTR dateText,
                   int size) {
    return formatNarrow(&GetDateFormatW, locale, flags, date, format, dateText, size);
}

int GetTimeFormatA(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCSTR format, LPSTR timeText,
                   int size) {
    return formatNarrow(&GetTimeFormatW, locale, flags, time, format, timeText, size);
}

// ---- Named kernel objects ----

namespace {

// The narrow variants: the name as wide code units (NamedObject.h), null for no name.
template <typename Call>
HANDLE withWideName(LPCSTR name, Call call) {
    if (name == nullptr) {
        return call(nullptr);
    }
    std::wstring wide;
    if (!detail::wideName(name, wide)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return call(wide.c_str());
}

}  // namespace

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name) {
    return withWideName(name, [&](LPCWSTR w) { return CreateMutexW(attributes, initialOwner, w); });
}

HANDLE OpenMutexA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name) {
    return withWideName(name,
                        [&](LPCWSTR w) { return OpenMutexW(desiredAccess, inheritHandle, w); });
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name) {
    return withWideName(
        name, [&](LPCWSTR w) { return CreateEventW(attributes, manualReset, initialState, w); });
}

HANDLE OpenEventA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name) {
    return withWideName(name,
                        [&](LPCWSTR w) { return OpenEventW(desiredAccess, inheritHandle, w); });
}

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES attributes, LONG initialCount, LONG maximumCount,
                        LPCSTR name) {
    return withWideName(name, [&](LPCWSTR w) {
        return CreateSemaphoreW(attributes, initialCount, maximumCount, w);
    });
}

HANDLE OpenSemaphoreA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name) {
    return withWideName(name,
                        [&](LPCWSTR w) { return OpenSemaphoreW(desiredAccess, inheritHandle, w); });
}

HANDLE CreateWaitableTimerA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, LPCSTR name) {
    return withWideName(
        name, [&](LPCWSTR w) { return CreateWaitableTimerW(attributes, manualReset, w); });
}

HANDLE CreateWaitableTimerExA(LPSECURITY_ATTRIBUTES attributes, LPCSTR name, DWORD flags,
                              DWORD desiredAccess) {
    return withWideName(name, [&](LPCWSTR w) {
        return CreateWaitableTimerExW(attributes, w, flags, desiredAccess);
    });
}

HANDLE OpenWaitableTimerA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name) {
    return withWideName(
        name, [&](LPCWSTR w) { return OpenWaitableTimerW(desiredAccess, inheritHandle, w); });
}

}  // namespace davro::win32
