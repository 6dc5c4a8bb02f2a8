"""The gantry of examples/machine.toml on simulated lines, driven by name:
home it in the order the file gives (Z up first, then X and Y together),
move to named positions, have a move beyond a soft limit refused, and jog
an axis to the end of its travel. Ctrl-C at any moment stops every axis.

Run it with `tools/demo machine`, which builds the module and puts the
simulator and qzr_kov_motion on the path. Against the real machine the only
change is to leave out `lines=`: the controller then opens the port that
the file names.
"""
import os
import sys

from qzr_kov import Direction
from qzr_kov_motion import LimitError, Machine, wait_all
from qzr_kov_sim import ScaledClock, machine_lines

HERE = os.path.dirname(os.path.abspath(__file__))


def description():
    """machine.toml where this Python reads TOML (3.11 or later, or with
    tomli installed); otherwise the same description in JSON."""
    for reader in ("tomllib", "tomli"):
        try:
            __import__(reader)
            return os.path.join(HERE, "machine.toml")
        except ImportError:
            pass
    return os.path.join(HERE, "machine.json")


def simulated_lines(path):
    """The lines of the file simulated, their time running ten times faster.
    Each station is placed from its axis's settings: the origin sensor at
    0 mm, the limit switches just beyond the ends of the travel, the axis
    in the middle of its travel (as qzr-kov --simulate places them)."""
    return machine_lines(path, clock=ScaledClock(10))


def where(machine):
    return ", ".join("%s %.2f" % (name, axis.position) for name, axis in machine.axes.items())


def main():
    path = description()
    with Machine.from_file(path, lines=simulated_lines(path)) as machine:
        with machine.stopping():
            print("axes: %s" % ", ".join(machine.axes))
            print("homing, in groups: %s" % " then ".join(
                "+".join(group) for group in machine.homing_groups()))
            machine.home(timeout=60)
            print("  homed: %s" % where(machine))

            print("moving x to load, y to 40 mm, z to work")
            motions = machine.move_to({"x": "load", "y": 40.0, "z": "work"})
            ends = wait_all(motions.values(), timeout=30)
            print("  ended at %s" % ", ".join("%.2f" % end for end in ends))

            print("moving x to unload and y to 250 mm")
            try:
                machine.move_to({"x": "unload", "y": 250.0})
            except LimitError as error:
                print("  refused, nothing moved: %s" % error)
            print("  still at: %s" % where(machine))

            print("jogging z up")
            print("  z stopped at its soft limit, %.2f mm"
                  % machine["z"].jog(Direction.Positive).wait(timeout=30))

            print("parking x and y")
            wait_all(machine.move_to({"x": "park", "y": "park"}).values(), timeout=30)
            print("  parked: %s" % where(machine))
    return 0


if __name__ == "__main__":
    sys.exit(main())
