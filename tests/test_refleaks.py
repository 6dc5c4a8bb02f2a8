"""Reference and memory leaks: every public operation, on its success path
and on each way it can fail, repeated many times, must leave the
interpreter's total reference count and its number of allocated memory
blocks where they were.

Needs an interpreter built for debugging (sys.gettotalrefcount); skipped on
others. .ci/refleaks.sh builds the module for Debian's python3-dbg and runs
this file.
"""
import gc
import logging
import os
import resource
import signal
import sys
import tempfile
import threading
import unittest
from unittest import mock

from tests import support
from tests.support import qzr_kov

Direction, StopSource, FindingOMethod = (
    qzr_kov.Direction, qzr_kov.StopSource, qzr_kov.FindingOMethod)
KOV = qzr_kov.KOVAxisController

WARM_UP = 150       # calls before measuring: caches and free lists settle
ROUNDS = 4          # measured rounds after the warm-up
REPEATS = 60        # calls per round
# A leak of one reference (or block) per call shows as at least REPEATS per
# round; caches filling up once do not repeat in every round.
ALLOWED_PER_ROUND = REPEATS // 4

needs_debug_build = unittest.skipUnless(
    hasattr(sys, "gettotalrefcount"),
    "needs an interpreter built for debugging (.ci/refleaks.sh runs these on one)")


class LineDown(Exception):
    pass


class LeanMaster(object):
    """Answers like a healthy station and keeps nothing: a recording master
    would grow with every call. `fail` makes every operation raise;
    `running` answers the running flag."""

    def __init__(self, *args, **kwargs):
        self.fail = False
        self.running = False
        self.stop_code = 0
        self.coils = {}

    def _check(self):
        if self.fail:
            raise LineDown("no answer")

    def close(self):
        self._check()

    def get_coil(self, station, name):
        self._check()
        if name == "Y1":
            return self.running
        return self.coils.get(name, False)

    def set_coil(self, station, name, value):
        self._check()

    def get_coil_uint16(self, station, name):
        self._check()
        return 4660

    def set_coil_uint16(self, station, name, value):
        self._check()

    def get_int32(self, station, name):
        self._check()
        return self.stop_code if name == "D20" else 1234

    def set_int32(self, station, name, value):
        self._check()

    def set_uint32(self, station, name, value):
        self._check()

    def get_multi_int32(self, station, name, count):
        self._check()
        return [100, 200, 300, 0, 0, 0, 0, 0, 0, 0, 0x20011]

    def set_multi_uint32(self, station, name, values):
        self._check()


class Clock(object):
    def __init__(self):
        self.now = 1000.0

    def time(self):
        return self.now

    def sleep(self, seconds):
        self.now += seconds


class HostileLock(object):
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        raise LineDown("lock")


def swallow(call, *errors):
    """Calls CALL; an error of ERRORS (or any Exception if none are given) is
    the expected outcome."""
    try:
        call()
    except (errors or Exception):
        pass


