"""Renders the benchmark results (bench/results/*.json) as Markdown.

    python3 bench/table.py [RESULTS] [--times] [--baseline OLD_RESULTS] [--readme FILE]

--times adds the per-interpreter tables of times (median and min-max over
the rounds); --baseline adds the module's times against those of another
results folder (for "nothing slower than before": results of the previous
build, measured the same way); --readme FILE puts the tables (without the
times) into FILE between the two marker lines instead of printing them."""
import glob
import json
import os
import sys

MASTERS = (("python", "Py"), ("native", "C"))
READ = "one-call read"
LOGGED = "logged"


def load(folder, kind):
    out = {}
    for path in sorted(glob.glob(os.path.join(folder, "*-%s.json" % kind))):
        with open(path) as f:
            data = json.load(f)
        out[data["python"]] = data
    return out


def version_key(v):
    return tuple(int(x) for x in v.split("."))


def versions_of(results):
    return sorted(results, key=version_key)


def x(value):
    return "%.2f×" % value


def us(s, digits=3):
    return "%.*f" % (digits, s["median"])


def us_range(s, digits=3):
    return "%.*f (%.*f–%.*f)" % (digits, s["median"], digits, s["min"], digits, s["max"])


def pair(row, key, fmt=x):
    """'py / C' of ROW[master][key]; one figure where only one was measured."""
    return " / ".join(fmt(row[m][key]) for m, _ in MASTERS if m in row)


def header(all_results):
    stamps, machines, loads = [], set(), []
    for results in all_results:
        for v, data in results.items():
            if "measured" in data:
                stamps.append(data["measured"])
                machines.add(data["machine"])
            if data.get("load_at_start"):
                loads.append(data["load_at_start"][0])
    if not stamps:
        return "Machine and date not recorded.\n"
    text = "Machine: %s; measured %s" % (", ".join(sorted(machines)), min(stamps)[:10])
    if max(stamps)[:10] != min(stamps)[:10]:
        text += " to %s" % max(stamps)[:10]
    if loads:
        text += "; load average at the start of each benchmark %.1f to %.1f" % (min(loads),
                                                                               max(loads))
    return text + ".\n"


def ratios(per_call):
    versions = versions_of(per_call)
    rounds = sorted({per_call[v].get("rounds", 0) for v in versions})
    out = ["Per operation, masters answering at once: Py = the Python `InstantMaster`, C = the "
           "compiled one. **vs comparator** = comparator time ÷ module time (above 1: the module "
           "is faster). **vs ceiling** = ceiling time ÷ module time (1: the module is at its "
           "ceiling, below 1 it is slower; for one-call reads the target is 0.90 or more, for "
           "logged commands the ceiling is the composed floor and the target 0.91, that is "
           "within 1.10× of it). Medians of the round-by-round ratios over %s interleaved "
           "rounds. Operations that make no master call are measured once, with no master "
           "involved.\n" % "/".join(str(r) for r in rounds),
           "| operation | kind | " + " | ".join(
               "vs comparator %s | vs ceiling %s" % (v, v) for v in versions) + " |",
           "|---|---|" + "---:|" * (2 * len(versions))]
    for name, kind in operations(per_call):
        cells = []
        for v in versions:
            r = row_of(per_call[v], name)
            cells.append("%s | %s" % (pair(r, "vs_comparator"), pair(r, "vs_ceiling"))
                         if r else "– | –")
        out.append("| %s | %s | %s |" % (name, kind, " | ".join(cells)))
    return "\n".join(out) + "\n"


def operations(per_call):
    """(name, kind) of every operation measured, in the order measured."""
    seen = []
    for v in versions_of(per_call):
        for row in per_call[v]["rows"]:
            if (row["operation"], row["kind"]) not in seen:
                seen.append((row["operation"], row["kind"]))
    return seen


def row_of(results, name):
    for row in results["rows"]:
        if row["operation"] == name:
            return row
    return None


def times(per_call):
    out = []
    for v in versions_of(per_call):
        out += ["\nCPython %s, µs per call, median (min–max) over the rounds; the ceiling of a "
                "logged command is its composed floor; master = the master calls the operation "
                "makes, made directly:\n" % v,
                "| operation | master | module | comparator | ceiling | master calls |",
                "|---|---|---:|---:|---:|---:|"]
        for row in per_call[v]["rows"]:
            for m, label in MASTERS:
                if m not in row:
                    continue
                d = row[m]
                out.append("| %s | %s | %s | %s | %s | %s |" % (
                    row["operation"] if m == "python" else "", label, us_range(d["module"]),
                    us_range(d["comparator"]), us_range(d["ceiling"]),
                    us_range(d["master"]) if "master" in d else "–"))
    return "\n".join(out) + "\n"


