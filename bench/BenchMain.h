// The main function shared by the benchmark programs, and the macro that registers them.
#pragma once

#include <benchmark/benchmark.h>

#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
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

// Runs the registered benchmarks with the console's output (and a file's, as the options
// say); 1 for an unknown argument, else 0. bench/report.py sets the figures of a whole run
// against each other and against their targets.
//
// glibc leaves out the lock prefix of its mutexes until a process has started a second
// thread. The library only ever runs in multi-threaded programs, so one thread is started
// and ended first: every baseline is then measured as such programs see it.
inline int runBenchmarks(int argc, char** argv) {
    std::thread([] {}).join();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
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
