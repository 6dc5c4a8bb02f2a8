"""A motion under way as a future. Whoever watches the motion (the poller of
its line for a move, the run's own waiter for homing) ends it with
``_conclude`` or ``_finish``, telling whether it saw the axis at rest; a
cancel stops the axis and waits for that end (and, when the watcher could
not see the axis at rest, looks itself), so that a cancelled motion is one
whose axis is at rest."""
import concurrent.futures
import threading
from typing import TYPE_CHECKING, Any, Generator, Generic, Optional, Tuple, TypeVar

import qzr_kov

from . import aio
from .errors import WaitTimeout

if TYPE_CHECKING:
    from .axis import Axis

_T = TypeVar("_T")
# (True, result) or (False, exception)
Outcome = Tuple[bool, Any]

if TYPE_CHECKING:
    _FutureBase = concurrent.futures.Future
else:
    # concurrent.futures.Future can be subscripted from 3.9 on only.
    class _FutureBase(concurrent.futures.Future, Generic[_T]):
        pass

_CANCEL, _FINISH = "cancel", "finish"

# A cancel that has to see for itself that the axis rests looks every
# _REST_POLL seconds (slept with the module's _sleep), and gives up after
# _REST_TRIES failed reads in a row, raising the last one's error.
_REST_POLL = 0.01
_REST_TRIES = 3


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
        #: "move", "run" (a jog at a velocity, with no target) or "homing"
        self.kind = kind
        # Who settles the future: its watcher (_FINISH) or a cancel (_CANCEL).
        self._lock = threading.Lock()
        self._claimed = None  # type: Optional[str]
        # Signalled when a cancel has ended, well or not; _at_rest once one
        # has ended well.
        self._changed = threading.Condition(self._lock)
        self._at_rest = False
        # The watcher's outcome when it came while a cancel was under way.
        self._stashed = None  # type: Optional[Outcome]
        # Set once the watcher has seen the motion end; _rested tells
        # whether it saw the axis at rest then.
        self._ended = threading.Event()
        self._rested = False

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
        error comes out of here and the motion goes on. When the read that
        was to see the axis stop fails, the axis is read again until it
        is seen at rest; should that fail a few times in a row, the last
        read's error comes out of here and the motion ends with the first
        one's, not as cancelled."""
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
        return (yield from aio.awaiting(self))  # type: ignore[no-any-return]

    # -- the end, told by the motion's watcher

    def _conclude(self, outcome: Outcome, at_rest: bool = True) -> None:
        """The end of the motion, from a watcher that must not be held up;
        AT_REST: whether it saw the axis at rest. Done callbacks other than
        the hand-off to an awaiting asyncio task run in a thread of their
        own: no callback can hold up the watcher, nor wait for another
        motion that it has yet to end."""
        self._rested = at_rest
        self._ended.set()
        # Holding the future's condition, no callback can be added meanwhile.
        with self._condition:  # type: ignore[attr-defined]
            callbacks = getattr(self, "_done_callbacks", [None])
            if all(isinstance(callback, aio.LoopHandOff) for callback in callbacks):
                self._finish(outcome, at_rest)
                return
        try:
            threading.Thread(target=self._finish, args=(outcome, at_rest), daemon=True,
                             name="qzr_kov_motion end of a move, station %d"
                             % self.axis.station).start()
        except RuntimeError:  # no thread to be had: the motion ends all the same
            self._finish(outcome, at_rest)

    def _finish(self, outcome: Outcome, at_rest: bool = True) -> None:
        self._rested = at_rest
        self._ended.set()
        with self._lock:
            if self._claimed is not None:
                self._stashed = outcome  # used only if the cancel fails
                return
            self._claimed = _FINISH
        self._settle(outcome)

    def _settle(self, outcome: Outcome) -> None:
        ok, value = outcome
        if ok:
            concurrent.futures.Future.set_result(self, value)
        else:
            concurrent.futures.Future.set_exception(self, value)

    def _halt(self) -> None:
        """Once a stop has been sent: returns when the watcher has seen the
        motion end and the axis has been seen at rest."""
        self._ended.wait()
        failures = 0
        while not self._rested:
            try:
                self._rested = not self.axis.running
                failures = 0
            except Exception:
                failures += 1
                if failures >= _REST_TRIES:
                    raise
            if not self._rested:
                qzr_kov._sleep(_REST_POLL)  # type: ignore[attr-defined]
