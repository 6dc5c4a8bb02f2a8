"""Hold-to-run: the jogs that run only while their holder renews them.

A jog is held under an axis's name with its direction, the holder's id
(``hold``, one per press of a button; None for a script that gives none)
and the events stream it belongs to (``stream``, or None). Each renewal
moves its deadline LEASE seconds on; the panel's watchdog stops every jog
whose deadline has passed, and those of a stream that closed. A jog that
ended (lapsed, stopped, or by itself) is remembered by its holder's id, so
that a late renewal of it is refused rather than starting the axis again.

Times are the caller's (``now``), so that the rules are tested on a clock
of the test's own.
"""

import collections
import threading

#: seconds a jog runs past its last renewal before the watchdog stops it:
#: with the watchdog's tick and the stop's exchange it stops well within
#: 0.5 s of the last renewal
LEASE = 0.4
#: how many ended holders are remembered
REMEMBERED = 256

#: a jog held: the axis's NAME, its DIRECTION ("+" or "-"), the HOLD id
#: and the STREAM (or None), its MOTION, and the DEADLINE of its renewal
Held = collections.namedtuple("Held", "name direction hold stream motion deadline")


class Busy(Exception):
    """A jog that cannot be renewed or started: why, in words."""


class Holds(object):
    def __init__(self, lease=LEASE):
        self.lease = lease
        self._lock = threading.Lock()
        self._held = {}                             # axis name -> Held
        self._ended = collections.OrderedDict()     # hold id -> why it ended

    def renew(self, name, direction, hold, now):
        """Renew the jog of NAME that HOLD holds (None: whichever jogs it
        towards DIRECTION); True if there was one, False if none runs (a
        new one may start). Busy if the axis jogs the other way, for
        another holder, or if HOLD's jog has ended."""
        with self._lock:
            held = self._held.get(name)
            if held is not None and held.motion.done():
                self._end(held, "it ended by itself")
                held = None
            if hold is not None and hold in self._ended:
                raise Busy("this jog of %s has ended (%s): press again to jog again"
                           % (name, self._ended[hold]))
            if held is None:
                return False
            if held.direction != direction or hold is not None and held.hold not in (None, hold):
                raise Busy("%s jogs towards %s already: release that first"
                           % (name, held.direction))
            self._held[name] = held._replace(deadline=now + self.lease)
            return True

    def add(self, name, direction, hold, stream, motion, now):
        """Hold the jog MOTION of NAME just started."""
        with self._lock:
            self._held[name] = Held(name, direction, hold, stream, motion, now + self.lease)

    def jogging(self, name):
        """The Held of NAME, or None."""
        with self._lock:
            return self._held.get(name)

    def lapsed(self, now):
        """Take the jogs whose deadline has passed at NOW."""
        return self._take(lambda held: held.deadline <= now, "no renewal within %g s"
                          % self.lease)

    def of_stream(self, stream):
        """Take the jogs of the events stream STREAM, which has closed."""
        return self._take(lambda held: held.stream == stream, "its events stream closed")

    def take(self, names, why):
        """Take the jogs of the axes NAMES (every axis if None), which a
        stop ends (WHY)."""
        return self._take(lambda held: names is None or held.name in names, why)

    def ended(self, name, motion, why):
        """The jog MOTION of NAME has ended by itself (WHY)."""
        with self._lock:
            held = self._held.get(name)
            if held is not None and held.motion is motion:
                self._end(held, why)

    def _take(self, which, why):
        with self._lock:
            taken = [held for held in self._held.values() if which(held)]
            for held in taken:
                self._end(held, why)
        return taken

    def _end(self, held, why):
        del self._held[held.name]
        if held.hold is not None:
            self._ended[held.hold] = why
            while len(self._ended) > REMEMBERED:
                self._ended.popitem(last=False)
