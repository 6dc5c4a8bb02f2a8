"""What ends a command from outside: stop signals (Ctrl-C, SIGTERM, SIGHUP)
turned into a flag, and Enter typed on standard input.

While a command drives the axes, the signal handlers only note the signal;
the command's wait sees it at its next check and stops the axes itself. So
no exception ever lands in the middle of an exchange with a station.
"""

import signal
import sys
import threading

from .failures import Interrupted

STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
                     if hasattr(signal, name))


class StopSignals(object):
    """Context manager: while active, a stop signal sets ``event`` and
    ``signum`` instead of ending the program.

    A failure found outside the command's wait (the recording could not be
    written) ends the command the same way: ``fail`` sets the event, and
    the command stops the axes and raises ``failure`` instead of Interrupted.
    Whichever comes first is what ends the command.
    """

    def __init__(self):
        self.event = threading.Event()
        self.signum = None
        self.failure = None
        self._why = None
        self._previous = {}
        self._lock = threading.Lock()

    def _note(self, signum, frame):
        if self.signum is None and self.failure is None:
            self.signum = signum
        self.event.set()

    def fail(self, error, why):
        """End the command with ERROR (a ToolError); WHY is said when the
        axes are stopped for it."""
        with self._lock:
            if self.signum is None and self.failure is None:
                self.failure, self._why = error, why
        self.event.set()

    @property
    def reason(self):
        """What ended the command, in words: the signal's name or WHY."""
        return self._why if self.failure is not None else signal_name(self.signum)

    def interruption(self):
        """The exception that ends the command once the axes are stopped."""
        return self.failure if self.failure is not None else Interrupted(self.signum)

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


class EnterKey(object):
    """Notices a line typed on standard input (``pressed``). With no input
    at all (end of file straight away) only a stop signal ends a jog."""

    def __init__(self):
        self.pressed = threading.Event()
        if sys.stdin is not None and not sys.stdin.closed:
            thread = threading.Thread(target=self._read, name="qzr-kov keys")
            thread.daemon = True
            thread.start()

    def _read(self):
        try:
            if sys.stdin.readline():
                self.pressed.set()
        except (OSError, ValueError):
            pass
