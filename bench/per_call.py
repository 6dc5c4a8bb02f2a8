"""Time per call of each controller operation with masters that answer at
once (the Python InstantMaster and the compiled one), in interleaved rounds
with the plain-Python comparator, the ceiling probe and the master's own
calls; for logged commands the composed floor of the log path instead of a
ceiling.

    QZR_KOV_BUILD=build/cpython-3.11.7 python3 bench/per_call.py [--json FILE] [NAME ...]

Ceilings (see bench/README.md):
- one-call reads: a compiled method doing only what the operation must (look
  up the master field on self, look up the master's method, call it);
- operations with more work than one master call: the same probe making
  their master call, a lower bound rather than a tight ceiling;
- operations without a master call: an empty compiled method with the same
  arguments;
- logged commands: the composed floor, that is a logger call up to a handler
  whose emit does nothing, formatting a like record and appending the line
  with open/write/close from C.
"""
import sys

import common

common.set_up()

import comparator  # noqa: E402
import qzr_kov  # noqa: E402

WORDS = [10.0, 10.0, 0.5, 0x20001, 0]

NO_CALL = "no master call"
READ = "one-call read"
MORE = "master call and more"
LOGGED = "logged"

# name, kind, statement on a controller `c`, ceiling on a probe `p`, the
# master calls the operation makes, made directly on the master `m`.
OPERATIONS = [
    ("ppmm", NO_CALL, "c.ppmm(1)", "p.nothing(1)", None),
    ("to_pulse", NO_CALL, "c.to_pulse(1, 2.5)", "p.nothing(1, 2.5)", None),
    ("from_pulse", NO_CALL, "c.from_pulse(1, 250)", "p.nothing(1, 250)", None),
    ("is_running(words)", NO_CALL, "c.is_running(1, w)", "p.nothing(1, w)", None),
    ("at_o(words)", NO_CALL, "c.at_o(1, w)", "p.nothing(1, w)", None),
    ("get_position(words)", NO_CALL, "c.get_position(1, w)", "p.nothing(1, w)", None),
    ("is_finding_o", NO_CALL, "c.is_finding_o(1)", "p.nothing(1)", None),
    ("get_coil", READ, "c.get_coil(1, 'X0')", "p.get_coil(1, 'X0')", "m.get_coil(1, 'X0')"),
    ("is_running", READ, "c.is_running(1)", "p.get_coil(1, 'Y1')", "m.get_coil(1, 'Y1')"),
    ("negative_limit_is_disabled", READ, "c.negative_limit_is_disabled(1)",
     "p.get_coil(1, 'R12')", "m.get_coil(1, 'R12')"),
    ("status_words", MORE, "c.status_words(1)", "p.get_multi_int32(1, 'DT10', 11)",
     "m.get_multi_int32(1, 'DT10', 11)"),
    ("get_stop_source", MORE, "c.get_stop_source(1)", "p.get_int32(1, 'D20')",
     "m.get_int32(1, 'D20')"),
    ("get_position", MORE, "c.get_position(1)", "p.get_int32(1, 'DT10')", "m.get_int32(1, 'DT10')"),
    ("set_position", MORE, "c.set_position(1, 2.5)", "p.set_int32(1, 'DT10', 250)",
     "m.set_int32(1, 'DT10', 250)"),
    ("set_absolute_target", MORE, "c.set_absolute_target(1, 2.5)", "p.set_int32(1, 'DT6', 250)",
     "m.set_int32(1, 'DT6', 250)"),
    ("stop", LOGGED, "c.stop(1)", None, "m.set_coil(1, 'R0', True)"),
    ("disable_alarm", LOGGED, "c.disable_alarm(1)", None, "m.set_coil(1, 'R14', True)"),
    ("set_velocity", LOGGED, "c.set_velocity(1, 10.0)", None, "m.set_uint32(1, 'DT2', 1000)"),
    ("locate_absolutely", LOGGED, "c.locate_absolutely(1, 2.5)", None,
     "m.set_int32(1, 'DT6', 250); m.set_coil(1, 'R1', True)"),
    ("set_parameters", LOGGED, "c.set_parameters(1, 1.0, 2.0, 0.1)", None,
     "m.set_multi_uint32(1, 'DT0', [100, 200, 100])"),
]


