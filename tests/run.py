"""Runs the whole suite and ends with machine-readable lines: one per
skipped test, then the totals.

SKIPPED <test file>: <reason>
RESULT passed=N failed=N skipped=N
"""
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


class CountingResult(unittest.TextTestResult):
    """Counts the tests that passed as they pass: testsRun cannot tell, as
    CPython 3.12.1 leaves skipped tests out of it and other versions do not."""

    passed = 0

    def addSuccess(self, test):
        super(CountingResult, self).addSuccess(test)
        self.passed += 1


def main():
    suite = unittest.defaultTestLoader.discover(HERE, top_level_dir=os.path.dirname(HERE))
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=1,
                                     resultclass=CountingResult).run(suite)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    passed = result.passed + len(result.expectedFailures)
    sys.stdout.flush()
    for test, reason in result.skipped:
        test_file = test.id().split(".")[1] if test.id().startswith("tests.") else test.id()
        print("SKIPPED %s: %s" % (test_file, " ".join(str(reason).split())))
    print("RESULT passed=%d failed=%d skipped=%d" % (passed, failed, skipped))
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
