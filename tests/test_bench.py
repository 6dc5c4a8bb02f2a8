"""The benchmarks' own machinery: the compiled master stand-in and ceiling
probes, the C append loop, the comparator as a faithful yardstick, the log
floor's pieces, interleaved timing and the table renderer. Nothing here
times anything against a goal."""
import glob
import json
import os
import shutil
import subprocess
import tempfile
import unittest

from tests import support
from tests.support import BENCH, import_bench, qzr_kov
from qzr_kov_sim import RecordingMaster

NATIVE_DIR = os.path.join(support.BUILD, "bench-native")


def native_or_skip(case):
    os.environ.setdefault("QZR_KOV_BENCH_NATIVE", NATIVE_DIR)
    common = import_bench("common")
    if shutil.which("cc") is None and shutil.which("gcc") is None:
        case.skipTest("no C compiler")
    try:
        return common.native()
    except subprocess.CalledProcessError as e:
        case.fail("bench/native does not build cleanly:\n%s" % e.output)


class NativeMasterTest(unittest.TestCase):
    def setUp(self):
        self.native = native_or_skip(self)
        self.common = import_bench("common")

    def test_same_operations_and_answers_as_the_python_master(self):
        ours, theirs = self.native.InstantMaster(), self.common.InstantMaster()
        ops = sorted(n for n in vars(self.common.InstantMaster) if not n.startswith("_")
                     and callable(getattr(theirs, n)))
        self.assertEqual(sorted(n for n in dir(ours) if not n.startswith("_")), ops)
        args = {"close": (), "get_multi_int32": (1, "DT10", 11),
                "set_multi_uint32": (1, "DT0", [1, 2, 3])}
        for op in ops:
            call = args.get(op, (1, "R0", 1) if op.startswith("set") else (1, "X0"))
            self.assertEqual(getattr(ours, op)(*call), getattr(theirs, op)(*call), op)
            with self.assertRaises(TypeError):
                getattr(ours, op)(*(call + (0,)))
        with self.assertRaises(TypeError):
            ours.get_coil(1, name="X0")

    def test_built_apart_from_anything_it_could_shadow(self):
        files = os.listdir(os.path.dirname(self.native.__file__))
        self.assertTrue(all(f.startswith("qzr_bench_native") for f in files), files)
        import qzr_mew
        self.assertTrue(qzr_mew.__file__.startswith(support.STAND_IN), qzr_mew.__file__)
        self.assertFalse(hasattr(self.native, "MewMaster"))

    def test_nap_returns_at_once_with_none(self):
        self.assertIsNone(self.native.nap(0.01))


class CeilingProbeTest(unittest.TestCase):
    def setUp(self):
        native_or_skip(self)
        self.common = import_bench("common")
        self.master = RecordingMaster("probe")

    def test_each_call_reaches_the_master_as_the_module_would(self):
        p = self.common.probe(self.master)
        c = qzr_kov.KOVAxisController(RecordingMaster("module"))
        cases = [("get_coil", (1, "X0")), ("set_coil", (1, "R0", True)),
                 ("get_coil_uint16", (1, "R20")), ("set_coil_uint16", (1, "R20", 5)),
                 ("get_int32", (1, "D20")), ("set_int32", (1, "DT6", -5)),
                 ("set_uint32", (1, "DT2", 5)), ("get_multi_int32", (1, "DT10", 11)),
                 ("set_multi_uint32", (1, "DT0", [1, 2, 3])), ("close", ())]
        for op, args in cases:
            getattr(p, op)(*args)
        self.assertEqual([(call.op, call.args) for call in self.master.calls], cases)
        p._KOVAxisController__mew = RecordingMaster("again")
        for op in ("get_coil", "set_coil", "get_coil_uint16", "set_coil_uint16"):
            args = dict(cases)[op]
            self.assertEqual(getattr(p, op)(*args), getattr(c, op)(*args))

    def test_looks_up_the_field_and_the_method_at_every_call(self):
        p = self.common.probe(self.master)
        self.assertIs(p.get_coil(1, "X0"), False)
        other = RecordingMaster("other")
        p._KOVAxisController__mew = other
        other.get_coil = lambda station, name: ("patched", station, name)
        self.assertEqual(p.get_coil(2, "X1"), ("patched", 2, "X1"))
        p._KOVAxisController__mew = self.native_master()
        self.assertIs(p.get_coil(1, "X0"), False)

    def native_master(self):
        return import_bench("common").native().InstantMaster()

    def test_failures_are_those_of_the_module(self):
        p = self.common.probe(None)
        c = qzr_kov.KOVAxisController(None)
        with self.assertRaises(AttributeError) as probe_error:
            p.get_coil(1, "X0")
        with self.assertRaises(AttributeError) as module_error:
            c.get_coil(1, "X0")
        self.assertEqual(str(probe_error.exception), str(module_error.exception))
        boom = OSError("no answer")
        self.master.fail_on("get_coil", boom)
        p._KOVAxisController__mew = self.master
        with self.assertRaises(OSError) as caught:
            p.get_coil(1, "X0")
        self.assertIs(caught.exception, boom)
        with self.assertRaises(TypeError):
            p.get_coil(1)
        self.assertIsNone(p.nothing(1, 2.5, [3]))

    def test_only_classes_defined_in_python_take_the_methods(self):
        native = self.common.native()
        with self.assertRaises(TypeError):
            native.install_ceiling(int)
        with self.assertRaises(TypeError):
            native.install_ceiling(object())


