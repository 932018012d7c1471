// Placeholders for the per-thread message queue, which does not exist yet: every queue is
// empty, so nothing is ever peeked or dispatched. MsgWaitForMultipleObjects (Waits.cpp)
// already has the hooks that a real queue will use (detail::setInputProbe and
// detail::notifyInput).
#include <davro/platform/Win32.h>

namespace davro::win32 {

BOOL PeekMessageW(LPMSG /*message*/, HWND /*window*/, UINT /*filterMin*/, UINT /*filterMax*/,
                  UINT /*removeMessage*/) {
    return FALSE;  // the queue is empty; *message is left untouched
}

BOOL TranslateMessage(const MSG* /*message*/) { return FALSE; }

LRESULT DispatchMessageW(const MSG* /*message*/) { return 0; }

}  // namespace davro::win32
