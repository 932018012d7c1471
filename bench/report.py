#!/usr/bin/env python3
"""Turns the JSON output of the benchmark programs into docs/performance.md and its chart.

Standard library only. Usage (the run-bench target passes these):

    report.py --results DIR --markdown docs/performance.md --chart docs/performance.svg
              [--windows-results DIR] [--instructions instructions.json]
              [--readme README.md] [--build-type Release]
              [--min-time S] [--repetitions N]
    report.py --self-test

Benchmark names follow "<Family>/<Operation>/<column>" (see bench/README.md); Google
Benchmark appends modifiers such as "/real_time" and "/threads:2". Names that do not follow
the convention are listed, as measured, in a table of their program.

With --windows-results, the results of the same programs built for Windows and run under
Wine get a table of their own beside the Linux figures. With --instructions, the counts
that bench/instructions.py wrote get the section "Instructions per operation".
"""

import argparse
import datetime
import json
import math
import os
import platform
import re
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

# ---- The convention -------------------------------------------------------------------

# Column tokens: the library class, the raw davro::win32 call, and the baselines.
DAVRO = "davro"
WIN32 = "win32"
BASELINES = ("std", "posix", "pthread", "futex")
COLUMNS = (DAVRO, WIN32) + BASELINES

# Tables in this order; a family not listed here follows them under its own name.
FAMILIES = [
    ("Kernel", "Kernel objects and waits (davro::win32 on Linux)"),
    ("Mutex", "Mutexes"),
    ("Event", "Events"),
    ("Semaphore", "Semaphore"),
    ("Section", "Critical and reader/writer sections"),
    ("Condition", "Condition"),
    ("Thread", "Threads"),
    ("Message", "Message queue and message-pumping waits"),
]

# Readable operation names; others are split at their capitals.
OPERATIONS = {
    "Kernel/MutexWaitRelease": "mutex: wait + release, uncontended",
    "Kernel/SemaphoreWaitRelease": "semaphore: wait + release",
    "Kernel/AutoEventSetWait": "auto-reset event: set + wait",
    "Kernel/EventPingPong": "event ping-pong between two threads (round trip)",
    "Kernel/MutexOwnPerThread": "mutex per thread: wait + release",
    "Kernel/EventPingPongOneCpu": "event ping-pong, both threads on one CPU (round trip)",
    "Kernel/MutexContended": "one mutex, contended: wait + release",
    "Kernel/WaitAny64LastSignalled": "wait-any over 64 objects, last one signalled",
    "Kernel/ManualEventPoll": "poll of one set manual-reset event",
    "Kernel/NamedMutexWaitRelease": "named mutex: wait + release",
    "Kernel/MillionObjectsCreatedAndClosed": "a million objects created and closed, twice",
    "Mutex/LockUnlock": "YMutex lock(INFINITE) + unlock",
    "Mutex/LockUnlockInfinite": "raw wait(INFINITE) + release",
    "Event/SetWait": "YEventObject signal + lock(INFINITE)",
    "Event/SetWaitInfinite": "raw set + wait(INFINITE)",
    "Semaphore/LockUnlock": "YSemaphore lock(INFINITE) + unlock",
    "Semaphore/LockUnlockInfinite": "raw wait(INFINITE) + release",
    "Semaphore/GetCount": "YSemaphore getCount",
    "Section/LockUnlock": "YCriticalSection lock + unlock",
    "Section/ReadEnterLeave": "YReadWriteSection read entry + exit",
    "Section/WriteEnterLeave": "YReadWriteSection write entry + exit",
    "Condition/RoundTrip": "YCondition signal-and-wake round trip",
    "Thread/CreateWait": "YThread create + wait for its end",
}

