"""An axis's state as one status read shows it: every field comes from one
``status_words`` list, through the controller's own predicates given that
list, so that no bit of the I/O word is named here."""
import time
from typing import TYPE_CHECKING, Any, List, NamedTuple

if TYPE_CHECKING:
    from .axis import Axis


class AxisState(NamedTuple):
    """What one read of an axis's status words showed, and when.

    ``position`` (mm) and ``velocity`` (mm/s, signed as the counter counts)
    are the status words' first and third values; ``running``: the station
    sends pulses (``is_running``); ``homed``: the axis's homed state at the
    read; ``origin``, ``negative_limit``, ``positive_limit`` and ``alarm``:
    those inputs are on (``at_o``, ``at_negative_limit``,
    ``at_positive_limit``, ``is_alarming``); ``emergency``: the emergency
    stop is active, its normally closed input X3 open (``at_emergency``
    answers False then). The inputs are told as they are, also where the
    station is set to ignore them. ``time``: ``time.monotonic()`` right
    after the read."""
    position: float
    velocity: float
    running: bool
    homed: bool
    origin: bool
    negative_limit: bool
    positive_limit: bool
    alarm: bool
    emergency: bool
    time: float


def state_from_words(axis: "Axis", words: List[Any], at: float) -> AxisState:
    """The state of AXIS that its status WORDS, read at AT, show."""
    controller, station = axis.controller, axis.station
    return AxisState(
        position=controller.get_position(station, words),
        # status_words gives the velocity divided by the scale: mm/s.
        velocity=float(words[2]),
        running=controller.is_running(station, words),
        homed=axis.homed,
        origin=controller.at_o(station, words),
        negative_limit=controller.at_negative_limit(station, words),
        positive_limit=controller.at_positive_limit(station, words),
        alarm=controller.is_alarming(station, words),
        emergency=not controller.at_emergency(station, words),
        time=at)


def read_state(axis: "Axis") -> AxisState:
    """The state of AXIS read now: one status_words exchange."""
    words = axis.controller.status_words(axis.station)
    return state_from_words(axis, words, time.monotonic())
