"""Pictures of a recording: for each axis, position and velocity against
time, one above the other, with the moments the inputs changed marked and
labelled.

matplotlib draws them, off screen (its Agg renderer, no display needed). It
is optional: without it the tool still records, and only drawing says in
one line how to get it.
"""

import os
import sys

from .failures import EXIT_NO_LINK, NotSaved, Refused, ToolError, describe_exception

#: the picture formats, by file name ending
FORMATS = (".png", ".svg", ".pdf")
FORMATS_TEXT = ".png, .svg or .pdf"
#: how many moments are marked at most; the rest are counted in a note
MAX_MARKS = 40

# flag column: (colour, label when it turns on, label when it turns off).
# The emergency input is normally closed: it turns off when pressed.
MARKS = {
    "running": ("0.45", "motion starts", "motion ends"),
    "origin": ("tab:green", "origin on", "origin off"),
    "negative_limit": ("tab:orange", "-limit on", "-limit off"),
    "positive_limit": ("tab:red", "+limit on", "+limit off"),
    "alarm": ("tab:purple", "alarm on", "alarm off"),
    "emergency": ("tab:brown", "emergency released (input on)",
                  "emergency pressed (input off)"),
}
ORDER = ("running", "origin", "negative_limit", "positive_limit", "alarm", "emergency")
# What the inputs show at the start when they are worth a word.
AT_START = (("running", True, "running"), ("origin", True, "origin on"),
            ("negative_limit", True, "-limit on"), ("positive_limit", True, "+limit on"),
            ("alarm", True, "alarm on"), ("emergency", False, "emergency input off (pressed)"))


def _virtual_environment():
    """None outside a virtual environment; else whether it sees the
    system's site-packages (made with --system-site-packages)."""
    if sys.prefix == getattr(sys, "base_prefix", sys.prefix) and not hasattr(sys, "real_prefix"):
        return None
    try:
        with open(os.path.join(sys.prefix, "pyvenv.cfg"), encoding="utf-8") as stream:
            for line in stream:
                key, _, value = line.partition("=")
                if key.strip() == "include-system-site-packages":
                    return value.strip().lower() == "true"
    except (OSError, ValueError):
        pass
    return False


def how_to_get_matplotlib():
    """Where this interpreter could get matplotlib from, in words."""
    sees_system = _virtual_environment()
    if sees_system is None:
        return ("on Debian get it with 'apt-get install python3-matplotlib' (for the system's "
                "python3)")
    own = "'%s -m pip install matplotlib'" % (sys.executable or "python")
    if sees_system:
        return ("this virtual environment (%s) sees the system's packages: 'apt-get install "
                "python3-matplotlib' serves it if it was made from Debian's /usr/bin/python3; "
                "otherwise install matplotlib into it (%s)" % (sys.prefix, own))
    # Debian's package lands in the system's site-packages, which this
    # virtual environment does not see.
    return ("this is a virtual environment (%s), which does not see the system's packages: "
            "install matplotlib into it (%s), or make it anew with '/usr/bin/python3 -m venv "
            "--system-site-packages' after 'apt-get install python3-matplotlib'"
            % (sys.prefix, own))


def _matplotlib():
    """matplotlib's figure and off-screen canvas, or the one-line reason."""
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as error:
        raise ToolError("plotting needs matplotlib, which %s cannot import (%s); %s; "
                        "recording with --record works without it"
                        % (sys.executable or "this Python", describe_exception(error),
                           how_to_get_matplotlib()),
                        EXIT_NO_LINK)
    return Figure, FigureCanvasAgg


def format_of(path):
    """The picture format named by PATH's ending, or None."""
    ending = os.path.splitext(path)[1].lower()
    return ending[1:] if ending in FORMATS else None


def check(path):
    """Everything that could keep a picture from being drawn to PATH,
    checked before anything moves."""
    if format_of(path) is None:
        raise Refused("the picture %s must end in %s" % (path, FORMATS_TEXT))
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        raise Refused("cannot write the picture %s: there is no folder %s" % (path, folder))
    _matplotlib()


