"""bench/line.py's machinery: percentiles, one short case of each way of
waiting on a real simulated line with what the slowest move met on it, and
the table with its targets. Nothing here is timed against a goal."""
import threading
import unittest

from tests.support import import_bench


def row(way, axes, command, completion, exchange_ms=5, meanwhile=None):
    median, p95, top = command
    return {"way": way, "axes": axes, "exchange_ms": exchange_ms,
            "command_ms": {"median": median, "p95": p95, "max": top},
            "completion_ms": {"median": completion[0], "max": completion[1]},
            "poll_share": 0.5, "seconds": 1.0,
            "worst_completion": {"ms": completion[1],
                                 "exchanges_meanwhile": meanwhile or {"polls": 3}}}


class LineBenchTest(unittest.TestCase):
    def setUp(self):
        self.line = import_bench("line")

    def test_percentiles_by_nearest_rank(self):
        samples = list(range(20, 0, -1))
        self.assertEqual([self.line.percentile(samples, f) for f in (0.5, 0.95, 1.0)],
                         [10, 19, 20])
        self.assertEqual(self.line.summary([4.0]),
                         {"median": 4.0, "p95": 4.0, "max": 4.0, "count": 1})

    def test_a_short_case_of_each_way(self):
        before = set(threading.enumerate())
        for way in self.line.WAYS:
            with self.subTest(way):
                out = self.line.run_case(way, 2, 0.001, seed=1, commands=3, completions=2)
                self.assertEqual(len(out["commands_ms"]), 3)
                self.assertGreaterEqual(len(out["completions_ms"]), 2)
                self.assertTrue(all(ms > 0 for ms in out["completions_ms"]))
                self.assertTrue(0 < out["poll_share"] <= out["line_share"] <= 1.5, out)
                worst = out["worst_completion"]
                self.assertEqual(worst["ms"], max(out["completions_ms"]))
                # At least the poll that saw the stop and the end reads.
                self.assertGreaterEqual(worst["exchanges_meanwhile"].get("end reads", 0), 1)
        for thread in set(threading.enumerate()) - before:
            thread.join(10)
        self.assertEqual(set(threading.enumerate()) - before, set())

    def test_table_marks_the_poller_beyond_its_targets(self):
        old, new = self.line.WAYS
        rows = [row(old, 4, (15.0, 30.0, 40.0), (30.0, 60.0)),
                # Limits at 4 axes and 5 ms: 13, 20, 35 and 65 ms.
                row(new, 4, (7.0, 21.0, 22.0), (30.0, 70.0),
                    meanwhile={"polls": 3, "end reads": 6, "starts": 4}),
                row(old, 32, (150.0, 300.0, 310.0), (140.0, 600.0)),
                row(new, 32, (7.0, 10.0, 11.0), (150.0, 900.0))]   # no target at 32
        text = self.line.table([{"python": "3.11.7", "measured": "2026-12-09 10:00",
                                 "load_at_start": [1.25, 1.0, 1.0], "commands": 40,
                                 "completions": 30, "repeats": 1, "rows": rows}])
        self.assertIn("CPython 3.11.7, measured 2026-12-09 10:00, load average 1.2", text)
        self.assertIn("| 5 | 4 | 15.0 (30.0, 40.0) | 7.0 (21.0*, 22.0) | 30.0 (60.0) | "
                      "30.0 (70.0*) | 50 % / 50 % |", text)
        self.assertIn("| 5 | 32 | 150.0 (300.0, 310.0) | 7.0 (10.0, 11.0) | 140.0 (600.0) | "
                      "150.0 (900.0) |", text)
        self.assertIn("command within 2 exchanges + 3 ms (median): met", text)
        self.assertIn("command within 3 exchanges + 5 ms (p95): **not met** (4 axes: "
                      "21.0 ms, limit 20)", text)
        self.assertIn("2N exchanges + 25 ms (max): **not met** (4 axes: 70.0 ms, limit 65 "
                      "(meanwhile 3 polls, 6 end reads, 4 starts))", text)


if __name__ == "__main__":
    unittest.main()
