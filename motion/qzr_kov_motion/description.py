"""A machine description: what a machine file (TOML or JSON) holds, read
and checked as a whole before any line is opened.

``load_description(path)`` reads a file, ``check_description(data)`` checks
what such a file holds; both give a ``Description`` or raise
``MachineError`` naming the key path of every problem. Beside a file
``machine.toml`` a file ``machine.taught.json`` may hold positions taught
later (by the tool's panel): ``load_description`` reads it too, checks its
positions as the file's own and adds them (``TAUGHT_KEYS``); the machine
file itself is never written.

Each key of a line and of an axis is declared once, in ``LINE_KEYS`` and
``AXIS_KEYS``: its name, how it is checked, its default, how it is applied
to the controller and how a summary shows it. The reader, the checker,
``apply_settings`` and the tool's summary all go by those tables
(docs/architecture.md, "Adding a machine-file key").
"""
import copy
import difflib
import importlib
import json
import math
import os
import re
import stat
import types
from typing import (Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union,
                    cast)

import qzr_kov
from qzr_kov import Direction, FindingOMethod, KOVAxisController

from .errors import MachineError

#: the station numbers a module can have on the line (the tool's --station
#: takes the same)
STATIONS = (1, 99)
#: what the station's 32-bit registers hold: positions and distances are
#: signed, speeds and times unsigned
INT32_MIN, INT32_MAX = -2 ** 31, 2 ** 31 - 1
UINT32_MAX = 2 ** 32 - 1
#: the most a machine file may hold, in bytes, and how deep its tables and
#: lists may nest (a description needs 4 levels)
MAX_FILE_SIZE = 1 << 20
MAX_NESTING = 32


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


class Encoder(NamedTuple):
    """An encoder on the axis: its counts per millimetre, and how far (mm)
    the position it reads may differ from the station's counter at the end
    of a move."""
    ppmm: float
    tolerance: float


class Jog(NamedTuple):
    """How an axis jogs: the velocity (mm/s) of a jog given none."""
    velocity: float


class AxisSettings(NamedTuple):
    """One axis of a description, as checked: one field per key of
    AXIS_KEYS, in its order, after the axis's name."""
    name: str
    line: str
    station: int
    ppmm: float
    profile: Speeds
    travel: Optional[Tuple[float, float]]
    positions: Dict[str, float]
    homing: Optional[Homing]
    signals: Dict[str, bool]
    drive: Optional[bool]
    encoder: Optional[Encoder] = None
    jog: Optional[Jog] = None


class Taught(NamedTuple):
    """The taught positions read with a description: the file's name as
    messages show it, and axis name to its taught positions (name to mm)."""
    path: str
    positions: Dict[str, Dict[str, float]]


class Description(NamedTuple):
    """A checked machine description: lines and axes by name, in file
    order; ``taught``, the taught positions read with it (their axes'
    ``positions`` hold them as well), or None."""
    lines: Dict[str, Line]
    axes: Dict[str, AxisSettings]
    taught: Optional[Taught] = None


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
_SPEED_KEYS = ("start_velocity", "velocity", "acceleration_time")
_HOMING_KEYS = _SPEED_KEYS + ("direction", "order")
_ENCODER_KEYS = ("ppmm", "tolerance")


class Key(NamedTuple):
    """One key of a line or of an axis in a machine file, declared once.

    ``check(entry, path, value)``: the checked value of VALUE (found at the
    key path PATH), or None once each problem is noted with
    ``entry.checker.fail``; ``entry.value(name)`` gives the checked value of
    another key of the same line or axis. ``required``: a line or axis
    without it is refused (a text: why, told with "missing"). ``default``:
    the value when it is left out, or a function ``default(entry, path)``
    that gives it. ``apply``: how it is sent to the line, as
    ``apply(controller, station, value)`` for an axis's key and
    ``apply(controller, value)`` for a line's, in the table's order; None:
    it is not sent, and neither is a value of None. ``show(value,
    settings, description)``: its words in an axis's summary (``qzr-kov
    check``), or None to leave it out.
    """
    name: str
    check: Callable[["_Entry", str, Any], Any]
    required: Union[bool, str] = False
    default: Any = None
    apply: Optional[Callable[..., None]] = None
    show: Optional[Callable[[Any, AxisSettings, Description], Optional[str]]] = None


# -- reading a description -------------------------------------------------

def _toml_reader() -> Optional[types.ModuleType]:
    """tomllib (3.11+), else tomli where installed, else None."""
    for name in ("tomllib", "tomli"):
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    return None


