#!/usr/bin/env python3
"""Counts the instructions and conditional branches per operation of every uncontended path
with callgrind.

Standard library only. Runs bench/Instructions.cpp's program under
`valgrind --tool=callgrind`, which dumps the counters after a loop of N and one of 2N
iterations of each path; a path's count is the difference divided by N, less the same
figure of an empty loop. Instruction and branch counts do not depend on the host's speed
or load: the same build gives the same counts on every run.

    instructions.py --program build/bench/bench/Instructions [--iterations N]
                    [--json OUT] [--check] [--valgrind PATH]
    instructions.py --self-test

Prints each path with its baseline and each target with its ratio; --json writes the same
for bench/report.py. With --check the exit status is 1 when a target is missed. The exit
status is 77 (a skipped ctest test) when valgrind is not installed.
"""

import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIPPED = 77

# The paths that the program measures: its dump label, and what it is.
PATHS = [
    ("win32/MutexWaitRelease", "kernel mutex: WaitForSingleObject(INFINITE) + ReleaseMutex"),
    ("win32/SemaphoreWaitRelease", "semaphore: WaitForSingleObject(INFINITE) + ReleaseSemaphore"),
    ("win32/AutoEventSetWait", "auto-reset event: SetEvent + WaitForSingleObject(INFINITE)"),
    ("win32/ManualEventPoll", "manual-reset event, set: WaitForSingleObject(0)"),
    ("win32/WaitAny64LastSignalled",
     "wait-any over 64 events, the last one set: WaitForMultipleObjects(0)"),
    ("win32/NamedMutexWaitRelease", "named mutex: WaitForSingleObject(INFINITE) + ReleaseMutex"),
    ("davro/YMutexLockUnlock", "YMutex lock(INFINITE) + unlock"),
    ("win32/MutexSliceWaitRelease", "its raw calls: WaitForSingleObject(slice) + ReleaseMutex"),
    ("davro/YEventSignalLock", "YEventObject signal + lock(INFINITE)"),
    ("win32/EventSetSliceWait", "its raw calls: SetEvent + WaitForSingleObject(slice)"),
    ("davro/YSemaphoreLockUnlock", "YSemaphore lock(INFINITE) + unlock"),
    ("win32/SemaphoreSliceWaitRelease",
     "its raw calls: WaitForSingleObject(slice) + ReleaseSemaphore"),
    ("davro/YSemaphoreGetCount", "YSemaphore::getCount"),
    ("win32/SemaphoreGetCount", "its raw calls: the mutex, a poll, a release"),
    ("davro/YCriticalSectionLockUnlock", "YCriticalSection lock(INFINITE) + unlock"),
    ("davro/YReadWriteSectionRead", "YReadWriteSection read entry + exit"),
    ("davro/YReadWriteSectionWrite", "YReadWriteSection write entry + exit"),
    ("std/RecursiveMutexLockUnlock", "std::recursive_mutex lock + unlock"),
    ("std/MutexLockUnlock", "std::mutex lock + unlock"),
    ("posix/SemWaitPost", "sem_wait + sem_post"),
    ("std/SharedMutexReadLockUnlock", "std::shared_mutex lock_shared + unlock_shared"),
    ("pthread/RobustSharedMutexLockUnlock", "robust process-shared pthread mutex lock + unlock"),
]
EMPTY = "loop/Empty"

