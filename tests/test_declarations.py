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


def dotted(node):
    """The text of a decorator such as @property or @x.setter."""
    if isinstance(node, ast.Attribute):
        return dotted(node.value) + "." + node.attr
    return node.id if isinstance(node, ast.Name) else ast.dump(node)


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
                functions = [f for f in functions if f is not None]
                self.assertEqual(len(stubs[name][attr]), len(functions), attr)
                is_property = isinstance(vars(cls)[attr], property)
                # A property is a getter with @property, then its setter if any.
                wanted = [["property"], ["%s.setter" % attr]] if is_property else [[]]
                for function, stub, decorators in zip(functions, stubs[name][attr], wanted):
                    self.assertEqual([dotted(d) for d in stub.decorator_list], decorators, attr)
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

    def refused(self, edits, *messages):
        """Runs --check on a copy with EDITS [(file, old, new)]; it must
        refuse, naming each of MESSAGES, and write nothing."""
        root = self.copy_of_tree()
        for path, old, new in edits:
            self.edit(root, path, old, new)
        result = self.run_generator("--check", "--root", root)
        self.assertEqual(result.returncode, 2, result.stderr)
        for message in messages:
            self.assertIn(message, result.stderr)
        result = self.run_generator("--root", root)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertEqual(result.stdout, "")

    def accepted(self, edits):
        """--check on a copy with EDITS finds everything current."""
        root = self.copy_of_tree()
        for path, old, new in edits:
            self.edit(root, path, old, new)
        result = self.run_generator("--check", "--root", root)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_a_setter_is_paired_with_its_getter_by_name(self):
        lifecycle = "src/controller/lifecycle.cpp"
        setter = '@stub(returns="None")\n@finding_o_method.setter\n'
        with self.subTest("its own @order, once another member's place, is refused"):
            self.refused([(lifecycle, setter, "@order(55)\n" + setter)],
                         "finding_o_method: a setter takes its getter's place: @order(55) is not "
                         "the getter's @order(40)")
        with self.subTest("the getter's @order is allowed"):
            self.accepted([(lifecycle, setter, "@order(40)\n" + setter)])
        with self.subTest("a setter without a getter"):
            self.refused([(lifecycle, "@finding_o_method.setter\ndef finding_o_method(self",
                           "@homing_method.setter\ndef homing_method(self"),
                          (lifecycle, "py::Ref finding_o_method_setter(", "py::Ref homing_method_setter(")],
                         "homing_method: a setter without its getter: declare @property def "
                         "homing_method(self) in KOVAxisController")
        with self.subTest("a setter named after another member"):
            self.refused([(lifecycle, "@finding_o_method.setter", "@open.setter")],
                         "finding_o_method: a setter is declared as @finding_o_method.setter")
        with self.subTest("a second method of one name"):
            self.refused([("src/controller/motion.cpp", "def run_positive(self", "def stop(self"),
                          ("src/controller/motion.cpp", "py::Ref run_positive(", "py::Ref stop(")],
                         "KOVAxisController.stop is declared twice")

    def test_a_getter_alone_makes_a_read_only_property(self):
        root = self.copy_of_tree()
        path = os.path.join(root, "src/controller/lifecycle.cpp")
        with open(path, encoding="utf-8") as f:
            text = f.read()
        start = text.index('/*[method]\n@stub(returns="None")\n@finding_o_method.setter')
        end = text.index("\n}\n", start) + 3
        with open(path, "w", encoding="utf-8") as f:
            f.write(text[:start] + text[end:])
        result = self.run_generator("--root", root)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(os.path.join(root, "src/entry/members.gen.hpp"), encoding="utf-8") as f:
            self.assertIn("MemberSpec::property_of(qzr::controller::finding_o_method_decl),\n",
                          f.read())
        with open(os.path.join(root, "stubs/qzr_kov.pyi"), encoding="utf-8") as f:
            stub = f.read()
        self.assertIn("    @property\n    def finding_o_method(self) -> FindingOMethod:", stub)
        self.assertNotIn(".setter", stub)
        listed = self.run_generator("--list", "--root", root).stdout
        self.assertIn("   40  finding_o_method (property, read-only)  src/controller/lifecycle.cpp:",
                      listed)

    def test_an_annotation_and_the_cpp_parameter_type_agree(self):
        motion, units = "src/controller/motion.cpp", "src/controller/units.cpp"
        stop = "py::Ref stop(PyObject* self, PyObject* station)"
        cases = [
            ("float, but passed as given", motion,
             "locate_absolutely(PyObject* self, PyObject* station, py::Float target)",
             "locate_absolutely(PyObject* self, PyObject* station, PyObject* target)",
             "locate_absolutely: parameter target: the annotation float goes with py::Float in "
             "C++, the body locate_absolutely has PyObject*"),
            ("converted to float, but not annotated", units,
             "from_pulse(PyObject* self, PyObject* station, PyObject* value)",
             "from_pulse(PyObject* self, PyObject* station, py::Float value)",
             "from_pulse: parameter value: no annotation goes with PyObject*"),
            ("str, but passed as given", "src/status/raw_coils.cpp",
             "py::StrOrNone name) {\n    return link::get_coil(",
             "PyObject* name) {\n    return link::get_coil(",
             "get_coil: parameter name: the annotation str goes with py::StrOrNone"),
            ("an int converted as a float", motion, stop,
             "py::Ref stop(PyObject* self, py::Float station)",
             "stop: parameter station: the annotation int goes with PyObject*"),
            ("a shared body, checked by its template", "src/status/predicates.cpp",
             "def is_alarming(self, station: int, status_words: _Optional[list]",
             "def is_alarming(self, station: int, status_words: float",
             "is_alarming: parameter status_words: the annotation float goes with py::Float in "
             "C++, the body predicate<map::kAlarmBit> has PyObject*"),
            ("a type the function object cannot pass", motion, stop,
             "py::Ref stop(PyObject* self, long station)",
             "stop: parameter station: the C++ type long is none of"),
        ]
        for label, path, old, new, message in cases:
            with self.subTest(label):
                self.refused([(path, old, new)], message)
        with self.subTest("an unused parameter keeps its name and type"):
            self.accepted([(motion, stop,
                            "py::Ref stop([[maybe_unused]] PyObject *self, PyObject* station)")])

    def test_a_body_takes_the_name_of_its_method(self):
        cases = [
            ("src/controller/motion.cpp", "stop", "stop_station", "stop"),
            ("src/homing/steps.cpp", "_find_o", "find_o", "_find_o"),  # keeps its underscore
            ("src/homing/limit_first.cpp", "__find_o_stage_0", "find_o_stage_0",
             "private_find_o_stage_0"),
            ("src/log/file_log_handler.cpp", "__init__", "init", "dunder_init"),
        ]
        for path, method, wrong, right in cases:
            with self.subTest(method):
                self.refused([(path, "py::Ref %s(PyObject* self" % right,
                               "py::Ref %s(PyObject* self" % wrong)],
                             "%s: the body is named %s; a body takes the name of its method: %s"
                             % (method, wrong, right))


