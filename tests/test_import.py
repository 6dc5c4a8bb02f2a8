"""What importing the module does: the namespace it binds, its effects on the
working directory, and the rules for re-importing."""
import ctypes
import importlib
import os
import sys
import textwrap
import types
import unittest

from tests import support
from tests.support import qzr_kov

NAMESPACE = [
    "_MewMaster", "_date", "_IntEnum", "_get_logger", "_LogFormatter", "_LOG_INFO",
    "_LogHandler", "_LogRecord", "_Path", "_Thread", "_sleep", "_now", "_Optional",
    "_Union", "logger", "FileLogHandler", "_today", "_log_path", "_log_filename",
    "_file_log_handler", "_formatter", "_MaxPulsePerSecond", "Direction", "StopSource",
    "FindingOMethod", "KOVAxisController",
]


def run_script(test, source, cwd=None, **kwargs):
    result = support.run_python(textwrap.dedent(source), cwd=cwd, **kwargs)
    test.assertEqual(result.returncode, 0, result.stderr)
    return result.stdout


class NamespaceTest(unittest.TestCase):
    def test_names_bound_in_order(self):
        names = [n for n in vars(qzr_kov) if not n.startswith("__")]
        self.assertEqual(names, NAMESPACE)
        self.assertIsNone(qzr_kov.__doc__)

    def test_aliases_are_the_standard_objects(self):
        import datetime, enum, logging, pathlib, threading, time, typing
        import qzr_mew
        expected = {
            "_MewMaster": qzr_mew.MewMaster, "_date": datetime.date, "_IntEnum": enum.IntEnum,
            "_get_logger": logging.getLogger, "_LogFormatter": logging.Formatter,
            "_LOG_INFO": logging.INFO, "_LogHandler": logging.Handler,
            "_LogRecord": logging.LogRecord, "_Path": pathlib.Path, "_Thread": threading.Thread,
            "_sleep": time.sleep, "_now": time.time, "_Optional": typing.Optional,
            "_Union": typing.Union,
        }
        for name, value in expected.items():
            with self.subTest(name=name):
                self.assertIs(getattr(qzr_kov, name), value)
        self.assertEqual(qzr_kov._MaxPulsePerSecond, 70000)
        self.assertIs(qzr_kov.logger, logging.getLogger("qzr_kov"))
        self.assertEqual(qzr_kov.logger.level, logging.INFO)
        self.assertTrue(qzr_kov.logger.propagate)

    def test_classes(self):
        import enum, logging

        class Plain(enum.IntEnum):
            A = 1
        for cls, base in [(qzr_kov.FileLogHandler, logging.Handler),
                          (qzr_kov.Direction, enum.IntEnum),
                          (qzr_kov.StopSource, enum.IntEnum),
                          (qzr_kov.FindingOMethod, enum.IntEnum),
                          (qzr_kov.KOVAxisController, object)]:
            with self.subTest(cls=cls.__name__):
                self.assertEqual(cls.__bases__, (base,))
                self.assertEqual(cls.__module__, "qzr_kov")
                self.assertEqual(cls.__qualname__, cls.__name__)
                # No docstring of their own; enumerations get what the enum
                # machinery gives any enumeration without one.
                expected = Plain.__doc__ if base is enum.IntEnum else None
                self.assertEqual(cls.__doc__, expected)