# The targets: (what, numerator, denominator, kind, comparison, bound, denominator's name).
# A reference is "Family/Operation/column", with "@N" for a thread count. "time" compares
# times per operation, "rate" throughputs (items per second).
TARGETS = [
    ("uncontended kernel mutex vs std::recursive_mutex",
     "Kernel/MutexWaitRelease/win32", "Kernel/MutexWaitRelease/std", "time", "<=", 1.5, "std::recursive_mutex"),
    ("semaphore vs sem_wait + sem_post",
     "Kernel/SemaphoreWaitRelease/win32", "Kernel/SemaphoreWaitRelease/posix", "time", "<=", 1.5, "sem_wait + sem_post"),
    ("auto-reset event vs sem_post + sem_wait",
     "Kernel/AutoEventSetWait/win32", "Kernel/AutoEventSetWait/posix", "time", "<=", 1.5, "sem_post + sem_wait"),
    ("event ping-pong vs raw futex",
     "Kernel/EventPingPong/win32", "Kernel/EventPingPong/futex", "time", "<=", 1.3, "raw futex"),
    ("event ping-pong on one CPU vs raw futex on one CPU",
     "Kernel/EventPingPongOneCpu/win32", "Kernel/EventPingPongOneCpu/futex", "time", "<=", 1.3,
     "raw futex, one CPU"),
    ("two threads, own mutex each, vs one thread (throughput)",
     "Kernel/MutexOwnPerThread/win32@2", "Kernel/MutexOwnPerThread/win32@1", "rate", ">=", 1.6, "one thread"),
    ("contended mutex vs std::mutex (throughput)",
     "Kernel/MutexContended/win32@2", "Kernel/MutexContended/std@2", "rate", ">=", 0.8, "std::mutex"),
    ("contended mutex, 4 threads, vs std::mutex (throughput)",
     "Kernel/MutexContended/win32@4", "Kernel/MutexContended/std@4", "rate", ">=", 0.8, "std::mutex"),
    ("contended mutex, 8 threads, vs std::mutex (throughput)",
     "Kernel/MutexContended/win32@8", "Kernel/MutexContended/std@8", "rate", ">=", 0.8, "std::mutex"),
    ("wait-any over 64 vs one poll",
     "Kernel/WaitAny64LastSignalled/win32", "Kernel/ManualEventPoll/win32", "time", "<=", 64, "one poll"),
    ("named mutex vs robust process-shared pthread mutex",
     "Kernel/NamedMutexWaitRelease/win32", "Kernel/NamedMutexWaitRelease/pthread", "time", "<=",
     1.5, "pthread mutex"),
    ("class layer: YMutex vs its raw calls",
     "Mutex/LockUnlock/davro", "Mutex/LockUnlock/win32", "time", "<=", 1.1, "raw calls"),
    ("class layer: YEventObject vs its raw calls",
     "Event/SetWait/davro", "Event/SetWait/win32", "time", "<=", 1.1, "raw calls"),
    ("class layer: YSemaphore vs its raw calls",
     "Semaphore/LockUnlock/davro", "Semaphore/LockUnlock/win32", "time", "<=", 1.1, "raw calls"),
    ("class layer: YSemaphore::getCount vs its raw calls",
     "Semaphore/GetCount/davro", "Semaphore/GetCount/win32", "time", "<=", 1.1, "raw calls"),
    ("YCriticalSection uncontended vs std::recursive_mutex",
     "Section/LockUnlock/davro@1", "Section/LockUnlock/std@1", "time", "<=", 1.5, "std::recursive_mutex"),
    ("YCriticalSection, 2 threads, vs std::recursive_mutex (throughput)",
     "Section/LockUnlock/davro@2", "Section/LockUnlock/std@2", "rate", ">=", 0.8, "std::recursive_mutex"),
    ("YCriticalSection, 4 threads, vs std::recursive_mutex (throughput)",
     "Section/LockUnlock/davro@4", "Section/LockUnlock/std@4", "rate", ">=", 0.8, "std::recursive_mutex"),
    ("YCriticalSection, 8 threads, vs std::recursive_mutex (throughput)",
     "Section/LockUnlock/davro@8", "Section/LockUnlock/std@8", "rate", ">=", 0.8, "std::recursive_mutex"),
    ("YReadWriteSection read entry + exit vs std::shared_mutex",
     "Section/ReadEnterLeave/davro@1", "Section/ReadEnterLeave/std@1", "time", "<=", 4, "std::shared_mutex"),
    ("YReadWriteSection read entry + exit, two readers, vs std::shared_mutex",
     "Section/ReadEnterLeave/davro@2", "Section/ReadEnterLeave/std@2", "time", "<=", 4, "std::shared_mutex"),
    ("YReadWriteSection write entry + exit vs YCriticalSection lock + unlock",
     "Section/WriteEnterLeave/davro", "Section/LockUnlock/davro@1", "time", "<=", 2, "YCriticalSection"),
    ("YThread create + wait vs std::thread + join",
     "Thread/CreateWait/davro", "Thread/CreateWait/std", "time", "<=", 1.5, "std::thread + join"),
]

# Ratios of times reported without a bound: (what, numerator, denominator).
REPORTED = [
    ("MsgWaitForMultipleObjects woken by a posted message vs by an event",
     "Message/MsgWaitWokenByPost/win32", "Message/MsgWaitWokenByEvent/win32"),
]

# Google Benchmark's own name parts: they say how a figure was taken, not what was measured.
MODIFIER = re.compile(r"^(real_time|process_time|manual_time|(threads|iterations|repeats|"
                      r"min_time|min_warmup_time):.*)$")
NOISY_CV = 0.10  # spread between repetitions above which a figure is marked

# ---- Reading the results --------------------------------------------------------------


class Figure:
    """One benchmark instance: its median time per operation and throughput."""

    def __init__(self, program, name, entry, wall=False):
        self.program = program
        self.name = name
        self.threads = int(entry.get("threads", 1))
        self.real_time = wall or "real_time" in name.split("/")
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[entry.get("time_unit", "ns")]
        self.ns = entry["real_time" if self.real_time else "cpu_time"] * scale
        self.rate = entry.get("items_per_second")
        self.counters = {k: v for k, v in entry.items() if k not in KNOWN_FIELDS}
        self.cv = None
        parts = name.split("/")
        kept = [p for p in parts[3:] if not MODIFIER.match(p)]
        self.conventional = len(parts) >= 3 and parts[2] in COLUMNS
        if self.conventional:
            self.family = parts[0]
            self.operation = "/".join([parts[1]] + kept)
            self.column = parts[2]
        else:
            self.family, self.operation, self.column = None, None, None

    def throughput(self):
        return self.rate if self.rate else (1e9 / self.ns if self.ns > 0 else None)


KNOWN_FIELDS = {
    "name", "family_index", "per_family_instance_index", "run_name", "run_type", "repetitions",
    "repetition_index", "threads", "iterations", "real_time", "cpu_time", "time_unit",
    "items_per_second", "bytes_per_second", "aggregate_name", "aggregate_unit", "label",
    "error_occurred", "error_message"
}


