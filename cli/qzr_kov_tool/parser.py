"""The command line: one argument parser for the commands on one station and
on the axes of a machine description, the values checked as they are read,
and what may go with what.

Nothing here imports the controller module: ``--help`` and every usage
error are told without it (the module, or the simulated master, is loaded
only once the arguments are read).
"""

import argparse
import math

from . import __version__, plot

PROG = "qzr-kov"

#: pulses per millimetre on the simulated line unless --ppmm says otherwise
SIM_PPMM = 100
#: where the simulated axis stands at power-up, in mm (--sim-start)
SIM_START_MM = 40.0
#: the simulated axis's sensors, in mm: origin sensor 3 mm wide around 0,
#: negative limit switch at -5 mm, positive limit switch at 300 mm
SIM_LAYOUT_MM = dict(origin_at=0.0, origin_width=3.0,
                     negative_limit_at=-5.0, positive_limit_at=300.0)
#: the station numbers a module can have on the line: those of
#: qzr_kov_motion.description.STATIONS (a test holds them equal), which the
#: argument parser cannot import, as the library needs the controller module
#: and that needs the master module, which a simulated line stands in for
#: only once the arguments are read
STATIONS = (1, 99)
#: the velocity of the commands that load a speed profile, unless --velocity
DEFAULT_VELOCITY = dict(home=20.0, move=20.0, jog=5.0)
#: the defaults of the line options, which default to None in the parser so
#: that an option given with --machine is told apart from its default
LINE_DEFAULTS = dict(baudrate=115200, station=1, sim_start=SIM_START_MM)

DESCRIPTION = """\
Commission motor axes: read their status, home them, move them, jog them,
stop them, power their drives and configure their inputs; record their
motion to CSV and plot it (--record, --plot, record, plot).

One station: without --port the tool works on a simulated line: a fresh one
on every run (nothing is kept between runs), %(ppmm)d pulses/mm unless --ppmm
says otherwise. Its origin sensor is %(width)g mm wide around %(origin)g mm, its
limit switches are at %(neg)g mm and %(pos)g mm, and the axis stands at %(start)g mm;
as on a real axis, the position counter starts at 0 until it is homed.

A machine: with --machine FILE (a .toml or .json description naming the
axes, their lines, scales, speeds, travel limits, positions and homing
order) the same commands work on its axes by name, every axis unless some
are named; --simulate runs the file on simulated lines, a fresh one per
line on every run: each station's origin sensor sits at 0 mm, its limit
switches just beyond the ends of the travel, and the axis stands inside the
travel, counting as if homed (docs/tool.md says exactly where).

  qzr-kov check FILE                     check FILE without opening a line
  qzr-kov --machine FILE status          every axis: position, state, inputs
  qzr-kov --machine FILE home [AXIS...]  home all by their order, or those named
  qzr-kov --machine FILE move x load     move to a named position, or to mm
  qzr-kov --machine FILE move x load y 40 --together   several, on a straight line
  qzr-kov --machine FILE home --then-move x load       home, then move: one run
  qzr-kov --machine FILE jog x + --velocity 5          jog slowly; --step MM: one step
  qzr-kov --machine FILE status --watch  a live table of every axis until Ctrl-C
  qzr-kov --machine FILE stop            stop every axis, see each at rest

Each run opens the machine afresh and cannot know that an earlier run homed
its axes: on a real line a move to a target is refused until the axis is
homed in the same run (home --then-move), or declared so (--assume-homed).

Lengths are mm, speeds mm/s, times s. The controller keeps its daily log in
./log of the directory you run this in.""" % dict(
    ppmm=SIM_PPMM, start=SIM_START_MM, width=SIM_LAYOUT_MM["origin_width"],
    origin=SIM_LAYOUT_MM["origin_at"], neg=SIM_LAYOUT_MM["negative_limit_at"],
    pos=SIM_LAYOUT_MM["positive_limit_at"])

