"""The hand-off of a motion to asyncio: ``await motion`` in a running loop
waits without blocking it, and a cancelled task stops the axis."""
import asyncio
import concurrent.futures
import sys
from typing import TYPE_CHECKING, Any, Generator

if TYPE_CHECKING:
    from .motion import Motion

# From 3.7 on, asyncio.wait_for waits for the task it cancels; 3.6 raises
# its TimeoutError at once, and the loop may then be closed before a stop
# in the executor has ended.
_WAIT_FOR_WAITS = sys.version_info >= (3, 7)


def awaiting(motion: "Motion[Any]") -> Generator[Any, None, Any]:
    """What ``await motion`` runs. Cancelling the awaiting task cancels the
    motion in the loop's default executor, so the loop goes on meanwhile;
    the task ends once the axis is at rest, with CancelledError, or with the
    stop's error if the stop failed (the cancellation as its context).

    On 3.6 the cancel is made within the task's cancel() instead, in the
    loop's thread: cancel() returns once the axis is at rest, so that a
    wait_for's TimeoutError comes after that, and nothing is left to end
    once the loop may have been closed."""
    loop = getattr(asyncio, "get_running_loop", asyncio.get_event_loop)()
    if _WAIT_FOR_WAITS:
        waiter = loop.create_future()  # type: asyncio.Future[Any]
    else:
        waiter = _StoppingWaiter(motion, loop)
    motion.add_done_callback(LoopHandOff(loop, waiter))
    try:
        return (yield from waiter)
    except asyncio.CancelledError as cancelled:
        if motion.done():
            raise  # cancelled (and so at rest), or ended meanwhile
        stopping = loop.run_in_executor(None, motion.cancel)
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


class _StoppingWaiter(asyncio.Future):  # type: ignore[type-arg]
    """On 3.6, the future an awaiting task waits on: the task's cancel()
    calls its cancel() (the C task too, by name), which cancels the motion
    first. If the stop fails, the task ends with the stop's error, the
    cancellation as its context, and the motion goes on."""

    def __init__(self, motion: "Motion[Any]", loop: "asyncio.AbstractEventLoop") -> None:
        asyncio.Future.__init__(self, loop=loop)
        self.motion = motion

    def cancel(self, *args: Any, **kwargs: Any) -> bool:
        if self.done():
            return False
        try:
            self.motion.cancel()
        except Exception as failure:
            failure.__context__ = asyncio.CancelledError()
            self.set_exception(failure)
            return True
        return asyncio.Future.cancel(self, *args, **kwargs)


class LoopHandOff(object):
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
