"""The day's log file: its name, the line format, how records are appended,
and how failures reach the caller."""
import errno
import logging
import os
import queue
import re
import resource
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import unittest

from tests import support
from tests.support import qzr_kov

LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} - (INFO|ERROR) - (.*)$")


class FileNameTest(unittest.TestCase):
    def file_name_on(self, year, month, day):
        result = support.run_python(textwrap.dedent("""
            import datetime
            class Day(datetime.date):
                @classmethod
                def today(cls):
                    return cls(%d, %d, %d)
            datetime.date = Day
            import qzr_kov
            print(qzr_kov._log_filename, qzr_kov._file_log_handler._FileLogHandler__filename)
        """ % (year, month, day)))
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout.split()

    def test_year_plain_month_and_day_two_digits(self):
        sep = os.sep
        self.assertEqual(self.file_name_on(2026, 1, 5),
                         ["log%sqzr_kov-20260105.log" % sep] * 2)
        self.assertEqual(self.file_name_on(999, 12, 31), ["log%sqzr_kov-9991231.log" % sep] * 2)

    def test_names_bound_for_the_day(self):
        import datetime, pathlib
        self.assertEqual(qzr_kov._today, datetime.date.today())
        self.assertEqual(qzr_kov._log_path, pathlib.Path("log"))
        self.assertEqual(qzr_kov._log_filename,
                         qzr_kov._log_path / qzr_kov._today.strftime("qzr_kov-%Y%m%d.log"))


class RecordTest(unittest.TestCase):
    def setUp(self):
        self.log = support.LogReader()

    def test_one_utf8_line_per_record_with_the_standard_time_text(self):
        qzr_kov.logger.info("温度 ok ✓")
        qzr_kov.logger.debug("not written")
        qzr_kov.logger.error("bad")
        raw = self.log.raw()
        self.assertTrue(raw.endswith(b"\n"))
        lines = raw.decode("utf-8").split("\n")[:-1]
        self.assertEqual([LINE.match(l).groups() for l in lines],
                         [("INFO", "温度 ok ✓"), ("ERROR", "bad")])

    def test_handler_is_the_one_attached(self):
        handler = qzr_kov._file_log_handler
        self.assertIsInstance(handler, logging.Handler)
        self.assertEqual(handler.level, logging.INFO)
        self.assertIs(handler.formatter, qzr_kov._formatter)
        self.assertEqual(qzr_kov._formatter._fmt, "%(asctime)s - %(levelname)s - %(message)s")
        self.assertEqual(handler._FileLogHandler__filename, str(qzr_kov._log_filename))

    def test_utf8_whatever_the_locale(self):
        cwd = tempfile.mkdtemp(dir=support.WORKDIR)
        result = support.run_python(
            "import qzr_kov, locale; qzr_kov.logger.info('\\u627e\\u539f\\u70b9 %s' % locale.getpreferredencoding())",
            cwd=cwd, env={"LC_ALL": "C", "LANG": "C", "PYTHONCOERCECLOCALE": "0", "PYTHONUTF8": "0"})
        self.assertEqual(result.returncode, 0, result.stderr)
        path = os.path.join(cwd, "log", os.listdir(os.path.join(cwd, "log"))[0])
        with open(path, "rb") as f:
            self.assertIn("找原点".encode("utf-8"), f.read())

    def test_lines_from_many_threads_stay_whole(self):
        def write(n):
            for i in range(50):
                qzr_kov.logger.info("thread %d line %d %s" % (n, i, "x" * 200))
        threads = [threading.Thread(target=write, args=(n,)) for n in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        lines = self.log.lines()
        self.assertEqual(len(lines), 400)
        for line in lines:
            self.assertRegex(line, r"^INFO - thread \d line \d+ x{200}$")


class HandlerTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=support.WORKDIR)

    def record(self, message):
        return logging.LogRecord("qzr_kov", logging.INFO, __file__, 1, message, None, None)

    def test_constructor_opens_nothing_and_emit_appends(self):
        path = os.path.join(self.dir, "bare.log")
        handler = qzr_kov.FileLogHandler(path)
        self.assertEqual(handler.level, logging.INFO)
        self.assertEqual(vars(handler)["_FileLogHandler__filename"], path)
        self.assertFalse(os.path.exists(path))
        handler.emit(self.record("one"))
        handler.handle(self.record("two"))
        with open(path, encoding="utf-8") as f:
            self.assertEqual(f.read(), "one\ntwo\n")

    def test_level_and_filename_arguments(self):
        handler = qzr_kov.FileLogHandler(level=logging.ERROR, filename=None)
        self.assertEqual(handler.level, logging.ERROR)
        self.assertIsNone(handler._FileLogHandler__filename)
        for bad, type_name in [(b"x.log", "bytes"), (1, "int")]:
            with self.subTest(bad=bad):
                with self.assertRaises(TypeError) as cm:
                    qzr_kov.FileLogHandler(bad)
                self.assertEqual(str(cm.exception), "Argument 'filename' has incorrect type "
                                                    "(expected str, got %s)" % type_name)

    def test_open_and_write_failures_pass_out(self):
        with self.assertRaises(FileNotFoundError):
            qzr_kov.FileLogHandler(os.path.join(self.dir, "missing", "x.log")).emit(self.record("x"))
        with self.assertRaises(IsADirectoryError):
            qzr_kov.FileLogHandler(self.dir).handle(self.record("x"))
        with self.assertRaises(UnicodeEncodeError):
            qzr_kov.FileLogHandler(os.path.join(self.dir, "s.log")).emit(self.record("\udc80"))

    def test_a_subclass_initialises_through_the_handler(self):
        class Counting(qzr_kov.FileLogHandler):
            def __init__(self, filename):
                super().__init__(filename, logging.WARNING)
                self.count = 0

            def emit(self, record):
                self.count += 1
                super().emit(record)

        handler = Counting(os.path.join(self.dir, "c.log"))
        handler.handle(self.record("x"))
        self.assertEqual((handler.level, handler.count), (logging.WARNING, 1))


