// YSynchronizedThread: the state machine under the monitor and the run loop.
#include <davro/primitives/Guard.h>
#include <davro/thread/SynchronizedThread.h>

using namespace davro::win32;

namespace {

// `state` read under `monitor` (the source's, when copying).
int guardedState(const YCriticalSection& monitor, const int& state) {
    const YGuard guard(const_cast<YCriticalSection&>(monitor));  // entering changes no value
    return state;
}

}  // namespace

YSynchronizedThread::YSynchronizedThread()
    : monitor(YString(L"YSynchronizedThread.monitor")), state(NotStarted) {}

YSynchronizedThread::YSynchronizedThread(const YString& displayName)
    : YThread(displayName), monitor(displayName + L".monitor"), state(NotStarted) {}

// The state is read under the source's monitor, so a copy never sees a half-made change.
YSynchronizedThread::YSynchronizedThread(const YSynchronizedThread& other)
    : YThread(other), monitor(other.monitor), state(guardedState(other.monitor, other.state)) {}

YSynchronizedThread& YSynchronizedThread::operator=(const YSynchronizedThread& other) {
    if (this != &other) {
        const int otherState = guardedState(other.monitor, other.state);
        YThread::operator=(other);
        monitor = other.monitor;
        const YGuard guard(monitor);
        state = otherState;
    }
    return *this;
}

YSynchronizedThread::~YSynchronizedThread() {
    YSynchronizedThread::stop();
    YThread::waitThread(INFINITE);  // at once on the thread itself or without a thread
}

unsigned int YSynchronizedThread::suspend() {
    const YGuard guard(monitor);
    return YThread::suspend();
}

int YSynchronizedThread::start() {
    const YGuard guard(monitor);
    if (state != NotStarted) {
        return -1;
    }
    state = Running;
    // The new thread's first isRunning() waits for the monitor, so it sees Running.
    if (create(0) == 0) {
        state = Finished;
        return -1;
    }
    return 0;
}

void YSynchronizedThread::stop() {
    const YGuard guard(monitor);
    state = state == Running || state == Stopping ? Stopping : Finished;
}

void YSynchronizedThread::finish() {
    const YGuard guard(monitor);
    state = Finished;
}

int YSynchronizedThread::isNotStarted() {
    const YGuard guard(monitor);
    return state == NotStarted ? 1 : 0;
}

int YSynchronizedThread::isRunning() {
    const YGuard guard(monitor);
    return state == Running ? 1 : 0;
}

int YSynchronizedThread::run() {
    while (isRunning() != 0 && runBody() != 0) {
    }
    finish();
    return 0;
}

int YSynchronizedThread::runBody() {
    sleep(100);
    const YGuard guard(monitor);
    return 1;
}
