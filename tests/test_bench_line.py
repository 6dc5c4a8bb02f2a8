"""bench/line.py's machinery: percentiles, one short case of each way of
waiting on a real simulated line with what the slowest move met on it,
short watched cases (churn, steady, idle), and the tables with their
targets. Nothing here is timed against a goal."""
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

    def test_short_watched_cases(self):
        before = set(threading.enumerate())
        churn = self.line.run_case("poller", 2, self.line.CARRIED, seed=1, commands=3,
                                   completions=2, watch=1)
        steady = self.line.run_steady(2, 0.001, 4, 0.3)
        idle = self.line.run_idle(0.001, axes=2, seconds=1.7)
        for out in (churn, steady):
            self.assertTrue(out["states_ms"] and all(ms > 0 for ms in out["states_ms"]), out)
            self.assertTrue(0 < out["poll_share"] <= 1.5, out)
        self.assertEqual(idle["axes"], 2)
        self.assertGreaterEqual(idle["shortest_gap_s"], 1.0)
        self.assertLessEqual(idle["most_per_axis_per_s"], 2 / 1.7)
        for thread in set(threading.enumerate()) - before:
            thread.join(10)
        self.assertEqual(set(threading.enumerate()) - before, set())

    def test_watch_table_marks_states_and_commands_beyond_their_targets(self):
        def watched(kind, mode, axes, every, state=None, command=(7.0, 9.0, 9.5)):
            out = {"kind": kind, "mode": mode, "axes": axes, "state_every": every,
                   "poll_share": 0.75, "seconds": 1.0}
            if kind == "churn":
                out["command_ms"] = dict(zip(("median", "p95", "max"), command))
                out["completion_ms"] = {"median": 20.0, "p95": 30.0, "max": 40.0}
            if state:
                out["state_ms"] = dict(zip(("median", "p95", "max"), state))
            return out
        # Limits at 4 axes: 34 ms; carried, with a status read of 12 ms, 62 ms.
        rows = [watched("churn", "plain", 4, None), watched("churn", "plain", 4, 1, (25, 30, 40)),
                watched("steady", "plain", 4, 1, (24, 27, 30)),
                watched("churn", "carried", 4, 1, (52, 60, 61), (14.0, 21.0, 22.0)),
                watched("steady", "carried", 4, 1, (52, 55, 58)),
                {"kind": "idle", "mode": "plain", "axes": 16, "state_every": 1, "seconds": 5.0,
                 "most_per_axis_per_s": 1.0, "fewest_per_axis_per_s": 0.8,
                 "shortest_gap_s": 1.004}]
        text = self.line.watch_table([{"python": "3.6.15", "measured": "2026-12-10 10:00",
                                       "load_at_start": [0.5, 0, 0], "repeats": 2,
                                       "watch_rows": rows}])
        self.assertIn("| 5 ms | 4 | status every 1 | 7.0 (9.0, 9.5) | 20.0 (30.0, 40.0) | "
                      "25.0 (30.0, 40.0*) | 24.0 (27.0, 30.0) | 75 % / 75 % |", text)
        self.assertIn("| carried | 4 | status every 1 | 14.0 (21.0*, 22.0) |", text)
        self.assertIn("| 5 ms | 4 | none | 7.0 (9.0, 9.5) | 20.0 (30.0, 40.0) | – | – | "
                      "75 % / – |", text)
        self.assertIn("at most 1.00 exchanges per axis and second (at least 0.80), never two "
                      "of one axis within 1.004 s", text)
        self.assertIn("- plain, status every 1: each moving axis's state within N (5 ms + gap) "
                      "+ 10 ms (max): **not met** (churn 4 axes: 40.0 ms, limit 34)", text)
        self.assertIn("- carried, status every 1: each moving axis's state within N (12 ms "
                      "status read + gap) + 10 ms (max): met", text)
        self.assertIn("- carried, status every 1: commands within 2 exchanges + 3 ms "
                      "(median): **not met** (4 axes: 14.0 ms)", text)

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
