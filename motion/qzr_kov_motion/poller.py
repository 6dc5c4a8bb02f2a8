"""One poller per controller: a single thread that watches the stations of
the moves running on that controller's line, in turn, one exchange at a
time, tells each move what its station showed once it had stopped, and
reads the states of the stations that a watcher asks for.

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
its controller (or watcher) and ends once none is left.

Watched stations (``attach``): while a watcher wants a station, the polls
of its move read ``status_words`` instead of ``is_running`` (every
``STATE_EVERY``-th poll; 1, the default: every poll). The one exchange
gives position, velocity, inputs and the running bit at once, so watching
a moving station costs no exchange beyond the poll, and the status words
of the poll that saw it stopped are those its move is judged on (its end
costs one exchange fewer). The policy, measured by bench/line.py
(bench/README.md, "Watching the machine"): at 5 ms per exchange the status
read costs what a poll costs; on a line where the status block's 11 values
take 12 ms against 5 ms for a running bit, a status read every poll still
kept commands within their targets (2 exchanges + 3 ms median, 3
exchanges + 5 ms p95; but for 13.3 ms median with 16 axes on 3.6) and gave
a state every round, where every 4th poll gave one every 4 rounds of 40 %
shorter ones, about 2.4 times as rarely, for moves seen to end sooner with
many axes. A watched station without a move is read with ``status_words``
once every idle period of the watchers that want it (the shortest), only
while one is attached; a read that fails is logged once per run of
failures and tried again a period later. While a watcher is attached the
thread runs even with no move, looking for due reads at least every
``IDLE_STEP`` seconds (the module's ``_sleep``). Each status read is handed
to the watchers of its station in the poller's thread: they must return at
once (they hand it to a thread of their own). Without a watcher nothing of
this is done.
"""
import collections
import logging
import math
import threading
import time
from typing import Any, Callable, Dict, FrozenSet, List, NamedTuple, Optional, Sequence, Tuple

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

#: A watched station whose move runs is read with status_words on every
#: STATE_EVERY-th poll (the first one included), with is_running on the others.
STATE_EVERY = 1

#: Seconds the poller sleeps at most, with the module's _sleep, while a
#: watcher is attached and no move runs: a move started then waits at most
#: that long for its first poll, and a detached watcher's last station as
#: long for the thread to end.
IDLE_STEP = 0.01

_log = logging.getLogger("qzr_kov_motion")

# What a watcher is handed with each status read: the station, its status
# words, and time.monotonic() right after the read.
Deliver = Callable[[Any, List[Any], float], None]


class Sink(object):
    """What a watcher attaches to the poller of a controller: the STATIONS
    whose states it wants, the PERIOD in seconds between two reads of one
    without a move, and DELIVER, called with each status read of one of
    them in the poller's thread (it must return at once and not raise)."""

    def __init__(self, stations: Sequence[Any], period: float, deliver: Deliver) -> None:
        self.stations = frozenset(stations)  # type: FrozenSet[Any]
        self.order = list(stations)
        self.period = period
        self.deliver = deliver


class Failures(object):
    """A run of failures of one thing (WHAT, "station 3: reading its state"),
    told on the logger "qzr_kov_motion" at LEVEL: its first failure (with
    its traceback if TRACEBACK), not the identical ones that follow (the
    same exception type raised at the same place), a failure of another
    kind as a new one; and once the thing works again, the end of the run
    (INFO) with its count."""

    def __init__(self, what: str, level: int, traceback: bool = True) -> None:
        self.what = what
        self.level = level
        self.traceback = traceback
        self.count = 0
        self.kind = None  # type: Optional[Tuple[Any, ...]]

    def failed(self, error: BaseException) -> None:
        self.count += 1
        tb = error.__traceback__
        while tb is not None and tb.tb_next is not None:
            tb = tb.tb_next
        kind = (type(error),) if tb is None else (
            type(error), tb.tb_frame.f_code.co_filename, tb.tb_lineno)
        if kind != self.kind:
            self.kind = kind
            _log.log(self.level, "%s failed: %s: %s (told once until it works again)",
                     self.what, type(error).__name__, error,
                     exc_info=error if self.traceback else None)

    def worked(self) -> None:
        if self.count:
            _log.info("%s works again after %d failure(s) in a row", self.what, self.count)
            self.count, self.kind = 0, None


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
    _serve(controller, lambda poller: poller.add(station, ended))


def attach(controller: KOVAxisController, sink: Sink, read_at: float) -> None:
    """Hands SINK the status reads of its stations on CONTROLLER from now
    on, until detach; its stations were read at READ_AT (the module's
    clock), so the first idle read of each is due a period later. Starts
    the poller if none runs; if its thread cannot start, the error comes
    out here."""
    _serve(controller, lambda poller: poller.attach(sink, read_at))


def detach(controller: KOVAxisController, sink: Sink) -> None:
    """Returns once no idle read is made for SINK any more: SINK is handed
    nothing more, save the poll of a moving station under way (its hand-in
    is to drop it); nothing if it was not attached."""
    registry = _registry.get()
    with registry.lock:
        poller = registry.pollers.get(id(controller))
        if poller is not None:
            poller.detach(sink)
    if poller is not None:
        with poller.reading:
            pass  # an idle read under way has ended; no other starts for SINK


