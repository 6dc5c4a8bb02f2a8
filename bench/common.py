"""Shared set-up for the benchmarks: paths, masters whose operations return
at once (a Python one and a compiled one), the ceiling probes, the pieces of
the log path's floor, and interleaved timing.

Interleaved timing: every contender of one measurement (the module, the
comparator, the probes) gets a short timed batch in each round, in an order
rotated from round to round, so that a machine that gets slower or faster
for a while affects all of them alike. Each contender ends with one sample
per round; ratios are taken round by round and their median reported.
Batches are timed with the thread's CPU clock (see CLOCK)."""
import functools
import json
import logging
import os
import platform
import statistics
import sys
import tempfile
import time
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

#: rounds of interleaved timing, and seconds per batch of one contender
ROUNDS = int(os.environ.get("QZR_KOV_BENCH_ROUNDS", "15"))
BATCH = float(os.environ.get("QZR_KOV_BENCH_BATCH", "0.01"))

_START_DIR = os.getcwd()
_BUILD = None


def build_folder():
    return os.path.abspath(os.environ.get("QZR_KOV_BUILD") or os.path.join(REPO, "build", "dev"))


def set_up():
    """Puts the built module (QZR_KOV_BUILD or build/dev) and the stand-ins
    on the path and moves to a scratch folder for the log file."""
    global _START_DIR, _BUILD
    _BUILD = build_folder()
    for p in (os.path.join(REPO, "sim", "stand_in"), os.path.join(REPO, "sim"), _BUILD, HERE):
        if p not in sys.path:
            sys.path.insert(0, p)
    _START_DIR = os.getcwd()
    os.chdir(tempfile.mkdtemp(prefix="qzr_kov-bench-"))


def json_path():
    """The file named after --json, relative to where the benchmark started."""
    return os.path.join(_START_DIR, sys.argv[sys.argv.index("--json") + 1])


def python_version():
    return "%d.%d.%d" % sys.version_info[:3]


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown processor"


def about():
    """What a result file says about where and when it was measured."""
    try:
        load = list(os.getloadavg())
    except OSError:
        load = None
    return {"python": python_version(), "measured": time.strftime("%Y-%m-%d %H:%M"),
            "machine": "%s, %d cores, %s" % (cpu_model(), os.cpu_count() or 0,
                                             platform.machine()),
            "load_at_start": load}


def write_json(results):
    """Writes RESULTS, with about(), to the file named after --json."""
    out = dict(about(), **results)
    with open(json_path(), "w") as f:
        json.dump(out, f, indent=1)


def report(results, render, argv):
    """Prints RENDER([RESULTS with about()]) and, with --json FILE in ARGV,
    writes RESULTS there; returns the exit code, 0."""
    print(render([dict(about(), **results)]))
    if "--json" in argv:
        write_json(results)
    return 0


def by_version(results):
    """RESULTS in the order of their interpreters' versions."""
    return sorted(results, key=lambda d: [int(x) for x in d["python"].split(".")])


def heading(data, what):
    """The line above a table of the results DATA of interleaved rounds on
    a simulated line: where and when, then WHAT."""
    load = data.get("load_at_start")
    return ("CPython %s, measured %s, load average %s at the start; %g ms per exchange, %d "
            "interleaved rounds. %s\n" % (data["python"], data.get("measured", "?"),
                                          "%.1f" % load[0] if load else "?",
                                          data["exchange_ms"], data["rounds"], what))


def tables(argv, name, table):
    """``--table FOLDER`` (print the table of the results *-NAME.json in
    FOLDER) or ``--readme README FOLDER`` (write it between NAME's markers
    there) in ARGV: does it and returns True; False for neither."""
    if "--table" in argv:
        sys.stdout.write(table(load_results(argv[argv.index("--table") + 1], name)))
        return True
    if "--readme" in argv:
        i = argv.index("--readme")
        into_readme(argv[i + 1], name, table(load_results(argv[i + 2], name)))
        return True
    return False


def load_results(folder, name):
    """The results of the benchmark NAME in FOLDER (its *-NAME.json files)."""
    import glob
    results = []
    for path in sorted(glob.glob(os.path.join(folder, "*-%s.json" % name))):
        with open(path) as f:
            results.append(json.load(f))
    return results


def into_readme(path, name, text):
    """TEXT in the README PATH, between the markers of the benchmark NAME."""
    begin = "<!-- %s: written by bench/%s.py --readme -->" % (name, name)
    end = "<!-- end of %s -->" % name
    with open(path, encoding="utf-8") as f:
        readme = f.read()
    head, rest = readme.split(begin, 1)
    tail = rest.split(end, 1)[1]
    with open(path, "w", encoding="utf-8") as f:
        f.write(head + begin + "\n\n" + text + "\n" + end + tail)


