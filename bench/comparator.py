"""The controller's operations written the obvious way in plain Python,
against the same master interface and the same `logger`: the yardstick the
benchmarks measure the extension against. Not used by anything else."""
import logging
import time

import qzr_kov
from qzr_kov import Direction, FindingOMethod, StopSource, logger

_MaxPulsePerSecond = qzr_kov._MaxPulsePerSecond
_sleep = time.sleep
_now = time.time


class KOVAxisController:
    def __init__(self, port, baudrate=115200):
        self.__mew = port
        self.baudrate = baudrate
        self._ppmm = {}
        self._find_o_threads = {}
        self._finding_o_method = FindingOMethod.LimitFirstThenBackward
        logger.info(f"KOV Axis Controller created with port {port}, baudrate {baudrate}")

    def set_ppmm(self, station: int, ppmm):
        assert ppmm != 0
        self._ppmm[station] = ppmm
        logger.info(f"Set PPMM to {ppmm} for station {station}")

    def ppmm(self, station: int):
        return self._ppmm.get(station, 1)

    def to_pulse(self, station: int, value: float):
        value = float(value)
        return int(value * self.ppmm(station))

    def from_pulse(self, station: int, value):
        return value / self.ppmm(station)

    def stop(self, station: int):
        self.__mew.set_coil(station, "R0", True)
        logger.info(f"Stop station {station}")

    def set_velocity(self, station: int, velocity: float):
        velocity = float(velocity)
        pps = self.to_pulse(station, velocity)
        assert pps <= _MaxPulsePerSecond
        self.__mew.set_uint32(station, "DT2", pps)
        logger.info(f"Set velocity to {velocity}, station {station}")

    def set_parameters(self, station: int, start_velocity: float, velocity: float,
                       acceleration_time: float):
        start_velocity, velocity = float(start_velocity), float(velocity)
        acceleration_time = float(acceleration_time)
        assert start_velocity > 0
        assert velocity >= start_velocity
        assert acceleration_time >= 0
        start_pps = self.to_pulse(station, start_velocity)
        pps = self.to_pulse(station, velocity)
        ms = int(acceleration_time * 1000)
        assert pps <= _MaxPulsePerSecond
        self.__mew.set_multi_uint32(station, "DT0", [start_pps, pps, ms])
        logger.info(f"Set (start velocity, velocity, acceleration time) to "
                    f"({start_velocity}, {velocity}, {acceleration_time})")

    def set_absolute_target(self, station: int, target):
        self.__mew.set_int32(station, "DT6", self.to_pulse(station, target))

    def locate_absolutely(self, station: int, target: float):
        target = float(target)
        self.set_absolute_target(station, target)
        self.__mew.set_coil(station, "R1", True)
        logger.info(f"Absolutely locating with target {target}, station {station}")

    def wait_for_locating_done(self, station: int, timeout: float = 0.0):
        timeout = float(timeout)
        begin = _now()
        while self.is_running(station):
            if timeout > 0 and _now() - begin > timeout:
                raise TimeoutError("定位超时")
            _sleep(0.01)
        stop_source = self.get_stop_source(station)
        logger.info(f"Station {station} locating done. Stop source: {stop_source}")
        if stop_source != StopSource.Null:
            raise IOError(f"定位动作因故未能完成:{stop_source}")

    def status_words(self, station: int):
        block = self.__mew.get_multi_int32(station, "DT10", 11)
        words = [0, 0, 0, 0, 0]
        words[0] = self.from_pulse(station, block[0])
        words[1] = self.from_pulse(station, block[1])
        words[2] = self.from_pulse(station, block[2])
        words[3] = block[10]
        return words

    def get_position(self, station: int, status_words=None):
        if status_words:
            return float(status_words[0])
        return self.from_pulse(station, self.__mew.get_int32(station, "DT10"))

    def set_position(self, station: int, position: float):
        position = float(position)
        self.__mew.set_int32(station, "DT10", self.to_pulse(station, position))

    def is_running(self, station: int, status_words=None):
        if status_words:
            return ((status_words[3] >> 16) & 2) != 0
        return self.__mew.get_coil(station, "Y1")

    def at_o(self, station: int, status_words=None):
        if status_words:
            return (status_words[3] & 1) != 0
        return self.__mew.get_coil(station, "X0")

    def get_stop_source(self, station: int):
        return StopSource(self.__mew.get_int32(station, "D20"))

    def get_coil(self, station: int, name: str):
        return self.__mew.get_coil(station, name)

    def negative_limit_is_disabled(self, station: int):
        return self.__mew.get_coil(station, "R12")

    def disable_alarm(self, station: int):
        self.__mew.set_coil(station, "R14", True)
        logger.info(f"Disable alarm, station {station}")

    def is_finding_o(self, station: int):
        return station in self._find_o_threads



class FileLogHandler(logging.Handler):
    """The daily log file handler, written the obvious way."""

    def __init__(self, filename: str, level: int = logging.INFO):
        super().__init__(level)
        self.__filename = filename

    def emit(self, record: logging.LogRecord) -> None:
        message = self.format(record) + "\n"
        with self.lock:
            with open(self.__filename, "a", encoding="utf8") as f:
                f.write(message)


__all__ = ["KOVAxisController", "FileLogHandler"]