class AppendTest(unittest.TestCase):
    def setUp(self):
        self.append = native_or_skip(self).append
        self.folder = tempfile.mkdtemp(dir=support.WORKDIR)
        self.path = os.fsencode(os.path.join(self.folder, "floor.log"))

    def read(self):
        with open(self.path, "rb") as f:
            return f.read()

    def test_appends_the_line_count_times(self):
        self.append(self.path, b"first\n")
        self.append(self.path, "中\n".encode("utf-8"), 3)
        self.append(self.path, b"last\n", 2, True)
        self.assertEqual(self.read(), b"first\n" + "中\n".encode("utf-8") * 3 + b"last\n" * 2)
        self.append(self.path, b"none\n", 0)
        self.assertFalse(self.read().endswith(b"none\n"))

    def test_errors(self):
        missing = os.fsencode(os.path.join(self.folder, "gone", "floor.log"))
        with self.assertRaises(FileNotFoundError):
            self.append(missing, b"x\n", 2)
        self.assertRaises(TypeError, self.append, os.fsdecode(self.path), b"x\n")
        self.assertRaises(TypeError, self.append, self.path, "x\n")
        self.assertRaises(ValueError, self.append, self.path + b"\0x", b"x\n")
        self.assertRaises(TypeError, self.append, self.path)


class ComparatorTest(unittest.TestCase):
    """The yardstick must do the module's work: the same master calls and
    the same log lines for every operation the benchmarks time."""

    def setUp(self):
        self.comparator = import_bench("comparator")
        self.per_call = import_bench("per_call")

    def test_the_speed_limit_comes_from_the_module(self):
        self.assertIs(self.comparator._MaxPulsePerSecond, qzr_kov._MaxPulsePerSecond)
        with open(os.path.join(BENCH, "comparator.py")) as f:
            self.assertNotIn(str(qzr_kov._MaxPulsePerSecond), f.read())

    def test_same_calls_results_and_lines_as_the_module(self):
        log = support.LogReader()
        for name, _, statement, _, _ in self.per_call.OPERATIONS:
            outcomes = []
            for make in (qzr_kov.KOVAxisController, self.comparator.KOVAxisController):
                master = RecordingMaster("cmp")
                c = make(master)
                c.set_ppmm(1, 100)
                master.script("get_multi_int32", [150, 250, 50, 0, 0, 0, 0, 0, 0, 0, 0x20001])
                master.calls.clear()
                log.mark()
                result = eval(statement, {"c": c, "w": self.per_call.WORDS})
                outcomes.append((result, [(x.op, x.args) for x in master.calls], log.lines()))
                c._KOVAxisController__mew = None
            self.assertEqual(outcomes[0], outcomes[1], name)


