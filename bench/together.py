"""Moves that arrive together: how far apart in time the axes of one
`Machine.move_to(targets, together=True)` arrive, and how far the tool
point strays from the straight line, against the same moves apart (each
axis on its own profile).

On a simulated line whose every exchange holds the line for EXCHANGE
seconds of real time, a gantry (x and y at 200 pulses/mm, 100 mm/s; z at
400 pulses/mm, 40 mm/s) makes the moves of CASES from one start, carried
back there by hand before each move (no move, no exchange). Rounds are
interleaved: every round runs each case both ways, in an order rotated from
round to round. Per move:

- arrival spread: the times of the stations' stops (the simulator's own
  record of each), latest less earliest;
- distance from the line: the largest distance (mm) of the sampled path
  from the straight line between start and target. A thread samples every
  station's counter about every millisecond, all under the line's lock, so
  all at one moment, between exchanges (an exchange holds the lock);
- the limits: spread 2 exchanges + 5 ms; distance the fastest axis's
  velocity (mm/s, as written for the move) times (one exchange + 5 ms).

    QZR_KOV_BUILD=build/cpython-3.11.7 python3 bench/together.py [--json FILE]
    python3 bench/together.py --table bench/results     # the Markdown table
    python3 bench/together.py --readme bench/README.md bench/results

QZR_KOV_BENCH_TOGETHER_ROUNDS=8 and QZR_KOV_BENCH_TOGETHER_EXCHANGE_MS=5
choose other rounds and exchange times.
"""
import math
import os
import sys
import threading
import time

import common
from line import last_stop

ROUNDS = int(os.environ.get("QZR_KOV_BENCH_TOGETHER_ROUNDS", "8"))
EXCHANGE_MS = float(os.environ.get("QZR_KOV_BENCH_TOGETHER_EXCHANGE_MS", "5"))
WAYS = ("together", "apart")
AXES = {"x": (1, 200, (5.0, 100.0, 0.2)), "y": (2, 200, (5.0, 100.0, 0.2)),
        "z": (3, 400, (2.0, 40.0, 0.1))}
START = {"x": 10.0, "y": 20.0, "z": -5.0}
# (name, targets, velocity along the line or None)
CASES = [("x+y", {"x": 210.0, "y": 120.0}, None),
         ("x+y steep", {"x": 30.0, "y": 180.0}, None),
         ("x+y+z", {"x": 160.0, "y": 80.0, "z": -45.0}, None),
         ("x+y+z short", {"x": 14.0, "y": 22.0, "z": -7.0}, None),
         ("x+y at 40 mm/s", {"x": 110.0, "y": 70.0}, 40.0)]
#: what the spread and the distance are to stay within beyond one and two
#: exchanges
MARGIN_S = 0.005


def description():
    axes = {}
    for name, (station, ppmm, (start, velocity, ramp)) in AXES.items():
        axes[name] = {"station": station, "ppmm": ppmm, "travel": [-100.0, 300.0],
                      "profile": {"start_velocity": start, "velocity": velocity,
                                  "acceleration_time": ramp}}
    return {"lines": {"main": {"port": "bench-together"}}, "axes": axes}


def distance_from_line(point, begin, end):
    """How far POINT is from the straight line through BEGIN and END."""
    line = [b - a for a, b in zip(begin, end)]
    length = math.sqrt(sum(d * d for d in line))
    unit = [d / length for d in line]
    offset = [p - a for p, a in zip(point, begin)]
    along = sum(o * u for o, u in zip(offset, unit))
    return math.sqrt(sum((o - along * u) ** 2 for o, u in zip(offset, unit)))


class Sampler(object):
    """Samples the counters of STATIONS of LINE every PERIOD seconds in a
    thread of its own, all at one moment (under the line's lock)."""

    def __init__(self, line, stations, period=0.001):
        self.line, self.stations, self.period = line, stations, period
        self.samples = []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self.done.is_set():
            with self.line._lock:       # between exchanges: none meanwhile
                self.samples.append((time.time(), [st.count for st in self.stations]))
            time.sleep(self.period)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.done.set()
        self.thread.join()


def run_case(machine, line, targets, velocity, way):
    """One move of TARGETS (at VELOCITY) made WAY; returns its figures."""
    from qzr_kov_motion import wait_all
    names = sorted(targets)
    for name, (station, ppmm, _) in AXES.items():
        st = line.station(station)
        st.physical_position = st.count = int(round(START[name] * ppmm))
    stations = [line.station(AXES[name][0]) for name in names]
    before = len(line.calls)
    with Sampler(line, stations) as sampler:
        begun = time.time()
        motions = machine.move_to(targets, together=way == "together", velocity=velocity)
        wait_all(motions.values(), 120)
    stops = [last_stop(st) for st in stations]
    begin, end = [START[n] for n in names], [targets[n] for n in names]
    ppmm = [AXES[n][1] for n in names]
    path = [[c / p for c, p in zip(counts, ppmm)] for t, counts in sampler.samples
            if begun <= t <= max(stops)]
    speeds = {}
    for call in line.calls[before:]:
        if call.op == "set_multi_uint32" and call.args[0] not in speeds:
            speeds[call.args[0]] = call.args[2][1]
    fastest = max(speeds.get(AXES[n][0], AXES[n][2][1] * AXES[n][1]) / AXES[n][1]
                  for n in names)
    return {"spread_ms": 1000.0 * (max(stops) - min(stops)),
            "stray_mm": max(distance_from_line(p, begin, end) for p in path),
            "fastest_mm_s": fastest, "samples": len(path)}


