"""Three axes on a simulated line: set up, home them at the same time, move
them, run one until stopped, and run one into its limit.

Run it with tools/demo, which builds the module and puts the simulator and
qzr_kov_motion on the path. Ctrl-C stops the axes before the program ends.
Against real hardware the only change is the first line of main():
KOVAxisController("/dev/ttyUSB0") instead of a simulated line.
"""
import os
import sys
import threading
import time

from qzr_kov import Direction, FindingOMethod, KOVAxisController
import qzr_kov
from qzr_kov_motion import Axis, stopping, wait_all
from qzr_kov_sim import SimulatedLine

STATIONS = (1, 2, 3)
PULSES_PER_MM = 100

# Where the sensors sit on each simulated axis, in pulses (100 pulses = 1 mm):
# negative limit switch at -10 mm, positive at 150 mm, the origin sensor
# 3 mm wide; the axes stand somewhere along their travel at power-up.
LAYOUTS = {
    1: dict(physical_position=4000, origin_at=0, negative_limit_at=-1000, positive_limit_at=15000),
    2: dict(physical_position=9000, origin_at=2000, negative_limit_at=-1000, positive_limit_at=15000),
    3: dict(physical_position=2500, origin_at=500, negative_limit_at=-1000, positive_limit_at=15000),
}


class StatusDisplay(object):
    """Shows one status line per station while axes move."""

    def __init__(self, axes, stations):
        self.axes = axes
        self.stations = stations
        self.live = sys.stdout.isatty()
        self._stop = threading.Event()
        self._thread = None

    def line(self, station):
        words = self.axes.status_words(station)
        flag = lambda name, on: name if on else "-" * len(name)
        return "  station %d  %8.2f mm  %-7s  %s %s %s %s %s" % (
            station, self.axes.get_position(station, words),
            "running" if self.axes.is_running(station, words) else "idle",
            flag("origin", self.axes.at_o(station, words)),
            flag("-limit", self.axes.at_negative_limit(station, words)),
            flag("+limit", self.axes.at_positive_limit(station, words)),
            flag("alarm", self.axes.is_alarming(station, words)),
            # The emergency input is normally closed: on means all is well.
            "emergency" if not self.axes.at_emergency(station, words) else "---------")

    def show(self, first=False):
        lines = [self.line(s) for s in self.stations]
        if self.live and not first:
            sys.stdout.write("\033[%dA" % len(lines))
        sys.stdout.write("".join(l + "\033[K\n" if self.live else l + "\n" for l in lines))
        sys.stdout.flush()

    def _run(self, period):
        while not self._stop.wait(period):
            self.show()

    def __enter__(self):
        self.show(first=True)
        period = 0.1 if self.live else 1.0
        self._thread = threading.Thread(target=self._run, args=(period,), daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self.show()


def section(title):
    print("\n== %s" % title)


def move_around(axes, origin_only):
    """Homes, moves and runs the axes; returns which of them found the origin."""
    section("Home all three at once (3 by the origin sensor only)")
    axes.find_o(1, 5.0, 30.0, 0.2, Direction.Negative)
    axes.find_o(2, 5.0, 30.0, 0.2, Direction.Positive)
    origin_only.find_o(3, 5.0, 20.0, 0.2, Direction.Negative)
    with StatusDisplay(axes, STATIONS):
        found = {1: axes.wait_for_find_o_finish(1), 2: axes.wait_for_find_o_finish(2),
                 3: origin_only.wait_for_find_o_finish(3)}
    for station, ok in sorted(found.items()):
        print("  station %d: %s" % (station, "origin found, position set to 0" if ok
                                    else "origin NOT found"))

    section("Absolute moves to 50, 80 and 30 mm")
    moves = [Axis(axes, station).move_to(target)
             for station, target in zip(STATIONS, (50.0, 80.0, 30.0))]
    with StatusDisplay(axes, STATIONS):
        wait_all(moves, timeout=10.0)

    section("Relative move of station 3 by 12.5 mm, then the same move again")
    axes.locate_relatively(3, 12.5)
    axes.wait_for_locating_done(3, 10.0)
    axes.locate_relatively(3)          # repeats the last relative distance
    axes.wait_for_locating_done(3, 10.0)
    print("  station 3 at %.2f mm" % axes.get_position(3))

    section("Continuous run of station 2, stopped by a command after a second")
    axes.run_positive(2)
    with StatusDisplay(axes, [2]):
        time.sleep(1.0)
        axes.stop(2)
        try:
            axes.wait_for_locating_done(2, 10.0)
        except IOError as error:
            print("  wait_for_locating_done: IOError: %s" % error)
    print("  stop source: %s" % axes.get_stop_source(2).name)

    section("Station 1 sent to 200 mm, beyond its positive limit switch at 150 mm")
    axes.set_velocity(1, 60.0)
    axes.locate_absolutely(1, 200.0)
    try:
        with StatusDisplay(axes, [1]):
            axes.wait_for_locating_done(1, 10.0)
    except IOError as error:
        print("  wait_for_locating_done raised IOError: %s" % error)
        print("  stop source: %s" % axes.get_stop_source(1).name)
    return found


def main():
    started = time.time()
    line = SimulatedLine("demo", stations=LAYOUTS, exchange_time=0.002)
    axes = KOVAxisController(line)
    # A second controller on the same line homes station 3 by the origin
    # sensor alone: the homing method belongs to a controller.
    origin_only = KOVAxisController(line)
    origin_only.finding_o_method = FindingOMethod.OriginOnly

    section("Set up: scale, speed profile, drives on")
    for station in STATIONS:
        axes.set_ppmm(station, PULSES_PER_MM)
        origin_only.set_ppmm(station, PULSES_PER_MM)
        axes.set_parameters(station, 5.0, 40.0, 0.2)   # mm/s, mm/s, s
        axes.enable_axis(station)
        print("  station %d: %d pulses/mm, 5 -> 40 mm/s in 0.2 s, drive enabled"
              % (station, PULSES_PER_MM))

    # From here on, an error or Ctrl-C stops the three axes and collects the
    # homing runs before the program ends.
    with stopping(Axis(axes, 1), Axis(axes, 2), Axis(origin_only, 3)):
        found = move_around(axes, origin_only)

    section("Summary")
    for station in STATIONS:
        print("  station %d: %8.2f mm, homed: %s, last stop: %s" % (
            station, axes.get_position(station), found[station],
            axes.get_stop_source(station).name))
    axes.close()
    origin_only.close()
    print("  log file: %s" % os.path.abspath(str(qzr_kov._log_filename)))
    print("  took %.1f s" % (time.time() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
