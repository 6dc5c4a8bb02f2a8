"""Direction, StopSource, FindingOMethod."""
import unittest

from tests.support import qzr_kov

Direction, StopSource, FindingOMethod = (
    qzr_kov.Direction, qzr_kov.StopSource, qzr_kov.FindingOMethod)


class EnumerationTest(unittest.TestCase):
    def test_members_values_and_order(self):
        self.assertEqual([(m.name, m.value) for m in Direction],
                         [("Negative", -1), ("Positive", 1)])
        self.assertEqual([(m.name, m.value) for m in StopSource],
                         [("Null", 0), ("Command", 1), ("Origin", 2), ("NegativeLimit", 3),
                          ("PositiveLimit", 4), ("Alarm", 5), ("Emergency", 6)])
        self.assertEqual([(m.name, m.value) for m in FindingOMethod],
                         [("LimitFirstThenBackward", 0), ("OriginOnly", 1)])
        for member in list(Direction) + list(StopSource) + list(FindingOMethod):
            self.assertIsInstance(member, int)
            self.assertEqual(member, member.value)

    def test_lookup_by_value_and_name(self):
        self.assertIs(StopSource(6), StopSource.Emergency)
        self.assertIs(StopSource["Alarm"], StopSource.Alarm)
        self.assertIs(FindingOMethod(1), FindingOMethod.OriginOnly)
        for cls, value in [(StopSource, 7), (Direction, 0), (FindingOMethod, 2)]:
            with self.subTest(cls=cls.__name__):
                with self.assertRaises(ValueError) as cm:
                    cls(value)
                self.assertIn(cls.__name__, str(cm.exception))

    def test_reverse_gives_the_member_of_opposite_sign(self):
        self.assertIs(Direction.Positive.reverse(), Direction.Negative)
        self.assertIs(Direction.Negative.reverse(), Direction.Positive)
        self.assertIs(Direction.Positive.reverse().reverse(), Direction.Positive)
        self.assertEqual(Direction.reverse.__qualname__, "Direction.reverse")
        self.assertIsNone(Direction.reverse.__doc__)
        self.assertNotIn("reverse", Direction.__members__)

    def test_reverse_looks_up_direction_at_each_call(self):
        calls = []
        original = qzr_kov.Direction

        def fake(value):
            calls.append(value)
            return original(value)

        qzr_kov.Direction = fake
        try:
            self.assertIs(original.Positive.reverse(), original.Negative)
        finally:
            qzr_kov.Direction = original
        self.assertEqual(calls, [-1])

    def test_text_forms(self):
        self.assertEqual(format(StopSource.Alarm, ""), "5")
        self.assertEqual(format(Direction.Negative, ""), "-1")
        self.assertEqual(format(FindingOMethod.LimitFirstThenBackward, ""), "0")
        self.assertEqual(repr(StopSource.Alarm), "<StopSource.Alarm: 5>")
        # The same on every interpreter version: str() names the member,
        # formatting gives the number.
        self.assertEqual(str(StopSource.Alarm), "StopSource.Alarm")
        self.assertEqual("%s" % Direction.Negative, "Direction.Negative")
        self.assertEqual("{}|{:03}|%d".format(StopSource.Alarm, StopSource.Alarm)
                         % StopSource.Alarm, "5|005|5")


if __name__ == "__main__":
    unittest.main()
