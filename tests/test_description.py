"""A description is checked against what the line accepts: the station's
registers and counters, the module's truncation, names a terminal can
show; and hostile files (a FIFO, a device, deep nesting, a big file,
repeated keys) are refused as a MachineError naming the file. Nothing here
opens a line."""
import json
import os
import re
import tempfile
import threading
import unittest

from tests import support
from tests.test_machine import DROP, TOML, changed, gantry
from qzr_kov_motion import MachineError
from qzr_kov_motion import description

INT32_MAX = 2 ** 31 - 1

# (key path, value or DROP, how the problem starts); each is accepted by
# the line only once it is open, or not at all.
REFUSALS = [
    ("axes.x.station", 100, "axes.x.station: must be a whole number from 1 to 99, not 100"),
    ("axes.x.station", 10 ** 20, "axes.x.station: must be a whole number from 1 to 99, not "
                                 "100000000000000000000"),
    ("axes.x.station", 3.0, "axes.x.station: must be a whole number, not 3.0"),
    ("axes.x.profile.acceleration_time", 1e7, "axes.x.profile.acceleration_time: 10000000.0 s "
     "is 10000000000 ms, more than the station's register holds (at most 4294967295 ms"),
    ("axes.x.profile.acceleration_time", 4294967.296, "axes.x.profile.acceleration_time: "
                                                      "4294967.296 s is 4294967296 ms, more"),
    ("axes.z.homing.acceleration_time", 1e308, "axes.z.homing.acceleration_time: 1e+308 s is "
                                               "more milliseconds than the station's register"),
    ("axes.x.travel", [-5.0, 1e12], "axes.x.travel[1]: 1000000000000.0 mm is "
     "200000000000000 pulses at 200 pulses/mm, more than the station counts (-2147483648 to "
     "2147483647 pulses: -10737418.24 to 10737418.235 mm)"),
    ("axes.x.ppmm", 1e-300, "axes.x.profile.velocity: 100.0 mm/s is 0 pulses/s at 1e-300 "
                            "pulses/mm: the axis would not move"),
    ("axes.x.ppmm", 1e-300, "axes.x.travel[0]: -5.0 mm is 0 pulses at 1e-300 pulses/mm"),
    ("axes.x.ppmm", 1e-300, "axes.x.positions.load: 120.0 mm is 0 pulses at 1e-300"),
    ("axes.x.ppmm", 10 ** 400, "axes.x.ppmm: must be a number a float holds (at most about "
                               "1.8e308), not a whole number of 401 digits"),
    ("axes.x.homing.order", 10 ** 400, None),     # a whole number, no float: fine
    ("axes.x.positions.touch", 0.004, "axes.x.positions.touch: 0.004 mm is 0 pulses at 200 "
                                      "pulses/mm: the scale is too small for it"),
    # Two lines on one port, and names a terminal cannot show
    ("lines.aux", {"port": "machine-test-port"}, "lines.aux.port: the port "
     "'machine-test-port' is line main's already"),
    ("axes.x\x1b[2J", {}, "axes.'x\\x1b[2J': an axis's name must be printable text, without "
                          "control characters"),
    ("axes.z\ud800", {}, "axes.'z\\ud800': an axis's name must be printable text"),
    ("axes.", {}, "axes.'': an axis's name must not be empty"),
    ("axes.x.positions.lo\nad", 1.0, "axes.x.positions.'lo\\nad': a position's name must be"),
    ("lines.m\tain", {"port": "q"}, "lines.'m\\tain': a line's name must be printable text"),
    ("lines.main.port", "/dev/tty\x07", "lines.main.port: must be printable text, without "
                                        "control characters, not '/dev/tty\\x07'"),
    # the encoder
    ("axes.x.encoder", {"ppmm": 1000}, "axes.x.encoder.tolerance: missing"),
    ("axes.x.encoder", {"ppmm": 0, "tolerance": 0.05}, "axes.x.encoder.ppmm: must not be 0"),
    ("axes.x.encoder", {"ppmm": float("nan"), "tolerance": 0.05},
     "axes.x.encoder.ppmm: must be a finite number, not nan"),
    ("axes.x.encoder", {"ppmm": 1e7, "tolerance": 0.05}, "axes.x.encoder.ppmm: 10000000.0 "
     "counts/mm: 300.0 mm would be more counts than a 32-bit count holds"),
    ("axes.x.encoder", {"ppmm": 1000, "tolerance": 0.001}, "axes.x.encoder.tolerance: 0.001 mm "
     "is less than one count of the encoder or one pulse of the station (0.005 mm)"),
    # the jog, checked as a move's velocity
    ("axes.x.jog", 10.0, "axes.x.jog: must be a table, not a number"),
    ("axes.x.jog", {}, "axes.x.jog.velocity: missing"),
    ("axes.x.jog", {"velocty": 10.0}, "axes.x.jog.velocty: unknown key (did you mean velocity?"),
    ("axes.x.jog", {"velocity": 0}, "axes.x.jog.velocity: must be above 0, not 0"),
    ("axes.x.jog", {"velocity": 4.0}, "axes.x.jog.velocity: 4.0 mm/s is below the profile's "
                                      "start velocity 5.0 mm/s"),
    ("axes.x.jog", {"velocity": 350.01}, "axes.x.jog.velocity: 350.01 mm/s is 70002 pulses/s "
                                         "at 200 pulses/mm; the controller allows at most 70000"),
]