def summary(values):
    ordered = sorted(values)
    return {"median": ordered[len(ordered) // 2], "min": ordered[0], "max": ordered[-1]}


def measure(rounds=ROUNDS, exchange_ms=EXCHANGE_MS, cases=CASES, quiet=False):
    import qzr_kov_sim
    from qzr_kov_motion import Machine
    line = qzr_kov_sim.SimulatedLine(
        "bench-together", exchange_time=exchange_ms / 1000.0,
        layout={"origin_at": None, "negative_limit_at": None, "positive_limit_at": None})
    runs = [(case, way) for case in cases for way in WAYS]
    figures = dict(((case[0], way), []) for case, way in runs)
    with Machine.from_dict(description(), lines={"main": line}) as machine:
        for r in range(rounds):
            for case, way in runs[r % len(runs):] + runs[:r % len(runs)]:
                name, targets, velocity = case
                figures[(name, way)].append(run_case(machine, line, targets, velocity, way))
            if not quiet:
                print("  round %d of %d done" % (r + 1, rounds))
                sys.stdout.flush()
    rows = []
    for name, targets, velocity in cases:
        for way in WAYS:
            got = figures[(name, way)]
            fastest = max(g["fastest_mm_s"] for g in got)
            rows.append({"case": name, "axes": len(targets), "way": way,
                         "spread_ms": summary([g["spread_ms"] for g in got]),
                         "stray_mm": summary([g["stray_mm"] for g in got]),
                         "fastest_mm_s": fastest,
                         "spread_limit_ms": 2 * exchange_ms + 1000 * MARGIN_S,
                         "stray_limit_mm": fastest * (exchange_ms / 1000.0 + MARGIN_S),
                         "samples": min(g["samples"] for g in got)})
    return rows


# -- the table

def _cell(s, digits):
    return "%.*f (%.*f–%.*f)" % (digits, s["median"], digits, s["min"], digits, s["max"])


def verdicts(rows):
    together = [r for r in rows if r["way"] == "together"]
    out = []
    for key, limit, what in (("spread_ms", "spread_limit_ms",
                              "arrival spread within 2 exchanges + 5 ms"),
                             ("stray_mm", "stray_limit_mm", "distance from the line within the "
                              "fastest axis's velocity × (one exchange + 5 ms)")):
        beyond = ["%s: %.2f, limit %.2f" % (r["case"], r[key]["max"], r[limit])
                  for r in together if r[key]["max"] > r[limit]]
        out.append("- Together, %s, in every round: %s" % (
            what, "**not met** (%s)" % "; ".join(beyond) if beyond else "met"))
    return out


def table(results):
    out = []
    for data in common.by_version(results):
        out.append(common.heading(data, "Median (min–max) over the rounds; the limits apply "
                                        "to the moves together."))
        out.append("| move | axes | arrival spread ms, together | apart | limit | from the "
                   "line mm, together | apart | limit (fastest axis) |")
        out.append("|---|---:|---:|---:|---:|---:|---:|---:|")
        rows = {(r["case"], r["way"]): r for r in data["rows"]}
        for case in [r["case"] for r in data["rows"] if r["way"] == WAYS[0]]:
            new, old = rows[(case, WAYS[0])], rows[(case, WAYS[1])]
            out.append("| %s | %d | %s | %s | %.0f | %s | %s | %.2f (%.0f mm/s) |" % (
                case, new["axes"], _cell(new["spread_ms"], 1), _cell(old["spread_ms"], 1),
                new["spread_limit_ms"], _cell(new["stray_mm"], 3), _cell(old["stray_mm"], 2),
                new["stray_limit_mm"], new["fastest_mm_s"]))
        out.append("")
        out += verdicts(data["rows"])
        out.append("")
    return "\n".join(out)


def main(argv):
    if common.tables(argv, "together", table):
        return 0
    common.set_up()
    sys.path.insert(0, os.path.join(common.REPO, "motion"))
    print("CPython %s, %g ms per exchange, %d rounds" % (common.python_version(), EXCHANGE_MS,
                                                         ROUNDS))
    at_start = common.about()["load_at_start"]
    rows = measure()
    results = {"python": common.python_version(), "rounds": ROUNDS, "exchange_ms": EXCHANGE_MS,
               "load_at_start": at_start, "load_at_end": common.about()["load_at_start"],
               "rows": rows}
    return common.report(results, table, argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
