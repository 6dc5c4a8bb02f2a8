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

Watching the machine (``--watch``): the poller with a watcher open
(``Machine.watch``), at 5 ms per exchange, and with the exchange's time
taken from what it carries (``CARRIED``: 5 ms for a coil or a register, 12
ms for the 11 values of the status block), for 1, 4, 8 and 16 moving axes:

- churn: the cases above (moves starting and ending, commands) without a
  watcher and with one whose moving axes are read with every poll or every
  4th (``poller.STATE_EVERY``); figures as above, and how often each moving
  axis's state reached the watcher (the time between two arrivals of its
  states, the first of them showing it running);
- steady: every axis on one long move, no commands, the watcher alone:
  the rhythm of the states that the polls give;
- idle: 16 axes at rest with a watcher of ``idle_period=1.0``: exchanges
  per axis per second.

    QZR_KOV_BUILD=build/cpython-3.11.7 python3 bench/line.py --watch [--json FILE]
    python3 bench/line.py --watch-table bench/results    # from *-line-watch.json

QZR_KOV_BENCH_LINE_WATCH_AXES, QZR_KOV_BENCH_LINE_STATE_EVERY="1 4",
QZR_KOV_BENCH_LINE_MODES="plain carried", QZR_KOV_BENCH_LINE_STEADY_S (the
least seconds a steady case runs) and QZR_KOV_BENCH_LINE_IDLE_S (5) choose
other cases;
QZR_KOV_BENCH_LINE_MOTION the folder that holds the qzr_kov_motion to run
(another version of it, to compare).
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
# Reads that watch a move: running bit, stop source, position, status words.
WATCHING = {("get_coil", "Y1"), ("get_int32", "D20"), ("get_int32", "DT10"),
            ("get_multi_int32", "DT10")}
# The watched cases: an exchange's time, plain or from what it carries.
CARRIED = (0.0043, 0.0007)
MODES = {"plain": 0.005, "carried": CARRIED}
WATCH_MODES = os.environ.get("QZR_KOV_BENCH_LINE_MODES", "plain carried").split()
WATCH_AXES = [int(n) for n in os.environ.get("QZR_KOV_BENCH_LINE_WATCH_AXES", "1 4 8 16").split()]
# Empty: the cases without a watcher alone (for a qzr_kov_motion without one).
STATE_EVERY = [int(n) for n in os.environ.get("QZR_KOV_BENCH_LINE_STATE_EVERY", "1 4").split()]
STEADY_SECONDS = float(os.environ.get("QZR_KOV_BENCH_LINE_STEADY_S", "2"))
IDLE_SECONDS = float(os.environ.get("QZR_KOV_BENCH_LINE_IDLE_S", "5"))


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
    if (op, name) == ("get_multi_int32", "DT10"):
        return "status reads"
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
                self.ends.append((time.time(), exchange_kind(op, args[1]), args[0]))

    line = TimedLine("bench-line", **kwargs)
    line.ends = []
    return line


def between(ends, begin, end):
    """Exchanges by kind that ended after BEGIN and up to END."""
    out = {}
    for t, kind, _ in ends:
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


def one_value(exchange):
    """Seconds of an exchange that carries one value (a poll, a command)."""
    return sum(exchange) if isinstance(exchange, tuple) else exchange


class Arrivals(object):
    """A watcher's callback that notes, while MEASURING, the ms between two
    arrivals of an axis's states, the first of them showing it running."""

    def __init__(self):
        self.measuring = False
        self.seen = {}          # name -> (the state's time, running, arrival)
        self.intervals_ms = []

    def __call__(self, states):
        now = time.monotonic()
        for name, state in states.items():
            seen = self.seen.get(name)
            if seen is not None and seen[0] == state.time:
                continue        # no newer state of this one
            if seen is not None and seen[1] and self.measuring:
                self.intervals_ms.append(1000.0 * (now - seen[2]))
            self.seen[name] = (state.time, state.running, now)


def bench_line(exchange):
    return timed_line(exchange_time=exchange,
                      layout={"physical_position": 0, "origin_at": None,
                              "negative_limit_at": None, "positive_limit_at": None})


