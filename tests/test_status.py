"""Status block, position, state predicates and stop source."""
import unittest

from .controller_case import ControllerCase, error_of, qzr_kov

RUNNING = 1 << 17
PREDICATES = [  # method, coil read without a list, its bit in element [3]
    ("at_o", "X0", 1),
    ("at_negative_limit", "X1", 2),
    ("at_positive_limit", "X2", 4),
    ("at_emergency", "X3", 8),
    ("is_alarming", "X4", 16),
    ("is_running", "Y1", RUNNING),
]


def block(*head, io=0, length=11):
    """A status block: HEAD at its start, IO as its value [10]."""
    values = list(head) + [0] * (length - len(head))
    if length > 10:
        values[10] = io
    return values


class StatusWordsTest(ControllerCase):
    def test_five_words_from_one_read(self):
        self.c.set_ppmm(1, 200)
        self.restart()
        self.m.script("get_multi_int32", block(200, -400, 1000, 9, 9, io=RUNNING | 0x13))
        words = self.c.status_words(1)
        self.assertEqual(words, [1.0, -2.0, 5.0, RUNNING | 0x13, 0])
        self.assertEqual([type(w) for w in words], [float, float, float, int, int])
        self.assertCalls(("get_multi_int32", (1, "DT10", 11)))
        self.assertLogged()

    def test_words_come_from_the_registers_of_the_block(self):
        for name, value in [("DT10", 7), ("DT12", -3), ("DT14", 12), ("DT30", -1)]:
            self.m.put_register(2, name, value)
        self.m.put_register(2, "DT16", 99)
        self.assertEqual(self.c.status_words(station=2), [7.0, -3.0, 12.0, -1, 0])

    def test_block_length(self):
        self.m.script("get_multi_int32", tuple(block(1, 2, 3, io=4, length=13)))
        self.assertEqual(self.c.status_words(1), [1.0, 2.0, 3.0, 4, 0])
        self.m.script("get_multi_int32", block(1, 2, 3, length=10))
        self.restart()
        self.assertRaises(IndexError, self.c.status_words, 1)
        self.assertCalls(("get_multi_int32", (1, "DT10", 11)))

    def test_running_flag_survives_in_the_words(self):
        self.m.put_register(1, "DT30", RUNNING)
        self.assertIs(self.c.is_running(1, self.c.status_words(1)), True)


class PositionTest(ControllerCase):
    def test_position_read_from_the_counter(self):
        self.c.set_ppmm(1, 400)
        self.m.put_register(1, "DT10", 1000)
        self.restart()
        for words in (None, []):
            with self.subTest(words=words):
                result = self.c.get_position(1, words)
                self.assertIs(type(result), float)
                self.assertEqual(result, 2.5)
        self.assertEqual(self.c.get_position(station=1), 2.5)
        self.assertCalls(*[("get_int32", (1, "DT10"))] * 3)
        self.assertLogged()

    def test_position_taken_from_the_words(self):
        self.c.set_ppmm(1, 200)
        self.m.put_register(1, "DT10", 1000)
        self.restart()
        for words, position in [([3, 0, 0, 0, 0], 3.0), ([7.5], 7.5),
                                (self.c.status_words(1), 5.0)]:
            with self.subTest(words=words):
                self.m.clear_calls()
                result = self.c.get_position(1, words)
                self.assertIs(type(result), float)
                self.assertEqual(result, position)
                self.assertCalls()
        self.assertEqual(self.c.get_position(1, self.c.status_words(1)), self.c.get_position(1))

    def test_set_position(self):
        self.c.set_ppmm(1, 400)
        self.c._ppmm[2] = 10
        self.restart()
        self.c.set_position(1, 2.5)
        self.c.set_position(station=2, position=-0.39)
        self.assertCalls(("set_int32", (1, "DT10", 1000)), ("set_int32", (2, "DT10", -3)))
        self.assertLogged()
        self.restart()
        self.assertFloatRefused("2", self.c.set_position, 1, "2")

    def test_set_here_o(self):
        self.assertIsNone(self.c.set_here_o(5))
        self.assertCalls(("set_int32", (5, "DT10", 0)))
        self.assertLogged("Set here O for station 5")
        self.restart()
        with self.failing("set_int32"):
            self.c.set_here_o(5)

    def test_conversions_go_through_overridable_methods(self):
        seen = []

        class Traced(qzr_kov.KOVAxisController):
            def set_position(self, station, position):
                seen.append((station, position))

            def from_pulse(self, station, value):
                return value * 2.0

        c = Traced(self.m)
        self.m.put_register(1, "DT10", 3)
        self.m.put_register(1, "DT14", -4)
        self.restart()
        c.set_here_o(4)
        self.assertEqual(seen, [(4, 0)])
        self.assertEqual(c.get_position(1), 6.0)
        self.assertEqual(c.status_words(1), [6.0, 0.0, -8.0, 0, 0])
        self.assertCalls(("get_int32", (1, "DT10")), ("get_multi_int32", (1, "DT10", 11)))
        self.assertLogged("Set here O for station 4")


