// The main function shared by the benchmark programs.
#pragma once

#include <benchmark/benchmark.h>

#include <thread>

namespace davro::bench {

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
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace davro::bench
