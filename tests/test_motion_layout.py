"""The modules of qzr_kov_motion as docs/architecture.md lays them out: each
imports at run time only modules above it in its table, so there is no
import cycle, and the table lists every module."""
import ast
import os
import re
import unittest

from tests import support

PACKAGE = os.path.join(support.MOTION, "qzr_kov_motion")
ARCHITECTURE = os.path.join(support.REPO, "docs", "architecture.md")


def table_order():
    with open(ARCHITECTURE, encoding="utf-8") as f:
        text = f.read().split("## The package qzr_kov_motion", 1)[1]
    return re.findall(r"^\| `(\w+)` \|", text, re.M)


def run_time_imports(name):
    """The package's modules that module NAME imports, leaving out what
    only the type checker sees (under ``if TYPE_CHECKING:``)."""
    with open(os.path.join(PACKAGE, name + ".py"), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    typing_only = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and getattr(node.test, "id", None) == "TYPE_CHECKING":
            typing_only.update(id(inner) for inner in ast.walk(node))
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.level == 1 and id(node) not in typing_only:
            found.update([node.module] if node.module else [a.name for a in node.names])
    return found - {"_version"}


class LayoutTest(unittest.TestCase):
    def test_each_module_imports_only_those_above_it(self):
        order = table_order()
        modules = sorted(n[:-3] for n in os.listdir(PACKAGE)
                         if n.endswith(".py") and n not in ("__init__.py", "_version.py"))
        self.assertEqual(sorted(order), modules)
        for place, name in enumerate(order):
            with self.subTest(module=name):
                self.assertLessEqual(run_time_imports(name), set(order[:place]))


if __name__ == "__main__":
    unittest.main()