# ---------------------------------------------------------------------------
# Masters and probes


class InstantMaster(object):
    """Answers every operation at once."""
    block = [1000, 1000, 50, 0, 0, 0, 0, 0, 0, 0, 0x20001]

    def close(self):
        pass

    def get_coil(self, station, name):
        return False

    def set_coil(self, station, name, value):
        pass

    def get_coil_uint16(self, station, name):
        return 0

    def set_coil_uint16(self, station, name, value):
        pass

    def get_int32(self, station, name):
        return 0

    def set_int32(self, station, name, value):
        pass

    def set_uint32(self, station, name, value):
        pass

    def get_multi_int32(self, station, name, count):
        return self.block

    def set_multi_uint32(self, station, name, values):
        pass


_native = None


def native():
    """The compiled pieces (bench/native), built for this interpreter into
    the build folder's bench-native/ on first use (or QZR_KOV_BENCH_NATIVE)."""
    global _native
    if _native is None:
        import runpy
        build = runpy.run_path(os.path.join(HERE, "native", "build.py"))["build"]
        folder = os.environ.get("QZR_KOV_BENCH_NATIVE") or os.path.join(
            _BUILD or build_folder(), "bench-native")
        build(folder)
        # Last on the path: it holds nothing but this one module.
        if folder not in sys.path:
            sys.path.append(folder)
        import qzr_bench_native
        _native = qzr_bench_native
    return _native


def masters():
    """(label, master) for the Python and the compiled instant master."""
    return [("python", InstantMaster()), ("native", native().InstantMaster())]


_probe_class = None


def probe(master):
    """A ceiling probe on MASTER: a plain Python object holding MASTER in the
    controller's master field, whose compiled methods (one per master
    operation, and `nothing`) look the field up, look up the master's
    operation and call it."""
    global _probe_class
    if _probe_class is None:
        class CeilingProbe(object):
            pass
        native().install_ceiling(CeilingProbe)
        _probe_class = CeilingProbe
    p = _probe_class()
    p._KOVAxisController__mew = master
    return p


# ---------------------------------------------------------------------------
# The floor of a logged command: the logging machinery up to a handler that
# does nothing, formatting the record, and the system calls of appending it.


class NullEmit(logging.Handler):
    """A handler whose emit does nothing (logging.NullHandler skips handle()
    altogether, lock and filters included, so it is no floor)."""

    def emit(self, record):
        pass


class LogFloor(object):
    """The floor's three parts for one message: a separate logger set up as
    the module's (same levels, propagating) with a NullEmit handler; a plain
    Formatter with the module's format; the module's line appended by C."""

    def __init__(self, qzr_kov, message):
        self.message = message
        self.logger = logging.getLogger("qzr_kov_bench_floor")
        self.logger.setLevel(qzr_kov.logger.level)
        self.logger.propagate = qzr_kov.logger.propagate
        for h in list(self.logger.handlers):
            self.logger.removeHandler(h)
        self.logger.addHandler(NullEmit(qzr_kov._file_log_handler.level))
        self.formatter = logging.Formatter(qzr_kov._formatter._fmt)
        self.record = logging.LogRecord(qzr_kov.logger.name, logging.INFO, __file__, 1, message,
                                        None, None)
        log_file = str(qzr_kov._log_filename)
        folder = os.path.dirname(log_file)
        if folder:
            os.makedirs(folder, exist_ok=True)
        self.path = os.fsencode(os.path.join(folder, "floor-" + os.path.basename(log_file)))
        self.line = (self.formatter.format(self.record) + "\n").encode("utf-8")

    def contenders(self, prefix="floor "):
        """The three parts, each in a loop of its own; and the three one after
        the other in one loop ("sequence"), where each part also meets the
        caches and the processor state the others leave behind (a system call
        on this kind of machine slows the code after it)."""
        append, path, line = native().append, self.path, self.line
        names = {"logger": self.logger, "message": self.message, "f": self.formatter,
                 "r": self.record, "append": append, "path": path, "line": line}
        return [
            Contender(prefix + "logging", "logger.info(message)", names),
            Contender(prefix + "format", "f.format(r)", names),
            Contender(prefix + "append", run=lambda number: timed(append, path, line, number)),
            Contender(prefix + "sequence",
                      "logger.info(message); f.format(r); append(path, line, 1)", names),
        ]