def read_results(directory, wall=False):
    """Returns (figures, contexts, errors) from every *.json file in `directory`; with `wall`
    every figure is wall time, else CPU time where the benchmark did not ask for wall time."""
    figures, contexts, errors = [], {}, []
    for file_name in sorted(os.listdir(directory)):
        if not file_name.endswith(".json"):
            continue
        program = file_name[:-len(".json")]
        with open(os.path.join(directory, file_name), encoding="utf-8") as stream:
            data = json.load(stream)
        contexts[program] = data.get("context", {})
        medians, spreads, singles = {}, {}, {}
        for entry in data.get("benchmarks", []):
            name = entry.get("run_name", entry["name"])
            if entry.get("error_occurred"):
                errors.append("%s: %s: %s" % (program, name, entry.get("error_message", "")))
                continue
            if entry.get("run_type") == "aggregate":
                if entry.get("aggregate_name") == "median":
                    medians[name] = entry
                elif entry.get("aggregate_name") == "cv":
                    spreads[name] = entry
            else:
                singles.setdefault(name, entry)
        for name, entry in singles.items():
            figure = Figure(program, name, medians.get(name, entry), wall)
            spread = spreads.get(name)
            if spread is not None:
                figure.cv = spread["real_time" if figure.real_time else "cpu_time"]
            figures.append(figure)
    return figures, contexts, errors


def find(figures, reference):
    """The figure that a target reference names, or None."""
    path, _, threads = reference.partition("@")
    family, operation, column = path.split("/")
    for figure in figures:
        if (figure.conventional and figure.family == family and
                figure.operation == operation and figure.column == column and
                (not threads or figure.threads == int(threads))):
            return figure
    return None


def evaluate(figures):
    """Each target with its measured ratio (None when not measured) and whether it is met."""
    results = []
    for what, num_ref, den_ref, kind, comparison, bound, against in TARGETS:
        num, den = find(figures, num_ref), find(figures, den_ref)
        ratio = None
        if num and den:
            if kind == "time" and den.ns > 0:
                ratio = num.ns / den.ns
            elif kind == "rate" and den.throughput():
                ratio = num.throughput() / den.throughput()
        met = None if ratio is None else (ratio <= bound if comparison == "<=" else ratio >= bound)
        results.append(dict(what=what, num=num, den=den, kind=kind, comparison=comparison,
                            bound=bound, ratio=ratio, met=met, num_ref=num_ref, den_ref=den_ref,
                            against=against))
    return results


# ---- Formatting -----------------------------------------------------------------------


def duration(ns):
    for unit, size in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= size:
            return "%.3g %s" % (ns / size, unit)
    return "%.3g ns" % ns


def words(camel):
    return re.sub(r"(?<=[a-z0-9])(?=[A-Z])", " ", camel).lower()


def operation_text(family, operation):
    head, _, args = operation.partition("/")
    text = OPERATIONS.get(family + "/" + head, words(head))
    return text + (" (" + args.replace("/", ", ") + ")" if args else "")


def bound_text(target):
    sign = "≤" if target["comparison"] == "<=" else "≥"
    return "%s %g×" % (sign, target["bound"])


def met_text(target):
    if target["ratio"] is None:
        return "not measured"
    return "%.2f× %s" % (target["ratio"], "yes" if target["met"] else "**no**")


def figure_cell(figure):
    if figure is None:
        return ""
    text = duration(figure.ns)
    if figure.cv is not None and figure.cv > NOISY_CV:
        text += " †"
    return text


def build_rows(figures):
    """{family: [(operation, threads, {column: figure})]} in first-seen order."""
    families = {}
    for figure in figures:
        if not figure.conventional:
            continue
        rows = families.setdefault(figure.family, {})
        rows.setdefault((figure.operation, figure.threads), {})[figure.column] = figure
    return {family: [(op, threads, cells) for (op, threads), cells in rows.items()]
            for family, rows in families.items()}


def ordered_families(rows):
    known = [family for family, _ in FAMILIES if family in rows]
    return known + sorted(family for family in rows if family not in dict(FAMILIES))


def row_ratio(cells):
    """(Davro-side figure, baseline figure, ratio) of a row; ratio None without both."""
    ours = cells.get(DAVRO) or cells.get(WIN32)
    base = next((cells[c] for c in BASELINES if c in cells), None)
    if ours and base and base.ns > 0:
        return ours, base, ours.ns / base.ns
    return ours, base, None


def targets_of_row(targets, family, operation, threads):
    found = []
    for target in targets:
        num = target["num_ref"]
        path, _, wanted = num.partition("@")
        fam, op, _ = path.split("/")
        if fam == family and op == operation and (not wanted or int(wanted) == threads):
            found.append(target)
    return found


def machine(contexts):
    context = next(iter(contexts.values()), {})
    cpu = ""
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as stream:
            for line in stream:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "cpu": cpu or platform.processor() or "unknown",
        "nproc": os.cpu_count() or context.get("num_cpus", "?"),
        "mhz": context.get("mhz_per_cpu"),
        "kernel": "%s %s" % (platform.system(), platform.release()),
        "date": context.get("date") or datetime.datetime.now().isoformat(timespec="seconds"),
        "load": context.get("load_avg"),
    }


# Baselines of the Windows run that are not what their column's name says on Linux.
WINDOWS_BASELINES = {"futex": "WaitOnAddress", "posix": "winpthreads"}
SIDE_BY_SIDE = "Linux and Windows (under Wine) side by side"


def anchor(title):
    """The anchor that GitHub gives a heading."""
    return re.sub(r"[^\w\- ]", "", title.lower()).replace(" ", "-")


