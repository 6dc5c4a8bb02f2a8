"""The commands that set axes moving or stop them: home, move, jog and stop,
on one station or on the axes of a machine. Each takes the axes
(session.Axes), the parsed options and the stop signals, prints what the
axes did and returns the exit code, or raises ToolError.

Every motion is the library's: a move or a jog is a ``Motion`` of an
``Axis`` (which ends well only on its target's pulse count), homing one of
``Axis.home`` or ``Machine.home``; a motion is stopped with its ``cancel``,
which returns once the axis is at rest."""

import collections
import time

from . import plot
from .display import stop_source_text
from .failures import EXIT_OK, LogNotWritten, Refused, ToolError, from_controller
from .parser import DEFAULT_VELOCITY
from .progress import (ENTER, FAILED, TIME, cancel, follow, halt, in_background, say,
                       stopped_on_failure, stopped_text, stopping_text)
from .record import recording
from .signals import EnterKey

#: the module keeps positions and distances in pulses as 32-bit integers
PULSE_RANGE = (-2 ** 31, 2 ** 31 - 1)
#: the module keeps the acceleration time in ms as a 32-bit unsigned integer
MAX_ACCELERATION_MS = 2 ** 32 - 1


# -- speed profile of one station ----------------------------------------------

def profile(module, ppmm, options, velocity_default):
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
    rate = abs(velocity * ppmm)
    limit = module._MaxPulsePerSecond
    if rate > limit:
        raise Refused("%s is %d pulses/s at %s pulses/mm; the module allows at most %d"
                      % (velocity_text, rate, ppmm, limit))
    return start, velocity, acceleration


def _check_length(ppmm, option, mm):
    """MM (of --OPTION) as the module will hold it: a 32-bit pulse count."""
    pulses = mm * ppmm
    low, high = PULSE_RANGE
    if not low - 1 < pulses < high + 1:      # the module truncates toward zero
        raise Refused("--%s %g mm is %.4g pulses at %s pulses/mm; the module holds at most "
                      "%d pulses either way" % (option, mm, pulses, ppmm, high))


def check_options(module, ppmm, options):
    """Refuse, before the line of one station is opened, what is wrong with
    the options whatever the station: the speed profile, a target the module
    cannot hold, a picture that could not be drawn. Returns the speed
    profile of a move or a jog, which the station is to hold (the axis's
    profile), else None."""
    if options.command == "move":
        for option in ("absolute", "relative"):
            if getattr(options, option) is not None:
                _check_length(ppmm, option, getattr(options, option))
    if options.command == "jog" and options.step is not None:
        _check_length(ppmm, "step", options.step)
    speeds = None
    if options.command in DEFAULT_VELOCITY:
        speeds = profile(module, ppmm, options, DEFAULT_VELOCITY[options.command])
    check_picture(options)
    return speeds if options.command in ("move", "jog") else None


def check_picture(options):
    if getattr(options, "plot", None) is not None:
        plot.check(options.plot)


def _load_profile(axes, speeds):
    name, axis = axes.one()
    try:
        axis.controller.set_parameters(axis.station, *speeds)
    except Exception as error:
        raise from_controller(error, "loading the speed profile", axes.seam)


def _profile_text(speeds):
    return "%g -> %g mm/s in %g s" % speeds


def _title(axes, doing):
    """The title of a picture of DOING."""
    if axes.single:
        name, axis = axes.one()
        return "station %s, %s pulses/mm: %s" % (axis.station,
                                                 axis.controller.ppmm(axis.station), doing)
    return "%s: %s" % (axes.path, doing)


def _recording(axes, names, options, doing, signals):
    return recording([(name, axes[name]) for name in names], axes.clock, options.record,
                     options.plot, _title(axes, doing), signals, named=not axes.single)


# -- starting and ending a motion ----------------------------------------------

