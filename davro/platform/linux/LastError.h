// The calling thread's last error, for the layer's own fast paths that set it inline
// (TlsGetValue sets it to 0 on every call).
#pragma once

#include <davro/platform/Win32.h>

namespace davro::win32::detail {

// In the static thread-local block (initial-exec), so that reading or setting it is one
// instruction relative to the thread pointer.
extern __thread DWORD tlsLastError __attribute__((tls_model("initial-exec")));

}  // namespace davro::win32::detail
