"""The project as pyproject.toml describes it: name, version, summary, the
readme, the command, the stub and the companion packages.

The file is read by a reader of our own because tomllib only exists from
CPython 3.11 on and nothing may be installed to build. It reads the part of
TOML this project uses and refuses the rest with the line it stopped at:
comments; [table] and [dotted.table] headers; key = value with bare keys;
values that are strings ("basic" with escapes, 'literal'), integers, true
and false, arrays (over several lines too) and one-line inline tables.
"""
import os
import re

PYPROJECT = "pyproject.toml"
STUB_PACKAGE = "qzr_kov-stubs"
VERSION_MODULE = "_version.py"


class ProjectError(Exception):
    """pyproject.toml cannot be read, or does not describe a buildable project."""


_BARE_KEY = re.compile(r"[A-Za-z0-9_-]+")
_INTEGER = re.compile(r"[+-]?(0|[1-9][0-9]*)(?![0-9A-Za-z_.:+-])")
_ESCAPES = {"b": "\b", "t": "\t", "n": "\n", "f": "\f", "r": "\r", '"': '"', "\\": "\\"}


class _Reader(object):
    def __init__(self, text, filename):
        self.text = text
        self.pos = 0
        self.filename = filename

    def fail(self, message):
        line = self.text.count("\n", 0, self.pos) + 1
        raise ProjectError("%s, line %d: %s" % (self.filename, line, message))

    def peek(self, length=1):
        return self.text[self.pos:self.pos + length]

    def expect(self, char):
        if self.peek() != char:
            self.fail("expected %r" % char)
        self.pos += 1

    def skip(self, newlines):
        """Skips spaces, tabs and comments, and line ends if NEWLINES."""
        while self.pos < len(self.text):
            char = self.text[self.pos]
            if char in " \t" or (newlines and char in "\r\n"):
                self.pos += 1
            elif char == "#":
                end = self.text.find("\n", self.pos)
                self.pos = len(self.text) if end < 0 else end
            else:
                break

    def end_of_line(self):
        self.skip(False)
        if self.pos < len(self.text) and self.text[self.pos] not in "\r\n":
            self.fail("unexpected %r (this reader knows only part of TOML)" % self.peek())

    def key(self):
        if self.peek() in ('"', "'"):
            self.fail("quoted keys are not supported")
        match = _BARE_KEY.match(self.text, self.pos)
        if not match:
            self.fail("expected a key")
        self.pos = match.end()
        return match.group()

    def table_name(self):
        names = [self.key()]
        self.skip(False)
        while self.peek() == ".":
            self.pos += 1
            self.skip(False)
            names.append(self.key())
            self.skip(False)
        return tuple(names)

    def value(self):
        char = self.peek()
        if char == '"':
            return self.basic_string()
        if char == "'":
            return self.literal_string()
        if char == "[":
            return self.array()
        if char == "{":
            return self.inline_table()
        for word, value in (("true", True), ("false", False)):
            if self.text.startswith(word, self.pos):
                self.pos += len(word)
                return value
        match = _INTEGER.match(self.text, self.pos)
        if match:
            self.pos = match.end()
            return int(match.group())
        self.fail("unsupported value (strings, integers, booleans, arrays and inline "
                  "tables only)")

    def basic_string(self):
        if self.peek(3) == '"""':
            self.fail("multi-line strings are not supported")
        self.pos += 1
        out = []
        while True:
            char = self.peek()
            if char in ("", "\n", "\r"):
                self.fail("unterminated string")
            self.pos += 1
            if char == '"':
                return "".join(out)
            if char != "\\":
                out.append(char)
                continue
            escape = self.peek()
            self.pos += 1
            if escape in _ESCAPES:
                out.append(_ESCAPES[escape])
            elif escape in ("u", "U"):
                width = 4 if escape == "u" else 8
                digits = self.text[self.pos:self.pos + width]
                code = int(digits, 16) if re.match(r"[0-9A-Fa-f]+$", digits) else -1
                if len(digits) != width or not (0 <= code < 0xD800 or 0xDFFF < code < 0x110000):
                    self.fail("bad unicode escape")
                self.pos += width
                out.append(chr(code))
            else:
                self.fail("unknown escape \\%s" % escape)

    def literal_string(self):
        if self.peek(3) == "'''":
            self.fail("multi-line strings are not supported")
        end = self.pos + 1
        while end < len(self.text) and self.text[end] not in "'\r\n":
            end += 1
        if self.text[end:end + 1] != "'":
            self.fail("unterminated string")
        value = self.text[self.pos + 1:end]
        self.pos = end + 1
        return value

    def array(self):
        self.pos += 1
        items = []
        while True:
            self.skip(True)
            if self.peek() == "]":
                self.pos += 1
                return items
            items.append(self.value())
            self.skip(True)
            if self.peek() == ",":
                self.pos += 1
            elif self.peek() != "]":
                self.fail("expected ',' or ']' in an array")

    def inline_table(self):
        self.pos += 1
        table = {}
        self.skip(False)
        if self.peek() == "}":
            self.pos += 1
            return table
        while True:
            self.skip(False)
            key = self.key()
            self.skip(False)
            self.expect("=")
            self.skip(False)
            if key in table:
                self.fail("key %r defined twice" % key)
            table[key] = self.value()
            self.skip(False)
            if self.peek() == "}":
                self.pos += 1
                return table
            self.expect(",")

    def document(self):
        root = {}
        table = root
        headers = set()
        while True:
            self.skip(True)
            if self.pos >= len(self.text):
                return root
            if self.peek() == "[":
                if self.peek(2) == "[[":
                    self.fail("arrays of tables are not supported")
                self.pos += 1
                self.skip(False)
                name = self.table_name()
                self.expect("]")
                self.end_of_line()
                if name in headers:
                    self.fail("table [%s] defined twice" % ".".join(name))
                headers.add(name)
                table = root
                for part in name:
                    table = table.setdefault(part, {})
                    if not isinstance(table, dict):
                        self.fail("[%s] names a key that is not a table" % ".".join(name))
            else:
                key = self.key()
                self.skip(False)
                if self.peek() == ".":
                    self.fail("dotted keys are not supported; use a [table] header")
                self.expect("=")
                self.skip(False)
                if key in table:
                    self.fail("key %r defined twice" % key)
                table[key] = self.value()
                self.end_of_line()


