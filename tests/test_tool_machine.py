"""qzr-kov on a machine description, run as a separate program: check, and
status, home, move and jog by axis name on simulated lines; every failure
one line with its exit code."""
import csv
import os
import signal
import subprocess
import tempfile
import unittest

from tests import support
from tests.support import (EXAMPLE_JSON, EXAMPLE_TOML, FAST, TIMEOUT, ToolCase, command,
                           description_file, run_tool, scratch, tool_env)
from qzr_kov_motion import description as machine_module

support.add_tool_to_path()

from qzr_kov_tool import record  # noqa: E402


def on_machine(*args, **kwargs):
    path = kwargs.pop("path", EXAMPLE_JSON)
    return run_tool("--machine", path, "--simulate", *(FAST + list(args)), **kwargs)


class CheckTest(ToolCase):
    def test_a_summary_per_axis_or_each_problem(self):
        result = run_tool("check", EXAMPLE_JSON)
        self.assert_ok(result)
        lines = result.stdout.splitlines()
        self.assertEqual([line.split(":")[0] for line in lines], ["x", "y", "z"])
        self.assertIn("station 1 on line main (/dev/ttyUSB0), 200 pulses/mm", lines[0])
        self.assertIn("travel -5 to 300 mm, positions park 0, load 120, unload 280", lines[0])
        self.assertIn("homes in group 1 towards positive", lines[2])

        def spoil(data):
            data["axes"]["x"]["travel"] = [30.0, -5.0]
            data["axes"]["y"]["profile"]["velocty"] = data["axes"]["y"]["profile"].pop("velocity")
        path = description_file(spoil)
        result = run_tool("check", path)
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stdout, "")
        self.assertEqual(result.stderr.splitlines(), [
            "qzr-kov: %s: axes.x.travel: the low end 30.0 is above the high end -5.0" % path,
            "qzr-kov: %s: axes.y.profile.velocty: unknown key (did you mean velocity? the keys "
            "here are start_velocity, velocity, acceleration_time)" % path,
            "qzr-kov: %s: axes.y.profile.velocity: missing" % path])
        # The same problems stop a machine command before anything is opened.
        result = on_machine("status", path=path)
        self.assertEqual((result.returncode, len(result.stderr.splitlines())), (2, 3))

    def test_files_that_cannot_be_read(self):
        missing = os.path.join(support.WORKDIR, "no-such-machine.json")
        self.assert_one_line_error(run_tool("check", missing), 2, "cannot read", missing)
        result = run_tool("check", EXAMPLE_TOML)
        if machine_module._toml_reader() is None:
            self.assert_one_line_error(result, 2, "reading TOML needs Python 3.11", "tomli",
                                       "JSON")
        else:
            self.assert_ok(result)
            self.assertEqual(result.stdout, run_tool("check", EXAMPLE_JSON).stdout)

    def test_what_the_line_would_refuse_and_hostile_files_are_lines_naming_file_and_key(self):
        def spoil(data):
            data["axes"]["x"]["profile"]["acceleration_time"] = 1e7
            data["axes"]["y"]["station"] = 100
            del data["axes"]["z"]["profile"]
        path = description_file(spoil)
        for args in (("check", path), ("--machine", path, "--simulate", "status")):
            with self.subTest(args=args):
                result = run_tool(*args)
                self.assertEqual((result.returncode, result.stdout), (2, ""))
                self.assertEqual([line.split(": ")[1:3] for line in result.stderr.splitlines()],
                                 [[path, "axes.x.profile.acceleration_time"],
                                  [path, "axes.y.station"], [path, "axes.z.profile"]])
        folder = tempfile.mkdtemp(dir=support.WORKDIR)
        fifo, deep = os.path.join(folder, "fifo.json"), os.path.join(folder, "deep.json")
        os.mkfifo(fifo)
        with open(deep, "w") as f:
            f.write("[" * 100000 + "]" * 100000)
        for path, words in ((fifo, "a FIFO, not a regular file"),
                            (deep, "nested more than 32 levels deep")):
            for args in (("check", path), ("--machine", path, "--simulate", "status")):
                with self.subTest(args=args):
                    self.assert_one_line_error(run_tool(*args), 2, "qzr-kov: %s: %s"
                                               % (path, words))

    def test_names_print_under_any_locale(self):
        def names(data):
            data["axes"]["x\u00e9"] = data["axes"].pop("x")
            data["axes"]["y"]["positions"]["d\u00e9part"] = 1.0
        good = description_file(names)
        # A lone surrogate from the file's name and one from a JSON escape.
        bad = os.path.join(os.path.dirname(good), os.fsdecode(b"m\xff.json"))
        with open(good, encoding="utf-8") as f:
            text = f.read().replace('"load"', '"lo\\ud800ad"', 1)
        with open(bad, "w", encoding="utf-8") as f:
            f.write(text)
        env = tool_env()
        env.pop("PYTHONIOENCODING", None)
        env.update(LANG="C", LC_ALL="C")
        results = [subprocess.run(command(["check", path]), env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=TIMEOUT)
                   for path in (good, bad)]
        self.assertEqual([(r.returncode, r.stderr) for r in results][0], (0, b""))
        out = results[0].stdout.decode("utf-8")
        self.assertRegex(out, r"(?m)^x(\\xe9|\u00e9): station 1 ")
        self.assertRegex(out, r"positions park 0, load 40, d(\\xe9|\u00e9)part 1")
        self.assertEqual(results[1].returncode, 2)
        self.assertEqual(results[1].stderr.decode("ascii").splitlines(), [
            "qzr-kov: %s: axes.y.positions.'lo\\ud800ad': a position's name must be printable "
            "text, without control characters" % bad.replace("\udcff", "\\udcff")])

    def test_a_real_line_needs_the_master_module(self):
        self.assert_one_line_error(run_tool("--machine", EXAMPLE_JSON, "status"), 3,
                                   "qzr_mew is not installed", "--simulate")
        # Without --machine, 'move' is the one-station command.
        result = run_tool("move", "x", "1")
        self.assertEqual((result.returncode, result.stdout), (2, ""))
        self.assertIn("error: argument AXIS: axes go by name with --machine FILE",
                      result.stderr)


