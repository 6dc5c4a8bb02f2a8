"""One poller per controller: a single thread that watches the stations of
the moves running on that controller's line, in turn, one exchange at a
time, and ends each move once its station has stopped.

The line carries one exchange at a time, for every station on it. A thread
per move, each polling on its own, would keep the line busy with polls and
make every other command queue behind them; the poller asks one station at
a time and leaves the line idle between its exchanges, so that a command
from any other thread gets the line after at most the exchange in
progress.

Policy: a round asks every station with a running move once, with
``is_running``, in the order their moves began; a station seen stopped is
read once more for its stop source and, for the move's result, its
position. Before every exchange of its own the poller leaves the line idle
for ``IDLE_GAP`` seconds. One moving axis is thus polled every exchange
plus gap, N axes every N of them. The thread starts with the first move on
its controller and ends once none is left.
"""
import collections
import threading
from typing import Any, Callable, Dict, List, Optional, Tuple

import qzr_kov
from qzr_kov import KOVAxisController, StopSource

from .errors import move_ended_early

# (True, result) or (False, exception)
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

# Controller (by id; a running poller holds its controller) -> its poller.
_pollers = {}  # type: Dict[int, _Poller]
_lock = threading.Lock()


def watch(controller: KOVAxisController, station: Any, ended: Ended) -> None:
    """Watches STATION of CONTROLLER, whose move has just been started, and
    calls ENDED with the outcome once it has stopped; starts the poller of
    that controller if none runs."""
    with _lock:
        poller = _pollers.get(id(controller))
        if poller is not None:
            poller.add(station, ended)
            return
        poller = _Poller(controller)
        poller.add(station, ended)
        _pollers[id(controller)] = poller
        try:
            # Under the lock: a move added next goes to a poller that runs.
            poller.thread.start()
        except BaseException:
            del _pollers[id(controller)]
            raise


def running_pollers() -> "List[threading.Thread]":
    """The threads of the pollers that run now."""
    with _lock:
        return [poller.thread for poller in _pollers.values()]


class _Poller(object):
    def __init__(self, controller: KOVAxisController) -> None:
        self.controller = controller
        # Station -> what to call when it stops, for each of its running
        # moves; stations in the order they came.
        self.moves = collections.OrderedDict()  # type: Dict[Any, List[Ended]]
        # A daemon: whatever happens to the program, it never keeps it alive.
        self.thread = threading.Thread(target=self._run, daemon=True,
                                       name="qzr_kov_motion poller of %r" % (controller,))

    def add(self, station: Any, ended: Ended) -> None:
        self.moves.setdefault(station, []).append(ended)

    def _run(self) -> None:
        try:
            while True:
                with _lock:
                    if not self.moves:
                        del _pollers[id(self.controller)]
                        return
                    stations = list(self.moves)
                for station in stations:
                    self._poll(station)
        except BaseException as error:
            # Not to happen; if it does, no move waits for ever.
            with _lock:
                moves = [m for ms in self.moves.values() for m in ms]
                self.moves.clear()
                _pollers.pop(id(self.controller), None)
            for ended in moves:
                ended((False, error))
            raise

    def _poll(self, station: Any) -> None:
        # The moves known before the poll: a move started on the station
        # meanwhile waits for the next round, whatever this poll finds.
        with _lock:
            moves = list(self.moves[station])
        outcome = self._outcome(station)
        if outcome is None:
            return
        with _lock:
            left = [m for m in self.moves[station] if not any(m is n for n in moves)]
            if left:
                self.moves[station] = left
            else:
                del self.moves[station]
        for ended in moves:
            ended(outcome)

    def _outcome(self, station: Any) -> Optional[_Outcome]:
        """None while STATION runs; else what its moves end with: the
        position, a MotionError for a move that ended early, or the
        exception of a read (the line's own, as it came)."""
        controller = self.controller
        try:
            if self._exchange(controller.is_running, station):
                return None
            source = self._exchange(controller.get_stop_source, station)
            # The line the controller's own wait writes, in its words.
            qzr_kov.logger.info("Station {} locating done. Stop source: {}".format(
                station, int(source)))
            if source == StopSource.Null:
                return True, self._exchange(controller.get_position, station)
        except BaseException as error:
            return False, error
        try:
            position = self._exchange(controller.get_position, station)  # type: Optional[float]
        except Exception:
            position = None
        return False, move_ended_early(station, source, position)

    @staticmethod
    def _exchange(call: Callable[[Any], Any], station: Any) -> Any:
        # The gap comes before each exchange, so that a move is settled
        # right after the read that ends it.
        qzr_kov._sleep(IDLE_GAP)  # type: ignore[attr-defined]
        return call(station)
