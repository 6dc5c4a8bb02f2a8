"""Axes that know whether they are homed, and moves at a velocity of their
own: what is refused before any call, how every way a homing run or a move
ends leaves the homed state, a homing run that waits for a move's start in
another thread, speeds refused and the profile back however a move ends,
jogs by homed state. Simulated lines on a virtual clock."""
import logging
import threading
import unittest
from unittest import mock

from tests import support
from tests.support import qzr_kov
from tests.test_machine import DROP, MachineCase, changed, gantry
from qzr_kov_sim import Call, CommunicationError
from qzr_kov_motion import Axis, MotionError, NotHomedError

Direction, StopSource = qzr_kov.Direction, qzr_kov.StopSource
# x's profile in the station's units: pulses/s, pulses/s, ms (200 pulses/mm)
PROFILE = [1000, 20000, 200]


def without_z_homing():
    return changed(gantry(), "axes.z.homing", DROP)


class HomedStateTest(MachineCase):
    def setUp(self):
        MachineCase.setUp(self)
        self.m = self.make(without_z_homing(), homed=False)
        self.x, self.y, self.z = (self.m[name] for name in "xyz")
        self.line.clear_calls()
        self.log.mark()

    def test_axes_that_home_are_refused_until_homed_before_any_call(self):
        self.assertEqual([a.homed for a in (self.x, self.y, self.z)], [False, False, True])
        for start, words in (
                (lambda: self.x.move_to(10.0), "a move to an absolute target"),
                (lambda: self.x.move_to("load"), "a move to its position 'load'"),
                (lambda: self.y.jog(Direction.Positive), "a jog to the end of its travel"),
                (lambda: self.m.move_to({"z": "up", "x": 1.0}), "machine.move_to"),
                (lambda: self.m.move_to({"x": 1.0, "y": 1.0}, together=True),
                 "axes x, y are not homed: machine.move_to needs their coordinates")):
            with self.subTest(words), self.assertRaises(NotHomedError) as caught:
                start()
            self.assertIsInstance(caught.exception, RuntimeError)
            self.assertIn(words, str(caught.exception))
            self.assertEqual((self.line.calls, self.log.lines()), ([], []))
        self.assertEqual(str(caught.exception), (
            "axes x, y are not homed: machine.move_to needs their coordinates, which homing "
            "sets; home them first with machine.home() or machine.home(axes=['x', 'y']), or, if "
            "they stayed powered since their last homing, declare them homed with "
            "machine.assume_homed('x', 'y')"))
        self.assertEqual(caught.exception.axes, ["x", "y"])
        self.assertIn("a jog at a velocity, jog(direction, velocity=MM_S), runs while it is not",
                      str(self.assert_refused(lambda: self.x.jog(Direction.Negative))))
        # Allowed: a relative move (the limit switches guard it), an axis
        # without homing.
        self.assertEqual(self.x.move_by(2.0).wait(30), 52.0)
        self.assertEqual(self.z.move_to("work").wait(30), -60.0)

    def assert_refused(self, start):
        with self.assertRaises(NotHomedError) as caught:
            start()
        return caught.exception

    def test_assume_homed(self):
        with self.assertRaises(KeyError) as caught:
            self.m.assume_homed("y", "w")
        self.assertIn("no axis 'w' (the axes are x, y, z)", str(caught.exception))
        self.assertFalse(self.y.homed)             # none declared
        self.m.assume_homed("y")
        self.assertEqual([a.homed for a in (self.x, self.y)], [False, True])
        self.m.assume_homed()
        self.assertTrue(self.x.homed)
        self.assertEqual(self.line.calls, [])
        self.assertEqual(self.x.move_to("load").wait(30), 120.0)

    def test_homing_runs_end_every_way(self):
        self.m.home(timeout=60, axes=["x"])
        self.assertTrue(self.x.homed)
        run = self.x.home(5.0, 40.0, 0.2)     # a run started on a homed axis
        self.assertFalse(self.x.homed)         # redefines its coordinate
        self.assertTrue(run.wait(60))
        self.assertTrue(self.x.homed)
        station = self.line.station(1)
        station.origin_at = None               # fails: no origin
        with self.assertRaises(MotionError):
            self.m.home(timeout=60, axes=["x"])
        self.assertFalse(self.x.homed)
        station.origin_at = 0
        self.m.assume_homed("x")
        station.drive_enabled = False          # never gets anywhere: times out,
        with self.assertRaises(TimeoutError):
            self.m.home(timeout=0.5, axes=["x"])
        self.assertFalse(self.x.homed)
        self.m.assume_homed("x")               # or is cancelled
        self.assertTrue(self.x.home(5.0, 40.0, 0.2).cancel())
        self.assertFalse(self.x.homed)

    def test_ends_of_moves_that_may_have_cost_the_coordinate(self):
        self.m.assume_homed()
        st = self.line.station(1)
        # The station refuses a start while its alarm or emergency input is
        # on, and tells it as the move's stop source.
        for trip, clear, source in ((st.raise_alarm, st.clear_alarm, StopSource.Alarm),
                                    (st.press_emergency, st.release_emergency,
                                     StopSource.Emergency)):
            trip()
            self.assertEqual(self.x.move_to(250.0).exception(30).stop_source, source)
            self.assertFalse(self.x.homed)
            clear()
            self.m.assume_homed("x")
        # A limit switch inside the travel: the coordinate was off by 50 mm.
        st.count = 0
        self.assertEqual(self.x.move_to(280.0).exception(30).stop_source,
                         StopSource.PositiveLimit)
        self.assertFalse(self.x.homed)
        # What keeps it: a stop, a failing line; an axis that does not home.
        self.m.assume_homed()
        self.assertTrue(self.x.move_to(0.0, velocity=5.0).cancel())
        self.line.fail_on("get_coil", CommunicationError("down"), station=1, name="Y1")
        self.assertIsInstance(self.x.move_to(0.0).exception(30), CommunicationError)
        self.line.station(3).raise_alarm()
        self.assertEqual(self.z.move_to(-70.0).exception(30).stop_source, StopSource.Alarm)
        self.assertEqual([self.x.homed, self.z.homed], [True, True])

    def test_a_following_error_costs_the_coordinate(self):
        machine = self.make(changed(gantry(), "axes.y.encoder",
                                    {"ppmm": 200, "tolerance": 0.1}))
        self.line.station(2).obstacle_at = 18000            # 90 mm
        self.assertIn("following error", str(machine["y"].move_to(100.0).exception(30)))
        self.assertFalse(machine["y"].homed)

    def test_a_homing_run_waits_for_a_move_being_started(self):
        self.m.assume_homed()
        sending, go_on = threading.Event(), threading.Event()
        controller = self.x.controller
        real = controller.locate_absolutely

        def slow(station, mm):
            sending.set()
            go_on.wait(10)
            real(station, mm)
        moves, runs, homed = [], [], []
        with mock.patch.object(controller, "locate_absolutely", slow):
            mover = threading.Thread(target=lambda: moves.append(self.x.move_to(20.0)))
            homer = threading.Thread(target=lambda: runs.append(self.x.home(5.0, 40.0, 0.2)))
            mover.start()
            try:
                sending.wait(10)          # checked homed, its command on its way
                homer.start()
                homer.join(0.2)
                homed.append(self.x.homed)
                homed.append(self.logged("Start finding o"))
            finally:
                go_on.set()
                mover.join(10)
                homer.join(10)
        # The run waited for the move's start.
        self.assertEqual(homed, [True, []])
        self.assertFalse(self.x.homed)
        lines = self.log.lines()
        self.assertLess(lines.index("INFO - Absolutely locating with target 20.0, station 1"),
                        lines.index("INFO - Start finding o, station 1"))
        moves[0].exception(30)
        runs[0].cancel()