def printable(text: str) -> str:
    """TEXT with each character that is not printable (a control
    character, a lone surrogate from an undecodable file name) written as
    its escape, so that a message shows it and a terminal takes it."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def load_description(path: str) -> Description:
    """The checked description in the file PATH: TOML (``.toml``) or the
    same in JSON (``.json``), with the positions of its taught file
    (``taught_path(PATH)``) if there is one. Only a regular file of at most
    MAX_FILE_SIZE bytes, nested at most MAX_NESTING levels deep, is read.
    Raises MachineError (its ``path``: the name of the file at fault as its
    messages show it) for a file that is refused or cannot be decoded, or a
    description or taught file with problems; OSError if one cannot be
    read."""
    path = os.fspath(path)
    data, description = _load(path)
    taught = taught_path(path)
    if not os.path.lexists(taught):
        return description
    shown = printable(taught)
    try:
        return _with_taught(description, data, _read(taught, shown), shown, printable(path))
    except MachineError as error:
        raise _of_taught(error, shown)


def _load(path: str) -> Tuple[Any, Description]:
    """What the machine file PATH holds, and its checked description."""
    shown = printable(path)
    try:
        data = _read(path, shown)
        return data, check_description(data)
    except MachineError as error:
        error.path = shown
        raise


# -- taught positions ------------------------------------------------------

#: the keys of an axis that its taught file may hold: checked as the
#: machine file's own, and added to the axis's (a table's entries to its
#: table, which must not have them already)
TAUGHT_KEYS = ("positions",)
TAUGHT_SUFFIX = ".taught.json"


def taught_path(path: str) -> str:
    """The taught file of the machine file PATH: ``machine.toml`` (or
    ``.json``) -> ``machine.taught.json`` beside it, JSON of the shape
    ``{"axes": {"x": {"positions": {"pick": 12.5}}}}``."""
    return os.path.splitext(os.fspath(path))[0] + TAUGHT_SUFFIX


def check_taught(path: str, data: Any) -> Description:
    """The description of the machine file PATH with DATA (what its taught
    file would hold) in place of its taught file: MachineError naming the
    key path of every problem of DATA, each message starting with the
    taught file's name. Nothing is written."""
    path = os.fspath(path)
    raw, description = _load(path)
    shown = printable(taught_path(path))
    problems, _ = _walk(data)
    try:
        if problems:
            raise MachineError(problems)
        return _with_taught(description, raw, data, shown, printable(path))
    except MachineError as error:
        raise _of_taught(error, shown)


def _of_taught(error: MachineError, shown: str) -> MachineError:
    """ERROR, a problem of the taught file SHOWN, with each line starting
    with its name (the machine file has key paths of the same names)."""
    lines = [p if p.startswith(shown + ": ") else "%s: %s" % (shown, p) for p in error.problems]
    return MachineError(lines, shown)


def _with_taught(description: Description, data: Any, taught: Any, shown: str,
                 file: str) -> Description:
    """DESCRIPTION (checked from DATA, the machine file FILE's contents)
    with the keys of TAUGHT, what the taught file SHOWN holds, checked as
    the file's own keys of each axis and added to them."""
    checker = _Checker()
    added = {}  # type: Dict[str, Dict[str, Any]]
    top = checker.table("", taught, ("axes",), ("axes",))
    axes = top.get("axes") if top is not None else None
    if axes is not None and checker.table("axes", axes, None) is not None:
        for name, table in axes.items():
            where = _join("axes", name)
            if name not in description.axes:
                checker.fail(where, "no axis %r in %s (its axes: %s)"
                             % (name, file, ", ".join(description.axes)))
                continue
            table = checker.table(where, table, TAUGHT_KEYS)
            if table is None:
                continue
            # The axis as the file has it, with the taught keys in place of its own.
            own = dict(data["axes"][name])
            own.update((key, value) for key, value in table.items() if key in TAUGHT_KEYS)
            entry = _Entry(checker, where, name, own, AXIS_KEYS)
            settings = description.axes[name]
            added[name] = {}
            for key in TAUGHT_KEYS:
                if key not in table:
                    continue
                value = entry.value(key)
                for clash in [k for k in value or {} if k in getattr(settings, key)]:
                    checker.fail(_join(_join(where, key), clash),
                                 "%s has it already: a taught one takes a name of its own"
                                 % file)
                added[name][key] = value
    if checker.problems:
        raise MachineError(checker.problems)
    merged = {}  # type: Dict[str, AxisSettings]
    for name, settings in description.axes.items():
        changes = dict((key, dict(getattr(settings, key), **value))
                       for key, value in added.get(name, {}).items())  # type: Dict[str, Any]
        merged[name] = settings._replace(**changes)
    positions = dict((name, dict(keys.get("positions", {}))) for name, keys in added.items())
    return description._replace(axes=merged, taught=Taught(shown, positions))


def _read(path: str, shown: str) -> Any:
    """What the file PATH holds, decoded; MachineError for a problem of the
    file itself, each message starting with SHOWN."""
    extension = os.path.splitext(path)[1].lower()
    if extension not in (".toml", ".json"):
        raise MachineError("%s: a machine description is a .toml or a .json file" % shown)
    reader = _toml_reader() if extension == ".toml" else None
    if extension == ".toml" and reader is None:
        raise MachineError(
            "%s: reading TOML needs Python 3.11 or later, or the package tomli "
            "(pip install tomli; on Debian apt-get install python3-tomli); or write "
            "the same description as JSON in a .json file" % shown)
    raw = _read_bytes(path, shown)
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise MachineError("%s: not UTF-8 text (%s)" % (shown, error))
    kind = extension[1:].upper()
    deep = _nesting(text, toml=reader is not None)
    if deep is not None:
        raise MachineError("%s: nested more than %d levels deep (at line %d); a machine "
                           "description needs 4" % (shown, MAX_NESTING, deep))
    try:
        if reader is not None:
            data = reader.loads(text)
        else:
            data = json.loads(text, object_pairs_hook=_Table.of, parse_int=_json_int)
    except RecursionError:      # what the nesting check above should have kept out
        raise MachineError("%s: nested too deep to be read" % shown)
    except ValueError as error:      # TOMLDecodeError, JSONDecodeError
        raise MachineError("%s: not valid %s: %s" % (shown, kind, error))
    problems, deep_path = _walk(data)
    if deep_path is not None:
        raise MachineError("%s: nested more than %d levels deep (at %s); a machine description "
                           "needs 4" % (shown, MAX_NESTING, deep_path))
    if problems:
        raise MachineError(problems)
    return data


