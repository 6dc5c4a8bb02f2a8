"""Motions of qzr_kov axes as futures.

``Axis(controller, station)`` starts moves and homing runs that return a
``Motion`` at once: a ``concurrent.futures.Future`` that ends with the
position (a move) or True (homing), or with a ``MotionError``. ``wait_all``
waits for several under one time limit, ``await motion`` works in asyncio,
and ``with stopping(*axes):`` stops the axes when the block is left by an
exception, Ctrl-C included. ``Machine.from_file(path)`` makes named axes,
with soft travel limits and named positions, from a description of the
machine. Everything goes through the controller's own public methods.
"""

from .axis import Axis, stopping
from .errors import LimitError, MachineError, MotionError
from .machine import Machine
from .motion import Motion, wait_all

def _find_version() -> str:
    try:
        # Written when the distribution is built.
        from ._version import version  # type: ignore
    except ImportError:  # run from the source tree
        import os
        import re
        pyproject = os.path.join(os.path.dirname(__file__), "..", "..", "pyproject.toml")
        with open(pyproject, encoding="utf-8") as f:
            found = re.search(r'(?m)^version = "([^"]+)"', f.read())
        assert found is not None, "no version in pyproject.toml"
        version = found.group(1)
    return str(version)


__version__ = _find_version()
del _find_version

__all__ = ["Axis", "LimitError", "Machine", "MachineError", "Motion", "MotionError", "stopping",
           "wait_all"]
