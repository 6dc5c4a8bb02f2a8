"""One poller per controller: a single thread that watches the stations of
the moves running on that controller's line, in turn, one exchange at a
time, and tells each move what its station showed once it had stopped.

The line carries one exchange at a time, for every station on it. A thread
per move, each polling on its own, would keep the line busy with polls and
make every other command queue behind them; the poller asks one station at
a time and leaves the line idle between its exchanges, so that a command
from any other thread gets the line after at most the exchange in
progress.

Policy: a round asks every station with a running move once, with
``is_running``, in the order their moves began; a station seen stopped is
read once more for its stop source and once for its status words (position,
encoder and all, in one exchange), which are handed to whatever judges the
move's end: the poller does not decide whether a move arrived. Before every
exchange of its own the poller leaves the line idle
for ``IDLE_GAP`` seconds. One moving axis is thus polled every exchange
plus gap, N axes every N of them. The thread starts with the first move on
its controller and ends once none is left.
"""
import collections
import threading
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple

import qzr_kov
from qzr_kov import KOVAxisController, StopSource

from .fresh import PerProcess

#: What the poller read once a station had stopped: its stop source, and its
#: status words then (None if that read failed with FAILURE).
Stopped = NamedTuple("Stopped", [("source", StopSource), ("words", Optional[List[Any]]),
                                 ("failure", Optional[Exception])])
# (True, Stopped) once the station was seen at rest, its stop source read
# and its end logged; (False, exception) when that could not be done.
_Outcome = Tuple[bool, Any]
# What the poller calls with the outcome of a station's move.
Ended = Callable[[_Outcome], None]

# Seconds of idle line before each of the poller's exchanges. A thread that
# waits for the line must wake up and take it within that time: Python's
# locks are not first come, first served, and a poller that merely yields
# (a sleep of 0) takes the line again before the waiter has run: on 3.6 a
# command then waited 12 ms (median) and up to 72 ms behind polls of 5 ms,
# where 0.05 ms of gap already let it in after the poll in progress
# (bench/line.py). 1 ms leaves a margin for a busy machine and costs each
# round of N axes N ms. Slept with the module's _sleep.
IDLE_GAP = 0.001


class _Registry(object):
    """The pollers of one process: controller (by id; a running poller
    holds its controller) to its poller, and the lock over them and their
    moves. A forked child gets a registry of its own (the parent's pollers
    do not run there, and its lock may have been held at the fork)."""

    def __init__(self) -> None:
        self.pollers = {}  # type: Dict[int, _Poller]
        self.lock = threading.Lock()


_registry = PerProcess(_Registry)


def watch(controller: KOVAxisController, station: Any, ended: Ended) -> None:
    """Watches STATION of CONTROLLER, whose move has just been started, and
    calls ENDED with the outcome once it has stopped; starts the poller of
    that controller if none runs. If its thread cannot start, the error
    comes out here and ENDED is never called."""
    registry = _registry.get()
    with registry.lock:
        poller = registry.pollers.get(id(controller))
        if poller is not None:
            poller.add(station, ended)
            return
        poller = _Poller(controller, registry)
        poller.add(station, ended)
        registry.pollers[id(controller)] = poller
        try:
            # Under the lock: a move added next goes to a poller that runs.
            poller.thread.start()
        except BaseException:
            del registry.pollers[id(controller)]
            raise


def running_pollers() -> "List[threading.Thread]":
    """The threads of the pollers that run now in this process."""
    registry = _registry.get()
    with registry.lock:
        return [poller.thread for poller in registry.pollers.values()]


class _Poller(object):
    def __init__(self, controller: KOVAxisController, registry: _Registry) -> None:
        self.controller = controller
        self.registry = registry
        # Station -> what to call when it stops, for each of its running
        # moves; stations in the order they came.
        self.moves = collections.OrderedDict()  # type: Dict[Any, List[Ended]]
        # A daemon: whatever happens to the program, it never keeps it alive.
        self.thread = threading.Thread(target=self._run, daemon=True,
                                       name="qzr_kov_motion poller of %r" % (controller,))

    def add(self, station: Any, ended: Ended) -> None:
        self.moves.setdefault(station, []).append(ended)

    def _run(self) -> None:
        lock, pollers = self.registry.lock, self.registry.pollers
        try:
            while True:
                with lock:
                    if not self.moves:
                        del pollers[id(self.controller)]
                        return
                    stations = list(self.moves)
                for station in stations:
                    self._poll(station)
        except BaseException as error:
            # Not to happen; if it does, no move waits for ever.
            with lock:
                moves = [m for ms in self.moves.values() for m in ms]
                self.moves.clear()
                pollers.pop(id(self.controller), None)
            for ended in moves:
                ended((False, error))
            raise

    def _poll(self, station: Any) -> None:
        # The moves known before the poll: a move started on the station
        # meanwhile waits for the next round, whatever this poll finds.
        with self.registry.lock:
            moves = list(self.moves[station])
        outcome = self._outcome(station)
        if outcome is None:
            return
        with self.registry.lock:
            left = [m for m in self.moves[station] if not any(m is n for n in moves)]
            if left:
                self.moves[station] = left
            else:
                del self.moves[station]
        for ended in moves:
            ended(outcome)

    def _outcome(self, station: Any) -> Optional[_Outcome]:
        """None while STATION runs; else what its moves are told: what was
        read at the end (Stopped), or the exception of a read or of the log
        line (the line's own, as it came)."""
        controller = self.controller
        try:
            if self._exchange(controller.is_running, station):
                return None
            source = self._exchange(controller.get_stop_source, station)
            # The line the controller's own wait writes, in its words.
            qzr_kov.logger.info("Station {} locating done. Stop source: {}".format(
                station, int(source)))
        except BaseException as error:
            return False, error
        try:
            words = self._exchange(controller.status_words, station)  # type: Optional[List[Any]]
            failure = None  # type: Optional[Exception]
        except Exception as error:
            words, failure = None, error
        return True, Stopped(source, words, failure)

    @staticmethod
    def _exchange(call: Callable[[Any], Any], station: Any) -> Any:
        # The gap comes before each exchange, so that a move is settled
        # right after the read that ends it.
        qzr_kov._sleep(IDLE_GAP)  # type: ignore[attr-defined]
        return call(station)
