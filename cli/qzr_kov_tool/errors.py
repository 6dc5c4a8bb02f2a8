"""Failures the tool reports as one line, and the exit codes that go with them."""

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
#: the recording or its picture could not be written (a full disk, a file
#: size limit): a moving axis was stopped, the CSV keeps whole rows only
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


def from_controller(error, doing):
    """Turn an exception raised by the controller while DOING something into a
    ToolError. The IOError of a move that ended early and the time-out of a
    wait are told apart by the callers, which know what they waited for."""
    if isinstance(error, ToolError):
        return error
    if isinstance(error, OSError):
        return LinkError("communication failed while %s (%s)" % (doing, describe_exception(error)))
    if isinstance(error, (AssertionError, ValueError, RuntimeError, TypeError)):
        return Refused("the controller refused %s (%s)" % (doing, describe_exception(error)))
    return ToolError("%s failed (%s)" % (doing, describe_exception(error)))
