"""Shared set-up for the benchmarks: paths, a master whose operations return
at once, and a timer that reports medians."""
import os
import statistics
import sys
import tempfile
import time
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)


def set_up():
    """Puts the built module (QZR_KOV_BUILD or build/dev) and the stand-ins
    on the path and moves to a scratch folder for the log file."""
    build = os.path.abspath(os.environ.get("QZR_KOV_BUILD") or os.path.join(REPO, "build", "dev"))
    for p in (os.path.join(REPO, "sim", "stand_in"), os.path.join(REPO, "sim"), build, HERE):
        if p not in sys.path:
            sys.path.insert(0, p)
    global _START_DIR
    _START_DIR = os.getcwd()
    os.chdir(tempfile.mkdtemp(prefix="qzr_kov-bench-"))


_START_DIR = os.getcwd()


def json_path():
    """The file named after --json, relative to where the benchmark started."""
    return os.path.join(_START_DIR, sys.argv[sys.argv.index("--json") + 1])


class InstantMaster(object):
    """Answers every operation at once."""
    block = [1000, 1000, 50, 0, 0, 0, 0, 0, 0, 0, 0x20001]

    def close(self):
        pass

    def get_coil(self, station, name):
        return False

    def set_coil(self, station, name, value):
        pass

    def get_coil_uint16(self, station, name):
        return 0

    def set_coil_uint16(self, station, name, value):
        pass

    def get_int32(self, station, name):
        return 0

    def set_int32(self, station, name, value):
        pass

    def set_uint32(self, station, name, value):
        pass

    def get_multi_int32(self, station, name, count):
        return self.block

    def set_multi_uint32(self, station, name, values):
        pass


def per_call(statement, names, repeat=7, budget=0.2):
    """Median seconds per execution of `statement` (evaluated with `names`)
    over `repeat` runs, less the cost of an empty loop, each run taking about
    `budget` seconds."""
    timer = timeit.Timer(statement, globals=names)
    number, _ = timer.autorange()
    number = max(1, int(number * budget / 0.2))
    empty = timeit.Timer("pass").repeat(repeat, number)
    runs = timer.repeat(repeat, number)
    return max(0.0, statistics.median(runs) - statistics.median(empty)) / number


def python_version():
    return "%d.%d.%d" % sys.version_info[:3]
