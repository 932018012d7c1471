// The main function shared by the benchmark programs, and the macro that registers them.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#endif
#if defined(__GLIBC__) && __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#define DAVRO_BENCH_SINGLE_THREADED_FLAG 1
#endif

namespace davro::bench {

// What every benchmark of these programs is registered with. On Windows the figures are wall
// time: under Wine the kernel objects live in wineserver, another process, whose work the
// calling thread's CPU time leaves out, so Google Benchmark would otherwise find iteration
// counts (and report times) from a small part of what each call costs.
inline void defaults([[maybe_unused]] benchmark::internal::Benchmark* benchmark) {
#if defined(_WIN32)
    benchmark->UseRealTime();
#endif
}

// The Wine release that runs this program; empty on Windows itself and elsewhere.
inline std::string wineVersion() {
#if defined(_WIN32)
    if (const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
        using Version = const char* (*)();
        if (const FARPROC address = GetProcAddress(ntdll, "wine_get_version")) {
            return reinterpret_cast<Version>(reinterpret_cast<void (*)()>(address))();
        }
    }
#endif
    return {};
}

// Starts a thread and waits for its end, so that what follows runs in a process that has
// had a second thread. Until then glibc (and libstdc++, which asks it) takes cheaper paths
// that leave the lock prefix out of some atomic operations; the library only ever runs in
// programs with several threads, so every figure, the std baselines' above all, is measured
// as such programs see it. Where glibc says whether the process still counts as
// single-threaded, a process that does stops here with a message.
inline void startSecondThread() {
    std::thread([] {}).join();
#if defined(DAVRO_BENCH_SINGLE_THREADED_FLAG)
    if (__libc_single_threaded != 0) {
        std::fputs("BenchMain.h: glibc still counts the process as single-threaded\n", stderr);
        std::abort();
    }
#endif
}

// Runs the registered benchmarks with the console's output (and a file's, as the options
// say); 1 for an unknown argument, else 0. bench/report.py sets the figures of a whole run
// against each other and against their targets. Every benchmark runs after
// startSecondThread(), which the context entry "davro_second_thread" records for the report.
inline int runBenchmarks(int argc, char** argv) {
    startSecondThread();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::AddCustomContext("davro_second_thread",
                                "a thread started and joined before the first benchmark");
    if (const std::string wine = wineVersion(); !wine.empty()) {
        benchmark::AddCustomContext("wine_version", wine);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace davro::bench

// BENCHMARK with the settings of davro::bench::defaults.
#define DAVRO_BENCHMARK(function) BENCHMARK(function)->Apply(davro::bench::defaults)