# Travel ends that are no whole number of pulses: the module truncates
# toward zero, so a move to such an end would not end on it.
NOT_WHOLE = [
    (10, [1.05, 10.0], "axes.x.travel[0]: 1.05 mm is not a whole number of pulses at 10 "
     "pulses/mm: the module makes it 10.5 pulses and truncates that toward zero to 10, so "
     "that a move there ends at 1.0 mm (outside the travel); the nearest end inside it that "
     "is a whole number of pulses is 1.1 mm (11 pulses)"),
    (100, [0.57, 10.0], "axes.x.travel[0]: 0.57 mm is not a whole number of pulses at 100 "
     "pulses/mm: the module makes it 56.99999999999999 pulses and truncates that toward zero "
     "to 56, so that a move there ends at 0.56 mm (outside the travel); the nearest end inside "
     "it that is a whole number of pulses is 0.59 mm (59 pulses)"),
    (10, [0.0, 10.05], "axes.x.travel[1]: 10.05 mm is not a whole number of pulses at 10 "
     "pulses/mm: the module makes it 100.5 pulses and truncates that toward zero "
     "to 100, so that a move there ends at 10.0 mm; the nearest end inside it that is a whole "
     "number of pulses is 10.0 mm (100 pulses)"),
    (10, [-10.05, 0.0], "axes.x.travel[0]: -10.05 mm is not a whole number"),
]

NUMBERS = ["lines.main.baudrate", "axes.x.station", "axes.x.ppmm", "axes.x.travel",
           "axes.x.positions.load", "axes.x.homing.order", "axes.x.encoder.ppmm",
           "axes.x.encoder.tolerance", "axes.x.jog.velocity"] + ["axes.x.%s.%s" % (table, key)
                                          for table in ("profile", "homing")
                                          for key in ("start_velocity", "velocity",
                                                      "acceleration_time")]


class LimitsTest(unittest.TestCase):
    def problems(self, data):
        with self.assertRaises(MachineError) as caught:
            description.check_description(data)
        return caught.exception.problems

    def test_what_the_line_would_refuse_is_refused_with_its_key_path(self):
        for path, value, problem in REFUSALS:
            with self.subTest(path=path, value=value):
                data = changed(gantry(), path, value)
                if problem is None:
                    description.check_description(data)
                    continue
                problems = self.problems(data)
                self.assertTrue(any(p.startswith(problem) for p in problems),
                                "%r not in %r" % (problem, problems))
                for line in problems:
                    self.assertTrue(line.isprintable(), line)
        # Without a travel, a position too is checked against 32-bit counts.
        data = changed(changed(gantry(), "axes.x.travel", DROP), "axes.x.positions.far", -1e12)
        self.assertIn("axes.x.positions.far: -1000000000000.0 mm is -200000000000000 pulses at "
                      "200 pulses/mm, more than the station counts", self.problems(data)[0])

    def test_travel_ends_are_whole_pulses(self):
        for ppmm, travel, problem in NOT_WHOLE:
            with self.subTest(ppmm=ppmm, travel=travel):
                data = changed(changed(gantry(), "axes.x.ppmm", ppmm), "axes.x.travel", travel)
                data = changed(data, "axes.x.positions", {})
                self.assertIn(problem, " ".join(self.problems(data)))
        # What the messages propose is taken, and the ends of 32-bit counts.
        for ppmm, travel in ((10, [1.1, 10.0]), (100, [0.59, 10.0]), (1, [-2 ** 31, INT32_MAX]),
                             (200, [-10737418.24, 10737418.235])):
            with self.subTest(ppmm=ppmm, travel=travel):
                data = changed(changed(gantry(), "axes.x.ppmm", ppmm), "axes.x.travel", travel)
                data = changed(changed(data, "axes.x.positions", {}), "axes.x.profile.velocity",
                               5.0)
                data = changed(data, "axes.x.homing.velocity", 5.0)
                self.assertEqual(description.check_description(data).axes["x"].travel,
                                 tuple(travel))

    def test_true_and_false_are_never_numbers(self):
        for path in NUMBERS:
            with self.subTest(path=path):
                data = changed(gantry(), "axes.x.encoder", {"ppmm": 1000, "tolerance": 0.05})
                data = changed(data, "axes.x.jog", {"velocity": 10.0})
                value = [True, 300.0] if path == "axes.x.travel" else True
                problems = self.problems(changed(data, path, value))
                self.assertTrue(any(re.match(r"%s(\[0\])?: must be (a|a whole) number, not "
                                             r"true/false" % re.escape(path), p)
                                    for p in problems), problems)

    def test_edges_that_pass_and_what_they_give(self):
        data = changed(gantry(), "axes.x.station", 99)
        data = changed(data, "axes.x.profile.acceleration_time", 4294967.295)
        data = changed(data, "lines.aux", {"port": "machine-test-port-2"})
        data = changed(data, "axes.x.line", "main")
        data = changed(data, "axes.y.line", "aux")
        data = changed(data, "axes.z.line", "main")
        data = changed(data, "axes.z.encoder", {"ppmm": 1000, "tolerance": 0.0025})
        data = changed(data, "axes.z.positions.d\u00e9part", -1.5)
        data = changed(data, "axes.y.jog", {"velocity": 5})   # the start velocity
        checked = description.check_description(data)
        axes = checked.axes
        self.assertEqual((axes["x"].station, axes["y"].line, axes["x"].encoder, axes["x"].jog),
                         (99, "aux", None, None))
        self.assertEqual(axes["y"].jog, description.Jog(5.0))
        self.assertTrue(description.summary(axes["y"], checked).endswith(", jogs at 5 mm/s"))
        self.assertEqual(axes["z"].encoder, description.Encoder(1000.0, 0.0025))
        self.assertEqual(axes["z"].positions["d\u00e9part"], -1.5)

    def test_the_stations_are_the_tools(self):
        support.add_tool_to_path()
        from qzr_kov_tool import parser
        self.assertEqual(description.STATIONS, parser.STATIONS)


class HostileFileTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(dir=support.WORKDIR)

    def path(self, name, text=None):
        path = os.path.join(self.folder, name)
        if text is not None:
            with open(path, "wb") as f:
                f.write(text if isinstance(text, bytes) else text.encode("utf-8"))
        return path

    def refused(self, path):
        """The one problem of the file PATH, which names it."""
        outcome = []
        # A reader that waits (a FIFO) would hang the suite: it reads in a
        # thread, and a refusal comes at once.
        reader = threading.Thread(target=self._load, args=(path, outcome), daemon=True)
        reader.start()
        reader.join(60)
        self.assertFalse(reader.is_alive(), "the description of %s was still being read" % path)
        (error,) = outcome
        self.assertIsInstance(error, MachineError)
        self.assertEqual(error.path, path)
        return error.problems

    @staticmethod
    def _load(path, outcome):
        try:
            description.load_description(path)
        except BaseException as error:
            outcome.append(error)

    def test_only_regular_files_are_read(self):
        os.mkfifo(self.path("fifo.json"))
        os.symlink("/dev/zero", self.path("zero.json"))
        os.mkdir(self.path("folder.json"))
        for name, kind in (("fifo.json", "a FIFO"), ("zero.json", "a character device"),
                           ("folder.json", "a directory")):
            with self.subTest(name):
                self.assertEqual(self.refused(self.path(name)), [
                    "%s: %s, not a regular file: a machine description is read from a file"
                    % (self.path(name), kind)])

    def test_the_size_is_capped(self):
        text = json.dumps(gantry())
        fits = self.path("fits.json", text + " " * (description.MAX_FILE_SIZE - len(text)))
        self.assertEqual(description.load_description(fits),
                         description.check_description(gantry()))
        big = self.path("big.json", text + " " * (description.MAX_FILE_SIZE + 1 - len(text)))
        self.assertEqual(self.refused(big), ["%s: more than 1048576 bytes (1 MiB), the most a "
                                             "machine description may hold" % big])

    def test_nesting_is_capped_before_parsing(self):
        deep = 100000
        files = [("deep.json", "[" * deep + "]" * deep),
                 ("deep2.json", '{"lines": ' + '{"a": ' * deep + "1" + "}" * deep + "}")]
        if TOML is not None:
            files += [("deep.toml", "x = " + "[" * deep + "]" * deep),
                      ("inline.toml", "x = " + "{a = " * deep + "1" + "}" * deep),
                      ("dotted.toml", "a" + ".a" * deep + " = 1\n"),
                      ("table.toml", "[lines]\n[" + "a." * 40 + "a]\n")]
        for name, text in files:
            with self.subTest(name):
                (problem,) = self.refused(self.path(name, text))
                self.assertRegex(problem, r"^%s: nested more than 32 levels deep \(at line \d+\)"
                                 % re.escape(self.path(name)))
        # Brackets in strings and comments do not count.
        texts = [("s.json", '{"lines": {"main": {"port": "%s"}}}' % ("[" * 99))]
        if TOML is not None:
            texts.append(("s.toml", '# [[[[\n[lines.main] # %s\nport = """%s"""\n'
                          % ("{" * 99, "[" * 99)))
        for name, text in texts:
            with self.subTest(name), self.assertRaises(MachineError) as caught:
                description.load_description(self.path(name, text))
            self.assertEqual(caught.exception.problems,
                             ["axes: missing: the description needs at least one axis"])

    def test_every_repeated_key_is_told_with_its_key_path(self):
        path = self.path("twice.json", '{"lines": {"main": {"port": "p", "port": "q"}}, '
                                       '"axes": {"x": {"ppmm": 1, "ppmm": 2, "ppmm": 3}}, '
                                       '"axes": {"y": {}}}')
        self.assertEqual(sorted(self.refused(path)), sorted([
            "axes: given twice", "axes.x.ppmm: given 3 times", "lines.main.port: given twice"]))

    def test_numbers_past_the_float_range_are_problems_of_their_key(self):
        text = json.dumps(gantry()).replace('"ppmm": 400', '"ppmm": 1' + "0" * 400)
        self.assertEqual(self.refused(self.path("huge.json", text)), [
            "axes.z.ppmm: must be a number a float holds (at most about 1.8e308), not a whole "
            "number of 401 digits"])
        (problem,) = self.refused(self.path("long.json", "[%s]" % ("7" * 5000)))
        self.assertIn("not valid JSON", problem)


