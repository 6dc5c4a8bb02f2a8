"""Hostile input: every public method, the constructor, FileLogHandler and
Direction.reverse called at random with arguments that are wrong in every
way we could think of, over masters that fail or answer nonsense.

Any Exception raised to the caller is fine. A crash, a SystemError, a hang, an
exception escaping a homing worker, or an "Exception ignored" report other
than the one a controller's __del__ gives when its close fails, is not.

The run happens in a child interpreter so that a crash is reported with the
calls that led to it. In the suite it is short and seeded; for a long run:

    QZR_KOV_FUZZ_SECONDS=600 [QZR_KOV_FUZZ_SEED=7] python3 -m unittest tests.test_fuzz
"""
import gc
import json
import logging
import os
import random
import sys
import tempfile
import textwrap
import threading
import time
import unittest
import warnings

from tests import support
from tests.support import qzr_kov
from qzr_kov_sim import SimulatedLine, VirtualClock

KOV = qzr_kov.KOVAxisController
Direction, StopSource, FindingOMethod = (
    qzr_kov.Direction, qzr_kov.StopSource, qzr_kov.FindingOMethod)

DEFAULT_SEED = 20240607
SUITE_STEPS = 5000
SUITE_STEPS_OPTIMIZED = 1500
# Sleeps one call (or one homing worker) may take on the virtual clock
# before the harness ends its wait; a wait with no time limit on an axis that
# never stops is documented behaviour, not a hang.
SLEEP_BUDGET = 200
THREAD_JOIN_LIMIT = 60.0


class Boom(Exception):
    """Raised by the hostile objects' special methods."""


class MasterError(Exception):
    """Raised by the hostile master."""


class Stuck(Exception):
    """Raised by the harness's clock once a wait has used its budget."""


# ---------------------------------------------------------------------------
# Hostile values


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class ListSub(list):
    pass


def _boom(what):
    def method(self, *args, **kwargs):
        raise Boom(what)
    return method


def _returns(value):
    def method(self, *args, **kwargs):
        return value
    return method


class Hostile(object):
    """Base of the hostile objects: hashable, printable, harmless unless a
    subclass overrides a special method."""

    def __repr__(self):
        return "<%s>" % type(self).__name__


def hostile(name, **methods):
    return type(name, (Hostile,), methods)


class BadTruth(object):
    __bool__ = _boom("__bool__ of a comparison result")


FloatRaises = hostile("FloatRaises", __float__=_boom("__float__"))
FloatWrongType = hostile("FloatWrongType", __float__=_returns("1.5"))
FloatReturnsSub = hostile("FloatReturnsSub", __float__=_returns(FloatSub(2.5)))
IndexRaises = hostile("IndexRaises", __index__=_boom("__index__"))
IndexWrongType = hostile("IndexWrongType", __index__=_returns(1.5))
IndexOnly = hostile("IndexOnly", __index__=_returns(3))
IntRaises = hostile("IntRaises", __int__=_boom("__int__"))
BoolRaises = hostile("BoolRaises", __bool__=_boom("__bool__"))
BoolWrongType = hostile("BoolWrongType", __bool__=_returns(2))
LenRaises = hostile("LenRaises", __len__=_boom("__len__"))
EqRaises = hostile("EqRaises", __eq__=_boom("__eq__"), __ne__=_boom("__ne__"),
                   __hash__=lambda self: 1)
EqBadTruth = hostile("EqBadTruth", __eq__=_returns(BadTruth()), __ne__=_returns(BadTruth()),
                     __hash__=lambda self: 1)
CompareRaises = hostile("CompareRaises", __lt__=_boom("__lt__"), __le__=_boom("__le__"),
                        __gt__=_boom("__gt__"), __ge__=_boom("__ge__"),
                        __float__=_returns(1.0))
FormatRaises = hostile("FormatRaises", __format__=_boom("__format__"))
FormatWrongType = hostile("FormatWrongType", __format__=_returns(42))
StrRaises = hostile("StrRaises", __str__=_boom("__str__"), __repr__=_boom("__repr__"))
HashRaises = hostile("HashRaises", __hash__=_boom("__hash__"))
HashWrongType = hostile("HashWrongType", __hash__=_returns("x"))
NegRaises = hostile("NegRaises", __neg__=_boom("__neg__"))
ArithmeticWeird = hostile("ArithmeticWeird", __mul__=_returns("pulses"), __rmul__=_returns("pulses"),
                          __truediv__=_returns(FormatRaises()),
                          __rtruediv__=_returns(FormatRaises()),
                          __sub__=_returns(BadTruth()), __rsub__=_returns(BadTruth()),
                          __rshift__=_returns(EqRaises()), __and__=_returns(EqBadTruth()),
                          __float__=_returns(3.0), __neg__=_returns(7))
