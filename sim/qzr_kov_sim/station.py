"""A simulated motion-control station and the axis it drives.

The station counts the pulses it sends in DT10; the axis has a physical
position (in pulses) on which the sensors sit.  They agree until the
coordinate is redefined, the drive is disabled, or R16 inverts the
direction: with R16 on, increasing counts move the axis physically
negative.  The encoder DT12 follows the physical position.

Limit switches are physical end switches: X1 is on at or below
``negative_limit_at``, X2 at or above ``positive_limit_at``.  An enabled
switch (R12 / R13 off) stops at once any motion that drives the axis
physically into it, whatever R16 says, with its own code (3 for X1, 4 for
X2), and a motion that would start into an active switch stops at once.
A pressed emergency button (X3 off, unless R15) or an active alarm (X4 on,
unless R14) stops any motion at once with 6 / 5; a start command meanwhile
only sets D20 to that code.

Moves follow a trapezoid: they start at DT0 pulses/s, reach DT2 after
DT4 ms and slow down the same way (a triangle when the move is too short;
constant speed when DT4 is 0 or DT0 >= DT2).  A start command (R1..R6)
while the axis moves is ignored, and so is one with DT2 = 0.  R0 slows the
running motion down along its ramp (at once when DT4 is 0) and ends it with
code 1; on an idle station it does nothing.  Command coils read back False.
An origin search stops at once on the first position where X0 shows the
configured edge; the counter is left as it is there.

Y2 is the drive enable: with ``require_enable`` (default) the axis follows
the pulses only while Y2 is on; Y2 is on at power-up, so a fresh station
moves without ceremony.  ``history`` keeps the last starts, stops and
ignored or refused commands as ``(time, what, detail)``.

An obstacle (``obstacle_at``, a physical position; None: none) keeps the
carriage on the side where it stood when the obstacle was placed: driven
into it, the carriage stays at the obstacle (a stalled motor) while the
station sends its pulses and counts them as ever, so the counter runs on
and the encoder stays.  Sensors beyond it are not reached.  Carrying the
axis past it by hand puts the carriage on the other side.
"""

import threading
from collections import deque

from .clock import RealClock
from .profile import INF, endless, positioning, stopping
from .protocol import StationError, UINT32_MASK, to_signed
from .store import StationStore

STOP_NONE, STOP_COMMAND, STOP_ORIGIN = 0, 1, 2
STOP_NEGATIVE_LIMIT, STOP_POSITIVE_LIMIT, STOP_ALARM, STOP_EMERGENCY = 3, 4, 5, 6

DEFAULT_LAYOUT = dict(
    origin_at=0,                # middle of the origin sensor; None: no sensor
    origin_width=300,           # X0 on from origin_at - origin_width // 2 on
    negative_limit_at=-1000,    # X1 on at/below; None: no switch
    positive_limit_at=100000,   # X2 on at/above; None: no switch
    physical_position=50000,    # where the axis stands at power-up
    obstacle_at=None,           # the carriage cannot pass it; None: none
    require_enable=True,        # the axis only moves while Y2 is on
    drive_enabled=True,         # Y2 at power-up
)

_STARTS = {1: ("absolute", 0), 2: ("relative", 0), 3: ("run", -1),
           4: ("run", 1), 5: ("origin", -1), 6: ("origin", 1)}
_COMMAND_COILS = 7
HISTORY_LENGTH = 1000
_COMPUTED = {("DT", 10): ("_count_now", "_set_count"),
             ("DT", 12): ("_encoder_now", "_set_encoder"),
             ("DT", 14): ("_velocity_now", None),
             ("DT", 30): ("_io_bits", None)}


def _check_layout(name, value):
    if name in ("require_enable", "drive_enabled"):
        return bool(value)
    if value is None and name not in ("origin_width", "physical_position"):
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %r" % (name, value))
    if name == "origin_width" and value < 1:
        raise ValueError("origin_width must be at least 1")
    return value


class _Motion(object):
    """One run of the pulse output; PULSES counts from its start."""

    def __init__(self, kind, sign, profile, count, physical, v_start, acc, end_code):
        self.kind = kind
        self.sign = sign
        self.profile = profile
        self.count = count
        self.physical = physical
        self.pulses = 0
        self.v_start = v_start
        self.acc = acc
        self.end_code = end_code
        self.stopping = False
        self.physical_sign = sign
        self.driven = True
        self.edge = None
        # (position, side): the carriage stays at or below the position
        # (side 1) or at or above it (side -1); None: nothing in its way.
        self.obstacle = None

    def count_at(self, pulses):
        return self.count + self.sign * pulses

    def physical_at(self, pulses):
        if not self.driven:
            return self.physical
        x = self.physical + self.physical_sign * (pulses - self.pulses)
        if self.obstacle is not None:
            at, side = self.obstacle
            x = min(x, at) if side > 0 else max(x, at)
        return x

    def reaches(self, x):
        """Whether the carriage gets to physical position X going on."""
        if self.obstacle is None or self.obstacle[1] != self.physical_sign:
            return True
        return (x - self.obstacle[0]) * self.physical_sign <= 0


