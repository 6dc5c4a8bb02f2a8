"""How a run of the tool ends, for the one-station commands and the machine
commands alike: the exit codes, stop signals, a closed output pipe, errors
as lines on stderr, a log file that could not be written, and a homing
worker that would keep the process alive."""

import os
import sys
import threading

from .errors import (EXIT_FAILED, Interrupted, LogNotWritten, ToolError, exit_code_for_signal,
                     from_controller, log_failure, log_failure_text)
from .connect import quiet_workers
from .signals import StopSignals

PROG = "qzr-kov"


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
    # A homing worker that never ended would keep the interpreter alive.
    if any(t.is_alive() and not t.daemon for t in threading.enumerate()
           if t is not threading.main_thread()):
        sys.stderr.flush()
        os._exit(code)
    return code


def run_command(opened, command, options, notice=None):
    """NOTICE (a line for stdout), if given, and COMMAND(OPENED, OPTIONS,
    signals) under the stop signals, then OPENED
    released whatever happened; returns the exit code or raises the ToolError
    to end with.

    OPENED is what the command works on (a one-station Session, or a
    machine's Run). It has ``notes`` (LogNotes: a log record the tool went
    past, to be told at the end), ``state()`` (what became of its axes, in
    words, read afresh) and ``release()``, which closes its lines for good,
    also when their closing log lines fail, and never raises."""
    notes = opened.notes
    try:
        if notice is not None:
            sys.stdout.write(notice + "\n")
        with StopSignals() as signals, quiet_workers(opened.module, notes):
            try:
                code = command(opened, options, signals)
            except (ToolError, Interrupted, BrokenPipeError):
                raise
            except Exception as error:
                raise controller_failure(opened, error, options.command)
        if notes.failure is not None:
            raise LogNotWritten(notes.failure, "%s: %s" % (notes.outcome, opened.state()))
    except BaseException as error:
        opened.release()
        tell_log_failure(notes, error)
        raise
    opened.release()
    if notes.failure is not None:
        raise LogNotWritten(notes.failure, notes.outcome)
    return code


def controller_failure(opened, error, command):
    """The ToolError for ERROR, raised by the controller during COMMAND."""
    failure = log_failure(error)
    if failure is None:
        return from_controller(error, command)
    return LogNotWritten(failure, "'%s' stopped at its log line, after its commands went "
                                  "out: %s" % (command, opened.state()))


def tell_log_failure(notes, error):
    """A log record the tool went past, when ERROR, which ends the program,
    is about something else (a time limit, a signal): one line more, before
    ERROR's own."""
    if notes.failure is None or isinstance(error, LogNotWritten):
        return
    tell(log_failure_text(notes.failure, notes.outcome))
