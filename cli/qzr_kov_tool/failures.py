"""Failures the tool reports as one line, and the exit codes that go with them."""

#: the command did what was asked
EXIT_OK = 0
#: the axis did not do what was asked: origin not found, a move that ended
#: early (limit, alarm, emergency, stop) or not on its target, a wait that
#: timed out, an axis that could not be seen at rest after a stop
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
    """The controller could not write its log file. FAILURE (a
    logfile.LogFailure) holds the system's error and the file; OUTCOME says
    what became of the axes."""

    def __init__(self, failure, outcome):
        ToolError.__init__(self, log_failure_text(failure, outcome), EXIT_NOT_SAVED)
        self.failure = failure


class Interrupted(Exception):
    """A stop signal (Ctrl-C, SIGTERM, SIGHUP) ended a command; the axes
    have been stopped where they were moving."""

    def __init__(self, signum):
        Exception.__init__(self, signum)
        self.signum = signum


def describe_exception(error):
    """Short text for an exception of the controller or the line."""
    text = str(error)
    name = type(error).__name__
    return "%s: %s" % (name, text) if text else name


def log_failure_text(failure, outcome=None):
    where = ("the controller's log file %s" % failure.path if failure.path
             else "the controller's log file in ./log")
    return "could not write %s (%s)%s" % (where, describe_exception(failure.error),
                                          "; " + outcome if outcome else "")


def from_controller(error, doing, seam=None):
    """Turn an exception raised by the controller while DOING something into a
    ToolError. The IOError of a move that ended early and the time-out of a
    wait are told apart by the callers, which know what they waited for. A
    log record that could not be written (SEAM, the logfile.LogSeam, knows
    its error) comes after the commands of its action went out: the callers
    that know what became of the axes say so; here it is only known that
    DOING stopped at its log line."""
    if isinstance(error, ToolError):
        return error
    failure = seam.failure_of(error) if seam is not None else None
    if failure is not None:
        return LogNotWritten(failure, "%s stopped at its log line, after its commands "
                                      "went out" % doing)
    if isinstance(error, OSError):
        return LinkError("communication failed while %s (%s)" % (doing, describe_exception(error)))
    if isinstance(error, (AssertionError, ValueError, RuntimeError, TypeError)):
        return Refused("the controller refused %s (%s)" % (doing, describe_exception(error)))
    return ToolError("%s failed (%s)" % (doing, describe_exception(error)))