def open_line(line, axes, watch):
    """A controller of LINE; with WATCH (poller.STATE_EVERY) a machine of
    AXES axes on it and its watcher, an Arrivals. Returns the controller
    and what close() needs: (machine, watcher, arrivals) or None."""
    import qzr_kov
    if watch is None:
        return qzr_kov.KOVAxisController(line), None
    from qzr_kov_motion import Machine, poller
    poller.STATE_EVERY = watch
    profile = {"start_velocity": SPEED, "velocity": SPEED, "acceleration_time": 0.0}
    machine = Machine.from_dict({"lines": {"main": {"port": line.port}},
                                 "axes": {"a%d" % s: {"station": s, "ppmm": 1, "profile": profile}
                                          for s in range(1, axes + 1)}}, lines={"main": line})
    arrivals = Arrivals()
    return machine.controllers["main"], (machine, machine.watch(arrivals), arrivals)


def line_share(line, calls, elapsed, leave_out=0):
    """The share of ELAPSED that the watching reads among CALLS held LINE,
    less LEAVE_OUT running-bit reads (the timed commands)."""
    held = sum(line.exchange_seconds(c.op, c.args) for c in calls
               if (c.op, c.args[1]) in WATCHING)
    return (held - leave_out * line.exchange_seconds("get_coil", (1, "Y1"))) / elapsed


def run_case(way, axes, exchange, seed, commands=COMMANDS, completions=COMPLETIONS, watch=None):
    """One case: AXES stations moving on a line of EXCHANGE seconds per
    exchange (or a pair, see CARRIED), their moves waited for in WAY, until
    COMMANDS commands have been timed and COMPLETIONS moves have ended;
    with WATCH, a watcher open whose moving axes are read every WATCH-th
    poll. Returns the samples."""
    line = bench_line(exchange)
    controller, watching = open_line(line, axes, watch)
    stations = list(range(1, axes + 1))
    for station in stations:
        controller.set_parameters(station, SPEED, SPEED, 0.0)
    start = STARTS[way]
    # Moves last many rounds of polls over all axes (20 on average), so
    # that the line carries mostly polls rather than the starts and ends of
    # moves; commands come every ten exchanges or so.
    from qzr_kov_motion import poller
    shortest = max(0.2, 13 * axes * (one_value(exchange) + poller.IDLE_GAP))
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
    if watching:
        watching[2].measuring = True
    timed = []
    while len(timed) < commands or len(ended) < completions:
        time.sleep(rng.uniform(0.0, 20 * one_value(exchange)))
        if len(timed) < commands:
            station = rng.choice(stations)
            t = time.perf_counter()
            controller.is_running(station)
            timed.append(1000.0 * (time.perf_counter() - t))
        if failures:
            raise failures[0]
    calls = line.calls[calls_before:]
    elapsed = time.time() - begin
    if watching:
        watching[2].measuring = False
    done.set()
    for driver in drivers:
        driver.join()
    close(controller, watching)
    worst = max(ended)
    out = {"commands_ms": timed, "completions_ms": [e[0] for e in ended],
           "worst_completion": {"ms": worst[0],
                                "exchanges_meanwhile": between(line.ends, *worst[1:])},
           "poll_share": line_share(line, calls, elapsed, len(timed)),
           "line_share": sum(line.exchange_seconds(c.op, c.args) for c in calls) / elapsed,
           "seconds": elapsed}
    if watching:
        out["states_ms"] = watching[2].intervals_ms
    return out


def close(controller, watching):
    if watching:
        watching[0].close()         # its watcher first
    else:
        controller.close()


def run_steady(axes, exchange, watch, seconds):
    """AXES stations on one long move each, nothing else on the line but
    the poller and a watcher reading them every WATCH-th poll, for SECONDS.
    Returns the states' intervals and the line share of the polls."""
    from qzr_kov_motion import Axis
    line = bench_line(exchange)
    controller, watching = open_line(line, axes, watch)
    motions = [Axis(controller, s).move_to(int(SPEED * (seconds + 10)))
               for s in range(1, axes + 1)]
    while not all(line.station(s).moving for s in range(1, axes + 1)):
        time.sleep(0.001)
    time.sleep(0.2)
    begin, calls_before = time.time(), len(line.calls)
    watching[2].measuring = True
    time.sleep(seconds)
    watching[2].measuring = False
    elapsed, calls = time.time() - begin, line.calls[calls_before:]
    for motion in motions:
        motion.cancel()
    close(controller, watching)
    return {"states_ms": watching[2].intervals_ms, "seconds": elapsed,
            "poll_share": line_share(line, calls, elapsed)}