def ratio_text(ratio):
    """A ratio with three significant digits at most, without an exponent."""
    return "%.*f×" % (0 if ratio >= 100 else 1 if ratio >= 10 else 2, ratio)


def ratio_cell(ours, base, ratio, names=None):
    if ratio is None:
        return "—" if ours else ""
    name = (names or {}).get(base.column, base.column)
    return "%s (%s %s)" % (ratio_text(ratio), name, duration(base.ns))


def column_ratio(cells, column):
    """Like row_ratio, for the figure of one column (None when the row has none)."""
    return row_ratio({c: f for c, f in cells.items() if c == column or c in BASELINES})


def side_by_side(figures, windows):
    """The lines of the section that sets the Windows run beside the Linux one."""
    windows_figures, windows_contexts, _ = windows
    context = next(iter(windows_contexts.values()), {})
    wine = context.get("wine_version")
    linux_rows, windows_rows = build_rows(figures), build_rows(windows_figures)
    out = ["## %s\n" % SIDE_BY_SIDE]
    out.append(
        "The same benchmark programs, cross-built with mingw-w64 against `DAVRO64u.dll` and run "
        "%s on this machine just before the Linux run, with Google Benchmark built for Windows "
        "from Debian's source package. Each figure is set "
        "against the baseline measured in its own run: on Windows the std classes of "
        "mingw-w64's libstdc++ (built on its winpthreads library), winpthreads' POSIX "
        "semaphores, and WaitOnAddress in place of the futex.\n"
        % ("under Wine %s" % wine if wine else "under Wine"))
    out.append(
        "**Wine is not Windows.** Wine serves the Win32 kernel objects (mutexes, events, "
        "semaphores, waits, threads, message queues) in wineserver, a separate process, so "
        "nearly every call that our DLL makes there is a round trip between two processes, "
        "while the std baselines stay in user space. The Windows column measures our DLL under "
        "Wine on this machine, not on Windows: read each ratio against its own column's "
        "baseline, and neither column as a forecast for Windows. Because each of those calls "
        "waits for wineserver to get a processor, the Windows figures swing with other load on "
        "the machine far more than the Linux ones. They are wall time throughout, as the "
        "calling thread's CPU time would leave out wineserver's work; the Linux figures are "
        "those of the tables above.\n")
    table = []
    seen = set()
    for family in ordered_families({**linux_rows, **windows_rows}):
        windows_cells = {(op, threads): cells
                         for op, threads, cells in windows_rows.get(family, [])}
        for operation, threads, cells in linux_rows.get(family, []) + windows_rows.get(family, []):
            key = (family, operation, threads)
            if key in seen or (operation, threads) not in windows_cells:
                continue
            seen.add(key)
            linux_cells = dict(next((c for o, t, c in linux_rows.get(family, [])
                                     if (o, t) == (operation, threads)), {}))
            w_cells = windows_cells[(operation, threads)]
            text = "%s: %s" % (family, operation_text(family, operation))
            if threads > 1 or any(t != threads for o, t in windows_cells if o == operation):
                text += ", %d thread%s" % (threads, "s" if threads > 1 else "")
            # The class's figure, and below it the raw calls that it makes where both were
            # measured.
            lines = [(text, DAVRO)]
            if any(DAVRO in c and WIN32 in c for c in (linux_cells, w_cells)):
                lines.append((text + ": the raw `davro::win32` calls", WIN32))
            for line_text, column in lines:
                l_ours, l_base, l_ratio = column_ratio(linux_cells, column)
                w_ours, w_base, w_ratio = column_ratio(w_cells, column)
                if column == DAVRO and not (l_ours or w_ours):
                    l_ours, l_base, l_ratio = column_ratio(linux_cells, WIN32)
                    w_ours, w_base, w_ratio = column_ratio(w_cells, WIN32)
                if not (l_ours or w_ours):
                    continue
                table.append("| %s | %s | %s | %s | %s |" % (
                    line_text, figure_cell(l_ours), ratio_cell(l_ours, l_base, l_ratio),
                    figure_cell(w_ours), ratio_cell(w_ours, w_base, w_ratio, WINDOWS_BASELINES)))
    out.append("| operation | Linux | Linux ÷ baseline | Windows under Wine | "
               "Wine ÷ baseline |\n|---|---|---|---|---|")
    out.extend(table)
    out.append("")
    out.append("Rows measured on Linux only are in the tables above.\n")
    return out


INSTRUCTIONS = "Instructions per operation"


def read_instructions(path):
    """The counts that bench/instructions.py wrote, or None when the file is missing."""
    if not path or not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as stream:
        return json.load(stream)


def count_text(count):
    return "" if count is None else "%.0f" % count


