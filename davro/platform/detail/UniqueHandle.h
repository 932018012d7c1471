// Internal to the library: the one owning holder of a kernel handle. Not installed.
#pragma once

#include <davro/platform/Win32.h>

#include <utility>

namespace davro::platform {

// Owns one handle (or none: null) and closes it when it goes; moves, never copies.
// release() gives the handle up without closing it.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(davro::win32::HANDLE handle) : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(nullptr); }

    davro::win32::HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    davro::win32::HANDLE release() { return std::exchange(handle_, nullptr); }
    void reset(davro::win32::HANDLE handle) {
        if (davro::win32::HANDLE old = std::exchange(handle_, handle)) {
            davro::win32::CloseHandle(old);
        }
    }

private:
    davro::win32::HANDLE handle_ = nullptr;
};

}  // namespace davro::platform
