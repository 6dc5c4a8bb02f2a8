"""Getting hold of the axes: importing the controller module (and putting
the log seam on its logger), opening the lines (serial ports through the
master module, or simulated lines) and making the controllers, for one
station or for the machine of a description."""

import logging
import sys

from . import logfile
from .failures import (EXIT_NOT_SAVED, EXIT_USAGE, LinkError, LogNotWritten, Refused, ToolError,
                       describe_exception, from_controller)
from .parser import SIM_LAYOUT_MM, SIM_PPMM, SIM_START_MM  # noqa: F401  (the layout's home)
from .record import WallClock
from .session import Axes, close_line


def _install_stand_in_master(import_error):
    """Let ``import qzr_kov`` find a ``qzr_mew`` whose MewMaster opens
    simulated lines. Only for runs on simulated lines, after importing the
    real one failed with IMPORT_ERROR."""
    try:
        import qzr_kov_sim
    except ImportError as error:
        raise LinkError("the simulator package qzr_kov_sim is not installed (%s)"
                        % describe_exception(error))
    try:
        qzr_kov_sim.use_simulated_master()
    except RuntimeError:
        # There is one, and its own import failed: that is what to mend.
        raise LinkError("the master module qzr_mew is installed but cannot be imported (%s)"
                        % describe_exception(import_error))


def load_controller_module(simulated, without_master=None):
    """Import and return ``qzr_kov``, with the log seam on its logger. It
    needs the master module ``qzr_mew``: on simulated lines a stand-in takes
    its place when it is missing; elsewhere WITHOUT_MASTER says what to do
    instead."""
    if "qzr_kov" not in sys.modules:
        try:
            import qzr_mew  # noqa: F401  (qzr_kov imports it first thing)
        except ImportError as error:
            if not simulated:
                raise LinkError("the master module qzr_mew is not installed (%s); %s"
                                % (describe_exception(error), without_master))
            _install_stand_in_master(error)
    try:
        import qzr_kov
    except ImportError as error:
        raise LinkError("cannot import the controller module qzr_kov (%s)"
                        % describe_exception(error))
    except OSError as error:
        # The module keeps its daily log in ./log and creates it on import.
        raise ToolError("cannot create the log directory 'log' here (%s)"
                        % describe_exception(error), EXIT_NOT_SAVED)
    logfile.install(qzr_kov)
    # The library's warnings (a stop or a collection that failed while it
    # cleaned up after an error) would reach stderr as bare lines: the tool
    # reads what became of the axes itself, and tells that.
    library = logging.getLogger("qzr_kov_motion")
    if not any(isinstance(h, logging.NullHandler) for h in library.handlers):
        library.addHandler(logging.NullHandler())
    return qzr_kov


def _pulses(mm, ppmm):
    return int(round(mm * ppmm))


def simulated_line(ppmm, start_mm, speed):
    """A fresh simulated line whose stations follow SIM_LAYOUT_MM, with the
    axis standing at START_MM; its time runs SPEED times faster."""
    import qzr_kov_sim
    layout = dict((key, _pulses(mm, ppmm)) for key, mm in SIM_LAYOUT_MM.items())
    layout["origin_width"] = max(1, layout["origin_width"])
    layout["physical_position"] = _pulses(start_mm, ppmm)
    return qzr_kov_sim.SimulatedLine("simulated", layout=layout, clock=_clock(speed))


def _clock(speed):
    import qzr_kov_sim
    return qzr_kov_sim.RealClock() if speed == 1 else qzr_kov_sim.ScaledClock(speed)


#: what the controller asks of its master
MASTER_OPERATIONS = ("get_coil", "set_coil", "get_coil_uint16", "set_coil_uint16", "get_int32",
                     "set_int32", "set_uint32", "get_multi_int32", "set_multi_uint32", "close")


class NamedPort(object):
    """The master of a serial port as the controller adopts it, told by the
    port's name: the controller's log line of its creation shows the
    adopted object as text ("created with port /dev/ttyUSB0"). Each of the
    master's operations is the master's own bound method, made an
    attribute of this object once, so that an exchange costs no more than
    on the master itself."""

    def __init__(self, master, port):
        self.master = master
        self.port = port
        for name in MASTER_OPERATIONS:
            operation = getattr(master, name, None)
            if operation is not None:
                setattr(self, name, operation)

    @property
    def closed(self):
        return getattr(self.master, "closed", False)

    def __str__(self):
        return str(self.port)

    def __repr__(self):
        return "<port %s: %r>" % (self.port, self.master)


def open_master(port, baudrate):
    """The master of PORT, opened through the master module as the
    controller would open it; the controller then adopts it (as a
    NamedPort, which its log line names by the port). Opened here, a port
    that does not open leaves no half-made controller behind, whose
    closing would fail for want of a master."""
    import qzr_mew
    return NamedPort(qzr_mew.MewMaster(port, baudrate=baudrate), port)


def _scale(value):
    """An integral scale is kept as an integer (it is logged as given)."""
    return int(value) if value == int(value) else value


#: the commands that work in millimetres: on a real port they need --ppmm
NEEDS_SCALE = ("status", "home", "move", "jog", "stop", "record")


