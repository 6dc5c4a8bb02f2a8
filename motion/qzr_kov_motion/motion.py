"""A motion under way as a future. Moves are watched by the poller of their
controller (poller.py), which settles them once their station has stopped;
a homing run has a waiter thread of its own, which collects the run's result
from the controller (the module's homing worker polls the station itself)."""
import concurrent.futures
import threading
import time
from typing import (TYPE_CHECKING, Any, Callable, Dict, Generator, Generic, Iterable, List,
                    Optional, Tuple, TypeVar, overload)

from . import poller
from .errors import MotionError, WaitTimeout, describe

if TYPE_CHECKING:
    import asyncio

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
# Seconds between two looks at a homing axis that is being stopped.
_HALT_POLL = 0.02
# How long a stopped axis may still ramp down when its ramp is not known.
_UNKNOWN_RAMP = 1.0


class Motion(_FutureBase[_T]):
    """A motion of one axis, started already: a concurrent.futures.Future.

    For a move the result is the position in millimetres where it ended;
    for homing it is True. A move that ended for another reason, or a
    homing run that did not find the origin, ends with a MotionError; a
    failure of the line ends with the master's own exception.

    The motion counts as running until it has ended, and can be cancelled
    while it runs: cancel() stops the axis (see there).
    """

    def __init__(self, axis: "Axis", kind: str, begin: Optional[Callable[[], None]] = None,
                 ramp: Optional[float] = None) -> None:
        concurrent.futures.Future.__init__(self)
        #: the Axis that moves
        self.axis = axis
        #: "move" or "homing"
        self.kind = kind
        # Homing: find_o, called by the waiter; the ramp time of the run.
        self._begin = begin  # type: Optional[Callable[[], None]]
        self._ramp = _UNKNOWN_RAMP if ramp is None else ramp
        # Who settles the future: the waiter (_FINISH) or a cancel (_CANCEL).
        self._lock = threading.Lock()
        self._claimed = None  # type: Optional[str]
        # Signalled when a cancel has ended, well or not; _at_rest once one
        # has ended well.
        self._changed = threading.Condition(self._lock)
        self._at_rest = False
        # The waiter's outcome when it came while a cancel was under way.
        self._stashed = None  # type: Optional[_Outcome]
        self._thread = None  # type: Optional[threading.Thread]
        self._abandoned = False
        # Set once the run has been started (or failed to start), and once
        # the controller's wait has returned.
        self._begun = threading.Event()
        self._ended = threading.Event()
        self._start_error = None  # type: Optional[BaseException]

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
        so that nothing is left pending there; a cancel made while another
        is under way waits for that one. If the stop command fails, its
        error comes out of here and the motion goes on."""
        with self._lock:
            while self._claimed == _CANCEL and not self._at_rest:
                self._changed.wait()
            if self._claimed is not None:
                return self._claimed == _CANCEL
            self._claimed = _CANCEL
        try:
            self.axis.stop()
            self._halt()
        except BaseException:
            with self._lock:
                stashed, self._stashed = self._stashed, None
                self._claimed = None if stashed is None else _FINISH
            try:
                if stashed is not None:
                    self._settle(stashed)
            finally:
                with self._lock:
                    self._changed.notify_all()
            raise
        concurrent.futures.Future.cancel(self)
        # Wakes concurrent.futures.wait and as_completed as well.
        self.set_running_or_notify_cancel()
        with self._lock:
            self._at_rest = True
            self._changed.notify_all()
        return True

    def __await__(self) -> Generator[Any, None, _T]:
        """``await motion`` in a running asyncio loop: waits without
        blocking the loop. Cancelling the awaiting task cancels the motion
        in the loop's default executor, so the loop goes on meanwhile; the
        task ends once the axis is at rest, with CancelledError, or with
        the stop's error if the stop failed (the cancellation as its
        context)."""
        import asyncio
        loop = getattr(asyncio, "get_running_loop", asyncio.get_event_loop)()
        waiter = loop.create_future()  # type: asyncio.Future[Any]
        self.add_done_callback(_LoopHandOff(loop, waiter))
        try:
            return (yield from waiter)  # type: ignore[no-any-return]
        except asyncio.CancelledError as cancelled:
            if self.cancelled():
                raise  # cancelled by someone else, and so at rest
            stopping = loop.run_in_executor(None, self.cancel)
            while not stopping.done():
                try:
                    yield from asyncio.shield(stopping)
                except (Exception, asyncio.CancelledError):
                    # The cancel's outcome is taken below; a task cancelled
                    # again still waits for the axis to rest.
                    pass
            failure = stopping.exception()
            if failure is not None:
                failure.__context__ = cancelled
                raise failure
            raise cancelled

    # -- the waiter

    def _start(self) -> "Motion[_T]":
        if self.kind == "move":
            poller.watch(self)  # type: ignore[arg-type]
            return self
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
            _homing_runs.forget(self)
            self._start_error = error
            self._begun.set()
            outcome = (False, error)  # type: _Outcome
        else:
            self._begun.set()
            try:
                outcome = (True, watch_homing(self))  # type: ignore[arg-type]
            except BaseException as error:
                outcome = (False, error)
        self._ended.set()
        self._finish(outcome)

    def _conclude(self, outcome: _Outcome) -> None:
        """The poller's end of a move. Done callbacks other than the hand-off
        to an awaiting asyncio task run in a thread of their own, as they do
        in a homing motion's waiter: no callback can hold up the poller, nor
        wait for another motion that the poller has yet to end."""
        self._ended.set()
        # Holding the future's condition, no callback can be added meanwhile.
        with self._condition:  # type: ignore[attr-defined]
            callbacks = getattr(self, "_done_callbacks", [None])
            if all(isinstance(callback, _LoopHandOff) for callback in callbacks):
                self._finish(outcome)
                return
        try:
            threading.Thread(target=self._finish, args=(outcome,), daemon=True,
                             name="qzr_kov_motion end of a move, station %d"
                             % self.axis.station).start()
        except RuntimeError:  # no thread to be had: the move ends all the same
            self._finish(outcome)

    def _finish(self, outcome: _Outcome) -> None:
        with self._lock:
            if self._claimed is not None:
                self._stashed = outcome  # used only if the cancel fails
                return
            self._claimed = _FINISH
        self._settle(outcome)

    def _settle(self, outcome: _Outcome) -> None:
        ok, value = outcome
        if ok:
            concurrent.futures.Future.set_result(self, value)
        else:
            concurrent.futures.Future.set_exception(self, value)

    def _halt(self) -> None:
        """Once a stop has been sent: returns when the controller's wait has
        returned. A stop that reaches a station before the homing worker has
        set it going, or between two stages of the run, does nothing: a
        homing axis seen running once a ramp's time has passed since the
        last stop is stopped again."""
        stopped = time.monotonic()
        while not self._ended.wait(_HALT_POLL):
            if self.kind != "homing" or time.monotonic() - stopped < self._ramp + 0.05:
                continue
            if self.axis.running:
                self.axis.stop()
                stopped = time.monotonic()


def watch_homing(motion: "Motion[bool]") -> bool:
    station = motion.axis.station
    try:
        found = motion.axis.controller.wait_for_find_o_finish(station)
    finally:
        _homing_runs.forget(motion)
    if found:
        return True
    position = _position_or_none(motion.axis)
    raise MotionError(describe(station, "homing ended without finding the origin", position,
                               "wait_for_find_o_finish returned False"),
                      station, None, position)


class _LoopHandOff(object):
    """The done callback of an awaited motion: hands its end over to the
    awaiting task, in the loop's thread. Returns at once."""

    def __init__(self, loop: "asyncio.AbstractEventLoop", waiter: "asyncio.Future[Any]") -> None:
        self.loop = loop
        self.waiter = waiter

    def __call__(self, motion: "concurrent.futures.Future[Any]") -> None:
        try:
            self.loop.call_soon_threadsafe(self.copy, motion)
        except RuntimeError:
            pass  # the loop has been closed: nobody awaits any more

    def copy(self, motion: "concurrent.futures.Future[Any]") -> None:
        if self.waiter.done():
            return  # the task was cancelled
        if motion.cancelled():
            self.waiter.cancel()
            return
        error = motion.exception()
        if error is not None:
            self.waiter.set_exception(error)
        else:
            self.waiter.set_result(motion.result())


def _position_or_none(axis: "Axis") -> Optional[float]:
    try:
        return axis.position
    except Exception:
        return None


class _HomingRuns(object):
    """Homing motions whose result has not been collected yet, by
    controller and station, for stopping() to end."""

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


def end_homing(axis: "Axis") -> None:
    """Ends every homing run on AXIS's station, the axis having been
    stopped, and collects its result."""
    for motion in _homing_runs.on(axis):
        if motion._abandon_if_unstarted():
            _homing_runs.forget(motion)  # interrupted before it began
            continue
        motion._begun.wait()
        motion._halt()
    # A run started with the controller's own find_o.
    if axis.controller.is_finding_o(axis.station):
        collect = Motion(axis, "homing")  # type: Motion[bool]
        _homing_runs.add(collect)
        collect._start()._halt()


@overload
def wait_all(motions: "Iterable[concurrent.futures.Future[_T]]",
             timeout: Optional[float] = None) -> List[_T]: ...


@overload
def wait_all(motions: "Iterable[concurrent.futures.Future[Any]]",
             timeout: Optional[float] = None) -> List[Any]: ...


def wait_all(motions: "Iterable[concurrent.futures.Future[Any]]",
             timeout: Optional[float] = None) -> List[Any]:
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
