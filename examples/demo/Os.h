// The few operating-system calls that the demo makes itself, all in Os.cpp: it starts a
// second copy of itself, waits for it or kills it, and asks whether stdout is a terminal.
// The library is not involved in any of these; the stages use them to set the scene.
#pragma once

#include <string>
#include <vector>

namespace demo {

// A second copy of the demo started by startSelf(). Owned by whoever started it; waitChild()
// or killChild() releases what the system keeps for it.
struct ChildProcess {
    long long id = 0;        // the process id, 0 when none was started
    void* handle = nullptr;  // the process handle on Windows, unused on Linux
};

// Starts this program again with `args` after the program name and with `environment`
// ("NAME=value" entries) added to or replacing its own environment. Returns true and fills
// `child`; false with `error` set when the program could not be started.
bool startSelf(const std::vector<std::string>& args, const std::vector<std::string>& environment,
               ChildProcess* child, std::string* error);

// Waits at most `timeoutMs` for the child to end. Returns true with the exit code (128 +
// the signal number for a child ended by a signal on Linux), false when it still runs.
bool waitChild(ChildProcess* child, unsigned timeoutMs, int* exitCode);

// Kills the child at once (SIGKILL, or TerminateProcess with exit code 137) and waits at
// most `timeoutMs` for it to be gone. Returns true with the exit code when it ended.
bool killChild(ChildProcess* child, unsigned timeoutMs, int* exitCode);

// The exit code that a child ended by killChild() reports.
constexpr int kKilledExitCode = 128 + 9;

// Whether stdout is a terminal (a progress bar is shown only then).
bool stdoutIsTerminal();

// This process's id.
long long currentProcessId();

// Sets or, with value null, removes a variable of this process's environment. Call it only
// while no other thread runs.
void setEnvironment(const char* name, const char* value);

}  // namespace demo
