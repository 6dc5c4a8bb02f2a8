"""Moves of several axes that arrive together, so that the tool point runs a
straight line: ``Machine.move_to(targets, together=True)``.

Every axis runs the same profile shape, scaled by its distance: velocity
and start velocity in proportion to the distance, one acceleration time
for all. At each moment each axis has then covered the same share of its
distance, whether the move reaches its velocity (a trapezoid) or not (a
triangle). Without a velocity the axis that needs longest runs at its
profile's velocity; with one, that is the speed of the tool point along the
line (the axes taken as square to each other, in mm). The start velocities
are scaled by the highest common share at which no axis starts faster than
its own profile's start velocity; the acceleration time is the shortest at
which no axis accelerates harder than its own profile does (from its start
velocity to its velocity in its acceleration time).

The station takes whole pulses per second and whole milliseconds: each
speed is rounded to the nearest pulse per second, at least 1 (an axis whose
share is less runs at 1 pulse/s and arrives early, a few pulses off the
line at most), the acceleration time up to a whole millisecond. An axis
whose speed is a few pulses per second arrives up to half a pulse per second
of the move's length early or late.

Order of the exchanges: one status read per axis (position, running bit,
encoder); then the speeds of every axis, then the distance of every axis
(``set_relative_target``), then the starts back to back, one exchange each
(``locate_relatively`` of the distance written): the axes start one
exchange apart. An axis that does not move is not started: its motion ends
at once where it stands. The profiles come back as each move ends (Axis).
"""
import math
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional, Sequence, Tuple, cast

import qzr_kov

from .arrival import Arrival, pulses
from .axis import Axis, _log, _UINT32_MAX, holding, not_homed, number
from .motion import Motion

if TYPE_CHECKING:
    from .axis import Speeds


class Rates(NamedTuple):
    """The speeds of one axis as the station holds them: pulses/s, pulses/s,
    milliseconds."""
    start: int
    velocity: int
    ramp_ms: int


class Leg(NamedTuple):
    """One axis's share of a move, for ``plan``: its label (for messages),
    the pulses it moves (not 0), its scale, and its profile in the
    station's units (start and velocity in pulses/s as the module converts
    them, the acceleration time in s)."""
    label: str
    pulses: int
    ppmm: float
    start: int
    velocity: int
    ramp: float


def plan(legs: Sequence[Leg], path_velocity: Optional[float],
         limit: int) -> Tuple[List[Rates], float]:
    """The Rates of each of LEGS so that they arrive together, and the
    speed of the tool point in mm/s. PATH_VELOCITY: that speed (None: the
    leg that needs longest runs at its profile's velocity). LIMIT: the most
    pulses/s the station may be given; a leg beyond it raises ValueError
    naming the highest speed along the line there is."""
    length = math.sqrt(sum((leg.pulses / leg.ppmm) ** 2 for leg in legs))
    if path_velocity is None:
        path_velocity = length * min(leg.velocity / float(abs(leg.pulses)) for leg in legs)
    share = path_velocity / length      # of each distance per second
    velocities = [share * abs(leg.pulses) for leg in legs]
    for leg, velocity in zip(legs, velocities):
        if int(round(velocity)) > limit:
            most = length * min(limit / float(abs(g.pulses)) for g in legs)
            raise ValueError("%s: at %r mm/s along the line it would run at %d pulses/s; the "
                             "controller allows at most %d (at most %.1f mm/s along the line)"
                             % (leg.label, path_velocity, int(round(velocity)), limit,
                                math.floor(most * 10) / 10))
    starts = min([1.0] + [leg.start / velocity for leg, velocity in zip(legs, velocities)])
    ramp = 0.0
    for leg, velocity in zip(legs, velocities):
        if leg.velocity > leg.start:
            ramp = max(ramp, leg.ramp * velocity * (1 - starts) / (leg.velocity - leg.start))
        else:       # a profile without a ramp
            ramp = max(ramp, leg.ramp)
    ramp_ms = int(math.ceil(ramp * 1000.0 - 1e-6))
    if ramp_ms > _UINT32_MAX:
        raise ValueError("an acceleration time of %r s is more than the station's register "
                         "holds" % ramp)
    rates = []
    for velocity in velocities:
        top = max(1, int(round(velocity)))
        rates.append(Rates(min(top, max(1, int(round(starts * velocity)))), top, ramp_ms))
    return rates, path_velocity


def exact_mm(axis: Axis, count: int) -> float:
    """The millimetres (or mm/s) that the module converts to COUNT pulses
    (or pulses/s) of AXIS: COUNT / ppmm where that converts back, else half
    a pulse further from 0, which the truncation brings back to COUNT."""
    controller, station = axis.controller, axis.station
    mm = controller.from_pulse(station, count)
    if controller.to_pulse(station, mm) != count:
        mm = controller.from_pulse(station, count + math.copysign(0.5, count))
    return mm


def _seconds(ms: int) -> float:
    """Seconds the module writes as MS milliseconds (it truncates)."""
    seconds = ms / 1000.0
    return seconds if int(seconds * 1000.0) == ms else (ms + 0.5) / 1000.0


def settle(motions: "Sequence[Motion[Any]]") -> None:
    """Stops what is still under way of MOTIONS and waits until each has
    ended; a failure to stop one is logged and the others are still done."""
    for motion in motions:
        try:
            motion.cancel()
        except Exception as error:
            _log.warning("station %d: stopping it failed: %s: %s", motion.axis.station,
                         type(error).__name__, error)


