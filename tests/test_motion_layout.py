"""docs/architecture.md lists every module of qzr_kov_motion, each of which
imports at run time only those above it there: no import cycle."""
import ast
import os
import re
import unittest

from tests import support

PACKAGE = os.path.join(support.MOTION, "qzr_kov_motion")


class LayoutTest(unittest.TestCase):
    def test_each_module_imports_only_those_above_it(self):
        with open(os.path.join(support.REPO, "docs", "architecture.md"), encoding="utf-8") as f:
            table = f.read().split("## The package qzr_kov_motion")[1].split("\n## ")[0]
        order = re.findall(r"^\| `(\w+)` \|", table, re.M)
        self.assertEqual(sorted(order), sorted(n[:-3] for n in os.listdir(PACKAGE)
                                               if re.match(r"[a-z]\w*\.py$", n)))
        for place, name in enumerate(order):
            with open(os.path.join(PACKAGE, name + ".py"), encoding="utf-8") as f:
                tree = ast.parse(f.read())
            typing_only = {id(node) for block in ast.walk(tree) if isinstance(block, ast.If)
                           and getattr(block.test, "id", None) == "TYPE_CHECKING"
                           for node in ast.walk(block)}
            imported = {n.module or a.name for n in ast.walk(tree) if isinstance(n, ast.ImportFrom)
                        and n.level == 1 and id(n) not in typing_only for a in n.names}
            self.assertLessEqual(imported - {"_version"}, set(order[:place]), name)


if __name__ == "__main__":
    unittest.main()
