"""Communication failures on the line, injected at random (seeded): every
command either completes or raises the master's own exception object,
untouched; a command that fails logs nothing; homing workers end quietly
and the collected result follows the station's stop source; and the
controller works normally once the line is good again."""
import io
import random
import sys
import threading
import unittest
from unittest import mock

from tests import support
from tests.support import qzr_kov
from qzr_kov_sim import CommunicationError, SimulatedLine, VirtualClock

Direction, StopSource, FindingOMethod = (
    qzr_kov.Direction, qzr_kov.StopSource, qzr_kov.FindingOMethod)

SEEDS = (1, 2, 3, 5, 8, 13)
PROFILE = (2000.0, 20000.0, 0.1)
LOCATE_FAILED = "定位动作因故未能完成:"


class WitnessLine(SimulatedLine):
    """A simulated line that keeps every exception it raises, with the
    thread that got it."""

    def _configure(self, params):
        SimulatedLine._configure(self, params)
        self.raised = []

    def _exchange(self, op, args):
        try:
            return SimulatedLine._exchange(self, op, args)
        except Exception as e:
            self.raised.append((threading.current_thread(), op, e))
            raise

    def raised_in(self, thread, since=0):
        return [e for t, op, e in self.raised[since:] if t is thread]


def commands(c, station, rng):
    """(label, call, log line or None) for one random command on STATION."""
    s = station
    velocity = rng.choice((100.0, 1000.0, 5000.0))
    target = rng.choice((0.0, 150.0, -50.0, 2000.0))
    return rng.choice([
        ("set_start_velocity", lambda: c.set_start_velocity(s, velocity),
         "Set start velocity to %r, station %d" % (velocity, s)),
        ("set_velocity", lambda: c.set_velocity(s, velocity),
         "Set velocity to %r, station %d" % (velocity, s)),
        ("set_acceleration_time", lambda: c.set_acceleration_time(s, 0.05),
         "Set acceleration time to 0.05, station %d" % s),
        ("set_parameters", lambda: c.set_parameters(s, 100.0, velocity, 0.05),
         "Set (start velocity, velocity, acceleration time) to (100.0, %r, 0.05)" % velocity),
        ("locate_absolutely", lambda: c.locate_absolutely(s, target),
         "Absolutely locating with target %r, station %d" % (target, s)),
        ("locate_relatively", lambda: c.locate_relatively(s, 25),
         "Relatively locating with target 25, station %d" % s),
        ("locate_relatively again", lambda: c.locate_relatively(s),
         "Relatively locating with target None, station %d" % s),
        ("run_positive", lambda: c.run_positive(s), "Station %d run positive" % s),
        ("run_negative", lambda: c.run_negative(s), "Station %d run negative" % s),
        ("stop", lambda: c.stop(s), "Stop station %d" % s),
        ("enable_axis", lambda: c.enable_axis(s), "Enable axis(station) %d" % s),
        ("disable_axis", lambda: c.disable_axis(s), "Disable axis(station) %d" % s),
        ("status_words", lambda: c.status_words(s), None),
        ("get_position", lambda: c.get_position(s), None),
        ("set_position", lambda: c.set_position(s, 12.0), None),
        ("set_here_o", lambda: c.set_here_o(s), "Set here O for station %d" % s),
        ("is_running", lambda: c.is_running(s), None),
        ("is_alarming", lambda: c.is_alarming(s), None),
        ("at_o", lambda: c.at_o(s), None),
        ("at_negative_limit", lambda: c.at_negative_limit(s), None),
        ("get_stop_source", lambda: c.get_stop_source(s), None),
        ("get_coil", lambda: c.get_coil(s, "X3"), None),
        ("set_coil", lambda: c.set_coil(s, "R10", False), None),
        ("get_coil_uint16", lambda: c.get_coil_uint16(s, "X0"), None),
        ("set_coil_uint16", lambda: c.set_coil_uint16(s, "R20", 5), None),
        ("disable_alarm", lambda: c.disable_alarm(s), "Disable alarm, station %d" % s),
        ("enable_alarm", lambda: c.enable_alarm(s), "Enable alarm, station %d" % s),
        ("enable_positive_limit", lambda: c.enable_positive_limit(s),
         "Enable positive limit, station %d" % s),
        ("negative_limit_is_disabled", lambda: c.negative_limit_is_disabled(s), None),
        ("origin_rising_valid", lambda: c.origin_rising_valid(s, True),
         "Set origin trigger edge as rising, station %d" % s),
        ("reverse_direction_output", lambda: c.reverse_direction_output(s, False),
         "Set reverse direction output to False, station %d" % s),
        ("wait_for_locating_done", lambda: c.wait_for_locating_done(s, 2.0), "wait"),
    ])


