"""Packaging: the reader of pyproject.toml, the wheel and source archive the
build backend writes (with a stand-in extension module, so nothing is
compiled here), one version everywhere, and English help for every member
of the stub. .ci/install-check.sh installs real wheels into fresh virtual
environments."""
import ast
import csv
import glob
import hashlib
import base64
import io
import os
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import unittest
import zipfile

from tests import support

sys.path.insert(0, os.path.join(support.REPO, "tools", "backend"))
sys.path.insert(0, os.path.join(support.REPO, "cli"))

import qzr_kov_build  # noqa: E402
from qzr_kov_build import build  # noqa: E402
from qzr_kov_build.project import Project, ProjectError, parse_toml  # noqa: E402

PYPROJECT = os.path.join(support.REPO, "pyproject.toml")


class TomlReaderTest(unittest.TestCase):
    def test_reads_what_the_project_uses(self):
        text = "\n".join([
            "# comment", "top = 'literal \\n stays'", "",
            "[a]", 'name = "x\\ty\\u00e9\\"q\\\\"  # trailing comment',
            "n = -12", "yes = true", "no = false",
            "list = [", '  "one",  # first', "  'two',", "]", "empty = []",
            'inline = { file = "README.md", n = 0 }',
            "[a.b.c]", "k = [[1, 2], []]", "[d]",
        ])
        self.assertEqual(parse_toml(text), {
            "top": "literal \\n stays",
            "a": {"name": 'x\tyé"q\\', "n": -12, "yes": True, "no": False,
                  "list": ["one", "two"], "empty": [],
                  "inline": {"file": "README.md", "n": 0},
                  "b": {"c": {"k": [[1, 2], []]}}},
            "d": {},
        })

    def test_refuses_the_rest_with_its_line(self):
        cases = [
            ('x = """a"""', 1, "multi-line"),
            ("x = 1.5", 1, "unsupported value"),
            ("x = 1979-05-27", 1, "unsupported value"),
            ("x = 1 2", 1, "unexpected"),
            ("\n\na.b = 1", 3, "dotted keys"),
            ('"q" = 1', 1, "quoted keys"),
            ("x = 1\nx = 2", 2, "defined twice"),
            ("[t]\n[t]", 2, "defined twice"),
            ("[[t]]", 1, "arrays of tables"),
            ("x = 1\n[x.y]", 2, "not a table"),
            ('x = "open', 1, "unterminated"),
            ('x = "\\q"', 1, "unknown escape"),
            ('x = "\\uD800"', 1, "unicode escape"),
            ("x = [1 2]", 1, "expected ','"),
            ("x = nan", 1, "unsupported value"),
        ]
        for text, line, words in cases:
            with self.subTest(text=text):
                with self.assertRaises(ProjectError) as cm:
                    parse_toml(text, "p.toml")
                self.assertIn("p.toml, line %d: " % line, str(cm.exception))
                self.assertIn(words, str(cm.exception))

    @unittest.skipUnless(sys.version_info >= (3, 11), "tomllib comes with CPython 3.11")
    def test_agrees_with_tomllib_on_the_project_file(self):
        import tomllib
        with open(PYPROJECT, encoding="utf-8") as f:
            text = f.read()
        self.assertEqual(parse_toml(text), tomllib.loads(text))


