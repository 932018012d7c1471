#include "TestSupport.h"

#include <atomic>
#include <filesystem>
#include <random>

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

}  // namespace davro::test
