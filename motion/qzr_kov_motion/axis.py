"""One station of a controller as an object whose motions are futures, and
the safety net that stops axes when a block of code is left by an error.

An axis knows whether it is homed (whether its counter is its coordinate)
and which speeds its station holds. Both live under the axis's lock, which
a move holds from its checks until its start command has gone out, and the
end of a move takes to update them: a move can never start on an axis that
stopped being homed after it was checked, and the profile written back
after a move at a velocity of its own never overwrites the speeds of a
later move.
"""
import contextlib
import logging
import math
import numbers
import threading
import types
from typing import (Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple,
                    Type, Union)

import qzr_kov
from qzr_kov import Direction, KOVAxisController

from . import homing, poller
from .arrival import Arrival, Outcome, pulses
from .errors import LimitError, NotHomedError
from .motion import Motion

_log = logging.getLogger("qzr_kov_motion")

#: a target: millimetres, or the name of one of the axis's positions
Target = Union[float, str]
#: a speed profile: start velocity (mm/s), velocity (mm/s), acceleration time (s)
Speeds = Tuple[float, float, float]

# What the station's speed registers hold: unsigned 32-bit values.
_UINT32_MAX = 2 ** 32 - 1


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


def not_homed(axes: "Sequence[Axis]", what: str, hint: str = "") -> NotHomedError:
    """The NotHomedError of WHAT (a move that needs a coordinate) on AXES,
    which are not homed: it names them and how to home them, then HINT."""
    names = [axis.name for axis in axes]
    one = len(axes) == 1
    it, its, they = ("it", "its", "it") if one else ("them", "their", "they")
    if all(name is not None for name in names):
        subject = ("axis %s is" if one else "axes %s are") % ", ".join(map(str, names))
        how = ("home %s first with machine.home() or machine.home(axes=%r), or, if %s stayed "
               "powered since %s last homing, declare %s homed with machine.assume_homed(%s)"
               % (it, names, they, its, it, ", ".join(map(repr, names))))
    else:
        subject = ("%s is" if one else "%s are") % ", ".join(a._label() for a in axes)
        how = "home %s first with home()" % it
    return NotHomedError("%s not homed: %s needs %s coordinate%s, which homing sets; %s%s"
                         % (subject, what, its, "" if one else "s", how, hint),
                         [axis._label() if axis.name is None else axis.name for axis in axes])