_FILE_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"),
               (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
               (stat.S_ISSOCK, "a socket"))


def _read_bytes(path: str, shown: str) -> bytes:
    """At most MAX_FILE_SIZE bytes of the regular file PATH. Anything else
    (a FIFO, a device, a directory, also behind a symbolic link) is
    refused before it is read, and opening never waits (for a FIFO's
    writer, say)."""
    def refuse_unless_regular(mode: int) -> None:
        if not stat.S_ISREG(mode):
            kind = next((name for test, name in _FILE_KINDS if test(mode)), "no regular file")
            raise MachineError("%s: %s, not a regular file: a machine description is read "
                               "from a file" % (shown, kind))
    refuse_unless_regular(os.stat(path).st_mode)
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0) \
        | getattr(os, "O_CLOEXEC", 0)
    fd = os.open(path, flags)
    try:
        refuse_unless_regular(os.fstat(fd).st_mode)     # it may have been swapped since
        chunks = []  # type: List[bytes]
        size = 0
        while size <= MAX_FILE_SIZE:
            chunk = os.read(fd, MAX_FILE_SIZE + 1 - size)
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
    finally:
        os.close(fd)
    if size > MAX_FILE_SIZE:
        raise MachineError("%s: more than %d bytes (1 MiB), the most a machine description "
                           "may hold" % (shown, MAX_FILE_SIZE))
    return b"".join(chunks)


# Tokens that matter for how deep a file nests, and strings and comments,
# inside which brackets and dots do not count. Each string runs to its end
# or to the end of the text (or line), so that scanning takes linear time
# whatever the file holds.
_JSON_TOKEN = re.compile(r'(?P<string>"(?:[^"\\]|\\[\s\S]?)*(?:"|\Z))|(?P<open>[\[{])'
                         r'|(?P<close>[\]}])|(?P<other>[^"\[\]{}]+)')
_TOML_TOKEN = re.compile(
    r'(?P<string>"""(?:[^"\\]|\\[\s\S]?|"(?!""))*(?:"""|\Z)'
    r"|'''(?:[^']|'(?!''))*(?:'''|\Z)"
    r'|"(?:[^"\\\n]|\\[^\n]?)*(?:"|(?=\n)|\Z)'
    r"|'[^'\n]*(?:'|(?=\n)|\Z))"
    r"|(?P<word>[A-Za-z0-9_+-]+)|(?P<dot>\.)|(?P<open>[\[{])|(?P<close>[\]}])"
    r"|(?P<space>[ \t]+)|(?P<comment>#[^\n]*)|(?P<other>[\s\S])")


def _nesting(text: str, toml: bool) -> Optional[int]:
    """The line at which TEXT (TOML, else JSON) nests more than
    MAX_NESTING levels deep, or None: brackets, and in TOML also the parts
    of a dotted key (a.b.c = 1 nests three tables). Checked before parsing:
    the parsers recurse, and tomllib takes time and memory growing with the
    square of a dotted key's length."""
    depth = 0
    parts = 0           # of the dotted key being read
    dotted = False
    for match in (_TOML_TOKEN if toml else _JSON_TOKEN).finditer(text):
        kind = match.lastgroup
        if toml and kind in ("string", "word"):
            parts = parts + 1 if dotted else 1
            dotted = False
        elif kind == "dot":
            dotted = parts > 0
        elif kind != "space":
            parts, dotted = 0, False
            if kind == "open":
                depth += 1
            elif kind == "close":
                depth = max(depth - 1, 0)
        if depth + parts > MAX_NESTING:
            return text.count("\n", 0, match.start()) + 1
    return None


def _json_int(text: str) -> int:
    # Python 3.11 and later refuse longer ones themselves; converting a
    # million digits takes seconds before.
    if len(text.lstrip("-")) > 4300:
        raise ValueError("a whole number of %d digits" % len(text.lstrip("-")))
    return int(text)


class _Table(Dict[str, Any]):
    """A JSON object, with the values of keys given more than once that the
    last one replaced (JSON would keep only the last; TOML refuses them)."""

    dropped = {}  # type: Dict[str, List[Any]]

    @classmethod
    def of(cls, pairs: List[Tuple[str, Any]]) -> "_Table":
        table = cls()
        for key, value in pairs:
            if key in table:
                if not table.dropped:
                    table.dropped = {}
                table.dropped.setdefault(key, []).append(table[key])
            table[key] = value
        return table


