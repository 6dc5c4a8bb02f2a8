"""Stand-ins for the master object that drives stations on a serial line.

- ``RecordingMaster``: records every call over a plain memory, with
  injectable failures and scripted answers; for unit tests.
- ``SimulatedLine``: the same, over simulated stations that move axes.
- ``RealClock``, ``ScaledClock``, ``VirtualClock``: time for the simulator.
- ``lines``, ``open_line``, ``set_line_factory``: lines opened by port, as
  the stand-in ``qzr_mew.MewMaster`` does.
- ``machine_lines(description)``: the simulated lines of a machine
  description (``qzr_kov_motion``), every station placed so that its travel
  and homing work.
- ``use_simulated_master()``: where no real ``qzr_mew`` is installed, lets
  ``import qzr_kov`` work in this interpreter, on simulated lines.
"""

from .clock import RealClock, ScaledClock, VirtualClock
from .line import (SimulatedLine, lines, open_line, reopen_closed_lines,
                   set_line_factory)
from .machine import machine_lines
from .master_module import use_simulated_master
from .protocol import Call, CommunicationError, StationError
from .recording import RecordingMaster
from .station import (DEFAULT_LAYOUT, STOP_ALARM, STOP_COMMAND, STOP_EMERGENCY,
                      STOP_NEGATIVE_LIMIT, STOP_NONE, STOP_ORIGIN,
                      STOP_POSITIVE_LIMIT, SimulatedStation)


try:
    from ._version import version as __version__  # written when the distribution is built
except ImportError:  # run from the source tree: the version its build backend reads
    import os.path as _path
    import runpy as _runpy
    __version__ = _runpy.run_path(_path.join(_path.dirname(__file__), "..", "..", "tools", "backend",
                                             "qzr_kov_build", "project.py"))["tree_version"]()
    del _path, _runpy

__all__ = [
    "Call", "CommunicationError", "StationError", "RecordingMaster",
    "SimulatedLine", "SimulatedStation", "DEFAULT_LAYOUT", "RealClock",
    "ScaledClock", "VirtualClock", "lines", "open_line", "set_line_factory",
    "reopen_closed_lines", "machine_lines", "use_simulated_master",
    "STOP_NONE", "STOP_COMMAND", "STOP_ORIGIN", "STOP_NEGATIVE_LIMIT",
    "STOP_POSITIVE_LIMIT", "STOP_ALARM", "STOP_EMERGENCY",
]
