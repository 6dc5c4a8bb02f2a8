#!/usr/bin/env bash
# Builds the module for Debian's debug interpreter (python3-dbg, which keeps
# a total reference count and checks how extensions use its API) and runs
# the reference leak tests on it, then the suite (less the files that
# .ci/instrumented.sh names).
#
#   .ci/refleaks.sh
#   QZR_KOV_CI_LIMIT=seconds       time limit of each test run (default 900)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

source .ci/packages.sh
install_missing cmake ninja-build g++ python3-dbg coreutils

python=$(command -v python3-dbg)
"$python" -c 'import sys; sys.exit(0 if hasattr(sys, "gettotalrefcount") else 1)' \
    || { echo "$python keeps no total reference count"; exit 1; }
version=$("$python" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
build="$root/build/cpython-$version-dbg"
start=$(date +%s)

# Debian's debug headers are links to the release ones, and the compiler then
# takes the release configuration next to them: say Py_DEBUG outright, or
# the module counts references differently from the interpreter.
cmake_args="-DCMAKE_CXX_FLAGS=-DPy_DEBUG"
mkdir -p "$build"
cmake -S "$root" -B "$build" -G Ninja -DPython3_EXECUTABLE="$python" $cmake_args \
    >"$build/build.log" 2>&1 && cmake --build "$build" >>"$build/build.log" 2>&1 \
    || { tail -n 30 "$build/build.log"; exit 1; }

status=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
echo "reference leaks:"
(cd "$scratch" && TMPDIR="$scratch" QZR_KOV_BUILD="$build" PYTHONPATH="$root" \
    timeout --kill-after=30 "${QZR_KOV_CI_LIMIT:-900}" \
    "$python" -m unittest -v tests.test_refleaks) >"$build/refleaks.log" 2>&1 || status=1
grep -E "^(test_|Ran |OK|FAILED)" "$build/refleaks.log" || true
if grep -q "skipped" "$build/refleaks.log"; then
    echo "the leak tests were skipped"
    status=1
fi
[ "$status" -eq 0 ] || tail -n 60 "$build/refleaks.log"

echo "the suite on the debug interpreter:"
source .ci/instrumented.sh
QZR_KOV_CMAKE_ARGS="$cmake_args" QZR_KOV_BUILD_SUFFIX=-dbg \
    timeout --kill-after=30 "${QZR_KOV_CI_LIMIT:-900}" tools/test-all "$python" || status=1
echo "refleaks: $(( $(date +%s) - start )) s"
exit "$status"
