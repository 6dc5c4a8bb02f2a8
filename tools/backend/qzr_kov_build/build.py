"""Builds the extension module with CMake for the running interpreter and
writes wheels and source archives with the standard library alone."""
import base64
import csv
import hashlib
import io
import os
import platform
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import time
import zipfile

from .project import Project, ProjectError

EXTENSION = "qzr_kov"      # the module CMakeLists.txt builds
GENERATOR = "qzr_kov_build"

# Left out of source archives, wherever they are.
_NOT_IN_SDIST = {".git", "__pycache__", ".mypy_cache"}
# Left out at the top of the tree only: what building, testing and the demo
# leave there.
_NOT_IN_SDIST_AT_TOP = {"build", "dist", "log"}


class BuildError(Exception):
    """The extension module could not be built."""


def wheel_tag():
    """The tag of a wheel holding an extension module for this interpreter:
    cp311-cp311-linux_x86_64, cp36-cp36m-linux_x86_64. The module links
    against this machine's C++ runtime, so the platform is the plain one."""
    if platform.python_implementation() != "CPython":
        raise BuildError("the extension module is built for CPython only")
    soabi = sysconfig.get_config_var("SOABI")       # cpython-36m-x86_64-linux-gnu
    if not soabi or not soabi.startswith("cpython-"):
        raise BuildError("this interpreter names no extension ABI (SOABI %r)" % soabi)
    abi = "cp" + soabi.split("-")[1]
    interpreter = "cp%d%d" % sys.version_info[:2]
    plat = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return "%s-%s-%s" % (interpreter, abi, plat)


def default_build_dir(root):
    version = "%d.%d.%d" % sys.version_info[:3]
    return os.path.join(root, "build", "wheel-cpython-" + version)


def _run(command, log):
    log.write("+ %s\n" % " ".join(command))
    log.flush()
    process = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    log.write(process.stdout.decode("utf-8", "replace"))
    log.flush()
    if process.returncode != 0:
        raise BuildError("%s failed with exit code %d" % (command[0], process.returncode))


