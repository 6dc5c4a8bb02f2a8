"""Waiting, as the waiting thread sees it.

1. CPU per poll of the waiting thread alone: `wait_for_locating_done` with
   an instant master whose Y1 reads True for a given number of polls and
   then False, with the module's own 10 ms sleeps; the thread's CPU
   (its CPU clock, user and system) over POLLS polls less that
   of a wait that ends at the first read, divided by POLLS. Beside it the
   comparator's wait and a bare Python loop (read, sleep) on the same
   master; interleaved rounds. Most of a real poll is the sleep's system
   call, so the same is measured again over many more polls with a sleep
   that returns at once (a compiled no-op), which leaves the work of the
   wait itself: where a regression of the module would show.
2. Latency: on the simulated line (2 ms per exchange, real time), from the
   moment the station stopped (the simulator's time of the stop) to the
   moment `wait_for_locating_done` returned; at most about one poll period
   plus the exchanges and the log record. Likewise for homing: from the
   stop on the origin to `wait_for_find_o_finish` returning.

    QZR_KOV_BUILD=build/cpython-3.11.7 python3 bench/waiting.py [--json FILE]
"""
import os
import sys
import threading
import time

import common

common.set_up()

import comparator  # noqa: E402
import qzr_kov  # noqa: E402
from qzr_kov_sim import SimulatedLine  # noqa: E402

POLLS = int(os.environ.get("QZR_KOV_BENCH_POLLS", "100"))
INSTANT_POLLS = 100 * POLLS
CPU_ROUNDS = int(os.environ.get("QZR_KOV_BENCH_WAIT_ROUNDS", "5"))
MOVES = int(os.environ.get("QZR_KOV_BENCH_MOVES", "15"))
EXCHANGE = 0.002
STOP_ORIGIN = 2


class CountdownMaster(common.InstantMaster):
    """Y1 (running) reads True for the next `polls` reads, then False."""

    def __init__(self):
        self.left = 0

    def arm(self, polls):
        self.left = polls

    def get_coil(self, station, name):
        if name == "Y1" and self.left > 0:
            self.left -= 1
            return True
        return False


def bare_wait(master, sleep=time.sleep):
    """The least a Python caller can do: read, sleep, until stopped."""
    def wait(station):
        while master.get_coil(station, "Y1"):
            sleep(0.01)
        master.get_int32(station, "D20")
    return wait


def in_thread(function):
    """Runs FUNCTION in a thread of its own; returns its result and the
    thread's CPU seconds while it ran."""
    box = {}

    def run():
        start = common.thread_cpu()
        try:
            box["result"] = function()
        except BaseException as e:  # noqa: B902 - handed to the caller
            box["error"] = e
        box["cpu"] = common.thread_cpu() - start

    t = threading.Thread(target=run, name="waiting")
    t.start()
    t.join()
    if "error" in box:
        raise box["error"]
    return box.get("result"), box["cpu"]


def cpu_per_poll(polls, sleep=None):
    """CPU microseconds per poll of the waiting thread: the module's wait,
    the comparator's and the bare loop, over POLLS polls less a wait that
    ends at once, in interleaved rounds. SLEEP, if given, replaces the
    10 ms sleep of all three."""
    master = CountdownMaster()
    saved = qzr_kov._sleep, comparator._sleep
    if sleep is not None:
        qzr_kov._sleep = comparator._sleep = sleep
    try:
        waits = [("module", qzr_kov.KOVAxisController(master).wait_for_locating_done),
                 ("comparator", comparator.KOVAxisController(master).wait_for_locating_done),
                 ("bare loop", bare_wait(master, sleep or time.sleep))]
        samples = {name: [] for name, _ in waits}
        for r in range(CPU_ROUNDS):
            shift = r % len(waits)
            for name, wait in waits[shift:] + waits[:shift]:
                master.arm(polls)
                _, busy = in_thread(lambda: wait(1))
                master.arm(0)
                _, idle = in_thread(lambda: wait(1))
                samples[name].append((busy - idle) / polls)
    finally:
        qzr_kov._sleep, comparator._sleep = saved
    out = {name: common.stats(s) for name, s in samples.items()}
    out["module beyond bare loop"] = common.stats(
        [m - b for m, b in zip(samples["module"], samples["bare loop"])])
    return out


