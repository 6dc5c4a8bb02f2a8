"""Runs the whole suite and ends with one machine-readable line:
RESULT passed=N failed=N skipped=N
"""
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    suite = unittest.defaultTestLoader.discover(HERE, top_level_dir=os.path.dirname(HERE))
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=1).run(suite)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    passed = result.testsRun - failed - skipped
    sys.stdout.flush()
    print("RESULT passed=%d failed=%d skipped=%d" % (passed, failed, skipped))
    return 0 if failed == 0 and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
