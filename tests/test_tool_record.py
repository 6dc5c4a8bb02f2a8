"""Recording and plotting with qzr-kov on the simulated line: the CSV rows of
a move (a trapezoid), of a move into a limit switch, of a run stopped by
Ctrl-C and of a motion someone else made; a recording that fills the disk;
pictures in each format; a missing matplotlib."""
import csv
import errno
import os
import re
import resource
import signal
import subprocess
import sys
import unittest

from tests import support
from tests.support import (FAST, HAVE_MATPLOTLIB, NO_MATPLOTLIB, TIMEOUT, Quiet, ToolCase,
                           command, options, run_tool, scratch, station_on, tool_env)
from qzr_kov_sim import SimulatedLine, VirtualClock

support.add_tool_to_path()

from qzr_kov_tool import commands, record  # noqa: E402
from qzr_kov_tool.signals import StopSignals  # noqa: E402

COLUMNS = ["axis", "time_s", "position_mm", "velocity_mm_s", "running", "origin",
           "negative_limit", "positive_limit", "alarm", "emergency", "position_set"]
SIGNATURES = {".png": b"\x89PNG\r\n\x1a\n", ".svg": b"<?xml", ".pdf": b"%PDF"}


def read_rows(path, axis="station 1"):
    """The header and the rows of AXIS, its name first, the rest as numbers."""
    with open(path, newline="") as stream:
        reader = csv.reader(stream)
        header = next(reader)
        return header, [row[:1] + [float(value) for value in row[1:]] for row in reader
                        if row[0] == axis]


def column(rows, name):
    return [row[COLUMNS.index(name)] for row in rows]


class RecordingTest(ToolCase):
    def test_a_move_records_a_trapezoid(self):
        path = os.path.join(scratch(), "move.csv")
        result = run_tool("move", "--absolute", "30", "--velocity", "20",
                          "--acceleration-time", "0.4", "--record", path, "--sim-speed", "4")
        self.assert_ok(result)
        self.assertIn("recorded", result.stdout)
        header, rows = read_rows(path)
        self.assertEqual(header, COLUMNS)
        times = column(rows, "time_s")
        self.assertEqual(times[0], 0.0)
        self.assertTrue(all(a < b for a, b in zip(times, times[1:])), times)
        # 80 samples per second of the axis's time are asked for; a loaded
        # machine may deliver fewer, but never a handful.
        self.assertGreater(len(rows) / times[-1], 25)
        position = column(rows, "position_mm")
        self.assertEqual((position[0], position[-1]), (0.0, 30.0))
        self.assertEqual(position, sorted(position))
        running = column(rows, "running")
        self.assertEqual((running[0], running[-1], max(running)), (0, 0, 1))
        self.assertEqual(set(column(rows, "emergency")), {1.0})   # the input, released
        # From rest up the ramp, along the top, down the ramp to rest, in mm/s.
        velocity = column(rows, "velocity_mm_s")
        top = [i for i, v in enumerate(velocity) if v == 20]
        rising, falling = velocity[:top[0]], velocity[top[-1] + 1:]
        self.assertEqual((velocity[0], velocity[-1]), (0.0, 0.0))
        self.assertEqual(rising, sorted(rising))
        self.assertEqual(falling, sorted(falling, reverse=True))
        self.assertEqual(set(velocity[top[0]:top[-1] + 1]), {20.0})
        self.assertGreater(times[top[-1]] - times[top[0]], 0.5)   # 1.1 s at full speed
        for ramp in (rising, falling):
            self.assertGreaterEqual(len([v for v in ramp if 2 < v < 20]), 3)

    def test_a_move_into_a_limit_records_the_switch(self):
        folder = scratch()
        path = os.path.join(folder, "limit.csv")
        result = run_tool("move", "--absolute", "400", "--velocity", "100", "--record", path,
                          *FAST)
        self.assert_one_line_error(result, 1, "ended early", "positive limit switch")
        self.assertIn("recorded", result.stdout)
        header, rows = read_rows(path)
        limit = column(rows, "positive_limit")
        first = limit.index(1)
        self.assertGreater(first, 0)
        self.assertEqual(set(limit[first:]), {1.0})
        self.assertEqual(column(rows, "position_mm")[first], 260.0)
        self.assertEqual(set(column(rows, "negative_limit")), {0.0})

    def test_ctrl_c_still_stops_the_axis_and_the_recording_is_kept(self):
        folder = scratch()
        for args in (["move", "--absolute", "200"], ["jog"], ["home"]):
            path = os.path.join(folder, args[0] + ".csv")
            tool = self.interactive(*(args + ["--velocity", "1", "--record", path]))
            tool.read_until("running")
            tool.process.send_signal(signal.SIGINT)
            code, out, err = tool.finish()
            self.assertEqual((code, err), (130, ""), out)
            stopped = re.search(r"axis stopped at (-?\d+\.\d+) mm", out)
            self.assertIsNotNone(stopped, out)
            self.assertIn("recorded", out)
            # The last sample shows the axis where the tool said it stopped.
            header, rows = read_rows(path)
            self.assertEqual(column(rows, "running")[-1], 0.0)
            self.assertAlmostEqual(column(rows, "position_mm")[-1], float(stopped.group(1)))

    def test_a_file_that_cannot_be_written_is_refused_before_anything_moves(self):
        path = os.path.join(scratch(), "no-such-folder", "move.csv")
        result = run_tool("move", "--absolute", "10", "--record", path)
        self.assert_one_line_error(result, 2, "cannot write the recording")
        self.assertNotIn("moving", result.stdout)


