"""Moves, runs, stop, drive power and waiting for a move to end."""
import unittest

from .controller_case import KOV, ControllerCase, error_of, qzr_kov, virtual_time

StopSource = qzr_kov.StopSource
Y1 = dict(station=1, name="Y1")


class PositioningTest(ControllerCase):
    def test_absolute_move(self):
        self.c.set_ppmm(3, 100)
        self.restart()
        self.c.locate_absolutely(3, 10)
        self.c.locate_absolutely(station=3, target=-0.019)
        self.assertCalls(("set_int32", (3, "DT6", 1000)), ("set_coil", (3, "R1", True)),
                         ("set_int32", (3, "DT6", -1)), ("set_coil", (3, "R1", True)))
        self.assertLogged("Absolutely locating with target 10.0, station 3",
                          "Absolutely locating with target -0.019, station 3")

    def test_relative_move(self):
        self.c.locate_relatively(1, 10)
        self.c.locate_relatively(1, 2.5)
        self.c.locate_relatively(1, 0)
        self.c.locate_relatively(1)
        self.assertCalls(("set_int32", (1, "DT8", 10)), ("set_coil", (1, "R2", True)),
                         ("set_int32", (1, "DT8", 2)), ("set_coil", (1, "R2", True)),
                         ("set_int32", (1, "DT8", 0)), ("set_coil", (1, "R2", True)),
                         ("set_coil", (1, "R2", True)))
        self.assertLogged("Relatively locating with target 10, station 1",
                          "Relatively locating with target 2.5, station 1",
                          "Relatively locating with target 0, station 1",
                          "Relatively locating with target None, station 1")

    def test_target_setters_truncate_and_do_not_log(self):
        self.c._ppmm[2] = 10
        self.c.set_absolute_target(1, -2.5)
        self.c.set_relative_target(2, 0.75)
        self.c.set_absolute_target(station=2, target=-0.75)
        self.assertCalls(("set_int32", (1, "DT6", -2)), ("set_int32", (2, "DT8", 7)),
                         ("set_int32", (2, "DT6", -7)))
        self.assertLogged()

    def test_target_not_a_number(self):
        self.assertFloatRefused("10", self.c.locate_absolutely, 1, "10")
        self.assertRaises(TypeError, self.c.locate_relatively, 1, "10")
        self.assertNothingDone()
        self.assertFloatRefused("1", self.c.wait_for_locating_done, 1, "1")

    def test_moves_go_through_overridable_methods(self):
        seen = []

        class Traced(KOV):
            def set_absolute_target(self, station, target):
                seen.append(("absolute", station, target))
                KOV.set_absolute_target(self, station, target)

            def set_relative_target(self, station, target):
                seen.append(("relative", station, target))
                KOV.set_relative_target(self, station, target)

        class FixedPulses(KOV):
            def to_pulse(self, station, value):
                return 42

        class FixedScale(KOV):
            def ppmm(self, station):
                return 7

        c = Traced(self.m)
        c.locate_absolutely(1, 2)
        c.locate_relatively(1, 3)
        self.assertEqual(seen, [("absolute", 1, 2.0), ("relative", 1, 3)])
        self.restart()
        fixed_pulses, fixed_scale = FixedPulses(self.m), FixedScale(self.m)
        fixed_pulses.locate_absolutely(1, 2)
        fixed_pulses.locate_relatively(1, 2)
        fixed_scale.locate_absolutely(1, 2)
        self.assertCalls(("set_int32", (1, "DT6", 42)), ("set_coil", (1, "R1", True)),
                         ("set_int32", (1, "DT8", 42)), ("set_coil", (1, "R2", True)),
                         ("set_int32", (1, "DT6", 14)), ("set_coil", (1, "R1", True)))

    def test_master_failure_stops_the_sequence(self):
        with self.failing("set_int32"):
            self.c.locate_absolutely(1, 5)
        self.assertCalls(("set_int32", (1, "DT6", 5)))
        self.restart()
        with self.failing("set_coil"):
            self.c.locate_relatively(1, 5)
        self.assertCalls(("set_int32", (1, "DT8", 5)), ("set_coil", (1, "R2", True)))


