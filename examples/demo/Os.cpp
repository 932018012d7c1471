#include "Os.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>

#include <cstdio>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;  // NOLINT(readability-redundant-declaration)
#endif

namespace demo {

#if defined(_WIN32)

namespace {

std::wstring widened(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// One argument of a command line, quoted as the C run-time splits it again. The demo's
// arguments hold no quotes, so quoting spaces is all that is needed.
std::wstring quoted(const std::wstring& arg) { return L"\"" + arg + L"\""; }

}  // namespace

bool startSelf(const std::vector<std::string>& args, const std::vector<std::string>& environment,
               ChildProcess* child, std::string* error) {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length == MAX_PATH) {
        *error = "GetModuleFileNameW failed";
        return false;
    }
    std::wstring commandLine = quoted(self);
    for (const std::string& arg : args) {
        commandLine += L" " + quoted(widened(arg));
    }
    // The child inherits the environment as it is while CreateProcessW runs.
    std::vector<std::pair<std::string, std::string>> saved;
    for (const std::string& entry : environment) {
        const std::string name = entry.substr(0, entry.find('='));
        char old[1024];
        const DWORD oldLength = GetEnvironmentVariableA(name.c_str(), old, sizeof old);
        saved.emplace_back(name, oldLength > 0 && oldLength < sizeof old ? old : "");
        SetEnvironmentVariableA(name.c_str(), entry.substr(name.size() + 1).c_str());
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &startup, &info);
    const DWORD startError = GetLastError();
    for (const auto& [name, value] : saved) {
        SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
    }
    if (!started) {
        *error = "CreateProcessW failed with error " + std::to_string(startError);
        return false;
    }
    CloseHandle(info.hThread);
    child->id = info.dwProcessId;
    child->handle = info.hProcess;
    return true;
}

bool waitChild(ChildProcess* child, unsigned timeoutMs, int* exitCode) {
    if (child->handle == nullptr) {
        return false;
    }
    if (WaitForSingleObject(child->handle, timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD code = 0;
    GetExitCodeProcess(child->handle, &code);
    *exitCode = static_cast<int>(code);
    CloseHandle(child->handle);
    child->handle = nullptr;
    return true;
}

bool killChild(ChildProcess* child, unsigned timeoutMs, int* exitCode) {
    if (child->handle == nullptr) {
        return false;
    }
    TerminateProcess(child->handle, kKilledExitCode);
    return waitChild(child, timeoutMs, exitCode);
}

bool stdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

long long currentProcessId() { return GetCurrentProcessId(); }

void setEnvironment(const char* name, const char* value) {
    _putenv_s(name, value != nullptr ? value : "");
}

#else  // Linux

bool startSelf(const std::vector<std::string>& args, const std::vector<std::string>& environment,
               ChildProcess* child, std::string* error) {
    std::string self = "/proc/self/exe";
    std::vector<std::string> argStrings{"davro-demo"};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argStrings) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    // The parent's environment without the variables that `environment` replaces.
    std::vector<std::string> envStrings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const std::string& added : environment) {
            replaced = replaced || added.compare(0, name.size() + 1, name + "=") == 0;
        }
        if (!replaced) {
            envStrings.push_back(text);
        }
    }
    envStrings.insert(envStrings.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (std::string& entry : envStrings) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    pid_t pid = 0;
    const int result = posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), envp.data());
    if (result != 0) {
        *error = std::string("posix_spawn failed: ") + std::strerror(result);
        return false;
    }
    child->id = pid;
    return true;
}

bool waitChild(ChildProcess* child, unsigned timeoutMs, int* exitCode) {
    if (child->id == 0) {
        return false;
    }
    // waitpid has no time-out; poll it, a few milliseconds apart, until the deadline.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(static_cast<pid_t>(child->id), &status, WNOHANG);
        if (done == static_cast<pid_t>(child->id)) {
            *exitCode = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
            child->id = 0;
            return true;
        }
        if (done < 0 && errno != EINTR) {
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool killChild(ChildProcess* child, unsigned timeoutMs, int* exitCode) {
    if (child->id == 0) {
        return false;
    }
    kill(static_cast<pid_t>(child->id), SIGKILL);
    return waitChild(child, timeoutMs, exitCode);
}

bool stdoutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

long long currentProcessId() { return getpid(); }

void setEnvironment(const char* name, const char* value) {
    if (value != nullptr) {
        setenv(name, value, 1);  // NOLINT(concurrency-mt-unsafe): no other thread runs
    } else {
        unsetenv(name);  // NOLINT(concurrency-mt-unsafe)
    }
}

#endif

}  // namespace demo