class CommandsTest(ToolCase):
    def test_status_of_every_axis(self):
        result = on_machine("status")
        self.assert_ok(result)
        rows = [line.split() for line in result.stdout.splitlines() if line[:1] in "xyz"]
        # Placed inside the travel, counting as if homed.
        self.assertEqual([row[:3] for row in rows], [["x", "147.500", "mm"],
                                                     ["y", "100.000", "mm"],
                                                     ["z", "-40.000", "mm"]])

    def test_moves_by_name_and_by_number_and_refusals(self):
        for target, shown in (("load", "moving x to 120.000 mm (load)"),
                              ("-2.5", "moving x to -2.500 mm")):
            with self.subTest(target=target):
                result = on_machine("move", "x", target)
                self.assert_ok(result)
                self.assertIn(shown, result.stdout)
                self.assertIn("done: x at %s mm" % shown.split()[3], result.stdout)
        for args, words in ((("move", "x", "400"), ("axis x: the target 400.0 mm lies outside "
                                                     "its travel [-5.0, 300.0] mm",)),
                            (("move", "x", "lod"), ("no position 'lod'", "park, load, unload")),
                            (("move", "w", "1"), ("no axis 'w'", "x, y, z")),
                            (("home", "w"), ("no axis 'w'",))):
            with self.subTest(args=args):
                result = on_machine(*args)
                self.assert_one_line_error(result, 2, *words)
                self.assertNotIn("moving", result.stdout)

    def test_home_by_order_and_one_axis(self):
        result = on_machine("home")
        self.assert_ok(result)
        out = result.stdout
        self.assertLess(out.index("homing z"), out.index("homed: z at 0.000 mm"))
        self.assertLess(out.index("homed: z at 0.000 mm"), out.index("homing x, y"))
        self.assertIn("homed: x at 0.000 mm, y at 0.000 mm", out)
        result = on_machine("home", "y")
        self.assert_ok(result)
        self.assertNotIn("homing z", result.stdout)
        self.assertIn("homed: y at 0.000 mm", result.stdout)

    def test_homing_that_does_not_end_in_time(self):
        def freeze(data):
            data["axes"]["z"]["drive"] = False     # pulses go out, the axis stays put
        result = on_machine("home", "--timeout", "1", path=description_file(freeze))
        self.assert_one_line_error(result, 1, "homing did not end within 1 s; z stopped")
        self.assertNotIn("homing x", result.stdout)

    def test_jog_to_the_soft_limit_and_without_travel(self):
        result = on_machine("jog", "x", "+")
        self.assert_ok(result)
        self.assertIn("x stopped at the end of its travel: 300.000 mm", result.stdout)

        def free(data):
            del data["axes"]["y"]["travel"]
            del data["axes"]["y"]["positions"]
        path = description_file(free)
        result = on_machine("jog", "y", "-", "--velocity", "50", path=path)
        # No travel: a run, which the limit switch stops.
        self.assertIn("jogging y - at 50 mm/s (no travel: until Enter, Ctrl-C or a limit switch "
                      "stops it)", result.stdout)
        self.assert_one_line_error(result, 1, "y: the jog ended by itself: stopped by the "
                                   "negative limit switch")
        # A run needs a velocity: without one it is refused before anything moves.
        result = on_machine("jog", "y", "-", path=path)
        self.assert_one_line_error(result, 2, "axis y has no travel", "give --velocity MM_S",
                                   "jog = { velocity = MM_S } key for y")
        self.assertNotIn("jogging", result.stdout)