def _start(axes, names, start, what, refusals=()):
    """START(), which sets the axes NAMES moving (WHAT: "the move") and
    returns their Motion, or name to Motion. Should it fail, the command
    may have gone out all the same (its answer or, after it, its log line
    was lost): the axes are brought to rest before the failure ends the
    program. REFUSALS: the errors that the library raises before it sends
    anything, or once it has stopped what it started (told as refusals)."""
    from qzr_kov_motion import NotHomedError
    try:
        return start()
    except ToolError:
        raise
    except NotHomedError as error:        # refused before anything was sent
        raise Refused(not_homed_text(axes, error.axes or names))
    except Exception as error:
        failure = axes.seam.failure_of(error)
        if failure is None and isinstance(error, refusals):
            raise Refused(error.args[0] if error.args else str(error))
        if failure is None:
            _stop_quietly(axes, names)
            raise from_controller(error, "starting " + what, axes.seam)
        positions = axes.bring_to_rest(names)
        raise LogNotWritten(failure, "%s had started: %s" % (what, _at_rest_text(positions)))


def _at_rest_text(positions):
    """Where the axes that had to be stopped came to rest (POSITIONS)."""
    if len(positions) == 1:
        return "the axis was stopped at %.3f mm" % next(iter(positions.values()))
    return "the axes were stopped: " + ", ".join("%s at %.3f mm" % item
                                                 for item in positions.items())


def not_homed_text(axes, names, targets=None):
    """Why a move that needs the coordinates of the machine's axes NAMES
    (not homed) is refused; TARGETS (name to target, as given): the move,
    for the way round it."""
    names = list(names)
    subject = ("axis %s is" if len(names) == 1 else "axes %s are") % ", ".join(names)
    then = " --then-move %s" % " ".join("%s %s" % (name, _as_given(target))
                                        for name, target in targets) if targets else ""
    return ("%s not homed, and a move to a target needs %s coordinate: home first, in this run "
            "('qzr-kov --machine %s home%s') or before it ('qzr-kov --machine %s home', then "
            "--assume-homed on the commands that follow); each run of the tool opens the "
            "machine afresh and cannot know whether it was homed, so give --assume-homed now "
            "only if the axes stayed powered since their last homing"
            % (subject, "its" if len(names) == 1 else "their", axes.path, then, axes.path))


def _as_given(target):
    """A target as the command line gives it."""
    return target if isinstance(target, str) else "%g" % target


def _stop_quietly(axes, names):
    """Bring NAMES to rest if the line lets the tool; the failure that ends
    the program is the one already found."""
    try:
        axes.bring_to_rest(names)
    except ToolError:
        pass


def _interrupted(axes, motions, signals, why):
    """Stop MOTIONS (name to Motion), which WHY (a signal's name, Enter,
    ...) ended, and say where the axes stopped. False if every motion had
    ended by itself meanwhile."""
    names = list(motions)
    say(stopping_text(axes, names, why))
    cancelled = [cancel(axes, name, motion) for name, motion in motions.items()]
    say(stopped_text(axes, axes.at_rest(names), listed=signals.raised))
    return any(cancelled)


def _failure_text(axes, name, error, what, early):
    """The text of the MotionError ERROR that ended WHAT of NAME (the move,
    the jog): EARLY says how a move that an input or a stop ended, ended."""
    from qzr_kov import StopSource
    who = "" if axes.single else "%s: " % name
    source = error.stop_source
    if source is not None and source != StopSource.Null:
        at = "" if error.position is None else " at %.3f mm" % error.position
        return "%s%s %s: stopped by the %s%s" % (who, what, early, stop_source_text(source), at)
    return "%s%s did not take the axis to its target: %s" % (who, what, error)


