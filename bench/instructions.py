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

Prints each path with its baseline and each target with its ratio; --json writes the same
for bench/report.py. The targets are those bounded on instruction counts in
perf/targets.py, the table of targets that bench/report.py reads too. With --check the exit
status is 1 when a target is missed. The exit status is 77 (a skipped ctest test) when
valgrind is not installed.
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

from perf.judge import evaluate_counts

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
    ("win32/NamedSemaphoreWaitRelease", "named semaphore: WaitForSingleObject(INFINITE) + ReleaseSemaphore"),
    ("win32/NamedAutoEventSetWait", "named auto event: SetEvent + WaitForSingleObject(INFINITE)"),
    ("win32/TlsGetValue", "TlsGetValue"),
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
    ("pthread/GetSpecific", "pthread_getspecific"),
]
EMPTY = "loop/Empty"

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


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", help="the Instructions program")
    parser.add_argument("--iterations", type=int, default=1000)
    parser.add_argument("--json", help="where to write the counts and ratios")
    parser.add_argument("--check", action="store_true",
                        help="exit with 1 when a target is missed")
    parser.add_argument("--valgrind", default=shutil.which("valgrind"))
    options = parser.parse_args(argv)
    if not options.program:
        parser.error("--program is required")
    if not options.valgrind or not os.path.exists(options.valgrind):
        print("instructions.py: valgrind not found; nothing counted")
        return SKIPPED
    per_op, branches = run(os.path.abspath(options.program), options.iterations,
                           options.valgrind)
    targets = evaluate_counts(per_op)
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
