"""Instructions per logged command, counted by callgrind: the one repeatable
measure of the log path on a busy machine. Runs `stop(1)` on an instant
Python master in two child interpreters under `valgrind --tool=callgrind`
(PYTHONHASHSEED=0), one doing FEW and one doing MANY calls after the same
warm-up, and reports (instructions of MANY - those of FEW) / (MANY - FEW):
start-up and warm-up cancel out. Instructions spent in the kernel are not
counted (callgrind sees user space only).

    QZR_KOV_BUILD=build/cpython-3.11.7 python3 bench/log_instructions.py [FEW MANY]
"""
import os
import re
import subprocess
import sys
import tempfile

import common

CHILD = """
import sys
import common
common.set_up()
import qzr_kov
controller = qzr_kov.KOVAxisController(common.InstantMaster())
for _ in range(200):
    controller.stop(1)
for _ in range(int(sys.argv[1])):
    controller.stop(1)
"""


def instructions(calls, folder):
    out = os.path.join(folder, "callgrind.%d" % calls)
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=common.HERE)
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                    sys.executable, "-c", CHILD, str(calls)],
                   env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(out) as f:
        for line in f:
            match = re.match(r"(?:summary|totals): (\d+)", line)
            if match:
                return int(match.group(1))
    raise RuntimeError("no totals in " + out)


def main():
    few, many = (int(a) for a in sys.argv[1:3]) if len(sys.argv) > 2 else (1000, 3000)
    folder = tempfile.mkdtemp(prefix="qzr_kov-callgrind-")
    counts = {n: instructions(n, folder) for n in (few, many)}
    per_call = (counts[many] - counts[few]) / (many - few)
    print("CPython %s: %.0f instructions per logged stop(1) (%d and %d calls)" % (
        common.python_version(), per_call, few, many))


if __name__ == "__main__":
    main()
