"""One station of a controller as an object whose motions are futures, and
the safety net that stops axes when a block of code is left by an error."""
import logging
import math
import types
from typing import Callable, Dict, Mapping, Optional, Sequence, Tuple, Type, Union

from qzr_kov import Direction, KOVAxisController

from . import homing, poller
from .errors import LimitError
from .motion import Motion

_log = logging.getLogger("qzr_kov_motion")

#: a target: millimetres, or the name of one of the axis's positions
Target = Union[float, str]


class Axis(object):
    """The axis of STATION on CONTROLLER. Every command goes through the
    controller's own methods.

    NAME (for messages), TRAVEL (the soft limits ``(low, high)`` in mm) and
    POSITIONS (name to mm) are optional. With a travel, a move whose target
    lies outside it is refused with LimitError before anything is sent.
    """

    def __init__(self, controller: KOVAxisController, station: int, name: Optional[str] = None,
                 travel: Optional[Sequence[float]] = None,
                 positions: Optional[Mapping[str, float]] = None) -> None:
        self.controller = controller
        self.station = station
        self.name = name
        self.travel = None  # type: Optional[Tuple[float, float]]
        low, high = -math.inf, math.inf
        if travel is not None:
            low, high = (float(end) for end in travel)
            if not low < high:
                raise ValueError("%s: the travel's low end %r is not below its high end %r"
                                 % (self._label(), low, high))
            self.travel = (low, high)
        self.positions = {}  # type: Dict[str, float]
        for key, mm in (positions or {}).items():
            self.positions[key] = float(mm)
            if self.travel is not None and not low <= self.positions[key] <= high:
                raise ValueError("%s: the position %s at %r mm lies outside its travel %s"
                                 % (self._label(), key, self.positions[key],
                                    self._travel_text()))

    def __repr__(self) -> str:
        if self.name is None:
            return "Axis(%r, %d)" % (self.controller, self.station)
        return "Axis(%r, %d, name=%r)" % (self.controller, self.station, self.name)

    @property
    def position(self) -> float:
        """The position in millimetres (one read)."""
        return self.controller.get_position(self.station)

    @property
    def running(self) -> bool:
        """Whether the station is sending pulses (one read)."""
        return self.controller.is_running(self.station)

    def stop(self) -> None:
        self.controller.stop(self.station)

    def target(self, target: Target) -> float:
        """TARGET in millimetres, checked against the travel; nothing is
        sent. TARGET is a number or the name of one of ``positions``:
        KeyError for an unknown name, LimitError for a target outside the
        travel."""
        if isinstance(target, str):
            if target not in self.positions:
                raise KeyError("%s has no position %r (%s)" % (
                    self._label(), target,
                    "its positions: " + ", ".join(self.positions) if self.positions
                    else "it has no named positions"))
            mm = self.positions[target]
        else:
            mm = float(target)
        self._check(mm, "the target %r mm lies" % mm)
        return mm

    def move_to(self, mm: Target) -> "Motion[float]":
        """Starts an absolute move to MM millimetres, or to the position
        named MM (one of ``positions``). A target outside the travel raises
        LimitError, an unknown name KeyError, both before anything is
        sent."""
        if isinstance(mm, str) or self.travel is not None:
            mm = self.target(mm)
        self.controller.locate_absolutely(self.station, mm)
        return self._watched()

    def move_by(self, mm: float) -> "Motion[float]":
        """Starts a relative move by MM millimetres. With a travel, the end
        (the position, read once, plus MM) outside it raises LimitError
        before the move is started."""
        if self.travel is not None:
            start = self.position
            end = start + float(mm)
            self._check(end, "a move by %r mm from %r mm would end at %r mm,"
                        % (float(mm), start, end))
        self.controller.locate_relatively(self.station, mm)
        return self._watched()

    def home(self, start_velocity: float, velocity: float, acceleration_time: float,
             direction: Direction = Direction.Negative) -> "Motion[bool]":
        """Starts homing by the controller's finding_o_method (find_o)."""
        def begin() -> None:
            self.controller.find_o(self.station, start_velocity, velocity, acceleration_time,
                                   direction)
        return homing.start(self, begin, acceleration_time)

    def jog(self, direction: Direction) -> "Motion[float]":
        """Starts a move to the end of the travel on DIRECTION's side, so a
        jog stops at the soft limit; stop it earlier with stop() or
        cancel(). An axis without a travel refuses with ValueError: it would
        run until a limit switch, an input or a stop ended it (the
        controller's run_positive and run_negative do that). An axis that
        stands past that end already raises LimitError: the move would go
        the other way."""
        if self.travel is None:
            raise ValueError("%s has no travel: a jog moves to the travel's end (use the "
                             "controller's run_positive or run_negative to run until "
                             "stopped)" % self._label())
        if direction not in (Direction.Negative, Direction.Positive):
            raise ValueError("a jog goes in a Direction, not %r" % (direction,))
        low, high = self.travel
        end, side = (high, "high") if direction == Direction.Positive else (low, "low")
        here = self.position
        if (here - end) * direction > 0:
            raise LimitError("%s: it stands at %r mm, past the %s end of its travel %s, so a "
                             "jog there would move it back" % (
                                 self._label(), here, side, self._travel_text()),
                             self.name, self.station, end, self.travel)
        return self.move_to(end)

    def _watched(self) -> "Motion[float]":
        """The move just started, handed to the poller of its line."""
        motion = Motion(self, "move")  # type: Motion[float]
        poller.watch(self.controller, self.station, motion._conclude)
        return motion

    def _label(self) -> str:
        return "station %d" % self.station if self.name is None else "axis %s" % self.name

    def _travel_text(self) -> str:
        assert self.travel is not None
        return "[%r, %r] mm" % self.travel

    def _check(self, mm: float, what: str) -> None:
        if self.travel is not None and not self.travel[0] <= mm <= self.travel[1]:
            raise LimitError("%s: %s outside its travel %s" % (self._label(), what,
                                                              self._travel_text()),
                             self.name, self.station, mm, self.travel)


class stopping(object):
    """``with stopping(*axes): ...``: when the block is left by any
    exception, KeyboardInterrupt and SystemExit included, stops every axis,
    then collects every homing result still pending on their stations (so
    that no homing worker keeps the process alive and close() is not
    refused), then lets the exception go on. Leaving the block normally does
    nothing.

    A stop or collection that fails is logged as a warning on the logger
    "qzr_kov_motion" and the others are still done.
    """

    def __init__(self, *axes: Axis) -> None:
        self.axes = axes

    def __enter__(self) -> Tuple[Axis, ...]:
        return self.axes

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[types.TracebackType]) -> bool:
        if exc_type is None:
            return False
        for axis in self.axes:
            _try(axis, "stop", axis.stop, exc_type)
        for axis in self.axes:
            _try(axis, "ending its homing run", lambda: homing.end_homing(axis), exc_type)
        return False


def _try(axis: Axis, what: str, call: Callable[[], None], exc_type: Type[BaseException]) -> None:
    try:
        call()
    except Exception as error:
        _log.warning("station %d: %s failed after %s: %s: %s", axis.station, what,
                     exc_type.__name__, type(error).__name__, error)
