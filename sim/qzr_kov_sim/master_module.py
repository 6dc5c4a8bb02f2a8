"""Standing in for the master module ``qzr_mew`` in a running interpreter.

``qzr_kov`` imports ``qzr_mew`` first thing. Where no real one is installed
(a fresh ``pip install``, a laptop without the serial-line side),
``use_simulated_master()`` enters a module of that name in ``sys.modules``
whose ``MewMaster`` opens simulated lines. Nothing is written to disk: the
entry lives as long as the interpreter, and only a program that makes this
call gets it. Where a real ``qzr_mew`` can be imported the call refuses, so
that a machine with hardware never drives simulated axes by mistake.
"""

import importlib.machinery
import importlib.util
import os
import sys

from .line import open_line
from .protocol import CommunicationError

NAME = "qzr_mew"

#: the stand-in file of the source tree (sim/stand_in/qzr_mew.py), which is
#: never installed; it is one of ours, not a real master module
_TREE_STAND_IN = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                              "stand_in", NAME + ".py")


def _ours(module):
    """Whether MODULE stands in for the master module with simulated lines
    (made by this function, by the tool, or the tree's stand-in file)."""
    return getattr(module, "MewMaster", None) is open_line


def _location(found):
    """Where the import FOUND (what find_spec found) would come from, in words."""
    if found.origin and found.has_location:
        return found.origin
    folders = list(found.submodule_search_locations or ())
    if folders:
        return "the folder " + os.pathsep.join(folders)
    return found.origin or "a finder on sys.meta_path"


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except (OSError, TypeError, ValueError):
        return False


def _refuse(where):
    raise RuntimeError(
        "use_simulated_master(): a master module %s is importable (%s), so 'import qzr_kov' "
        "uses it and this call does not stand in for it; to work on a simulated line there, "
        "hand the controller a qzr_kov_sim.SimulatedLine as its master" % (NAME, where))


def _make():
    made = importlib.machinery.ModuleSpec(NAME, None, origin="qzr_kov_sim (simulated lines)")
    module = importlib.util.module_from_spec(made)
    module.__doc__ = ("Stand-in made by qzr_kov_sim.use_simulated_master(): every MewMaster "
                      "is a simulated line (see qzr_kov_sim.set_line_factory).")
    module.MewMaster = open_line
    module.CommunicationError = CommunicationError
    return module


def use_simulated_master():
    """Make ``import qzr_kov`` work on simulated lines in this interpreter,
    when no real master module ``qzr_mew`` is importable; returns the module
    that stands in for it.

    Its ``MewMaster(port, baudrate=115200)`` is ``qzr_kov_sim.open_line``: a
    port name opens a fresh ``SimulatedLine`` (choose another with
    ``set_line_factory``; the line is ``qzr_kov_sim.lines[port]``). Calling
    again, or after the tool or the tree's stand-in file has stood in,
    changes nothing.

    Raises RuntimeError, naming where it would come from, when a real
    ``qzr_mew`` is imported already or can be imported (even one whose own
    import would fail): a machine with the serial-line side installed keeps
    it. Nothing is installed on disk.
    """
    module = sys.modules.get(NAME)
    if module is not None:
        if _ours(module):
            return module
        _refuse(getattr(module, "__file__", None) or "already imported: %r" % (module,))
    try:
        found = importlib.util.find_spec(NAME)
    except (ImportError, ValueError) as error:
        _refuse("its finder fails: %s: %s" % (type(error).__name__, error))
    if found is not None:
        if found.origin and _same_file(found.origin, _TREE_STAND_IN):
            module = importlib.import_module(NAME)
            if _ours(module):
                return module
        _refuse(_location(found))
    module = _make()
    sys.modules[NAME] = module
    return module
