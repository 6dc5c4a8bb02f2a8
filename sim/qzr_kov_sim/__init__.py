"""Stand-ins for the master object that drives stations on a serial line.

- ``RecordingMaster``: records every call over a plain memory, with
  injectable failures and scripted answers; for unit tests.
- ``RealClock``, ``ScaledClock``, ``VirtualClock``: clocks for tests.
"""

from .clock import RealClock, ScaledClock, VirtualClock
from .protocol import Call, CommunicationError, StationError
from .recording import RecordingMaster

__version__ = "0.1.0"
