"""Machines from a description: every refusal of a description (before any
line is opened), TOML and JSON reading alike, the settings applied, travel
limits and named positions, group moves, jogs, homing in order, closing;
and examples/machine.py run to its end. Simulated lines on a virtual clock."""
import copy
import json
import os
import re
import subprocess
import sys
import tempfile
import textwrap
import unittest
from unittest import mock

from tests import support
from tests.support import qzr_kov
from qzr_kov_sim import Call, CommunicationError, SimulatedLine
import qzr_kov_sim
from qzr_kov_motion import Axis, LimitError, Machine, MachineError, MotionError, wait_all
from qzr_kov_motion import description as machine_module
from qzr_kov_motion import machine as machine_py

Direction = qzr_kov.Direction
TOML = machine_module._toml_reader()
needs_toml = unittest.skipIf(TOML is None, "reading TOML needs Python 3.11+ or tomli")
EXAMPLES = os.path.join(support.REPO, "examples")


def gantry():
    """A valid description: x and y home together after z, on one line."""
    def axis(station, ppmm, travel, positions, direction, order):
        return {"station": station, "ppmm": ppmm,
                "profile": {"start_velocity": 5.0, "velocity": 100.0, "acceleration_time": 0.2},
                "travel": travel, "positions": positions,
                "homing": {"start_velocity": 5.0, "velocity": 40.0, "acceleration_time": 0.2,
                           "direction": direction, "order": order},
                "signals": {"negative_limit": True, "positive_limit": True}}
    return {"lines": {"main": {"port": "machine-test-port"}},
            "axes": {"x": axis(1, 200, [-5.0, 300.0], {"park": 0.0, "load": 120.0},
                               "negative", 2),
                     "y": axis(2, 200, [0.0, 200.0], {"load": 40.0}, "negative", 2),
                     "z": axis(3, 400, [-80.0, 0.0], {"up": 0.0, "work": -60.0},
                               "positive", 1)}}


# In pulses: origin sensors at 0, limit switches beyond the travel, the axes
# standing somewhere along it.
LAYOUTS = {
    1: dict(origin_at=0, negative_limit_at=-1600, positive_limit_at=61000,
            physical_position=10000),
    2: dict(origin_at=0, negative_limit_at=-1600, positive_limit_at=41000,
            physical_position=16000),
    3: dict(origin_at=0, negative_limit_at=-34000, positive_limit_at=1200,
            physical_position=-16000),
}

DROP = object()


def changed(data, path, value):
    """DATA with the key at PATH ("axes.x.profile.velocity") set to VALUE,
    or removed for DROP."""
    data = copy.deepcopy(data)
    *parents, key = path.split(".")
    table = data
    for name in parents:
        table = table[name]
    if value is DROP:
        del table[key]
    else:
        table[key] = value
    return data


