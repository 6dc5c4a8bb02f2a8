"""Sharing the line: how long a command waits for the line while N axes
move, and how soon a move is over once its station stopped, with one
waiting thread per motion (each calling `wait_for_locating_done`, as
qzr_kov_motion did before its poller) against the poller of qzr_kov_motion.

On a simulated line whose every exchange holds the line for EXCHANGE
seconds (real time), N stations move back and forth, each driven by a
thread of its own that starts a move (a random length of travel), waits for
its motion and starts the next. Meanwhile the main thread issues commands
(`controller.is_running(station)`, one exchange) at random moments, so that
they cannot fall into step with the polls, and times each. Figures:

- command latency: the time one command takes, median, p95 and max;
- completion latency: from the station's stop (the simulator's own record
  of it) to the driver thread having the motion's result, median and max;
- line share of the polls: the exchanges made to watch the moves (running
  bit, stop source, end position) times EXCHANGE, over the time measured.

Cases: 1, 4, 8, 16, 32 moving axes at 2, 5 and 16 ms per exchange, the two
ways of waiting one after the other, in an order that alternates from case
to case and from repeat to repeat; repeats pool their samples.

    QZR_KOV_BUILD=build/cpython-3.11.7 python3 bench/line.py [--json FILE]
    python3 bench/line.py --table bench/results     # the Markdown table

QZR_KOV_BENCH_LINE_AXES="1 4", QZR_KOV_BENCH_LINE_EXCHANGES_MS="5",
QZR_KOV_BENCH_LINE_REPEATS=2, QZR_KOV_BENCH_LINE_COMMANDS=40 and
QZR_KOV_BENCH_LINE_COMPLETIONS=30 choose other cases and sample sizes;
QZR_KOV_BENCH_LINE_GAP_MS=1 another idle gap for the poller,
QZR_KOV_BENCH_LINE_WAYS=poller (or per-motion) one way only.
"""
import concurrent.futures
import glob
import json
import os
import random
import sys
import threading
import time

import common

AXES = [int(n) for n in os.environ.get("QZR_KOV_BENCH_LINE_AXES", "1 4 8 16 32").split()]
EXCHANGES_MS = [float(n) for n in
                os.environ.get("QZR_KOV_BENCH_LINE_EXCHANGES_MS", "2 5 16").split()]
REPEATS = int(os.environ.get("QZR_KOV_BENCH_LINE_REPEATS", "1"))
COMMANDS = int(os.environ.get("QZR_KOV_BENCH_LINE_COMMANDS", "40"))
COMPLETIONS = int(os.environ.get("QZR_KOV_BENCH_LINE_COMPLETIONS", "30"))
WAYS = ("per motion", "poller")
MEASURED = [w for w in WAYS if w.replace(" ", "-") in
            os.environ.get("QZR_KOV_BENCH_LINE_WAYS", "per-motion poller").split()]
# Pulses per second of every move (1 pulse per mm).
SPEED = 20000
# Reads that watch a move: running bit, stop source, position.
WATCHING = {("get_coil", "Y1"), ("get_int32", "D20"), ("get_int32", "DT10")}