class SpeedsTest(MachineCase):
    def writes(self, station=1):
        return [c.args[2] for c in self.line.find_calls("set_multi_uint32", station=station)]

    def test_a_velocity_of_its_own_then_the_profile_back(self):
        for start, speeds in ((lambda: self.x.move_to(100.0, velocity=20.0), [1000, 4000, 200]),
                              (lambda: self.x.move_by(-10.0, velocity=50), [1000, 10000, 200]),
                              (lambda: self.x.jog(Direction.Positive, 75), [1000, 15000, 200]),
                              (lambda: self.machine.move_to({"x": 5.0}, velocity=350.0)["x"],
                               [1000, 70000, 200])):
            self.line.clear_calls()
            start().wait(60)
            self.assertEqual(self.writes(), [speeds, PROFILE])
            starts = [c.op for c in self.line.calls if c.args[1] in ("DT0", "R1", "R2", "D20")]
            self.assertEqual(starts, ["set_multi_uint32", "set_coil", "get_int32",
                                      "set_multi_uint32"])
        self.line.clear_calls()
        self.x.move_to(6.0).wait(30)               # its profile: nothing written
        self.assertEqual(self.writes(), [])
        # A velocity of its own that is its profile's: the profile, nothing
        # written before or after (the speeds the station holds stand).
        self.assertEqual(self.x.move_by(1.0, velocity=100.0).wait(30), 7.0)
        self.assertEqual(self.writes(), [])

    def test_speeds_refused_before_any_call(self):
        plain = Axis(self.x.controller, 1)
        refused = [(TypeError, lambda: self.x.move_to(1.0, velocity=True)),
                   (TypeError, lambda: self.x.move_by(1.0, velocity="10")),
                   (ValueError, lambda: self.x.jog(Direction.Positive, float("nan"))),
                   (ValueError, lambda: self.x.move_to(1.0, velocity=float("inf"))),
                   (ValueError, lambda: self.machine.move_to({"x": 1.0, "y": 1.0},
                                                             velocity=4.0)),
                   (ValueError, lambda: self.x.move_to(1.0, velocity=350.01)),
                   (ValueError, lambda: plain.move_to(1.0, velocity=10.0)),
                   (ValueError, lambda: self.machine.move_to({"x": 1.0}, together=True,
                                                             velocity=0)),
                   (ValueError, lambda: Axis(plain.controller, 1, jog_velocity=1.0)),
                   (ValueError, lambda: Axis(plain.controller, 1, profile=(5, 4, 0)))]
        for error, start in refused:
            with self.subTest(start=start), self.assertRaises(error):
                start()
        self.assertEqual(self.line.calls, [])
        with self.assertRaises(ValueError) as caught:
            self.x.move_to(1.0, velocity=4.0)
        self.assertEqual(str(caught.exception), "axis x: a velocity of 4.0 mm/s is below its "
                                                "start velocity 5.0 mm/s")
        with mock.patch.object(qzr_kov, "_MaxPulsePerSecond", 50000), \
                self.assertRaises(ValueError) as caught:
            self.x.move_by(1.0, velocity=300.0)
        self.assertEqual(str(caught.exception), "axis x: 300.0 mm/s is 60000 pulses/s at 200 "
                         "pulses/mm; the controller allows at most 50000 (250.0 mm/s)")

    def test_the_profile_is_back_however_the_move_ends(self):
        # Cancelled, into a limit switch, a start that fails.
        self.assertTrue(self.x.move_to(200.0, velocity=10.0).cancel())
        self.assertEqual(self.writes()[-1], PROFILE)
        self.line.station(1).count = 0
        self.x.move_to(280.0, velocity=60.0).exception(30)
        self.assertEqual(self.writes()[-2:], [[1000, 12000, 200], PROFILE])
        self.line.fail_on("set_coil", CommunicationError("down"), station=1, name="R2")
        with self.assertRaises(CommunicationError):
            self.x.move_by(-1.0, velocity=10.0)
        self.assertEqual(self.writes()[-2:], [[1000, 2000, 200], PROFILE])
        # Writing it back fails: told, and the next move writes it first.
        self.line.clear_calls()
        self.line.fail_on("set_multi_uint32", CommunicationError("lost"), station=1, skip=1)
        with self.assertLogs("qzr_kov_motion", logging.WARNING) as told:
            self.x.move_by(-1.0, velocity=10.0).wait(30)
        self.assertEqual(told.output, [
            "WARNING:qzr_kov_motion:axis x: writing its profile back after a move at a velocity "
            "of its own failed: CommunicationError: lost; its next move writes it first"])
        self.x.move_by(-1.0).wait(30)
        self.assertEqual(self.writes(), [[1000, 2000, 200], PROFILE, PROFILE])
        # Homing leaves its own speeds: the next move writes the profile.
        hand = Axis(self.z.controller, 3, profile=(5.0, 100.0, 0.2))
        hand.home(5.0, 40.0, 0.2, Direction.Positive).wait(60)
        self.line.clear_calls()
        hand.move_to(-1.0).wait(30)
        self.assertEqual(self.writes(3), [[2000, 40000, 200]])


