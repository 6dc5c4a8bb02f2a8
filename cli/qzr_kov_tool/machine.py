"""The tool on a machine description: ``qzr-kov check FILE`` and
``qzr-kov --machine FILE [--simulate] COMMAND`` with the axes by name
(status, home, move, jog), through ``qzr_kov_motion.Machine``."""

import argparse
import logging
import time

from .commands import EnterKey, _jog_until_stopped, say
from .connect import (LogNotes, Session, close_controller, load_controller_module,
                      quietly)
from .display import LiveText, progress_line, stop_source_text
from . import runner
from .errors import (EXIT_OK, EXIT_USAGE, Interrupted, LinkError, LogNotWritten, Refused,
                     ToolError, describe_exception, from_controller, log_failure)
from .motion import (REFRESH, STOP_WENT_OUT, TICK, Background, Watcher, end_homing,
                     ended_at_log_line, read_progress, read_stop_source, send_stop,
                     start_motion, stop_and_settle, stopped_on_failure)
from .signals import signal_name

#: for the main help: where the machine commands are
HELP = """

With a machine description (a .toml or .json file naming the axes, their
lines, scales, speeds, travel limits, positions and homing order) the axes
go by name: 'qzr-kov check FILE' checks one, and 'qzr-kov --machine FILE
[--simulate] status|home|move|jog ...' works on its axes (see 'qzr-kov
--machine FILE --help')."""

DESCRIPTION = """\
Work on the axes of a machine description by name: the lines, stations,
scales, speed profiles, input settings, travel limits, named positions and
homing order all come from FILE (.toml, or the same in JSON as .json).

  qzr-kov check FILE                     check FILE without opening a line
  qzr-kov --machine FILE status          every axis: position, state, inputs
  qzr-kov --machine FILE home [AXIS...]  home all by their order, or those named
  qzr-kov --machine FILE move x load     move to a named position, or to mm
  qzr-kov --machine FILE jog x +         move towards the end of the travel

With --simulate the same file runs on simulated lines, a fresh one per line
on every run: each station's origin sensor sits at 0 mm, its limit switches
just beyond the ends of the travel, and the axis stands inside the travel,
counting as if homed (docs/tool.md says exactly where)."""


def handles(argv):
    """Whether ARGV asks for a machine command rather than one station's."""
    if any(arg == "--machine" or arg.startswith("--machine=") for arg in argv):
        return True
    return next((arg for arg in argv if not arg.startswith("-")), None) == "check"


def _target(text):
    """A target: a finite number of mm, or else the name of a position."""
    from .cli import _number
    try:
        float(text)
    except ValueError:
        return text
    return _number(text)


def _machine_options(parser, suppress):
    def default(value):
        return argparse.SUPPRESS if suppress else value
    from .cli import _positive
    group = parser.add_argument_group("machine")
    group.add_argument("--machine", metavar="FILE", default=default(None),
                       help="the machine description (.toml or .json)")
    group.add_argument("--simulate", action="store_true", default=default(False),
                       help="run on simulated lines instead of the ports of FILE")
    group.add_argument("--sim-speed", type=_positive, default=default(1.0), metavar="FACTOR",
                       help="with --simulate: simulated time runs FACTOR times faster "
                            "(default 1); time limits stay in real seconds")
    group.add_argument("--assume-homed", action="store_true", default=default(False),
                       help="take the axes as homed: they stayed powered since their last "
                            "homing (each run opens the machine afresh and cannot know it; "
                            "on simulated lines they count as homed)")


