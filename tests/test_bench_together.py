"""bench/together.py's machinery: the distance from a line, one short round
of a move both ways on a real simulated line, and the table with its
verdicts. Nothing here is timed against a goal."""
import unittest

from tests.support import import_bench


def row(case, way, spread, stray, fastest=100.0):
    def span(value):
        return {"median": value, "min": value, "max": value}
    return {"case": case, "axes": 2, "way": way, "spread_ms": span(spread),
            "stray_mm": span(stray), "fastest_mm_s": fastest, "spread_limit_ms": 15.0,
            "stray_limit_mm": fastest * 0.01, "samples": 10}


class TogetherBenchTest(unittest.TestCase):
    def setUp(self):
        self.bench = import_bench("together")

    def test_distance_from_the_line(self):
        self.assertAlmostEqual(self.bench.distance_from_line([1.0, 1.0], [0.0, 0.0],
                                                             [2.0, 0.0]), 1.0)
        self.assertAlmostEqual(self.bench.distance_from_line([3.0, 4.0, 5.0], [0, 0, 0],
                                                             [6, 8, 10]), 0.0)

    def test_a_short_round_both_ways(self):
        case = ("x+y", {"x": 12.0, "y": 21.0}, None)
        rows = self.bench.measure(rounds=1, exchange_ms=1.0, cases=[case], quiet=True)
        self.assertEqual([(r["case"], r["way"]) for r in rows],
                         [("x+y", "together"), ("x+y", "apart")])
        for r in rows:
            self.assertGreaterEqual(r["spread_ms"]["min"], 0.0)
            self.assertGreater(r["samples"], 0)
            self.assertEqual((r["spread_limit_ms"], r["fastest_mm_s"] > 0), (7.0, True))

    def test_table_and_verdicts(self):
        rows = [row("x+y", "together", 5.5, 0.2), row("x+y", "apart", 900.0, 40.0),
                row("x+y+z", "together", 16.0, 1.2), row("x+y+z", "apart", 800.0, 30.0)]
        text = self.bench.table([{"python": "3.11.7", "measured": "2026-12-10 10:00",
                                  "load_at_start": [0.5], "exchange_ms": 5.0, "rounds": 8,
                                  "rows": rows}])
        self.assertIn("| x+y | 2 | 5.5 (5.5–5.5) | 900.0 (900.0–900.0) | 15 | 0.200 "
                      "(0.200–0.200) | 40.00 (40.00–40.00) | 1.00 (100 mm/s) |", text)
        self.assertIn("arrival spread within 2 exchanges + 5 ms, in every round: **not met** "
                      "(x+y+z: 16.00, limit 15.00)", text)
        self.assertIn("(one exchange + 5 ms), in every round: **not met** (x+y+z: 1.20, "
                      "limit 1.00)", text)


if __name__ == "__main__":
    unittest.main()
