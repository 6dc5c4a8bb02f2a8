"""Raw coil access and the configuration of the station's input signals."""
import unittest

from .controller_case import ControllerCase

SIGNALS = [  # enable, disable, query, coil, log text
    ("enable_negative_limit", "disable_negative_limit", "negative_limit_is_disabled", "R12",
     "negative limit"),
    ("enable_positive_limit", "disable_positive_limit", "positive_limit_is_disabled", "R13",
     "positive limit"),
    ("enable_alarm", "disable_alarm", "alarm_is_disabled", "R14", "alarm"),
    ("enable_emergency", "disable_emergency", "emergency_is_disabled", "R15", "emergency"),
]
TYPE_MESSAGE = "Argument 'name' has incorrect type (expected str, got %s)"


class Name(str):
    """A coil address of a str subclass."""


class RawCoilTest(ControllerCase):
    def test_pass_through(self):
        marker = object()
        self.m.script("get_coil", marker, station=2, name="R5")
        self.m.script("get_coil_uint16", 0x1234, station=2, name="X0")
        self.assertIs(self.c.get_coil(2, "R5"), marker)
        self.assertEqual(self.c.get_coil_uint16(station=2, name="X0"), 0x1234)
        self.assertIsNone(self.c.set_coil(2, "R14", 1))
        self.assertIsNone(self.c.set_coil(station=2, name="R3", value=False))
        self.assertIsNone(self.c.set_coil_uint16(1, "R0", 4660))
        self.assertCalls(("get_coil", (2, "R5")), ("get_coil_uint16", (2, "X0")),
                         ("set_coil", (2, "R14", 1)), ("set_coil", (2, "R3", False)),
                         ("set_coil_uint16", (1, "R0", 4660)))
        self.assertLogged()
        self.assertIs(self.c.get_coil(2, "R14"), True)

    def test_name_must_be_exactly_str_or_none(self):
        calls = [
            ("get_coil", lambda name: self.c.get_coil(1, name)),
            ("set_coil", lambda name: self.c.set_coil(1, name, True)),
            ("get_coil_uint16", lambda name: self.c.get_coil_uint16(1, name)),
            ("set_coil_uint16", lambda name: self.c.set_coil_uint16(1, name, 1)),
        ]
        for op, call in calls:
            for name, type_name in [(b"R0", "bytes"), (Name("R0"), "Name"), (0, "int")]:
                with self.subTest(op=op, name=name):
                    with self.assertRaises(TypeError) as caught:
                        call(name)
                    self.assertEqual(str(caught.exception), TYPE_MESSAGE % type_name)
            self.assertNothingDone()
            with self.subTest(op=op, name=None):
                # None passes the check; the master refuses the address.
                self.assertRaises(ValueError, call, None)
                self.assertEqual([(c.op, c.args[:2]) for c in self.m.calls], [(op, (1, None))])
                self.restart()


class SignalConfigTest(ControllerCase):
    def test_enable_and_disable(self):
        for enable, disable, _, coil, text in SIGNALS:
            with self.subTest(coil):
                self.restart()
                self.assertIsNone(getattr(self.c, disable)(2))
                self.assertIsNone(getattr(self.c, enable)(2))
                self.assertCalls(("set_coil", (2, coil, True)), ("set_coil", (2, coil, False)))
                self.assertLogged("Disable %s, station 2" % text, "Enable %s, station 2" % text)

    def test_failed_write_logs_nothing(self):
        for enable, disable, _, coil, _ in SIGNALS:
            for method in (enable, disable):
                with self.subTest(method), self.failing("set_coil", name=coil):
                    getattr(self.c, method)(2)

    def test_queries_answer_unchanged(self):
        marker = object()
        for _, _, query, coil, _ in SIGNALS:
            with self.subTest(query):
                self.restart()
                self.m.script("get_coil", marker, 0, station=3, name=coil)
                self.assertIs(getattr(self.c, query)(3), marker)
                self.assertIs(getattr(self.c, query)(station=3), 0)
                self.assertCalls(("get_coil", (3, coil)), ("get_coil", (3, coil)))
                self.assertLogged()

    def test_positive_limit_enable_takes_axis(self):
        self.c.enable_positive_limit(axis=3)
        self.assertCalls(("set_coil", (3, "R13", False)))
        self.assertLogged("Enable positive limit, station 3")
        self.restart()
        self.assertRaises(TypeError, self.c.enable_positive_limit, station=3)
        self.assertNothingDone()

    def test_origin_edge(self):
        self.assertRaises(TypeError, self.c.origin_rising_valid, 1)
        self.assertNothingDone()
        self.c.origin_rising_valid(1, True)
        self.c.origin_rising_valid(1, 0)
        self.c.origin_rising_valid(station=2, value=1)
        self.c.origin_rising_valid(2, False)
        self.assertCalls(("set_coil", (1, "R10", True)), ("set_coil", (1, "R10", 0)),
                         ("set_coil", (2, "R10", 1)), ("set_coil", (2, "R10", False)))
        self.assertLogged("Set origin trigger edge as rising, station 1",
                          "Set origin trigger edge as falling, station 1",
                          "Set origin trigger edge as rising, station 2",
                          "Set origin trigger edge as falling, station 2")

    def test_reverse_direction_output(self):
        self.c.reverse_direction_output(4)
        self.c.reverse_direction_output(4, False)
        self.c.reverse_direction_output(station=4, value=0)
        self.assertCalls(("set_coil", (4, "R16", True)), ("set_coil", (4, "R16", False)),
                         ("set_coil", (4, "R16", 0)))
        self.assertLogged("Set reverse direction output to True, station 4",
                          "Set reverse direction output to False, station 4",
                          "Set reverse direction output to 0, station 4")
        self.restart()
        with self.failing("set_coil"):
            self.c.reverse_direction_output(4)


if __name__ == "__main__":
    unittest.main()
