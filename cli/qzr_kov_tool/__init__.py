"""qzr-kov: commission one motor axis from a terminal.

Reads the status, homes, moves, jogs, stops, powers and configures the axis
of one station through ``qzr_kov.KOVAxisController``, and records and plots
its motion. Without ``--port`` it works on a simulated line. Run
``python -m qzr_kov_tool --help``.
"""


try:
    from ._version import version as __version__  # written when the distribution is built
except ImportError:  # run from the source tree: the version its build backend reads
    import os.path as _path
    import runpy as _runpy
    __version__ = _runpy.run_path(_path.join(_path.dirname(__file__), "..", "..", "tools", "backend",
                                             "qzr_kov_build", "project.py"))["tree_version"]()
    del _path, _runpy
