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
    [ ${#found[@]} -eq 0 ] || printf '%s\n' "${found[@]}" | sort -V
}

# Prints the version (3.11.7) of the CPython 3.6+ given; fails for anything
# else, older versions included.
python_version() {
    local version
    version=$("$1" -c 'import platform, sys; print("%d.%d.%d" % sys.version_info[:3] if sys.version_info >= (3, 6) and platform.python_implementation() == "CPython" else "")' 2>/dev/null)
    [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] && echo "$version"
}

# Why the interpreter named $1 cannot be used, in words; nothing (and
# failure) when it is a CPython 3.6+ that runs.
python_unusable() {
    local path=$1 said
    if [[ $path != */* ]]; then
        path=$(command -v "$path") || { echo "there is no command $1 on PATH"; return 0; }
    fi
    [ -e "$path" ] || { echo "there is no such file"; return 0; }
    [ -d "$path" ] && { echo "it is a folder, not an interpreter"; return 0; }
    [ -x "$path" ] || { echo "it is not executable"; return 0; }
    python_version "$path" >/dev/null && return 1
    said=$("$path" -c 'import platform; print("%s %s" % (platform.python_implementation(), platform.python_version()))' 2>&1 </dev/null | head -n 1)
    if [[ $said =~ ^[A-Za-z]+\ [0-9] ]]; then
        echo "it is $said, not CPython 3.6 or newer"
    elif [ -z "$said" ]; then
        echo "it does not run as Python (it printed nothing)"
    else
        echo "it does not run as Python (it said: $said)"
    fi
    return 0
}

# The interpreters named on the command line, else every one found, into
# the array "pythons". A named one that cannot be used ends the script with
# code 2, naming it and why, before anything is built.
choose_pythons() {
    if [ $# -eq 0 ]; then
        mapfile -t pythons < <(find_pythons)
        if [ ${#pythons[@]} -eq 0 ]; then
            echo "$(basename "$0"): no CPython found (looked for" \
                 "${PYENV_ROOT:-$HOME/.pyenv}/versions/*/bin/python3 and python3 on PATH)" >&2
            exit 2
        fi
        return
    fi
    local py why bad=0
    for py in "$@"; do
        if why=$(python_unusable "$py"); then
            echo "$(basename "$0"): cannot use $py: $why" >&2
            bad=1
        fi
    done
    [ "$bad" -eq 0 ] || exit 2
    pythons=("$@")
}
