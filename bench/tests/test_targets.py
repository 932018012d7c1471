"""The table of targets: every reference names something that can be measured.

With DAVRO_BENCH_PROGRAMS set (the benchmark programs, separated by the path separator, as
the ctest test sets it), every time target must name benchmarks that those programs
register: a renamed benchmark would otherwise leave its target "not measured" unnoticed.
"""

import os
import re
import subprocess
import unittest

import instructions
from perf import targets
from perf.results import COLUMNS, MODIFIER

REFERENCE = re.compile(r"^([A-Z]\w*)/([A-Z]\w*)/(\w+)(?:@(\d+))?$")


def references():
    for _, timed in targets.timed():
        yield timed.numerator
        yield timed.denominator
    for _, numerator, denominator in targets.REPORTED:
        yield numerator
        yield denominator


class TargetTableTest(unittest.TestCase):
    def test_time_references_follow_the_naming_convention(self):
        for reference in references():
            match = REFERENCE.match(reference)
            self.assertTrue(match, reference)
            self.assertIn(match.group(3), COLUMNS, reference)

    def test_bounds(self):
        for what, timed in targets.timed():
            self.assertIn(timed.kind, ("time", "rate"), what)
            self.assertIn(timed.comparison, ("<=", ">="), what)
            self.assertGreater(timed.bound, 0, what)
        for counted in targets.counted():
            self.assertTrue(counted.bound is None or counted.bound > 0, counted.what)

    def test_counted_paths_are_those_that_the_program_counts(self):
        paths = {label for label, _ in instructions.PATHS}
        for counted in targets.counted():
            self.assertIn(counted.path, paths, counted.what)
            self.assertIn(counted.baseline, paths, counted.what)

    def test_each_comparison_once(self):
        whats = [t.what for t in targets.TARGETS]
        self.assertEqual(len(whats), len(set(whats)))
        counted = [c.what for c in targets.counted()]
        self.assertEqual(len(counted), len(set(counted)))

    @unittest.skipUnless(os.environ.get("DAVRO_BENCH_PROGRAMS"), "no benchmark programs given")
    def test_time_references_name_registered_benchmarks(self):
        registered = set()
        for program in os.environ["DAVRO_BENCH_PROGRAMS"].split(os.pathsep):
            listing = subprocess.run([program, "--benchmark_list_tests"], check=True,
                                     stdout=subprocess.PIPE, text=True).stdout
            for name in listing.split():
                parts = name.split("/")
                threads = next((p.split(":")[1] for p in parts if p.startswith("threads:")), "1")
                kept = [p for p in parts[3:] if not MODIFIER.match(p)]
                registered.add(("/".join(parts[:2] + kept + parts[2:3]), threads))
        for reference in references():
            path, _, threads = reference.partition("@")
            family, operation, column = path.split("/")
            key = "/".join((family, operation, column))
            if threads:
                self.assertIn((key, threads), registered, reference)
            else:
                self.assertTrue(any(k == key for k, _ in registered), reference)


if __name__ == "__main__":
    unittest.main()
