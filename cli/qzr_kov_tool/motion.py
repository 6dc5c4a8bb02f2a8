"""Watching the axis while it moves: progress on screen, stop signals, and
stopping the axis when the user or a time limit says so."""

import collections
import contextlib
import sys
import threading
import time

from .display import LiveText, progress_line, stop_source_text
from .errors import (Interrupted, LinkError, LogNotWritten, NotSaved, ToolError,
                     describe_exception, from_controller, log_failure)

#: seconds between two progress lines
REFRESH = 0.25
#: granularity of the main loop's checks, in seconds
TICK = 0.05
#: how long a stopped axis may take to come to rest, in seconds
STOP_GRACE = 30.0

Progress = collections.namedtuple(
    "Progress", "position running origin negative_limit positive_limit")


def read_stop_source(axis, station):
    """The stop source, or the text of a code the module does not know."""
    try:
        return axis.get_stop_source(station)
    except ValueError as error:
        return "unknown code (%s)" % error


def read_progress(session):
    axis, station = session.axis, session.station
    words = axis.status_words(station)
    return Progress(axis.get_position(station), axis.is_running(station),
                    axis.at_o(station, words), axis.at_negative_limit(station, words),
                    axis.at_positive_limit(station, words))


class Background(threading.Thread):
    """Runs one blocking call of the controller; keeps its outcome."""

    def __init__(self, call):
        threading.Thread.__init__(self, name="qzr-kov wait")
        self.daemon = True
        self.call = call
        self.result = None
        self.error = None
        self.finished = threading.Event()

    def run(self):
        try:
            self.result = self.call()
        except BaseException as error:  # handed over to the main thread
            self.error = error
        finally:
            self.finished.set()

    def outcome(self):
        if self.error is not None:
            raise self.error
        return self.result


class Watcher(object):
    """Shows progress lines for the session's axis until told otherwise."""

    def __init__(self, session, stream=None):
        self.session = session
        self.live = LiveText(stream or sys.stdout)
        self._next = 0.0

    def tick(self, force=False):
        now = time.monotonic()
        if not force and now < self._next:
            return
        self._next = now + REFRESH
        try:
            progress = read_progress(self.session)
        except Exception:
            return  # a failed read shows up where the command waits
        self.live.show(progress_line(progress), force=force)

    def done(self):
        self.live.done()


@contextlib.contextmanager
def stopped_on_failure(session):
    """While the axis moves on the tool's command: should anything go wrong
    (a broken output pipe, a failed read), stop the axis before the failure
    ends the program. A stop signal, a recording or a log file that could
    not be written, has already stopped it."""
    try:
        yield
    except (Interrupted, NotSaved, LogNotWritten):
        raise
    except BaseException:
        send_stop(session)
        raise


#: what a stop whose log line failed did all the same
STOP_WENT_OUT = "the stop command went out all the same"


def _stop(session):
    """Send the stop command; the error if it could not be sent, else None.
    A stop whose only failure is its log line went out: that failure is
    kept in the session, to be told at the end."""
    try:
        session.axis.stop(session.station)
    except Exception as error:
        failure = log_failure(error)
        if failure is None:
            return error
        session.note_log_failure(failure, STOP_WENT_OUT)
    return None


def send_stop(session):
    """Stop the axis if the line lets the tool; False if it did not."""
    return _stop(session) is None


def stop_axis(session):
    """Stop the axis, or raise LinkError."""
    error = _stop(session)
    if error is not None:
        raise LinkError("could not stop the axis (%s)" % describe_exception(error))


def axis_state(session):
    """Where the axis is and whether it runs, in words, read afresh."""
    axis, station = session.axis, session.station
    try:
        running = axis.is_running(station)
        position = axis.get_position(station)
    except Exception as error:
        return "the axis state could not be read (%s)" % describe_exception(error)
    if running:
        return "the axis is RUNNING, at %.3f mm" % position
    return "the axis is at rest at %.3f mm" % position


