"""py::Error is thrown through one helper: checked builds stop at a throw
that has no Python error set and name its file and line; release builds
leave the interpreter's own SystemError; no code can throw it directly."""
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import unittest

from tests import support

SRC = os.path.join(support.REPO, "src")
COMPILER = shutil.which("g++") or shutil.which("c++")

PROBE = textwrap.dedent("""\
    #include <Python.h>

    #include "py/boundary.hpp"
    #include "py/ref.hpp"

    namespace {
    PyObject* with_error(PyObject*, PyObject*) {
        return py::guard([] {
            PyErr_SetString(PyExc_ValueError, "set before the throw");
            return py::check(nullptr);
        });
    }
    PyObject* without_error(PyObject*, PyObject*) {
        return py::guard([]() -> py::Ref {
            py::require(false);  // THE THROW SITE
            return {};
        });
    }
    PyMethodDef methods[] = {
        {"with_error", with_error, METH_NOARGS, nullptr},
        {"without_error", without_error, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    PyModuleDef definition = {PyModuleDef_HEAD_INIT, "probe", nullptr, -1, methods,
                              nullptr, nullptr, nullptr, nullptr};
    }  // namespace

    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_probe() {
        return PyModule_Create(&definition);
    }
    """)
THROW_LINE = PROBE.split("\n").index("        py::require(false);  // THE THROW SITE") + 1


def clean_env():
    env = support.python_env()
    env.pop("LD_PRELOAD", None)  # the probe is not built with the sanitizers
    return env


@unittest.skipIf(COMPILER is None, "needs a C++ compiler")
class ThrowHelperTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(dir=support.WORKDIR)
        cls.source = os.path.join(cls.folder, "probe.cpp")
        with open(cls.source, "w", encoding="utf-8") as f:
            f.write(PROBE)

    def compile(self, *flags):
        command = [COMPILER, "-std=c++17", "-Wall", "-Wextra", "-Werror",
                   "-I" + sysconfig.get_paths()["include"], "-I" + SRC] + list(flags)
        if hasattr(sys, "gettotalrefcount"):
            command.append("-DPy_DEBUG")
        return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True, env=clean_env())

    def probe(self, name, *flags):
        """Builds the probe into its own folder NAME; returns the folder."""
        folder = os.path.join(self.folder, name)
        os.mkdir(folder)
        target = os.path.join(folder, "probe" + sysconfig.get_config_var("EXT_SUFFIX"))
        result = self.compile("-shared", "-fPIC", "-O1", self.source, "-o", target, *flags)
        self.assertEqual(result.returncode, 0, result.stdout)
        return folder

    def call(self, folder, function):
        code = "import sys; sys.path.insert(0, %r); import probe; probe.%s()" % (folder, function)
        return subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True, env=clean_env())

    def test_a_checked_build_names_the_throw_site_without_an_error(self):
        folder = self.probe("checked", "-DQZR_KOV_CHECK_ERRORS")
        result = self.call(folder, "without_error")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("Fatal Python error", result.stderr)
        self.assertIn("py::Error thrown at %s:%d with no Python exception set"
                      % (self.source, THROW_LINE), result.stderr)
        # With an error set the throw is what it always is.
        result = self.call(folder, "with_error")
        self.assertEqual(result.returncode, 1)
        self.assertIn("ValueError: set before the throw", result.stderr)

    def test_a_release_build_leaves_it_to_the_interpreter(self):
        folder = self.probe("release", "-DNDEBUG")
        result = self.call(folder, "without_error")
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("SystemError", result.stderr)
        self.assertNotIn("Fatal Python error", result.stderr)

    def test_error_cannot_be_thrown_but_through_the_helper(self):
        source = os.path.join(self.folder, "direct.cpp")
        with open(source, "w", encoding="utf-8") as f:
            f.write('#include "py/ref.hpp"\nvoid fail() { throw py::Error{}; }\n')
        result = self.compile("-fsyntax-only", source)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("private", result.stdout)


if __name__ == "__main__":
    unittest.main()