def run_idle(exchange, axes=16, seconds=IDLE_SECONDS):
    """AXES stations at rest and a watcher of idle_period=1.0 open for
    SECONDS: the exchanges each axis cost per second, and the shortest time
    between two of one axis."""
    line = bench_line(exchange)
    controller, watching = open_line(line, axes, 1)
    opened = time.time()        # each axis read once by now
    time.sleep(0.5)
    begin = time.time()
    time.sleep(seconds)
    end = time.time()
    close(controller, watching)
    per = {}
    for t, _, station in line.ends:
        if t > opened:
            per.setdefault(station, []).append(t)
    counts = [len([t for t in per.get(s, []) if begin < t <= end]) for s in range(1, axes + 1)]
    gaps = [b - a for times in per.values() for a, b in zip(times, times[1:])]
    return {"axes": axes, "seconds": end - begin, "most_per_axis_per_s": max(counts) / seconds,
            "fewest_per_axis_per_s": min(counts) / seconds,
            "shortest_gap_s": min(gaps), "exchanges": sum(counts)}


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
        out.append("- Poller at 5 ms per exchange, 1 to 16 axes, %s: %s" % (name, verdict(beyond)))
    return out


def by_version(results):
    return sorted(results, key=lambda d: [int(x) for x in d["python"].split(".")])


def measured(data):
    """Where and when DATA was measured: "CPython V, measured T, load ..."."""
    load, end = data.get("load_at_start"), data.get("load_at_end")
    return "CPython %s, measured %s, load average %s at the start%s" % (
        data["python"], data.get("measured", "?"), "%.1f" % load[0] if load else "?",
        " and %.1f at the end" % end[0] if end else "")


