// A small benchmark harness with the interface of Google Benchmark, for builds that have no
// Google Benchmark library: the Windows cross build, where Debian ships none. It lets the
// programs in bench/ build unchanged for Windows and run under Wine.
//
// It covers the part of the interface that bench/ uses (State and its loop, BENCHMARK with
// Name, Threads, UseRealTime, Iterations and Unit, the counters, DoNotOptimize, the
// command-line options of bench/CMakeLists.txt) and writes the same JSON that Google
// Benchmark writes, so bench/report.py reads either. Iteration counts are found as Google
// Benchmark finds them, with one difference: a benchmark runs until its wall time, not its
// CPU time, reaches the minimum time. Under Wine a kernel-object call is served by another
// process (wineserver), whose time the calling thread's CPU time leaves out; judging by CPU
// time would stretch those runs several times over.
//
// Benchmarks run one at a time; the registration functions are not thread-safe and are
// meant for static initialisers, as BENCHMARK uses them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace benchmark {

using IterationCount = std::int64_t;

enum TimeUnit { kNanosecond, kMicrosecond, kMillisecond, kSecond };

// A user counter: state.counters["name"] = value. A rate is divided by the run's seconds
// (wall time for UseRealTime benchmarks, else CPU time). The values of a benchmark's threads
// are added up.
class Counter {
public:
    enum Flags { kDefaults = 0, kIsRate = 1 };

    Counter(double v = 0.0, Flags f = kDefaults) : value(v), flags(f) {}  // NOLINT: implicit

    double value;
    Flags flags;
};

using UserCounters = std::map<std::string, Counter>;

namespace internal {
class Run;
}

// What one thread of a running benchmark sees: the timed loop, its arguments and its
// results. for (auto _ : state) { ... } runs the body the number of times the harness has
// chosen; the clock runs from the loop's start to its end, less any PauseTiming interval.
class State {
public:
    struct [[maybe_unused]] Value {};

    class Iterator {
    public:
        Value operator*() const { return Value(); }
        Iterator& operator++() {
            --left_;
            return *this;
        }
        // The loop's test; finishing the loop here stops the clock as soon as it is known.
        bool operator!=(const Iterator&) {
            if (left_ != 0) {
                return true;
            }
            state_->finishLoop();
            return false;
        }

    private:
        friend class State;
        Iterator(State* state, IterationCount left) : state_(state), left_(left) {}

        State* state_;
        IterationCount left_;
    };

    Iterator begin() {
        startLoop();
        return Iterator(this, error_ ? 0 : maxIterations_);
    }
    Iterator end() { return Iterator(nullptr, 0); }

    // Stops and restarts the clock inside the loop (costly: two clock reads each).
    void PauseTiming();
    void ResumeTiming();

    // Marks the run failed with `message`; the loop then ends (or never starts) and the
    // benchmark's figures are replaced by the error in the results.
    void SkipWithError(const char* message);

    void SetItemsProcessed(IterationCount items) { itemsProcessed_ = items; }

    // The iterations this thread has completed: the full count once the loop has ended.
    IterationCount iterations() const { return completed_; }
    int thread_index() const { return threadIndex_; }
    int threads() const { return threads_; }

    UserCounters counters;

private:
    friend class internal::Run;
    State(IterationCount iterations, int threadIndex, int threads, internal::Run* run);

    void startLoop();
    void finishLoop();

    IterationCount maxIterations_;
    IterationCount completed_ = 0;
    int threadIndex_;
    int threads_;
    internal::Run* run_;
    bool error_ = false;
    bool started_ = false;
    bool finished_ = false;
    bool paused_ = false;
    std::string errorMessage_;
    IterationCount itemsProcessed_ = 0;
    double realStart_ = 0;
    double cpuStart_ = 0;
    double realSeconds_ = 0;
    double cpuSeconds_ = 0;
};

// One registered benchmark: a function and how to run it. The setters return the object,
// so that they chain after BENCHMARK.
class Benchmark {
public:
    using Function = void (*)(State&);

    // How the benchmark is run, as the setters below have left it.
    struct Settings {
        std::string name;
        Function function;
        std::vector<int> threads;  // empty: one thread, not named
        bool realTime = false;
        IterationCount iterations = 0;  // 0: found from the minimum time
        TimeUnit unit = kNanosecond;
    };

    Benchmark(std::string name, Function function);

    Benchmark* Name(const std::string& name);
    // Runs the function on `threads` threads at once; repeat for several counts, each
    // measured on its own.
    Benchmark* Threads(int threads);
    // Times by the wall clock instead of the CPU time of the benchmark's threads.
    Benchmark* UseRealTime();
    // A fixed iteration count instead of one found from the minimum time.
    Benchmark* Iterations(IterationCount iterations);
    Benchmark* Unit(TimeUnit unit);

    const Settings& settings() const { return settings_; }

private:
    Settings settings_;
};

namespace internal {
// Keeps `benchmark` for the run; the value of BENCHMARK's hidden variable.
Benchmark* RegisterBenchmarkInternal(Benchmark* benchmark);
}  // namespace internal

// Reads and removes the options this harness knows from argv (--benchmark_filter,
// --benchmark_min_time, --benchmark_repetitions, --benchmark_out, --benchmark_out_format,
// --benchmark_format, --benchmark_list_tests, --benchmark_report_aggregates_only,
// --benchmark_display_aggregates_only). An unknown --benchmark_ option ends the program.
void Initialize(int* argc, char** argv);

// Prints each argument that Initialize left (argv[1] onwards); true if there was one.
bool ReportUnrecognizedArguments(int argc, char** argv);

// Runs every registered benchmark that the filter selects, printing to the console and
// writing the output file; the number of benchmarks run.
std::size_t RunSpecifiedBenchmarks();

void Shutdown();

// Makes the compiler treat `value` as read and written here, so that the work that computes
// it is not optimised away; costs no instruction of its own.
template <class T>
inline void DoNotOptimize(const T& value) {
#if defined(__GNUC__)
    asm volatile("" : : "g"(&value) : "memory");
#else
    static volatile const void* sink;
    sink = &value;
#endif
}

// Makes the compiler assume that all memory is read and written here.
inline void ClobberMemory() {
#if defined(__GNUC__)
    asm volatile("" : : : "memory");
#endif
}

}  // namespace benchmark

#define DAVRO_BENCH_CONCAT2(a, b) a##b
#define DAVRO_BENCH_CONCAT(a, b) DAVRO_BENCH_CONCAT2(a, b)

// Registers `function` (void function(benchmark::State&)) under its own name.
#define BENCHMARK(function)                                                             \
    [[maybe_unused]] static ::benchmark::Benchmark* DAVRO_BENCH_CONCAT(davroBenchmark_, \
                                                                       __COUNTER__) =   \
        ::benchmark::internal::RegisterBenchmarkInternal(                               \
            new ::benchmark::Benchmark(#function, function))
