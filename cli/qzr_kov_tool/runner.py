"""How a run of the tool ends, for every command: the exit codes, stop
signals, a closed output pipe, errors as lines on stderr, a log file that
could not be written, and a homing worker that would keep the process
alive."""

import gc
import os
import sys
import threading

from .failures import (EXIT_FAILED, Interrupted, LogNotWritten, ToolError, exit_code_for_signal,
                       from_controller, log_failure_text)
from .parser import PROG
from .signals import StopSignals


def tell(message):
    """MESSAGE on stderr, each of its lines after the program's name."""
    for line in str(message).split("\n"):
        sys.stderr.write("%s: %s\n" % (PROG, line))
    sys.stderr.flush()


def main(run, unexpected):
    """RUN() and the exit code it ends with; never a traceback. UNEXPECTED
    turns an exception that is no ToolError into the ToolError to tell."""
    try:
        code = run()
    except Interrupted as interrupt:
        code = exit_code_for_signal(interrupt.signum)
    except KeyboardInterrupt:
        code = exit_code_for_signal(2)
    except BrokenPipeError:
        # Whoever read the output has gone; nothing more can be said.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        code = EXIT_FAILED
    except ToolError as error:
        tell(error)
        code = error.code
    except Exception as error:
        failure = unexpected(error)
        tell(failure)
        code = failure.code
    sys.stdout.flush()
    # Controllers left in reference cycles are closed now, while all they
    # log through is still there, rather than as the interpreter ends.
    gc.collect()
    # A homing worker that never ended would keep the interpreter alive.
    if any(t.is_alive() and not t.daemon for t in threading.enumerate()
           if t is not threading.main_thread()):
        sys.stderr.flush()
        os._exit(code)
    return code


def run_command(axes, command, options, notice=None):
    """NOTICE (a line for stdout), if given, and COMMAND(AXES, OPTIONS,
    signals) under the stop signals, then the lines of AXES (session.Axes)
    closed whatever happened; returns the exit code or raises the ToolError
    to end with. A log record that could not be written and that the
    command went past (a stop goes out before its log line, and is good all
    the same) is told at the end."""
    seam = axes.seam
    try:
        if notice is not None:
            sys.stdout.write(notice + "\n")
        with StopSignals() as signals:
            try:
                code = command(axes, options, signals)
            except (ToolError, Interrupted, BrokenPipeError):
                raise
            except Exception as error:
                raise controller_failure(axes, error, options.command)
        failure = seam.failure
        if failure is not None:
            state = axes.state()
            raise LogNotWritten(failure, "%s: %s" % (failure.outcome, state) if failure.outcome
                                else state)
    except BaseException as error:
        axes.release()
        tell_log_failure(seam, error)
        raise
    axes.release()
    if seam.failure is not None:
        raise LogNotWritten(seam.failure, seam.failure.outcome)
    return code


def controller_failure(axes, error, command):
    """The ToolError for ERROR, raised by the controller during COMMAND."""
    failure = axes.seam.failure_of(error)
    if failure is None:
        return from_controller(error, command)
    return LogNotWritten(failure, "'%s' stopped at its log line, after its commands went "
                                  "out: %s" % (command, axes.state()))


def tell_log_failure(seam, error):
    """A log record the command went past, when ERROR, which ends the
    program, is about something else (a time limit, a signal): one line
    more, before ERROR's own."""
    if seam.failure is None or isinstance(error, LogNotWritten):
        return
    tell(log_failure_text(seam.failure, seam.failure.outcome))
