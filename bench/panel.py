"""The panel: how soon STOP ALL has stopped every station, how old a state
is when it reaches an events stream's client, and what the panel open
costs the commands of a program that shares the line.

On a simulated line whose every exchange holds the line for EXCHANGE
seconds of real time, N axes (stations 1 to N) run long moves, watched by
the poller; the panel (api.Panel and server.PanelServer, in this process,
on 127.0.0.1) serves them, and one client reads its events stream.

- STOP ALL: from the arrival of ``POST /api/stop`` (the request read, as
  the server's handler starts on it) until the last station's stop (the
  simulator's own record of it), for N = 3 and 16. The limit is
  N × (exchange + gap) + 20 ms, the gap being the library's own time per
  stop beyond its exchange: the same stops sent by a plain loop of
  ``Axis.stop()`` without the panel, on the same line, with the same polls
  going on (the loop's time, less N exchanges, over N);
- state events: how often they come while 3 axes move; and the delay
  from a state's read (``AxisState.time``) to its event's
  arrival at the client (http.client in a thread of this process, standing
  in for a browser), the newest read of each event while the axes move;
  the limits are 100 ms apart and 100 ms old;
- command latency: a program's command (``controller.is_running``, one
  exchange) at random moments while 3 axes move, with the panel open (its
  watcher, its server and one events stream) and closed, rounds
  interleaved; the medians are to differ by 1 ms at most.

    QZR_KOV_BUILD=build/cpython-3.11.7 python3 bench/panel.py [--json FILE]
    python3 bench/panel.py --table bench/results     # the Markdown table
    python3 bench/panel.py --readme bench/README.md bench/results

QZR_KOV_BENCH_PANEL_ROUNDS=6, QZR_KOV_BENCH_PANEL_EXCHANGE_MS=5 and
QZR_KOV_BENCH_PANEL_COMMANDS=60 (per round) choose other rounds, exchange
times and sample sizes.
"""
import http.client
import json
import os
import random
import sys
import threading
import time

import common
from line import last_stop

ROUNDS = int(os.environ.get("QZR_KOV_BENCH_PANEL_ROUNDS", "6"))
EXCHANGE_MS = float(os.environ.get("QZR_KOV_BENCH_PANEL_EXCHANGE_MS", "5"))
COMMANDS = int(os.environ.get("QZR_KOV_BENCH_PANEL_COMMANDS", "60"))
STOP_AXES = (3, 16)
COMMAND_AXES = 3
MARGIN_MS = 20.0
STATE_LIMIT_MS = 100.0
COMMAND_LIMIT_MS = 1.0
FAR = 100000.0      # mm: a move that outlasts any round


def description(axes):
    profile = {"start_velocity": 10.0, "velocity": 10.0, "acceleration_time": 0.0}
    return {"lines": {"main": {"port": "bench-panel"}},
            "axes": {"a%d" % s: {"station": s, "ppmm": 100, "profile": profile}
                     for s in range(1, axes + 1)}}


