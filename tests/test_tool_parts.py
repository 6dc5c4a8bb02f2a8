"""Parts of the qzr-kov tool in this process: what it shows, the checks it
makes before anything moves, and how failures of the line are told apart
from a move that ended early."""
import io
import os
import subprocess
import sys
import tempfile
import types
import unittest

from tests import support
from tests.support import Quiet, options, qzr_kov, station_on
from qzr_kov_sim import CommunicationError, ScaledClock, SimulatedLine

support.add_tool_to_path()

from qzr_kov_tool import commands, display, moving, plot  # noqa: E402
from qzr_kov_tool import failures as errors  # noqa: E402
from qzr_kov_tool.signals import StopSignals  # noqa: E402

StopSource = qzr_kov.StopSource


class DisplayTest(unittest.TestCase):
    def test_every_stop_source_has_words_and_its_code(self):
        texts = [display.stop_source_text(source) for source in StopSource]
        self.assertEqual(len(set(texts)), len(texts))
        self.assertEqual(display.stop_source_text(StopSource.PositiveLimit),
                         "positive limit switch [4]")
        self.assertTrue(texts[0].startswith("none"))
        self.assertEqual(display.stop_source_text("unknown code (9)"), "unknown code (9)")

    def test_emergency_input_is_normally_closed(self):
        self.assertIn("released", display.emergency_text(True))
        self.assertIn("ACTIVE", display.emergency_text(False))

    def test_appended_lines_are_thinned_out(self):
        out = io.StringIO()
        live = display.LiveText(out, live=False, quiet_period=3600)
        live.show("one")
        live.show("two")
        live.show(["three", "four"], force=True)
        live.done()
        self.assertEqual(out.getvalue(), "one\nthree\nfour\n")

    def test_live_lines_are_redrawn_in_place(self):
        out = io.StringIO()
        live = display.LiveText(out, live=True)
        live.show(["a", "b", "c"])
        live.show(["d", "e", "f"])
        live.done()
        self.assertEqual(out.getvalue(),
                         "a\033[K\nb\033[K\nc\033[K" "\033[2A\rd\033[K\ne\033[K\nf\033[K\n")


class WatchLinesTest(unittest.TestCase):
    def state(self, position, at, **flags):
        from qzr_kov_motion import AxisState
        fields = dict(position=position, velocity=0.0, running=False, homed=True, origin=False,
                      negative_limit=False, positive_limit=False, alarm=False, emergency=False,
                      time=at)
        fields.update(flags)
        return AxisState(**fields)

    def test_a_table_and_a_line_per_change_stale_values_marked(self):
        shown = display.StateLines(["x", "y"], stale_after=1.0)
        states = {"x": self.state(1.0, 10.0), "y": self.state(2.0, 10.0, homed=False,
                                                               positive_limit=True)}
        self.assertEqual(shown.table(states, 10.5), [
            "x             1.000 mm     0.000 mm/s  stopped",
            "y             2.000 mm     0.000 mm/s  stopped not-homed +limit"])
        self.assertEqual(len(shown.changes(states, 10.5)), 2)
        # Below the least step, and no flag changed: nothing to tell.
        states["x"] = self.state(1.0004, 10.6)
        self.assertEqual(shown.changes(states, 10.7), [])
        states["x"] = self.state(1.5, 10.8, running=True)
        (line,) = shown.changes(states, 10.9)
        self.assertTrue(line.endswith("x             1.500 mm     0.000 mm/s  running"), line)
        # y read 2 s before: stale, told once, in the table too.
        states["x"] = self.state(1.5, 11.8, running=True)
        (line,) = shown.changes(states, 12.0)
        self.assertTrue(line.endswith("+limit  (stale: read 2.0 s ago)"), line)
        self.assertEqual(shown.changes(states, 12.1), [])
        self.assertIn("(stale: read 2.1 s ago)", shown.table(states, 12.1)[1])


