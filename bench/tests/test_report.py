"""The report's parts over made-up results (samples.py), and report.py end to end."""

import importlib.util
import os
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
from unittest import mock

import report
from perf import chart, judge, markdown, readme, results
from tests import samples

HAS_MATPLOTLIB = importlib.util.find_spec("matplotlib") is not None
RUN = {"repetitions": 5, "min_time": 0.4, "build_type": "Release"}
INFO = {"cpu": "Test CPU", "nproc": 2, "mhz": None, "kernel": "Linux 6.1",
        "date": "2025-01-01T00:00:00", "load": [0.5, 0.4, 0.3]}


class Inputs(unittest.TestCase):
    """Writes the samples into a temporary folder and reads them back."""

    second_thread = True

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.paths = samples.write_inputs(cls.work.name, cls.second_thread)
        cls.linux = results.read_results(cls.paths["results"])
        cls.windows = results.read_results(cls.paths["windows"], wall=True)
        cls.targets = judge.evaluate(cls.linux[0])

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def target(self, what):
        return next(t for t in self.targets if t["what"] == what)


class ResultsAndJudgeTest(Inputs):
    def test_medians_are_the_figures_and_spreads_their_cv(self):
        figure = results.find(self.linux[0], "Kernel/MutexWaitRelease/win32")
        self.assertEqual(20.0, figure.ns)
        self.assertEqual(0.2, figure.cv)

    def test_modifiers_leave_the_operation_and_thread_counts_pick_the_figure(self):
        two = results.find(self.linux[0], "Kernel/MutexOwnPerThread/win32@2")
        self.assertEqual(("MutexOwnPerThread", 2), (two.operation, two.threads))
        self.assertIsNone(results.find(self.linux[0], "Kernel/MutexOwnPerThread/win32@4"))

    def test_windows_figures_are_wall_time(self):
        figure = results.find(self.windows[0], "Kernel/MutexWaitRelease/win32")
        self.assertEqual(3e4, figure.ns)

    def test_errors_and_unconventional_names_are_kept(self):
        self.assertEqual(["SampleBench: Kernel/Broken/win32: failed"], self.linux[2])
        other = [f for f in self.linux[0] if not f.conventional]
        self.assertEqual(["BM_SomethingElse"], [f.name for f in other])

    def test_time_target(self):
        target = self.target("uncontended kernel mutex vs std::recursive_mutex")
        self.assertAlmostEqual(1.25, target["ratio"])
        self.assertTrue(target["met"])
        self.assertFalse(self.target("class layer: YMutex vs its raw calls")["met"])

    def test_throughput_target(self):
        target = self.target("two threads, own mutex each, vs one thread (throughput)")
        self.assertAlmostEqual(1.8, target["ratio"])
        self.assertTrue(target["met"])

    def test_unmeasured_target(self):
        target = self.target("event ping-pong vs raw futex")
        self.assertIsNone(target["ratio"])
        self.assertIsNone(target["met"])

    def test_second_thread_only_when_every_program_says_so(self):
        self.assertTrue(results.had_second_thread(self.linux[1]))
        self.assertFalse(results.had_second_thread({**self.linux[1], "Other": {}}))
        self.assertFalse(results.had_second_thread({}))


class PageTest(Inputs):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        instructions = results.read_instructions(cls.paths["instructions"])
        cls.text = markdown.page(INFO, RUN, "chart.svg", cls.linux, cls.targets, cls.windows,
                                 instructions, results.had_second_thread(cls.linux[1]))

    def assertHas(self, part):
        self.assertIn(part, self.text)

    def test_introduction_links_its_sections(self):
        self.assertHas("mean much. Every program starts and joins a thread before its first "
                       "benchmark")
        self.assertHas("flatter the baselines. The Windows build ran the same programs under "
                       "Wine: see [Linux and Windows (under Wine) side by side]"
                       "(#linux-and-windows-under-wine-side-by-side).")
        self.assertHas("Instruction counts, which do not depend on the machine: [Instructions "
                       "per operation](#instructions-per-operation).\n")
        self.assertHas("](chart.svg)")

    def test_machine_table(self):
        self.assertHas("| load average at the start | 0.50, 0.40, 0.30 |\n| build | Release |")
        self.assertHas("| Windows run | DAVRO64u.dll (mingw-w64, release), under Wine 8.0, "
                       "2025-01-01T00:00:00 |")

    def test_family_tables(self):
        self.assertHas("## Kernel objects and waits")
        self.assertHas("| 20 ns † | 16 ns † (std) | 1.25× | ≤ 1.5× std::recursive_mutex: "
                       "1.25× yes")
        self.assertHas("≤ 1.1× raw calls: 1.20× **no**")
        self.assertHas("| 30 ns † | 25 ns † | 10 ns † (std) | 3.00× |")
        self.assertHas("≥ 1.6× one thread: 1.80× yes")
        self.assertHas("mutex per thread: wait + release, 1 thread |")
        # The Kernel table has no class figures: that column is left out.
        self.assertHas("| operation | davro::win32 | baseline |")

    def test_targets_table(self):
        self.assertHas("| uncontended kernel mutex vs std::recursive_mutex | 1.25× | ≤ 1.5× "
                       "| yes |")
        self.assertHas("| event ping-pong vs raw futex |  | ≤ 1.3× | not measured |")

    def test_other_figures_and_failures(self):
        self.assertHas("| `BM_SomethingElse` | 1.5 µs |")
        self.assertHas("- SampleBench: Kernel/Broken/win32: failed")

    def test_side_by_side(self):
        self.assertHas("**Wine is not Windows.**")
        self.assertHas("| Kernel: mutex: wait + release, uncontended | 20 ns † | 1.25× "
                       "(std 16 ns) | 30 µs | 750× (std 40 ns) |")
        self.assertHas("| Mutex: YMutex lock(INFINITE) + unlock | 30 ns † | 3.00× (std 10 ns) | "
                       "32 µs | 800× (std 40 ns) |")
        self.assertHas("unlock: the raw `davro::win32` calls | 25 ns † | 2.50× (std 10 ns) | "
                       "30 µs |")
        # Measured on Windows only; the futex baseline is WaitOnAddress there.
        self.assertHas("|  |  | 50 µs | 10.0× (WaitOnAddress 5 µs) |")

    def test_instructions_section(self):
        self.assertHas("## Instructions per operation")
        self.assertHas("0 of 2 targets met")
        self.assertHas("| path a | 300 | baseline b | 100 | 3.000× | ≤ 1.5× | **no** |")
        self.assertHas("| path c |  | baseline b | 100 |  | ≤ 2× | not measured |")
        self.assertHas("| baseline b | 100 |")


