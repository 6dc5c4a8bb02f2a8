"""qzr_kov_motion on the simulated line: moves and homing as futures, wait_all,
failures, time limits, cancel, stopping() and asyncio; Ctrl-C in a child."""
import asyncio
import concurrent.futures
import logging
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from tests import support
from tests.support import MotionCase, qzr_kov
from qzr_kov_sim import CommunicationError
from qzr_kov_motion import MotionError, stopping, wait_all

StopSource = qzr_kov.StopSource
# Homing that takes about a second of real time: a cancel or an error comes
# long before its end.
SLOW_HOMING = (10.0, 20.0, 0.02)


class MovesTest(MotionCase):
    def test_two_axes_collected_with_wait_all(self):
        motions = [self.a.move_to(5.0), self.b.move_by(-3.0)]
        self.assertEqual(wait_all(motions, 10), [5.0, -3.0])
        self.assertEqual([self.a.position, self.b.running], [5.0, False])
        self.assertEqual(len(self.logged("locating done. Stop source: 0")), 2)

    def test_limit_switch_and_line_failures(self):
        with self.assertRaises(MotionError) as caught:
            self.a.move_to(50.0).wait(10)
        error = caught.exception
        self.assertEqual((error.station, error.stop_source, error.position),
                         (1, StopSource.PositiveLimit, 30.0))
        self.assertRegex(str(error), r"^station 1: .*positive limit.*\(定位动作因故未能完成:4\)$")
        # The position cannot be read afterwards: the error comes without it.
        self.line.fail_on("get_multi_int32", CommunicationError, station=2, name="DT10")
        error = self.b.move_to(-50.0).exception(10)
        self.assertEqual((error.station, error.stop_source, error.position),
                         (2, StopSource.NegativeLimit, None))
        # A failure of the line itself comes through as it was.
        self.line.fail_on("get_coil", CommunicationError("down"), station=1, name="Y1")
        self.assertIs(type(self.a.move_to(0.0).exception(10)), CommunicationError)

    def test_time_limit_leaves_the_motion_running(self):
        self.c.set_velocity(1, 10.0)
        motion = self.a.move_to(20.0)
        for wait in (motion.wait, lambda t: wait_all([motion], t)):
            with self.assertRaises(TimeoutError) as caught:
                wait(0.01)
            self.assertIsInstance(caught.exception, concurrent.futures.TimeoutError)
            self.assertTrue(motion.running())
        self.assertEqual(motion.wait(10), 20.0)


class CancelTest(MotionCase):
    def test_cancel_a_move_and_homing(self):
        self.c.set_velocity(1, 20.0)
        for start in (lambda: self.a.move_to(25.0), lambda: self.a.home(*SLOW_HOMING)):
            motion, seen = start(), []
            motion.add_done_callback(seen.append)
            self.assertTrue(motion.cancel())
            # At rest and nothing pending once cancel() returns.
            self.assertEqual((motion.cancelled(), seen, self.a.running, self.c.is_finding_o(1)),
                             (True, [motion], False, False))
            self.assertEqual(concurrent.futures.wait([motion], 1).done, {motion})
            self.assertRaises(concurrent.futures.CancelledError, motion.wait)
        # The homing run may have been stopped twice: see below.
        self.assertEqual(len(self.logged("Wait for finding O done. Station 1, source 1")), 1)
        ended = self.a.move_by(1.0)
        ended.wait(10)
        self.assertFalse(ended.cancel())
        self.c.close()


    def test_a_homing_run_keeps_the_program_alive_like_find_o(self):
        # The module's worker takes its daemon flag from the thread that
        # calls find_o: a daemon would be killed at exit between stages.
        homing = self.a.home(*SLOW_HOMING)
        worker = self.c._find_o_threads[1]
        self.assertFalse(worker.daemon)
        self.assertTrue(homing.cancel())

    def test_cancel_between_homing_stages(self):
        gap = threading.Event()

        class Pause(logging.Handler):   # in the worker, after stage 0 has ended
            def handle(self, record):
                if "stage 0 stop" in record.getMessage():
                    gap.set()
                    time.sleep(0.2)

        qzr_kov.logger.addHandler(Pause())
        self.addCleanup(qzr_kov.logger.handlers.pop)
        homing = self.a.home(10.0, 200.0, 0.02)
        self.assertTrue(gap.wait(10))
        # The first stop finds the station idle; the search back starts
        # after it and is stopped in turn.
        self.assertTrue(homing.cancel())
        self.assertEqual(len(self.logged("Stop station 1")), 2)
        self.assertEqual(len(self.logged("Wait for finding O done. Station 1, source 1")), 1)