#: the flag columns marked on the picture (position_set is drawn as a break)
INPUTS = ORDER
#: a column that changes more often than this is summarised, not marked
BUSY_CHANGES = 16
#: a label names at most this many changes; the rest are counted
LABEL_MEMBERS = 4
#: points drawn per line at most: beyond, each stretch of samples is drawn
#: by its lowest and highest value (finer than the picture's pixels)
THIN_BUCKETS = 2500
#: seconds between two samples beyond which their difference is not judged
GAP_S = 0.5
#: the time stamps are those of the middle of each read; a move between
#: two samples may last this much longer than the difference of their times
SLACK_S = 0.05
#: the colour and words of a redefinition of the coordinate
REDEFINED_COLOUR = "black"
#: the position's scale runs this share of the data's range beyond it
SCALE_MARGIN = 0.06
#: points between a label and the line of its moment
LABEL_GAP_PT = 2.5
#: share of the panel's height kept between a label and the position line
LABEL_CLEARANCE = 0.02
#: inches of height the picture grows by for each axis after the first
AXIS_HEIGHT_IN = 5.0


def _numpy():
    import numpy
    return numpy


def changes(samples, column):
    """The indices of the samples at which COLUMN changed."""
    np = _numpy()
    values = np.frombuffer(bytes(samples.flags[column]), dtype=np.uint8)
    return np.flatnonzero(values[1:] != values[:-1]) + 1


def redefinitions(samples):
    """The indices i at which the coordinate was redefined between sample
    i-1 and i: the samples flagged position_set, and (for recordings made
    before that flag, or a coordinate set by another program) a jump of
    the position that no velocity nearby explains."""
    np = _numpy()
    times = np.array(samples.time_s)
    position = np.array(samples.position_mm)
    speed = np.abs(np.array(samples.velocity_mm_s))
    found = set()
    if samples.marked:
        flagged = np.frombuffer(bytes(samples.flags["position_set"]), dtype=np.uint8)
        found.update(int(i) for i in np.flatnonzero(flagged) if i > 0)
    if len(times) > 1:
        # The fastest speed seen around each pair of samples, so that a
        # velocity read as 0 on the last pulses of a ramp explains them.
        padded = np.concatenate([speed[:1], speed[:1], speed, speed[-1:]])
        nearby = np.maximum.reduce([padded[k:k + len(speed) - 1] for k in range(4)])
        step = np.diff(times)
        jump = np.abs(np.diff(position))
        allowed = nearby * (step * 1.5 + SLACK_S) + 1e-6 * (1.0 + np.abs(position[1:]))
        # A sample's time is the middle of its read, and on a busy machine a
        # read can take long: its position is of a moment between the times
        # of the samples before and after it. A jump the way the axis moves
        # counts only beyond what it travels from one to the other.
        velocity = np.array(samples.velocity_mm_s)
        ahead = np.sign(np.diff(position)) * np.sign(velocity[1:] + velocity[:-1]) > 0
        around = step + np.concatenate([step[:1], step[:-1]]) + np.concatenate([step[1:], step[-1:]])
        allowed = np.where(ahead, np.maximum(allowed, nearby * (around * 1.5 + SLACK_S)), allowed)
        unexplained = (jump > allowed) & (step <= GAP_S)
        found.update(int(i) + 1 for i in np.flatnonzero(unexplained))
    return sorted(found)


