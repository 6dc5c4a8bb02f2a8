"""The poller of qzr_kov_motion: one thread per controller watches every
running move in turn, ends each one as its station stops (target, limit,
stop, a failing line for one station only), ends when no move is left and
starts again with the next, and leaves no thread behind. On a simulated line
whose clock moves only when the module's _sleep is called."""
import logging
import threading
import unittest
from unittest import mock

from tests import support
from tests.support import qzr_kov
from qzr_kov_sim import CommunicationError, SimulatedLine
from qzr_kov_motion import Axis, MotionError, wait_all
from qzr_kov_motion.poller import running_pollers

StopSource = qzr_kov.StopSource
KOV = qzr_kov.KOVAxisController
LAYOUT = {"physical_position": 0, "origin_at": None, "negative_limit_at": -3000,
          "positive_limit_at": 3000}


class PollerCase(unittest.TestCase):
    STATIONS = (1, 2, 3, 4)

    def setUp(self):
        self.clock = support.virtual_clock(self)
        self.line = SimulatedLine("poller", clock=self.clock, layout=LAYOUT)
        self.c = self.controller()
        self.axes = {s: Axis(self.c, s) for s in self.STATIONS}
        self.log = support.LogReader()

    def controller(self, controller_class=KOV):
        controller = controller_class(self.line)
        self.addCleanup(controller.close)
        for station in self.STATIONS:
            controller.set_ppmm(station, 100)
            controller.set_parameters(station, 10.0, 200.0, 0.02)
        return controller

    def tearDown(self):
        self.assertNoPollerLeft()

    def assertNoPollerLeft(self):
        for thread in running_pollers():
            thread.join(10)
        self.assertEqual(running_pollers(), [])

    def polled(self):
        """Stations in the order of their running-bit reads."""
        return [call.args[0] for call in self.line.find_calls("get_coil", name="Y1")]


class EndingsTest(PollerCase):
    def test_each_move_ends_its_own_way(self):
        self.line.fail_on("get_coil", CommunicationError("station 3 gone"), station=3,
                          name="Y1", skip=2)
        motions = {1: self.axes[1].move_to(5.0),      # to its target
                   2: self.axes[2].move_to(50.0),     # into the positive limit switch
                   3: self.axes[3].move_to(-20.0),    # the line fails for it
                   4: self.axes[4].move_by(-25.0)}    # stopped on the way
        self.assertEqual(len(running_pollers()), 1)
        self.assertIsInstance(motions[3].exception(10), CommunicationError)
        self.assertTrue(motions[4].running())
        self.axes[4].stop()
        self.assertEqual(motions[1].result(10), 5.0)
        limit, stopped = motions[2].exception(10), motions[4].exception(10)
        self.assertEqual((limit.station, limit.stop_source, limit.position),
                         (2, StopSource.PositiveLimit, 30.0))
        self.assertEqual(str(limit), "station 2: the move ended early: it ran into the "
                         "positive limit switch, at 30.00 mm (定位动作因故未能完成:4)")
        self.assertEqual(str(limit.__cause__), "定位动作因故未能完成:4")
        self.assertEqual((stopped.station, stopped.stop_source), (4, StopSource.Command))
        self.assertLess(stopped.position, 0.0)
        # Station 3 failed alone, and was polled no more; the others went
        # on to their ends.
        self.assertEqual(self.polled().count(3), 3)
        lines = self.log.lines()
        for station, source in ((1, 0), (2, 4), (4, 1)):
            self.assertIn("INFO - Station %d locating done. Stop source: %d"
                          % (station, source), lines)
        self.assertEqual([l for l in lines if "Station 3 locating" in l], [])

    def test_the_end_is_logged_through_the_module_logger_in_use(self):
        other = logging.getLogger("qzr_kov.poller-test")
        with mock.patch.object(qzr_kov, "logger", other), \
                self.assertLogs(other, "INFO") as logged:
            self.assertEqual(self.axes[1].move_by(1.0).result(10), 1.0)
        self.assertEqual(logged.output[-1], "INFO:qzr_kov.poller-test:Station 1 locating "
                         "done. Stop source: 0")

    def test_failed_reads_at_the_end(self):
        # Stop source unreadable: the line's error. Position unreadable after
        # an early end: the MotionError without it.
        self.line.fail_on("get_int32", CommunicationError("no D20"), station=1, name="D20")
        self.assertEqual(str(self.axes[1].move_by(1.0).exception(10)), "no D20")
        self.line.fail_on("get_multi_int32", CommunicationError("no DT10"), station=1,
                          name="DT10")
        error = self.axes[1].move_to(40.0).exception(10)
        self.assertEqual((error.stop_source, error.position), (StopSource.PositiveLimit, None))
        # A code that is no stop source: the enumeration's error, no log line.
        self.log.mark()
        self.line.script("get_int32", 9, station=1, name="D20")
        self.assertIsInstance(self.axes[1].move_by(-1.0).exception(10), ValueError)
        self.assertEqual(self.log.lines(), ["INFO - Relatively locating with target -1.0, "
                                            "station 1"])


