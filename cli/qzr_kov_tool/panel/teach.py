"""Teaching positions: the current position of an axis saved under a name
in the machine file's taught file (``machine.toml`` -> ``machine.taught.json``,
``qzr_kov_motion.description.taught_path``), which ``load_description`` reads
with the file, so that the machine, ``qzr-kov check`` and every later run
know it. The machine file itself is never written.

The taught file is written whole: what it held, with the new position,
checked as ``load_description`` will check it, into a temporary file beside
it that is flushed to the disk and then put in its place (``os.replace``),
so that it is always either the old file or the new one. A position taught
before keeps its value unless the caller asks to replace it.
"""

import json
import os
import tempfile


class Refused(Exception):
    """A teach refused: CODE is the HTTP status (409: the name is taken,
    422: the machine's checks refused it), the text why."""

    def __init__(self, code, text):
        Exception.__init__(self, text)
        self.code = code


def coordinate(controller, station, mm):
    """The position MM (count / ppmm, as the station reads it) written so
    that a move to it ends on the same count: the module truncates
    ``mm * ppmm`` toward zero, and 12.345 mm at 200 pulses/mm is
    2468.9999999999995 pulses; the nearest floats away from zero are
    tried."""
    count = int(round(mm * controller.ppmm(station)))
    value = mm
    for _ in range(64):
        if controller.to_pulse(station, value) == count:
            return value
        step = max(abs(value) * 2.0 ** -52, 5e-324)
        value = value + step if (count > 0) == (controller.ppmm(station) > 0) else value - step
    return mm


def read(path):
    """What the taught file PATH holds (an empty one if there is none)."""
    from qzr_kov_motion import MachineError, description
    if not os.path.lexists(path):
        return {"axes": {}}
    try:
        with open(path, "rb") as f:
            raw = f.read(description.MAX_FILE_SIZE + 1)
        data = json.loads(raw.decode("utf-8"))
    except (OSError, ValueError) as error:
        raise Refused(422, "cannot read %s (%s: %s): mend it or move it away first"
                      % (description.printable(path), type(error).__name__, error))
    if not isinstance(data, dict) or not isinstance(data.get("axes"), dict):
        raise MachineError("%s: not a file of taught positions" % description.printable(path))
    return data


def save(machine_path, axis, name, mm, replace=False):
    """Saves MM as the position NAME of AXIS (names) in the taught file of
    MACHINE_PATH; returns that file's path. Refused (409) if NAME is a
    position already (of the machine file, or taught unless REPLACE);
    Refused (422) for what the description's checks refuse; OSError if the
    file cannot be written (the old one stays)."""
    from qzr_kov_motion import MachineError, description
    path = description.taught_path(machine_path)
    try:
        data = read(path)
        taught = data["axes"].setdefault(axis, {}).setdefault("positions", {})
        if not isinstance(taught, dict):
            raise MachineError("%s: axes.%s.positions: not a table" % (path, axis))
        if name in taught and not replace:
            raise Refused(409, "%s has a taught position %s already (%r mm): give "
                               "\"replace\": true to replace it" % (axis, name, taught[name]))
        own = description.load_description(machine_path).axes[axis].positions
        if name in own and name not in taught:
            raise Refused(409, "%s is a position of %s: a taught one takes a name of its own "
                               "(the file is not written)"
                          % (name, description.printable(machine_path)))
        taught[name] = mm
        description.check_taught(machine_path, data)
    except MachineError as error:
        raise Refused(422, str(error))
    text = json.dumps(data, indent=2, allow_nan=False) + "\n"
    if len(text.encode("utf-8")) > description.MAX_FILE_SIZE:
        raise Refused(422, "%s would hold more than %d bytes, the most a description may"
                      % (description.printable(path), description.MAX_FILE_SIZE))
    write(path, text)
    return path


def write(path, text):
    """TEXT as the file PATH, atomically: a temporary file beside it,
    synced, then renamed over it; the folder synced too."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=".taught-", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        try:
            mode = os.stat(path).st_mode & 0o777      # the old file's
        except OSError:
            mode = 0o644
        os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    try:
        directory = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(directory)
    except OSError:
        pass
    finally:
        os.close(directory)