def _outcome(axes, name, motion, what, target):
    """The result of MOTION of NAME, which has ended; its MotionError
    raised. When the end of WHAT could not be logged, the poller could not
    tell how it ended: the stop source and the position say it, against
    TARGET (mm; None for a move by a distance or a run). After a failure
    of the line the axis is stopped, should the line let the tool."""
    from qzr_kov_motion import MotionError
    try:
        return motion.result()
    except MotionError:
        raise
    except Exception as error:
        failure = axes.seam.failure_of(error)
        if failure is None:
            _stop_quietly(axes, [name])
            raise from_controller(error, what, axes.seam)
        how = _how(axes, name, target)
        position = axes.bring_to_rest([name])[name]
        raise LogNotWritten(failure, "%s had ended %s: the axis is at rest at %.3f mm"
                            % (what, how, position))


def _how(axes, name, target):
    """How the move of NAME to TARGET (mm, or None) ended, read afresh."""
    from qzr_kov import StopSource
    axis = axes[name]
    source = axes.stop_source(name)
    if source != StopSource.Null:
        return "stopped by the %s" % stop_source_text(source)
    controller, station = axis.controller, axis.station
    position = axis.position
    if target is None:
        return "with no stop source, at %.3f mm" % position
    if round(position * controller.ppmm(station)) == controller.to_pulse(station, target):
        return "at its target"
    return "at %.3f mm, not at its target %.3f mm" % (position, target)


def _velocity(axes, names, velocity):
    """VELOCITY (mm/s, or None) checked for each axis of NAMES as a move
    at it writes it, before anything is sent; refused in the library's
    words."""
    if velocity is not None:
        for name in names:
            try:
                axes[name].velocity_checked(velocity)
            except (TypeError, ValueError) as error:
                raise Refused(error.args[0])
    return velocity


def _speed_text(axis, velocity):
    """The speed of a move of AXIS at VELOCITY (None: its profile's)."""
    if velocity is not None:
        return "%g mm/s" % velocity
    return "%g mm/s (its profile)" % axis.profile[1]


# -- home ----------------------------------------------------------------------

HOMING_METHODS = {"limit-first": "LimitFirstThenBackward", "origin-only": "OriginOnly"}


def home(axes, options, signals):
    if not axes.single:
        return _home_machine(axes, options, signals)
    module = axes.module
    name, axis = axes.one()
    controller, station = axis.controller, axis.station
    speeds = profile(module, controller.ppmm(station), options, DEFAULT_VELOCITY["home"])
    direction = getattr(module.Direction, options.direction.capitalize())
    method = getattr(module.FindingOMethod, HOMING_METHODS[options.method])
    if method == module.FindingOMethod.LimitFirstThenBackward:
        disabled = (controller.negative_limit_is_disabled(station)
                    if options.direction == "negative"
                    else controller.positive_limit_is_disabled(station))
        if disabled:
            raise Refused("the %s limit switch is disabled, so limit-first homing cannot start "
                          "towards %s (enable it with 'config --%s-limit enable', or use "
                          "--method origin-only)" % ((options.direction,) * 3))
    controller.finding_o_method = method
    doing = "homing %s, direction %s, %s" % (options.method, options.direction,
                                             _profile_text(speeds))
    with _recording(axes, [name], options, doing, signals):
        say("homing station %s: method %s, direction %s, %s"
            % (station, options.method, options.direction, _profile_text(speeds)))
        with stopped_on_failure(axes, [name]):
            return _home_station(axes, name, options, signals,
                                 lambda: axis.home(*speeds, direction=direction))


def _home_station(axes, name, options, signals, start):
    run = _start_homing(axes, name, start)
    ended = follow(axes, [name], [run], signals, timeout=options.timeout)
    if ended == TIME:
        say("result: None - the homing run did not end within %g s" % options.timeout)
        cancel(axes, name, run)
        say(stopped_text(axes, axes.at_rest([name])))
        raise ToolError("homing timed out after %g s; the axis was stopped" % options.timeout)
    if ended is not None:
        _interrupted(axes, {name: run}, signals, signals.reason)
        raise signals.interruption()
    return _homing_result(axes, name, run)