def record(message):
    return logging.LogRecord("t", logging.INFO, "", 1, message, None, None)


class CutShortTest(unittest.TestCase):
    """A record that does not fit leaves the part written where it is: the
    error goes out, nothing already in the file is touched, and the next
    record starts a line of its own."""

    def assert_fragment_of(self, fragment, line):
        self.assertTrue(0 < len(fragment) < len(line) and line.startswith(fragment),
                        "not a part of the record: %r" % fragment[:80])

    def test_writes_refused_part_way_leave_their_parts(self):
        # A file size limit makes a write stop part-way, as a full disk does.
        # The two files that may be written but not read (one empty, one
        # not) cannot show their last byte: the handler goes by what it
        # remembers. As root, the child gives up its rights first.
        folder = tempfile.mkdtemp(dir="/tmp" if os.path.isdir("/tmp") else None)
        self.addCleanup(shutil.rmtree, folder, True)
        os.chmod(folder, 0o755)
        files = [("plain.log", b"", 0o666), ("empty.log", b"", 0o222), ("old.log", b"old\n", 0o222)]
        paths = [os.path.join(folder, name) for name, _, _ in files]
        for path, (_, content, mode) in zip(paths, files):
            with open(path, "wb") as f:
                f.write(content)
            os.chmod(path, mode)
        result = support.run_python(textwrap.dedent("""
            import errno, logging, os, resource, signal, sys
            import qzr_kov
            if os.geteuid() == 0:
                os.setgid(65534)
                os.setuid(65534)
            if os.access(PATHS[2], os.R_OK):
                sys.exit("readable")
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
            for path in PATHS:
                handler = qzr_kov.FileLogHandler(path)
                def log(text):
                    handler.handle(logging.LogRecord("t", logging.INFO, "", 1, text, None, None))
                log("first")
                for text in ["z" * 500, "y" * 500]:
                    resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize(path) + 10, hard))
                    try:
                        log(text)
                    except OSError as e:
                        print("refused", errno.errorcode[e.errno])
                resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
                log("NEXT RECORD")
                log("last")
        """).replace("PATHS", repr(paths)))
        if result.returncode != 0 and "readable" in result.stderr:
            self.skipTest("cannot make a file unreadable for this user")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "refused EFBIG\n" * 6)
        # Each refused record left 10 bytes (the second one's after the
        # newline that ends the first one's part); nothing was glued on.
        for path, (_, content, _) in zip(paths, files):
            os.chmod(path, 0o644)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), content + b"first\n" + b"z" * 10 + b"\n" + b"y" * 9 +
                                 b"\nNEXT RECORD\nlast\n", path)

    @unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "mounting needs root")
    def test_on_a_full_disk(self):
        folder = tempfile.mkdtemp(dir=support.WORKDIR)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", folder],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if mounted.returncode != 0:
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(subprocess.run, ["umount", folder])
        handler = qzr_kov.FileLogHandler(os.path.join(folder, "full.log"))
        filler = os.path.join(folder, "filler")
        with open(filler, "wb") as f:
            f.write(b"x" * 40000)
        line = "y" * 999
        written = 0
        with self.assertRaises(OSError) as caught:
            for _ in range(100):
                handler.handle(record(line))
                written += 1
        self.assertEqual(caught.exception.errno, errno.ENOSPC)
        with open(os.path.join(folder, "full.log"), "rb") as f:
            before = f.read()
        os.remove(filler)
        handler.handle(record("NEXT RECORD"))
        handler.handle(record("last"))
        with open(os.path.join(folder, "full.log"), "rb") as f:
            after = f.read()
        self.assertTrue(after.startswith(before))
        lines = after.decode("utf-8").split("\n")
        self.assertEqual(lines[:written], [line] * written)
        # With 4 KiB pages the log file gets 6 of the 16 pages: 24 lines and
        # 576 bytes of the 25th.
        if len(lines) == written + 4 or resource.getpagesize() == 4096:
            self.assert_fragment_of(lines[written], line)
            del lines[written]
        self.assertEqual(lines[written:], ["NEXT RECORD", "last", ""])

    def test_a_line_left_unfinished_by_another_writer_is_ended_first(self):
        folder = tempfile.mkdtemp(dir=support.WORKDIR)
        path = os.path.join(folder, "shared.log")

        def other(data):
            with open(path, "ab") as f:
                f.write(data)

        other(b"old part")  # before this process appended to the file at all
        handler = qzr_kov.FileLogHandler(path)
        handler.handle(record("one"))
        other(b"part")
        handler.handle(record("two"))
        other(b"whole\n")
        handler.handle(record("three"))
        qzr_kov.FileLogHandler(path).handle(record("four"))  # another handler, same file
        other(b"\xe6\x89")  # cut inside a character
        handler.handle(record("five"))
        handler.handle(record("six"))
        with open(path, "rb") as f:
            self.assertEqual(f.read(), b"old part\none\npart\ntwo\nwhole\nthree\nfour\n"
                                       b"\xe6\x89\nfive\nsix\n")
        # A file replaced under the same name is a new file.
        os.remove(path)
        other(b"new part")
        handler.handle(record("seven"))
        with open(path, "rb") as f:
            self.assertEqual(f.read(), b"new part\nseven\n")


