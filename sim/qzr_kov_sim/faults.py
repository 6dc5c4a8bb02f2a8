"""Injected failures and scripted answers for a master."""

import random
from collections import deque

from .protocol import READS, WRITES, CommunicationError

ALL_OPS = READS + WRITES + ("close",)


def _op_set(ops):
    if ops is None:
        return None
    ops = (ops,) if isinstance(ops, str) else tuple(ops)
    unknown = [op for op in ops if op not in ALL_OPS]
    if unknown:
        raise ValueError("unknown operation(s): %s" % ", ".join(unknown))
    return frozenset(ops)


def make_exception(exc, op, args):
    """An exception instance is used as is; a class gets a message."""
    if isinstance(exc, BaseException):
        return exc
    if isinstance(exc, type) and issubclass(exc, BaseException):
        try:
            return exc("injected failure of %s%r" % (op, args))
        except TypeError:
            return exc()
    raise TypeError("not an exception: %r" % (exc,))


class Matcher(object):
    """Selects calls by operation (name, names or None for any), station, name."""

    def __init__(self, op, station=None, name=None):
        self.ops = _op_set(op)
        self.station = station
        self.name = name

    def matches(self, op, args):
        if self.ops is not None and op not in self.ops:
            return False
        if self.station is not None and (not args or args[0] != self.station):
            return False
        return self.name is None or (len(args) > 1 and args[1] == self.name)


class FaultRule(Matcher):
    def __init__(self, op, exc, station, name, times, skip, applied):
        Matcher.__init__(self, op, station, name)
        make_exception(exc, "check", ())
        self.exc = exc
        self.times = times
        self.skip = skip
        self.applied = applied

    def fire(self):
        """Count one matching call; return True if it must fail."""
        if self.skip > 0:
            self.skip -= 1
            return False
        if self.times is not None:
            if self.times <= 0:
                return False
            self.times -= 1
        return True


class Faults(object):
    """The failure rules and scripted answers of one master."""

    def __init__(self):
        self.rules = []
        self.scripts = []
        self._random = None

    def fail_on(self, op, exc, station=None, name=None, times=1, skip=0,
                applied=False):
        self.rules.append(FaultRule(op, exc, station, name, times, skip, applied))

    def fail_randomly(self, rate, seed, exc=CommunicationError, ops=None):
        if not 0 <= rate <= 1:
            raise ValueError("rate must be within 0..1")
        make_exception(exc, "check", ())
        matcher = Matcher(READS + WRITES if ops is None else ops)
        self._random = (rate, random.Random(seed), exc, matcher)

    def clear(self):
        self.rules = []
        self._random = None

    def check(self, op, args, applied):
        """Raise the failure due for this call at this stage, if any."""
        for rule in self.rules:
            if rule.applied == applied and rule.matches(op, args) and rule.fire():
                raise make_exception(rule.exc, op, args)
        if self._random is not None and not applied:
            rate, rng, exc, matcher = self._random
            if matcher.matches(op, args) and rng.random() < rate:
                raise make_exception(exc, op, args)

    def script(self, op, answers, station=None, name=None):
        if op not in READS:
            raise ValueError("only reads can be scripted, not %r" % (op,))
        rule = Matcher(op, station, name)
        rule.answers = deque(answers)
        self.scripts.append(rule)

    def answer(self, op, args):
        """Return (True, value) for a scripted answer, else (False, None)."""
        for rule in self.scripts:
            if rule.answers and rule.matches(op, args):
                answer = rule.answers.popleft()
                if isinstance(answer, type) and issubclass(answer, BaseException):
                    raise make_exception(answer, op, args)
                if isinstance(answer, BaseException):
                    raise answer
                if callable(answer):
                    answer = answer(*args)
                return True, answer
        return False, None
