// A second process for cross-process tests: it runs one named body and reports its steps to
// the parent test over a pipe.
//
// Bodies are defined at namespace scope with DAVRO_CHILD_BODY and started with
// ChildProcess. On Linux the child is forked and calls the body directly. On Windows the test
// program starts itself again with CreateProcessW, filtered to the current test and told which
// body to run: before any test runs, that second process runs only the body and exits with
// its result, so nothing of the parent test's own code runs twice.
#pragma once

#include <cstdint>
#include <functional>

namespace davro::test {

using ChildBody = int (*)();

// Registers `body` under `name`; DAVRO_CHILD_BODY does it at start-up. Returns true.
bool registerChildBody(const char* name, ChildBody body);

// Defines a body that a child process can run: `int name()`, whose result is the child's
// exit code. It runs in a process of its own, so it reports failures through that code.
#define DAVRO_CHILD_BODY(name)                                                   \
    int name();                                                                  \
    const bool name##Registered = ::davro::test::registerChildBody(#name, name); \
    int name()

// In a child: tells the parent that a step was reached; the parent reads `step` from
// nextStep(). Returns false if it could not be sent.
bool reportStep(char step);

// One child process running a registered body. The destructor kills a child that is still
// running and reaps it, so a failed test leaves nothing behind. Used from one thread.
class ChildProcess {
public:
    // The exit code of a child ended by kill() (128 + SIGKILL, as a shell reports it).
    static constexpr int kKilled = 137;

    // Starts a child that runs `body`, which must have been defined with DAVRO_CHILD_BODY.
    // Names made with uniqueName() in the child are the parent's.
    explicit ChildProcess(ChildBody body);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Blocks until the child reports its next step and returns it; '0' once the child has
    // ended (or never started) without reporting another.
    char nextStep();
    // Ends the child at once, wherever it is; its exit code becomes kKilled.
    void kill();
    // Waits until the child has ended and returns its exit code: the body's result, kKilled
    // if it was killed, or -1 if it could not be started.
    int wait();

private:
    std::intptr_t process_ = 0;  // the pid on Linux, the process handle on Windows
    std::intptr_t steps_ = -1;   // the reading end of the step pipe (fd or handle)
    bool ended_ = false;
    int exitCode_ = -1;
};

#ifndef _WIN32
// Linux: runs `body` in a forked child; its result (the exit code), 128 + the signal that
// ended it, or -2 if it had not ended after `boundMs` and was killed.
int runForked(const std::function<int()>& body, unsigned boundMs);
#endif

}  // namespace davro::test
