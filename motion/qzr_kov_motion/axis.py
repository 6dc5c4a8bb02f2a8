"""One station of a controller as an object whose motions are futures, and
the safety net that stops axes when a block of code is left by an error."""
import logging
import math
import numbers
import types
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Type, Union

from qzr_kov import Direction, KOVAxisController

from . import homing, poller
from .arrival import Arrival, pulses
from .errors import LimitError
from .motion import Motion

_log = logging.getLogger("qzr_kov_motion")

#: a target: millimetres, or the name of one of the axis's positions
Target = Union[float, str]


def number(value: Any, what: str, finite: bool = True) -> float:
    """VALUE as a float: TypeError for what is no number (True and False
    are none, nor is text), ValueError for NaN and, if FINITE, infinity."""
    if isinstance(value, (bool, str, bytes)) or not isinstance(value, numbers.Real) \
            and not hasattr(type(value), "__float__"):
        raise TypeError("%s must be a number, not %r" % (what, value))
    mm = float(value)
    if math.isnan(mm) or finite and math.isinf(mm):
        raise ValueError("%s must be a finite number, not %r" % (what, value))
    return mm


class Axis(object):
    """The axis of STATION on CONTROLLER. Every command goes through the
    controller's own methods.

    NAME (for messages), TRAVEL (the soft limits ``(low, high)`` in mm),
    POSITIONS (name to mm) and ENCODER (``(ppmm, tolerance)``: the encoder's
    counts per mm, negative where it counts the other way, and how far in
    mm it may part from the position counter during a move) are optional.
    With a travel, a move that would end outside it is refused with
    LimitError before anything is sent; where it ends is the position of
    the pulse count the module sends (it truncates toward zero). A move is
    a success only where its counter ended on the target's pulse count and,
    with an encoder, where the encoder followed it (see Motion).
    """

    def __init__(self, controller: KOVAxisController, station: int, name: Optional[str] = None,
                 travel: Optional[Sequence[float]] = None,
                 positions: Optional[Mapping[str, float]] = None,
                 encoder: Optional[Sequence[float]] = None) -> None:
        self.controller = controller
        self.station = station
        self.name = name
        self.travel = None  # type: Optional[Tuple[float, float]]
        low, high = -math.inf, math.inf
        if travel is not None:
            low, high = (number(end, "%s: a travel end" % self._label()) for end in travel)
            if not low < high:
                raise ValueError("%s: the travel's low end %r is not below its high end %r"
                                 % (self._label(), low, high))
            self.travel = (low, high)
        self.positions = {}  # type: Dict[str, float]
        for key, mm in (positions or {}).items():
            self.positions[key] = number(mm, "%s: the position %s" % (self._label(), key))
            if self.travel is not None and not low <= self.positions[key] <= high:
                raise ValueError("%s: the position %s at %r mm lies outside its travel %s"
                                 % (self._label(), key, self.positions[key],
                                    self._travel_text()))
        #: ``(ppmm, tolerance)`` of the encoder, or None
        self.encoder = None  # type: Optional[Tuple[float, float]]
        if encoder is not None:
            ppmm, tolerance = encoder
            ppmm = number(ppmm, "%s: the encoder's ppmm" % self._label())
            tolerance = number(tolerance, "%s: the encoder's tolerance" % self._label())
            if ppmm == 0 or tolerance < 0:
                raise ValueError("%s: the encoder needs a ppmm other than 0 and a tolerance "
                                 "of 0 mm or more, not %r" % (self._label(), tuple(encoder)))
            self.encoder = (ppmm, tolerance)

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
        KeyError for an unknown name, LimitError for a target whose pulse
        count ends outside the travel, TypeError for what is no number
        (True included), ValueError for NaN and infinity."""
        if isinstance(target, str):
            if target not in self.positions:
                raise KeyError("%s has no position %r (%s)" % (
                    self._label(), target,
                    "its positions: " + ", ".join(self.positions) if self.positions
                    else "it has no named positions"))
            mm = self.positions[target]
        else:
            mm = number(target, "%s: a target" % self._label())
        if self.travel is not None:
            end = self._end_of(self.controller.to_pulse(self.station, mm))
            self._check(end, "the target %r mm lies" % mm if end == mm
                        else "the target %r mm would end at %r mm," % (mm, end))
        return mm

    def move_to(self, mm: Target) -> "Motion[float]":
        """Starts an absolute move to MM millimetres, or to the position
        named MM (one of ``positions``). A target that would end outside the
        travel raises LimitError, an unknown name KeyError, what is no
        number TypeError or ValueError, all before anything is sent. An
        axis with an encoder reads its status words once first."""
        mm = self.target(mm)
        start = self._start_words()
        self.controller.locate_absolutely(self.station, mm)
        return self._watched(self.controller.to_pulse(self.station, mm), start)

    def move_by(self, mm: float) -> "Motion[float]":
        """Starts a relative move by MM millimetres. The position is read
        once first (the status words with an encoder): the move is to end
        on that count plus MM's pulse count; with a travel, an end outside
        it raises LimitError before the move is started."""
        distance = number(mm, "%s: a distance" % self._label())
        start = self._start_words()
        here = self.position if start is None else float(start[0])
        count = pulses(self.controller, self.station, here) \
            + self.controller.to_pulse(self.station, distance)
        end = self._end_of(count)
        self._check(end, "a move by %r mm from %r mm would end at %r mm," % (distance, here, end))
        self.controller.locate_relatively(self.station, mm)
        return self._watched(count, start)

    def home(self, start_velocity: float, velocity: float, acceleration_time: float,
             direction: Direction = Direction.Negative) -> "Motion[bool]":
        """Starts homing by the controller's finding_o_method (find_o). The
        speeds and the time are finite numbers (TypeError, ValueError) and
        DIRECTION a Direction (ValueError), checked before anything is
        sent."""
        for value, what in ((start_velocity, "start_velocity"), (velocity, "velocity"),
                            (acceleration_time, "acceleration_time")):
            number(value, "%s: homing's %s" % (self._label(), what))
        if direction not in (Direction.Negative, Direction.Positive) \
                or isinstance(direction, bool):
            raise ValueError("homing goes in a Direction, not %r" % (direction,))

        def begin() -> None:
            self.controller.find_o(self.station, start_velocity, velocity, acceleration_time,
                                   direction)
        return homing.start(self, begin, float(acceleration_time))

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
        if direction not in (Direction.Negative, Direction.Positive) \
                or isinstance(direction, bool):
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

    def _start_words(self) -> Optional[List[Any]]:
        """The status words before a move, for an axis with an encoder."""
        return None if self.encoder is None else self.controller.status_words(self.station)

    def _watched(self, target: int, start: Optional[List[Any]]) -> "Motion[float]":
        """The move just started, aimed at TARGET pulses, handed to the
        poller of its line, which ends it with what Arrival makes of its
        end. If the poller cannot take it (no thread to be had), the axis is
        stopped and the poller's error comes out."""
        motion = Motion(self, "move")  # type: Motion[float]
        judge = Arrival(self, target, start)

        def ended(outcome: Tuple[bool, Any]) -> None:
            motion._conclude(judge(outcome), at_rest=outcome[0])
        try:
            poller.watch(self.controller, self.station, ended)
        except BaseException as error:
            try:
                self.stop()
            except Exception as failure:
                _log.warning("station %d: stopping it failed after %s: %s: %s", self.station,
                             type(error).__name__, type(failure).__name__, failure)
            raise
        return motion

    def _end_of(self, count: int) -> float:
        """Where a move that ends on COUNT pulses ends, in mm."""
        return self.controller.from_pulse(self.station, count)

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