class MoreCommandsTest(ToolCase):
    def test_stop_enable_disable_every_axis_or_those_named(self):
        for args, lines in (
                (["stop"], ["x stopped at 147.500 mm (stop source: none",
                            "y stopped at 100.000 mm", "z stopped at -40.000 mm"]),
                (["stop", "z"], ["z stopped at -40.000 mm (stop source: none"]),
                (["enable", "y", "x"], ["y: drive enabled: the motor holds torque",
                                        "x: drive enabled"]),
                (["disable"], ["x: drive disabled", "y: drive disabled", "z: drive disabled"])):
            with self.subTest(args=args):
                result = on_machine(*args)
                self.assert_ok(result)
                out = result.stdout.splitlines()[1:]      # after the simulated lines' notice
                self.assertEqual(len(out), len(lines), result.stdout)
                for line, start in zip(out, lines):
                    self.assertTrue(line.startswith(start), (line, start))
        self.assert_one_line_error(on_machine("stop", "x", "w"), 2, "no axis 'w'", "x, y, z")

    def test_positions_come_from_the_file_alone(self):
        # No line is opened, and no master module is needed.
        result = run_tool("--machine", EXAMPLE_JSON, "positions")
        self.assert_ok(result)
        self.assertEqual(result.stdout.splitlines(), [
            "x        park 0.000, load 120.000, unload 280.000 mm (travel -5.000 to 300.000 mm)",
            "y        park 0.000, load 40.000 mm (travel 0.000 to 200.000 mm)",
            "z        up 0.000, work -60.000 mm (travel -80.000 to 0.000 mm)"])
        result = run_tool("--machine", description_file(free), "positions", "y")
        self.assertEqual(result.stdout, "y        no named positions (no travel)\n")
        result = run_tool("positions")
        self.assertEqual((result.returncode, result.stdout), (2, ""))
        self.assertIn("error: named positions come from a machine description: give it with "
                      "--machine FILE", result.stderr)

    def test_options_of_one_station_are_refused_on_a_machine(self):
        for args, words in (
                (["--port", "/dev/ttyS0", "status"], "argument --port: on a machine the lines"),
                (["status", "--station", "2"], "argument --station: on a machine"),
                (["jog", "x", "+", "--start-velocity", "5"],
                 "argument --start-velocity: on a machine the axes run on the profiles of its "
                 "file"),
                (["home", "--velocity", "5"],
                 "argument --velocity: on a machine the axes home at the speeds of its file"),
                (["home", "--method", "origin-only"], "argument --method: on a machine each axis "
                                                      "homes as its file says"),
                (["move", "x"], "give the axis one target"),
                (["move", "x", "load", "--relative", "5"], "give the axis one target"),
                (["move", "--absolute", "5"], "argument --absolute: on a machine give the "
                                               "target after the axis"),
                (["jog", "x"], "the following arguments are required: AXIS, +|-"),
                (["jog", "x", "up"], "argument +|-: invalid choice: 'up'")):
            with self.subTest(args=args):
                result = run_tool("--machine", EXAMPLE_JSON, "--simulate", *args)
                self.assertEqual((result.returncode, result.stdout), (2, ""), result.stderr)
                self.assertIn(words, result.stderr.splitlines()[-1])
        # And what needs a machine, without one.
        for args, words in ((["--simulate", "status"], "argument --simulate: it runs a machine "
                                                       "description"),
                            (["stop", "x"], "argument AXIS: axes go by name with --machine")):
            result = run_tool(*args)
            self.assertEqual((result.returncode, result.stdout), (2, ""), result.stderr)
            self.assertIn(words, result.stderr.splitlines()[-1])

    def test_a_move_by_a_distance(self):
        result = on_machine("move", "x", "--relative", "-7.5")
        self.assert_ok(result)
        self.assertIn("done: x at 140.000 mm", result.stdout)
        self.assert_one_line_error(on_machine("move", "z", "--relative", "50"), 2,
                                   "axis z: a move by 50.0 mm from -40.0 mm would end at 10.0 mm, "
                                   "outside its travel")