# (key path, value or DROP, how the problem starts)
REFUSALS = [
    # unknown keys, with the likely one named
    ("axes.x.profile.velocty", 50.0,
     "axes.x.profile.velocty: unknown key (did you mean velocity?"),
    ("lines.main.baud", 9600, "lines.main.baud: unknown key (did you mean baudrate?"),
    ("axes.x.signals.alarms", True, "axes.x.signals.alarms: unknown key (did you mean alarm?"),
    ("machine", {}, "machine: unknown key"),
    # wrong types
    ("axes.x.station", "1", "axes.x.station: must be a whole number, not text"),
    ("axes.x.ppmm", True, "axes.x.ppmm: must be a number, not true/false"),
    ("axes.x.drive", "yes", "axes.x.drive: must be true or false, not text"),
    ("axes.x.signals.alarm", 1, "axes.x.signals.alarm: must be true or false, not a number"),
    ("lines.main.port", 5, "lines.main.port: must be text, not a number"),
    ("axes.x.travel", "0..300", "axes.x.travel: must be a list of two numbers"),
    ("axes.x.travel", [0.0], "axes.x.travel: must be a list of two numbers [low, high] in mm, "
                             "not 1 items"),
    ("axes.x.travel", [0.0, "300"], "axes.x.travel[1]: must be a number, not text"),
    ("axes.x.profile", 5.0, "axes.x.profile: must be a table, not a number"),
    # values out of range
    ("axes.x.station", 0, "axes.x.station: must be a whole number from 1 to 99, not 0"),
    ("lines.main.baudrate", 0, "lines.main.baudrate: must be a whole number of at least 1, "
                               "not 0"),
    ("axes.x.ppmm", 0, "axes.x.ppmm: must not be 0"),
    ("axes.x.ppmm", -200, "axes.x.ppmm: a negative scale makes every speed a negative pulse"),
    ("lines.main.homing_method", "fast",
     'lines.main.homing_method: must be "limit_first" or "origin_only", not \'fast\''),
    ("axes.x.homing.direction", "up",
     'axes.x.homing.direction: must be "negative" or "positive", not \'up\''),
    ("axes.x.profile.velocity", float("inf"),
     "axes.x.profile.velocity: must be a finite number, not inf"),
    # missing keys
    ("lines.main.port", DROP, "lines.main.port: missing"),
    ("axes.x.station", DROP, "axes.x.station: missing"),
    ("axes.x.ppmm", DROP, "axes.x.ppmm: missing"),
    ("axes.x.profile", DROP, "axes.x.profile: missing: every axis needs its speed profile, so "
                             "that no move runs on speeds left in the station from before"),
    ("axes.x.profile", {"velocity": 50.0}, "axes.x.profile.start_velocity: missing"),
    ("lines", DROP, "lines: missing"),
    ("axes", {}, "axes: no axis in it"),
    ("axes.x.homing.order", DROP, "axes.x.homing.order: missing: with several axes to home"),
    # lines and stations
    ("axes.y.station", 1, "axes.y.station: station 1 of line main is axis x's already"),
    ("axes.x.line", "aux", "axes.x.line: no line 'aux' in the description (its lines: main)"),
    ("lines.aux", {"port": "other"},
     "axes.x.line: missing: with several lines (main, aux) each axis names its line"),
    # travel and positions
    ("axes.x.travel", [30.0, -5.0], "axes.x.travel: the low end 30.0 is above the high end -5.0"),
    ("axes.x.travel", [5, 5], "axes.x.travel: the low end 5.0 is not below the high end 5.0"),
    ("axes.x.positions.load", 320.0,
     "axes.x.positions.load: 320.0 mm lies outside the travel [-5.0, 300.0] mm"),
    ("axes.x.positions.120", 1.0, "axes.x.positions.120: a position's name must not be empty "
                                  "or read as a number"),
    # speeds the controller would refuse
    ("axes.x.profile.start_velocity", 0.0, "axes.x.profile.start_velocity: must be above 0 "
                                           "mm/s, not 0.0"),
    ("axes.x.profile.velocity", 4.0,
     "axes.x.profile.velocity: 4.0 mm/s is below the start velocity 5.0 mm/s"),
    ("axes.x.profile.acceleration_time", -0.1,
     "axes.x.profile.acceleration_time: must not be negative, not -0.1"),
    ("axes.x.profile.velocity", 350.01,
     "axes.x.profile.velocity: 350.01 mm/s is 70002 pulses/s at 200 pulses/mm; the controller "
     "allows at most 70000 (350.0 mm/s)"),
    ("axes.z.homing.velocity", 175.5, "axes.z.homing.velocity: 175.5 mm/s is 70200 pulses/s"),
    ("axes.z.homing.velocity", 1e308, "axes.z.homing.velocity: 1e+308 mm/s is more pulses/s"),
    # homing the controller would refuse
    ("axes.x.signals.negative_limit", False,
     "axes.x.homing.direction: limit-first homing towards negative needs the negative limit "
     "switch, which signals.negative_limit = false disables"),
]


