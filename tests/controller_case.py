"""Shared ground for the controller core tests: a controller over a recording
master, exact comparison of the calls it makes (values and their types), the
log lines it writes, and a virtual clock for the waits. Holds no tests."""
import contextlib
import math
import sys
import unittest
from unittest import mock

from . import support
from qzr_kov_sim import Call, CommunicationError, VirtualClock

qzr_kov = support.qzr_kov
KOV = qzr_kov.KOVAxisController

needs_asserts = unittest.skipIf(sys.flags.optimize, "assertions are disabled")


def typed(value):
    """VALUE with the type of every part spelled out, so that 10 != 10.0."""
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [typed(v) for v in value])
    return (type(value).__name__, value)


def error_of(func, *args):
    """The exception FUNC(*ARGS) raises in this interpreter."""
    try:
        func(*args)
    except Exception as exc:  # noqa: B902 - any error is the reference
        return exc
    raise AssertionError("%r%r raised nothing" % (func, args))


def float_type_error(value):
    """What the interpreter says when VALUE has no float conversion."""
    return error_of(math.fabs, value)


class ControllerCase(unittest.TestCase):
    """Each test gets `self.c` adopting the recording master `self.m`, and a
    log reader marked after the creation line."""

    def setUp(self):
        self.c, self.m = support.controller()
        self.log = support.LogReader()
        self.addCleanup(self.drop_controller)

    def drop_controller(self):
        # Closed here, while the log directory exists, not at interpreter exit.
        c = self.__dict__.pop("c", None)
        if c is not None:
            c._find_o_threads.clear()
            if getattr(c, "_KOVAxisController__mew", None) is not None:
                c.close()

    def restart(self):
        """Forget the calls and log lines so far."""
        self.m.clear_calls()
        self.log.mark()

    def assertCalls(self, *expected):
        """The master saw exactly these (op, args) calls, types included."""
        self.assertEqual(typed([tuple(call) for call in self.m.calls]),
                         typed([tuple(Call(*e)) for e in expected]))

    def assertLogged(self, *messages):
        """Exactly these INFO lines were written since the last mark."""
        self.assertEqual(self.log.lines(), ["INFO - " + text for text in messages])

    def assertNothingDone(self):
        self.assertCalls()
        self.assertLogged()

    def assertFloatRefused(self, value, func, *args):
        """FUNC(*ARGS) fails with the interpreter's float conversion error
        for VALUE and neither sends nor logs anything."""
        expected = float_type_error(value)
        with self.assertRaises(TypeError) as caught:
            func(*args)
        self.assertEqual(str(caught.exception), str(expected))
        self.assertNothingDone()

    @contextlib.contextmanager
    def failing(self, op, **where):
        """The next matching master call raises a fresh error; the block
        must raise exactly that error and log nothing."""
        error = CommunicationError("line down")
        self.m.fail_on(op, error, **where)
        with self.assertRaises(CommunicationError) as caught:
            yield
        self.assertIs(caught.exception, error)
        self.assertLogged()


@contextlib.contextmanager
def virtual_time(step=None):
    """Patches the module's clock with a VirtualClock; yields (clock, sleeps),
    sleeps being the list of requested sleep lengths. With STEP each sleep
    advances the clock by STEP instead of by the requested length."""
    clock = VirtualClock()
    sleeps = []

    def sleep(seconds):
        sleeps.append(seconds)
        clock.advance(seconds if step is None else step)

    with mock.patch.object(qzr_kov, "_now", clock.time), \
            mock.patch.object(qzr_kov, "_sleep", sleep):
        yield clock, sleeps