def _walk(data: Any) -> Tuple[List[str], Optional[str]]:
    """The keys DATA has more than once, each with its key path (also in
    the values replaced), and the path of a value nested more than
    MAX_NESTING levels deep (or None); without recursion."""
    problems = []  # type: List[str]
    stack = [("", data, 0)]  # type: List[Tuple[str, Any, int]]
    while stack:
        path, value, depth = stack.pop()
        if depth > MAX_NESTING:
            return problems, path
        items = []  # type: List[Tuple[str, Any]]
        if isinstance(value, dict):
            for key, earlier in getattr(value, "dropped", {}).items():
                problem = "%s: given %s" % (_join(path, key), "twice" if len(earlier) == 1
                                            else "%d times" % (len(earlier) + 1))
                if problem not in problems:
                    problems.append(problem)
                items.extend((_join(path, key), item) for item in earlier)
            items.extend((_join(path, key), item) for key, item in value.items())
        elif isinstance(value, list):
            items = [("%s[%d]" % (path, i), item) for i, item in enumerate(value)]
        stack.extend((where, item, depth + 1) for where, item in reversed(items))
    return problems, None


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


def _shown(value: Any) -> str:
    """A number as a message shows it; a whole number too long to read by
    its number of digits."""
    if isinstance(value, int) and not isinstance(value, bool) and abs(value) >= 10 ** 40:
        return "a whole number of %d digits" % len(str(abs(value)))
    return repr(value)


def _key(name: Any) -> str:
    """NAME as a part of a key path."""
    if isinstance(name, str) and name and name.isprintable():
        return name
    return printable(repr(name))


def _join(path: str, key: Any) -> str:
    return "%s.%s" % (path, _key(key)) if path else _key(key)


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _reads_as_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


class _Scale(object):
    """Just the scale of a station, for the module's own conversions."""

    def __init__(self, ppmm: float) -> None:
        self._ppmm = ppmm

    def ppmm(self, station: int) -> float:
        return self._ppmm


# The module's conversions, called on a _Scale: what the line gets is
# what the check sees, to the last pulse.
_TO_PULSE = cast(Callable[[Any, int, float], int], KOVAxisController.to_pulse)
_FROM_PULSE = cast(Callable[[Any, int, float], float], KOVAxisController.from_pulse)


def _pulses(ppmm: float, mm: float) -> Optional[int]:
    """MM (or mm/s) at PPMM in pulses (or pulses/s) as the module converts
    it (truncated toward zero); None when that is infinite."""
    try:
        return _TO_PULSE(_Scale(ppmm), 0, float(mm))
    except OverflowError:
        return None


def _mm(ppmm: float, pulses: int) -> float:
    return _FROM_PULSE(_Scale(ppmm), 0, pulses)


class _Entry(object):
    """A line or an axis being checked: each of its keys is checked once,
    when first asked for, so that a key may ask for another."""

    def __init__(self, checker: "_Checker", path: str, name: str, table: Dict[str, Any],
                 keys: Sequence[Key]) -> None:
        self.checker = checker
        self.path = path
        self.name = name
        self.table = table
        self.keys = dict((key.name, key) for key in keys)
        self.values = {}  # type: Dict[str, Any]

    def value(self, name: str) -> Any:
        """The checked value of the key NAME (None after a problem)."""
        if name not in self.values:
            key = self.keys[name]
            self.values[name] = None
            path = _join(self.path, name)
            if name in self.table:
                self.values[name] = key.check(self, path, self.table[name])
            elif key.required:
                reason = key.required if isinstance(key.required, str) else ""
                self.checker.fail(path, "missing" + (": " + reason if reason else ""))
            elif callable(key.default):
                self.values[name] = key.default(self, path)
            else:
                self.values[name] = copy.copy(key.default)
        return self.values[name]