ArithmeticRaises = hostile("ArithmeticRaises", __mul__=_boom("__mul__"), __rmul__=_boom("__rmul__"),
                           __truediv__=_boom("__truediv__"), __rtruediv__=_boom("__rtruediv__"),
                           __rshift__=_boom("__rshift__"), __and__=_boom("__and__"),
                           __float__=_returns(2.0), __index__=_returns(2))


class GetitemRaises(list):
    def __getitem__(self, index):
        raise Boom("__getitem__")


class IntWeirdShift(int):
    def __rshift__(self, other):
        return ArithmeticWeird()

    def __and__(self, other):
        return EqBadTruth()


class Meddler(Hostile):
    """Answers like a small number, but first changes the controller under
    the call: closes it, swaps or removes its fields, or empties the
    module's names. Catches code that holds on to something it no longer
    owns."""

    def __init__(self, fuzzer):
        self.fuzzer = fuzzer

    def meddle(self):
        self.fuzzer.meddle()

    def __float__(self):
        self.meddle()
        return 1.0

    def __index__(self):
        self.meddle()
        return 1

    def __bool__(self):
        self.meddle()
        return True

    def __eq__(self, other):
        self.meddle()
        return False

    def __ne__(self, other):
        self.meddle()
        return True

    def __hash__(self):
        self.meddle()
        return 1

    def __format__(self, format_spec):
        self.meddle()
        return "meddler"

    def __len__(self):
        self.meddle()
        return 5

    def __getitem__(self, index):
        self.meddle()
        return 0


class HostileLock(object):
    """Stands in for a handler's lock: entering or leaving may fail."""

    def __init__(self, rng):
        self.enter_fails = rng.random() < 0.5
        self.exit_fails = rng.random() < 0.5

    def __enter__(self):
        if self.enter_fails:
            raise Boom("lock enter")

    def __exit__(self, *exc):
        if self.exit_fails:
            raise Boom("lock exit")
        return False

    # logging.Handler.handle() uses these around emit().
    def acquire(self):
        pass

    def release(self):
        pass


PLAUSIBLE = {
    "station": lambda rng: rng.choice((1, 2, 3, 4, 5, 6, 7, 8, 0, 99, 100)),
    "axis": lambda rng: rng.choice((1, 2, 3)),
    "ppmm": lambda rng: rng.choice((1, 2, 100, 0.5, -3, 200.5, 1e-6)),
    "value": lambda rng: rng.choice((True, False, 0, 1, 4660, 2.5, -1, Direction.Positive,
                                     FindingOMethod.OriginOnly)),
    "velocity": lambda rng: rng.choice((0.0, 10.0, 500.0, 70000.0, 70001.0, -5.0, 1e9)),
    "start_velocity": lambda rng: rng.choice((1.0, 100.0, 2000.0, 0.0, -1.0)),
    "acceleration_time": lambda rng: rng.choice((0.0, 0.1, 0.5, -0.1, 1e6)),
    "time": lambda rng: rng.choice((0.0, 0.1, 0.0015, -1.0, 1e12)),
    "target": lambda rng: rng.choice((None, 0.0, 10.0, -2.5, 1e6, 1e12, 12)),
    "position": lambda rng: rng.choice((0.0, 10.0, -2.5, 1e10)),
    "timeout": lambda rng: rng.choice((None, 0.0, 0.05, 1.0, -1.0, 1e9)),
    "name": lambda rng: rng.choice(("R0", "R13", "X0", "Y1", "Y2", "DT10", "", None, "Q7")),
    "status_words": lambda rng: rng.choice((None, [], [0, 0, 0, 131072, 0], [0, 0, 0, -1, 0],
                                            [1.5, 0, 0, 31, 0], [1])),
    "direction": lambda rng: rng.choice((Direction.Negative, Direction.Positive, -1, 1, 0)),
    "force": lambda rng: rng.choice((False, True, 0, 1)),
    "port": lambda rng: rng.choice((None, "", "COM1", "sim")),
    "baudrate": lambda rng: rng.choice((115200, 9600, 0, -1)),
    "filename": lambda rng: rng.choice(("fuzz.log", "", None, ".")),
    "level": lambda rng: rng.choice((20, 0, 50, "INFO")),
}