class _Move(object):
    """One axis of a move together: its target, what was read before, what
    it moves and at which speeds, and the token of those speeds once
    written."""

    def __init__(self, name: str, axis: Axis, target: float) -> None:
        self.name = name
        self.axis = axis
        self.target = target
        self.count = axis.controller.to_pulse(axis.station, target)
        self.words = []  # type: List[Any]
        self.distance = 0
        self.speeds = None  # type: Optional[Speeds]
        self.token = None  # type: Optional[object]

    def read(self) -> None:
        axis = self.axis
        self.words = axis.controller.status_words(axis.station)
        if axis.controller.is_running(axis.station, self.words):
            raise RuntimeError("%s is moving: a move together starts with every axis at rest"
                               % axis._label())
        self.distance = self.count - pulses(axis.controller, axis.station, float(self.words[0]))

    def leg(self) -> Leg:
        axis = self.axis
        assert axis.profile is not None
        start, velocity, ramp = axis.profile
        return Leg(axis._label(), self.distance, abs(float(axis.controller.ppmm(axis.station))),
                   axis.controller.to_pulse(axis.station, start),
                   axis.controller.to_pulse(axis.station, velocity), ramp)

    def judge(self) -> Arrival:
        return Arrival(self.axis, self.count, None if self.axis.encoder is None else self.words)

    def abandon(self, error: BaseException, started: bool) -> None:
        """After ERROR, for an axis not handed to the poller: stopped if its
        start may have gone out (STARTED), its profile back."""
        if started:
            self.axis._stop_after(error)
        self.axis._speeds_back(self.token)


def move(targets: Sequence[Tuple[str, Axis, float]],
         velocity: Optional[float]) -> "Dict[str, Motion[float]]":
    """Starts the moves of TARGETS (name, axis, target in mm, each checked)
    together at VELOCITY mm/s along the line (None: as fast as the slowest
    axis allows); returns name to Motion. Refused before anything is sent:
    a velocity that is no number above 0, an axis without a profile or not
    homed. Refused after the status reads, before anything is written: an
    axis that moves, speeds an axis cannot take. Should a write fail, the
    profiles written over come back and its error comes out; should a
    start fail, the moves already started are stopped, and so is the axis
    whose start failed, and its error comes out."""
    if velocity is not None:
        velocity = number(velocity, "a velocity along the line")
        if not velocity > 0:
            raise ValueError("a velocity along the line must be above 0 mm/s, not %r"
                             % velocity)
    moves = [_Move(name, axis, target) for name, axis, target in targets]
    for item in moves:
        if item.axis.profile is None:
            raise ValueError("%s: a move together needs the axis's profile, which the station "
                             "gets back afterwards" % item.axis._label())
    motions = {}  # type: Dict[str, Motion[float]]
    failure = None  # type: Optional[BaseException]
    with holding(item.axis for item in moves):
        refused = [item.axis for item in moves if not item.axis.homed]
        if refused:
            raise not_homed(refused, "machine.move_to")
        for item in moves:
            item.read()
        moving = [item for item in moves if item.distance]
        if moving:
            _speeds(moving, velocity)
            failure = _start(moving, motions)
        if failure is None:
            for item in moves:
                if not item.distance:
                    motions[item.name] = _at_rest(item)
    if failure is not None:
        settle(list(motions.values()))
        raise failure
    return dict((item.name, motions[item.name]) for item in moves)


def _speeds(moving: Sequence[_Move], velocity: Optional[float]) -> None:
    limit = min(qzr_kov._MaxPulsePerSecond, _UINT32_MAX)
    rates, _ = plan([item.leg() for item in moving], velocity, limit)
    for item, rate in zip(moving, rates):
        item.speeds = (exact_mm(item.axis, rate.start), exact_mm(item.axis, rate.velocity),
                       _seconds(rate.ramp_ms))


def _start(moving: Sequence[_Move], motions: "Dict[str, Motion[float]]") -> Optional[BaseException]:
    """With the locks held: the speeds and distances written, the starts
    sent and the moves started handed to the poller (into MOTIONS). A
    failure of a write comes out once the profiles written over are back.
    The first failure from the starts on is returned: the moves started
    are in MOTIONS (to be stopped), the other axes stopped if their start
    may have gone out, and their profiles back."""
    written = []  # type: List[_Move]
    try:
        for item in moving:
            item.token = item.axis._write_speeds(item.speeds)
            written.append(item)
        for item in moving:
            item.axis.controller.set_relative_target(item.axis.station,
                                                     exact_mm(item.axis, item.distance))
    except BaseException as error:
        for item in written:
            item.abandon(error, started=False)
        raise
    failure = None  # type: Optional[BaseException]
    sent = 0
    for item in moving:
        try:
            item.axis.controller.locate_relatively(item.axis.station)
        except BaseException as error:
            failure = error
            break
        sent += 1
    watching = True
    for index, item in enumerate(moving):
        if index < sent and watching:
            try:
                motions[item.name] = item.axis._watched(item.judge(), item.token)
                continue
            except BaseException as error:  # stopped, its profile back
                failure, watching = failure or error, False
                continue
        item.abandon(cast(BaseException, failure), started=index <= sent)
    return failure


def _at_rest(item: _Move) -> "Motion[float]":
    """The motion of an axis that stands on its target: ended at once."""
    motion = Motion(item.axis, "move")  # type: Motion[float]
    motion._conclude((True, float(item.words[0])))
    return motion
