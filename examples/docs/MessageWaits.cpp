// A window thread keeps serving its window while it waits: dispatchWait() dispatches the
// messages that arrive and returns when the event is set, here by the window procedure.
#include <davro/platform/Win32.h>
#include <davro/primitives/Event.h>

#include <cstdio>
#include <thread>

using namespace davro::win32;

namespace {

constexpr UINT kWork = WM_APP + 1;
constexpr int kMessages = 100;
int served = 0;  // touched by the window thread only
YEventObject* allServed = nullptr;

LRESULT windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kWork) {
        if (++served == kMessages) {
            allServed->signal();
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int main() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"DavroExampleWindow";
    RegisterClassW(&windowClass);
    // A message-only window, owned by this thread.
    HWND window = CreateWindowExW(0, L"DavroExampleWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, windowClass.hInstance, nullptr);

    YEventObject done(L"example.allServed");
    allServed = &done;
    std::thread sender([&] {
        for (int i = 0; i < kMessages; ++i) {
            PostMessageW(window, kWork, 0, 0);
        }
    });
    // A plain wait() would time out here: nobody would serve the window meanwhile.
    const int result = done.dispatchWait(5000);
    sender.join();
    DestroyWindow(window);
    UnregisterClassW(L"DavroExampleWindow", windowClass.hInstance);

    std::printf("dispatchWait returned %d after %d messages\n", result, served);
    return result == 0 && served == kMessages ? 0 : 1;
}