def thinned(times, values, buckets=THIN_BUCKETS):
    """(times, values) with at most 4 * BUCKETS points: of each run of
    samples, the first and last, the lowest and the highest, in order."""
    np = _numpy()
    n = len(times)
    width = -(-n // buckets)
    if width <= 4:
        return times, values
    rows = -(-n // width)
    padded = np.concatenate([values, np.repeat(values[-1:], rows * width - n)])
    padded = padded.reshape(rows, width)
    base = np.arange(rows) * width
    keep = np.concatenate([base, np.minimum(base + width - 1, n - 1),
                           base + padded.argmin(axis=1), base + padded.argmax(axis=1)])
    keep = np.unique(np.clip(keep, 0, n - 1))
    return times[keep], values[keep]


def _broken(times, values, breaks):
    """The line in pieces at the indices BREAKS, each piece thinned, joined by
    NaN (where matplotlib lifts the pen)."""
    np = _numpy()
    xs, ys = [], []
    for start, end in zip([0] + breaks, breaks + [len(times)]):
        # Each piece gets its share of the points.
        buckets = max(1, THIN_BUCKETS * (end - start) // len(times))
        x, y = thinned(times[start:end], values[start:end], buckets)
        xs += [x, [np.nan]]
        ys += [y, [np.nan]]
    return np.concatenate(xs[:-1]), np.concatenate(ys[:-1])


def _grouped(events, span):
    """Changes that lie too close together to be told apart on the picture,
    as groups [(time, [(column, value), ...]), ...]."""
    groups = []
    for when, column, value in events:
        if groups and when - groups[-1][0] <= span * 0.012:
            groups[-1][1].append((column, value))
        else:
            groups.append((when, [(column, value)]))
    return groups


def _label(column, value):
    if column == "position_set":
        return "position set to %s" % _mm(value)
    colour, on, off = MARKS[column]
    return on if value else off


def _group_label(members):
    names = []
    # A setting of the coordinate is named first: never among the "more".
    for member in sorted(members, key=lambda member: member[0] != "position_set"):
        name = _label(*member)
        if name not in names:
            names.append(name)
    if len(names) > LABEL_MEMBERS:
        names = names[:LABEL_MEMBERS] + ["%d more" % (len(names) - LABEL_MEMBERS)]
    # Two names a line: the lines of a standing label stand side by side.
    return " \n ".join(", ".join(names[i:i + 2]) for i in range(0, len(names), 2))


def _mm(value):
    text = "%.3f" % value
    text = text.rstrip("0").rstrip(".") if "." in text else text
    return "0" if text in ("-0", "") else text


def _start_note(first):
    words = [text for column, shown_when, text in AT_START
             if bool(getattr(first, column)) == shown_when]
    return "at start: " + (", ".join(words) if words else "at rest, no input active")


def offset_copy(transform, figure, x, units):
    """TRANSFORM moved by X (in UNITS) on the page."""
    from matplotlib.transforms import offset_copy as moved
    return moved(transform, fig=figure, x=x, y=0, units=units)


def _figure(count):
    """A figure for COUNT axes: 6.5 inches high for one, more for more."""
    Figure, Canvas = _matplotlib()
    size = (10, 6.5 + AXIS_HEIGHT_IN * (count - 1))
    try:
        figure = Figure(figsize=size, dpi=100, layout="constrained")
    except TypeError:   # before matplotlib 3.5
        figure = Figure(figsize=size, dpi=100, constrained_layout=True)
    return figure, Canvas(figure)


def draw(recording, path, title=None):
    """Draw RECORDING (record.Recording, or one axis's record.Samples) to
    PATH, in the format its ending names."""
    figure = picture(recording, title)
    try:
        figure.savefig(path, format=format_of(path))
    except (OSError, ValueError) as error:
        raise NotSaved("cannot write the picture %s (%s)" % (path, describe_exception(error)))


def _by_axis(recording):
    """(name, Samples) for each axis of RECORDING; the name is None for a
    recording of one axis without names."""
    if hasattr(recording, "time_s"):
        return [(None, recording)]
    return list(recording.items())


def picture(recording, title=None):
    """The figure of RECORDING (record.Recording, or one axis's
    record.Samples), ready to be saved: for each axis its position above its
    velocity against the same time."""
    axes = _by_axis(recording)
    figure, canvas = _figure(len(axes))
    panels = figure.subplots(2 * len(axes), 1, sharex=True)
    begin = min(samples.time_s[0] for _, samples in axes)
    end = max(samples.time_s[-1] for _, samples in axes)
    span = max(end - begin, 1e-9)
    panels[-1].set_xlabel("time (s)")
    panels[-1].set_xlim(begin, begin + span * 1.02)   # room for a mark at the end
    placed = []
    for index, (name, samples) in enumerate(axes):
        top, bottom = panels[2 * index], panels[2 * index + 1]
        labels, position = _draw_axis(figure, top, bottom, name, samples, begin, span)
        placed.append((top, labels, position))
    if title:
        figure.suptitle(title, fontsize=11)
    for top, labels, position in placed:
        _fit_scale(top, position)
    for top, labels, position in placed:
        _place_labels(canvas, top, labels)
    return figure


def _draw_axis(figure, top, bottom, name, samples, begin, span):
    """One axis's SAMPLES on its panels TOP (position) and BOTTOM
    (velocity); NAME, if any, heads them. The labels of the moments marked
    and the positions drawn are returned, for the labels to be placed once
    every scale is set."""
    np = _numpy()
    times = np.array(samples.time_s)
    position = np.array(samples.position_mm)
    velocity = np.array(samples.velocity_mm_s)
    breaks = redefinitions(samples)
    top.plot(*_broken(times, position, breaks), color="tab:blue", linewidth=1.4)
    bottom.plot(*thinned(times, velocity), color="tab:blue", linewidth=1.4)
    bottom.axhline(0.0, color="0.6", linewidth=0.8)
    which = "" if name is None else name + ": "
    top.set_ylabel(which + "position (mm)")
    bottom.set_ylabel(which + "velocity (mm/s)")
    for axes in (top, bottom):
        axes.grid(True, color="0.9")

    # Each redefinition: the two ends of the break, and a mark like an input's.
    events = []
    for index in breaks:
        top.plot([times[index - 1], times[index]], [position[index - 1], position[index]],
                 linestyle="none", marker="o", markersize=3.5, markerfacecolor="white",
                 color=REDEFINED_COLOUR)
        events.append((times[index], "position_set", position[index]))
    summaries = []
    for column in INPUTS:
        found = changes(samples, column)
        values = samples.flags[column]
        if len(found) > BUSY_CHANGES:
            summaries.append((column, found))
        else:
            events += [(times[i], column, bool(values[i])) for i in found]
    events.sort(key=lambda event: event[0])
    groups = _grouped(events, span)
    labels = []
    for when, members in groups[:MAX_MARKS]:
        # An input's colour rather than the grey of the running output.
        columns = [column for column, value in members]
        colour = (REDEFINED_COLOUR if "position_set" in columns else
                  MARKS[next((c for c in columns if c != "running"), "running")][0])
        for axes in (top, bottom):
            axes.axvline(when, color=colour, linestyle=":" if colour == REDEFINED_COLOUR
                         else "--", linewidth=0.9)
        # Labels stand beside their line, on the side with room, a little
        # apart from it (so that a sample on the line is not under them).
        side = "left" if when < begin + 0.9 * span else "right"
        beside = offset_copy(top.get_xaxis_transform(), figure,
                             x=LABEL_GAP_PT if side == "left" else -LABEL_GAP_PT, units="points")
        labels.append(top.text(when, 0.97, " %s " % _group_label(members),
                               transform=beside, rotation=90, ha=side, va="top",
                               fontsize=7.5, color=colour, linespacing=1.6,
                               bbox=dict(boxstyle="round,pad=0.15", facecolor="white",
                                         edgecolor="none", alpha=0.75)))
    # Inputs that chatter: one shaded stretch each, from their first change
    # to their last, and their count in the note.
    busy = []
    for column, found in summaries:
        first, last = times[found[0]], times[found[-1]]
        for axes in (top, bottom):
            axes.axvspan(first, last, color=MARKS[column][0], alpha=0.12, linewidth=0)
        busy.append("%s changed %d times" % (column.replace("_", " "), len(found)))
    own = max(times[-1] - times[0], 0.0)
    note = "%d samples over %.3f s, ends at %s mm" % (len(samples), own, _mm(position[-1]))
    if len(groups) > MAX_MARKS:
        note += "; %d more input changes not marked" % (len(groups) - MAX_MARKS)
    if busy:
        note += "\n%s (shaded from the first change to the last)" % ", ".join(busy)
    top.set_title(which + _start_note(samples[0]), loc="left", fontsize=8.5)
    top.set_title(note, loc="right", fontsize=8.5)
    return labels, position


def _fit_scale(axes, position):
    """The position's scale: the data with a margin of SCALE_MARGIN on
    either side."""
    np = _numpy()
    low, high = np.nanmin(position), np.nanmax(position)
    if high - low < 1e-9:
        low, high = low - 1.0, high + 1.0
    margin = SCALE_MARGIN * (high - low)
    axes.set_ylim(low - margin, high + margin)


def _line_range(xs, ys, x0, x1):
    """The lowest and highest point of the drawn line (XS, YS, pieces
    parted by NaN) between x0 and x1, or None where it has none."""
    np = _numpy()
    found = []
    for a, b in zip(range(len(xs) - 1), range(1, len(xs))):
        xa, xb, ya, yb = xs[a], xs[b], ys[a], ys[b]
        if not (np.isfinite(ya) and np.isfinite(yb)) or max(xa, xb) < x0 or min(xa, xb) > x1:
            continue
        for x in (max(min(xa, xb), x0), min(max(xa, xb), x1)):
            found.append(ya if xb == xa else ya + (yb - ya) * (x - xa) / (xb - xa))
    single = np.isfinite(ys) & (xs >= x0) & (xs <= x1)
    found.extend(ys[single])
    return (min(found), max(found)) if found else None


def _place_labels(canvas, axes, labels):
    """Put each label, in turn, where it covers neither the position line
    nor a label put before it: hanging from the top, or else standing on
    the bottom. Where no place is clear of both, one clear of the labels is
    taken, else one clear of the line, else the top. The scale stays as
    it is."""
    if not labels:
        return
    np = _numpy()
    canvas.draw()
    renderer = canvas.get_renderer()
    line = axes.lines[0]
    xs, ys = np.asarray(line.get_xdata(), dtype=float), np.asarray(line.get_ydata(), dtype=float)
    low, high = axes.get_ylim()
    to_data = axes.transData.inverted()
    panel = axes.get_window_extent(renderer)
    placed = []     # pixel boxes (x0, y0, x1, y1) of the labels put so far
    for label in labels:
        box = label.get_window_extent(renderer)
        (x0, _), (x1, _) = to_data.transform([(box.x0 - 1, box.y0), (box.x1 + 1, box.y1)])
        extent = _line_range(xs, ys, min(x0, x1), max(x0, x1))
        height = box.height / panel.height
        places = []
        for y, va in ((0.97, "top"), (0.03, "bottom")):
            start = y - height if va == "top" else y
            pixels = (box.x0, panel.y0 + start * panel.height,
                      box.x1, panel.y0 + (start + height) * panel.height)
            if extent is None:
                clear_of_line = True
            else:
                shown = [(value - low) / (high - low) for value in extent]
                clear_of_line = shown[1] < start - LABEL_CLEARANCE or \
                    shown[0] > start + height + LABEL_CLEARANCE
            clear_of_labels = not any(_overlap(pixels, other) for other in placed)
            places.append((not (clear_of_line and clear_of_labels), not clear_of_labels,
                           not clear_of_line, len(places), y, va, pixels))
        _, _, _, _, y, va, pixels = min(places)
        label.set_y(y)
        label.set_va(va)
        placed.append(pixels)


def _overlap(a, b):
    """Whether the boxes (x0, y0, x1, y1) A and B share more than an edge."""
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]
