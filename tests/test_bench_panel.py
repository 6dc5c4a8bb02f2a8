"""bench/panel.py's machinery: one short round of each measurement on a
real simulated line and the panel, and the table with its verdicts.
Nothing here is timed against a goal."""
import unittest

from tests import support


def span(value):
    return {"median": value, "p95": value, "max": value, "n": 4}


class PanelBenchTest(unittest.TestCase):
    def setUp(self):
        support.add_tool_to_path()
        self.bench = support.import_bench("panel")

    def test_a_short_round_of_each(self):
        data = self.bench.measure(rounds=1, exchange_ms=1.0, commands=3, stop_axes=(2,),
                                  quiet=True)
        (stop,) = data["stops"]
        self.assertEqual((stop["axes"], stop["panel_ms"]["n"], stop["loop_ms"]["n"]), (2, 1, 1))
        self.assertGreater(stop["panel_ms"]["max"], 0.0)
        self.assertGreaterEqual(stop["limit_ms"], 2 * 1.0 + 20.0)
        self.assertEqual((data["commands_ms"]["open"]["n"], data["commands_ms"]["closed"]["n"]),
                         (3, 3))
        self.assertGreater(data["state_delay_ms"]["n"], 0)

    def test_table_and_verdicts(self):
        data = {"python": "3.11.7", "measured": "2026-12-10 10:00", "load_at_start": [0.5],
                "exchange_ms": 5.0, "rounds": 6,
                "stops": [{"axes": 3, "panel_ms": {"median": 30.0, "p95": 40.0, "max": 60.0},
                           "loop_ms": span(31.0), "gap_ms": 5.3, "limit_ms": 51.0}],
                "state_delay_ms": span(150.0), "state_interval_ms": span(20.0),
                "commands_ms": {"open": span(8.0), "closed": span(7.5)}}
        text = self.bench.table([data])
        self.assertIn("| 3 axes | 30.0 (p95 40.0, max 60.0) | 31.0 (p95 31.0, max 31.0) | 5.3 "
                      "| 51.0 |", text)
        self.assertIn("= 51.0 ms: median met, every round **not met** (60.0 ms at most)", text)
        self.assertIn("within 100 ms of its read: **not met**", text)
        self.assertIn("while the axes move: met (at most 20.0 ms apart)", text)
        self.assertIn("median by +0.50 ms: met", text)


if __name__ == "__main__":
    unittest.main()
