// Thread creation and suspension: YThread::create(0) + waitThread(INFINITE) beside
// std::thread + join of the same run() and beside the raw _beginthreadex + wait; and
// SuspendThread + ResumeThread of a busy thread.
#include <benchmark/benchmark.h>
#include <davro/thread/Thread.h>

#include <atomic>
#include <thread>

#include "BenchMain.h"

namespace {

using namespace davro::win32;

std::atomic<int> gSink{0};

int work() { return gSink.fetch_add(1, std::memory_order_relaxed); }

class Worker : public YThread {
protected:
    int run() override { return work(); }
};

void BM_YThreadCreateWait(benchmark::State& state) {
    Worker t;
    for (auto _ : state) {
        t.create(0);
        t.waitThread(INFINITE);
    }
}
DAVRO_BENCHMARK(BM_YThreadCreateWait)->Name("Thread/CreateWait/davro")->UseRealTime();

void BM_StdThreadJoin(benchmark::State& state) {
    for (auto _ : state) {
        std::thread(work).join();
    }
}
DAVRO_BENCHMARK(BM_StdThreadJoin)->Name("Thread/CreateWait/std")->UseRealTime();

unsigned rawWork(void*) { return static_cast<unsigned>(work()); }

void BM_BeginthreadexWait(benchmark::State& state) {
    for (auto _ : state) {
        HANDLE h = reinterpret_cast<HANDLE>(  // NOLINT(performance-no-int-to-ptr)
            _beginthreadex(nullptr, 0, &rawWork, nullptr, 0, nullptr));
        WaitForSingleObject(h, INFINITE);
        CloseHandle(h);
    }
}
DAVRO_BENCHMARK(BM_BeginthreadexWait)->Name("Thread/CreateWait/win32")->UseRealTime();

void BM_SuspendResumeBusy(benchmark::State& state) {
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop.load(std::memory_order_relaxed)) {
        }
    });
    // A thread of the layer, so that it can be suspended: the std::thread above only keeps
    // the second core busy as the target would on a loaded machine.
    struct Spin : YThread {
        std::atomic<bool>* stop;
        explicit Spin(std::atomic<bool>* s) : stop(s) {}
        int run() override {
            while (!stop->load(std::memory_order_relaxed)) {
            }
            return 0;
        }
        HANDLE threadHandle() const { return handle; }
    } target(&stop);
    target.create(0);
    for (auto _ : state) {
        SuspendThread(target.threadHandle());
        ResumeThread(target.threadHandle());
    }
    stop = true;
    target.waitThread(INFINITE);
    busy.join();
}
DAVRO_BENCHMARK(BM_SuspendResumeBusy)->Name("Thread/SuspendResumeBusy/win32")->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return davro::bench::runBenchmarks(argc, argv); }
