"""A machine's live state: Machine.state() against the simulated stations'
inputs, and watchers of 16 axes: moving axes read by the poller's polls,
idle ones once per idle period and only while a watcher is open, failing
and slow callbacks, failing reads, closing (while polling, from the
callback, with the machine, in a forked child). On a simulated line whose
clock moves only when someone sleeps; exchanges are counted on it."""
import contextlib
import os
import threading
import unittest
import warnings
from unittest import mock

from tests import support
import qzr_kov
from qzr_kov_sim import CommunicationError, SimulatedLine
from qzr_kov_motion import AxisState, Machine, wait_all
from qzr_kov_motion.poller import running_pollers

NAMES = ["a%d" % station for station in range(1, 17)]
# 100 pulses per mm: the axes stand at 10 mm, the origin at 0, limit
# switches at -30 and +30 mm; the counters read 0.
LAYOUT = {"physical_position": 1000, "origin_at": 0, "negative_limit_at": -3000,
          "positive_limit_at": 3000}
FLAGS = ("running", "origin", "negative_limit", "positive_limit", "alarm", "emergency")
STATUS = "get_multi_int32"


class StampedLine(SimulatedLine):
    """Notes (clock time, operation, station, address) of every exchange."""

    def _exchange(self, op, args):
        self.stamps.append((self.clock.time(), op, args[0], args[1]))
        return SimulatedLine._exchange(self, op, args)


class WatchCase(unittest.TestCase):
    def setUp(self):
        self.clock = support.virtual_clock(self)
        self.line = StampedLine("watch", clock=self.clock, layout=LAYOUT)
        self.line.stamps = []
        profile = {"start_velocity": 10.0, "velocity": 20.0, "acceleration_time": 0.02}
        self.machine = Machine.from_dict({
            "lines": {"main": {"port": "watch"}},
            "axes": {name: {"station": s, "ppmm": 100, "profile": profile}
                     for s, name in enumerate(NAMES, 1)}}, lines={"main": self.line})
        self.calls, self.changed = [], threading.Condition()
        del self.line.stamps[:]

    def tearDown(self):
        self.machine.close()
        for thread in threading.enumerate():
            if thread.name.startswith("qzr_kov_motion watcher"):
                thread.join(10)
        for thread in running_pollers():
            thread.join(10)
        self.assertEqual([t for t in threading.enumerate()
                          if t.name.startswith("qzr_kov_motion watcher")], [])
        self.assertEqual(running_pollers(), [])

    def record(self, states):
        with self.changed:
            self.calls.append(states)
            self.changed.notify_all()

    def until(self, done):
        for _ in range(2000):
            with self.changed:
                if done():
                    return
                self.changed.wait(0.005)
        self.fail("not within 10 s")

    @contextlib.contextmanager
    def starting(self):
        """Holds the other threads' sleeps on the virtual clock (the
        poller's, between polls and in its idle loop) while the block
        starts moves: a poller looping idle would otherwise run the clock
        on for as long as this thread is kept from registering a move it
        has sent, and the move would end before its first poll."""
        opened, sleep, starter = threading.Event(), qzr_kov._sleep, threading.current_thread()

        def held(seconds):
            if threading.current_thread() is not starter:
                opened.wait(10)
            sleep(seconds)

        with mock.patch.object(qzr_kov, "_sleep", held):
            try:
                yield
            finally:
                opened.set()

    def stamps(self, station, op=STATUS):
        return [t for t, o, s, _ in self.line.stamps if s == station and o == op]

    def pass_time(self, seconds):
        for _ in range(int(seconds * 100)):
            self.clock.sleep(0.01)


class StateTest(WatchCase):
    def test_each_field_from_one_status_read(self):
        self.assertEqual(AxisState._fields, ("position", "velocity", "running", "homed")
                         + FLAGS[1:] + ("time",))
        station = self.line.station
        station(2).press_emergency()
        station(3).raise_alarm()
        station(4).physical_position, station(5).physical_position = 3500, -3500
        station(6).physical_position = 0
        self.machine.controllers["main"].disable_emergency(7)   # told as it is all the same
        station(7).press_emergency()
        del self.line.stamps[:]
        states = self.machine.state()
        self.assertEqual([x[1:] for x in self.line.stamps],
                         [(STATUS, s, "DT10") for s in range(1, 17)])
        self.assertEqual(list(states), NAMES)
        self.assertEqual({name: [f for f in FLAGS if getattr(state, f)]
                          for name, state in states.items()},
                         dict({name: [] for name in NAMES}, a2=["emergency"], a3=["alarm"],
                              a4=["positive_limit"], a5=["negative_limit"], a6=["origin"],
                              a7=["emergency"]))
        self.assertEqual({(s.position, s.velocity, s.homed) for s in states.values()},
                         {(0.0, 0.0, True)})
        times = [s.time for s in states.values()]
        self.assertEqual(sorted(times), times)
        station(2).release_emergency()
        motion = self.machine["a1"].move_to(-5.0)
        self.clock.sleep(0.1)
        moving, resting = self.machine.state()["a1"], self.machine.state()["a2"]
        self.assertEqual((moving.running, moving.velocity, resting.emergency),
                         (True, -20.0, False))
        self.assertLess(moving.position, 0.0)
        motion.cancel()