class DescriptionTest(unittest.TestCase):
    def refused(self, data, lines=None):
        """The problems of DATA; checks that no line was opened or used."""
        master = qzr_kov_sim.RecordingMaster("unused")
        log = support.LogReader()
        qzr_kov_sim.lines.pop("machine-test-port", None)
        with self.assertRaises(MachineError) as caught:
            Machine.from_dict(data, lines=lines or {"main": master})
        self.assertEqual((master.calls, log.lines()), ([], []))
        self.assertNotIn("machine-test-port", qzr_kov_sim.lines)
        error = caught.exception
        self.assertIsInstance(error, ValueError)
        self.assertEqual(str(error).splitlines(), error.problems)
        return error.problems

    def test_each_refusal_names_its_key_path(self):
        for path, value, problem in REFUSALS:
            with self.subTest(path=path, value=value):
                problems = self.refused(changed(gantry(), path, value))
                self.assertTrue(any(p.startswith(problem) for p in problems),
                                "%r not in %r" % (problem, problems))

    def test_every_problem_is_told_at_once(self):
        data = changed(gantry(), "axes.x.travel", [30.0, -5.0])
        data = changed(data, "axes.y.station", "two")
        data = changed(data, "axes.z.profile.velocty", 1.0)
        data = changed(data, "axes.z.profile.velocity", DROP)
        self.assertEqual([p.split(":")[0] for p in self.refused(data)],
                         ["axes.x.travel", "axes.y.station", "axes.z.profile.velocty",
                          "axes.z.profile.velocity"])
        self.assertEqual(self.refused([1, 2]),
                         ["the description: must be a table, not a list"])

    def test_lines_given_for_a_line_that_is_not_described(self):
        self.assertEqual(self.refused(gantry(), lines={"aux": object()}),
                         ["lines: the description has no line 'aux' (its lines: main)"])

    def test_edges_that_pass(self):
        accepted = [
            ("axes.x.profile.velocity", 350.0),        # exactly 70000 pulses/s
            ("axes.x.profile.start_velocity", 100.0),  # velocity equal to the start velocity
            ("axes.x.profile.acceleration_time", 0),
            ("axes.x.travel", [-5, 300]),               # whole numbers
            ("axes.x.positions.load", 300.0),           # on the travel's end
            ("axes.x.travel", DROP), ("axes.x.positions", DROP),
            ("axes.z.signals.negative_limit", False),  # z homes towards positive
        ]
        for path, value in accepted:
            with self.subTest(path=path, value=value):
                machine_module.check_description(changed(gantry(), path, value))
        lone = {"lines": {"l": {"port": "p", "homing_method": "origin_only"}},
                "axes": {"a": {"station": 7, "ppmm": 2.5, "signals": {"negative_limit": False},
                               "profile": {"start_velocity": 1, "velocity": 2,
                                           "acceleration_time": 0},
                               "homing": {"start_velocity": 1, "velocity": 2,
                                          "acceleration_time": 0}}}}
        a = machine_module.check_description(lone).axes["a"]
        self.assertEqual((a.line, a.homing.order, a.homing.direction, a.travel, a.positions),
                         ("l", 0, "negative", None, {}))

    def test_the_limit_is_the_modules(self):
        data = changed(gantry(), "axes.x.profile.velocity", 300.0)    # 60000 pulses/s
        machine_module.check_description(data)
        with mock.patch.object(qzr_kov, "_MaxPulsePerSecond", 50000):
            problems = self.refused(data)
        self.assertEqual(problems, ["axes.x.profile.velocity: 300.0 mm/s is 60000 pulses/s at "
                                    "200 pulses/mm; the controller allows at most 50000 "
                                    "(250.0 mm/s)"])


GANTRY_TOML = """\
[lines.main]
port = "machine-test-port"

[axes.x]
station = 1
ppmm = 200
profile = { start_velocity = 5.0, velocity = 100.0, acceleration_time = 0.2 }
travel = [-5.0, 300.0]
positions = { park = 0.0, load = 120.0 }
homing = { start_velocity = 5.0, velocity = 40.0, acceleration_time = 0.2, direction = "negative", order = 2 }
signals = { negative_limit = true, positive_limit = true }

[axes.y]
station = 2
ppmm = 200
profile = { start_velocity = 5.0, velocity = 100.0, acceleration_time = 0.2 }
travel = [0.0, 200.0]
positions = { load = 40.0 }
homing = { start_velocity = 5.0, velocity = 40.0, acceleration_time = 0.2, direction = "negative", order = 2 }
signals = { negative_limit = true, positive_limit = true }

[axes.z]
station = 3
ppmm = 400
profile.start_velocity = 5.0
profile.velocity = 100.0
profile.acceleration_time = 0.2
travel = [-80.0, 0.0]
positions = { up = 0.0, work = -60.0 }
homing = { start_velocity = 5.0, velocity = 40.0, acceleration_time = 0.2, direction = "positive", order = 1 }
signals = { negative_limit = true, positive_limit = true }
"""