# The targets: (what, path, baseline path, bound on path ÷ baseline). A bound of None
# reports the ratio only.
TARGETS = [
    ("kernel mutex wait + release vs std::recursive_mutex",
     "win32/MutexWaitRelease", "std/RecursiveMutexLockUnlock", 1.5),
    ("semaphore wait + release vs sem_wait + sem_post",
     "win32/SemaphoreWaitRelease", "posix/SemWaitPost", 2.5),
    ("auto-reset event set + wait vs sem_wait + sem_post",
     "win32/AutoEventSetWait", "posix/SemWaitPost", 2.5),
    ("class layer: YMutex vs its raw calls",
     "davro/YMutexLockUnlock", "win32/MutexSliceWaitRelease", 1.1),
    ("class layer: YEventObject vs its raw calls",
     "davro/YEventSignalLock", "win32/EventSetSliceWait", 1.1),
    ("class layer: YSemaphore vs its raw calls",
     "davro/YSemaphoreLockUnlock", "win32/SemaphoreSliceWaitRelease", 1.1),
    ("class layer: YSemaphore::getCount vs its raw calls",
     "davro/YSemaphoreGetCount", "win32/SemaphoreGetCount", 1.1),
    ("YCriticalSection lock + unlock vs std::recursive_mutex",
     "davro/YCriticalSectionLockUnlock", "std/RecursiveMutexLockUnlock", 1.6),
    ("YReadWriteSection read entry + exit vs std::shared_mutex read",
     "davro/YReadWriteSectionRead", "std/SharedMutexReadLockUnlock", 6),
    ("YReadWriteSection write entry + exit vs YCriticalSection lock + unlock",
     "davro/YReadWriteSectionWrite", "davro/YCriticalSectionLockUnlock", 2),
    ("kernel mutex wait + release vs std::mutex",
     "win32/MutexWaitRelease", "std/MutexLockUnlock", None),
    ("named mutex vs robust process-shared pthread mutex",
     "win32/NamedMutexWaitRelease", "pthread/RobustSharedMutexLockUnlock", 1.5),
    ("wait-any over 64 vs one poll",
     "win32/WaitAny64LastSignalled", "win32/ManualEventPoll", None),
]

LABEL = re.compile(r"^desc: Trigger: Client Request: (.+)@([12])$")
# The events counted: instructions, and with --branch-sim conditional branches (Bc).
EVENTS = ("Ir", "Bc")


def read_dumps(directory, event="Ir"):
    """{label: {1: count, 2: count}} of `event` from the callgrind dumps in `directory`."""
    counts = {}
    for path in glob.glob(os.path.join(directory, "callgrind.out.*")):
        label, factor, total, column = None, None, None, 0
        with open(path, encoding="utf-8", errors="replace") as stream:
            for line in stream:
                match = LABEL.match(line.rstrip("\n"))
                if match:
                    label, factor = match.group(1), int(match.group(2))
                elif line.startswith("events:"):
                    names = line.split()[1:]
                    column = names.index(event) if event in names else None
                elif column is not None and (line.startswith("summary:") or
                                             (total is None and line.startswith("totals:"))):
                    total = int(line.split()[1 + column])
        if label is not None and total is not None:
            # Each loop is counted twice; the smaller count is the loop's alone (another
            # thread's work can only add to it).
            pair = counts.setdefault(label, {})
            pair[factor] = min(total, pair.get(factor, total))
    return counts


def per_operation(counts, iterations):
    """{label: count per iteration, loop overhead taken off}."""
    def raw(label):
        pair = counts.get(label, {})
        if 1 not in pair or 2 not in pair:
            return None
        return (pair[2] - pair[1]) / iterations

    empty = raw(EMPTY)
    if empty is None:
        raise RuntimeError("no count of the empty loop")
    result = {}
    for label, _ in PATHS:
        value = raw(label)
        if value is not None:
            result[label] = value - empty
    result[EMPTY] = empty
    return result


def evaluate(per_op):
    results = []
    for what, path, baseline, bound in TARGETS:
        count, base = per_op.get(path), per_op.get(baseline)
        ratio = count / base if count is not None and base else None
        met = None if ratio is None or bound is None else ratio <= bound
        results.append(dict(what=what, path=path, baseline=baseline, count=count,
                            baseline_count=base, ratio=ratio, bound=bound, met=met))
    return results


def run(program, iterations, valgrind):
    """Runs the program under callgrind; returns the instructions and the conditional
    branches per operation."""
    with tempfile.TemporaryDirectory(prefix="davro-instructions-") as work:
        command = [valgrind, "--tool=callgrind", "--quiet", "--branch-sim=yes",
                   "--callgrind-out-file=" + os.path.join(work, "callgrind.out"),
                   program, str(iterations)]
        completed = subprocess.run(command, cwd=work, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, check=False)
        if completed.returncode != 0:
            sys.stderr.write(completed.stdout + completed.stderr)
            raise RuntimeError("%s exited with %d" % (" ".join(command), completed.returncode))
        return tuple(per_operation(read_dumps(work, event), iterations) for event in EVENTS)


