"""The demo runs to the end on the simulated line and says what happened."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

from tests import support


class DemoTest(unittest.TestCase):
    def test_demo_runs_and_reports(self):
        cwd = tempfile.mkdtemp(dir=support.WORKDIR)
        result = subprocess.run(
            [sys.executable, os.path.join(support.REPO, "examples", "demo.py")], cwd=cwd,
            env=support.python_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            universal_newlines=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        out = result.stdout
        for station in (1, 2, 3):
            self.assertIn("station %d: origin found, position set to 0" % station, out)
        self.assertIn("station 3 at 55.00 mm", out)
        self.assertIn("wait_for_locating_done: IOError: 定位动作因故未能完成:1", out)
        self.assertIn("wait_for_locating_done raised IOError: 定位动作因故未能完成:4", out)
        self.assertRegex(out, r"station 1:\s+148\.\d\d mm, homed: True, last stop: PositiveLimit")
        log_file = re.search(r"log file: (.*)", out).group(1)
        self.assertTrue(os.path.isfile(log_file))
        with open(log_file, encoding="utf-8") as f:
            log = f.read()
        self.assertIn("Wait for finding O done. Station 3, source 2", log)
        self.assertIn("Station 1 locating done. Stop source: 4", log)


if __name__ == "__main__":
    unittest.main()
