"""qzr-kov when the controller's log file cannot be written (the error comes
out of the logging call, after the action's commands went out): one line,
exit code 4, no blame on the line, no axis left running, no homing worker
left behind."""
import contextlib
import errno
import io
import json
import os
import subprocess
import sys
import tempfile
import unittest

from tests import support
from tests.support import (EXAMPLE_JSON, TIMEOUT, Quiet, command, description_file, options,
                           qzr_kov, station_on, tool_env)
from qzr_kov_sim import CommunicationError, RecordingMaster, ScaledClock, SimulatedLine

support.add_tool_to_path()

from qzr_kov_tool import failures, logfile, moving  # noqa: E402
from qzr_kov_tool.signals import StopSignals  # noqa: E402

# The tool's entry point with the log breaking at a chosen master call.
DRIVER = os.path.join(support.REPO, "tests", "broken_log_driver.py")


def run_broken(mode, point, *args, **kwargs):
    """The tool with ARGS, its log breaking at POINT; the result and the state."""
    cwd = tempfile.mkdtemp(prefix="qzr_kov-tool-", dir=support.WORKDIR)
    result = subprocess.run([sys.executable, DRIVER, mode, point] + list(args), cwd=cwd,
                            env=tool_env(), input=kwargs.get("input", ""),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True, timeout=TIMEOUT)
    with open(os.path.join(cwd, "state.json")) as stream:
        return result, json.load(stream)


class LogCase(unittest.TestCase):
    def assert_told(self, result, code, *words, **kwargs):
        """Exit CODE; LINES lines on stderr, one naming the log file; WORDS in
        them; no traceback and no failure of the line."""
        self.assertEqual(result.returncode, code, result.stdout + result.stderr)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), kwargs.get("lines", 1), result.stderr)
        self.assertTrue(all(line.startswith("qzr-kov: ") for line in lines), result.stderr)
        told = [line for line in lines if "could not write the controller's log file log" +
                os.sep + "qzr_kov-" in line]
        self.assertEqual(len(told), 1, result.stderr)
        for word in words:
            self.assertIn(word, result.stderr)
        for word in ("communication", "could not stop", "port None", "Traceback"):
            self.assertNotIn(word, result.stderr)


class ToolTest(LogCase):
    def test_status_when_the_day_s_log_file_is_a_folder(self):
        cwd = tempfile.mkdtemp(prefix="qzr_kov-tool-", dir=support.WORKDIR)
        os.makedirs(os.path.join(cwd, str(qzr_kov._log_filename)))
        result = subprocess.run(command(["status"]), cwd=cwd, env=tool_env(),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, universal_newlines=True,
                                timeout=TIMEOUT)
        self.assert_told(result, 4, "IsADirectoryError", "the simulated line was opened",
                         "nothing was sent to the axis")
        self.assertNotIn("position", result.stdout)

    def test_each_command_ends_with_the_truth_and_the_axis_at_rest(self):
        efbig = "[Errno %d]" % errno.EFBIG
        for mode, point, args, code, words in (
                # A motion that went out before its log line failed is stopped.
                ("folder", "set_coil:R1", ["move", "--absolute", "50"], 4,
                 ["IsADirectoryError", "the move had started: the axis was stopped at"]),
                # A jog is a run (R4 towards +).
                ("size", "set_coil:R4", ["jog"], 4,
                 [efbig, str(qzr_kov._log_filename), "the jog had started"]),
                # Homing: find_o's own log lines fail (no worker starts), or
                # the worker's first run and then the collection of its result.
                ("folder", "set_multi_uint32:DT0", ["home"], 4,
                 ["the homing run did not start"]),
                ("folder", "set_coil:R3", ["home"], 4,
                 ["the homing run was stopped and its result is unknown"]),
                ("size", "set_coil:R3", ["home"], 4, [efbig, "home it again"]),
                # A stop whose log line failed went out: the tool carries on.
                ("size", "set_coil:R0", ["stop"], 4,
                 ["the stop command went out all the same: the axis is at rest at 0.000 mm"]),
                ("folder", "set_coil:R0", ["move", "--absolute", "50", "--timeout", "0.3"], 1,
                 ["the stop command went out all the same", "did not end within 0.3 s"]),
                # Nothing but the closing logs: closed all the same.
                ("folder", "get_int32:D20", ["status"], 4,
                 ["the line was closed without its log line"])):
            with self.subTest(mode=mode, point=point, args=args):
                self.check_command(mode, point, args, code, words)

    def check_command(self, mode, point, args, code, words):
        args = args + ["--velocity", "1"] if args[0] in ("move", "jog") else args
        result, state = run_broken(mode, point, *args)
        self.assert_told(result, code, *words, lines=2 if code == 1 else 1)
        self.assertNotIn("result:", result.stdout)
        self.assertNotIn("done:", result.stdout)
        self.assertTrue(state["broken"], point)
        self.assertEqual((state["moving"], state["workers"], state["closed"]),
                         ([False], [], [True]), (point, args))
        history = state["history"]["1"]
        if point.endswith(("R1", "R3", "R4")):
            self.assertIn("start", history)   # the motion went out, then the stop
        if "start" in history:
            self.assertIn("stop", history[history.index("start"):])

    def test_jog_ended_with_enter_whose_stop_is_not_logged(self):
        result, state = run_broken("folder", "set_coil:R0", "jog", "--velocity", "1",
                                   input="\n")
        self.assert_told(result, 4, "the stop command went out all the same: the axis is at "
                                    "rest at")
        self.assertIn("stopping the axis (Enter)", result.stdout)
        self.assertIn("axis stopped at", result.stdout)
        self.assertEqual(state["moving"], [False])