class PortNameTest(unittest.TestCase):
    def test_the_controller_s_creation_line_names_the_port(self):
        from qzr_kov_tool import connect
        log = support.LogReader()
        controller = qzr_kov.KOVAxisController(connect.open_master("line0", 57600),
                                               baudrate=57600)
        self.addCleanup(controller.close)
        self.assertIn("INFO - KOV Axis Controller created with port line0, baudrate 57600",
                      log.lines())
        self.assertFalse(controller.is_running(1))


class MachineSpeedTest(unittest.TestCase):
    def test_a_velocity_of_its_own_is_written_and_the_profile_back(self):
        axes = support.machine_on(self)
        (line,) = axes.lines
        line.clear_calls()
        with Quiet():
            moving.move(axes, options("--machine", axes.path, "move", "x", "load", "--velocity",
                                      "20"), StopSignals())
        # 20 mm/s at 200 pulses/mm, then the profile of the file (100 mm/s).
        self.assertEqual([c.args[2] for c in line.find_calls("set_multi_uint32", station=1)],
                         [[1000, 4000, 200], [1000, 20000, 200]])


class ProfileTest(unittest.TestCase):
    def profile(self, ppmm, *args):
        return moving.profile(qzr_kov, ppmm, options("move", "--relative", "1", *args), 20.0)

    def test_defaults(self):
        self.assertEqual(self.profile(100), (2.0, 20.0, 0.2))
        # The start velocity never exceeds a slow velocity.
        self.assertEqual(self.profile(100, "--velocity", "0.5"), (0.5, 0.5, 0.2))

    def test_pulse_rate_limit_applies_to_either_sign_of_scale(self):
        self.assertEqual(self.profile(100, "--velocity", "700")[1], 700.0)
        for ppmm in (100, -100):
            with self.assertRaises(errors.Refused) as caught:
                self.profile(ppmm, "--velocity", "700.01")
            self.assertIn("70000", str(caught.exception))
            self.assertEqual(caught.exception.code, errors.EXIT_USAGE)

    def test_the_pulse_rate_limit_is_the_module_s(self):
        module = types.SimpleNamespace(_MaxPulsePerSecond=1000)
        with self.assertRaises(errors.Refused) as caught:
            moving.profile(module, 100, options("move", "--relative", "1", "--velocity", "11"), 20)
        self.assertIn("at most 1000", str(caught.exception))


class HomingRefusalTest(unittest.TestCase):
    def test_limit_first_towards_a_disabled_limit_is_refused_before_anything_moves(self):
        line = SimulatedLine("tool-home", clock=ScaledClock(50))
        axes = station_on(self, line)
        controller = axes["station 1"].controller
        controller.disable_negative_limit(1)
        with Quiet(), self.assertRaises(errors.Refused) as caught:
            moving.home(axes, options("home"), StopSignals())
        self.assertIn("negative limit switch is disabled", str(caught.exception))
        self.assertFalse(controller.is_finding_o(1))
        self.assertFalse(any(what == "start" for _, what, _ in line.station(1).history))


class FailureTest(unittest.TestCase):
    def test_error_classes_and_exit_codes(self):
        for error, kind, code in (
                (CommunicationError("no answer"), errors.LinkError, errors.EXIT_NO_LINK),
                (TimeoutError("no answer"), errors.LinkError, errors.EXIT_NO_LINK),
                (AssertionError(), errors.Refused, errors.EXIT_USAGE),
                (RuntimeError("busy"), errors.Refused, errors.EXIT_USAGE),
                (KeyError("x"), errors.ToolError, errors.EXIT_FAILED)):
            converted = errors.from_controller(error, "moving")
            self.assertIs(type(converted), kind)
            self.assertEqual(converted.code, code)
            self.assertIn("moving", str(converted))

    def test_line_failure_during_a_move_is_not_taken_for_an_early_end(self):
        line = SimulatedLine("tool-move", clock=ScaledClock(50))
        axes = station_on(self, line)
        line.fail_on("get_coil", CommunicationError, times=None)
        with Quiet(), self.assertRaises(errors.LinkError) as caught:
            moving.move(axes, options("move", "--absolute", "50"), StopSignals())
        self.assertIn("communication failed while the move (CommunicationError",
                      str(caught.exception))
        line.clear_faults()
        # The stop went out; the read that was to see the axis at rest failed.
        self.assertIn(("set_coil", (1, "R0", True)), line.calls)

    def test_status_tells_an_unknown_stop_code(self):
        line = SimulatedLine("tool-status")
        axes = station_on(self, line)
        line.station(1).write_u32("D", 20, 9)
        line.station(1).press_emergency()
        status = commands.read_status(axes, "station 1")
        self.assertIn("9", status.stop_source)
        self.assertFalse(status.emergency_input)
        self.assertTrue(status.drive_enabled)
        axes["station 1"].controller.disable_axis(1)
        block = display.status_block(commands.read_status(axes, "station 1"))
        self.assertTrue(any(line.startswith("drive ") and "DISABLED" in line for line in block))


