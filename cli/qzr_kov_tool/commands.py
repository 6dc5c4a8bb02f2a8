"""The subcommands. Each takes the session, the parsed options and the stop
signals, prints what it did and returns the exit code, or raises ToolError."""

import collections
import os
import sys
import threading
import time

from . import plot
from .display import LiveText, progress_line, status_block, stop_source_text
from .errors import EXIT_OK, LogNotWritten, Refused, ToolError, from_controller, log_failure
from .motion import (REFRESH, Progress, Watcher, end_homing, ended_at_log_line,
                     read_stop_source, start_motion, stop_and_settle, stop_axis,
                     stopped_on_failure, wait_until_still, wait_while_moving)
from .record import read_csv, recording
from .signals import signal_name

#: what the module's wait raises when its time limit is up
LOCATING_TIMEOUT_TEXT = "定位超时"
#: the module keeps positions and distances in pulses as 32-bit integers
PULSE_RANGE = (-2 ** 31, 2 ** 31 - 1)
#: the module keeps the acceleration time in ms as a 32-bit unsigned integer
MAX_ACCELERATION_MS = 2 ** 32 - 1

#: the velocity of the commands that load a speed profile, unless --velocity
DEFAULT_VELOCITY = dict(home=20.0, move=20.0, jog=5.0)

Status = collections.namedtuple("Status", [
    "position", "running", "drive_enabled", "origin", "negative_limit", "positive_limit",
    "alarm", "emergency_input", "stop_source", "negative_limit_disabled",
    "positive_limit_disabled", "alarm_disabled", "emergency_disabled"])


def say(text=""):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def read_status(session):
    axis, station = session.axis, session.station
    words = axis.status_words(station)
    return Status(
        # Position and running are read afresh rather than taken from the
        # status words: the inputs are all the tool relies on in those.
        position=axis.get_position(station),
        running=axis.is_running(station),
        drive_enabled=axis.get_coil(station, "Y2"),
        origin=axis.at_o(station, words),
        negative_limit=axis.at_negative_limit(station, words),
        positive_limit=axis.at_positive_limit(station, words),
        alarm=axis.is_alarming(station, words),
        emergency_input=axis.at_emergency(station, words),
        stop_source=read_stop_source(axis, station),
        negative_limit_disabled=axis.negative_limit_is_disabled(station),
        positive_limit_disabled=axis.positive_limit_is_disabled(station),
        alarm_disabled=axis.alarm_is_disabled(station),
        emergency_disabled=axis.emergency_is_disabled(station))


def _header(session):
    return "station %s, %s pulses/mm, %s" % (
        session.station, session.ppmm, time.strftime("%H:%M:%S"))


# -- status ----------------------------------------------------------------

def status(session, options, signals):
    if not options.watch:
        say("station %s, %s pulses/mm" % (session.station, session.ppmm))
        for line in status_block(read_status(session)):
            say(line)
        return EXIT_OK
    live = LiveText(quiet_period=0)
    while True:
        lines = [_header(session)] + status_block(read_status(session))
        live.show(lines if live.live else lines + [""])
        if signals.wait(options.interval):
            break
    live.done()
    say("watch ended (%s)" % signal_name(signals.signum))
    return EXIT_OK


# -- speed profile ---------------------------------------------------------