class FaultyLineCase(unittest.TestCase):
    def setUp(self):
        self.clock = VirtualClock(yield_time=0.00005)
        for name, value in (("_sleep", self.clock.sleep), ("_now", self.clock.time)):
            patch = mock.patch.object(qzr_kov, name, value)
            patch.start()
            self.addCleanup(patch.stop)
        self.line = WitnessLine("faulty", clock=self.clock,
                                layout={"physical_position": 20000})
        self.c = qzr_kov.KOVAxisController(self.line)
        self.addCleanup(self.close)
        self.log = support.LogReader()
        self.stderr = io.StringIO()
        redirect = mock.patch.object(sys, "stderr", self.stderr)
        redirect.start()
        self.addCleanup(redirect.stop)

    def close(self):
        for station in list(self.c._find_o_threads):
            self.c._find_o_threads.pop(station).join(30)
        self.line.clear_faults()
        self.c.close()
        self.assertEqual(self.stderr.getvalue(), "", "something complained on stderr")

    def messages(self):
        return [line.split(" - ", 1)[1] for line in self.log.lines()]

    def settle(self, *stations):
        """Stops the axes and lets them come to rest, on a good line, with
        the drive enabled and every input in force."""
        self.line.clear_faults()
        for s in stations:
            self.c.stop(s)
            self.c.enable_axis(s)
            self.c.set_coil_uint16(s, "R10", 0)
        self.clock.advance(60)
        for s in stations:
            self.assertFalse(self.line.station(s).moving)

    def assert_usable(self, station):
        """The controller still does a whole job once the line is good."""
        self.settle(station)
        self.c.set_parameters(station, *PROFILE)
        self.c.locate_absolutely(station, 3000)
        self.c.wait_for_locating_done(station, 30)
        self.assertEqual(self.c.get_position(station), 3000.0)
        self.c.finding_o_method = FindingOMethod.LimitFirstThenBackward
        self.c.find_o(station, *PROFILE)
        self.assertIs(self.c.wait_for_find_o_finish(station, 60), True)
        self.assertEqual(self.c.get_position(station), 0.0)


class CommandsTest(FaultyLineCase):
    def run_commands(self, seed, rate, count=250):
        rng = random.Random(seed)
        self.line.fail_randomly(rate, seed=seed)
        me = threading.current_thread()
        completed = failed = 0
        for i in range(count):
            station = rng.choice((1, 2))
            label, command, line = commands(self.c, station, rng)
            if rng.random() < 0.05:
                # The request lands but its answer is lost.
                self.line.fail_on(None, CommunicationError("answer lost"), applied=True)
            mark = len(self.line.raised)
            # No collection needed between commands: move the mark by hand.
            self.log.offset = self.log._size()
            where = "seed %d, command %d (%s)" % (seed, i, label)
            try:
                command()
            except Exception as e:  # noqa: B902 - checked below
                errors = self.line.raised_in(me, mark)
                if errors:
                    # The master's exception, the same object, and the first
                    # failure ended the command.
                    self.assertEqual(len(errors), 1, where)
                    self.assertIs(e, errors[0], where)
                    self.assertIsNone(e.__context__, where)
                    self.assertEqual(self.messages(), [], where)
                    failed += 1
                else:
                    # Nothing failed on the line: only the wait may refuse.
                    self.assertEqual(label, "wait_for_locating_done", where)
                    if isinstance(e, TimeoutError):
                        self.assertEqual(str(e), "定位超时", where)
                        self.assertEqual(self.messages(), [], where)
                    else:
                        self.assertIs(type(e), OSError, where)
                        self.assertTrue(str(e).startswith(LOCATE_FAILED), where)
                        self.assertEqual(len(self.messages()), 1, where)
            else:
                # Nothing is caught inside: a command that completed met no
                # failure at all.
                self.assertEqual(self.line.raised_in(me, mark), [], where)
                if line == "wait":
                    self.assertEqual(self.messages(),
                                     ["Station %d locating done. Stop source: 0" % station], where)
                else:
                    self.assertEqual(self.messages(), [line] if line else [], where)
                completed += 1
            self.line.clear_faults()
            self.line.fail_randomly(rate, seed=seed * 1000 + i)
        self.assertGreater(completed, 0)
        self.assertGreater(failed, 0)
        self.line.clear_faults()
        self.assert_usable(1)

    def test_occasional_failures(self):
        for seed in SEEDS[:3]:
            with self.subTest(seed=seed):
                self.run_commands(seed, 0.1)

    def test_a_line_that_mostly_fails(self):
        for seed in SEEDS[3:]:
            with self.subTest(seed=seed):
                self.run_commands(seed, 0.6)

    def test_failing_close_keeps_the_controller_open(self):
        error = CommunicationError("port busy")
        self.line.fail_on("close", error)
        with self.assertRaises(CommunicationError) as caught:
            self.c.close()
        self.assertIs(caught.exception, error)
        self.assertIs(self.c._KOVAxisController__mew, self.line)
        self.assert_usable(2)