class MatplotlibAdviceTest(unittest.TestCase):
    """Where to get matplotlib from depends on where the tool runs: Debian's
    package does not reach a virtual environment unless it was made to."""

    def advice(self, prefix, base_prefix, config=None):
        if config is not None:
            with open(os.path.join(prefix, "pyvenv.cfg"), "w") as stream:
                stream.write("home = /usr/bin\n" + config + "version = 3.11.2\n")
        saved = sys.prefix, sys.base_prefix
        sys.prefix, sys.base_prefix = prefix, base_prefix
        try:
            return plot.how_to_get_matplotlib()
        finally:
            sys.prefix, sys.base_prefix = saved

    def test_advice_outside_and_inside_virtual_environments(self):
        text = self.advice("/usr", "/usr")
        self.assertIn("apt-get install python3-matplotlib", text)
        self.assertNotIn("virtual environment", text)
        for config, words, absent in (
                ("include-system-site-packages = false\n",
                 ("does not see the system's packages", "-m pip install matplotlib",
                  "--system-site-packages", "apt-get install python3-matplotlib"), "sees the"),
                ("", ("does not see the system's packages",), "sees the"),
                ("include-system-site-packages = true\n",
                 ("sees the system's packages", "/usr/bin/python3",
                  "apt-get install python3-matplotlib", "-m pip install matplotlib"),
                 "does not see")):
            venv = tempfile.mkdtemp(prefix="qzr_kov-venv-", dir=support.WORKDIR)
            text = self.advice(venv, "/usr", config)
            self.assertIn(venv, text)
            for word in words:
                self.assertIn(word, text)
            self.assertNotIn(absent, text)

    def test_the_tool_in_a_real_virtual_environment_says_how(self):
        venv = tempfile.mkdtemp(prefix="qzr_kov-venv-", dir=support.WORKDIR)
        made = subprocess.run([sys.executable, "-m", "venv", "--without-pip", venv],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True, timeout=120)
        if made.returncode != 0:
            self.skipTest("this interpreter cannot make a virtual environment: "
                          + made.stdout.strip().splitlines()[-1])
        # A matplotlib that cannot be imported, whatever the machine has.
        hidden = tempfile.mkdtemp(prefix="qzr_kov-hidden-", dir=support.WORKDIR)
        os.mkdir(os.path.join(hidden, "matplotlib"))
        with open(os.path.join(hidden, "matplotlib", "__init__.py"), "w") as stream:
            stream.write("raise ImportError('No module named matplotlib (hidden by the test)')\n")
        env = support.python_env()
        env["PYTHONPATH"] = os.pathsep.join([hidden, os.path.join(support.REPO, "cli")])
        result = subprocess.run(
            [os.path.join(venv, "bin", "python"), "-m", "qzr_kov_tool", "plot", "m.csv"],
            cwd=venv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            universal_newlines=True, timeout=120)
        self.assertEqual(result.returncode, errors.EXIT_NO_LINK, result.stderr)
        for word in ("needs matplotlib", "virtual environment (", os.path.basename(venv),
                     "--system-site-packages", "-m pip install matplotlib"):
            self.assertIn(word, result.stderr)


if __name__ == "__main__":
    unittest.main()
