"""A line-saturation check: 32 stations homing at the same time on one
simulated line with 2 ms per exchange. It tells whether all runs still
succeed when the line, not the module, is the bottleneck, how busy the line
is, and how often each worker actually gets to poll its station. It says
next to nothing about the module's own speed: the workers spend their time
queueing for the line.

    QZR_KOV_BUILD=build/cpython-3.11.7 python3 bench/scale.py [--json FILE] [--stations N]
"""
import statistics
import sys
import time

import common

common.set_up()

import qzr_kov  # noqa: E402
from qzr_kov_sim import SimulatedLine  # noqa: E402

EXCHANGE = 0.002


def main():
    stations = 32
    if "--stations" in sys.argv:
        stations = int(sys.argv[sys.argv.index("--stations") + 1])
    # Each axis 30000 pulses above its origin: about 2 s of travel at
    # 20000 pulses/s to the negative limit, then the search back.
    line = SimulatedLine("bench", exchange_time=EXCHANGE,
                         layout={"physical_position": 30000, "origin_at": 0,
                                 "negative_limit_at": -1000})
    axes = qzr_kov.KOVAxisController(line)
    for n in range(1, stations + 1):
        line.station(n)
    line.clear_calls()
    start = time.time()
    for n in range(1, stations + 1):
        axes.find_o(n, 2000, 20000, 0.1)
    results = [axes.wait_for_find_o_finish(n) for n in range(1, stations + 1)]
    wall = time.time() - start
    calls = list(line.calls)
    polls = {}
    for n in range(1, stations + 1):
        polls[n] = sum(1 for c in calls if c.op == "get_coil" and c.args[0] == n
                       and c.args[1] == "Y1")
    # Each worker polls from its start until its axis stops; the stop waits
    # last about the whole run, so the run's length over the number of polls
    # is the worker's actual poll period.
    periods = [1000.0 * wall / polls[n] for n in polls if polls[n]]
    busy = len(calls) * EXCHANGE / wall
    out = {
        "python": common.python_version(), "stations": stations,
        "succeeded": sum(1 for r in results if r is True), "wall_s": wall,
        "exchanges": len(calls), "line_busy_percent": 100.0 * busy,
        "poll_period_ms_median": statistics.median(periods),
        "poll_period_ms_max": max(periods), "poll_period_ms_min": min(periods),
    }
    print("CPython %s: %d stations, %d homed, %.1f s, %d exchanges, line busy %.0f %%, "
          "poll period per worker %.0f ms (median; %.0f to %.0f)" % (
              out["python"], stations, out["succeeded"], wall, len(calls),
              out["line_busy_percent"], out["poll_period_ms_median"],
              out["poll_period_ms_min"], out["poll_period_ms_max"]))
    axes.close()
    if "--json" in sys.argv:
        common.write_json(out)
    return 0 if out["succeeded"] == stations else 1


if __name__ == "__main__":
    sys.exit(main())
