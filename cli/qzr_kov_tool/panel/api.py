"""What the panel does with its machine, whoever asks (the page, a script,
a PLC): the description and the state as JSON, the events, and the
commands, each through ``qzr_kov_motion`` (``Axis.stop``, ``Axis.move_to``,
``Axis.jog``, ``Machine.home``, ``Machine.watch``). A command refused is a
Failure with the HTTP status that tells why: 400 malformed, 404 no such
axis, 409 not homed or busy, 422 refused by the machine (the library's
text), 502 the line failed.

Safety:

- A stop (one axis, or STOP ALL) sends ``Axis.stop()`` to every axis
  first, one thread per line, before anything else; then it ends the jogs
  and cancels the moves of those axes, and stops homing until its runs
  have given up. A move or jog whose start went out while a stop was
  under way is stopped again.
- A jog is hold-to-run (hold.py): the watchdog stops it once it has not
  been renewed for LEASE seconds, or once the events stream it belongs to
  has closed.
- Every input is checked for its kind before anything reaches the
  library, which checks the values (travel, speeds, homed) before any
  exchange.
"""

import collections
import math
import threading
import time

from ..failures import LogNotWritten, describe_exception
from ..session import STOP_WENT_OUT
from . import hold, teach
from .broadcast import Broadcaster

#: seconds between two reads of an axis at rest (one read per axis per
#: round, a state event once a round): with the round's own exchanges (80
#: ms for 16 axes at 5 ms) and the event's way to the page, a value at rest
#: is shown before it is 1 s old, beyond which the page marks it stale
IDLE_PERIOD = 0.75
#: a state event at least this often, also when no read came (the ages in
#: it tell how old the values are)
HEARTBEAT = 1.0
#: seconds between two looks of the watchdog at the jogs it holds
TICK = 0.02
#: how long homing is stopped again after a stop, at most, until its runs
#: have given up, and how often
HOMING_STOP_LIMIT = 30.0
HOMING_STOP_EVERY = 0.05
#: the most characters of a hold's or a stream's id
ID_LENGTH = 64


class Failure(Exception):
    """A request refused: CODE, the HTTP status, and TEXT, why."""

    def __init__(self, code, text):
        Exception.__init__(self, text)
        self.code = code
        self.text = text


def fields(body, required=(), optional=()):
    """BODY (a dict from JSON) with only the fields named: 400 for one
    missing or unknown."""
    known = tuple(required) + tuple(optional)
    for key in body:
        if key not in known:
            raise Failure(400, "unknown field %r (the fields here: %s)"
                          % (key, ", ".join(known) or "none"))
    for key in required:
        if key not in body:
            raise Failure(400, "the field %r is missing" % key)
    return body