class _Checker(object):
    """Walks a description, noting each problem with its key path."""

    def __init__(self) -> None:
        self.problems = []  # type: List[str]
        self.raw_lines = {}  # type: Dict[str, Any]
        self.lines = {}  # type: Dict[str, Line]
        #: port to line name, (line, station) to axis name
        self.ports = {}  # type: Dict[str, str]
        self.stations = {}  # type: Dict[Tuple[str, int], str]

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
        try:
            finite = math.isfinite(value)
        except OverflowError:       # a whole number past the float range
            self.fail(path, "must be a number a float holds (at most about 1.8e308), not %s"
                      % _shown(value))
            return None
        if not finite:
            self.fail(path, "must be a finite number, not %r" % value)
            return None
        return cast(float, value)     # an integer stays one (a scale is logged as given)

    def positive(self, path: str, value: Any) -> Optional[float]:
        number = self.number(path, value)
        if number is not None and not number > 0:
            self.fail(path, "must be above 0, not %s" % _shown(number))
            return None
        return number

    def integer(self, path: str, value: Any, low: Optional[int] = None,
                high: Optional[int] = None) -> Optional[int]:
        if isinstance(value, bool) or not isinstance(value, int):
            self.fail(path, "must be a whole number, not %s"
                      % (_shown(value) if isinstance(value, float) else _kind(value)))
            return None
        if low is not None and (value < low or (high is not None and value > high)):
            self.fail(path, "must be a whole number %s, not %s" % (
                "of at least %d" % low if high is None else "from %d to %d" % (low, high),
                _shown(value)))
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
        if not value.isprintable():
            self.fail(path, "must be printable text, without control characters, not %r"
                      % value)
            return None
        return value

    def flag(self, path: str, value: Any) -> Optional[bool]:
        if not isinstance(value, bool):
            self.fail(path, "must be true or false, not %s" % _kind(value))
            return None
        return value

    def name(self, path: str, name: Any, what: str) -> bool:
        """Whether NAME, the name of WHAT at PATH (which shows it), is
        printable text."""
        if not isinstance(name, str):
            self.fail(path, "%s's name must be text, not %s" % (what, _kind(name)))
        elif not name:
            self.fail(path, "%s's name must not be empty" % what)
        elif not name.isprintable():
            self.fail(path, "%s's name must be printable text, without control characters"
                      % what)
        else:
            return True
        return False

    def entries(self, path: str, value: Any, what: str, keys: Sequence[Key],
                make: Callable[..., Any]) -> Dict[str, Any]:
        """The table of lines or axes at PATH: each entry checked key by
        key, in the order of KEYS, and made with MAKE(name, **values) if
        it has no problem."""
        made = {}  # type: Dict[str, Any]
        for name, table in value.items():
            where = _join(path, name)
            before = len(self.problems)
            self.name(where, name, what)
            table = self.table(where, table, [key.name for key in keys])
            if table is None:
                continue
            entry = _Entry(self, where, name, table, keys)
            values = dict((key.name, entry.value(key.name)) for key in keys)
            if len(self.problems) == before:
                made[name] = make(name, **values)
        return made

    # -- the description

    def description(self, data: Any) -> Optional[Description]:
        top = self.table("", data, _TOP_KEYS)
        if top is None:
            return None
        raw_lines = top.get("lines")
        if raw_lines is None:
            self.fail("lines", "missing: the description needs at least one line")
        elif self.table("lines", raw_lines, None) is not None:
            if not raw_lines:
                self.fail("lines", "no line in it: the description needs at least one")
            self.raw_lines = raw_lines
            self.lines = self.entries("lines", raw_lines, "a line", LINE_KEYS, Line)
        axes = {}  # type: Dict[str, AxisSettings]
        raw_axes = top.get("axes")
        if raw_axes is None:
            self.fail("axes", "missing: the description needs at least one axis")
        elif self.table("axes", raw_axes, None) is not None:
            if not raw_axes:
                self.fail("axes", "no axis in it: the description needs at least one")
            axes = self.entries("axes", raw_axes, "an axis", AXIS_KEYS, AxisSettings)
            self.homing_orders(axes)
        if self.problems:
            return None
        return Description(self.lines, axes)

    # -- checks of more than one value

    def speeds(self, path: str, value: Any, ppmm: Optional[float],
               known: Sequence[str]) -> Optional[Speeds]:
        """The checks the controller's set_parameters makes, and what the
        station's registers hold: the pulse rate the module allows, the
        acceleration time in milliseconds."""
        table = self.table(path, value, known, _SPEED_KEYS)
        if table is None or any(key not in table for key in _SPEED_KEYS):
            return None
        before = len(self.problems)
        start, velocity, ramp = [self.number(_join(path, key), table[key])
                                 for key in _SPEED_KEYS]
        if start is not None and not start > 0:
            self.fail(path + ".start_velocity", "must be above 0 mm/s, not %r" % start)
        elif start is not None and velocity is not None and velocity < start:
            self.fail(path + ".velocity", "%r mm/s is below the start velocity %r mm/s"
                      % (velocity, start))
        if ramp is not None and ramp < 0:
            self.fail(path + ".acceleration_time", "must not be negative, not %r" % ramp)
        elif ramp is not None:
            self.milliseconds(path + ".acceleration_time", ramp)
        if ppmm is not None and velocity is not None and velocity > 0:
            self.rate(path + ".velocity", velocity, ppmm)
        if len(self.problems) > before or start is None or velocity is None or ramp is None:
            return None
        return Speeds(float(start), float(velocity), float(ramp))

    def milliseconds(self, path: str, seconds: float) -> None:
        """SECONDS as the module writes them to the station's unsigned
        32-bit register: int(seconds * 1000.0), truncated toward zero."""
        try:
            ms = int(float(seconds) * 1000.0)   # type: Optional[int]
        except OverflowError:
            ms = None
        if ms is None or ms > UINT32_MAX:
            self.fail(path, "%r s is %s than the station's register holds (at most %d ms, "
                      "%r s)" % (seconds, "more milliseconds" if ms is None else "%d ms, more" % ms,
                                 UINT32_MAX, UINT32_MAX / 1000))

    def rate(self, path: str, velocity: float, ppmm: float) -> None:
        """VELOCITY at PPMM in pulses/s as the module converts it, against
        the limit as the module holds it, and not 0."""
        pulses = _pulses(ppmm, velocity)
        rate = "more" if pulses is None else _shown(pulses)
        limit = min(qzr_kov._MaxPulsePerSecond, UINT32_MAX)
        if pulses is None or pulses > limit:
            self.fail(path, "%r mm/s is %s pulses/s at %r pulses/mm; the controller allows at "
                      "most %d (%r mm/s)" % (velocity, rate, ppmm, limit, limit / ppmm))
        elif pulses == 0:
            self.fail(path, "%r mm/s is 0 pulses/s at %r pulses/mm: the axis would not move "
                      "(1 pulse/s is %r mm/s)" % (velocity, ppmm, 1 / ppmm))

    def counted(self, path: str, mm: float, ppmm: float) -> Optional[int]:
        """The pulses the module writes for the position MM at PPMM, or None
        after a problem: more than a signed 32-bit register holds, or 0 for
        a position that is not 0 mm."""
        pulses = _pulses(ppmm, mm)
        if pulses is None or not INT32_MIN <= pulses <= INT32_MAX:
            self.fail(path, "%r mm is %s pulses at %r pulses/mm, more than the station "
                      "counts (%d to %d pulses: %r to %r mm)"
                      % (mm, "more" if pulses is None else _shown(pulses), ppmm, INT32_MIN,
                         INT32_MAX, _mm(ppmm, INT32_MIN), _mm(ppmm, INT32_MAX)))
            return None
        if pulses == 0 and mm != 0:
            self.fail(path, "%r mm is 0 pulses at %r pulses/mm: the scale is too small for "
                      "it (1 pulse is %r mm)" % (mm, ppmm, 1 / ppmm))
            return None
        return pulses

    def whole_pulses(self, path: str, mm: float, pulses: int, ppmm: float, inward: int,
                     other: float) -> bool:
        """Whether the travel's end MM is a whole number of pulses: the
        position the station reads after a move to it (PULSES, as the
        module truncates) is MM itself. If not, the message names the
        nearest end that is, on the inside (towards OTHER, the other end:
        INWARD +1 from the low end, -1 from the high end)."""
        at = _mm(ppmm, pulses)
        if at == mm:
            return True
        outside = " (outside the travel)" if (at - mm) * inward < 0 else ""
        candidate = pulses
        nearest = ""
        for _ in range(64):
            end = _mm(ppmm, candidate)
            if (end - other) * inward >= 0:
                break
            if (end - mm) * inward > 0 and _pulses(ppmm, end) == candidate:
                nearest = "; the nearest end inside it that is a whole number of pulses is " \
                          "%r mm (%d pulses)" % (end, candidate)
                break
            candidate += inward
        self.fail(path, "%r mm is not a whole number of pulses at %r pulses/mm: the module "
                  "makes it %r pulses and truncates that toward zero to %d, so that a move "
                  "there ends at %r mm%s%s" % (mm, ppmm, float(mm) * float(ppmm), pulses, at,
                                              outside, nearest))
        return False

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


