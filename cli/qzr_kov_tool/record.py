"""Recording axes while they run: one read of the status words per sample
of an axis (position, velocity and every input at once), kept as rows and
written as CSV, one row per sample with the axis's name first.

Times are seconds of the lines' clock from the first sample, taken just
before the command starts the axes. On simulated lines that is the
simulated axes' time, so a run with --sim-speed records what the axes did
in their own seconds.
"""

import array
import collections
import contextlib
import csv
import math
import os
import sys
import threading
import time

from . import plot
from .failures import NotSaved, Refused, ToolError, describe_exception

COLUMNS = ("axis", "time_s", "position_mm", "velocity_mm_s", "running", "origin",
           "negative_limit", "positive_limit", "alarm", "emergency", "position_set")
#: the columns of a sample; also the layout of recordings of one station
#: made before the axis column was added, which are still read
SAMPLE_COLUMNS = COLUMNS[1:]
#: the columns of recordings made before position_set was added: still read
OLD_COLUMNS = SAMPLE_COLUMNS[:9]
#: the columns that hold 0 or 1: the running output and the inputs as read,
#: then whether the position counter was set just before this sample.
#: emergency is the raw input, which is normally closed: 1 while released.
FLAGS = SAMPLE_COLUMNS[3:]
#: seconds of line time between two samples of an axis (80 per second, as
#: the line allows)
SAMPLE_PERIOD = 1.0 / 80

Sample = collections.namedtuple("Sample", SAMPLE_COLUMNS)


class WallClock(object):
    """The clock of a real line."""

    @staticmethod
    def time():
        return time.monotonic()

    @staticmethod
    def sleep(seconds):
        time.sleep(seconds)


def format_row(name, sample):
    return [name, "%.4f" % sample.time_s, "%.10g" % sample.position_mm,
            "%.10g" % sample.velocity_mm_s] + ["1" if flag else "0" for flag in sample[3:]]


class Samples(object):
    """The samples of one axis, kept column by column: the numbers in arrays
    of doubles, the flags in bytes. A million samples take some 30 MB this
    way, where as many tuples take ten times that.

    ``marked`` tells whether the position_set flags are known (recordings
    made before that column was added do not have them)."""

    def __init__(self, marked=True):
        self.marked = marked
        self.time_s = array.array("d")
        self.position_mm = array.array("d")
        self.velocity_mm_s = array.array("d")
        self.flags = collections.OrderedDict((name, bytearray()) for name in FLAGS)

    def append(self, sample):
        self.time_s.append(sample.time_s)
        self.position_mm.append(sample.position_mm)
        self.velocity_mm_s.append(sample.velocity_mm_s)
        for name, value in zip(FLAGS, sample[3:]):
            self.flags[name].append(1 if value else 0)

    def __len__(self):
        return len(self.time_s)

    def __getitem__(self, index):
        return Sample(self.time_s[index], self.position_mm[index], self.velocity_mm_s[index],
                      *(bool(self.flags[name][index]) for name in FLAGS))

    @property
    def duration(self):
        return self.time_s[-1] - self.time_s[0] if self.time_s else 0.0


class Recording(collections.OrderedDict):
    """The Samples of each axis by its name, in the order the axes were
    recorded; a recording of one station made before the axis column has one
    axis, named None."""

    @property
    def count(self):
        """The samples of all axes."""
        return sum(len(samples) for samples in self.values())

    @property
    def duration(self):
        """Seconds from the first sample of any axis to the last."""
        kept = [samples for samples in self.values() if len(samples)]
        if not kept:
            return 0.0
        return max(s.time_s[-1] for s in kept) - min(s.time_s[0] for s in kept)


