// The message pump of the message-pumping waits.
#include <davro/core/detail/MessagePump.h>
#include <davro/datetime/DateTime.h>
#include <davro/platform/Win32.h>

using namespace davro::win32;

namespace davro::detail {
namespace {

constexpr __int64 kTicksPerMs = 10000;  // FILETIME counts 100 ns units

}  // namespace

int dispatchMessages(int timeout) {
    // A negative timeout gives a deadline in the past: only what is queued is dispatched.
    const __int64 deadline =
        YDateTime().getFileTimeInt64() + static_cast<__int64>(timeout) * kTicksPerMs;
    for (;;) {
        MSG message{};
        if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                return 1;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
            // The clock is read only at an empty queue, so a burst is dispatched whole.
            continue;
        }
        if (YDateTime().getFileTimeInt64() >= deadline) {
            return 0;
        }
        // Sleep until new input arrives, at most 1 ms, then look again.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    }
}

}  // namespace davro::detail