# -- the keys of a line ------------------------------------------------------

def _port(entry: _Entry, path: str, value: Any) -> Optional[str]:
    port = entry.checker.text(path, value)
    if port is not None:
        owner = entry.checker.ports.setdefault(port, entry.name)
        if owner != entry.name:
            entry.checker.fail(path, "the port %r is line %s's already: two lines on one port "
                                     "would drive its stations twice over" % (port, owner))
            return None
    return port


def _set_homing_method(controller: KOVAxisController, method: str) -> None:
    controller.finding_o_method = HOMING_METHODS[method]


LINE_KEYS = (
    Key("port", _port, required=True),
    Key("baudrate", lambda entry, path, value: entry.checker.integer(path, value, 1)),
    Key("homing_method",
        lambda entry, path, value: entry.checker.text(path, value, tuple(HOMING_METHODS)),
        apply=_set_homing_method),
)  # type: Tuple[Key, ...]


# -- the keys of an axis -----------------------------------------------------

def _line(entry: _Entry, path: str, value: Any) -> Optional[str]:
    line = entry.checker.text(path, value)
    names = list(entry.checker.raw_lines)
    if line is not None and line not in names:
        entry.checker.fail(path, "no line %r in the description (%s)" % (
            line, "its lines: " + ", ".join(map(_key, names)) if names else "it has none"))
        return None
    return line


def _only_line(entry: _Entry, path: str) -> Optional[str]:
    """The line of an axis that names none: the description's only one."""
    names = list(entry.checker.raw_lines)
    if len(names) > 1:
        entry.checker.fail(path, "missing: with several lines (%s) each axis names its line"
                           % ", ".join(map(_key, names)))
    return names[0] if len(names) == 1 else None


def _station(entry: _Entry, path: str, value: Any) -> Optional[int]:
    low, high = STATIONS
    station = entry.checker.integer(path, value, low, high)
    line = entry.value("line")
    if line is not None and station is not None:
        owner = entry.checker.stations.setdefault((line, station), entry.name)
        if owner != entry.name:
            entry.checker.fail(path, "station %d of line %s is axis %s's already"
                               % (station, line, owner))
            return None
    return station


def _ppmm(entry: _Entry, path: str, value: Any) -> Optional[float]:
    ppmm = entry.checker.number(path, value)
    if ppmm == 0:
        entry.checker.fail(path, "must not be 0")
        return None
    if ppmm is not None and ppmm < 0:
        entry.checker.fail(path, "a negative scale makes every speed a negative pulse rate, "
                                 "which the station cannot take: keep ppmm positive and turn "
                                 "the axis round with signals.reverse_direction = true")
        return None
    return ppmm


def _profile(entry: _Entry, path: str, value: Any) -> Optional[Speeds]:
    return entry.checker.speeds(path, value, entry.value("ppmm"), _SPEED_KEYS)


