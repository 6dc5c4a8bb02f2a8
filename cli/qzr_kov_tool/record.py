"""Recording a station while it runs: one read of the status words per
sample (position, velocity and every input at once), kept as rows and
written as CSV.

Times are seconds of the line's clock from the first sample, taken just
before the command starts the axis. On the simulated line that is the
simulated axis's time, so a run with --sim-speed records what the axis did
in its own seconds.
"""

import collections
import contextlib
import csv
import sys
import threading
import time

from . import plot
from .errors import Refused, ToolError, describe_exception

COLUMNS = ("time_s", "position_mm", "velocity_mm_s", "running", "origin",
           "negative_limit", "positive_limit", "alarm", "emergency")
#: the columns that hold 0 or 1: the running output and the inputs as read.
#: emergency is the raw input, which is normally closed: 1 while released.
FLAGS = COLUMNS[3:]
#: seconds of line time between two samples (80 per second, as the line allows)
SAMPLE_PERIOD = 1.0 / 80

Sample = collections.namedtuple("Sample", COLUMNS)


class WallClock(object):
    """The clock of a real line."""

    @staticmethod
    def time():
        return time.monotonic()

    @staticmethod
    def sleep(seconds):
        time.sleep(seconds)


def format_row(sample):
    return ["%.4f" % sample.time_s, "%.10g" % sample.position_mm,
            "%.10g" % sample.velocity_mm_s] + ["1" if flag else "0" for flag in sample[3:]]


class Recorder(object):
    """Samples the session's station in a thread of its own while the
    command does its work; each sample is one read of the status words.

    STREAM (a text file) receives the CSV, header first, as the samples
    come; with KEEP the samples are also kept in ``rows``. A failed read
    costs one sample (counted in ``lost``); the command itself notices a
    line that stays silent.
    """

    def __init__(self, session, stream=None, keep=False, period=SAMPLE_PERIOD):
        self.session = session
        self.clock = session.clock
        self.period = period
        self.keep = keep
        self.rows = []
        self.count = 0
        self.lost = 0
        self.latest = None
        self._writer = csv.writer(stream, lineterminator="\n") if stream is not None else None
        self._stream = stream
        self._t0 = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="qzr-kov record")
        self._thread.daemon = True
        if self._writer is not None:
            self._writer.writerow(COLUMNS)

    def _read(self):
        axis, station = self.session.axis, self.session.station
        before = self.clock.time()
        words = axis.status_words(station)
        after = self.clock.time()
        middle = (before + after) / 2.0
        if self._t0 is None:
            self._t0 = middle
        return Sample(middle - self._t0, axis.get_position(station, words), float(words[2]),
                      axis.is_running(station, words), axis.at_o(station, words),
                      axis.at_negative_limit(station, words),
                      axis.at_positive_limit(station, words),
                      axis.is_alarming(station, words), axis.at_emergency(station, words))

    def take(self):
        """One sample now."""
        try:
            sample = self._read()
        except Exception:
            self.lost += 1
            return
        self.count += 1
        self.latest = sample
        if self.keep:
            self.rows.append(sample)
        if self._writer is not None:
            self._writer.writerow(format_row(sample))

    def _run(self):
        due = last = self.clock.time()
        while not self._stop.is_set():
            due += self.period
            now = self.clock.time()
            if due < now - self.period:
                due = now                 # fallen far behind: no burst to catch up
            # A late sample is made up for, but never closer than half a period.
            delay = max(due - now, last + self.period / 2 - now)
            if delay > 0:
                self.clock.sleep(delay)
            if self._stop.is_set():
                break
            last = self.clock.time()
            self.take()

    def start(self):
        """The first sample here and now, then the rest in the thread."""
        self.take()
        self._thread.start()

    def finish(self):
        """Stop sampling; one last sample shows the axis as the command left it."""
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join()
        self.take()
        if self._stream is not None:
            self._stream.flush()

    @property
    def duration(self):
        return self.latest.time_s if self.latest is not None else 0.0


def read_csv(path):
    """The samples of a recording made by the tool; Refused if PATH is not one."""
    try:
        with open(path, newline="") as stream:
            reader = csv.reader(stream)
            header = [name.strip() for name in next(reader, [])]
            if header != list(COLUMNS):
                raise Refused("%s is not a recording of qzr-kov: its first line should be %s"
                              % (path, ",".join(COLUMNS)))
            rows = []
            for row in reader:
                if not row:
                    continue
                try:
                    if len(row) != len(COLUMNS):
                        raise ValueError("%d values instead of %d" % (len(row), len(COLUMNS)))
                    values = [float(value) for value in row[:3]]
                    flags = [int(value) != 0 for value in row[3:]]
                except ValueError as error:
                    raise Refused("%s line %d is not a sample (%s)"
                                  % (path, reader.line_num, error))
                rows.append(Sample(*(values + flags)))
    except OSError as error:
        raise Refused("cannot read %s (%s)" % (path, describe_exception(error)))
    except (UnicodeDecodeError, csv.Error) as error:
        raise Refused("%s is not a recording of qzr-kov (%s)" % (path, describe_exception(error)))
    if not rows:
        raise Refused("%s holds no samples" % path)
    return rows


def _say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


@contextlib.contextmanager
def recording(session, csv_path=None, plot_path=None, title=None):
    """Record the station while the block runs, when a CSV file, a picture
    or both are asked for; otherwise do nothing. Everything that could make
    the recording fail is checked on entry, before the block moves the axis.
    What was recorded is written even when the block fails or is stopped."""
    if csv_path is None and plot_path is None:
        yield None
        return
    if plot_path is not None:
        plot.check(plot_path)
    stream = None
    if csv_path is not None:
        try:
            stream = open(csv_path, "w", newline="")
        except OSError as error:
            raise Refused("cannot write the recording %s (%s)"
                          % (csv_path, describe_exception(error)))
    recorder = Recorder(session, stream, keep=plot_path is not None)
    failed = True
    try:
        recorder.start()
        yield recorder
        failed = False
    finally:
        try:
            recorder.finish()
            if stream is not None:
                stream.close()
            _report(recorder, csv_path, plot_path, title)
        except Exception as error:
            if not failed:
                raise
            # The block's own failure is what the user must hear about.
            sys.stderr.write("qzr-kov: the recording was not saved (%s)\n"
                             % describe_exception(error))


def _report(recorder, csv_path, plot_path, title):
    lost = " (%d reads failed)" % recorder.lost if recorder.lost else ""
    if csv_path is not None:
        _say("recorded %d samples over %.3f s to %s%s"
             % (recorder.count, recorder.duration, csv_path, lost))
        lost = ""
    if plot_path is not None:
        if not recorder.rows:
            raise ToolError("nothing to plot: no sample could be read%s" % lost)
        plot.draw(recorder.rows, plot_path, title)
        _say("plotted %d samples over %.3f s to %s%s"
             % (len(recorder.rows), recorder.duration, plot_path, lost))