def build_parser():
    from .cli import EPILOG, PROG, _positive
    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    _machine_options(parser, suppress=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def command(name, summary, description):
        sub = commands.add_parser(name, help=summary, description=description, epilog=EPILOG)
        _machine_options(sub, suppress=True)
        return sub

    sub = commands.add_parser(
        "check", help="check a machine description; open nothing",
        description="Check FILE as a whole without opening any line: one line per axis "
                    "(exit code 0), or one line per problem, each naming its key path "
                    "(exit code 2).", epilog=EPILOG)
    sub.add_argument("file", metavar="FILE", help="the machine description (.toml or .json)")
    command("status", "show every axis: position, state, inputs, last stop",
            "Show each axis of the machine: its position, whether it runs, the origin and "
            "limit inputs that are on, and why it last stopped.")
    sub = command("home", "home the axes by their order, or those named",
                  "Home the axes with homing settings group by group, by their homing order "
                  "(lowest first, each group at once), or only the axes named (still in "
                  "their order). If one fails, the others of its group are stopped and no "
                  "later group starts (exit code 1). Homed axes are at 0.")
    sub.add_argument("axes", nargs="*", metavar="AXIS", help="the axes to home (default: all)")
    sub.add_argument("--timeout", type=_positive, metavar="S",
                     help="give up (and stop the axes) after S seconds in all")
    sub = command("move", "move an axis to a named position or to mm",
                  "Move AXIS to TARGET: one of its named positions, or a position in mm, and "
                  "wait for the end. A target outside the axis's travel is refused before "
                  "anything moves (exit code 2).")
    sub.add_argument("axis", metavar="AXIS", help="the axis, by name")
    sub.add_argument("target", metavar="TARGET", type=_target,
                     help="a named position of the axis, or mm")
    sub.add_argument("--timeout", type=_positive, metavar="S",
                     help="give up (and stop the axis) after S seconds")
    sub = command("jog", "move an axis towards an end of its travel until Enter or Ctrl-C",
                  "Move AXIS towards the end of its travel on the side given (+ or -): the "
                  "move stops there, at the soft limit, or earlier on Enter (exit code 0), "
                  "Ctrl-C or SIGTERM (128+signal). An axis without a travel runs until "
                  "Enter, a signal, or a limit switch or another input stops it (exit code 1).")
    sub.add_argument("axis", metavar="AXIS", help="the axis, by name")
    sub.add_argument("direction", choices=("+", "-"), help="towards the high (+) or low (-) end")
    return parser


# -- reading the description -----------------------------------------------

class Problems(ToolError):
    """A description with problems: one line each, naming the file PATH
    (the runner tells each line of a ToolError as a line of its own)."""

    def __init__(self, path, problems):
        lines = [p if p.startswith(path + ": ") else "%s: %s" % (path, p) for p in problems]
        ToolError.__init__(self, "\n".join(lines), EXIT_USAGE)
        self.lines = lines


def _load_motion(simulated):
    """qzr_kov, then the machine part of qzr_kov_motion."""
    load_controller_module(simulated)
    try:
        from qzr_kov_motion import machine
    except ImportError as error:
        raise LinkError("the package qzr_kov_motion is not installed (%s)"
                        % describe_exception(error))
    return machine


def read(path, simulated=True):
    """The checked description of PATH and the machine module."""
    machine = _load_motion(simulated)
    from qzr_kov_motion import MachineError, description
    try:
        return machine.load_description(path), machine
    except MachineError as error:
        raise Problems(error.path or description.printable(path), error.problems)
    except OSError as error:
        raise Refused("cannot read %s (%s)" % (description.printable(path),
                                               describe_exception(error)))


def summary(axis, description):
    """One line for an axis of a checked description: what each of its
    keys shows (the description's table of keys says what and how)."""
    from qzr_kov_motion import description as keys
    return keys.summary(axis, description)


def check(options):
    description, _ = read(options.file)
    for axis in description.axes.values():
        say(summary(axis, description))
    return EXIT_OK


# -- simulated lines (placed by qzr_kov_sim.machine_lines) -------------------

def without_reverse_direction(description):
    """DESCRIPTION without the direction inversions: a simulated drive turns
    the way its counter goes. Returns it and the axes concerned."""
    axes, changed = {}, []
    for name, axis in description.axes.items():
        if axis.signals.get("reverse_direction"):
            signals = dict(axis.signals)
            del signals["reverse_direction"]
            axis = axis._replace(signals=signals)
            changed.append(name)
        axes[name] = axis
    return description._replace(axes=axes), changed


# -- the machine's session -------------------------------------------------

class Run(object):
    """The open machine, its simulated lines if any, and what the commands
    need to show an axis. ``notes`` (LogNotes) keeps a log record the tool
    went past, for all the axes: every session of an axis shares it."""

    def __init__(self, machine, module, lines, notes=None):
        self.machine = machine
        self.module = module
        self.lines = lines or {}
        self.notes = notes if notes is not None else LogNotes()

    def axis(self, name):
        try:
            return self.machine[name]
        except KeyError as error:
            raise Refused(error.args[0])

    def session(self, name):
        axis = self.axis(name)
        settings = self.machine.description.axes[name]
        return Session(self.module, axis.controller, axis.station, settings.ppmm,
                       bool(self.lines), self.lines.get(settings.line), notes=self.notes)

    def state(self, names=None):
        """Where the axes NAMES (default all) are and whether they run, in
        words, read afresh."""
        return axes_state(self.machine, names or list(self.machine.axes))

    def release(self):
        """Close every line as the program ends, also when a homing result
        is uncollected or the closing log lines fail; never raises."""
        release_controllers(self.module, self.machine.controllers.values(), self.notes)


def axes_state(machine, names, sources=False):
    """Where each axis of NAMES is and whether it runs, in words, read
    afresh; SOURCES: with the stop source of each."""
    parts = []
    for name in names:
        axis = machine[name]
        try:
            running, position = axis.running, axis.position
            source = (" (stop source: %s)"
                      % stop_source_text(read_stop_source(axis.controller, axis.station))
                      if sources else "")
        except Exception as error:
            parts.append("%s could not be read (%s)" % (name, describe_exception(error)))
            continue
        parts.append("%s %s at %.3f mm%s" % (name, "is RUNNING" if running else "at rest",
                                             position, source))
    return ", ".join(parts)


def release_controllers(module, controllers, notes):
    """Close CONTROLLERS for good, without their closing log lines if those
    fail (the failure goes to NOTES); never raises."""
    controllers = list(controllers)
    outcome = ("the line was closed without its log line" if len(controllers) == 1
               else "the lines were closed without their log lines")
    for controller in controllers:
        try:
            close_controller(module, controller, notes, True, outcome)
        except Exception:
            pass


def stops_count_when_sent(machine, notes):
    """Make every axis of MACHINE one whose stop() counts as sent when only
    its log line failed (the failure goes to NOTES): the stop command went
    out before the controller logged it. The motions' cancel(), the
    machine's homing and stopping() all stop through it, and so go on to
    bring the axes to rest and collect their homing runs."""
    from qzr_kov_motion import Axis

    class SentAxis(Axis):
        def stop(self):
            try:
                Axis.stop(self)
            except Exception as error:
                failure = log_failure(error)
                if failure is None:
                    raise
                notes.note(failure, STOP_WENT_OUT)

    for name, axis in list(machine.axes.items()):
        machine.axes[name] = SentAxis(axis.controller, axis.station, axis.name, axis.travel,
                                      axis.positions, axis.encoder, profile=axis.profile,
                                      jog_velocity=axis.jog_velocity, homed=axis.homed)


def open_machine(options):
    if not options.simulate:
        try:
            import qzr_mew  # noqa: F401  (qzr_kov imports it first thing)
        except ImportError as error:
            raise LinkError("the master module qzr_mew is not installed (%s); --simulate runs "
                            "the machine on simulated lines" % describe_exception(error))
    description, machine = read(options.machine, options.simulate)
    import qzr_kov
    lines = None
    if options.simulate:
        description, turned = without_reverse_direction(description)
        if turned:
            say("note: on simulated lines signals.reverse_direction is left out (%s): a "
                "simulated drive turns the way its counter goes" % ", ".join(turned))
        import qzr_kov_sim
        speed = options.sim_speed
        lines = qzr_kov_sim.machine_lines(description, qzr_kov_sim.RealClock() if speed == 1
                                          else qzr_kov_sim.ScaledClock(speed))
    # Made apart from its set-up, so that the controllers it opened are at
    # hand should the set-up fail: when that was at a log line, the
    # machine's own closing of them fails at theirs.
    opened = machine.Machine.__new__(machine.Machine)
    try:
        quietly(lambda: opened.__init__(description, lines=lines))
    except Exception as error:
        failure = _set_up_failed(options, description, opened, qzr_kov, error)
        for line in (lines or {}).values():
            # A controller that could not be made leaves its line open.
            if not line.closed:
                line.close()
        raise failure
    notes = LogNotes()
    stops_count_when_sent(opened, notes)
    if options.simulate or options.assume_homed:
        # Simulated lines place each axis counting as if homed.
        opened.assume_homed()
    return Run(opened, qzr_kov, lines, notes)


def refuse_unless_homed(options, axis, what):
    """Refused: WHAT (a move that needs the coordinate) on AXIS not homed."""
    if not axis.homed:
        raise Refused("axis %s is not homed, and %s needs its coordinate: each run of the tool "
                      "opens the machine afresh and cannot know whether it was homed; home "
                      "it ('qzr-kov --machine %s home') and give --assume-homed to the "
                      "commands that follow, or give it now if the axes stayed powered since "
                      "their last homing" % (options.axis, what, options.machine))


def _set_up_failed(options, description, opened, module, error):
    """The ToolError for a set-up of the machine that failed with ERROR."""
    failure = log_failure(error)
    if failure is None:
        if isinstance(error, OSError):
            return LinkError("cannot set up the machine of %s (%s)"
                             % (options.machine, describe_exception(error)))
        return from_controller(error, "setting up the machine of %s" % options.machine)
    controllers = getattr(opened, "controllers", {})
    release_controllers(module, controllers.values(), LogNotes())
    if not controllers:
        # The first controller logs its creation once its line is open.
        line = next(iter(description.lines.values()))
        where = ("the simulated line %s" % line.name if options.simulate
                 else "line %s (port %s)" % (line.name, line.port))
        outcome = ("%s was opened, but the controller cannot go on without its log: nothing "
                   "was sent to the axes" % where)
    else:
        outcome = ("its set-up stopped at a log line, and nothing was sent after it (settings "
                   "sent before stay in the stations; no axis was set moving); %s closed"
                   % ("the line was" if len(controllers) == 1 else "its lines were"))
    return LogNotWritten(failure, "the machine of %s was not set up: %s"
                         % (options.machine, outcome))


# -- commands ----------------------------------------------------------------

def status(run, options, signals):
    for name in run.machine.axes:
        session = run.session(name)
        progress = read_progress(session)
        source = read_stop_source(session.axis, session.station)
        say("%-8s %s  last stop: %s" % (name, progress_line(progress).rstrip(),
                                         stop_source_text(source)))
    return EXIT_OK


def _axes_line(run, names):
    return ["%-8s %s" % (name, progress_line(read_progress(run.session(name))))
            for name in names]


def home(run, options, signals):
    try:
        groups = run.machine.homing_groups(options.axes or None)
    except (KeyError, ValueError) as error:
        raise Refused(error.args[0])
    if not groups:
        raise Refused("no axis of %s has homing settings" % options.machine)
    end = None if options.timeout is None else time.monotonic() + options.timeout
    for group in groups:
        left = None if end is None else end - time.monotonic()
        if left is not None and left <= 0:
            raise ToolError("homing did not end within %g s; %s not started"
                            % (options.timeout, ", ".join(group)))
        say("homing %s" % ", ".join(group))
        waiter = Background(lambda left=left, group=group: run.machine.home(left, group))
        waiter.start()
        _watch(run, group, waiter, signals)
        try:
            waiter.outcome()
        except Exception as error:
            raise _homing_failed(run, group, error, options)
        say("homed: %s" % ", ".join("%s at %.3f mm" % (name, run.axis(name).position)
                                    for name in group))
    return EXIT_OK


def _homing_failed(run, group, error, options):
    """The error to end with when ERROR ended the homing of GROUP. The
    machine has stopped the axes and collected their runs; whatever it
    could not do (a stop or a collection that failed) is done here, so that
    no axis runs and no homing worker is left."""
    from qzr_kov_motion import MotionError
    failure = log_failure(error)
    if failure is not None:
        # Told before the failure to bring an axis to rest, if any.
        run.notes.note(failure, "homing %s stopped at a log line" % ", ".join(group))
    try:
        for name in group:
            _bring_to_rest(name, run.session(name))
    except ToolError:
        if failure is not None:
            raise
        # The first failure is what the user needs to hear of.
    if failure is not None:
        return LogNotWritten(failure, "homing %s stopped at a log line: %s; the homing "
                                      "results are unknown: home again"
                             % (", ".join(group), axes_state(run.machine, group, sources=True)))
    if isinstance(error, TimeoutError):
        return ToolError("homing did not end within %g s; %s stopped"
                         % (options.timeout, ", ".join(group)))
    if isinstance(error, MotionError):
        return ToolError("homing failed: %s; the others of its group were stopped and no "
                         "later group started" % _named(run, error))
    return from_controller(error, "homing %s" % ", ".join(group))


def _bring_to_rest(name, session):
    """Stop the axis NAME of SESSION if it still runs, and collect a homing
    run still pending on its station."""
    axis, station = session.axis, session.station
    try:
        homing, running = axis.is_finding_o(station), axis.is_running(station)
    except Exception as error:
        raise LinkError("cannot read the state of %s (%s)" % (name, describe_exception(error)))
    if homing or running:
        say("stopping %s" % name)
    if homing:
        end_homing(session, Watcher(session))
    elif running:
        stop_and_settle(session, Watcher(session))


def _named(run, error):
    """The text of a MotionError with the axis's name for its station."""
    for name, axis in run.machine.axes.items():
        if axis.station == error.station:
            return "%s (%s)" % (name, error)
    return str(error)


def _watch(run, names, waiter, signals):
    """Shows the axes while WAITER runs; on a stop signal stops them until
    it has ended, then raises Interrupted."""
    live = LiveText()
    shown = 0.0
    while not waiter.finished.wait(TICK):
        if signals.raised:
            live.done()
            say("stopping %s (%s)" % (", ".join(names), signal_name(signals.signum)))
            while not waiter.finished.is_set():
                for name in names:
                    try:
                        run.axis(name).stop()
                    except Exception as error:
                        raise LinkError("could not stop %s (%s)"
                                        % (name, describe_exception(error)))
                waiter.finished.wait(0.2)
            say("stopped: %s" % ", ".join("%s at %.3f mm" % (name, run.axis(name).position)
                                          for name in names))
            raise Interrupted(signals.signum)
        if time.monotonic() >= shown + REFRESH:
            shown = time.monotonic()
            try:
                live.show(_axes_line(run, names))
            except Exception:
                pass    # a failed read shows up where the command waits
    live.done()


def _motion_end(session, motion, what):
    """The outcome of MOTION (WHAT: the move of an axis), which has ended:
    its result, or its exception raised. A move whose end could not be
    logged is told as such; after a failure of the line the axis is
    stopped, should the line let the tool."""
    from qzr_kov_motion import MotionError
    try:
        return motion.result()
    except Exception as error:
        failure = log_failure(error)
        if failure is not None:
            raise ended_at_log_line(session, failure, what)
        if not isinstance(error, MotionError):
            send_stop(session)
        raise


def move(run, options, signals):
    from qzr_kov_motion import LimitError, MotionError
    axis = run.axis(options.axis)
    try:
        mm = axis.target(options.target)
    except LimitError as error:
        raise Refused(str(error))
    except KeyError as error:
        raise Refused(error.args[0])
    refuse_unless_homed(options, axis, "a move to a target")
    named = "" if not isinstance(options.target, str) else " (%s)" % options.target
    say("moving %s to %.3f mm%s" % (options.axis, mm, named))
    session = run.session(options.axis)
    what = "the move of %s" % options.axis
    motion = start_motion(session, lambda: axis.move_to(mm), "starting the move", what)
    waiter = Background(lambda: motion.wait(options.timeout))
    waiter.start()
    with stopped_on_failure(session):
        _watch(run, [options.axis], waiter, signals)
    if not motion.done():       # the wait's time limit passed
        motion.cancel()
        raise ToolError("the move did not end within %g s; %s was stopped at %.3f mm"
                        % (options.timeout, options.axis, axis.position))
    try:
        end = _motion_end(session, motion, what)
    except MotionError as error:
        raise ToolError("%s: %s" % (options.axis, error))
    if abs(end - mm) * abs(session.ppmm) >= 1:
        raise ToolError("%s ended at %.3f mm, not at %.3f mm: the station did not take the move "
                        "(does it have a speed profile? give the axis a profile in %s)"
                        % (options.axis, end, mm, options.machine))
    say("done: %s at %.3f mm" % (options.axis, end))
    return EXIT_OK


def jog(run, options, signals):
    from qzr_kov_motion import LimitError, MotionError
    direction = run.module.Direction.Positive if options.direction == "+" \
        else run.module.Direction.Negative
    axis = run.axis(options.axis)
    session = run.session(options.axis)
    what = "the jog of %s" % options.axis
    key = EnterKey()
    if axis.travel is None:
        start = axis.controller.run_positive if options.direction == "+" \
            else axis.controller.run_negative
        start_motion(session, lambda: start(axis.station), "starting the jog", what)
        with stopped_on_failure(session):
            say("jogging %s %s (it has no travel: until Enter, Ctrl-C or an input stops it)"
                % (options.axis, options.direction))
            return _jog_until_stopped(session, signals, key)
    refuse_unless_homed(options, axis, "a jog to the end of its travel")

    def begin():
        try:
            return axis.jog(direction)
        except LimitError as error:
            raise Refused(str(error))
    motion = start_motion(session, begin, "starting the jog", what)
    low, high = axis.travel
    end = high if options.direction == "+" else low
    say("jogging %s towards %.3f mm, the end of its travel; press Enter or Ctrl-C to stop"
        % (options.axis, end))
    with stopped_on_failure(session):
        watcher = Watcher(session)
        while not motion.done():
            watcher.tick()
            if signals.wait(TICK) or key.pressed.is_set():
                watcher.done()
                why = signal_name(signals.signum) if signals.raised else "Enter"
                say("stopping %s (%s)" % (options.axis, why))
                motion.cancel()
                say("%s stopped at %.3f mm" % (options.axis, axis.position))
                if signals.raised:
                    raise Interrupted(signals.signum)
                return EXIT_OK
        watcher.tick(force=True)
        watcher.done()
    try:
        at = _motion_end(session, motion, what)
    except MotionError as error:
        raise ToolError("%s: the jog ended early: %s" % (options.axis, error))
    say("%s stopped at the end of its travel: %.3f mm" % (options.axis, at))
    return EXIT_OK


COMMANDS = dict(status=status, home=home, move=move, jog=jog)


def _run(options):
    if options.command == "check":
        return check(options)
    if options.machine is None:
        raise Refused("'%s' works on a machine: give its description with --machine FILE"
                      % options.command)
    # The library's warnings (a stop or a collection that failed while it
    # cleaned up after an error) would reach stderr as bare lines: the tool
    # reads what became of the axes itself, and tells that.
    library = logging.getLogger("qzr_kov_motion")
    quiet = logging.NullHandler()
    library.addHandler(quiet)
    try:
        run = open_machine(options)
        notice = "simulated lines (fresh each run: nothing is kept)" if options.simulate \
            else None
        return runner.run_command(run, COMMANDS[options.command], options, notice)
    finally:
        library.removeHandler(quiet)


def main(argv):
    """Runs a machine command; returns the exit code. Never a traceback."""
    options = build_parser().parse_args(argv)
    return runner.main(lambda: _run(options),
                       lambda error: from_controller(error, options.command))
