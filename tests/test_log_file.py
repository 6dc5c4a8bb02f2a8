"""The day's log file: its name, the line format, how records are appended,
and how failures reach the caller."""
import errno
import logging
import os
import re
import subprocess
import tempfile
import textwrap
import threading
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


class WholeLinesTest(unittest.TestCase):
    """A record that does not fit leaves no part of itself in the file: the
    error goes out, and the next record starts a line of its own."""

    def check_file(self, path, expected):
        with open(path, "rb") as f:
            self.assertEqual(f.read().decode("utf-8").split("\n"), expected + [""])

    def test_a_write_refused_part_way_is_taken_back(self):
        # A file size limit makes the write stop part-way, as a full disk does.
        result = support.run_python(textwrap.dedent("""
            import errno, logging, os, resource, signal
            import qzr_kov
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            handler = qzr_kov.FileLogHandler("limited.log")
            def log(text):
                handler.handle(logging.LogRecord("t", logging.INFO, "", 1, text, None, None))
            log("first")
            soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
            resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize("limited.log") + 100, hard))
            try:
                log("z" * 500)
            except OSError as e:
                print("refused", errno.errorcode[e.errno])
            resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
            log("NEXT RECORD")
            print(os.getcwd())
        """))
        self.assertEqual(result.returncode, 0, result.stderr)
        refused, folder = result.stdout.split("\n")[:2]
        self.assertEqual(refused, "refused EFBIG")
        self.check_file(os.path.join(folder, "limited.log"), ["first", "NEXT RECORD"])

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
                handler.handle(logging.LogRecord("t", logging.INFO, "", 1, line, None, None))
                written += 1
        self.assertEqual(caught.exception.errno, errno.ENOSPC)
        os.remove(filler)
        handler.handle(logging.LogRecord("t", logging.INFO, "", 1, "NEXT RECORD", None, None))
        self.check_file(os.path.join(folder, "full.log"), [line] * written + ["NEXT RECORD"])


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
