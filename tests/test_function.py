"""Methods written in C++ behave like Python functions: binding, argument
passing and its errors, conversions on entry, and what introspection shows."""
import inspect
import io
import pydoc
import sys
import typing
import unittest
import weakref

from tests import support
from tests.support import qzr_kov

C = qzr_kov.KOVAxisController
QUALIFIED = sys.version_info >= (3, 10)


def called(name):
    return ("KOVAxisController.%s()" if QUALIFIED else "%s()") % name


class BindingTest(unittest.TestCase):
    def test_binds_like_a_python_function(self):
        controller, master = support.controller()
        bound = controller.stop
        self.assertIsInstance(bound, type(controller.__init__))
        self.assertIs(bound.__self__, controller)
        self.assertIs(bound.__func__, C.stop)
        self.assertIs(C.__dict__["stop"].__get__(None, C), C.stop)
        C.stop(controller, 2)
        controller.stop(station=3)
        self.assertEqual([c.args for c in master.find_calls("set_coil")],
                         [(2, "R0", True), (3, "R0", True)])

    def test_attributes(self):
        f = C.find_o
        self.assertEqual((f.__name__, f.__qualname__, f.__module__),
                         ("find_o", "KOVAxisController.find_o", "qzr_kov"))
        self.assertEqual(f.__defaults__, (qzr_kov.Direction.Negative,))
        self.assertIs(f.__defaults__[0], qzr_kov.Direction.Negative)
        self.assertIsNone(f.__kwdefaults__)
        self.assertIsNone(C.stop.__defaults__)
        self.assertEqual(C.wait_for_locating_done.__defaults__, (0.0,))
        self.assertIsInstance(C.wait_for_locating_done.__defaults__[0], float)
        self.assertRegex(repr(f), r"^<function KOVAxisController\.find_o at 0x[0-9a-fA-F]+>$")
        self.assertIs(weakref.ref(f)(), f)
        f.__dict__["tag"] = 1
        self.assertEqual(f.tag, 1)
        del f.tag

    def test_signature(self):
        sig = inspect.signature(C.find_o)
        self.assertEqual(list(sig.parameters), ["self", "station", "start_velocity", "velocity",
                                                "acceleration_time", "direction"])
        direction = sig.parameters["direction"]
        self.assertIs(direction.default, qzr_kov.Direction.Negative)
        self.assertIs(direction.annotation, qzr_kov.Direction)
        self.assertIs(sig.parameters["velocity"].annotation, float)
        self.assertEqual(direction.kind, inspect.Parameter.POSITIONAL_OR_KEYWORD)
        self.assertIs(inspect.signature(C.get_stop_source).return_annotation, qzr_kov.StopSource)
        self.assertEqual(inspect.signature(C.get_position).parameters["status_words"].annotation,
                         typing.Optional[list])
        self.assertEqual(inspect.signature(C.set_ppmm).parameters["ppmm"].annotation,
                         typing.Union[int, float])
        controller, _ = support.controller()
        self.assertEqual(str(inspect.signature(controller.enable_positive_limit)), "(axis)")

    def test_help_shows_signatures_and_docstrings(self):
        out = io.StringIO()
        pydoc.Helper(output=out).help(C)
        text = out.getvalue()
        # Long signatures wrap over several lines on newer versions.
        self.assertRegex(text, r"find_o\([^)]*station: ?int,[^)]*start_velocity: ?float")
        self.assertIn("以指定的速度参数执行找原点动作。", text)
        self.assertIn("enable_positive_limit(self, axis)", text)


class ArgumentErrorTest(unittest.TestCase):
    def setUp(self):
        self.controller, self.master = support.controller()
        self.log = support.LogReader()

    def assert_type_error(self, message, call, *args, **kwargs):
        with self.assertRaises(TypeError) as cm:
            call(*args, **kwargs)
        self.assertEqual(str(cm.exception), message)

    def test_wording_of_the_interpreter(self):
        c = self.controller
        self.assert_type_error(called("find_o") + " missing 1 required positional argument: "
                               "'acceleration_time'", c.find_o, 1, 1.0, 2.0)
        self.assert_type_error(called("find_o") + " missing 2 required positional arguments: "
                               "'velocity' and 'acceleration_time'", c.find_o, 1, 1.0)
        self.assert_type_error(called("find_o") + " missing 3 required positional arguments: "
                               "'start_velocity', 'velocity', and 'acceleration_time'",
                               c.find_o, 1)
        self.assert_type_error(called("stop") + " takes 2 positional arguments but 3 were given",
                               c.stop, 1, 2)
        self.assert_type_error(called("close") + " takes from 1 to 2 positional arguments but 3 "
                               "were given", c.close, 1, 2)
        self.assert_type_error(called("stop") + " got an unexpected keyword argument 'axis'",
                               c.stop, axis=1)
        self.assert_type_error(called("enable_positive_limit") + " got an unexpected keyword "
                               "argument 'station'", c.enable_positive_limit, station=3)
        self.assert_type_error(called("stop") + " got multiple values for argument 'station'",
                               c.stop, 1, station=1)
        self.assert_type_error(called("stop") + " missing 2 required positional arguments: "
                               "'self' and 'station'", C.stop)
        self.assertEqual(self.master.calls, [])
        self.assertEqual(self.log.lines(), [])

    def test_keyword_names_that_are_not_plain_strings(self):
        class Name(str):
            pass
        self.controller.stop(**{Name("station"): 4})
        self.assertEqual(self.master.calls[-1].args, (4, "R0", True))


