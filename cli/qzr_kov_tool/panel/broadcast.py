"""The events of the panel, handed to every open events stream.

Publishing never waits for a client: each stream keeps the newest state
(a newer one replaces one not yet sent) and a bounded list of the other
events (the oldest go first when a client falls that far behind). Each
stream is written by the thread of its own connection, so a slow client
holds up nobody but itself. At most MAX_STREAMS are open at once.
"""

import collections
import json
import secrets
import threading

#: the most events streams open at once
MAX_STREAMS = 16
#: the most events other than states that a stream keeps for its client
BACKLOG = 256


def encoded(event, data):
    """One server-sent event: EVENT's name and DATA as one line of JSON."""
    return ("event: %s\ndata: %s\n\n" % (event, json.dumps(data, allow_nan=False))).encode("utf-8")


class Stream(object):
    """One client's events stream; its ``id`` names it to the jogs it holds."""

    def __init__(self):
        self.id = secrets.token_hex(8)
        self._changed = threading.Condition()
        self._state = None
        self._events = collections.deque(maxlen=BACKLOG)
        self.closed = False

    def _put(self, chunk, state):
        with self._changed:
            if state:
                self._state = chunk
            else:
                self._events.append(chunk)
            self._changed.notify()

    def next(self, timeout):
        """The chunks to send now (the events in order, then the newest
        state), waiting up to TIMEOUT seconds for one; None once closed."""
        with self._changed:
            if not self.closed and self._state is None and not self._events:
                self._changed.wait(timeout)
            if self.closed:
                return None
            chunks = list(self._events)
            self._events.clear()
            if self._state is not None:
                chunks.append(self._state)
                self._state = None
            return chunks

    def close(self):
        with self._changed:
            self.closed = True
            self._changed.notify()


class Broadcaster(object):
    def __init__(self, limit=MAX_STREAMS):
        self.limit = limit
        self._lock = threading.Lock()
        self._streams = []
        self._state = None
        self.closed = False

    def open(self):
        """A new Stream, handed the newest state first; None when LIMIT
        are open already (or the panel is closing)."""
        with self._lock:
            if self.closed or len(self._streams) >= self.limit:
                return None
            stream = Stream()
            self._streams.append(stream)
            state = self._state
        if state is not None:
            stream._put(state, True)
        return stream

    def close_stream(self, stream):
        stream.close()
        with self._lock:
            if stream in self._streams:
                self._streams.remove(stream)

    def state(self, data):
        """Hand every stream the state DATA (a newer replaces it unsent)."""
        chunk = encoded("state", data)
        with self._lock:
            self._state = chunk
            streams = list(self._streams)
        for stream in streams:
            stream._put(chunk, True)

    def event(self, event, data):
        """Hand every stream the event EVENT with DATA."""
        chunk = encoded(event, data)
        with self._lock:
            streams = list(self._streams)
        for stream in streams:
            stream._put(chunk, False)

    def ids(self):
        """The ids of the streams open now."""
        with self._lock:
            return set(stream.id for stream in self._streams)

    @property
    def count(self):
        with self._lock:
            return len(self._streams)

    def close(self):
        """Close every stream; no more open."""
        with self._lock:
            self.closed = True
            streams, self._streams = self._streams, []
        for stream in streams:
            stream.close()
