"""What the tool shows: the axis status as a block or one progress line,
lines that refresh in place on a terminal, and output streams that take
any text."""

import collections
import io
import sys
import time

#: what a progress line shows of an axis
Progress = collections.namedtuple(
    "Progress", "position running origin negative_limit positive_limit")

# StopSource member names (the values are the module's stop-source codes).
STOP_SOURCE_TEXT = {
    "Null": "none (the last motion ended normally)",
    "Command": "stop command",
    "Origin": "origin input (origin search finished)",
    "NegativeLimit": "negative limit switch",
    "PositiveLimit": "positive limit switch",
    "Alarm": "drive alarm input",
    "Emergency": "emergency-stop input",
}


def stop_source_text(source):
    """Words for a StopSource member, or for the text of an unreadable code."""
    name = getattr(source, "name", None)
    if name in STOP_SOURCE_TEXT:
        return "%s [%d]" % (STOP_SOURCE_TEXT[name], int(source))
    return str(source)


def on_off(value):
    return "on" if value else "off"


def enabled(disabled):
    if disabled is None:
        return "unknown"
    return "disabled" if disabled else "enabled"


def emergency_text(input_on):
    # The emergency input is normally closed: on means all is well.
    if input_on:
        return "released (input on)"
    return "ACTIVE (input off: button pressed or circuit open)"


def drive_text(enabled):
    if enabled:
        return "enabled (Y2 on: the motor holds torque)"
    return "DISABLED (Y2 off: the axis is free and does not follow the pulses)"


def alarm_text(active):
    return "ACTIVE (input on)" if active else "off"


def status_block(status):
    """The full status of one station as lines of text."""
    rows = [
        ("position", "%.3f mm" % status.position),
        ("running", "yes" if status.running else "no"),
        ("drive", drive_text(status.drive_enabled)),
        ("origin input", on_off(status.origin)),
        ("negative limit", on_off(status.negative_limit)),
        ("positive limit", on_off(status.positive_limit)),
        ("alarm", alarm_text(status.alarm)),
        ("emergency", emergency_text(status.emergency_input)),
        ("stop source", stop_source_text(status.stop_source)),
        ("negative limit switch", enabled(status.negative_limit_disabled)),
        ("positive limit switch", enabled(status.positive_limit_disabled)),
        ("alarm input", enabled(status.alarm_disabled)),
        ("emergency input", enabled(status.emergency_disabled)),
    ]
    return ["%-22s %s" % row for row in rows]


def progress_line(progress):
    """One short line while the axis moves."""
    flags = []
    if progress.origin:
        flags.append("origin")
    if progress.negative_limit:
        flags.append("-limit")
    if progress.positive_limit:
        flags.append("+limit")
    return "%10.3f mm  %-7s %s" % (progress.position,
                                   "running" if progress.running else "stopped",
                                   " ".join(flags))


def named_line(name, text):
    """TEXT about the axis NAME of a machine, in a column after the name."""
    return "%-8s %s" % (name, text)


#: the flags of a watched axis's state (qzr_kov_motion.AxisState) and
#: their words when they are on (homed: when it is off)
STATE_FLAGS = (("running", None), ("homed", "not-homed"), ("origin", "origin"),
               ("negative_limit", "-limit"), ("positive_limit", "+limit"), ("alarm", "ALARM"),
               ("emergency", "EMERGENCY"))
#: the least change of position a watch tells, in mm
WATCH_STEP_MM = 0.001