class ConversionTest(unittest.TestCase):
    def setUp(self):
        self.controller, self.master = support.controller()
        self.log = support.LogReader()

    def test_float_parameters_accept_numbers_and_float_conversions(self):
        class Speed(object):
            def __float__(self):
                return 2.5

        self.controller.set_velocity(1, 10)
        self.controller.set_velocity(1, Speed())
        self.controller.set_velocity(1, True)
        self.assertEqual([c.args[2] for c in self.master.calls], [10, 2, 1])
        self.assertEqual(self.log.lines(), ["INFO - Set velocity to 10.0, station 1",
                                            "INFO - Set velocity to 2.5, station 1",
                                            "INFO - Set velocity to 1.0, station 1"])

    def test_float_parameters_refuse_other_objects_before_anything_runs(self):
        class Broken(object):
            def __float__(self):
                raise ZeroDivisionError("inside __float__")

        for bad in ["10", b"10", None, [1.0], object()]:
            with self.subTest(bad=bad):
                with self.assertRaises(TypeError):
                    self.controller.set_velocity(1, bad)
        with self.assertRaises(ZeroDivisionError):
            self.controller.locate_absolutely(1, Broken())
        self.assertEqual(self.master.calls, [])
        self.assertEqual(self.log.lines(), [])

    def test_str_parameters_accept_exactly_str_or_none(self):
        class Address(str):
            pass

        self.controller.get_coil(1, "R0")
        with self.assertRaises(ValueError):  # the master's refusal: None got through
            self.controller.get_coil(1, None)
        for bad, type_name in [(b"R0", "bytes"), (Address("R0"), "Address"), (0, "int")]:
            with self.subTest(bad=bad):
                with self.assertRaises(TypeError) as cm:
                    self.controller.set_coil(1, bad, True)
                self.assertEqual(str(cm.exception), "Argument 'name' has incorrect type "
                                                    "(expected str, got %s)" % type_name)
        self.assertEqual([c.args[1] for c in self.master.calls], ["R0", None])

    def test_other_annotations_are_not_enforced(self):
        with self.assertRaises(TypeError):  # the master's refusal
            self.controller.set_coil_uint16("one", "R0", 3)
        self.controller.reverse_direction_output(1, 0)
        self.assertEqual(self.master.calls[0].args, ("one", "R0", 3))
        self.assertEqual(self.master.calls[1].args, (1, "R16", 0))


class SelfCallTest(unittest.TestCase):
    def test_methods_reach_each_other_through_self(self):
        class Geared(C):
            def to_pulse(self, station, value):
                return 7

        master = support.RecordingMaster("p")
        controller = Geared(master)
        controller.locate_absolutely(1, 99.0)
        controller.is_running = lambda station: False
        controller.get_stop_source = lambda station: qzr_kov.StopSource.Null
        controller.wait_for_locating_done(1)
        self.assertEqual(master.calls[0].args, (1, "DT6", 7))
        self.assertEqual(len(master.calls), 2)

    def test_the_master_method_found_on_the_object_is_the_one_called(self):
        # A subclass's method, a bound method of another object and a plain
        # function set on the instance: each is called as Python would.
        class Inverted(support.RecordingMaster):
            def get_coil(self, station, name):
                return ("inverted", self is master, station, name)

        class Other(object):
            def get_coil_uint16(self, station, name):
                return ("other", self is other, station, name)

        master, other = Inverted("p"), Other()
        master.set_coil = lambda station, name, value: ("plain", station, name, value)
        master.get_coil_uint16 = other.get_coil_uint16
        controller = C(master)
        self.assertEqual(controller.get_coil(1, "X0"), ("inverted", True, 1, "X0"))
        self.assertEqual(controller.at_o(2), ("inverted", True, 2, "X0"))
        self.assertEqual(controller.get_coil_uint16(3, "WX0"), ("other", True, 3, "WX0"))
        self.assertIsNone(controller.set_coil(4, "Y2", True))
        controller.stop(5)
        self.assertEqual(master.calls, [])


if __name__ == "__main__":
    unittest.main()