def percentile(samples, fraction):
    """The nearest-rank percentile of SAMPLES (fraction 0.95: p95)."""
    ordered = sorted(samples)
    rank = max(1, -(-len(ordered) * fraction // 1))
    return ordered[int(rank) - 1]


def summary(samples):
    return {"median": percentile(samples, 0.5), "p95": percentile(samples, 0.95),
            "max": max(samples), "count": len(samples)}


def per_motion_move(controller, station, target):
    """Starts a move and returns a future that a thread of its own settles
    once wait_for_locating_done has returned: the waiting as it was."""
    controller.locate_absolutely(station, target)
    future = concurrent.futures.Future()

    def wait():
        try:
            try:
                controller.wait_for_locating_done(station)
            except OSError:
                controller.get_stop_source(station)
            future.set_result(controller.get_position(station))
        except BaseException as error:  # noqa: B902 - handed to the driver
            future.set_exception(error)
    threading.Thread(target=wait, daemon=True).start()
    return future


def poller_move(controller, station, target):
    from qzr_kov_motion import Axis
    return Axis(controller, station).move_to(target)


STARTS = {"per motion": per_motion_move, "poller": poller_move}


def exchange_kind(op, name):
    """What an exchange is for, as the worst completion's figures tell it."""
    if threading.current_thread() is threading.main_thread():
        return "commands"
    if (op, name) == ("get_coil", "Y1"):
        return "polls"
    if (op, name) in WATCHING:
        return "end reads"
    return "starts"


def timed_line(**kwargs):
    """A simulated line that also notes when each exchange ended, and what
    it was for."""
    from qzr_kov_sim import SimulatedLine

    class TimedLine(SimulatedLine):
        def _exchange(self, op, args):
            try:
                return SimulatedLine._exchange(self, op, args)
            finally:
                self.ends.append((time.time(), exchange_kind(op, args[1])))

    line = TimedLine("bench-line", **kwargs)
    line.ends = []
    return line


def between(ends, begin, end):
    """Exchanges by kind that ended after BEGIN and up to END."""
    out = {}
    for t, kind in ends:
        if begin < t <= end:
            out[kind] = out.get(kind, 0) + 1
    return out


def last_stop(station):
    while True:
        try:
            history = list(station.history)
            break
        except RuntimeError:  # appended to meanwhile
            pass
    return [t for t, what, _ in history if what == "stop"][-1]


def run_case(way, axes, exchange, seed, commands=COMMANDS, completions=COMPLETIONS):
    """One case: AXES stations moving on a line of EXCHANGE seconds per
    exchange, their moves waited for in WAY, until COMMANDS commands have
    been timed and COMPLETIONS moves have ended. Returns the samples."""
    import qzr_kov
    line = timed_line(exchange_time=exchange,
                      layout={"physical_position": 0, "origin_at": None,
                              "negative_limit_at": None, "positive_limit_at": None})
    controller = qzr_kov.KOVAxisController(line)
    stations = list(range(1, axes + 1))
    for station in stations:
        controller.set_parameters(station, SPEED, SPEED, 0.0)
    start = STARTS[way]
    # Moves last many rounds of polls over all axes (20 on average), so
    # that the line carries mostly polls rather than the starts and ends of
    # moves; commands come every ten exchanges or so.
    from qzr_kov_motion import poller
    shortest = max(0.2, 13 * axes * (exchange + poller.IDLE_GAP))
    done = threading.Event()
    ended, failures = [], []

    def drive(station, rng):
        position, sign = 0, 1
        try:
            while not done.is_set():
                target = position + sign * int(SPEED * rng.uniform(shortest, 2 * shortest))
                sign = -sign
                position = start(controller, station, target).result()
                finished = time.time()
                if not done.is_set():
                    stopped = last_stop(line.station(station))
                    ended.append((1000.0 * (finished - stopped), stopped, finished))
        except BaseException as error:  # noqa: B902 - reported below
            failures.append(error)

    rng = random.Random(seed)
    drivers = [threading.Thread(target=drive, args=(s, random.Random(rng.random())))
               for s in stations]
    for driver in drivers:
        driver.start()
    while not all(line.station(s).moving for s in stations):
        time.sleep(0.001)
    begin, calls_before = time.time(), len(line.calls)
    timed = []
    while len(timed) < commands or len(ended) < completions:
        time.sleep(rng.uniform(0.0, 20 * exchange))
        if len(timed) < commands:
            station = rng.choice(stations)
            t = time.perf_counter()
            controller.is_running(station)
            timed.append(1000.0 * (time.perf_counter() - t))
        if failures:
            raise failures[0]
    calls = line.calls[calls_before:]
    elapsed = time.time() - begin
    done.set()
    for driver in drivers:
        driver.join()
    controller.close()
    watching = sum(1 for c in calls if (c.op, c.args[1]) in WATCHING) - len(timed)
    worst = max(ended)
    return {"commands_ms": timed, "completions_ms": [e[0] for e in ended],
            "worst_completion": {"ms": worst[0],
                                 "exchanges_meanwhile": between(line.ends, *worst[1:])},
            "poll_share": watching * exchange / elapsed,
            "line_share": len(calls) * exchange / elapsed, "seconds": elapsed}


def measure():
    cases = []
    for r in range(REPEATS):
        for i, exchange_ms in enumerate(EXCHANGES_MS):
            for j, axes in enumerate(AXES):
                flip = (r + i + j) % len(MEASURED)
                for way in MEASURED[flip:] + MEASURED[:flip]:
                    samples = run_case(way, axes, exchange_ms / 1000.0, seed=1000 * r + 100 * i + j)
                    cases.append(dict(samples, way=way, axes=axes, exchange_ms=exchange_ms))
                    command, completion = samples["commands_ms"], samples["completions_ms"]
                    print("  %-10s %2d axes, %4.1f ms: command %5.1f (p95 %5.1f, max %5.1f), "
                          "completion %6.1f (max %6.1f) ms, polls %3.0f %% of the line (%.1f s)"
                          % (way, axes, exchange_ms, percentile(command, 0.5),
                             percentile(command, 0.95), max(command),
                             percentile(completion, 0.5), max(completion),
                             100 * samples["poll_share"], samples["seconds"]))
                    sys.stdout.flush()
    pooled = {}
    for case in cases:
        key = (case["way"], case["axes"], case["exchange_ms"])
        into = pooled.setdefault(key, {"commands_ms": [], "completions_ms": [],
                                       "poll_share": [], "seconds": 0.0,
                                       "worst_completion": case["worst_completion"]})
        if case["worst_completion"]["ms"] > into["worst_completion"]["ms"]:
            into["worst_completion"] = case["worst_completion"]
        into["commands_ms"] += case["commands_ms"]
        into["completions_ms"] += case["completions_ms"]
        into["poll_share"].append(case["poll_share"])
        into["seconds"] += case["seconds"]
    rows = []
    for (way, axes, exchange_ms), p in sorted(pooled.items(), key=lambda kv: kv[0][::-1]):
        rows.append({"way": way, "axes": axes, "exchange_ms": exchange_ms,
                     "command_ms": summary(p["commands_ms"]),
                     "completion_ms": summary(p["completions_ms"]),
                     "poll_share": sum(p["poll_share"]) / len(p["poll_share"]),
                     "worst_completion": p["worst_completion"],
                     "seconds": p["seconds"]})
    return rows


# -- the table


def targets(axes, exchange_ms):
    """(command median, command p95, completion median, completion max) in
    ms that the poller is to stay within at 5 ms per exchange."""
    return (2 * exchange_ms + 3, 3 * exchange_ms + 5, axes * exchange_ms + 15,
            2 * axes * exchange_ms + 25)


TARGETS = ("command within 2 exchanges + 3 ms (median)",
           "command within 3 exchanges + 5 ms (p95)",
           "completion within N exchanges + 15 ms (median)",
           "completion within 2N exchanges + 25 ms (max)")


def figures(row):
    return (row["command_ms"]["median"], row["command_ms"]["p95"],
            row["completion_ms"]["median"], row["completion_ms"]["max"])


def applies(row):
    return row["way"] == WAYS[1] and row["exchange_ms"] == 5 and 1 <= row["axes"] <= 16


def within(row):
    """Whether ROW meets each target, or None where none applies."""
    if not applies(row):
        return None
    return tuple(f <= limit for f, limit in zip(figures(row),
                                                targets(row["axes"], row["exchange_ms"])))


def meanwhile(row):
    """What the line carried between the stop and the end of the slowest
    move of ROW."""
    counts = row["worst_completion"]["exchanges_meanwhile"]
    return " (meanwhile %s)" % ", ".join("%d %s" % (counts[k], k) for k in
                                          ("polls", "end reads", "starts", "commands")
                                          if k in counts)


def verdicts(rows):
    """One line per target: met, or not met with the cases beyond it."""
    checked = [r for r in rows if applies(r)]
    out = []
    for i, name in enumerate(TARGETS):
        beyond = ["%d axes: %.1f ms, limit %.0f%s" % (
            r["axes"], figures(r)[i], targets(r["axes"], r["exchange_ms"])[i],
            meanwhile(r) if name.endswith("(max)") else "")
            for r in checked if not within(r)[i]]
        out.append("- Poller at 5 ms per exchange, 1 to 16 axes, %s: %s" % (
            name, "**not met** (%s)" % "; ".join(beyond) if beyond else "met"))
    return out


def table(results):
    """Markdown: one row per case and interpreter, the two ways side by
    side; targets marked where they apply."""
    out = []
    for data in sorted(results, key=lambda d: [int(x) for x in d["python"].split(".")]):
        load, end = data.get("load_at_start"), data.get("load_at_end")
        out.append("CPython %s, measured %s, load average %s at the start%s; %d commands and "
                   "at least %d completions per case and way, %d repeat(s). ms: median (p95, "
                   "max) for commands, median (max) for completions; polls: their share of "
                   "the line. A * marks a figure of the poller beyond its target.\n" % (
                       data["python"], data.get("measured", "?"),
                       "%.1f" % load[0] if load else "?",
                       " and %.1f at the end" % end[0] if end else "", data["commands"],
                       data["completions"], data["repeats"]))
        out.append("| ms per exchange | axes | command, per motion | command, poller | "
                   "completion, per motion | completion, poller | polls, per motion / poller |")
        out.append("|---:|---:|---:|---:|---:|---:|---:|")
        rows = {(r["exchange_ms"], r["axes"], r["way"]): r for r in data["rows"]}
        for exchange_ms, axes in sorted({(r["exchange_ms"], r["axes"]) for r in data["rows"]}):
            old, new = rows.get((exchange_ms, axes, WAYS[0])), rows.get((exchange_ms, axes, WAYS[1]))
            if old is None or new is None:
                continue
            met = within(new) or (True,) * 4
            mark = ["" if ok else "*" for ok in met]
            out.append("| %g | %d | %.1f (%.1f, %.1f) | %.1f%s (%.1f%s, %.1f) | %.1f (%.1f) | "
                       "%.1f%s (%.1f%s) | %.0f %% / %.0f %% |" % (
                           exchange_ms, axes, old["command_ms"]["median"], old["command_ms"]["p95"],
                           old["command_ms"]["max"], new["command_ms"]["median"], mark[0],
                           new["command_ms"]["p95"], mark[1], new["command_ms"]["max"],
                           old["completion_ms"]["median"], old["completion_ms"]["max"],
                           new["completion_ms"]["median"], mark[2], new["completion_ms"]["max"],
                           mark[3], 100 * old["poll_share"], 100 * new["poll_share"]))
        out.append("")
        out += verdicts(data["rows"])
        out.append("")
    return "\n".join(out)


def main(argv):
    if "--table" in argv:
        folder = argv[argv.index("--table") + 1]
        results = []
        for path in sorted(glob.glob(os.path.join(folder, "*-line.json"))):
            with open(path) as f:
                results.append(json.load(f))
        sys.stdout.write(table(results))
        return 0
    common.set_up()
    sys.path.insert(0, os.path.join(common.REPO, "motion"))
    from qzr_kov_motion import poller
    if os.environ.get("QZR_KOV_BENCH_LINE_GAP_MS"):
        poller.IDLE_GAP = float(os.environ["QZR_KOV_BENCH_LINE_GAP_MS"]) / 1000.0
    print("CPython %s, idle gap of the poller %.1f ms" % (common.python_version(),
                                                          1000 * poller.IDLE_GAP))
    at_start = common.about()["load_at_start"]
    rows = measure()
    results = {"python": common.python_version(), "commands": COMMANDS,
               "load_at_start": at_start, "load_at_end": common.about()["load_at_start"],
               "completions": COMPLETIONS, "repeats": REPEATS,
               "idle_gap_ms": 1000 * poller.IDLE_GAP, "rows": rows}
    print(table([dict(common.about(), **results)]))
    if "--json" in argv:
        common.write_json(results)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
