"""Stand-in for the master module: every MewMaster is a simulated line.

Which line ``MewMaster(port, baudrate=115200)`` returns is chosen with
``qzr_kov_sim.set_line_factory``; the line is then found in
``qzr_kov_sim.lines[port]``.
"""

from qzr_kov_sim import CommunicationError, open_line as MewMaster

__all__ = ["MewMaster", "CommunicationError"]
