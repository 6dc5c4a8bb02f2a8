#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer for
# one interpreter and runs the test suite on it (less the files that
# .ci/instrumented.sh names). The interpreter
# itself is not instrumented: the sanitizer runtimes are preloaded, and
# PYTHONMALLOC=malloc lets them see the memory of Python objects too.
# Every report, also from child interpreters the tests start, goes to a
# file; the run fails if any test fails or any report was written.
#
#   .ci/sanitizers.sh [python]     (default: pyenv's 3.11.7, else python3)
#   QZR_KOV_CI_LIMIT=seconds       time limit of the test run (default 1200)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

source .ci/packages.sh
install_missing cmake ninja-build g++ coreutils

python=${1:-${PYENV_ROOT:-$HOME/.pyenv}/versions/3.11.7/bin/python3}
if [ ! -x "$python" ]; then
    install_missing python3-dev
    python=$(command -v python3)
fi

asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
[ -e "$asan" ] && [ -e "$ubsan" ] || { echo "sanitizer runtimes not found"; exit 1; }

# QZR_KOV_SANITIZED=1 keeps the cases where the interpreter ends a daemon
# thread at exit while the thread is inside a module call out of this run
# (tests/test_threads.py, test_exit_while_a_daemon_thread_is_inside_a_call,
# skipped with its reason). The interpreter ends such a thread by unwinding
# its stack from where it waits for the interpreter lock, through the
# module's instrumented frames; AddressSanitizer's own bookkeeping then fails
# a check of its frame records ("asan_thread.cpp:371 CHECK failed ...
# kCurrentStackFrameMagic") in the child process. Whether it trips depends on
# where the thread is stopped (inside a log write nearly always, inside a
# wait's sleep seldom), so the job would pass or fail by chance. The report
# is about the sanitizer's records of the thread's stack, not the module's
# memory: the release builds (tools/test-all) and the debug build
# (.ci/refleaks.sh) run these cases on every run. Keeping them out makes
# this job's outcome depend on the module alone.
reports=$(mktemp -d)
source .ci/instrumented.sh
trap 'rm -rf "$reports"' EXIT
start=$(date +%s)
status=0
# The interpreter's own allocations at exit are not ours to judge: leak
# detection stays off; memory errors and undefined behaviour stop the
# process that meets them.
QZR_KOV_CMAKE_ARGS="-DQZR_KOV_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo" \
QZR_KOV_BUILD_SUFFIX=-sanitize \
QZR_KOV_TEST_PREFIX="env QZR_KOV_SANITIZED=1 LD_PRELOAD=$asan:$ubsan PYTHONMALLOC=malloc
    ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:log_path=$reports/asan
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
    timeout --kill-after=30 "${QZR_KOV_CI_LIMIT:-1200}" tools/test-all "$python" || status=$?

if [ -n "$(ls -A "$reports")" ]; then
    echo "sanitizer reports:"
    for f in "$reports"/*; do echo "== $f"; head -n 60 "$f"; done
    status=1
fi
echo "sanitizers: $(( $(date +%s) - start )) s"
exit "$status"