def summary(values):
    ordered = sorted(values)
    if not ordered:
        return None
    return {"median": ordered[len(ordered) // 2], "p95": ordered[int(0.95 * (len(ordered) - 1))],
            "max": ordered[-1], "n": len(ordered)}


class Bench(object):
    """A machine of AXES axes on a line of EXCHANGE seconds per exchange,
    and the panel when open (``open_panel``)."""

    def __init__(self, axes, exchange):
        import qzr_kov_sim
        from qzr_kov_motion import Machine
        self.line = qzr_kov_sim.SimulatedLine(
            "bench-panel", exchange_time=exchange,
            layout={"physical_position": 0, "origin_at": None, "negative_limit_at": None,
                    "positive_limit_at": None})
        self.machine = Machine.from_dict(description(axes), lines={"main": self.line})
        self.stations = [self.line.station(s) for s in range(1, axes + 1)]
        self.panel = self.server = self.client = None
        self.arrivals, self.delays, self.intervals = [], [], []
        self.measuring = False

    def move_all(self):
        motions = [axis.move_to(FAR) for axis in self.machine.axes.values()]
        while not all(station.moving for station in self.stations):
            time.sleep(0.001)
        return motions

    def at_rest(self, motions):
        for motion in motions:
            try:
                motion.wait(60)
            except Exception:
                pass        # stopped: a motion that ended early
        while any(station.moving for station in self.stations):
            time.sleep(0.001)

    def open_panel(self):
        from qzr_kov_tool.panel import api, server
        bench = self

        class Panel(api.Panel):
            def _axes_json(self, states):
                out = api.Panel._axes_json(self, states)
                for name, state in states.items():
                    out[name]["read"] = state.time
                return out

        class Handler(server.Handler):
            def _serve(self, method):
                bench.arrivals.append(time.time())
                server.Handler._serve(self, method)

        self.panel = Panel(self.machine)
        self.server = server.PanelServer(self.panel)
        self.server.RequestHandlerClass = Handler
        self.server.start()
        self.panel.open()
        self.client = threading.Thread(target=self._read_events, daemon=True)
        self.client.start()

    def _connection(self):
        return http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=60)

    def _headers(self):
        return {"Authorization": "Bearer " + self.server.guard.token,
                "Host": "127.0.0.1:%d" % self.server.port}

    def _read_events(self):
        connection = self._connection()
        connection.request("GET", "/api/events", headers=self._headers())
        answer = connection.getresponse()
        last = None
        try:
            for raw in answer:
                line = raw.decode("utf-8")
                if line.startswith("data: ") and '"read"' in line:
                    now = time.monotonic()
                    axes = json.loads(line[6:])["axes"]
                    if self.measuring and any(axis["running"] for axis in axes.values()):
                        self.delays.append(1000.0 * (now - max(a["read"] for a in axes.values())))
                        if last is not None:
                            self.intervals.append(1000.0 * (now - last))
                        last = now
                    else:
                        last = None
        except (OSError, ValueError, http.client.HTTPException):
            pass        # the panel closed

    def post_stop(self):
        connection = self._connection()
        connection.request("POST", "/api/stop", body=b"{}", headers=self._headers())
        answer = connection.getresponse()
        answer.read()
        connection.close()
        assert answer.status == 200, answer.status

    def close_panel(self):
        self.panel.close()
        self.server.close()
        self.client.join(60)
        self.panel = self.server = self.client = None

    def close(self):
        self.machine.close()


def stop_round(bench, exchange, through_panel):
    """One STOP ALL of every axis, moving: ms from the request's arrival
    (or the loop's start) to the last station's stop."""
    motions = bench.move_all()
    time.sleep(0.1)         # the poller's polls under way
    bench.measuring = through_panel
    if through_panel:
        before = len(bench.arrivals)
        bench.post_stop()
        begun = bench.arrivals[before]
    else:
        begun = time.time()
        for axis in bench.machine.axes.values():
            axis.stop()
    bench.at_rest(motions)
    bench.measuring = False
    return 1000.0 * (max(last_stop(station) for station in bench.stations) - begun)


def command_round(bench, rng, commands):
    """COMMANDS commands timed at random moments while every axis moves."""
    motions = bench.move_all()
    bench.measuring = bench.panel is not None
    controller = bench.machine.controllers["main"]
    timed = []
    for _ in range(commands):
        time.sleep(rng.uniform(0.0, 0.02))
        station = rng.randint(1, len(bench.stations))
        t = time.perf_counter()
        controller.is_running(station)
        timed.append(1000.0 * (time.perf_counter() - t))
    bench.measuring = False
    for axis in bench.machine.axes.values():
        axis.stop()
    bench.at_rest(motions)
    return timed


