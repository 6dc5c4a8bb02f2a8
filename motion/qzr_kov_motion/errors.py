"""What a motion ends with when it does not end well, what a wait that
runs out of time raises, and the refusals of a move made before anything
is sent."""
import concurrent.futures
import sys
from typing import Any, Optional, Sequence, Tuple, Type, Union

from qzr_kov import StopSource

# Why a station stopped, as said in a MotionError's message.
REASONS = {
    StopSource.Null: "the station reported no stop source",
    StopSource.Command: "it was stopped by a command",
    StopSource.Origin: "it stopped on the origin sensor",
    StopSource.NegativeLimit: "it ran into the negative limit switch",
    StopSource.PositiveLimit: "it ran into the positive limit switch",
    StopSource.Alarm: "the drive raised an alarm",
    StopSource.Emergency: "the emergency stop input tripped",
}

# The controller's wait raises a plain OSError with this text when a move
# ended for another reason than reaching its target (N the stop source).
_MOVE_FAILED = "定位动作因故未能完成:%d"


class MotionError(OSError):
    """A move that ended for another reason than reaching its target, or a
    homing run that ended without finding the origin.

    ``station``: the station number; ``stop_source``: why the station
    stopped (a ``StopSource``), or None where the module reports no reason,
    as for a failed homing run; ``position``: the position in millimetres
    when the motion ended, or None if it could not be read.
    """

    def __init__(self, message: str, station: int, stop_source: Optional[StopSource] = None,
                 position: Optional[float] = None) -> None:
        OSError.__init__(self, message)
        self.station = station
        self.stop_source = stop_source
        self.position = position

    def __reduce__(self) -> Tuple[Any, ...]:
        # pickle and copy rebuild an exception as type(self)(*self.args),
        # which would miss the station; this one comes back with all of it.
        return _rebuilt, (type(self), self.args), self.__dict__


def _rebuilt(cls: Type[OSError], args: Tuple[Any, ...]) -> OSError:
    error = cls.__new__(cls, *args)
    OSError.__init__(error, *args)
    return error


def move_ended_early(station: int, source: StopSource, position: Optional[float],
                     what: str = "the move ended early") -> MotionError:
    """The MotionError of a move on STATION that ended with SOURCE, at
    POSITION mm if that could be read: WHAT and the reason, then the
    controller's own text for it at the end of the message, and as its
    cause."""
    text = _MOVE_FAILED % int(source)
    error = MotionError(describe(station, "%s: %s" % (what, REASONS[source]), position, text),
                        station, source, position)
    error.__cause__ = OSError(text)
    return error


def describe(station: int, what: str, position: Optional[float], detail: str) -> str:
    at = "" if position is None else ", at %.2f mm" % position
    return "station %d: %s%s (%s)" % (station, what, at, detail)


# The builtin TimeoutError is what a wait raises when its time runs out.
# Before 3.11 concurrent.futures has a TimeoutError class of its own; the
# class raised then is both, so that either except clause catches it.
if sys.version_info >= (3, 11):
    WaitTimeout = TimeoutError
else:
    class WaitTimeout(TimeoutError, concurrent.futures.TimeoutError):
        """The builtin TimeoutError that is also concurrent.futures.TimeoutError."""


class LimitError(ValueError):
    """A target outside an axis's travel, refused before anything was sent.

    ``axis``: the axis's name (None for an axis without one); ``station``;
    ``target``: the position in millimetres the move would end at;
    ``travel``: the ``(low, high)`` ends in millimetres.
    """

    def __init__(self, message: str, axis: Optional[str], station: int, target: float,
                 travel: Tuple[float, float]) -> None:
        ValueError.__init__(self, message)
        self.axis = axis
        self.station = station
        self.target = target
        self.travel = travel


class MachineError(ValueError):
    """What is wrong with a machine description, found before any line was
    opened: one line per problem, each starting with the key path
    (``axes.x.travel: ...``), or with the file's name for a problem of the
    file itself. ``problems`` holds those lines; ``path``, the name of the
    file read (as the messages show it), or None for a description that
    came from no file."""

    def __init__(self, problems: Union[str, Sequence[str]], path: Optional[str] = None) -> None:
        self.problems = [problems] if isinstance(problems, str) else list(problems)
        self.path = path
        ValueError.__init__(self, "\n".join(self.problems))


class NotHomedError(RuntimeError):
    """A move that needs the axis's coordinate (to an absolute target, to a
    named position, to the end of the travel), refused before anything was
    sent because the axis is not homed: its counter is no coordinate until
    homing has set it. ``axes``: the names of the axes refused (an axis
    without a name by its station: "station 3")."""

    def __init__(self, message: str, axes: Sequence[str] = ()) -> None:
        RuntimeError.__init__(self, message)
        self.axes = list(axes)

    def __reduce__(self) -> Tuple[Any, ...]:
        return type(self), (self.args[0], self.axes)
