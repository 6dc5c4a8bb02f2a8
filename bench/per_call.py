"""Time per call of each controller operation with a master that answers at
once, next to the plain-Python comparator and the floor (the direct Python
call of the same master operation, or an empty Python method call).

    QZR_KOV_BUILD=build/cpython-3.11.7 python3 bench/per_call.py [--json FILE]
"""
import json
import sys

import common

common.set_up()

import comparator  # noqa: E402
import qzr_kov  # noqa: E402

WORDS = [10.0, 10.0, 0.5, 0x20001, 0]


class Empty(object):
    def method(self, *args):
        pass


# name, statement on a controller `c`, floor statement; logged ones last.
OPERATIONS = [
    ("ppmm", "c.ppmm(1)", "e.method(1)"),
    ("to_pulse", "c.to_pulse(1, 2.5)", "e.method(1, 2.5)"),
    ("from_pulse", "c.from_pulse(1, 250)", "e.method(1, 250)"),
    ("is_running(words)", "c.is_running(1, w)", "e.method(1, w)"),
    ("at_o(words)", "c.at_o(1, w)", "e.method(1, w)"),
    ("get_position(words)", "c.get_position(1, w)", "e.method(1, w)"),
    ("is_finding_o", "c.is_finding_o(1)", "e.method(1)"),
    ("status_words", "c.status_words(1)", "m.get_multi_int32(1, 'DT10', 11)"),
    ("get_stop_source", "c.get_stop_source(1)", "m.get_int32(1, 'D20')"),
    ("is_running", "c.is_running(1)", "m.get_coil(1, 'Y1')"),
    ("get_position", "c.get_position(1)", "m.get_int32(1, 'DT10')"),
    ("get_coil", "c.get_coil(1, 'X0')", "m.get_coil(1, 'X0')"),
    ("negative_limit_is_disabled", "c.negative_limit_is_disabled(1)", "m.get_coil(1, 'R12')"),
    ("set_position", "c.set_position(1, 2.5)", "m.set_int32(1, 'DT10', 2)"),
    ("set_absolute_target", "c.set_absolute_target(1, 2.5)", "m.set_int32(1, 'DT6', 2)"),
    ("stop (logged)", "c.stop(1)", "m.set_coil(1, 'R0', True)"),
    ("disable_alarm (logged)", "c.disable_alarm(1)", "m.set_coil(1, 'R14', True)"),
    ("set_velocity (logged)", "c.set_velocity(1, 10.0)", "m.set_uint32(1, 'DT2', 10)"),
    ("locate_absolutely (logged)", "c.locate_absolutely(1, 2.5)", "m.set_coil(1, 'R1', True)"),
    ("set_parameters (logged)", "c.set_parameters(1, 1.0, 2.0, 0.1)",
     "m.set_multi_uint32(1, 'DT0', [1, 2, 100])"),
]


def main():
    only = [a for a in sys.argv[1:] if not a.startswith("-") and not a.endswith(".json")]
    master = common.InstantMaster()
    ours = qzr_kov.KOVAxisController(master)
    theirs = comparator.KOVAxisController(master)
    for c in (ours, theirs):
        c.set_ppmm(1, 100)
    names = {"m": master, "e": Empty(), "w": WORDS}
    rows = []
    for name, statement, floor in OPERATIONS:
        if only and not any(o in name for o in only):
            continue
        ext = common.per_call(statement, dict(names, c=ours))
        cmp_ = common.per_call(statement, dict(names, c=theirs))
        flo = common.per_call(floor, names)
        rows.append({"operation": name, "extension_us": ext * 1e6, "comparator_us": cmp_ * 1e6,
                     "floor_us": flo * 1e6, "speedup": cmp_ / ext if ext else float("inf")})
    print("CPython %s" % common.python_version())
    print("%-28s %10s %10s %10s %8s" % ("operation", "ext us", "python us", "floor us",
                                         "speed-up"))
    for r in rows:
        print("%-28s %10.3f %10.3f %10.3f %7.2fx" % (r["operation"], r["extension_us"],
                                                    r["comparator_us"], r["floor_us"], r["speedup"]))
    if "--json" in sys.argv:
        with open(common.json_path(), "w") as f:
            json.dump({"python": common.python_version(), "rows": rows}, f, indent=1)
    ours._find_o_threads.clear()


if __name__ == "__main__":
    main()