class Setup(object):
    """For each master: the module's controller, the comparator's, a probe."""

    def __init__(self):
        self.names = {}
        for label, master in common.masters():
            ours = qzr_kov.KOVAxisController(master)
            theirs = comparator.KOVAxisController(master)
            for c in (ours, theirs):
                c.set_ppmm(1, 100)
            self.names[label] = {"m": master, "w": WORDS, "p": common.probe(master),
                                 "module": ours, "comparator": theirs}

    def contenders(self, label, statement, ceiling, master_calls):
        names = self.names[label]
        out = [common.Contender("module " + label, statement, dict(names, c=names["module"])),
               common.Contender("comparator " + label, statement,
                                dict(names, c=names["comparator"]))]
        if ceiling:
            out.append(common.Contender("ceiling " + label, ceiling, names))
        if master_calls:
            out.append(common.Contender("master " + label, master_calls, names))
        return out

    def close(self):
        for names in self.names.values():
            names["module"]._find_o_threads.clear()


def measure(setup, name, kind, statement, ceiling, master_calls):
    labels = ["python"] if kind == NO_CALL else ["python", "native"]
    contenders = []
    for label in labels:
        contenders += setup.contenders(label, statement, ceiling, master_calls)
    floor = None
    if kind == LOGGED:
        c = setup.names["python"]["module"]
        message = common.logged_message(qzr_kov, lambda: eval(statement, {"c": c}))
        floor = common.LogFloor(qzr_kov, message)
        contenders += floor.contenders()
    samples = common.interleaved(contenders)
    row = {"operation": name, "kind": kind}
    if floor is not None:
        parts = [samples["floor " + part] for part in ("logging", "format", "append")]
        samples["floor"] = common.sum_rounds(*parts)
        row["message"] = floor.message
        row["floor"] = {part: common.stats(s) for part, s in
                        zip(("logging", "format", "append", "composed"), parts + [samples["floor"]])}
        row["floor"]["sequence"] = common.stats(samples["floor sequence"])
    for label in labels:
        module, theirs = samples["module " + label], samples["comparator " + label]
        out = {"module": common.stats(module), "comparator": common.stats(theirs),
               # above 1: the module is faster than the comparator
               "vs_comparator": common.ratio(theirs, module)}
        ceiling_samples = samples["floor"] if floor is not None else samples["ceiling " + label]
        out["ceiling"] = common.stats(ceiling_samples)
        # 1: the module is at its ceiling; below 1 it is slower
        out["vs_ceiling"] = common.ratio(ceiling_samples, module)
        if floor is not None:
            # the module's time in multiples of the composed floor
            out["over_floor"] = common.ratio(module, ceiling_samples)
            out["over_sequence"] = common.ratio(module, samples["floor sequence"])
        if master_calls:
            out["master"] = common.stats(samples["master " + label])
        row[label] = out
    return row


def show(rows):
    print("CPython %s; us per call, median of %d interleaved rounds" % (
        common.python_version(), common.ROUNDS))
    print("%-27s %-7s %9s %9s %9s %9s %8s %8s" % (
        "operation", "master", "module", "compar.", "ceiling", "master", "cmp/mod", "ceil/mod"))
    for r in rows:
        for label in ("python", "native"):
            if label not in r:
                continue
            d = r[label]
            print("%-27s %-7s %9.3f %9.3f %9.3f %9s %7.2fx %7.2fx%s" % (
                r["operation"] if label == "python" else "", label, d["module"]["median"],
                d["comparator"]["median"], d["ceiling"]["median"],
                "%.3f" % d["master"]["median"] if "master" in d else "-",
                d["vs_comparator"], d["vs_ceiling"],
                "  module/floor %.2fx" % d["over_floor"] if "over_floor" in d else ""))


def main():
    only = [a for a in sys.argv[1:] if not a.startswith("-") and not a.endswith(".json")]
    setup = Setup()
    rows = []
    try:
        for operation in OPERATIONS:
            if only and operation[0] not in only:
                continue
            rows.append(measure(setup, *operation))
    finally:
        setup.close()
    show(rows)
    if "--json" in sys.argv:
        common.write_json({"rounds": common.ROUNDS, "batch_s": common.BATCH, "rows": rows})


if __name__ == "__main__":
    main()
