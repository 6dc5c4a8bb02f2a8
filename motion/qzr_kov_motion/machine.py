"""A machine: named axes on one or more lines, described in one file.

``Machine.from_file("machine.toml")`` (or ``.json``, or ``from_dict``)
checks the whole description first (description.py), then opens one
controller per line and applies every axis's settings through the
controller's public methods. Axes come by name (``machine["x"]``), with
their travel (soft limits) and named positions; ``machine.move_to({...})``
moves several at once, all or nothing, or together on a straight line;
``machine.home()`` homes them group by group. An axis with a homing
section is not homed until homing succeeds (or ``machine.assume_homed``).
``machine.state()`` reads every axis's state, and
``machine.watch(callback)`` hands each axis's newest state to a callback as
the pollers read them (watcher.py).
"""
import concurrent.futures
import threading
import time
import types
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Type, TypeVar

from qzr_kov import KOVAxisController

from . import together as _together
from .axis import Axis, Target, _log, holding, not_homed, stopping
from .description import (DIRECTIONS, Description, apply_line_settings, apply_settings,
                          check_description, load_description)
from .errors import MachineError, WaitTimeout
from .motion import Motion
from .state import AxisState, read_state
from .together import settle as _settle
from .watcher import Callback, Watcher

_M = TypeVar("_M", bound="Machine")


def _is_time_limit(seconds: Any) -> bool:
    """Whether SECONDS is a number above 0 that a wait can take (at most
    threading.TIMEOUT_MAX, some 292 years: a longer one overflows)."""
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        return False
    return 0 < seconds <= threading.TIMEOUT_MAX