def holding(axes: "Iterable[Axis]") -> contextlib.ExitStack:
    """``with holding(axes):`` holds the lock of every axis of AXES, taken
    in one order whoever takes them, so that two such blocks never wait
    for each other."""
    stack = contextlib.ExitStack()
    try:
        for axis in sorted(set(axes), key=id):
            stack.enter_context(axis._lock)
    except BaseException:
        stack.close()
        raise
    return stack


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

    Keywords: PROFILE, ``(start_velocity, velocity, acceleration_time)``,
    the speed profile the station holds, which it gets back after a move
    at a velocity of its own (``velocity=``; without a profile the axis
    refuses those); JOG_VELOCITY, the velocity of a jog given none (it
    needs the profile); HOMED, whether the counter is the axis's
    coordinate. A move to an absolute target or a named position, and a
    jog to the end of the travel, raise NotHomedError on an axis that is
    not, before anything is sent. An axis made not homed is one that homes:
    Machine makes those with a homing section so. An axis made homed (the
    default) counts as homed for good, its counter being its coordinate,
    as one without a homing section does, until it runs home(): from then
    on it is one that homes too. One that homes is not homed while a
    homing run goes on, is homed once one has succeeded, and stops being
    homed when a move ends in a way that may have cost it its coordinate
    (see ``homed``).
    """

    def __init__(self, controller: KOVAxisController, station: int, name: Optional[str] = None,
                 travel: Optional[Sequence[float]] = None,
                 positions: Optional[Mapping[str, float]] = None,
                 encoder: Optional[Sequence[float]] = None, *,
                 profile: Optional[Sequence[float]] = None,
                 jog_velocity: Optional[float] = None, homed: bool = True) -> None:
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
        #: ``(start_velocity, velocity, acceleration_time)`` the station holds, or None
        self.profile = None  # type: Optional[Speeds]
        if profile is not None:
            start, top, ramp = (number(value, "%s: the profile's %s" % (self._label(), what))
                                for value, what in zip(profile, ("start_velocity", "velocity",
                                                                 "acceleration_time")))
            if not 0 < start <= top or ramp < 0:
                raise ValueError("%s: a profile needs 0 < start_velocity <= velocity and an "
                                 "acceleration_time of 0 s or more, not %r"
                                 % (self._label(), tuple(profile)))
            self.profile = (start, top, ramp)
        #: the velocity (mm/s) of a jog given none, or None
        self.jog_velocity = None  # type: Optional[float]
        if jog_velocity is not None:
            self.jog_velocity = number(jog_velocity, "%s: the jog velocity" % self._label())
            if self.profile is None or self.jog_velocity < self.profile[0]:
                raise ValueError("%s: a jog velocity needs a profile whose start velocity it "
                                 "is not below (the station gets the profile back after the "
                                 "jog), not %r with the profile %r"
                                 % (self._label(), jog_velocity, self.profile))
        # The homed state and what the station's speed registers hold: the
        # profile, unless _speeds_of is the token of the move whose own
        # speeds they hold, or _unsure (a write that failed, homing's own
        # speeds). Under _lock, see the module's docstring.
        self._lock = threading.RLock()
        self._homed = bool(homed)
        # Whether it homes, and so has a coordinate to lose.
        self._homes = not homed
        self._speeds_of = None  # type: Optional[object]
        self._unsure = False

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

    @property
    def homed(self) -> bool:
        """Whether the counter is the axis's coordinate (nothing is read):
        True for an axis made homed that never ran home(), after a homing
        run that succeeded, or once Machine.assume_homed declared it; False
        while a homing run goes on, after one that failed, timed out or was
        cancelled, and, for an axis that homes, after a move or run that
        ended on a limit switch, the alarm or the emergency input (they stop
        the station at once: a stepper may lose steps), or with a following
        error."""
        return self._homed

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

    def move_to(self, mm: Target, velocity: Optional[float] = None) -> "Motion[float]":
        """Starts an absolute move to MM millimetres, or to the position
        named MM (one of ``positions``), at VELOCITY mm/s (None: the
        profile's). A target that would end outside the travel raises
        LimitError, an unknown name KeyError, what is no number TypeError
        or ValueError, a velocity the axis cannot take ValueError (see
        velocity_checked), an axis that is not homed NotHomedError, all
        before anything is sent. An axis with an encoder reads its status
        words once first."""
        what = "a move to its position %r" % mm if isinstance(mm, str) \
            else "a move to an absolute target"
        target = self.target(mm)
        speeds = self.velocity_checked(velocity)
        with self._lock:
            if not self._homed:
                raise not_homed([self], what)
            return self._move_to(target, speeds)

    def move_by(self, mm: float, velocity: Optional[float] = None) -> "Motion[float]":
        """Starts a relative move by MM millimetres at VELOCITY mm/s (None:
        the profile's), also on an axis that is not homed (its limit
        switches guard it). The position is read once first (the status
        words with an encoder): the move is to end on that count plus MM's
        pulse count; with a travel, an end outside it raises LimitError
        before the move is started."""
        distance = number(mm, "%s: a distance" % self._label())
        speeds = self.velocity_checked(velocity)
        with self._lock:
            start = self._start_words()
            here = self.position if start is None else float(start[0])
            count = pulses(self.controller, self.station, here) \
                + self.controller.to_pulse(self.station, distance)
            end = self._end_of(count)
            self._check(end, "a move by %r mm from %r mm would end at %r mm,"
                        % (distance, here, end))
            return self._start(speeds, lambda: self.controller.locate_relatively(self.station, mm),
                               Arrival(self, count, start))

    def home(self, start_velocity: float, velocity: float, acceleration_time: float,
             direction: Direction = Direction.Negative) -> "Motion[bool]":
        """Starts homing by the controller's finding_o_method (find_o). The
        speeds and the time are finite numbers (TypeError, ValueError) and
        DIRECTION a Direction (ValueError), checked before anything is
        sent. The axis is not homed while the run goes on, and is homed
        once it has succeeded; find_o leaves the homing speeds in the
        station, so an axis with a profile writes it before its next move."""
        for value, what in ((start_velocity, "start_velocity"), (velocity, "velocity"),
                            (acceleration_time, "acceleration_time")):
            number(value, "%s: homing's %s" % (self._label(), what))
        if direction not in (Direction.Negative, Direction.Positive) \
                or isinstance(direction, bool):
            raise ValueError("homing goes in a Direction, not %r" % (direction,))

        def begin() -> None:
            self.controller.find_o(self.station, start_velocity, velocity, acceleration_time,
                                   direction)

        def ended(outcome: Outcome) -> None:
            with self._lock:
                self._homed = outcome[0] and outcome[1] is True
        with self._lock:
            # Its coordinate is about to be redefined, its speeds replaced.
            self._homed, self._homes = False, True
            self._speeds_of, self._unsure = None, True
        return homing.start(self, begin, float(acceleration_time), ended)

    def jog(self, direction: Direction, velocity: Optional[float] = None) -> "Motion[float]":
        """Starts a jog towards DIRECTION at VELOCITY mm/s (None: the
        axis's jog_velocity, else the profile's).

        On a homed axis with a travel it is a move to the end of the travel
        on that side, so a jog stops at the soft limit; stop it earlier with
        stop() or cancel(). An axis that stands past that end already
        raises LimitError: the move would go the other way.

        Where the travel's ends mean nothing (an axis not homed) or there is
        none, a jog at a velocity (given, or the jog_velocity) is a run:
        run_positive or run_negative, which a limit switch, the alarm or
        emergency input, or a stop ends; cancel() stops it, a stop command
        ends it with the position where it came to rest, the others with
        MotionError. Without a velocity such an axis refuses: NotHomedError
        on one not homed, ValueError on one without a travel. The velocity
        is checked as velocity_checked says; all before anything is sent."""
        if direction not in (Direction.Negative, Direction.Positive) \
                or isinstance(direction, bool):
            raise ValueError("a jog goes in a Direction, not %r" % (direction,))
        speeds = self.velocity_checked(self.jog_velocity if velocity is None else velocity)
        with self._lock:
            if self.travel is not None and self._homed:
                return self._jog_to_end(direction, speeds)
            if speeds is None:
                if self.travel is None:
                    raise ValueError("%s has no travel: a jog without a velocity moves to the "
                                     "travel's end (a jog at a velocity, jog(direction, "
                                     "velocity=MM_S), runs until a limit switch or a stop "
                                     "ends it)" % self._label())
                raise not_homed([self], "a jog to the end of its travel",
                                " (a jog at a velocity, jog(direction, velocity=MM_S), runs "
                                "while it is not, until a limit switch or a stop ends it)")
            run = self.controller.run_positive if direction == Direction.Positive \
                else self.controller.run_negative
            judge = Arrival(self, None, self._start_words())
            return self._start(speeds, lambda: run(self.station), judge, "run")

    def velocity_checked(self, velocity: Optional[float]) -> Optional[Speeds]:
        """The profile with VELOCITY mm/s in place of its velocity, as a
        move at that velocity writes it; None for None. Nothing is sent.
        TypeError for what is no number (True included), ValueError for
        NaN, infinity, an axis without a profile (it could not get it
        back), a velocity below the profile's start velocity, and one that
        is 0 pulses/s or more than the module allows
        (``qzr_kov._MaxPulsePerSecond``) at the axis's scale."""
        if velocity is None:
            return None
        mm_s = number(velocity, "%s: a velocity" % self._label())
        if self.profile is None:
            raise ValueError("%s: a move at a velocity of its own needs the axis's profile, "
                             "which the station gets back afterwards (Axis(..., profile="
                             "(start_velocity, velocity, acceleration_time)))" % self._label())
        start, _, ramp = self.profile
        if mm_s < start:
            raise ValueError("%s: a velocity of %r mm/s is below its start velocity %r mm/s"
                             % (self._label(), mm_s, start))
        ppmm = self.controller.ppmm(self.station)
        try:
            rate = self.controller.to_pulse(self.station, mm_s)  # type: Optional[int]
        except OverflowError:
            rate = None
        limit = min(qzr_kov._MaxPulsePerSecond, _UINT32_MAX)
        if rate is None or rate > limit:
            raise ValueError("%s: %r mm/s is %s pulses/s at %r pulses/mm; the controller "
                             "allows at most %d (%r mm/s)" % (
                                 self._label(), mm_s, "more" if rate is None else rate, ppmm,
                                 limit, limit / ppmm))
        if rate < 1:
            raise ValueError("%s: %r mm/s is %d pulses/s at %r pulses/mm: the axis would not "
                             "move" % (self._label(), mm_s, rate, ppmm))
        return start, mm_s, ramp

    # -- with the lock held

    def _move_to(self, mm: float, speeds: Optional[Speeds]) -> "Motion[float]":
        """The absolute move to MM, checked already, at SPEEDS."""
        judge = Arrival(self, self.controller.to_pulse(self.station, mm), self._start_words())
        return self._start(speeds, lambda: self.controller.locate_absolutely(self.station, mm),
                           judge)

    def _jog_to_end(self, direction: Direction, speeds: Optional[Speeds]) -> "Motion[float]":
        assert self.travel is not None
        low, high = self.travel
        end, side = (high, "high") if direction == Direction.Positive else (low, "low")
        here = self.position
        if (here - end) * direction > 0:
            raise LimitError("%s: it stands at %r mm, past the %s end of its travel %s, so a "
                             "jog there would move it back" % (
                                 self._label(), here, side, self._travel_text()),
                             self.name, self.station, end, self.travel)
        return self._move_to(self.target(end), speeds)

    def _start(self, speeds: Optional[Speeds], send: Callable[[], None], judge: Arrival,
               kind: str = "move") -> "Motion[float]":
        """SPEEDS written (see _write_speeds), the move started by SEND and
        handed to the poller with JUDGE."""
        token = self._write_speeds(speeds)
        try:
            send()
        except BaseException:
            self._speeds_back(token)
            raise
        return self._watched(judge, token, kind)

    def _write_speeds(self, speeds: Optional[Speeds]) -> Optional[object]:
        """Before a start: SPEEDS (a move's velocity of its own) written to
        the station, or for None the profile, where the station may hold
        other speeds. Speeds that are the profile's (a velocity of its own
        that is the profile's velocity) are the profile: nothing to write
        where the station holds it, nothing to write back. Returns the
        token of SPEEDS (None: the profile). If the write fails the
        station's speeds are unknown, and the next move writes them."""
        if speeds is not None and speeds == self.profile:
            speeds = None
        token = None if speeds is None else object()
        if speeds is None:
            if self.profile is None or not (self._unsure or self._speeds_of is not None):
                return None
            speeds = self.profile
        self._speeds_of, self._unsure = None, True
        self.controller.set_parameters(self.station, *speeds)
        self._speeds_of, self._unsure = token, False
        return token

    def _speeds_back(self, token: Optional[object]) -> None:
        """Once the move whose speeds TOKEN are has ended, or failed to
        start: the profile back in the station, unless a later move wrote
        its own since. A failure is logged as a warning on the logger
        "qzr_kov_motion"; the next move then writes the profile first."""
        if token is None or self._speeds_of is not token:
            return
        assert self.profile is not None
        self._speeds_of, self._unsure = None, True
        try:
            self.controller.set_parameters(self.station, *self.profile)
        except Exception as error:
            _log.warning("%s: writing its profile back after a move at a velocity of its own "
                         "failed: %s: %s; its next move writes it first", self._label(),
                         type(error).__name__, error)
            return
        self._unsure = False

    def _restore_profile(self) -> None:
        """The profile written to the station now (after homing); its
        error comes out."""
        with self._lock:
            if self.profile is not None:
                self._speeds_of, self._unsure = None, True
                self.controller.set_parameters(self.station, *self.profile)
                self._unsure = False

    def _assume_homed(self) -> None:
        with self._lock:
            self._homed = True

    def _start_words(self) -> Optional[List[Any]]:
        """The status words before a move, for an axis with an encoder."""
        return None if self.encoder is None else self.controller.status_words(self.station)

    def _watched(self, judge: Arrival, token: Optional[object],
                 kind: str = "move") -> "Motion[float]":
        """With the lock held, the move just started handed to the poller of
        its line, which ends it with what JUDGE makes of its end; before
        that the axis stops being homed if that end may have cost its
        coordinate, and gets its profile back if the move ran at speeds of
        its own (TOKEN). If the poller cannot take it (no thread to be
        had), the axis is stopped and gets its profile back, and the
        poller's error comes out."""
        motion = Motion(self, kind)  # type: Motion[float]

        def ended(outcome: Outcome) -> None:
            judged = judge(outcome)
            try:
                with self._lock:
                    if self._homes and judge.lost_coordinate(judged):
                        self._homed = False
                    self._speeds_back(token)
            finally:
                motion._conclude(judged, at_rest=outcome[0])
        try:
            poller.watch(self.controller, self.station, ended)
        except BaseException as error:
            self._stop_after(error)
            self._speeds_back(token)
            raise
        return motion

    def _stop_after(self, error: BaseException) -> None:
        """Stops the axis after ERROR; a failure to stop it is logged."""
        try:
            self.stop()
        except Exception as failure:
            _log.warning("station %d: stopping it failed after %s: %s: %s", self.station,
                         type(error).__name__, type(failure).__name__, failure)

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
