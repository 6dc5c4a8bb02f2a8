"""qzr_kov_sim.machine_lines: the simulated lines of a machine description,
their stations placed so that travel and homing work whatever the method,
direction, travel and sign of the scale; from a file, a dict or a checked
description; and without qzr_kov_motion for a description made by hand."""
import json
import os
import tempfile
import textwrap
import unittest

from tests import support
import qzr_kov_sim
from qzr_kov_sim import machine as sim_machine
from qzr_kov_motion import Machine, MachineError, check_description, load_description

EXAMPLE_JSON = os.path.join(support.REPO, "examples", "machine.json")


PROFILE = {"start_velocity": 2.0, "velocity": 150.0, "acceleration_time": 0.1}


def one_axis(method, axis):
    line = {"port": "p", "homing_method": method} if method else {"port": "p"}
    axis = dict(axis, profile=PROFILE)
    return check_description({"lines": {"l": line}, "axes": {"a": axis}})


class PlacementTest(unittest.TestCase):
    def test_homing_then_both_ends_of_the_travel(self):
        cases = [("limit_first", "negative", [-5.0, 300.0], 200),
                 ("limit_first", "positive", [-80.0, 0.0], 400),
                 ("origin_only", "negative", [-50.0, -10.0], 100),
                 ("origin_only", "positive", [10.0, 60.0], 100),
                 ("origin_only", "positive", None, 100),
                 ("limit_first", "negative", None, 2.5)]
        clock = support.virtual_clock(self)
        for method, direction, travel, ppmm in cases:
            with self.subTest(method=method, direction=direction, travel=travel):
                axis = {"station": 4, "ppmm": ppmm,
                        "homing": {"start_velocity": 2.0, "velocity": 20.0,
                                   "acceleration_time": 0.1, "direction": direction}}
                if travel:
                    axis["travel"] = travel
                description = one_axis(method, axis)
                lines = qzr_kov_sim.machine_lines(description, clock)
                with Machine(description, lines=lines) as machine:
                    a = machine["a"]
                    if travel and method == "limit_first":
                        # Counting as if homed, inside the travel. (A search
                        # one way only may need to start outside it.)
                        self.assertTrue(travel[0] < a.position < travel[1])
                    machine.home(timeout=60)
                    self.assertEqual(a.position, 0.0)
                    for end in travel or (-4.0, 298.0):
                        self.assertEqual(a.move_to(end).wait(60), end)

    def test_without_travel_the_tools_usual_axis(self):
        description = one_axis(None, {"station": 1, "ppmm": 100})
        # A negative scale, which a description refuses, by hand.
        layout = sim_machine.station_layout(description.axes["a"]._replace(ppmm=-100))
        self.assertEqual(layout, dict(origin_at=0, origin_width=1, negative_limit_at=-30000,
                                      positive_limit_at=500, physical_position=-4000))
        # The tool's one simulated station stands and ends where this one does.
        support.add_tool_to_path()
        from qzr_kov_tool import connect
        self.assertEqual((connect.SIM_LAYOUT_MM["negative_limit_at"],
                          connect.SIM_LAYOUT_MM["positive_limit_at"], connect.SIM_START_MM),
                         sim_machine.NO_TRAVEL_MM + (sim_machine.NO_TRAVEL_START_MM,))

    def test_switches_beyond_the_travel_on_both_sides_of_the_origin(self):
        for travel, ends in (([10.0, 60.0], (-1.0, 61.0)),          # at least 1 mm
                             ([-500.0, -100.0], (-508.0, 8.0)),     # 2 % of 400 mm
                             ([0.0, 100.0], (-2.0, 102.0))):
            with self.subTest(travel=travel):
                description = one_axis("limit_first", {"station": 1, "ppmm": 10,
                                                        "travel": travel})
                layout = sim_machine.station_layout(description.axes["a"], "limit_first")
                self.assertEqual((layout["negative_limit_at"], layout["positive_limit_at"]),
                                 tuple(int(end * 10) for end in ends))
                self.assertEqual(layout["physical_position"], int(sum(travel) / 2 * 10))


