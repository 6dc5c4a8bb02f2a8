"""Simulated lines for a machine description (``qzr_kov_motion``): one
``SimulatedLine`` per line of the description, each of its stations placed
so that the axis's travel and homing work.

- the origin sensor at 0 mm, one pulse wide;
- the limit switches beyond the ends of the travel by ``MARGIN_SHARE`` of
  its length, at least ``MARGIN_MM``, and on both sides of the origin even
  when the travel does not include 0; an axis without a travel has them at
  ``NO_TRAVEL_MM``;
- the axis standing in the middle of the travel (at ``NO_TRAVEL_START_MM``
  without one), its counter reading that position, as if homed; with
  origin-only homing on the side the search comes from, halfway between
  the origin and the switch there, if the middle is not.

Millimetres become pulses by the axis's ``ppmm``. The description is only
read (by attribute: ``lines`` {name: line with ``name``, ``port``,
``homing_method``}, ``axes`` {name: axis with ``line``, ``station``,
``ppmm``, ``travel``, ``homing``}), so ``qzr_kov_motion`` is needed only to
read a file or check a dict.
"""

import os

from .clock import RealClock
from .line import SimulatedLine

#: how far beyond each end of the travel the limit switches sit: this share
#: of the travel's length, and at least MARGIN_MM
MARGIN_SHARE = 0.02
MARGIN_MM = 1.0
#: an axis without a travel: its limit switches, and where it stands (the
#: tool's usual simulated axis)
NO_TRAVEL_MM = (-5.0, 300.0)
NO_TRAVEL_START_MM = 40.0


def station_layout(axis, homing_method=None):
    """The layout (in pulses, as ``SimulatedLine`` takes it) of the station
    of AXIS, an axis of a checked description, on a line whose homing method
    is HOMING_METHOD ("limit_first", "origin_only" or None)."""
    def pulses(mm):
        return int(round(mm * axis.ppmm))
    if axis.travel is None:
        negative, positive = NO_TRAVEL_MM
        start = NO_TRAVEL_START_MM
    else:
        low, high = axis.travel
        margin = max(MARGIN_MM, (high - low) * MARGIN_SHARE)
        negative, positive = min(low, 0.0) - margin, max(high, 0.0) + margin
        start = (low + high) / 2.0
    homing = axis.homing
    if homing is not None and homing_method == "origin_only":
        # The search goes one way only: the axis starts where it meets the origin.
        if homing.direction == "negative" and start <= 0:
            start = positive / 2.0
        elif homing.direction == "positive" and start >= 0:
            start = negative / 2.0
    ends = sorted((pulses(negative), pulses(positive)))   # a negative scale turns them
    return dict(origin_at=0, origin_width=1, negative_limit_at=ends[0],
                positive_limit_at=ends[1], physical_position=pulses(start))


def _checked(description):
    """DESCRIPTION as a checked description: read from a file (a path),
    checked (a dict), or as given."""
    if isinstance(description, (str, bytes)) or hasattr(description, "__fspath__"):
        from qzr_kov_motion import load_description
        return load_description(os.fsdecode(os.fspath(description)))
    if isinstance(description, dict):
        from qzr_kov_motion import check_description
        return check_description(description)
    return description


def machine_lines(description, clock=None, exchange_time=None):
    """A fresh ``SimulatedLine`` for each line of DESCRIPTION, by line name
    in file order, its stations placed as the module docstring says; for
    ``Machine.from_file(path, lines=machine_lines(path))``.

    DESCRIPTION is a ``qzr_kov_motion.Description``, the path of a
    description file, or a description as a dict (both are checked first,
    raising ``MachineError``). Every line runs on CLOCK (one ``RealClock``
    for all by default) and spends EXCHANGE_TIME on each exchange (as
    ``SimulatedLine``). Each line is opened on its port's name, so it is
    also ``qzr_kov_sim.lines[port]``."""
    description = _checked(description)
    if clock is None:
        clock = RealClock()
    lines = {}
    for line in description.lines.values():
        stations = dict((axis.station, station_layout(axis, line.homing_method))
                        for axis in description.axes.values() if axis.line == line.name)
        simulated = SimulatedLine(line.port, stations=stations, clock=clock,
                                  exchange_time=exchange_time)
        for number, layout in stations.items():
            simulated.station(number).count = layout["physical_position"]
        lines[line.name] = simulated
    return lines
