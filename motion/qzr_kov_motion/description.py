"""A machine description: what a machine file (TOML or JSON) holds, read
and checked as a whole before any line is opened.

``load_description(path)`` reads a file, ``check_description(data)`` checks
what such a file holds; both give a ``Description`` or raise
``MachineError`` naming the key path of every problem.
"""
import difflib
import importlib
import json
import math
import os
import types
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, cast

import qzr_kov
from qzr_kov import Direction, FindingOMethod, KOVAxisController

from .errors import MachineError


class Line(NamedTuple):
    """One serial line: its name, port, baud rate (None: the controller's
    default) and homing method ("limit_first", "origin_only" or None: the
    controller's default, limit-first)."""
    name: str
    port: str
    baudrate: Optional[int]
    homing_method: Optional[str]


class Speeds(NamedTuple):
    """A speed profile: mm/s, mm/s, s."""
    start_velocity: float
    velocity: float
    acceleration_time: float


class Homing(NamedTuple):
    """How an axis homes: its speeds, the direction it starts in
    ("negative" or "positive") and its group (lower orders home first)."""
    speeds: Speeds
    direction: str
    order: int


class AxisSettings(NamedTuple):
    """One axis of a description, as checked."""
    name: str
    line: str
    station: int
    ppmm: float
    profile: Optional[Speeds]
    travel: Optional[Tuple[float, float]]
    positions: Dict[str, float]
    homing: Optional[Homing]
    signals: Dict[str, bool]
    drive: Optional[bool]


class Description(NamedTuple):
    """A checked machine description: lines and axes by name, in file order."""
    lines: Dict[str, Line]
    axes: Dict[str, AxisSettings]


HOMING_METHODS = {"limit_first": FindingOMethod.LimitFirstThenBackward,
                  "origin_only": FindingOMethod.OriginOnly}
DIRECTIONS = {"negative": Direction.Negative, "positive": Direction.Positive}

# Each signal setting and the controller's methods for true and false, in
# the order they are applied.
_Setter = Callable[[KOVAxisController, int, bool], None]
SIGNALS = (
    ("origin_rising", lambda c, s, v: c.origin_rising_valid(s, v)),
    ("negative_limit", lambda c, s, v: (c.enable_negative_limit if v
                                        else c.disable_negative_limit)(s)),
    ("positive_limit", lambda c, s, v: (c.enable_positive_limit if v
                                        else c.disable_positive_limit)(s)),
    ("alarm", lambda c, s, v: (c.enable_alarm if v else c.disable_alarm)(s)),
    ("emergency", lambda c, s, v: (c.enable_emergency if v else c.disable_emergency)(s)),
    ("reverse_direction", lambda c, s, v: c.reverse_direction_output(s, v)),
)  # type: Tuple[Tuple[str, _Setter], ...]

_TOP_KEYS = ("lines", "axes")
_LINE_KEYS = ("port", "baudrate", "homing_method")
_AXIS_KEYS = ("line", "station", "ppmm", "profile", "travel", "positions", "homing",
              "signals", "drive")
_SPEED_KEYS = ("start_velocity", "velocity", "acceleration_time")
_HOMING_KEYS = _SPEED_KEYS + ("direction", "order")


# -- reading a description -------------------------------------------------

def _toml_reader() -> Optional[types.ModuleType]:
    """tomllib (3.11+), else tomli where installed, else None."""
    for name in ("tomllib", "tomli"):
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    return None


def load_description(path: str) -> Description:
    """The checked description in the file PATH: TOML (``.toml``) or the
    same in JSON (``.json``). Raises MachineError for a file that cannot be
    decoded or a description with problems, OSError if it cannot be read."""
    extension = os.path.splitext(path)[1].lower()
    if extension not in (".toml", ".json"):
        raise MachineError("%s: a machine description is a .toml or a .json file" % path)
    reader = _toml_reader() if extension == ".toml" else None
    if extension == ".toml" and reader is None:
        raise MachineError(
            "%s: reading TOML needs Python 3.11 or later, or the package tomli "
            "(pip install tomli; on Debian apt-get install python3-tomli); or write "
            "the same description as JSON in a .json file" % path)
    with open(path, "rb") as f:
        raw = f.read()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise MachineError("%s: not UTF-8 text (%s)" % (path, error))
    try:
        if reader is not None:
            data = reader.loads(text)
        else:
            data = json.loads(text, object_pairs_hook=_unique_keys)
    except _DuplicateKey as error:
        raise MachineError("%s: %s" % (path, error))
    except ValueError as error:      # TOMLDecodeError, JSONDecodeError
        raise MachineError("%s: not valid %s: %s" % (path, extension[1:].upper(), error))
    return check_description(data)


class _DuplicateKey(ValueError):
    pass