def value_pool(fuzzer):
    """(label, factory) pairs: each factory makes a fresh value."""
    rng = fuzzer.rng
    return [
        ("None", lambda: None), ("True", lambda: True), ("False", lambda: False),
        ("0", lambda: 0), ("1", lambda: 1), ("3", lambda: 3), ("-1", lambda: -1),
        ("2**31", lambda: 2 ** 31), ("-2**31-1", lambda: -2 ** 31 - 1), ("2**64", lambda: 2 ** 64),
        ("10**400", lambda: 10 ** 400), ("-10**400", lambda: -10 ** 400),
        ("1.5", lambda: 1.5), ("-0.0", lambda: -0.0), ("nan", lambda: float("nan")),
        ("inf", lambda: float("inf")), ("-inf", lambda: float("-inf")), ("1e308", lambda: 1e308),
        ("5e-324", lambda: 5e-324), ("70000.5", lambda: 70000.5), ("0.001", lambda: 0.001),
        ("''", lambda: ""), ("'R0'", lambda: "R0"), ("'Y1'", lambda: "Y1"), ("'X4'", lambda: "X4"),
        ("'DT10'", lambda: "DT10"), ("'R99999999999'", lambda: "R99999999999"),
        ("'\\x00'", lambda: "\x00"), ("'\\ud800'", lambda: "\ud800"), ("'中文'", lambda: "中文"),
        ("'%s %d'", lambda: "%s %d"), ("'x'*65536", lambda: "x" * 65536),
        ("b'R0'", lambda: b"R0"), ("bytearray", lambda: bytearray(b"X0")),
        ("memoryview", lambda: memoryview(b"DT10")),
        ("[]", lambda: []), ("[0]*5", lambda: [0] * 5), ("[1]", lambda: [1]),
        ("[0,0,0,-1,0]", lambda: [0, 0, 0, -1, 0]), ("[0,0,0,131072,0]", lambda: [0, 0, 0, 131072, 0]),
        ("[0,0,0,'x',0]", lambda: [0, 0, 0, "x", 0]), ("[0,0,0,1.5,0]", lambda: [0, 0, 0, 1.5, 0]),
        ("[None]*5", lambda: [None] * 5), ("(0,0,0,16,0)", lambda: (0, 0, 0, 16, 0)),
        ("[0,0,0,2**100,0]", lambda: [0, 0, 0, 2 ** 100, 0]),
        ("{3: 1}", lambda: {3: 1}), ("{}", lambda: {}), ("set()", lambda: set()),
        ("range(5)", lambda: range(5)), ("object()", lambda: object()), ("Ellipsis", lambda: Ellipsis),
        ("NotImplemented", lambda: NotImplemented), ("int", lambda: int), ("len", lambda: len),
        ("Boom()", lambda: Boom("as a value")), ("IntSub(3)", lambda: IntSub(3)),
        ("IntSub(-1)", lambda: IntSub(-1)), ("FloatSub(2.5)", lambda: FloatSub(2.5)),
        ("StrSub('R0')", lambda: StrSub("R0")), ("ListSub", lambda: ListSub([0, 0, 0, 1, 0])),
        ("GetitemRaises", lambda: GetitemRaises([0, 0, 0, 0, 0])),
        ("IntWeirdShift", lambda: IntWeirdShift(5)),
        ("[0,0,0,IntWeirdShift,0]", lambda: [0, 0, 0, IntWeirdShift(131072), 0]),
        ("Direction.Negative", lambda: Direction.Negative),
        ("Direction.Positive", lambda: Direction.Positive),
        ("StopSource.Origin", lambda: StopSource.Origin),
        ("FindingOMethod.OriginOnly", lambda: FindingOMethod.OriginOnly),
        ("FindingOMethod.LimitFirstThenBackward", lambda: FindingOMethod.LimitFirstThenBackward),
        ("logging.INFO", lambda: logging.INFO),
    ] + [(cls.__name__, cls) for cls in (
        FloatRaises, FloatWrongType, FloatReturnsSub, IndexRaises, IndexWrongType, IndexOnly,
        IntRaises, BoolRaises, BoolWrongType, LenRaises, EqRaises, EqBadTruth, CompareRaises,
        FormatRaises, FormatWrongType, StrRaises, HashRaises, HashWrongType, NegRaises,
        ArithmeticWeird, ArithmeticRaises)] + [
        ("Meddler", lambda: Meddler(fuzzer)),
        ("HostileLock", lambda: HostileLock(rng)),
    ]


