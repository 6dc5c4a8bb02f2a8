"""qzr-kov on a machine description, run as a separate program: check, and
status, home, move and jog by axis name on simulated lines; every failure
one line with its exit code."""
import os
import signal
import subprocess
import tempfile
import unittest

from tests import support
from tests.support import (EXAMPLE_JSON, EXAMPLE_TOML, FAST, TIMEOUT, ToolCase, command,
                           description_file, run_tool, tool_env)
from qzr_kov_motion import description as machine_module


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
        self.assertEqual(result.returncode, 2)
        self.assertIn("one of the arguments --absolute --relative --repeat is required",
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
        result = on_machine("jog", "y", "-", path=description_file(free))
        # No travel: it runs until the limit switch stops it.
        self.assert_one_line_error(result, 1, "the jog ended by itself",
                                   "negative limit switch")


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


class InteractiveTest(ToolCase):
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
