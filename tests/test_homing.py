"""Homing, end to end on the simulated line: both methods, both directions,
the result protocol, refusals, failures during a run, several stations at
once."""
import contextlib
import io
import sys
import threading
import time
import unittest
from unittest import mock

from tests import support
from tests.support import qzr_kov
from qzr_kov_sim import CommunicationError, SimulatedLine, VirtualClock

Direction, StopSource, FindingOMethod = (
    qzr_kov.Direction, qzr_kov.StopSource, qzr_kov.FindingOMethod)

# Homing profile in pulses (the scale stays 1): 2000 pulses/s to start,
# 20000 pulses/s, 0.1 s ramps.
PROFILE = (2000, 20000, 0.1)


class HomingCase(unittest.TestCase):
    """A controller on a simulated line whose clock is also the module's."""

    def setUp(self):
        self.clock = VirtualClock()
        patches = [mock.patch.object(qzr_kov, "_sleep", self.clock.sleep),
                   mock.patch.object(qzr_kov, "_now", self.clock.time)]
        for p in patches:
            p.start()
            self.addCleanup(p.stop)
        self.line = SimulatedLine("sim", clock=self.clock, layout={"physical_position": 20000})
        self.controller = qzr_kov.KOVAxisController(self.line)
        self.station = self.line.station(1)
        self.log = support.LogReader()
        self.stderr = io.StringIO()
        redirect = mock.patch.object(sys, "stderr", self.stderr)
        redirect.start()
        self.addCleanup(redirect.stop)

    def tearDown(self):
        # Collect whatever is still running so no worker outlives the test.
        for station in list(self.controller._find_o_threads):
            self.controller._find_o_threads.pop(station).join(10)
        self.assertEqual(self.stderr.getvalue(), "", "a worker complained")

    def home(self, direction=Direction.Negative, station=1, method=None):
        if method is not None:
            self.controller.finding_o_method = method
        self.controller.find_o(station, *PROFILE, direction=direction)
        return self.controller.wait_for_find_o_finish(station, 30)

    def start(self, direction=Direction.Negative):
        self.controller.find_o(1, *PROFILE, direction=direction)

    def when(self, condition):
        """Waits (really) until condition() holds while the worker runs."""
        deadline = time.time() + 30
        while not condition():
            self.assertLess(time.time(), deadline, "the run never got there")
            time.sleep(0.0005)

    def settle(self):
        """Lets the axis come to rest (nobody else moves the clock)."""
        self.clock.advance(10)
        self.assertFalse(self.station.moving)

    def assert_on_edge(self, edge):
        """The axis stopped on the first pulse past an origin sensor edge."""
        self.assertLessEqual(abs(self.station.physical_position - edge), 1)

    def coil_writes(self, *coils):
        return [c.args[1] for c in self.line.calls
                if c.op == "set_coil" and c.args[1] in coils]

    def messages(self):
        return [line.split(" - ", 1)[1] for line in self.log.lines()]


class LimitFirstThenBackwardTest(HomingCase):
    def test_negative_from_the_middle_of_the_travel(self):
        self.assertIs(self.home(Direction.Negative), True)
        self.assertEqual(self.station.count, 0)
        self.assertEqual(self.controller.get_position(1), 0.0)
        self.assert_on_edge(150)  # the origin sensor's falling edge
        self.assertEqual(self.coil_writes("R3", "R4", "R5", "R6"), ["R3", "R6"])
        self.assertEqual(self.messages(), [
            "Set (start velocity, velocity, acceleration time) to (2000.0, 20000.0, 0.1)",
            "Start finding o, station 1",
            "Finding o started, method 0, station 1",
            "Station 1 run negative",
            "Station 1, finding O stage 0 stop, source: 3",
            "Start finding O for station 1, direction 1",
            "Station 1, finding O stage 1 stopped, source: 2",
            "Set here O for station 1",
            "Wait for finding O done. Station 1, source 2",
        ])
        self.assertFalse(self.controller.is_finding_o(1))

    def test_positive_from_the_middle_of_the_travel(self):
        self.assertIs(self.home(Direction.Positive), True)
        self.assert_on_edge(-150)
        self.assertEqual(self.station.count, 0)
        self.assertEqual(self.coil_writes("R3", "R4", "R5", "R6"), ["R4", "R5"])

    def test_already_on_the_limit_searches_back_at_once(self):
        self.station.physical_position = -1200
        self.assertIs(self.home(Direction.Negative), True)
        self.assertEqual(self.coil_writes("R3", "R4", "R5", "R6"), ["R6"])
        self.assertNotIn("stage 0", "\n".join(self.messages()))

    def test_starting_on_the_origin(self):
        self.station.physical_position = 0
        self.assertIs(self.home(Direction.Negative), True)
        self.assertEqual(self.coil_writes("R3", "R4", "R5", "R6"), ["R3", "R6"])

    def test_rising_edge_stops_on_entering_the_origin_sensor(self):
        self.controller.origin_rising_valid(1, True)
        self.assertIs(self.home(Direction.Negative), True)
        self.assert_on_edge(-150)

    def test_search_back_that_meets_the_far_limit(self):
        self.station.origin_at = None
        self.station.count = 777
        self.assertIs(self.home(Direction.Negative), False)
        self.assertNotEqual(self.station.count, 0)
        self.assertIn("Station 1, finding O stage 1 stopped, source: 4", self.messages())
        self.assertNotIn("Set here O for station 1", self.messages())

    def stage_0_interrupted(self, interrupt, code):
        self.start(Direction.Negative)
        self.when(lambda: self.station.moving and self.station.physical_position < 15000)
        interrupt()
        self.assertIs(self.controller.wait_for_find_o_finish(1), False)
        self.assertEqual(self.coil_writes("R3", "R4", "R5", "R6"), ["R3"])
        messages = self.messages()
        self.assertIn("Station 1, finding O stage 0 stop, source: %d" % code, messages)
        self.assertEqual(messages[-1], "Wait for finding O done. Station 1, source %d" % code)
        self.assertGreater(self.station.physical_position, 0)

    def test_stage_0_ended_by_the_emergency_input(self):
        self.stage_0_interrupted(self.station.press_emergency, 6)

    def test_stage_0_ended_by_the_alarm(self):
        self.stage_0_interrupted(self.station.raise_alarm, 5)

    def test_stage_0_ended_by_a_stop_from_another_thread(self):
        self.stage_0_interrupted(lambda: self.controller.stop(1), 1)