def parse_toml(text, filename=PYPROJECT):
    """The tables of TEXT as nested dicts, as tomllib.loads gives them."""
    return _Reader(text, filename).document()


def _get(data, path, kind, default=None):
    value = data
    for part in path.split("."):
        if not isinstance(value, dict) or part not in value:
            if default is not None:
                return default
            raise ProjectError("%s: %s is missing" % (PYPROJECT, path))
        value = value[part]
    if not isinstance(value, kind):
        raise ProjectError("%s: %s must be a %s" % (PYPROJECT, path, kind.__name__))
    return value


def _read(root):
    path = os.path.join(root, PYPROJECT)
    with open(path, encoding="utf-8") as f:
        return parse_toml(f.read(), path)


def _version(data):
    version = _get(data, "project.version", str)
    if not re.match(r"^[0-9]+(\.[0-9]+)*([a-z0-9.+-]*)$", version):
        raise ProjectError("%s: project.version %r is no version" % (PYPROJECT, version))
    return version


def tree_version():
    """The version of the source tree holding this file (it is
    tools/backend/qzr_kov_build/project.py there). A companion package run
    from the tree, which has no generated _version.py, reports this one."""
    here = os.path.dirname(os.path.abspath(__file__))
    return _version(_read(os.path.dirname(os.path.dirname(os.path.dirname(here)))))


class Project(object):
    """What pyproject.toml in ROOT says about the distribution."""

    def __init__(self, root):
        self.root = os.path.abspath(root)
        data = _read(self.root)
        self.name = _get(data, "project.name", str)
        self.version = _version(data)
        self.summary = _get(data, "project.description", str)
        self.requires_python = _get(data, "project.requires-python", str)
        self.readme = _get(data, "project.readme", str)
        self.scripts = dict(_get(data, "project.scripts", dict, {}))
        self.stub = _get(data, "tool.qzr_kov.stub", str)
        packages = _get(data, "tool.qzr_kov.packages", dict)
        self.packages = sorted(packages.items())
        for name, folder in self.packages:
            if not isinstance(folder, str):
                raise ProjectError("%s: the folder of package %s must be a string"
                                   % (PYPROJECT, name))
            if not os.path.isfile(os.path.join(self.path(folder), "__init__.py")):
                raise ProjectError("%s: package %s: no %s/__init__.py" % (PYPROJECT, name, folder))
        for path in (self.readme, self.stub):
            if not os.path.isfile(self.path(path)):
                raise ProjectError("%s: %s does not exist" % (PYPROJECT, path))

    def path(self, relative):
        """The file RELATIVE (with '/') of the tree, as a path."""
        return os.path.join(self.root, *relative.split("/"))

    @property
    def dist_name(self):
        """The name as wheel and sdist file names spell it."""
        return re.sub(r"[-_.]+", "_", self.name).lower()

    def metadata(self):
        """The METADATA (or PKG-INFO) file as text."""
        with open(self.path(self.readme), encoding="utf-8") as f:
            readme = f.read().replace("\r\n", "\n")
        content_type = {".md": "text/markdown", ".rst": "text/x-rst"}.get(
            os.path.splitext(self.readme)[1].lower(), "text/plain")
        fields = [("Metadata-Version", "2.1"), ("Name", self.name), ("Version", self.version),
                  ("Summary", self.summary), ("Requires-Python", self.requires_python),
                  ("Description-Content-Type", content_type)]
        head = "".join("%s: %s\n" % field for field in fields)
        return head + "\n" + readme

    def entry_points(self):
        """entry_points.txt as text: the console scripts."""
        lines = ["[console_scripts]"]
        lines += ["%s = %s" % item for item in sorted(self.scripts.items())]
        return "\n".join(lines) + "\n"

    def version_module(self):
        """The generated _version.py each package gets (run from the tree, a
        package asks tree_version instead)."""
        return ('"""Generated when the distribution was built, from pyproject.toml."""\n'
                "version = %r\n" % self.version)

    def pure_files(self):
        """Every file besides the extension module, as (name in site-packages
        with '/', contents as bytes): the packages with their generated
        _version.py, and the stub package."""
        files = []
        for name, folder in self.packages:
            top = self.path(folder)
            for dirpath, dirnames, filenames in os.walk(top):
                dirnames[:] = sorted(d for d in dirnames if d != "__pycache__")
                for filename in sorted(filenames):
                    if filename.endswith((".pyc", ".pyo")):
                        continue
                    if dirpath == top and filename == VERSION_MODULE:
                        raise ProjectError("%s/%s is generated; remove it" % (folder, filename))
                    source = os.path.join(dirpath, filename)
                    relative = os.path.relpath(source, top).replace(os.sep, "/")
                    with open(source, "rb") as f:
                        files.append((name + "/" + relative, f.read()))
            files.append((name + "/" + VERSION_MODULE, self.version_module().encode("utf-8")))
        files.append(self.stub_file())
        return files

    def stub_file(self):
        """The stub package's one file, as pure_files gives it."""
        with open(self.path(self.stub), "rb") as f:
            return (STUB_PACKAGE + "/__init__.pyi", f.read())
