"""A move of qzr_kov_motion is a success only on its target's pulse count
and, with an encoder, where the encoder followed; the travel holds where the
pulse count ends; what is no target is refused before any call. Failure
paths: a cancel that loses a read, a poller that cannot start, a forked
child, asyncio on 3.6. Virtual clocks (a scaled one where a loop runs)."""
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

Null = qzr_kov.StopSource.Null


class ArrivalTest(PollerCase):
    def test_a_move_the_station_did_not_take_fails(self):
        # Station 5 has no profile (velocity 0): the station refuses the start.
        fresh = Axis(self.c, 5)
        self.c.set_ppmm(5, 100)
        error = fresh.move_to(12.5).exception(10)
        self.assertEqual((type(error), error.stop_source, error.position),
                         (MotionError, Null, 0.0))
        self.assertEqual(str(error), "station 5: the move ended at 0.00 mm, not at its target "
                         "12.50 mm (counter at 0 pulses, target 1250; the station reported no "
                         "stop source)")
        self.assertIsInstance(fresh.move_by(-2.0).exception(10), MotionError)
        self.assertEqual([event[1:] for event in self.line.station(5).history],
                         [("refused", "absolute"), ("refused", "relative")])
        self.assertEqual(fresh.move_to(0.0).result(10), 0.0)    # where it stands already
        self.line.fail_on("get_multi_int32", CommunicationError("no status"), station=5)
        self.assertEqual(str(fresh.move_to(0.0).exception(10)), "no status")   # end unknown

    def test_a_stall_is_a_following_error_where_there_is_an_encoder(self):
        # An obstacle at 10 mm: the counter goes on to 25 mm, the encoder stays.
        self.line.station(1).obstacle_at = 1000
        plain, watched = Axis(self.c, 1), Axis(self.c, 1, "x", encoder=(100, 0.05))
        self.assertEqual(plain.move_to(25.0).result(10), 25.0)  # all the counter can tell
        self.c.set_position(1, 0.0)    # as homing would: the counter alone is set
        self.line.clear_calls()
        error = watched.move_to(25.0).exception(10)
        self.assertEqual((error.stop_source, error.position), (Null, 25.0))
        self.assertEqual(str(error), "station 1: following error: the counter moved 25.00 mm "
                         "and the encoder 0.00 mm, more than the tolerance of 0.05 mm apart, "
                         "at 25.00 mm (the station reported no stop source)")
        status = Call("get_multi_int32", (1, "DT10", 11))    # one read before, one after
        self.assertEqual([c for c in self.line.calls if c.op != "get_coil"],
                         [status, Call("set_int32", (1, "DT6", 2500)),
                          Call("set_coil", (1, "R1", True)), Call("get_int32", (1, "D20")),
                          status])
        # Away from the obstacle both move alike again, whatever they read.
        self.assertEqual(watched.move_by(-15.0).result(10), 10.0)
        # An encoder counting the other way has a negative scale.
        self.c.reverse_direction_output(2, True)
        self.assertEqual(Axis(self.c, 2, encoder=(-100, 0)).move_to(7.5).result(10), 7.5)
        self.assertIsInstance(Axis(self.c, 2, encoder=(100, 0)).move_by(1.0).exception(10),
                              MotionError)


class TargetTest(PollerCase):
    def test_the_travel_holds_where_the_pulse_count_ends(self):
        # At 10 pulses per mm the module truncates 1.05 mm to 10 pulses: 1.0 mm.
        self.c.set_ppmm(3, 10)
        self.c.set_position(3, 5.0)
        axis = Axis(self.c, 3, "w", travel=(1.05, 10.0), positions={"low": 1.05})
        self.line.clear_calls()
        for start in (lambda: axis.move_to(1.05), lambda: axis.move_to("low"),
                      lambda: axis.jog(qzr_kov.Direction.Negative)):
            with self.assertRaises(LimitError) as caught:
                start()
            self.assertIn("the target 1.05 mm would end at 1.0 mm, outside", str(caught.exception))
            self.assertEqual(caught.exception.target, 1.0)
        self.assertEqual(self.line.calls, [Call("get_int32", (3, "DT10"))])   # the jog's
        self.c.set_position(3, 1.1)
        with self.assertRaises(LimitError) as caught:
            axis.move_by(-0.1)
        self.assertEqual(str(caught.exception), "axis w: a move by -0.1 mm from 1.1 mm would end "
                         "at 1.0 mm, outside its travel [1.05, 10.0] mm")
        self.assertEqual(axis.move_by(-0.09).result(10), 1.1)    # 0 pulses
        self.assertEqual(Axis(self.c, 4, travel=(0.0, 20.0)).move_to(-0.001).result(10), 0.0)

    def test_what_is_no_target_is_refused_before_any_call(self):
        axis, plain, nan, inf = Axis(self.c, 1, travel=(-5, 5)), self.axes[2], float("nan"), \
            float("inf")
        self.line.clear_calls()
        for error, starts in (
                (TypeError, [lambda: axis.move_to(True), lambda: plain.move_by(False),
                             lambda: plain.move_by("1"), lambda: plain.move_to(None),
                             lambda: plain.home(True, 10.0, 0.1),
                             lambda: Axis(self.c, 1, encoder=(False, 0.1))]),
                (ValueError, [lambda: axis.move_to(nan), lambda: plain.move_to(inf),
                              lambda: plain.move_by(-inf), lambda: plain.home(1.0, nan, 0.1),
                              lambda: plain.home(1.0, 10.0, 0.1, 2),
                              lambda: Axis(self.c, 1, encoder=(0, 0.1)),
                              lambda: Axis(self.c, 1, encoder=(100, -0.1))])):
            for start in starts:
                with self.assertRaises(error) as caught:
                    start()
                self.assertNotIsInstance(caught.exception, LimitError)
        self.assertEqual(self.line.calls, [])