def _serve(controller: KOVAxisController, give: "Callable[[_Poller], None]") -> None:
    """GIVE the poller of CONTROLLER its new work, starting one if none runs."""
    registry = _registry.get()
    with registry.lock:
        poller = registry.pollers.get(id(controller))
        if poller is not None:
            give(poller)
            return
        poller = _Poller(controller, registry)
        give(poller)
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
        # The watchers' sinks and the stations they want, replaced whole
        # (under the registry's lock) so that the thread reads them without.
        self.sinks = []  # type: List[Sink]
        self.watched = frozenset()  # type: FrozenSet[Any]
        # Station -> the module's clock at its last status read (or failed
        # idle read); its polls since its last status read; its failures.
        self.last = {}  # type: Dict[Any, float]
        self.turns = {}  # type: Dict[Any, int]
        self.failures = {}  # type: Dict[Any, Failures]
        # Held through each idle read, which detach waits for.
        self.reading = threading.Lock()
        # A daemon: whatever happens to the program, it never keeps it alive.
        self.thread = threading.Thread(target=self._run, daemon=True,
                                       name="qzr_kov_motion poller of %r" % (controller,))

    def add(self, station: Any, ended: Ended) -> None:
        self.moves.setdefault(station, []).append(ended)

    def attach(self, sink: Sink, read_at: float) -> None:
        self.sinks = self.sinks + [sink]
        self.watched = self.watched | sink.stations
        for station in sink.stations:
            self.last[station] = max(self.last.get(station, read_at), read_at)

    def detach(self, sink: Sink) -> None:
        self.sinks = [s for s in self.sinks if s is not sink]
        self.watched = frozenset(st for s in self.sinks for st in s.stations)

    def _run(self) -> None:
        lock, pollers = self.registry.lock, self.registry.pollers
        try:
            while True:
                with lock:
                    if not self.moves and not self.sinks:
                        del pollers[id(self.controller)]
                        return
                    stations = list(self.moves)
                    due, wait = self._due()
                for station in stations:
                    self._poll(station)
                for station in due:
                    self._read_idle(station)
                if not stations and not due:
                    qzr_kov._sleep(wait)  # type: ignore[attr-defined]
        except BaseException as error:
            # Not to happen; if it does, no move waits for ever.
            with lock:
                moves = [m for ms in self.moves.values() for m in ms]
                self.moves.clear()
                pollers.pop(id(self.controller), None)
            for ended in moves:
                ended((False, error))
            raise

    def _due(self) -> Tuple[List[Any], float]:
        """The watched stations without a move whose read is due, and the
        seconds until the next one is (at most IDLE_STEP). Under the lock."""
        if not self.sinks:
            return [], IDLE_STEP
        periods = collections.OrderedDict()  # type: Dict[Any, float]
        for sink in self.sinks:
            for station in sink.order:
                if station not in self.moves:
                    periods[station] = min(periods.get(station, math.inf), sink.period)
        now = qzr_kov._now()  # type: ignore[attr-defined]
        due, wait = [], IDLE_STEP
        for station, period in periods.items():
            left = self.last.get(station, -math.inf) + period - now
            if left <= 0:
                due.append(station)
            else:
                wait = min(wait, left)
        return due, wait

    def _read_idle(self, station: Any) -> None:
        failures = self.failures.get(station)
        if failures is None:
            failures = self.failures[station] = Failures(
                "station %s: reading its state" % (station,), logging.WARNING, traceback=False)
        with self.reading:
            if station not in self.watched:
                return  # detached since
            try:
                words = self._exchange(self.controller.status_words, station)
            except Exception as error:
                self.last[station] = qzr_kov._now()  # type: ignore[attr-defined]
                failures.failed(error)
                return
            failures.worked()
            self._deliver(station, words)

    def _state_turn(self, station: Any) -> bool:
        """Whether this poll of STATION is to read its status words."""
        if station not in self.watched:
            return False
        turn = self.turns.get(station, 0)
        self.turns[station] = turn + 1
        return turn % STATE_EVERY == 0

    def _deliver(self, station: Any, words: List[Any]) -> None:
        """Hands a status read of STATION to the watchers that want it."""
        if station not in self.watched:
            return
        at = time.monotonic()
        self.last[station] = qzr_kov._now()  # type: ignore[attr-defined]
        self.turns[station] = 1
        for sink in self.sinks:
            if station in sink.stations:
                try:
                    sink.deliver(station, words, at)
                except Exception:  # not to happen: no watcher holds up the poller
                    _log.exception("station %s: handing its state to a watcher failed",
                                   station)

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
        words = None  # type: Optional[List[Any]]
        try:
            if self._state_turn(station):
                polled = self._exchange(controller.status_words, station)  # type: List[Any]
                self._deliver(station, polled)
                running, words = controller.is_running(station, polled), polled
            else:
                running = self._exchange(controller.is_running, station)
            if running:
                return None
            source = self._exchange(controller.get_stop_source, station)
            # The line the controller's own wait writes, in its words.
            qzr_kov.logger.info("Station {} locating done. Stop source: {}".format(
                station, int(source)))
        except BaseException as error:
            return False, error
        failure = None  # type: Optional[Exception]
        if words is None:
            try:
                ended = self._exchange(controller.status_words, station)  # type: List[Any]
            except Exception as error:
                failure = error
            else:
                self._deliver(station, ended)
                words = ended
        return True, Stopped(source, words, failure)

    @staticmethod
    def _exchange(call: Callable[[Any], Any], station: Any) -> Any:
        # The gap comes before each exchange, so that a move is settled
        # right after the read that ends it.
        qzr_kov._sleep(IDLE_GAP)  # type: ignore[attr-defined]
        return call(station)