class SourcesTest(unittest.TestCase):
    def layouts(self, lines):
        return dict((name, dict((number, (station.origin_at, station.negative_limit_at,
                                          station.positive_limit_at, station.physical_position,
                                          station.count))
                                for number, station in line.stations.items()))
                    for name, line in lines.items())

    def test_a_file_a_dict_and_a_description_give_the_same_lines(self):
        with open(EXAMPLE_JSON, encoding="utf-8") as f:
            data = json.load(f)
        # Two lines, to see them apart: z on a line of its own.
        data["lines"]["up"] = {"port": "sim-up"}
        data["axes"]["z"]["line"] = "up"
        for axis in ("x", "y"):
            data["axes"][axis]["line"] = "main"
        path = os.path.join(tempfile.mkdtemp(dir=support.WORKDIR), "two-lines.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(data, f)
        clock = qzr_kov_sim.VirtualClock()
        made = [qzr_kov_sim.machine_lines(source, clock=clock, exchange_time=0.002)
                for source in (path, data, load_description(path))]
        for lines in made:
            self.assertEqual(list(lines), ["main", "up"])
            self.assertEqual([line.port for line in lines.values()], ["/dev/ttyUSB0", "sim-up"])
            self.assertTrue(all(line.clock is clock and line.exchange_time == 0.002
                                for line in lines.values()))
        self.assertIs(qzr_kov_sim.lines["sim-up"], made[-1]["up"])
        self.assertEqual(self.layouts(made[0]), self.layouts(made[1]))
        self.assertEqual(self.layouts(made[0]), self.layouts(made[2]))
        # x: travel -5 to 300 mm at 200 pulses/mm, switches 6.1 mm beyond,
        # standing in the middle and counting so; z on its line.
        self.assertEqual(self.layouts(made[0]),
                         {"main": {1: (0, -2220, 61220, 29500, 29500),
                                   2: (0, -800, 40800, 20000, 20000)},
                          "up": {3: (0, -32640, 640, -16000, -16000)}})
        # One real clock for all the lines by default.
        lines = qzr_kov_sim.machine_lines(data)
        first, second = lines.values()
        self.assertIsInstance(first.clock, qzr_kov_sim.RealClock)
        self.assertIs(first.clock, second.clock)

    def test_a_description_with_problems_opens_no_line(self):
        data = {"lines": {"l": {"port": "never-opened"}},
                "axes": {"a": {"station": 1, "ppmm": 0}}}
        with self.assertRaises(MachineError):
            qzr_kov_sim.machine_lines(data)
        self.assertNotIn("never-opened", qzr_kov_sim.lines)

    def test_a_description_made_by_hand_without_qzr_kov_motion(self):
        # Read by attribute only: fields beyond those it reads do no harm.
        result = support.run_python(textwrap.dedent("""
            import collections, sys
            sys.modules["qzr_kov_motion"] = None         # cannot be imported
            import qzr_kov_sim
            Line = collections.namedtuple("Line", "name port homing_method extra")
            Axis = collections.namedtuple("Axis", "name extra line station ppmm travel homing")
            Description = collections.namedtuple("Description", "lines axes")
            made = Description({"l": Line("l", "hand-made", None, 1)},
                               {"a": Axis("a", 2, "l", 7, 10.0, (0.0, 50.0), None)})
            station = qzr_kov_sim.machine_lines(made)["l"].station(7)
            print(station.negative_limit_at, station.positive_limit_at, station.count)
            try:
                qzr_kov_sim.machine_lines("machine.json")
            except ImportError:
                print("ImportError")
        """))
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertEqual(result.stdout.split(), ["-10", "510", "250", "ImportError"])


if __name__ == "__main__":
    unittest.main()
