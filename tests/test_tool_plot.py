"""Drawing recordings with qzr-kov: files that are no recording refused by
line, recordings older than the position_set column, the coordinate set
while recording (flagged by the recorder, found in old files, drawn as a
break with its mark, labels clear of the line) and recordings too long to
draw point by point."""
import contextlib
import io
import os
import sys
import threading
import time
import unittest

from tests import support
from tests.support import (EXAMPLE_JSON, FAST, HAVE_MATPLOTLIB, NO_MATPLOTLIB, ToolCase, qzr_kov,
                           run_tool, scratch)
from qzr_kov_sim import ScaledClock, SimulatedLine

support.add_tool_to_path()

from qzr_kov_motion import Axis  # noqa: E402
from qzr_kov_tool import cli, plot, record  # noqa: E402
from qzr_kov_tool.failures import Refused  # noqa: E402

#: a recording of one station before the axis column, and before position_set
HEADER = ",".join(record.SAMPLE_COLUMNS)
OLD_HEADER = ",".join(record.OLD_COLUMNS)


def only(recording):
    """The Samples of a recording of one axis."""
    (samples,) = recording.values()
    return samples


def write(text, name="r.csv"):
    path = os.path.join(scratch(), name)
    with open(path, "w") as stream:
        stream.write(text)
    return path


def rows_text(header, rows):
    return "\n".join([header] + rows) + "\n"


class ReadTest(unittest.TestCase):
    def test_values_that_are_no_sample_are_refused_by_line(self):
        good = "0.0000,0,0,0,0,0,0,0,1,0"
        cases = [("0.0125,nan,0,0,0,0,0,0,1,0", "nan is not a finite number"),
                 ("nan,1,0,0,0,0,0,0,1,0", "nan is not a finite number"),
                 ("0.0125,1,inf,0,0,0,0,0,1,0", "inf is not a finite number"),
                 ("0.0125,-1e999,0,0,0,0,0,0,1,0", "not a finite number"),
                 ("-4,1,0,0,0,0,0,0,1,0", "lies before"),
                 ("0.0125,1,0,2,0,0,0,0,1,0", "is not 0 or 1"),
                 ("0.0125,1,0,0,0,0,0,0,1", "9 values instead of 10")]
        for bad, words in cases:
            path = write(rows_text(HEADER, [good, "0.0100,0,0,0,0,0,0,0,1,0", bad, good]))
            with self.assertRaises(Refused) as caught:
                record.read_csv(path)
            message = str(caught.exception)
            self.assertEqual(caught.exception.code, 2)
            self.assertIn("%s line 4 is not a sample" % path, message)
            self.assertIn(words, message)
            self.assertNotIn("controller", message)

    def test_a_last_row_cut_short_is_left_out(self):
        rows = ["0.0000,0,0,0,0,0,0,0,1,0", "0.0125,0.5,2,1,0,0,0,0,1,0"]
        stderr = io.StringIO()
        with contextlib.redirect_stderr(stderr):
            samples = only(record.read_csv(write(rows_text(HEADER, rows) + "0.0250,1,2,1,0")))
        self.assertEqual(len(samples), 2)
        self.assertIn("line 4 is cut short: left out", stderr.getvalue())
        # Whole but wrong, it is refused like any other.
        with self.assertRaises(Refused):
            record.read_csv(write(rows_text(HEADER, rows + ["0.0250,1,2,1,0"])))

    def test_recordings_without_position_set_are_read(self):
        path = write(rows_text(OLD_HEADER, ["0.0000,-38.5,0,0,0,0,0,0,1",
                                            "0.0125,-38.5,0,0,0,0,0,0,1",
                                            "0.0125,0,0,0,0,0,0,0,1"]))
        samples = only(record.read_csv(path))
        self.assertFalse(samples.marked)
        self.assertEqual(len(samples), 3)
        self.assertEqual(list(samples.position_mm), [-38.5, -38.5, 0.0])
        self.assertEqual(samples[2].position_set, False)
        self.assertTrue(samples[2].emergency)
        self.assertTrue(only(record.read_csv(write(rows_text(HEADER,
                                                             ["0,1,2,1,0,0,0,0,1,1"])))).marked)

    def test_a_recording_of_several_axes_is_read_axis_by_axis(self):
        header = ",".join(record.COLUMNS)
        rows = ["x,0.0000,0,0,0,0,0,0,0,1,0", "y,0.0010,5,0,0,0,0,0,0,1,0",
                "x,0.0125,0.25,20,1,0,0,0,0,1,0", "y,0.0135,5,0,0,0,0,0,0,1,1"]
        recording = record.read_csv(write(rows_text(header, rows)))
        self.assertEqual(list(recording), ["x", "y"])
        self.assertEqual((recording.count, recording.duration), (4, 0.0135))
        self.assertEqual(list(recording["x"].position_mm), [0.0, 0.25])
        self.assertEqual([s.position_set for s in (recording["y"][0], recording["y"][1])],
                         [False, True])
        # The rows are in time order, whichever axis they are of.
        path = write(rows_text(header, rows[:2] + ["x,0.0005,0,0,0,0,0,0,0,1,0"]))
        with self.assertRaises(Refused) as caught:
            record.read_csv(path)
        self.assertIn("%s line 4 is not a sample: its time 0.0005 s lies before" % path,
                      str(caught.exception))

    def test_a_failure_while_drawing_blames_no_controller(self):
        path = write(rows_text(HEADER, ["0.0000,0,0,0,0,0,0,0,1,0"]))
        saved = plot.check, plot.draw
        plot.check = lambda output: None

        def draw(*args):
            raise ValueError("cannot draw this")
        plot.draw = draw
        stderr = io.StringIO()
        try:
            with contextlib.redirect_stderr(stderr):
                code = cli.main(["plot", path, "-o", os.path.join(scratch(), "r.png")])
        finally:
            plot.check, plot.draw = saved
        self.assertEqual(code, 1)
        self.assertEqual(stderr.getvalue(), "qzr-kov: could not draw %s (ValueError: cannot draw "
                                            "this)\n" % path)


