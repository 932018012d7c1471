"""Writes docs/performance.md: the machine, the targets, one table a benchmark family, and
the sections on instruction counts and on the Windows build under Wine."""

from perf.judge import reported, targets_of_row
from perf.labels import family_title, operation_text, ordered_families
from perf.results import DAVRO, WIN32, build_rows, column_ratio, row_ratio
from perf.text import INSTRUCTIONS, SIDE_BY_SIDE, anchor, bound_text, duration, ratio_text

NOISY_CV = 0.10  # spread between repetitions above which a figure is marked

# Baselines of the Windows run that are not what their column's name says on Linux.
WINDOWS_BASELINES = {"futex": "WaitOnAddress", "posix": "winpthreads"}


def figure_cell(figure):
    if figure is None:
        return ""
    text = duration(figure.ns)
    if figure.cv is not None and figure.cv > NOISY_CV:
        text += " †"
    return text


def met_text(target):
    if target["ratio"] is None:
        return "not measured"
    return "%.2f× %s" % (target["ratio"], "yes" if target["met"] else "**no**")


def ratio_cell(ours, base, ratio, names=None):
    if ratio is None:
        return "—" if ours else ""
    name = (names or {}).get(base.column, base.column)
    return "%s (%s %s)" % (ratio_text(ratio), name, duration(base.ns))


def count_text(count):
    return "" if count is None else "%.0f" % count


def introduction(run, windows, instructions, second_thread):
    text = ("Produced by `cmake --workflow --preset bench`, which runs every benchmark program "
            "in `bench/` and then `bench/report.py`; do not edit by hand. Each figure is the "
            "median of %s repetitions of at least %s s each, measured in one run on one "
            "machine, so only the ratios between figures of the same run mean much."
            % (run["repetitions"], run["min_time"]))
    if second_thread:
        text += (" Every program starts and joins a thread before its first benchmark, so "
                 "that every figure, the std and POSIX baselines included, is taken in a "
                 "process that has had a second thread, as in any program that uses the "
                 "library: until then glibc leaves the lock prefix out of some of its atomic "
                 "operations, which would flatter the baselines.")
    if windows:
        text += (" The Windows build ran the same programs under Wine: see [%s](#%s)."
                 % (SIDE_BY_SIDE, anchor(SIDE_BY_SIDE)))
    if instructions:
        text += (" Instruction counts, which do not depend on the machine: [%s](#%s)."
                 % (INSTRUCTIONS, anchor(INSTRUCTIONS)))
    return text + "\n"


def machine_table(info, build_type, windows):
    out = ["| machine | |\n|---|---|"]
    out.append("| CPU | %s%s |" % (info["cpu"], ", %s MHz" % info["mhz"] if info["mhz"] else ""))
    out.append("| processors (nproc) | %s |" % info["nproc"])
    out.append("| kernel | %s |" % info["kernel"])
    out.append("| date | %s |" % info["date"])
    if info["load"]:
        out.append("| load average at the start | %s |"
                   % ", ".join("%.2f" % v for v in info["load"]))
    out.append("| build | %s |" % build_type)
    if windows:
        context = next(iter(windows[1].values()), {})
        out.append("| Windows run | %s, under %s, %s |" % (
            "DAVRO64u.dll (mingw-w64, %s)" % context.get("library_build_type", "?"),
            "Wine " + context["wine_version"] if context.get("wine_version") else "Windows",
            context.get("date", "?")))
    out.append("")
    return out


def targets_section(figures, targets):
    out = ["## Targets\n", "| target | ratio | bound | met? |\n|---|---|---|---|"]
    for target in targets:
        met = {None: "not measured", True: "yes", False: "**no**"}[target["met"]]
        out.append("| %s | %s | %s | %s |" % (
            target["what"], "" if target["ratio"] is None else "%.2f×" % target["ratio"],
            bound_text(target), met))
    out.append("")
    unbounded = reported(figures)
    if unbounded:
        out.append("Reported without a bound:\n\n| ratio | measured |\n|---|---|")
        out.extend("| %s | %.2f× |" % (what, ratio) for what, ratio in unbounded)
        out.append("")
    return out


def family_section(family, family_rows, targets):
    """A family's table, columns without any figure left out, and its counters below it."""
    out = ["## %s\n" % family_title(family)]
    thread_counts = {}
    for operation, threads, _ in family_rows:
        thread_counts.setdefault(operation, set()).add(threads)
    table = []
    notes = []
    for operation, threads, cells in family_rows:
        _, base, ratio = row_ratio(cells)
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
    out.extend("- " + note for note in notes)
    if notes:
        out.append("")
    return out


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
        for operation, threads, _ in linux_rows.get(family, []) + windows_rows.get(family, []):
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


def page(info, run, chart_name, results, targets, windows=None, instructions=None,
         second_thread=False):
    """The whole page as text. `results` is (figures, contexts, errors) of the Linux run,
    `windows` the same of the Windows run or None; `run` has the run's "repetitions",
    "min_time" and "build_type"; `second_thread` says whether every program measured in a
    process that had a second thread."""
    figures, _, errors = results
    rows = build_rows(figures)
    out = ["# Performance\n", introduction(run, windows, instructions, second_thread)]
    out.extend(machine_table(info, run["build_type"], windows))
    out.append("![Davro against its baselines](%s)\n" % chart_name)
    out.append("Columns: **Davro** is the library class, **davro::win32** the raw platform call "
               "that it makes (on Linux the library's own implementation of it), **baseline** "
               "the std or POSIX equivalent; the ratio divides the Davro figure (the class, or "
               "the raw call where there is no class) by the baseline. Times are per operation: "
               "CPU time for one thread, wall time where several threads take part. † marks a "
               "figure whose repetitions spread by more than %d%%.\n" % (NOISY_CV * 100))
    out.extend(targets_section(figures, targets))
    for family in ordered_families(rows):
        out.extend(family_section(family, rows[family], targets))
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
    return "\n".join(out).rstrip() + "\n"


def write_markdown(path, *args, **kwargs):
    """Writes page(*args, **kwargs) to `path`."""
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(page(*args, **kwargs))