def new_line():
    return SimulatedLine("bench", exchange_time=EXCHANGE,
                         layout={"physical_position": 0, "positive_limit_at": 10 ** 7,
                                 "origin_at": 10 ** 6})


def last_stop(station, code=None):
    return [t for t, what, detail in station.history
            if what == "stop" and (code is None or detail == code)][-1]


def move_latency():
    """Milliseconds from the station's stop to the wait's return, per
    waiter, over MOVES short moves each (about 0.1 s of travel)."""
    line = new_line()
    station = line.station(1)
    ours = qzr_kov.KOVAxisController(line)
    theirs = comparator.KOVAxisController(line)
    ours.set_parameters(1, 2000, 20000, 0.0)
    waits = [("module", ours.wait_for_locating_done),
             ("comparator", theirs.wait_for_locating_done),
             ("bare loop", bare_wait(line))]
    samples = {name: [] for name, _ in waits}
    target = 0
    for n in range(MOVES):
        shift = n % len(waits)
        for name, wait in waits[shift:] + waits[:shift]:
            target = 2000 - target
            ours.locate_absolutely(1, target)

            def timed_wait():
                wait(1)
                return line.clock.time()

            returned, _ = in_thread(timed_wait)
            samples[name].append(1000.0 * (returned - last_stop(station)))
    ours.close()
    return {name: common.stats(s, scale=1.0) for name, s in samples.items()}


def homing_latency():
    """Milliseconds from the stop on the origin to wait_for_find_o_finish
    returning, over a few short origin searches."""
    line = new_line()
    station = line.station(1)
    axes = qzr_kov.KOVAxisController(line)
    axes.finding_o_method = qzr_kov.FindingOMethod.OriginOnly
    samples, found = [], []
    for _ in range(max(3, MOVES // 3)):
        station.physical_position = line.station(1).origin_at + 2500
        axes.find_o(1, 2000, 20000, 0.0, qzr_kov.Direction.Negative)

        def timed_wait():
            return axes.wait_for_find_o_finish(1), line.clock.time()

        (result, returned), _ = in_thread(timed_wait)
        found.append(result)
        samples.append(1000.0 * (returned - last_stop(station, STOP_ORIGIN)))
    axes.close()
    return dict(common.stats(samples, scale=1.0), found=sum(1 for f in found if f is True),
                runs=len(found))


def main():
    results = {"python": common.python_version(), "polls": POLLS, "rounds": CPU_ROUNDS,
               "exchange_ms": EXCHANGE * 1000, "moves": MOVES,
               "cpu_per_poll_us": cpu_per_poll(POLLS),
               "instant_polls": INSTANT_POLLS,
               "work_per_poll_us": cpu_per_poll(INSTANT_POLLS, common.native().nap)}
    results["move_latency_ms"] = move_latency()
    results["homing_latency_ms"] = homing_latency()
    print("CPython %s" % results["python"])
    for key, polls, what in (("cpu_per_poll_us", POLLS, "10 ms sleeps"),
                             ("work_per_poll_us", INSTANT_POLLS, "sleeps that return at once")):
        print("CPU per poll of the waiting thread, us, median (min to max) of %d rounds of %d "
              "polls, %s:" % (CPU_ROUNDS, polls, what))
        for name, s in results[key].items():
            print("  %-26s %7.3f (%.3f to %.3f)" % (name, s["median"], s["min"], s["max"]))
    print("station stopped -> wait returned, ms, median (min-max) of %d moves, %.0f ms per "
          "exchange:" % (MOVES, EXCHANGE * 1000))
    for name, s in results["move_latency_ms"].items():
        print("  %-26s %7.1f (%.1f-%.1f)" % (name, s["median"], s["min"], s["max"]))
    h = results["homing_latency_ms"]
    print("  %-26s %7.1f (%.1f-%.1f), found %d/%d" % (
        "homing (module)", h["median"], h["min"], h["max"], h["found"], h["runs"]))
    if "--json" in sys.argv:
        common.write_json(results)


if __name__ == "__main__":
    main()