# A process logging numbered records to the day's file through the module's
# logger; it prints the numbers of the records whose logging call returned.
# With "cut" it keeps making its large records fail part-way, under a file
# size limit just above the file's end, each followed by a small record it
# lets through, until told to stop.
SHARING_CHILD = r"""
import errno, os, resource, select, signal, sys
import qzr_kov
me, count, mode = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
path = str(qzr_kov._log_filename)
soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
returned = []

def log(i, padding):
    try:
        qzr_kov.logger.info("P%d %d %s E%d.%d" % (me, i, padding, me, i))
    except OSError as e:
        assert e.errno == errno.EFBIG, e
    else:
        returned.append(i)

def cut(i):
    resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize(path) + 100, hard))
    try:
        log(i, "z" * 4000)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))

if mode == "cut":
    log(0, "z")
    cut(1)
print("ready", flush=True)
sys.stdin.read(1)
if mode == "cut":
    for i in range(2, count):
        if select.select([sys.stdin], [], [], 0)[0]:
            break
        if i % 8:
            cut(i)
        else:
            log(i, "z")
    log(count, "z")  # the others are done: the file ends with a whole line
else:
    for i in range(count):
        log(i, "x" * 150)
print(" ".join(map(str, returned)), flush=True)
"""

STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} - INFO - "
RECORD = STAMP + r"P(?P<me>\d) (?P<i>\d+) [xz]+ E(?P=me)\.(?P=i)"
STAMP_SHAPE = "0000-00-00 00:00:00,000 - INFO - "