class CsvFile(object):
    """The CSV file of a recording, written one whole row at a time with one
    system call each, unbuffered: a row counted in ``rows`` is in the file.

    A write the system takes only in part (a full disk, a file size limit)
    is taken back to the end of the last whole row, so the file never ends
    in the middle of a row. Only this object writes the file (it was
    created or emptied on opening), so what is taken back is never more
    than that one row. Should even that fail, ``cut`` says so.
    """

    def __init__(self, path):
        self.path = path
        self.rows = 0
        self.size = 0
        self.cut = False
        flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_CLOEXEC", 0)
        self._fd = os.open(path, flags, 0o666)
        self._write = os.write

    def write(self, fields):
        """One line of FIELDS; raises OSError if it could not be written whole."""
        data = memoryview((",".join(fields) + "\n").encode("ascii"))
        done = 0
        try:
            while done < len(data):
                written = self._write(self._fd, data[done:])
                if written <= 0:
                    raise OSError("the system took no byte of a row")
                done += written
        except OSError:
            if done:
                self._take_back()
            raise
        self.size += len(data)
        self.rows += 1

    def _take_back(self):
        try:
            os.ftruncate(self._fd, self.size)
            os.lseek(self._fd, self.size, os.SEEK_SET)
        except OSError:
            self.cut = True

    def close(self):
        """Raises OSError if the system reports a failure it kept back."""
        fd, self._fd = self._fd, None
        if fd is not None:
            os.close(fd)

    def kept(self):
        """What the file holds, in words."""
        if self.cut:
            return "its last row is cut short (it could not be taken back)"
        return "it keeps the %d samples written before, each a whole row" % (self.rows - 1)


def not_written(path, error, kept=""):
    return NotSaved("could not write the recording %s (%s)%s"
                    % (path, describe_exception(error), "; " + kept if kept else ""))


#: recorders at work, told when the position counter of one of their
#: stations is set through its controller
_listening = []
#: the controllers whose set_position tells them: id to [controller, users]
_hooked = {}
_listening_lock = threading.Lock()


def _telling(controller):
    """CONTROLLER's own set_position, telling the recorders of the station.
    The homing run sets the counter to 0 at the origin through it: the
    controller calls its own methods through the instance, so that this
    one, set on the instance, is what runs."""
    own = type(controller).set_position

    def set_position(station, position):
        with _listening_lock:
            recorders = [recorder for recorder in _listening
                         if (id(controller), station) in recorder.stations]
        with contextlib.ExitStack() as stack:
            # No sample of the station is read while the counter is set:
            # each one shows the old coordinate or the new one, and the
            # first to show the new one is flagged.
            for recorder in recorders:
                stack.enter_context(recorder.sampling)
            result = own(controller, station, position)
            for recorder in recorders:
                recorder.was_set.add((id(controller), station))
        return result
    return set_position


def _listen(recorder):
    with _listening_lock:
        _listening.append(recorder)
        for controller in recorder.controllers:
            entry = _hooked.setdefault(id(controller), [controller, 0])
            if not entry[1]:
                controller.set_position = _telling(controller)
            entry[1] += 1


def _stop_listening(recorder):
    with _listening_lock:
        if recorder not in _listening:
            return
        _listening.remove(recorder)
        for controller in recorder.controllers:
            entry = _hooked[id(controller)]
            entry[1] -= 1
            if not entry[1]:
                del _hooked[id(controller)]
                del controller.set_position


