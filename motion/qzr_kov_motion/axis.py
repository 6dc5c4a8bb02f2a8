"""One station of a controller as an object whose motions are futures, and
the safety net that stops axes when a block of code is left by an error."""
import logging
import types
from typing import Callable, Optional, Tuple, Type

from qzr_kov import Direction, KOVAxisController

from .motion import Motion, _homing_runs, end_homing

_log = logging.getLogger("qzr_kov_motion")


class Axis(object):
    """The axis of STATION on CONTROLLER. Every command goes through the
    controller's own methods."""

    def __init__(self, controller: KOVAxisController, station: int) -> None:
        self.controller = controller
        self.station = station

    def __repr__(self) -> str:
        return "Axis(%r, %d)" % (self.controller, self.station)

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

    def move_to(self, mm: float) -> "Motion[float]":
        """Starts an absolute move to MM millimetres."""
        self.controller.locate_absolutely(self.station, mm)
        motion = Motion(self, "move")  # type: Motion[float]
        return motion._start()

    def move_by(self, mm: float) -> "Motion[float]":
        """Starts a relative move by MM millimetres."""
        self.controller.locate_relatively(self.station, mm)
        motion = Motion(self, "move")  # type: Motion[float]
        return motion._start()

    def home(self, start_velocity: float, velocity: float, acceleration_time: float,
             direction: Direction = Direction.Negative) -> "Motion[bool]":
        """Starts homing by the controller's finding_o_method (find_o)."""
        def begin() -> None:
            self.controller.find_o(self.station, start_velocity, velocity, acceleration_time,
                                   direction)
        motion = Motion(self, "homing", begin, acceleration_time)  # type: Motion[bool]
        # On the books before the run starts, for stopping() to find even if
        # the program is interrupted before this returns.
        _homing_runs.add(motion)
        motion._start()._begun.wait()
        if motion._start_error is not None:
            raise motion._start_error
        return motion


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
            _try(axis, "ending its homing run", lambda: end_homing(axis), exc_type)
        return False


def _try(axis: Axis, what: str, call: Callable[[], None], exc_type: Type[BaseException]) -> None:
    try:
        call()
    except Exception as error:
        _log.warning("station %d: %s failed after %s: %s: %s", axis.station, what,
                     exc_type.__name__, type(error).__name__, error)