# ---------------------------------------------------------------------------
# Hostile masters


class HostileMaster(object):
    """A simulated line that, at random, fails or answers nonsense."""

    OPS = ("get_coil", "set_coil", "get_coil_uint16", "set_coil_uint16", "get_int32",
           "set_int32", "set_uint32", "get_multi_int32", "set_multi_uint32")

    def __init__(self, fuzzer, rate):
        self.fuzzer = fuzzer
        self.rate = rate
        # Answers in the fuzzing thread come from a stream of their own: how
        # many calls a homing run makes depends on timing, and must not
        # change the calls the fuzzer makes next.
        self.rng = random.Random(fuzzer.rng.random())
        self.line = SimulatedLine("fuzz", clock=fuzzer.clock, layout={"physical_position": 2000})
        for op in self.OPS:
            setattr(self, op, self._operation(op))

    def _operation(self, op):
        delegate = getattr(self.line, op)

        def operation(*args, **kwargs):
            rng = self.stream()
            roll = rng.random()
            if roll < self.rate / 2:
                raise MasterError("%s failed" % op)
            if roll < self.rate:
                return self.fuzzer.rng_value(rng)[1]
            if op == "get_multi_int32" and roll < self.rate * 1.5:
                return [self.fuzzer.rng_value(rng)[1] for _ in range(rng.randrange(12))]
            return delegate(*args, **kwargs)
        return operation

    def stream(self):
        if threading.current_thread() is self.fuzzer.thread:
            return self.rng
        return self.fuzzer.thread_rng()

    def close(self):
        if self.stream().random() < self.rate:
            raise MasterError("close failed")
        self.line.close()


class MissingOperations(object):
    """A master that has none of the operations."""


# ---------------------------------------------------------------------------
# The fuzzer