def instructions_section(data):
    """The lines of the section on instruction counts."""
    whats = {p["path"]: p["what"] for p in data["paths"]}
    counts = {p["path"]: p["count"] for p in data["paths"]}
    bounded = [t for t in data["targets"] if t["bound"] is not None]
    out = ["## %s\n" % INSTRUCTIONS]
    out.append(
        "Counted by callgrind (%s) in `bench/instructions.py`, on this build: each path runs "
        "in a loop of %d and of %d iterations beside a thread parked in a wait, and the "
        "difference of the two counts, less that of an empty loop (%.0f instructions per "
        "iteration), is divided by %d. Unlike the times above, the counts do not depend on "
        "the machine's speed or load: the same build counts the same on every run. They "
        "leave out what an instruction costs (a locked instruction or a system call counts "
        "as one). Ratios have three decimals, as the counts are exact. %d of %d targets met.\n"
        % (data.get("tool", "valgrind"), data["iterations"], 2 * data["iterations"],
           data.get("empty_loop", 0), data["iterations"],
           sum(1 for t in bounded if t["met"]), len(bounded)))
    out.append("| path | instructions | baseline | instructions | ratio | target | met? |")
    out.append("|---|---|---|---|---|---|---|")
    for target in data["targets"]:
        ratio = target["ratio"]
        if target["bound"] is None:
            met = ""
        elif ratio is None:
            met = "not measured"
        else:
            met = "yes" if target["met"] else "**no**"
        out.append("| %s | %s | %s | %s | %s | %s | %s |" % (
            whats.get(target["path"], target["path"]), count_text(target["count"]),
            whats.get(target["baseline"], target["baseline"]),
            count_text(target["baseline_count"]),
            "" if ratio is None else "%.3f×" % ratio,
            "" if target["bound"] is None else "≤ %g×" % target["bound"], met))
    out.append("")
    out.append("Every path counted, with its conditional branches (callgrind's branch "
               "simulation) beside its instructions:\n")
    out.append("| path | instructions | conditional branches |\n|---|---|---|")
    for path in data["paths"]:
        out.append("| %s | %s | %s |" % (path["what"], count_text(counts[path["path"]]),
                                         count_text(path.get("branches"))))
    out.append("")
    return out


def write_markdown(path, chart_name, figures, contexts, errors, targets, options, windows=None,
                   instructions=None):
    rows = build_rows(figures)
    info = machine(contexts)
    out = []
    out.append("# Performance\n")
    out.append("Produced by `cmake --workflow --preset bench`, which runs every benchmark program "
               "in `bench/` and then `bench/report.py`; do not edit by hand. Each figure is the "
               "median of %s repetitions of at least %s s each, measured in one run on one "
               "machine, so only the ratios between figures of the same run mean much.%s%s\n"
               % (options.repetitions, options.min_time,
                  " The Windows build ran the same programs under Wine: see [%s](#%s)."
                  % (SIDE_BY_SIDE, anchor(SIDE_BY_SIDE)) if windows else "",
                  " Instruction counts, which do not depend on the machine: [%s](#%s)."
                  % (INSTRUCTIONS, anchor(INSTRUCTIONS)) if instructions else ""))
    out.append("| machine | |\n|---|---|")
    out.append("| CPU | %s%s |" % (info["cpu"], ", %s MHz" % info["mhz"] if info["mhz"] else ""))
    out.append("| processors (nproc) | %s |" % info["nproc"])
    out.append("| kernel | %s |" % info["kernel"])
    out.append("| date | %s |" % info["date"])
    if info["load"]:
        out.append("| load average at the start | %s |" % ", ".join("%.2f" % v for v in info["load"]))
    out.append("| build | %s |" % options.build_type)
    if windows:
        context = next(iter(windows[1].values()), {})
        out.append("| Windows run | %s, under %s, %s |" % (
            "DAVRO64u.dll (mingw-w64, %s)" % context.get("library_build_type", "?"),
            "Wine " + context["wine_version"] if context.get("wine_version") else "Windows",
            context.get("date", "?")))
    out.append("")
    out.append("![Davro against its baselines](%s)\n" % chart_name)
    out.append("Columns: **Davro** is the library class, **davro::win32** the raw platform call "
               "that it makes (on Linux the library's own implementation of it), **baseline** "
               "the std or POSIX equivalent; the ratio divides the Davro figure (the class, or "
               "the raw call where there is no class) by the baseline. Times are per operation: "
               "CPU time for one thread, wall time where several threads take part. † marks a "
               "figure whose repetitions spread by more than %d%%.\n" % (NOISY_CV * 100))

    out.append("## Targets\n")
    out.append("| target | ratio | bound | met? |\n|---|---|---|---|")
    for target in targets:
        met = {None: "not measured", True: "yes", False: "**no**"}[target["met"]]
        out.append("| %s | %s | %s | %s |" % (
            target["what"], "" if target["ratio"] is None else "%.2f×" % target["ratio"],
            bound_text(target), met))
    out.append("")
    reported = []
    for what, num_ref, den_ref in REPORTED:
        num, den = find(figures, num_ref), find(figures, den_ref)
        if num and den and den.ns > 0:
            reported.append("| %s | %.2f× |" % (what, num.ns / den.ns))
    if reported:
        out.append("Reported without a bound:\n\n| ratio | measured |\n|---|---|")
        out.extend(reported)
        out.append("")

    titles = dict(FAMILIES)
    for family in ordered_families(rows):
        out.append("## %s\n" % titles.get(family, family))
        thread_counts = {}
        for operation, threads, _ in rows[family]:
            thread_counts.setdefault(operation, set()).add(threads)
        table = []
        notes = []
        for operation, threads, cells in rows[family]:
            ours, base, ratio = row_ratio(cells)
            text = operation_text(family, operation)
            if threads > 1 or len(thread_counts[operation]) > 1:
                text += ", %d thread%s" % (threads, "s" if threads > 1 else "")
            base_text = ("%s (%s)" % (figure_cell(base), base.column)) if base else ""
            target_text = "; ".join(
                "%s %s: %s" % (bound_text(t), t["against"], met_text(t))
                for t in targets_of_row(targets, family, operation, threads))
            table.append([text, figure_cell(cells.get(DAVRO)), figure_cell(cells.get(WIN32)),
                          base_text, "" if ratio is None else "%.2f×" % ratio, target_text])
            for figure in cells.values():
                for key, value in sorted(figure.counters.items()):
                    if isinstance(value, (int, float)):
                        notes.append("%s (%s): %s = %.4g" % (text, figure.column, key, value))
        header = ["operation", "Davro", "davro::win32", "baseline", "Davro ÷ baseline",
                  "target / met?"]
        keep = [i for i in range(len(header)) if i == 0 or any(row[i] for row in table)]
        out.append("| " + " | ".join(header[i] for i in keep) + " |")
        out.append("|" + "---|" * len(keep))
        for row in table:
            out.append("| " + " | ".join(row[i] for i in keep) + " |")
        out.append("")
        for note in notes:
            out.append("- " + note)
        if notes:
            out.append("")

    if instructions:
        out.extend(instructions_section(instructions))

    if windows:
        out.extend(side_by_side(figures, windows))
        errors = errors + ["Windows: " + error for error in windows[2]]

    others = [f for f in figures if not f.conventional]
    for program in sorted({f.program for f in others}):
        out.append("## Other figures of %s\n" % program)
        out.append("| benchmark | time per operation |\n|---|---|")
        for figure in (f for f in others if f.program == program):
            out.append("| `%s` | %s |" % (figure.name, figure_cell(figure)))
        out.append("")
    if errors:
        out.append("## Benchmarks that failed\n")
        out.extend("- " + error for error in errors)
        out.append("")

    with open(path, "w", encoding="utf-8") as stream:
        stream.write("\n".join(out).rstrip() + "\n")
    return info


