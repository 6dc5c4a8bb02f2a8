"""Failures the tool reports as one line, and the exit codes that go with them."""

import collections
import logging
import sys

#: the command did what was asked
EXIT_OK = 0
#: the axis did not do what was asked: origin not found, a move that ended
#: early (limit, alarm, emergency, stop), a wait that timed out
EXIT_FAILED = 1
#: bad arguments, or the controller refused the command
EXIT_USAGE = 2
#: no connection: the master module is missing, the port would not open, or
#: an exchange with the station failed; also a missing matplotlib for a plot
EXIT_NO_LINK = 3
#: something could not be written (a full disk, a file size limit, a folder
#: in the way): the recording or its picture (the CSV keeps whole rows
#: only), or the controller's log file; a moving axis was stopped
EXIT_NOT_SAVED = 4


def exit_code_for_signal(signum):
    """The shell's code for a program ended by signal SIGNUM (130 for Ctrl-C)."""
    return 128 + signum


class ToolError(Exception):
    """A failure told to the user as one line; ends the program with CODE."""

    def __init__(self, message, code=EXIT_FAILED):
        Exception.__init__(self, message)
        self.code = code


class Refused(ToolError):
    def __init__(self, message):
        ToolError.__init__(self, message, EXIT_USAGE)


class LinkError(ToolError):
    def __init__(self, message):
        ToolError.__init__(self, message, EXIT_NO_LINK)


class NotSaved(ToolError):
    def __init__(self, message):
        ToolError.__init__(self, message, EXIT_NOT_SAVED)


class LogNotWritten(ToolError):
    """The controller could not write its log file. FAILURE (a LogFailure)
    holds the system's error; OUTCOME says what became of the axis."""

    def __init__(self, failure, outcome):
        ToolError.__init__(self, log_failure_text(failure, outcome), EXIT_NOT_SAVED)
        self.failure = failure


class Interrupted(Exception):
    """A stop signal (Ctrl-C, SIGTERM, SIGHUP) ended a command; the axis has
    been stopped where it was moving."""

    def __init__(self, signum):
        Exception.__init__(self, signum)
        self.signum = signum


def describe_exception(error):
    """Short text for an exception of the controller or the line."""
    text = str(error)
    name = type(error).__name__
    return "%s: %s" % (name, text) if text else name


#: a record the controller could not write to its log file: the system's
#: ERROR and the PATH of the file
LogFailure = collections.namedtuple("LogFailure", "error path")


def log_failure(error):
    """The LogFailure when ERROR came out of writing a record to the
    controller's log file, else None.

    The controller logs each action after its commands went out, through
    the standard logger; its file handler (a C method, so without a frame
    of its own) raises the system's error from emit, which
    logging.Handler.handle calls. An error raised there thus has that
    handle, run for the module's FileLogHandler, as its innermost frame. A
    failure of the line or of the controller's own checks never has: it is
    raised by the master, or by the controller before it logs."""
    if not isinstance(error, Exception):
        return None
    module = sys.modules.get("qzr_kov")
    handler_class = getattr(module, "FileLogHandler", None)
    if not isinstance(handler_class, type):
        return None
    tb = error.__traceback__
    if tb is None:
        return None
    while tb.tb_next is not None:
        tb = tb.tb_next
    frame = tb.tb_frame
    if frame.f_code is not logging.Handler.handle.__code__:
        return None
    try:
        handler = frame.f_locals.get("self")
    except Exception:
        return None
    if not isinstance(handler, handler_class):
        return None
    # An error of the open carries the file's name; one of the write does not.
    path = getattr(error, "filename", None) or getattr(module, "_log_filename", None)
    return LogFailure(error, str(path) if path is not None else None)


def log_failure_text(failure, outcome=None):
    where = ("the controller's log file %s" % failure.path if failure.path
             else "the controller's log file in ./log")
    return "could not write %s (%s)%s" % (where, describe_exception(failure.error),
                                          "; " + outcome if outcome else "")


def from_controller(error, doing):
    """Turn an exception raised by the controller while DOING something into a
    ToolError. The IOError of a move that ended early and the time-out of a
    wait are told apart by the callers, which know what they waited for. A
    log record that could not be written comes after the commands of its
    action went out: the callers that know what became of the axis say so;
    here it is only known that DOING stopped at its log line."""
    if isinstance(error, ToolError):
        return error
    failure = log_failure(error)
    if failure is not None:
        return LogNotWritten(failure, "%s stopped at its log line, after its commands "
                                      "went out" % doing)
    if isinstance(error, OSError):
        return LinkError("communication failed while %s (%s)" % (doing, describe_exception(error)))
    if isinstance(error, (AssertionError, ValueError, RuntimeError, TypeError)):
        return Refused("the controller refused %s (%s)" % (doing, describe_exception(error)))
    return ToolError("%s failed (%s)" % (doing, describe_exception(error)))
