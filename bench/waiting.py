"""CPU used while waiting: wait_for_locating_done on a 5 s move and a homing
run of about 5 s on the simulated line with 2 ms per exchange, against the
CPU that a bare loop polling the master with the same exchanges and sleeps
costs; and how long after the station stopped a read first saw it stopped
(at most one 10 ms poll period plus one exchange).

    QZR_KOV_BUILD=build/cpython-3.11.7 python3 bench/waiting.py [--json FILE]
"""
import json
import sys
import time

import common

common.set_up()

import qzr_kov  # noqa: E402
from qzr_kov_sim import SimulatedLine  # noqa: E402

EXCHANGE = 0.002


def exchanges(line):
    return len(line.calls)


BARE = None


def new_line():
    return SimulatedLine("bench", exchange_time=EXCHANGE,
                         layout={"physical_position": 0, "positive_limit_at": 10 ** 7,
                                 "origin_at": 10000})


def bare_wait():
    """The same 5 s move waited for by polling the master directly: what the
    exchanges and sleeps cost by themselves."""
    line = new_line()
    line.set_multi_uint32(1, "DT0", [1000, 20000, 100])
    line.set_int32(1, "DT6", 100000)
    line.set_coil(1, "R1", True)
    start = time.process_time()
    while line.get_coil(1, "Y1"):
        time.sleep(0.01)
    line.get_int32(1, "D20")
    return time.process_time() - start, len(line.calls) - 4


def measure(run):
    line = new_line()
    axes = qzr_kov.KOVAxisController(line)
    line.clear_calls()
    wall, cpu = time.time(), time.process_time()
    detail = run(axes, line)
    wall, cpu = time.time() - wall, time.process_time() - cpu
    count = exchanges(line)
    bare_cpu, bare_count = BARE
    base = bare_cpu * count / bare_count
    axes.close()
    return dict(wall_s=wall, cpu_s=cpu, exchanges=count, exchanges_cpu_s=base,
                beyond_percent=100.0 * max(0.0, cpu - base) / wall, **detail)


def move(axes, line):
    axes.set_parameters(1, 1000, 20000, 0.1)
    axes.locate_absolutely(1, 100000)          # 100000 pulses at 20000/s: 5 s
    station = line.station(1)
    reads = []
    get_coil = line.get_coil

    def recording_get_coil(station_number, name):
        value = get_coil(station_number, name)
        reads.append((line.clock.time(), value))
        return value

    line.get_coil = recording_get_coil
    axes.wait_for_locating_done(1)
    # When the station's pulses stopped, against when a read first said so.
    ended = [t for t, what, _ in station.history if what == "stop"][-1]
    seen = min(t for t, value in reads if not value)
    return dict(seen_late_ms=1000.0 * (seen - ended))


def homing(axes, line):
    line.station(1).physical_position = 70000   # about 5 s back to the origin
    axes.finding_o_method = qzr_kov.FindingOMethod.OriginOnly
    axes.find_o(1, 1000, 12000, 0.1, qzr_kov.Direction.Negative)
    return dict(found=axes.wait_for_find_o_finish(1))


RUNS = 3


def median_run(run):
    """The run with the median CPU beyond the bare loop, of RUNS runs."""
    runs = sorted((measure(run) for _ in range(RUNS)), key=lambda r: r["beyond_percent"])
    middle = dict(runs[len(runs) // 2])
    if "seen_late_ms" in middle:
        middle["seen_late_ms_max"] = max(r["seen_late_ms"] for r in runs)
    return middle


def main():
    global BARE
    bare = sorted(bare_wait() for _ in range(RUNS))
    BARE = bare[len(bare) // 2]
    results = {"python": common.python_version(),
               "move": median_run(move), "homing": median_run(homing)}
    print("CPython %s, %.0f ms per exchange" % (results["python"], EXCHANGE * 1000))
    for name in ("move", "homing"):
        r = results[name]
        print("%-7s wall %.2f s, CPU %.3f s, %d exchanges costing %.3f s alone: "
              "%.2f %% of a core beyond the exchanges%s" % (
                  name, r["wall_s"], r["cpu_s"], r["exchanges"], r["exchanges_cpu_s"],
                  r["beyond_percent"],
                  ", end seen %.1f ms late (at most %.1f)" % (r["seen_late_ms"], r["seen_late_ms_max"])
                  if "seen_late_ms" in r else
                  ", found: %s" % r["found"]))
    if "--json" in sys.argv:
        with open(common.json_path(), "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