# ---- The chart ------------------------------------------------------------------------


def escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def write_chart(path, figures, targets):
    """Horizontal bars on a log scale: the Davro figure of each row over its baseline."""
    rows = build_rows(figures)
    bars = []
    titles = dict(FAMILIES)
    for family in ordered_families(rows):
        for operation, threads, cells in rows[family]:
            ours, base, ratio = row_ratio(cells)
            if ratio is None:
                continue
            label = "%s: %s" % (family, operation_text(family, operation))
            if threads > 1:
                label += ", %d threads" % threads
            mark, met = None, None
            for target in targets_of_row(targets, family, operation, threads):
                if target["den"] is base and target["ratio"] is not None:
                    mark = target["bound"] if target["kind"] == "time" else 1 / target["bound"]
                    met = target["met"]
            bars.append((label, ratio, mark, met, titles.get(family, family)))

    low = min([0.25] + [b[1] for b in bars] + [b[2] for b in bars if b[2]])
    high = max([4.0] + [b[1] for b in bars] + [b[2] for b in bars if b[2]])
    low, high = 2 ** math.floor(math.log2(low)), 2 ** math.ceil(math.log2(high))
    label_width, plot_width, bar_height, gap, top = 430, 440, 16, 6, 56
    height = top + len(bars) * (bar_height + gap) + 40
    width = label_width + plot_width + 70

    def x(value):
        span = math.log2(high) - math.log2(low)
        return label_width + (math.log2(value) - math.log2(low)) / span * plot_width

    svg = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
           'font-family="sans-serif" font-size="12">' % (width, height),
           '<rect width="100%" height="100%" fill="white"/>',
           '<text x="10" y="20" font-size="15" font-weight="bold">Davro ÷ baseline '
           '(time per operation, log scale; left of 1 is faster)</text>',
           '<text x="10" y="38" fill="#555">green: target met, red: target missed, grey: no '
           'target; a black tick marks the target</text>']
    value = low
    while value <= high:
        px = x(value)
        svg.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="%s"/>' % (
            px, top - 6, px, height - 30, "#000" if value == 1 else "#ddd"))
        svg.append('<text x="%.1f" y="%d" text-anchor="middle" fill="#555">%g×</text>' % (
            px, height - 14, value))
        value *= 2
    for index, (label, ratio, mark, met, _) in enumerate(bars):
        y = top + index * (bar_height + gap)
        colour = "#9aa5b1" if met is None else ("#2e9d5b" if met else "#d64545")
        left, right = sorted((x(1), x(ratio)))
        svg.append('<text x="%d" y="%d" text-anchor="end">%s</text>' % (
            label_width - 8, y + bar_height - 4, escape(label)))
        svg.append('<rect x="%.1f" y="%d" width="%.1f" height="%d" fill="%s"/>' % (
            left, y, max(right - left, 1), bar_height, colour))
        svg.append('<text x="%.1f" y="%d" fill="#333">%.2f×</text>' % (
            max(x(ratio), x(1)) + 4, y + bar_height - 4, ratio))
        if mark:
            svg.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#000" '
                       'stroke-width="2"/>' % (x(mark), y - 2, x(mark), y + bar_height + 2))
    svg.append("</svg>")
    with open(path, "w", encoding="utf-8") as stream:
        stream.write("\n".join(svg) + "\n")
    return len(bars)


# ---- The README's figures -------------------------------------------------------------

README_BEGIN = "<!-- performance:begin -->"
README_END = "<!-- performance:end -->"