class LogFloorTest(unittest.TestCase):
    def setUp(self):
        native_or_skip(self)
        self.common = import_bench("common")

    def test_floor_logger_is_set_up_like_the_module_but_apart_from_it(self):
        log = support.LogReader()
        floor = self.common.LogFloor(qzr_kov, "Stop station 1")
        self.addCleanup(os.remove, floor.path)
        logger = floor.logger
        self.assertFalse(logger.name.startswith(qzr_kov.logger.name + "."))
        self.assertIsNot(logger, qzr_kov.logger)
        self.assertEqual((logger.level, logger.propagate),
                         (qzr_kov.logger.level, qzr_kov.logger.propagate))
        self.assertEqual([type(h) for h in logger.handlers], [self.common.NullEmit])
        logger.info("not for the module's file")
        self.assertEqual(log.lines(), [])
        self.assertEqual(floor.formatter._fmt, qzr_kov._formatter._fmt)
        line = floor.line.decode("utf-8")
        self.assertRegex(line, r"\A\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} - INFO - Stop station 1\n\Z")
        self.assertNotEqual(os.path.abspath(floor.path), os.fsencode(support.LOG_FILE))
        contenders = floor.contenders()
        self.assertEqual([c.name for c in contenders],
                         ["floor logging", "floor format", "floor append", "floor sequence"])
        for contender in contenders:
            self.assertGreater(contender.run(3), 0.0)
        with open(floor.path, "rb") as f:
            # Three from the append alone, three from the sequence.
            self.assertEqual(f.read(), floor.line * 6)
        self.assertEqual(log.lines(), [])

    def test_logged_message_is_the_modules_record(self):
        c = qzr_kov.KOVAxisController(RecordingMaster("msg"))
        message = self.common.logged_message(qzr_kov, lambda: c.locate_absolutely(1, 2.5))
        self.assertEqual(message, "Absolutely locating with target 2.5, station 1")
        with self.assertRaises(AssertionError):
            self.common.logged_message(qzr_kov, lambda: c.get_coil(1, "X0"))


class InterleavedTest(unittest.TestCase):
    def setUp(self):
        self.common = import_bench("common")

    def fake(self, name, cost, order):
        def run(number):
            order.append(name)
            return number * cost
        return self.common.Contender(name, run=run)

    def test_rounds_alternate_and_rotate(self):
        order = []
        contenders = [self.fake(n, c, order) for n, c in (("a", 1e-6), ("b", 2e-6), ("c", 4e-6))]
        samples = self.common.interleaved(contenders, rounds=4, batch=0.001)
        timed = [n for n in order if n is not None]
        # Calibration first, one batch each; then every round has each once.
        calibration = len(timed) - 12
        rounds = [timed[calibration + 3 * r:calibration + 3 * r + 3] for r in range(4)]
        self.assertTrue(all(sorted(r) == ["a", "b", "c"] for r in rounds), rounds)
        self.assertEqual(len({tuple(r) for r in rounds}), 3)
        self.assertEqual(rounds[0][0], "a")
        self.assertEqual(rounds[1][0], "b")
        for name, cost in (("a", 1e-6), ("b", 2e-6), ("c", 4e-6)):
            self.assertEqual(len(samples[name]), 4)
            for s in samples[name]:
                self.assertAlmostEqual(s * 1e6, cost * 1e6)

    def test_statements_lose_the_empty_loop(self):
        samples = self.common.interleaved(
            [self.common.Contender("pass too", "pass")], rounds=3, batch=0.001)
        # The same statement as the empty loop: what is left is noise, never
        # below zero.
        self.assertTrue(all(s >= 0.0 for s in samples["pass too"]))

    def test_names_must_differ(self):
        order = []
        with self.assertRaises(ValueError):
            self.common.interleaved([self.fake("a", 1e-6, order), self.fake("a", 1e-6, order)])

    def test_calibrate_and_statistics(self):
        number = self.common.calibrate(lambda n: n * 1e-6, 0.02)
        self.assertAlmostEqual(number, 20000, delta=1)
        stats = self.common.stats([3e-6, 1e-6, 2e-6])
        self.assertEqual(sorted(stats), ["max", "median", "min"])
        for key, value in (("min", 1.0), ("median", 2.0), ("max", 3.0)):
            self.assertAlmostEqual(stats[key], value)
        self.assertEqual(self.common.ratio([2, 4, 9], [1, 1, 3]), 3)
        self.assertEqual(self.common.sum_rounds([1, 2], [10, 20]), [11, 22])

    def test_thread_cpu_grows_with_work(self):
        before = self.common.thread_cpu()
        sum(range(200000))
        self.assertGreater(self.common.thread_cpu(), before)


