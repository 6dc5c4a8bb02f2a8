"""qzr_kov_motion tells where a move really ended: a move is a success only
on its target's pulse count and, with an encoder, where the encoder
followed; soft limits are checked on the position the pulse count gives;
what is no target is refused before any call. And its failure paths: a
cancel that loses a read, a poller that cannot start, a forked child, and
asyncio on 3.6. Simulated lines on a virtual clock (a scaled one where a
loop's own time must pass)."""
import asyncio
import concurrent.futures
import logging
import os
import sys
import threading
import unittest
import warnings
from unittest import mock

from tests.support import qzr_kov
from tests.test_motion_cancel import SlowRampCase, awaiting
from tests.test_motion_poller import KOV, PollerCase
from qzr_kov_sim import Call, CommunicationError
from qzr_kov_motion import Axis, LimitError, MotionError, stopping

StopSource = qzr_kov.StopSource
Direction = qzr_kov.Direction


class ArrivalTest(PollerCase):
    def test_a_move_the_station_did_not_take_fails(self):
        # Station 5 has no profile: velocity 0, and the station ignores the
        # start. Standing at its target already, it is where it was sent.
        fresh = Axis(self.c, 5)
        self.c.set_ppmm(5, 100)
        for start, target in ((lambda: fresh.move_to(12.5), "12.50"),
                              (lambda: fresh.move_by(-2.0), "-2.00")):
            error = start().exception(10)
            self.assertIsInstance(error, MotionError)
            self.assertEqual((error.station, error.stop_source, error.position),
                             (5, StopSource.Null, 0.0))
            self.assertEqual(str(error), "station 5: the move ended at 0.00 mm, not at its "
                             "target %s mm (counter at 0 pulses, target %d; the station "
                             "reported no stop source)" % (target, float(target) * 100))
        self.assertEqual([event[1:] for event in self.line.station(5).history],
                         [("refused", "absolute"), ("refused", "relative")])
        self.assertEqual(fresh.move_to(0.0).result(10), 0.0)

    def test_a_stall_is_a_following_error_where_there_is_an_encoder(self):
        # The carriage meets an obstacle at 10 mm: the counter goes on to
        # 25 mm, the encoder stays.
        self.line.station(1).obstacle_at = 1000
        plain, watched = Axis(self.c, 1), Axis(self.c, 1, "x", encoder=(100, 0.05))
        self.assertEqual(plain.move_to(25.0).result(10), 25.0)  # all the counter can tell
        self.c.set_position(1, 0.0)    # as homing would: the counter alone is set
        error = watched.move_to(25.0).exception(10)
        self.assertEqual((error.stop_source, error.position), (StopSource.Null, 25.0))
        self.assertEqual(str(error), "station 1: following error: the counter moved 25.00 mm "
                         "and the encoder 0.00 mm, more than the tolerance of 0.05 mm apart, "
                         "at 25.00 mm (the station reported no stop source)")
        # Away from the obstacle both agree again, whatever they read.
        self.assertEqual(watched.move_by(-15.0).result(10), 10.0)
        self.assertEqual(self.line.station(1).encoder, -500)

    def test_the_encoder_counts_in_its_own_scale_and_sense(self):
        # Inverted direction output: the encoder counts the other way, at
        # 4 counts per motor pulse here (given as -400 per mm).
        self.c.reverse_direction_output(2, True)
        axis = Axis(self.c, 2, encoder=(-400, 0.01))
        station = self.line.station(2)
        real_encoder = type(station)._encoder_now
        with mock.patch.object(type(station), "_encoder_now",
                               lambda s: real_encoder(s) * 4 if s is station else real_encoder(s)):
            self.assertEqual(axis.move_to(7.5).result(10), 7.5)
        self.assertEqual(Axis(self.c, 2, encoder=(400, 0.01)).move_by(-1.0).exception(10)
                         .stop_source, StopSource.Null)

    def test_reads_around_a_move(self):
        # With an encoder: the status words before; always: the stop source
        # and the status words after the running bit showed the stop.
        axis = Axis(self.c, 1, encoder=(100, 0.1))
        self.line.clear_calls()
        axis.move_to(2.0).result(10)
        calls = self.line.calls
        self.assertEqual(calls[:3], [Call("get_multi_int32", (1, "DT10", 11)),
                                     Call("set_int32", (1, "DT6", 200)),
                                     Call("set_coil", (1, "R1", True))])
        self.assertEqual(calls[-3:], [Call("get_coil", (1, "Y1")), Call("get_int32", (1, "D20")),
                                      Call("get_multi_int32", (1, "DT10", 11))])
        self.assertEqual(set(calls[3:-2]), {Call("get_coil", (1, "Y1"))})
        self.line.clear_calls()
        self.axes[1].move_by(1.0).result(10)      # no encoder: the counter once, before
        self.assertEqual(self.line.calls[:2], [Call("get_int32", (1, "DT10")),
                                               Call("set_int32", (1, "DT8", 100))])

    def test_an_unreadable_end_is_no_success(self):
        self.line.fail_on("get_multi_int32", CommunicationError("no status"), station=1)
        self.assertEqual(str(self.axes[1].move_by(1.0).exception(10)), "no status")


