"""The axes a command works on: the axis of one station, or the named axes
of a machine description, each a ``qzr_kov_motion.Axis`` on its line's
controller. What they are doing, read afresh; bringing them to rest; and
closing their lines when the program ends."""

import collections
import time

from .display import Progress, stop_source_text
from .failures import LinkError, Refused, ToolError, describe_exception

#: how long stopped axes may take to come to rest, in seconds
STOP_GRACE = 30.0
#: seconds between two reads of an axis that is to come to rest
TICK = 0.05
#: what a stop whose log line failed did all the same
STOP_WENT_OUT = "the stop command went out all the same"


def read_stop_source(controller, station):
    """The stop source, or the text of a code the module does not know."""
    try:
        return controller.get_stop_source(station)
    except ValueError as error:
        return "unknown code (%s)" % error


class Axes(object):
    """AXES (name to qzr_kov_motion.Axis, in order) on the CONTROLLERS of
    MODULE (qzr_kov), seen through SEAM (logfile.LogSeam). CLOCK is the
    lines' time (a simulated line's own, which may run faster than the wall
    clock); SIMULATED tells whether the lines are simulated. MACHINE is the
    qzr_kov_motion.Machine of a description (PATH its file), or None for
    one station, whose one axis is named "station N". LINES are the lines
    (masters) the tool opened, closed at the end if no controller did."""

    def __init__(self, module, seam, axes, controllers, clock, simulated, machine=None,
                 path=None, lines=()):
        self.module = module
        self.seam = seam
        self.axes = collections.OrderedDict(axes)
        self.controllers = list(controllers)
        self.clock = clock
        self.simulated = simulated
        self.machine = machine
        self.path = path
        self.lines = list(lines)

    @property
    def single(self):
        """Whether this is one station (its texts are those of a station)."""
        return self.machine is None

    def __getitem__(self, name):
        try:
            return self.axes[name]
        except KeyError:
            raise Refused("no axis %r (the axes are %s)" % (name, ", ".join(self.axes)))

    def one(self):
        """The name and Axis of one station's axis."""
        return next(iter(self.axes.items()))

    def names(self, given=None):
        """GIVEN (names), each checked, in the order given; every axis if
        none."""
        if not given:
            return list(self.axes)
        for name in given:
            self[name]
        return list(collections.OrderedDict.fromkeys(given))

    def progress(self, name):
        """What a progress line shows of the axis NAME: one read."""
        axis = self[name]
        controller, station = axis.controller, axis.station
        words = controller.status_words(station)
        return Progress(controller.get_position(station, words),
                        controller.is_running(station, words), controller.at_o(station, words),
                        controller.at_negative_limit(station, words),
                        controller.at_positive_limit(station, words))

    def stop_source(self, name):
        axis = self[name]
        return read_stop_source(axis.controller, axis.station)

    def state(self, names=None, sources=False):
        """Where the axes NAMES (default all) are and whether they run, in
        words, read afresh; SOURCES: with the stop source of each."""
        parts = []
        for name in names or list(self.axes):
            axis = self[name]
            try:
                running, position = axis.running, axis.position
                source = (" (stop source: %s)" % stop_source_text(self.stop_source(name))
                          if sources else "")
            except Exception as error:
                what = "the axis state" if self.single else name
                parts.append("%s could not be read (%s)" % (what, describe_exception(error)))
                continue
            if self.single:
                parts.append("the axis is RUNNING, at %.3f mm%s" % (position, source) if running
                             else "the axis is at rest at %.3f mm%s" % (position, source))
            else:
                parts.append("%s %s at %.3f mm%s" % (name, "is RUNNING" if running else
                                                     "at rest", position, source))
        return ", ".join(parts)

    def bring_to_rest(self, names, seconds=STOP_GRACE):
        """Send the stop command to each axis of NAMES, collect a homing run
        still pending on its station, and read each until it is at rest, for
        at most SECONDS in all; returns name to position at rest. A stop
        whose only failure is its log line went out. An axis still running
        then ends the command (exit code 1); a stop or a read that fails,
        with LinkError."""
        from qzr_kov_motion import homing
        with self.seam.going_on(STOP_WENT_OUT):
            for name in names:
                axis = self[name]
                try:
                    axis.stop()
                    if axis.controller.is_finding_o(axis.station):
                        homing.end_homing(axis)
                except Exception as error:
                    raise LinkError("could not stop %s (%s)" % (self._label(name),
                                                                describe_exception(error)))
        return self.at_rest(names, seconds)

    def at_rest(self, names, seconds=STOP_GRACE):
        """Read each axis of NAMES until it is at rest, for at most SECONDS
        in all; returns name to position (see bring_to_rest)."""
        end = time.monotonic() + seconds
        pending = list(names)
        while True:
            for name in list(pending):
                axis = self[name]
                try:
                    if not axis.running:
                        pending.remove(name)
                except Exception as error:
                    raise LinkError("cannot read the state of %s (%s)"
                                    % (self._label(name), describe_exception(error)))
            if not pending:
                break
            if time.monotonic() > end:
                raise ToolError(self.still_running(pending, seconds))
            time.sleep(TICK)
        try:
            return collections.OrderedDict((name, self[name].position) for name in names)
        except Exception as error:
            raise LinkError("cannot read where the axes stopped (%s)" % describe_exception(error))

    def still_running(self, names, seconds):
        if self.single:
            return "the axis still runs %g s after the stop command" % seconds
        return ("could not see %s at rest: %s still run%s %g s after the stop command"
                % (", ".join(names), "it" if len(names) == 1 else "they",
                   "s" if len(names) == 1 else "", seconds))

    def _label(self, name):
        return "the axis" if self.single else name

    def release(self):
        """Close every line as the program ends, also when a homing result
        is uncollected or the closing log lines fail; never raises."""
        from qzr_kov_motion import homing
        outcome = ("the line was closed without its log line" if len(self.controllers) == 1
                   else "the lines were closed without their log lines")
        with self.seam.going_on(outcome):
            for axis in self.axes.values():
                try:
                    if axis.controller.is_finding_o(axis.station):
                        axis.stop()
                        homing.end_homing(axis)
                except Exception:
                    pass
            for controller in self.controllers:
                close_controller(controller)
        for line in self.lines:
            close_line(line)


def close_controller(controller):
    """Close CONTROLLER for good: forced where a homing result could not be
    collected; never raises."""
    try:
        controller.close()
    except RuntimeError:
        try:
            controller.close(force=True)
        except Exception:
            pass
    except Exception:
        pass


def close_line(line):
    """Close a line (a master) that the tool opened, unless it is closed
    already; never raises."""
    if getattr(line, "closed", False):
        return
    try:
        line.close()
    except Exception:
        pass
