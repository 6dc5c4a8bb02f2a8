"""Stop signals (Ctrl-C, SIGTERM, SIGHUP) turned into a flag.

While a command drives the axis, the signal handlers only note the signal;
the command's loop sees it at its next check and stops the axis itself. So
no exception ever lands in the middle of an exchange with the station.
"""

import signal
import threading

STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
                     if hasattr(signal, name))


class StopSignals(object):
    """Context manager: while active, a stop signal sets ``event`` and
    ``signum`` instead of ending the program."""

    def __init__(self):
        self.event = threading.Event()
        self.signum = None
        self._previous = {}

    def _note(self, signum, frame):
        if self.signum is None:
            self.signum = signum
        self.event.set()

    def __enter__(self):
        for signum in STOP_SIGNALS:
            self._previous[signum] = signal.signal(signum, self._note)
        return self

    def __exit__(self, *exc):
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)
        self._previous.clear()
        return False

    @property
    def raised(self):
        return self.event.is_set()

    def wait(self, seconds):
        """Sleep up to SECONDS; True as soon as a stop signal came."""
        return self.event.wait(seconds)


def signal_name(signum):
    try:
        return signal.Signals(signum).name
    except ValueError:
        return "signal %d" % signum