def _start_homing(axes, name, start):
    """START(), which starts the homing run of NAME and returns its Motion.
    Whatever failed, the run may have started (find_o writes the profile,
    starts the worker and may then fail at its log line): the axis is
    brought to rest and a pending result collected first."""
    axis = axes[name]
    try:
        return start()
    except Exception as error:
        failure = axes.seam.failure_of(error)
        if failure is None:
            _stop_quietly(axes, [name])
            raise from_controller(error, "starting the homing run", axes.seam)
        started = axis.controller.is_finding_o(axis.station)
        position = axes.bring_to_rest([name])[name]
        if not started:
            raise LogNotWritten(failure, "the homing run did not start; the axis is at rest "
                                         "at %.3f mm" % position)
        raise _homing_unknown(axes, name, failure)


def _homing_unknown(axes, name, failure):
    """The LogNotWritten of a homing run of NAME that stopped at a log line
    (the axis brought to rest, the run collected)."""
    position = axes.bring_to_rest([name])[name]
    return LogNotWritten(failure, "the homing run was stopped and its result is unknown: the "
                                  "axis is at rest at %.3f mm (stop source: %s); home it again"
                         % (position, stop_source_text(axes.stop_source(name))))


def _homing_result(axes, name, run):
    from qzr_kov_motion import MotionError
    axis = axes[name]
    try:
        run.result()
    except MotionError:
        if axes.seam.failure is not None:
            # The worker ended at its log line.
            raise _homing_unknown(axes, name, axes.seam.failure)
        source = axes.stop_source(name)
        say("result: False - origin not found (stopped by: %s)" % stop_source_text(source))
        if axis.running:
            # The worker gives up at any failure of its own (a lost
            # answer), maybe with the axis still running.
            say("the axis still runs: stopping it")
            positions = axes.bring_to_rest([name])
            say(stopped_text(axes, positions))
            raise ToolError("origin not found: the homing run ended with the axis still "
                            "running (stop source: %s); it was stopped at %.3f mm"
                            % (stop_source_text(source), positions[name]))
        say("position: %.3f mm" % axis.position)
        raise ToolError("origin not found: the run ended on the %s" % stop_source_text(source))
    except Exception as error:
        failure = axes.seam.failure_of(error)
        if failure is not None:
            raise _homing_unknown(axes, name, failure)
        _stop_quietly(axes, [name])
        raise from_controller(error, "homing", axes.seam)
    say("result: True - origin found, position set to 0")
    say("position: %.3f mm" % axis.position)
    return EXIT_OK


def _home_machine(axes, options, signals):
    machine = axes.machine
    try:
        groups = machine.homing_groups(options.axes or None)
    except (KeyError, ValueError) as error:
        raise Refused(error.args[0])
    if not groups:
        raise Refused("no axis of %s has homing settings" % axes.path)
    names = [name for group in groups for name in group]
    then = _then_move(axes, names, options.then_move)
    doing = "home %s" % ", ".join(names)
    if then:
        doing += ", then move %s" % ", ".join(then)
    taking_part = names + [name for name in then if name not in names]
    with _recording(axes, taking_part, options, doing, signals), \
            stopped_on_failure(axes, taking_part):
        end = None if options.timeout is None else time.monotonic() + options.timeout
        for group in groups:
            left = None if end is None else end - time.monotonic()
            if left is not None and left <= 0:
                raise ToolError("homing did not end within %g s; %s not started"
                                % (options.timeout, ", ".join(group)))
            say("homing %s" % ", ".join(group))
            work = in_background(lambda left=left, group=group: machine.home(left, group))
            if follow(axes, group, [work], signals) is not None:
                say(stopping_text(axes, group, signals.reason))
                halt(axes, group, work)
                say(stopped_text(axes, axes.at_rest(group), listed=True))
                raise signals.interruption()
            error = work.exception()
            if error is not None:
                raise _machine_homing_failed(axes, group, error, options)
            say("homed: %s" % ", ".join("%s at %.3f mm" % (name, axes[name].position)
                                        for name in group))
        if then:
            # --timeout is homing's: the move has none, as 'move' without one.
            return _move_to_targets(axes, then, None, signals,
                                    _moving_text(then, options.then_move, False, None))
    return EXIT_OK