class ReimportTest(unittest.TestCase):
    def test_second_import_and_reload_change_nothing(self):
        handlers = list(qzr_kov.logger.handlers)
        controller_class = qzr_kov.KOVAxisController
        self.assertIs(importlib.import_module("qzr_kov"), qzr_kov)
        self.assertIs(importlib.reload(qzr_kov), qzr_kov)
        self.assertIs(qzr_kov.KOVAxisController, controller_class)
        self.assertEqual(qzr_kov.logger.handlers, handlers)
        self.assertEqual(
            [h for h in handlers if isinstance(h, qzr_kov.FileLogHandler)],
            [qzr_kov._file_log_handler])

    def test_import_after_removal_from_sys_modules_gives_the_same_module(self):
        saved = sys.modules.pop("qzr_kov")
        try:
            again = importlib.import_module("qzr_kov")
            self.assertIs(again, saved)
        finally:
            sys.modules["qzr_kov"] = saved

    def test_initialising_another_module_object_is_refused(self):
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.restype = ctypes.c_int
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(qzr_kov)
        self.assertEqual(api.PyModule_ExecDef(qzr_kov, definition), 0)
        other = types.ModuleType("qzr_kov")
        with self.assertRaises(RuntimeError) as cm:
            api.PyModule_ExecDef(other, definition)
        self.assertEqual(str(cm.exception), "Module 'qzr_kov' has already been imported. "
                                            "Re-initialisation is not supported.")
        self.assertEqual([n for n in vars(other) if not n.startswith("__")], [])

    def test_second_interpreter_is_refused(self):
        try:
            import _testcapi
        except ImportError:
            self.skipTest("no way to start a second interpreter")
        if not hasattr(_testcapi, "run_in_subinterp"):
            self.skipTest("no way to start a second interpreter")
        out = os.path.join(support.WORKDIR, "subinterp.txt")
        code = textwrap.dedent("""
            import sys
            sys.path[:0] = %r
            try:
                import qzr_kov
                result = "imported"
            except ImportError as e:
                result = "%%s: %%s" %% (type(e).__name__, e)
            with open(%r, "w") as f:
                f.write(result)
        """) % (support.SEARCH_PATH, out)
        self.assertEqual(_testcapi.run_in_subinterp(code), 0)
        with open(out) as f:
            self.assertEqual(f.read(), "ImportError: Interpreter change detected - this module "
                                       "can only be loaded into one interpreter per process.")


class ImportEffectsTest(unittest.TestCase):
    """Each case imports the module in a fresh interpreter and directory."""

    def workdir(self):
        import tempfile
        return tempfile.mkdtemp(dir=support.WORKDIR)

    def test_import_creates_log_directory_but_no_file(self):
        cwd = self.workdir()
        run_script(self, "import qzr_kov", cwd=cwd)
        self.assertEqual(os.listdir(cwd), ["log"])
        self.assertEqual(os.listdir(os.path.join(cwd, "log")), [])

    def test_existing_log_directory_is_left_alone(self):
        cwd = self.workdir()
        os.mkdir(os.path.join(cwd, "log"))
        with open(os.path.join(cwd, "log", "keep.txt"), "w") as f:
            f.write("x")
        run_script(self, "import qzr_kov", cwd=cwd)
        self.assertEqual(os.listdir(os.path.join(cwd, "log")), ["keep.txt"])

    def test_missing_master_module_fails_before_anything_else(self):
        cwd = self.workdir()
        out = run_script(self, """
            import sys
            sys.modules["qzr_mew"] = None
            try:
                import qzr_kov
            except ImportError as e:
                print("ImportError")
            print("qzr_kov" in sys.modules)
        """, cwd=cwd)
        self.assertEqual(out.split(), ["ImportError", "False"])
        self.assertEqual(os.listdir(cwd), [])

    def test_master_module_without_the_class(self):
        cwd = self.workdir()
        out = run_script(self, """
            import sys, types
            sys.modules["qzr_mew"] = types.ModuleType("qzr_mew")
            try:
                import qzr_kov
            except ImportError as e:
                print(type(e).__name__, "MewMaster" in str(e), e.name)
        """, cwd=cwd)
        self.assertEqual(out.split(), ["ImportError", "True", "qzr_mew"])
        self.assertEqual(os.listdir(cwd), [])

    def test_file_named_log_fails_the_import_and_a_later_import_starts_over(self):
        cwd = self.workdir()
        with open(os.path.join(cwd, "log"), "w"):
            pass
        out = run_script(self, """
            import os, sys, logging
            try:
                import qzr_kov
            except OSError as e:
                print(type(e).__name__, "qzr_kov" in sys.modules)
            os.remove("log")
            import qzr_kov
            print(len(logging.getLogger("qzr_kov").handlers), os.path.isdir("log"))
            qzr_kov.logger.info("after retry")
        """, cwd=cwd)
        self.assertEqual(out.split(), ["FileExistsError", "False", "1", "True"])
        files = os.listdir(os.path.join(cwd, "log"))
        with open(os.path.join(cwd, "log", files[0]), encoding="utf-8") as f:
            self.assertEqual(f.read().count("after retry"), 1)


if __name__ == "__main__":
    unittest.main()
