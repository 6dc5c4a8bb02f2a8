"""Waiting for several motions under one time limit."""
import concurrent.futures
from typing import Any, Iterable, List, Optional, TypeVar, overload

from .errors import WaitTimeout
from .motion import Motion

_T = TypeVar("_T")


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
