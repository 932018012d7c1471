"""bench/instructions.py's reading of callgrind's dumps and its arithmetic, on made-up dumps."""

import os
import tempfile
import unittest

import instructions
from perf import judge


def write_dump(directory, index, label, factor, total):
    with open(os.path.join(directory, "callgrind.out.%d" % index), "w",
              encoding="utf-8") as stream:
        stream.write("desc: Trigger: Client Request: %s@%d\nevents: Ir Bc\n"
                     "summary: %d 7\n\nfn=x\n0 %d 7\ntotals: %d 7\n"
                     % (label, factor, total, total, total))


class InstructionsTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.addCleanup(self.work.cleanup)
        made_up = {instructions.EMPTY: (3021, 6021),
                   "win32/MutexWaitRelease": (60021, 120021),
                   "std/RecursiveMutexLockUnlock": (40021, 80021)}
        index = 0
        for label, pair in made_up.items():
            for factor, total in enumerate(pair, 1):
                index += 1
                write_dump(self.work.name, index, label, factor, total)
        # A second dump of one loop, with another thread's work in it: the smaller counts.
        write_dump(self.work.name, index + 1, "win32/MutexWaitRelease", 1, 60500)

    def test_counts_per_operation_less_the_empty_loop(self):
        per_op = instructions.per_operation(instructions.read_dumps(self.work.name), 1000)
        self.assertEqual(3, per_op[instructions.EMPTY])
        self.assertEqual(57, per_op["win32/MutexWaitRelease"])
        self.assertEqual(37, per_op["std/RecursiveMutexLockUnlock"])
        self.assertNotIn("posix/SemWaitPost", per_op)

    def test_other_events_are_read_from_their_column(self):
        counts = instructions.read_dumps(self.work.name, "Bc")
        self.assertEqual({1: 7, 2: 7}, counts["win32/MutexWaitRelease"])

    def test_targets_judged_against_the_table(self):
        per_op = instructions.per_operation(instructions.read_dumps(self.work.name), 1000)
        targets = {t["what"]: t for t in judge.evaluate_counts(per_op)}
        first = targets["kernel mutex wait + release vs std::recursive_mutex"]
        self.assertAlmostEqual(57 / 37, first["ratio"])
        self.assertFalse(first["met"])
        unmeasured = targets["semaphore wait + release vs sem_wait + sem_post"]
        self.assertEqual((None, None), (unmeasured["ratio"], unmeasured["met"]))

    def test_no_empty_loop_is_an_error(self):
        with self.assertRaises(RuntimeError):
            instructions.per_operation({}, 1000)


if __name__ == "__main__":
    unittest.main()
