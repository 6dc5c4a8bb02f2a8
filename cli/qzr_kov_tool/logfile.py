"""The controller's log file, seen through the one seam the tool has on it:
the handlers of the module's logger ``qzr_kov.logger``.

The controller writes a line to its daily log file after the commands of
an action went out; the module's file handler raises the system's error
when the file cannot be written, and the controller's call then fails at
its log step. For the life of the tool's process each such handler on the
logger is wrapped: a record that cannot be written is kept (the first one
is what the user is told of) and then, by where it was logged:

- the first failure is raised on, so that the call fails as it would
  without the tool and nothing more is sent after it: a command sees it,
  and ``failure_of`` tells such an error from a failure of the line;
- within ``going_on(outcome)`` (a stop, the closing of a line: what was
  sent is good without its line) and once a failure has been kept (the
  command is then bringing the axes to rest and closing its lines), a
  record that cannot be written is kept quietly and the call goes on;
- a record logged straight from a thread's target, which no code of
  anyone's calls in between (the module's homing worker), ends that thread
  with SystemExit, the end a thread takes quietly: the error would
  otherwise be printed with a traceback. The homing run's waiter then
  collects a run without the origin, and the command that waits for it
  finds the failure kept here.
"""

import collections
import logging
import os
import threading

#: the controller's log record that could not be written: the system's
#: ERROR, the PATH of the file, the OUTCOME the block that went on
#: declared (None if the failure was raised), and how many records had been
#: WRITTEN before it
LogFailure = collections.namedtuple("LogFailure", "error path outcome written")

#: where a thread's run calls its target
_THREAD_RUN = (os.path.normcase(threading.Thread.run.__code__.co_filename), "run")


def _from_thread_target(record):
    """Whether RECORD was logged by a thread's target that is no Python
    function: then the call that logs it stands right in threading's run."""
    return (os.path.normcase(record.pathname or ""), record.funcName) == _THREAD_RUN


class LogSeam(object):
    """The failures of the records of MODULE's logger (``qzr_kov``) that
    could not be written, once ``install()`` has wrapped its file handlers."""

    def __init__(self, module):
        self.module = module
        #: the first LogFailure, or None
        self.failure = None
        #: the records written so far
        self.written = 0
        self._errors = []
        self._lock = threading.Lock()
        self._local = threading.local()
        self._wrapped = []

    def install(self):
        """Wrap every file handler of the module's logger; returns self."""
        logger = self.module.logger
        handler_class = getattr(self.module, "FileLogHandler", None)
        for handler in list(logger.handlers):
            if handler_class is not None and isinstance(handler, handler_class):
                wrapper = _Wrapper(self, handler)
                logger.removeHandler(handler)
                logger.addHandler(wrapper)
                self._wrapped.append(wrapper)
        return self

    def remove(self):
        """Put the module's own handlers back (for tests: the tool keeps the
        seam for the life of its process)."""
        logger = self.module.logger
        for wrapper in self._wrapped:
            logger.removeHandler(wrapper)
            logger.addHandler(wrapper.handler)
        self._wrapped = []

    def failure_of(self, error):
        """The LogFailure kept when ERROR is the error of a record that
        could not be written (this one's, or the first one's), else None."""
        with self._lock:
            if self.failure is None or not any(e is error for e in self._errors):
                return None
            if error is self.failure.error:
                return self.failure
        return self.failure._replace(error=error, path=self._path(error))

    def going_on(self, outcome):
        """``with seam.going_on(OUTCOME):`` a record of this thread that
        cannot be written is kept with OUTCOME (what was done all the same)
        and the call goes on."""
        return _GoingOn(self._local, outcome)

    def _path(self, error):
        # An error of the open carries the file's name; one of the write does not.
        path = getattr(error, "filename", None) or getattr(self.module, "_log_filename", None)
        return str(path) if path is not None else None

    def _wrote(self):
        with self._lock:
            self.written += 1

    def _failed(self, record, error):
        """Keep ERROR, that of RECORD; raise what the caller is to get."""
        outcome = getattr(self._local, "outcome", None)
        with self._lock:
            first = self.failure is None
            self._errors.append(error)
            if first:
                self.failure = LogFailure(error, self._path(error), outcome, self.written)
        if _from_thread_target(record):
            raise SystemExit()
        if first and outcome is None:
            raise error


class _GoingOn(object):
    def __init__(self, local, outcome):
        self.local, self.outcome = local, outcome

    def __enter__(self):
        self.saved = getattr(self.local, "outcome", None)
        self.local.outcome = self.outcome

    def __exit__(self, *exc):
        self.local.outcome = self.saved
        return False


class _Wrapper(logging.Handler):
    """Stands for one file handler of the module's logger."""

    def __init__(self, seam, handler):
        logging.Handler.__init__(self, handler.level)
        self.seam = seam
        self.handler = handler

    def handle(self, record):
        try:
            handled = self.handler.handle(record)
        except Exception as error:
            self.seam._failed(record, error)
            return False
        self.seam._wrote()
        return handled

    def emit(self, record):      # handle() does it all
        self.handle(record)

    def __repr__(self):
        return "<%s of %r>" % (type(self).__name__, self.handler)


def install(module):
    """The seam on MODULE's logger for the life of the process, installed
    on first use."""
    for handler in module.logger.handlers:
        if isinstance(handler, _Wrapper):
            return handler.seam
    return LogSeam(module).install()