def measure(rounds=ROUNDS, exchange_ms=EXCHANGE_MS, commands=COMMANDS, stop_axes=STOP_AXES,
            quiet=False):
    exchange = exchange_ms / 1000.0
    out = {"stops": [], "exchange_ms": exchange_ms, "rounds": rounds}
    delays = []
    for axes in stop_axes:
        bench = Bench(axes, exchange)
        bench.open_panel()
        panel_ms, loop_ms = [], []
        try:
            for r in range(rounds):
                # Interleaved: the loop and the panel take turns first.
                for through_panel in ((True, False) if r % 2 else (False, True)):
                    (panel_ms if through_panel else loop_ms).append(
                        stop_round(bench, exchange, through_panel))
        finally:
            bench.close_panel()
            bench.close()
        delays += bench.delays
        loop = summary(loop_ms)
        gap_ms = max(0.0, loop["median"] / axes - exchange_ms)
        out["stops"].append({"axes": axes, "panel_ms": summary(panel_ms), "loop_ms": loop,
                             "gap_ms": gap_ms,
                             "limit_ms": axes * (exchange_ms + gap_ms) + MARGIN_MS})
        if not quiet:
            print("  STOP ALL of %d axes measured" % axes)
            sys.stdout.flush()
    bench = Bench(COMMAND_AXES, exchange)
    rng = random.Random(26)
    samples = {"open": [], "closed": []}
    try:
        for r in range(rounds):
            for way in (("open", "closed") if r % 2 else ("closed", "open")):
                if way == "open":
                    bench.open_panel()
                try:
                    samples[way] += command_round(bench, rng, commands)
                finally:
                    if way == "open":
                        bench.close_panel()
    finally:
        bench.close()
    out["state_delay_ms"] = summary(delays + bench.delays)
    out["state_interval_ms"] = summary(bench.intervals)
    out["commands_ms"] = dict((way, summary(values)) for way, values in samples.items())
    if not quiet:
        print("  command latency measured")
    return out


# -- the table

def _cell(s):
    return "%.1f (p95 %.1f, max %.1f)" % (s["median"], s["p95"], s["max"])


def verdicts(data):
    lines = []
    for row in data["stops"]:
        median, worst, limit = row["panel_ms"]["median"], row["panel_ms"]["max"], row["limit_ms"]
        lines.append("- STOP ALL of %d moving axes within N × (exchange + gap) + 20 ms = %.1f ms: "
                     "median %s, every round %s" % (
                         row["axes"], limit, "met" if median <= limit else "**not met**",
                         "met" if worst <= limit else "**not met** (%.1f ms at most)" % worst))
    delay = data["state_delay_ms"]
    lines.append("- A state event at its client within 100 ms of its read: %s" % (
        "met (at most %.1f ms over %d events)" % (delay["max"], delay["n"])
        if delay["max"] <= STATE_LIMIT_MS else "**not met** (%.1f ms at most; median %.1f)"
        % (delay["max"], delay["median"])))
    interval = data["state_interval_ms"]
    lines.append("- A state event at least 10 times a second while the axes move: %s" % (
        "met (at most %.1f ms apart)" % interval["max"] if interval["max"] <= 100.0
        else "**not met** (%.1f ms apart at most)" % interval["max"]))
    commands = data["commands_ms"]
    change = commands["open"]["median"] - commands["closed"]["median"]
    lines.append("- The panel open changes the command latency's median by %+.2f ms: %s" % (
        change, "met" if abs(change) <= COMMAND_LIMIT_MS else "**not met**"))
    return lines


def table(results):
    out = []
    for data in common.by_version(results):
        out.append(common.heading(data, "Milliseconds: median (p95, max)."))
        out.append("| STOP ALL | through the panel | a plain loop of stops | gap | limit |")
        out.append("|---|---:|---:|---:|---:|")
        for row in data["stops"]:
            out.append("| %d axes | %s | %s | %.1f | %.1f |" % (
                row["axes"], _cell(row["panel_ms"]), _cell(row["loop_ms"]), row["gap_ms"],
                row["limit_ms"]))
        out.append("")
        commands = data["commands_ms"]
        out.append("| also | ms |")
        out.append("|---|---:|")
        out.append("| state event, read to client | %s |" % _cell(data["state_delay_ms"]))
        out.append("| between two state events, %d axes moving | %s |" % (
            COMMAND_AXES, _cell(data["state_interval_ms"])))
        out.append("| command, %d axes moving, panel closed | %s |" % (
            COMMAND_AXES, _cell(commands["closed"])))
        out.append("| command, %d axes moving, panel open | %s |" % (
            COMMAND_AXES, _cell(commands["open"])))
        out.append("")
        out += verdicts(data)
        out.append("")
    return "\n".join(out)


def main(argv):
    if common.tables(argv, "panel", table):
        return 0
    common.set_up()
    for folder in ("motion", "cli"):
        sys.path.insert(0, os.path.join(common.REPO, folder))
    print("CPython %s, %g ms per exchange, %d rounds" % (common.python_version(), EXCHANGE_MS,
                                                         ROUNDS))
    at_start = common.about()["load_at_start"]
    results = measure()
    results.update(python=common.python_version(), load_at_start=at_start)
    return common.report(results, table, argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