class SharedFileTest(unittest.TestCase):
    """Several processes append to one day's file while one of them keeps
    failing part-way: no record whose logging call returned is missing, no
    record is there twice or cut, and no line holds two records."""

    HEALTHY = 3
    RECORDS = 20000

    def start(self, cwd, me, count, mode):
        child = subprocess.Popen([sys.executable, "-c", SHARING_CHILD, str(me), str(count), mode],
                                 cwd=cwd, env=support.python_env(), stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 universal_newlines=True)
        self.addCleanup(child.kill)
        if child.stdout.readline() != "ready\n":
            self.fail("the child did not start: %s" % child.communicate(timeout=60)[1])
        return child

    def finish(self, child):
        out, err = child.communicate(timeout=300)
        self.assertEqual(child.returncode, 0, err)
        return [int(n) for n in out.split()]

    def is_part_of_a_cut_record(self, text, cutter):
        """Whether TEXT is the start of one of CUTTER's large records."""
        head = STAMP_SHAPE + "P%d " % cutter
        shape = head[:len(text)]
        if any(c != s and not (s == "0" and c.isdigit()) for c, s in zip(text, shape)):
            return False
        return len(text) <= len(head) or re.match(
            r"\d+( z*( (E(%d(\.\d*)?)?)?)?)?$" % cutter, text[len(head):]) is not None

    def test_no_returned_record_is_lost_and_none_is_glued(self):
        cwd = tempfile.mkdtemp(dir=support.WORKDIR)
        cutter = self.HEALTHY
        cutting = self.start(cwd, cutter, 100000, "cut")
        healthy = [self.start(cwd, me, self.RECORDS, "plain") for me in range(self.HEALTHY)]
        for child in healthy + [cutting]:
            child.stdin.write("g")
            child.stdin.flush()
        returned = {me: self.finish(child) for me, child in enumerate(healthy)}
        cutting.stdin.write("s")
        cutting.stdin.flush()
        returned[cutter] = self.finish(cutting)
        for me in range(self.HEALTHY):
            self.assertEqual(returned[me], list(range(self.RECORDS)))

        with open(os.path.join(cwd, str(qzr_kov._log_filename)), "rb") as f:
            lines = f.read().decode("ascii").split("\n")
        self.assertEqual(lines.pop(), "")
        found = {}
        parts = glued = 0
        for line in lines:
            match = re.match(r"(.*?)(%s)?$" % RECORD, line)
            part, whole = match.group(1), match.group(2)
            self.assertIsNone(re.search(RECORD, part), "two records on a line: %r" % line[:300])
            if part:
                self.assertTrue(self.is_part_of_a_cut_record(part, cutter),
                                "not the start of a record cut short: %r" % line[:300])
                parts += 1
            if whole:
                key = (int(match.group("me")), int(match.group("i")))
                self.assertNotIn(key, found, "a record written twice")
                found[key] = line
                glued += bool(part)
        missing = [(me, i) for me in returned for i in returned[me] if (me, i) not in found]
        self.assertEqual(missing, [], "%d records lost" % len(missing))
        # Every record in the file returned (a failed one was cut short).
        self.assertEqual(sorted(found), sorted((me, i) for me in returned for i in returned[me]))
        self.assertGreater(parts, 0, "no record was cut short")
        # A record still follows a part on its line when that part landed
        # between the writer's look at the file's last byte and its write;
        # the part left before the others started is always ended first.
        self.assertLess(glued, parts)


# Logs one record to the FIFO named by argv[1] through the module's logger,
# or with "write" first a record larger than a pipe holds through a handler
# of its own, then "NEXT RECORD". Says on stdout where it is.
FIFO_CHILD = r"""
import logging, signal, sys
import qzr_kov
from qzr_kov_sim import RecordingMaster
signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started ignoring it
fifo, mode = sys.argv[1], sys.argv[2]
if mode == "open":
    controller = qzr_kov.KOVAxisController(RecordingMaster("port"))
    handler = qzr_kov._file_log_handler
    own_file = handler._FileLogHandler__filename
    handler._FileLogHandler__filename = fifo
    print("logging", flush=True)
    try:
        controller.stop(1)
    except KeyboardInterrupt:
        print("interrupted", controller._KOVAxisController__mew.calls[-1].op, flush=True)
    handler._FileLogHandler__filename = own_file
    controller.stop(2)
else:
    handler = qzr_kov.FileLogHandler(fifo)
    def log(text):
        handler.handle(logging.LogRecord("t", logging.INFO, "", 1, text, None, None))
    print("logging", flush=True)
    try:
        log("B" * 200000)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    log("NEXT RECORD")
print("done", flush=True)
"""


@unittest.skipUnless(hasattr(os, "mkfifo") and os.path.exists("/proc/self/wchan"),
                     "needs FIFOs and /proc")