class FailurePathTest(PollerCase):
    def under_way(self, failing_reads):
        """A slow move under way on station 1, whose stop makes the next
        FAILING_READS reads of the running bit fail (None: all)."""
        line = self.line

        class FailingAfterStop(KOV):
            def stop(self, station):
                KOV.stop(self, station)
                line.fail_on("get_coil", CommunicationError("lost"), station=station,
                             name="Y1", times=failing_reads)

        controller = self.controller(FailingAfterStop)
        controller.set_parameters(1, 10.0, 20.0, 2.0)     # seconds to ramp down
        station = self.line.station(1)
        begun, motion = station.count, Axis(controller, 1).move_to(25.0)
        while station.count < begun + 500:
            self.clock.sleep(0.01)
        return motion

    def test_cancel_is_true_only_once_the_axis_was_seen_at_rest(self):
        motion = self.under_way(failing_reads=1)
        self.assertTrue(motion.cancel())
        self.assertEqual((motion.cancelled(), self.line.station(1).moving), (True, False))
        motion = self.under_way(failing_reads=None)
        self.assertRaises(CommunicationError, motion.cancel)
        self.assertEqual((motion.cancelled(), str(motion.exception(10)),
                          self.line.station(1).moving), (False, "lost", True))
        self.line.clear_faults()
        while self.line.station(1).moving:
            self.clock.sleep(0.01)

    def test_a_poller_that_cannot_start_stops_its_axis(self):
        start = threading.Thread.start

        def failing(thread):
            if thread.name.startswith("qzr_kov_motion poller"):
                raise RuntimeError("can't start new thread")
            start(thread)

        with mock.patch.object(threading.Thread, "start", failing):
            self.assertRaises(RuntimeError, self.axes[1].move_by, 20.0)
        self.assertEqual(self.line.find_calls("set_coil", name="R0"),
                         [Call("set_coil", (1, "R0", True))])


@unittest.skipUnless(hasattr(os, "fork"), "needs os.fork")
class ForkTest(PollerCase):
    def in_child(self, body):
        """Whether BODY returned True in a forked child within 10 s."""
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
        return os.waitpid(pid, 0)[1] == 0

    def test_a_child_gets_fresh_pollers_and_no_homing_run_of_its_parent(self):
        # The parent's poller stays parked in its idle gap (holding nothing)
        # and a homing run waits for its result, while the child is made.
        parent, parked, go = os.getpid(), threading.Event(), threading.Event()
        sleep = qzr_kov._sleep

        def parking_sleep(seconds):
            if os.getpid() == parent and "poller" in threading.current_thread().name:
                parked.set()
                go.wait(60)
            sleep(seconds)

        class Pending(KOV):
            def find_o(self, *args):
                pass

            def wait_for_find_o_finish(self, station, timeout=None):
                return go.wait(60) if os.getpid() == parent else False

        homing = Axis(self.controller(Pending), 3)
        run = homing.home(10.0, 20.0, 0.1)

        def in_the_child():
            try:
                with stopping(homing):
                    raise ValueError
            except ValueError:
                return self.axes[2].move_by(2.0).result(8) == 2.0

        with mock.patch.object(qzr_kov, "_sleep", parking_sleep):
            moving = self.axes[1].move_by(1.0)
            self.assertTrue(parked.wait(10))
            child = self.in_child(in_the_child)
            go.set()
            self.assertEqual((moving.result(10), run.result(10)), (1.0, True))
        self.assertTrue(child)


class AsyncioTest(SlowRampCase):
    def test_a_time_out_or_a_cancel_leaves_the_axis_at_rest_and_nothing_late(self):
        records, handler = [], logging.Handler()
        handler.emit = records.append
        for name in ("concurrent.futures", "asyncio"):
            logging.getLogger(name).addHandler(handler)
            self.addCleanup(logging.getLogger(name).removeHandler, handler)
        axis, executor, loop = self.axis(), concurrent.futures.ThreadPoolExecutor(1), \
            asyncio.new_event_loop()
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
