"""Runs the whole suite and ends with machine-readable lines: one per
skipped test, one per test that failed, then the totals.

SKIPPED <test file>: <reason>
FAILED-TEST <test id>
RESULT passed=N failed=N skipped=N

With QZR_KOV_PROGRESS_FD set to an open file descriptor (tools/test-all
opens its own output there), it writes one character there as each test
file ends: "." when all its tests passed or were skipped, "F" when one
failed. QZR_KOV_LEAVE_OUT, a list of file name patterns ("test_tool*
test_doc_snippets"), leaves those test files out of the run;
QZR_KOV_ONLY, a list of the same kind, runs only those (the jobs of .ci/
that run the suite a second time for a purpose of their own use them).
"""
import fnmatch
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PROGRESS_FD = "QZR_KOV_PROGRESS_FD"
LEAVE_OUT = "QZR_KOV_LEAVE_OUT"
ONLY = "QZR_KOV_ONLY"


def _progress_stream():
    """The stream named by PROGRESS_FD, or None; the variable is taken out
    of the environment and the descriptor is not inherited, so that the
    programs the tests start see neither."""
    fd = os.environ.pop(PROGRESS_FD, None)
    if not fd:
        return None
    try:
        os.set_inheritable(int(fd), False)
        return os.fdopen(int(fd), "w", buffering=1)
    except (OSError, ValueError):
        return None


def _test_file(test):
    """The file of TEST, by its id ("tests.test_homing.HomingTest.test_x")."""
    parts = test.id().split(".")
    return parts[1] if parts[0] == "tests" and len(parts) > 1 else parts[0]


class CountingResult(unittest.TextTestResult):
    """Counts the tests that passed as they pass: testsRun cannot tell, as
    CPython 3.12.1 leaves skipped tests out of it and other versions do not.
    Tells the progress stream as each test file ends."""

    passed = 0
    progress = None
    _file = None
    _file_failed = False

    def _file_ended(self):
        if self._file is not None and self.progress is not None:
            self.progress.write("F" if self._file_failed else ".")
            self.progress.flush()

    def _enter(self, test):
        test_file = _test_file(test)
        if test_file != self._file:
            self._file_ended()
            self._file, self._file_failed = test_file, False

    def startTest(self, test):
        self._enter(test)
        super(CountingResult, self).startTest(test)

    def addSkip(self, test, reason):
        # CPython 3.12.1 does not start a test that a decorator skips.
        self._enter(test)
        super(CountingResult, self).addSkip(test, reason)

    def stopTestRun(self):
        self._file_ended()
        self._file = None
        super(CountingResult, self).stopTestRun()

    def addSuccess(self, test):
        super(CountingResult, self).addSuccess(test)
        self.passed += 1

    def addFailure(self, test, err):
        super(CountingResult, self).addFailure(test, err)
        self._file_failed = True

    def addError(self, test, err):
        super(CountingResult, self).addError(test, err)
        self._file_failed = True

    def addUnexpectedSuccess(self, test):
        super(CountingResult, self).addUnexpectedSuccess(test)
        self._file_failed = True

    def addSubTest(self, test, subtest, err):
        super(CountingResult, self).addSubTest(test, subtest, err)
        if err is not None:     # a skipped subtest is told by addSkip
            self._file_failed = True


def _tests(suite):
    for test in suite:
        if isinstance(test, unittest.TestSuite):
            for inner in _tests(test):
                yield inner
        else:
            yield test


def _chosen(suite, only, leave_out):
    """The tests of SUITE whose file matches a pattern of ONLY (if any is
    given) and none of LEAVE_OUT."""
    def matches(test, patterns):
        return any(fnmatch.fnmatchcase(_test_file(test), p) for p in patterns)
    return unittest.TestSuite(
        test for test in _tests(suite)
        if (not only or matches(test, only)) and not matches(test, leave_out))


def main():
    CountingResult.progress = _progress_stream()
    suite = unittest.defaultTestLoader.discover(HERE, top_level_dir=os.path.dirname(HERE))
    only, leave_out = (os.environ.pop(name, "").split() for name in (ONLY, LEAVE_OUT))
    if only or leave_out:
        suite = _chosen(suite, only, leave_out)
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=1,
                                     resultclass=CountingResult).run(suite)
    failures = result.failures + result.errors
    failed = len(failures) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    passed = result.passed + len(result.expectedFailures)
    sys.stdout.flush()
    for test, reason in result.skipped:
        test_file = test.id().split(".")[1] if test.id().startswith("tests.") else test.id()
        print("SKIPPED %s: %s" % (test_file, " ".join(str(reason).split())))
    for test in [test for test, _ in failures] + list(result.unexpectedSuccesses):
        print("FAILED-TEST %s" % " ".join(test.id().split()))
    print("RESULT passed=%d failed=%d skipped=%d" % (passed, failed, skipped))
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