class Fuzzer(object):
    """Makes random calls on controllers, handlers and enumerations."""

    def __init__(self, seed, journal):
        self.seed = seed
        self.rng = random.Random(seed)
        self.journal = journal
        self.clock = VirtualClock(yield_time=0)
        self.local = threading.local()
        self.pool = value_pool(self)
        self.controllers = []
        self.saved_globals = {}
        self.meddling = False
        self.calls = 0
        self.outcomes = {}
        self.thread = threading.current_thread()
        self.seed_lock = threading.Lock()
        self.worker_seeds = random.Random(seed + 1)

    # -- randomness that worker threads may use too ---------------------------

    def thread_rng(self):
        """The caller's generator: the main one in the fuzzing thread; in a
        worker, one of its own, seeded from the main sequence when the worker
        first asks (workers are joined after every call, so the order is
        reproducible)."""
        if threading.current_thread() is self.thread:
            return self.rng
        rng = getattr(self.local, "rng", None)
        if rng is None:
            with self.seed_lock:
                rng = self.local.rng = random.Random(self.worker_seeds.random())
        return rng

    def rng_value(self, rng):
        label, make = rng.choice(self.pool)
        return label, make()

    # -- the module's clock -------------------------------------------------

    def sleep(self, seconds):
        used = getattr(self.local, "sleeps", 0) + 1
        self.local.sleeps = used
        if used > SLEEP_BUDGET:
            raise Stuck("sleep budget used up")
        self.clock.advance(0.01 if not isinstance(seconds, float) or not seconds >= 0 else seconds)
        if used % 16 == 0:
            time.sleep(0)   # let the other threads run

    def now(self):
        return self.clock.time()

    def install_clock(self):
        qzr_kov._sleep = self.sleep
        qzr_kov._now = self.now

    # -- the harness --------------------------------------------------------

    def new_master(self):
        roll = self.rng.random()
        if roll < 0.85:
            return "HostileMaster", HostileMaster(self, self.rng.choice((0.0, 0.02, 0.1, 0.3)))
        if roll < 0.9:
            return "MissingOperations", MissingOperations()
        return self.rng_value(self.rng)

    def master_factory(self, *args, **kwargs):
        if self.rng.random() < 0.2:
            raise MasterError("cannot open")
        return HostileMaster(self, self.rng.choice((0.0, 0.05, 0.3)))

    def controller(self):
        if not self.controllers or self.rng.random() < 0.05:
            label, master = self.new_master()
            try:
                c = KOV(master)
            except Exception:
                c = KOV(None)
            self.controllers.append(c)
            if len(self.controllers) > 4:
                self.drop(self.controllers.pop(0))
        return self.rng.choice(self.controllers)

    def drop(self, c):
        """Lets a controller go; most of the time with its results collected."""
        if self.rng.random() < 0.8:
            try:
                c._find_o_threads = {}
            except Exception:
                pass

    def meddle(self):
        if self.meddling or not self.controllers:
            return
        self.meddling = True
        rng = self.thread_rng()
        try:
            c = rng.choice(self.controllers)
            choice = rng.randrange(8)
            if choice == 0:
                c.close(force=True)
            elif choice == 1:
                c._ppmm = {}
            elif choice == 2:
                del c._ppmm
            elif choice == 3:
                c._find_o_threads = {}
            elif choice == 4:
                c._KOVAxisController__mew = None
            elif choice == 5:
                c._KOVAxisController__mew = HostileMaster(self, 0.3)
            elif choice == 6 and rng is self.rng:
                self.perturb_global()
            else:
                gc.collect()
        except Exception:
            pass
        finally:
            self.meddling = False

    GLOBALS = ("logger", "StopSource", "Direction", "FindingOMethod", "_MaxPulsePerSecond",
               "_Thread", "_MewMaster", "_now")

    def perturb_global(self):
        name = self.rng.choice(self.GLOBALS)
        if name not in self.saved_globals:
            self.saved_globals[name] = getattr(qzr_kov, name)
        if self.rng.random() < 0.3:
            delattr(qzr_kov, name)
        else:
            setattr(qzr_kov, name, self.rng_value(self.rng)[1])

    def restore_globals(self):
        for name, value in self.saved_globals.items():
            setattr(qzr_kov, name, value)
        self.saved_globals.clear()
        qzr_kov._MewMaster = self.master_factory
        self.install_clock()

    # -- one call -------------------------------------------------------------

    def arguments(self, params):
        """Positional and keyword arguments for a function with PARAMS
        (names after self): mostly the right count, sometimes not."""
        rng = self.rng
        labels, args, kwargs = [], [], {}
        roll = rng.random()
        count = len(params)
        if roll < 0.1:
            count = rng.randrange(count + 3)
        elif roll < 0.2:
            count = max(count - 1, 0)
        positional = rng.randrange(count + 1) if rng.random() < 0.3 else count
        for i in range(count):
            name = params[i] if i < len(params) else None
            if name in PLAUSIBLE and rng.random() < 0.6:
                value = PLAUSIBLE[name](rng)
                try:
                    label = repr(value)
                except Exception:
                    label = type(value).__name__
            else:
                label, value = self.rng_value(rng)
            if i < positional or i >= len(params):
                args.append(value)
                labels.append(label)
            else:
                kwargs[params[i]] = value
                labels.append("%s=%s" % (params[i], label))
        if rng.random() < 0.05:
            label, value = self.rng_value(rng)
            name = rng.choice(("station", "stations", "axis", "timeout", "value", "x", params[0] if params else "self"))
            kwargs[name] = value
            labels.append("%s=%s" % (name, label))
        return args, kwargs, labels

    def targets(self):
        """What the next call is made on: (label, callable, parameter names)."""
        rng = self.rng
        roll = rng.random()
        if roll < 0.03:
            return "KOVAxisController", KOV, ["port", "baudrate"]
        if roll < 0.05:
            return "FileLogHandler", qzr_kov.FileLogHandler, ["filename", "level"]
        if roll < 0.08:
            return self.handler_call()
        if roll < 0.1:
            label, member = rng.choice([("Direction.Negative", Direction.Negative),
                                        ("Direction.Positive", Direction.Positive)])
            if rng.random() < 0.5:
                return label + ".reverse", member.reverse, []
            return "Direction.reverse", Direction.reverse, ["self"]
        if roll < 0.12:
            # Unbound, with any object as self.
            if rng.random() < 0.1:
                prop = KOV.finding_o_method
                if rng.random() < 0.5:
                    return "KOVAxisController.finding_o_method.fset", prop.fset, ["self", "value"]
                return "KOVAxisController.finding_o_method.fget", prop.fget, ["self"]
            name = rng.choice(METHODS)
            function = getattr(KOV, name)
            return "KOVAxisController." + name, function, ["self"] + parameters(function)
        c = self.controller()
        if roll < 0.22:
            return self.scenario(c)
        if roll < 0.15:
            return "c.finding_o_method=", lambda value: setattr(c, "finding_o_method", value), ["value"]
        if roll < 0.17:
            return "c.finding_o_method", lambda: c.finding_o_method, []
        if roll < 0.19:
            field = rng.choice(FIELDS)
            return "c.%s=" % field, lambda value: setattr(c, field, value), ["value"]
        name = rng.choice(METHODS)
        method = getattr(c, name)
        return "c." + name, method, parameters(getattr(KOV, name))

    def scenario(self, c):
        """A sensible sequence, so that the hostile master and the meddling
        reach the moves, the waits and the homing workers."""
        rng = self.rng
        station = rng.randrange(1, 5)
        direction = rng.choice((Direction.Negative, Direction.Positive))
        timeout = rng.choice((None, 0.0, 0.5, 5.0))
        kind = rng.randrange(4)
        if kind == 0:
            method = rng.choice(tuple(FindingOMethod))

            def home():
                c.finding_o_method = method
                c.find_o(station, 2000.0, 20000.0, 0.1, direction)
                return c.wait_for_find_o_finish(station, timeout)
            return "home(%d, %s, timeout=%r)" % (station, direction.name, timeout), home, []
        if kind == 1:
            def home_and_leave():
                c.find_o(station, 100.0, 200.0, 0.0, direction)
            return "find_o(%d, %s)" % (station, direction.name), home_and_leave, []
        target = rng.choice((0.0, 100.0, -100.0, 5000.0))
        wait = rng.choice((0.0, 0.05, 1.0))
        def move():
            c.set_parameters(station, 1000.0, 10000.0, 0.05)
            c.locate_absolutely(station, target)
            c.wait_for_locating_done(station, wait)
        return "move(%d, %r, wait=%r)" % (station, target, wait), move, []

    def handler_call(self):
        rng = self.rng
        path = rng.choice(("fuzz.log", "no-such-dir/fuzz.log", "", "."))
        handler = qzr_kov.FileLogHandler(path)
        what = [path]
        if rng.random() < 0.5:
            handler.setFormatter(logging.Formatter("%(message)s"))
        if rng.random() < 0.3:
            handler.lock = HostileLock(rng)
            what.append("hostile lock")
        if rng.random() < 0.2:
            handler._FileLogHandler__filename = self.rng_value(rng)[1]
            what.append("hostile file name")
        if rng.random() < 0.5:
            record = logging.LogRecord("fuzz", logging.INFO, __file__, 1, self.rng_value(rng)[1],
                                       None, None)
            return "handler(%s).emit(record)" % ", ".join(what), (lambda: handler.emit(record)), []
        return "handler(%s).emit" % ", ".join(what), handler.emit, ["record"]

    def step(self):
        self.local.sleeps = 0
        try:
            outcome = self.call()
        finally:
            self.restore_globals()
        self.outcomes[outcome] = self.outcomes.get(outcome, 0) + 1

    def call(self):
        """Makes one call; returns what came of it."""
        label, function, params = self.targets()
        args, kwargs, labels = self.arguments(params)
        if self.rng.random() < 0.02:
            self.perturb_global()
            labels.append("with %s" % ", ".join(sorted(self.saved_globals)))
        description = "%s(%s)" % (label, ", ".join(labels))
        self.journal.write(description + "\n")
        self.journal.flush()
        self.calls += 1
        try:
            result = function(*args, **kwargs)
        except SystemError as e:
            raise Defect("%s raised SystemError: %s" % (description, e),
                         kind="SystemError from %s: %s" % (label.split("(")[0], e))
        except Exception as e:  # noqa: B902 - any ordinary error is an answer
            outcome = type(e).__name__
        else:
            outcome = "returned"
            if label == "c.is_finding_o" and result not in (True, False):
                raise Defect("%s returned %r" % (description, result))
            if label == "c.wait_for_find_o_finish" and result not in (True, False, None):
                raise Defect("%s returned %r" % (description, result))
        del args, kwargs
        self.join_workers(description)
        return outcome

    def join_workers(self, description):
        for thread in threading.enumerate():
            if thread is threading.current_thread() or thread.daemon:
                continue
            thread.join(THREAD_JOIN_LIMIT)
            if thread.is_alive():
                raise Defect("a thread still runs %.0f s after %s" % (THREAD_JOIN_LIMIT, description))

    def finish(self):
        for c in self.controllers:
            try:
                c._find_o_threads = {}
            except Exception:
                pass
        del self.controllers[:]
        gc.collect()


