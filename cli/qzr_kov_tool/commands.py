"""The commands that read and set up axes without moving them (status,
enable, disable, config, record) and those that need no line at all
(check, positions, plot). Each prints what it found or did and returns the
exit code, or raises ToolError."""

import collections
import os
import threading
import time

from . import plot
from .connect import read_description
from .display import (LiveText, Progress, StateLines, named_line, progress_line,
                      status_block, stop_source_text)
from .failures import EXIT_OK, Refused, ToolError
from .progress import REFRESH, say
from .record import read_csv, recording
from .signals import signal_name

Status = collections.namedtuple("Status", [
    "position", "running", "drive_enabled", "origin", "negative_limit", "positive_limit",
    "alarm", "emergency_input", "stop_source", "negative_limit_disabled",
    "positive_limit_disabled", "alarm_disabled", "emergency_disabled"])


def read_status(axes, name):
    axis = axes[name]
    controller, station = axis.controller, axis.station
    words = controller.status_words(station)
    return Status(
        # Position and running are read afresh rather than taken from the
        # status words: the inputs are all the tool relies on in those.
        position=controller.get_position(station),
        running=controller.is_running(station),
        drive_enabled=controller.get_coil(station, "Y2"),
        origin=controller.at_o(station, words),
        negative_limit=controller.at_negative_limit(station, words),
        positive_limit=controller.at_positive_limit(station, words),
        alarm=controller.is_alarming(station, words),
        emergency_input=controller.at_emergency(station, words),
        stop_source=axes.stop_source(name),
        negative_limit_disabled=controller.negative_limit_is_disabled(station),
        positive_limit_disabled=controller.positive_limit_is_disabled(station),
        alarm_disabled=controller.alarm_is_disabled(station),
        emergency_disabled=controller.emergency_is_disabled(station))


def _station_line(axes):
    name, axis = axes.one()
    return "station %s, %s pulses/mm" % (axis.station, axis.controller.ppmm(axis.station))


# -- status ----------------------------------------------------------------

def status(axes, options, signals):
    if not axes.single and options.watch:
        return _watch_machine(axes, options, signals)
    if not axes.single:
        for name in axes.names(options.axes):
            line = progress_line(axes.progress(name)).rstrip()
            say(named_line(name, "%s  last stop: %s"
                           % (line, stop_source_text(axes.stop_source(name)))))
        return EXIT_OK
    name, axis = axes.one()
    if not options.watch:
        say(_station_line(axes))
        for line in status_block(read_status(axes, name)):
            say(line)
        return EXIT_OK
    live = LiveText(quiet_period=0)
    while True:
        lines = ["%s, %s" % (_station_line(axes), time.strftime("%H:%M:%S"))]
        lines += status_block(read_status(axes, name))
        live.show(lines if live.live else lines + [""])
        if signals.wait(options.interval):
            break
    live.done()
    say("watch ended (%s)" % signal_name(signals.signum))
    return EXIT_OK


#: seconds between two looks at a machine's watched states
WATCH_TICK = 0.05


class _Newest(object):
    """The newest states a watcher handed over (from its own thread), until
    they are taken."""

    def __init__(self):
        self._lock = threading.Lock()
        self._states = None

    def hand_in(self, states):
        with self._lock:
            self._states = states

    def take(self):
        with self._lock:
            states, self._states = self._states, None
        return states


def _watch_machine(axes, options, signals, stream=None):
    """status --watch on a machine: the states Machine.watch hands over
    (idle axes read every --interval seconds), as a table refreshed in
    place on a terminal, else a line per change, until a stop signal; a
    state older than two intervals is marked stale."""
    names = axes.names(options.axes)
    interval = options.interval
    shown = StateLines(names, 2 * interval)
    live = LiveText(stream, quiet_period=0)
    newest = _Newest()
    states, redraw = {}, 0.0
    with axes.machine.watch(newest.hand_in, idle_period=interval):
        while not signals.wait(WATCH_TICK):
            fresh = newest.take()
            if fresh is not None:
                states = fresh
            now = time.monotonic()
            if live.live:
                if fresh is not None or now >= redraw:
                    live.show(["%s, %s; Ctrl-C ends the watch" % (axes.path,
                                                                time.strftime("%H:%M:%S"))]
                              + shown.table(states, now))
                    redraw = now + interval
            else:
                lines = shown.changes(states, now)
                if lines:
                    live.show(lines, force=True)
    live.done()
    live.stream.write("watch ended (%s)\n" % signal_name(signals.signum))
    live.stream.flush()
    return EXIT_OK


# -- enable, disable -------------------------------------------------------

def enable(axes, options, signals):
    return _drive(axes, options, True)


def disable(axes, options, signals):
    return _drive(axes, options, False)


def _drive(axes, options, on):
    """Enable (ON) or disable the drives, then read their enable output Y2
    back: a drive that did not follow is told (exit code 1)."""
    names = axes.names(options.axes)
    for name in names:
        axis = axes[name]
        (axis.controller.enable_axis if on else axis.controller.disable_axis)(axis.station)
    text = ("drive enabled: the motor holds torque" if on
            else "drive disabled: the axis is free and can be moved by hand")
    stuck = []
    for name in names:
        axis = axes[name]
        if bool(axis.controller.get_coil(axis.station, "Y2")) != on:
            stuck.append(name)
        else:
            say(text if axes.single else "%s: %s" % (name, text))
    if stuck:
        raise ToolError("the drive %s did not follow: %s enable output Y2 is still %s after the "
                        "%s command" % ("" if axes.single else "of " + ", ".join(stuck),
                                        "its" if len(stuck) == 1 else "their",
                                        "off" if on else "on", "enable" if on else "disable"))
    return EXIT_OK