def _unique_keys(pairs: List[Tuple[str, Any]]) -> Dict[str, Any]:
    """A JSON object, refused if a key comes twice (JSON would keep only
    the last; TOML refuses it too)."""
    table = {}  # type: Dict[str, Any]
    for key, value in pairs:
        if key in table:
            raise _DuplicateKey("the key %r is given twice in one table" % key)
        table[key] = value
    return table


def check_description(data: Any) -> Description:
    """DATA (what a TOML or JSON file holds) checked as a whole: the
    Description, or MachineError naming the key path of every problem."""
    checker = _Checker()
    description = checker.description(data)
    if checker.problems:
        raise MachineError(checker.problems)
    assert description is not None
    return description


def _kind(value: Any) -> str:
    if isinstance(value, bool):
        return "true/false"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "text"
    if isinstance(value, dict):
        return "a table"
    if isinstance(value, list):
        return "a list"
    return type(value).__name__


def _join(path: str, key: Any) -> str:
    return "%s.%s" % (path, key) if path else str(key)


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _reads_as_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


class _Scale(object):
    """Just the scale of a station, for the module's own conversion."""

    def __init__(self, ppmm: float) -> None:
        self._ppmm = ppmm

    def ppmm(self, station: int) -> float:
        return self._ppmm


class _Checker(object):
    """Walks a description, noting each problem with its key path."""

    def __init__(self) -> None:
        self.problems = []  # type: List[str]

    def fail(self, path: str, text: str) -> None:
        self.problems.append("%s: %s" % (path or "the description", text))

    # -- shapes

    def table(self, path: str, value: Any, known: Optional[Sequence[str]],
              required: Sequence[str] = ()) -> Optional[Dict[str, Any]]:
        """VALUE as a table with only KNOWN keys (None: any) and every
        REQUIRED one; None if it is no table at all."""
        if not isinstance(value, dict):
            self.fail(path, "must be a table, not %s" % _kind(value))
            return None
        for key in value:
            if known is not None and key not in known:
                close = difflib.get_close_matches(str(key), known, 1)
                hint = "did you mean %s? " % close[0] if close else ""
                self.fail(_join(path, key), "unknown key (%sthe keys here are %s)"
                          % (hint, ", ".join(known)))
        for key in required:
            if key not in value:
                self.fail(_join(path, key), "missing")
        return value

    def number(self, path: str, value: Any) -> Optional[float]:
        if not _is_number(value):
            self.fail(path, "must be a number, not %s" % _kind(value))
            return None
        if not math.isfinite(value):
            self.fail(path, "must be a finite number, not %r" % value)
            return None
        return cast(float, value)     # an integer stays one (a scale is logged as given)

    def integer(self, path: str, value: Any, low: Optional[int] = None) -> Optional[int]:
        if isinstance(value, bool) or not isinstance(value, int):
            self.fail(path, "must be a whole number, not %s" % _kind(value))
            return None
        if low is not None and value < low:
            self.fail(path, "must be at least %d, not %d" % (low, value))
            return None
        return value

    def text(self, path: str, value: Any, choices: Sequence[str] = ()) -> Optional[str]:
        if not isinstance(value, str):
            self.fail(path, "must be text, not %s" % _kind(value))
            return None
        if choices and value not in choices:
            self.fail(path, "must be %s, not %r" % (" or ".join('"%s"' % c for c in choices),
                                                   value))
            return None
        if not value:
            self.fail(path, "must not be empty")
            return None
        return value

    def flag(self, path: str, value: Any) -> Optional[bool]:
        if not isinstance(value, bool):
            self.fail(path, "must be true or false, not %s" % _kind(value))
            return None
        return value

    # -- the description

    def description(self, data: Any) -> Optional[Description]:
        top = self.table("", data, _TOP_KEYS)
        if top is None:
            return None
        lines = {}  # type: Dict[str, Line]
        raw_lines = top.get("lines")
        if raw_lines is None:
            self.fail("lines", "missing: the description needs at least one line")
        elif self.table("lines", raw_lines, None) is not None:
            if not raw_lines:
                self.fail("lines", "no line in it: the description needs at least one")
            for name, value in raw_lines.items():
                line = self.line("lines.%s" % name, name, value)
                if line is not None:
                    lines[name] = line
        axes = {}  # type: Dict[str, AxisSettings]
        raw_axes = top.get("axes")
        if raw_axes is None:
            self.fail("axes", "missing: the description needs at least one axis")
        elif self.table("axes", raw_axes, None) is not None:
            if not raw_axes:
                self.fail("axes", "no axis in it: the description needs at least one")
            stations = {}  # type: Dict[Tuple[str, int], str]
            for name, value in raw_axes.items():
                axis = self.axis("axes.%s" % name, name, value, raw_lines, lines, stations)
                if axis is not None:
                    axes[name] = axis
            self.homing_orders(axes)
        if self.problems:
            return None
        return Description(lines, axes)

    def line(self, path: str, name: str, value: Any) -> Optional[Line]:
        line = self.table(path, value, _LINE_KEYS, ("port",))
        if line is None:
            return None
        before = len(self.problems)
        port = self.text(path + ".port", line["port"]) if "port" in line else None
        baudrate = None
        if "baudrate" in line:
            baudrate = self.integer(path + ".baudrate", line["baudrate"], 1)
        method = None
        if "homing_method" in line:
            method = self.text(path + ".homing_method", line["homing_method"],
                               tuple(HOMING_METHODS))
        if len(self.problems) > before or port is None:
            return None
        return Line(name, port, baudrate, method)

    def axis(self, path: str, name: str, value: Any, raw_lines: Any, lines: Dict[str, Line],
             stations: Dict[Tuple[str, int], str]) -> Optional[AxisSettings]:
        """One axis; STATIONS (line and station to axis name) gathers the
        stations in use."""
        axis = self.table(path, value, _AXIS_KEYS, ("station", "ppmm"))
        if axis is None:
            return None
        before = len(self.problems)
        line_names = list(raw_lines) if isinstance(raw_lines, dict) else []
        line = None  # type: Optional[str]
        if "line" in axis:
            line = self.text(path + ".line", axis["line"])
            if line is not None and line not in line_names:
                self.fail(path + ".line", "no line %r in the description (%s)" % (
                    line, "its lines: " + ", ".join(line_names) if line_names else "it has none"))
                line = None
        elif len(line_names) == 1:
            line = line_names[0]
        elif line_names:
            self.fail(path + ".line", "missing: with several lines (%s) each axis names its line"
                      % ", ".join(line_names))
        station = self.integer(path + ".station", axis["station"], 1) if "station" in axis \
            else None
        if line is not None and station is not None:
            owner = stations.setdefault((line, station), name)
            if owner != name:
                self.fail(path + ".station", "station %d of line %s is axis %s's already"
                          % (station, line, owner))
        ppmm = self.number(path + ".ppmm", axis["ppmm"]) if "ppmm" in axis else None
        if ppmm == 0:
            self.fail(path + ".ppmm", "must not be 0")
            ppmm = None
        profile = None
        if "profile" in axis:
            profile = self.speeds(path + ".profile", axis["profile"], ppmm, _SPEED_KEYS)
        travel = None
        if "travel" in axis:
            travel = self.travel(path + ".travel", axis["travel"])
        positions = {}  # type: Dict[str, float]
        if "positions" in axis:
            positions = self.positions(path + ".positions", axis["positions"], travel)
        signals = {}  # type: Dict[str, bool]
        if "signals" in axis:
            signals = self.signals(path + ".signals", axis["signals"])
        homing = None
        if "homing" in axis:
            method = lines[line].homing_method if line in lines else None
            homing = self.homing(path + ".homing", axis["homing"], ppmm, signals, method)
        drive = self.flag(path + ".drive", axis["drive"]) if "drive" in axis else None
        if ppmm is not None and ppmm < 0 and ("profile" in axis or "homing" in axis):
            self.fail(path + ".ppmm", "a negative scale makes every speed a negative pulse rate, "
                      "which the station cannot take: keep ppmm positive and turn the axis "
                      "round with signals.reverse_direction = true")
        if len(self.problems) > before or line is None or station is None or ppmm is None:
            return None
        return AxisSettings(name, line, station, ppmm, profile, travel, positions, homing,
                            signals, drive)

    def speeds(self, path: str, value: Any, ppmm: Optional[float],
               known: Sequence[str]) -> Optional[Speeds]:
        """The checks the controller's set_parameters makes, and the pulse
        rate the module allows."""
        table = self.table(path, value, known, _SPEED_KEYS)
        if table is None or any(key not in table for key in _SPEED_KEYS):
            return None
        numbers = [self.number("%s.%s" % (path, key), table[key]) for key in _SPEED_KEYS]
        start, velocity, ramp = numbers
        if start is None or velocity is None or ramp is None:
            return None
        before = len(self.problems)
        if not start > 0:
            self.fail(path + ".start_velocity", "must be above 0 mm/s, not %r" % start)
        elif velocity < start:
            self.fail(path + ".velocity", "%r mm/s is below the start velocity %r mm/s"
                      % (velocity, start))
        if ramp < 0:
            self.fail(path + ".acceleration_time", "must not be negative, not %r" % ramp)
        if ppmm is not None and ppmm > 0:
            # The module's own conversion; the limit as the module holds it.
            to_pulse = cast(Callable[[Any, int, float], int], KOVAxisController.to_pulse)
            try:
                rate = "%d" % to_pulse(_Scale(ppmm), 0, float(velocity))
            except OverflowError:
                rate = "more"       # an infinite rate
            limit = qzr_kov._MaxPulsePerSecond
            if rate == "more" or int(rate) > limit:
                self.fail(path + ".velocity", "%r mm/s is %s pulses/s at %r pulses/mm; the "
                          "controller allows at most %d (%r mm/s)"
                          % (velocity, rate, ppmm, limit, limit / ppmm))
        if len(self.problems) > before:
            return None
        return Speeds(float(start), float(velocity), float(ramp))

    def travel(self, path: str, value: Any) -> Optional[Tuple[float, float]]:
        if not isinstance(value, list) or len(value) != 2:
            self.fail(path, "must be a list of two numbers [low, high] in mm, not %s"
                      % (_kind(value) if not isinstance(value, list)
                         else "%d items" % len(value)))
            return None
        low = self.number(path + "[0]", value[0])
        high = self.number(path + "[1]", value[1])
        if low is None or high is None:
            return None
        if not low < high:
            self.fail(path, "the low end %r is %s the high end %r" % (
                float(low), "above" if low > high else "not below", float(high)))
            return None
        return float(low), float(high)

    def positions(self, path: str, value: Any,
                  travel: Optional[Tuple[float, float]]) -> Dict[str, float]:
        table = self.table(path, value, None)
        positions = {}  # type: Dict[str, float]
        for key, mm in (table or {}).items():
            where = "%s.%s" % (path, key)
            if not key or _reads_as_number(key):
                self.fail(where, "a position's name must not be empty or read as a number "
                          "(it would be taken for millimetres)")
                continue
            number = self.number(where, mm)
            if number is None:
                continue
            if travel is not None and not travel[0] <= number <= travel[1]:
                self.fail(where, "%r mm lies outside the travel [%r, %r] mm"
                          % (float(number), travel[0], travel[1]))
                continue
            positions[key] = float(number)
        return positions

    def signals(self, path: str, value: Any) -> Dict[str, bool]:
        table = self.table(path, value, [key for key, _ in SIGNALS])
        signals = {}  # type: Dict[str, bool]
        for key, setting in (table or {}).items():
            flag = self.flag("%s.%s" % (path, key), setting)
            if flag is not None and any(key == known for known, _ in SIGNALS):
                signals[key] = flag
        return signals

    def homing(self, path: str, value: Any, ppmm: Optional[float], signals: Dict[str, bool],
               method: Optional[str]) -> Optional[Homing]:
        """The homing settings; the order is None here when not given."""
        speeds = self.speeds(path, value, ppmm, _HOMING_KEYS)
        if not isinstance(value, dict):
            return None
        direction = "negative"
        if "direction" in value:
            direction = self.text(path + ".direction", value["direction"],
                                  tuple(DIRECTIONS)) or ""
        order = None  # type: Optional[int]
        if "order" in value:
            order = self.integer(path + ".order", value["order"])
            if order is None:
                return None
        if direction and (method or "limit_first") == "limit_first" \
                and signals.get(direction + "_limit") is False:
            self.fail(path + ".direction", "limit-first homing towards %s needs the %s limit "
                      "switch, which signals.%s_limit = false disables (home the other way, or "
                      "give the line homing_method = \"origin_only\")"
                      % (direction, direction, direction))
            return None
        if speeds is None or not direction:
            return None
        # An order left out stays None until homing_orders() settles it.
        return Homing(speeds, direction, cast(int, order))

    def homing_orders(self, axes: Dict[str, AxisSettings]) -> None:
        """With several axes to home each says when: an order left out would
        put an axis in a group by accident. A lone one needs none (0)."""
        homed = [a for a in axes.values() if a.homing is not None]
        for axis in homed:
            assert axis.homing is not None
            if axis.homing.order is not None:
                continue
            if len(homed) > 1:
                self.fail("axes.%s.homing.order" % axis.name, "missing: with several axes to "
                          "home (%s) each needs an order; the same order homes together, the "
                          "lowest first" % ", ".join(a.name for a in homed))
            else:
                axes[axis.name] = axis._replace(homing=axis.homing._replace(order=0))


def apply_settings(controller: KOVAxisController, settings: AxisSettings) -> None:
    """The settings of one axis, through the controller's methods."""
    station = settings.station
    controller.set_ppmm(station, settings.ppmm)
    if settings.profile is not None:
        controller.set_parameters(station, *settings.profile)
    for key, setter in SIGNALS:
        if key in settings.signals:
            setter(controller, station, settings.signals[key])
    if settings.drive is True:
        controller.enable_axis(station)
    elif settings.drive is False:
        controller.disable_axis(station)