class WaitingPiecesTest(unittest.TestCase):
    def setUp(self):
        native_or_skip(self)
        self.waiting = import_bench("waiting")

    def test_countdown_master(self):
        m = self.waiting.CountdownMaster()
        m.arm(2)
        self.assertEqual([m.get_coil(1, "Y1") for _ in range(4)], [True, True, False, False])
        m.arm(1)
        self.assertIs(m.get_coil(1, "X0"), False)
        self.assertIs(m.get_coil(1, "Y1"), True)

    def test_in_thread_hands_back_result_and_error(self):
        result, cpu = self.waiting.in_thread(lambda: 42)
        self.assertEqual(result, 42)
        self.assertGreaterEqual(cpu, 0.0)
        with self.assertRaises(KeyError):
            self.waiting.in_thread(lambda: {}[1])

    def test_cpu_per_poll_restores_the_sleeps(self):
        import comparator
        sleeps = qzr_kov._sleep, comparator._sleep
        rounds = self.waiting.CPU_ROUNDS
        self.waiting.CPU_ROUNDS = 2
        try:
            out = self.waiting.cpu_per_poll(50, import_bench("common").native().nap)
        finally:
            self.waiting.CPU_ROUNDS = rounds
        self.assertEqual((qzr_kov._sleep, comparator._sleep), sleeps)
        self.assertEqual(sorted(out), ["bare loop", "comparator", "module",
                                       "module beyond bare loop"])
        self.assertEqual(sorted(out["module"]), ["max", "median", "min"])


def fixture_results(folder, read_ratio=0.95, over_floor=1.05):
    def timing(median):
        return {"min": median * 0.9, "median": median, "max": median * 1.2}

    def master_row(ratio_c, ratio_ceiling, **extra):
        return dict({"module": timing(0.1), "comparator": timing(0.1 * ratio_c),
                     "ceiling": timing(0.1 * ratio_ceiling), "vs_comparator": ratio_c,
                     "vs_ceiling": ratio_ceiling}, **extra)

    for version in ("3.6.15", "3.11.7"):
        about = {"python": version, "measured": "2026-12-08 10:00",
                 "machine": "Test CPU, 2 cores, x86_64", "load_at_start": [0.5, 0.4, 0.3]}
        floor = {k: timing(v) for k, v in (("logging", 4.0), ("format", 2.0), ("append", 3.0),
                                          ("composed", 9.0), ("sequence", 10.0))}
        rows = [
            {"operation": "ppmm", "kind": "no master call", "python": master_row(1.5, 0.5)},
            {"operation": "get_coil", "kind": "one-call read",
             "python": master_row(1.1, read_ratio), "native": master_row(1.2, 0.97)},
            {"operation": "stop", "kind": "logged", "message": "Stop station 1", "floor": floor,
             "python": master_row(1.0, 1 / over_floor, over_floor=over_floor,
                                  over_sequence=0.95),
             "native": master_row(1.0, 0.99, over_floor=1.01, over_sequence=0.91)},
        ]
        files = {
            "per_call": dict(about, rounds=9, rows=rows),
            "logging_cost": dict(about, rounds=9, vs_comparator=1.8, emit_vs_python=2.5,
                                 emit_beyond_format_and_append=timing(2.3), rows=[
                                     [n, timing(t)] for n, t in (
                                         ("stop(1), module and its handler", 11.0),
                                         ("stop(1), comparator and Python handler", 19.0),
                                         ("emit(record), module's handler", 7.0),
                                         ("emit(record), Python handler", 14.0),
                                         ("append from C", 3.0),
                                         ("append from C, lock released per record", 3.1))]),
            "waiting": dict(about, polls=100, instant_polls=10000, exchange_ms=2.0, moves=15,
                            cpu_per_poll_us={n: timing(50.0) for n in
                                             ("module", "comparator", "bare loop")},
                            work_per_poll_us={n: timing(0.3) for n in
                                              ("module", "comparator", "bare loop")},
                            move_latency_ms={n: timing(6.0) for n in
                                             ("module", "comparator", "bare loop")},
                            homing_latency_ms=dict(timing(14.0), found=5, runs=5)),
            "scale": dict(about, stations=32, succeeded=32, wall_s=3.0, exchanges=1350,
                          line_busy_percent=90.0, poll_period_ms_median=100.0,
                          poll_period_ms_min=60.0, poll_period_ms_max=120.0),
        }
        for kind, data in files.items():
            with open(os.path.join(folder, "%s-%s.json" % (version, kind)), "w") as f:
                json.dump(data, f)


