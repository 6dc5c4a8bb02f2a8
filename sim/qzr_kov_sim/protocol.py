"""Addresses, value checks, the call record and the errors of the master."""

import re
from collections import namedtuple


class CommunicationError(OSError):
    """An exchange on the line failed: no answer, garbled answer, line closed."""


class StationError(CommunicationError):
    """A station answered with an error (e.g. a write to an input contact)."""


Call = namedtuple("Call", "op args")
Call.__doc__ = "One operation called on a master: its name and positional args."

UINT32_MASK = 0xFFFFFFFF
INT32_MIN = -2 ** 31
INT32_MAX = 2 ** 31 - 1
STATION_MAX = 99

READS = ("get_coil", "get_coil_uint16", "get_int32", "get_multi_int32")
WRITES = ("set_coil", "set_coil_uint16", "set_int32", "set_uint32",
          "set_multi_uint32")
COIL_OPS = ("get_coil", "set_coil", "get_coil_uint16", "set_coil_uint16")

_COIL = re.compile(r"(R|X|Y)(0|[1-9][0-9]*)\Z")
_REGISTER = re.compile(r"(DT|D)(0|[1-9][0-9]*)\Z")


def parse_address(op, name):
    """Split NAME into (prefix, number); ValueError if it does not fit OP."""
    pattern = _COIL if op in COIL_OPS else _REGISTER
    match = pattern.match(name) if isinstance(name, str) else None
    if match is None:
        kind = "coil" if op in COIL_OPS else "register"
        raise ValueError("%s: not a %s address: %r" % (op, kind, name))
    return match.group(1), int(match.group(2))


def check_int(value, low, high, what):
    """TypeError unless VALUE is an int (not a bool), ValueError if out of range."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (what, type(value).__name__))
    if not low <= value <= high:
        raise ValueError("%s out of range %d..%d: %d" % (what, low, high, value))


def check_request(op, args):
    """Check the arguments of one operation; return the parsed address."""
    station = args[0]
    check_int(station, 0, STATION_MAX, "station")
    address = parse_address(op, args[1])
    if op == "set_coil":
        value = args[2]
        if not isinstance(value, bool):
            check_int(value, 0, 1, "coil value")
    elif op == "set_coil_uint16":
        check_int(args[2], 0, 0xFFFF, "coil group value")
    elif op == "set_int32":
        check_int(args[2], INT32_MIN, INT32_MAX, "int32 value")
    elif op == "set_uint32":
        check_int(args[2], 0, UINT32_MASK, "uint32 value")
    elif op == "get_multi_int32":
        check_int(args[2], 1, 2 ** 16, "count")
    elif op == "set_multi_uint32":
        values = args[2]
        if not isinstance(values, (list, tuple)):
            raise TypeError("values must be a list, not %s" % type(values).__name__)
        if not values:
            raise ValueError("values must not be empty")
        for value in values:
            check_int(value, 0, UINT32_MASK, "uint32 value")
    return address


def to_signed(value):
    """Read an unsigned 32-bit pattern as a signed int."""
    value &= UINT32_MASK
    return value - 2 ** 32 if value > INT32_MAX else value
