"""The qzr-kov command line, run as a separate program on the simulated line:
each subcommand's output and exit code, signals during motion, one-line
errors, help texts."""
import os
import signal
import subprocess
import tempfile
import unittest

from tests import support
from tests.support import FAST, ToolCase, run_tool

class StatusAndSettingsTest(ToolCase):
    def test_status_of_a_fresh_simulated_axis(self):
        result = run_tool("status")
        self.assert_ok(result)
        out = result.stdout
        self.assertIn("simulated line", out)
        self.assertRegex(out, r"position +0\.000 mm")
        self.assertRegex(out, r"running +no")
        self.assertRegex(out, r"drive +enabled \(Y2 on")
        self.assertRegex(out, r"emergency +released")
        self.assertRegex(out, r"stop source +none")
        for switch in ("negative limit switch", "positive limit switch", "alarm input",
                       "emergency input"):
            self.assertRegex(out, switch + " +enabled")

    def test_status_of_another_station_with_another_scale(self):
        # Options may follow the subcommand; the axis starts on its origin sensor.
        result = run_tool("status", "--station", "3", "--ppmm", "250", "--sim-start", "0")
        self.assert_ok(result)
        self.assertIn("station 3, 250 pulses/mm", result.stdout)
        self.assertRegex(result.stdout, r"origin input +on")

    def test_config_sets_and_shows(self):
        result = run_tool("config", "--negative-limit", "disable", "--alarm", "disable",
                          "--origin-edge", "rising", "--reverse-direction", "yes")
        self.assert_ok(result)
        out = result.stdout
        self.assertRegex(out, r"negative limit switch +disabled")
        self.assertRegex(out, r"positive limit switch +enabled")
        self.assertRegex(out, r"alarm input +disabled")
        self.assertRegex(out, r"emergency input +enabled")
        self.assertRegex(out, r"origin edge +rising")
        self.assertRegex(out, r"direction output +inverted")

    def test_config_without_changes_cannot_tell_edge_and_direction(self):
        result = run_tool("config")
        self.assert_ok(result)
        self.assertRegex(result.stdout, r"origin edge +unknown")
        self.assertRegex(result.stdout, r"direction output +unknown")

    def test_drive_power_and_stop(self):
        for name, text in (("enable", "drive enabled"), ("disable", "drive disabled"),
                           ("stop", "axis stopped at 0.000 mm")):
            result = run_tool(name)
            self.assert_ok(result)
            self.assertIn(text, result.stdout)


class MotionTest(ToolCase):
    def test_home_limit_first_finds_the_origin(self):
        result = run_tool("home", *FAST)
        self.assert_ok(result)
        self.assertIn("method limit-first, direction negative", result.stdout)
        self.assertIn("result: True", result.stdout)
        self.assertIn("position: 0.000 mm", result.stdout)

    def test_home_origin_only_from_the_far_side(self):
        result = run_tool("home", "--method", "origin-only", "--direction", "negative",
                          "--velocity", "30", "--sim-start", "120", *FAST)
        self.assert_ok(result)
        self.assertIn("result: True", result.stdout)

    def test_home_that_misses_the_origin_fails(self):
        # The origin sensor lies behind the axis: the search ends on the limit.
        result = run_tool("home", "--method", "origin-only", "--direction", "positive", *FAST)
        self.assertIn("result: False", result.stdout)
        self.assertIn("position: 260.000 mm", result.stdout)
        self.assert_one_line_error(result, 1, "origin not found", "positive limit")

    def test_moves_absolute_and_relative(self):
        result = run_tool("move", "--absolute", "12.5", *FAST)
        self.assert_ok(result)
        self.assertIn("done: position 12.500 mm", result.stdout)
        # A fresh simulated line is never homed: absolute positions are told so.
        self.assertIn("not homed", result.stdout)
        result = run_tool("move", "--relative", "-7.25", "--velocity", "5", *FAST)
        self.assert_ok(result)
        self.assertIn("done: position -7.250 mm", result.stdout)
        self.assertNotIn("not homed", result.stdout)

    def test_repeat_is_refused_as_it_could_not_be_checked(self):
        # The module's last distance cannot be read back: the tool could not
        # tell whether such a move arrived.
        result = run_tool("move", "--repeat")
        self.assertEqual((result.returncode, result.stdout), (2, ""))
        self.assertIn("error: argument --repeat: the module's last relative distance cannot be "
                      "read back", result.stderr)

    def test_move_onto_a_limit_switch_fails_with_the_reason(self):
        result = run_tool("move", "--absolute", "400", "--velocity", "100", *FAST)
        self.assert_one_line_error(result, 1, "ended early", "positive limit switch",
                                   "260.000 mm", "homed")

    def test_runs_that_outlast_their_timeout_are_stopped(self):
        for args, words in ((["move", "--absolute", "100"], ("did not end within 0.3 s",)),
                            (["home"], ("homing timed out after 0.3 s",))):
            result = run_tool(*(args + ["--velocity", "1", "--timeout", "0.3"]))
            self.assertIn("axis stopped at", result.stdout)
            self.assert_one_line_error(result, 1, "stopped", *words)
        self.assertIn("result: None", result.stdout)


