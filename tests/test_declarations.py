"""The method declarations in the sources: the type stub shows each method as
the module has it, the generated files are current, and the generator
refuses a declaration that does not match its body."""
import ast
import inspect
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from tests import support
from tests.support import qzr_kov

GENERATOR = os.path.join(support.REPO, "tools", "gen-methods")
STUB = os.path.join(support.REPO, "stubs", "qzr_kov.pyi")
FUNCTION = type(qzr_kov.KOVAxisController.stop)
# Only there from 3.11 on, to keep format() of a member its number.
VERSION_SHIMS = {"__format__"}

needs_generator = unittest.skipIf(sys.version_info < (3, 8),
                                  "the generator reads declarations with the ast of 3.8+")


def mangled(cls, name):
    if name.startswith("__") and not name.endswith("__"):
        return "_%s%s" % (cls.lstrip("_"), name)
    return name


def stub_methods():
    """{class: {attribute name: [FunctionDef, ...]}} from the stub."""
    with open(STUB, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            methods = classes.setdefault(node.name, {})
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    methods.setdefault(mangled(node.name, item.name), []).append(item)
    return classes


def literal(node):
    try:
        return ast.literal_eval(node)
    except ValueError:
        return Ellipsis


class StubTest(unittest.TestCase):
    def test_the_stub_shows_every_method_as_the_module_has_it(self):
        stubs = stub_methods()
        for name in ("KOVAxisController", "FileLogHandler", "Direction"):
            cls = getattr(qzr_kov, name)
            runtime = {}
            for attr, value in vars(cls).items():
                parts = [value.fget, value.fset] if isinstance(value, property) else [value]
                if isinstance(parts[0], FUNCTION) and attr not in VERSION_SHIMS:
                    runtime[attr] = parts
            self.assertEqual(sorted(stubs[name]), sorted(runtime), name)
            for attr, functions in runtime.items():
                self.assertEqual(len(stubs[name][attr]), len(functions), attr)
                for function, stub in zip(functions, stubs[name][attr]):
                    params = inspect.signature(function).parameters
                    where = "%s.%s" % (name, attr)
                    args = stub.args.args
                    self.assertEqual([a.arg for a in args], list(params), where)
                    defaults = [None] * (len(args) - len(stub.args.defaults)) + stub.args.defaults
                    for arg, default in zip(args, defaults):
                        given = params[arg.arg].default
                        if default is None:
                            self.assertIs(given, inspect.Parameter.empty, where)
                        elif literal(default) is not Ellipsis:
                            self.assertEqual(repr(literal(default)), repr(given), where)
                        else:
                            self.assertIsNot(given, inspect.Parameter.empty, where)
                    self.assertIsNotNone(stub.returns, where)


@needs_generator
class GeneratorTest(unittest.TestCase):
    def run_generator(self, *args):
        return subprocess.run([sys.executable, GENERATOR] + list(args), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True)

    def copy_of_tree(self):
        root = tempfile.mkdtemp(dir=support.WORKDIR)
        for folder in ("src", "stubs"):
            shutil.copytree(os.path.join(support.REPO, folder), os.path.join(root, folder))
        return root

    def edit(self, root, path, old, new):
        path = os.path.join(root, path)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        self.assertIn(old, text)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text.replace(old, new, 1))

    def test_the_generated_files_are_current(self):
        result = self.run_generator("--check")
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_a_changed_declaration_leaves_its_outputs_stale(self):
        root = self.copy_of_tree()
        self.edit(root, "src/controller/motion.cpp", "timeout: float = 0.0", "timeout: float = 1.0")
        result = self.run_generator("--check", "--root", root)
        self.assertEqual(result.returncode, 1)
        self.assertIn("src/controller/motion.gen.inc", result.stderr)
        self.assertIn("stubs/qzr_kov.pyi", result.stderr)
        self.assertEqual(self.run_generator("--root", root).returncode, 0)
        with open(os.path.join(root, "src/controller/motion.gen.inc"), encoding="utf-8") as f:
            self.assertIn('{"timeout", Ann::Float, Default::of(1.0)}', f.read())

    def test_a_parameter_renamed_in_one_place_only_is_refused(self):
        root = self.copy_of_tree()
        self.edit(root, "src/controller/motion.cpp",
                  "locate_absolutely(PyObject* self, PyObject* station, py::Float target)",
                  "locate_absolutely(PyObject* self, PyObject* station, py::Float position)")
        result = self.run_generator("--check", "--root", root)
        self.assertEqual(result.returncode, 2)
        self.assertIn("motion.cpp", result.stderr)
        self.assertIn("locate_absolutely: the body's parameters", result.stderr)

    def test_two_members_in_one_place_are_refused(self):
        root = self.copy_of_tree()
        self.edit(root, "src/controller/motion.cpp", "@order(100)", "@order(90)")
        result = self.run_generator("--check", "--root", root)
        self.assertEqual(result.returncode, 2)
        self.assertRegex(result.stderr, r"(from_pulse|stop): @order\(90\) is taken by (stop|from_pulse)")


if __name__ == "__main__":
    unittest.main()