def profile(session, options, velocity_default):
    """The (start velocity, velocity, acceleration time) of the options,
    checked the way the module checks them, before anything moves. The
    messages name the option a value came from."""
    if options.velocity is None:
        velocity = velocity_default
        velocity_text = "%g mm/s (the default velocity)" % velocity
    else:
        velocity = options.velocity
        velocity_text = "--velocity %g mm/s" % velocity
        if not velocity > 0:
            raise Refused("--velocity must be above 0 mm/s, not %g" % velocity)
    start = options.start_velocity
    if start is None:
        start = min(velocity, 2.0)
    elif not start > 0:
        raise Refused("--start-velocity must be above 0 mm/s, not %g" % start)
    elif velocity < start:
        raise Refused("the velocity must not be below the start velocity: %s is below "
                      "--start-velocity %g mm/s" % (velocity_text, start))
    acceleration = options.acceleration_time
    if acceleration < 0:
        raise Refused("--acceleration-time must not be negative, not %g" % acceleration)
    if acceleration * 1000 > MAX_ACCELERATION_MS:
        raise Refused("--acceleration-time %g s is too long: the module takes at most %d s"
                      % (acceleration, MAX_ACCELERATION_MS // 1000))
    rate = abs(velocity * session.ppmm)
    limit = session.module._MaxPulsePerSecond
    if rate > limit:
        raise Refused("%s is %d pulses/s at %s pulses/mm; the module allows at most %d"
                      % (velocity_text, rate, session.ppmm, limit))
    return start, velocity, acceleration


def check_options(session, options):
    """Refuse, before the line is opened, what is wrong with the options
    whatever the station: the speed profile, a target the module cannot
    hold, a picture that could not be drawn. SESSION has no controller."""
    if options.command == "move":
        for option in ("absolute", "relative"):
            if getattr(options, option) is not None:
                _check_length(session, option, getattr(options, option))
    if options.command in DEFAULT_VELOCITY:
        profile(session, options, DEFAULT_VELOCITY[options.command])
    if getattr(options, "plot", None) is not None:
        plot.check(options.plot)


def _load_profile(session, speeds):
    try:
        session.axis.set_parameters(session.station, *speeds)
    except Exception as error:
        raise from_controller(error, "loading the speed profile")


def _profile_text(speeds):
    return "%g -> %g mm/s in %g s" % speeds


def _plot_title(session, doing):
    return "station %s, %s pulses/mm: %s" % (session.station, session.ppmm, doing)


# -- home ------------------------------------------------------------------

HOMING_METHODS = {"limit-first": "LimitFirstThenBackward", "origin-only": "OriginOnly"}


def _direction(session, name):
    return getattr(session.module.Direction, name.capitalize())


def home(session, options, signals):
    module, axis, station = session.module, session.axis, session.station
    speeds = profile(session, options, DEFAULT_VELOCITY["home"])
    direction = _direction(session, options.direction)
    method = getattr(module.FindingOMethod, HOMING_METHODS[options.method])
    if method == module.FindingOMethod.LimitFirstThenBackward:
        disabled = (axis.negative_limit_is_disabled(station) if options.direction == "negative"
                    else axis.positive_limit_is_disabled(station))
        if disabled:
            raise Refused("the %s limit switch is disabled, so limit-first homing cannot start "
                          "towards %s (enable it with 'config --%s-limit enable', or use "
                          "--method origin-only)" % ((options.direction,) * 3))
    axis.finding_o_method = method
    doing = "homing %s, direction %s, %s" % (options.method, options.direction,
                                             _profile_text(speeds))
    with recording(session, options.record, options.plot, _plot_title(session, doing),
                   signals):
        say("homing station %s: method %s, direction %s, %s"
            % (station, options.method, options.direction, _profile_text(speeds)))
        return _home(session, options, signals, speeds, direction)


def _home(session, options, signals, speeds, direction):
    axis, station = session.axis, session.station
    try:
        axis.find_o(station, speeds[0], speeds[1], speeds[2], direction)
    except Exception as error:
        raise _homing_failed(session, error, "starting the homing run", starting=True)
    with stopped_on_failure(session):
        try:
            found = wait_while_moving(
                session, signals, lambda: axis.wait_for_find_o_finish(station, options.timeout))
        except Exception as error:
            if log_failure(error) is None:
                raise
            raise _homing_failed(session, error, "homing")
    if found is None:
        say("result: None - the homing run did not end within %g s" % options.timeout)
        # Collect the outcome so that nothing is left pending in the controller.
        end_homing(session, Watcher(session))
        raise ToolError("homing timed out after %g s; the axis was stopped" % options.timeout)
    position = axis.get_position(station)
    source = read_stop_source(axis, station)
    if found:
        say("result: True - origin found, position set to 0")
        say("position: %.3f mm" % position)
        return EXIT_OK
    say("result: False - origin not found (stopped by: %s)" % stop_source_text(source))
    if axis.is_running(station):
        # The worker gives up at any failure of its own (a lost answer, a
        # log line), maybe with the axis still running.
        say("the axis still runs: stopping it")
        position = stop_and_settle(session, Watcher(session))
        raise ToolError("origin not found: the homing run ended with the axis still running "
                        "(stop source: %s); it was stopped at %.3f mm"
                        % (stop_source_text(source), position))
    say("position: %.3f mm" % position)
    raise ToolError("origin not found: the run ended on the %s" % stop_source_text(source))


def _homing_failed(session, error, doing, starting=False):
    """The error to end the program with when ERROR ended DOING of a homing
    run (STARTING it: find_o). Whatever it was, the run may have started
    (find_o writes the profile, starts the worker and may then fail at its
    log line; the worker ends silently at a failure of its own, the axis
    perhaps still running): the axis is stopped and a pending result
    collected first."""
    axis, station = session.axis, session.station
    failure = log_failure(error)
    if failure is None:
        try:
            end_homing(session, Watcher(session))
        except ToolError:
            pass   # the first failure is what the user needs to hear of
        return from_controller(error, doing)
    started = not starting or axis.is_finding_o(station)
    session.note_log_failure(failure, "the homing run was stopped")
    position = end_homing(session, Watcher(session))
    source = stop_source_text(read_stop_source(axis, station))
    if not started:
        outcome = "the homing run did not start; the axis is at rest at %.3f mm" % position
    else:
        outcome = ("the homing run was stopped and its result is unknown: the axis is at rest "
                   "at %.3f mm (stop source: %s); home it again" % (position, source))
    return LogNotWritten(failure, outcome)


# -- move ------------------------------------------------------------------

def _check_length(session, option, mm):
    """MM (of --OPTION) as the module will hold it: a 32-bit pulse count."""
    pulses = mm * session.ppmm
    low, high = PULSE_RANGE
    if not low - 1 < pulses < high + 1:      # the module truncates toward zero
        raise Refused("--%s %g mm is %.4g pulses at %s pulses/mm; the module holds at most "
                      "%d pulses either way" % (option, mm, pulses, session.ppmm, high))


NOT_HOMED_NOTE = ("note: the simulated axis is not homed (the line is fresh each run): "
                  "positions count from where it stands, %g mm from the origin sensor")
NOT_HOMED_HINT = ("; positions count from where the axis stood at power-up until it is homed: "
                  "has it been homed ('qzr-kov home')?")


def move(session, options, signals):
    axis, station = session.axis, session.station
    for option in ("absolute", "relative"):
        if getattr(options, option) is not None:
            _check_length(session, option, getattr(options, option))
    speeds = profile(session, options, DEFAULT_VELOCITY["move"])
    _load_profile(session, speeds)
    if options.absolute is not None:
        doing = "move to %g mm, %s" % (options.absolute, _profile_text(speeds))
        text = "moving station %s to %.3f mm, %s" % (station, options.absolute,
                                                      _profile_text(speeds))
        start = lambda: axis.locate_absolutely(station, options.absolute)
    elif options.relative is not None:
        doing = "move by %g mm, %s" % (options.relative, _profile_text(speeds))
        text = "moving station %s by %.3f mm, %s" % (station, options.relative,
                                                      _profile_text(speeds))
        start = lambda: axis.locate_relatively(station, options.relative)
    else:
        doing = "move by the last relative distance, %s" % _profile_text(speeds)
        text = ("moving station %s by its last relative distance again, %s"
                % (station, _profile_text(speeds)))
        start = lambda: axis.locate_relatively(station)
    with recording(session, options.record, options.plot, _plot_title(session, doing),
                   signals):
        if options.absolute is not None and session.simulated:
            say(NOT_HOMED_NOTE % options.sim_start)
        say(text)
        return _move(session, options, signals, start)


def _move(session, options, signals, start):
    axis, station = session.axis, session.station
    start_motion(session, start, "starting the move", "the move")
    timeout = options.timeout or 0.0
    try:
        with stopped_on_failure(session):
            try:
                wait_while_moving(session, signals,
                                  lambda: axis.wait_for_locating_done(station, timeout))
            except Exception as error:
                failure = log_failure(error)
                if failure is None:
                    raise
                raise ended_at_log_line(session, failure, "the move")
    except TimeoutError as error:
        if error.args != (LOCATING_TIMEOUT_TEXT,):
            raise
        stop_and_settle(session, Watcher(session))
        raise ToolError("the move did not end within %g s; the axis was stopped" % timeout)
    except OSError as error:
        if type(error) is not OSError:     # the line's own failures are subclasses
            raise
        source = read_stop_source(axis, station)
        sources = session.module.StopSource
        limits = (sources.NegativeLimit, sources.PositiveLimit)
        hint = NOT_HOMED_HINT if options.absolute is not None and source in limits else ""
        raise ToolError("the move ended early: stopped by the %s at %.3f mm%s"
                        % (stop_source_text(source), axis.get_position(station), hint))
    say("done: position %.3f mm" % axis.get_position(station))
    return EXIT_OK


# -- jog -------------------------------------------------------------------

class EnterKey(object):
    """Notices a line typed on standard input. With no input at all (end of
    file straight away) only a stop signal ends the jog."""

    def __init__(self):
        self.pressed = threading.Event()
        if sys.stdin is not None and not sys.stdin.closed:
            thread = threading.Thread(target=self._read, name="qzr-kov keys")
            thread.daemon = True
            thread.start()

    def _read(self):
        try:
            if sys.stdin.readline():
                self.pressed.set()
        except (OSError, ValueError):
            pass


def jog(session, options, signals):
    axis, station = session.axis, session.station
    speeds = profile(session, options, DEFAULT_VELOCITY["jog"])
    _load_profile(session, speeds)
    key = EnterKey()
    run = axis.run_positive if options.direction == "positive" else axis.run_negative
    doing = "jog %s, %s" % (options.direction, _profile_text(speeds))
    with recording(session, options.record, options.plot, _plot_title(session, doing),
                   signals):
        start_motion(session, lambda: run(station), "starting the jog", "the jog")
        with stopped_on_failure(session):
            say("jogging station %s %s, %s; press Enter or Ctrl-C to stop"
                % (station, options.direction, _profile_text(speeds)))
            return _jog_until_stopped(session, signals, key)


def _jog_until_stopped(session, signals, key):
    axis, station = session.axis, session.station
    watcher = Watcher(session)
    started = time.monotonic()
    seen_running = False
    while True:
        watcher.tick()
        if signals.wait(0.05):
            watcher.done()
            say("stopping the axis (%s)" % signals.reason)
            stop_and_settle(session, watcher)
            raise signals.interruption()
        if key.pressed.is_set():
            watcher.done()
            say("stopping the axis (Enter)")
            stop_and_settle(session, watcher)
            return EXIT_OK
        running = axis.is_running(station)
        seen_running = seen_running or running
        # A drive that has not yet taken up the run gets a second.
        if not running and (seen_running or time.monotonic() - started > 1.0):
            watcher.tick(force=True)
            watcher.done()
            source = read_stop_source(axis, station)
            raise ToolError("the jog ended by itself: stopped by the %s at %.3f mm"
                            % (stop_source_text(source), axis.get_position(station)))


# -- stop, enable, disable -------------------------------------------------

def stop(session, options, signals):
    axis, station = session.axis, session.station
    stop_axis(session)
    watcher = Watcher(session)
    if not wait_until_still(session, watcher, options.timeout):
        watcher.done()
        raise ToolError("the axis still runs %g s after the stop command" % options.timeout)
    watcher.done()
    say("axis stopped at %.3f mm (stop source: %s)"
        % (axis.get_position(station), stop_source_text(read_stop_source(axis, station))))
    return EXIT_OK


def enable(session, options, signals):
    session.axis.enable_axis(session.station)
    say("drive enabled: the motor holds torque")
    return EXIT_OK


def disable(session, options, signals):
    session.axis.disable_axis(session.station)
    say("drive disabled: the axis is free and can be moved by hand")
    return EXIT_OK


# -- config ----------------------------------------------------------------

SWITCHES = (
    # option, label, enable method, disable method, query
    ("negative_limit", "negative limit switch", "enable_negative_limit",
     "disable_negative_limit", "negative_limit_is_disabled"),
    ("positive_limit", "positive limit switch", "enable_positive_limit",
     "disable_positive_limit", "positive_limit_is_disabled"),
    ("alarm", "alarm input", "enable_alarm", "disable_alarm", "alarm_is_disabled"),
    ("emergency", "emergency input", "enable_emergency", "disable_emergency",
     "emergency_is_disabled"),
)

UNKNOWN = "unknown (the module cannot be asked; set it with %s)"


def config(session, options, signals):
    axis, station = session.axis, session.station
    for option, label, enable_name, disable_name, query in SWITCHES:
        value = getattr(options, option)
        if value is not None:
            getattr(axis, enable_name if value == "enable" else disable_name)(station)
    if options.origin_edge is not None:
        axis.origin_rising_valid(station, options.origin_edge == "rising")
    if options.reverse_direction is not None:
        axis.reverse_direction_output(station, options.reverse_direction == "yes")
    say("station %s configuration" % station)
    for option, label, enable_name, disable_name, query in SWITCHES:
        disabled = getattr(axis, query)(station)
        say("%-22s %s" % (label, "disabled" if disabled else "enabled"))
    say("%-22s %s" % ("origin edge", options.origin_edge or UNKNOWN % "--origin-edge"))
    if options.reverse_direction is None:
        reverse = UNKNOWN % "--reverse-direction"
    else:
        reverse = "inverted" if options.reverse_direction == "yes" else "normal"
    say("%-22s %s" % ("direction output", reverse))
    return EXIT_OK


# -- record, plot -----------------------------------------------------------

def record(session, options, signals):
    """Sample the station without moving it, for --duration seconds of the
    line's time or until a stop signal."""
    duration = options.duration
    title = _plot_title(session, "recorded without moving it")
    with recording(session, options.file, options.plot, title, signals) as recorder:
        say("recording station %s %s; Ctrl-C ends it"
            % (session.station, "for %g s" % duration if duration else "until a stop signal"))
        live = LiveText()
        clock = session.clock
        end = None if duration is None else clock.time() + duration
        while True:
            # The line's seconds left, in seconds of the wall clock.
            left = None if end is None else (end - clock.time()) / _speed(session)
            if left is not None and left <= 0:
                break
            if signals.wait(REFRESH if left is None else min(REFRESH, left)):
                break
            sample = recorder.latest
            if sample is not None:
                live.show(progress_line(Progress(sample.position_mm, sample.running,
                                                 sample.origin, sample.negative_limit,
                                                 sample.positive_limit)))
        live.done()
        if signals.raised:
            # The axis is not the tool's to stop: another program may drive it.
            say("recording ended (%s)" % signals.reason)
            if signals.failure is not None:
                raise signals.failure
    return EXIT_OK


def _speed(session):
    """How much faster than the wall clock the line's time runs."""
    return getattr(session.clock, "factor", 1.0)


def draw_recording(options):
    """The plot command: a recording's CSV file drawn to a picture."""
    output = options.output or os.path.splitext(options.file)[0] + ".png"
    if os.path.abspath(output) == os.path.abspath(options.file):
        raise Refused("the picture would replace the recording %s: name it with -o"
                      % options.file)
    plot.check(output)
    samples = read_csv(options.file)
    plot.draw(samples, output, options.title or os.path.basename(options.file))
    say("plotted %d samples over %.3f s to %s" % (len(samples), samples.duration, output))
    return EXIT_OK


COMMANDS = dict(status=status, home=home, move=move, jog=jog, stop=stop,
                enable=enable, disable=disable, config=config, record=record)
