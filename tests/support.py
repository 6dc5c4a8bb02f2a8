"""Shared test set-up: where the built module and the stand-ins are, a private
working directory (importing the module creates "log" in the working
directory), reading back the log file, and running code in a fresh
interpreter."""
import gc
import os
import re
import subprocess
import sys
import tempfile

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
from qzr_kov_sim import RecordingMaster, VirtualClock  # noqa: E402

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
