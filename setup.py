"""Builds and installs the qzr_kov extension module, its type stub (the
stub-only package qzr_kov-stubs), the simulator package qzr_kov_sim, the
commissioning tool qzr_kov_tool with its command qzr-kov, and the typed
package qzr_kov_motion (motions as futures).

    pip install --no-build-isolation .

The master module qzr_mew is not part of this project and is never
installed from here (sim/stand_in is for tests only).
"""
import glob
import os

from setuptools import Extension, setup
from setuptools.command.build_py import build_py

VERSION = "0.1.0"
HERE = os.path.dirname(os.path.abspath(__file__))
# setup.cfg puts the generated metadata under build/, which must exist.
os.makedirs(os.path.join(HERE, "build"), exist_ok=True)
STUB = os.path.join("stubs", "qzr_kov.pyi")
STUB_PACKAGE = "qzr_kov-stubs"


class BuildPyWithStub(build_py):
    """Also builds the stub-only package from the module's stub file."""

    def _stub_target(self):
        return os.path.join(self.build_lib, STUB_PACKAGE, "__init__.pyi")

    def run(self):
        build_py.run(self)
        target = self._stub_target()
        self.mkpath(os.path.dirname(target))
        self.copy_file(STUB, target, preserve_mode=False)

    def get_outputs(self, include_bytecode=1):
        return build_py.get_outputs(self, include_bytecode) + [self._stub_target()]


extension = Extension(
    "qzr_kov",
    sources=sorted(glob.glob(os.path.join("src", "**", "*.cpp"), recursive=True)),
    include_dirs=["src"],
    language="c++",
    extra_compile_args=["-std=c++17", "-fvisibility=hidden", "-fvisibility-inlines-hidden"],
    # Only the module's entry point is exported.
    extra_link_args=["-Wl,--version-script=" + os.path.join("src", "entry", "exports.map")],
    depends=[os.path.join("src", "entry", "exports.map")],
)

setup(
    name="qzr_kov",
    version=VERSION,
    description="Drive motor axes through motion-control modules on a serial line",
    python_requires=">=3.6",
    ext_modules=[extension],
    packages=["qzr_kov_sim", "qzr_kov_tool", "qzr_kov_motion"],
    package_dir={"qzr_kov_sim": os.path.join("sim", "qzr_kov_sim"),
                 "qzr_kov_tool": os.path.join("cli", "qzr_kov_tool"),
                 "qzr_kov_motion": os.path.join("motion", "qzr_kov_motion")},
    # The package carries its own annotations (PEP 561).
    package_data={"qzr_kov_motion": ["py.typed"]},
    entry_points={"console_scripts": ["qzr-kov = qzr_kov_tool.cli:main"]},
    cmdclass={"build_py": BuildPyWithStub},
    zip_safe=False,
)
