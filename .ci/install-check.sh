#!/usr/bin/env bash
# Installs the project with pip into a fresh virtual environment (offline,
# from a copy of the work tree) and checks, from a clean folder, what got
# installed: the module, its stub package, the simulator, the tool and its
# command, the typed motion package, and no master module qzr_mew.
#
#   .ci/install-check.sh [python]     (default: pyenv's CPython 3.11.7)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${1:-${PYENV_ROOT:-$HOME/.pyenv}/versions/3.11.7/bin/python3}
[ -x "$python" ] || python=$(command -v python3)
start=$(date +%s)
step() { echo "install-check: $*"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# pip 23.1 and later builds through a wheel, and offline the 'wheel' package
# can only come from Debian's copy.
wheel_dir=/usr/share/python-wheels
if ! ls "$wheel_dir"/wheel-*.whl >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq python3-wheel-whl >/dev/null
fi

step "copying the work tree"
mkdir "$work/src"
(cd "$root" && git ls-files -z --cached --others --exclude-standard \
    | xargs -0 -I{} cp --parents {} "$work/src/" 2>/dev/null) \
    || (cd "$root" && tar --exclude=./build --exclude=./.git -cf - . | tar -xf - -C "$work/src")

step "creating a virtual environment with $("$python" --version 2>&1)"
"$python" -m venv "$work/venv"
venv_python=$work/venv/bin/python
if ! "$venv_python" -c "import wheel" 2>/dev/null; then
    "$venv_python" -m pip install -q --no-index "$wheel_dir"/wheel-*.whl
fi

step "pip install --no-build-isolation ."
(cd "$work/src" && "$venv_python" -m pip install -q --no-build-isolation .) >"$work/pip.log" 2>&1 \
    || { cat "$work/pip.log"; exit 1; }

clean=$work/clean
mkdir "$clean"
cd "$clean"
unset PYTHONPATH PYTHONHOME

step "checking the installed packages"
"$venv_python" - <<'PY'
import importlib.util
import os
import sys
import sysconfig
import types

site = {sysconfig.get_paths()[key] for key in ("purelib", "platlib")}
assert importlib.util.find_spec("qzr_mew") is None, "a qzr_mew module is importable"
for folder in site:
    found = [name for name in os.listdir(folder) if name.startswith("qzr_mew")]
    assert not found, "installed: %s in %s" % (found, folder)
stub = [os.path.join(folder, "qzr_kov-stubs", "__init__.pyi") for folder in site]
assert any(os.path.isfile(path) for path in stub), "no stub package in %s" % sorted(site)

import qzr_kov_sim
import qzr_kov_tool

# No master module is installed: stand in for it as the tool does.
stand_in = types.ModuleType("qzr_mew")
stand_in.MewMaster = qzr_kov_sim.open_line
sys.modules["qzr_mew"] = stand_in
import qzr_kov

import qzr_kov_motion

for module in (qzr_kov, qzr_kov_sim, qzr_kov_tool, qzr_kov_motion):
    assert any(module.__file__.startswith(folder) for folder in site), module.__file__
typed = os.path.join(os.path.dirname(qzr_kov_motion.__file__), "py.typed")
assert os.path.isfile(typed), "no %s" % typed
axis = qzr_kov.KOVAxisController(qzr_kov_sim.SimulatedLine("install-check"))
axis.set_ppmm(1, 100)
assert axis.to_pulse(1, 2.5) == 250
assert axis.get_stop_source(1) is qzr_kov.StopSource.Null
axis.set_parameters(1, 10.0, 100.0, 0.01)
assert qzr_kov_motion.Axis(axis, 1).move_by(0.5).wait(10) == 0.5
axis.close()
print("install-check: import qzr_kov, qzr_kov_sim, qzr_kov_tool, qzr_kov_motion: ok")
PY

step "qzr-kov --help"
"$work/venv/bin/qzr-kov" --help >/dev/null
"$work/venv/bin/qzr-kov" home --help >/dev/null
step "qzr-kov home on the simulated line"
out=$("$work/venv/bin/qzr-kov" --sim-speed 20 home)
grep -q "result: True" <<<"$out" || { echo "$out"; exit 1; }

if /usr/bin/python3 -c "import mypy" 2>/dev/null; then
    step "mypy finds the installed stub package and the typed motion package"
    cat >"$clean/use.py" <<'PY'
from qzr_kov import Direction, KOVAxisController
from qzr_kov_motion import Axis
axis = KOVAxisController(None)
found: "bool | None" = axis.wait_for_find_o_finish(1, 2.0)
axis.find_o(1, 1.0, 10.0, 0.1, Direction.Negative.reverse())
position: float = Axis(axis, 1).move_to(1.0).wait()
PY
    /usr/bin/python3 -m mypy --python-executable "$venv_python" --strict \
        --cache-dir "$work/mypy-cache" --no-error-summary "$clean/use.py"
fi

echo "install-check: passed ($(( $(date +%s) - start )) s)"
