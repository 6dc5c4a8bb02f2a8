"""tools/test-all, tools/build-wheels and tools/demo refuse, before building
anything, an interpreter or example they cannot use, and say which and why."""
import os
import stat
import subprocess
import sys
import tempfile
import unittest

from tests import support

TOOLS = os.path.join(support.REPO, "tools")


def script(folder, name, text, mode=0o755):
    path = os.path.join(folder, name)
    with open(path, "w") as stream:
        stream.write(text)
    os.chmod(path, mode)
    return path


def run(args, **env):
    return subprocess.run(args, cwd=support.REPO, env=dict(os.environ, **env),
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=120)


class InterpreterTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="qzr_kov-pythons-", dir=support.WORKDIR)
        self.cases = [
            (os.path.join(self.folder, "missing", "python3"), "there is no such file"),
            ("qzr-kov-no-such-python", "there is no command qzr-kov-no-such-python on PATH"),
            (self.folder, "it is a folder, not an interpreter"),
            (script(self.folder, "plain", "", mode=stat.S_IRUSR | stat.S_IWUSR),
             "it is not executable"),
            (script(self.folder, "greets", "#!/bin/sh\necho hello\n"),
             "it does not run as Python (it said: hello)"),
            (script(self.folder, "silent", "#!/bin/sh\nexit 0\n"),
             "it does not run as Python (it printed nothing)"),
            (script(self.folder, "old", "#!/bin/sh\necho CPython 2.7.18\n"),
             "it is CPython 2.7.18, not CPython 3.6 or newer"),
        ]

    def assert_refused(self, result, name):
        self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
        # Nothing was started: no build line, no "0 passed" or "0 wheels built".
        self.assertEqual(result.stdout, "")
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), len(self.cases), result.stderr)
        for line, (path, why) in zip(lines, self.cases):
            self.assertEqual(line, "%s: cannot use %s: %s" % (name, path, why))

    def test_test_all_names_each_interpreter_it_cannot_use(self):
        # A usable one among them does not make it start.
        paths = [sys.executable] + [path for path, why in self.cases]
        self.assert_refused(run([os.path.join(TOOLS, "test-all")] + paths), "test-all")

    def test_build_wheels_names_each_interpreter_it_cannot_use(self):
        dist = os.path.join(self.folder, "dist")
        paths = [path for path, why in self.cases] + [sys.executable]
        result = run([os.path.join(TOOLS, "build-wheels")] + paths, QZR_KOV_DIST=dist)
        self.assert_refused(result, "build-wheels")
        self.assertFalse(os.path.exists(dist))


class DemoTest(unittest.TestCase):
    def test_an_unknown_example_or_interpreter_is_refused_before_building(self):
        result = run([os.path.join(TOOLS, "demo"), "no-such-example"])
        self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
        self.assertEqual(result.stdout, "")
        self.assertIn("there is no example examples/no-such-example.py", result.stderr)
        # Then the examples there are.
        self.assertEqual(set(result.stderr.split(": ")[-1].split()) & {"demo", "motion"},
                         {"demo", "motion"})
        result = run([os.path.join(TOOLS, "demo")], PYTHON="/no/such/python3")
        self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
        self.assertEqual(result.stdout, "")
        self.assertEqual(result.stderr.strip(), "demo: cannot use /no/such/python3 (from PYTHON): "
                                                "there is no such file")


if __name__ == "__main__":
    unittest.main()