def _travel(entry: _Entry, path: str, value: Any) -> Optional[Tuple[float, float]]:
    """[low, high] in mm, each end a whole number of pulses that the
    station counts."""
    checker = entry.checker
    if not isinstance(value, list) or len(value) != 2:
        checker.fail(path, "must be a list of two numbers [low, high] in mm, not %s"
                     % (_kind(value) if not isinstance(value, list)
                        else "%d items" % len(value)))
        return None
    low = checker.number(path + "[0]", value[0])
    high = checker.number(path + "[1]", value[1])
    if low is None or high is None:
        return None
    low, high = float(low), float(high)
    if not low < high:
        checker.fail(path, "the low end %r is %s the high end %r" % (
            low, "above" if low > high else "not below", high))
        return None
    ppmm = entry.value("ppmm")
    if ppmm is None:
        return low, high
    whole = True
    for index, end, inward, other in ((0, low, 1, high), (1, high, -1, low)):
        where = "%s[%d]" % (path, index)
        pulses = checker.counted(where, end, ppmm)
        whole = pulses is not None and checker.whole_pulses(where, end, pulses, ppmm, inward,
                                                            other) and whole
    return (low, high) if whole else None


def _positions(entry: _Entry, path: str, value: Any) -> Dict[str, float]:
    checker = entry.checker
    table = checker.table(path, value, None)
    travel = entry.value("travel")
    ppmm = entry.value("ppmm")
    positions = {}  # type: Dict[str, float]
    for key, mm in (table or {}).items():
        where = _join(path, key)
        if not checker.name(where, key, "a position"):
            continue
        if _reads_as_number(key):
            checker.fail(where, "a position's name must not be empty or read as a number "
                                "(it would be taken for millimetres)")
            continue
        number = checker.number(where, mm)
        if number is None:
            continue
        if travel is not None and not travel[0] <= number <= travel[1]:
            checker.fail(where, "%r mm lies outside the travel [%r, %r] mm"
                         % (float(number), travel[0], travel[1]))
            continue
        if ppmm is not None and checker.counted(where, float(number), ppmm) is None:
            continue
        positions[key] = float(number)
    return positions


def _homing(entry: _Entry, path: str, value: Any) -> Optional[Homing]:
    """The homing settings; the order is None here when not given (see
    _Checker.homing_orders)."""
    checker = entry.checker
    signals = entry.value("signals") or {}
    speeds = checker.speeds(path, value, entry.value("ppmm"), _HOMING_KEYS)
    if not isinstance(value, dict):
        return None
    direction = "negative"
    if "direction" in value:
        direction = checker.text(path + ".direction", value["direction"],
                                 tuple(DIRECTIONS)) or ""
    order = None  # type: Optional[int]
    if "order" in value:
        order = checker.integer(path + ".order", value["order"])
        if order is None:
            return None
    line = checker.lines.get(entry.value("line") or "")
    method = line.homing_method if line is not None else None
    if direction and (method or "limit_first") == "limit_first" \
            and signals.get(direction + "_limit") is False:
        checker.fail(path + ".direction", "limit-first homing towards %s needs the %s limit "
                     "switch, which signals.%s_limit = false disables (home the other way, or "
                     "give the line homing_method = \"origin_only\")"
                     % (direction, direction, direction))
        return None
    if speeds is None or not direction:
        return None
    return Homing(speeds, direction, cast(int, order))


def _signals(entry: _Entry, path: str, value: Any) -> Dict[str, bool]:
    checker = entry.checker
    table = checker.table(path, value, [key for key, _ in SIGNALS])
    signals = {}  # type: Dict[str, bool]
    for key, setting in (table or {}).items():
        flag = checker.flag(_join(path, key), setting)
        if flag is not None and any(key == known for known, _ in SIGNALS):
            signals[key] = flag
    return signals


def _encoder(entry: _Entry, path: str, value: Any) -> Optional[Encoder]:
    """Counts per mm (not 0; below 0 for an encoder that counts the other
    way) and the tolerance in mm, above 0: one mm within a
    32-bit count, so is the travel, and the tolerance at least one count
    of the encoder and one pulse of the station (below that every move
    would differ by more)."""
    checker = entry.checker
    table = checker.table(path, value, _ENCODER_KEYS, _ENCODER_KEYS)
    if table is None or any(key not in table for key in _ENCODER_KEYS):
        return None
    # An encoder that counts the other way has a negative scale.
    ppmm = checker.number(path + ".ppmm", table["ppmm"])
    if ppmm == 0:
        checker.fail(path + ".ppmm", "must not be 0")
        ppmm = None
    tolerance = checker.positive(path + ".tolerance", table["tolerance"])
    if ppmm is None or tolerance is None:
        return None
    travel = entry.value("travel") or (0.0, 0.0)
    farthest = max(1.0, abs(travel[0]), abs(travel[1]))
    if farthest * abs(ppmm) > INT32_MAX:
        checker.fail(path + ".ppmm", "%r counts/mm: %r mm would be more counts than a 32-bit "
                     "count holds (%d)" % (ppmm, farthest, INT32_MAX))
        return None
    step = max(1 / abs(ppmm), 1 / (entry.value("ppmm") or math.inf))
    if tolerance < step:
        checker.fail(path + ".tolerance", "%r mm is less than one count of the encoder or one "
                     "pulse of the station (%r mm): every move would be off by more"
                     % (tolerance, step))
        return None
    return Encoder(float(ppmm), float(tolerance))


