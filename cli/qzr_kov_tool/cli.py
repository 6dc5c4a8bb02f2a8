"""Command line: options, subcommands, and how failures end the program."""

import argparse
import math
import sys

from . import __version__, display, machine, plot, runner
from .commands import COMMANDS, DEFAULT_VELOCITY, check_options
from .connect import SIM_LAYOUT_MM, SIM_PPMM, SIM_START_MM, open_session
from .errors import ToolError, describe_exception, from_controller
from .runner import PROG

DESCRIPTION = """\
Commission one motor axis: read its status, home it, move it, jog it, stop
it, power its drive and configure its inputs; record its motion to CSV and
plot it (--record, --plot, record, plot).

Without --port the tool works on a simulated line: a fresh one on every run
(nothing is kept between runs), %(ppmm)d pulses/mm unless --ppmm says
otherwise. Its origin sensor is %(width)g mm wide around %(origin)g mm, its limit
switches are at %(neg)g mm and %(pos)g mm, and the axis stands at %(start)g mm;
as on a real axis, the position counter starts at 0 until it is homed.

Lengths are mm, speeds mm/s, times s. The controller keeps its daily log in
./log of the directory you run this in.""" % dict(
    ppmm=SIM_PPMM, start=SIM_START_MM, width=SIM_LAYOUT_MM["origin_width"],
    origin=SIM_LAYOUT_MM["origin_at"], neg=SIM_LAYOUT_MM["negative_limit_at"],
    pos=SIM_LAYOUT_MM["positive_limit_at"])
DESCRIPTION += machine.HELP

EPILOG = """\
exit codes: 0 done; 1 the axis did not do what was asked (origin not found,
move ended early, time-out); 2 bad arguments or command refused; 3 no
connection (master module missing, port, communication) or no matplotlib
for a picture; 4 the recording, its picture or the controller's log file
could not be written (the axis is stopped); 128+N ended by signal N (130
for Ctrl-C) after stopping the axis."""

RECORD_COLUMNS = ("time_s (from the first sample), position_mm, velocity_mm_s, then 0 or 1 for "
                  "running, origin, negative_limit, positive_limit, alarm and emergency (the "
                  "raw input, normally closed: 1 while released), then position_set (1 on "
                  "the first sample after the position counter was set)")

#: the station numbers a module can have on the line: those of
#: qzr_kov_motion.description.STATIONS (a test holds them equal), which the
#: argument parser cannot import, as the library needs the controller module
#: and that needs the master module, which a simulated line stands in for
#: only once the arguments are read
STATIONS = (1, 99)


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


def _global_options(parser, suppress):
    """The line options; on subcommands they default to nothing so that
    they may be given before or after the subcommand."""
    def default(value):
        return argparse.SUPPRESS if suppress else value
    group = parser.add_argument_group("line")
    group.add_argument("--port", default=default(None),
                       help="serial port of the line (default: a simulated line)")
    group.add_argument("--baudrate", type=int, default=default(115200),
                       help="line speed in baud (default 115200)")
    group.add_argument("--station", type=_station, default=default(1),
                       help="station number of the axis's module, %d to %d (default 1)"
                            % STATIONS)
    group.add_argument("--ppmm", type=_scale, default=default(None),
                       help="pulses per mm of the axis; needed with --port for commands "
                            "that use mm (default on the simulated line: %d)" % SIM_PPMM)
    group = parser.add_argument_group("simulated line")
    group.add_argument("--sim-speed", type=_positive, default=default(1.0), metavar="FACTOR",
                       help="run simulated time FACTOR times faster than the clock "
                            "(default 1); time limits stay in real seconds")
    group.add_argument("--sim-start", type=_sim_start, default=default(SIM_START_MM),
                       metavar="MM",
                       help="where the simulated axis stands at start, seen from the "
                            "origin sensor, between the limit switches (default %g mm)"
                            % SIM_START_MM)


def _profile_options(parser, velocity, timeout=False):
    if timeout:
        parser.add_argument("--timeout", type=_positive, metavar="S",
                            help="give up (and stop the axis) after S seconds "
                                 "(default: no limit)")
    group = parser.add_argument_group("speed profile (loaded into the module)")
    group.add_argument("--start-velocity", type=_number, metavar="MM_S",
                       help="start velocity of the ramp (default: 2, or the velocity "
                            "if that is lower)")
    group.add_argument("--velocity", type=_number, metavar="MM_S",
                       help="velocity (default %g)" % velocity)
    group.add_argument("--acceleration-time", type=_number, default=0.2, metavar="S",
                       help="ramp time up and down (default 0.2)")