def start_motion(session, start, doing, what):
    """Send the command that sets the axis moving: START(), whose result is
    returned. Should it fail, the command may have gone out all the same
    (its answer or, after it, its log line was lost): the axis is stopped
    before the failure ends the program. A ToolError of START's own is a
    refusal before anything was sent. DOING names the step, WHAT the
    motion."""
    try:
        return start()
    except ToolError:
        raise
    except Exception as error:
        failure = log_failure(error)
        if failure is None:
            send_stop(session)
            raise from_controller(error, doing)
        session.note_log_failure(failure, "%s had started" % what)
        position = stop_and_settle(session, Watcher(session))
        raise LogNotWritten(failure, "%s had started: the axis was stopped at %.3f mm"
                            % (what, position))


def ended_at_log_line(session, failure, what):
    """The LogNotWritten for WHAT (a move) whose end could not be logged:
    the wait logs it once the axis is at rest, before it checks the stop
    source, which is read here. The axis is stopped all the same."""
    source = read_stop_source(session.axis, session.station)
    session.note_log_failure(failure, "%s had ended" % what)
    position = stop_and_settle(session, Watcher(session))
    how = ("at its target" if source == session.module.StopSource.Null
           else "stopped by the %s" % stop_source_text(source))
    return LogNotWritten(failure, "%s had ended %s: the axis is at rest at %.3f mm"
                         % (what, how, position))


def wait_until_still(session, watcher, seconds=STOP_GRACE):
    """Poll until the axis no longer runs; False if it still runs after
    SECONDS."""
    end = time.monotonic() + seconds
    while True:
        try:
            running = session.axis.is_running(session.station)
        except Exception as error:
            raise LinkError("cannot read the axis state (%s)" % describe_exception(error))
        if not running:
            return True
        if time.monotonic() > end:
            return False
        watcher.tick()
        time.sleep(TICK)


def stop_and_settle(session, watcher, waiter=None, out=None):
    """Stop the axis, and keep stopping it until WAITER (the blocked wait of
    the command, if any) has ended and the axis is at rest: a homing run may
    start its next stage right after a stop. Returns the position."""
    out = out or sys.stdout
    end = time.monotonic() + STOP_GRACE
    while True:
        stop_axis(session)
        if waiter is None or waiter.finished.wait(0.2) or time.monotonic() > end:
            break
    if not wait_until_still(session, watcher, max(end - time.monotonic(), 1.0)):
        watcher.done()
        raise LinkError("the axis still runs %d s after the stop command" % STOP_GRACE)
    watcher.done()
    position = session.axis.get_position(session.station)
    out.write("axis stopped at %.3f mm\n" % position)
    out.flush()
    return position


def end_homing(session, watcher, out=None):
    """Stop a homing run that went wrong and collect its result, so that no
    worker is left: keep stopping until the worker has ended (a stop may
    end one stage and the worker start the next), then collect it. A
    collection whose log line fails has taken the result all the same.
    Returns the position at rest."""
    axis, station = session.axis, session.station
    if not axis.is_finding_o(station):
        return stop_and_settle(session, watcher, out=out)
    waiter = Background(lambda: axis.wait_for_find_o_finish(station, STOP_GRACE))
    waiter.start()
    position = stop_and_settle(session, watcher, waiter, out)
    waiter.finished.wait(STOP_GRACE)
    if waiter.error is not None:
        failure = log_failure(waiter.error)
        if failure is None:
            raise LinkError("could not collect the homing run's result (%s)"
                            % describe_exception(waiter.error))
        session.note_log_failure(failure, "the homing run was stopped")
    if axis.is_finding_o(station):
        raise LinkError("the homing run still goes on %d s after the stop command" % STOP_GRACE)
    return position


def wait_while_moving(session, signals, call, out=None):
    """Run CALL (a blocking wait of the controller) in a helper thread while
    showing progress; return its result or raise its exception. On a stop
    signal (or a failed recording), stop the axis, let the wait end, and
    raise Interrupted (or the recording's failure)."""
    out = out or sys.stdout
    waiter = Background(call)
    watcher = Watcher(session, out)
    waiter.start()
    while not waiter.finished.wait(TICK):
        if signals.raised:
            watcher.done()
            out.write("stopping the axis (%s)\n" % signals.reason)
            out.flush()
            stop_and_settle(session, watcher, waiter, out)
            raise signals.interruption()
        watcher.tick()
    watcher.tick(force=True)
    watcher.done()
    return waiter.outcome()
