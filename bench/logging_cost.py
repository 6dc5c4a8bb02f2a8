"""Cost of one logged command: a master write and one record appended to the
day's file (opened and closed for every record), next to the comparator,
whose handler is the plain-Python one. Then where the time goes.

    QZR_KOV_BUILD=build/cpython-3.11.7 python3 bench/logging_cost.py [--json FILE]
"""
import json
import logging
import sys

import common

common.set_up()

import comparator  # noqa: E402
import qzr_kov  # noqa: E402


def with_handler(handler, statement, names):
    logger = qzr_kov.logger
    original = qzr_kov._file_log_handler
    logger.removeHandler(original)
    logger.addHandler(handler)
    try:
        return common.per_call(statement, names, budget=0.5)
    finally:
        logger.removeHandler(handler)
        logger.addHandler(original)


def main():
    master = common.InstantMaster()
    ours = qzr_kov.KOVAxisController(master)
    theirs = comparator.KOVAxisController(master)
    filename = str(qzr_kov._log_filename)
    python_handler = comparator.FileLogHandler(filename)
    python_handler.setFormatter(qzr_kov._formatter)
    our_handler = qzr_kov._file_log_handler
    record = logging.LogRecord("qzr_kov", logging.INFO, __file__, 1, "Stop station 1", None, None)
    names = {"c": ours, "t": theirs, "r": record, "h": our_handler, "p": python_handler,
             "logger": qzr_kov.logger, "m": master}
    rows = [
        ("stop(1), extension and its handler", with_handler(our_handler, "c.stop(1)", names)),
        ("stop(1), comparator and Python handler", with_handler(python_handler, "t.stop(1)", names)),
        ("logger.info, extension handler", with_handler(our_handler, "logger.info('Stop station 1')",
                                                        names)),
        ("logger.info, Python handler", with_handler(python_handler, "logger.info('Stop station 1')",
                                                     names)),
        ("handler.format(record)", common.per_call("h.format(r)", names)),
        ("emit(record), extension", common.per_call("h.emit(r)", names)),
        ("emit(record), Python", common.per_call("p.emit(r)", names)),
        ("master.set_coil alone", common.per_call("m.set_coil(1, 'R0', True)", names)),
    ]
    print("CPython %s" % common.python_version())
    for name, seconds in rows:
        print("%-42s %8.2f us" % (name, seconds * 1e6))
    ratio = rows[1][1] / rows[0][1]
    print("logged command: %.2fx faster than the comparator" % ratio)
    if "--json" in sys.argv:
        with open(common.json_path(), "w") as f:
            json.dump({"python": common.python_version(), "ratio": ratio,
                       "rows": [[n, s * 1e6] for n, s in rows]}, f, indent=1)


if __name__ == "__main__":
    main()