def free(data):
    del data["axes"]["y"]["travel"]
    del data["axes"]["y"]["positions"]


def rows_of(path):
    with open(path, newline="") as stream:
        reader = csv.reader(stream)
        return next(reader), list(reader)


class RecordingTest(ToolCase):
    def test_home_records_every_axis_in_one_file(self):
        path = os.path.join(scratch(), "home.csv")
        result = on_machine("home", "--record", path)
        self.assert_ok(result)
        self.assertIn("recorded", result.stdout)
        self.assertIn("samples of z, x, y over", result.stdout)
        header, rows = rows_of(path)
        self.assertEqual(header, list(record.COLUMNS))
        # One file, the axis's name first on each row, in time order.
        times = [float(row[1]) for row in rows]
        self.assertEqual(times, sorted(times))
        recording = record.read_csv(path)
        self.assertEqual(list(recording), ["z", "x", "y"])
        flagged = {}
        for name, samples in recording.items():
            sets = [i for i in range(len(samples)) if samples[i].position_set]
            self.assertEqual(len(sets), 1, name)         # the homing break, once each
            self.assertEqual(samples[sets[0]].position_mm, 0.0)
            self.assertNotEqual(samples[sets[0] - 1].position_mm, 0.0)
            self.assertFalse(samples[len(samples) - 1].running)
            flagged[name] = samples[sets[0]].time_s
        # z homes first, then x and y together.
        self.assertLess(flagged["z"], min(flagged["x"], flagged["y"]))

    def test_move_and_jog_record_the_axis_taking_part(self):
        folder = scratch()
        for args, end in ((["move", "y", "load"], 40.0), (["jog", "z", "-"], -80.0)):
            with self.subTest(args=args):
                path = os.path.join(folder, args[0] + ".csv")
                result = on_machine(*(args + ["--record", path]))
                self.assert_ok(result)
                recording = record.read_csv(path)
                self.assertEqual(list(recording), [args[1]])
                samples = recording[args[1]]
                self.assertEqual(samples[len(samples) - 1].position_mm, end)


