// The words of the calling thread that the layer's fastest calls touch: the last error and
// the thread's block of thread-local slots (TlsGetValue sets the one to 0 and reads the
// other on every call).
#pragma once

#include <davro/platform/Win32.h>

namespace davro::win32::detail {

struct LocalBlock;  // LocalStorage.cpp

// Side by side in the static thread-local block (initial-exec), so that one offset finds
// both and reading or setting either is one instruction relative to the thread pointer.
struct ThreadWords {
    DWORD lastError;
    // Never null: the shared empty block until the thread's first TlsSetValue or
    // FlsSetValue, so that a get needs no test.
    LocalBlock* localBlock;
};

extern __thread ThreadWords threadWords __attribute__((tls_model("initial-exec")));

extern LocalBlock noLocalBlock;

}  // namespace davro::win32::detail