def _then_move(axes, homing, given):
    """The targets of home --then-move (GIVEN: pairs as given) as name to
    mm, checked before homing starts: each in its axis's travel, and each
    axis homed already or among those to home (HOMING)."""
    if not given:
        return collections.OrderedDict()
    targets = collections.OrderedDict((name, _target(axes[name], target))
                                      for name, target in given)
    refused = [name for name in targets if name not in homing and not axes[name].homed]
    if refused:
        one = len(refused) == 1
        raise Refused("%s not homed, and this run does not home %s: name %s among the axes to "
                      "home, or name none to home every axis"
                      % (("axis %s is" if one else "axes %s are") % ", ".join(refused),
                         "it" if one else "them", "it" if one else "them"))
    return targets


def _machine_homing_failed(axes, group, error, options):
    """The error to end with when ERROR ended the homing of GROUP. The
    machine has stopped the axes and collected their runs; whatever it
    could not do (a stop or a collection that failed) is done here, so that
    no axis runs and no homing worker is left."""
    from qzr_kov_motion import MotionError
    failure = axes.seam.failure_of(error) or axes.seam.failure
    try:
        axes.bring_to_rest(group)
    except ToolError:
        if failure is not None:
            raise
        # The first failure is what the user needs to hear of.
    if failure is not None:
        return LogNotWritten(failure, "homing %s stopped at a log line: %s; the homing "
                                      "results are unknown: home again"
                             % (", ".join(group), axes.state(group, sources=True)))
    if isinstance(error, TimeoutError):
        return ToolError("homing did not end within %g s; %s stopped"
                         % (options.timeout, ", ".join(group)))
    if isinstance(error, MotionError):
        return ToolError("homing failed: %s; the others of its group were stopped and no "
                         "later group started" % _named(axes, error))
    return from_controller(error, "homing %s" % ", ".join(group), axes.seam)


def _named(axes, error):
    """The text of a MotionError with the axis's name for its station."""
    for name, axis in axes.axes.items():
        if axis.station == error.station:
            return "%s (%s)" % (name, error)
    return str(error)


# -- move --------------------------------------------------------------------------

NOT_HOMED_NOTE = ("note: the simulated axis is not homed (the line is fresh each run): "
                  "positions count from where it stands, %g mm from the origin sensor")
NOT_HOMED_HINT = ("; positions count from where the axis stood at power-up until it is homed: "
                  "has it been homed ('qzr-kov home')?")


def move(axes, options, signals):
    if not axes.single:
        if options.targets is not None:
            return _move_machine(axes, options, signals)
        name = options.axis
        axis = axes[name]
        velocity = _velocity(axes, [name], options.velocity)
        text = doing = "moving %s by %.3f mm%s" % (
            name, options.relative, "" if velocity is None else " at %g mm/s" % velocity)
        with _recording(axes, [name], options, doing, signals), \
                stopped_on_failure(axes, [name]):
            return _move(axes, {name: None}, options.timeout, signals,
                         lambda: {name: _move_by(axis, options.relative, velocity)}, text)
    name, axis = axes.one()
    controller, station = axis.controller, axis.station
    ppmm = controller.ppmm(station)
    for option in ("absolute", "relative"):
        if getattr(options, option) is not None:
            _check_length(ppmm, option, getattr(options, option))
    speeds = profile(axes.module, ppmm, options, DEFAULT_VELOCITY["move"])
    _load_profile(axes, speeds)
    if options.absolute is not None:
        target, doing = options.absolute, "move to %g mm" % options.absolute
        text = "moving station %s to %.3f mm" % (station, target)
        start = lambda: {name: axis.move_to(target)}
    else:
        target, doing = None, "move by %g mm" % options.relative
        text = "moving station %s by %.3f mm" % (station, options.relative)
        start = lambda: {name: _move_by(axis, options.relative)}
    doing, text = (s + ", " + _profile_text(speeds) for s in (doing, text))
    with _recording(axes, [name], options, doing, signals), stopped_on_failure(axes, [name]):
        if target is not None and axes.simulated:
            say(NOT_HOMED_NOTE % options.sim_start)
        return _move(axes, {name: target}, options.timeout, signals, start, text)