class MachineTest(LogCase):
    """The machine commands on the example machine, its log breaking at a
    chosen master call: the set-up, status, move, jog and homing."""

    def test_each_command_ends_with_the_truth_and_the_axes_at_rest(self):
        efbig = "[Errno %d]" % errno.EFBIG
        for mode, point, args, code, stopped, words in (
                # Setting up: the first controller's creation, or x's profile.
                ("folder", "start", ["status"], 4, "",
                 ["IsADirectoryError", "was not set up: the simulated line main was opened",
                  "nothing was sent to the axes"]),
                ("size", "set_multi_uint32:DT0", ["status"], 4, "",
                 [efbig, "was not set up: its set-up stopped at a log line", "line was closed"]),
                # Nothing but the closing logs: closed all the same.
                ("folder", "get_int32:D20", ["status"], 4, "",
                 ["the line was closed without its log line"]),
                # A motion whose start went out before its log line failed.
                ("folder", "set_coil:R1", ["move", "x", "unload"], 4, "x",
                 ["the move of x had started: the axis was stopped at"]),
                ("size", "set_coil:R1", ["jog", "x", "+"], 4, "x",
                 [efbig, "the jog of x had started: the axis was stopped at"]),
                # The move's end, which the poller logs.
                ("folder", "get_int32:D20", ["move", "x", "load"], 4, "",
                 ["the move of x had ended at its target: the axis is at rest at 120.000 mm"]),
                # A stop whose log line failed went out: the tool carries on.
                ("folder", "set_coil:R0", ["move", "x", "unload", "--timeout", "0.3"], 1, "x",
                 ["the stop command went out all the same", "did not end within 0.3 s"]),
                # Homing: z's run cannot start (find_o's profile after the
                # three of the set-up), or its worker's run went out
                # unlogged; then the same for x and y, homed together.
                ("folder", "set_multi_uint32:DT0:4", ["home"], 4, "",
                 ["homing z stopped at a log line: z at rest at", "home again"]),
                ("size", "set_coil:R4", ["home"], 4, "z",
                 [efbig, "homing z stopped at a log line: z at rest at"]),
                ("folder", "set_coil:R3", ["home"], 4, "x",
                 ["homing x, y stopped at a log line: x at rest at", "y at rest at"])):
            with self.subTest(mode=mode, point=point, args=args):
                self.check_machine(mode, point, args, code, stopped, words)

    def check_machine(self, mode, point, args, code, stopped, words, path=None, **kwargs):
        """STOPPED: the axes whose motion had to be stopped (a stop is told
        by the command coil the tool set, not by timing); every axis at rest,
        no homing result pending, every line closed."""
        # Homing waits for z before x and y: a faster clock for it.
        result, state = run_broken(mode, point, "--machine", path or EXAMPLE_JSON, "--simulate",
                                   "--sim-speed", "20" if args[0] == "home" else "1", *args,
                                   **kwargs)
        self.assert_told(result, code, *words, lines=2 if code == 1 else 1)
        self.assertNotIn("done:", result.stdout)
        self.assertNotIn("homed: x", result.stdout)
        self.assertTrue(state["broken"], point)
        self.assertTrue(all(state["closed"]), state)
        self.assertFalse(any(state["moving"]) or state["workers"], state)
        for name in stopped:
            commands = state["commands"][str(" xyz".index(name))]    # stations 1, 2, 3
            self.assertRegex(" ".join(commands), r"^R[1-6]\b.* R0$", (name, state))

    def test_a_stopped_jog_and_one_without_travel(self):
        self.check_machine("folder", "set_coil:R0", ["jog", "x", "+"], 4, "x",
                           ["the stop command went out all the same: x at rest at"], input="\n")

        def free(data):
            del data["axes"]["y"]["travel"]
            del data["axes"]["y"]["positions"]
        # Without a travel, a run at the velocity given (R3 towards -).
        self.check_machine("size", "set_coil:R3", ["jog", "y", "-", "--velocity", "20"], 4, "y",
                           ["the jog of y had started: the axis was stopped at"],
                           path=description_file(free))


