"""The code blocks of the documentation run as written.

Every fenced block of README.md, of docs/*.md and of sim/README.md is run,
each in its own interpreter or shell, from a scratch copy of a clone in
which ``tools/demo`` has built the module (the copy links the tree's files;
its ``build/demo`` holds the module under test), with a time limit, and must end
with exit code 0. The environment is the one the README gives for working
from the tree: ``PYTHONPATH`` holds ``build/demo``, ``sim``, ``motion`` and
``cli``; ``python3`` is the interpreter under test and ``qzr-kov`` the tool,
as if installed. No ``qzr_mew`` is importable, as on a machine without the
serial-line side.

What runs, by the block's language tag:

- ``python``: a program.
- ``sh``: a shell script, from the root of the copy.
- a block of any tag or none whose lines start with ``$ ``: a terminal
  session; each command after ``$ `` runs (Enter is typed into it, which
  ends a jog) and must succeed, unless the lines shown after it include the
  tool's own error (``qzr-kov: ...``), in which case it must fail. The
  other lines are its output and are not compared.
- anything else (another language, output without ``$ ``): not run.

Markers, an HTML comment on the line before the block (invisible once
rendered):

- ``<!-- not run: REASON -->``: the block is left out, for REASON (it
  builds for minutes, it needs a person, it is a fragment).
- ``<!-- continued -->``: a Python block that goes on from the Python block
  before it on the same page; it runs after that one (and what that one
  continues), in the same interpreter.
- ``<!-- file: NAME -->``: the block is a file (a machine description, say),
  not run; it is written as NAME (a plain name) into the working folder of
  every later block of the page.
- ``<!-- hardware -->``: a hardware block (below), for one whose port is
  named elsewhere, in a file say.

Markers may stand on consecutive lines. A block that names a serial port
(``"/dev/tty..."``, ``--port /dev/...``), or that continues or uses a file
block that does, is a hardware block, unless it calls
``use_simulated_master()``: then it runs on simulated lines of its own
making, as a reader without ``qzr_mew`` would run it. A hardware block
must say right above it what it needs (the paragraph before it has the word
"needs"), and a block that uses a file block must name the file there. It
runs unchanged against the stand-in master module
``sim/stand_in/qzr_mew.py`` (first on the path), whose ``MewMaster`` opens
a simulated line for any port name, its stations in the simulator's
default layout (``qzr_kov_sim.DEFAULT_LAYOUT``, as sim/README.md gives it);
for Python blocks the lines it opens run ``HARDWARE_SPEED`` times faster
than real time, so that homing takes a moment (time runs faster; nothing
else differs).

A block that plots (``--plot``, ``qzr-kov plot``, ``import matplotlib``) is
skipped where the interpreter has no matplotlib, one that reads TOML (names
a ``.toml`` file, ``tomllib`` or ``tomli``) where it has neither
``tomllib`` nor ``tomli``.
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from tests import support

#: the pages whose blocks run, relative to the tree's root
PAGES = ("README.md", "docs/*.md", "sim/README.md")
#: seconds a block may take before it counts as hung
TIME_LIMIT = 180
#: how much faster than real time the lines of hardware blocks run
HARDWARE_SPEED = 50
#: set in the environment of the blocks
NESTED = "QZR_KOV_IN_SNIPPET"

PYTHON_TAGS = ("python", "py", "python3")
SHELL_TAGS = ("sh", "bash", "shell")

_FENCE = re.compile(r"^(?P<indent> *)(?P<fence>`{3,}|~{3,})\s*(?P<tag>[^`\s]*)")
_MARKER = re.compile(r"^\s*<!--\s*(?P<what>not run|continued|hardware|file)\s*"
                     r"(?::\s*(?P<value>.*?))?\s*-->\s*$")
_PORT = re.compile(r"""["']/dev/tty\w*["']|--port[ =]+/dev/""")
_PLOTS = re.compile(r"--plot\b|qzr-kov plot\b|^\s*(import|from) matplotlib", re.M)
_TOML = re.compile(r"\.toml\b|\btomllib\b|\btomli\b")
_TOOL_ERROR = re.compile(r"^qzr-kov( \w+)?: ")
_FILE_NAME = re.compile(r"^[\w][\w.-]*$")
_SIMULATES = re.compile(r"\buse_simulated_master\(")


class Block(object):
    """One fenced block: PAGE (relative path), LINE (of its first code line,
    1-based), TAG, CODE and MARKERS, the markers before it ({"not run":
    reason, "continued": None, "hardware": None, "file": name}); FILES, the
    (name, text) of the file blocks above it on its page; LEAD, the
    paragraph of text right above it (markers left out), on one line."""

    def __init__(self, page, line, tag, code, markers=None, files=(), lead=""):
        self.page, self.line, self.tag, self.code = page, line, tag, code
        self.markers = dict(markers or {})
        self.files = list(files)
        self.lead = lead
        self.previous = None        # for a continued Python block: the one before

    @property
    def name(self):
        return "%s:%d" % (self.page, self.line)

    @property
    def reason(self):
        return self.markers.get("not run")

    @property
    def kind(self):
        """"python", "shell", "session" or None (not run)."""
        if "not run" in self.markers or "file" in self.markers:
            return None
        if self.tag in PYTHON_TAGS:
            return "python"
        if any(line.startswith("$ ") for line in self.code.splitlines()):
            return "session"
        if self.tag in SHELL_TAGS:
            return "shell"
        return None

    def chain(self):
        """The blocks that run together, first to last."""
        blocks = [self]
        while "continued" in blocks[0].markers:
            blocks.insert(0, blocks[0].previous)
        return blocks

    def files_used(self):
        """The names of the file blocks above that the chain's code names."""
        return [name for name, text in self.files
                if any(name in block.code for block in self.chain())]

    @property
    def hardware(self):
        chain = self.chain()
        if any(_SIMULATES.search(block.code) for block in chain):
            return False
        return (any("hardware" in block.markers or _PORT.search(block.code) for block in chain)
                or any(_PORT.search(text) for name, text in self.files
                       if name in self.files_used()))

    @property
    def plots(self):
        return any(_PLOTS.search(block.code) for block in self.chain())

    @property
    def reads_toml(self):
        return any(_TOML.search(block.code) for block in self.chain())


class SnippetError(Exception):
    pass


def _marker(page, number, found, markers):
    what, value = found.group("what"), found.group("value")
    if what == "not run" and not value:
        raise SnippetError("%s:%d: say why a block is not run: <!-- not run: REASON -->"
                           % (page, number))
    if what == "file" and not (value and _FILE_NAME.match(value)):
        raise SnippetError("%s:%d: <!-- file: NAME --> takes a plain file name, not %r"
                           % (page, number, value))
    markers[what] = value


def parse(page, text):
    """The fenced blocks of TEXT, a page named PAGE."""
    blocks = []
    lines = text.splitlines()
    markers = {}
    files = []
    last_python = None
    paragraph, lead = [], ""        # the text above the next block
    index = 0
    while index < len(lines):
        line = lines[index]
        found = _MARKER.match(line)
        if found:
            _marker(page, index + 1, found, markers)
            index += 1
            continue
        opening = _FENCE.match(line)
        if not opening:
            if line.strip():
                markers = {}        # markers belong to the block right after them
                paragraph.append(line.strip())
            elif paragraph:
                paragraph, lead = [], " ".join(paragraph)
            index += 1
            continue
        indent, fence = len(opening.group("indent")), opening.group("fence")
        code = []
        index += 1
        start = index + 1
        while index < len(lines) and not (lines[index].strip().startswith(fence)
                                           and lines[index].strip().strip(fence[0]) == ""):
            code.append(lines[index][indent:] if lines[index][:indent].strip() == ""
                        else lines[index].lstrip())
            index += 1
        block = Block(page, start, opening.group("tag").lower(), "\n".join(code) + "\n",
                      markers, files, " ".join(paragraph) if paragraph else lead)
        paragraph, lead = [], ""
        if "continued" in markers:
            if block.tag not in PYTHON_TAGS:
                raise SnippetError("%s: only Python blocks can be continued" % block.name)
            if last_python is None:
                raise SnippetError("%s: marked continued, but no Python block comes "
                                   "before it" % block.name)
            block.previous = last_python
        if block.kind == "python":
            last_python = block
        if "file" in markers:
            files = files + [(markers["file"], block.code)]
        blocks.append(block)
        markers = {}
        index += 1
    return blocks


def session_commands(block):
    """(command, expected to fail) for each ``$ `` line of a session, with
    lines ending in a backslash joined to the next."""
    commands = []
    lines = block.code.splitlines()
    index = 0
    while index < len(lines):
        line = lines[index]
        index += 1
        if not line.startswith("$ "):
            if commands and _TOOL_ERROR.match(line):
                commands[-1][1] = True
            continue
        command = line[2:]
        while command.endswith("\\") and index < len(lines):
            command = command[:-1].rstrip() + " " + lines[index].strip()
            index += 1
        commands.append([command.split(" #")[0].strip(), False])
    return [tuple(pair) for pair in commands]


def unsaid(block):
    """What BLOCK needs that the paragraph right above it does not say: a
    hardware block says what it needs, one that uses a file of its page
    names the file. The first block of a chain speaks for the chain."""
    if block.kind is None or "continued" in block.markers:
        return []
    problems = []
    if block.hardware and "needs" not in block.lead.lower():
        problems.append("runs only on hardware, and the text right above it does not say "
                        "what it needs")
    for name in block.files_used():
        if name not in block.lead:
            problems.append("uses the file %s, and the text right above it does not name it"
                            % name)
    return problems


def all_blocks():
    blocks = []
    for pattern in PAGES:
        for path in sorted(glob.glob(os.path.join(support.REPO, pattern))):
            with open(path, encoding="utf-8") as stream:
                blocks.extend(parse(os.path.relpath(path, support.REPO), stream.read()))
    return blocks


# Runs the blocks of a chain (file, page, line ...) in one namespace, each
# compiled under its page's name and line numbers, so that a traceback
# points into the page.
RUNNER = r"""
import sys
speed = float(sys.argv[1])
if speed:
    import qzr_kov_sim
    qzr_kov_sim.set_line_factory(lambda port, baudrate: qzr_kov_sim.SimulatedLine(
        port, baudrate=baudrate, clock=qzr_kov_sim.ScaledClock(speed)))
namespace = {"__name__": "__main__", "__builtins__": __builtins__}
chain = sys.argv[2:]
sys.argv = [chain[1]]
for index in range(0, len(chain), 3):
    path, page, line = chain[index], chain[index + 1], int(chain[index + 2])
    with open(path, encoding="utf-8") as stream:
        code = "\n" * (line - 1) + stream.read()
    exec(compile(code, page, "exec"), namespace)
"""


def importable(*names):
    """Whether one of the modules NAMES can be imported here."""
    for name in names:
        try:
            __import__(name)
            return True
        except ImportError:
            pass
    return False


class Clone(object):
    """A scratch folder that looks like the root of a clone after
    ``tools/demo``: links to the tree's files, ``build/demo`` the build
    under test; and a folder of commands (``python3``, ``qzr-kov``)."""

    def __init__(self):
        self.top = tempfile.mkdtemp(prefix="qzr_kov-snippets-", dir=support.WORKDIR)
        self.root = os.path.join(self.top, "clone")
        os.mkdir(self.root)
        for name in os.listdir(support.REPO):
            if name not in ("build", "dist", "log", ".git") and not name.startswith("."):
                os.symlink(os.path.join(support.REPO, name), os.path.join(self.root, name))
        # Only the module of the build under test: whatever a block builds
        # lands in the scratch folder.
        demo = os.path.join(self.root, "build", "demo")
        os.makedirs(demo)
        for path in glob.glob(os.path.join(support.BUILD, "qzr_kov*.so")):
            os.symlink(path, os.path.join(demo, os.path.basename(path)))
        self.bin = os.path.join(self.top, "bin")
        os.mkdir(self.bin)
        for name in ("python3", "python"):
            os.symlink(sys.executable, os.path.join(self.bin, name))
        tool = os.path.join(self.bin, "qzr-kov")
        with open(tool, "w") as stream:
            stream.write('#!/bin/sh\nexec "%s" -m qzr_kov_tool "$@"\n' % sys.executable)
        os.chmod(tool, 0o755)
        self.count = 0

    def env(self, hardware):
        env = dict(os.environ)
        paths = [os.path.join(self.root, folder) for folder in ("build/demo", "sim", "motion",
                                                                  "cli")]
        if hardware:
            paths.insert(0, os.path.join(self.root, "sim", "stand_in"))
        env["PYTHONPATH"] = os.pathsep.join(paths)
        env["PATH"] = self.bin + os.pathsep + env.get("PATH", "")
        for name in ("PYTHONOPTIMIZE", "PYTHONHOME", "QZR_KOV_BUILD"):
            env.pop(name, None)
        # A block that ran the test suite would not run these tests again.
        env[NESTED] = "1"
        return env

    def folder(self, files=()):
        """A fresh working folder: a copy of the clone's root of its own, so
        that the log folder and the files a block writes are its alone;
        FILES, (name, text) pairs, are written into it."""
        self.count += 1
        folder = os.path.join(self.top, "run-%d" % self.count)
        os.mkdir(folder)
        for name in os.listdir(self.root):
            os.symlink(os.readlink(os.path.join(self.root, name)) if name != "build"
                       else os.path.join(self.root, "build"), os.path.join(folder, name))
        for name, text in files:
            path = os.path.join(folder, name)
            if os.path.lexists(path):
                raise SnippetError("<!-- file: %s --> would replace %s of the tree"
                                   % (name, name))
            with open(path, "w", encoding="utf-8") as stream:
                stream.write(text)
        return folder

    def run(self, args, block, stdin=None):
        return subprocess.run(args, cwd=self.folder(block.files), env=self.env(block.hardware),
                              input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=TIME_LIMIT)

    def python(self, block):
        chain = []
        for part in block.chain():
            self.count += 1
            path = os.path.join(self.top, "snippet-%d.py" % self.count)
            with open(path, "w", encoding="utf-8") as stream:
                stream.write(part.code)
            chain += [path, part.page, str(part.line)]
        speed = HARDWARE_SPEED if block.hardware else 0
        return self.run([sys.executable, "-c", RUNNER, str(speed)] + chain, block)

    def shell(self, code, block, stdin=None):
        return self.run(["bash", "-e", "-c", code], block, stdin)


def _report(result):
    return "exit code %s\n--- stdout\n%s--- stderr\n%s" % (result.returncode, result.stdout,
                                                           result.stderr)


class ExtractorTest(unittest.TestCase):
    PAGE = "\n".join([
        "# A page",
        "<!-- not run: builds for minutes -->",
        "```sh",
        "tools/demo",
        "```",
        "",
        "```python",
        "import qzr_kov_sim",
        "```",
        "<!-- continued -->",
        "```python",
        "axis = 1",
        "```",
        "- a list item:",
        "  <!-- continued -->",
        "  ```python",
        "  print(axis)",
        "      indented more",
        "  ```",
        "<!-- continued -->",
        "",
        "Some words in between.",
        "```python",
        "open('/dev/ttyUSB0')",
        "```",
        "```",
        "$ qzr-kov move --absolute 1 \\",
        "    --plot m.png     # and draw it",
        "moving",
        "$ qzr-kov move --absolute 400",
        "qzr-kov: the move ended early",
        "```",
        "```",
        "qzr-kov [--port PORT] COMMAND",
        "```",
        "```cpp",
        "int main() {}",
        "```",
        "~~~sh",
        "qzr-kov --port /dev/ttyS0 status",
        "~~~",
        "<!-- file: machine.toml -->",
        "```toml",
        "port = 'line0'",
        "```",
        "```python",
        "print(open('machine.toml').read())",
        "```",
        "<!-- hardware -->",
        "<!-- continued -->",
        "```python",
        "open('machine.toml')",
        "```",
    ])

    def test_kinds_markers_and_chains(self):
        blocks = parse("page.md", self.PAGE)
        self.assertEqual([(b.line, b.kind) for b in blocks],
                         [(4, None), (8, "python"), (12, "python"), (17, "python"),
                          (24, "python"), (27, "session"), (34, None), (37, None), (40, "shell"),
                          (44, None), (47, "python"), (52, "python")])
        self.assertEqual(blocks[0].reason, "builds for minutes")
        self.assertEqual(blocks[3].code, "print(axis)\n    indented more\n")
        self.assertEqual([b.line for b in blocks[3].chain()], [8, 12, 17])
        # A marker separated from a block by words is no marker of it.
        self.assertEqual(blocks[4].chain(), [blocks[4]])
        self.assertEqual([b.hardware for b in blocks],
                         [False, False, False, False, True, False, False, False, True,
                          False, False, True])
        # Files reach the blocks after them, and a chain goes past a file.
        self.assertEqual([len(b.files) for b in blocks], [0] * 10 + [1, 1])
        self.assertEqual(blocks[11].files, [("machine.toml", "port = 'line0'\n")])
        self.assertEqual([b.line for b in blocks[11].chain()], [47, 52])
        # A chain with a hardware block in it runs as hardware, and so does a
        # block whose file names a port.
        self.assertTrue(blocks[11].chain()[0].hardware is False and blocks[11].hardware)
        machine = parse("p.md", "<!-- file: m.toml -->\n```toml\nport = '/dev/ttyS1'\n```\n"
                                "```sh\n$ qzr-kov --machine m.toml status\n```\n")
        self.assertEqual([b.hardware for b in machine], [True, True])
        self.assertTrue(blocks[5].plots)
        self.assertFalse(blocks[3].plots)
        self.assertEqual([b.reads_toml for b in parse("p.md", "```sh\n$ qzr-kov --machine "
                                                            "examples/machine.toml status\n```\n"
                                                            "```python\nimport tomlkit\n```\n")],
                         [True, False])
        self.assertEqual(session_commands(blocks[5]),
                         [("qzr-kov move --absolute 1 --plot m.png", False),
                          ("qzr-kov move --absolute 400", True)])
        # The text right above a block, markers and earlier paragraphs left out.
        self.assertEqual([blocks[1].lead, blocks[3].lead, blocks[4].lead, blocks[5].lead],
                         ["", "- a list item:", "Some words in between.", ""])

    def test_what_a_block_needs_is_said_above_it(self):
        page = "\n".join([
            "Needs a real port:",
            "```python",
            "open('/dev/ttyUSB0')",
            "```",
            "On hardware:",
            "",
            "<!-- hardware -->",
            "```python",
            "pass",
            "```",
            "<!-- file: m.toml -->",
            "```toml",
            "port = '/dev/ttyS1'",
            "```",
            "With m.toml above, on simulated lines:",
            "```python",
            "import qzr_kov_sim",
            "qzr_kov_sim.use_simulated_master()",
            "open('m.toml')",
            "```",
            "A file used unnamed, and a port:",
            "```python",
            "open('m.toml')",
            "```",
        ])
        blocks = parse("page.md", page)
        self.assertEqual([b.hardware for b in blocks], [True, True, True, False, True])
        self.assertEqual([len(unsaid(b)) for b in blocks], [0, 1, 0, 0, 2])
        self.assertIn("what it needs", unsaid(blocks[1])[0])
        self.assertIn("the file m.toml", unsaid(blocks[4])[1])

    def test_every_block_of_the_pages_says_what_it_needs(self):
        for block in all_blocks():
            with self.subTest(block=block.name):
                self.assertEqual(unsaid(block), [], block.lead)

    def test_markers_that_cannot_be_right_are_refused(self):
        for text, words in (("<!-- not run -->\n```sh\nx\n```\n", "say why"),
                            ("<!-- continued -->\n```python\nx\n```\n", "no Python block"),
                            ("```python\nx\n```\n<!-- continued -->\n```sh\nx\n```\n",
                             "only Python blocks"),
                            ("<!-- file: ../x.toml -->\n```toml\n```\n", "plain file name"),
                            ("<!-- file -->\n```toml\n```\n", "plain file name")):
            with self.assertRaises(SnippetError) as caught:
                parse("page.md", text)
            self.assertIn(words, str(caught.exception))

    def test_files_are_written_for_the_blocks_but_never_over_the_tree(self):
        clone = Clone()
        self.addCleanup(shutil.rmtree, clone.top, True)
        folder = clone.folder([("machine.toml", "port = 'line0'\n")])
        with open(os.path.join(folder, "machine.toml")) as stream:
            self.assertEqual(stream.read(), "port = 'line0'\n")
        self.assertTrue(os.path.isfile(os.path.join(folder, "examples", "demo.py")))
        with self.assertRaises(SnippetError):
            clone.folder([("README.md", "")])
        with open(os.path.join(support.REPO, "README.md"), encoding="utf-8") as stream:
            self.assertTrue(stream.read().strip())

    def test_the_pages_are_found_and_every_block_is_accounted_for(self):
        blocks = all_blocks()
        pages = set(block.page for block in blocks)
        for page in ("README.md", os.path.join("docs", "tool.md"),
                     os.path.join("sim", "README.md")):
            self.assertIn(page, pages)
        kinds = [block.kind for block in blocks]
        self.assertGreaterEqual(kinds.count("python"), 8)
        self.assertGreaterEqual(kinds.count("session"), 5)
        self.assertTrue(any(block.hardware and block.kind == "python" for block in blocks))


@unittest.skipIf(os.environ.get(NESTED), "run from a block of the documentation")
class SnippetTest(unittest.TestCase):
    """Each block in a subtest named after its page and line."""

    @classmethod
    def setUpClass(cls):
        cls.clone = Clone()
        cls.blocks = all_blocks()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.clone.top, ignore_errors=True)

    def blocks_of(self, kind):
        return [block for block in self.blocks if block.kind == kind]

    def skip_unless_it_can_run(self, block):
        if block.plots and not importable("matplotlib"):
            self.skipTest("%s plots, and this interpreter has no matplotlib" % block.name)
        if block.reads_toml and not importable("tomllib", "tomli"):
            self.skipTest("%s reads TOML, and this interpreter has neither tomllib nor tomli"
                          % block.name)

    def test_python_blocks(self):
        for block in self.blocks_of("python"):
            with self.subTest(block=block.name):
                self.skip_unless_it_can_run(block)
                result = self.clone.python(block)
                self.assertEqual(result.returncode, 0, "%s\n%s" % (block.name, _report(result)))

    def test_shell_blocks(self):
        for block in self.blocks_of("shell"):
            with self.subTest(block=block.name):
                self.skip_unless_it_can_run(block)
                result = self.clone.shell(block.code, block)
                self.assertEqual(result.returncode, 0, "%s\n%s" % (block.name, _report(result)))

    def test_terminal_sessions(self):
        for block in self.blocks_of("session"):
            with self.subTest(block=block.name):
                self.skip_unless_it_can_run(block)
                for command, fails in session_commands(block):
                    result = self.clone.shell(command, block, stdin="\n")
                    what = "%s: %s\n%s" % (block.name, command, _report(result))
                    if fails:
                        self.assertNotEqual(result.returncode, 0, what)
                    else:
                        self.assertEqual(result.returncode, 0, what)
                    self.assertNotIn("Traceback", result.stderr, what)


if __name__ == "__main__":
    unittest.main()
