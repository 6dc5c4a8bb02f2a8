"""A master that records every call and keeps a plain per-station memory."""

import threading

from . import protocol
from .clock import RealClock
from .faults import Faults, Matcher
from .protocol import Call, CommunicationError, to_signed
from .store import StationStore


def perform(store, op, address, args):
    """Carry out one checked operation on a station's memory."""
    prefix, number = address
    if op == "get_coil":
        return store.read_coil(prefix, number)
    if op == "set_coil":
        store.write_coil(prefix, number, bool(args[2]))
    elif op == "get_coil_uint16":
        return sum(int(store.read_coil(prefix, number + i)) << i for i in range(16))
    elif op == "set_coil_uint16":
        for i in range(16):
            store.write_coil(prefix, number + i, bool((args[2] >> i) & 1))
    elif op == "get_int32":
        return to_signed(store.read_u32(prefix, number))
    elif op == "get_multi_int32":
        return [to_signed(store.read_u32(prefix, number + 2 * i)) for i in range(args[2])]
    elif op in ("set_int32", "set_uint32"):
        store.write_u32(prefix, number, args[2] & protocol.UINT32_MASK)
    elif op == "set_multi_uint32":
        for i, value in enumerate(args[2]):
            store.write_u32(prefix, number + 2 * i, value)
    return None


def values_carried(op, args):
    """How many values the exchange OP with ARGS reads or writes: COUNT for
    ``get_multi_int32``, the length of VALUES for ``set_multi_uint32``, 1
    for the others (a coil, a group of 16 coils, a register)."""
    if op == "get_multi_int32":
        return args[2]
    if op == "set_multi_uint32":
        return len(args[2])
    return 1


def _checked_exchange_time(value):
    """EXCHANGE_TIME as kept: a number of seconds (None: 0), or a pair of
    them as a tuple; TypeError or ValueError for anything else."""
    if value is None:
        return 0
    pair = isinstance(value, (tuple, list))
    parts = tuple(value) if pair else (value,)
    if pair and len(parts) != 2 or any(
            isinstance(part, bool) or not isinstance(part, (int, float)) for part in parts):
        raise TypeError("exchange_time must be seconds or a pair (base, per_value) of "
                        "them, not %r" % (value,))
    if not all(part >= 0 for part in parts):    # NaN too
        raise ValueError("exchange_time must not be negative: %r" % (value,))
    return parts if pair else value


