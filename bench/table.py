"""Renders the benchmark results (bench/results/*.json) as Markdown tables."""
import glob
import json
import os
import platform
import sys
import time


def load(folder, kind):
    out = {}
    for path in sorted(glob.glob(os.path.join(folder, "*-%s.json" % kind))):
        with open(path) as f:
            data = json.load(f)
        out[data["python"]] = data
    return out


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown processor"


def version_key(v):
    return tuple(int(x) for x in v.split("."))


def main(folder):
    per_call = load(folder, "per_call")
    versions = sorted(per_call, key=version_key)
    print("Machine: %s, %d cores, %s; measured %s.\n" % (
        cpu_model(), os.cpu_count() or 0, platform.machine(), time.strftime("%Y-%m-%d")))
    print("Per call, master answering at once. Speed-up = comparator time / extension time "
          "(above 1: the extension is faster); times in microseconds, extension / comparator "
          "/ floor. The logged operations use the module's own handler on both sides; the "
          "next table compares the handlers.\n")
    print("| operation | " + " | ".join("speed-up %s" % v for v in versions) + " | "
          + " | ".join("µs %s" % v for v in versions) + " |")
    print("|---|" + "---:|" * (2 * len(versions)))
    names = [r["operation"] for r in per_call[versions[0]]["rows"]]
    for i, name in enumerate(names):
        rows = [per_call[v]["rows"][i] for v in versions]
        print("| %s | %s | %s |" % (
            name, " | ".join("%.2f×" % r["speedup"] for r in rows),
            " | ".join("%.3f / %.3f / %.3f" % (r["extension_us"], r["comparator_us"],
                                               r["floor_us"]) for r in rows)))
    logging_cost = load(folder, "logging_cost")
    print("\nLogged command (`stop(1)`: one master write, one record appended; the file "
          "opened and closed per record):\n")
    print("| CPython | speed-up | extension µs | comparator µs | format µs | emit µs ext / py |")
    print("|---|---:|---:|---:|---:|---:|")
    for v in sorted(logging_cost, key=version_key):
        r = dict(logging_cost[v]["rows"])
        keys = list(r)
        print("| %s | %.2f× | %.2f | %.2f | %.2f | %.2f / %.2f |" % (
            v, logging_cost[v]["ratio"], r[keys[0]], r[keys[1]], r[keys[4]], r[keys[5]],
            r[keys[6]]))
    waiting = load(folder, "waiting")
    print("\nWaiting on the simulated line, 2 ms per exchange (CPU beyond a bare polling loop "
          "doing the same exchanges and sleeps, in % of one core; medians of 3 runs; the end of "
          "the move seen after the station stopped, median and worst of the 3):\n")
    print("| CPython | move: CPU beyond | move: end seen after | homing: CPU beyond | homing found |")
    print("|---|---:|---:|---:|---|")
    for v in sorted(waiting, key=version_key):
        m, h = waiting[v]["move"], waiting[v]["homing"]
        print("| %s | %.2f %% | %.1f ms (worst %.1f) | %.2f %% | %s |" % (
            v, m["beyond_percent"], m["seen_late_ms"], m.get("seen_late_ms_max", m["seen_late_ms"]),
            h["beyond_percent"], h["found"]))
    scale = load(folder, "scale")
    print("\n32 stations homing at once, one line, 2 ms per exchange:\n")
    print("| CPython | homed | wall s | exchanges | line busy | poll period per worker (median, min–max) |")
    print("|---|---:|---:|---:|---:|---|")
    for v in sorted(scale, key=version_key):
        s = scale[v]
        print("| %s | %d/%d | %.1f | %d | %.0f %% | %.0f ms (%.0f–%.0f) |" % (
            v, s["succeeded"], s["stations"], s["wall_s"], s["exchanges"],
            s["line_busy_percent"], s["poll_period_ms_median"], s["poll_period_ms_min"],
            s["poll_period_ms_max"]))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "results"))
