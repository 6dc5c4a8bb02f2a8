"""Clocks for the simulator.

Each clock offers ``time()`` and ``sleep(dt)`` with the signatures of
``time.time`` and ``time.sleep``, so the same pair can be handed to the
controller as its idea of time.
"""

import threading
import time as _time


def _check_delay(seconds):
    if seconds < 0:
        raise ValueError("sleep length must be non-negative")


class RealClock(object):
    """Wall-clock time: ``time.time`` and ``time.sleep``."""

    def time(self):
        return _time.time()

    def sleep(self, seconds):
        _time.sleep(seconds)


class ScaledClock(object):
    """Time that runs FACTOR times faster than the wall clock.

    ``time()`` starts at START (default: the wall clock at creation) and
    ``sleep(dt)`` really sleeps dt / factor seconds.
    """

    def __init__(self, factor, start=None):
        if not factor > 0:
            raise ValueError("factor must be positive")
        self.factor = float(factor)
        self._start = _time.time() if start is None else float(start)
        self._origin = _time.monotonic()

    def time(self):
        return self._start + (_time.monotonic() - self._origin) * self.factor

    def sleep(self, seconds):
        _check_delay(seconds)
        _time.sleep(seconds / self.factor)


class VirtualClock(object):
    """Time that only moves when someone sleeps or advances it.

    ``sleep(dt)`` advances the shared virtual time by dt and then really
    sleeps YIELD_TIME seconds so that other threads get to run.  When several
    threads sleep at once, each of them advances the time.  Time starts at
    START (default 1000.0, so that no caller mistakes it for "unset").
    """

    def __init__(self, start=1000.0, yield_time=0.0001):
        self._now = float(start)
        self.yield_time = yield_time
        self._lock = threading.Lock()

    def time(self):
        with self._lock:
            return self._now

    def advance(self, seconds):
        """Move the time forward by SECONDS without sleeping."""
        _check_delay(seconds)
        with self._lock:
            self._now += seconds

    def sleep(self, seconds):
        self.advance(seconds)
        _time.sleep(self.yield_time)