class FileTest(unittest.TestCase):
    def write(self, name, text):
        folder = tempfile.mkdtemp(dir=support.WORKDIR)
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode("utf-8"))
        return path

    @needs_toml
    def test_toml_and_json_read_the_same(self):
        expected = machine_module.check_description(gantry())
        self.assertEqual(machine_module.load_description(self.write("m.toml", GANTRY_TOML)),
                         expected)
        self.assertEqual(machine_module.load_description(
            self.write("m.json", json.dumps(gantry(), indent=1))), expected)
        self.assertEqual(machine_module.load_description(os.path.join(EXAMPLES, "machine.toml")),
                         machine_module.load_description(os.path.join(EXAMPLES, "machine.json")))
        # The file's order is the machine's, whatever the stations.
        self.assertEqual(list(expected.axes), ["x", "y", "z"])

    def test_json_everywhere_and_the_files_problems(self):
        path = self.write("m.json", json.dumps(changed(gantry(), "axes.x.ppmm", "200")))
        with self.assertRaises(MachineError) as caught:
            Machine.from_file(path)
        self.assertEqual(caught.exception.problems,
                         ["axes.x.ppmm: must be a number, not text"])
        for name, text, problem in (
                ("m.json", '{"lines": ', ": not valid JSON: "),
                ("m.yaml", "lines: {}", ": a machine description is a .toml or a .json file"),
                ("m.json", b"\xff{}", ": not UTF-8 text")):
            with self.subTest(name=name, text=text):
                with self.assertRaises(MachineError) as caught:
                    machine_module.load_description(self.write(name, text))
                (line,) = caught.exception.problems
                self.assertRegex(line, "^/.*/%s%s" % (name, problem))
        with self.assertRaises(FileNotFoundError):
            machine_module.load_description(os.path.join(support.WORKDIR, "none.json"))

    def test_toml_without_a_reader_says_both_ways_out(self):
        path = self.write("m.toml", GANTRY_TOML)
        with mock.patch.object(machine_module, "_toml_reader", lambda: None), \
                self.assertRaises(MachineError) as caught:
            machine_module.load_description(path)
        (line,) = caught.exception.problems
        self.assertTrue(line.startswith(path + ": reading TOML needs Python 3.11"), line)
        self.assertIn("tomli", line)
        self.assertIn("JSON", line)

    @needs_toml
    def test_bad_toml_is_a_problem_of_the_file(self):
        path = self.write("m.toml", "[lines.main\nport = 1\n")
        with self.assertRaises(MachineError) as caught:
            machine_module.load_description(path)
        self.assertTrue(caught.exception.problems[0].startswith(path + ": not valid TOML: "))


class MachineCase(unittest.TestCase):
    def setUp(self):
        self.clock = support.virtual_clock(self)
        self.line = SimulatedLine("machine", clock=self.clock, stations=LAYOUTS)
        for number, layout in LAYOUTS.items():      # counting as if homed
            self.line.station(number).count = layout["physical_position"]
        self.log = support.LogReader()
        self.machine = self.make(gantry())
        self.x, self.y, self.z = (self.machine[name] for name in "xyz")
        self.line.clear_calls()
        self.log.mark()

    def make(self, data, homed=True):
        """The machine of DATA on the line; HOMED: its axes declared homed,
        as the stations count (LAYOUTS)."""
        machine = Machine.from_dict(data, lines={"main": self.line})
        self.addCleanup(self.close, machine)
        if homed:
            machine.assume_homed()
        return machine

    @staticmethod
    def close(machine):
        for controller in machine.controllers.values():
            for thread in list(controller._find_o_threads.values()):
                thread.join(10)
            controller.close(force=True)

    def logged(self, text):
        return [line for line in self.log.lines() if text in line]


