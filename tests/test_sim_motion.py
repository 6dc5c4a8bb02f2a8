"""Simulated stations: moves, profile timing, stops, sensors, status."""

import os
import sys
import unittest

_SIM = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sim")
for _path in (_SIM, os.path.join(_SIM, "stand_in")):
    if _path not in sys.path:
        sys.path.insert(0, _path)

from qzr_kov_sim import SimulatedLine, VirtualClock  # noqa: E402


class AxisCase(unittest.TestCase):
    """Station 1 on a virtual clock: start 1000/s, top 10000/s, ramp 100 ms
    (90000 pulses/s^2, 550 pulses per ramp)."""

    layout = {}

    def setUp(self):
        self.clock = VirtualClock()
        self.line = SimulatedLine("sim", clock=self.clock, stations={1: self.layout})
        self.axis = self.line.station(1)
        self.line.set_multi_uint32(1, "DT0", [1000, 10000, 100])

    def command(self, coil, wait=None):
        self.line.set_coil(1, coil, True)
        if wait is not None:
            self.clock.advance(wait)

    def move(self, register, value, wait=60.0):
        self.line.set_int32(1, register, value)
        self.command("R1" if register == "DT6" else "R2", wait)

    def assertStopped(self, code, count=None, physical=None):
        self.assertFalse(self.line.get_coil(1, "Y1"))
        self.assertEqual(self.line.get_int32(1, "D20"), code)
        if count is not None:
            self.assertEqual(self.line.get_int32(1, "DT10"), count)
        if physical is not None:
            self.assertEqual(self.axis.physical_position, physical)


class PositioningTest(AxisCase):
    def test_absolute_and_repeated_relative_moves(self):
        self.move("DT6", 12345)
        self.assertStopped(0, 12345, 62345)
        self.move("DT8", -3000)
        self.assertStopped(0, 9345)
        self.command("R2", 60.0)
        self.assertStopped(0, 6345, 56345)
        self.assertEqual(self.line.get_int32(1, "DT12"), 6345)
        self.move("DT6", 6345)
        self.assertStopped(0, 6345)

    def test_trapezoid_timing(self):
        self.move("DT6", 10000, wait=0.05)      # ramping up
        self.assertTrue(self.line.get_coil(1, "Y1"))
        self.assertEqual(self.line.get_int32(1, "D20"), 0)
        self.assertEqual(self.axis.velocity, 5500)
        self.clock.advance(0.45)                # cruising: 550 + 0.4 s * 10000
        self.assertEqual(self.line.get_multi_int32(1, "DT10", 3)[0::2], [4550, 10000])
        self.clock.advance(0.58)                # 0.01 s before the end
        self.assertTrue(self.line.get_coil(1, "Y1"))
        self.clock.advance(0.0101)
        self.assertStopped(0, 10000)

    def test_short_move_never_reaches_top_speed(self):
        self.move("DT8", -200, wait=0.07)       # peak 4359/s after 37 ms
        self.assertTrue(self.axis.moving)
        self.assertLess(self.axis.velocity, 0)
        self.assertGreater(self.axis.velocity, -4359)
        self.clock.advance(0.005)
        self.assertStopped(0, -200)

    def test_start_while_moving_is_ignored_and_stop_decelerates(self):
        self.command("R4", 1.0)
        self.move("DT6", 0, wait=0)
        self.command("R3", 0)
        self.assertEqual(self.axis.velocity, 10000)
        self.command("R0", 0.05)
        self.assertTrue(self.axis.moving)
        self.clock.advance(0.06)
        self.assertStopped(1, 9550 + 550)
        self.assertEqual([event[1:] for event in self.axis.history],
                         [("start", "run"), ("ignored", "absolute"), ("ignored", "run"),
                          ("stop", 1)])

    def test_stop_without_ramp_is_immediate(self):
        self.line.set_uint32(1, "DT4", 0)
        self.command("R3", 0.25)
        self.assertEqual(self.axis.velocity, -10000)
        self.command("R0")
        self.assertStopped(1, -2500)

    def test_redefining_the_count_does_not_move_the_axis(self):
        self.command("R4", 0.1)
        self.line.set_int32(1, "DT10", -7)
        self.line.set_coil(1, "R13", False)     # a setting written mid-run
        self.clock.advance(0.1)
        self.assertEqual(self.line.get_int32(1, "DT10"), -7 + 1000)
        self.assertEqual(self.line.get_int32(1, "DT12"), 550 + 1000)
        self.command("R0", 1.0)
        self.move("DT6", 0)
        self.assertStopped(0, 0, 50000 + 550 + 1000 + 550 - 1543)