class Recorder(object):
    """Samples the AXES (name to qzr_kov_motion.Axis, in their order) in a
    thread of its own while the command does its work, each axis in turn;
    each sample is one read of its status words. CLOCK is the lines' time.

    CSV_FILE (a CsvFile) receives the rows, header first, as the samples
    come; with KEEP the samples are also kept in ``samples`` (a Recording).
    A failed read costs one sample (counted in ``lost``); the command itself
    notices a line that stays silent. A row that cannot be written ends the
    recording: ``failure`` holds the NotSaved error, and ON_FAILURE(error)
    is called once, in whichever thread found it.
    """

    def __init__(self, axes, clock, csv_file=None, keep=False, period=SAMPLE_PERIOD,
                 on_failure=None):
        self.axes = collections.OrderedDict(axes)
        self.clock = clock
        self.period = period
        self.keep = keep
        self.samples = Recording((name, Samples()) for name in self.axes)
        self.count = 0
        self.lost = 0
        #: the newest sample of each axis
        self.latest = {}
        self.failure = None
        #: (id of the controller, station) of each axis
        self.stations = set((id(axis.controller), axis.station) for axis in self.axes.values())
        self.controllers = list(dict((id(axis.controller), axis.controller)
                                     for axis in self.axes.values()).values())
        #: held while a sample is taken; whoever sets the position counter
        #: holds it meanwhile and then adds the station to was_set
        self.sampling = threading.RLock()
        self.was_set = set()
        self._file = csv_file
        self._on_failure = on_failure
        self._t0 = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="qzr-kov record")
        self._thread.daemon = True
        if csv_file is not None:
            try:
                csv_file.write(COLUMNS)
            except OSError as error:
                raise not_written(csv_file.path, error)

    def _read(self, axis):
        controller, station = axis.controller, axis.station
        before = self.clock.time()
        words = controller.status_words(station)
        after = self.clock.time()
        middle = (before + after) / 2.0
        if self._t0 is None:
            self._t0 = middle
        return Sample(middle - self._t0, controller.get_position(station, words),
                      float(words[2]), controller.is_running(station, words),
                      controller.at_o(station, words),
                      controller.at_negative_limit(station, words),
                      controller.at_positive_limit(station, words),
                      controller.is_alarming(station, words),
                      controller.at_emergency(station, words), False)

    def take(self):
        """One sample of each axis now."""
        for name, axis in self.axes.items():
            if not self._take(name, axis):
                return

    def _take(self, name, axis):
        """One sample of the axis NAME; False once the recording failed."""
        key = (id(axis.controller), axis.station)
        with self.sampling:
            try:
                sample = self._read(axis)
            except Exception:
                self.lost += 1
                return True
            if key in self.was_set:
                self.was_set.discard(key)
                sample = sample._replace(position_set=True)
            self.latest[name] = sample
            if self.failure is not None:
                return False
            try:
                if self._file is not None:
                    self._file.write(format_row(name, sample))
                if self.keep:
                    self.samples[name].append(sample)
            except Exception as error:   # OSError, or MemoryError while keeping
                kept = self._file.kept() if self._file is not None else ""
                self._failed(not_written(self._file.path if self._file is not None
                                         else "in memory", error, kept))
                return False
            self.count += 1
        return True

    def _failed(self, failure):
        self.failure = failure
        if self._on_failure is not None:
            self._on_failure(failure)

    def _run(self):
        due = last = self.clock.time()
        while not self._stop.is_set() and self.failure is None:
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
        """The first samples here and now, then the rest in the thread."""
        _listen(self)
        self.take()
        if self.failure is None:
            self._thread.start()

    def finish(self):
        """Stop sampling; one last sample of each axis shows it as the
        command left it."""
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join()
        try:
            self.take()
        finally:
            _stop_listening(self)

    @property
    def duration(self):
        return max([sample.time_s for sample in self.latest.values()] or [0.0])


def _finite(text):
    value = float(text)
    if not math.isfinite(value):
        raise ValueError("%s is not a finite number" % text)
    return value


def _flag(text):
    if text not in ("0", "1"):
        raise ValueError("%r is not 0 or 1" % text)
    return text == "1"


def _cut_short(path):
    """Whether the file PATH ends without a newline."""
    with open(path, "rb") as stream:
        if not stream.seek(0, os.SEEK_END):
            return False
        stream.seek(-1, os.SEEK_END)
        return stream.read(1) not in (b"\n", b"\r")


def read_csv(path):
    """The Recording of a CSV file the tool wrote; Refused, naming the line,
    if PATH is not one: a value that is no number or not finite, a flag
    that is not 0 or 1, a time before the one of the row above. Recordings
    of one station made before the axis column (and before position_set)
    are read as one axis named None."""
    try:
        with open(path, newline="") as stream:
            reader = csv.reader(stream)
            header = tuple(name.strip() for name in next(reader, []))
            if header not in (COLUMNS, SAMPLE_COLUMNS, OLD_COLUMNS):
                raise Refused("%s is not a recording of qzr-kov: its first line should be %s"
                              % (path, ",".join(COLUMNS)))
            width = len(header)
            named = header[0] == "axis"
            marked = "position_set" in header
            unmarked = () if marked else (False,)
            recording = Recording()
            before = -math.inf
            for row in reader:
                if not row:
                    continue
                try:
                    if len(row) != width:
                        raise ValueError("%d values instead of %d" % (len(row), width))
                    name, fields = (row[0], row[1:]) if named else (None, row)
                    values = [_finite(value) for value in fields[:3]]
                    if values[0] < before:
                        raise ValueError("its time %s s lies before the %s s of the row above"
                                         % (fields[0].strip(), "%.4f" % before))
                    before = values[0]
                    flags = tuple(_flag(value.strip()) for value in fields[3:])
                except ValueError as error:
                    line = reader.line_num
                    if next(reader, None) is None and _cut_short(path):
                        # A recorder of before left its last row half written.
                        sys.stderr.write("qzr-kov: %s line %d is cut short: left out\n"
                                         % (path, line))
                        break
                    raise Refused("%s line %d is not a sample: %s" % (path, line, error))
                if name not in recording:
                    recording[name] = Samples(marked=marked)
                recording[name].append(Sample(*(values + list(flags + unmarked))))
    except OSError as error:
        raise Refused("cannot read %s (%s)" % (path, describe_exception(error)))
    except (UnicodeDecodeError, csv.Error) as error:
        raise Refused("%s is not a recording of qzr-kov (%s)" % (path, describe_exception(error)))
    except MemoryError:
        raise ToolError("%s is too large to be read into memory here" % path)
    if not recording.count:
        raise Refused("%s holds no samples" % path)
    return recording