class SettingsTest(MachineCase):
    def test_settings_go_through_the_controllers_methods_in_file_order(self):
        data = {"lines": {"main": {"port": "unused", "baudrate": 9600,
                                   "homing_method": "origin_only"}},
                "axes": {"b": {"station": 5, "ppmm": 100, "drive": False,
                               "profile": {"start_velocity": 1, "velocity": 20,
                                           "acceleration_time": 0.25},
                               "signals": {"reverse_direction": True, "alarm": False,
                                           "origin_rising": True, "positive_limit": True,
                                           "negative_limit": False, "emergency": True}},
                         "a": {"station": 4, "ppmm": 2.5, "drive": True,
                               "profile": {"start_velocity": 2, "velocity": 4,
                                           "acceleration_time": 0}}}}
        self.log.mark()
        machine = self.make(data)
        self.assertEqual(list(machine.axes), ["b", "a"])
        controller = machine.controllers["main"]
        self.assertIs(controller._KOVAxisController__mew, self.line)
        self.assertEqual((controller.baudrate, controller.finding_o_method),
                         (9600, qzr_kov.FindingOMethod.OriginOnly))
        self.assertEqual(self.line.calls, [
            Call("set_multi_uint32", (5, "DT0", [100, 2000, 250])),
            Call("set_coil", (5, "R10", True)), Call("set_coil", (5, "R12", True)),
            Call("set_coil", (5, "R13", False)), Call("set_coil", (5, "R14", True)),
            Call("set_coil", (5, "R15", False)), Call("set_coil", (5, "R16", True)),
            Call("set_coil", (5, "Y2", False)),
            Call("set_multi_uint32", (4, "DT0", [5, 10, 0])), Call("set_coil", (4, "Y2", True))])
        self.assertEqual(self.log.lines()[1:4], [
            "INFO - Set finding o method to 1", "INFO - Set PPMM to 100 for station 5",
            "INFO - Set (start velocity, velocity, acceleration time) to (1.0, 20.0, 0.25)"])
        self.assertIn("INFO - Set PPMM to 2.5 for station 4", self.log.lines())

    def test_names_and_axes_by_hand(self):
        self.assertEqual(list(self.machine.axes), ["x", "y", "z"])
        self.assertIs(self.machine["x"], self.machine.axes["x"])
        self.assertEqual((self.x.name, self.x.station, self.x.travel, self.x.positions),
                         ("x", 1, (-5.0, 300.0), {"park": 0.0, "load": 120.0}))
        with self.assertRaises(KeyError) as caught:
            self.machine["w"]
        self.assertIn("no axis 'w' (the axes are x, y, z)", str(caught.exception))
        plain = Axis(self.x.controller, 1)
        self.assertEqual((plain.name, plain.travel, plain.positions), (None, None, {}))
        self.assertEqual(plain.move_to(12.5).wait(10), 12.5)   # no travel: nothing refused
        for travel, positions in (([1.0, 1.0], {}), ([0, 10], {"far": 11})):
            with self.subTest(travel=travel), self.assertRaises(ValueError):
                Axis(self.x.controller, 1, "x", travel, positions)

    def test_an_encoder_goes_to_its_axis(self):
        made = []

        def axis(*args, **kwargs):
            made.append(Axis(*args, **kwargs).encoder)
            return Axis(*args, **kwargs)
        data = changed(gantry(), "axes.y.encoder", {"ppmm": 1000, "tolerance": 0.05})
        with mock.patch.object(machine_py, "Axis", axis):
            self.make(data)
        self.assertEqual(made, [None, (1000.0, 0.05), None])

    def test_a_failure_while_applying_closes_what_was_opened(self):
        self.line.fail_on("set_coil", CommunicationError("down"), station=2)
        with self.assertRaises(CommunicationError):
            Machine.from_dict(gantry(), lines={"main": self.line})
        self.assertTrue(self.line.closed)