class RecordInProcessTest(unittest.TestCase):
    def test_record_follows_a_motion_made_by_someone_else(self):
        # The line's time moves only as the recorder sleeps on it: the move
        # is still under way at the first sample, however slow the machine.
        axes = station_on(self, SimulatedLine("tool-record", clock=VirtualClock()))
        controller = axes["station 1"].controller
        controller.set_parameters(1, 5.0, 20.0, 0.1)
        controller.locate_relatively(1, 15.0)       # 0.85 s of the line's time
        path = os.path.join(scratch(), "other.csv")
        with Quiet():
            code = commands.record(axes, options("record", "--duration", "1.5", path),
                                   StopSignals())
        self.assertEqual(code, 0)
        header, rows = read_rows(path)
        self.assertEqual(column(rows, "position_mm")[-1], 15.0)
        self.assertEqual(column(rows, "running")[0], 1.0)
        self.assertEqual(column(rows, "running")[-1], 0.0)


def whole_rows(test, path, limit):
    """The rows of PATH, checked to be whole; the file never grew past LIMIT."""
    with open(path, "rb") as stream:
        data = stream.read()
    test.assertLessEqual(len(data), limit)
    test.assertTrue(data.endswith(b"\n"), data[-80:])
    header, rows = read_rows(path)
    test.assertEqual(header, COLUMNS)
    test.assertEqual(len(rows), len(data.splitlines()) - 1)
    for row in rows:
        test.assertEqual(len(row), len(COLUMNS), row)
    return rows


def limited_run(limit, cwd, *args):
    """The tool in CWD, unable to write files past LIMIT bytes (the system
    refuses with EFBIG, as a full disk refuses with ENOSPC)."""
    def limit_file_size():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return subprocess.run(command(args), cwd=cwd, env=tool_env(), preexec_fn=limit_file_size,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=TIMEOUT)


class FullDiskTest(ToolCase):
    """A recording that cannot be written any further stops the axis, keeps
    whole rows, and ends with code 4 and one line naming the file and the
    system's error: no traceback, no blame on the line."""

    LIMIT = 2500       # some 75 rows: the axis is still far from its target

    def assert_not_saved(self, result, path, why):
        self.assert_one_line_error(result, 4, "could not write the recording", path, why)
        self.assertNotIn("communication", result.stderr)
        rows = whole_rows(self, path, self.LIMIT)
        kept = re.search(r"keeps the (\d+) samples", result.stderr)
        self.assertIsNotNone(kept, result.stderr)
        self.assertEqual(int(kept.group(1)), len(rows))
        return rows

    def test_move_home_and_jog_stop_where_the_file_is_full(self):
        for args, target in ((["move", "--absolute", "290"], 290.0), (["home"], None),
                             (["jog"], None)):
            folder = scratch()
            result = limited_run(self.LIMIT, folder, *(args + [
                "--record", os.path.join(folder, "m.csv"), "--sim-speed", "10"]))
            rows = self.assert_not_saved(result, os.path.join(folder, "m.csv"),
                                         "File too large")
            self.assertIn("stopping the axis (the recording could not be written)",
                          result.stdout)
            stopped = re.search(r"axis stopped at (-?\d+\.\d+) mm", result.stdout)
            self.assertIsNotNone(stopped, result.stdout)
            if target is not None:
                self.assertLess(float(stopped.group(1)), target)
            self.assertNotIn("result:", result.stdout)
            self.assertEqual(column(rows, "running")[0], 0.0)

    def test_record_ends_without_stopping_an_axis_it_does_not_drive(self):
        folder = scratch()
        path = os.path.join(folder, "m.csv")
        result = limited_run(self.LIMIT, folder, "record", "--duration", "20", path,
                             "--sim-speed", "10")
        self.assert_not_saved(result, path, "File too large")
        self.assertIn("recording ended (the recording could not be written)", result.stdout)
        self.assertNotIn("stopping", result.stdout)

    @unittest.skipUnless(os.path.exists("/dev/full"), "no /dev/full here")
    def test_a_header_that_cannot_be_written_moves_nothing(self):
        result = run_tool("move", "--relative", "5", "--record", "/dev/full")
        self.assert_one_line_error(result, 4, "could not write the recording /dev/full",
                                   "No space left on device")
        self.assertNotIn("moving", result.stdout)

    @unittest.skipUnless(os.geteuid() == 0 and sys.platform.startswith("linux"),
                         "mounting a small tmpfs needs root on Linux")
    def test_a_full_tmpfs(self):
        mount = scratch()
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", mount],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode:
            self.skipTest("this machine refuses to mount a tmpfs")
        try:
            # All pages but one taken: the recording gets 4096 bytes.
            with open(os.path.join(mount, "filler"), "wb") as stream:
                stream.write(b"x" * (60 * 1024))
            path = os.path.join(mount, "m.csv")
            result = run_tool("move", "--absolute", "290", "--record", path, "--sim-speed", "10")
            self.assert_one_line_error(result, 4, "could not write the recording", path,
                                       "No space left on device")
            rows = whole_rows(self, path, 4096)
            self.assertIn("keeps the %d samples" % len(rows), result.stderr)
            self.assertIn("axis stopped at", result.stdout)
        finally:
            subprocess.run(["umount", mount])