def _say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


@contextlib.contextmanager
def recording(axes, clock, csv_path=None, plot_path=None, title=None, signals=None,
              named=True):
    """Record AXES (name to qzr_kov_motion.Axis) on the lines' CLOCK while
    the block runs, when a CSV file, a picture or both are asked for;
    otherwise do nothing. Everything that could make the recording fail is
    checked on entry, before the block moves an axis. What was recorded is
    written even when the block fails or is stopped. NAMED: the report names
    the axes (a machine's).

    A row that cannot be written (a full disk) ends the block through
    SIGNALS (StopSignals): the command stops the axes and the NotSaved
    error ends the program."""
    if csv_path is None and plot_path is None:
        yield None
        return
    if plot_path is not None:
        plot.check(plot_path)
    csv_file = None
    if csv_path is not None:
        try:
            csv_file = CsvFile(csv_path)
        except OSError as error:
            raise Refused("cannot write the recording %s (%s)"
                          % (csv_path, describe_exception(error)))
    on_failure = None
    if signals is not None:
        on_failure = lambda error: signals.fail(error, "the recording could not be written")
    try:
        recorder = Recorder(axes, clock, csv_file, keep=plot_path is not None,
                            on_failure=on_failure)
        recorder.start()
        if recorder.failure is not None:      # before anything moved
            recorder.finish()
            raise recorder.failure
    except BaseException:
        _close(csv_file)
        raise
    report = dict(csv_file=csv_file, plot_path=plot_path, title=title, named=named)
    try:
        yield recorder
    except BaseException as error:
        _end(recorder, report, error)
        raise
    _end(recorder, report, None)


def _close(csv_file):
    """Close CSV_FILE; the NotSaved error if the system then reports a
    failure it had kept back."""
    if csv_file is None:
        return None
    try:
        csv_file.close()
    except OSError as error:
        return not_written(csv_file.path, error)
    return None


def _end(recorder, report, error):
    """Finish the recording after the block ended with ERROR (None if it
    succeeded). The block's own failure is what the user must hear about;
    a recording that failed as well gets one line more."""
    try:
        recorder.finish()
        failure = recorder.failure or _close(report["csv_file"])
        if failure is None:
            _report(recorder, **report)
    except ToolError as report_error:
        failure = report_error
    except Exception as report_error:   # drawing: whatever matplotlib raised
        failure = ToolError("the recording was not drawn (%s)" % describe_exception(report_error))
    if failure is None or failure is error:
        return
    if error is None:
        raise failure
    sys.stderr.write("qzr-kov: %s\n" % failure)
    sys.stderr.flush()


def _report(recorder, csv_file, plot_path, title, named):
    lost = " (%d reads failed)" % recorder.lost if recorder.lost else ""
    of = " of %s" % ", ".join(recorder.axes) if named else ""
    if csv_file is not None:
        _say("recorded %d samples%s over %.3f s to %s%s"
             % (recorder.count, of, recorder.duration, csv_file.path, lost))
        lost = ""
    if plot_path is not None:
        samples = Recording((name, axis) for name, axis in recorder.samples.items()
                            if len(axis))
        if not samples:
            raise ToolError("nothing to plot: no sample could be read%s" % lost)
        plot.draw(samples, plot_path, title)
        _say("plotted %d samples%s over %.3f s to %s%s"
             % (samples.count, of, samples.duration, plot_path, lost))
