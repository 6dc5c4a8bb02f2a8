"""A homing run as a motion. The module's homing worker drives and polls the
station itself; the run's waiter thread starts it with find_o and collects
its result with wait_for_find_o_finish. Runs whose result is not collected
yet are on the books here, for stopping() to end (in this process: a
forked child starts with none)."""
import threading
import time
from typing import TYPE_CHECKING, Callable, Dict, List, Optional, Tuple

from .errors import MotionError, describe
from .fresh import PerProcess
from .motion import Motion, Outcome

if TYPE_CHECKING:
    from .axis import Axis

# Seconds between two looks at a homing axis that is being stopped.
_HALT_POLL = 0.02
# How long a stopped axis may still ramp down when its ramp is not known.
_UNKNOWN_RAMP = 1.0


class HomingRun(Motion[bool]):
    """A homing run of AXIS: BEGIN (find_o, called by the waiter) starts it;
    RAMP is its acceleration time; ENDED, if given, is called with the
    run's outcome in the waiter's thread before the run ends (well or not,
    cancelled too). Without BEGIN the run is one started with the
    controller's own find_o, only to be collected."""

    def __init__(self, axis: "Axis", begin: Optional[Callable[[], None]] = None,
                 ramp: Optional[float] = None,
                 ended: Optional[Callable[[Outcome], None]] = None) -> None:
        Motion.__init__(self, axis, "homing")
        self._begin = begin
        self._ramp = _UNKNOWN_RAMP if ramp is None else ramp
        self._on_end = ended
        self._thread = None  # type: Optional[threading.Thread]
        self._abandoned = False
        # Set once the run has been started (or failed to start).
        self._begun = threading.Event()
        self._start_error = None  # type: Optional[BaseException]

    def _start(self) -> "HomingRun":
        # Not a daemon: find_o is called in this thread, and the module's
        # homing worker takes its daemon flag from it. The program is kept
        # alive until the run has ended, as with find_o called directly; a
        # daemon worker would be killed at exit halfway through its stages.
        with self._lock:
            if self._abandoned:
                return self
            self._thread = threading.Thread(
                target=self._watch, daemon=False,
                name="qzr_kov_motion %s, station %d" % (self.kind, self.axis.station))
        self._thread.start()
        return self

    def _abandon_if_unstarted(self) -> bool:
        """True if the waiter had not been started, and never will be."""
        with self._lock:
            self._abandoned = self._thread is None
            return self._abandoned

    def _watch(self) -> None:
        try:
            # Homing is started here rather than in the caller's thread: an
            # interrupt (Ctrl-C) in the middle of find_o could leave a
            # worker running that the controller no longer knows of.
            if self._begin is not None:
                self._begin()
        except BaseException as error:
            _runs.get().forget(self)
            self._start_error = error
            self._begun.set()
            outcome = (False, error)  # type: Outcome
        else:
            self._begun.set()
            try:
                outcome = (True, _collect(self))
            except BaseException as error:
                outcome = (False, error)
        try:
            if self._on_end is not None:
                self._on_end(outcome)
        finally:
            self._finish(outcome)

    def _halt(self) -> None:
        """Once a stop has been sent: returns when the controller's wait has
        returned. A stop that reaches a station before the homing worker has
        set it going, or between two stages of the run, does nothing: a
        homing axis seen running once a ramp's time has passed since the
        last stop is stopped again."""
        stopped = time.monotonic()
        while not self._ended.wait(_HALT_POLL):
            if time.monotonic() - stopped < self._ramp + 0.05:
                continue
            if self.axis.running:
                self.axis.stop()
                stopped = time.monotonic()


def start(axis: "Axis", begin: Callable[[], None], ramp: float,
          ended: Optional[Callable[[Outcome], None]] = None) -> HomingRun:
    """A homing run of AXIS started by BEGIN, once BEGIN has returned; its
    error is raised here. ENDED: as for HomingRun."""
    run = HomingRun(axis, begin, ramp, ended)
    # On the books before the run starts, for stopping() to find even if
    # the program is interrupted before this returns.
    _runs.get().add(run)
    run._start()._begun.wait()
    if run._start_error is not None:
        raise run._start_error
    return run


def _collect(run: HomingRun) -> bool:
    station = run.axis.station
    try:
        found = run.axis.controller.wait_for_find_o_finish(station)
    finally:
        _runs.get().forget(run)
    if found:
        return True
    try:
        position = run.axis.position  # type: Optional[float]
    except Exception:
        position = None
    raise MotionError(describe(station, "homing ended without finding the origin", position,
                               "wait_for_find_o_finish returned False"),
                      station, None, position)


class _Runs(object):
    """Homing runs whose result has not been collected yet, by controller
    and station."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        # The runs hold their controllers, so the ids stay theirs.
        self._runs = {}  # type: Dict[Tuple[int, int], List[HomingRun]]

    def add(self, run: HomingRun) -> None:
        with self._lock:
            self._runs.setdefault(self._key(run.axis), []).append(run)

    def forget(self, run: HomingRun) -> None:
        with self._lock:
            on = self._runs.get(self._key(run.axis), [])
            if run in on:
                on.remove(run)
            if not on:
                self._runs.pop(self._key(run.axis), None)

    def on(self, axis: "Axis") -> List[HomingRun]:
        with self._lock:
            return list(self._runs.get(self._key(axis), []))

    @staticmethod
    def _key(axis: "Axis") -> Tuple[int, int]:
        return id(axis.controller), axis.station


# A forked child sees none of its parent's runs: their threads stayed
# behind, and the child could not collect them.
_runs = PerProcess(_Runs)


def end_homing(axis: "Axis") -> None:
    """Ends every homing run on AXIS's station, the axis having been
    stopped, and collects its result."""
    for run in _runs.get().on(axis):
        if run._abandon_if_unstarted():
            _runs.get().forget(run)  # interrupted before it began
            continue
        run._begun.wait()
        run._halt()
    # A run started with the controller's own find_o.
    if axis.controller.is_finding_o(axis.station):
        collect = HomingRun(axis)
        _runs.get().add(collect)
        collect._start()._halt()