class LimitTest(MachineCase):
    def test_targets_outside_the_travel_are_refused_before_any_call(self):
        refusals = [
            (lambda: self.x.move_to(300.5), "axis x: the target 300.5 mm lies outside its "
                                            "travel [-5.0, 300.0] mm", 300.5),
            # One pulse below the travel (-0.001 mm is 0 pulses: tests/test_motion_truth.py).
            (lambda: self.y.move_to(-0.005), "axis y: the target -0.005 mm lies", -0.005),
            (lambda: self.machine.move_to({"x": "load", "y": 250.0, "z": "work"}),
             "axis y: the target 250.0 mm lies outside its travel [0.0, 200.0] mm", 250.0),
        ]
        for start, text, target in refusals:
            with self.subTest(text):
                with self.assertRaises(LimitError) as caught:
                    start()
                error = caught.exception
                self.assertTrue(str(error).startswith(text), str(error))
                self.assertEqual((error.axis, error.target, error.travel),
                                 (text.split()[1].rstrip(":"), target,
                                  self.machine[text.split()[1].rstrip(":")].travel))
                self.assertEqual(self.line.calls, [])
        for start, text in ((lambda: self.x.move_to("lod"), "axis x has no position 'lod' "
                             "(its positions: park, load)"),
                            (lambda: self.machine.move_to({"x": "load", "w": 1.0}),
                             "no axis 'w' (the axes are x, y, z)"),
                            (lambda: self.machine.move_to({"x": 1.0, "z": "park"}),
                             "axis z has no position 'park' (its positions: up, work)")):
            with self.subTest(text), self.assertRaises(KeyError) as caught:
                start()
            self.assertIn(text, str(caught.exception))
            self.assertEqual(self.line.calls, [])

    def test_move_by_checks_from_the_position_read_once(self):
        self.x.move_to(250.0).wait(10)
        self.line.clear_calls()
        with self.assertRaises(LimitError) as caught:
            self.x.move_by(60.0)
        self.assertEqual(str(caught.exception), "axis x: a move by 60.0 mm from 250.0 mm would "
                                                "end at 310.0 mm, outside its travel "
                                                "[-5.0, 300.0] mm")
        self.assertEqual(self.line.calls, [Call("get_int32", (1, "DT10"))])
        self.assertEqual(self.x.move_by(50.0).wait(10), 300.0)

    def test_a_group_moves_together_to_numbers_and_names(self):
        motions = self.machine.move_to({"z": "work", "x": "load", "y": 40})
        self.assertEqual(list(motions), ["z", "x", "y"])
        self.assertEqual(wait_all(motions.values(), 30), [-60.0, 120.0, 40.0])
        starts = [call for call in self.line.calls if call.args[1] in ("R1", "DT6")]
        self.assertEqual([c.args[0] for c in starts], [3, 3, 1, 1, 2, 2])

    def test_a_failed_start_stops_the_moves_already_started_and_its_own_axis(self):
        # Refused by the station, or gone out with its answer lost: y runs.
        for applied in (False, True):
            with self.subTest(applied=applied):
                self.log.mark()
                self.line.clear_calls()
                self.line.fail_on("set_coil", CommunicationError("down"), station=2, name="R1",
                                  applied=applied)
                with self.assertRaises(CommunicationError):
                    self.machine.move_to({"x": "load", "y": 40.0})
                self.assertEqual(self.logged("Stop station"),
                                 ["INFO - Stop station 1", "INFO - Stop station 2"])
                self.assertFalse(self.x.running)
                coils = [(c.args[0], c.args[1]) for c in self.line.calls
                         if c.op == "set_coil" and c.args[2]]
                self.assertEqual(coils, [(1, "R1"), (2, "R1"), (1, "R0"), (2, "R0")])

    def test_jog_ends_at_the_soft_limit(self):
        self.assertEqual(self.x.jog(Direction.Positive).wait(30), 300.0)
        self.assertEqual(self.x.jog(Direction.Positive).wait(30), 300.0)   # at it: no move
        self.assertEqual(self.z.jog(Direction.Negative).wait(30), -80.0)
        # Stopped on the way, it ends where the stop left it.
        jog = self.x.jog(Direction.Negative)
        self.assertTrue(jog.cancel())
        self.assertTrue(-5.0 < self.x.position <= 300.0)
        # Past the end (moved by hand, or not homed): the move would go back.
        station = self.line.station(1)
        station.physical_position = station.count = 60600      # 303 mm
        with self.assertRaises(LimitError) as caught:
            self.x.jog(Direction.Positive)
        self.assertIn("stands at 303.0 mm, past the high end of its travel", str(caught.exception))
        self.assertEqual(self.x.jog(Direction.Negative).wait(30), -5.0)
        with self.assertRaises(ValueError):
            Axis(self.x.controller, 1).jog(Direction.Positive)


