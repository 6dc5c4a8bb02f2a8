"""Scale, pulse conversions and the speed profile registers."""
import unittest
from unittest import mock

from .controller_case import ControllerCase, error_of, needs_asserts, qzr_kov

INF = float("inf")
NAN = float("nan")


class Rate(object):
    """A speed given as an object with a float conversion."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class ScaleTest(ControllerCase):
    def check_conversion(self, method, cases, result_type):
        """METHOD(1, given) returns `expected` of RESULT_TYPE for each
        (scale, given, expected); scale None: the station has none set."""
        for scale, given, expected in cases:
            with self.subTest(method=method, scale=scale, given=given):
                self.c._ppmm.clear()
                if scale is not None:
                    self.c._ppmm[1] = scale
                result = getattr(self.c, method)(1, given)
                self.assertIs(type(result), result_type)
                self.assertEqual(result, expected)
        self.c._ppmm.clear()

    def test_pulse_conversions(self):
        self.assertIs(type(self.c.ppmm(1)), int)
        self.assertEqual(self.c.ppmm(1), 1)
        self.check_conversion("to_pulse", [
            (None, 2.7, 2), (None, -0.9, 0), (None, -12.7, -12), (None, 3, 3),
            (200, 0.123, 24), (200.5, 1, 200), (-100, 0.5, -50), (-100, -0.5, 50),
            (None, 1e20, 10 ** 20), (1024, -2.0 ** 62, -2 ** 72),
        ], int)
        self.check_conversion("from_pulse", [
            (None, 5, 5.0), (10, 100, 10.0), (3, 1, 1 / 3), (-4, 2, -0.5),
        ], float)
        self.assertNothingDone()

    def test_set_ppmm_stores_per_station_and_logs(self):
        self.c.set_ppmm(1, 200)
        self.c.set_ppmm(station=2, ppmm=200.5)
        self.c.set_ppmm(3, -100)
        self.assertEqual(self.c._ppmm, {1: 200, 2: 200.5, 3: -100})
        self.assertIs(type(self.c.ppmm(1)), int)
        self.assertEqual((self.c.ppmm(2), self.c.ppmm(4)), (200.5, 1))
        self.assertEqual(self.c.to_pulse(3, 1.5), -150)
        self.assertCalls()
        self.assertLogged("Set PPMM to 200 for station 1", "Set PPMM to 200.5 for station 2",
                          "Set PPMM to -100 for station 3")

    @needs_asserts
    def test_zero_scale_refused(self):
        self.c.set_ppmm(1, 50)
        self.restart()
        for zero in (0, 0.0):
            with self.subTest(zero=zero), self.assertRaises(AssertionError) as caught:
                self.c.set_ppmm(1, zero)
            self.assertEqual(str(caught.exception), "")
        self.assertEqual(self.c.ppmm(1), 50)
        self.assertLogged()

    def test_unrepresentable_products_raise_the_interpreters_errors(self):
        for value in (INF, -INF, NAN):
            expected = error_of(int, value)
            with self.subTest(value=value):
                with self.assertRaises(type(expected)) as caught:
                    self.c.to_pulse(1, value)
                self.assertEqual(str(caught.exception), str(expected))
                with self.assertRaises(type(expected)):
                    self.c.set_velocity(1, value)
        self.c._ppmm[1] = 0
        with self.assertRaises(ZeroDivisionError):
            self.c.from_pulse(1, 5)
        self.assertNothingDone()

    def test_float_parameters_refuse_what_has_no_float_conversion(self):
        c = self.c
        for value in ("10", None, [1]):
            with self.subTest(value=value):
                self.assertFloatRefused(value, c.set_velocity, 1, value)
                self.assertFloatRefused(value, c.set_start_velocity, 1, value)
                self.assertFloatRefused(value, c.set_acceleration_time, 1, value)
                self.assertFloatRefused(value, c.set_parameters, 1, 1.0, value, 0.1)
                self.assertFloatRefused(value, c.to_pulse, 1, value)


class SpeedTest(ControllerCase):
    def test_single_rate_writes(self):
        c = self.c
        c.set_ppmm(1, 200)
        self.restart()
        c.set_start_velocity(1, 12.5)
        c.set_velocity(station=1, velocity=10)
        c.set_velocity(2, Rate(3.5))
        c.set_start_velocity(2, 0)
        c.set_velocity(2, 1e-05)
        c.set_velocity(2, 0.1)
        self.assertCalls(("set_uint32", (1, "DT0", 2500)), ("set_uint32", (1, "DT2", 2000)),
                         ("set_uint32", (2, "DT2", 3)), ("set_uint32", (2, "DT0", 0)),
                         ("set_uint32", (2, "DT2", 0)), ("set_uint32", (2, "DT2", 0)))
        self.assertLogged("Set start velocity to 12.5, station 1",
                          "Set velocity to 10.0, station 1",
                          "Set velocity to 3.5, station 2",
                          "Set start velocity to 0.0, station 2",
                          "Set velocity to 1e-05, station 2",
                          "Set velocity to 0.1, station 2")

    def test_negative_start_velocity_reaches_the_master(self):
        with self.assertRaises(ValueError):
            self.c.set_start_velocity(1, -5)
        self.assertCalls(("set_uint32", (1, "DT0", -5)))
        self.assertLogged()

    def test_acceleration_time_in_milliseconds(self):
        for seconds, ms in [(0.5, 500), (0.0015, 1), (0.0009, 0), (2, 2000)]:
            with self.subTest(seconds=seconds):
                self.restart()
                self.c.set_acceleration_time(3, seconds)
                self.assertCalls(("set_uint32", (3, "DT4", ms)))
                self.assertLogged("Set acceleration time to %r, station 3" % float(seconds))

    def test_parameters_in_one_request(self):
        self.c.set_ppmm(1, 100)
        self.restart()
        self.c.set_parameters(1, 1.5, 20, 0.25)
        self.c.set_parameters(station=2, start_velocity=10, velocity=10, acceleration_time=0)
        self.c.set_parameters(2, 0.001, 1, 0.0009)
        self.assertCalls(("set_multi_uint32", (1, "DT0", [150, 2000, 250])),
                         ("set_multi_uint32", (2, "DT0", [10, 10, 0])),
                         ("set_multi_uint32", (2, "DT0", [0, 1, 0])))
        self.assertLogged(
            "Set (start velocity, velocity, acceleration time) to (1.5, 20.0, 0.25)",
            "Set (start velocity, velocity, acceleration time) to (10.0, 10.0, 0.0)",
            "Set (start velocity, velocity, acceleration time) to (0.001, 1.0, 0.0009)")

    @needs_asserts
    def test_parameter_checks(self):
        for args in [(0, 10, 1), (-1, 10, 1), (10, 9.99, 1), (1, 10, -0.001)]:
            with self.subTest(args=args), self.assertRaises(AssertionError) as caught:
                self.c.set_parameters(1, *args)
            self.assertEqual(str(caught.exception), "")
        self.assertNothingDone()

    @needs_asserts
    def test_rate_limit(self):
        c = self.c
        c.set_velocity(1, 70000)
        c.set_start_velocity(1, 70000.9)
        c.set_parameters(1, 1, 70000, 0)
        c._ppmm[2] = 100
        c.set_velocity(2, 700)
        self.assertCalls(("set_uint32", (1, "DT2", 70000)), ("set_uint32", (1, "DT0", 70000)),
                         ("set_multi_uint32", (1, "DT0", [1, 70000, 0])),
                         ("set_uint32", (2, "DT2", 70000)))
        self.restart()
        refused = [(c.set_velocity, (1, 70001)), (c.set_start_velocity, (1, 70001)),
                   (c.set_parameters, (1, 1, 70001, 0)), (c.set_velocity, (2, 700.01))]
        for method, args in refused:
            with self.subTest(method=method.__name__, args=args):
                with self.assertRaises(AssertionError) as caught:
                    method(*args)
                self.assertEqual(str(caught.exception), "")
        self.assertNothingDone()
        with mock.patch.object(qzr_kov, "_MaxPulsePerSecond", 100):  # read at each call
            c.set_velocity(1, 100)
            self.assertRaises(AssertionError, c.set_parameters, 1, 1, 101, 0)
        c.set_velocity(1, 101)
        self.assertCalls(("set_uint32", (1, "DT2", 100)), ("set_uint32", (1, "DT2", 101)))

    def test_master_failure_logs_nothing(self):
        for op, call in [("set_uint32", lambda: self.c.set_velocity(1, 5)),
                         ("set_uint32", lambda: self.c.set_acceleration_time(1, 5)),
                         ("set_multi_uint32", lambda: self.c.set_parameters(1, 1, 5, 1))]:
            with self.subTest(op=op), self.failing(op):
                call()


if __name__ == "__main__":
    unittest.main()
