"""qzr-kov: commission one motor axis from a terminal.

Reads the status, homes, moves, jogs, stops, powers and configures the axis
of one station through ``qzr_kov.KOVAxisController``, and records and plots
its motion. Without ``--port`` it works on a simulated line. Run
``python -m qzr_kov_tool --help``.
"""

__version__ = "0.1.0"
