"""A motion under way as a future: one waiter thread per motion calls the
controller's blocking wait and settles the future with what it returned."""
import concurrent.futures
import threading
from typing import (TYPE_CHECKING, Any, Callable, Dict, Generator, Generic, Iterable, List,
                    Optional, Tuple, TypeVar)

from qzr_kov import StopSource

from .errors import REASONS, MotionError, WaitTimeout, describe, module_stop_code

if TYPE_CHECKING:
    from .axis import Axis

_T = TypeVar("_T")
# (True, result) or (False, exception)
_Outcome = Tuple[bool, Any]

if TYPE_CHECKING:
    _FutureBase = concurrent.futures.Future
else:
    # concurrent.futures.Future can be subscripted from 3.9 on only.
    class _FutureBase(concurrent.futures.Future, Generic[_T]):
        pass

_CANCEL, _FINISH = "cancel", "finish"


class Motion(_FutureBase[_T]):
    """A motion of one axis, started already: a concurrent.futures.Future.

    For a move the result is the position in millimetres where it ended;
    for homing it is True. A move that ended for another reason, or a
    homing run that did not find the origin, ends with a MotionError; a
    failure of the line ends with the master's own exception.

    The motion counts as running until it has ended, and can be cancelled
    while it runs: cancel() stops the axis (see there).
    """

    def __init__(self, axis: "Axis", kind: str) -> None:
        concurrent.futures.Future.__init__(self)
        #: the Axis that moves
        self.axis = axis
        #: "move" or "homing"
        self.kind = kind
        # Who settles the future: the waiter (_FINISH) or a cancel (_CANCEL).
        self._lock = threading.Lock()
        self._claimed = None  # type: Optional[str]
        # The waiter's outcome when it came while a cancel was under way.
        self._stashed = None  # type: Optional[_Outcome]
        # Homing: the result of wait_for_find_o_finish, collected once.
        self._collect_lock = threading.Lock()
        self._homing_outcome = None  # type: Optional[_Outcome]
        # Set when the waiter's wait has returned.
        self._watched = threading.Event()

    def __repr__(self) -> str:
        state = "cancelled" if self.cancelled() else "done" if self.done() else "running"
        return "<Motion %s of station %d, %s>" % (self.kind, self.axis.station, state)

    def wait(self, timeout: Optional[float] = None) -> _T:
        """The result once the motion has ended, or its exception raised.

        After TIMEOUT seconds raises TimeoutError (before 3.11 an instance
        that is also concurrent.futures.TimeoutError) and the motion goes
        on; wait again to collect it."""
        if not concurrent.futures.wait([self], timeout).done:
            raise WaitTimeout("station %d: the %s goes on after %s s"
                              % (self.axis.station, self.kind, timeout))
        return self.result()

    def running(self) -> bool:
        """True until the motion has ended or was cancelled."""
        return not self.done()

    def cancel(self) -> bool:
        """Stops the axis and ends the motion with CancelledError; False if
        it had ended already. Returns once the axis has come to rest and,
        for homing, the run's result has been collected from the controller,
        so that nothing is left pending there. If the stop command fails,
        its error comes out of here and the motion goes on."""
        with self._lock:
            if self._claimed is not None:
                return self._claimed == _CANCEL
            self._claimed = _CANCEL
        try:
            self.axis.stop()
            self._watched.wait()
        except BaseException:
            with self._lock:
                self._claimed = None
                stashed, self._stashed = self._stashed, None
            if stashed is not None:
                self._finish(stashed)
            raise
        concurrent.futures.Future.cancel(self)
        # Wakes concurrent.futures.wait and as_completed as well.
        self.set_running_or_notify_cancel()
        return True

    def __await__(self) -> Generator[Any, None, _T]:
        """``await motion`` in a running asyncio loop: waits without
        blocking the loop. Cancelling the awaiting task cancels the motion,
        as asyncio.wrap_future does for any future."""
        import asyncio
        loop = getattr(asyncio, "get_running_loop", asyncio.get_event_loop)()
        return asyncio.wrap_future(self, loop=loop).__await__()

    # -- the waiter

    def _start(self, watch: Callable[["Motion[_T]"], _T]) -> "Motion[_T]":
        # A daemon: whatever happens to the program, a waiter never keeps it
        # alive (the module's homing workers do, until the axis stops).
        thread = threading.Thread(target=self._watch, args=(watch,), daemon=True,
                                  name="qzr_kov_motion %s, station %d" % (self.kind,
                                                                         self.axis.station))
        thread.start()
        return self

    def _watch(self, watch: Callable[["Motion[_T]"], _T]) -> None:
        try:
            outcome = (True, watch(self))  # type: _Outcome
        except BaseException as error:
            outcome = (False, error)
        self._watched.set()
        self._finish(outcome)

    def _finish(self, outcome: _Outcome) -> None:
        with self._lock:
            if self._claimed is not None:
                self._stashed = outcome  # used only if the cancel fails
                return
            self._claimed = _FINISH
        ok, value = outcome
        if ok:
            concurrent.futures.Future.set_result(self, value)
        else:
            concurrent.futures.Future.set_exception(self, value)

    def _collect_homing(self) -> _Outcome:
        """wait_for_find_o_finish for this run, called once whoever asks
        first: the waiter, a cancel, or stopping()."""
        with self._collect_lock:
            if self._homing_outcome is None:
                axis = self.axis
                try:
                    self._homing_outcome = (True, axis.controller.wait_for_find_o_finish(
                        axis.station))
                except Exception as error:
                    self._homing_outcome = (False, error)
                # An interrupted wait (KeyboardInterrupt) collected nothing:
                # it leaves the run on the books for the next one to try.
                _homing_runs.forget(self)
            return self._homing_outcome