class OriginOnlyTest(HomingCase):
    def test_negative_passes_the_sensor_and_stops_on_its_far_edge(self):
        self.assertIs(self.home(Direction.Negative, method=FindingOMethod.OriginOnly), True)
        self.assert_on_edge(-150)
        self.assertEqual(self.coil_writes("R3", "R4", "R5", "R6"), ["R5"])
        self.assertEqual(self.messages()[-5:], [
            "Finding o started, method 1, station 1",
            "Start finding O for station 1, direction -1",
            "Station 1, finding O(origin only) stopped, source: 2",
            "Set here O for station 1",
            "Wait for finding O done. Station 1, source 2",
        ])

    def test_positive_with_no_origin_on_the_way_ends_on_the_limit(self):
        self.assertIs(self.home(Direction.Positive, method=FindingOMethod.OriginOnly), False)
        self.assertIn("Station 1, finding O(origin only) stopped, source: 4", self.messages())
        self.assertNotEqual(self.station.count, 0)

    def test_starting_on_the_origin(self):
        self.station.physical_position = 50
        self.assertIs(self.home(Direction.Positive, method=FindingOMethod.OriginOnly), True)
        self.assert_on_edge(150)

    def test_limit_configuration_is_not_consulted(self):
        self.controller.disable_negative_limit(1)
        self.controller.finding_o_method = FindingOMethod.OriginOnly
        self.line.clear_calls()
        self.assertIs(self.home(Direction.Negative), True)
        self.assertEqual([c for c in self.line.calls if c.args[1:2] == ("R12",)], [])


class FailureDuringRunTest(HomingCase):
    def test_communication_failure_ends_the_worker_quietly(self):
        self.line.fail_on("get_coil", CommunicationError("line noise"), name="Y1", skip=20)
        self.assertIs(self.home(Direction.Negative), False)
        self.assertNotIn("Set here O for station 1", self.messages())
        # The controller is still usable, and a new run succeeds.
        self.controller.stop(1)
        self.settle()
        self.assertIs(self.home(Direction.Negative), True)

    def test_unknown_stop_source_code_ends_the_worker_quietly(self):
        self.line.script("get_int32", 9, 9, name="D20")
        self.start()
        with self.assertRaises(ValueError) as cm:
            self.controller.wait_for_find_o_finish(1)
        self.assertIn("9", str(cm.exception))
        self.assertNotIn("stage 0", "\n".join(self.messages()))
        # The failed read removed the entry: the outcome is lost, not kept.
        with self.assertRaises(ValueError) as cm:
            self.controller.wait_for_find_o_finish(1)
        self.assertEqual(str(cm.exception), "Axis is not finding origin point, or has been waited.")

    def test_forced_close_while_running(self):
        self.start()
        self.assertRaises(RuntimeError, self.controller.close)
        self.assertIsNotNone(self.controller._KOVAxisController__mew)
        self.controller.close(force=True)
        self.assertIsNone(self.controller._KOVAxisController__mew)
        self.assertTrue(self.controller.is_finding_o(1))
        self.controller._find_o_threads[1].join(10)
        self.assertFalse(self.controller._find_o_threads[1].is_alive())
        # Collecting now fails on the closed controller, and drops the entry.
        self.assertRaises(AttributeError, self.controller.wait_for_find_o_finish, 1)
        self.assertFalse(self.controller.is_finding_o(1))


