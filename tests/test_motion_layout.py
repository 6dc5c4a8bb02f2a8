"""docs/architecture.md lists every module of qzr_kov_motion, and
docs/tool.md every module of the tool qzr_kov_tool (docs/panel.md those
of its package panel); each module imports at
run time (inside functions too) only those above it in its table: no
import cycle, and none worked round. The tool names none of its modules as
the library does."""
import ast
import os
import re
import unittest

from tests import support

MOTION = os.path.join(support.MOTION, "qzr_kov_motion")
TOOL = os.path.join(support.CLI, "qzr_kov_tool")


def modules(package):
    """The modules of PACKAGE, and its packages (folders with an __init__)."""
    return sorted(n[:-3] if n.endswith(".py") else n for n in os.listdir(package)
                  if re.match(r"[a-z]\w*\.py$", n)
                  or os.path.isfile(os.path.join(package, n, "__init__.py")))


def imports(path, level):
    """The modules that the file PATH imports from LEVEL packages up
    (``from .x`` is level 1), at run time."""
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    typing_only = {id(node) for block in ast.walk(tree) if isinstance(block, ast.If)
                   and getattr(block.test, "id", None) == "TYPE_CHECKING"
                   for node in ast.walk(block)}
    imported = {n.module or a.name for n in ast.walk(tree) if isinstance(n, ast.ImportFrom)
                and n.level == level and id(n) not in typing_only for a in n.names}
    # The package's own version (from __init__) is no module of it.
    return {module.split(".")[0] for module in imported if not module.startswith("_")}


def table(page, heading):
    """The module names of the table under HEADING on PAGE, in order."""
    with open(os.path.join(support.REPO, "docs", page), encoding="utf-8") as f:
        section = f.read().split(heading)[1].split("\n## ")[0]
    return re.findall(r"^\| `(\w+)` \|", section, re.M)


#: the tool's subpackages and the tables of their modules
subpackages = {"panel": table("panel.md", "## How the panel is built")}


class LayoutTest(unittest.TestCase):
    def check(self, package, order, above=None):
        """The modules of PACKAGE are those of ORDER, and each imports only
        those above it; ABOVE: what the modules of a subpackage may import
        of its parent (``from ..x``)."""
        self.assertEqual(sorted(order), modules(package))
        for place, name in enumerate(order):
            path = os.path.join(package, name + ".py")
            if not os.path.exists(path):
                # A package of its own: its modules in a table of their own,
                # and of the parent only what stands above it here.
                self.check(os.path.join(package, name), subpackages[name], order[:place])
                continue
            self.assertLessEqual(imports(path, 1), set(order[:place]), name)
            if above is not None:
                self.assertLessEqual(imports(path, 2), set(above), name)

    def test_each_module_imports_only_those_above_it(self):
        self.check(MOTION, table("architecture.md", "## The package qzr_kov_motion"))

    def test_each_module_of_the_tool_imports_only_those_above_it(self):
        self.check(TOOL, table("tool.md", "## How the tool is built"))

    def test_the_tool_names_no_module_as_the_library_does(self):
        self.assertEqual(set(modules(TOOL)) & set(modules(MOTION)), set())


if __name__ == "__main__":
    unittest.main()