EPILOG = """\
exit codes: 0 done; 1 an axis did not do what was asked (origin not found,
move ended early or not on its target, time-out, not seen at rest after a
stop); 2 bad arguments or command refused; 3 no connection (master module
missing, port, communication) or no matplotlib for a picture; 4 the
recording, its picture or the controller's log file could not be written
(the axes are stopped); 128+N ended by signal N (130 for Ctrl-C) after
stopping the axes."""

RECORD_COLUMNS = ("axis (its name), time_s (from the first sample), position_mm, "
                  "velocity_mm_s, then 0 or 1 for running, origin, negative_limit, "
                  "positive_limit, alarm and emergency (the raw input, normally closed: 1 "
                  "while released), then position_set (1 on the first sample after the "
                  "position counter was set)")

#: what one station's options are, for the refusal of them on a machine
_STATION_ONLY = (("port", "--port"), ("baudrate", "--baudrate"), ("station", "--station"),
                 ("ppmm", "--ppmm"), ("sim_start", "--sim-start"))
_PROFILE = (("start_velocity", "--start-velocity"), ("velocity", "--velocity"),
            ("acceleration_time", "--acceleration-time"))


def _number(text):
    """A finite number; the message names what was wrong with TEXT."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a number" % text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError("%s is not a finite number" % text)
    return value


def _positive(text):
    value = _number(text)
    if not value > 0:
        raise argparse.ArgumentTypeError("must be above 0, not %s" % text)
    return value


def _scale(text):
    value = _number(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must not be 0")
    return value


def _station(text):
    low, high = STATIONS
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a station number: give a whole number "
                                         "from %d to %d" % (text, low, high))
    if not low <= value <= high:
        raise argparse.ArgumentTypeError("there is no station %d: station numbers go from "
                                         "%d to %d" % (value, low, high))
    return value


def _sim_start(text):
    value = _number(text)
    low, high = SIM_LAYOUT_MM["negative_limit_at"], SIM_LAYOUT_MM["positive_limit_at"]
    if not low <= value <= high:
        side, at = ("negative", low) if value < low else ("positive", high)
        raise argparse.ArgumentTypeError(
            "%s mm lies beyond the %s limit switch at %g mm: the simulated axis stands "
            "between %g and %g mm" % (text, side, at, low, high))
    return value


def _picture(text):
    if plot.format_of(text) is None:
        raise argparse.ArgumentTypeError("%s: the picture's name must end in %s"
                                         % (text, plot.FORMATS_TEXT))
    return text


def target(text):
    """A machine's target: a finite number of mm, or else the name of a
    position."""
    try:
        float(text)
    except ValueError:
        return text
    return _number(text)


def _global_options(parser, suppress):
    """The options of the line or the machine; on the commands they default
    to nothing, so that they may be given before or after the command."""
    def default(value):
        return argparse.SUPPRESS if suppress else value
    group = parser.add_argument_group("one station")
    group.add_argument("--port", default=default(None),
                       help="serial port of the line (default: a simulated line)")
    group.add_argument("--baudrate", type=int, default=default(None),
                       help="line speed in baud (default 115200)")
    group.add_argument("--station", type=_station, default=default(None),
                       help="station number of the axis's module, %d to %d (default 1)"
                            % STATIONS)
    group.add_argument("--ppmm", type=_scale, default=default(None),
                       help="pulses per mm of the axis; needed with --port for commands "
                            "that use mm (default on the simulated line: %d)" % SIM_PPMM)
    group = parser.add_argument_group("a machine")
    group.add_argument("--machine", metavar="FILE", default=default(None),
                       help="the machine description (.toml or .json): the axes go by name")
    group.add_argument("--simulate", action="store_true", default=default(False),
                       help="with --machine: run on simulated lines instead of the ports "
                            "of FILE")
    group.add_argument("--assume-homed", action="store_true", default=default(False),
                       help="with --machine: declare every axis homed without homing it, for "
                            "axes that stayed powered since their last homing (each run opens "
                            "the machine afresh and cannot know it). Risk: an axis moved by "
                            "hand or that lost steps since then goes where its counter says, "
                            "not where you think, and its travel limits guard the wrong "
                            "places. On simulated lines the axes stand counting as if homed, "
                            "and count as homed without it")
    group = parser.add_argument_group("simulated lines")
    group.add_argument("--sim-speed", type=_positive, default=default(1.0), metavar="FACTOR",
                       help="run simulated time FACTOR times faster than the clock "
                            "(default 1); time limits stay in real seconds")
    group.add_argument("--sim-start", type=_sim_start, default=default(None), metavar="MM",
                       help="one station: where the simulated axis stands at start, seen from "
                            "the origin sensor, between the limit switches (default %g mm)"
                            % SIM_START_MM)


def _axes(parser, what):
    parser.add_argument("axes", nargs="*", metavar="AXIS",
                        help="with --machine: the axes %s (default: every axis)" % what)


def _timeout(parser, what="the axis"):
    parser.add_argument("--timeout", type=_positive, metavar="S",
                        help="give up (and stop %s) after S seconds (default: no limit)" % what)


def _profile_options(parser, velocity, on_machine=None):
    """The speed profile options of one station; ON_MACHINE: what
    --velocity does on a machine, if it may be given there."""
    group = parser.add_argument_group(
        "speed profile of one station (loaded into the module; a machine's come from its "
        "file%s)" % (", --velocity aside" if on_machine else ""))
    group.add_argument("--start-velocity", type=_number, metavar="MM_S",
                       help="start velocity of the ramp (default: 2, or the velocity "
                            "if that is lower)")
    group.add_argument("--velocity", type=_number, metavar="MM_S",
                       help="velocity (default %g)%s" % (velocity, "; a machine: " + on_machine
                                                         if on_machine else ""))
    group.add_argument("--acceleration-time", type=_number, metavar="S",
                       help="ramp time up and down (default 0.2)")


def _recording_options(parser, what="the run"):
    group = parser.add_argument_group("recording")
    group.add_argument("--record", metavar="FILE.csv",
                       help="sample the axes taking part during %s and write one CSV row per "
                            "sample of an axis (its name, time, position, velocity, running "
                            "and the inputs)" % what)
    group.add_argument("--plot", type=_picture, metavar="FILE.png",
                       help="record and draw position and velocity against time, one panel "
                            "per axis, to a .png, .svg or .pdf picture (needs matplotlib)")


def _listen(text):
    """HOST:PORT (an IPv6 address in brackets, [::1]:8080) as (host, port)."""
    host, colon, port = text.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not colon or not host or "[" in host or "]" in host or not port.isdigit() \
            or not 0 <= int(port) <= 65535:
        raise argparse.ArgumentTypeError("%r is not HOST:PORT (127.0.0.1:8080, [::1]:8080; "
                                         "port 0: any free port)" % text)
    return host, int(port)


class _Parser(argparse.ArgumentParser):
    """The parser, with its commands' parsers at hand (``commands``) for
    the errors that only the options as a whole show."""

    commands = None


def build_parser():
    parser = _Parser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    _global_options(parser, suppress=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    parser.commands = {}

    def command(name, summary, description, line=True):
        sub = commands.add_parser(name, help=summary, description=description, epilog=EPILOG)
        if line:
            _global_options(sub, suppress=True)
        parser.commands[name] = sub
        return sub

    sub = command("status", "show position, inputs, stop source and input settings",
                  "One station: show the position, whether the axis runs, the origin, limit, "
                  "alarm and emergency inputs, why it last stopped, and which inputs are "
                  "disabled. The emergency input is normally closed: on means released. A "
                  "machine: one line per axis (position, running or stopped, the inputs that "
                  "are on, why it last stopped).")
    _axes(sub, "to show")
    sub.add_argument("--watch", action="store_true",
                     help="refresh in place until Ctrl-C or SIGTERM (exit code 0); a machine: "
                          "a live table, one line per axis, or one line per change when the "
                          "output is not a terminal")
    sub.add_argument("--interval", type=_positive, default=0.5, metavar="S",
                     help="seconds between refreshes with --watch (default 0.5); a machine: "
                          "how often its idle axes are read, a moving one being read with "
                          "every poll")

    sub = command("home", "find the origin and make it position 0",
                  "Home the axis and show its progress. One station: limit-first drives to "
                  "the limit switch on the --direction side, then searches the origin back the "
                  "other way; origin-only searches the origin towards --direction. Prints the "
                  "result: True (origin found, position set to 0), False (the run ended "
                  "without the origin: exit code 1) or None (--timeout passed: the axis is "
                  "stopped, exit code 1). A machine: the axes with homing settings group by "
                  "group, by their homing order (lowest first, each group at once), or only "
                  "the axes named (still in their order); if one fails, the others of its "
                  "group are stopped and no later group starts (exit code 1). Homed axes "
                  "are at 0; --then-move moves axes to targets once all are homed, in the "
                  "same run, so that the homed state carries over.")
    _axes(sub, "to home")
    sub.add_argument("--then-move", nargs="+", metavar="AXIS TARGET",
                     help="with --machine: once homing has succeeded, move each AXIS to its "
                          "TARGET (a named position or mm), as 'move' does; every target is "
                          "checked before homing starts")
    sub.add_argument("--method", choices=("limit-first", "origin-only"),
                     help="one station: homing method (default limit-first)")
    sub.add_argument("--direction", choices=("negative", "positive"),
                     help="one station: direction the run starts in (default negative)")
    _timeout(sub, "the axes")
    _profile_options(sub, DEFAULT_VELOCITY["home"])
    _recording_options(sub, "the homing run")

    sub = command("move", "move to a position or by a distance and wait for the end",
                  "One station: load the speed profile, start a move (--absolute or "
                  "--relative) and show its progress until it ends. A machine: move AXIS to "
                  "TARGET, one of its named positions or a position in mm, or by --relative "
                  "mm, and more axes with theirs (all start at once; --together: on a "
                  "straight line, arriving together); a target outside the axis's travel is "
                  "refused before anything moves (exit code 2). A move that ends early "
                  "(limit switch, alarm, emergency input, stop) or not on its target exits "
                  "with code 1 and says why; the other axes of the move are stopped then.")
    sub.add_argument("axis", nargs="?", metavar="AXIS", help="with --machine: the axis, by name")
    sub.add_argument("target", nargs="?", metavar="TARGET", type=target,
                     help="with --machine: a named position of the axis, or mm")
    sub.add_argument("more", nargs="*", metavar="AXIS TARGET",
                     help="with --machine: more axes, each with its target")
    sub.add_argument("--together", action="store_true",
                     help="with --machine: the axes arrive together, the tool point on a "
                          "straight line (--velocity: its speed along the line)")
    group = sub.add_mutually_exclusive_group()
    group.add_argument("--absolute", type=_number, metavar="MM", help="move to position MM")
    group.add_argument("--relative", type=_number, metavar="MM", help="move by MM")
    group.add_argument("--repeat", action="store_true", help=argparse.SUPPRESS)
    _timeout(sub)
    _profile_options(sub, DEFAULT_VELOCITY["move"],
                     "the velocity of this move (default: each axis's profile)")
    _recording_options(sub, "the move")

    sub = command("jog", "run until Enter, Ctrl-C or SIGTERM, then stop",
                  "Run the axis until you press Enter (exit code 0), Ctrl-C or send SIGTERM "
                  "(exit code 128+signal), then stop it and wait until it is at rest. With "
                  "standard input at its end only a signal stops the jog. One station: load "
                  "the speed profile and run towards --direction. A machine: AXIS runs "
                  "towards the end of its travel on the side given (+ or -) and stops there, "
                  "at the soft limit (exit code 0); an axis not homed, or without a travel, "
                  "runs at --velocity (or its file's jog velocity) until Enter, Ctrl-C or a "
                  "limit switch stops it. A run that a limit switch or another input stops, "
                  "or that the axis did not take, ends with exit code 1. --step MM: one "
                  "step of MM instead, at the jog velocity (a move by a distance, allowed "
                  "before homing).")
    sub.add_argument("axis", nargs="?", metavar="AXIS", help="with --machine: the axis, by name")
    sub.add_argument("side", nargs="?", metavar="+|-",
                     help="towards the high (+) or low (-) end")
    sub.add_argument("--direction", choices=("negative", "positive"),
                     help="direction of the run (default positive); the same as - or +")
    sub.add_argument("--step", type=_positive, metavar="MM",
                     help="move one step of MM towards + or - at the jog velocity, and stop")
    _profile_options(sub, DEFAULT_VELOCITY["jog"],
                     "the jog velocity (default: the file's jog key for the axis, else a "
                     "jog to the travel's end at its profile)")
    _recording_options(sub, "the jog")

    sub = command("stop", "stop the axes and see each at rest",
                  "Send the stop command (the axis ramps down) to the axis, or to every axis "
                  "of the machine (or those named), and read each until it is at rest; then "
                  "show where each stands and its stop source. An axis not seen at rest "
                  "within --timeout ends the command with exit code 1.")
    _axes(sub, "to stop")
    sub.add_argument("--timeout", type=_positive, default=30.0, metavar="S",
                     help="how long the axes may take to come to rest (default 30)")

    sub = command("enable", "enable the drive (the motor holds torque)",
                  "Enable the drive (of every axis of the machine, or those named): the motor "
                  "holds torque. The drive's enable output is read back.")
    _axes(sub, "to enable")
    sub = command("disable", "disable the drive (the axis can be moved by hand)",
                  "Disable the drive (of every axis of the machine, or those named): the "
                  "motor releases its torque and the axis can be pushed by hand. The drive's "
                  "enable output is read back.")
    _axes(sub, "to disable")

    sub = command("config", "show and set how the module treats its inputs",
                  "Set the options given (on every axis of the machine, or those named), then "
                  "show the limit, alarm and emergency input settings. The origin edge and "
                  "the direction inversion cannot be read back from the module: they show as "
                  "unknown unless set in the same call. On simulated lines settings last for "
                  "this run only.")
    _axes(sub, "to configure")
    for option, what in (("negative-limit", "the negative limit switch"),
                         ("positive-limit", "the positive limit switch"),
                         ("alarm", "the drive's alarm input"),
                         ("emergency", "the emergency-stop input")):
        sub.add_argument("--" + option, choices=("enable", "disable"),
                         help="whether %s stops the axis" % what)
    sub.add_argument("--origin-edge", choices=("rising", "falling"),
                     help="edge of the origin input that counts (module default falling)")
    sub.add_argument("--reverse-direction", choices=("yes", "no"),
                     help="invert the direction output (module default no)")

    sub = command("record", "record the axes without moving them",
                  "Sample the station (or every axis of the machine, or those named) for "
                  "--duration seconds (or until Ctrl-C or SIGTERM, exit code 0) without "
                  "moving it, for instance while another program moves it, and write one CSV "
                  "row per sample of an axis: " + RECORD_COLUMNS)
    sub.add_argument("file", metavar="FILE.csv", help="the CSV file to write")
    _axes(sub, "to record")
    sub.add_argument("--duration", type=_positive, metavar="S",
                     help="how long to record (default: until Ctrl-C or SIGTERM)")
    sub.add_argument("--plot", type=_picture, metavar="FILE.png",
                     help="also draw the recording to a .png, .svg or .pdf picture")

    sub = command("positions", "show the named positions of the machine's axes",
                  "With --machine: the named positions of each axis (or of those named) and "
                  "its travel, from the description; no line is opened.")
    _axes(sub, "to show")

    sub = command("panel", "serve a live panel of the machine to a browser",
                  "With --machine: serve a panel of the machine in the browser (positions and "
                  "inputs live, jog, home, move, teach positions, STOP ALL) and an HTTP API "
                  "for scripts, until Ctrl-C, which stops every axis. It prints the address "
                  "to open, with its token; docs/panel.md has the API and its safety.")
    sub.add_argument("--listen", type=_listen, default=("127.0.0.1", 0), metavar="HOST:PORT",
                     help="the address to serve on (default 127.0.0.1 and any free port)")
    sub.add_argument("--open", action="store_true", help="open the panel in the browser")
    sub.add_argument("--read-only", action="store_true",
                     help="show the machine, refuse every command but stop")
    sub.add_argument("--allow-host", action="append", default=[], metavar="NAME",
                     help="a name the browser may reach the panel by, besides the listening "
                          "address, localhost, 127.0.0.1 and [::1] (may be given again)")

    sub = command("check", "check a machine description; open nothing",
                  "Check FILE (or the file of --machine) as a whole without opening any line: "
                  "one line per axis (exit code 0), or one line per problem, each naming its "
                  "key path (exit code 2).")
    sub.add_argument("file", nargs="?", metavar="FILE",
                     help="the machine description (.toml or .json)")

    sub = command("plot", "draw a recording: position and velocity against time",
                  "Draw a recording made with --record or 'record' to a picture: position "
                  "and velocity against time, one above the other, for each axis, with the "
                  "moments the inputs changed marked and labelled. Needs matplotlib (on "
                  "Debian: apt-get install python3-matplotlib; in a virtual environment, its "
                  "own matplotlib, or one made with --system-site-packages); without it the "
                  "command says so and exits with code 3.", line=False)
    sub.add_argument("file", metavar="FILE.csv", help="the recording")
    sub.add_argument("-o", "--output", type=_picture, metavar="FILE.png",
                     help="the picture: .png, .svg or .pdf (default: FILE.png beside the "
                          "recording)")
    sub.add_argument("--title", help="title of the picture (default: the recording's name)")
    return parser


# -- what goes with what ------------------------------------------------------

def parse(argv):
    """The options of ARGV, checked as a whole; the parser's usage error
    (exit code 2) for what does not go together."""
    parser = build_parser()
    options = parser.parse_args(argv)
    error = parser.commands[options.command].error
    if options.command == "plot":
        return options
    if options.command == "check":
        options.file = options.file or getattr(options, "machine", None)
        if options.file is None:
            error("the following arguments are required: FILE")
        return options
    if options.command == "panel" and options.machine is None:
        error("the panel shows a machine: give its description with --machine FILE")
    if options.machine is not None:
        _machine_usage(options, error)
    else:
        _station_usage(options, error)
    for name, value in LINE_DEFAULTS.items():
        if getattr(options, name, None) is None:
            setattr(options, name, value)
    return options


def _given(options, names):
    return [option for name, option in names if getattr(options, name, None) is not None]


def _station_usage(options, error):
    if options.simulate:
        error("argument --simulate: it runs a machine description on simulated lines: give "
              "the file with --machine FILE (one station is simulated unless --port is given)")
    axes = getattr(options, "axes", None)
    if options.command == "jog":
        if options.axis in ("+", "-") and options.side is None:
            options.axis, options.side = None, options.axis
        if options.axis is not None:
            error("argument AXIS: axes go by name with --machine FILE; one station jogs "
                  "towards + or - (or --direction)")
        _side(options, error)
    elif options.command == "move":
        if options.axis is not None:
            error("argument AXIS: axes go by name with --machine FILE; one station moves with "
                  "--absolute or --relative")
        if options.repeat:
            error("argument --repeat: the module's last relative distance cannot be read "
                  "back, so the tool could not check that the move arrived: give the distance "
                  "with --relative MM")
        if options.absolute is None and options.relative is None:
            error("one of the arguments --absolute --relative is required")
    elif axes:
        error("argument AXIS: axes go by name with --machine FILE (one station is chosen with "
              "--station)")
    for name, option in (("together", "--together"), ("then_move", "--then-move")):
        if getattr(options, name, None):
            error("argument %s: it moves the axes of a machine: give the file with --machine "
                  "FILE" % option)
    if options.command == "positions":
        error("named positions come from a machine description: give it with --machine FILE")
    for name in ("method", "direction"):
        if options.command == "home" and getattr(options, name) is None:
            setattr(options, name, "limit-first" if name == "method" else "negative")
    if hasattr(options, "acceleration_time") and options.acceleration_time is None:
        options.acceleration_time = 0.2


def _side(options, error):
    """The direction of a jog from + or - and --direction, which must agree."""
    side = {"+": "positive", "-": "negative", None: None}.get(options.side, "?")
    if side == "?":
        error("argument +|-: invalid choice: %r (choose from '+', '-')" % options.side)
    if side is not None and options.direction is not None and side != options.direction:
        error("argument --direction: %s says the other way from %s" % (options.direction,
                                                                      options.side))
    options.direction = side or options.direction or "positive"


def _machine_usage(options, error):
    given = _given(options, _STATION_ONLY)
    if given:
        error("argument %s: on a machine the lines, stations and scales come from its file "
              "(%s)" % (given[0], options.machine))
    command = options.command
    if command == "home":
        given = _given(options, _PROFILE)
        if given:
            error("argument %s: on a machine the axes home at the speeds of its file (%s)"
                  % (given[0], options.machine))
    elif command in ("move", "jog"):
        given = _given(options, (_PROFILE[0], _PROFILE[2]))
        if given:
            error("argument %s: on a machine the axes run on the profiles of its file (%s); "
                  "--velocity MM_S alone sets the velocity of a %s" % (given[0], options.machine,
                                                                       command))
    if command == "home":
        given = _given(options, (("method", "--method"), ("direction", "--direction")))
        if given:
            error("argument %s: on a machine each axis homes as its file says (%s)"
                  % (given[0], options.machine))
        options.then_move = (None if options.then_move is None
                             else _targets(options.then_move, "--then-move", error))
    elif command == "move":
        if options.absolute is not None or options.repeat:
            error("argument %s: on a machine give the target after the axis: move AXIS "
                  "TARGET (a named position or mm)" % ("--absolute" if options.absolute
                                                       is not None else "--repeat"))
        if options.axis is None:
            error("the following arguments are required: AXIS, and TARGET or --relative")
        if (options.target is None) == (options.relative is None):
            error("give the axis one target: TARGET (a named position or mm) or --relative MM")
        if options.relative is not None:
            if options.together:
                error("argument --together: moves to targets arrive together; --relative "
                      "moves one axis by a distance")
            options.targets = None
        else:
            options.targets = _targets([options.axis, options.target] + options.more,
                                       "AXIS TARGET", error)
    elif command == "jog":
        if options.axis is None or options.side is None and options.direction is None:
            error("the following arguments are required: AXIS, +|-")
        _side(options, error)


def _targets(given, argument, error):
    """The axes and targets of GIVEN (AXIS TARGET ...; a target read
    already is kept as it is) as a list of pairs, each axis once."""
    if len(given) % 2:
        error("argument %s: %s has no target: give each axis one (AXIS TARGET [AXIS TARGET "
              "...])" % (argument, given[-1]))
    pairs = []
    for name, text in zip(given[::2], given[1::2]):
        if any(name == seen for seen, _ in pairs):
            error("argument %s: axis %s is given twice" % (argument, name))
        try:
            pairs.append((name, text if not isinstance(text, str) else target(text)))
        except argparse.ArgumentTypeError as refused:
            error("argument %s: %s" % (argument, refused))
    return pairs
