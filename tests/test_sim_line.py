"""The simulated line as a whole: stand-in module, registry, clocks, threads."""

import os
import sys
import threading
import unittest

_SIM = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sim")
for _path in (_SIM, os.path.join(_SIM, "stand_in")):
    if _path not in sys.path:
        sys.path.insert(0, _path)

import qzr_kov_sim  # noqa: E402
import qzr_mew  # noqa: E402
from qzr_kov_sim import (CommunicationError, ScaledClock, SimulatedLine,  # noqa: E402
                         StationError, VirtualClock)


class StandInTest(unittest.TestCase):
    def tearDown(self):
        qzr_kov_sim.set_line_factory(None)

    def test_master_is_a_registered_simulated_line(self):
        master = qzr_mew.MewMaster("/dev/ttyS9", baudrate=57600)
        self.assertIsInstance(master, SimulatedLine)
        self.assertIs(qzr_kov_sim.lines["/dev/ttyS9"], master)
        self.assertEqual((master.init_args, master.init_kwargs),
                         (("/dev/ttyS9",), {"baudrate": 57600}))
        self.assertEqual(master.baudrate, 57600)
        again = qzr_mew.MewMaster("/dev/ttyS9")
        self.assertIsNot(again, master)
        self.assertIs(qzr_kov_sim.lines["/dev/ttyS9"], again)
        with self.assertRaises(TypeError):
            qzr_mew.MewMaster("/dev/ttyS9", 57600)

    def test_factory_chooses_the_line(self):
        clock = VirtualClock()
        made = []

        def factory(port, baudrate):
            made.append((port, baudrate))
            return SimulatedLine(port, baudrate=baudrate, clock=clock,
                                 layout=lambda number: {"physical_position": number})
        self.assertIsNone(qzr_kov_sim.set_line_factory(factory))
        master = qzr_mew.MewMaster("p")
        self.assertEqual(made, [("p", 115200)])
        self.assertIs(master.clock, clock)
        self.assertEqual(master.station(7).physical_position, 7)
        self.assertIs(qzr_kov_sim.set_line_factory(None), factory)

    def test_reopening_keeps_the_stations(self):
        qzr_kov_sim.set_line_factory(qzr_kov_sim.reopen_closed_lines)
        first = qzr_mew.MewMaster("reopen")
        line = qzr_mew.MewMaster("reopen")
        self.assertIsNot(line, first, "the first one is still open")
        line.station(1).physical_position = 123
        line.close()
        again = qzr_mew.MewMaster("reopen", baudrate=9600)
        self.assertIs(again, line)
        self.assertEqual((again.closed, again.baudrate), (False, 9600))
        self.assertEqual(again.station(1).physical_position, 123)


class LineTest(unittest.TestCase):
    def test_stations_and_their_memory(self):
        line = SimulatedLine(stations=[2], auto_stations=False, clock=VirtualClock())
        line.set_uint32(2, "DT2", 5000)
        self.assertEqual(line.register(2, "DT2"), 5000)
        self.assertEqual(line.get_coil(2, "X3"), True, "emergency input is normally closed")
        self.assertFalse(line.get_coil(2, "R1"), "command coils clear themselves")
        with self.assertRaises(CommunicationError):
            line.get_coil(3, "Y1")
        with self.assertRaises(StationError):
            line.set_coil(2, "X0", True)
        with self.assertRaises(StationError):
            line.set_coil_uint16(2, "Y0", 0b10)
        line.set_coil_uint16(2, "R10", 0b1001)
        self.assertEqual(line.get_coil_uint16(2, "R10"), 0b1001)
        self.assertEqual(line.get_int32(2, "D20"), 0)
        self.assertIs(line.add_station(3, origin_at=None).origin_at, None)
        self.assertEqual(sorted(line.stations), [2, 3])

    def test_failed_start_does_not_move(self):
        line = SimulatedLine(clock=VirtualClock())
        line.set_uint32(1, "DT2", 1000)
        line.fail_on("set_coil", CommunicationError, name="R4")
        with self.assertRaises(CommunicationError):
            line.set_coil(1, "R4", True)
        self.assertFalse(line.station(1).moving)
        line.close()
        with self.assertRaises(CommunicationError):
            line.get_coil(1, "Y1")
        self.assertIs(line.reopen().get_coil(1, "Y1"), False)

    def test_exchanges_take_clock_time(self):
        clock = VirtualClock()
        line = SimulatedLine(clock=clock, exchange_time=0.004)
        line.set_multi_uint32(1, "DT0", [0, 1000, 0])
        line.set_coil(1, "R4", True)
        for _ in range(25):
            line.get_coil(1, "Y1")
        self.assertEqual(line.station(1).count, 100)

    def test_threads_share_the_line(self):
        clock = VirtualClock()
        line = SimulatedLine(clock=clock, exchange_time=0.002)
        errors = []

        def drive(station):
            try:
                line.set_multi_uint32(station, "DT0", [100, 2000, 50, 0, 300 * station])
                for _ in range(3):
                    line.set_coil(station, "R2", True)
                    while line.get_coil(station, "Y1"):
                        line.get_multi_int32(station, "DT10", 11)
            except Exception as error:      # reported below
                errors.append(error)
        threads = [threading.Thread(target=drive, args=(n,)) for n in (1, 2, 3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        self.assertEqual(errors, [])
        self.assertEqual([line.register(n, "DT10") for n in (1, 2, 3)], [900, 1800, 2700])
        self.assertEqual([line.register(n, "D20") for n in (1, 2, 3)], [0, 0, 0])


class ClockTest(unittest.TestCase):
    def test_virtual_clock(self):
        clock = VirtualClock(start=5.0, yield_time=0)
        clock.sleep(0.25)
        clock.advance(1)
        self.assertEqual(clock.time(), 6.25)
        with self.assertRaises(ValueError):
            clock.sleep(-1)

    def test_scaled_clock_runs_faster(self):
        clock = ScaledClock(1000.0, start=0.0)
        clock.sleep(2.0)
        self.assertGreaterEqual(clock.time(), 2.0)
        with self.assertRaises(ValueError):
            ScaledClock(0)


if __name__ == "__main__":
    unittest.main()
