#!/usr/bin/env bash
# Checks the type stub stubs/qzr_kov.pyi against the built module with
# mypy's stubtest (Debian's mypy, run by Debian's python3), and the stub
# itself with mypy --strict. Builds the module for CPython 3.11 if needed
# (QZR_KOV_BUILD may name a build folder that already holds it).
# No allowlist: the stub matches the module member for member.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
debian_python=/usr/bin/python3
export DEBIAN_FRONTEND=noninteractive

if ! "$debian_python" -c "import mypy.stubtest" 2>/dev/null; then
    apt-get update -qq
    apt-get install -y -qq mypy >/dev/null
fi

# The module must be built for the same minor version as Debian's python3.
minor=$("$debian_python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
tag=$("$debian_python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
builder=""
for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$minor".*/bin/python3; do
    [ -x "$p" ] && builder=$p
done
if [ -z "$builder" ]; then
    builder=$debian_python
    dpkg-query -W -f='${Status}' python3-dev 2>/dev/null | grep -q "install ok installed" \
        || { apt-get update -qq; apt-get install -y -qq python3-dev >/dev/null; }
fi
# The folder tools/test-all uses for that interpreter: an up-to-date build
# there costs nothing.
version=$("$builder" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
build=${QZR_KOV_BUILD:-$root/build/cpython-$version}
if [ -z "${QZR_KOV_BUILD:-}" ] || [ ! -f "$build/qzr_kov$tag" ]; then
    mkdir -p "$build"
    { cmake -S "$root" -B "$build" -G Ninja -DPython3_EXECUTABLE="$builder" \
          && cmake --build "$build"; } >"$build/stubtest-build.log" 2>&1 \
        || { cat "$build/stubtest-build.log"; exit 1; }
fi

stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT
cp "$root/stubs/qzr_kov.pyi" "$stubs/"
cd "$stubs"        # importing the module creates ./log
export MYPYPATH=$stubs
export PYTHONPATH="$build:$root/sim:$root/sim/stand_in"
export MYPY_CACHE_DIR=$stubs/.mypy_cache
"$debian_python" -m mypy --strict --no-error-summary qzr_kov.pyi
"$debian_python" -m mypy.stubtest qzr_kov