def number(value, what):
    """VALUE, a finite JSON number (not true or false); 400 otherwise."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise Failure(400, "%s must be a number, not %s" % (what, _kind(value)))
    if not math.isfinite(value):
        raise Failure(400, "%s must be a finite number" % what)
    return value


def text(value, what, length=None):
    if not isinstance(value, str) or not value:
        raise Failure(400, "%s must be text, not %s" % (what, _kind(value) if value != ""
                                                        else "empty text"))
    if length is not None and len(value) > length:
        raise Failure(400, "%s must be at most %d characters" % (what, length))
    return value


def _kind(value):
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true/false"
    return {str: "text", dict: "an object", list: "a list"}.get(type(value), "a number")


class _Quiet(object):
    """A with-block that does nothing (a panel without the tool's seam)."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


class Panel(object):
    """The panel's side of MACHINE (a qzr_kov_motion.Machine), whose file
    is PATH. SEAM: the tool's log seam (logfile.LogSeam) or None; FAIL(error,
    why): how the panel is ended when the controller's log file cannot be
    written (the tool's stop signals' ``fail``). CLOCK: the time of the
    jogs' leases. ``open()`` starts the watching, ``close()`` stops every
    axis and ends it."""

    def __init__(self, machine, path=None, seam=None, simulated=False, read_only=False,
                 fail=None, clock=time.monotonic, lease=hold.LEASE):
        self.machine = machine
        self.path = path
        self.seam = seam
        self.simulated = simulated
        self.read_only = read_only
        self.fail = fail
        self.clock = clock
        self.broadcaster = Broadcaster()
        self.holds = hold.Holds(lease)
        # Held while a command is checked and started (never by a stop).
        self._commands = threading.Lock()
        # Over what follows.
        self._lock = threading.Lock()
        self._motions = {}            # axis name -> (what, Motion) of a move or a jog
        self._why = {}                # Motion -> why it was stopped
        self._homing = None           # (names, thread)
        self._stops = 0               # stops begun so far
        self._states = {}             # axis name -> its newest AxisState
        self._ended_at = {}           # axis name -> when its last motion ended
        self._published = {}          # axis name -> the time of the state last sent
        self._moving = False
        self._last = -math.inf        # the clock at the last state event
        self._seq = 0
        self._helpers = []            # threads that cancel and stop
        taught = machine.description.taught
        self._taught = dict((name, set(taught.positions.get(name, {})) if taught else set())
                            for name in machine.axes)
        self._closed = threading.Event()
        self._watcher = None
        self._watchdog = threading.Thread(target=self._watch_dog, daemon=True,
                                          name="qzr-kov panel watchdog")

    # -- its life

    def open(self):
        self._watcher = self.machine.watch(self._on_states, idle_period=IDLE_PERIOD)
        self._watchdog.start()
        return self

    def close(self):
        """Stops every axis, then ends the watching and the streams; waits
        for what it set going (cancels, homing) to end."""
        self._closed.set()
        self.stop(why="the panel closed")
        self.broadcaster.close()
        with self._lock:
            helpers, self._helpers = self._helpers, []
            homing = self._homing
        for helper in helpers:
            helper.join(HOMING_STOP_LIMIT)
        if homing is not None:
            homing[1].join(HOMING_STOP_LIMIT)
        if self._watchdog.ident is not None:
            self._watchdog.join()
        if self._watcher is not None:
            self._watcher.close()

    # -- what it shows

    def description(self):
        """The machine as the page and scripts need it (GET /api/machine)."""
        from qzr_kov_motion import description as keys
        axes = collections.OrderedDict()
        for name, axis in self.machine.axes.items():
            settings = self.machine.description.axes[name]
            start, top, ramp = axis.profile
            homing = settings.homing
            with self._lock:
                taught = sorted(self._taught[name])
            axes[name] = {
                "line": settings.line, "station": axis.station, "ppmm": settings.ppmm,
                "travel": list(axis.travel) if axis.travel is not None else None,
                "positions": collections.OrderedDict(axis.positions), "taught": taught,
                "profile": {"start_velocity": start, "velocity": top,
                            "acceleration_time": ramp},
                "jog": {"velocity": axis.jog_velocity if axis.jog_velocity is not None
                        else max(start, top / 10.0), "min": start, "max": top},
                "homing": None if homing is None else {"order": homing.order,
                                                       "direction": homing.direction}}
        return {"file": self.path,
                "taught_file": keys.taught_path(self.path) if self.path else None,
                "simulated": self.simulated, "read_only": self.read_only,
                "order": list(self.machine.axes), "axes": axes,
                "homing_groups": self.machine.homing_groups(), "lease": self.holds.lease}

    def state(self):
        """Each axis's newest state (GET /api/state)."""
        with self._lock:
            return {"axes": self._axes_json(self._states)}

    def _axes_json(self, states):
        now = time.monotonic()
        out = collections.OrderedDict()
        for name, axis in self.machine.axes.items():
            state = states.get(name)
            if state is None:
                continue
            out[name] = {
                "position": state.position, "velocity": state.velocity,
                "running": state.running, "homed": axis.homed, "origin": state.origin,
                "negative_limit": state.negative_limit, "positive_limit": state.positive_limit,
                "alarm": state.alarm, "emergency": state.emergency,
                "age": round(max(0.0, now - state.time), 3)}
        return out

    def _on_states(self, states):
        """The watcher's callback: a state event for each new state of a
        moving axis (and the first at rest after), and at rest one per
        round of reads of every axis."""
        now = self.clock()
        with self._lock:
            self._states = dict(states)
            moving = any(state.running for state in states.values())
            renewed = all(self._published.get(name) != state.time
                          for name, state in states.items())
            due = moving or self._moving or renewed or now - self._last >= HEARTBEAT
            self._moving = moving
        if due:
            self._publish_state()

    def _publish_state(self):
        with self._lock:
            self._seq += 1
            self._last = self.clock()
            self._published = dict((name, state.time) for name, state in self._states.items())
            data = {"seq": self._seq, "axes": self._axes_json(self._states)}
            # Under the lock: the streams get the states in order.
            self.broadcaster.state(data)

    def event(self, kind, **data):
        """An event for every stream: a move's end, homing, a stop, a teach,
        an error."""
        data["time"] = time.strftime("%H:%M:%S")
        self.broadcaster.event(kind, data)

    # -- the commands

    def axis(self, name):
        try:
            return self.machine.axes[name]
        except KeyError:
            raise Failure(404, "no axis %r (the axes are %s)" % (name, ", ".join(self.machine.axes)))

    def stop(self, names=None, why="stop"):
        """Sends the stop command to the axes NAMES (None: every axis) at
        once, first thing, then ends their jogs, cancels their moves and
        stops homing; returns name to the error of each stop that failed."""
        names = list(self.machine.axes) if names is None else list(names)
        with self._lock:
            self._stops += 1
            # Why they end, noted before the stop goes out: the poller may
            # see an end before this thread goes on.
            motions = [motion for name, (what, motion) in self._motions.items()
                       if name in names and not motion.done()]
            self._note_why(motions, why)
        failed = self._send_stops(names)
        jogs = self.holds.take(set(names), why)
        with self._lock:
            motions += [held.motion for held in jogs if held.motion not in motions]
            self._note_why(motions, why)
            homing = self._homing if self._homing is not None and \
                set(self._homing[0]) & set(names) else None
        if motions or homing is not None:
            self._helper(self._settle, motions, homing)
        self.event("stop", axes=names, why=why,
                   failed=dict((name, describe_exception(error)) for name, error in failed.items()))
        return failed

    def _note_why(self, motions, why):
        """WHY each of MOTIONS is stopped, unless it was told already (under
        the lock)."""
        for motion in motions:
            if not motion.done():
                self._why.setdefault(motion, why)

    def _send_stops(self, names):
        """Axis.stop() to every axis of NAMES, the lines' in parallel."""
        lines = collections.OrderedDict()
        for name in names:
            axis = self.machine.axes[name]
            lines.setdefault(id(axis.controller), []).append((name, axis))
        failed = {}

        def send(axes):
            with self._going_on():
                for name, axis in axes:
                    try:
                        axis.stop()
                    except Exception as error:
                        failed[name] = error
        groups = list(lines.values())
        others = [threading.Thread(target=send, args=(axes,), daemon=True) for axes in groups[1:]]
        for thread in others:
            thread.start()
        if groups:
            send(groups[0])
        for thread in others:
            thread.join()
        for name, error in failed.items():
            self._log_failed(error)
        return failed

    def _going_on(self):
        return _Quiet() if self.seam is None else self.seam.going_on(STOP_WENT_OUT)

    def _settle(self, motions, homing):
        """After a stop: the MOTIONS cancelled (each returns once its axis
        is at rest), and HOMING, (names, thread) or None, stopped again
        until its runs have given up."""
        for motion in motions:
            try:
                motion.cancel()
            except Exception as error:
                self.event("error", text="%s: the stop could not be seen through (%s)"
                           % (motion.axis.name, describe_exception(error)))
                self._log_failed(error)
        if homing is None:
            return
        names, thread = homing
        end = time.monotonic() + HOMING_STOP_LIMIT
        # A run that started as the stop went out is stopped by the next.
        while thread.is_alive() and time.monotonic() < end:
            thread.join(HOMING_STOP_EVERY)
            if thread.is_alive():
                self._send_stops(names)

    def _helper(self, target, *args):
        thread = threading.Thread(target=target, args=args, daemon=True,
                                  name="qzr-kov panel stop")
        with self._lock:
            self._helpers = [t for t in self._helpers if t.is_alive()] + [thread]
        thread.start()

    def _idle(self, name):
        """Failure 409 unless the axis NAME is free for a command: no move
        or jog of the panel's runs on it, it is not homing, and its newest
        state, unless read before the end of the panel's last motion of it,
        shows it at rest. Nothing is read: a refusal comes before any
        exchange."""
        if self._closed.is_set():
            raise Failure(503, "the panel is closing")
        with self._lock:
            entry = self._motions.get(name)
            if entry is not None and not entry[1].done():
                raise Failure(409, "%s is busy: %s runs (stop it first)" % (name, entry[0]))
            if self._homing is not None and name in self._homing[0] \
                    and self._homing[1].is_alive():
                raise Failure(409, "%s is busy: it is homing" % name)
            state = self._states.get(name)
            # A state read before the end of the panel's last motion of the
            # axis (which ends with it at rest) is a poll that came late.
            ended = self._ended_at.get(name, -math.inf)
        if state is not None and state.running and state.time > ended:
            raise Failure(409, "%s is busy: it is running" % name)

    def _library(self, start, name, what):
        """START(), a call of the library that starts WHAT on the axis
        NAME, with its refusals as Failures."""
        from qzr_kov_motion import LimitError, NotHomedError
        try:
            return start()
        except NotHomedError as error:
            raise Failure(409, str(error))
        except LimitError as error:
            raise Failure(422, error.args[0])
        except KeyError as error:
            raise Failure(422, error.args[0] if error.args else str(error))
        except (ValueError, TypeError) as error:
            raise Failure(422, str(error))
        except RuntimeError as error:
            raise Failure(409, str(error))
        except Exception as error:
            # The start may have gone out, its answer or log line lost.
            self._send_stops([name])
            raise self._line_failure(error, "starting %s of %s" % (what, name))

    def _line_failure(self, error, doing):
        if self._log_failed(error):
            return Failure(500, "the controller's log file cannot be written: every axis is "
                                "stopped and the panel ends")
        return Failure(502, "the line failed while %s (%s)" % (doing, describe_exception(error)))

    def _log_failed(self, error):
        """Whether ERROR is a record of the controller's log that could not
        be written; then the panel ends (every axis stopped), as the tool's
        other commands do."""
        failure = None if self.seam is None else self.seam.failure_of(error)
        if failure is None:
            return False
        if self.fail is not None:
            self.fail(LogNotWritten(failure, "every axis was stopped and the panel closed"),
                      "the controller's log file could not be written")
        return True

    def _started(self, name, what, motion, stops):
        """MOTION (WHAT) of NAME has started, with STOPS stops begun before
        it: its end becomes an event; a stop begun meanwhile stops it."""
        with self._lock:
            self._motions[name] = (what, motion)
        motion.add_done_callback(lambda done: self._ended(name, what, done))
        with self._lock:
            stopped = self._stops != stops
        if stopped:
            with self._lock:
                self._note_why([motion], "a stop came as it started")
            self._send_stops([name])
            self.holds.take({name}, "a stop came as it started")
            self._helper(self._settle, [motion], None)
            raise Failure(409, "%s was stopped: a stop came as %s started" % (name, what))

    def _ended(self, name, what, motion):
        """The end of MOTION (WHAT) of NAME, told as a "move" event."""
        from qzr_kov_motion import MotionError
        with self._lock:
            if self._motions.get(name, (None, None))[1] is motion:
                del self._motions[name]
            why = self._why.pop(motion, None)
            self._ended_at[name] = time.monotonic()
        self.holds.ended(name, motion, "it ended")
        error = None if motion.cancelled() else motion.exception()
        if motion.cancelled() or why is not None and isinstance(error, MotionError):
            # Cancelled, or the stop's end seen by the poller first.
            ok, words = True, "stopped (%s)" % (why or "stop")
        else:
            if error is None:
                ok, words = True, "ended at %.3f mm" % motion.result()
            elif isinstance(error, MotionError):
                ok, words = False, "ended early: %s" % error
            else:
                self._log_failed(error)
                ok, words = False, "failed: %s" % describe_exception(error)
        self.event("move", axis=name, what=what, ok=ok, text="%s: %s %s" % (name, what, words))

    def move(self, name, body):
        """POST /api/axes/NAME/move: {"target": mm or a position's name,
        "velocity": mm/s or null}."""
        axis = self.axis(name)
        fields(body, ("target",), ("velocity",))
        target = body["target"]
        if not isinstance(target, str):
            target = number(target, "the target")
        velocity = self._velocity(body)
        with self._commands:
            self._idle(name)
            stops = self._stops
            mm = self._library(lambda: axis.target(target), name, "a move")
            what = "the move to %.3f mm%s" % (mm, " (%s)" % target if isinstance(target, str)
                                              else "")
            motion = self._library(lambda: axis.move_to(target, velocity=velocity), name, what)
            self._started(name, what, motion, stops)
        return 202, {"axis": name, "moving": "to", "target": mm}

    def jog(self, name, body):
        """POST /api/axes/NAME/jog: {"direction": "+" or "-", "velocity":
        mm/s or null, "hold": the press's id, "stream": the events
        stream's id}; repeated to renew it."""
        from qzr_kov import Direction
        axis = self.axis(name)
        fields(body, ("direction",), ("velocity", "hold", "stream"))
        direction = body["direction"]
        if direction not in ("+", "-"):
            raise Failure(400, "the direction must be \"+\" or \"-\", not %s"
                          % (repr(direction) if isinstance(direction, str) else _kind(direction)))
        velocity = self._velocity(body)
        press = body.get("hold")
        if press is not None:
            press = text(press, "hold", ID_LENGTH)
        stream = body.get("stream")
        if stream is not None:
            stream = text(stream, "stream", ID_LENGTH)
            if stream not in self.broadcaster.ids():
                raise Failure(400, "no events stream %r is open" % stream)
        with self._commands:
            try:
                if self.holds.renew(name, direction, press, self.clock()):
                    return 200, {"axis": name, "jogging": direction, "renewed": True}
            except hold.Busy as error:
                raise Failure(409, str(error))
            self._idle(name)
            stops = self._stops
            side = Direction.Positive if direction == "+" else Direction.Negative
            what = "the jog %s" % direction
            motion = self._library(lambda: axis.jog(side, velocity=velocity), name, what)
            self.holds.add(name, direction, press, stream, motion, self.clock())
            self._started(name, what, motion, stops)
        return 202, {"axis": name, "jogging": direction, "renewed": False,
                     "lease": self.holds.lease}

    def _velocity(self, body):
        velocity = body.get("velocity")
        return None if velocity is None else number(velocity, "the velocity")

    def home(self, body):
        """POST /api/home: {"axes": a list of names, or null for every axis
        that homes, by the homing order}."""
        fields(body, (), ("axes",))
        names = body.get("axes")
        if names is not None:
            if not isinstance(names, list):
                raise Failure(400, "axes must be a list of names, not %s" % _kind(names))
            for name in names:
                self.axis(text(name, "an axis's name"))
        with self._commands:
            try:
                groups = self.machine.homing_groups(names)
            except ValueError as error:
                raise Failure(422, str(error))
            every = [name for group in groups for name in group]
            if not every:
                raise Failure(422, "no axis to home: none has homing settings")
            with self._lock:
                if self._homing is not None and self._homing[1].is_alive():
                    raise Failure(409, "homing runs already (%s)" % ", ".join(self._homing[0]))
            for name in every:
                self._idle(name)
            thread = threading.Thread(target=self._home, args=(every, self._stops), daemon=True,
                                      name="qzr-kov panel homing")
            with self._lock:
                self._homing = (every, thread)
            thread.start()
        self.event("home", axes=every, ok=None, text="homing %s" % " then ".join(
            ", ".join(group) for group in groups))
        return 202, {"homing": groups}

    def _home(self, names, stops):
        try:
            with self._lock:
                stopped = self._stops != stops
            if stopped:
                raise RuntimeError("a stop came as it started")
            self.machine.home(axes=names)
        except Exception as error:
            self._log_failed(error)
            ok, words = False, "homing of %s ended: %s" % (", ".join(names),
                                                           describe_exception(error))
        else:
            ok, words = True, "homed: %s (at 0 mm)" % ", ".join(names)
        with self._lock:
            for name in names:
                self._ended_at[name] = time.monotonic()
        self.event("home", axes=names, ok=ok, text=words)

    def teach(self, name, body):
        """POST /api/axes/NAME/positions: {"name": the position's name,
        "replace": true to replace a taught one}: the axis's position now,
        saved in the taught file."""
        from qzr_kov_motion.state import read_state
        axis = self.axis(name)
        fields(body, ("name",), ("replace",))
        position = text(body["name"], "the position's name")
        replace = body.get("replace", False)
        if not isinstance(replace, bool):
            raise Failure(400, "replace must be true or false, not %s" % _kind(replace))
        if self.path is None:
            raise Failure(422, "the panel has no machine file to teach into")
        with self._commands:
            self._idle(name)
            if not axis.homed:
                raise Failure(409, "%s is not homed: its position is no coordinate to keep; "
                                   "home it first" % name)
            try:
                state = read_state(axis)
            except Exception as error:
                raise self._line_failure(error, "reading %s" % name)
            if state.running:
                raise Failure(409, "%s is busy: it is running" % name)
            mm = teach.coordinate(axis.controller, axis.station, state.position)
            try:
                path = teach.save(self.path, name, position, mm, replace)
            except teach.Refused as error:
                raise Failure(error.code, str(error))
            except OSError as error:
                raise Failure(500, "could not write the taught file (%s); it is as it was"
                              % describe_exception(error))
            axis.positions[position] = mm
            with self._lock:
                self._taught[name].add(position)
        self.event("taught", axis=name, name=position, position=mm, file=path,
                   text="%s: taught %s at %.3f mm" % (name, position, mm))
        return 201, {"axis": name, "name": position, "position": mm, "file": path}

    def stream_closed(self, stream):
        """The events stream STREAM has closed: its jogs stop."""
        jogs = self.holds.of_stream(stream)
        if jogs:
            self._stop_jogs(jogs, "its events stream closed")

    def _stop_jogs(self, jogs, why):
        with self._lock:
            self._note_why([held.motion for held in jogs], why)
        self._send_stops([held.name for held in jogs])
        self._helper(self._settle, [held.motion for held in jogs], None)

    def _watch_dog(self):
        while not self._closed.wait(TICK):
            now = self.clock()
            lapsed = self.holds.lapsed(now)
            if lapsed:
                self._stop_jogs(lapsed, "no renewal within %g s" % self.holds.lease)
            with self._lock:
                quiet = now - self._last >= HEARTBEAT and bool(self._states)
            if quiet:
                self._publish_state()