def logged_message(qzr_kov, call):
    """The message the module logs when CALL() runs."""
    records = []

    class Keep(logging.Handler):
        def emit(self, record):
            records.append(record.getMessage())

    keep = Keep()
    qzr_kov.logger.addHandler(keep)
    try:
        call()
    finally:
        qzr_kov.logger.removeHandler(keep)
    if len(records) != 1:
        raise AssertionError("expected one record, got %r" % (records,))
    return records[0]


# ---------------------------------------------------------------------------
# Timing


def timed(function, *args):
    """Seconds that function(*args) takes (see CLOCK)."""
    start = CLOCK()
    function(*args)
    return CLOCK() - start


class Contender(object):
    """One thing timed in rounds: a statement run by timeit with NAMES as its
    globals (the cost of the empty timeit loop is taken off), or RUN, a
    function that runs its own loop of `number` executions and returns the
    seconds they took."""

    def __init__(self, name, statement=None, names=None, run=None):
        self.name = name
        if statement is not None:
            self.run = timeit.Timer(statement, timer=CLOCK, globals=dict(names or {})).timeit
            self.loop = True
        else:
            self.run = run
            self.loop = False
        self.number = None


def calibrate(run, batch):
    """A number of executions taking about BATCH seconds (also a warm-up)."""
    number = 1
    while True:
        seconds = run(number)
        if seconds >= batch / 20 or number >= 10 ** 9:
            break
        number *= 10
    return max(1, int(number * batch / max(seconds, 1e-9)))


def interleaved(contenders, rounds=None, batch=None):
    """Times CONTENDERS in interleaved rounds; returns {name: [seconds per
    execution, one sample per round]}."""
    rounds = ROUNDS if rounds is None else rounds
    batch = BATCH if batch is None else batch
    names = [c.name for c in contenders]
    if len(set(names)) != len(names):
        raise ValueError("contender names must differ: %r" % (names,))
    empty = Contender(None, "pass")
    everyone = list(contenders) + [empty]
    for c in everyone:
        c.number = calibrate(c.run, batch)
    samples = {name: [] for name in names}
    for r in range(rounds):
        shift = r % len(everyone)
        times = {}
        for c in everyone[shift:] + everyone[:shift]:
            times[c.name] = c.run(c.number) / c.number
        loop = times[None]
        for c in contenders:
            samples[c.name].append(max(times[c.name] - (loop if c.loop else 0.0), 0.0))
    return samples


def stats(samples, scale=1e6):
    """min, median and max of SAMPLES, times SCALE (seconds to microseconds)."""
    return {"min": min(samples) * scale, "median": statistics.median(samples) * scale,
            "max": max(samples) * scale}


def ratio(numerators, denominators):
    """The median over rounds of numerator / denominator, round by round."""
    pairs = [a / b for a, b in zip(numerators, denominators) if b > 0]
    return statistics.median(pairs) if pairs else float("nan")


def sum_rounds(*series):
    """Round-by-round sums of sample series."""
    return [sum(values) for values in zip(*series)]


# ---------------------------------------------------------------------------
# CPU of the calling thread alone


def thread_cpu():
    """CPU seconds used by the calling thread so far (user and system).

    The thread's CPU clock (clock_gettime(CLOCK_THREAD_CPUTIME_ID), in the
    time module from 3.3 on) rather than getrusage(RUSAGE_THREAD): both read
    the same per-thread accounting, but getrusage does not bring the running
    thread's current slice up to date, so it lags by up to a scheduler tick;
    a thread that computes for 2 ms without being switched out can read 0."""
    if hasattr(time, "clock_gettime") and hasattr(time, "CLOCK_THREAD_CPUTIME_ID"):
        return time.clock_gettime(time.CLOCK_THREAD_CPUTIME_ID)
    import resource
    usage = resource.getrusage(resource.RUSAGE_THREAD)
    return usage.ru_utime + usage.ru_stime


def _clock():
    if os.environ.get("QZR_KOV_BENCH_CLOCK") == "wall":
        return time.perf_counter
    if hasattr(time, "clock_gettime") and hasattr(time, "CLOCK_THREAD_CPUTIME_ID"):
        return functools.partial(time.clock_gettime, time.CLOCK_THREAD_CPUTIME_ID)
    return time.perf_counter


#: What the batches are timed with: the thread's CPU clock, so that time the
#: benchmark spends switched out for other processes of a shared machine does
#: not count (QZR_KOV_BENCH_CLOCK=wall: the wall clock instead).
CLOCK = _clock()
