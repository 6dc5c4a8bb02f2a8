"""Whether a move that stopped got where it was sent. The poller tells what
it read once the station had stopped; each move is judged here on its own.

A move whose station stopped with no stop source is a success only where
the position counter shows the very pulse count the move aimed at and, on
an axis with an encoder, where the encoder went as far as the counter since
the move began, within the encoder's tolerance. The encoder is compared by
what it moved, not by what it reads: homing and set_position set the
counter only, so the two counts need not share a zero.

A run (a jog at a velocity: run_positive or run_negative) has no target:
it ends when something stops it, and is a success where a stop command did
(and the encoder followed). The judge also tells whether the end may have
cost the axis its coordinate (lost_coordinate).
"""
import math
from typing import TYPE_CHECKING, Any, List, Optional, Tuple

from qzr_kov import KOVAxisController, StopSource

from .errors import REASONS, MotionError, describe, move_ended_early

if TYPE_CHECKING:
    from .axis import Axis

# (True, result) or (False, exception)
Outcome = Tuple[bool, Any]

_NO_SOURCE = "the station reported no stop source"

#: Stop sources after which the axis counts as not homed: these inputs stop
#: the station at once, without a ramp, and a stepper stopped at once from
#: speed may lose steps; on a homed axis whose travel lies inside its limit
#: switches, meeting a switch at all means the coordinate was off already.
LOSES_COORDINATE = (StopSource.NegativeLimit, StopSource.PositiveLimit, StopSource.Alarm,
                    StopSource.Emergency)


def pulses(controller: KOVAxisController, station: int, mm: float) -> int:
    """The count of the position counter that the module shows as MM
    millimetres (get_position and status_words divide it by the scale)."""
    return int(round(mm * controller.ppmm(station)))


def millimetres(controller: KOVAxisController, station: int, mm: float) -> str:
    """MM as text, with as many decimals as one pulse of STATION needs."""
    ppmm = abs(float(controller.ppmm(station)))
    decimals = min(9, max(2, int(math.ceil(math.log10(ppmm))))) if ppmm > 1 else 2
    return "%.*f" % (decimals, mm)


class Arrival(object):
    """The judge of one move of AXIS, aimed at TARGET pulses of its counter
    (None: a run, which has no target). START: the status words read before
    the move began, for an axis with an encoder; else None. Called with what
    the poller read at the end, it returns what the move ends with."""

    def __init__(self, axis: "Axis", target: Optional[int],
                 start: Optional[List[Any]] = None) -> None:
        self.axis = axis
        self.target = target
        self.start = start
        # Set when the encoder did not follow the counter.
        self.lagged = False

    def lost_coordinate(self, outcome: Outcome) -> bool:
        """Whether OUTCOME, what this judge made of the end, tells that the
        axis may have lost its coordinate: a stop by a limit switch, the
        alarm or the emergency input, or an encoder that did not follow."""
        ok, value = outcome
        if ok or not isinstance(value, MotionError):
            return False
        return self.lagged or value.stop_source in LOSES_COORDINATE

    def __call__(self, outcome: Outcome) -> Outcome:
        ok, stopped = outcome
        if not ok:
            return outcome  # the line's error (or the log line's): not judged
        try:
            return self._judged(stopped.source, stopped.words, stopped.failure)
        except Exception as error:  # words the module would not give
            return False, error

    def _judged(self, source: StopSource, words: Optional[List[Any]],
                failure: Optional[Exception]) -> Outcome:
        controller, station = self.axis.controller, self.axis.station
        position = None if words is None else float(words[0])
        run = self.target is None
        if source != StopSource.Null and not (run and source == StopSource.Command):
            return False, move_ended_early(station, source, position,
                                           "the run ended" if run else "the move ended early")
        if words is None or position is None:
            return False, failure  # where it ended is unknown: the read's error
        if run and source == StopSource.Null:
            # A run ends by a stop or an input only: the station did not take it.
            what = "the run ended at %s mm with no stop" % millimetres(controller, station,
                                                                       position)
            return False, MotionError(describe(station, what, None, _NO_SOURCE), station,
                                      StopSource.Null, position)
        count = pulses(controller, station, position)
        if self.target is not None and count != self.target:
            what = "the move ended at %s mm, not at its target %s mm" % (
                millimetres(controller, station, position),
                millimetres(controller, station, controller.from_pulse(station, self.target)))
            detail = "counter at %d pulses, target %d; %s" % (count, self.target, _NO_SOURCE)
            return False, MotionError(describe(station, what, None, detail), station,
                                      StopSource.Null, position)
        lag = self._following_error(words)
        if lag is not None:
            self.lagged = True
            return False, MotionError(describe(station, lag, position, REASONS[source]), station,
                                      source, position)
        return True, position

    def _following_error(self, words: List[Any]) -> Optional[str]:
        """What is wrong when the encoder did not follow the counter."""
        if self.axis.encoder is None or self.start is None:
            return None
        controller, station = self.axis.controller, self.axis.station
        encoder_ppmm, tolerance = self.axis.encoder
        # status_words gives the encoder count divided by the motor's scale.
        counted = (pulses(controller, station, float(words[0]))
                   - pulses(controller, station, float(self.start[0])))
        encoded = (pulses(controller, station, float(words[1]))
                   - pulses(controller, station, float(self.start[1])))
        counter_mm = controller.from_pulse(station, counted)
        encoder_mm = encoded / encoder_ppmm
        if abs(encoder_mm - counter_mm) <= tolerance:
            return None
        return ("following error: the counter moved %s mm and the encoder %s mm, more than "
                "the tolerance of %s mm apart" % (
                    millimetres(controller, station, counter_mm),
                    millimetres(controller, station, encoder_mm), tolerance))