class SeamTest(unittest.TestCase):
    """The tool's seam on the controller's logger: which errors came from a
    log line, and what a record that cannot be written does where."""

    def setUp(self):
        self.seam = logfile.LogSeam(qzr_kov).install()
        self.addCleanup(self.seam.remove)
        support.LogReader().mark()        # leftover controllers log their closing now
        self.addCleanup(os.chdir, os.getcwd())

    def raised(self, call, *args):
        try:
            call(*args)
        except Exception as error:
            return error
        self.fail("%s did not raise" % call.__name__)

    def break_log(self):
        os.chdir(tempfile.mkdtemp(prefix="qzr_kov-nolog-", dir=support.WORKDIR))

    def test_log_line_failures_and_others(self):
        master = RecordingMaster("test-port")
        master.script("get_coil", False, name="Y1")
        master.script("get_int32", 4, name="D20")
        axis = qzr_kov.KOVAxisController(master)
        self.addCleanup(axis.close)
        # The early end of a move is raised after its line was logged.
        self.assertIsNone(self.seam.failure_of(self.raised(axis.wait_for_locating_done, 1)))
        master.fail_on("set_coil", OSError(errno.EIO, "the line's own failure"))
        self.assertIsNone(self.seam.failure_of(self.raised(axis.stop, 1)))
        self.assertIsNone(self.seam.failure_of(
            OSError(errno.ENOSPC, "No space left on device", "log/x.log")))
        master.clear_faults()
        self.break_log()
        error = self.raised(axis.stop, 1)
        failure = self.seam.failure_of(error)
        self.assertEqual((failure.error, failure.path, failure.outcome),
                         (error, str(qzr_kov._log_filename), None))
        converted = failures.from_controller(error, "stopping", self.seam)
        self.assertEqual((type(converted), converted.code), (failures.LogNotWritten, 4))
        self.assertIn("FileNotFoundError", str(converted))
        # Once one is kept, the command brings the axes to rest and closes
        # its lines: later records are kept quietly and the calls go on.
        axis.stop(1)
        axis.enable_axis(1)
        self.assertIs(self.seam.failure.error, error)
        self.assertEqual([call for call in master.calls if call[0] == "set_coil"][-2:],
                         [("set_coil", (1, "R0", True)), ("set_coil", (1, "Y2", True))])

    def test_a_stop_goes_on_without_its_log_line(self):
        axis = qzr_kov.KOVAxisController(RecordingMaster("stop-port"))
        self.addCleanup(axis.close)
        self.break_log()
        with self.seam.going_on("the stop command went out all the same"):
            axis.stop(1)
        self.assertEqual(self.seam.failure.outcome, "the stop command went out all the same")

    def test_a_homing_worker_whose_own_log_line_fails_ends_quietly(self):
        # Its first line, before any command: a worker would let the error
        # out, and its thread print it with a traceback.
        master = RecordingMaster("worker-port")
        axis = qzr_kov.KOVAxisController(master)
        self.addCleanup(axis.close)
        stderr = io.StringIO()
        self.break_log()
        with contextlib.redirect_stderr(stderr):
            worker = qzr_kov._Thread(target=axis._find_o_thread_func,
                                     args=(1, qzr_kov.Direction.Negative))
            worker.start()
            worker.join(30)
        self.assertFalse(worker.is_alive())
        self.assertEqual(stderr.getvalue(), "")
        self.assertEqual(self.seam.failure.path, str(qzr_kov._log_filename))
        # It ended at that line: no run was started.
        self.assertEqual([call for call in master.calls if call[0] == "set_coil"], [])


class SilentWorkerTest(unittest.TestCase):
    def test_homing_whose_worker_gave_up_with_the_axis_running_is_stopped(self):
        # The worker's run went out, its answer was lost: the worker ends
        # silently, the result is False, and the axis would run on.
        line = SimulatedLine("tool-worker", clock=ScaledClock(20))
        axes = station_on(self, line)
        line.fail_on("set_coil", CommunicationError, station=1, name="R3", applied=True)
        with Quiet() as out, self.assertRaises(failures.ToolError) as caught:
            moving.home(axes, options("home"), StopSignals())
        self.assertIn("still running", str(caught.exception))
        self.assertIn("result: False", out.getvalue())
        self.assertFalse(line.station(1).moving)
        self.assertFalse(axes["station 1"].controller.is_finding_o(1))


if __name__ == "__main__":
    unittest.main()