def open_station(options, check=None):
    """The Axes of the one station the options ask for. The master module
    is looked for first: without it nothing else matters. CHECK(module,
    ppmm, options), if given, may refuse the options before the line is
    opened; it returns the speed profile the command loads into the
    station, or None."""
    simulated = options.port is None
    ppmm = options.ppmm
    if simulated and ppmm is None:
        ppmm = SIM_PPMM
    module = load_controller_module(simulated, "without --port the tool works on a simulated "
                                               "line")
    seam = logfile.install(module)
    if not simulated and ppmm is None and options.command in NEEDS_SCALE:
        raise Refused("give --ppmm (pulses per mm) with --port: '%s' works in mm"
                      % options.command)
    if ppmm is not None:
        ppmm = _scale(ppmm)
    # The speeds the command loads into the station: the axis's profile.
    speeds = None if check is None else check(module, ppmm, options)
    if simulated:
        line, where = simulated_line(ppmm, options.sim_start, options.sim_speed), \
            "the simulated line"
    else:
        where = "port %s at %d baud" % (options.port, options.baudrate)
        try:
            line = open_master(options.port, options.baudrate)
        except Exception as error:
            raise LinkError("cannot open %s (%s)" % (where, describe_exception(error)))
    try:
        controller = module.KOVAxisController(line, baudrate=options.baudrate)
    except Exception as error:
        close_line(line)
        failure = seam.failure_of(error)
        if failure is not None:
            # The controller logs its creation once the line is open.
            raise LogNotWritten(failure, "%s was opened, but the controller cannot go on "
                                         "without its log: nothing was sent to the axis" % where)
        raise LinkError("cannot open %s (%s)" % (where, describe_exception(error)))
    from qzr_kov_motion import Axis
    name = "station %d" % options.station
    axes = Axes(module, seam, [(name, Axis(controller, options.station, profile=speeds))],
                [controller],
                getattr(line, "clock", None) or WallClock(), simulated, lines=[line])
    if ppmm is not None:
        try:
            controller.set_ppmm(options.station, ppmm)
        except Exception as error:
            axes.release()
            failure = seam.failure_of(error)
            if failure is not None:
                raise LogNotWritten(failure, "%s was opened, but nothing was sent to the axis"
                                    % where)
            raise from_controller(error, "setting the scale")
    return axes


# -- a machine description ---------------------------------------------------

class Problems(ToolError):
    """A description with problems: one line each, naming the file PATH
    (the runner tells each line of a ToolError as a line of its own)."""

    def __init__(self, path, problems):
        lines = [p if p.startswith(path + ": ") else "%s: %s" % (path, p) for p in problems]
        ToolError.__init__(self, "\n".join(lines), EXIT_USAGE)
        self.lines = lines


def read_description(path, simulated=True):
    """The checked description of PATH (the controller module is loaded
    first: the library needs it)."""
    load_controller_module(simulated, "--simulate runs the machine on simulated lines")
    try:
        from qzr_kov_motion import MachineError, description
    except ImportError as error:
        raise LinkError("the package qzr_kov_motion is not installed (%s)"
                        % describe_exception(error))
    try:
        return description.load_description(path)
    except MachineError as error:
        raise Problems(error.path or description.printable(path), error.problems)
    except OSError as error:
        raise Refused("cannot read %s (%s)" % (description.printable(path),
                                               describe_exception(error)))


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


def open_machine(options, check=None, say=None):
    """The Axes of the machine of ``--machine``, on its ports or (with
    ``--simulate``) on simulated lines placed by qzr_kov_sim.machine_lines.
    CHECK(options), if given, may refuse the options before any line is
    opened; SAY(text) tells a note."""
    if not options.simulate:
        load_controller_module(False, "--simulate runs the machine on simulated lines")
    description = read_description(options.machine, options.simulate)
    import qzr_kov
    from qzr_kov_motion import Machine
    seam = logfile.install(qzr_kov)
    if check is not None:
        check(options)
    if options.simulate:
        import qzr_kov_sim
        description, turned = without_reverse_direction(description)
        if turned and say is not None:
            say("note: on simulated lines signals.reverse_direction is left out (%s): a "
                "simulated drive turns the way its counter goes" % ", ".join(turned))
        clock = _clock(options.sim_speed)
        lines = qzr_kov_sim.machine_lines(description, clock)
    else:
        clock, lines = WallClock(), {}
        for line in description.lines.values():
            try:
                lines[line.name] = open_master(line.port, line.baudrate or 115200)
            except Exception as error:
                for opened in lines.values():
                    close_line(opened)
                raise LinkError("cannot open line %s (port %s) of %s (%s)"
                                % (line.name, line.port, options.machine,
                                   describe_exception(error)))
    before = seam.written
    try:
        machine = Machine(description, lines=lines)
    except Exception as error:
        # The machine closed the controllers it made, and they their lines.
        for line in lines.values():
            close_line(line)
        raise _set_up_failed(options, description, seam, before, error)
    if options.simulate or options.assume_homed:
        # Simulated lines place each axis counting as if homed.
        machine.assume_homed()
    return Axes(qzr_kov, seam, machine.axes.items(), machine.controllers.values(), clock,
                options.simulate, machine, options.machine, lines.values())


def _set_up_failed(options, description, seam, before, error):
    """The ToolError for a set-up of the machine that failed with ERROR;
    BEFORE: the log records written before it began."""
    failure = seam.failure_of(error)
    if failure is None:
        if isinstance(error, OSError):
            return LinkError("cannot set up the machine of %s (%s)"
                             % (options.machine, describe_exception(error)))
        return from_controller(error, "setting up the machine of %s" % options.machine)
    if failure.written == before:
        # The first controller logs its creation once its line is open.
        line = next(iter(description.lines.values()))
        where = ("the simulated line %s" % line.name if options.simulate
                 else "line %s (port %s)" % (line.name, line.port))
        outcome = ("%s was opened, but the controller cannot go on without its log: nothing "
                   "was sent to the axes" % where)
    else:
        outcome = ("its set-up stopped at a log line, and nothing was sent after it (settings "
                   "sent before stay in the stations; no axis was set moving); %s closed"
                   % ("the line was" if len(description.lines) == 1 else "its lines were"))
    return LogNotWritten(failure, "the machine of %s was not set up: %s"
                         % (options.machine, outcome))