class PageWithoutSecondThreadTest(Inputs):
    second_thread = False

    def test_says_nothing_of_a_second_thread(self):
        text = markdown.page(INFO, RUN, "chart.svg", self.linux, self.targets)
        self.assertIn("mean much.\n", text)
        self.assertNotIn("second thread", text)


class ReadmeTest(Inputs):
    def test_block_replaced_and_the_rest_kept(self):
        instructions = results.read_instructions(self.paths["instructions"])
        self.assertTrue(readme.update_readme(self.paths["readme"], self.targets, INFO,
                                             "docs/performance.md", instructions))
        with open(self.paths["readme"], encoding="utf-8") as stream:
            text = stream.read()
        self.assertTrue(text.startswith("intro\n%s\nMeasured by the `bench` workflow on Test CPU "
                                        "(2 processors), 2025-01-01; 2 of 3 targets met."
                                        % readme.BEGIN))
        self.assertTrue(text.endswith("%s\nend\n" % readme.END))
        self.assertNotIn("old", text)
        self.assertIn("| uncontended kernel mutex vs std::recursive_mutex | 1.25× | ≤ 1.5× |",
                      text)
        self.assertIn("Instruction counts per operation (callgrind): 0 of 2 targets met; see "
                      "[instructions per operation](docs/performance.md#instructions-per-"
                      "operation).", text)

    def test_readme_without_markers_is_left_alone(self):
        path = os.path.join(self.work.name, "plain.md")
        with open(path, "w", encoding="utf-8") as stream:
            stream.write("no block\n")
        self.assertFalse(readme.update_readme(path, self.targets, INFO, "p.md"))
        with open(path, encoding="utf-8") as stream:
            self.assertEqual("no block\n", stream.read())


class ChartTest(Inputs):
    def test_one_bar_a_row_with_a_baseline(self):
        bars = chart.bars(self.linux[0], self.targets)
        self.assertEqual(["Kernel: mutex: wait + release, uncontended",
                          "Mutex: YMutex lock(INFINITE) + unlock"], [b.label for b in bars])
        self.assertEqual((1.5, True), (bars[0].mark, bars[0].met))
        # The class-layer target divides by the raw calls, not by this bar's baseline.
        self.assertEqual((None, None), (bars[1].mark, bars[1].met))

    def test_axis_takes_in_every_ratio_and_mark(self):
        bars = [chart.Bar("a", 0.1, None, None), chart.Bar("b", 2.0, 64, True)]
        self.assertEqual((0.0625, 64.0), chart.axis_range(bars))
        self.assertEqual((0.25, 4.0), chart.axis_range([chart.Bar("c", 1.2, 1.5, True)]))

    @unittest.skipUnless(HAS_MATPLOTLIB, "matplotlib not installed")
    def test_svg_has_the_labels_and_is_the_same_every_time(self):
        first, second = (os.path.join(self.work.name, name) for name in ("1.svg", "2.svg"))
        self.assertEqual(2, chart.write_chart(first, self.linux[0], self.targets))
        chart.write_chart(second, self.linux[0], self.targets)
        texts = [t.text for t in ElementTree.parse(first).getroot().iter(
            "{http://www.w3.org/2000/svg}text")]
        self.assertIn("Kernel: mutex: wait + release, uncontended", texts)
        self.assertIn("3.00×", texts)
        with open(first, encoding="utf-8") as one, open(second, encoding="utf-8") as two:
            self.assertEqual(one.read(), two.read())


class MainTest(Inputs):
    def arguments(self, name):
        out = os.path.join(self.work.name, name)
        os.mkdir(out)
        return out, ["--results", self.paths["results"], "--windows-results",
                     self.paths["windows"], "--instructions", self.paths["instructions"],
                     "--markdown", os.path.join(out, "performance.md"),
                     "--chart", os.path.join(out, "chart.svg")]

    @unittest.skipUnless(HAS_MATPLOTLIB, "matplotlib not installed")
    def test_writes_the_page_and_links_the_chart_relatively(self):
        out, argv = self.arguments("full")
        with mock.patch("sys.stdout"):
            self.assertEqual(0, report.main(argv))
        with open(os.path.join(out, "performance.md"), encoding="utf-8") as stream:
            self.assertIn("![Davro against its baselines](chart.svg)", stream.read())
        self.assertTrue(os.path.exists(os.path.join(out, "chart.svg")))

    def test_without_matplotlib_writes_nothing(self):
        out, argv = self.arguments("none")
        with mock.patch.dict(sys.modules, {"matplotlib": None}), mock.patch("sys.stderr"):
            self.assertEqual(1, report.main(argv))
        self.assertEqual([], os.listdir(out))


if __name__ == "__main__":
    unittest.main()