def _cached_source(build_dir):
    """The source folder a CMake build folder was configured for, or None."""
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as f:
            for line in f:
                if line.startswith("CMAKE_HOME_DIRECTORY:"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return None


def prepare_build_dir(root, build_dir):
    """Makes BUILD_DIR; empties it first if it was configured for another
    source folder (a tree copied with its build folder), which CMake refuses."""
    cached = _cached_source(build_dir)
    if cached is not None and os.path.realpath(cached) != os.path.realpath(root):
        shutil.rmtree(build_dir)
    os.makedirs(build_dir, exist_ok=True)


def build_extension(root, build_dir=None, log=None):
    """Configures and builds the extension module for the running
    interpreter with CMake and Ninja; returns the path of the module."""
    log = log or sys.stderr
    root = os.path.abspath(root)
    build_dir = os.path.abspath(build_dir or default_build_dir(root))
    missing = [tool for tool in ("cmake", "ninja") if shutil.which(tool) is None]
    if missing:
        raise BuildError("building %s needs %s on PATH, and a C++17 compiler (on Debian: "
                         "apt-get install cmake ninja-build g++)" % (EXTENSION, " and ".join(missing)))
    prepare_build_dir(root, build_dir)
    _run(["cmake", "-S", root, "-B", build_dir, "-G", "Ninja",
          "-DPython3_EXECUTABLE=" + sys.executable, "-DCMAKE_BUILD_TYPE=Release"], log)
    _run(["cmake", "--build", build_dir], log)
    module = os.path.join(build_dir, EXTENSION + sysconfig.get_config_var("EXT_SUFFIX"))
    if not os.path.isfile(module):
        raise BuildError("the build made no %s" % module)
    return module


def _digest(data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "sha256=" + digest.decode("ascii")


def _timestamp():
    """Seconds since 1970 for the archive members: SOURCE_DATE_EPOCH when
    set (for reproducible archives), else now; no earlier than 1980, which
    zip files cannot hold."""
    return max(int(os.environ.get("SOURCE_DATE_EPOCH") or time.time()), 315532800)


def dist_info_files(project, tag):
    """The .dist-info files besides RECORD, as (name, text)."""
    wheel = ("Wheel-Version: 1.0\nGenerator: %s %s\nRoot-Is-Purelib: false\nTag: %s\n"
             % (GENERATOR, project.version, tag))
    files = [("METADATA", project.metadata()), ("WHEEL", wheel)]
    if project.scripts:
        files.append(("entry_points.txt", project.entry_points()))
    top_level = sorted([EXTENSION] + [name for name, _ in project.packages])
    files.append(("top_level.txt", "\n".join(top_level) + "\n"))
    return files


def dist_info_name(project):
    return "%s-%s.dist-info" % (project.dist_name, project.version)


def write_metadata(project, directory, tag):
    """Writes the .dist-info folder into DIRECTORY; returns its name."""
    name = dist_info_name(project)
    os.makedirs(os.path.join(directory, name), exist_ok=True)
    for filename, text in dist_info_files(project, tag):
        with open(os.path.join(directory, name, filename), "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    return name


def editable_paths(project, module):
    """What an editable install puts on sys.path: the folder of the built
    MODULE and the folder holding each package."""
    folders = [os.path.dirname(os.path.abspath(module))]
    for _, folder in project.packages:
        parent = os.path.dirname(project.path(folder))
        if parent not in folders:
            folders.append(parent)
    return folders


def write_wheel(project, directory, module, tag=None, editable=False):
    """Writes the wheel with the extension module MODULE, the packages and
    the stub into DIRECTORY; returns the wheel's file name. An EDITABLE
    wheel holds the stub and a .pth file pointing at MODULE's folder and the
    packages in the tree instead."""
    tag = tag or wheel_tag()
    filename = "%s-%s-%s.whl" % (project.dist_name, project.version, tag)
    if editable:
        paths = "".join(folder + "\n" for folder in editable_paths(project, module))
        entries = [("__editable__.%s.pth" % project.dist_name, paths.encode("utf-8"), 0o644)]
        entries.append(project.stub_file() + (0o644,))
    else:
        with open(module, "rb") as f:
            entries = [(EXTENSION + sysconfig.get_config_var("EXT_SUFFIX"), f.read(), 0o755)]
        entries += [(name, data, 0o644) for name, data in project.pure_files()]
    info = dist_info_name(project)
    entries += [(info + "/" + name, text.encode("utf-8"), 0o644)
                for name, text in dist_info_files(project, tag)]
    names = [name for name, _, _ in entries]
    if len(set(names)) != len(names):
        raise ProjectError("a file would go into the wheel twice: %s"
                           % sorted(n for n in names if names.count(n) > 1))

    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, filename)
    partial = path + ".part"
    date_time = time.gmtime(_timestamp())[:6]
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data, mode in entries:
            member = zipfile.ZipInfo(name, date_time)
            member.external_attr = (0o100000 | mode) << 16
            member.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(member, data)
            writer.writerow([name, _digest(data), len(data)])
        writer.writerow([info + "/RECORD", "", ""])
        member = zipfile.ZipInfo(info + "/RECORD", date_time)
        member.external_attr = 0o100644 << 16
        member.compress_type = zipfile.ZIP_DEFLATED
        archive.writestr(member, record.getvalue())
    os.replace(partial, path)
    return filename


def sdist_files(root):
    """The tree's files for a source archive, relative, with '/'."""
    found = []
    for dirpath, dirnames, filenames in os.walk(root):
        top = os.path.samefile(dirpath, root)
        dirnames[:] = sorted(
            d for d in dirnames
            if d not in _NOT_IN_SDIST and not (top and d in _NOT_IN_SDIST_AT_TOP)
            and not d.endswith(".egg-info")
            # a virtual environment made inside the tree
            and not os.path.isfile(os.path.join(dirpath, d, "pyvenv.cfg")))
        for filename in sorted(filenames):
            if filename.endswith((".pyc", ".pyo")) or (top and filename in (".git", "PKG-INFO")):
                continue
            path = os.path.join(dirpath, filename)
            found.append(os.path.relpath(path, root).replace(os.sep, "/"))
    return found


def write_sdist(project, directory):
    """Writes the source archive NAME-VERSION.tar.gz into DIRECTORY; returns
    its file name."""
    base = "%s-%s" % (project.dist_name, project.version)
    filename = base + ".tar.gz"
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, filename)
    mtime = _timestamp()

    def add(archive, name, data, mode):
        member = tarfile.TarInfo(base + "/" + name)
        member.size = len(data)
        member.mode = mode
        member.mtime = mtime
        archive.addfile(member, io.BytesIO(data))

    with tarfile.open(path + ".part", "w:gz", format=tarfile.PAX_FORMAT) as archive:
        for name in sdist_files(project.root):
            source = project.path(name)
            with open(source, "rb") as f:
                data = f.read()
            add(archive, name, data, 0o755 if os.access(source, os.X_OK) else 0o644)
        add(archive, "PKG-INFO", project.metadata().encode("utf-8"), 0o644)
    os.replace(path + ".part", path)
    return filename


def build_wheel(root, directory, build_dir=None, log=None, editable=False):
    """Builds the extension module and writes the wheel (or the EDITABLE
    wheel) for the running interpreter into DIRECTORY; returns the wheel's
    file name."""
    project = Project(root)
    module = build_extension(project.root, build_dir, log)
    return write_wheel(project, directory, module, editable=editable)