def _move_machine(axes, options, signals):
    """move AXIS TARGET [AXIS TARGET ...] [--together] on a machine."""
    targets = _checked_targets(axes, options.targets)
    _velocity(axes, [] if options.together else list(targets), options.velocity)
    text = _moving_text(targets, options.targets, options.together, options.velocity)
    with _recording(axes, list(targets), options, text, signals), \
            stopped_on_failure(axes, list(targets)):
        return _move_to_targets(axes, targets, options.timeout, signals, text,
                                options.together, options.velocity)


def _checked_targets(axes, given):
    """GIVEN (pairs of an axis's name and its target as given) as name to
    mm, each target checked against its axis's travel and the axis homed,
    before anything is sent."""
    targets = collections.OrderedDict((name, _target(axes[name], target))
                                      for name, target in given)
    refused = [name for name in targets if not axes[name].homed]
    if refused:
        raise Refused(not_homed_text(axes, refused, given))
    return targets


def _moving_text(targets, given, together, velocity):
    """What a move of the axes to TARGETS (name to mm; GIVEN: as given) is."""
    parts = []
    for name, target in given:
        named = " (%s)" % target if isinstance(target, str) else ""
        parts.append("%s to %.3f mm%s" % (name, targets[name], named))
    text = "moving " + ", ".join(parts)
    if together:
        return text + (" together, on a straight line%s" % (
            "" if velocity is None else " at %g mm/s along it" % velocity))
    return text + ("" if velocity is None else " at %g mm/s" % velocity)


def _move_to_targets(axes, targets, timeout, signals, text, together=False, velocity=None):
    """Move the machine's axes to TARGETS (name to mm, checked) through
    Machine.move_to, say TEXT, and follow them to their end."""
    start = lambda: axes.machine.move_to(targets, together=together, velocity=velocity)
    # Together, the library refuses after reading the axes (an axis that
    # moves, speeds along the line that an axis cannot take), and a start
    # that fails once it has stopped what it started; apart, everything it
    # would refuse was checked here.
    return _move(axes, targets, timeout, signals, start, text,
                 refusals=(ValueError, RuntimeError) if together else ())


def _target(axis, target):
    """TARGET of a machine's AXIS (a name or mm) in mm; refused before
    anything is sent if it is unknown or outside the travel."""
    from qzr_kov_motion import LimitError
    try:
        return axis.target(target)
    except (LimitError, KeyError) as error:
        raise Refused(error.args[0])


def _move_by(axis, mm, velocity=None):
    from qzr_kov_motion import LimitError
    try:
        return axis.move_by(mm, velocity=velocity)
    except LimitError as error:      # before the move was started
        raise Refused(error.args[0])


