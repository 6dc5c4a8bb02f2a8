"""The recording master: call log, memory, checks, failures, scripts."""

import os
import sys
import threading
import unittest

_SIM = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sim")
for _path in (_SIM, os.path.join(_SIM, "stand_in")):
    if _path not in sys.path:
        sys.path.insert(0, _path)

from qzr_kov_sim import Call, CommunicationError, RecordingMaster, VirtualClock  # noqa: E402


class RecordingTest(unittest.TestCase):
    def setUp(self):
        self.master = RecordingMaster("COM3", baudrate=9600)

    def test_constructor_arguments_kept_as_passed(self):
        self.assertEqual(self.master.init_args, ("COM3",))
        self.assertEqual(self.master.init_kwargs, {"baudrate": 9600})
        self.assertEqual((self.master.port, self.master.baudrate), ("COM3", 9600))
        self.assertEqual(RecordingMaster("x").baudrate, 115200)
        with self.assertRaises(TypeError):
            RecordingMaster("x", 9600)      # baudrate goes by keyword

    def test_calls_recorded_in_order_with_args_as_passed(self):
        m = self.master
        m.set_coil(1, "R0", True)
        m.get_int32(2, "DT10")
        values = [1, 2]
        m.set_multi_uint32(1, "DT0", values)
        m.close()
        self.assertEqual(m.calls, [Call("set_coil", (1, "R0", True)),
                                   Call("get_int32", (2, "DT10")),
                                   Call("set_multi_uint32", (1, "DT0", values)),
                                   Call("close", ())])
        self.assertIs(m.calls[2].args[2], values)
        self.assertEqual(m.find_calls("get_int32"), [Call("get_int32", (2, "DT10"))])
        m.clear_calls()
        self.assertEqual(m.calls, [])

    def test_memory_words_and_groups(self):
        m = self.master
        self.assertIs(m.get_coil(1, "R5"), False)
        self.assertEqual(m.get_int32(1, "DT4"), 0)
        m.set_int32(1, "DT6", -5)
        self.assertEqual(m.get_int32(1, "DT6"), -5)
        m.set_uint32(1, "DT2", 2 ** 32 - 1)
        self.assertEqual(m.get_int32(1, "DT2"), -1)
        self.assertEqual(m.register(1, "DT2", signed=False), 2 ** 32 - 1)
        m.set_multi_uint32(1, "DT20", [7, 8, 9])
        self.assertEqual(m.get_multi_int32(1, "DT20", 3), [7, 8, 9])
        self.assertEqual(m.get_int32(1, "DT22"), 8)
        self.assertEqual(m.get_int32(1, "D20"), 0, "D is a separate space")
        self.assertEqual(m.get_int32(2, "DT20"), 0, "stations are separate")
        # a 32-bit value spans two 16-bit registers
        m.put_register(1, "DT8", 0x00030002)
        self.assertEqual(m.get_int32(1, "DT9"), 3)
        m.set_coil_uint16(1, "R10", 0b101)
        self.assertEqual([m.coil(1, "R%d" % n) for n in (10, 11, 12)], [True, False, True])
        m.put_coil(1, "R25", True)
        self.assertEqual(m.get_coil_uint16(1, "R10"), 0b101 | 1 << 15)
        self.assertEqual(len(m.calls), 14, "test-side access is not recorded")

    def test_bad_addresses_and_values_rejected_after_recording(self):
        m = self.master
        bad = [(m.get_coil, (1, "DT0"), ValueError), (m.get_coil, (1, "R01"), ValueError),
               (m.get_int32, (1, "R0"), ValueError), (m.get_int32, (1, b"DT0"), ValueError),
               (m.get_int32, (1, "dt0"), ValueError), (m.set_coil, (1, "R0", 2), ValueError),
               (m.set_coil, (1, "R0", "yes"), TypeError),
               (m.set_coil_uint16, (1, "R0", 65536), ValueError),
               (m.set_uint32, (1, "DT0", -1), ValueError),
               (m.set_uint32, (1, "DT0", 2 ** 32), ValueError),
               (m.set_int32, (1, "DT0", 2 ** 31), ValueError),
               (m.set_int32, (1, "DT0", 1.0), TypeError),
               (m.set_int32, (1, "DT0", True), TypeError),
               (m.set_multi_uint32, (1, "DT0", [1, -1]), ValueError),
               (m.set_multi_uint32, (1, "DT0", 5), TypeError),
               (m.get_multi_int32, (1, "DT0", 0), ValueError),
               (m.get_int32, ("1", "DT0"), TypeError)]
        for method, args, error in bad:
            with self.assertRaises(error, msg=repr(args)):
                method(*args)
        self.assertEqual([c.args for c in m.calls], [args for _, args, _ in bad])
        self.assertEqual(m.get_int32(1, "DT0"), 0, "nothing was written")

    def test_closed_line_fails(self):
        self.master.close()
        self.assertTrue(self.master.closed)
        with self.assertRaises(CommunicationError):
            self.master.get_coil(1, "Y1")
        self.assertEqual(self.master.calls[-1], Call("get_coil", (1, "Y1")))

    def test_exchanges_hold_the_line_and_spend_clock_time(self):
        clock = VirtualClock()
        m = RecordingMaster(exchange_time=0.005, clock=clock)
        state = {"inside": 0, "most": 0}

        def answer(*args):
            state["inside"] += 1
            state["most"] = max(state["most"], state["inside"])
            clock.sleep(0.001)
            state["inside"] -= 1
            return True
        m.script("get_coil", *([answer] * 200))

        def worker():
            for _ in range(50):
                m.get_coil(1, "Y1")
        threads = [threading.Thread(target=worker) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(state["most"], 1)
        self.assertEqual(len(m.calls), 200)
        self.assertAlmostEqual(clock.time() - 1000.0, 200 * 0.006)

    def test_exchange_time_from_what_it_carries(self):
        clock = VirtualClock()
        m = RecordingMaster(exchange_time=(0.004, 0.001), clock=clock)
        spent = []
        for call in (lambda: m.get_coil(1, "Y1"), lambda: m.get_coil_uint16(1, "R0"),
                     lambda: m.set_int32(1, "DT6", -5), lambda: m.get_multi_int32(1, "DT10", 11),
                     lambda: m.set_multi_uint32(1, "DT0", [1, 2, 3])):
            before = clock.time()
            call()
            spent.append(round(clock.time() - before, 6))
        self.assertEqual(spent, [0.005, 0.005, 0.005, 0.015, 0.007])
        self.assertEqual(RecordingMaster(exchange_time=[0, 0.5]).exchange_time, (0, 0.5))
        for bad in ((0.1,), (0.1, 0.2, 0.3), "5 ms", True, (0.1, None)):
            with self.subTest(bad), self.assertRaises(TypeError):
                RecordingMaster(exchange_time=bad)
        for bad in (-0.001, (0.001, -1e-9), float("nan")):
            with self.subTest(bad), self.assertRaises(ValueError):
                RecordingMaster(exchange_time=bad)


class FaultTest(unittest.TestCase):
    def setUp(self):
        self.master = RecordingMaster()

    def test_fail_on_chosen_call_with_skip_and_times(self):
        m = self.master
        m.fail_on("set_coil", CommunicationError, station=2, name="R1", skip=1, times=2)
        outcomes = []
        for station in (1, 2, 2, 2, 2):
            try:
                m.set_coil(station, "R1", True)
                outcomes.append("ok")
            except CommunicationError:
                outcomes.append("fail")
        self.assertEqual(outcomes, ["ok", "ok", "fail", "fail", "ok"])
        self.assertEqual(len(m.calls), 5)

    def test_fault_instances_raised_as_is_and_forever(self):
        m = self.master
        error = TimeoutError("no answer")
        m.fail_on(["get_int32", "get_coil"], error, times=None)
        for _ in range(3):
            with self.assertRaises(TimeoutError) as caught:
                m.get_int32(1, "DT10")
            self.assertIs(caught.exception, error)
        m.clear_faults()
        self.assertEqual(m.get_int32(1, "DT10"), 0)

    def test_failed_write_does_not_land_unless_applied(self):
        m = self.master
        m.fail_on("set_int32", CommunicationError, name="DT6")
        m.fail_on("set_int32", CommunicationError, name="DT8", applied=True)
        for name, landed in (("DT6", 0), ("DT8", 5)):
            with self.assertRaises(CommunicationError):
                m.set_int32(1, name, 5)
            self.assertEqual(m.register(1, name), landed)

    def test_random_failures_reproducible_by_seed(self):
        def run(seed):
            m = RecordingMaster()
            m.fail_randomly(0.3, seed)
            pattern = []
            for _ in range(60):
                try:
                    m.get_coil(1, "Y1")
                    pattern.append(0)
                except CommunicationError:
                    pattern.append(1)
            return pattern
        first = run(7)
        self.assertEqual(first, run(7))
        self.assertNotEqual(first, run(8))
        self.assertTrue(5 < sum(first) < 35)

    def test_random_failures_limited_to_ops(self):
        m = self.master
        m.fail_randomly(1.0, 1, ops=["set_coil"])
        m.get_coil(1, "R0")
        with self.assertRaises(CommunicationError):
            m.set_coil(1, "R0", True)

    def test_scripted_answers_then_memory(self):
        m = self.master
        m.put_register(1, "DT10", 42)
        m.script("get_int32", "junk", lambda station, name: station * 100,
                 ValueError("bad frame"), name="DT10")
        self.assertEqual(m.get_int32(1, "DT12"), 0, "other names are not scripted")
        self.assertEqual(m.get_int32(1, "DT10"), "junk")
        self.assertEqual(m.get_int32(3, "DT10"), 300)
        with self.assertRaises(ValueError):
            m.get_int32(1, "DT10")
        self.assertEqual(m.get_int32(1, "DT10"), 42)
        with self.assertRaises(ValueError):
            m.script("set_coil", None)


if __name__ == "__main__":
    unittest.main()
