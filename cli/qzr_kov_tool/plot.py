"""Pictures of a recording: position and velocity against time, one above
the other, with the moments the inputs changed marked and labelled.

matplotlib draws them, off screen (its Agg renderer, no display needed). It
is optional: without it the tool still records, and only drawing says in
one line how to get it.
"""

import os
import sys

from .errors import EXIT_NO_LINK, Refused, ToolError, describe_exception

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


def changes(rows):
    """(time, column, new value) for every change of a flag column."""
    found = []
    for before, after in zip(rows, rows[1:]):
        for column in ORDER:
            value = getattr(after, column)
            if value != getattr(before, column):
                found.append((after.time_s, column, value))
    return found


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
    colour, on, off = MARKS[column]
    return on if value else off


def _start_note(first):
    words = [text for column, shown_when, text in AT_START
             if bool(getattr(first, column)) == shown_when]
    return "at start: " + (", ".join(words) if words else "at rest, no input active")


def draw(rows, path, title=None):
    """Draw ROWS (samples) to PATH, in the format its ending names."""
    Figure, Canvas = _matplotlib()
    try:
        figure = Figure(figsize=(10, 6.5), dpi=100, layout="constrained")
    except TypeError:   # before matplotlib 3.5
        figure = Figure(figsize=(10, 6.5), dpi=100, constrained_layout=True)
    Canvas(figure)
    top, bottom = figure.subplots(2, 1, sharex=True)
    times = [row.time_s for row in rows]
    top.plot(times, [row.position_mm for row in rows], color="tab:blue", linewidth=1.4)
    bottom.plot(times, [row.velocity_mm_s for row in rows], color="tab:blue", linewidth=1.4)
    bottom.axhline(0.0, color="0.6", linewidth=0.8)
    top.set_ylabel("position (mm)")
    bottom.set_ylabel("velocity (mm/s)")
    bottom.set_xlabel("time (s)")
    span = max(times[-1] - times[0], 1e-9)
    bottom.set_xlim(times[0], times[0] + span * 1.02)   # room for a mark at the end
    for axes in (top, bottom):
        axes.grid(True, color="0.9")
    # Room above the position for the labels of the marks.
    low, high = top.get_ylim()
    top.set_ylim(low, high + 0.25 * (high - low))

    groups = _grouped(changes(rows), span)
    for when, members in groups[:MAX_MARKS]:
        # An input's colour rather than the grey of the running output.
        colour = MARKS[next((column for column, value in members if column != "running"),
                            "running")][0]
        for axes in (top, bottom):
            axes.axvline(when, color=colour, linestyle="--", linewidth=0.9)
        # Labels stand beside their line, on the side with room.
        side = "left" if when < times[0] + 0.9 * span else "right"
        top.text(when, 0.97, " %s " % ", ".join(_label(*member) for member in members),
                 transform=top.get_xaxis_transform(), rotation=90, ha=side, va="top",
                 fontsize=7.5, color=colour,
                 bbox=dict(boxstyle="round,pad=0.15", facecolor="white", edgecolor="none",
                           alpha=0.75))
    note = "%d samples over %.3f s" % (len(rows), span)
    if len(groups) > MAX_MARKS:
        note += "; %d more input changes not marked" % (len(groups) - MAX_MARKS)
    top.set_title(_start_note(rows[0]), loc="left", fontsize=8.5)
    top.set_title(note, loc="right", fontsize=8.5)
    if title:
        figure.suptitle(title, fontsize=11)
    try:
        figure.savefig(path, format=format_of(path))
    except (OSError, ValueError) as error:
        raise ToolError("cannot write the picture %s (%s)" % (path, describe_exception(error)))