class StateLines(object):
    """What a watch shows of the states (qzr_kov_motion.AxisState) of the
    axes NAMES: on a terminal a table of one line per axis (``table``),
    elsewhere one line per change of an axis (``changes``): a position
    moved by WATCH_STEP_MM or more, a flag that changed, or a state that
    became stale or fresh again. A state is stale when it was read more
    than STALE_AFTER seconds before (time.monotonic())."""

    def __init__(self, names, stale_after):
        self.names = list(names)
        self.stale_after = stale_after
        self._told = {}         # name -> (state, stale) of its last line

    def table(self, states, now):
        return [self._line(name, states[name], now) for name in self.names if name in states]

    def changes(self, states, now):
        lines = []
        for name in self.names:
            if name not in states:
                continue
            state, stale = states[name], self._age(states[name], now) is not None
            told = self._told.get(name)
            if told is None or told[1] != stale or _changed(told[0], state):
                self._told[name] = (state, stale)
                lines.append("%s %s" % (_clock_time(state.time, now),
                                        self._line(name, state, now)))
        return lines

    def _age(self, state, now):
        """How old STATE is, if it is stale; else None."""
        age = now - state.time
        return age if age > self.stale_after else None

    def _line(self, name, state, now):
        # Each flag's word while it is on; homed's while it is off.
        flags = [word for field, word in STATE_FLAGS[1:]
                 if bool(getattr(state, field)) != (field == "homed")]
        text = "%10.3f mm %9.3f mm/s  %-7s %s" % (state.position, state.velocity,
                                                  "running" if state.running else "stopped",
                                                  " ".join(flags))
        age = self._age(state, now)
        if age is not None:
            text = text.rstrip() + "  (stale: read %.1f s ago)" % age
        return named_line(name, text.rstrip())


def _changed(before, after):
    """Whether the state AFTER shows a change from BEFORE worth a line."""
    if abs(after.position - before.position) >= WATCH_STEP_MM - 1e-9:
        return True
    return any(bool(getattr(before, field)) != bool(getattr(after, field))
               for field, _ in STATE_FLAGS)


def _clock_time(read_at, now):
    """The time of day of READ_AT (time.monotonic(), NOW being now)."""
    wall = time.time() - (now - read_at)
    return "%s.%03d" % (time.strftime("%H:%M:%S", time.localtime(wall)),
                        int(wall * 1000) % 1000)


class LiveText(object):
    """Text that refreshes in place on a terminal.

    On a terminal each ``show`` redraws the previous lines; elsewhere (a pipe,
    a log file) it appends them, at most once per ``quiet_period`` seconds,
    so that a long wait does not fill a log with copies of the same line.
    """

    def __init__(self, stream=None, live=None, quiet_period=1.0):
        self.stream = stream or sys.stdout
        self.live = self.stream.isatty() if live is None else live
        self.quiet_period = quiet_period
        self._shown = 0          # lines on screen that the next show replaces
        self._last = None        # when lines were last appended (not live)

    def show(self, lines, force=False):
        if isinstance(lines, str):
            lines = [lines]
        if self.live:
            out = "\033[%dA" % (self._shown - 1) if self._shown > 1 else ""
            out += "\r" if self._shown else ""
            out += "\n".join(line + "\033[K" for line in lines)
            self._shown = len(lines)
            self.stream.write(out)
        else:
            now = time.monotonic()
            if not force and self._last is not None and now - self._last < self.quiet_period:
                return
            self._last = now
            self.stream.write("".join(line + "\n" for line in lines))
        self.stream.flush()

    def done(self):
        """End the live lines so that the next output starts below them."""
        if self.live and self._shown:
            self.stream.write("\n")
            self.stream.flush()
        self._shown = 0


#: streams replaced by escaping(), kept so that they never close the
#: buffer they share with their replacement
_REPLACED = []


def escaping(stream):
    """STREAM, writing what its encoding cannot take (a name in another
    script under LANG=C, a lone surrogate) as backslash escapes instead of
    failing with UnicodeEncodeError: STREAM itself where it can be told so
    (Python 3.7 and later), else a new stream on its buffer."""
    if stream is None or getattr(stream, "errors", None) == "backslashreplace":
        return stream
    reconfigure = getattr(stream, "reconfigure", None)
    if reconfigure is not None:
        reconfigure(errors="backslashreplace")
        return stream
    buffer = getattr(stream, "buffer", None)
    if buffer is None or not isinstance(stream, io.TextIOWrapper):
        return stream       # text kept in memory: it takes anything
    stream.flush()
    _REPLACED.append(stream)
    return io.TextIOWrapper(buffer, encoding=stream.encoding, errors="backslashreplace",
                            line_buffering=stream.line_buffering)
