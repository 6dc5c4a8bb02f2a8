"""qzr-kov when the controller's log file cannot be written (the error comes
out of the logging call, after the action's commands went out): one line,
exit code 4, no blame on the line, no axis left running, no homing worker
left behind."""
import errno
import json
import os
import subprocess
import sys
import tempfile
import unittest

from tests import support
from tests.support import qzr_kov
from tests.test_tool import TIMEOUT, command, tool_env
from tests.test_tool_parts import Quiet, options, session_on
from qzr_kov_sim import CommunicationError, RecordingMaster, ScaledClock, SimulatedLine

sys.path.insert(0, os.path.join(support.REPO, "cli"))

from qzr_kov_tool import commands, errors  # noqa: E402
from qzr_kov_tool.signals import StopSignals  # noqa: E402

# The tool's entry point on a simulated line whose log file can no longer be
# written once the master call POINT ("set_coil:R4") went out: MODE "folder"
# (the log folder replaced, the day's file a folder) or "size" (a file size
# limit: a write error, which names no file). What became of the axis goes
# to state.json as the tool closes the line.
DRIVER = r'''
import json, os, resource, signal, sys, threading
from qzr_kov_tool import cli, connect
mode, point = sys.argv[1], sys.argv[2].split(":")
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
broken = []

def break_log():
    path = str(sys.modules["qzr_kov"]._log_filename)
    if mode == "folder":
        os.rename("log", "log.before")
        os.makedirs(path)
    else:
        resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize(path), resource.RLIM_INFINITY))
    broken.append(path)

def simulated_line(*args, make=connect.simulated_line):
    line = make(*args)
    call = getattr(line, point[0])
    def hooked(station, name, *rest):
        result = call(station, name, *rest)
        if name == point[1] and not broken:
            break_log()
        return result
    setattr(line, point[0], hooked)
    return line

def close(session, close=connect.Session.close, **kwargs):
    station = session.line.station(session.station)
    state = dict(broken=bool(broken), moving=station.moving,
                 history=[what for _, what, _ in station.history],
                 homing=session.axis.is_finding_o(session.station),
                 workers=[t.name for t in threading.enumerate() if not t.daemon
                          and t is not threading.main_thread() and t.is_alive()])
    try:
        return close(session, **kwargs)
    finally:
        state["closed"] = session.line.closed
        with open("state.json", "w") as stream:
            json.dump(state, stream)

connect.simulated_line, connect.Session.close = simulated_line, close
sys.exit(cli.main(sys.argv[3:]))
'''


def run_broken(mode, point, *args, **kwargs):
    """The tool with ARGS, its log breaking at POINT; the result and the state."""
    cwd = tempfile.mkdtemp(prefix="qzr_kov-tool-", dir=support.WORKDIR)
    with open(os.path.join(cwd, "drive.py"), "w") as stream:
        stream.write(DRIVER)
    result = subprocess.run([sys.executable, "drive.py", mode, point] + list(args), cwd=cwd,
                            env=tool_env(), input=kwargs.get("input", ""),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True, timeout=TIMEOUT)
    with open(os.path.join(cwd, "state.json")) as stream:
        return result, json.load(stream)


class ToolTest(unittest.TestCase):
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
        self.assertEqual((state["moving"], state["homing"], state["workers"],
                          state["closed"]), (False, False, [], True), (point, args))
        history = state["history"]
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
        self.assertFalse(state["moving"])


class RecognitionTest(unittest.TestCase):
    """Which errors of the controller came from its log line."""

    def raised(self, call, *args):
        """What CALL(*ARGS) raised, with its traceback (assertRaises drops it)."""
        try:
            call(*args)
        except Exception as error:
            return error
        self.fail("%s did not raise" % call.__name__)

    def test_log_line_failures_and_others(self):
        master = RecordingMaster("test-port")
        master.script("get_coil", False, name="Y1")
        master.script("get_int32", 4, name="D20")
        axis = qzr_kov.KOVAxisController(master)
        self.addCleanup(axis.close)
        # The early end of a move is raised after its line was logged.
        self.assertIsNone(errors.log_failure(self.raised(axis.wait_for_locating_done, 1)))
        master.fail_on("set_coil", OSError(errno.EIO, "the line's own failure"))
        self.assertIsNone(errors.log_failure(self.raised(axis.stop, 1)))
        for error in (OSError(errno.ENOSPC, "No space left on device", "log/x.log"),
                      FileNotFoundError("x")):
            self.assertIsNone(errors.log_failure(self.raised(self.reraise, error)))
        support.LogReader().mark()        # leftover controllers log their closing now
        self.addCleanup(os.chdir, os.getcwd())
        os.chdir(tempfile.mkdtemp(prefix="qzr_kov-nolog-", dir=support.WORKDIR))
        error = self.raised(axis.stop, 1)
        failure = errors.log_failure(error)
        self.assertEqual(failure, (error, str(qzr_kov._log_filename)))
        # Raised again elsewhere (the tool waits in a thread), it still is one.
        self.assertEqual(errors.log_failure(self.raised(self.reraise, error)), failure)
        converted = errors.from_controller(error, "stopping")
        self.assertEqual((type(converted), converted.code), (errors.LogNotWritten, 4))
        self.assertIn("FileNotFoundError", str(converted))

    @staticmethod
    def reraise(error):
        raise error


class SilentWorkerTest(unittest.TestCase):
    def test_homing_whose_worker_gave_up_with_the_axis_running_is_stopped(self):
        # The worker's run went out, its answer was lost: the worker ends
        # silently, the result is False, and the axis would run on.
        line = SimulatedLine("tool-worker", clock=ScaledClock(20))
        session = session_on(line)
        self.addCleanup(session.close)
        line.fail_on("set_coil", CommunicationError, station=1, name="R3", applied=True)
        with Quiet() as out, self.assertRaises(errors.ToolError) as caught:
            commands.home(session, options("home"), StopSignals())
        self.assertIn("still running", str(caught.exception))
        self.assertIn("result: False", out.getvalue())
        self.assertFalse(line.station(1).moving)
        self.assertFalse(session.axis.is_finding_o(1))


if __name__ == "__main__":
    unittest.main()
