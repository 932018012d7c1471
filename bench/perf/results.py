"""Reads the JSON that the benchmark programs and bench/instructions.py write.

Benchmark names follow "<Family>/<Operation>/<column>" (see bench/README.md); Google
Benchmark appends modifiers such as "/real_time" and "/threads:2". A figure whose name does
not follow the convention is kept, with family, operation and column None.
"""

import datetime
import json
import os
import platform
import re

# Column tokens: the library class, the raw davro::win32 call, and the baselines.
DAVRO = "davro"
WIN32 = "win32"
BASELINES = ("std", "posix", "pthread", "futex", "lockfree", "timerfd", "eventfd")
COLUMNS = (DAVRO, WIN32) + BASELINES

# Google Benchmark's own name parts: they say how a figure was taken, not what was measured.
MODIFIER = re.compile(r"^(real_time|process_time|manual_time|(threads|iterations|repeats|"
                      r"min_time|min_warmup_time):.*)$")

# Google Benchmark's fields of an entry; any other numeric field is a user counter.
KNOWN_FIELDS = {
    "name", "family_index", "per_family_instance_index", "run_name", "run_type", "repetitions",
    "repetition_index", "threads", "iterations", "real_time", "cpu_time", "time_unit",
    "items_per_second", "bytes_per_second", "aggregate_name", "aggregate_unit", "label",
    "error_occurred", "error_message"
}

# The context entry that BenchMain.h adds once the program has started and joined a thread.
SECOND_THREAD = "davro_second_thread"


class Figure:
    """One benchmark instance: its median time per operation and throughput."""

    def __init__(self, program, name, entry, wall=False):
        self.program = program
        self.name = name
        self.threads = int(entry.get("threads", 1))
        # Manual times (UseManualTime) are reported where wall times are.
        self.real_time = wall or bool({"real_time", "manual_time"} & set(name.split("/")))
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


def read_results(directory, wall=False):
    """Returns (figures, contexts, errors) from every *.json file in `directory`; with `wall`
    every figure is wall time, else CPU time where the benchmark did not ask for wall time.
    A figure is the median of its repetitions where there are several, with their spread
    (coefficient of variation) in `cv`."""
    figures, contexts, errors = [], {}, []
    for file_name in sorted(os.listdir(directory)):
        if not file_name.endswith(".json"):
            continue
        program = file_name[:-len(".json")]
        path = os.path.join(directory, file_name)
        if os.path.getsize(path) == 0:
            continue  # a program with no benchmark on this system (NamedBench on Windows)
        with open(path, encoding="utf-8") as stream:
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


def had_second_thread(contexts):
    """Whether every program says that it measured in a process that had a second thread."""
    return bool(contexts) and all(c.get(SECOND_THREAD) for c in contexts.values())


def read_instructions(path):
    """The counts that bench/instructions.py wrote, or None when the file is missing."""
    if not path or not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as stream:
        return json.load(stream)


def find(figures, reference):
    """The figure that a reference ("Family/Operation/column", "@N" for N threads) names,
    or None."""
    path, _, threads = reference.partition("@")
    family, operation, column = path.split("/")
    for figure in figures:
        if (figure.conventional and figure.family == family and
                figure.operation == operation and figure.column == column and
                (not threads or figure.threads == int(threads))):
            return figure
    return None


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


def row_ratio(cells):
    """(Davro-side figure, baseline figure, ratio of their times) of a row; the Davro side
    is the class, or the raw call where there is no class. Ratio None without both."""
    ours = cells.get(DAVRO) or cells.get(WIN32)
    base = next((cells[c] for c in BASELINES if c in cells), None)
    if ours and base and base.ns > 0:
        return ours, base, ours.ns / base.ns
    return ours, base, None


def column_ratio(cells, column):
    """Like row_ratio, for the figure of one column (None when the row has none)."""
    return row_ratio({c: f for c, f in cells.items() if c == column or c in BASELINES})


def machine(contexts):
    """The machine that the results came from: this one, with the date and load of the
    first program's run."""
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