class ProjectTest(unittest.TestCase):
    def setUp(self):
        self.project = Project(support.REPO)

    def test_one_version_everywhere(self):
        import qzr_kov_motion
        import qzr_kov_sim
        import qzr_kov_tool
        from qzr_kov_tool import parser
        version = self.project.version
        self.assertEqual({qzr_kov_tool.__version__, qzr_kov_sim.__version__,
                          qzr_kov_motion.__version__}, {version})
        out = io.StringIO()
        stdout, sys.stdout = sys.stdout, out
        try:
            with self.assertRaises(SystemExit):
                parser.build_parser().parse_args(["--version"])
        finally:
            sys.stdout = stdout
        self.assertEqual(out.getvalue(), "qzr-kov %s\n" % version)
        with open(os.path.join(support.REPO, "CHANGELOG.md"), encoding="utf-8") as f:
            headings = [line for line in f if line.startswith("## ")]
        self.assertTrue(headings[0].startswith("## %s " % version), headings[:1])

    def test_packages_run_from_a_tree_report_its_version_as_the_backend_reads_it(self):
        root = tempfile.mkdtemp(dir=support.WORKDIR)
        shutil.copytree(os.path.join(support.REPO, "tools", "backend"),
                        os.path.join(root, "tools", "backend"))
        for _, folder in self.project.packages:
            shutil.copytree(os.path.join(support.REPO, folder), os.path.join(root, folder))
        with open(PYPROJECT, encoding="utf-8") as f:
            text = f.read().replace('version = "%s"' % self.project.version,
                                    'version = "7.8.9rc1"  # a comment the reader skips')
        # Only [project] holds the version of the distribution.
        text = text.replace("[project]\n", '[tool.other]\nversion = "0.0.1"\n\n[project]\n', 1)
        with open(os.path.join(root, "pyproject.toml"), "w", encoding="utf-8") as f:
            f.write(text)
        names = [name for name, _ in self.project.packages]
        code = "import %s; print(%s)" % (", ".join(names),
                                         ", ".join(n + ".__version__" for n in names))
        paths = [os.path.dirname(os.path.join(root, folder)) for _, folder in self.project.packages]
        env = support.python_env({"PYTHONPATH": os.pathsep.join(paths + support.SEARCH_PATH)})
        result = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, universal_newlines=True, env=env,
                                cwd=root)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, " ".join(["7.8.9rc1"] * len(names)) + "\n")

    def test_every_companion_package_of_the_tree_is_listed(self):
        found = sorted(os.path.relpath(os.path.dirname(path), support.REPO).replace(os.sep, "/")
                       for path in glob.glob(os.path.join(support.REPO, "*", "qzr_kov_*",
                                                          "__init__.py")))
        self.assertEqual(sorted(folder for _, folder in self.project.packages), found)
        self.assertNotIn("qzr_mew", [name for name, _ in self.project.packages])

    def test_broken_descriptions_are_refused(self):
        with open(PYPROJECT, encoding="utf-8") as f:
            good = f.read()
        cases = [
            (good.replace('version = "0', 'version = "x0'), "is no version"),
            (good.replace('name = "qzr_kov"\n', ""), "project.name is missing"),
            (good.replace('= "sim/qzr_kov_sim"', '= "sim/nowhere"'), "sim/nowhere/__init__.py"),
            (good.replace('stub = "stubs/', 'stub = "gone/'), "gone/qzr_kov.pyi does not exist"),
        ]
        for text, message in cases:
            with self.subTest(message=message):
                root = tempfile.mkdtemp(dir=support.WORKDIR)
                for name in ("README.md", "sim", "cli", "motion", "stubs"):
                    os.symlink(os.path.join(support.REPO, name), os.path.join(root, name))
                with open(os.path.join(root, "pyproject.toml"), "w", encoding="utf-8") as f:
                    f.write(text)
                with self.assertRaises(ProjectError) as cm:
                    Project(root)
                self.assertIn(message, str(cm.exception))

    @unittest.skipUnless(sys.version_info < (3, 12), "no setuptools from CPython 3.12 on")
    def test_setup_py_reads_the_same_description(self):
        result = subprocess.run([sys.executable, "setup.py", "--name", "--version"],
                                cwd=support.REPO, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                universal_newlines=True, timeout=120)
        if "No module named 'setuptools'" in result.stderr:
            self.skipTest("no setuptools for this interpreter")
        self.assertEqual(result.stdout.split(), [self.project.name, self.project.version])