def floors(per_call):
    out = ["Logged commands against their composed floor: module time ÷ floor (target: 1.10× or "
           "less on 3.11 and 3.13). The floor is a logger call up to a handler whose emit does "
           "nothing, plus formatting a like record, plus appending the line with "
           "open/write/close from C, each timed in a loop of its own; the master calls (well "
           "under 1 %) are not in it. The sequence is the same three parts one after the other "
           "in one loop, where each meets the caches and processor state the others leave "
           "(after a system call the code that follows runs slower): the least the module "
           "could reach in practice. µs, medians.\n",
           "| CPython | operation | module ÷ floor Py / C | module µs Py / C | floor µs | "
           "= logging + format + append | module ÷ sequence Py / C | sequence µs |",
           "|---|---|---:|---:|---:|---|---:|---:|"]
    for v in versions_of(per_call):
        for row in per_call[v]["rows"]:
            if row["kind"] != LOGGED:
                continue
            f = row["floor"]
            sequence = f.get("sequence")
            out.append("| %s | %s | %s | %s | %s | %s + %s + %s | %s | %s |" % (
                v, row["operation"], pair(row, "over_floor"),
                pair(row, "module", lambda s: us(s, 2)), us(f["composed"], 2),
                us(f["logging"], 2), us(f["format"], 2), us(f["append"], 2),
                pair(row, "over_sequence") if sequence else "–",
                us(sequence, 2) if sequence else "–"))
    return "\n".join(out) + "\n"


def targets(per_call):
    """One line per target: met or not, and the worst case."""
    lines = []

    def worst(versions, kinds, key, better_high, limit):
        found = []
        for v in versions:
            if v not in per_call:
                continue
            for row in per_call[v]["rows"]:
                if row["kind"] in kinds:
                    for m, label in MASTERS:
                        if m in row:
                            found.append((row[m][key], "%s %s %s" % (v, row["operation"], label)))
        if not found:
            return "not measured"
        value, where = (min if better_high else max)(found)
        met = value >= limit if better_high else value <= limit
        return "%s (worst %s: %s)" % ("met" if met else "**not met**", where, x(value))

    present = versions_of(per_call)
    by_minor = {".".join(v.split(".")[:2]): v for v in present}
    pick = lambda minors: [by_minor[m] for m in minors if m in by_minor]  # noqa: E731
    lines.append("- Logged commands within 1.10× of their composed floor on 3.11 and 3.13: "
                 + worst(pick(["3.11", "3.13"]), [LOGGED], "over_floor", False, 1.10))
    lines.append("- One-call reads within 0.90× of their ceiling on 3.6, 3.11 and 3.13: "
                 + worst(pick(["3.6", "3.11", "3.13"]), [READ], "vs_ceiling", True, 0.90))
    kinds = sorted({row["kind"] for v in present for row in per_call[v]["rows"]})
    lines.append("- On 3.6 no operation slower than the comparator with either master: "
                 + worst(pick(["3.6"]), kinds, "vs_comparator", True, 1.0))
    return "Targets, from the figures above:\n\n" + "\n".join(lines) + "\n"


def baseline(per_call, old):
    out = ["Module against the baseline results: baseline time ÷ time now, medians (below 1: "
           "slower than the baseline; the two were measured in separate runs, so only "
           "differences beyond the min–max spread mean anything).\n"]
    versions = [v for v in versions_of(per_call) if v in old]
    out += ["| operation | " + " | ".join("%s Py / C" % v for v in versions) + " |",
            "|---|" + "---:|" * len(versions)]
    for name, _ in operations(per_call):
        cells = []
        for v in versions:
            now, before = row_of(per_call[v], name), row_of(old[v], name)
            if now is None or before is None:
                cells.append("–")
                continue
            cells.append(" / ".join(
                x(before[m]["module"]["median"] / now[m]["module"]["median"])
                for m, _ in MASTERS if m in now and m in before))
        out.append("| %s | %s |" % (name, " | ".join(cells)))
    return "\n".join(out) + "\n"


def logging_table(logging_cost):
    out = ["Where a logged command's time goes (`stop(1)`; µs, medians over interleaved rounds): "
           "the module with its handler against the comparator with the plain-Python "
           "FileLogHandler (speed-up = comparator ÷ module), each handler's emit() of the same "
           "record, what the module's emit costs beyond formatting the record and appending "
           "the line from C, and the append from C with the interpreter lock held throughout "
           "or released once per record.\n",
           "| CPython | speed-up | module µs | comparator µs | emit µs module / Python | "
           "module's emit beyond format + append µs | append µs lock held / released |",
           "|---|---:|---:|---:|---:|---:|---:|"]
    for v in versions_of(logging_cost):
        d = logging_cost[v]
        r = {name: s for name, s in d["rows"]}
        out.append("| %s | %s | %s | %s | %s / %s | %s | %s / %s |" % (
            v, x(d["vs_comparator"]), us(r["stop(1), module and its handler"], 2),
            us(r["stop(1), comparator and Python handler"], 2),
            us(r["emit(record), module's handler"], 2), us(r["emit(record), Python handler"], 2),
            us(d["emit_beyond_format_and_append"], 2), us(r["append from C"], 2),
            us(r["append from C, lock released per record"], 2)))
    return "\n".join(out) + "\n"