class Machine(object):
    """The axes of a description, each an Axis with its name, travel and
    positions, on one controller per line.

    ``Machine(description, lines=None)`` takes a checked Description; most
    programs use ``from_file`` or ``from_dict``. LINES maps a line's name to
    an object the controller takes as its port instead of the line's
    ``port`` (any object with the master's operations, such as a
    SimulatedLine). The controllers are opened in file order, then every
    axis's settings are applied; if any of that fails, the controllers
    opened are closed and the error comes out unchanged.
    """

    def __init__(self, description: Description, *,
                 lines: Optional[Mapping[str, Any]] = None) -> None:
        unknown = [name for name in (lines or {}) if name not in description.lines]
        if unknown:
            raise MachineError(["lines: the description has no line %r (its lines: %s)"
                                % (name, ", ".join(description.lines)) for name in unknown])
        self.description = description
        #: line name -> its KOVAxisController
        self.controllers = {}  # type: Dict[str, KOVAxisController]
        #: axis name -> Axis, in file order
        self.axes = {}  # type: Dict[str, Axis]
        # The watchers opened (in this process or, after a fork, its parent).
        self._watchers = []  # type: List[Watcher]
        try:
            for line in description.lines.values():
                port = (lines or {}).get(line.name, line.port)
                if line.baudrate is None:
                    controller = KOVAxisController(port)
                else:
                    controller = KOVAxisController(port, baudrate=line.baudrate)
                self.controllers[line.name] = controller
                apply_line_settings(controller, line)
            for settings in description.axes.values():
                controller = self.controllers[settings.line]
                apply_settings(controller, settings)
                self.axes[settings.name] = Axis(
                    controller, settings.station, settings.name, settings.travel,
                    settings.positions, settings.encoder, profile=settings.profile,
                    jog_velocity=None if settings.jog is None else settings.jog.velocity,
                    homed=settings.homing is None)
        except BaseException:
            self._close_all(quietly=True)
            raise

    @classmethod
    def from_file(cls: Type[_M], path: str, *, lines: Optional[Mapping[str, Any]] = None) -> _M:
        """The machine described in PATH (``.toml`` or ``.json``), checked
        as a whole before any line is opened (MachineError)."""
        return cls(load_description(path), lines=lines)

    @classmethod
    def from_dict(cls: Type[_M], data: Mapping[str, Any], *,
                  lines: Optional[Mapping[str, Any]] = None) -> _M:
        """The machine DATA describes (the schema of the files), checked as
        a whole before any line is opened (MachineError)."""
        return cls(check_description(data), lines=lines)

    def __repr__(self) -> str:
        return "<Machine: %s>" % ", ".join(self.axes)

    def __getitem__(self, name: str) -> Axis:
        try:
            return self.axes[name]
        except KeyError:
            raise KeyError("no axis %r (the axes are %s)" % (name, ", ".join(self.axes)))

    def __enter__(self: _M) -> _M:
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[types.TracebackType]) -> None:
        """Closes the controllers. When the block is left by an exception
        the axes are stopped first, as stopping() does, and a failure to
        close is logged rather than hiding that exception."""
        if exc_type is None:
            self.close()
            return
        self.stopping().__exit__(exc_type, exc, traceback)
        self._close_all(quietly=True)

    def close(self) -> None:
        """Closes its watchers, then every controller (the controller
        refuses while a homing result is uncollected); if any fails, the
        others are still closed and the first error is raised."""
        self._close_all(quietly=False)

    def _close_all(self, quietly: bool) -> None:
        self._close_watchers()
        first = None  # type: Optional[BaseException]
        for name, controller in self.controllers.items():
            try:
                controller.close()
            except Exception as error:
                if quietly:
                    _log.warning("line %s: closing it failed: %s: %s", name,
                                 type(error).__name__, error)
                elif first is None:
                    first = error
        if first is not None:
            raise first

    def state(self) -> Dict[str, AxisState]:
        """Each axis's state read now (name to AxisState, in file order):
        one status_words exchange per axis, in this thread."""
        return {name: read_state(axis) for name, axis in self.axes.items()}

    def watch(self, callback: Callback, *, idle_period: float = 1.0) -> Watcher:
        """Calls CALLBACK with every axis's newest state (name to AxisState)
        whenever a new one has been read, from a thread of the watcher's
        own, until the returned Watcher is closed (``close()``, the end of
        a ``with`` block, or the machine's close). Every axis is read once
        first, here (the read's error comes out, nothing is left open); an
        axis with a move of its own under way is then read by its line's
        poller with each poll, any other every IDLE_PERIOD seconds (a
        number above 0; TypeError, ValueError before anything is read).
        See Watcher."""
        self._watchers = [old for old in self._watchers if not old.closed]
        watcher = Watcher(self.axes, callback, idle_period, repr(self))
        watcher.open()
        self._watchers.append(watcher)
        return watcher

    def _close_watchers(self) -> None:
        """Closes the watchers this process opened."""
        for watcher in list(self._watchers):
            watcher.close()

    def stopping(self) -> stopping:
        """``with machine.stopping():`` stops every axis when the block is
        left by an exception (see stopping)."""
        return stopping(*self.axes.values())

    def move_to(self, targets: Mapping[str, Target], *, together: bool = False,
                velocity: Optional[float] = None) -> "Dict[str, Motion[float]]":
        """Moves several axes at once: TARGETS maps an axis's name to
        millimetres or one of its position names. Every target is checked
        first (KeyError, LimitError), and so is VELOCITY, and whether each
        axis is homed (NotHomedError): if one is refused, nothing moves.
        Returns name to Motion.

        Apart (TOGETHER false), each axis moves on its own profile, or at
        VELOCITY mm/s: the moves are started one after the other; should a
        start fail, the moves already started are stopped, and so is the
        axis whose start failed (the command may have gone out: its answer,
        or its log line, was lost), and its error comes out.

        TOGETHER: the axes arrive together and the tool point runs a
        straight line, at VELOCITY mm/s along it (None: as fast as the
        slowest axis allows); see the module together. The positions are
        read first (RuntimeError for an axis that moves, ValueError for
        speeds beyond an axis's limit: nothing written yet)."""
        checked = [(name, self[name], self[name].target(target))
                   for name, target in targets.items()]
        if together:
            return _together.move(checked, velocity)
        speeds = [axis.velocity_checked(velocity) for _, axis, _ in checked]
        motions = {}  # type: Dict[str, Motion[float]]
        failure, failed = None, None  # type: Optional[BaseException], Optional[Axis]
        with holding(axis for _, axis, _ in checked):
            refused = [axis for _, axis, _ in checked if not axis.homed]
            if refused:
                raise not_homed(refused, "machine.move_to")
            for (name, axis, mm), chosen in zip(checked, speeds):
                try:
                    motions[name] = axis._move_to(mm, chosen)
                except BaseException as error:
                    failure, failed = error, axis
                    break
        if failure is not None and failed is not None:
            # Out of the locks: a cancel waits for the end the poller tells.
            _settle(list(motions.values()))
            failed._stop_after(failure)
            raise failure
        return motions

    def assume_homed(self, *names: str) -> None:
        """Declares the axes NAMES (none: every axis) homed, as they would
        be after homing: for a program started on a machine that stayed
        powered since its last homing, whose counters still hold the
        coordinates. Nothing is sent or read: if an axis was moved by hand,
        or its drive lost steps, meanwhile, its moves will go wrong. An
        unknown name raises KeyError naming the axes, before any is
        declared."""
        axes = [self[name] for name in names] if names else list(self.axes.values())
        for axis in axes:
            axis._assume_homed()

    def homing_groups(self, axes: Optional[Iterable[str]] = None) -> List[List[str]]:
        """The names of the axes to home (AXES, default every axis with
        homing settings), grouped by their order, lowest first."""
        names = list(self.axes) if axes is None else [axes] if isinstance(axes, str) \
            else list(axes)
        orders = {}  # type: Dict[int, List[str]]
        for name in names:
            self[name]      # KeyError naming the axes
            settings = self.description.axes[name]
            if settings.homing is None:
                if axes is None:
                    continue
                raise ValueError("axis %s has no homing settings in the description" % name)
            orders.setdefault(settings.homing.order, []).append(name)
        return [orders[order] for order in sorted(orders)]

    def home(self, timeout: Optional[float] = None,
             axes: Optional[Iterable[str]] = None) -> None:
        """Homes the axes with homing settings (or those named in AXES)
        group by group, in their order: each group at once, waiting for it
        before the next starts. Each axis gets its profile back afterwards
        (homing leaves the homing speeds in the station). If one fails, the
        others of its group are stopped, no later group starts, and its
        MotionError (or the error that kept it from starting) is raised.
        After TIMEOUT seconds in all (None: no limit; else a number above
        0 and at most threading.TIMEOUT_MAX, ValueError before anything is
        sent), the running group is stopped and TimeoutError raised. Homed
        axes are at 0."""
        if timeout is not None and not _is_time_limit(timeout):
            raise ValueError("the time limit of homing is None or a number of seconds above "
                             "0 and at most %g, not %r" % (threading.TIMEOUT_MAX, timeout))
        groups = self.homing_groups(axes)
        end = None if timeout is None else time.monotonic() + timeout
        with stopping(*(self[name] for group in groups for name in group)):
            for group in groups:
                self._home_group(group, end, timeout)

    def _home_group(self, group: List[str], end: Optional[float],
                    timeout: Optional[float]) -> None:
        motions = []  # type: List[Motion[bool]]
        try:
            for name in group:
                homing = self.description.axes[name].homing
                assert homing is not None
                motions.append(self[name].home(*homing.speeds,
                                               direction=DIRECTIONS[homing.direction]))
            left = None if end is None else max(end - time.monotonic(), 0.0)
            done, pending = concurrent.futures.wait(motions, left,
                                                    concurrent.futures.FIRST_EXCEPTION)
            _settle([m for m in motions if m in pending])
            for motion in motions:
                if motion in done:
                    motion.result()     # the first failure of the group, in its order
            if pending:
                raise WaitTimeout("homing did not end within %s s: %s stopped"
                                  % (timeout, ", ".join(m.axis.name or str(m.axis.station)
                                                        for m in motions if m in pending)))
        except BaseException:
            _settle(motions)
            self._restore_profiles([m.axis for m in motions], quietly=True)
            raise
        self._restore_profiles([self[name] for name in group], quietly=False)

    def _restore_profiles(self, axes: Sequence[Axis], quietly: bool) -> None:
        """Homing leaves its speeds in the station: each axis gets its
        profile back. QUIETLY: a failure is logged, the others still done
        (and the axis writes its profile before its next move)."""
        for axis in axes:
            try:
                axis._restore_profile()
            except Exception as error:
                if not quietly:
                    raise
                _log.warning("axis %s: restoring its profile failed: %s: %s", axis.name,
                             type(error).__name__, error)
