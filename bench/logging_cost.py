"""Where the time of a logged command goes, in interleaved rounds: `stop(1)`
with the module's handler against the comparator with the plain-Python
FileLogHandler, the two handlers' emit() on the same record, and what the
module's emit costs beyond formatting the record and appending the line from
C (the system calls alone, with the interpreter lock held throughout and
released once per record).

    QZR_KOV_BUILD=build/cpython-3.11.7 python3 bench/logging_cost.py [--json FILE]
"""
import logging
import sys

import common

common.set_up()

import comparator  # noqa: E402
import qzr_kov  # noqa: E402


def with_handler(handler, run):
    """RUN(number), with HANDLER in place of the module's on its logger for
    the batch (the swap itself is not timed)."""
    def batch(number):
        logger = qzr_kov.logger
        original = qzr_kov._file_log_handler
        logger.removeHandler(original)
        logger.addHandler(handler)
        try:
            return run(number)
        finally:
            logger.removeHandler(handler)
            logger.addHandler(original)
    return batch


def main():
    master = common.InstantMaster()
    ours = qzr_kov.KOVAxisController(master)
    theirs = comparator.KOVAxisController(master)
    python_handler = comparator.FileLogHandler(str(qzr_kov._log_filename))
    python_handler.setFormatter(qzr_kov._formatter)
    our_handler = qzr_kov._file_log_handler
    message = common.logged_message(qzr_kov, lambda: ours.stop(1))
    record = logging.LogRecord(qzr_kov.logger.name, logging.INFO, __file__, 1, message, None, None)
    line = (our_handler.format(record) + "\n").encode("utf-8")
    path = bytes(qzr_kov._log_filename)
    append = common.native().append
    names = {"c": ours, "t": theirs, "r": record, "h": our_handler, "p": python_handler,
             "m": master}
    theirs_stop = common.Contender("stop(1), comparator and Python handler", "t.stop(1)", names)
    theirs_stop.run = with_handler(python_handler, theirs_stop.run)
    contenders = [
        common.Contender("stop(1), module and its handler", "c.stop(1)", names),
        theirs_stop,
        common.Contender("emit(record), module's handler", "h.emit(r)", names),
        common.Contender("emit(record), Python handler", "p.emit(r)", names),
        common.Contender("format(record)", "h.format(r)", names),
        common.Contender("append from C", run=lambda n: common.timed(append, path, line, n)),
        common.Contender("append from C, lock released per record",
                         run=lambda n: common.timed(append, path, line, n, True)),
        common.Contender("master.set_coil alone", "m.set_coil(1, 'R0', True)", names),
    ]
    samples = common.interleaved(contenders)
    emit_beyond = [e - f - a for e, f, a in zip(samples["emit(record), module's handler"],
                                                samples["format(record)"],
                                                samples["append from C"])]
    rows = [[c.name, common.stats(samples[c.name])] for c in contenders]
    out = {
        "python": common.python_version(), "rounds": common.ROUNDS, "message": message,
        "rows": rows,
        # above 1: the module's logged command is faster
        "vs_comparator": common.ratio(samples[contenders[1].name], samples[contenders[0].name]),
        "emit_vs_python": common.ratio(samples[contenders[3].name], samples[contenders[2].name]),
        "emit_beyond_format_and_append": common.stats(emit_beyond),
    }
    print("CPython %s; us, median (min-max) of %d interleaved rounds" % (
        out["python"], common.ROUNDS))
    for name, s in rows + [["emit beyond format and append", out["emit_beyond_format_and_append"]]]:
        print("%-44s %8.2f (%.2f-%.2f)" % (name, s["median"], s["min"], s["max"]))
    print("logged command: %.2fx the comparator's speed; emit %.2fx the Python handler's" % (
        out["vs_comparator"], out["emit_vs_python"]))
    if "--json" in sys.argv:
        common.write_json(out)


if __name__ == "__main__":
    main()