class HomedTest(ToolCase):
    def test_on_a_real_line_a_move_needs_the_axis_homed_or_assumed_so(self):
        # The stand-in master module: lines that are no simulation to the tool.
        for args in (("move", "x", "1"), ("jog", "x", "+")):
            with self.subTest(args=args):
                result = run_tool("--machine", EXAMPLE_JSON, *args, stand_in=True)
                self.assert_one_line_error(result, 2, "axis x is not homed", "qzr-kov --machine "
                                           "%s home" % EXAMPLE_JSON, "--assume-homed")
                self.assertNotIn("moving", result.stdout)
        result = run_tool("--machine", EXAMPLE_JSON, "--assume-homed", "move", "x", "1",
                          stand_in=True)
        self.assert_ok(result)
        self.assertIn("done: x at 1.000 mm", result.stdout)


class SpeedAndStepTest(ToolCase):
    def test_velocity_and_step_on_a_machine_and_one_station(self):
        for args, lines in (
                (["move", "x", "load", "--velocity", "20"],
                 ["moving x to 120.000 mm (load) at 20 mm/s", "done: x at 120.000 mm"]),
                (["jog", "x", "-", "--step", "5", "--velocity", "10"],
                 ["stepping x - by 5.000 mm at 10 mm/s", "done: x at 142.500 mm"]),
                # Without a jog velocity in the file: the axis's profile.
                (["jog", "z", "+", "--step", "2.5"],
                 ["stepping z + by 2.500 mm at 40 mm/s (its profile)",
                  "done: z at -37.500 mm"])):
            with self.subTest(args=args):
                result = on_machine(*args)
                self.assert_ok(result)
                for line in lines:
                    self.assertIn(line, result.stdout.splitlines())
        result = run_tool("--sim-speed", "50", "jog", "--direction", "negative", "--step", "5")
        self.assert_ok(result)
        self.assertIn("done: position -5.000 mm", result.stdout)
        # Refused in one line before anything moves.
        for args, words in (
                (["move", "x", "load", "--velocity", "1000"],
                 ["axis x: 1000.0 mm/s is 200000 pulses/s", "allows at most 70000"]),
                (["jog", "x", "+", "--velocity", "1"],
                 ["axis x: a velocity of 1.0 mm/s is below its start velocity 5.0 mm/s"]),
                (["jog", "z", "+", "--step", "50"], ["axis z: a move by 50.0 mm", "outside"])):
            with self.subTest(args=args):
                result = on_machine(*args)
                self.assert_one_line_error(result, 2, *words)
                self.assertNotIn("moving", result.stdout)
                self.assertNotIn("jogging", result.stdout)