class HomingTest(FaultyLineCase):
    def home(self, station, method, direction, rate, seed):
        """Starts a run on a line failing at RATE; returns the collected
        result, or the exception that the start or the collection raised."""
        self.c.finding_o_method = method
        self.line.fail_randomly(rate, seed=seed)
        me = threading.current_thread()
        mark = len(self.line.raised)
        try:
            self.c.find_o(station, *PROFILE, direction=direction)
        except Exception as e:  # noqa: B902 - checked below
            self.assertEqual(self.line.raised_in(me, mark), [e])
            self.assertFalse(self.c.is_finding_o(station))
            return e
        worker = self.c._find_o_threads[station]
        worker.join(60)
        self.assertFalse(worker.is_alive(), "the worker is still running")
        self.line.clear_faults()
        expected = self.line.station(station).stop_code == StopSource.Origin
        result = self.c.wait_for_find_o_finish(station, 0)
        self.assertIs(result, expected)
        worker_errors = self.line.raised_in(worker, mark)
        if worker_errors:
            self.assertNotIn("Set here O for station %d" % station, self.messages())
        return result

    def test_random_failures_during_runs(self):
        outcomes = set()
        runs = 0
        for seed in SEEDS:
            rng = random.Random(seed)
            for run in range(4):
                station = rng.choice((1, 2, 3))
                method = rng.choice(tuple(FindingOMethod))
                direction = rng.choice(tuple(Direction))
                with self.subTest(seed=seed, run=run):
                    self.settle(station)
                    self.line.station(station).physical_position = rng.choice((-800, 5000, 20000))
                    self.log.mark()
                    result = self.home(station, method, direction, rng.choice((0.01, 0.05, 0.3)),
                                       seed * 100 + run)
                    outcomes.add(result if isinstance(result, bool) else "refused")
                    runs += 1
        self.assertEqual(self.stderr.getvalue(), "")
        self.assertIn(False, outcomes)
        self.assert_usable(1)

    def test_failure_in_stage_0_ends_the_run_with_false(self):
        for skip in (0, 1, 5, 20):
            with self.subTest(skip=skip):
                self.settle(1)
                self.line.station(1).physical_position = 20000
                self.log.mark()
                self.line.fail_on("get_coil", CommunicationError, name="Y1", skip=skip)
                self.c.find_o(1, *PROFILE)
                self.c._find_o_threads[1].join(60)
                self.line.clear_faults()
                self.clock.advance(60)      # the run goes on to the limit
                self.assertIs(self.c.wait_for_find_o_finish(1), False)
                messages = self.messages()
                self.assertEqual(messages[-1], "Wait for finding O done. Station 1, source 3")
                self.assertNotIn("Set here O for station 1", messages)
                self.assertEqual(self.stderr.getvalue(), "")
        self.assert_usable(1)

    def test_failing_collection_read_loses_the_result_only(self):
        self.c.find_o(1, *PROFILE)
        self.c._find_o_threads[1].join(60)
        error = CommunicationError("no answer")
        self.line.fail_on("get_int32", error, name="D20")
        with self.assertRaises(CommunicationError) as caught:
            self.c.wait_for_find_o_finish(1)
        self.assertIs(caught.exception, error)
        self.assertFalse(self.c.is_finding_o(1))
        self.assert_usable(1)


if __name__ == "__main__":
    unittest.main()
