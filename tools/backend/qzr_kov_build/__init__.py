"""The project's build backend (PEP 517), found by pip through backend-path
in pyproject.toml: `pip install .` builds the extension module with CMake
and installs it with the stub and the companion packages.

It needs the standard library only (CPython 3.6 to 3.13), so nothing is
downloaded to build, and asks for no build requirements. The machine needs
cmake, ninja and a C++17 compiler. tools/build-wheels calls it directly.

The hooks run in the root of the source tree, as PEP 517 has it.
"""
import os
import sys

from .build import (BuildError, build_extension, build_wheel as _build_wheel, wheel_tag,
                    write_metadata, write_sdist)
from .project import Project, ProjectError

__all__ = ["get_requires_for_build_wheel", "get_requires_for_build_sdist",
           "get_requires_for_build_editable", "prepare_metadata_for_build_wheel",
           "prepare_metadata_for_build_editable", "build_wheel", "build_editable", "build_sdist",
           "BuildError", "ProjectError", "Project", "build_extension", "wheel_tag"]


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    return write_metadata(Project(os.getcwd()), metadata_directory, wheel_tag())


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    # pip shows this output with -v, or when the build fails.
    return _build_wheel(os.getcwd(), wheel_directory, log=sys.stdout)


def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_editable(metadata_directory, config_settings=None):
    return prepare_metadata_for_build_wheel(metadata_directory, config_settings)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # The module stays in its build folder and the packages in the tree;
    # rebuild the module with cmake --build on that folder, or pip again.
    return _build_wheel(os.getcwd(), wheel_directory, log=sys.stdout, editable=True)


def build_sdist(sdist_directory, config_settings=None):
    return write_sdist(Project(os.getcwd()), sdist_directory)