class WatchTest(WatchCase):
    def test_moving_axes_with_each_poll_idle_ones_once_per_period(self):
        self.pass_time(3)                   # no watcher: not one exchange
        self.assertEqual((self.line.stamps, running_pollers()), ([], []))
        watcher = self.machine.watch(self.record, idle_period=1.0)
        self.until(lambda: self.calls)      # at once, every axis read in watch()
        self.assertEqual(list(self.calls[0]), NAMES)
        moving = [1, 6, 11, 16]
        with self.starting():
            motions = [self.machine[NAMES[s - 1]].move_to(2.0) for s in moving]
        self.assertEqual(wait_all(motions, 10), [2.0] * 4)
        start = self.clock.time()
        self.until(lambda: self.clock.time() > start + 5.0)
        watcher.close()
        closed = self.clock.time()
        self.pass_time(3)
        for station in range(1, 17):
            reads = self.stamps(station)
            self.assertLessEqual(reads[-1], closed)
            self.assertEqual(self.stamps(station, "get_coil"), [])  # no running-bit poll
            if station in moving:
                # Polled with the status words alone; its end judged on the
                # last of them, with no read of its own: the stop source.
                begun, [ended] = self.stamps(station, "set_coil"), self.stamps(station, "get_int32")
                polls = [t for t in reads if begun[0] < t < ended]
                self.assertGreater(len(polls), 10)
                reads = polls[-1:] + [t for t in reads if t > ended]
            self.assertTrue(all(b - a >= 1.0 for a, b in zip(reads, reads[1:])), reads)
            self.assertGreaterEqual(len(reads), int((closed - reads[0]) / 1.1), reads)
        for station in moving:
            seen = [states[NAMES[station - 1]] for states in self.calls]
            positions = [s.position for s in seen]
            self.assertEqual(positions, sorted(positions))
            self.assertEqual((seen[-1].position, seen[-1].running), (2.0, False))
            self.assertTrue(any(s.running and 0 < s.position < 2 for s in seen))


class FailureTest(WatchCase):
    def test_a_failing_callback_is_told_once_per_run_and_the_watcher_goes_on(self):
        def failing(states):
            self.record(states)
            if len(self.calls) in (2, 3, 4):
                raise ValueError("no panel for call %d" % len(self.calls))
            if len(self.calls) == 6:
                {}["gone"]

        with self.assertLogs("qzr_kov_motion", "INFO") as logged:
            with self.machine.watch(failing, idle_period=0.05):
                self.until(lambda: len(self.calls) >= 8)
        self.assertEqual([(r.levelname, r.getMessage().rpartition("> ")[2])
                          for r in logged.records],
                         [("ERROR", "failed: ValueError: no panel for call 2 (told once until it "
                                    "works again)"),
                          ("INFO", "works again after 3 failure(s) in a row"),
                          ("ERROR", "failed: KeyError: 'gone' (told once until it works again)"),
                          ("INFO", "works again after 1 failure(s) in a row")])
        self.assertTrue(logged.records[0].getMessage().startswith(
            "<Machine: a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16>: "
            "the watcher's callback <function "))
        self.assertIn('{}["gone"]', logged.output[2])      # with its traceback

    def test_a_failing_read_leaves_its_axis_stale(self):
        with self.assertLogs("qzr_kov_motion", "INFO") as logged:
            with self.machine.watch(self.record, idle_period=0.05):
                self.line.fail_on(STATUS, CommunicationError("no answer"), station=3, times=None)
                self.until(lambda: len(self.stamps(3)) >= 5)
                stale = self.calls[-1]["a3"]
                self.assertEqual(stale, self.calls[0]["a3"])
                self.assertGreater(self.calls[-1]["a4"].time, stale.time)
                self.line.clear_faults()
                self.until(lambda: self.calls[-1]["a3"] != stale)
        failed, works = logged.records
        self.assertEqual((failed.levelname, failed.getMessage()),
                         ("WARNING", "station 3: reading its state failed: CommunicationError: "
                                     "no answer (told once until it works again)"))
        self.assertRegex(works.getMessage(), r"^station 3: reading its state works again after "
                                             r"\d+ failure\(s\) in a row$")
        self.assertGreaterEqual(works.args[1], 3)
        self.assertIsNone(failed.exc_info)          # the line's error: no traceback


