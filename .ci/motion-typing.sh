#!/usr/bin/env bash
# Checks the annotations of the pure-Python package qzr_kov_motion with
# Debian's mypy --strict, against the module's stub, for the oldest and the
# newest versions it runs on (the time-out class differs before 3.11), and
# a small program using it: its results must come out with their types.
#
#   .ci/motion-typing.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
debian_python=/usr/bin/python3
if ! "$debian_python" -c "import mypy" 2>/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq mypy >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/stubs"
cp "$root/stubs/qzr_kov.pyi" "$work/stubs/"
cat >"$work/use.py" <<'PY'
import asyncio
import concurrent.futures
from typing import Dict, List, Optional, Tuple

from qzr_kov import Direction, KOVAxisController, StopSource
from qzr_kov_motion import (Axis, AxisState, LimitError, Machine, MachineError, Motion,
                            MotionError, NotHomedError, stopping, wait_all)
from qzr_kov_motion.watcher import Watcher

axis = Axis(KOVAxisController(None), 1)
with stopping(axis, Axis(axis.controller, 2)) as axes:
    move: Motion[float] = axis.move_to(1.0)
    homing: Motion[bool] = axes[1].home(1.0, 10.0, 0.1)
    ends: List[float] = wait_all([move, axis.move_by(-1.0)], timeout=1.0)
    found: bool = homing.wait(0.5)
    mixed: List[object] = wait_all([move, homing])
    done = concurrent.futures.wait([move, axis.move_by(1.0)], 1.0).done
    cancelled: bool = homing.cancel() and homing.cancelled()
    try:
        position: float = axis.move_to(2.0).wait()
    except MotionError as error:
        source: Optional[StopSource] = error.stop_source
        at: Optional[float] = error.position
        station: int = error.station


async def both() -> List[float]:
    first: float = await axis.move_to(3.0)
    return [first, await asyncio.wrap_future(axis.move_by(1.0))]


with Machine.from_file("machine.toml", lines={"main": object()}) as machine:
    moves: Dict[str, Motion[float]] = machine.move_to({"x": "load", "y": 40.0})
    machine.home(timeout=60.0, axes=["z"])
    groups: List[List[str]] = machine.homing_groups()
    travel: Optional[Tuple[float, float]] = machine["x"].travel
    load: float = machine["x"].positions["load"]
    jog: Motion[float] = machine["x"].jog(Direction.Positive)
    try:
        machine["x"].move_to("park")
    except LimitError as limit:
        target: float = limit.target
        name: Optional[str] = limit.axis
    except MachineError as problem:
        problems: List[str] = problem.problems
    now: Dict[str, AxisState] = machine.state()
    here: float = now["x"].position
    stopped: bool = now["x"].emergency or not now["x"].running

    def show(states: Dict[str, AxisState]) -> None:
        print(states["x"].velocity, states["x"].time)

    with machine.watch(show, idle_period=0.5) as watcher:
        handle: Watcher = watcher
    machine.watch(lambda states: None).close()
    machine.assume_homed("x", "y")
    machine.assume_homed()
    homed: bool = machine["x"].homed
    slow: Motion[float] = machine["x"].move_to(5.0, velocity=10.0)
    back: Motion[float] = machine["x"].move_by(-1.0, velocity=5)
    run: Motion[float] = machine["x"].jog(Direction.Negative, velocity=2.0)
    line: Dict[str, Motion[float]] = machine.move_to({"x": 1.0, "y": 2.0}, together=True,
                                                     velocity=50.0)
    apart: Dict[str, Motion[float]] = machine.move_to({"x": 1.0}, velocity=20.0)
    profile: Optional[Tuple[float, float, float]] = machine["x"].profile
    jog_velocity: Optional[float] = machine["x"].jog_velocity
    try:
        machine["z"].move_to("work")
    except NotHomedError as refused:
        names: List[str] = refused.axes

hand = Axis(KOVAxisController(None), 3, profile=(1.0, 10.0, 0.1), jog_velocity=2.0, homed=False)
PY
cd "$work"
export MYPYPATH=$work/stubs:$root/motion
for version in 3.6 3.11; do
    echo "motion-typing: mypy --strict --python-version $version"
    "$debian_python" -m mypy --strict --python-version "$version" --cache-dir "$work/cache" \
        --no-error-summary -p qzr_kov_motion
    "$debian_python" -m mypy --strict --python-version "$version" --cache-dir "$work/cache" \
        --no-error-summary use.py
done
echo "motion-typing: passed"