class SignalTest(ToolCase):
    def test_jog_ends_with_enter(self):
        tool = self.interactive("jog", "--velocity", "1")
        tool.read_until("press Enter")
        tool.type("\n")
        code, out, err = tool.finish()
        self.assertEqual((code, err), (0, ""), out)
        self.assertIn("stopping the axis (Enter)", out)
        self.assertIn("axis stopped at", out)

    def check_jog_stopped_by(self, signum, name):
        tool = self.interactive("jog", "--direction", "negative", "--velocity", "1")
        tool.read_until("press Enter")
        tool.read_until("running")
        tool.process.send_signal(signum)
        code, out, err = tool.finish()
        self.assertEqual(code, 128 + signum, out + err)
        self.assertIn("stopping the axis (%s)" % name, out)
        self.assertRegex(out, r"axis stopped at -?\d+\.\d{3} mm")
        self.assertNotIn("Traceback", err)

    def test_jog_ends_with_ctrl_c(self):
        self.check_jog_stopped_by(signal.SIGINT, "SIGINT")

    def test_jog_ends_with_sigterm(self):
        self.check_jog_stopped_by(signal.SIGTERM, "SIGTERM")

    def test_jog_ends_when_its_output_goes_away(self):
        tool = self.interactive("jog", "--velocity", "1")
        tool.read_until("press Enter")
        tool.process.stdout.close()
        code, out, err = tool.finish()
        self.assertEqual((code, err), (1, ""))

    def test_jog_into_a_limit_ends_by_itself(self):
        result = run_tool("jog", "--velocity", "100", *FAST)
        self.assert_one_line_error(result, 1, "ended by itself", "positive limit switch")

    def test_ctrl_c_stops_moves_and_homing(self):
        for args, result_line in ((["move", "--absolute", "200"], "done:"),
                                  (["home"], "result:")):
            tool = self.interactive(*(args + ["--velocity", "1"]))
            tool.read_until("running")
            tool.process.send_signal(signal.SIGINT)
            code, out, err = tool.finish()
            self.assertEqual((code, err), (130, ""), out)
            self.assertIn("stopping the axis (SIGINT)", out)
            self.assertIn("axis stopped at", out)
            self.assertNotIn(result_line, out)

    def test_watch_ends_on_signals(self):
        for signum, name in ((signal.SIGINT, "SIGINT"), (signal.SIGTERM, "SIGTERM")):
            tool = self.interactive("status", "--watch", "--interval", "0.1")
            tool.read_until("emergency input")
            tool.process.send_signal(signum)
            code, out, err = tool.finish()
            self.assertEqual((code, err), (0, ""), out)
            self.assertIn("watch ended (%s)" % name, out)