class SlowCallbackTest(WatchCase):
    def test_polls_and_commands_go_on_and_states_are_coalesced(self):
        blocked, release = threading.Event(), threading.Event()

        def slow(states):
            self.record(states)
            if len(self.calls) == 2:
                blocked.set()
                release.wait(10)

        with self.machine.watch(slow):
            with self.starting():
                motions = [self.machine[name].move_to(1.0) for name in NAMES[:4]]
            self.assertTrue(blocked.wait(10))
            reads = len(self.line.stamps)
            self.assertEqual(wait_all(motions, 10), [1.0] * 4)   # every poll of theirs
            self.assertEqual(self.machine["a9"].position, 0.0)    # and a command
            self.assertGreater(len(self.line.stamps) - reads, 20)
            self.assertEqual(len(self.calls), 2)
            release.set()
            self.until(lambda: len(self.calls) == 3)
        # The next call brings the newest state of each: the ends.
        self.assertEqual([(s.position, s.running) for s in self.calls[2].values()][:4],
                         [(1.0, False)] * 4)


class ClosingTest(WatchCase):
    def test_close_while_polling(self):
        watcher = self.machine.watch(self.record)
        with self.starting():
            motions = [self.machine[name].move_to(3.0) for name in NAMES[:4]]
        self.until(lambda: len(self.stamps(4)) > 5)
        watcher.close()
        calls, closed = len(self.calls), len(self.line.stamps)
        self.assertEqual(wait_all(motions, 10), [3.0] * 4)
        self.assertFalse(watcher._thread.is_alive())
        self.pass_time(3)
        watcher.close()
        self.assertEqual(len(self.calls), calls)
        # Polled by their running bit again, then read once each at the end.
        after = [x[1:3] for x in self.line.stamps[closed + 1:]]
        self.assertEqual({s for op, s in after if op == STATUS}, {1, 2, 3, 4})
        self.assertEqual({s for op, s in after if op == "get_coil"}, {1, 2, 3, 4})

    def test_close_from_the_callback_and_with_the_machine(self):
        handed = threading.Event()

        def closing(states):
            self.record(states)
            if len(self.calls) == 3:
                handed.wait(10)
                watcher.close()
        watcher = self.machine.watch(closing, idle_period=0.05)
        handed.set()
        self.until(lambda: watcher.closed)
        watcher._thread.join(10)
        self.pass_time(1)
        self.assertEqual(len(self.calls), 3)
        other = self.machine.watch(self.record)
        self.machine.close()
        self.assertTrue(other.closed)
        self.assertFalse(other._thread.is_alive())

    def test_refusals_before_anything_is_read(self):
        for callback, period, error in ((None, 1.0, TypeError), (self.record, True, TypeError),
                                        (self.record, "1", TypeError),
                                        (self.record, 0, ValueError),
                                        (self.record, -1.0, ValueError),
                                        (self.record, float("nan"), ValueError),
                                        (self.record, float("inf"), ValueError)):
            with self.subTest(period=period), self.assertRaises(error):
                self.machine.watch(callback, idle_period=period)
        self.assertEqual(self.line.stamps, [])
        # An axis that cannot be read: its error, nothing left open.
        self.line.fail_on(STATUS, CommunicationError("no answer"), station=9)
        with self.assertRaises(CommunicationError):
            self.machine.watch(self.record)
        self.assertEqual((running_pollers(), self.calls), ([], []))

    @unittest.skipUnless(hasattr(os, "fork"), "needs os.fork")
    def test_a_forked_child_has_watchers_of_its_own(self):
        watcher = self.machine.watch(self.record, idle_period=0.05)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)   # a threaded parent
            pid = os.fork()
        if pid == 0:
            code = 1
            try:
                watcher.close()      # the parent's: nothing here
                mine = []
                with self.machine.watch(mine.append, idle_period=0.05):
                    while len(mine) < 3:
                        self.clock.sleep(0.01)
                code = 0 if not watcher.closed else 2
            finally:
                os._exit(code)
        self.assertEqual(os.waitpid(pid, 0)[1], 0)
        calls = len(self.calls)
        self.until(lambda: len(self.calls) > calls + 2)
        self.assertFalse(watcher.closed)