class TaughtFileTest(unittest.TestCase):
    """Positions taught later live in a file beside the machine file, which
    load_description reads and checks as the file's own."""

    def setUp(self):
        self.machine = support.description_file()
        self.taught = description.taught_path(self.machine)

    def teach(self, data):
        with open(self.taught, "w", encoding="utf-8") as f:
            json.dump(data, f)

    def test_taught_positions_join_the_axis_and_the_summary_marks_them(self):
        self.assertIsNone(description.load_description(self.machine).taught)
        self.assertTrue(self.taught.endswith("machine.taught.json"))
        self.teach({"axes": {"x": {"positions": {"pick": 12.5}}}})
        loaded = description.load_description(self.machine)
        self.assertEqual(loaded.axes["x"].positions,
                         {"park": 0.0, "load": 120.0, "unload": 280.0, "pick": 12.5})
        self.assertEqual(loaded.taught.positions, {"x": {"pick": 12.5}})
        self.assertEqual(loaded.taught.path, self.taught)
        line = description.summary(loaded.axes["x"], loaded)
        self.assertIn("unload 280, pick 12.5 (taught)", line)
        self.assertNotIn("park 0 (taught)", line)

    def test_what_the_machine_file_would_refuse_is_refused_naming_the_taught_file(self):
        with open(self.machine, "rb") as f:
            before = f.read()
        for data, problem in (
                ({"axes": {"x": {"positions": {"park": 3.0}}}},
                 "axes.x.positions.park: %s has it already" % self.machine),
                ({"axes": {"x": {"positions": {"far": 301.0}}}}, "axes.x.positions.far: "),
                ({"axes": {"w": {"positions": {"a": 1.0}}}}, "axes.w: no axis 'w'"),
                ({"axes": {"x": {"ppmm": 100}}}, "axes.x.ppmm: "),
                ({"axes": {"x": {"positions": {"a": True}}}}, "axes.x.positions.a: "),
                ([], "")):
            self.teach(data)
            with self.assertRaises(MachineError) as caught:
                description.load_description(self.machine)
            self.assertEqual(caught.exception.path, self.taught)
            for line in caught.exception.problems:
                self.assertTrue(line.startswith(self.taught + ": "), line)
            self.assertIn(self.taught + ": " + problem, "\n".join(caught.exception.problems))
            # check_taught says the same of what would be written, and writes nothing.
            with self.assertRaises(MachineError):
                description.check_taught(self.machine, data)
        os.remove(self.taught)
        self.assertFalse(os.path.exists(self.taught))
        self.assertEqual(description.check_taught(
            self.machine, {"axes": {"y": {"positions": {"mid": 100.0}}}}
        ).axes["y"].positions["mid"], 100.0)
        self.assertFalse(os.path.exists(self.taught))
        with open(self.machine, "rb") as f:
            self.assertEqual(f.read(), before)


if __name__ == "__main__":
    unittest.main()
