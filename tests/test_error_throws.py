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

    // throw_now(set): a failure with a ValueError set, or with none.
    PyObject* throw_now(PyObject*, PyObject* set) {
        return py::guard([set]() -> py::Ref {
            if (set == Py_True) PyErr_SetString(PyExc_ValueError, "set before the throw");
            py::require(false);  // THE THROW SITE
            return {};
        });
    }
    PyMethodDef methods[] = {{"throw_now", throw_now, METH_O, nullptr}, {}};
    PyModuleDef definition = {PyModuleDef_HEAD_INIT, "probe", nullptr, -1, methods};
    extern "C" PyObject* PyInit_probe() { return PyModule_Create(&definition); }
    """)
THROW_LINE = PROBE.split("\n").index("        py::require(false);  // THE THROW SITE") + 1


def clean_env():
    env = support.python_env()
    env.pop("LD_PRELOAD", None)  # the probe is not built with the sanitizers
    return env


@unittest.skipIf(COMPILER is None, "needs a C++ compiler")
class ThrowHelperTest(unittest.TestCase):
    def compile(self, source, *flags):
        folder = tempfile.mkdtemp(dir=support.WORKDIR)
        path = os.path.join(folder, "probe.cpp")
        with open(path, "w", encoding="utf-8") as f:
            f.write(source)
        command = [COMPILER, "-std=c++17", "-shared", "-fPIC", "-I" + SRC, path,
                   "-I" + sysconfig.get_paths()["include"], "-o",
                   os.path.join(folder, "probe" + sysconfig.get_config_var("EXT_SUFFIX"))]
        if hasattr(sys, "gettotalrefcount"):
            command.append("-DPy_DEBUG")
        result = subprocess.run(command + list(flags), stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, universal_newlines=True, env=clean_env())
        return folder, path, result

    def call(self, folder, set_error):
        code = "import sys; sys.path.insert(0, %r); import probe; probe.throw_now(%s)" % (
            folder, set_error)
        return subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True, env=clean_env())

    def test_checked_and_release_builds(self):
        for build, flag in (("checked", "-DQZR_KOV_CHECK_ERRORS"), ("release", "-DNDEBUG")):
            with self.subTest(build):
                folder, path, result = self.compile(PROBE, flag)
                self.assertEqual(result.returncode, 0, result.stdout)
                result = self.call(folder, True)
                self.assertEqual(result.returncode, 1)
                self.assertIn("ValueError: set before the throw", result.stderr)
                result = self.call(folder, False)
                if build == "checked" or hasattr(sys, "gettotalrefcount"):  # Py_DEBUG checks too
                    # Stopped at once, naming the throw site.
                    self.assertLess(result.returncode, 0)
                    self.assertIn("Fatal Python error", result.stderr)
                    self.assertIn("py::Error thrown at %s:%d with no Python exception set"
                                  % (path, THROW_LINE), result.stderr)
                else:
                    # The interpreter's own report of a failure without an error.
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertIn("SystemError", result.stderr)

    def test_error_cannot_be_thrown_but_through_the_helper(self):
        _, _, result = self.compile('#include "py/ref.hpp"\nvoid f() { throw py::Error{}; }\n',
                                    "-fsyntax-only")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("private", result.stdout)


if __name__ == "__main__":
    unittest.main()
