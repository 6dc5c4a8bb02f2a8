#!/usr/bin/env bash
# Installs the project both documented ways, offline, into fresh virtual
# environments, each from its own clean copy of the work tree:
#
#   source: pip install .    (pip install --no-build-isolation . with pip 18,
#                             the pip of CPython 3.6)
#   wheel:  tools/build-wheels, then pip install --no-index dist/<wheel>
#
# and checks each from a clean folder: the module (one exported symbol), its
# stub package (found by mypy on 3.11; the last line says when that check was
# skipped), the simulator, the tool and its command, a
# homing run on the simulated line, one version wherever it is shown, no
# master module qzr_mew, and that pip uninstall takes it all away again.
#
#   .ci/install-check.sh [python ...]   (default: the oldest CPython found,
#                                        3.11 and the newest)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/pythons.sh"
start=$(date +%s)
say() { echo "install-check: $*"; }

if [ $# -gt 0 ]; then
    pythons=("$@")
else
    # "version path" lines, oldest first.
    mapfile -t found < <(find_pythons | while read -r p; do
        v=$(python_version "$p") && echo "$v $p"; done | sort -V)
    [ ${#found[@]} -gt 0 ] || { say "no CPython 3.6+ found"; exit 1; }
    picked=("${found[0]}")
    for line in "${found[@]}"; do
        case $line in 3.11.*) picked+=("$line"); break ;; esac
    done
    picked+=("${found[${#found[@]}-1]}")
    mapfile -t pythons < <(printf '%s\n' "${picked[@]}" | awk '!seen[$0]++ { print $2 }')
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Nothing may be downloaded, nor found in a local wheel folder.
export PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1
unset PIP_FIND_LINKS PYTHONPATH PYTHONHOME

# The files of a fresh clone (uncommitted changes included), without what
# building and testing left in the work tree.
pristine=$work/pristine
mkdir "$pristine"
(cd "$root" && git ls-files -z --cached --others --exclude-standard \
    | xargs -0 -I{} cp --parents {} "$pristine/" 2>/dev/null) \
    || (cd "$root" && tar --exclude=./build --exclude=./dist --exclude=./.git -cf - . \
        | tar -xf - -C "$pristine")
version=$(cd "$pristine" && "${pythons[0]}" -I -c '
import sys
sys.path.insert(0, "tools/backend")
from qzr_kov_build.project import Project
print(Project(".").version)')

minor='import sys; print("%d.%d" % sys.version_info[:2])'
# The typing check needs Debian's mypy; where it ran and why it did not.
mypy_python=/usr/bin/python3
typing_ran=()
typing_skipped=""
if ! "$mypy_python" -c "import mypy" 2>/dev/null; then
    typing_skipped="$mypy_python cannot import mypy (apt-get install mypy)"
fi

# check VENV LABEL: what got installed, from a clean folder.
check() {
    local venv=$1 label=$2 clean
    clean=$(mktemp -d "$work/clean.XXXX")
    (cd "$clean" && "$venv/bin/python" - "$version" <<'PY'
import importlib.util
import os
import subprocess
import sys
import sysconfig

version = sys.argv[1]
site = {sysconfig.get_paths()[key] for key in ("purelib", "platlib")}
assert importlib.util.find_spec("qzr_mew") is None, "a qzr_mew module is importable"
for folder in site:
    found = [name for name in os.listdir(folder) if name.startswith("qzr_mew")]
    assert not found, "installed: %s in %s" % (found, folder)
stub = [os.path.join(folder, "qzr_kov-stubs", "__init__.pyi") for folder in site]
assert any(os.path.isfile(path) for path in stub), "no stub package in %s" % sorted(site)

import qzr_kov_sim
import qzr_kov_tool

# No master module is installed: the simulator stands in for it, in this
# interpreter only.
stand_in = qzr_kov_sim.use_simulated_master()
import qzr_kov
import qzr_kov_motion
# The motion package carries its own annotations.
assert os.path.isfile(os.path.join(os.path.dirname(qzr_kov_motion.__file__), "py.typed"))

for module in (qzr_kov, qzr_kov_sim, qzr_kov_tool, qzr_kov_motion):
    assert any(module.__file__.startswith(folder) for folder in site), module.__file__
axis = qzr_kov.KOVAxisController(qzr_kov_sim.SimulatedLine("install-check"))
axis.set_ppmm(1, 100)
assert axis.to_pulse(1, 2.5) == 250
assert axis.get_stop_source(1) is qzr_kov.StopSource.Null
axis.set_parameters(1, 10.0, 100.0, 0.01)
assert qzr_kov_motion.Axis(axis, 1).move_by(0.5).wait(10) == 0.5
axis.close()

symbols = subprocess.check_output(["nm", "-D", "--defined-only", qzr_kov.__file__],
                                  universal_newlines=True).split()
assert symbols[1::3] == ["T"] and symbols[2::3] == ["PyInit_qzr_kov"], symbols

versions = {"qzr_kov_tool": qzr_kov_tool.__version__, "qzr_kov_sim": qzr_kov_sim.__version__,
            "qzr_kov_motion": qzr_kov_motion.__version__}
if sys.version_info >= (3, 8):
    import importlib.metadata
    versions["importlib.metadata"] = importlib.metadata.version("qzr_kov")
assert set(versions.values()) == {version}, versions
PY
    ) || { say "$label: the installed packages are not right"; exit 1; }

    local shown
    shown=$("$venv/bin/python" -m pip show qzr_kov 2>/dev/null | sed -n 's/^Version: //p')
    [ "$shown" = "$version" ] || { say "$label: pip show says '$shown', not $version"; exit 1; }
    shown=$(cd "$clean" && "$venv/bin/qzr-kov" --version)
    [ "$shown" = "qzr-kov $version" ] || { say "$label: qzr-kov --version says '$shown'"; exit 1; }
    (cd "$clean" && "$venv/bin/qzr-kov" --help && "$venv/bin/qzr-kov" home --help) >/dev/null
    local out
    out=$(cd "$clean" && "$venv/bin/qzr-kov" --sim-speed 20 home)
    grep -q "result: True" <<<"$out" || { say "$label: homing on the simulated line:"; echo "$out"; exit 1; }

    # Debian's mypy inspects environments of its own Python version only (its
    # helper breaks on 3.13, and 3.6 and 3.7 are too old for it).
    if [ -z "$typing_skipped" ] \
            && [ "$("$venv/bin/python" -c "$minor")" = "$("$mypy_python" -c "$minor")" ]; then
        cat >"$clean/use.py" <<'PY'
from qzr_kov import Direction, KOVAxisController
from qzr_kov_motion import Axis
axis = KOVAxisController(None)
found: "bool | None" = axis.wait_for_find_o_finish(1, 2.0)
axis.find_o(1, 1.0, 10.0, 0.1, Direction.Negative.reverse())
position: float = Axis(axis, 1).move_to(1.0).wait()
PY
        /usr/bin/python3 -m mypy --python-executable "$venv/bin/python" --strict \
            --cache-dir "$clean/mypy-cache" --no-error-summary "$clean/use.py" \
            || { say "$label: mypy does not find the stub package"; exit 1; }
        typing_ran+=("$label")
    fi

    "$venv/bin/python" -m pip uninstall -y -q qzr_kov >/dev/null 2>&1
    local left
    left=$("$venv/bin/python" -c '
import os, sysconfig
folders = {sysconfig.get_paths()[k] for k in ("purelib", "platlib")}
print(" ".join(sorted(n for f in folders for n in os.listdir(f) if n.startswith("qzr"))))')
    [ -z "$left" ] && [ ! -e "$venv/bin/qzr-kov" ] \
        || { say "$label: pip uninstall left: $left"; exit 1; }
}

for py in "${pythons[@]}"; do
    v=$(python_version "$py") || { say "$py is no CPython 3.6+"; exit 1; }

    tree=$work/source-$v
    cp -a "$pristine" "$tree"
    "$py" -m venv "$work/venv-source-$v"
    pip="$work/venv-source-$v/bin/python -m pip"
    pip_major=$($pip --version | sed -n 's/^pip \([0-9]*\).*/\1/p')
    if [ "$pip_major" -lt 19 ]; then command="pip install --no-build-isolation ."; else command="pip install ."; fi
    began=$(date +%s)
    (cd "$tree" && $pip ${command#pip }) >"$work/pip.log" 2>&1 \
        || { cat "$work/pip.log"; say "CPython $v: $command failed"; exit 1; }
    check "$work/venv-source-$v" "CPython $v, $command"
    say "CPython $v (pip $pip_major): $command: ok ($(( $(date +%s) - began )) s)"

    tree=$work/wheel-$v
    cp -a "$pristine" "$tree"
    began=$(date +%s)
    "$tree/tools/build-wheels" "$py" >"$work/wheel.log" 2>&1 \
        || { cat "$work/wheel.log"; say "CPython $v: tools/build-wheels failed"; exit 1; }
    wheel=$(cd "$tree" && ls dist/*.whl)
    "$py" -m venv "$work/venv-wheel-$v"
    (cd "$tree" && "$work/venv-wheel-$v/bin/python" -m pip install --no-index "$wheel") \
        >"$work/pip.log" 2>&1 || { cat "$work/pip.log"; say "CPython $v: installing $wheel failed"; exit 1; }
    check "$work/venv-wheel-$v" "CPython $v, $wheel"
    say "CPython $v: tools/build-wheels, pip install --no-index $wheel: ok ($(( $(date +%s) - began )) s)"
done

took="$(( $(date +%s) - start )) s"
if [ -n "$typing_skipped" ]; then
    say "passed ($took), but WITHOUT the typing check of the stub package: $typing_skipped"
elif [ ${#typing_ran[@]} -eq 0 ]; then
    say "passed ($took), but WITHOUT the typing check of the stub package: mypy inspects" \
        "environments of its own Python $("$mypy_python" -c "$minor") only, and no" \
        "interpreter checked here is that version"
else
    say "passed ($took); the typing check ran for: $(printf '%s; ' "${typing_ran[@]}" | sed 's/; $//')"
fi