def valgrind_version(valgrind):
    completed = subprocess.run([valgrind, "--version"], stdout=subprocess.PIPE, text=True,
                               check=False)
    return completed.stdout.strip()


def table(per_op, branches, targets):
    lines = ["%-66s %10s %11s" % ("path", "instr/op", "branches/op")]
    for label, what in PATHS:
        if label in per_op:
            lines.append("%-66s %10.1f %11.1f" % (what, per_op[label], branches.get(label, 0)))
    lines.append("%-66s %10.1f %11.1f" % ("(empty loop, taken off the figures above)",
                                         per_op[EMPTY], branches[EMPTY]))
    lines.append("")
    lines.append("%-72s %8s %7s %6s" % ("target", "ratio", "bound", "met"))
    for target in targets:
        if target["ratio"] is None:
            lines.append("%-72s %8s" % (target["what"], "n/a"))
            continue
        lines.append("%-72s %6.3fx %7s %6s" % (
            target["what"], target["ratio"],
            "" if target["bound"] is None else "<= %g" % target["bound"],
            {None: "", True: "yes", False: "NO"}[target["met"]]))
    return "\n".join(lines)


def self_test():
    """Checks the reading and the arithmetic on made-up dump files."""
    with tempfile.TemporaryDirectory() as work:
        made_up = {EMPTY: (3021, 6021), "win32/MutexWaitRelease": (60021, 120021),
                   "std/RecursiveMutexLockUnlock": (40021, 80021)}
        index = 0
        for label, pair in made_up.items():
            for factor, total in enumerate(pair, 1):
                index += 1
                with open(os.path.join(work, "callgrind.out.%d" % index), "w",
                          encoding="utf-8") as stream:
                    stream.write("desc: Trigger: Client Request: %s@%d\nevents: Ir\n"
                                 "summary: %d\n\nfn=x\n0 %d\ntotals: %d\n"
                                 % (label, factor, total, total, total))
        per_op = per_operation(read_dumps(work), 1000)
    targets = evaluate(per_op)
    first = targets[0]
    checks = [
        ("empty loop", per_op[EMPTY] == 3),
        ("overhead taken off", per_op["win32/MutexWaitRelease"] == 57),
        ("ratio", abs(first["ratio"] - 57 / 37) < 1e-9 and first["met"] is False),
        ("unmeasured", targets[1]["ratio"] is None and targets[1]["met"] is None),
    ]
    failed = [name for name, ok in checks if not ok]
    for name in failed:
        print("self-test failed: " + name, file=sys.stderr)
    return 1 if failed else 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", help="the Instructions program")
    parser.add_argument("--iterations", type=int, default=1000)
    parser.add_argument("--json", help="where to write the counts and ratios")
    parser.add_argument("--check", action="store_true",
                        help="exit with 1 when a target is missed")
    parser.add_argument("--valgrind", default=shutil.which("valgrind"))
    parser.add_argument("--self-test", action="store_true")
    options = parser.parse_args(argv)
    if options.self_test:
        return self_test()
    if not options.program:
        parser.error("--program is required")
    if not options.valgrind or not os.path.exists(options.valgrind):
        print("instructions.py: valgrind not found; nothing counted")
        return SKIPPED
    per_op, branches = run(os.path.abspath(options.program), options.iterations,
                           options.valgrind)
    targets = evaluate(per_op)
    print("Instructions and conditional branches per operation (callgrind, %d and %d "
          "iterations)\n" % (options.iterations, 2 * options.iterations))
    print(table(per_op, branches, targets))
    if options.json:
        data = {"tool": valgrind_version(options.valgrind), "iterations": options.iterations,
                "empty_loop": per_op[EMPTY],
                "paths": [dict(path=label, what=what, count=per_op.get(label),
                               branches=branches.get(label))
                          for label, what in PATHS],
                "targets": targets}
        with open(options.json, "w", encoding="utf-8") as stream:
            json.dump(data, stream, indent=1)
    missed = [t for t in targets if t["met"] is False]
    unmeasured = [t for t in targets if t["ratio"] is None]
    if options.check and (missed or unmeasured):
        print("\n%d of %d targets missed, %d not measured" % (
            len(missed), sum(1 for t in targets if t["bound"] is not None), len(unmeasured)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