class CsvFileTest(unittest.TestCase):
    """Rows the system takes only in part are taken back."""

    def test_a_row_written_in_part_is_taken_back(self):
        path = os.path.join(scratch(), "part.csv")
        real_write = os.write
        room = [100]

        def write(fd, data):          # a disk with ROOM bytes left
            if not room[0]:
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
            taken = real_write(fd, bytes(data[:room[0]]))
            room[0] -= taken
            return taken
        csv_file = record.CsvFile(path)
        csv_file._write = write
        written = 0
        with self.assertRaises(OSError) as caught:
            while True:
                csv_file.write(["%d" % written, "1.25", "-3"])
                written += 1
        self.assertEqual(caught.exception.errno, errno.ENOSPC)
        csv_file.close()
        with open(path) as stream:
            text = stream.read()
        self.assertEqual(csv_file.rows, written)
        self.assertEqual(text, "".join("%d,1.25,-3\n" % n for n in range(written)))
        self.assertFalse(csv_file.cut)


class PictureTest(ToolCase):
    @unittest.skipUnless(HAVE_MATPLOTLIB, NO_MATPLOTLIB)
    def test_record_and_plot_in_one_go_and_from_the_file(self):
        folder = scratch()
        recording, picture = os.path.join(folder, "m.csv"), os.path.join(folder, "m.png")
        result = run_tool("move", "--relative", "20", "--record", recording, "--plot", picture,
                          *FAST)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("plotted", result.stdout)
        pictures = [picture]
        for ending in (".svg", ".pdf"):
            pictures.append(os.path.join(folder, "again" + ending))
            result = run_tool("plot", recording, "-o", pictures[-1], "--title", "again")
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        for path in pictures:
            with open(path, "rb") as stream:
                data = stream.read()
            ending = os.path.splitext(path)[1]
            self.assertTrue(data.startswith(SIGNATURES[ending]), path)
            # Two panels with axes, labels and marks; not a blank page, not a poster.
            self.assertTrue(8000 < len(data) < 2000000, (path, len(data)))

    def test_without_matplotlib_plot_says_so_and_recording_still_works(self):
        # A matplotlib that cannot be imported, first on the path.
        hidden = scratch()
        os.mkdir(os.path.join(hidden, "matplotlib"))
        with open(os.path.join(hidden, "matplotlib", "__init__.py"), "w") as stream:
            stream.write("raise ImportError('No module named matplotlib (hidden by the test)')\n")
        folder = scratch()
        recording, picture = os.path.join(folder, "m.csv"), os.path.join(folder, "m.png")
        result = run_tool("plot", recording, "-o", picture, first=[hidden])
        self.assert_one_line_error(result, 3, "needs matplotlib", "python3-matplotlib")
        result = run_tool("move", "--relative", "5", "--plot", picture, first=[hidden])
        self.assert_one_line_error(result, 3, "needs matplotlib")
        self.assertNotIn("moving", result.stdout)
        result = run_tool("move", "--relative", "5", "--record", recording, *FAST, first=[hidden])
        self.assert_ok(result)
        self.assertEqual(column(read_rows(recording)[1], "position_mm")[-1], 5.0)
        self.assertFalse(os.path.exists(picture))

if __name__ == "__main__":
    unittest.main()
