#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "PlatformTestSupport.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace davro::test {
namespace {

std::vector<std::pair<std::string, ChildBody>>& bodies() {
    static std::vector<std::pair<std::string, ChildBody>> registered;
    return registered;
}

const char* nameOf(ChildBody body) {
    for (const auto& [name, registered] : bodies()) {
        if (registered == body) {
            return name.c_str();
        }
    }
    return nullptr;
}

// In a child: where reportStep() writes (a file descriptor or a handle); -1 in the parent.
std::intptr_t reportTo = -1;

}  // namespace

bool registerChildBody(const char* name, ChildBody body) {
    bodies().emplace_back(name, body);
    return true;
}

#ifdef _WIN32

namespace {

HANDLE asHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

// Runs in every process of the test program before its tests. A process started by
// ChildProcess finds "--davro-child=<body>,<parent id>,<step pipe>" on its command line: it
// runs that body instead of the test and exits with the body's result (125 for an unknown
// body, which the parent sees as a failed child).
class ChildEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        const wchar_t* flag = std::wcsstr(GetCommandLineW(), kFlag);
        if (flag == nullptr) {
            return;
        }
        const wchar_t* begin = flag + std::wcslen(kFlag);
        const wchar_t* comma = std::wcschr(begin, L',');
        const std::string name(begin, comma);  // body names are identifiers: ASCII
        wchar_t* end = nullptr;
        testProcessId() = static_cast<DWORD>(std::wcstoul(comma + 1, &end, 10));
        reportTo = static_cast<std::intptr_t>(std::wcstoll(end + 1, nullptr, 10));
        for (const auto& [registeredName, body] : bodies()) {
            if (registeredName == name) {
                std::_Exit(body());
            }
        }
        std::_Exit(125);
    }

    static constexpr const wchar_t* kFlag = L"--davro-child=";
};

[[maybe_unused]] ::testing::Environment* const childEnvironment =
    ::testing::AddGlobalTestEnvironment(new ChildEnvironment);

std::wstring widen(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

}  // namespace

bool reportStep(char step) {
    DWORD written = 0;
    return WriteFile(asHandle(reportTo), &step, 1, &written, nullptr) && written == 1;
}

ChildProcess::ChildProcess(ChildBody body) {
    const char* name = nameOf(body);
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (name == nullptr || test == nullptr) {
        ADD_FAILURE() << "a child body is defined with DAVRO_CHILD_BODY and started in a test";
        return;
    }
    // Only the writing end goes to the child, so that reading fails once the child has ended.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
        return;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    std::wstring program(32768, L'\0');
    program.resize(GetModuleFileNameW(nullptr, program.data(), 32768));
    std::wstring commandLine = L"\"" + program + L"\" --gtest_filter=" +
                               widen(std::string(test->test_suite_name()) + "." + test->name()) +
                               L" " + ChildEnvironment::kFlag + widen(name) + L"," +
                               std::to_wstring(testProcessId()) + L"," +
                               std::to_wstring(reinterpret_cast<std::intptr_t>(writeEnd));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    const BOOL ok = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                   nullptr, nullptr, &startup, &started);
    CloseHandle(writeEnd);
    if (!ok) {
        ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
        CloseHandle(readEnd);
        return;
    }
    CloseHandle(started.hThread);
    process_ = reinterpret_cast<std::intptr_t>(started.hProcess);
    steps_ = reinterpret_cast<std::intptr_t>(readEnd);
}

ChildProcess::~ChildProcess() {
    if (process_ != 0) {
        if (!ended_) {
            kill();
            wait();
        }
        CloseHandle(asHandle(process_));
        CloseHandle(asHandle(steps_));
    }
}

char ChildProcess::nextStep() {
    char step = '0';
    DWORD read = 0;
    if (process_ == 0 || !ReadFile(asHandle(steps_), &step, 1, &read, nullptr) || read != 1) {
        return '0';
    }
    return step;
}

void ChildProcess::kill() {
    if (process_ != 0 && !ended_) {
        TerminateProcess(asHandle(process_), kKilled);
    }
}

int ChildProcess::wait() {
    if (process_ != 0 && !ended_) {
        DWORD code = 0;
        WaitForSingleObject(asHandle(process_), INFINITE);
        GetExitCodeProcess(asHandle(process_), &code);
        exitCode_ = static_cast<int>(code);
        ended_ = true;
    }
    return exitCode_;
}

#else  // Linux: the child is forked and calls the body itself.

bool reportStep(char step) { return write(static_cast<int>(reportTo), &step, 1) == 1; }

ChildProcess::ChildProcess(ChildBody body) {
    if (nameOf(body) == nullptr) {
        ADD_FAILURE() << "a child body is defined with DAVRO_CHILD_BODY";
        return;
    }
    const DWORD parent = testProcessId();
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        ADD_FAILURE() << "pipe failed: " << errno;
        return;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeEnds[0]);
        reportTo = pipeEnds[1];
        testProcessId() = parent;
        std::_Exit(body());
    }
    close(pipeEnds[1]);
    if (pid < 0) {
        ADD_FAILURE() << "fork failed: " << errno;
        close(pipeEnds[0]);
        return;
    }
    process_ = pid;
    steps_ = pipeEnds[0];
}

ChildProcess::~ChildProcess() {
    if (process_ != 0) {
        if (!ended_) {
            kill();
            wait();
        }
        close(static_cast<int>(steps_));
    }
}

char ChildProcess::nextStep() {
    if (process_ == 0) {
        return '0';
    }
    char step = '0';
    ssize_t n = -1;
    do {
        n = read(static_cast<int>(steps_), &step, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? step : '0';
}

void ChildProcess::kill() {
    if (process_ != 0 && !ended_) {
        ::kill(static_cast<pid_t>(process_), SIGKILL);
    }
}

int ChildProcess::wait() {
    if (process_ != 0 && !ended_) {
        int status = 0;
        while (waitpid(static_cast<pid_t>(process_), &status, 0) < 0 && errno == EINTR) {
        }
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        ended_ = true;
    }
    return exitCode_;
}

int runForked(const std::function<int()>& body, unsigned boundMs) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::_Exit(body());
    }
    int status = 0;
    for (unsigned waited = 0; pid > 0 && waitpid(pid, &status, WNOHANG) == 0; ++waited) {
        if (waited == boundMs) {
            ::kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -2;
        }
        usleep(1000);  // a bounded poll: a process offers nothing to wait on here
    }
    return pid < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#endif

}  // namespace davro::test
