# The Windows half of run-bench in a Linux build: the same benchmark programs cross-built for
# Windows (configure preset bench-windows) and run under Wine before the Linux ones, so that
# bench/report.py sets both builds side by side in docs/performance.md.
#
# Sets davro_bench_windows_commands (COMMAND ... lists for add_custom_target) and
# davro_bench_windows_results (the folder of the Windows JSON files), both empty when the
# Windows run is off. Included from bench/CMakeLists.txt.

find_program(DAVRO_BENCH_MINGW_CXX NAMES x86_64-w64-mingw32-g++-posix)
find_program(DAVRO_BENCH_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(DAVRO_BENCH_MINGW_CXX AND DAVRO_BENCH_WINE)
    set(windows_default ON)
else()
    set(windows_default OFF)
endif()
option(DAVRO_BENCH_WINDOWS
       "run-bench: first cross-build the benchmarks for Windows and run them under Wine"
       ${windows_default})
set(DAVRO_BENCH_WINDOWS_DIR ${PROJECT_SOURCE_DIR}/build/bench-windows CACHE PATH
    "run-bench: the build tree of the Windows benchmarks (preset bench-windows)")

set(davro_bench_windows_commands)
set(davro_bench_windows_results)
if(DAVRO_BENCH_WINDOWS)
    # Configured from the preset (in the source folder, where the presets are) and built
    # through its own run-bench, with this build's minimum time and repetitions. It runs
    # before the Linux programs, never beside them: two benchmark runs would disturb each
    # other on a small machine.
    set(davro_bench_windows_commands
        COMMAND ${CMAKE_COMMAND} -E echo
                "Windows benchmarks, cross-built in ${DAVRO_BENCH_WINDOWS_DIR}"
        COMMAND ${CMAKE_COMMAND} -E chdir ${PROJECT_SOURCE_DIR}
                ${CMAKE_COMMAND} --preset bench-windows -B ${DAVRO_BENCH_WINDOWS_DIR}
                -DDAVRO_BENCH_MIN_TIME=${DAVRO_BENCH_MIN_TIME}
                -DDAVRO_BENCH_REPETITIONS=${DAVRO_BENCH_REPETITIONS}
        COMMAND ${CMAKE_COMMAND} --build ${DAVRO_BENCH_WINDOWS_DIR} --target run-bench)
    set(davro_bench_windows_results ${DAVRO_BENCH_WINDOWS_DIR}/bench/results)
endif()
