"""Shared test set-up: where the built module and the stand-ins are, a private
working directory (importing the module creates "log" in the working
directory), reading back the log file, and running code in a fresh
interpreter; and the fixtures that several test files use: running the
tool, its parts in this process, machine descriptions, the benchmarks, and
motions on a simulated line."""
import gc
import io
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(os.environ.get("QZR_KOV_BUILD") or os.path.join(REPO, "build", "dev"))
SIM = os.path.join(REPO, "sim")
STAND_IN = os.path.join(SIM, "stand_in")
MOTION = os.path.join(REPO, "motion")
SEARCH_PATH = [BUILD, SIM, STAND_IN, MOTION]

for _p in reversed(SEARCH_PATH):
    if _p not in sys.path:
        sys.path.insert(0, _p)

# Left in place at exit: controllers still alive then log their closing line
# into it. The test runner points TMPDIR at a folder it removes afterwards.
WORKDIR = tempfile.mkdtemp(prefix="qzr_kov-tests-")
os.chdir(WORKDIR)

import qzr_kov  # noqa: E402  (needs the path and working directory above)
from qzr_kov_sim import RecordingMaster, ScaledClock, SimulatedLine, VirtualClock  # noqa: E402

LOG_FILE = os.path.join(WORKDIR, str(qzr_kov._log_filename))
_TIMESTAMP = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} - ")


class LogReader(object):
    """The lines the module appends to the day's log file after mark(), with
    the time stamp taken off: "INFO - Stop station 1"."""

    def __init__(self, path=LOG_FILE):
        self.path = path
        self.mark()

    def _size(self):
        try:
            return os.path.getsize(self.path)
        except OSError:
            return 0

    def mark(self):
        # Controllers left over from earlier tests log their closing line when
        # they are destroyed; let that happen before the mark, not after.
        gc.collect()
        self.offset = self._size()

    def raw(self):
        if not os.path.exists(self.path):
            return b""
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            return f.read()

    def lines(self):
        text = self.raw().decode("utf-8")
        out = []
        for line in text.splitlines():
            stripped = _TIMESTAMP.sub("", line)
            assert stripped != line, "line without time stamp: %r" % line
            out.append(stripped)
        return out


def virtual_clock(case):
    """A VirtualClock that the module's _sleep and _now use until CASE's
    test has ended."""
    from unittest import mock
    clock = VirtualClock()
    for name, value in (("_sleep", clock.sleep), ("_now", clock.time)):
        patch = mock.patch.object(qzr_kov, name, value)
        patch.start()
        case.addCleanup(patch.stop)
    return clock


def python_env(extra=None):
    env = dict(os.environ)
    paths = SEARCH_PATH + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    env.pop("PYTHONOPTIMIZE", None)
    if extra:
        env.update(extra)
    return env


def run_python(code, cwd=None, optimize=False, env=None, timeout=120):
    """Runs `code` in a fresh interpreter of the same version that finds the
    built module and the stand-ins; returns the CompletedProcess."""
    args = [sys.executable] + (["-O"] if optimize else []) + ["-c", code]
    if cwd is None:
        cwd = tempfile.mkdtemp(prefix="qzr_kov-run-", dir=WORKDIR)
    return subprocess.run(args, cwd=cwd, env=python_env(env), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=timeout)


def controller(**master_options):
    """A controller adopting a fresh recording master; returns both."""
    master = RecordingMaster("test-port", **master_options)
    return qzr_kov.KOVAxisController(master), master


# -- the tool, run as a program ---------------------------------------------

CLI = os.path.join(REPO, "cli")
# Simulated time runs this much faster in runs that move the axis to its end.
FAST = ["--sim-speed", "50"]
TIMEOUT = 120


def add_tool_to_path():
    """Makes the tool's package qzr_kov_tool importable in this process."""
    if CLI not in sys.path:
        sys.path.insert(0, CLI)


def tool_env(stand_in=False):
    """Environment reaching the built module, the simulator and the tool.
    Without the stand-in master module on the path, as after installing."""
    env = python_env()
    paths = [p for p in env["PYTHONPATH"].split(os.pathsep)
             if stand_in or os.path.abspath(p) != STAND_IN]
    env["PYTHONPATH"] = os.pathsep.join([CLI] + paths)
    return env


def command(args):
    return [sys.executable, "-m", "qzr_kov_tool"] + list(args)


def run_tool(*args, **kwargs):
    """Runs the tool to its end; returns the CompletedProcess. FIRST: folders
    searched before all others."""
    cwd = tempfile.mkdtemp(prefix="qzr_kov-tool-", dir=WORKDIR)
    env = tool_env(kwargs.get("stand_in", False))
    env["PYTHONPATH"] = os.pathsep.join(kwargs.get("first", []) + [env["PYTHONPATH"]])
    return subprocess.run(command(args), cwd=cwd, env=env,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=TIMEOUT)


