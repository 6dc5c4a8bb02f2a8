"""Motions of qzr_kov axes as futures.

``Axis(controller, station)`` starts moves and homing runs that return a
``Motion`` at once: a ``concurrent.futures.Future`` that ends with the
position (a move) or True (homing), or with a ``MotionError``. ``wait_all``
waits for several under one time limit, ``await motion`` works in asyncio,
and ``with stopping(*axes):`` stops the axes when the block is left by an
exception, Ctrl-C included. ``Machine.from_file(path)`` makes named axes,
with soft travel limits and named positions, from a description of the
machine; ``machine.state()`` and ``machine.watch(callback)`` tell each
axis's ``AxisState``. An axis that has a homing section is not homed until
homing has succeeded: a move that needs its coordinate raises
NotHomedError before anything is sent. Moves take a ``velocity=`` of their
own; the machine's ``move_to(..., together=True)`` makes the axes arrive
together. Everything goes through the controller's own public methods.
"""

from .axis import Axis, stopping
from .description import Description, check_description, load_description
from .errors import LimitError, MachineError, MotionError, NotHomedError
from .machine import Machine
from .motion import Motion
from .state import AxisState
from .waiting import wait_all

try:
    # Written when the distribution is built.
    from ._version import version as __version__  # type: ignore
except ImportError:  # run from the source tree: the version its build backend reads
    import os.path as _path
    import runpy as _runpy
    __version__ = _runpy.run_path(_path.join(_path.dirname(__file__), "..", "..", "tools", "backend",
                                             "qzr_kov_build", "project.py"))["tree_version"]()
    del _path, _runpy

__all__ = ["Axis", "AxisState", "Description", "LimitError", "Machine", "MachineError", "Motion",
           "MotionError", "NotHomedError", "check_description", "load_description", "stopping",
           "wait_all"]
