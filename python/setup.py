"""Builds the package: the C module bqx._fast and, unless BQX_LIBRARY is set,
the library libbqx.so.1 bundled inside the package.

The library is built with CMake as the project builds it (Release, only the
library target) from the source tree one level above this directory, or
from BQX_SOURCE_DIR. BQX_CMAKE_BUILD_DIR keeps its build directory across
installs (else it lives in setuptools' temporary build directory); a
compiler launcher such as ccache is taken from CMAKE_<LANG>_COMPILER_LAUNCHER
or, when ccache is on the PATH, used as one. CMAKE_BUILD_PARALLEL_LEVEL
sets the build's jobs.

With BQX_LIBRARY set, nothing is bundled and the package loads that library
at run time. The C module is optional: where it cannot be compiled (no
Python headers), the package makes the same calls through ctypes, slower.
"""

import os
import pathlib
import shutil
import subprocess

from setuptools import Extension, setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = pathlib.Path(__file__).resolve().parent
LIBRARY_NAME = "libbqx.so.1"


def source_tree() -> pathlib.Path:
    tree = pathlib.Path(os.environ.get("BQX_SOURCE_DIR") or HERE.parent).resolve()
    if not (tree / "CMakeLists.txt").is_file() or not (tree / "include" / "bqx.h").is_file():
        raise SystemExit("bqx: no bqx source tree at %s to build %s from; set BQX_SOURCE_DIR "
                         "to it, or BQX_LIBRARY to a built library" % (tree, LIBRARY_NAME))
    return tree


def build_library(build_temp: pathlib.Path) -> pathlib.Path:
    """Configures and builds the library target; returns the built file."""
    tree = source_tree()
    build_dir = pathlib.Path(os.environ.get("BQX_CMAKE_BUILD_DIR") or build_temp / "libbqx")
    configure = ["cmake", "-S", str(tree), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
                 "-DBQX_TESTS=OFF"]
    ccache = shutil.which("ccache")
    for language in ("C", "CXX"):
        variable = "CMAKE_%s_COMPILER_LAUNCHER" % language
        if not os.environ.get(variable) and ccache:
            configure.append("-D%s=%s" % (variable, ccache))
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), "--target", "bqx"], check=True,
                   stdout=subprocess.DEVNULL)
    built = build_dir / LIBRARY_NAME
    if not built.exists():
        raise SystemExit("bqx: the build made no %s in %s" % (LIBRARY_NAME, build_dir))
    return built


class BuildWithLibrary(build_py):
    """build_py that also puts the built library into the package."""

    def run(self) -> None:
        super().run()
        target = pathlib.Path(self.build_lib) / "bqx" / LIBRARY_NAME
        if os.environ.get("BQX_LIBRARY"):
            # A library an earlier build left in build_lib is not this one.
            target.unlink(missing_ok=True)
            return
        built = build_library(pathlib.Path(self.get_finalized_command("build").build_temp))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built.resolve(), target)  # the file, not the symlink
        target.chmod(0o755)


class BinaryDistribution(Distribution):
    """The wheel holds a native library: it is tied to the platform."""

    def has_ext_modules(self) -> bool:
        return True


setup(
    cmdclass={"build_py": BuildWithLibrary},
    distclass=BinaryDistribution,
    ext_modules=[Extension("bqx._fast", ["src/bqx/_fast.c"], optional=True)],
)