class TargetTest(PollerCase):
    def test_the_travel_holds_where_the_pulse_count_ends(self):
        # 10 pulses per mm; the module truncates toward zero, so 1.05 mm is
        # 10 pulses: 1.0 mm, outside the travel.
        self.c.set_ppmm(3, 10)
        axis = Axis(self.c, 3, "w", travel=(1.05, 10.0), positions={"low": 1.05})
        self.c.set_position(3, 5.0)
        self.line.clear_calls()
        for start, text, end in (
                (lambda: axis.move_to(1.05), "the target 1.05 mm would end at 1.0 mm,", 1.0),
                (lambda: axis.move_to("low"), "the target 1.05 mm would end at 1.0 mm,", 1.0),
                (lambda: axis.jog(Direction.Negative), "would end at 1.0 mm", 1.0)):
            with self.assertRaises(LimitError) as caught:
                start()
            self.assertIn(text, str(caught.exception))
            self.assertEqual(caught.exception.target, end)
        self.assertEqual(self.line.calls, [Call("get_int32", (3, "DT10"))])   # the jog's
        self.c.set_position(3, 1.1)
        with self.assertRaises(LimitError) as caught:
            axis.move_by(-0.1)
        self.assertEqual(str(caught.exception), "axis w: a move by -0.1 mm from 1.1 mm would end "
                         "at 1.0 mm, outside its travel [1.05, 10.0] mm")
        self.assertEqual(axis.move_by(-0.09).result(10), 1.1)    # 0 pulses
        # Just below a travel end that is a whole pulse: that very pulse.
        edge = Axis(self.c, 4, travel=(0.0, 20.0))
        self.assertEqual(edge.move_to(-0.001).result(10), 0.0)

    def test_what_is_no_target_is_refused_before_any_call(self):
        axis = Axis(self.c, 1, "x", travel=(-5.0, 5.0))
        plain = self.axes[2]
        self.line.clear_calls()
        for start in (lambda: axis.move_to(True), lambda: plain.move_to(False),
                      lambda: plain.move_by(True), lambda: plain.move_by("1"),
                      lambda: plain.move_to(None), lambda: axis.target(True),
                      lambda: plain.home(True, 10.0, 0.1),
                      lambda: Axis(self.c, 1, travel=(0, True)),
                      lambda: Axis(self.c, 1, encoder=(False, 0.1))):
            with self.assertRaises(TypeError):
                start()
        nan, inf = float("nan"), float("inf")
        for start in (lambda: axis.move_to(nan), lambda: plain.move_to(inf),
                      lambda: plain.move_by(-inf), lambda: plain.move_by(nan),
                      lambda: plain.home(1.0, nan, 0.1), lambda: plain.home(1.0, 10.0, inf),
                      lambda: plain.home(1.0, 10.0, 0.1, 2),
                      lambda: Axis(self.c, 1, encoder=(0, 0.1)),
                      lambda: Axis(self.c, 1, encoder=(100, -0.1))):
            with self.assertRaises(ValueError) as caught:
                start()
            self.assertNotIsInstance(caught.exception, LimitError)
        self.assertEqual(self.line.calls, [])


class CancelTest(PollerCase):
    def controller_failing_after_stop(self, times):
        """A controller on the line whose stop makes the next TIMES reads of
        the running bit fail (None: all of them)."""
        line = self.line

        class FailingAfterStop(KOV):
            def stop(self, station):
                KOV.stop(self, station)
                line.fail_on("get_coil", CommunicationError("lost"), station=station,
                             name="Y1", times=times)

        controller = self.controller(FailingAfterStop)
        controller.set_parameters(1, 10.0, 20.0, 2.0)     # seconds to ramp down
        return Axis(controller, 1)

    def under_way(self, axis):
        """A move of AXIS well under way, that takes a while to stop."""
        motion = axis.move_to(25.0)
        while self.line.station(1).count < 500:
            self.clock.sleep(0.01)
        return motion

    def test_a_lost_answer_while_stopping_is_read_again(self):
        motion = self.under_way(self.controller_failing_after_stop(times=1))
        self.assertTrue(motion.cancel())
        self.assertEqual((motion.cancelled(), self.line.station(1).moving), (True, False))

    def test_reads_that_keep_failing_come_out_of_cancel(self):
        motion = self.under_way(self.controller_failing_after_stop(times=None))
        with self.assertRaises(CommunicationError):
            motion.cancel()
        self.assertFalse(motion.cancelled())
        self.assertEqual(str(motion.exception(10)), "lost")
        self.assertTrue(self.line.station(1).moving)     # not said to rest while it moves
        self.line.clear_faults()
        while self.line.station(1).moving:
            self.clock.sleep(0.01)


