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


class ProgressTest(unittest.TestCase):
    """What tools/test-all and tests/run.py tell while the tests run and at
    the end: the interpreter, a dot per test file, the failed tests."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="qzr_kov-progress-", dir=support.WORKDIR)

    def test_the_runner_tells_each_file_and_names_the_failed_tests(self):
        # A suite of its own: the runner runs the folder it is in.
        tests = os.path.join(self.folder, "tests")
        os.mkdir(tests)
        with open(os.path.join(support.REPO, "tests", "run.py")) as stream:
            script(tests, "run.py", stream.read())
        script(tests, "__init__.py", "")
        script(tests, "test_a.py", "import unittest\nclass A(unittest.TestCase):\n"
                                   "    def test_one(self): pass\n    def test_two(self): pass\n")
        script(tests, "test_b.py", "import os, unittest\nclass B(unittest.TestCase):\n"
                                   "    def test_fails(self):\n"
                                   "        with self.subTest(n=1): self.fail()\n"
                                   "    def test_skips(self): self.skipTest('not here')\n"
                                   "    def test_sees_no_progress(self):\n"
                                   "        self.assertNotIn('QZR_KOV_PROGRESS_FD', os.environ)\n")
        script(tests, "test_c.py", "import unittest\n@unittest.skip('no')\n"
                                   "class C(unittest.TestCase):\n"
                                   "    def test_skipped(self): pass\n")
        reading, writing = os.pipe()
        try:
            env = dict(os.environ, QZR_KOV_PROGRESS_FD=str(writing))
            result = subprocess.run([sys.executable, os.path.join(tests, "run.py")],
                                    cwd=self.folder, env=env, pass_fds=(writing,),
                                    stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    universal_newlines=True, timeout=120)
            os.close(writing)
            writing = None
            with os.fdopen(reading) as stream:
                reading = None
                progress = stream.read()
        finally:
            for fd in (reading, writing):
                if fd is not None:
                    os.close(fd)
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertEqual(progress, ".F.")
        lines = result.stdout.splitlines()
        self.assertEqual(lines[-4:], ["SKIPPED test_b: not here", "SKIPPED test_c: no",
                                      "FAILED-TEST tests.test_b.B.test_fails (n=1)",
                                      "RESULT passed=3 failed=1 skipped=2"])
        # Files left out by name: their tests neither run nor count.
        result = subprocess.run([sys.executable, os.path.join(tests, "run.py")],
                                cwd=self.folder, stdin=subprocess.DEVNULL,
                                env=dict(os.environ, QZR_KOV_LEAVE_OUT="test_b test_x*"),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                universal_newlines=True, timeout=120)
        self.assertEqual((result.returncode, result.stdout.splitlines()[-2:]),
                         (0, ["SKIPPED test_c: no", "RESULT passed=2 failed=0 skipped=1"]))
        result = subprocess.run([sys.executable, os.path.join(tests, "run.py")],
                                cwd=self.folder, stdin=subprocess.DEVNULL,
                                env=dict(os.environ, QZR_KOV_ONLY="test_[bc]",
                                         QZR_KOV_LEAVE_OUT="test_b"),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                universal_newlines=True, timeout=120)
        self.assertEqual((result.returncode, result.stdout.splitlines()[-1]),
                         (1, "RESULT passed=0 failed=0 skipped=1"))

    def test_test_all_names_the_interpreter_and_ends_with_the_failed_tests(self):
        # A tree of its own with the script, a build that does nothing and an
        # interpreter that plays a run of the suite.
        root = os.path.join(self.folder, "root")
        bin_folder = os.path.join(self.folder, "bin")
        for folder in (os.path.join(root, "tools"), bin_folder):
            os.makedirs(folder)
        for name in ("test-all", "pythons.sh"):
            with open(os.path.join(TOOLS, name)) as stream:
                script(os.path.join(root, "tools"), name, stream.read())
        script(bin_folder, "cmake", "#!/bin/sh\nexit 0\n")
        python = script(self.folder, "python3", "\n".join([
            "#!/bin/sh",
            'if [ "$1" = -c ]; then echo 3.99.1; exit 0; fi',   # the version asked for
            "printf '..F.' >&3",
            "echo 'FAIL: test_y (tests.test_x.Case.test_y)'",
            "echo 'SKIPPED test_z: not here'",
            "echo 'FAILED-TEST tests.test_x.Case.test_y'",
            "echo 'RESULT passed=5 failed=1 skipped=1'", ""]))
        # The settings of a job that runs the suite itself (a sanitizer
        # build, say) are not this run's.
        result = run([os.path.join(root, "tools", "test-all"), python],
                     PATH=bin_folder + os.pathsep + os.environ.get("PATH", ""),
                     QZR_KOV_BUILD_SUFFIX="", QZR_KOV_CMAKE_ARGS="", QZR_KOV_TEST_PREFIX="")
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "CPython 3.99.1 (%s): building in build/cpython-3.99.1, "
                                   "then testing..." % python)
        self.assertEqual(lines[1], "CPython 3.99.1: test files ..F.")
        self.assertRegex(lines[2], r"^CPython 3\.99\.1: 5 passed, 1 failed, 1 skipped \(build")
        self.assertIn("5 passed, 1 failed, 1 skipped", lines)     # the totals
        self.assertEqual(lines[-2:], ["Failed, by interpreter:",
                                      "  3.99.1: tests.test_x.Case.test_y"])


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