class RecorderFlagTest(unittest.TestCase):
    def test_the_first_sample_after_each_setting_of_the_position_is_flagged(self):
        line = SimulatedLine("tool-flag", clock=ScaledClock(20))
        axis = qzr_kov.KOVAxisController(line)
        axis.set_ppmm(1, 100)
        self.addCleanup(axis.close)
        recorder = record.Recorder([("a", Axis(axis, 1))], line.clock, keep=True, period=0.002)
        recorder.start()
        targets = [5.0 * (n % 2 == 0) + n for n in range(1, 25)]
        for target in targets:
            time.sleep(0.005)
            axis.set_position(1, target)
        axis.set_position(2, 99.0)          # another station: no flag here
        recorder.finish()
        # The controller is as it was: the recorder no longer hears of it.
        self.assertNotIn("set_position", vars(axis))
        samples = recorder.samples["a"]
        flagged = [i for i in range(len(samples)) if samples[i].position_set]
        moved = [i for i in range(1, len(samples))
                 if samples[i].position_mm != samples[i - 1].position_mm]
        # Each flag is on the first sample showing the new coordinate; the
        # last sample may show several settings at once.
        self.assertEqual(flagged, moved)
        self.assertEqual(samples[len(samples) - 1].position_mm, targets[-1])
        self.assertGreater(len(flagged), len(targets) // 2)
        self.assertEqual(record._listening, [])


@unittest.skipUnless(HAVE_MATPLOTLIB, NO_MATPLOTLIB)
class PictureTest(ToolCase):
    def test_plot_refuses_a_recording_with_bad_values(self):
        path = write(rows_text(HEADER, ["0.0000,0,0,0,0,0,0,0,1,0", "0.0125,nan,0,1,0,0,0,0,1,0"]))
        result = run_tool("plot", path)
        self.assert_one_line_error(result, 2, "line 3 is not a sample", "nan")
        self.assertNotIn("controller", result.stderr)
        self.assertFalse(os.path.exists(path[:-4] + ".png"))

    def assert_labels_clear_of_the_line(self, figure):
        top = figure.axes[0]
        renderer = figure.canvas.get_renderer()
        points = top.transData.transform(top.lines[0].get_xydata())
        for text in top.texts:
            box = text.get_window_extent(renderer)
            inside = [(x, y) for x, y in points
                      if box.x0 <= x <= box.x1 and box.y0 <= y <= box.y1]
            self.assertEqual(inside, [], text.get_text())

    def assert_scale_fits_and_labels_apart(self, figure, samples):
        """The position's scale runs a little beyond the data, no more; no
        two labels share any part of the picture."""
        top = figure.axes[0]
        positions = [sample.position_mm for sample in samples]
        low, high = min(positions), max(positions)
        margin = (high - low) * plot.SCALE_MARGIN
        self.assertEqual([round(end, 6) for end in top.get_ylim()],
                         [round(low - margin, 6), round(high + margin, 6)])
        renderer = figure.canvas.get_renderer()
        boxes = [(text.get_text(), text.get_window_extent(renderer)) for text in top.texts]
        self.assertGreater(len(boxes), 3)
        for index, (name, box) in enumerate(boxes):
            for other, other_box in boxes[index + 1:]:
                self.assertFalse(box.overlaps(other_box), (name, other))

    def test_a_jump_while_moving_is_no_setting_of_the_coordinate(self):
        # At 20 mm/s one read took 0.3 s (its sample's time is the middle of
        # it), then the axis at rest is set to 0: only the setting counts.
        rows = ["%.4f,%.2f,-20,1,0,0,0,0,1" % (i * 0.0125, -0.25 * i) for i in range(5)]
        rows += ["0.2125,-7.20,-20,1,0,0,0,0,1", "0.3750,-7.50,-20,1,0,0,0,0,1",
                 "0.3875,-7.60,0,0,0,0,0,0,1", "0.4000,-7.60,0,0,0,0,0,0,1",
                 "0.4125,0,0,0,0,0,0,0,1"]
        samples = only(record.read_csv(write(rows_text(OLD_HEADER, rows))))
        self.assertEqual(plot.redefinitions(samples), [len(rows) - 1])

    def test_homing_breaks_the_line_where_the_position_was_set_to_0(self):
        folder = scratch()
        path, picture = os.path.join(folder, "h.csv"), os.path.join(folder, "h.png")
        result = run_tool("home", "--record", path, "--plot", picture, *FAST)
        self.assert_ok(result)
        samples = only(record.read_csv(path))
        flagged = [i for i in range(len(samples)) if samples[i].position_set]
        self.assertEqual(len(flagged), 1)
        at = flagged[0]
        self.assertEqual(samples[at].position_mm, 0.0)
        self.assertLess(samples[at - 1].position_mm, -30.0)
        self.assertEqual(plot.redefinitions(samples), [at])
        # The same recording without the column: the jump no velocity
        # explains is found all the same.
        with open(path) as stream:
            old = [line.split(",", 1)[1].rsplit(",", 1)[0] for line in stream.read().splitlines()]
        samples_old = only(record.read_csv(write("\n".join(old) + "\n", "old.csv")))
        self.assertEqual(plot.redefinitions(samples_old), [at])
        for recording in (samples, samples_old):
            figure = plot.picture(recording)
            top = figure.axes[0]
            xs, ys = top.lines[0].get_xdata(), top.lines[0].get_ydata()
            gap = [i for i, y in enumerate(ys) if y != y]
            self.assertEqual(len(gap), 1)           # the pen lifts once: at the setting
            self.assertLess(ys[gap[0] - 1], -30.0)
            self.assertEqual(ys[gap[0] + 1], 0.0)
            # Named first, even where the last input changes share its label.
            labels = [t.get_text().strip() for t in top.texts]
            self.assertEqual(len([t for t in labels if t.startswith("position set to 0")]), 1,
                             labels)
            self.assertIn("ends at 0 mm", top.get_title(loc="right"))
            self.assert_labels_clear_of_the_line(figure)
            self.assert_scale_fits_and_labels_apart(figure, recording)

    def test_each_axis_of_a_machine_has_its_panels(self):
        folder = scratch()
        path, picture = os.path.join(folder, "m.csv"), os.path.join(folder, "m.png")
        result = run_tool("--machine", EXAMPLE_JSON, "--simulate", "home", "--record", path,
                          "--plot", picture, *FAST)
        self.assert_ok(result)
        self.assertIn("plotted", result.stdout)
        with open(picture, "rb") as stream:
            self.assertEqual(stream.read(8), b"\x89PNG\r\n\x1a\n")
        recording = record.read_csv(path)
        figure = plot.picture(recording, "home")
        self.assertEqual([axes.get_ylabel() for axes in figure.axes],
                         ["%s: %s" % (name, what) for name in ("z", "x", "y")
                          for what in ("position (mm)", "velocity (mm/s)")])
        for index, name in enumerate(recording):
            top = figure.axes[2 * index]
            ys = top.lines[0].get_ydata()
            self.assertEqual(len([y for y in ys if y != y]), 1, name)     # homing's break
            self.assertTrue(top.get_title(loc="left").startswith(name + ": at start"))
            labels = [t.get_text().strip() for t in top.texts]
            self.assertEqual(len([t for t in labels if t.startswith("position set to 0")]), 1)
        # One time axis for all, from the first sample of any.
        self.assertEqual(figure.axes[0].get_xlim(), figure.axes[-1].get_xlim())

    def test_a_long_chattering_recording_is_thinned_and_summarised(self):
        rows = []
        for i in range(200000):
            position = (i % 40000) / 400.0 if i < 190000 else 0.0
            rows.append("%.4f,%g,%g,1,%d,0,%d,0,1,0"
                        % (i / 80.0, position, 8.0 if i < 190000 else 0.0, (i // 3) % 2,
                           i >= 150000))
        samples = only(record.read_csv(write(rows_text(HEADER, rows))))
        figure = plot.picture(samples)
        top = figure.axes[0]
        xs, ys = top.lines[0].get_xdata(), top.lines[0].get_ydata()
        self.assertLess(len(xs), 6 * plot.THIN_BUCKETS)
        # Every reset of the saw (a jump at speed 8 mm/s) is a break, and
        # the thinned line still reaches the top of each tooth.
        self.assertEqual(len([y for y in ys if y != y]), 5)
        self.assertAlmostEqual(max(y for y in ys if y == y), 39999 / 400.0)
        labels = [t.get_text().strip() for t in top.texts]
        self.assertIn("+limit on", labels)
        self.assertTrue(all(len(label) < 80 for label in labels), labels)
        self.assertLessEqual(len(labels), plot.MAX_MARKS)
        self.assertIn("origin changed 66666 times", top.get_title(loc="right"))
        self.assert_labels_clear_of_the_line(figure)
        figure.savefig(os.path.join(scratch(), "long.png"))


if __name__ == "__main__":
    unittest.main()