def parameters(function):
    """The parameter names of one of the module's methods, self left out."""
    return [name for name in function.__signature__.parameters if name != "self"]


METHODS = [name for name, value in vars(KOV).items() if callable(value)]
FIELDS = ["_KOVAxisController__mew", "baudrate", "_ppmm", "_find_o_threads", "_finding_o_method"]


class Defect(Exception):
    def __init__(self, message, kind=None):
        Exception.__init__(self, message)
        self.kind = kind or message.splitlines()[0]


# ---------------------------------------------------------------------------
# The child side


class StderrWatch(object):
    """Takes the place of sys.stderr and keeps what is written to it."""

    def __init__(self):
        self.parts = []
        self.lock = threading.Lock()

    def write(self, text):
        with self.lock:
            self.parts.append(text)
        return len(text)

    def flush(self):
        pass

    def take(self):
        with self.lock:
            text = "".join(self.parts)
            del self.parts[:]
        return text


def unexpected_reports(text):
    """The parts of TEXT (what reached stderr) that are not the documented
    report of a controller's __del__ whose close failed."""
    bad = []
    blocks = text.split("Exception ignored in: ")
    if blocks[0].strip():
        bad.append(blocks[0])
    for block in blocks[1:]:
        lines = [line for line in block.splitlines() if line.strip()]
        where = lines[0]
        in_del = (where.startswith("<function KOVAxisController.__del__ at")
                  or where.startswith("<bound method KOVAxisController.__del__ of"))
        if not in_del or lines[-1].startswith("SystemError"):
            bad.append(block)
    return bad


