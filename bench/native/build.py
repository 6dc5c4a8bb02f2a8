"""Builds qzr_bench_native for the interpreter running this file, against
its own headers, into a folder of the benchmarks' build (never a folder on
the path of an installed program). Warnings are errors.

    python3 bench/native/build.py OUTDIR      # prints the built file
"""
import os
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "qzr_bench_native.c")
NAME = "qzr_bench_native"
FLAGS = ["-std=c99", "-O2", "-fPIC", "-shared", "-Wall", "-Wextra", "-Werror",
         "-fno-strict-aliasing"]


def target(outdir):
    return os.path.join(outdir, NAME + sysconfig.get_config_var("EXT_SUFFIX"))


def build(outdir):
    """Compiles the extension into OUTDIR unless it is newer than its source
    already; returns its path. Raises CalledProcessError with the compiler's
    output if the build fails."""
    os.makedirs(outdir, exist_ok=True)
    out = target(outdir)
    if os.path.exists(out) and os.path.getmtime(out) >= os.path.getmtime(SOURCE):
        return out
    compiler = (sysconfig.get_config_var("CC") or "cc").split()[0]
    include = sysconfig.get_paths()["include"]
    temporary = out + ".tmp"
    command = [compiler] + FLAGS + ["-I", include, SOURCE, "-o", temporary]
    # The compiler is no program under test: a sanitizer runtime preloaded
    # for a test run stays out of it.
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            universal_newlines=True, env=env)
    if result.returncode != 0 or result.stdout.strip():
        raise subprocess.CalledProcessError(result.returncode or 1, command, result.stdout)
    os.replace(temporary, out)
    return out


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    try:
        print(build(argv[1]))
    except subprocess.CalledProcessError as e:
        sys.stderr.write("%s\n%s" % (" ".join(e.cmd), e.output))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