class ResultProtocolTest(HomingCase):
    def test_waiting_with_a_time_limit_while_running(self):
        self.start()
        self.when(lambda: self.station.moving)
        self.assertIsNone(self.controller.wait_for_find_o_finish(1, 0))
        self.assertEqual(self.log.lines()[-1], "ERROR - Wait for finding O timeout, station 1")
        self.assertTrue(self.controller.is_finding_o(1))
        self.assertIs(self.controller.wait_for_find_o_finish(1), True)

    def test_collecting_twice_and_never_started(self):
        self.assertTrue(self.home())
        for station in (1, 2):
            with self.assertRaises(ValueError) as cm:
                self.controller.wait_for_find_o_finish(station)
            self.assertEqual(str(cm.exception),
                             "Axis is not finding origin point, or has been waited.")

    def test_new_run_refused_until_the_outcome_is_collected(self):
        self.start()
        self.controller._find_o_threads[1].join(30)
        self.assertTrue(self.controller.is_finding_o(1))
        with self.assertRaises(BlockingIOError) as cm:
            self.controller.find_o(1, *PROFILE)
        self.assertEqual(str(cm.exception), "Axis 1 has been finding o.")
        self.assertRaises(RuntimeError, self.controller.close)
        self.assertIs(self.controller.wait_for_find_o_finish(1), True)
        self.assertIs(self.home(), True)
        self.controller.close()

    def test_direction_is_checked_before_the_registry(self):
        self.start()
        with self.assertRaises(AssertionError) as cm:
            self.controller.find_o(1, *PROFILE, direction=-1)
        self.assertEqual(cm.exception.args, ())

    def test_default_direction_is_negative(self):
        self.controller.find_o(1, *PROFILE)
        self.assertIs(self.controller.wait_for_find_o_finish(1), True)
        self.assertEqual(self.coil_writes("R3", "R4"), ["R3"])

    def test_disabled_limit_on_the_start_side_is_refused(self):
        cases = [(Direction.Negative, self.controller.disable_negative_limit,
                  "禁用了负极限，却往负方向找原点。可能需要把找原点方式改为只使用原点信号"),
                 (Direction.Positive, self.controller.disable_positive_limit,
                  "禁用了正极限，却往正方向找原点。可能需要把找原点方式改为只使用原点信号")]
        for direction, disable, message in cases:
            with self.subTest(direction=direction):
                disable(1)
                self.line.clear_calls()
                with self.assertRaises(AssertionError) as cm:
                    self.controller.find_o(1, *PROFILE, direction=direction)
                self.assertEqual(str(cm.exception), message)
                self.assertEqual([c.op for c in self.line.calls], ["get_coil"])
                self.assertFalse(self.controller.is_finding_o(1))

    def test_worker_is_a_thread_made_through_the_module(self):
        made = []

        class Recording(threading.Thread):
            def __init__(self, *args, **kwargs):
                made.append((args, kwargs))
                threading.Thread.__init__(self, *args, **kwargs)

        with mock.patch.object(qzr_kov, "_Thread", Recording):
            self.assertIs(self.home(station=3), True)
        (args, kwargs), = made
        self.assertEqual(args, ())
        self.assertEqual(sorted(kwargs), ["args", "target"])
        self.assertEqual(kwargs["args"], (3, Direction.Negative))
        self.assertEqual(kwargs["target"], self.controller._find_o_thread_func)

    def test_a_worker_that_cannot_start_leaves_no_entry(self):
        class Unstartable(threading.Thread):
            def start(self):
                raise RuntimeError("can't start new thread")

        with mock.patch.object(qzr_kov, "_Thread", Unstartable):
            with self.assertRaises(RuntimeError):
                self.controller.find_o(1, *PROFILE)
        self.assertFalse(self.controller.is_finding_o(1))
        self.assertIs(self.home(), True)

    def test_a_worker_interrupted_while_starting_stays_registered(self):
        # Ctrl-C while start() waits for the new thread: the worker runs on
        # and its result must still be collectable.
        class Interrupted(threading.Thread):
            def start(self):
                threading.Thread.start(self)
                raise KeyboardInterrupt

        with mock.patch.object(qzr_kov, "_Thread", Interrupted):
            with self.assertRaises(KeyboardInterrupt):
                self.controller.find_o(1, *PROFILE)
        self.assertTrue(self.controller.is_finding_o(1))
        self.assertIs(self.controller.wait_for_find_o_finish(1, 60), True)


class ManyStationsTest(HomingCase):
    def test_eight_stations_home_at_once_on_one_line(self):
        stations = range(1, 9)
        for n in stations:
            self.line.station(n).physical_position = 3000 * n
            if n % 2:
                self.line.station(n).origin_at = 500 * n
        for n in stations:
            self.controller.find_o(n, *PROFILE, direction=Direction.Negative)
        results = [self.controller.wait_for_find_o_finish(n, 60) for n in stations]
        self.assertEqual(results, [True] * 8)
        for n in stations:
            self.assertEqual(self.line.station(n).count, 0)
        done = [m for m in self.messages() if m.startswith("Wait for finding O done")]
        self.assertEqual(len(done), 8)


if __name__ == "__main__":
    unittest.main()