class HomingTest(MachineCase):
    def test_groups_in_order_each_at_once_ending_at_zero(self):
        self.assertEqual(self.machine.homing_groups(), [["z"], ["x", "y"]])
        # Homing leaves its own speeds in the station: the profile comes back.
        self.machine.home(timeout=60)
        self.assertEqual([a.position for a in (self.x, self.y, self.z)], [0.0, 0.0, 0.0])
        lines = self.log.lines()

        def at(text):
            return lines.index("INFO - " + text)
        self.assertLess(at("Wait for finding O done. Station 3, source 2"),
                        at("Start finding o, station 1"))
        # x and y together: both started before either was collected.
        self.assertLess(max(at("Start finding o, station 1"), at("Start finding o, station 2")),
                        min(at("Wait for finding O done. Station 1, source 2"),
                            at("Wait for finding O done. Station 2, source 2")))
        self.assertEqual(lines[-1], "INFO - Set (start velocity, velocity, acceleration time) "
                                    "to (5.0, 100.0, 0.2)")
        self.assertEqual(self.line.station(1).read_u32("DT", 2), 20000)
        # One axis on its own, by name; one without homing settings.
        self.machine.home(axes=["y"])
        self.assertEqual(len(self.logged("Start finding o, station 2")), 2)
        plain = self.make(changed(gantry(), "axes.x.homing", DROP))
        self.assertEqual(plain.homing_groups(), [["z"], ["y"]])
        with self.assertRaises(ValueError):
            plain.home(axes=["x"])

    def test_a_failure_stops_its_group_and_no_later_group_starts(self):
        machine = self.make(changed(gantry(), "axes.x.homing.order", 1))  # x and z, then y
        self.line.station(3).origin_at = None           # z cannot find its origin
        self.line.station(1).physical_position = 60000  # x has a long way to go
        self.log.mark()
        with self.assertRaises(MotionError) as caught:
            machine.home(timeout=60)
        self.assertEqual(caught.exception.station, 3)
        self.assertIn("Stop station 1", "\n".join(self.log.lines()))
        self.assertEqual(self.logged("Start finding o, station 2"), [])
        self.assertEqual([machine.controllers["main"].is_finding_o(s) for s in (1, 2, 3)],
                         [False, False, False])
        self.assertFalse(machine["x"].running)

    def test_a_time_limit_is_a_number_above_0_or_none(self):
        for timeout in (float("inf"), float("nan"), -1, 0, True, "5", 10 ** 400, 1e300):
            with self.subTest(timeout=timeout), self.assertRaises(ValueError) as caught:
                self.machine.home(timeout=timeout)
            self.assertIn("the time limit of homing is None or a number of seconds above 0",
                          str(caught.exception))
        self.assertEqual((self.line.calls, self.log.lines()), ([], []))

    def test_a_time_limit_stops_the_group(self):
        self.line.station(3).drive_enabled = False      # z pulses on and never gets anywhere
        with self.assertRaises(TimeoutError) as caught:
            self.machine.home(timeout=0.2)
        self.assertIn("homing did not end within 0.2 s: z stopped", str(caught.exception))
        self.assertFalse(self.z.running)
        self.assertFalse(self.z.controller.is_finding_o(3))
        self.assertEqual(self.logged("Start finding o, station 1"), [])


class ClosingTest(MachineCase):
    def test_close_and_the_context(self):
        with self.make(gantry()) as machine:
            pass
        self.assertTrue(self.line.closed)
        self.line.reopen()
        with self.assertRaises(KeyboardInterrupt):
            with self.make(gantry()) as machine:
                machine["x"].move_to(200.0)
                raise KeyboardInterrupt
        self.assertTrue(self.line.closed)
        self.assertIn("INFO - Stop station 1", self.log.lines())


class ExampleTest(unittest.TestCase):
    def test_the_example_runs_on_the_simulated_line(self):
        result = subprocess.run(
            [sys.executable, os.path.join(EXAMPLES, "machine.py")],
            cwd=tempfile.mkdtemp(dir=support.WORKDIR), env=support.python_env(),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
            timeout=300)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertEqual(result.stdout, textwrap.dedent("""\
            axes: x, y, z
            homing, in groups: z then x+y
              homed: x 0.00, y 0.00, z 0.00
            moving x to load, y to 40 mm, z to work
              ended at 120.00, 40.00, -60.00
            moving x to unload and y to 250 mm
              refused, nothing moved: axis y: the target 250.0 mm lies outside its travel [0.0, 200.0] mm
              still at: x 120.00, y 40.00, z -60.00
            jogging z up
              z stopped at its soft limit, 0.00 mm
            parking x and y
              parked: x 0.00, y 0.00, z 0.00
            """))

    def test_the_user_guide_lists_every_key(self):
        with open(os.path.join(support.REPO, "README.md"), encoding="utf-8") as f:
            keys = re.findall(r"^\| `(lines|axes)\.NAME\.(\w+)` \|", f.read(), re.M)
        self.assertEqual(keys, [("lines", key.name) for key in machine_module.LINE_KEYS]
                         + [("axes", key.name) for key in machine_module.AXIS_KEYS])

    def test_the_user_guide_shows_the_example_file(self):
        with open(os.path.join(support.REPO, "README.md"), encoding="utf-8") as f:
            guide = f.read()
        with open(os.path.join(EXAMPLES, "machine.toml"), encoding="utf-8") as f:
            self.assertIn("```toml\n" + f.read() + "```\n", guide)


if __name__ == "__main__":
    unittest.main()
