"""A watcher of axes: each axis's newest state handed to a callback, in a
thread of the watcher's own, from the status reads that the pollers of their
lines make (the polls of moving axes, and a read of each idle one every idle
period). Nothing the callback does can hold up a poll or a command: the
pollers only leave the states with the watcher, where those that come while
the callback runs are coalesced to the newest per axis."""
import logging
import os
import threading
import types
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple, Type

import qzr_kov
from qzr_kov import KOVAxisController

from . import poller
from .axis import Axis, number
from .state import AxisState, read_state, state_from_words

#: What a watcher calls: axis name -> its newest state, every axis.
Callback = Callable[[Dict[str, AxisState]], Any]


class Watcher(object):
    """The handle of ``Machine.watch(callback, idle_period=1.0)``: calls
    CALLBACK with a dict of every axis (name to AxisState, in the machine's
    order), each with its newest state, whenever a new state of any axis
    has been read, from a daemon thread of its own. ``close()`` (or leaving
    a ``with`` block) ends it; closing again does nothing, and a callback
    may close its own watcher.

    The states of all axes are read once when the watcher opens (an error
    of that read comes out of ``watch``, and nothing is left open), so the
    first call, made at once, has every axis. Then each axis's line poller
    reads it: with every poll of its running move (``poller.STATE_EVERY``)
    and, without one, every IDLE_PERIOD seconds (a read that fails is
    logged once per run of failures on the logger "qzr_kov_motion", and the
    axis keeps its last state: its ``time`` tells its age). A callback that
    raises is logged there with its traceback, once per run of identical
    failures, and the watcher goes on. A watcher belongs to the process that
    opened it: a forked child has none of them, and closing one there does
    nothing.
    """

    def __init__(self, axes: Mapping[str, Axis], callback: Callback,
                 idle_period: float = 1.0, label: str = "axes") -> None:
        if not callable(callback):
            raise TypeError("a watcher's callback must be callable, not %r" % (callback,))
        period = number(idle_period, "the idle period")
        if not period > 0:
            raise ValueError("the idle period must be a number of seconds above 0, not %r"
                             % (idle_period,))
        #: name -> Axis, the axes watched
        self.axes = dict(axes)
        #: seconds between two reads of an axis without a move
        self.idle_period = period
        self._callback = callback
        self._label = label
        self._pid = os.getpid()
        self._lock = threading.Condition()
        self._closed = False
        # The states not yet handed to the callback, and the newest of each
        # axis that it was handed.
        self._pending = {}  # type: Dict[str, AxisState]
        self._latest = {}  # type: Dict[str, AxisState]
        self._sinks = []  # type: List[Tuple[KOVAxisController, poller.Sink]]
        self._failures = poller.Failures("%s: the watcher's callback %r" % (label, callback),
                                         logging.ERROR)
        self._thread = threading.Thread(target=self._run, daemon=True,
                                        name="qzr_kov_motion watcher of %s" % label)

    def __repr__(self) -> str:
        return "<Watcher of %s, %s>" % (self._label, "closed" if self._closed else "open")

    def open(self) -> "Watcher":
        """Reads every axis once, starts the thread of the callback and
        attaches the watcher to the pollers of the axes' lines. Called by
        Machine.watch; if any of it fails, nothing is left open."""
        states = {name: read_state(axis) for name, axis in self.axes.items()}
        read_at = qzr_kov._now()  # type: ignore[attr-defined]
        self._pending.update(states)
        self._thread.start()
        try:
            lines = {}  # type: Dict[int, Tuple[KOVAxisController, Dict[Any, str]]]
            for name, axis in self.axes.items():
                lines.setdefault(id(axis.controller), (axis.controller, {}))[1][axis.station] = name
            for controller, names in lines.values():
                sink = poller.Sink(list(names), self.idle_period, self._hand_in(names))
                self._sinks.append((controller, sink))
                poller.attach(controller, sink, read_at)
        except BaseException:
            self.close()
            raise
        return self

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Stops the watching: no callback starts once this has returned,
        and one under way has returned (unless it is the caller); the
        pollers read no more for this watcher. In a process other than the
        one that opened it, nothing."""
        if os.getpid() != self._pid:
            return
        with self._lock:
            self._closed = True
            self._pending.clear()
            self._lock.notify_all()
        for controller, sink in self._sinks:
            poller.detach(controller, sink)
        if self._thread.ident is not None and self._thread is not threading.current_thread():
            self._thread.join()

    def __enter__(self) -> "Watcher":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[types.TracebackType]) -> None:
        self.close()

    def _hand_in(self, names: Dict[Any, str]) -> poller.Deliver:
        """What the poller of one line calls with a status read of one of
        its stations (NAMES: station -> axis name), in its own thread."""
        def deliver(station: Any, words: List[Any], at: float) -> None:
            name = names[station]
            state = state_from_words(self.axes[name], words, at)
            with self._lock:
                if not self._closed:
                    self._pending[name] = state
                    self._lock.notify()
        return deliver

    def _run(self) -> None:
        while True:
            with self._lock:
                while not self._pending and not self._closed:
                    self._lock.wait()
                if self._closed:
                    return
                self._latest.update(self._pending)
                self._pending.clear()
                states = {name: self._latest[name] for name in self.axes if name in self._latest}
            try:
                self._callback(states)
            except Exception as error:
                self._failures.failed(error)
            else:
                self._failures.worked()
