// The demo's worker threads: library threads that run a function once, and the bounded
// wait for their end.
#pragma once

#include <davro/thread/Thread.h>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "Report.h"

namespace demo {

// A YThread whose run() calls the function it was made with; the function's result is the
// thread's exit code. Start it with create(0). The object must outlive the thread:
// YThread's destructor neither waits for nor stops it, so destroy it only after
// endThreads() (or waitThread) reported its end.
class DemoThread : public YThread {
public:
    DemoThread(const YString& threadName, std::function<int()> body)
        : YThread(threadName), body_(std::move(body)) {}

protected:
    int run() override { return body_(); }

private:
    std::function<int()> body_;
};

// Waits at most `timeoutMs` for every thread in `threads` to end, with YThread::waitThreads.
// Returns true when they all ended. When they did not, the stage fails and the demo exits
// at once with code 1: a thread object must not be destroyed while its thread still runs.
bool endThreads(Report& report, const std::vector<YThread*>& threads, unsigned timeoutMs);

// The raw pointers of a list of owned threads, as endThreads() takes them.
template <typename T>
std::vector<YThread*> pointers(const std::vector<std::unique_ptr<T>>& threads) {
    std::vector<YThread*> list;
    for (const auto& thread : threads) {
        list.push_back(thread.get());
    }
    return list;
}

}  // namespace demo