class Interactive(object):
    """The tool running with pipes: read its output up to a line, type into
    it, send it a signal, collect the rest."""

    def __init__(self, *args):
        cwd = tempfile.mkdtemp(prefix="qzr_kov-tool-", dir=WORKDIR)
        self.process = subprocess.Popen(
            command(args), cwd=cwd, env=tool_env(), stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        self.lines = []
        # Never let a stuck run hang the suite.
        self.watchdog = threading.Timer(TIMEOUT, self.process.kill)
        self.watchdog.daemon = True
        self.watchdog.start()

    def read_until(self, text):
        for line in self.process.stdout:
            self.lines.append(line)
            if text in line:
                return line
        raise AssertionError("no line with %r in %r" % (text, "".join(self.lines)))

    def type(self, text):
        self.process.stdin.write(text)
        self.process.stdin.flush()

    def kill(self):
        """Whatever became of the test, leave no tool running."""
        self.watchdog.cancel()
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()

    def finish(self):
        if self.process.stdout.closed:
            self.process.stdout = None
        out, err = self.process.communicate(timeout=TIMEOUT)
        out = out or ""
        self.watchdog.cancel()
        return self.process.returncode, "".join(self.lines) + out, err


class ToolCase(unittest.TestCase):
    def interactive(self, *args):
        tool = Interactive(*args)
        self.addCleanup(tool.kill)
        return tool

    def assert_ok(self, result):
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stderr, "")

    def assert_one_line_error(self, result, code, *words):
        self.assertEqual(result.returncode, code, result.stdout + result.stderr)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith("qzr-kov: "), lines[0])
        for word in words:
            self.assertIn(word, lines[0])


# -- parts of the tool in this process --------------------------------------

def station_on(case, line, ppmm=100):
    """The tool's axes (session.Axes) of station 1 on LINE, as the tool opens
    one station, with its log seam on the module's logger; released, and the
    seam taken off, once CASE's test has ended."""
    add_tool_to_path()
    from qzr_kov_motion import Axis
    from qzr_kov_tool import logfile, session
    seam = logfile.LogSeam(qzr_kov).install()
    case.addCleanup(seam.remove)
    controller = qzr_kov.KOVAxisController(line)
    controller.set_ppmm(1, ppmm)
    axes = session.Axes(qzr_kov, seam, [("station 1", Axis(controller, 1))], [controller],
                        line.clock, True, lines=[line])
    case.addCleanup(axes.release)
    return axes


def machine_on(case, path=None, speed=1):
    """The tool's axes (session.Axes) of the machine of PATH (default the
    example's) on simulated lines, opened as 'qzr-kov --machine PATH
    --simulate' opens them; released once CASE's test has ended. Their
    lines are in ``lines``."""
    add_tool_to_path()
    from qzr_kov_tool import connect, logfile
    seam = logfile.LogSeam(qzr_kov).install()
    case.addCleanup(seam.remove)
    axes = connect.open_machine(options("--machine", path or EXAMPLE_JSON, "--simulate",
                                        "--sim-speed", str(speed), "status"))
    case.addCleanup(axes.release)
    return axes


def options(*args):
    """The tool's options of ARGS, as its command line reads them."""
    add_tool_to_path()
    from qzr_kov_tool import parser
    return parser.parse(list(args))


class Quiet(object):
    """Swallows what the commands print."""

    def __enter__(self):
        self.saved, sys.stdout = sys.stdout, io.StringIO()
        return sys.stdout

    def __exit__(self, *exc):
        sys.stdout = self.saved


# -- pictures and recordings -------------------------------------------------

try:
    import matplotlib  # noqa: F401  (the tool runs on this interpreter)
    HAVE_MATPLOTLIB = True
except ImportError:
    HAVE_MATPLOTLIB = False
NO_MATPLOTLIB = ("matplotlib is not installed for this interpreter (Debian's python3-matplotlib "
                 "serves /usr/bin/python3)")


def scratch():
    return tempfile.mkdtemp(prefix="qzr_kov-record-", dir=WORKDIR)


# -- machine descriptions ----------------------------------------------------

EXAMPLE_JSON = os.path.join(REPO, "examples", "machine.json")
EXAMPLE_TOML = os.path.join(REPO, "examples", "machine.toml")


def description_file(change=None, name="machine.json"):
    """The example's description as JSON, after CHANGE(data) if given."""
    with open(EXAMPLE_JSON, encoding="utf-8") as f:
        data = json.load(f)
    if change is not None:
        change(data)
    path = os.path.join(tempfile.mkdtemp(dir=WORKDIR), name)
    with open(path, "w", encoding="utf-8") as f:
        json.dump(data, f)
    return path


# -- the benchmarks ----------------------------------------------------------

BENCH = os.path.join(REPO, "bench")


def import_bench(name):
    """Imports bench/NAME.py; the benchmarks move to a scratch folder on
    import, which the tests must not (the module logs into the working
    directory)."""
    if BENCH not in sys.path:
        sys.path.insert(0, BENCH)
    cwd = os.getcwd()
    try:
        return __import__(name)
    finally:
        os.chdir(cwd)


# -- motions on a simulated line ---------------------------------------------

# 100 pulses per mm: limit switches at -30 and +30 mm, origin at 0.
LAYOUT = {"physical_position": 0, "origin_at": 0, "negative_limit_at": -3000,
          "positive_limit_at": 3000}


class MotionCase(unittest.TestCase):
    def setUp(self):
        from qzr_kov_motion import Axis
        self.line = SimulatedLine("motion", clock=ScaledClock(4), layout=LAYOUT)
        self.c = qzr_kov.KOVAxisController(self.line)
        self.a, self.b = Axis(self.c, 1), Axis(self.c, 2)
        for station in (1, 2):
            self.c.set_ppmm(station, 100)
            self.c.set_parameters(station, 10.0, 200.0, 0.02)
        self.log = LogReader()

    def tearDown(self):
        for thread in list(self.c._find_o_threads.values()):
            thread.join(10)
        self.c.close(force=True)

    def logged(self, text):
        return [line for line in self.log.lines() if text in line]
