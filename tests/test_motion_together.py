"""Moves of several axes that arrive together: the speeds planned from the
distances, and on a simulated line of 5 ms per exchange whose virtual clock
notes every station's counter at each millisecond of its time, the axes
arriving within the start of one exchange each and the sampled path on the
straight line; the order of the exchanges, an axis that stays, refusals and
failures, the profiles back."""
import math
import unittest
from unittest import mock

from tests.support import qzr_kov
from qzr_kov_sim import CommunicationError, SimulatedLine, VirtualClock
from qzr_kov_motion import Machine, wait_all
from qzr_kov_motion.together import Leg, Rates, plan

EXCHANGE = 0.005
PROFILES = {1: [1000, 20000, 200], 2: [1000, 20000, 200], 3: [800, 16000, 100]}


class SamplingClock(VirtualClock):
    """A virtual clock that, as it advances, notes the counters of the
    stations of LINE at each STEP of its time, all read at one moment."""

    def __init__(self, step=0.001):
        VirtualClock.__init__(self)
        self.step, self.line, self.samples = step, None, []

    def advance(self, seconds):
        if self.line is None:
            return VirtualClock.advance(self, seconds)
        steps = max(1, int(math.ceil(seconds / self.step - 1e-9)))
        with self.line._lock:       # no exchange meanwhile
            for _ in range(steps):
                VirtualClock.advance(self, seconds / steps)
                stations = sorted(self.line.stations.items())
                self.samples.append((self.time(), [st.count for _, st in stations]))


def description():
    def axis(station, ppmm, start, velocity, ramp):
        return {"station": station, "ppmm": ppmm, "travel": [-100.0, 300.0],
                "profile": {"start_velocity": start, "velocity": velocity,
                            "acceleration_time": ramp}}
    return {"lines": {"main": {"port": "together-test"}},
            "axes": {"x": axis(1, 200, 5.0, 100.0, 0.2), "y": axis(2, 200, 5.0, 100.0, 0.2),
                     "z": axis(3, 400, 2.0, 40.0, 0.1)}}


class PlanTest(unittest.TestCase):
    def test_speeds_in_proportion_to_the_distances(self):
        x, y = Leg("x", 40000, 200.0, 1000, 20000, 0.2), Leg("y", -10000, 200.0, 1000, 20000, 0.2)
        rates, speed = plan([x, y], None, 70000)
        # x needs longest: its profile's velocity; the same share of the
        # start velocity; the ramp that x needs.
        self.assertEqual(rates, [Rates(1000, 20000, 200), Rates(250, 5000, 200)])
        self.assertAlmostEqual(speed, 0.5 * math.hypot(200, 50))
        # A slow axis with a long ramp lengthens it only as far as it needs;
        # one that moves a pulse runs at 1 pulse/s.
        z = Leg("z", 4000, 400.0, 800, 16000, 2.0)
        tiny = Leg("t", 1, 200.0, 1000, 20000, 0.2)
        self.assertEqual(plan([x, z, tiny], None, 70000)[0],
                         [Rates(1000, 20000, 250), Rates(100, 2000, 250), Rates(1, 1, 250)])
        # A speed along the line, and one beyond what the station allows.
        rates, speed = plan([x, y], 206.0, 70000)
        self.assertEqual([r.velocity for r in rates], [39970, 9992])
        with self.assertRaises(ValueError) as caught:
            plan([x, y], 500.0, 70000)
        self.assertRegex(str(caught.exception), r"^x: at 500.0 mm/s along the line it would run "
                         r"at 97014 pulses/s; the controller allows at most 70000 \(at most "
                         r"360\.7 mm/s along the line\)$")