def record(summary, seed, defect, kind):
    """Adds a defect to the summary, once per kind."""
    import re
    kind = re.sub(r"0x[0-9a-f]+", "0x?", kind)
    kinds = summary.setdefault("kinds", [])
    if kind not in kinds:
        kinds.append(kind)
        summary["defects"].append("seed %d: %s" % (seed, defect))


def child_main():
    """Entry point of the child interpreter (see FuzzTest.run_child)."""
    import faulthandler
    settings = json.loads(os.environ["QZR_KOV_FUZZ_CHILD"])
    faulthandler.enable(sys.__stderr__)
    watchdog = settings["seconds"] + 600
    faulthandler.dump_traceback_later(watchdog, exit=True)
    warnings.simplefilter("ignore")
    watch = StderrWatch()
    sys.stderr = watch
    summary = {"steps": 0, "defects": [], "outcomes": {}}
    seed = settings["seed"]
    deadline = time.time() + settings["seconds"]
    journal = open(settings["journal"], "w", encoding="utf-8", errors="backslashreplace")
    try:
        while True:
            fuzzer = Fuzzer(seed, journal)
            journal.write("== seed %d\n" % seed)
            fuzzer.restore_globals()
            for i in range(settings["steps"]):
                try:
                    fuzzer.step()
                except Defect as e:
                    record(summary, seed, str(e), e.kind)
                if i % 25 == 24 or i == settings["steps"] - 1:
                    if i == settings["steps"] - 1:
                        fuzzer.finish()
                    gc.collect()
                    for report in unexpected_reports(watch.take()):
                        record(summary, seed, "unexpected report on stderr near call %d:\n%s"
                               % (fuzzer.calls, report), report.splitlines()[0])
            summary["steps"] += fuzzer.calls
            for k, v in fuzzer.outcomes.items():
                summary["outcomes"][k] = summary["outcomes"].get(k, 0) + v
            if time.time() >= deadline or len(summary["defects"]) >= 10:
                break
            seed += 1
    finally:
        journal.close()
        sys.stderr = sys.__stderr__
    sys.stdout.write("FUZZ-SUMMARY " + json.dumps(summary) + "\n")
    sys.stdout.flush()


