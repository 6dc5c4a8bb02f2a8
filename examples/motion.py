"""Two axes on a simulated line driven through qzr_kov_motion: home both at
once, move both under one time limit, run one into its limit switch (which
costs it its coordinate: it is homed again), wait with a time limit that
runs out, and move both from an asyncio program.
Press Ctrl-C at any moment: stopping() stops both axes, collects the homing
runs, and the program ends with KeyboardInterrupt.

Run it with `tools/demo motion`, which builds the module and puts the
simulator and the motion package on the path. Against real hardware the
only change is the controller: KOVAxisController("/dev/ttyUSB0").
"""
import asyncio
import sys

from qzr_kov import Direction, KOVAxisController
from qzr_kov_motion import Axis, MotionError, stopping, wait_all
from qzr_kov_sim import SimulatedLine

PULSES_PER_MM = 100
# In pulses: limit switches at -10 and +60 mm, origin sensors at 0 and 20 mm.
LAYOUTS = {
    1: dict(physical_position=1500, origin_at=0, negative_limit_at=-1000, positive_limit_at=6000),
    2: dict(physical_position=4000, origin_at=2000, negative_limit_at=-1000,
            positive_limit_at=6000),
}


async def move_both(x, y):
    # Awaiting a motion leaves the event loop free for other tasks.
    return await asyncio.gather(x.move_to(10.0), y.move_to(10.0))


def main():
    controller = KOVAxisController(SimulatedLine("motion-example", stations=LAYOUTS))
    x, y = Axis(controller, 1), Axis(controller, 2)
    for axis in (x, y):
        controller.set_ppmm(axis.station, PULSES_PER_MM)
        controller.set_parameters(axis.station, 5.0, 100.0, 0.1)   # mm/s, mm/s, s
        controller.enable_axis(axis.station)

    with stopping(x, y):
        print("homing both axes")
        wait_all([x.home(5.0, 50.0, 0.1, Direction.Negative),
                  y.home(5.0, 50.0, 0.1, Direction.Positive)], timeout=30)
        print("  homed: station 1 at %.2f mm, station 2 at %.2f mm" % (x.position, y.position))

        print("moving station 1 to 20 mm and station 2 to 35 mm")
        ends = wait_all([x.move_to(20.0), y.move_to(35.0)], timeout=10)
        print("  ended at %.2f and %.2f mm" % tuple(ends))

        print("moving station 1 by 100 mm, past its positive limit switch")
        try:
            x.move_by(100.0).wait(timeout=10)
        except MotionError as error:
            print("  MotionError: %s" % error)
            print("  stop source %s, at %.2f mm" % (error.stop_source.name, error.position))
        # A limit switch stops the station at once: steps may have been lost.
        print("  homed: %s; homing station 1 again" % x.homed)
        x.home(5.0, 50.0, 0.1, Direction.Negative).wait(timeout=30)

        print("moving station 2 to 5 mm, waiting 0.2 s at most")
        motion = y.move_to(5.0)
        try:
            motion.wait(timeout=0.2)
        except TimeoutError:
            print("  not there yet, still running: %s" % motion.running())
        print("  ended at %.2f mm" % motion.wait(timeout=10))

        print("moving both to 10 mm from asyncio")
        loop = asyncio.new_event_loop()
        try:
            ends = loop.run_until_complete(move_both(x, y))
        finally:
            loop.close()
        print("  ended at %.2f and %.2f mm" % tuple(ends))
    controller.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