@needs_debug_build
class RefLeakTest(unittest.TestCase):
    def setUp(self):
        self.clock = Clock()
        for name, value in (("_sleep", self.clock.sleep), ("_now", self.clock.time),
                            ("_MewMaster", LeanMaster)):
            patch = mock.patch.object(qzr_kov, name, value)
            patch.start()
            self.addCleanup(patch.stop)
        self.m = LeanMaster()
        self.c = KOV(self.m)
        self.addCleanup(setattr, self.c, "_KOVAxisController__mew", None)
        # Destroying a controller whose master could not be made reports
        # an ignored exception; keep those quiet here.
        if hasattr(sys, "unraisablehook"):
            patch = mock.patch.object(sys, "unraisablehook", lambda unraisable: None)
            patch.start()
            self.addCleanup(patch.stop)

    def measure(self, call):
        """Reference and block growth per round of REPEATS calls, after a
        warm-up."""
        for _ in range(WARM_UP):
            call()
        growth = []
        for _ in range(ROUNDS):
            gc.collect()
            refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
            for _ in range(REPEATS):
                call()
            gc.collect()
            growth.append((sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks))
        return growth

    def check(self, operations):
        """OPERATIONS: (name, call) pairs; a name ending in " (threads)"
        starts threads, whose memory the interpreter keeps reusing for a
        long while: there only the references are judged (the same steps
        run without threads in another operation, blocks included)."""
        leaks = {}
        for name, call in operations:
            growth = self.measure(call)
            judge_blocks = not name.endswith(" (threads)")
            if all(refs > ALLOWED_PER_ROUND for refs, _ in growth) or (
                    judge_blocks and all(blocks > ALLOWED_PER_ROUND for _, blocks in growth)):
                leaks[name] = growth
        self.maxDiff = None
        self.assertEqual(leaks, {}, "growth per round of %d calls (references, blocks)" % REPEATS)

    # -- the operations -------------------------------------------------------

    def test_success_paths(self):
        c, m = self.c, self.m
        words = [1.0, 2.0, 3.0, 0x2001F, 0]

        def lifecycle():
            d = KOV(LeanMaster(), 9600)
            d.finding_o_method = FindingOMethod.OriginOnly
            d.finding_o_method
            d.close()
            d.open("port")
            d.close(force=True)
            KOV(None)
            KOV("port")

        def homing():
            m.coils.clear()
            m.stop_code = 2
            c.finding_o_method = FindingOMethod.LimitFirstThenBackward
            c.find_o(3, 10.0, 20.0, 0.5, Direction.Positive)
            c.is_finding_o(3)
            c.wait_for_find_o_finish(3)
            c.finding_o_method = FindingOMethod.OriginOnly
            c.find_o(3, 10.0, 20.0, 0.5)
            c.wait_for_find_o_finish(3, 5.0)

        class InPlace(object):
            """Stands in for the worker thread: runs the run at start."""

            def __init__(self, target, args):
                self.target, self.args = target, args

            def start(self):
                self.target(*self.args)

            def join(self, timeout=None):
                pass

            def is_alive(self):
                return False

        def homing_in_place():
            with mock.patch.object(qzr_kov, "_Thread", InPlace):
                homing()

        def homing_steps():
            c._find_o(2, Direction.Negative)
            m.stop_code = 4
            c._KOVAxisController__find_o_stage_0(2, Direction.Positive)
            m.stop_code = 2
            c._find_o_origin_only(2, Direction.Negative)
            c._find_o_thread_func_limit_first_then_backward(2, Direction.Negative)
            c._find_o_thread_func(2, Direction.Positive)

        handler_path = os.path.join(tempfile.mkdtemp(dir=support.WORKDIR), "h.log")
        record = logging.LogRecord("x", logging.INFO, __file__, 1, "message %s", ("text",), None)

        def handler():
            h = qzr_kov.FileLogHandler(handler_path)
            h.emit(record)
            qzr_kov.FileLogHandler(None, level=30)

        self.check([
            ("lifecycle", lifecycle),
            ("units", lambda: (c.set_ppmm(1, 200), c.ppmm(1), c.ppmm(2), c.to_pulse(1, 2.5),
                               c.from_pulse(1, 500), c.set_ppmm(1, 1.5))),
            ("profile", lambda: (c.set_start_velocity(1, 10), c.set_velocity(1, 20.0),
                                 c.set_acceleration_time(1, 0.25),
                                 c.set_parameters(1, 10, 20, 0.5))),
            ("moves", lambda: (c.set_absolute_target(1, 5), c.set_relative_target(1, -5.5),
                               c.locate_absolutely(1, 12.5), c.locate_relatively(1, 3),
                               c.locate_relatively(1), c.wait_for_locating_done(1, 1.0),
                               c.run_positive(1), c.run_negative(1), c.stop(1),
                               c.enable_axis(1), c.disable_axis(1))),
            ("status", lambda: (c.status_words(1), c.get_position(1), c.get_position(1, words),
                                c.set_position(1, 4.5), c.set_here_o(1))),
            ("predicates", lambda: (c.is_alarming(1), c.is_running(1, words), c.at_o(1, []),
                                    c.at_positive_limit(1, words), c.at_negative_limit(1),
                                    c.at_emergency(1, words), c.get_stop_source(1))),
            ("raw coils", lambda: (c.get_coil(1, "R0"), c.set_coil(1, "R0", True),
                                   c.get_coil_uint16(1, None), c.set_coil_uint16(1, "R0", 7))),
            ("signals", lambda: (c.origin_rising_valid(1, True), c.origin_rising_valid(1, 0),
                                 c.disable_negative_limit(1), c.enable_negative_limit(1),
                                 c.negative_limit_is_disabled(1), c.disable_positive_limit(1),
                                 c.enable_positive_limit(axis=1), c.positive_limit_is_disabled(1),
                                 c.disable_alarm(1), c.enable_alarm(1), c.alarm_is_disabled(1),
                                 c.disable_emergency(1), c.enable_emergency(1),
                                 c.emergency_is_disabled(1), c.reverse_direction_output(1),
                                 c.reverse_direction_output(station=1, value=False))),
            ("homing (threads)", homing),
            ("homing, run in place", homing_in_place),
            ("homing steps", homing_steps),
            ("handler", handler),
            ("enumerations", lambda: (Direction.Positive.reverse(), Direction.reverse(-1))),
            ("function objects", lambda: (KOV.find_o.__signature__, KOV.stop.__annotations__,
                                          KOV.find_o.__defaults__, repr(KOV.close), c.stop,
                                          KOV.__dict__["stop"].__get__(None, KOV))),
        ])

    def test_error_paths(self):
        c, m = self.c, self.m
        closed = KOV(None)
        failing = LeanMaster()
        failing.fail = True
        down = KOV(failing)
        self.addCleanup(setattr, down, "_KOVAxisController__mew", None)

        def master_raises():
            for call in (lambda: down.stop(1), lambda: down.set_parameters(1, 1, 2, 0),
                         lambda: down.locate_absolutely(1, 1), lambda: down.status_words(1),
                         lambda: down.get_position(1), lambda: down.set_here_o(1),
                         lambda: down.is_running(1), lambda: down.get_stop_source(1),
                         lambda: down.get_coil(1, "R0"), lambda: down.set_coil_uint16(1, "R0", 1),
                         lambda: down.disable_alarm(1), lambda: down.alarm_is_disabled(1),
                         lambda: down.close(), lambda: down.find_o(1, 1, 2, 0),
                         lambda: down.wait_for_locating_done(1)):
                swallow(call, LineDown)

        def wait_times_out():
            m.running = True
            try:
                swallow(lambda: c.wait_for_locating_done(1, 0.05), TimeoutError)
            finally:
                m.running = False

        def stopped_elsewhere():
            m.stop_code = 3
            swallow(lambda: c.wait_for_locating_done(1), OSError)
            m.stop_code = 9
            swallow(lambda: c.get_stop_source(1), ValueError)
            m.stop_code = 0

        def homing_refused():
            m.coils["R12"] = True
            c.finding_o_method = FindingOMethod.LimitFirstThenBackward
            swallow(lambda: c.find_o(1, 1.0, 2.0, 0.0), AssertionError)
            m.coils.clear()
            swallow(lambda: c.find_o(1, 1.0, 2.0, 0.0, direction=-1), AssertionError)
            c._find_o_threads[1] = None
            swallow(lambda: c.find_o(1, 1.0, 2.0, 0.0), BlockingIOError)
            swallow(lambda: c.close(), RuntimeError)
            del c._find_o_threads[1]
            swallow(lambda: c.wait_for_find_o_finish(1), ValueError)
            swallow(lambda: c.find_o(1, "fast", 2.0, 0.0), TypeError)
            swallow(lambda: c.find_o(1, 0.0, 2.0, 0.0), AssertionError)

        def homing_worker_fails():
            m.running = True
            failing_sleep = mock.patch.object(qzr_kov, "_sleep", side_effect=LineDown("sleep"))
            with failing_sleep:
                c.find_o(2, 1.0, 2.0, 0.0)
                c._find_o_threads[2].join()
            m.running = False
            c.wait_for_find_o_finish(2)

        def worker_cannot_start():
            class Unstartable(threading.Thread):
                def start(self):
                    raise LineDown("no threads")
            with mock.patch.object(qzr_kov, "_Thread", Unstartable):
                swallow(lambda: c.find_o(4, 1.0, 2.0, 0.0), LineDown)

        def closed_controller():
            for call in (lambda: closed.stop(1), lambda: closed.status_words(1),
                         lambda: closed.set_velocity(1, 1.0), lambda: closed.get_coil(1, "X0"),
                         lambda: closed.enable_alarm(1), lambda: closed.set_here_o(1)):
                swallow(call, AttributeError)
            swallow(lambda: c.open("again"), RuntimeError)
            closed.close()

        def bad_arguments():
            for call in (lambda: c.set_velocity(1, "10"), lambda: c.set_velocity(1, None),
                         lambda: c.to_pulse(1, []), lambda: c.locate_absolutely(1, object()),
                         lambda: c.get_coil(1, b"R0"), lambda: c.set_coil(1, 5, True),
                         lambda: qzr_kov.FileLogHandler(b"x.log"),
                         lambda: c.stop(), lambda: c.stop(1, 2), lambda: c.stop(1, station=1),
                         lambda: c.stop(station=1, axis=2), lambda: c.enable_positive_limit(station=1),
                         lambda: c.find_o(1, 1.0), lambda: KOV(), lambda: KOV(1, 2, 3),
                         lambda: Direction.Positive.reverse(1), lambda: c.set_parameters(1, 1, 2, 3, 4),
                         lambda: c.status_words(**{"station": 1, "x": 2})):
                swallow(call, TypeError)

        def conversions_fail():
            swallow(lambda: c.to_pulse(1, float("inf")), OverflowError)
            swallow(lambda: c.to_pulse(1, float("nan")), ValueError)
            swallow(lambda: c.set_acceleration_time(1, 1e300), OverflowError)
            c.set_ppmm(5, "x")
            swallow(lambda: c.from_pulse(5, 3), TypeError)
            swallow(lambda: c.set_ppmm(5, 0), AssertionError)
            swallow(lambda: c.is_alarming(1, [1]), IndexError)
            swallow(lambda: c.is_running(1, [0, 0, 0, "x"]), TypeError)
            swallow(lambda: c.get_position(1, ["x"]), ValueError)
            swallow(lambda: c.set_velocity(1, 1e9), AssertionError)
            swallow(lambda: setattr(c, "finding_o_method", 1), AssertionError)
            swallow(lambda: Direction.reverse(0), ValueError)
            swallow(lambda: Direction.reverse("x"), TypeError)

        def hostile_objects():
            class Bad(object):
                def __float__(self):
                    raise LineDown("float")

                def __format__(self, format_spec):
                    raise LineDown("format")

                def __bool__(self):
                    raise LineDown("bool")
            bad = Bad()
            swallow(lambda: c.set_velocity(1, bad), LineDown)
            swallow(lambda: c.reverse_direction_output(1, bad), LineDown)
            swallow(lambda: c.origin_rising_valid(1, bad), LineDown)
            swallow(lambda: c.close(bad), LineDown)
            swallow(lambda: c.is_running(1, bad), LineDown)

        def master_cannot_be_made():
            with mock.patch.object(qzr_kov, "_MewMaster", side_effect=LineDown("busy")):
                swallow(lambda: KOV("COM1"), LineDown)
                swallow(lambda: closed.open("COM1"), LineDown)

        log_dir = os.getcwd()
        elsewhere = tempfile.mkdtemp(dir=support.WORKDIR)

        def log_write_fails():
            os.chdir(elsewhere)
            try:
                swallow(lambda: c.stop(1), OSError)
                swallow(lambda: c.set_parameters(1, 1, 2, 0), OSError)
            finally:
                os.chdir(log_dir)

        record = logging.LogRecord("x", logging.INFO, __file__, 1, "message", None, None)

        def handler_fails():
            h = qzr_kov.FileLogHandler(os.path.join(elsewhere, "no", "such.log"))
            swallow(lambda: h.emit(record), OSError)
            h._FileLogHandler__filename = None
            swallow(lambda: h.emit(record), TypeError)
            swallow(lambda: h.emit("not a record"), AttributeError)
            h._FileLogHandler__filename = os.path.join(elsewhere, "h.log")
            h.lock = HostileLock()
            swallow(lambda: h.emit(record), LineDown)

        limited = os.path.join(elsewhere, "limited.log")

        def write_cut_short():
            # A file size limit cuts the write short, as a full disk does;
            # the next record starts a new line.
            h = qzr_kov.FileLogHandler(limited)
            h.emit(record)
            soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
            previous = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize(limited) + 3, hard))
            try:
                swallow(lambda: h.emit(record), OSError)
            finally:
                resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
                signal.signal(signal.SIGXFSZ, previous)
            h.emit(record)

        self.check([
            ("master raises", master_raises),
            ("wait times out", wait_times_out),
            ("stopped elsewhere", stopped_elsewhere),
            ("homing refused", homing_refused),
            ("homing worker fails (threads)", homing_worker_fails),
            ("worker cannot start", worker_cannot_start),
            ("closed controller", closed_controller),
            ("bad arguments", bad_arguments),
            ("conversions fail", conversions_fail),
            ("hostile objects", hostile_objects),
            ("master cannot be made", master_cannot_be_made),
            ("log write fails", log_write_fails),
            ("handler fails", handler_fails),
            ("write cut short", write_cut_short),
        ])


class MeasureTest(unittest.TestCase):
    """The measurement itself: it must see a leak that is there."""

    @needs_debug_build
    def test_a_leak_is_seen(self):
        kept = []
        case = RefLeakTest("test_success_paths")
        growth = case.measure(lambda: kept.append(object()))
        self.assertTrue(all(refs >= REPEATS for refs, _ in growth), growth)


if __name__ == "__main__":
    unittest.main()
