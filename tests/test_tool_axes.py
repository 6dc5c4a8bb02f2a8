"""What the tool's commands say the axes did, checked against the line, in
this process on simulated lines: a stop that sees every axis at rest or
says which it could not, moves and jogs the station did not take, drives
read back."""
import concurrent.futures
import unittest

from tests import support
from tests.support import Quiet, description_file, machine_on, options, station_on
from qzr_kov_sim import SimulatedLine

support.add_tool_to_path()

from qzr_kov_tool import commands, moving  # noqa: E402
from qzr_kov_tool.failures import ToolError  # noqa: E402
from qzr_kov_tool.signals import StopSignals  # noqa: E402

#: answers enough for any wait of these tests: a running output stuck on
STUCK = (True,) * 5000


def free(data):
    """The example without travels: moves go as far as the counter counts."""
    for name in ("x", "y"):
        del data["axes"][name]["travel"]
        del data["axes"][name]["positions"]


def run(command, axes, *args):
    """COMMAND of the tool on AXES with the options ARGS; what it printed."""
    with Quiet() as out:
        command(axes, options(*args), StopSignals())
    return out.getvalue()


class StopTest(unittest.TestCase):
    def test_a_stop_sees_every_axis_at_rest(self):
        path = description_file(free)
        axes = machine_on(self, path)
        # Moves that would take hours: only the stop ends them.
        motions = [axes[name].move_by(side * 1e6) for name, side in (("x", 1), ("y", -1))]
        out = run(moving.stop, axes, "--machine", path, "stop")
        lines = out.splitlines()
        self.assertEqual([line.split()[:2] for line in lines],
                         [["x", "stopped"], ["y", "stopped"], ["z", "stopped"]])
        for line in lines[:2]:
            self.assertIn("(stop source: stop command [1])", line)
        self.assertIn("z stopped at -40.000 mm (stop source: none", lines[2])
        # The moves end as the poller sees the stations stop, which may be a
        # poll after the stop has seen them at rest.
        done, _ = concurrent.futures.wait(motions, support.TIMEOUT)
        self.assertEqual(len(done), 2)
        (line,) = axes.lines
        self.assertFalse(any(station.moving for station in line.stations.values()))

    def test_an_axis_not_seen_at_rest_is_told(self):
        axes = machine_on(self)
        (line,) = axes.lines
        line.script("get_coil", *STUCK, station=1, name="Y1")
        self.addCleanup(line.clear_scripts)
        with Quiet() as out, self.assertRaises(ToolError) as caught:
            moving.stop(axes, options("--machine", axes.path, "stop", "--timeout", "0.2"),
                        StopSignals())
        self.assertEqual(caught.exception.code, 1)
        self.assertEqual(str(caught.exception), "could not see x at rest: it still runs 0.2 s "
                                                "after the stop command")
        self.assertEqual(out.getvalue(), "")
        # One station says it of its axis.
        line = SimulatedLine("tool-stuck")
        station = station_on(self, line)
        line.script("get_coil", *STUCK, station=1, name="Y1")
        self.addCleanup(line.clear_scripts)
        with Quiet(), self.assertRaises(ToolError) as caught:
            moving.stop(station, options("stop", "--timeout", "0.2"), StopSignals())
        self.assertEqual(str(caught.exception), "the axis still runs 0.2 s after the stop "
                                                "command")


class TruthTest(unittest.TestCase):
    def test_a_move_or_jog_the_station_did_not_take_fails_naming_the_axis(self):
        axes = machine_on(self)
        (line,) = axes.lines
        line.station(1).write_u32("DT", 2, 0)    # no velocity: the station refuses to start
        for args, what in ((["move", "x", "load"], "the move"), (["jog", "x", "+"], "the jog")):
            with self.subTest(args=args):
                with Quiet() as out, self.assertRaises(ToolError) as caught:
                    getattr(moving, args[0])(axes, options("--machine", axes.path, *args),
                                             StopSignals())
                message = str(caught.exception)
                self.assertEqual(caught.exception.code, 1)
                self.assertTrue(message.startswith("x: %s did not take the axis to its target: "
                                                   "station 1: the move ended at 147.500 mm"
                                                   % what), message)
                self.assertNotIn("done:", out.getvalue())
                self.assertNotIn("end of its travel:", out.getvalue())
        self.assertEqual([what for _, what, _ in line.station(1).history],
                         ["refused", "refused"])

    def test_a_run_the_station_did_not_take_fails_naming_the_axis(self):
        axes = machine_on(self, description_file(free))
        (line,) = axes.lines
        # Its profile's velocity: nothing is written, and the station, whose
        # velocity was cleared, refuses the run without a stop source.
        line.station(2).write_u32("DT", 2, 0)
        with Quiet() as out, self.assertRaises(ToolError) as caught:
            moving.jog(axes, options("--machine", axes.path, "jog", "y", "-", "--velocity",
                                     "100"), StopSignals())
        self.assertEqual((caught.exception.code, str(caught.exception)), (
            1, "y: the jog was not taken: station 2: the run ended at 40.000 mm with no stop "
               "(the station reported no stop source)"))
        self.assertNotIn("by a stop command", out.getvalue())
        self.assertEqual([what for _, what, _ in line.station(2).history], ["refused"])

    def test_a_move_an_input_keeps_from_starting_says_why(self):
        axes = machine_on(self)
        (line,) = axes.lines
        line.station(2).press_emergency()
        with Quiet(), self.assertRaises(ToolError) as caught:
            moving.move(axes, options("--machine", axes.path, "move", "y", "load"), StopSignals())
        self.assertEqual(str(caught.exception), "y: the move ended early: stopped by the "
                                                "emergency-stop input [6] at 100.000 mm")


class DriveTest(unittest.TestCase):
    def test_the_drive_is_read_back(self):
        axes = machine_on(self)
        (line,) = axes.lines
        out = run(commands.disable, axes, "--machine", axes.path, "disable", "y", "x")
        self.assertEqual(out.splitlines(), [
            "y: drive disabled: the axis is free and can be moved by hand",
            "x: drive disabled: the axis is free and can be moved by hand"])
        self.assertEqual([axes[name].controller.get_coil(axes[name].station, "Y2")
                          for name in ("x", "y", "z")], [False, False, True])
        # A drive whose output does not follow is told, the others not.
        line.script("get_coil", True, station=3, name="Y2")
        with Quiet() as out, self.assertRaises(ToolError) as caught:
            commands.disable(axes, options("--machine", axes.path, "disable"), StopSignals())
        self.assertEqual(str(caught.exception), "the drive of z did not follow: its enable "
                                                "output Y2 is still on after the disable command")
        self.assertNotIn("z:", out.getvalue())


if __name__ == "__main__":
    unittest.main()