class StoppingTest(MotionCase):
    def test_interrupted_or_failed_while_homing(self):
        for error in (KeyboardInterrupt(), ValueError("bad")):
            self.log.mark()
            homing = self.a.home(*SLOW_HOMING)
            self.c.find_o(2, *SLOW_HOMING)      # started outside the package
            with self.assertRaises(type(error)):
                with stopping(self.a, self.b):
                    raise error
            self.assertEqual([self.c.is_finding_o(1), self.c.is_finding_o(2)], [False, False])
            self.assertEqual([self.a.running, self.b.running], [False, False])
            self.assertEqual(len(self.logged("Stop station")), 2)
            self.assertIsNone(homing.exception(10).stop_source)   # a MotionError

    def test_normal_exit_and_a_failing_stop(self):
        with stopping(self.a):
            pass
        self.line.fail_on("set_coil", CommunicationError("down"), station=1, name="R0")
        self.b.move_to(20.0)
        with self.assertLogs("qzr_kov_motion", "WARNING") as warnings:
            with self.assertRaises(KeyboardInterrupt):
                with stopping(self.a, self.b):
                    raise KeyboardInterrupt
        self.assertIn("station 1: stop failed after KeyboardInterrupt", warnings.output[0])
        self.assertEqual(self.logged("Stop station"), ["INFO - Stop station 2"])


class AsyncioTest(MotionCase):
    def test_awaiting_two_motions_leaves_the_loop_free(self):
        ticks = []

        async def tick():
            while True:
                ticks.append(await asyncio.sleep(0.001))

        async def main():
            ticker = asyncio.ensure_future(tick())
            first, second = self.a.move_to(4.0), self.b.home(10.0, 100.0, 0.02)
            return [await first, await second, ticker.cancel()]

        loop = asyncio.new_event_loop()
        self.addCleanup(loop.close)
        self.assertEqual(loop.run_until_complete(main()), [4.0, True, True])
        self.assertGreater(len(ticks), 3)


# examples/motion.py, with Ctrl-C turned into KeyboardInterrupt even where
# the test runs with SIGINT ignored.
EXAMPLE = ("import runpy, signal; signal.signal(signal.SIGINT, signal.default_int_handler); "
           "runpy.run_path(%r, run_name='__main__')"
           % os.path.join(support.REPO, "examples", "motion.py"))


class InterruptTest(unittest.TestCase):
    def test_the_example_runs_to_its_end(self):
        result = subprocess.run([sys.executable, "-c", EXAMPLE],
                                cwd=tempfile.mkdtemp(dir=support.WORKDIR),
                                env=support.python_env(), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        # The limit switch cost station 1 its coordinate; homed again, it parks.
        self.assertIn("  homed: False; homing station 1 again\n", result.stdout)
        self.assertTrue(result.stdout.endswith("  ended at 10.00 and 10.00 mm\n"),
                        result.stdout)

    def test_ctrl_c_while_two_stations_home(self):
        cwd = tempfile.mkdtemp(dir=support.WORKDIR)
        log = support.LogReader(os.path.join(cwd, str(qzr_kov._log_filename)))
        child = subprocess.Popen([sys.executable, "-c", EXAMPLE], cwd=cwd,
                                 env=support.python_env(), stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, universal_newlines=True)
        self.addCleanup(lambda: child.poll() is None and child.kill())
        deadline = time.monotonic() + 60
        while not all("Finding o started, method 0, station %d" % s in log.raw().decode("utf-8")
                      for s in (1, 2)):
            self.assertLess(time.monotonic(), deadline, "the example never homed")
            time.sleep(0.01)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
        self.assertLess(time.monotonic() - sent, 5.0)
        self.assertNotEqual(child.returncode, 0)
        self.assertIn("KeyboardInterrupt", err)
        self.assertNotIn("homed", out)
        lines = log.lines()
        for station in (1, 2):   # stopped, and the homing run collected
            self.assertIn("INFO - Stop station %d" % station, lines)
            self.assertIn("INFO - Wait for finding O done. Station %d, source 1" % station, lines)


if __name__ == "__main__":
    unittest.main()
