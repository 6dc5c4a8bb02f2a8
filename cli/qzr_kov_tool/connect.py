"""Getting hold of an axis: importing the controller module, opening the
line (a serial port through the master module, or a simulated line) and the
settings every command starts from."""

import contextlib
import io
import logging
import sys

from .errors import (EXIT_NOT_SAVED, LinkError, LogNotWritten, Refused, ToolError,
                     describe_exception, from_controller, log_failure)
from .record import WallClock, controller_class

#: pulses per millimetre on the simulated line unless --ppmm says otherwise
SIM_PPMM = 100
#: where the simulated axis stands at power-up, in mm (--sim-start)
SIM_START_MM = 40.0
#: the simulated axis's sensors, in mm: origin sensor 3 mm wide around 0,
#: negative limit switch at -5 mm, positive limit switch at 300 mm
SIM_LAYOUT_MM = dict(origin_at=0.0, origin_width=3.0,
                     negative_limit_at=-5.0, positive_limit_at=300.0)


def _install_stand_in_master(import_error):
    """Let ``import qzr_kov`` find a ``qzr_mew`` whose MewMaster opens
    simulated lines. Only for runs on the simulated line, after importing
    the real one failed with IMPORT_ERROR."""
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


def load_controller_module(simulated):
    """Import and return ``qzr_kov``. It needs the master module ``qzr_mew``:
    on the simulated line a stand-in takes its place when it is missing."""
    if "qzr_kov" in sys.modules:
        return sys.modules["qzr_kov"]
    try:
        import qzr_mew  # noqa: F401  (qzr_kov imports it first thing)
    except ImportError as error:
        if not simulated:
            raise LinkError("the master module qzr_mew is not installed (%s); without --port "
                            "the tool works on a simulated line" % describe_exception(error))
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
    clock = qzr_kov_sim.RealClock() if speed == 1 else qzr_kov_sim.ScaledClock(speed)
    return qzr_kov_sim.SimulatedLine("simulated", layout=layout, clock=clock)


class LogNotes(object):
    """The first log record the controller could not write that the tool
    went past (a stop goes out before its log line, and is good all the
    same), as ``failure``, with ``outcome``, what was done nonetheless; it
    is told when the command ends."""

    def __init__(self):
        self.failure = None
        self.outcome = None

    def note(self, failure, outcome):
        if self.failure is None:
            self.failure, self.outcome = failure, outcome


@contextlib.contextmanager
def quiet_workers(module, notes):
    """While the block runs, the controller's homing workers (threads of
    its _Thread, looked up when find_o starts one) end quietly when their
    own log line cannot be written, and NOTES is told: a worker lets that
    error out, and the thread would print it with a traceback. The command
    that started the run stops the axis and collects what became of it."""
    base = module._Thread

    class QuietWorker(base):
        def run(self):
            try:
                base.run(self)
            except Exception as error:
                failure = log_failure(error)
                if failure is None:
                    raise
                notes.note(failure, "a homing run stopped at its log line")

    module._Thread = QuietWorker
    try:
        yield
    finally:
        if module._Thread is QuietWorker:
            module._Thread = base


class Session(object):
    """The controller, the station it works on and that station's scale;
    ``clock`` is the line's time (the simulated line's own, which may run
    faster than the wall clock).

    ``notes`` (LogNotes) keeps the log record the tool went past; NOTES
    shares it with other sessions, as those of a machine's axes do.
    ``log_failure`` and ``log_outcome`` are its failure and outcome."""

    def __init__(self, module, axis, station, ppmm, simulated, line=None, clock=None,
                 notes=None):
        self.module = module
        self.axis = axis
        self.station = station
        self.ppmm = ppmm
        self.simulated = simulated
        self.line = line
        self.clock = clock or getattr(line, "clock", None) or WallClock()
        self.notes = notes if notes is not None else LogNotes()

    @property
    def log_failure(self):
        return self.notes.failure

    @property
    def log_outcome(self):
        return self.notes.outcome

    def note_log_failure(self, failure, outcome):
        self.notes.note(failure, outcome)

    def state(self):
        """Where the axis is and whether it runs, in words, read afresh."""
        from .motion import axis_state
        return axis_state(self)

    def close(self, last=False):
        """Release the line (see close_controller)."""
        close_controller(self.module, self.axis, self.notes, last,
                         "the line was closed without its log line")

    def release(self):
        """Close the line as the program ends; never raises."""
        try:
            self.close(last=True)
        except Exception:
            pass