class PollerStartTest(PollerCase):
    def test_a_poller_that_cannot_start_stops_its_axis(self):
        real_start = threading.Thread.start

        def start(thread):
            if thread.name.startswith("qzr_kov_motion poller"):
                raise RuntimeError("can't start new thread")
            real_start(thread)

        self.c.set_velocity(1, 10.0)
        with mock.patch.object(threading.Thread, "start", start):
            with self.assertRaises(RuntimeError):
                self.axes[1].move_by(20.0)
        self.assertEqual(self.line.find_calls("set_coil", name="R0"),
                         [Call("set_coil", (1, "R0", True))])
        station = self.line.station(1)
        while station.moving:
            self.clock.sleep(0.01)
        self.assertEqual(station.stop_code, StopSource.Command)


@unittest.skipUnless(hasattr(os, "fork"), "needs os.fork")
class ForkTest(PollerCase):
    def in_child(self, body):
        """Runs BODY in a forked child, in a thread given 10 s to end;
        True if it ended there without an error."""
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)   # a threaded parent
            pid = os.fork()
        if pid == 0:
            ended = []
            try:
                worker = threading.Thread(target=lambda: ended.append(body()), daemon=True)
                worker.start()
                worker.join(10)
            finally:
                os._exit(0 if ended == [True] else 1)
        _, status = os.waitpid(pid, 0)
        return os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0

    def test_a_child_gets_fresh_pollers(self):
        # The parent's poller stays parked in its idle gap, holding nothing,
        # while the child is made.
        parent, parked, go = os.getpid(), threading.Event(), threading.Event()
        sleep = qzr_kov._sleep

        def parking_sleep(seconds):
            if os.getpid() == parent and threading.current_thread().name.startswith(
                    "qzr_kov_motion poller"):
                parked.set()
                go.wait(10)
            sleep(seconds)

        with mock.patch.object(qzr_kov, "_sleep", parking_sleep):
            moving = self.axes[1].move_by(1.0)
            self.assertTrue(parked.wait(10))
            child = self.in_child(lambda: self.axes[2].move_by(2.0).result(8) == 2.0)
            go.set()
            self.assertEqual(moving.result(10), 1.0)
        self.assertTrue(child)

    def test_a_child_sees_no_homing_run_of_its_parent(self):
        parent, release = os.getpid(), threading.Event()

        class Pending(KOV):
            def find_o(self, *args):
                pass    # the run is begun; its result is pending

            def wait_for_find_o_finish(self, station, timeout=None):
                return release.wait(60) if os.getpid() == parent else False

        axis = Axis(self.controller(Pending), 1)
        run = axis.home(10.0, 20.0, 0.1)

        def stop_in_child():
            try:
                with stopping(axis):
                    raise ValueError("in the child")
            except ValueError:
                return True

        child = self.in_child(stop_in_child)
        release.set()
        self.assertTrue(run.result(10))
        self.assertTrue(child)


class AsyncioTest(SlowRampCase):
    def test_a_time_out_or_a_cancel_leaves_the_axis_at_rest_and_nothing_late(self):
        records = []
        handler = logging.Handler()
        handler.emit = records.append
        for name in ("concurrent.futures", "asyncio"):
            logging.getLogger(name).addHandler(handler)
            self.addCleanup(logging.getLogger(name).removeHandler, handler)
        axis = self.axis()
        executor = concurrent.futures.ThreadPoolExecutor(1)
        loop = asyncio.new_event_loop()
        self.addCleanup(loop.close)
        loop.set_default_executor(executor)
        with self.assertRaises(asyncio.TimeoutError):
            loop.run_until_complete(asyncio.wait_for(awaiting(axis.move_to(25.0)), 0.05))
        self.assertFalse(self.moving())

        async def cancelled():
            task = asyncio.ensure_future(awaiting(axis.move_to(0.0)))
            await asyncio.sleep(0.05)
            task.cancel()
            if sys.version_info < (3, 7):
                self.assertFalse(self.moving())    # the price there: the loop waited
            with self.assertRaises(asyncio.CancelledError):
                await task
            self.assertFalse(self.moving())

        loop.run_until_complete(cancelled())
        loop.close()
        executor.shutdown(wait=True)
        self.assertEqual(records, [])


if __name__ == "__main__":
    unittest.main()
