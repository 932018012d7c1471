"""Made-up benchmark results, Windows results, instruction counts and README, written to a
folder, for the tests of the report's parts."""

import json
import os

from perf.readme import BEGIN, END


def entry(name, ns, threads=1, run_type="iteration", aggregate=None, **extra):
    """One entry as Google Benchmark writes it to JSON."""
    data = dict(name=name + ("_" + aggregate if aggregate else ""), run_name=name,
                run_type=run_type, threads=threads, iterations=1000, real_time=ns,
                cpu_time=ns, time_unit="ns")
    if aggregate:
        data["aggregate_name"] = aggregate
    data.update(extra)
    return data


def linux_benchmarks():
    """Three figures each with a median, a spread and a repetition twice as slow (so that
    only the median gives the expected ratios), a throughput pair, a name outside the
    convention and a failed benchmark."""
    benchmarks = []
    for name, ns in (("Kernel/MutexWaitRelease/win32", 20.0), ("Kernel/MutexWaitRelease/std", 16.0),
                     ("Mutex/LockUnlock/davro", 30.0), ("Mutex/LockUnlock/win32", 25.0),
                     ("Mutex/LockUnlock/std", 10.0)):
        benchmarks += [entry(name, ns * 2),
                       entry(name, ns, run_type="aggregate", aggregate="median"),
                       entry(name, 0.2, run_type="aggregate", aggregate="cv")]
    benchmarks.append(entry("Kernel/MutexOwnPerThread/win32/real_time/threads:1", 20,
                            items_per_second=5e7))
    benchmarks.append(entry("Kernel/MutexOwnPerThread/win32/real_time/threads:2", 20, threads=2,
                            items_per_second=9e7))
    benchmarks.append(entry("BM_SomethingElse", 1.5e3, time_unit="ns"))
    benchmarks.append(dict(name="Kernel/Broken/win32", run_name="Kernel/Broken/win32",
                           run_type="iteration", error_occurred=True, error_message="failed"))
    return benchmarks


def windows_benchmarks():
    """Wall times (real_time) are the Windows run's figures, whatever the names say: each
    CPU time here is a quarter of its wall time."""
    out = []
    for name, wall in (("Kernel/MutexWaitRelease/win32", 3e4), ("Kernel/MutexWaitRelease/std", 40),
                       ("Mutex/LockUnlock/davro", 3.2e4), ("Mutex/LockUnlock/win32", 3e4),
                       ("Mutex/LockUnlock/std", 40),
                       ("Kernel/EventPingPong/win32/real_time", 5e4),
                       ("Kernel/EventPingPong/futex/real_time", 5e3)):
        out.append(dict(entry(name, wall), cpu_time=wall / 4))
    return out


INSTRUCTIONS = {
    "tool": "valgrind-3.19.0", "iterations": 1000, "empty_loop": 3.0,
    "paths": [dict(path="a", what="path a", count=300.0),
              dict(path="b", what="baseline b", count=100.0),
              dict(path="c", what="path c", count=None)],
    "targets": [dict(what="a vs b", path="a", baseline="b", count=300.0, baseline_count=100.0,
                     ratio=3.0, bound=1.5, met=False),
                dict(what="c vs b", path="c", baseline="b", count=None, baseline_count=100.0,
                     ratio=None, bound=2, met=None)],
}


def write_json(path, data):
    with open(path, "w", encoding="utf-8") as stream:
        json.dump(data, stream)


def write_inputs(work, second_thread=True):
    """Writes the inputs into `work`; returns {"results", "windows", "instructions",
    "readme"} paths."""
    paths = {name: os.path.join(work, name) for name in ("results", "windows")}
    context = {"date": "2025-01-01T00:00:00", "num_cpus": 2, "load_avg": [0.5, 0.4, 0.3]}
    if second_thread:
        context["davro_second_thread"] = "started and joined"
    os.mkdir(paths["results"])
    write_json(os.path.join(paths["results"], "SampleBench.json"),
               {"context": context, "benchmarks": linux_benchmarks()})
    os.mkdir(paths["windows"])
    write_json(os.path.join(paths["windows"], "SampleBench.json"),
               {"context": {"date": "2025-01-01T00:00:00", "wine_version": "8.0",
                            "library_build_type": "release"},
                "benchmarks": windows_benchmarks()})
    paths["instructions"] = os.path.join(work, "instructions.json")
    write_json(paths["instructions"], INSTRUCTIONS)
    paths["readme"] = os.path.join(work, "README.md")
    with open(paths["readme"], "w", encoding="utf-8") as stream:
        stream.write("intro\n%s\nold\n%s\nend\n" % (BEGIN, END))
    return paths