def _move(axes, targets, timeout, signals, start, text, refusals=(), what="the move"):
    """START() (name to Motion), TEXT said once it has started, and the
    motions of TARGETS (name to mm, or None for a move by a distance)
    followed to their end: the first that fails stops the others. WHAT:
    "the move", "the step"."""
    from qzr_kov_motion import MotionError
    names = list(targets)
    label = what if axes.single else "%s of %s" % (what, ", ".join(names))
    motions = _start(axes, names, start, label, refusals)
    say(text)
    ended = follow(axes, names, list(motions.values()), signals, timeout=timeout, failing=True)
    if ended == TIME:
        for name, motion in motions.items():
            cancel(axes, name, motion)
        positions = axes.at_rest(names)
        if axes.single:
            say(stopped_text(axes, positions))
            raise ToolError("%s did not end within %g s; the axis was stopped" % (what, timeout))
        raise ToolError("%s did not end within %g s; %s" % (what, timeout, ", ".join(
            "%s was stopped at %.3f mm" % item for item in positions.items())))
    if ended not in (None, FAILED):
        _interrupted(axes, motions, signals, signals.reason)
        raise signals.interruption()
    stopped = []
    if ended == FAILED:
        # The others are stopped: the axes were to arrive as one move.
        stopped = [name for name, motion in motions.items() if cancel(axes, name, motion)]
    failures, ends = [], collections.OrderedDict()
    for name, motion in motions.items():
        if name in stopped:
            continue
        try:
            ends[name] = _outcome(axes, name, motion, label, targets[name])
        except MotionError as error:
            from qzr_kov import StopSource
            text = _failure_text(axes, name, error, what, "ended early")
            limits = (StopSource.NegativeLimit, StopSource.PositiveLimit)
            if axes.single and targets[name] is not None and error.stop_source in limits:
                text += NOT_HOMED_HINT
            failures.append(text)
    if failures:
        if stopped:
            failures.append("stopped: " + ", ".join(
                "%s at %.3f mm" % item for item in axes.at_rest(stopped).items()))
        raise ToolError("; ".join(failures))
    if axes.single:
        say("done: position %.3f mm" % next(iter(ends.values())))
    else:
        say("done: " + ", ".join("%s at %.3f mm" % item for item in ends.items()))
    return EXIT_OK


# -- jog ---------------------------------------------------------------------------

RUN_TEXT = "until Enter, Ctrl-C or a limit switch stops it"


def jog(axes, options, signals):
    if options.step is not None:
        return _step(axes, options, signals)
    key = EnterKey()
    direction = getattr(axes.module.Direction, options.direction.capitalize())
    if axes.single:
        name, axis = axes.one()
        controller, station = axis.controller, axis.station
        speeds = profile(axes.module, controller.ppmm(station), options,
                         DEFAULT_VELOCITY["jog"])
        _load_profile(axes, speeds)
        # A run (run_positive, run_negative) at the speeds just loaded: the
        # axis's profile, so nothing more is written.
        start = lambda: axis.jog(direction, velocity=speeds[1])
        doing = "jog %s, %s" % (options.direction, _profile_text(speeds))
        text = ("jogging station %s %s, %s; press Enter or Ctrl-C to stop"
                % (station, options.direction, _profile_text(speeds)))
        end = None
    else:
        name = options.axis
        axis = axes[name]
        side = "+" if options.direction == "positive" else "-"
        velocity = _velocity(axes, [name], options.velocity)
        if velocity is None:
            velocity = axis.jog_velocity
        doing = "jog %s %s" % (name, side)
        if axis.travel is not None and axis.homed:
            end = axis.travel[1] if side == "+" else axis.travel[0]
            text = ("jogging %s towards %.3f mm, the end of its travel, at %s; press Enter or "
                    "Ctrl-C to stop" % (name, end, _speed_text(axis, velocity)))
        elif velocity is None:
            raise Refused(_jog_needs_velocity(axes, name))
        else:
            end = None
            text = ("jogging %s %s at %g mm/s (%s: %s)"
                    % (name, side, velocity, "no travel" if axis.travel is None
                       else "not homed", RUN_TEXT))
        start = lambda: _jog_axis(axis, direction, options.velocity)
    with _recording(axes, [name], options, doing, signals), stopped_on_failure(axes, [name]):
        what = "the jog" if axes.single else "the jog of %s" % name
        (name, motion), = _start(axes, [name], lambda: {name: start()}, what).items()
        say(text)
        return _jog(axes, name, motion, signals, key, what, end)