class LimitTest(AxisCase):
    layout = {"physical_position": 0, "positive_limit_at": 5000, "origin_at": None}

    def test_runs_stop_at_enabled_limits_and_refuse_towards_them(self):
        self.command("R4", 30.0)
        self.assertStopped(4, 5000, 5000)
        self.assertTrue(self.line.get_coil(1, "X2"))
        self.command("R4", 1.0)
        self.assertStopped(4, 5000)
        self.move("DT8", -500)
        self.assertStopped(0, 4500)
        self.assertFalse(self.line.get_coil(1, "X2"))
        self.command("R3", 30.0)
        self.assertStopped(3, -1000, -1000)
        self.move("DT6", -2000)
        self.assertStopped(3, -1000)

    def test_disabled_limits_are_passed(self):
        self.line.set_coil(1, "R13", True)
        self.move("DT6", 6000)
        self.assertStopped(0, 6000)
        self.assertTrue(self.line.get_coil(1, "X2"))
        self.line.set_coil(1, "R13", False)
        self.command("R4", 0)
        self.assertStopped(4, 6000)

    def test_inverted_direction_meets_the_switch_at_its_physical_end(self):
        self.line.set_coil(1, "R16", True)
        self.command("R4", 30.0)
        self.assertStopped(3, 1000, -1000)
        self.assertEqual(self.line.get_int32(1, "DT12"), -1000)

    def test_an_obstacle_stalls_the_carriage_while_the_counter_runs_on(self):
        self.axis.obstacle_at = 2000
        self.move("DT6", 3000)
        self.assertStopped(0, 3000, 2000)
        self.assertEqual(self.line.get_int32(1, "DT12"), 2000)
        # Into it again, then to the switch behind it: neither is passed.
        self.move("DT8", 500)
        self.command("R4", 30.0)
        self.command("R0", 1.0)
        self.assertStopped(1, physical=2000)
        self.assertFalse(self.line.get_coil(1, "X2"))
        # Away from it the carriage follows; carried past it, it is kept
        # on the far side.
        self.move("DT8", -3000)
        self.assertEqual(self.axis.physical_position, -1000)
        self.axis.physical_position = 2500
        self.move("DT8", -1000)
        self.assertEqual(self.axis.physical_position, 2000)
        with self.assertRaises(ValueError):
            self.axis.obstacle_at = 2000    # where the carriage stands
        self.axis.obstacle_at = None
        self.command("R4", 30.0)
        self.assertStopped(4, physical=5000)

    def test_disabled_drive_sends_pulses_without_moving(self):
        self.line.set_coil(1, "Y2", False)
        self.move("DT6", 9000)
        self.assertStopped(0, 9000, 0)
        self.axis.require_enable = False
        self.command("R4", 30.0)
        self.assertStopped(4, 9000 + 5000, 5000)


class OriginTest(AxisCase):
    layout = {"origin_at": 1000, "origin_width": 300}     # X0 on 850..1149

    def search(self, coil, rising=False):
        self.line.set_coil(1, "R10", rising)
        self.command(coil, 60.0)

    def test_search_stops_at_the_configured_edge(self):
        cases = [(50000, "R5", False, 849), (50000, "R5", True, 1149),
                 (-500, "R6", True, 850), (-500, "R6", False, 1150),
                 (1000, "R6", False, 1150), (1000, "R5", False, 849)]
        for start, coil, rising, edge in cases:
            self.axis.physical_position = start
            self.search(coil, rising)
            self.assertStopped(2, physical=edge)
            self.assertEqual(self.line.get_coil(1, "X0"), rising)

    def test_search_without_origin_ahead_ends_at_a_limit(self):
        self.axis.physical_position = 1000
        self.search("R5", rising=True)
        self.assertStopped(3, physical=-1000)
        self.axis.origin_at = None
        self.search("R6")
        self.assertStopped(4, physical=100000)

    def test_inverted_direction_searches_physically_the_other_way(self):
        self.line.set_coil(1, "R16", True)
        self.axis.physical_position = -500
        self.search("R5", rising=True)
        self.assertStopped(2, count=-1350, physical=850)


class InterlockTest(AxisCase):
    def test_emergency_stops_refuses_and_can_be_disabled(self):
        self.command("R4", 0.2)
        self.axis.press_emergency()
        self.assertStopped(6, 1550)
        self.assertFalse(self.line.get_coil(1, "X3"))
        self.command("R3", 1.0)
        self.assertStopped(6, 1550)
        self.line.set_coil(1, "R15", True)
        self.move("DT8", 100)
        self.assertStopped(0, 1650)
        self.command("R4", 1.0)
        self.line.set_coil(1, "R15", False)
        self.assertStopped(6)
        self.axis.release_emergency()
        self.assertTrue(self.line.get_coil(1, "X3"))
        self.move("DT8", 100)
        self.assertStopped(0)

    def test_alarm_stops_refuses_and_can_be_disabled(self):
        self.command("R3", 0.2)
        self.axis.alarm = True
        self.assertStopped(5, -1550)
        self.assertTrue(self.line.get_coil(1, "X4"))
        self.move("DT8", 100)
        self.assertStopped(5, -1550)
        self.line.set_coil(1, "R14", True)
        self.move("DT8", 100)
        self.assertStopped(0, -1450)

    def test_status_block(self):
        self.axis.physical_position = 0             # on the origin sensor
        self.axis.negative_limit_at = -100000
        self.axis.raise_alarm()
        self.line.set_coil(1, "R14", True)
        self.command("R3", 0.2)
        status = self.line.get_multi_int32(1, "DT10", 11)
        self.assertEqual(status[:3], [-1550, -50000 - 1550, -10000])
        self.assertEqual(status[10], 0b11000 | 1 << 17 | 1 << 18)
        self.command("R0", 1.0)
        self.line.set_coil(1, "Y2", False)
        self.axis.negative_limit_at = -1000
        self.axis.physical_position = -1000
        self.assertEqual(self.line.get_multi_int32(1, "DT30", 1), [0b11010])


if __name__ == "__main__":
    unittest.main()