def waiting_table(waiting):
    if not waiting:
        return ""
    any_ = waiting[versions_of(waiting)[0]]
    out = ["Waiting. CPU per poll of the waiting thread alone (its CPU clock), instant master "
           "whose Y1 stays on for %d polls, less a wait that ends at the first read: with the "
           "real 10 ms sleeps, and over %d polls with a sleep that returns at once (the wait's "
           "own work). Then the time from the simulated station stopping (its own record of the "
           "stop) to the wait returning, %g ms per exchange, over %d short moves; homing: from "
           "the stop on the origin to `wait_for_find_o_finish` returning. Medians (max).\n" % (
               any_["polls"], any_["instant_polls"], any_["exchange_ms"], any_["moves"]),
           "| CPython | CPU µs per poll, 10 ms sleeps: module / comparator / bare loop | "
           "work µs per poll: module / comparator / bare loop | stopped → returned ms: module / "
           "comparator / bare loop | homing ms | homed |",
           "|---|---:|---:|---:|---:|---|"]
    names = ("module", "comparator", "bare loop")
    for v in versions_of(waiting):
        d = waiting[v]
        cpu, work, lat = d["cpu_per_poll_us"], d["work_per_poll_us"], d["move_latency_ms"]
        h = d["homing_latency_ms"]
        out.append("| %s | %s | %s | %s | %.1f (%.1f) | %d/%d |" % (
            v, " / ".join("%.1f" % cpu[n]["median"] for n in names),
            " / ".join("%.3f" % work[n]["median"] for n in names),
            " / ".join("%.1f (%.1f)" % (lat[n]["median"], lat[n]["max"]) for n in names),
            h["median"], h["max"], h["found"], h["runs"]))
    return "\n".join(out) + "\n"


def scale_table(scale):
    out = ["Line-saturation check: 32 stations homing at once on one simulated line, 2 ms per "
           "exchange (the line, not the module, is the limit):\n",
           "| CPython | homed | wall s | exchanges | line busy | poll period per worker "
           "(median, min–max) |",
           "|---|---:|---:|---:|---:|---|"]
    for v in versions_of(scale):
        s = scale[v]
        out.append("| %s | %d/%d | %.1f | %d | %.0f %% | %.0f ms (%.0f–%.0f) |" % (
            v, s["succeeded"], s["stations"], s["wall_s"], s["exchanges"],
            s["line_busy_percent"], s["poll_period_ms_median"], s["poll_period_ms_min"],
            s["poll_period_ms_max"]))
    return "\n".join(out) + "\n"


def render(folder, with_times=False, baseline_folder=None):
    per_call = load(folder, "per_call")
    logging_cost = load(folder, "logging_cost")
    waiting = load(folder, "waiting")
    scale = load(folder, "scale")
    parts = [header([per_call, logging_cost, waiting, scale])]
    if per_call:
        parts += [ratios(per_call), floors(per_call), targets(per_call)]
    if logging_cost:
        parts.append(logging_table(logging_cost))
    if waiting:
        parts.append(waiting_table(waiting))
    if scale:
        parts.append(scale_table(scale))
    if baseline_folder and per_call:
        parts.append(baseline(per_call, load(baseline_folder, "per_call")))
    if with_times and per_call:
        parts.append(times(per_call))
    return "\n".join(parts)


BEGIN = "<!-- figures: written by bench/table.py --readme -->"
END = "<!-- end of figures -->"


def into_readme(path, text):
    with open(path, encoding="utf-8") as f:
        readme = f.read()
    if BEGIN not in readme or END not in readme:
        raise SystemExit("%s: no %r ... %r markers" % (path, BEGIN, END))
    head, rest = readme.split(BEGIN, 1)
    _, tail = rest.split(END, 1)
    with open(path, "w", encoding="utf-8") as f:
        f.write(head + BEGIN + "\n\n" + text + "\n" + END + tail)


def main(argv):
    args = list(argv[1:])
    readme = None
    if "--readme" in args:
        i = args.index("--readme")
        readme = args[i + 1]
        del args[i:i + 2]
    with_times = "--times" in args
    if with_times:
        args.remove("--times")
    old = None
    if "--baseline" in args:
        i = args.index("--baseline")
        old = args[i + 1]
        del args[i:i + 2]
    folder = args[0] if args else os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                               "results")
    text = render(folder, with_times, old)
    if readme:
        into_readme(readme, text)
    else:
        sys.stdout.write(text)


if __name__ == "__main__":
    main(sys.argv)