class TogetherTest(unittest.TestCase):
    def setUp(self):
        self.clock = SamplingClock()
        for name, value in (("_sleep", self.clock.sleep), ("_now", self.clock.time)):
            patch = mock.patch.object(qzr_kov, name, value)
            patch.start()
            self.addCleanup(patch.stop)
        self.line = SimulatedLine("together", clock=self.clock, exchange_time=EXCHANGE,
                                  layout={"origin_at": None, "negative_limit_at": None,
                                          "positive_limit_at": None, "physical_position": 0})
        self.machine = Machine.from_dict(description(), lines={"main": self.line})
        self.addCleanup(self.machine.close)
        self.x, self.y, self.z = (self.machine[name] for name in "xyz")
        self.start_at({"x": 10.0, "y": 80.0, "z": -5.0})

    def start_at(self, places):
        wait_all(self.machine.move_to(places).values(), 60)
        self.line.clear_calls()
        self.clock.line = self.line
        del self.clock.samples[:]

    def stops(self):
        return [[t for t, what, _ in self.line.station(s).history if what == "stop"][-1]
                for s in (1, 2, 3)]

    def speeds(self):
        """The speeds written to each station: station to [pulses/s, pulses/s, ms]."""
        return {s: [c.args[2] for c in self.line.find_calls("set_multi_uint32", station=s)]
                for s in (1, 2, 3) if self.line.find_calls("set_multi_uint32", station=s)}

    def test_the_axes_arrive_together_on_a_straight_line(self):
        begin, end = [10.0, 80.0, -5.0], [150.0, 60.0, -35.0]
        self.assertEqual(wait_all(self.machine.move_to(dict(zip("xyz", end)),
                                                       together=True).values(), 60), end)
        # x needs longest: it runs on its own profile, which the station
        # holds, so only y and z get speeds written (and their profiles back).
        ops = [(c.op, c.args[0], c.args[1]) for c in self.line.calls[:11]]
        self.assertEqual(ops, [(op, s, name) for op, name in (
            ("get_multi_int32", "DT10"), ("set_multi_uint32", "DT0"), ("set_int32", "DT8"),
            ("set_coil", "R2")) for s in (1, 2, 3) if (op, s) != ("set_multi_uint32", 1)])
        writes = self.speeds()
        written = [PROFILES[1]] + [writes[s][0] for s in (2, 3)]
        self.assertEqual(writes, {s: [written[s - 1], PROFILES[s]] for s in (2, 3)})   # back
        # Every axis within the start of one exchange each, plus 5 ms.
        stops = self.stops()
        self.assertLessEqual(max(stops) - min(stops), 2 * EXCHANGE + 0.005)
        fastest = max(v / ppmm for (_, v, _), ppmm in zip(written, (200, 200, 400)))
        self.assertLessEqual(self.strayed(begin, end), fastest * (EXCHANGE + 0.005))
        # Apart, each on its own profile, they stray far from the line.
        self.start_at(dict(zip("xyz", begin)))
        wait_all(self.machine.move_to(dict(zip("xyz", end))).values(), 60)
        self.assertGreater(self.strayed(begin, end), 10.0)

    def strayed(self, begin, end):
        """How far (mm) the sampled path went from the line BEGIN to END."""
        length = math.sqrt(sum((b - a) ** 2 for a, b in zip(begin, end)))
        unit = [(b - a) / length for a, b in zip(begin, end)]
        farthest = 0.0
        for t, counts in self.clock.samples:
            offset = [c / ppmm - a for c, ppmm, a in zip(counts, (200, 200, 400), begin)]
            along = sum(o * u for o, u in zip(offset, unit))
            farthest = max(farthest, math.sqrt(sum((o - along * u) ** 2
                                                   for o, u in zip(offset, unit))))
        self.assertTrue(self.clock.samples)
        return farthest

    def test_a_short_move_at_a_velocity_and_an_axis_that_stays(self):
        # Too short to reach its velocity: a triangle, of the same shape on
        # both axes.
        motions = self.machine.move_to({"x": 10.5, "y": 80.25, "z": -5.0}, together=True,
                                       velocity=10.0 * math.sqrt(5))
        self.assertEqual(wait_all(motions.values(), 60), [10.5, 80.25, -5.0])
        writes = self.speeds()
        self.assertEqual((writes[1][0], writes[2][0]), ([1000, 4000, 32], [500, 2000, 32]))
        self.assertEqual(self.line.find_calls(station=3), [self.line.calls[2]])   # a read
        stops = self.stops()[:2]
        self.assertLessEqual(abs(stops[0] - stops[1]), EXCHANGE + 0.005)

    def test_refused_before_anything_is_written(self):
        moving = self.y.move_to(200.0, velocity=5.0)
        for error, words, kwargs in (
                (RuntimeError, "axis y is moving: a move together starts with every axis at "
                               "rest", {}),
                (ValueError, "axis x: at 1000.0 mm/s along the line it would run at ",
                 {"velocity": 1000.0})):
            with self.subTest(words), self.assertRaises(error) as caught:
                self.machine.move_to({"x": 100.0, "y": 100.0 if kwargs else 0.0}, together=True,
                                     **kwargs)
            self.assertTrue(str(caught.exception).startswith(words), str(caught.exception))
            self.assertEqual([c for c in self.line.calls if c.op.startswith("set")
                              and c.args[0] == 1], [])
            if not kwargs:
                moving.cancel()

    def test_a_failed_write_or_start_leaves_nothing_moving(self):
        for op, name, words in (("set_int32", "DT8", "lost"), ("set_coil", "R2", "down")):
            with self.subTest(name):
                self.line.clear_calls()
                self.line.fail_on(op, CommunicationError(words), station=2, name=name)
                with self.assertRaises(CommunicationError):
                    self.machine.move_to({"x": 200.0, "y": 0.0, "z": -60.0}, together=True)
                self.assertEqual([s.moving for s in self.line.stations.values()],
                                 [False] * 3)
                self.assertEqual([self.line.station(s).read_u32("DT", 2) for s in (1, 2, 3)],
                                 [PROFILES[s][1] for s in (1, 2, 3)])
                starts = [c.args[0] for c in self.line.find_calls("set_coil", name="R2")]
                stops = [c.args[0] for c in self.line.find_calls("set_coil", name="R0")]
                self.assertEqual((starts, sorted(stops)),
                                 ([], []) if name == "DT8" else ([1, 2], [1, 2]))


if __name__ == "__main__":
    unittest.main()