def update_readme(path, targets, info, markdown_link, instructions=None):
    """Replaces the block between the README's performance markers with the target ratios."""
    with open(path, encoding="utf-8") as stream:
        text = stream.read()
    begin, end = text.find(README_BEGIN), text.find(README_END)
    if begin < 0 or end < begin:
        return False
    measured = [t for t in targets if t["ratio"] is not None]
    lines = [README_BEGIN,
             "Measured by the `bench` workflow on %s (%s processors), %s; %d of %d targets met. "
             "Details: [%s](%s)." % (info["cpu"], info["nproc"], info["date"][:10],
                                     sum(1 for t in measured if t["met"]), len(measured),
                                     markdown_link, markdown_link),
             "", "| ratio | measured | target |", "|---|---|---|"]
    for target in measured:
        lines.append("| %s | %.2f× | %s |" % (target["what"], target["ratio"], bound_text(target)))
    if instructions:
        bounded = [t for t in instructions["targets"] if t["bound"] is not None]
        lines.append("")
        lines.append("Instruction counts per operation (callgrind): %d of %d targets met; see "
                     "[%s](%s#%s)." % (sum(1 for t in bounded if t["met"]), len(bounded),
                                       INSTRUCTIONS.lower(), markdown_link, anchor(INSTRUCTIONS)))
    lines.append(README_END)
    text = text[:begin] + "\n".join(lines) + text[end + len(README_END):]
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(text)
    return True


# ---- Self-test ------------------------------------------------------------------------


