#!/usr/bin/env python3
"""Turns the JSON output of the benchmark programs into docs/performance.md and its chart.

Usage (the run-bench target passes these):

    report.py --results DIR --markdown docs/performance.md --chart docs/performance.svg
              [--windows-results DIR] [--instructions instructions.json]
              [--readme README.md] [--build-type Release]
              [--min-time S] [--repetitions N]

Benchmark names follow "<Family>/<Operation>/<column>" (see bench/README.md); names that do
not follow the convention are listed, as measured, in a table of their program. The targets
are those of perf/targets.py.

With --windows-results, the results of the same programs built for Windows and run under
Wine get a table of their own beside the Linux figures. With --instructions, the counts
that bench/instructions.py wrote get the section "Instructions per operation".

The chart needs matplotlib (Debian: python3-matplotlib); without it nothing is written.
The parts, one job each, are in perf/; their tests in tests/.
"""

import argparse
import os
import sys

from perf import chart, judge, markdown, readme, results


def has_matplotlib():
    try:
        __import__("matplotlib")
    except ImportError:
        return False
    return True


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--results", required=True, help="directory of <program>.json files")
    parser.add_argument("--markdown", required=True, help="the page to write")
    parser.add_argument("--chart", required=True,
                        help="the SVG chart to write, linked from the page")
    parser.add_argument("--readme", help="a README whose performance block to update")
    parser.add_argument("--windows-results",
                        help="directory of the Windows build's <program>.json files (under Wine)")
    parser.add_argument("--instructions",
                        help="the instruction counts that bench/instructions.py wrote (JSON)")
    parser.add_argument("--build-type", default="Release")
    parser.add_argument("--min-time", default="?")
    parser.add_argument("--repetitions", default="?")
    options = parser.parse_args(argv)
    if not has_matplotlib():
        print("report.py: the chart needs matplotlib (Debian: python3-matplotlib), which %s "
              "cannot import; nothing written" % sys.executable, file=sys.stderr)
        return 1
    linux = results.read_results(options.results)
    figures, contexts, _ = linux
    if not figures:
        print("report.py: no benchmark results in " + options.results, file=sys.stderr)
        return 1
    windows = None
    if options.windows_results:
        if os.path.isdir(options.windows_results):
            windows = results.read_results(options.windows_results, wall=True)
        if not windows or not windows[0]:
            print("report.py: no Windows results in %s; the page has none"
                  % options.windows_results, file=sys.stderr)
            windows = None
    targets = judge.evaluate(figures)
    instructions = results.read_instructions(options.instructions)
    info = results.machine(contexts)
    run = {"repetitions": options.repetitions, "min_time": options.min_time,
           "build_type": options.build_type}
    chart_name = os.path.relpath(options.chart, os.path.dirname(os.path.abspath(options.markdown)))
    markdown.write_markdown(options.markdown, info, run, chart_name, linux, targets, windows,
                            instructions, results.had_second_thread(contexts))
    bars = chart.write_chart(options.chart, figures, targets)
    if options.readme:
        readme.update_readme(options.readme, targets, info,
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
                                               markdown.bound_text(target)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
