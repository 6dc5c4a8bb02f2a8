"""The route for pip 18 (the pip of CPython 3.6's virtual environments),
which predates build backends:

    pip install --no-build-isolation .

It installs what a wheel holds (see tools/backend): the extension module
qzr_kov, built by the same CMake build, its stub as the stub-only package
qzr_kov-stubs, and the companion packages, with the metadata of
pyproject.toml. Newer pip uses the backend and never runs this file.

The master module qzr_mew is not part of this project and is never
installed from here (sim/stand_in is for tests only).
"""
import os
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.build_py import build_py
from setuptools.command.develop import develop

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "tools", "backend"))
from qzr_kov_build import build_extension  # noqa: E402
from qzr_kov_build.build import EXTENSION  # noqa: E402
from qzr_kov_build.project import Project  # noqa: E402

PROJECT = Project(HERE)
# setup.cfg puts the generated metadata under build/, which must exist.
os.makedirs(os.path.join(HERE, "build"), exist_ok=True)


class BuildPy(build_py):
    """Writes the packages' files as a wheel holds them: their generated
    _version.py and the stub package included."""

    def _files(self):
        return [(os.path.join(self.build_lib, *name.split("/")), data)
                for name, data in PROJECT.pure_files()]

    def run(self):
        build_py.run(self)
        for target, data in self._files():
            self.mkpath(os.path.dirname(target))
            with open(target, "wb") as f:
                f.write(data)

    def get_outputs(self, include_bytecode=1):
        outputs = build_py.get_outputs(self, include_bytecode)
        return outputs + [t for t, _ in self._files() if t not in outputs]


class BuildExt(build_ext):
    """Builds the extension module with CMake instead of setuptools' compiler."""

    def build_extension(self, ext):
        module = build_extension(HERE)
        target = self.get_ext_fullpath(ext.name)
        self.mkpath(os.path.dirname(target))
        self.copy_file(module, target)


class NoDevelop(develop):
    """pip 18 runs this for pip install -e; the packages live in folders of
    other names, which it cannot link."""

    def run(self):
        raise SystemExit("qzr_kov: editable installs need pip 21.3 or newer (CPython 3.7+); "
                         "here use pip install --no-build-isolation .")


with open(PROJECT.path(PROJECT.readme), encoding="utf-8") as f:
    README = f.read()

setup(
    name=PROJECT.name,
    version=PROJECT.version,
    description=PROJECT.summary,
    long_description=README,
    long_description_content_type="text/markdown",
    python_requires=PROJECT.requires_python,
    ext_modules=[Extension(EXTENSION, sources=[])],
    packages=[name for name, _ in PROJECT.packages],
    package_dir={name: folder for name, folder in PROJECT.packages},
    entry_points={"console_scripts": ["%s = %s" % item for item in sorted(PROJECT.scripts.items())]},
    cmdclass={"build_py": BuildPy, "build_ext": BuildExt, "develop": NoDevelop},
    zip_safe=False,
)
