"""The hand-off of a motion to asyncio: ``await motion`` in a running loop
waits without blocking it, and a cancelled task stops the axis."""
import asyncio
import concurrent.futures
from typing import TYPE_CHECKING, Any, Generator

if TYPE_CHECKING:
    from .motion import Motion


def awaiting(motion: "Motion[Any]") -> Generator[Any, None, Any]:
    """What ``await motion`` runs. Cancelling the awaiting task cancels the
    motion in the loop's default executor, so the loop goes on meanwhile;
    the task ends once the axis is at rest, with CancelledError, or with the
    stop's error if the stop failed (the cancellation as its context)."""
    loop = getattr(asyncio, "get_running_loop", asyncio.get_event_loop)()
    waiter = loop.create_future()  # type: asyncio.Future[Any]
    motion.add_done_callback(LoopHandOff(loop, waiter))
    try:
        return (yield from waiter)
    except asyncio.CancelledError as cancelled:
        if motion.cancelled():
            raise  # cancelled by someone else, and so at rest
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