# -- config ----------------------------------------------------------------

SWITCHES = (
    # option, label, enable method, disable method, query
    ("negative_limit", "negative limit switch", "enable_negative_limit",
     "disable_negative_limit", "negative_limit_is_disabled"),
    ("positive_limit", "positive limit switch", "enable_positive_limit",
     "disable_positive_limit", "positive_limit_is_disabled"),
    ("alarm", "alarm input", "enable_alarm", "disable_alarm", "alarm_is_disabled"),
    ("emergency", "emergency input", "enable_emergency", "disable_emergency",
     "emergency_is_disabled"),
)

UNKNOWN = "unknown (the module cannot be asked; set it with %s)"


def config(axes, options, signals):
    names = axes.names(options.axes)
    for name in names:
        axis = axes[name]
        controller, station = axis.controller, axis.station
        for option, label, enable_name, disable_name, query in SWITCHES:
            value = getattr(options, option)
            if value is not None:
                getattr(controller, enable_name if value == "enable" else disable_name)(station)
        if options.origin_edge is not None:
            controller.origin_rising_valid(station, options.origin_edge == "rising")
        if options.reverse_direction is not None:
            controller.reverse_direction_output(station, options.reverse_direction == "yes")
    for name in names:
        axis = axes[name]
        say("station %s configuration" % axis.station if axes.single
            else "%s (station %s) configuration" % (name, axis.station))
        for option, label, enable_name, disable_name, query in SWITCHES:
            disabled = getattr(axis.controller, query)(axis.station)
            say("%-22s %s" % (label, "disabled" if disabled else "enabled"))
        say("%-22s %s" % ("origin edge", options.origin_edge or UNKNOWN % "--origin-edge"))
        if options.reverse_direction is None:
            reverse = UNKNOWN % "--reverse-direction"
        else:
            reverse = "inverted" if options.reverse_direction == "yes" else "normal"
        say("%-22s %s" % ("direction output", reverse))
    return EXIT_OK


# -- record ----------------------------------------------------------------

def record(axes, options, signals):
    """Sample the axes without moving them, for --duration seconds of the
    lines' time or until a stop signal."""
    names = axes.names(options.axes)
    duration = options.duration
    if axes.single:
        name, axis = axes.one()
        title = "station %s, %s pulses/mm: recorded without moving it" % (
            axis.station, axis.controller.ppmm(axis.station))
        what = "station %s" % axis.station
    else:
        title = "%s: %s recorded without moving them" % (axes.path, ", ".join(names))
        what = ", ".join(names)
    with recording([(name, axes[name]) for name in names], axes.clock, options.file,
                   options.plot, title, signals, named=not axes.single) as recorder:
        say("recording %s %s; Ctrl-C ends it"
            % (what, "for %g s" % duration if duration else "until a stop signal"))
        live = LiveText()
        clock = axes.clock
        end = None if duration is None else clock.time() + duration
        while True:
            # The lines' seconds left, in seconds of the wall clock.
            left = None if end is None else (end - clock.time()) / _speed(clock)
            if left is not None and left <= 0:
                break
            if signals.wait(REFRESH if left is None else min(REFRESH, left)):
                break
            seen = [name for name in names if name in recorder.latest]
            lines = [progress_line(_progress(recorder.latest[name])) for name in seen]
            if not axes.single:
                lines = [named_line(name, line) for name, line in zip(seen, lines)]
            if lines:
                live.show(lines)
        live.done()
        if signals.raised:
            # The axes are not the tool's to stop: another program may drive them.
            say("recording ended (%s)" % signals.reason)
            if signals.failure is not None:
                raise signals.failure
    return EXIT_OK


def _progress(sample):
    return Progress(sample.position_mm, sample.running, sample.origin, sample.negative_limit,
                    sample.positive_limit)


def _speed(clock):
    """How much faster than the wall clock the lines' time runs."""
    return getattr(clock, "factor", 1.0)


# -- check, positions, plot: no line ----------------------------------------

def check(options):
    description = read_description(options.file)
    from qzr_kov_motion import description as keys
    for axis in description.axes.values():
        say(keys.summary(axis, description))
    if description.taught is not None:
        say("taught positions read from %s" % description.taught.path)
    return EXIT_OK


def positions(options):
    """The named positions of each axis (or of those named), from the
    description."""
    description = read_description(options.machine)
    from qzr_kov_motion import description as keys
    names = options.axes or list(description.axes)
    for name in names:
        if name not in description.axes:
            raise Refused("no axis %r (the axes are %s)" % (name, ", ".join(description.axes)))
    for name in names:
        axis = description.axes[name]
        places = ", ".join("%s %s" % (keys.printable(place), _mm(mm))
                           for place, mm in axis.positions.items())
        travel = ("travel %s to %s mm" % tuple(_mm(end) for end in axis.travel)
                  if axis.travel else "no travel")
        say(named_line(keys.printable(name), "%s (%s)" % ("%s mm" % places if places
                                                          else "no named positions", travel)))
    return EXIT_OK


def _mm(value):
    return "%.3f" % value


def draw_recording(options):
    """The plot command: a recording's CSV file drawn to a picture."""
    output = options.output or os.path.splitext(options.file)[0] + ".png"
    if os.path.abspath(output) == os.path.abspath(options.file):
        raise Refused("the picture would replace the recording %s: name it with -o"
                      % options.file)
    plot.check(output)
    samples = read_csv(options.file)
    plot.draw(samples, output, options.title or os.path.basename(options.file))
    say("plotted %d samples over %.3f s to %s" % (samples.count, samples.duration, output))
    return EXIT_OK
