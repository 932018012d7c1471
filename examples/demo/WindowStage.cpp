// The window stage: a thread that owns a message-only window waits for an event with
// dispatchWait, and keeps answering the messages that another thread posts and sends to
// its window meanwhile.
#include <davro/platform/Win32.h>
#include <davro/primitives/Event.h>

#include <chrono>

#include "DemoThread.h"
#include "Stages.h"

namespace demo {
namespace {

using namespace davro::win32;

constexpr unsigned kBoundMs = 5000;
constexpr int kPosts = 2000;
constexpr int kSends = 500;
const UINT kPostedWork = WM_APP + 1;  // wParam: a number to add up
const UINT kQuestion = WM_APP + 2;    // wParam: x; the answer is x * x + 1
const wchar_t* const kClassName = L"DavroDemoWindow";

// What the window thread shares with the rest of the stage. The window procedure runs on
// the window thread; the other thread reads the results after that thread has ended.
struct WindowState {
    YManualEventObject ready{0, L"demo.window.ready"};
    YManualEventObject postsServed{0, L"demo.window.postsServed"};
    YManualEventObject done{0, L"demo.window.done"};
    HWND window = nullptr;
    bool waiting = false;  // set while the window thread is inside dispatchWait
    int posts = 0;         // posted messages served
    int sends = 0;         // sent messages answered
    int servedOutsideWait = 0;
    long long postedSum = 0;
    int waitResult = -2;
    double waitSeconds = 0;
    bool created = false;
};

WindowState* state = nullptr;  // the one window's state, for its procedure

LRESULT windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kPostedWork || message == kQuestion) {
        if (!state->waiting) {
            ++state->servedOutsideWait;
        }
        if (message == kQuestion) {
            ++state->sends;
            const auto x = static_cast<LRESULT>(wParam);
            return x * x + 1;
        }
        state->postedSum += static_cast<long long>(wParam);
        if (++state->posts == kPosts) {
            state->postsServed.signal();
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The window thread: makes the window, then waits for `done` while serving it.
void windowThread(WindowState& shared) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    const bool registered = RegisterClassW(&windowClass) != 0;
    shared.window = registered
                        ? CreateWindowExW(0, kClassName, L"davro demo", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                          nullptr, windowClass.hInstance, nullptr)
                        : nullptr;
    shared.created = shared.window != nullptr;
    shared.ready.signal();
    if (shared.created) {
        const auto start = std::chrono::steady_clock::now();
        shared.waiting = true;
        shared.waitResult = shared.done.dispatchWait(2 * kBoundMs);
        shared.waiting = false;
        shared.waitSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        DestroyWindow(shared.window);
    }
    if (registered) {
        UnregisterClassW(kClassName, windowClass.hInstance);
    }
}

}  // namespace

void runWindow(Report& report) {
    WindowState shared;
    state = &shared;
    DemoThread owner(L"demo.windowThread", [&shared] {
        windowThread(shared);
        return 0;
    });
    if (!report.check(owner.create(0) == 1, "the window thread did not start")) {
        state = nullptr;
        return;
    }
    const bool ready = shared.ready.lock(kBoundMs) == 0 && shared.created;
    if (report.check(ready, "the window thread could not make its message-only window")) {
        report.line("window thread made a message-only window and waits on %s with dispatchWait",
                    "demo.window.done");
        // Posts do not wait for an answer; the procedure sets postsServed at the last one.
        int posted = 0;
        for (int i = 1; i <= kPosts; ++i) {
            posted += PostMessageW(shared.window, kPostedWork, static_cast<WPARAM>(i), 0) ? 1 : 0;
        }
        report.check(posted == kPosts, "only %d of %d posts were accepted", posted, kPosts);
        report.check(shared.postsServed.lock(kBoundMs) == 0,
                     "the posted messages were not all served within %u ms", kBoundMs);
        // Sends wait until the window thread has run the procedure and return its answer.
        int right = 0;
        for (int x = 0; x < kSends; ++x) {
            const LRESULT answer =
                SendMessageW(shared.window, kQuestion, static_cast<WPARAM>(x), 0);
            right += answer == static_cast<LRESULT>(x) * x + 1 ? 1 : 0;
        }
        report.line("posted %d messages and sent %d; %d answers were right", kPosts, kSends, right);
        report.check(right == kSends, "%d of %d sent messages got a wrong answer", kSends - right,
                     kSends);
    }
    shared.done.signal();
    endThreads(report, {&owner}, 2 * kBoundMs);
    state = nullptr;
    if (!ready) {
        return;
    }
    const long long expectedSum = static_cast<long long>(kPosts) * (kPosts + 1) / 2;
    report.line("dispatchWait returned %d after %.0f ms, having served %d posts and %d sends",
                shared.waitResult, shared.waitSeconds * 1000, shared.posts, shared.sends);
    report.check(shared.waitResult == 0, "dispatchWait returned %d, not 0 (event signalled)",
                 shared.waitResult);
    report.check(shared.posts == kPosts && shared.sends == kSends && shared.servedOutsideWait == 0,
                 "served %d posts and %d sends during the wait, %d outside it", shared.posts,
                 shared.sends, shared.servedOutsideWait);
    report.check(shared.postedSum == expectedSum, "posted numbers add up to %lld, not %lld",
                 shared.postedSum, expectedSum);
    report.summary("%d posts and %d sends served during one dispatchWait", shared.posts,
                   shared.sends);
}

}  // namespace demo