class InterruptTest(unittest.TestCase):
    """Ctrl-C reaches a log write that waits: on a FIFO nobody reads, and on
    one whose reader has stopped reading."""

    def setUp(self):
        self.fifo = os.path.join(tempfile.mkdtemp(dir=support.WORKDIR), "fifo")
        os.mkfifo(self.fifo)

    def start(self, mode):
        child = subprocess.Popen([sys.executable, "-c", FIFO_CHILD, self.fifo, mode],
                                 cwd=tempfile.mkdtemp(dir=support.WORKDIR),
                                 env=support.python_env(), stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, universal_newlines=True)
        self.lines = queue.Queue()

        def read():
            for line in child.stdout:
                self.lines.put(line)
            self.lines.put("")
        reader = threading.Thread(target=read, daemon=True)
        reader.start()

        def stop():
            child.kill()
            child.wait()
            reader.join(60)
            child.stdout.close()
            child.stderr.close()
        self.addCleanup(stop)
        self.assertEqual(self.next_line(child), "logging\n")
        return child

    def next_line(self, child):
        try:
            return self.lines.get(timeout=60)
        except queue.Empty:
            child.kill()
            self.fail("Ctrl-C did not reach the waiting log write")

    def finish(self, child):
        self.assertEqual(self.next_line(child), "done\n")
        self.assertEqual(self.next_line(child), "")
        self.assertEqual(child.wait(timeout=60), 0, child.stderr.read())

    def interrupt_when_waiting_in(self, child, places):
        """Sends SIGINT once the child's main thread waits in the kernel in
        a function whose name holds one of PLACES."""
        named = False
        for _ in range(6000):
            with open("/proc/%d/wchan" % child.pid) as f:
                where = f.read().strip()
            if any(place in where for place in places):
                break
            named = named or where.strip("0") != ""
            time.sleep(0.005)
        else:
            if not named:
                self.skipTest("the kernel does not say where a process waits")
            self.fail("the child never waited in %s" % (places,))
        child.send_signal(signal.SIGINT)

    def test_ctrl_c_while_the_open_waits_for_a_reader(self):
        child = self.start("open")
        self.interrupt_when_waiting_in(child, ["wait_for_partner", "fifo_open"])
        # The command went out, then its logging step was interrupted.
        self.assertEqual(self.next_line(child), "interrupted set_coil\n")
        self.finish(child)

    def test_ctrl_c_while_a_write_waits_for_room(self):
        # Opened without waiting for a writer, then made blocking. The test
        # holds a write end of its own, so that the FIFO never lacks a writer
        # while the child closes it after one record and opens it for the
        # next: without one, a read finds the end of the file there, or,
        # when the child opens it between select() and read(), EAGAIN.
        reader = os.open(self.fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        own_writer = os.open(self.fifo, os.O_WRONLY)
        self.addCleanup(os.close, own_writer)
        os.set_blocking(reader, True)
        child = self.start("write")
        self.interrupt_when_waiting_in(child, ["pipe_write", "pipe_wait"])
        self.assertEqual(self.next_line(child), "interrupted\n")
        # Nothing is read before the write was interrupted: it waited for room.
        data = b""
        while not data.endswith(b"NEXT RECORD\n"):
            # With a writer always there, readable means data to read.
            if not select.select([reader], [], [], 60)[0]:
                self.fail("the child wrote no more after %d bytes" % len(data))
            data += os.read(reader, 1 << 16)
        self.finish(child)
        # The part of the large record that went out stays; the next record
        # starts a line of its own.
        part, rest = data.split(b"\n", 1)
        self.assertTrue(0 < len(part) < 200000 and part == b"B" * len(part), len(part))
        self.assertEqual(rest, b"NEXT RECORD\n")


class WorkingDirectoryTest(unittest.TestCase):
    def test_logging_after_moving_to_a_directory_without_log_raises(self):
        controller, master = support.controller()
        other = tempfile.mkdtemp(dir=support.WORKDIR)
        os.chdir(other)
        try:
            with self.assertRaises(FileNotFoundError):
                controller.stop(1)
        finally:
            os.chdir(support.WORKDIR)
        # The command went out before the logging step failed.
        self.assertEqual(master.calls[-1], (("set_coil", (1, "R0", True))))
        self.assertEqual(os.listdir(other), [])


if __name__ == "__main__":
    unittest.main()
