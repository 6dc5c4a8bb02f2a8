"""docs/architecture.md lists every module of qzr_kov_motion, and
docs/tool.md every module of the tool qzr_kov_tool; each module imports at
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
    return sorted(n[:-3] for n in os.listdir(package) if re.match(r"[a-z]\w*\.py$", n))


def table(page, heading):
    """The module names of the table under HEADING on PAGE, in order."""
    with open(os.path.join(support.REPO, "docs", page), encoding="utf-8") as f:
        section = f.read().split(heading)[1].split("\n## ")[0]
    return re.findall(r"^\| `(\w+)` \|", section, re.M)


class LayoutTest(unittest.TestCase):
    def check(self, package, order):
        self.assertEqual(sorted(order), modules(package))
        for place, name in enumerate(order):
            with open(os.path.join(package, name + ".py"), encoding="utf-8") as f:
                tree = ast.parse(f.read())
            typing_only = {id(node) for block in ast.walk(tree) if isinstance(block, ast.If)
                           and getattr(block.test, "id", None) == "TYPE_CHECKING"
                           for node in ast.walk(block)}
            imported = {n.module or a.name for n in ast.walk(tree) if isinstance(n, ast.ImportFrom)
                        and n.level == 1 and id(n) not in typing_only for a in n.names}
            # The package's own version (from __init__) is no module of it.
            imported = {module for module in imported if not module.startswith("_")}
            self.assertLessEqual(imported, set(order[:place]), name)

    def test_each_module_imports_only_those_above_it(self):
        self.check(MOTION, table("architecture.md", "## The package qzr_kov_motion"))

    def test_each_module_of_the_tool_imports_only_those_above_it(self):
        self.check(TOOL, table("tool.md", "## How the tool is built"))

    def test_the_tool_names_no_module_as_the_library_does(self):
        self.assertEqual(set(modules(TOOL)) & set(modules(MOTION)), set())


if __name__ == "__main__":
    unittest.main()