def table(results):
    """Markdown: one row per case and interpreter, the two ways side by
    side; targets marked where they apply."""
    out = []
    for data in by_version(results):
        out.append("%s; %d commands and at least %d completions per case and way, %d "
                   "repeat(s). ms: median (p95, max) for commands, median (max) for "
                   "completions; polls: their share of the line. A * marks a figure of the "
                   "poller beyond its target.\n" % (measured(data), data["commands"],
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


# -- watching the machine


def watch_rows():
    """Every watched case, the modes and policies interleaved as the ways
    above; repeats pool their samples."""
    pooled = {}
    for r in range(REPEATS):
        for i, mode in enumerate(WATCH_MODES):
            exchange = MODES[mode]
            for j, axes in enumerate(WATCH_AXES):
                policies = [None] + STATE_EVERY
                flip = (r + i + j) % len(policies)
                for watch in policies[flip:] + policies[:flip]:
                    samples = run_case("poller", axes, exchange, seed=1000 * r + 100 * i + j,
                                       watch=watch)
                    add(pooled, ("churn", mode, axes, watch), samples)
                for watch in STATE_EVERY:
                    # Some 20 states of each axis at least: WATCH polls of
                    # AXES stations between two.
                    rhythm = axes * ((watch - 1) * (one_value(exchange) + 0.001)
                                     + status_ms(mode) / 1000.0 + 0.001)
                    seconds = max(STEADY_SECONDS, 20 * rhythm)
                    add(pooled, ("steady", mode, axes, watch),
                        run_steady(axes, exchange, watch, seconds))
            if STATE_EVERY:
                add(pooled, ("idle", mode, 16, 1), run_idle(exchange))
    rows = []
    for (kind, mode, axes, watch), runs in sorted(pooled.items(), key=lambda kv: (
            kv[0][0], kv[0][1], kv[0][2], kv[0][3] or 0)):
        row = {"kind": kind, "mode": mode, "axes": axes, "state_every": watch,
               "seconds": sum(run["seconds"] for run in runs)}
        if kind == "idle":
            for key, pick in (("most_per_axis_per_s", max), ("fewest_per_axis_per_s", min),
                              ("shortest_gap_s", min)):
                row[key] = pick(run[key] for run in runs)
        else:
            row["poll_share"] = sum(run["poll_share"] for run in runs) / len(runs)
            for key in ("commands_ms", "completions_ms", "states_ms"):
                samples = [x for run in runs for x in run.get(key, [])]
                if samples:
                    row[key[:-4] + "_ms"] = summary(samples)
        rows.append(row)
        print("  " + watch_line(row))
        sys.stdout.flush()
    return rows


def add(pooled, key, samples):
    pooled.setdefault(key, []).append(samples)


def status_ms(mode):
    """Milliseconds of one status read (its 11 values) in MODE."""
    exchange = MODES[mode]
    if isinstance(exchange, tuple):
        return 1000.0 * (exchange[0] + 11 * exchange[1])
    return 1000.0 * exchange


def state_limit(row, exchange_ms=5.0):
    """N (exchange + gap) + 10 ms: how often a moving axis's state is to
    reach the watcher at least."""
    return row["axes"] * (exchange_ms + 1.0) + 10


def watch_line(row):
    what = "%-6s %-7s %2d axes, %s" % (row["kind"], row["mode"], row["axes"],
                                       "no watcher" if row["state_every"] is None
                                       else "status every %d" % row["state_every"])
    if row["kind"] == "idle":
        return "%s: %.2f exchanges per axis and second at most (%.2f at least), the " \
            "shortest time between two %.3f s" % (what, row["most_per_axis_per_s"],
                                                 row["fewest_per_axis_per_s"],
                                                 row["shortest_gap_s"])
    out = [what]
    for key, name in (("command_ms", "command"), ("completion_ms", "completion"),
                      ("state_ms", "state every")):
        if key in row:
            out.append("%s %.1f (p95 %.1f, max %.1f)" % (name, row[key]["median"],
                                                         row[key]["p95"], row[key]["max"]))
    out.append("polls %.0f %% of the line" % (100 * row["poll_share"]))
    return ", ".join(out)


def cell(row, key, mark=None, marked="max"):
    """"median (p95, max)" of ROW's KEY, or a dash; a * after the MARKED
    figure if beyond MARK."""
    if key not in row:
        return "–"
    f = row[key]
    star = ["*" if mark is not None and k == marked and f[k] > mark else ""
            for k in ("p95", "max")]
    return "%.1f (%.1f%s, %.1f%s)" % (f["median"], f["p95"], star[0], f["max"], star[1])


def watch_table(results):
    """Markdown: per interpreter and mode, the churn and steady cases side
    by side by policy, the idle case, and the targets met or not."""
    out = []
    for data in by_version(results):
        out.append("%s; %d repeat(s). ms: median (p95, max). *state every*: the time between "
                   "two arrivals of a moving axis's states at the watcher; a * marks its max "
                   "beyond N (5 ms + gap) + 10 ms, and a command's p95 beyond 3 exchanges + "
                   "5 ms.\n" % (measured(data), data["repeats"]))
        rows = data["watch_rows"]
        out.append("| exchange | axes | watcher | command (churn) | completion (churn) | "
                   "state every (churn) | state every (steady) | polls churn / steady |")
        out.append("|---|---:|---|---:|---:|---:|---:|---:|")
        by = {(r["kind"], r["mode"], r["axes"], r["state_every"]): r for r in rows}
        keys = sorted({(r["mode"], r["axes"], r["state_every"]) for r in rows
                       if r["kind"] == "churn"}, key=lambda k: (k[0] != "plain", k[1], k[2] or 0))
        for mode, axes, watch in keys:
            churn, steady = by[("churn", mode, axes, watch)], by.get(("steady", mode, axes, watch))
            limit = state_limit(churn)
            out.append("| %s | %d | %s | %s | %s | %s | %s | %.0f %% / %s |" % (
                "5 ms" if mode == "plain" else "carried", axes,
                "none" if watch is None else "status every %d" % watch,
                cell(churn, "command_ms", 3 * 5.0 + 5, "p95"), cell(churn, "completion_ms"),
                cell(churn, "state_ms", limit),
                cell(steady, "state_ms", limit) if steady else "–",
                100 * churn["poll_share"], "%.0f %%" % (100 * steady["poll_share"])
                if steady else "–"))
        out.append("")
        for r in rows:
            if r["kind"] == "idle":
                out.append("- Idle, %s: 16 axes and a watcher with idle_period=1.0: at most "
                           "%.2f exchanges per axis and second (at least %.2f), never two of "
                           "one axis within %.3f s." % (
                               "5 ms per exchange" if r["mode"] == "plain" else "carried",
                               r["most_per_axis_per_s"], r["fewest_per_axis_per_s"],
                               r["shortest_gap_s"]))
        out += watch_verdicts(rows)
        out.append("")
    return "\n".join(out)


def watch_verdicts(rows):
    """One line per target and policy, at 5 ms per exchange and carried:
    the states against N (5 ms + gap) + 10 ms and, carried, against N
    (status read + gap) + 10 ms, each over the churn and steady cases; the
    commands against their targets in the churn cases."""
    out = []
    for mode in ("plain", "carried"):
        limits = [(5.0, "N (5 ms + gap) + 10 ms")]
        if status_ms(mode) != 5.0:
            limits.append((status_ms(mode), "N (%g ms status read + gap) + 10 ms"
                           % status_ms(mode)))
        for watch in sorted({r["state_every"] for r in rows if r["state_every"]}):
            got = [r for r in rows if (r["mode"], r["state_every"]) == (mode, watch)
                   and r["kind"] != "idle"]
            if not got:
                continue
            for exchange_ms, name in limits:
                beyond = ["%s %d axes: %.1f ms, limit %.0f" % (
                    r["kind"], r["axes"], r["state_ms"]["max"], state_limit(r, exchange_ms))
                    for r in got if r["state_ms"]["max"] > state_limit(r, exchange_ms)]
                out.append("- %s, status every %d: each moving axis's state within %s "
                           "(max): %s" % (mode, watch, name, verdict(beyond)))
            for key, name, limit in (("median", "2 exchanges + 3 ms (median)", 13.0),
                                     ("p95", "3 exchanges + 5 ms (p95)", 20.0)):
                beyond = ["%d axes: %.1f ms" % (r["axes"], r["command_ms"][key])
                          for r in got if r["kind"] == "churn" and r["command_ms"][key] > limit]
                out.append("- %s, status every %d: commands within %s: %s" % (
                    mode, watch, name, verdict(beyond)))
    return out


def verdict(beyond):
    return "**not met** (%s)" % "; ".join(beyond) if beyond else "met"


def main(argv):
    for option, pattern, render in (("--watch-table", "*-line-watch.json", watch_table),
                                    ("--table", "*-line.json", table)):
        if option in argv:
            results = []
            for path in sorted(glob.glob(os.path.join(argv[argv.index(option) + 1], pattern))):
                with open(path) as f:
                    results.append(json.load(f))
            sys.stdout.write(render(results))
            return 0
    common.set_up()
    sys.path.insert(0, os.environ.get("QZR_KOV_BENCH_LINE_MOTION")
                    or os.path.join(common.REPO, "motion"))
    from qzr_kov_motion import poller
    if os.environ.get("QZR_KOV_BENCH_LINE_GAP_MS"):
        poller.IDLE_GAP = float(os.environ["QZR_KOV_BENCH_LINE_GAP_MS"]) / 1000.0
    print("CPython %s, idle gap of the poller %.1f ms" % (common.python_version(),
                                                          1000 * poller.IDLE_GAP))
    at_start = common.about()["load_at_start"]
    if "--watch" in argv:
        results = {"python": common.python_version(), "load_at_start": at_start,
                   "repeats": REPEATS, "commands": COMMANDS, "completions": COMPLETIONS,
                   "idle_gap_ms": 1000 * poller.IDLE_GAP, "carried": CARRIED,
                   "watch_rows": watch_rows()}
        results["load_at_end"] = common.about()["load_at_start"]
        print(watch_table([dict(common.about(), **results)]))
        if "--json" in argv:
            common.write_json(results)
        return 0
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