def _recording_options(parser, what="the run"):
    group = parser.add_argument_group("recording")
    group.add_argument("--record", metavar="FILE.csv",
                       help="sample the station during %s and write one CSV row per sample "
                            "(time, position, velocity, running and the inputs)" % what)
    group.add_argument("--plot", type=_picture, metavar="FILE.png",
                       help="record and draw position and velocity against time to a .png, "
                            ".svg or .pdf picture (needs matplotlib)")


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG, description=DESCRIPTION, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    _global_options(parser, suppress=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def command(name, summary, description):
        sub = commands.add_parser(name, help=summary, description=description, epilog=EPILOG)
        _global_options(sub, suppress=True)
        return sub

    sub = command("status", "show position, inputs, stop source and input settings",
                  "Show the position, whether the axis runs, the origin, limit, alarm and "
                  "emergency inputs, why it last stopped, and which inputs are disabled. "
                  "The emergency input is normally closed: on means released.")
    sub.add_argument("--watch", action="store_true",
                     help="refresh in place until Ctrl-C or SIGTERM (exit code 0)")
    sub.add_argument("--interval", type=_positive, default=0.5, metavar="S",
                     help="seconds between refreshes with --watch (default 0.5)")

    sub = command("home", "find the origin and make it position 0",
                  "Home the axis and show its progress. limit-first drives to the limit "
                  "switch on the --direction side, then searches the origin back the other "
                  "way; origin-only searches the origin towards --direction. Prints the "
                  "result: True (origin found, position set to 0), False (the run ended "
                  "without the origin: exit code 1) or None (--timeout passed: the axis is "
                  "stopped, exit code 1).")
    sub.add_argument("--method", choices=("limit-first", "origin-only"), default="limit-first",
                     help="homing method (default limit-first)")
    sub.add_argument("--direction", choices=("negative", "positive"), default="negative",
                     help="direction the run starts in (default negative)")
    _profile_options(sub, DEFAULT_VELOCITY["home"], timeout=True)
    _recording_options(sub, "the homing run")

    sub = command("move", "move to a position or by a distance and wait for the end",
                  "Load the speed profile, start a move and show its progress until it "
                  "ends. A move that ends early (limit switch, alarm, emergency input, "
                  "stop) exits with code 1 and says why.")
    target = sub.add_mutually_exclusive_group(required=True)
    target.add_argument("--absolute", type=_number, metavar="MM", help="move to position MM")
    target.add_argument("--relative", type=_number, metavar="MM", help="move by MM")
    target.add_argument("--repeat", action="store_true",
                        help="move again by the relative distance the module holds")
    _profile_options(sub, DEFAULT_VELOCITY["move"], timeout=True)
    _recording_options(sub, "the move")

    sub = command("jog", "run until Enter, Ctrl-C or SIGTERM, then stop",
                  "Load the speed profile and run the axis continuously until you press "
                  "Enter (exit code 0), Ctrl-C or send SIGTERM (exit code 128+signal), then "
                  "stop it and wait until it is at rest. With standard input at its end "
                  "only a signal stops the jog. A run stopped by a limit switch or another "
                  "input ends with exit code 1.")
    sub.add_argument("--direction", choices=("negative", "positive"), default="positive",
                     help="direction of the run (default positive)")
    _profile_options(sub, DEFAULT_VELOCITY["jog"])
    _recording_options(sub, "the jog")

    sub = command("stop", "stop the axis and wait until it is at rest",
                  "Send the stop command (the axis ramps down) and wait until it is at rest "
                  "(no longer running); then show the position and the stop source.")
    sub.add_argument("--timeout", type=_positive, default=30.0, metavar="S",
                     help="how long the axis may take to come to rest (default 30)")

    command("enable", "enable the drive (the motor holds torque)",
            "Enable the drive: the motor holds torque.")
    command("disable", "disable the drive (the axis can be moved by hand)",
            "Disable the drive: the motor releases its torque and the axis can be pushed "
            "by hand.")

    sub = command("config", "show and set how the module treats its inputs",
                  "Set the options given, then show the limit, alarm and emergency input "
                  "settings. The origin edge and the direction inversion cannot be read "
                  "back from the module: they show as unknown unless set in the same call. "
                  "On the simulated line settings last for this run only.")
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

    sub = command("record", "record the station without moving it",
                  "Sample the station for --duration seconds (or until Ctrl-C or SIGTERM, "
                  "exit code 0) without moving it, for instance while another program moves "
                  "it, and write one CSV row per sample: " + RECORD_COLUMNS)
    sub.add_argument("file", metavar="FILE.csv", help="the CSV file to write")
    sub.add_argument("--duration", type=_positive, metavar="S",
                     help="how long to record (default: until Ctrl-C or SIGTERM)")
    sub.add_argument("--plot", type=_picture, metavar="FILE.png",
                     help="also draw the recording to a .png, .svg or .pdf picture")

    sub = commands.add_parser(
        "plot", help="draw a recording: position and velocity against time",
        description="Draw a recording made with --record or 'record' to a picture: position "
                    "and velocity against time, one above the other, with the moments the "
                    "inputs changed marked and labelled. Needs matplotlib (on Debian: "
                    "apt-get install python3-matplotlib; in a virtual environment, its own "
                    "matplotlib, or one made with --system-site-packages); without it the "
                    "command says so and exits with code 3.", epilog=EPILOG)
    sub.add_argument("file", metavar="FILE.csv", help="the recording")
    sub.add_argument("-o", "--output", type=_picture, metavar="FILE.png",
                     help="the picture: .png, .svg or .pdf (default: FILE.png beside the "
                          "recording)")
    sub.add_argument("--title", help="title of the picture (default: the recording's name)")
    return parser


def _run_offline(options):
    """The commands that need no line."""
    from .commands import draw_recording
    return draw_recording(options)


def _run(options):
    session = open_session(options, check_options)
    notice = ("simulated line (a fresh one each run: nothing is kept)" if session.simulated
              else None)
    return runner.run_command(session, COMMANDS[options.command], options, notice)


def _unexpected(options):
    def failure(error):
        if options.command == "plot":      # no controller there to blame
            return ToolError("could not draw %s (%s)" % (options.file, describe_exception(error)))
        return from_controller(error, options.command)
    return failure


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    sys.stdout, sys.stderr = display.escaping(sys.stdout), display.escaping(sys.stderr)
    if machine.handles(argv):
        return machine.main(argv)
    options = build_parser().parse_args(argv)
    return runner.main(lambda: _run_offline(options) if options.command == "plot"
                       else _run(options), _unexpected(options))