class RoundsTest(PollerCase):
    def test_only_running_stations_in_turn(self):
        for station in (1, 2, 3):
            self.c.set_velocity(station, 10.0)
        motions = [self.axes[s].move_by(10.0) for s in (3, 1, 2)]
        self.line.clear_calls()
        while len(self.polled()) < 40:
            self.clock.sleep(0.001)
        polled = self.polled()
        for motion in motions:
            motion.cancel()
        # Past the round under way when the last move came: rounds of the
        # three stations in the order their moves began, station 4 never.
        start = polled.index(3, 2)
        self.assertEqual(polled[start:start + 36], [3, 1, 2] * 12, polled)

    def test_ends_when_idle_and_starts_again(self):
        # Slow moves: a thousand polls or more, the poller cannot be gone
        # before it is looked at.
        for station in (1, 2):
            self.c.set_velocity(station, 10.0)
        first = self.axes[1].move_by(10.0)
        [poller] = running_pollers()
        first.result(10)
        poller.join(10)
        self.assertFalse(poller.is_alive())
        self.assertEqual(running_pollers(), [])
        second = self.axes[2].move_by(10.0)
        [again] = running_pollers()
        self.assertIsNot(again, poller)
        self.assertEqual(second.result(10), 10.0)

    def test_one_poller_per_controller(self):
        other = self.controller()
        self.c.set_velocity(1, 10.0)
        self.c.set_velocity(2, 10.0)
        motions = [self.axes[1].move_by(2.0), Axis(other, 2).move_by(2.0)]
        self.assertEqual(len(running_pollers()), 2)
        self.assertEqual(wait_all(motions, 10), [2.0, 2.0])

    def test_two_moves_on_one_station_end_together(self):
        self.c.set_velocity(1, 10.0)
        first = self.axes[1].move_by(1.0)
        second = self.axes[1].move_by(3.0)    # ignored by the moving station
        self.assertEqual(first.result(10), 1.0)
        # Where the first took the axis is not where the second aimed.
        error = second.exception(10)
        self.assertEqual((error.stop_source, error.position), (StopSource.Null, 1.0))
        self.assertRegex(str(error), r"^station 1: the move ended at 1\.00 mm, not at its "
                                     r"target 3\.\d\d mm")


class CancelDuringPollTest(PollerCase):
    def test_cancel_while_a_poll_holds_the_line(self):
        in_poll, stop_called = threading.Event(), threading.Event()

        def blocking_poll(station, name):
            in_poll.set()
            stop_called.wait(10)
            return True

        class Signalling(KOV):
            def stop(self, station):
                stop_called.set()    # then waits for the line
                KOV.stop(self, station)

        axis = Axis(self.controller(Signalling), 1)
        self.c.set_velocity(1, 10.0)
        motion = axis.move_by(20.0)
        self.line.script("get_coil", blocking_poll, station=1, name="Y1")
        self.assertTrue(in_poll.wait(10))
        self.assertTrue(motion.cancel())
        self.assertEqual((motion.cancelled(), self.line.station(1).moving), (True, False))
        self.assertIn("INFO - Station 1 locating done. Stop source: 1", self.log.lines())


class CallbacksTest(PollerCase):
    def test_callbacks_run_outside_the_poller(self):
        added = threading.Event()
        # The first poll of station 1 waits until the callback is in place.
        self.line.script("get_coil", lambda station, name: added.wait(10), station=1,
                         name="Y1")
        self.c.set_velocity(2, 10.0)
        short, long = self.axes[1].move_by(0.5), self.axes[2].move_by(2.0)
        seen = []
        # Waits for a move the poller has yet to end: in the poller's own
        # thread this would never return.
        short.add_done_callback(lambda _: seen.append((threading.current_thread().name,
                                                       long.result(10))))
        added.set()
        self.assertEqual(wait_all([short, long], 10), [0.5, 2.0])
        for thread in threading.enumerate():
            if thread.name.startswith("qzr_kov_motion end"):
                thread.join(10)
        [(thread, result)] = seen
        self.assertEqual((thread, result), ("qzr_kov_motion end of a move, station 1", 2.0))


class ThousandMovesTest(PollerCase):
    def test_no_thread_left_behind(self):
        before = set(threading.enumerate())
        ends = []
        for n in range(250):
            motions = [self.axes[s].move_by(0.5 if n % 2 else -0.5) for s in self.STATIONS]
            motions[n % 4].add_done_callback(ends.append)
            wait_all(motions, 10)
        self.assertEqual(len(ends), 250)
        self.assertNoPollerLeft()
        for thread in set(threading.enumerate()) - before:
            thread.join(10)
        self.assertEqual(set(threading.enumerate()) - before, set())
        self.assertEqual([self.axes[s].position for s in self.STATIONS], [0.0] * 4)


if __name__ == "__main__":
    unittest.main()