def _jog_needs_velocity(axes, name):
    """Why the machine's axis NAME cannot jog without a velocity."""
    key = "give --velocity MM_S, or a jog = { velocity = MM_S } key for %s in %s" % (
        name, axes.path)
    if axes[name].travel is None:
        return ("axis %s has no travel, so a jog runs %s, at a velocity of its own: %s"
                % (name, RUN_TEXT, key))
    return ("axis %s is not homed, and a jog to the end of its travel needs its coordinate: "
            "home first ('qzr-kov --machine %s home'), or give --assume-homed if the axes "
            "stayed powered since their last homing; or, for a run %s, %s"
            % (name, axes.path, RUN_TEXT, key))


def _jog_axis(axis, direction, velocity):
    from qzr_kov_motion import LimitError
    try:
        return axis.jog(direction, velocity=velocity)
    except LimitError as error:      # it stands past that end: nothing was sent
        raise Refused(error.args[0])


def _jog(axes, name, motion, signals, key, what, end):
    """Follow the jog MOTION of NAME (to END, the travel's, or None for a
    run) until it ends or Enter or a signal stops it."""
    from qzr_kov_motion import MotionError
    ended = follow(axes, [name], [motion], signals, key=key)
    if ended == ENTER and _interrupted(axes, {name: motion}, signals, "Enter"):
        return EXIT_OK
    if ended not in (None, ENTER):
        _interrupted(axes, {name: motion}, signals, signals.reason)
        raise signals.interruption()
    try:
        at = _outcome(axes, name, motion, what, end)
    except MotionError as error:
        if end is None and error.stop_source == axes.module.StopSource.Null:
            raise ToolError("%sthe jog was not taken: %s"
                            % ("" if axes.single else name + ": ", error))
        raise ToolError(_failure_text(axes, name, error, "the jog", "ended by itself"))
    if end is not None:
        say("%s stopped at the end of its travel: %.3f mm" % (name, at))
    else:
        # A run that a stop command of someone else's ended.
        say("%s by a stop command at %.3f mm"
            % ("the axis stopped" if axes.single else name + " stopped", at))
    return EXIT_OK


def _step(axes, options, signals):
    """jog --step MM: one move by MM towards the side given, at the jog
    velocity; allowed on an axis not homed (a move by a distance)."""
    mm = options.step if options.direction == "positive" else -options.step
    if axes.single:
        name, axis = axes.one()
        controller, station = axis.controller, axis.station
        _check_length(controller.ppmm(station), "step", mm)
        speeds = profile(axes.module, controller.ppmm(station), options,
                         DEFAULT_VELOCITY["jog"])
        _load_profile(axes, speeds)
        text = doing = "stepping station %s %s by %.3f mm, %s" % (
            station, options.direction, options.step, _profile_text(speeds))
        start = lambda: {name: _move_by(axis, mm)}
    else:
        name = options.axis
        axis = axes[name]
        velocity = _velocity(axes, [name], options.velocity)
        if velocity is None:
            velocity = axis.jog_velocity        # else its profile, as a jog to the end
        text = doing = "stepping %s %s by %.3f mm at %s" % (
            name, "+" if mm > 0 else "-", options.step, _speed_text(axis, velocity))
        start = lambda: {name: _move_by(axis, mm, velocity)}
    with _recording(axes, [name], options, doing, signals), stopped_on_failure(axes, [name]):
        return _move(axes, {name: None}, None, signals, start, text, what="the step")


# -- stop ------------------------------------------------------------------------

def stop(axes, options, signals):
    names = axes.names(options.axes)
    positions = axes.bring_to_rest(names, options.timeout)
    for name, position in positions.items():
        source = stop_source_text(axes.stop_source(name))
        if axes.single:
            say("axis stopped at %.3f mm (stop source: %s)" % (position, source))
        else:
            say("%s stopped at %.3f mm (stop source: %s)" % (name, position, source))
    return EXIT_OK