class _LayoutField(object):
    """A sensor placement; changing it takes effect from the current time."""

    def __init__(self, name):
        self.name = name

    def __get__(self, station, owner=None):
        return self if station is None else station._layout[self.name]

    def __set__(self, station, value):
        value = _check_layout(self.name, value)
        station._set(lambda: station._layout.__setitem__(self.name, value))


class SimulatedStation(StationStore):
    """One station with its axis.

    ``SimulatedStation(number=1, clock=None, lock=None, **layout)``; the
    layout keys and defaults are in ``DEFAULT_LAYOUT`` (all in pulses).  The
    counter and the encoder start at 0 wherever the axis stands.  Motion is
    worked out from CLOCK time whenever the station is looked at.
    """

    origin_at = _LayoutField("origin_at")
    origin_width = _LayoutField("origin_width")
    negative_limit_at = _LayoutField("negative_limit_at")
    positive_limit_at = _LayoutField("positive_limit_at")
    require_enable = _LayoutField("require_enable")

    def __init__(self, number=1, clock=None, lock=None, **layout):
        StationStore.__init__(self, number)
        unknown = sorted(set(layout) - set(DEFAULT_LAYOUT))
        if unknown:
            raise TypeError("unknown layout key(s): %s" % ", ".join(unknown))
        settings = dict(DEFAULT_LAYOUT, **layout)
        self._layout = {}
        for name, value in settings.items():
            self._layout[name] = _check_layout(name, value)
        self._phys = self._layout.pop("physical_position")
        self._obstacle = None
        self._place_obstacle(self._layout.pop("obstacle_at"), self._phys)
        self._coils[("Y", 2)] = bool(self._layout.pop("drive_enabled"))
        self._clock = clock or RealClock()
        self._lock = lock or threading.RLock()
        self._t = self._clock.time()
        self._count = 0
        self._encoder_offset = -self._phys
        self._motion = None
        self._emergency = False
        self._alarm = False
        self.history = deque(maxlen=HISTORY_LENGTH)

    # -- time ---------------------------------------------------------------

    def sync(self, now):
        """Work out everything that happened up to time NOW."""
        with self._lock:
            self._advance(now)

    def update(self):
        """Bring the station up to the clock's current time."""
        self.sync(self._clock.time())

    def _advance(self, now):
        while self._motion is not None:
            event = self._next_event(self._motion)
            if event is None or event[0] > now:
                break
            self._finish(*event)
        self._t = max(self._t, now)

    def _next_event(self, m):
        """(time, pulses, code) of the next stop of motion M, or None."""
        t = self._t
        here = m.profile.pulses_at(t)
        code = self._blocking_code()
        if code:
            return t, here, code
        physical = m.physical_at(here)
        events = []
        for at, direction, disabled, code in (
                (self._layout["negative_limit_at"], -1, self._on("R", 12), STOP_NEGATIVE_LIMIT),
                (self._layout["positive_limit_at"], 1, self._on("R", 13), STOP_POSITIVE_LIMIT)):
            if at is None or disabled or m.physical_sign != direction:
                continue
            distance = (at - physical) * direction
            if distance <= 0:
                events.append((t, here, code))
            elif m.driven and m.reaches(at):
                events.append((m.profile.time_at(here + distance), here + distance, code))
        if m.edge is not None and m.driven and m.reaches(m.edge):
            distance = max((m.edge - physical) * m.physical_sign, 0)
            events.append((m.profile.time_at(here + distance), here + distance, STOP_ORIGIN))
        if m.profile.end_time is not None:
            events.append((m.profile.end_time, m.profile.end_pulses, m.end_code))
        events = [(max(when, t), pulses, code) for when, pulses, code in events
                  if when is not None]
        return min(events, key=lambda event: event[0]) if events else None

    def _finish(self, when, pulses, code):
        m = self._motion
        self._count = m.count_at(pulses)
        self._phys = m.physical_at(pulses)
        self._motion = None
        StationStore.write_u32(self, "D", 20, code)
        self.history.append((when, "stop", code))

    def _blocking_code(self):
        if self._emergency and not self._on("R", 15):
            return STOP_EMERGENCY
        if self._alarm and not self._on("R", 14):
            return STOP_ALARM
        return 0

    # -- changes while the axis may move -----------------------------------

    def _change(self, apply):
        """Apply a change of settings at the current station time."""
        m = self._motion
        if m is not None:
            here = m.profile.pulses_at(self._t)
            m.physical, m.pulses = m.physical_at(here), here
        apply()
        if m is not None and self._motion is m:
            self._aim(m)
        self._advance(self._t)

    def _set(self, apply):
        with self._lock:
            self._advance(self._clock.time())
            self._change(apply)

    def _aim(self, m):
        m.physical_sign = -m.sign if self._on("R", 16) else m.sign
        m.driven = self._on("Y", 2) or not self._layout["require_enable"]
        m.obstacle = self._obstacle
        m.edge = self._origin_edge(m.physical, m.physical_sign) if m.kind == "origin" else None

    def _origin_edge(self, physical, direction):
        """Physical position where the configured origin edge lies ahead."""
        at = self._layout["origin_at"]
        if at is None:
            return None
        low = at - self._layout["origin_width"] // 2
        high = low + self._layout["origin_width"] - 1
        if self._on("R", 10):       # rising edge: first position inside
            edge = low if direction > 0 else high
        else:                       # falling edge: first position outside
            edge = high + 1 if direction > 0 else low - 1
        return edge if (edge - physical) * direction > 0 else None

    # -- commands -----------------------------------------------------------

    def _command(self, number):
        if number == 0:
            self._stop()
        else:
            self._start(*_STARTS[number])

    def _start(self, kind, sign):
        if self._motion is not None:
            self.history.append((self._t, "ignored", kind))
            return
        code = self._blocking_code()
        v_start, v_max, ramp_ms = (self.read_u32("DT", n) for n in (0, 2, 4))
        if code or v_max == 0:
            if code:
                StationStore.write_u32(self, "D", 20, code)
            self.history.append((self._t, "refused", kind))
            return
        acc = INF if ramp_ms == 0 or v_start >= v_max else (v_max - v_start) * 1000.0 / ramp_ms
        StationStore.write_u32(self, "D", 20, STOP_NONE)
        self.history.append((self._t, "start", kind))
        if kind in ("absolute", "relative"):
            if kind == "absolute":
                distance = to_signed(self.read_u32("DT", 6)) - self._count
            else:
                distance = to_signed(self.read_u32("DT", 8))
            if distance == 0:
                self.history.append((self._t, "stop", STOP_NONE))
                return
            sign = 1 if distance > 0 else -1
            profile = positioning(self._t, abs(distance), v_start, v_max, acc)
            end_code = STOP_NONE
        else:
            profile, end_code = endless(self._t, v_start, v_max, acc), None
        m = _Motion(kind, sign, profile, self._count, self._phys, v_start, acc, end_code)
        self._aim(m)
        self._motion = m
        self._advance(self._t)

    def _stop(self):
        m = self._motion
        if m is None or m.stopping:
            return
        m.profile = stopping(m.profile, self._t, m.v_start, m.acc)
        m.end_code = STOP_COMMAND
        m.stopping = True
        self._advance(self._t)

    # -- memory as the line sees it -----------------------------------------

    def _on(self, prefix, number):
        return self._coils.get((prefix, number), False)

    def read_coil(self, prefix, number):
        if prefix == "X":
            inputs = self._inputs()
            return inputs[number] if number < len(inputs) else False
        if (prefix, number) == ("Y", 1):
            return self._motion is not None
        if prefix == "R" and number < _COMMAND_COILS:
            return False
        return self._on(prefix, number)

    def write_coil(self, prefix, number, value):
        if prefix == "X" or (prefix, number) == ("Y", 1):
            raise StationError("station %d: %s%d is read-only" % (self.number, prefix, number))
        if prefix == "R" and number < _COMMAND_COILS:
            if value:
                self._command(number)
            return
        self._change(lambda: StationStore.write_coil(self, prefix, number, value))

    def read_word(self, space, number):
        for base in (number, number - 1):
            if (space, base) in _COMPUTED:
                value = self._computed(space, base)
                return (value >> (16 * (number - base))) & 0xFFFF
        return StationStore.read_word(self, space, number)

    def _computed(self, space, base):
        return getattr(self, _COMPUTED[(space, base)][0])() & UINT32_MASK

    def write_u32(self, space, number, value):
        words = {number: value & 0xFFFF, number + 1: (value >> 16) & 0xFFFF}
        for base in (number - 1, number, number + 1):
            if (space, base) in _COMPUTED:
                current = self._computed(space, base)
                low = words.pop(base, current & 0xFFFF)
                high = words.pop(base + 1, current >> 16)
                setter = _COMPUTED[(space, base)][1]
                if setter:
                    getattr(self, setter)(to_signed(low | (high << 16)))
        for word, word_value in words.items():
            self._words[(space, word)] = word_value

    # -- what the station shows ----------------------------------------------

    def _here(self):
        m = self._motion
        return None if m is None else m.profile.pulses_at(self._t)

    def _physical(self):
        m = self._motion
        return self._phys if m is None else m.physical_at(self._here())

    def _inputs(self):
        x = self._physical()
        origin, negative, positive = (self._layout[key] for key in (
            "origin_at", "negative_limit_at", "positive_limit_at"))
        on_origin = False
        if origin is not None:
            low = origin - self._layout["origin_width"] // 2
            on_origin = low <= x < low + self._layout["origin_width"]
        return [on_origin,
                negative is not None and x <= negative,
                positive is not None and x >= positive,
                not self._emergency,
                self._alarm]

    def _count_now(self):
        m = self._motion
        return self._count if m is None else m.count_at(self._here())

    def _encoder_now(self):
        return self._physical() + self._encoder_offset

    def _velocity_now(self):
        m = self._motion
        return 0 if m is None else int(round(m.profile.velocity_at(self._t))) * m.sign

    def _io_bits(self):
        bits = sum(int(bit) << i for i, bit in enumerate(self._inputs()))
        return bits | (int(self._motion is not None) << 17) | (int(self._on("Y", 2)) << 18)

    def _set_count(self, value):
        m = self._motion
        if m is None:
            self._count = value
        else:
            m.count += value - self._count_now()

    def _set_encoder(self, value):
        self._encoder_offset = value - self._physical()

    def _read(self, get):
        with self._lock:
            self._advance(self._clock.time())
            return get()

    @property
    def count(self):
        """The pulse counter DT10 (settable: redefines the coordinate)."""
        return self._read(self._count_now)

    @count.setter
    def count(self, value):
        self._set(lambda: self._set_count(value))

    @property
    def encoder(self):
        """The encoder DT12: physical position plus an offset (settable)."""
        return self._read(self._encoder_now)

    @encoder.setter
    def encoder(self, value):
        self._set(lambda: self._set_encoder(value))

    @property
    def velocity(self):
        """Signed pulse rate DT14 in counts per second."""
        return self._read(self._velocity_now)

    @property
    def physical_position(self):
        """Where the axis physically is (settable: the axis is carried there)."""
        return self._read(self._physical)

    @physical_position.setter
    def physical_position(self, value):
        value = _check_layout("physical_position", value)

        def move():
            if self._motion is None:
                self._phys = value
            else:
                self._motion.physical = value
            if self._obstacle is not None and self._obstacle[0] != value:
                self._place_obstacle(self._obstacle[0], value)    # carried past it, maybe
        self._set(move)

    def _place_obstacle(self, at, here):
        """Puts the obstacle at AT, the carriage standing at HERE."""
        if at is None:
            self._obstacle = None
            return
        if at == here:
            raise ValueError("the carriage stands at %d: place the obstacle beside it" % at)
        self._obstacle = (at, 1 if at > here else -1)

    @property
    def obstacle_at(self):
        """The physical position the carriage cannot pass, or None
        (settable: placed on the far side from where the carriage is)."""
        return self._read(lambda: None if self._obstacle is None else self._obstacle[0])

    @obstacle_at.setter
    def obstacle_at(self, value):
        value = _check_layout("obstacle_at", value)
        self._set(lambda: self._place_obstacle(value, self._physical()))

    @property
    def moving(self):
        """Y1: pulses are going out."""
        return self._read(lambda: self._motion is not None)

    @property
    def stop_code(self):
        """D20: why the last motion ended."""
        return self._read(lambda: to_signed(self.read_u32("D", 20)))

    @property
    def drive_enabled(self):
        """Y2: the drive follows the pulses (when ``require_enable``)."""
        return self._read(lambda: self._on("Y", 2))

    @drive_enabled.setter
    def drive_enabled(self, value):
        self._set(lambda: self._coils.__setitem__(("Y", 2), bool(value)))

    @property
    def emergency(self):
        """True while the emergency button is pressed (X3 off)."""
        return self._read(lambda: self._emergency)

    @emergency.setter
    def emergency(self, pressed):
        self._set(lambda: setattr(self, "_emergency", bool(pressed)))

    @property
    def alarm(self):
        """True while the drive reports an alarm (X4 on)."""
        return self._read(lambda: self._alarm)

    @alarm.setter
    def alarm(self, active):
        self._set(lambda: setattr(self, "_alarm", bool(active)))

    def press_emergency(self):
        self.emergency = True

    def release_emergency(self):
        self.emergency = False

    def raise_alarm(self):
        self.alarm = True

    def clear_alarm(self):
        self.alarm = False

    @property
    def inputs(self):
        """Inputs X0..X4 as a list of bools."""
        return self._read(self._inputs)
