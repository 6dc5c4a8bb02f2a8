"""Following motions of the library while they run: progress lines on
screen, and what ends the wait before the motions do (a stop signal, a
failed recording, Enter, a time limit). The motions themselves (their
moves, stops and ends) are the library's: ``Motion.wait`` and ``cancel``,
``Machine.home``."""

import concurrent.futures
import contextlib
import sys
import threading
import time

from .display import LiveText, named_line, progress_line
from .failures import Interrupted, LinkError, ToolError, describe_exception
from .session import STOP_GRACE, STOP_WENT_OUT

#: seconds between two progress lines
REFRESH = 0.25
#: granularity of the checks while waiting, in seconds
TICK = 0.05

#: what ended a wait before the motions did
ENTER, SIGNAL, TIME, FAILED = "Enter", "signal", "time", "failed"


def say(text=""):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


class Shown(object):
    """Progress lines of the axes NAMES of AXES (session.Axes), at most one
    read of each per REFRESH seconds."""

    def __init__(self, axes, names):
        self.axes, self.names = axes, list(names)
        self.live = LiveText()
        self._next = 0.0

    def tick(self, force=False):
        now = time.monotonic()
        if not force and now < self._next:
            return
        self._next = now + REFRESH
        try:
            lines = [progress_line(self.axes.progress(name)) for name in self.names]
        except Exception:
            return  # a failed read shows up where the command waits
        if not self.axes.single:
            lines = [named_line(name, line) for name, line in zip(self.names, lines)]
        self.live.show(lines, force=force)

    def done(self):
        self.live.done()


def follow(axes, names, futures, signals, key=None, timeout=None, failing=False):
    """Show the axes NAMES while FUTURES (motions, or in_background's) run.
    Returns None once all have ended, else what ended the wait first:
    SIGNAL (a stop signal, or a recording that failed: SIGNALS tells),
    ENTER (KEY, an EnterKey, was pressed), TIME (TIMEOUT seconds passed)
    or, if FAILING, FAILED (one of them failed while others run). The
    motions are left as they are."""
    shown = Shown(axes, names)
    end = None if timeout is None else time.monotonic() + timeout
    try:
        while True:
            done, running = concurrent.futures.wait(futures, TICK)
            if not running:
                shown.tick(force=True)
                return None
            if failing and any(not f.cancelled() and f.exception() is not None for f in done):
                shown.tick(force=True)
                return FAILED
            if signals.raised:
                return SIGNAL
            if key is not None and key.pressed.is_set():
                return ENTER
            if end is not None and time.monotonic() >= end:
                return TIME
            shown.tick()
    finally:
        shown.done()


def in_background(call):
    """CALL() run in a thread of its own (the homing of a machine's group,
    which blocks); a Future of its outcome."""
    future = concurrent.futures.Future()

    def run():
        if not future.set_running_or_notify_cancel():
            return
        try:
            future.set_result(call())
        except BaseException as error:  # handed over to the main thread
            future.set_exception(error)
    thread = threading.Thread(target=run, name="qzr-kov homing")
    thread.daemon = True
    thread.start()
    return future


@contextlib.contextmanager
def stopped_on_failure(axes, names):
    """While the axes NAMES move on the tool's command: should anything go
    wrong that the command does not tell itself (a broken output pipe, a
    failure of its own), stop them through the library (stopping: the
    stops, then the homing runs collected) before the failure ends the
    program."""
    from qzr_kov_motion import stopping
    try:
        yield
    except (ToolError, Interrupted):
        raise
    except BaseException:
        with axes.seam.going_on(STOP_WENT_OUT), stopping(*(axes[name] for name in names)):
            raise


#: seconds between two looks at the axes of a machine's homing being stopped
HALT_PERIOD = 0.2


def halt(axes, names, work, seconds=STOP_GRACE):
    """Stop the axes NAMES, whose homing WORK (in_background's Machine.home)
    runs, and wait until it has ended. Machine.home hands out no motions to
    cancel; the runs it has started fail at the stop, and it then stops and
    collects the others itself. A run it starts after the stop would home
    all the way: an axis of NAMES seen running is stopped again, until WORK
    has ended or SECONDS have passed (LinkError)."""
    end = time.monotonic() + seconds
    first = True
    while True:
        with axes.seam.going_on(STOP_WENT_OUT):
            for name in names:
                try:
                    if first or axes[name].running:
                        axes[name].stop()
                except Exception as error:
                    raise LinkError("could not stop %s (%s)" % (name, describe_exception(error)))
        first = False
        if concurrent.futures.wait([work], HALT_PERIOD).done:
            return
        if time.monotonic() > end:
            raise LinkError("the homing of %s goes on %g s after the stop command"
                            % (", ".join(names), seconds))


def cancel(axes, name, motion):
    """Stop MOTION of the axis NAME through the library (cancel: the stop,
    then the axis seen at rest, a homing run collected); a stop whose only
    failure is its log line went out. False if it had ended already."""
    try:
        with axes.seam.going_on(STOP_WENT_OUT):
            return motion.cancel()
    except Exception as error:
        raise LinkError("could not stop %s (%s)" % ("the axis" if axes.single else name,
                                                    describe_exception(error)))


def stopping_text(axes, names, why):
    """The line that says the axes are being stopped, and WHY."""
    return "stopping %s (%s)" % ("the axis" if axes.single else ", ".join(names), why)


def stopped_text(axes, positions, listed=False):
    """The line that says where the axes stopped (POSITIONS: name to mm);
    LISTED: a machine's as a list after "stopped:"."""
    if axes.single:
        return "axis stopped at %.3f mm" % next(iter(positions.values()))
    parts = ["%s at %.3f mm" % item for item in positions.items()]
    if listed:
        return "stopped: " + ", ".join(parts)
    return ", ".join("%s stopped at %.3f mm" % item for item in positions.items())