def self_test():
    """Runs the generator over made-up results and checks what it wrote."""

    def entry(name, ns, threads=1, run_type="iteration", aggregate=None, **extra):
        data = dict(name=name + ("_" + aggregate if aggregate else ""), run_name=name,
                    run_type=run_type, threads=threads, iterations=1000, real_time=ns,
                    cpu_time=ns, time_unit="ns")
        if aggregate:
            data["aggregate_name"] = aggregate
        data.update(extra)
        return data

    benchmarks = []
    for name, ns in (("Kernel/MutexWaitRelease/win32", 20.0), ("Kernel/MutexWaitRelease/std", 16.0),
                     ("Mutex/LockUnlock/davro", 30.0), ("Mutex/LockUnlock/win32", 25.0),
                     ("Mutex/LockUnlock/std", 10.0)):
        benchmarks += [entry(name, ns * 2), entry(name, ns, run_type="aggregate",
                                                  aggregate="median"),
                       entry(name, 0.2, run_type="aggregate", aggregate="cv")]
    benchmarks.append(entry("Kernel/MutexOwnPerThread/win32/real_time/threads:1", 20,
                            items_per_second=5e7))
    benchmarks.append(entry("Kernel/MutexOwnPerThread/win32/real_time/threads:2", 20, threads=2,
                            items_per_second=9e7))
    benchmarks.append(entry("BM_SomethingElse", 1.5e3, time_unit="ns"))
    benchmarks.append(dict(name="Kernel/Broken/win32", run_name="Kernel/Broken/win32",
                           run_type="iteration", error_occurred=True, error_message="failed"))
    with tempfile.TemporaryDirectory() as work:
        results = os.path.join(work, "results")
        os.mkdir(results)
        with open(os.path.join(results, "SampleBench.json"), "w", encoding="utf-8") as stream:
            json.dump({"context": {"date": "2025-01-01T00:00:00", "num_cpus": 2,
                                   "load_avg": [0.5, 0.4, 0.3]},
                       "benchmarks": benchmarks}, stream)
        # The Windows run: wall times (real_time) are its figures, whatever the names say.
        windows = os.path.join(work, "windows")
        os.mkdir(windows)
        windows_benchmarks = []
        for name, wall in (("Kernel/MutexWaitRelease/win32", 3e4),
                           ("Kernel/MutexWaitRelease/std", 40),
                           ("Mutex/LockUnlock/davro", 3.2e4), ("Mutex/LockUnlock/win32", 3e4),
                           ("Mutex/LockUnlock/std", 40),
                           ("Kernel/EventPingPong/win32/real_time", 5e4),
                           ("Kernel/EventPingPong/futex/real_time", 5e3)):
            windows_benchmarks.append(dict(entry(name, wall), cpu_time=wall / 4))
        with open(os.path.join(windows, "SampleBench.json"), "w", encoding="utf-8") as stream:
            json.dump({"context": {"date": "2025-01-01T00:00:00", "wine_version": "8.0",
                                   "library_build_type": "release"},
                       "benchmarks": windows_benchmarks}, stream)
        readme = os.path.join(work, "README.md")
        with open(readme, "w", encoding="utf-8") as stream:
            stream.write("intro\n%s\nold\n%s\nend\n" % (README_BEGIN, README_END))
        instructions = os.path.join(work, "instructions.json")
        with open(instructions, "w", encoding="utf-8") as stream:
            json.dump({"tool": "valgrind-3.19.0", "iterations": 1000, "empty_loop": 3.0,
                       "paths": [dict(path="a", what="path a", count=300.0),
                                 dict(path="b", what="baseline b", count=100.0),
                                 dict(path="c", what="path c", count=None)],
                       "targets": [dict(what="a vs b", path="a", baseline="b", count=300.0,
                                        baseline_count=100.0, ratio=3.0, bound=1.5, met=False),
                                   dict(what="c vs b", path="c", baseline="b", count=None,
                                        baseline_count=100.0, ratio=None, bound=2, met=None)]},
                      stream)
        markdown, chart = os.path.join(work, "performance.md"), os.path.join(work, "chart.svg")
        code = main(["--results", results, "--markdown", markdown, "--chart", chart,
                     "--readme", readme, "--windows-results", windows,
                     "--instructions", instructions])
        text = open(markdown, encoding="utf-8").read()
        readme_text = open(readme, encoding="utf-8").read()
        svg = ElementTree.parse(chart).getroot()
        checks = [
            ("exit code", code == 0),
            ("kernel table", "## Kernel objects and waits" in text),
            ("medians used, ratio 1.25", "| 20 ns † | 16 ns † (std) | 1.25× | ≤ 1.5× std::recursive_mutex: 1.25× yes" in text),
            ("class layer vs raw", "≤ 1.1× raw calls: 1.20× **no**" in text),
            ("class row ratio to std", "| 30 ns † | 25 ns † | 10 ns † (std) | 3.00× |" in text),
            ("throughput target", "≥ 1.6× one thread: 1.80× yes" in text),
            ("thread counts in rows", "mutex per thread: wait + release, 1 thread |" in text),
            ("empty columns dropped", "| operation | davro::win32 | baseline |" in text),
            ("unconventional names kept", "| `BM_SomethingElse` | 1.5 µs |" in text),
            ("errors listed", "Kernel/Broken/win32: failed" in text),
            ("unmeasured target", "not measured" in text),
            ("chart linked", "](chart.svg)" in text),
            ("chart has bars", len(svg.findall("{http://www.w3.org/2000/svg}rect")) == 3),
            ("readme block replaced", "old" not in readme_text and "| 1.25× |" in readme_text
             and readme_text.startswith("intro\n") and readme_text.endswith("end\n")),
            ("side by side linked", "(#linux-and-windows-under-wine-side-by-side)" in text),
            ("Windows run described", "| Windows run | DAVRO64u.dll (mingw-w64, release), "
             "under Wine 8.0, 2025-01-01T00:00:00 |" in text),
            ("Wine is not Windows", "**Wine is not Windows.**" in text),
            ("side by side, wall time", "| Kernel: mutex: wait + release, uncontended | "
             "20 ns † | 1.25× (std 16 ns) | 30 µs | 750× (std 40 ns) |" in text),
            ("class and raw calls", "| Mutex: YMutex lock(INFINITE) + unlock | 30 ns † | 3.00× "
             "(std 10 ns) | 32 µs | 800× (std 40 ns) |" in text and
             "unlock: the raw `davro::win32` calls | 25 ns † | 2.50× (std 10 ns) | 30 µs |"
             in text),
            ("Windows-only row, baseline named", "|  |  | 50 µs | 10.0× (WaitOnAddress 5 µs) |"
             in text),
            ("instructions section", "## Instructions per operation" in text and
             "0 of 2 targets met" in text and
             "mean much. The Windows build ran the same programs under Wine: see" in text and
             "Instruction counts, which do not depend on the machine: [Instructions per "
             "operation](#instructions-per-operation).\n" in text),
            ("instructions row", "| path a | 300 | baseline b | 100 | 3.000× | ≤ 1.5× | **no** |"
             in text),
            ("instructions unmeasured", "| path c |  | baseline b | 100 |  | ≤ 2× | not measured |"
             in text),
            ("instructions, other paths", "| baseline b | 100 |" in text),
            ("instructions in the readme", "Instruction counts per operation (callgrind): 0 of 2"
             in readme_text),
        ]
    failed = [name for name, ok in checks if not ok]
    for name in failed:
        print("self-test failed: " + name, file=sys.stderr)
    if failed:
        print(text, file=sys.stderr)
    return 1 if failed else 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--results", help="directory of <program>.json files")
    parser.add_argument("--markdown", help="the page to write")
    parser.add_argument("--chart", help="the SVG chart to write, linked from the page")
    parser.add_argument("--readme", help="a README whose performance block to update")
    parser.add_argument("--windows-results",
                        help="directory of the Windows build's <program>.json files (under Wine)")
    parser.add_argument("--instructions",
                        help="the instruction counts that bench/instructions.py wrote (JSON)")
    parser.add_argument("--build-type", default="Release")
    parser.add_argument("--min-time", default="?")
    parser.add_argument("--repetitions", default="?")
    parser.add_argument("--self-test", action="store_true")
    options = parser.parse_args(argv)
    if options.self_test:
        return self_test()
    if not (options.results and options.markdown and options.chart):
        parser.error("--results, --markdown and --chart are required")
    figures, contexts, errors = read_results(options.results)
    if not figures:
        print("report.py: no benchmark results in " + options.results, file=sys.stderr)
        return 1
    windows = None
    if options.windows_results:
        if os.path.isdir(options.windows_results):
            windows = read_results(options.windows_results, wall=True)
        if not windows or not windows[0]:
            print("report.py: no Windows results in %s; the page has none"
                  % options.windows_results, file=sys.stderr)
            windows = None
    targets = evaluate(figures)
    chart_name = os.path.relpath(options.chart, os.path.dirname(os.path.abspath(options.markdown)))
    instructions = read_instructions(options.instructions)
    info = write_markdown(options.markdown, chart_name, figures, contexts, errors, targets,
                          options, windows, instructions)
    bars = write_chart(options.chart, figures, targets)
    if options.readme:
        update_readme(options.readme, targets, info,
                      os.path.relpath(options.markdown,
                                      os.path.dirname(os.path.abspath(options.readme))),
                      instructions)
    met = sum(1 for t in targets if t["met"])
    measured = sum(1 for t in targets if t["ratio"] is not None)
    print("report.py: wrote %s (%d figures%s, %d targets met of %d measured) and %s (%d bars)" % (
        options.markdown, len(figures),
        " and %d of the Windows build" % len(windows[0]) if windows else "", met, measured,
        options.chart, bars))
    for target in targets:
        if target["met"] is False:
            print("  missed: %s: %.2f× (%s)" % (target["what"], target["ratio"],
                                               bound_text(target)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