class JogTest(MachineCase):
    def test_a_jog_by_homed_state_and_travel(self):
        machine = self.make(changed(gantry(), "axes.x.jog", {"velocity": 50.0}), homed=False)
        x = machine["x"]
        self.assertEqual(x.jog_velocity, 50.0)
        # Not homed: a run at the jog velocity, which the limit switch ends.
        error = x.jog(Direction.Negative).exception(60)
        self.assertEqual(str(error), "station 1: the run ended: it ran into the negative limit "
                                     "switch, at -8.00 mm (定位动作因故未能完成:3)")
        runs = [c for c in self.line.calls if c.op == "set_coil" and c.args[1:] == ("R3", True)]
        self.assertEqual(len(runs), 1)
        # A stop ends a run where it came to rest; cancel() as ever.
        run = x.jog(Direction.Positive, velocity=40.0)
        x.stop()
        self.assertEqual(run.wait(30), x.position)
        self.assertTrue(x.jog(Direction.Positive, 5.0).cancel())
        # Homed: a move to the travel's end at the jog velocity.
        machine.assume_homed()
        self.line.clear_calls()
        self.assertEqual(x.jog(Direction.Positive).wait(60), 300.0)
        self.assertIn(Call("set_multi_uint32", (1, "DT0", [1000, 10000, 200])), self.line.calls)
        # No travel: a run at a velocity, or refused without one.
        free = Axis(x.controller, 1, profile=(5.0, 100.0, 0.2))
        self.assertTrue(free.jog(Direction.Negative, 20.0).cancel())
        with self.assertRaises(ValueError):
            free.jog(Direction.Negative)


if __name__ == "__main__":
    unittest.main()