class SeveralAxesTest(ToolCase):
    def test_several_axes_apart_together_and_after_homing(self):
        result = on_machine("move", "x", "load", "y", "40")
        self.assert_ok(result)
        self.assertIn("moving x to 120.000 mm (load), y to 40.000 mm", result.stdout)
        self.assertIn("done: x at 120.000 mm, y at 40.000 mm", result.stdout)
        result = on_machine("move", "x", "unload", "z", "work", "--together", "--velocity", "50")
        self.assert_ok(result)
        self.assertIn("together, on a straight line at 50 mm/s along it", result.stdout)
        self.assertIn("done: x at 280.000 mm, z at -60.000 mm", result.stdout)
        result = on_machine("home", "z", "--then-move", "x", "load")
        self.assert_ok(result)
        out = result.stdout
        self.assertLess(out.index("homed: z at 0.000 mm"), out.index("moving x to 120.000 mm"))
        self.assertIn("done: x at 120.000 mm", out)
        for args, words in (
                (["move", "x", "load", "y"], "argument AXIS TARGET: y has no target"),
                (["move", "x", "load", "x", "3"], "argument AXIS TARGET: axis x is given twice"),
                (["move", "x", "--relative", "3", "--together"], "argument --together"),
                (["home", "--then-move", "x"], "argument --then-move: x has no target")):
            with self.subTest(args=args):
                result = on_machine(*args)
                self.assertEqual((result.returncode, result.stdout), (2, ""), result.stderr)
                self.assertIn(words, result.stderr.splitlines()[-1])
        # A target outside its travel is refused before any axis moves.
        result = on_machine("move", "x", "load", "z", "10")
        self.assert_one_line_error(result, 2, "axis z: the target 10.0 mm lies outside")
        self.assertNotIn("moving", result.stdout)

    def test_on_a_real_line_home_then_move_in_one_run(self):
        # Refused before homing starts: this run does not home x.
        result = run_tool("--machine", EXAMPLE_JSON, "home", "z", "--then-move", "x", "load",
                          stand_in=True)
        self.assert_one_line_error(result, 2, "axis x is not homed, and this run does not home "
                                              "it")
        self.assertNotIn("homing", result.stdout)
        result = run_tool("--machine", EXAMPLE_JSON, "move", "x", "load", stand_in=True)
        self.assert_one_line_error(result, 2, "axis x is not homed", "home first",
                                   "home --then-move x load", "--assume-homed")


class WatchTest(ToolCase):
    def test_a_line_per_change_until_ctrl_c(self):
        tool = self.interactive("--machine", EXAMPLE_JSON, "--simulate", "status", "--watch",
                                "--interval", "0.2")
        for name in "xyz":
            line = tool.read_until(" %s " % name)
            self.assertRegex(line, r"^\d\d:\d\d:\d\d\.\d{3} %s +-?\d+\.\d{3} mm +0\.000 mm/s  "
                                   r"stopped$" % name)
        tool.process.send_signal(signal.SIGINT)
        code, out, err = tool.finish()
        self.assertEqual((code, err), (0, ""))
        # Nothing changed: no line more than one per axis.
        self.assertEqual(out.splitlines()[-1], "watch ended (SIGINT)")
        self.assertEqual(len([l for l in out.splitlines() if " mm/s " in l]), 3, out)


class InteractiveTest(ToolCase):
    def test_ctrl_c_stops_a_move(self):
        tool = self.interactive("--machine", EXAMPLE_JSON, "--simulate", "move", "x", "park")
        tool.read_until("running")
        tool.process.send_signal(signal.SIGINT)
        code, out, err = tool.finish()
        self.assertEqual((code, err), (130, ""))
        self.assertIn("stopping x (SIGINT)", out)
        self.assertRegex(out, r"stopped: x at \d+\.\d{3} mm")
        self.assertNotIn("done:", out)

    def test_enter_stops_a_jog(self):
        tool = self.interactive("--machine", EXAMPLE_JSON, "--simulate", "jog", "y", "+")
        tool.read_until("press Enter")
        tool.type("\n")
        code, out, err = tool.finish()
        self.assertEqual((code, err), (0, ""))
        self.assertIn("stopping y (Enter)", out)
        self.assertRegex(out, r"y stopped at \d+\.\d{3} mm")

    def test_ctrl_c_stops_the_homing_group(self):
        tool = self.interactive("--machine", EXAMPLE_JSON, "--simulate", "home")
        tool.read_until("homing z")
        tool.process.send_signal(signal.SIGINT)
        code, out, err = tool.finish()
        self.assertEqual((code, err), (130, ""))
        self.assertIn("stopping z (SIGINT)", out)
        self.assertRegex(out, r"stopped: z at -?\d+\.\d{3} mm")
        self.assertNotIn("homing x", out)


if __name__ == "__main__":
    unittest.main()
