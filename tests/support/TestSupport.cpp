#include "TestSupport.h"

#include <davro/platform/Environment.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <locale>
#include <random>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <davro/platform/Testing.h>
#endif

namespace davro::test {

WaitProbe::WaitProbe(std::function<int()> call)
    : task_(std::move(call)), future_(task_.get_future()), thread_([this] { task_(); }) {}

WaitProbe::~WaitProbe() { thread_.join(); }

bool WaitProbe::stillBlockedAfter(std::chrono::milliseconds delay) {
    return future_.wait_for(delay) == std::future_status::timeout;
}

bool WaitProbe::finishesWithin(std::chrono::milliseconds limit) {
    return future_.wait_for(limit) == std::future_status::ready;
}

int WaitProbe::result() { return future_.get(); }

bool awaitWaiters([[maybe_unused]] void* handle, [[maybe_unused]] unsigned count) {
#ifdef _WIN32
    return Sleep(250), true;  // nothing to poll here: TestSupport.h says why
#else
    return davro::win32::testing::waitForWaiters(handle, count, kWaitMs);
#endif
}

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto candidate = base / ("davro-test-" + std::to_string(random()) + "-" +
                                 std::to_string(counter.fetch_add(1)));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate.string();
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void setDriveC(const std::string& path) {
#ifdef _WIN32
    _putenv_s("DAVRO_DRIVE_C", path.c_str());
#else
    setenv("DAVRO_DRIVE_C", path.c_str(), 1);  // NOLINT(concurrency-mt-unsafe): set up alone
#endif
}

unsigned waitScale() {
#ifdef _WIN32
    return 1;
#else
    return davro::platform::timeScale();
#endif
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios_base::in | std::ios_base::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

long long localOffsetNowSeconds() {
#ifdef _WIN32
    TIME_ZONE_INFORMATION zone{};
    LONG biasMinutes = 0;  // UTC = local + bias
    switch (GetTimeZoneInformation(&zone)) {
        case TIME_ZONE_ID_DAYLIGHT:
            biasMinutes = zone.Bias + zone.DaylightBias;
            break;
        case TIME_ZONE_ID_STANDARD:
            biasMinutes = zone.Bias + zone.StandardBias;
            break;
        default:
            biasMinutes = zone.Bias;
            break;
    }
    return -60LL * biasMinutes;
#else
    const std::time_t now = std::time(nullptr);
    std::tm utc = *std::gmtime(&now);  // NOLINT(concurrency-mt-unsafe): tests call it alone
    utc.tm_isdst = -1;
    return static_cast<long long>(std::difftime(now, std::mktime(&utc)));
#endif
}

bool runningUnderWine() {
#ifdef _WIN32
    // Wine's ntdll exports its version query; Windows' ntdll does not.
    static const bool underWine = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return underWine;
#else
    return false;
#endif
}

davro::win32::HWND createMessageWindow(const wchar_t* className, void* param) {
    using namespace davro::win32;
    const auto create = [&] {
        return CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               GetModuleHandleW(nullptr), param);
    };
    HWND window = create();
    for (int retry = 0; window == nullptr && runningUnderWine() && retry < 600; ++retry) {
        Sleep(100);  // polls Wine's desktop process, which nothing here can signal
        window = create();
    }
    return window;
}

bool localeInstalled(const char* name) {
    try {
        std::locale probe(name);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

}  // namespace davro::test