@unittest.skipIf(shutil.which("cmake") is None or shutil.which("ninja") is None,
                 "needs cmake and ninja")
class BuildCheckTest(unittest.TestCase):
    """The build runs the generator's check before it compiles anything."""

    def run_cmake(self, *args):
        env = dict(os.environ)
        env.pop("LD_PRELOAD", None)  # a sanitizer run's runtimes are for the interpreter
        return subprocess.run(["cmake"] + list(args), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, universal_newlines=True, env=env)

    def test_a_stale_generated_file_fails_the_build_before_compiling(self):
        root = tempfile.mkdtemp(dir=support.WORKDIR)
        for folder in ("src", "stubs"):
            shutil.copytree(os.path.join(support.REPO, folder), os.path.join(root, folder))
        os.mkdir(os.path.join(root, "tools"))
        for name in ("CMakeLists.txt", "tools/gen-methods"):
            shutil.copy2(os.path.join(support.REPO, name), os.path.join(root, name))
        GeneratorTest.edit(self, root, "src/controller/motion.cpp", "timeout: float = 0.0",
                           "timeout: float = 1.0")
        build = os.path.join(root, "build")
        configure = ["-S", root, "-B", build, "-G", "Ninja", "-DPython3_EXECUTABLE=" + sys.executable]
        result = self.run_cmake(*configure)
        self.assertEqual(result.returncode, 0, result.stdout)
        if "declarations not checked: no Python 3.8+" in result.stdout:
            self.skipTest("no Python 3.8+ to run the generator")
        self.assertIn("qzr_kov: declarations checked with ", result.stdout)
        result = self.run_cmake("--build", build)
        self.assertNotEqual(result.returncode, 0, result.stdout)
        self.assertIn("gen-methods: out of date (run tools/gen-methods): "
                      "src/controller/motion.gen.inc", result.stdout)
        self.assertNotIn("Building CXX object", result.stdout)

        os.remove(os.path.join(root, "tools", "gen-methods"))
        result = self.run_cmake(*configure)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("qzr_kov: declarations not checked: there is no tools/gen-methods",
                      result.stdout)


if __name__ == "__main__":
    unittest.main()
