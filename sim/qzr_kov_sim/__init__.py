"""Stand-ins for the master object that drives stations on a serial line.

- ``RecordingMaster``: records every call over a plain memory, with
  injectable failures and scripted answers; for unit tests.
- ``SimulatedLine``: the same, over simulated stations that move axes.
- ``RealClock``, ``ScaledClock``, ``VirtualClock``: time for the simulator.
- ``lines``, ``open_line``, ``set_line_factory``: lines opened by port, as
  the stand-in ``qzr_mew.MewMaster`` does.
"""

from .clock import RealClock, ScaledClock, VirtualClock
from .line import (SimulatedLine, lines, open_line, reopen_closed_lines,
                   set_line_factory)
from .protocol import Call, CommunicationError, StationError
from .recording import RecordingMaster
from .station import (DEFAULT_LAYOUT, STOP_ALARM, STOP_COMMAND, STOP_EMERGENCY,
                      STOP_NEGATIVE_LIMIT, STOP_NONE, STOP_ORIGIN,
                      STOP_POSITIVE_LIMIT, SimulatedStation)

__version__ = "0.1.0"

__all__ = [
    "Call", "CommunicationError", "StationError", "RecordingMaster",
    "SimulatedLine", "SimulatedStation", "DEFAULT_LAYOUT", "RealClock",
    "ScaledClock", "VirtualClock", "lines", "open_line", "set_line_factory",
    "reopen_closed_lines",
    "STOP_NONE", "STOP_COMMAND", "STOP_ORIGIN", "STOP_NEGATIVE_LIMIT",
    "STOP_POSITIVE_LIMIT", "STOP_ALARM", "STOP_EMERGENCY",
]