class CommandTest(ControllerCase):
    COMMANDS = [  # method, coil, value, log line for station 7
        ("run_positive", "R4", True, "Station 7 run positive"),
        ("run_negative", "R3", True, "Station 7 run negative"),
        ("stop", "R0", True, "Stop station 7"),
        ("enable_axis", "Y2", True, "Enable axis(station) 7"),
        ("disable_axis", "Y2", False, "Disable axis(station) 7"),
    ]

    def test_single_coil_commands(self):
        for method, coil, value, line in self.COMMANDS:
            with self.subTest(method):
                self.restart()
                self.assertIsNone(getattr(self.c, method)(station=7))
                self.assertCalls(("set_coil", (7, coil, value)))
                self.assertLogged(line)

    def test_failed_command_logs_nothing(self):
        for method, coil, _, _ in self.COMMANDS:
            with self.subTest(method), self.failing("set_coil", name=coil):
                getattr(self.c, method)(7)


class WaitTest(ControllerCase):
    def wait(self, running, stop_source=0, step=None, **kwargs):
        """Waits on station 1 whose Y1 reads give RUNNING in turn; returns
        the sleeps made (each advancing the clock by STEP if given)."""
        self.m.script("get_coil", *running, **Y1)
        self.m.put_register(1, "D20", stop_source)
        with virtual_time(step) as (clock, sleeps):
            self.c.wait_for_locating_done(1, **kwargs)
        return sleeps

    def expected_reads(self, running_reads):
        return [("get_coil", (1, "Y1"))] * running_reads + [("get_int32", (1, "D20"))]

    def test_normal_end(self):
        for running in ([True, True, False], [1, 0]):
            with self.subTest(running=running):
                self.restart()
                sleeps = self.wait(running, timeout=1.0)
                self.assertEqual(sleeps, [0.01] * (len(running) - 1))
                self.assertCalls(*self.expected_reads(len(running)))
                self.assertLogged("Station 1 locating done. Stop source: 0")

    def test_already_stopped_costs_one_read_and_no_sleep(self):
        self.assertEqual(self.wait([False]), [])
        self.assertCalls(*self.expected_reads(1))

    def test_timeout(self):
        self.m.script("get_coil", *[True] * 50, **Y1)  # ends the wait if time stood still
        with virtual_time() as (clock, sleeps):
            start = clock.time()
            with self.assertRaises(TimeoutError) as caught:
                self.c.wait_for_locating_done(1, 0.05)
            elapsed = clock.time() - start
        self.assertIs(type(caught.exception), TimeoutError)
        self.assertEqual(str(caught.exception), "定位超时")
        self.assertGreaterEqual(elapsed, 0.05 - 1e-9)
        self.assertLessEqual(len(sleeps), 6)
        self.assertEqual(set(op for op, _ in self.m.calls), {"get_coil"})
        self.assertLogged()

    def test_ended_move_is_never_a_timeout(self):
        self.m.script("get_coil", True, False, **Y1)
        with virtual_time(step=100.0):
            self.c.wait_for_locating_done(1, 1.0)
        self.assertLogged("Station 1 locating done. Stop source: 0")

    def test_no_limit_without_positive_timeout(self):
        for kwargs in ({}, {"timeout": 0}, {"timeout": -1}):
            with self.subTest(**kwargs):
                self.restart()
                sleeps = self.wait([True] * 300 + [False], step=10.0, **kwargs)
                self.assertEqual(len(sleeps), 300)
                self.assertLogged("Station 1 locating done. Stop source: 0")

    def test_stop_source_other_than_null_fails_after_logging(self):
        for source in list(StopSource)[1:]:
            with self.subTest(source=source):
                self.restart()
                with self.assertRaises(IOError) as caught:
                    self.wait([False], stop_source=int(source))
                self.assertIs(type(caught.exception), OSError)
                self.assertEqual(str(caught.exception), "定位动作因故未能完成:%d" % source)
                self.assertLogged("Station 1 locating done. Stop source: %d" % source)

    def test_unknown_stop_source(self):
        expected = error_of(StopSource, 7)
        with self.assertRaises(ValueError) as caught:
            self.wait([False], stop_source=7)
        self.assertEqual(str(caught.exception), str(expected))
        self.assertCalls(*self.expected_reads(1))
        self.assertLogged()

    def test_wait_goes_through_overridable_predicates(self):
        answers = iter([True, False])

        class Scripted(KOV):
            def is_running(self, station):
                return next(answers)

            def get_stop_source(self, station):
                return StopSource.Alarm

        c = Scripted(self.m)
        with virtual_time(), self.assertRaises(IOError) as caught:
            c.wait_for_locating_done(1)
        self.assertEqual(str(caught.exception), "定位动作因故未能完成:5")
        self.assertCalls()


if __name__ == "__main__":
    unittest.main()