class PredicateTest(ControllerCase):
    def test_answers_from_a_list(self):
        for method, _, bit in PREDICATES:
            ask = getattr(self.c, method)
            with self.subTest(method):
                self.assertIs(ask(1, [0, 0, 0, bit, 0]), True)
                self.assertIs(ask(1, [None, None, None, bit]), True)
                self.assertIs(ask(1, (0, 0, 0, bit)), True)
                self.assertIs(ask(1, status_words=[0, 0, 0, (1 << 40) | bit, 0]), True)
                self.assertIs(ask(1, [0, 0, 0, -1, 0]), True)
                self.assertIs(ask(1, [0, 0, 0, ~bit, 0]), False)
                self.assertIs(ask(1, [0, 0, 0, 0, bit]), False)
        self.assertIs(self.c.is_alarming(1, [0, 0, 0, 15, 0]), False)
        self.assertIs(self.c.is_running(1, [0, 0, 0, 2, 0]), False)
        self.assertIs(self.c.is_running(1, [0, 0, 0, 131072, 0]), True)
        self.assertNothingDone()

    def test_bad_lists(self):
        for method, _, bit in PREDICATES:
            ask = getattr(self.c, method)
            with self.subTest(method):
                self.assertRaises(IndexError, ask, 1, [1])
                self.assertRaises(IndexError, ask, 1, [bit, bit, bit])
                self.assertRaises(TypeError, ask, 1, [0, 0, 0, str(bit)])
                self.assertRaises(TypeError, ask, 1, [0, 0, 0, float(bit)])
        self.assertNothingDone()

    def test_answers_from_the_coils_unchanged(self):
        marker = object()
        for method, coil, _ in PREDICATES:
            ask = getattr(self.c, method)
            with self.subTest(method):
                self.restart()
                self.m.script("get_coil", 1, marker, station=1, name=coil)
                self.m.put_coil(1, coil, True)
                self.assertIs(ask(1), 1)
                self.assertIs(ask(1, []), marker)
                self.assertIs(ask(station=1, status_words=None), True)
                self.assertCalls(*[("get_coil", (1, coil))] * 3)
                self.assertLogged()

    def test_emergency_not_inverted(self):
        for state in (True, False):
            self.m.put_coil(1, "X3", state)
            self.assertIs(self.c.at_emergency(1), state)
            self.m.put_register(1, "DT30", 8 if state else 0)
            self.assertIs(self.c.at_emergency(1, self.c.status_words(1)), state)

    def test_stop_source(self):
        for source in qzr_kov.StopSource:
            self.m.put_register(3, "D20", int(source))
            self.assertIs(self.c.get_stop_source(3), source)
        self.restart()
        for code in (7, -1, 1 << 16):
            with self.subTest(code=code):
                self.m.put_register(3, "D20", code)
                expected = error_of(qzr_kov.StopSource, code)
                with self.assertRaises(ValueError) as caught:
                    self.c.get_stop_source(station=3)
                self.assertEqual(str(caught.exception), str(expected))
        self.assertCalls(*[("get_int32", (3, "D20"))] * 3)
        self.assertLogged()


if __name__ == "__main__":
    unittest.main()
