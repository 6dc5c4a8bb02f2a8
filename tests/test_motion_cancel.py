"""qzr_kov_motion when things go wrong around a cancel: a task awaiting a
motion is cancelled (the loop goes on, the stop may fail), two cancels at
once, and a MotionError that crosses process boundaries."""
import asyncio
import concurrent.futures
import copy
import pickle
import sys
import threading
import unittest

from tests.support import MotionCase, qzr_kov
from qzr_kov_sim import CommunicationError
from qzr_kov_motion import Axis, MotionError

StopSource = qzr_kov.StopSource
KOV = qzr_kov.KOVAxisController
# Ramps of 2 s (half a second of real time on the line's clock): a cancel
# has a while to wait for the rest.
SLOW_RAMP = (10.0, 20.0, 2.0)


class SlowRampCase(MotionCase):
    def axis(self, controller_class=KOV):
        """Station 1 of a controller of CONTROLLER_CLASS on the line, with
        slow ramps."""
        controller = controller_class(self.line)
        self.addCleanup(controller.close)
        controller.set_ppmm(1, 100)
        controller.set_parameters(1, *SLOW_RAMP)
        return Axis(controller, 1)

    def moving(self):
        """The simulated station's own view, without an exchange."""
        return self.line.station(1).moving

    def run_loop(self, coroutine):
        loop = asyncio.new_event_loop()
        self.addCleanup(loop.close)
        return loop.run_until_complete(coroutine)


async def awaiting(motion):
    return await motion


class CancelledTaskTest(SlowRampCase):
    @unittest.skipIf(sys.version_info < (3, 7), "on 3.6 the cancel holds the loop until the "
                     "axis rests, as wait_for does not wait for the task it cancels")
    def test_the_loop_runs_on_while_the_axis_comes_to_rest(self):
        stop_begun, loop_ran_meanwhile, gate = threading.Event(), threading.Event(), []

        class GatedStop(KOV):
            def stop(self, station):
                # Goes on only once the loop has run while this stop is
                # under way: a cancel made in the loop's thread never does.
                stop_begun.set()
                gate.append(loop_ran_meanwhile.wait(10))
                KOV.stop(self, station)

        axis = self.axis(GatedStop)

        async def ticker():
            while not stop_begun.is_set():
                await asyncio.sleep(0.001)
            loop_ran_meanwhile.set()

        async def main():
            motion = axis.move_to(25.0)
            task = asyncio.ensure_future(awaiting(motion))
            await asyncio.sleep(0.05)
            tick = asyncio.ensure_future(ticker())
            task.cancel()
            with self.assertRaises(asyncio.CancelledError):
                await task
            # At rest once the awaiting task has ended.
            self.assertEqual((self.moving(), motion.cancelled()), (False, True))
            await tick
            return motion

        motion = self.run_loop(main())
        self.assertEqual(gate, [True])
        self.assertEqual(len(self.logged("Stop station 1")), 1)
        self.assertRaises(concurrent.futures.CancelledError, motion.result)

    def test_a_failing_stop_comes_out_of_the_await(self):
        axis = self.axis()
        self.line.fail_on("set_coil", CommunicationError("down"), station=1, name="R0")

        async def main():
            motion = axis.move_to(25.0)
            task = asyncio.ensure_future(awaiting(motion))
            await asyncio.sleep(0.05)
            task.cancel()
            with self.assertRaises(CommunicationError) as caught:
                await task
            return motion, caught.exception

        motion, error = self.run_loop(main())
        self.assertEqual(str(error), "down")
        self.assertIsInstance(error.__context__, asyncio.CancelledError)
        # The stop did not reach the station: the move goes on, and a stop
        # that works ends it as usual.
        self.assertTrue(motion.running())
        axis.stop()
        self.assertEqual(motion.exception(10).stop_source, StopSource.Command)

    def test_motion_cancelled_elsewhere_ends_the_await(self):
        axis = self.axis()

        async def main():
            motion = axis.move_to(25.0)
            task = asyncio.ensure_future(awaiting(motion))
            await asyncio.sleep(0.05)
            cancelled = await asyncio.get_event_loop().run_in_executor(None, motion.cancel)
            with self.assertRaises(asyncio.CancelledError):
                await task
            return cancelled

        self.assertTrue(self.run_loop(main()))
        self.assertEqual(len(self.logged("Stop station 1")), 1)


class TwoCancelsTest(SlowRampCase):
    def test_second_cancel_returns_once_the_axis_rests(self):
        stop_sent = threading.Event()

        class Signalling(KOV):
            def stop(self, station):
                KOV.stop(self, station)
                stop_sent.set()

        axis = self.axis(Signalling)
        motion, first = axis.move_to(25.0), []
        thread = threading.Thread(target=lambda: first.append(motion.cancel()))
        thread.start()
        self.assertTrue(stop_sent.wait(10))
        second = motion.cancel()
        self.assertEqual((second, self.moving(), motion.cancelled()), (True, False, True))
        thread.join(10)
        self.assertEqual(first, [True])
        self.assertEqual(len(self.logged("Stop station 1")), 1)

    def test_cancel_after_a_failed_one_stops_again(self):
        axis = self.axis()
        motion = axis.move_to(25.0)
        self.line.fail_on("set_coil", CommunicationError("down"), station=1, name="R0")
        self.assertRaises(CommunicationError, motion.cancel)
        self.assertEqual((motion.running(), self.moving()), (True, True))
        self.assertTrue(motion.cancel())
        self.assertEqual((motion.cancelled(), self.moving()), (True, False))


class Renamed(MotionError):
    """A subclass with a constructor of its own."""

    def __init__(self, station):
        MotionError.__init__(self, "station %d is out" % station, station)


class MotionErrorCopyTest(MotionCase):
    def twins(self, error):
        yield "copy", copy.copy(error)
        yield "deepcopy", copy.deepcopy(error)
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            yield "pickle %d" % protocol, pickle.loads(pickle.dumps(error, protocol))

    def test_copies_keep_every_field_and_the_text(self):
        from_the_line = self.a.move_to(50.0).exception(10)   # into the limit switch
        self.assertIsInstance(from_the_line, MotionError)
        for error in (from_the_line, MotionError("bare", 3), Renamed(4)):
            error.note = "added later"
            for how, twin in self.twins(error):
                with self.subTest(error=str(error), how=how):
                    self.assertIs(type(twin), type(error))
                    self.assertEqual(
                        (str(twin), twin.args, twin.station, twin.position, twin.note),
                        (str(error), error.args, error.station, error.position, error.note))
                    # The enumeration's own member, by its name in qzr_kov.
                    self.assertIs(twin.stop_source, error.stop_source)
                    self.assertIsInstance(twin, OSError)
        self.assertIs(from_the_line.stop_source, StopSource.PositiveLimit)


if __name__ == "__main__":
    unittest.main()
