"""The program: the command line read, the axes opened, the command run."""

import sys

from . import commands, connect, display, moving, runner
from .failures import ToolError, describe_exception, from_controller
from .parser import parse
from .progress import say


def _panel(axes, options, signals):
    from .panel import server      # it needs the library: not before the arguments are read
    return server.run(axes, options, signals)


#: the commands that work on open lines
COMMANDS = dict(status=commands.status, home=moving.home, move=moving.move, jog=moving.jog,
                stop=moving.stop, enable=commands.enable, disable=commands.disable,
                config=commands.config, record=commands.record, panel=_panel)
#: those that need none
OFFLINE = dict(plot=commands.draw_recording, check=commands.check,
               positions=commands.positions)


def _run(options):
    if options.command in OFFLINE:
        return OFFLINE[options.command](options)
    if options.machine is not None:
        axes = connect.open_machine(options, moving.check_picture, say)
        notice = "simulated lines (fresh each run: nothing is kept)" if axes.simulated else None
        if options.command == "panel":
            notice = None       # its one line is the address; the page says "simulated"
    else:
        axes = connect.open_station(options, moving.check_options)
        notice = "simulated line (a fresh one each run: nothing is kept)" if axes.simulated \
            else None
    return runner.run_command(axes, COMMANDS[options.command], options, notice)


def _unexpected(options):
    def failure(error):
        if options.command == "plot":      # no controller there to blame
            return ToolError("could not draw %s (%s)" % (options.file, describe_exception(error)))
        return from_controller(error, options.command)
    return failure


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    sys.stdout, sys.stderr = display.escaping(sys.stdout), display.escaping(sys.stderr)
    options = parse(argv)
    return runner.main(lambda: _run(options), _unexpected(options))
