#!/usr/bin/env bash
# Runs a representative workload under valgrind's memcheck: controllers
# made and configured, moves, status, homing by both methods, failures on
# the line and in the arguments, the log handler, closing and destruction.
# The module is built with debug information; Python's own allocator is
# switched off (PYTHONMALLOC=malloc) so every object is checked. The
# interpreter's own findings are not ours: the run fails on an invalid
# access, a use of uninitialised memory or a definitely lost block whose
# stack passes through the module's library.
#
#   .ci/valgrind.sh [python]      (default: pyenv's 3.11.7, else python3)
#   QZR_KOV_CI_LIMIT=seconds      time limit of the valgrind run (default 900)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

source .ci/packages.sh
install_missing cmake ninja-build g++ valgrind coreutils

python=${1:-${PYENV_ROOT:-$HOME/.pyenv}/versions/3.11.7/bin/python3}
if [ ! -x "$python" ]; then
    install_missing python3-dev
    python=$(command -v python3)
fi
version=$("$python" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
build="$root/build/cpython-$version-valgrind"
start=$(date +%s)
mkdir -p "$build"
cmake -S "$root" -B "$build" -G Ninja -DPython3_EXECUTABLE="$python" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build/build.log" 2>&1 \
    && cmake --build "$build" >>"$build/build.log" 2>&1 \
    || { tail -n 30 "$build/build.log"; exit 1; }
library=$(cd "$build" && ls qzr_kov*.so)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/workload.py" <<'PY'
import gc
import logging
import sys
import threading

import qzr_kov
import qzr_kov_sim
from qzr_kov_sim import CommunicationError, SimulatedLine, VirtualClock

Direction, StopSource, FindingOMethod = qzr_kov.Direction, qzr_kov.StopSource, qzr_kov.FindingOMethod
clock = VirtualClock(yield_time=0)
qzr_kov._sleep, qzr_kov._now = clock.sleep, clock.time
qzr_kov_sim.set_line_factory(
    lambda port, baudrate: SimulatedLine(port, baudrate=baudrate, clock=clock,
                                         layout={"physical_position": 3000}))


def expect(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError("%r did not raise %s" % (call, error.__name__))


c = qzr_kov.KOVAxisController("sim-1", 57600)
line = qzr_kov_sim.lines["sim-1"]
for s in (1, 2, 3):
    c.set_ppmm(s, 10)
    c.set_parameters(s, 50.0, 500.0, 0.05)
    c.set_start_velocity(s, 20)
    c.set_velocity(s, 400.0)
    c.set_acceleration_time(s, 0.02)
    c.enable_axis(s)
    c.disable_alarm(s)
    c.enable_alarm(s)
    c.origin_rising_valid(s, False)
    c.reverse_direction_output(s, False)
    c.enable_positive_limit(axis=s)
    c.enable_negative_limit(s)
    c.enable_emergency(s)
    assert c.negative_limit_is_disabled(s) is False

for s in (1, 2, 3):
    c.locate_absolutely(s, 10.0 * s)
    c.wait_for_locating_done(s, 30)
    c.locate_relatively(s, -2.5)
    c.wait_for_locating_done(s)
    c.locate_relatively(s)
    c.wait_for_locating_done(s)
    words = c.status_words(s)
    assert c.get_position(s) == words[0]
    for predicate in (c.is_alarming, c.is_running, c.at_o, c.at_positive_limit,
                      c.at_negative_limit, c.at_emergency):
        predicate(s)
        predicate(s, words)
    c.get_stop_source(s)
    c.get_coil(s, "X0")
    c.set_coil(s, "R20", True)
    c.get_coil_uint16(s, "R20")
    c.set_coil_uint16(s, "R20", 0)
    c.run_positive(s)
    c.stop(s)
    clock.advance(5)
    c.set_position(s, 1.5)
    c.set_here_o(s)

# Homing, both methods, several stations at once.
for method in (FindingOMethod.LimitFirstThenBackward, FindingOMethod.OriginOnly):
    c.finding_o_method = method
    for s in (1, 2, 3):
        c.find_o(s, 100.0, 2000.0, 0.1, Direction.Negative if s % 2 else Direction.Positive)
    assert [c.wait_for_find_o_finish(s, 60) for s in (1, 2, 3)] == [True] * 3, "homing failed"

# Failures: on the line, in arguments, in the homing worker.
line.fail_on("set_coil", CommunicationError("down"))
expect(CommunicationError, c.stop, 1)
line.fail_randomly(0.3, seed=4)
for i in range(200):
    try:
        c.locate_absolutely(1, float(i % 7))
        c.status_words(2)
        c.is_running(3)
    except CommunicationError:
        pass
c.find_o(1, 100.0, 2000.0, 0.1)
c._find_o_threads[1].join()
line.clear_faults()
c.wait_for_find_o_finish(1)
expect(TypeError, c.set_velocity, 1, "fast")
expect(TypeError, c.get_coil, 1, b"R0")
expect(TypeError, c.stop)
expect(TypeError, c.stop, 1, 2)
expect(TypeError, c.enable_positive_limit, station=1)
expect(AssertionError, setattr, c, "finding_o_method", 1)
expect(ValueError, c.wait_for_find_o_finish, 5)
expect(IndexError, c.at_o, 1, [1])
expect(OverflowError, c.to_pulse, 1, float("inf"))
line.station(1).moving  # bring the station up to date
line.script("get_coil", True, True, True, name="Y1")
expect(TimeoutError, c.wait_for_locating_done, 1, 0.015)
line.script("get_int32", 9, name="D20")
expect(ValueError, c.get_stop_source, 1)
c.disable_negative_limit(1)
c.finding_o_method = FindingOMethod.LimitFirstThenBackward
expect(AssertionError, c.find_o, 1, 1.0, 2.0, 0.0)
c.enable_negative_limit(1)

# Application threads next to a homing worker.
c.find_o(3, 100.0, 2000.0, 0.1)
threads = [threading.Thread(target=lambda s=s: [c.status_words(s) for _ in range(50)])
           for s in (4, 5, 6, 7)]
for t in threads:
    t.start()
for t in threads:
    t.join()
assert c.wait_for_find_o_finish(3) is True

# The log handler and the enumerations.
handler = qzr_kov.FileLogHandler("extra.log")
handler.setFormatter(logging.Formatter("%(message)s"))
handler.emit(logging.LogRecord("x", logging.INFO, __file__, 1, "text %s", ("中文",), None))
expect(TypeError, qzr_kov.FileLogHandler, b"x.log")
assert Direction.Positive.reverse() is Direction.Negative

# Lifecycle: close with a result outstanding, forced close, open again,
# destruction with and without an uncollected result.
c.find_o(2, 100.0, 2000.0, 0.1)
c._find_o_threads[2].join()
expect(RuntimeError, c.close)
c.close(force=True)
expect(AttributeError, c.stop, 1)
c.wait_for_find_o_finish(2) if False else c._find_o_threads.clear()
c.open("sim-2")
c.stop(1)
c.close()
d = qzr_kov.KOVAxisController(SimulatedLine("sim-3", clock=clock))
d.stop(1)
del d
e = qzr_kov.KOVAxisController(None)
e._find_o_threads[1] = None      # destroyed with a result outstanding: reported, ignored
del e
gc.collect()
print("workload done")
PY

log="$build/valgrind.log"
status=0
(cd "$work" && PYTHONMALLOC=malloc PYTHONPATH="$build:$root/sim:$root/sim/stand_in" \
    timeout --kill-after=30 "${QZR_KOV_CI_LIMIT:-900}" \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
        --errors-for-leak-kinds=definite --num-callers=40 --track-origins=yes \
        --fullpath-after= \
        --log-file="$log" "$python" workload.py) >"$work/out.txt" 2>&1 || status=$?
if [ "$status" -ne 0 ] || ! grep -q "^workload done$" "$work/out.txt"; then
    echo "the workload failed under valgrind (exit $status):"
    tail -n 40 "$work/out.txt"
    exit 1
fi

# Each report is a block of lines starting "==pid== " up to an empty one.
# Frames with debug information show the source file, others the library.
# A leak is ours when its allocation passes through the module; any other
# report when one of its innermost three frames is in the module.
ours=$(awk -v lib="$library" -v src="$root/src/" '
    function in_module(line) { return index(line, lib) || index(line, src) }
    function judge() {
        if (block ~ /definitely lost/ && mine_any) { print block; n++ }
        else if (block ~ /(Invalid|uninitialised|Mismatched|overlap)/ && mine_top) { print block; n++ }
        block = ""; frames = 0; mine_any = 0; mine_top = 0
    }
    /^==[0-9]+== $/ { judge(); next }
    /^==[0-9]+== +(at|by) 0x/ {
        frames++
        if (in_module($0)) { mine_any = 1; if (frames <= 3) mine_top = 1 }
    }
    { block = block $0 "\n" }
    END { judge(); exit(n > 0) }
' "$log") && found=0 || found=1
grep -E "ERROR SUMMARY|definitely lost:" "$log" | sed 's/^==[0-9]*== /valgrind, whole process: /'
echo "valgrind: $(( $(date +%s) - start )) s"
if [ "$found" -ne 0 ]; then
    echo "reports in the module:"
    echo "$ours" | head -n 120
    exit 1
fi
echo "no report in the module"
