"""qzr-kov: commission one motor axis from a terminal.

Reads the status, homes, moves, jogs, stops, powers and configures the axis
of one station through ``qzr_kov.KOVAxisController``, and records and plots
its motion. Without ``--port`` it works on a simulated line. Run
``python -m qzr_kov_tool --help``.
"""


def _find_version():
    try:
        from ._version import version      # written when the distribution is built
    except ImportError:                     # run from the source tree
        import os
        import re
        pyproject = os.path.join(os.path.dirname(__file__), "..", "..", "pyproject.toml")
        with open(pyproject, encoding="utf-8") as f:
            version = re.search(r'(?m)^version = "([^"]+)"', f.read()).group(1)
    return version


__version__ = _find_version()
del _find_version