def sha256(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


class WheelTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.project = Project(support.REPO)
        cls.dist = tempfile.mkdtemp(dir=support.WORKDIR)
        module = os.path.join(cls.dist, "module.so")
        with open(module, "wb") as f:
            f.write(b"\x7fELF stand-in")
        cls.tag = build.wheel_tag()
        cls.filename = build.write_wheel(cls.project, cls.dist, module)
        cls.wheel = zipfile.ZipFile(os.path.join(cls.dist, cls.filename))
        cls.info = "qzr_kov-%s.dist-info/" % cls.project.version

    @classmethod
    def tearDownClass(cls):
        cls.wheel.close()

    def read(self, name):
        return self.wheel.read(name).decode("utf-8")

    def test_tag_names_this_interpreter(self):
        soabi = sysconfig.get_config_var("SOABI").split("-")[1]       # 36m, 311, 313t
        self.assertEqual(self.tag, "cp%d%d-cp%s-linux_x86_64" % (sys.version_info[:2] + (soabi,)))
        self.assertEqual(self.filename, "qzr_kov-%s-%s.whl" % (self.project.version, self.tag))
        self.assertIn("Tag: %s\n" % self.tag, self.read(self.info + "WHEEL"))
        self.assertIn("Root-Is-Purelib: false\n", self.read(self.info + "WHEEL"))

    def test_contents(self):
        names = self.wheel.namelist()
        module = "qzr_kov" + sysconfig.get_config_var("EXT_SUFFIX")
        self.assertEqual(self.wheel.read(module), b"\x7fELF stand-in")
        self.assertEqual(self.wheel.getinfo(module).external_attr >> 16, 0o100755)
        with open(os.path.join(support.REPO, "stubs", "qzr_kov.pyi"), "rb") as f:
            self.assertEqual(self.wheel.read("qzr_kov-stubs/__init__.pyi"), f.read())
        for name, folder in self.project.packages:
            top = os.path.join(support.REPO, folder)
            sources = [os.path.basename(p) for p in glob.glob(os.path.join(top, "*.py"))
                       + glob.glob(os.path.join(top, "py.typed"))]
            # A package's own packages go whole, with their files (the panel's page).
            for sub in os.listdir(top):
                if os.path.isfile(os.path.join(top, sub, "__init__.py")):
                    for where, folders, files in os.walk(os.path.join(top, sub)):
                        folders[:] = [f for f in folders if f != "__pycache__"]
                        sources += [os.path.relpath(os.path.join(where, f), top).replace(
                            os.sep, "/") for f in files if not f.endswith(".pyc")]
            inside = sorted(n[len(name) + 1:] for n in names if n.startswith(name + "/"))
            self.assertEqual(inside, sorted(sources + ["_version.py"]))
            scope = {}
            exec(self.read(name + "/_version.py"), scope)
            self.assertEqual(scope["version"], self.project.version)
        self.assertFalse([n for n in names if "__pycache__" in n or n.endswith(".pyc")])
        self.assertFalse([n for n in names if "qzr_mew" in n])
        self.assertEqual(names[-1], self.info + "RECORD")

    def test_record_lists_every_file_with_its_digest(self):
        rows = list(csv.reader(io.StringIO(self.read(self.info + "RECORD"))))
        self.assertEqual(sorted(row[0] for row in rows), sorted(self.wheel.namelist()))
        for name, digest, size in rows:
            with self.subTest(name=name):
                if name == self.info + "RECORD":
                    self.assertEqual((digest, size), ("", ""))
                    continue
                data = self.wheel.read(name)
                self.assertEqual((digest, int(size)), (sha256(data), len(data)))

    def test_metadata(self):
        metadata = self.read(self.info + "METADATA")
        head, _, body = metadata.partition("\n\n")
        fields = dict(line.split(": ", 1) for line in head.splitlines())
        self.assertEqual(fields, {
            "Metadata-Version": "2.1", "Name": "qzr_kov", "Version": self.project.version,
            "Summary": self.project.summary, "Requires-Python": ">=3.6",
            "Description-Content-Type": "text/markdown"})
        with open(os.path.join(support.REPO, "README.md"), encoding="utf-8") as f:
            self.assertEqual(body, f.read())
        self.assertEqual(self.read(self.info + "entry_points.txt"),
                         "[console_scripts]\nqzr-kov = qzr_kov_tool.cli:main\n")
        # What pip asks for before building is what the wheel holds.
        prepared = tempfile.mkdtemp(dir=support.WORKDIR)
        cwd = os.getcwd()
        os.chdir(support.REPO)
        try:
            name = qzr_kov_build.prepare_metadata_for_build_wheel(prepared)
            self.assertEqual(qzr_kov_build.get_requires_for_build_wheel(), [])
        finally:
            os.chdir(cwd)
        self.assertEqual(name + "/", self.info)
        with open(os.path.join(prepared, name, "METADATA"), encoding="utf-8") as f:
            self.assertEqual(f.read(), metadata)


class EditableWheelTest(unittest.TestCase):
    def test_points_at_the_built_module_and_the_package_folders(self):
        project = Project(support.REPO)
        dist = tempfile.mkdtemp(dir=support.WORKDIR)
        module = os.path.join(dist, "qzr_kov.so")
        filename = build.write_wheel(project, dist, module, editable=True)
        with zipfile.ZipFile(os.path.join(dist, filename)) as wheel:
            info = "qzr_kov-%s.dist-info/" % project.version
            self.assertEqual(sorted(n for n in wheel.namelist() if not n.startswith(info)),
                             ["__editable__.qzr_kov.pth", "qzr_kov-stubs/__init__.pyi"])
            paths = wheel.read("__editable__.qzr_kov.pth").decode().splitlines()
            self.assertIn("qzr-kov = qzr_kov_tool.cli:main", wheel.read(info + "entry_points.txt")
                          .decode())
        folders = [os.path.join(support.REPO, f) for f in sorted({
            folder.split("/")[0] for _, folder in project.packages})]
        self.assertEqual((paths[0], sorted(paths[1:])), (dist, folders))
        # Each folder holds packages of this project only, never a qzr_mew.
        for folder in folders:
            self.assertNotIn("qzr_mew.py", os.listdir(folder))


class SourceArchiveTest(unittest.TestCase):
    def test_holds_the_tree_without_what_building_leaves(self):
        root = tempfile.mkdtemp(dir=support.WORKDIR)
        tree = os.path.join(root, "tree")
        tracked = ["pyproject.toml", "README.md", "src/log/append.cpp", "sim/qzr_kov_sim/x.py"]
        left = ["build/x.o", "dist/old.whl", "log/today.log", "sim/qzr_kov_sim/__pycache__/x.pyc",
                ".git", "venv/pyvenv.cfg"]
        for name in tracked + left:
            os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
            with open(os.path.join(tree, name), "w") as f:
                f.write(name)

        class Tree(object):
            root, dist_name, version = tree, "qzr_kov", "9.1"
            path = Project.path
            metadata = staticmethod(lambda: "Metadata-Version: 2.1\n")

        filename = build.write_sdist(Tree(), root)
        self.assertEqual(filename, "qzr_kov-9.1.tar.gz")
        with tarfile.open(os.path.join(root, filename)) as archive:
            names = sorted(archive.getnames())
            self.assertEqual(archive.extractfile("qzr_kov-9.1/src/log/append.cpp").read(),
                             b"src/log/append.cpp")
        self.assertEqual(names, sorted("qzr_kov-9.1/" + n for n in tracked + ["PKG-INFO"]))


class BuildFolderTest(unittest.TestCase):
    def test_missing_tools_are_named_with_the_way_to_get_them(self):
        path = os.environ["PATH"]
        os.environ["PATH"] = tempfile.mkdtemp(dir=support.WORKDIR)
        try:
            with self.assertRaises(build.BuildError) as cm:
                build.build_extension(support.REPO, os.path.join(support.WORKDIR, "never"))
        finally:
            os.environ["PATH"] = path
        self.assertIn("cmake and ninja", str(cm.exception))
        self.assertIn("apt-get install cmake ninja-build g++", str(cm.exception))

    def test_a_folder_configured_for_another_tree_is_started_afresh(self):
        folder = tempfile.mkdtemp(dir=support.WORKDIR)
        with open(os.path.join(folder, "CMakeCache.txt"), "w") as f:
            f.write("CMAKE_HOME_DIRECTORY:INTERNAL=/elsewhere/qzr_kov\n")
        build.prepare_build_dir(support.REPO, folder)
        self.assertEqual(os.listdir(folder), [])
        with open(os.path.join(folder, "CMakeCache.txt"), "w") as f:
            f.write("CMAKE_HOME_DIRECTORY:INTERNAL=%s\n" % support.REPO)
        build.prepare_build_dir(support.REPO, folder)
        self.assertEqual(os.listdir(folder), ["CMakeCache.txt"])


def is_string(node):
    """Whether NODE is a statement made of a string alone (a docstring)."""
    if not isinstance(node, ast.Expr):
        return False
    value = node.value      # ast.Str before 3.8, ast.Constant from then on
    text = value.value if isinstance(value, ast.Constant) else getattr(value, "s", None)
    return isinstance(text, str) and bool(text.strip())


class StubHelpTest(unittest.TestCase):
    def test_every_member_has_a_docstring(self):
        with open(os.path.join(support.REPO, "stubs", "qzr_kov.pyi"), encoding="utf-8") as f:
            tree = ast.parse(f.read())
        missing = []

        def visit(body, where):
            for i, node in enumerate(body):
                following = body[i + 1] if i + 1 < len(body) else None
                if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                    name = where + node.name
                    if not (ast.get_docstring(node) or "").strip():
                        missing.append(name)
                    if isinstance(node, ast.ClassDef):
                        visit(node.body, name + ".")
                elif isinstance(node, (ast.AnnAssign, ast.Assign)):
                    target = node.target if isinstance(node, ast.AnnAssign) else node.targets[0]
                    if not is_string(following):
                        missing.append(where + target.id)

        visit(tree.body, "")
        self.assertEqual(missing, [])


if __name__ == "__main__":
    unittest.main()
