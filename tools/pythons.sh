# Sourced by tools/test-all and tools/build-wheels: which interpreters they
# work with.

# Every CPython found, one a line: each pyenv version's python3, else the
# python3 on PATH. Versions before 3.6 are left out by python_version.
find_pythons() {
    local found=()
    for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3; do
        [ -x "$p" ] && found+=("$p")
    done
    [ ${#found[@]} -eq 0 ] && command -v python3 >/dev/null && found+=("$(command -v python3)")
    # Oldest first: 3.6 before 3.10.
    printf '%s\n' "${found[@]}" | sort -V
}

# Prints the version (3.11.7) of the CPython 3.6+ given; fails for anything
# else, older versions included.
python_version() {
    local version
    version=$("$1" -c 'import platform, sys; print("%d.%d.%d" % sys.version_info[:3] if sys.version_info >= (3, 6) and platform.python_implementation() == "CPython" else "")' 2>/dev/null)
    [ -n "$version" ] && echo "$version"
}

# The interpreters named on the command line, else every one found, into
# the array "pythons".
choose_pythons() {
    if [ $# -gt 0 ]; then pythons=("$@"); else mapfile -t pythons < <(find_pythons); fi
}