class TableTest(unittest.TestCase):
    def setUp(self):
        self.table = import_bench("table")
        self.folder = tempfile.mkdtemp(dir=support.WORKDIR)

    def test_renders_every_benchmark(self):
        fixture_results(self.folder)
        text = self.table.render(self.folder, with_times=True, baseline_folder=self.folder)
        self.assertIn("Machine: Test CPU, 2 cores, x86_64; measured 2026-12-08", text)
        self.assertIn("| get_coil | one-call read | 1.10× / 1.20× | 0.95× / 0.97× | "
                      "1.10× / 1.20× | 0.95× / 0.97× |", text)
        self.assertIn("| ppmm | no master call | 1.50× | 0.50× |", text)
        self.assertIn("| 3.11.7 | stop | 1.05× / 1.01× | 0.10 / 0.10 | 9.00 | "
                      "4.00 + 2.00 + 3.00 | 0.95× / 0.91× | 10.00 |", text)
        self.assertIn("| 3.6.15 | 1.80× | 11.00 | 19.00 | 7.00 / 14.00 | 2.30 | 3.00 / 3.10 |",
                      text)
        self.assertIn("| 3.11.7 | 32/32 | 3.0 | 1350 | 90 % | 100 ms (60–120) |", text)
        self.assertIn("| get_coil | 1.00× / 1.00× | 1.00× / 1.00× |", text)
        self.assertIn("| get_coil | Py | 0.100 (0.090–0.120) |", text)
        self.assertIn("- Logged commands within 1.10× of their composed floor on 3.11 and 3.13: "
                      "met (worst 3.11.7 stop Py: 1.05×)", text)
        self.assertIn("- One-call reads within 0.90× of their ceiling on 3.6, 3.11 and 3.13: met",
                      text)

    def test_targets_not_met_are_named(self):
        fixture_results(self.folder, read_ratio=0.85, over_floor=1.2)
        text = self.table.render(self.folder)
        self.assertIn("floor on 3.11 and 3.13: **not met** (worst 3.11.7 stop Py: 1.20×)", text)
        self.assertIn("3.13: **not met** (worst 3.11.7 get_coil Py: 0.85×)", text)
        self.assertIn("either master: met (worst 3.6.15 stop", text)

    def test_readme_figures_between_the_markers(self):
        fixture_results(self.folder)
        readme = os.path.join(self.folder, "README.md")
        with open(readme, "w") as f:
            f.write("# Title\n\n%s\nold figures\n%s\n\n## After\n" % (self.table.BEGIN,
                                                                    self.table.END))
        self.table.main(["table.py", self.folder, "--readme", readme])
        with open(readme) as f:
            text = f.read()
        self.assertTrue(text.startswith("# Title\n\n" + self.table.BEGIN))
        self.assertTrue(text.endswith(self.table.END + "\n\n## After\n"))
        self.assertNotIn("old figures", text)
        self.assertIn("| ppmm | no master call |", text)
        with open(readme, "w") as f:
            f.write("no markers\n")
        with self.assertRaises(SystemExit):
            self.table.main(["table.py", self.folder, "--readme", readme])

    def test_the_shipped_results_render(self):
        results = os.path.join(BENCH, "results")
        if not glob.glob(os.path.join(results, "*-per_call.json")):
            self.skipTest("no results shipped")
        self.assertIn("vs ceiling", self.table.render(results, with_times=True))


if __name__ == "__main__":
    unittest.main()