def _jog(entry: _Entry, path: str, value: Any) -> Optional[Jog]:
    """The velocity of a jog, checked as a move's velocity is: at least the
    profile's start velocity, at least 1 pulse/s and at most what the
    module allows at the axis's scale."""
    checker = entry.checker
    table = checker.table(path, value, ("velocity",), ("velocity",))
    if table is None or "velocity" not in table:
        return None
    where = path + ".velocity"
    velocity = checker.positive(where, table["velocity"])
    if velocity is None:
        return None
    profile, ppmm = entry.value("profile"), entry.value("ppmm")
    before = len(checker.problems)
    if profile is not None and velocity < profile.start_velocity:
        checker.fail(where, "%r mm/s is below the profile's start velocity %r mm/s"
                     % (velocity, profile.start_velocity))
    elif ppmm is not None:
        checker.rate(where, velocity, ppmm)
    return Jog(float(velocity)) if len(checker.problems) == before else None


def _apply_ppmm(controller: KOVAxisController, station: int, ppmm: float) -> None:
    controller.set_ppmm(station, ppmm)


def _apply_profile(controller: KOVAxisController, station: int, profile: Speeds) -> None:
    controller.set_parameters(station, *profile)


def _apply_signals(controller: KOVAxisController, station: int,
                   signals: Dict[str, bool]) -> None:
    for key, setter in SIGNALS:
        if key in signals:
            setter(controller, station, signals[key])


def _apply_drive(controller: KOVAxisController, station: int, drive: bool) -> None:
    (controller.enable_axis if drive else controller.disable_axis)(station)


def _g(value: float) -> str:
    return "%g" % value


def _speeds_text(speeds: Speeds) -> str:
    return "%g -> %g mm/s in %g s" % tuple(speeds)


# In the order of AxisSettings' fields: check, apply and show go by it.
AXIS_KEYS = (
    Key("line", _line, default=_only_line),
    Key("station", _station, required=True,
        show=lambda station, axis, description: "station %d on line %s (%s)" % (
            station, axis.line, description.lines[axis.line].port)),
    Key("ppmm", _ppmm, required=True, apply=_apply_ppmm,
        show=lambda ppmm, *_: "%s pulses/mm" % _g(ppmm)),
    Key("profile", _profile, required="every axis needs its speed profile, so that no move runs "
                                      "on speeds left in the station from before",
        apply=_apply_profile,
        show=lambda profile, *_: "profile " + _speeds_text(profile)),
    Key("travel", _travel,
        show=lambda travel, *_: "travel %s to %s mm" % tuple(map(_g, travel)) if travel
        else "no travel limits"),
    Key("positions", _positions, default={},
        show=lambda positions, axis, description: "positions " + ", ".join(
            "%s %s%s" % (name, _g(mm), " (taught)" if description.taught is not None and name
                         in description.taught.positions.get(axis.name, {}) else "")
            for name, mm in positions.items()) if positions else None),
    Key("homing", _homing,
        show=lambda homing, *_: "homes in group %d towards %s, %s" % (
            homing.order, homing.direction, _speeds_text(homing.speeds)) if homing
        else "not homed"),
    Key("signals", _signals, default={}, apply=_apply_signals),
    Key("drive", lambda entry, path, value: entry.checker.flag(path, value),
        apply=_apply_drive),
    Key("encoder", _encoder,
        show=lambda encoder, *_: "encoder %s counts/mm within %s mm" % tuple(map(_g, encoder))
        if encoder else None),
    Key("jog", _jog, show=lambda jog, *_: "jogs at %s mm/s" % _g(jog.velocity) if jog else None),
)  # type: Tuple[Key, ...]

if tuple(key.name for key in AXIS_KEYS) != AxisSettings._fields[1:]:
    raise TypeError("AXIS_KEYS and the fields of AxisSettings differ: %s, %s"
                      % ([key.name for key in AXIS_KEYS], AxisSettings._fields[1:]))


def apply_settings(controller: KOVAxisController, settings: AxisSettings) -> None:
    """The settings of one axis, through the controller's methods, in the
    order of AXIS_KEYS; a value of None is not sent."""
    for key in AXIS_KEYS:
        value = getattr(settings, key.name)
        if key.apply is not None and value is not None:
            key.apply(controller, settings.station, value)


def apply_line_settings(controller: KOVAxisController, line: Line) -> None:
    """The settings of a line that are not its port or baud rate (those
    make the controller), through the controller, in the order of
    LINE_KEYS; a value of None is not sent."""
    for key in LINE_KEYS:
        value = getattr(line, key.name)
        if key.apply is not None and value is not None:
            key.apply(controller, value)


def summary(settings: AxisSettings, description: Description) -> str:
    """One line for an axis of DESCRIPTION: the words of each key of
    AXIS_KEYS that shows itself."""
    parts = [key.show(getattr(settings, key.name), settings, description)
             for key in AXIS_KEYS if key.show is not None]
    return "%s: %s" % (settings.name, ", ".join(part for part in parts if part))