def close_controller(module, controller, notes, last, outcome):
    """Close CONTROLLER. A homing result that could not be collected (the
    program is ending anyway) does not keep it open, nor does a log file
    that cannot be written: the controller logs its closing first, and is
    then closed without that line; the failure goes to NOTES with OUTCOME.
    LAST (the program ends): the controller then writes no more, for it
    logs its closing again when it is destroyed, and that failure would be
    told with a traceback at exit."""
    try:
        _close(controller)
    except Exception as error:
        failure = log_failure(error)
        if failure is None:
            raise
        notes.note(failure, outcome)
        drop = drop_records(module)
        try:
            _close(controller)
        finally:
            if not last:
                keep_records(module, drop)


def _close(controller):
    try:
        controller.close()
    except RuntimeError:
        controller.close(force=True)


class _DropAll(logging.Filter):
    def filter(self, record):
        return False


def drop_records(module):
    """Make the controller's logger write nothing; returns the filter that
    does it."""
    drop = _DropAll()
    logger = getattr(module, "logger", None)
    if logger is not None:
        logger.addFilter(drop)
    return drop


def keep_records(module, drop):
    logger = getattr(module, "logger", None)
    if logger is not None:
        logger.removeFilter(drop)


def quietly(make):
    """MAKE(), which makes controllers. When a controller cannot be made
    (its master could not be, or its first log line failed), the half-made
    one is destroyed at once and its closing fails (it has no master, or no
    log); the interpreter would print that as "Exception ignored" with a
    traceback. The failure itself is what the user is told."""
    saved, sys.stderr = sys.stderr, io.StringIO()
    try:
        return make()
    finally:
        sys.stderr = saved


def _scale(value):
    """An integral scale is kept as an integer (it is logged as given)."""
    return int(value) if value == int(value) else value


#: the commands that work in millimetres: on a real port they need --ppmm
NEEDS_SCALE = ("status", "home", "move", "jog", "stop", "record")


def open_session(options, check=None):
    """The session the options ask for. The master module is looked for
    first: without it nothing else matters. CHECK(session, options), if
    given, may refuse the options before the line is opened; its session
    has the module, the station and the scale but no controller yet."""
    simulated = options.port is None
    ppmm = options.ppmm
    if simulated:
        if ppmm is None:
            ppmm = SIM_PPMM
        if ppmm <= 0:
            raise Refused("the simulated line needs a positive --ppmm")
    module = load_controller_module(simulated)
    if not simulated and ppmm is None and options.command in NEEDS_SCALE:
        raise Refused("give --ppmm (pulses per mm) with --port: '%s' works in mm"
                      % options.command)
    if ppmm is not None:
        ppmm = _scale(ppmm)
    if check is not None:
        check(Session(module, None, options.station, ppmm, simulated), options)
    line = None
    if simulated:
        line = simulated_line(ppmm, options.sim_start, options.sim_speed)
        port = line
    else:
        port = options.port
    where = ("the simulated line" if simulated
             else "port %s at %d baud" % (options.port, options.baudrate))
    try:
        axis = quietly(lambda: controller_class(module)(port, baudrate=options.baudrate))
    except Exception as error:
        failure = log_failure(error)
        if failure is not None:
            # The controller logs its creation once the line is open.
            raise LogNotWritten(failure, "%s was opened, but the controller cannot go on "
                                         "without its log: nothing was sent to the axis" % where)
        raise LinkError("cannot open %s (%s)" % (where, describe_exception(error)))
    session = Session(module, axis, options.station, ppmm, simulated, line)
    if ppmm is not None:
        try:
            axis.set_ppmm(options.station, ppmm)
        except Exception as error:
            session.release()
            failure = log_failure(error)
            if failure is not None:
                raise LogNotWritten(failure, "%s was opened, but nothing was sent to the axis"
                                    % where)
            raise from_controller(error, "setting the scale")
    return session