class ErrorTest(ToolCase):
    def test_port_without_master_module(self):
        # The missing master module is told first, before a missing --ppmm.
        for scale in (["--ppmm", "100"], []):
            result = run_tool(*(["--port", "/dev/ttyS0"] + scale + ["move", "--absolute", "1"]))
            self.assert_one_line_error(result, 3, "qzr_mew is not installed")

    def test_missing_master_module_comes_before_bad_values(self):
        # Only the argument parser's own complaints come before it.
        for args in (["move", "--absolute", "1", "--velocity", "-5"],
                     ["--ppmm", "1000", "jog", "--velocity", "80"],
                     ["move", "--absolute", "1e300", "--plot", "/no/such/folder/m.png"]):
            result = run_tool(*(["--port", "/dev/ttyS0"] + args))
            self.assert_one_line_error(result, 3, "qzr_mew is not installed")
        result = run_tool("--port", "/dev/ttyS0", "--station", "0", "status")
        self.assertEqual(result.returncode, 2)
        self.assertIn("error: argument --station", result.stderr)

    def test_bad_values_are_refused_before_the_line_is_opened(self):
        # A master module whose every port fails to open: a refusal that
        # came after opening would be told as a port that would not open.
        folder = tempfile.mkdtemp(prefix="qzr_kov-master-", dir=support.WORKDIR)
        with open(os.path.join(folder, "qzr_mew.py"), "w") as stream:
            stream.write("def MewMaster(port, baudrate=115200):\n"
                         "    raise OSError('the port was opened')\n")
        for args, words in (
                (["move", "--absolute", "1", "--velocity", "-5"], ("--velocity",)),
                (["home", "--start-velocity", "5", "--velocity", "1"], ("below the start",)),
                (["--ppmm", "1000", "jog", "--velocity", "80"], ("70000",)),
                (["move", "--relative", "1", "--acceleration-time", "-1"], ("negative",)),
                (["move", "--absolute", "1e300"], ("2147483647 pulses",)),
                (["move", "--relative", "1", "--plot", "/no/such/folder/m.png"],
                 ("no folder /no/such/folder",))):
            for line in (["--port", "line0", "--ppmm", "100"], []):
                result = run_tool(*(line + args), first=[folder])
                self.assert_one_line_error(result, 2, *words)
                self.assertNotIn("opened", result.stderr)
                # Not even the simulated line was made.
                self.assertEqual(result.stdout, "")
        result = run_tool("--port", "line0", "--ppmm", "100", "status", first=[folder])
        self.assert_one_line_error(result, 3, "cannot open port line0", "the port was opened")

    def test_a_master_module_that_fails_to_import_is_told_on_the_simulated_line_too(self):
        folder = tempfile.mkdtemp(prefix="qzr_kov-master-", dir=support.WORKDIR)
        with open(os.path.join(folder, "qzr_mew.py"), "w") as stream:
            stream.write("import serial_port_library_that_is_missing\n")
        result = run_tool("status", first=[folder])
        self.assert_one_line_error(result, 3, "qzr_mew is installed but cannot be imported",
                                   "serial_port_library_that_is_missing")

    def test_port_needs_a_scale_for_lengths(self):
        for name in ("move", "record"):
            args = ["--absolute", "1"] if name == "move" else ["x.csv"]
            result = run_tool(*(["--port", "line0", name] + args), stand_in=True)
            self.assert_one_line_error(result, 2, "--ppmm", "'%s'" % name)

    def test_port_through_the_master_module(self):
        # The stand-in master module answers with a simulated line of its own.
        result = run_tool("--port", "line0", "--ppmm", "100", "status", stand_in=True)
        self.assert_ok(result)
        self.assertNotIn("simulated line", result.stdout)
        self.assertRegex(result.stdout, r"running +no")
        result = run_tool("--port", "line0", "enable", stand_in=True)
        self.assert_ok(result)

    def test_refused_speed_profiles(self):
        for args, words in (
                (["--ppmm", "1000", "move", "--absolute", "1", "--velocity", "80"],
                 ("80000 pulses/s", "70000")),
                (["home", "--start-velocity", "5", "--velocity", "1"], ("below the start",)),
                (["jog", "--start-velocity", "0"], ("--start-velocity must be above 0",)),
                (["move", "--absolute", "10", "--velocity", "-5"],
                 ("--velocity must be above 0",)),
                (["move", "--relative", "1", "--acceleration-time", "-1"], ("negative",)),
                (["move", "--absolute", "1e300"], ("2147483647 pulses",)),
                (["--ppmm", "1000", "move", "--relative", "-3000000"], ("--relative", "pulses"))):
            result = run_tool(*args)
            self.assert_one_line_error(result, 2, *words)
            self.assertNotIn("moving", result.stdout)
            if "--start-velocity" not in args:
                # No word of an option that was not given.
                self.assertNotIn("start", result.stderr)

    def test_bad_arguments(self):
        for args in (["move"], ["move", "--absolute", "1", "--relative", "2"],
                     ["--ppmm", "0", "status"], ["home", "--method", "sideways"], ["fly"]):
            result = run_tool(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertNotIn("Traceback", result.stderr)

    def test_bad_numbers_are_refused_at_parsing_with_the_option_named(self):
        for args, words in (
                (["move", "--absolute", "1e999"], ("--absolute", "not a finite number")),
                (["move", "--absolute", "nan"], ("--absolute", "not a finite number")),
                (["jog", "--velocity", "inf"], ("--velocity", "not a finite number")),
                (["--ppmm", "nan", "status"], ("--ppmm", "not a finite number")),
                (["home", "--timeout", "nan"], ("--timeout", "not a finite number")),
                (["--station", "x", "status"], ("--station", "1 to 99")),
                (["--station", "0", "status"], ("--station", "1 to 99")),
                (["status", "--station", "999"], ("--station", "1 to 99")),
                (["status", "--sim-start", "400"], ("positive limit switch at 300 mm",)),
                (["status", "--sim-start", "-5.5"], ("negative limit switch at -5 mm",))):
            result = run_tool(*args)
            self.assertEqual(result.returncode, 2, (args, result.stdout + result.stderr))
            # Nothing was printed or opened before the refusal.
            self.assertEqual(result.stdout, "", args)
            last = result.stderr.splitlines()[-1]
            for word in ("error: argument",) + words:
                self.assertIn(word, last)
            self.assertNotIn("_station", last)
        # On a switch is a place to stand.
        result = run_tool("status", "--sim-start", "300")
        self.assert_ok(result)
        self.assertRegex(result.stdout, r"positive limit +on")

class HelpTest(ToolCase):
    def test_every_subcommand_has_help(self):
        result = run_tool("--help")
        self.assert_ok(result)
        self.assertIn("simulated line", result.stdout)
        self.assertIn("exit codes", result.stdout)
        for name, text in (("status", "--watch"), ("home", "--method"), ("move", "--absolute"),
                           ("jog", "Enter"), ("stop", "at rest"), ("enable", "torque"),
                           ("disable", "by hand"), ("config", "--origin-edge"),
                           ("record", "without moving it")):
            self.assertIn(name, result.stdout)
            sub = run_tool(name, "--help")
            self.assert_ok(sub)
            self.assertIn("usage: qzr-kov " + name, sub.stdout)
            self.assertIn(text, " ".join(sub.stdout.split()))
            self.assertIn("--station", sub.stdout)
        sub = run_tool("plot", "--help")
        self.assert_ok(sub)
        self.assertIn("python3-matplotlib", " ".join(sub.stdout.split()))

    def test_help_and_usage_errors_need_neither_the_module_nor_the_library(self):
        env = dict(support.tool_env(), PYTHONPATH=support.CLI)
        for args, code in ((["--help"], 0), (["move", "--help"], 0), (["move", "--bogus"], 2),
                           (["--machine", "m.json", "move", "x"], 2), (["jog", "x"], 2)):
            result = subprocess.run(support.command(args), env=env, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, universal_newlines=True,
                                    stdin=subprocess.DEVNULL, timeout=support.TIMEOUT)
            self.assertEqual(result.returncode, code, (args, result.stderr))
            self.assertNotIn("Traceback", result.stderr)
            self.assertNotIn("qzr_kov", result.stderr)


if __name__ == "__main__":
    unittest.main()