# ---------------------------------------------------------------------------
# The tests


class FuzzTest(unittest.TestCase):
    def run_child(self, optimize, steps):
        seconds = float(os.environ.get("QZR_KOV_FUZZ_SECONDS", "0"))
        seed = int(os.environ.get("QZR_KOV_FUZZ_SEED", DEFAULT_SEED)) + (1000 if optimize else 0)
        cwd = tempfile.mkdtemp(prefix="fuzz-", dir=support.WORKDIR)
        journal = os.path.join(cwd, "journal.txt")
        settings = dict(seed=seed, steps=steps, seconds=seconds, journal=journal)
        env = {"QZR_KOV_FUZZ_CHILD": json.dumps(settings), "PYTHONHASHSEED": "0",
               "PYTHONPATH": os.pathsep.join([support.REPO] + support.SEARCH_PATH)}
        code = "from tests import test_fuzz; test_fuzz.child_main()"
        result = support.run_python(code, cwd=cwd, optimize=optimize, env=env,
                                    timeout=seconds + 900)
        summary = None
        for line in result.stdout.splitlines():
            if line.startswith("FUZZ-SUMMARY "):
                summary = json.loads(line[len("FUZZ-SUMMARY "):])
        if summary is None or result.returncode != 0:
            with open(journal, encoding="utf-8") as f:
                tail = f.read().splitlines()[-8:]
            self.fail("the fuzzing interpreter ended with %d (seed %d); last calls:\n  %s\n"
                      "stderr:\n%s" % (result.returncode, seed, "\n  ".join(tail),
                                       result.stderr[-6000:]))
        self.assertEqual(summary["defects"], [])
        self.assertGreater(summary["steps"], 0)
        # The run must have reached the bodies, not only the argument checks.
        self.assertGreater(summary["outcomes"].get("returned", 0), summary["steps"] // 20,
                           summary["outcomes"])
        return summary

    def test_hostile_calls(self):
        self.run_child(False, SUITE_STEPS)

    def test_hostile_calls_without_assertions(self):
        self.run_child(True, SUITE_STEPS_OPTIMIZED)


class FoundByFuzzingTest(unittest.TestCase):
    """Cases the fuzzer found, kept as plain tests. Each runs in a child
    interpreter: on an interpreter built for debugging they abort."""

    def test_write_and_lock_exit_both_fail(self):
        # The lock's error is raised, with the write's error as its context,
        # as a try/finally in Python gives.
        code = textwrap.dedent("""
            import logging, qzr_kov

            class Lock(object):
                def __enter__(self):
                    return self

                def __exit__(self, *exc):
                    raise KeyError("exit")

            h = qzr_kov.FileLogHandler("x.log")
            h.lock = Lock()
            h._FileLogHandler__filename = None      # the write fails: no file name
            record = logging.LogRecord("x", logging.INFO, "f", 1, "m", None, None)
            try:
                h.emit(record)
            except Exception as e:
                print(type(e).__name__, type(e.__context__).__name__)
            h.lock = None
        """)
        result = support.run_python(code)
        self.assertEqual((result.returncode, result.stdout), (0, "KeyError TypeError\n"),
                         result.stderr[-3000:])


class RecursionTest(unittest.TestCase):
    """A controller that has been given itself, or another controller that
    has it, as its master: the calls go round in circles and must end with
    RecursionError, as they would in Python code, not overflow the stack."""

    def test_controller_as_its_own_master(self):
        code = textwrap.dedent("""
            import qzr_kov
            c = qzr_kov.KOVAxisController(None)
            c._KOVAxisController__mew = c
            try:
                c.get_coil(1, "X0")
            except RecursionError:
                print("RecursionError")
            d = qzr_kov.KOVAxisController(c)
            try:
                d.set_coil(2, "R0", True)
            except RecursionError:
                print("RecursionError")
            c._KOVAxisController__mew = None
        """)
        result = support.run_python(code)
        self.assertEqual((result.returncode, result.stdout.split()),
                         (0, ["RecursionError", "RecursionError"]), result.stderr[-3000:])


if __name__ == "__main__":
    unittest.main()
