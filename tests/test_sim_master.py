"""qzr_kov_sim.use_simulated_master(): standing in for the master module in a
running interpreter, only where no real one is importable. Each case runs in
a fresh interpreter, whose path holds the built module and the packages but
not the tree's stand-in file, as after installing."""
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

from tests import support

PATH = [support.BUILD, support.SIM, support.MOTION]


def run(code, *first):
    """Runs CODE in a fresh interpreter with the folders FIRST before PATH;
    returns the CompletedProcess."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(list(first) + PATH)
    env.pop("PYTHONOPTIMIZE", None)
    cwd = tempfile.mkdtemp(prefix="qzr_kov-master-", dir=support.WORKDIR)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)


def folder_with(files):
    """A folder holding FILES (relative name -> text)."""
    folder = tempfile.mkdtemp(prefix="qzr_kov-path-", dir=support.WORKDIR)
    for name, text in files.items():
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as stream:
            stream.write(text)
    return folder


class WithoutARealMasterTest(unittest.TestCase):
    def test_one_call_makes_the_module_and_the_motion_package_import(self):
        result = run("""
            import importlib.util, os, sys
            try:
                import qzr_kov
            except ModuleNotFoundError as error:
                print("plain import:", error.name)
            import qzr_kov_sim
            stand_in = qzr_kov_sim.use_simulated_master()
            assert qzr_kov_sim.use_simulated_master() is stand_in      # a second call
            import qzr_kov, qzr_kov_motion
            assert sys.modules["qzr_mew"] is stand_in
            assert stand_in.MewMaster is qzr_kov_sim.open_line
            assert stand_in.CommunicationError is qzr_kov_sim.CommunicationError
            # A port name opens a simulated line, registered under it.
            axes = qzr_kov.KOVAxisController("/dev/ttyUSB0")
            line = qzr_kov_sim.lines["/dev/ttyUSB0"]
            assert isinstance(line, qzr_kov_sim.SimulatedLine)
            axes.set_ppmm(1, 100)
            axes.set_parameters(1, 10.0, 100.0, 0.01)
            assert qzr_kov_motion.Axis(axes, 1).move_by(0.5).wait(30) == 0.5
            axes.close()
            found = importlib.util.find_spec("qzr_mew")
            print("origin:", found.origin, found.has_location)
            print("file:", getattr(stand_in, "__file__", None))
            """)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        self.assertIn("plain import: qzr_mew", result.stdout)   # the module's import is unchanged
        self.assertIn("origin: qzr_kov_sim (simulated lines) False", result.stdout)
        self.assertIn("file: None", result.stdout)

    def test_nothing_is_left_for_the_next_interpreter(self):
        before = [set(os.listdir(folder)) for folder in PATH]
        self.assertEqual(run("import qzr_kov_sim; qzr_kov_sim.use_simulated_master()")
                         .returncode, 0)
        self.assertEqual([set(os.listdir(folder)) for folder in PATH], before)
        result = run("import qzr_kov")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("No module named 'qzr_mew'", result.stderr)

    def test_the_tree_stand_in_file_is_one_of_ours(self):
        result = run("""
            import qzr_kov_sim
            stand_in = qzr_kov_sim.use_simulated_master()
            print(stand_in.__file__)
            import qzr_kov
            """, support.STAND_IN)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(os.path.realpath(result.stdout.strip()),
                         os.path.realpath(os.path.join(support.STAND_IN, "qzr_mew.py")))


class WithARealMasterTest(unittest.TestCase):
    """Anything else that answers to the name is taken for the real one: the
    call refuses, naming where it is, and imports none of it."""

    REFUSE = """
        import sys
        import qzr_kov_sim
        try:
            qzr_kov_sim.use_simulated_master()
        except RuntimeError as error:
            print("refused:", error)
        else:
            print("accepted")
        print("imported:", "qzr_mew" in sys.modules)
        """

    def assert_refused(self, result, where, imported=False):
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("refused: use_simulated_master(): a master module qzr_mew is importable",
                      result.stdout)
        self.assertIn(where, result.stdout)
        self.assertIn("imported: %s" % imported, result.stdout)
        self.assertNotIn("REAL MODULE RAN", result.stdout)

    def test_a_real_module_on_the_path_is_named_and_kept(self):
        folder = folder_with({"qzr_mew.py": "print('REAL MODULE RAN')\nMewMaster = object\n"})
        self.assert_refused(run(self.REFUSE, folder), os.path.join(folder, "qzr_mew.py"))
        # And it stays what qzr_kov imports.
        result = run("import qzr_kov, qzr_mew; print(qzr_kov._MewMaster is object)", folder)
        self.assertIn("True", result.stdout, result.stderr)

    def test_one_whose_own_import_fails_or_a_package_or_a_folder(self):
        for files, where in (
                ({"qzr_mew.py": "print('REAL MODULE RAN')\nimport serial_library_missing\n"},
                 "qzr_mew.py"),
                ({"qzr_mew/__init__.py": "print('REAL MODULE RAN')\n"},
                 os.path.join("qzr_mew", "__init__.py")),
                ({"qzr_mew/driver.py": ""}, "the folder ")):
            folder = folder_with(files)
            self.assert_refused(run(self.REFUSE, folder), os.path.join(folder, where)
                                if where != "the folder " else where + folder)

    def test_one_imported_already(self):
        folder = folder_with({"qzr_mew.py": "MewMaster = object\n"})
        result = run("import qzr_mew\n" + textwrap.dedent(self.REFUSE), folder)
        self.assert_refused(result, os.path.join(folder, "qzr_mew.py"), imported=True)
        # A module made by hand in the interpreter is not ours either.
        result = run("import sys, types\nsys.modules['qzr_mew'] = types.ModuleType('qzr_mew')\n"
                     + textwrap.dedent(self.REFUSE))
        self.assert_refused(result, "already imported: <module 'qzr_mew'", imported=True)


if __name__ == "__main__":
    unittest.main()