class RecordingMaster(object):
    """Stand-in master for unit tests.

    ``RecordingMaster(port=None, *, baudrate=115200, exchange_time=None,
    clock=None)``.  The arguments are kept exactly as passed in
    ``init_args`` / ``init_kwargs``.

    Every operation is appended to ``calls`` as ``Call(op, args)`` before
    anything can fail.  Bad addresses or values raise ValueError / TypeError,
    operations after ``close()`` raise CommunicationError, and failures can
    be injected with ``fail_on`` / ``fail_randomly`` or reads scripted with
    ``script``.  One exchange runs at a time; each spends ``exchange_time``
    seconds (default 0) of ``clock`` time while holding the line: a number
    of seconds for every exchange alike, or a pair ``(base, per_value)``
    for a time taken from what the exchange carries, BASE plus PER_VALUE
    for each value it reads or writes (``values_carried``).
    """

    def __init__(self, *args, **kwargs):
        self.init_args = args
        self.init_kwargs = dict(kwargs)
        params = self._bind(*args, **kwargs)
        self.port = params["port"]
        self.baudrate = params["baudrate"]
        protocol.check_int(self.baudrate, 1, 10 ** 8, "baudrate")
        self.exchange_time = _checked_exchange_time(params["exchange_time"])
        self.clock = params["clock"] or RealClock()
        self.closed = False
        self.calls = []
        self._faults = Faults()
        self._lock = threading.RLock()
        self._stores = {}
        self._configure(params)

    @staticmethod
    def _bind(port=None, *, baudrate=115200, exchange_time=None, clock=None):
        return dict(port=port, baudrate=baudrate, exchange_time=exchange_time,
                    clock=clock)

    def _configure(self, params):
        """Hook for subclasses: finish construction from the bound params."""

    def _store(self, station, exchange):
        """The memory of STATION (EXCHANGE: reached through the line)."""
        store = self._stores.get(station)
        if store is None:
            store = self._stores[station] = StationStore(station)
        return store

    # -- the line ----------------------------------------------------------

    def _exchange(self, op, args):
        with self._lock:
            self.calls.append(Call(op, args))
            if self.closed:
                raise CommunicationError("%s: the line is closed" % op)
            address = protocol.check_request(op, args)
            spent = self.exchange_seconds(op, args)
            if spent:
                self.clock.sleep(spent)
            self._faults.check(op, args, applied=False)
            found, value = self._faults.answer(op, args)
            if not found:
                store = self._store(args[0], exchange=True)
                store.sync(self.clock.time())
                value = perform(store, op, address, args)
            self._faults.check(op, args, applied=True)
            return value

    def exchange_seconds(self, op, args):
        """The clock seconds that the exchange OP with ARGS holds the line."""
        if isinstance(self.exchange_time, tuple):
            base, per_value = self.exchange_time
            return base + per_value * values_carried(op, args)
        return self.exchange_time

    def close(self):
        """Release the line; later operations raise CommunicationError."""
        with self._lock:
            self.calls.append(Call("close", ()))
            self._faults.check("close", (), applied=False)
            self.closed = True

    def get_coil(self, station, name):
        return self._exchange("get_coil", (station, name))

    def set_coil(self, station, name, value):
        return self._exchange("set_coil", (station, name, value))

    def get_coil_uint16(self, station, name):
        return self._exchange("get_coil_uint16", (station, name))

    def set_coil_uint16(self, station, name, value):
        return self._exchange("set_coil_uint16", (station, name, value))

    def get_int32(self, station, name):
        return self._exchange("get_int32", (station, name))

    def set_int32(self, station, name, value):
        return self._exchange("set_int32", (station, name, value))

    def set_uint32(self, station, name, value):
        return self._exchange("set_uint32", (station, name, value))

    def get_multi_int32(self, station, name, count):
        return self._exchange("get_multi_int32", (station, name, count))

    def set_multi_uint32(self, station, name, values):
        return self._exchange("set_multi_uint32", (station, name, values))

    # -- test side: not recorded, never failing ----------------------------

    def _access(self, op, station, name, *rest):
        args = (station, name) + rest
        with self._lock:
            address = protocol.check_request(op, args)
            store = self._store(station, exchange=False)
            store.sync(self.clock.time())
            return perform(store, op, address, args)

    def coil(self, station, name):
        """Current value of a coil (read without recording)."""
        return self._access("get_coil", station, name)

    def put_coil(self, station, name, value):
        """Write a coil without recording it."""
        self._access("set_coil", station, name, value)

    def register(self, station, name, signed=True):
        """Current 32-bit value of a register, signed unless SIGNED is false."""
        value = self._access("get_int32", station, name)
        return value if signed else value & protocol.UINT32_MASK

    def put_register(self, station, name, value):
        """Write a 32-bit register (signed or unsigned value) unrecorded."""
        protocol.check_int(value, protocol.INT32_MIN, protocol.UINT32_MASK, "value")
        self._access("set_uint32", station, name, value & protocol.UINT32_MASK)

    def clear_calls(self):
        with self._lock:
            del self.calls[:]

    def find_calls(self, op=None, station=None, name=None):
        """The recorded calls of OP (name, names or None) to STATION / NAME."""
        matcher = Matcher(op, station, name)
        with self._lock:
            return [call for call in self.calls if matcher.matches(call.op, call.args)]

    # -- failures and scripted answers --------------------------------------

    def fail_on(self, op, exc, station=None, name=None, times=1, skip=0,
                applied=False):
        """Make matching calls raise EXC.

        OP is an operation name, a list of names or None for any.  The first
        SKIP matches pass, the next TIMES (None: all) fail.  An exception
        instance is raised as is, a class is instantiated with a message.
        With APPLIED the operation takes effect before the error is raised
        (the answer was lost on its way back).
        """
        with self._lock:
            self._faults.fail_on(op, exc, station, name, times, skip, applied)

    def fail_randomly(self, rate, seed, exc=CommunicationError, ops=None):
        """Fail each matching call with probability RATE, drawn from a
        ``random.Random(SEED)``; OPS defaults to all but ``close``."""
        with self._lock:
            self._faults.fail_randomly(rate, seed, exc, ops)

    def clear_faults(self):
        """Drop every ``fail_on`` / ``fail_randomly`` rule."""
        with self._lock:
            self._faults.clear()

    def script(self, op, *answers, station=None, name=None):
        """Answer the next matching reads of OP with ANSWERS, in order.

        An answer may be a value (of any type), a callable taking the call's
        args, or an exception (instance or class) to raise.  Afterwards reads
        come from the station again.
        """
        with self._lock:
            self._faults.script(op, answers, station, name)

    def clear_scripts(self):
        with self._lock:
            self._faults.scripts = []