def watch_move(motion: "Motion[float]") -> float:
    controller, station = motion.axis.controller, motion.axis.station
    try:
        controller.wait_for_locating_done(station)
    except OSError as error:
        code = module_stop_code(error)
        if code is None:
            raise  # the master's own failure, passed on as it came
        source = StopSource(code)
        try:
            read = controller.get_stop_source(station)
            if read != StopSource.Null:
                source = read
        except Exception:
            pass  # the code in the module's message tells as much
        position = _position_or_none(motion.axis)
        raise MotionError(describe(station, "the move ended early: " + REASONS[source],
                                   position, str(error)),
                          station, source, position) from error
    return controller.get_position(station)


def watch_homing(motion: "Motion[bool]") -> bool:
    ok, value = motion._collect_homing()
    if not ok:
        raise value
    if value:
        return True
    station = motion.axis.station
    position = _position_or_none(motion.axis)
    raise MotionError(describe(station, "homing ended without finding the origin", position,
                               "wait_for_find_o_finish returned False"),
                      station, None, position)


def _position_or_none(axis: "Axis") -> Optional[float]:
    try:
        return axis.position
    except Exception:
        return None


class _HomingRuns(object):
    """Homing motions whose result has not been collected yet, by
    controller and station, for stopping() to collect."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        # The motions hold their controllers, so the ids stay theirs.
        self._runs = {}  # type: Dict[Tuple[int, int], List[Motion[bool]]]

    def add(self, motion: "Motion[bool]") -> None:
        with self._lock:
            self._runs.setdefault(self._key(motion.axis), []).append(motion)

    def forget(self, motion: "Motion[Any]") -> None:
        with self._lock:
            runs = self._runs.get(self._key(motion.axis), [])
            if motion in runs:
                runs.remove(motion)
            if not runs:
                self._runs.pop(self._key(motion.axis), None)

    def on(self, axis: "Axis") -> "List[Motion[bool]]":
        with self._lock:
            return list(self._runs.get(self._key(axis), []))

    @staticmethod
    def _key(axis: "Axis") -> Tuple[int, int]:
        return id(axis.controller), axis.station


_homing_runs = _HomingRuns()


def wait_all(motions: "Iterable[concurrent.futures.Future[_T]]",
             timeout: Optional[float] = None) -> List[_T]:
    """Waits until every motion has ended and returns their results in
    order. If any failed, raises the first failure in that order once all
    have ended. After TIMEOUT seconds raises TimeoutError (as Motion.wait
    does) and leaves them running."""
    motions = list(motions)
    pending = concurrent.futures.wait(motions, timeout).not_done
    if pending:
        stations = sorted(m.axis.station for m in pending if isinstance(m, Motion))
        raise WaitTimeout("%d of %d motions go on after %s s%s" % (
            len(pending), len(motions), timeout,
            " (stations %s)" % ", ".join(map(str, stations)) if stations else ""))
    return [m.result() for m in motions]
