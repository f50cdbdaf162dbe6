"""Builds the compiled part of the quorvane Python package for `pip install .`.

The package's metadata stands in pyproject.toml. The extension quorvane._quorvane is built by
CMake from python/CMakeLists.txt, exactly as `make` builds it: the same sources and the same
flags (the repository's CMakeLists.txt sets -ffp-contract=off for the core and the binding),
here with Octave, the tests, the benchmark and the fuzzers switched off.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeExtension(Extension):
    """An extension that the CMake target `target` builds; setuptools compiles nothing itself."""

    def __init__(self, name, target):
        super().__init__(name, sources=[])
        self.target = target


class CMakeBuild(build_ext):
    """Configures the repository with CMake in the build's temporary directory, builds the
    extension's target there and copies the module to where setuptools packages it."""

    def build_extension(self, ext):
        tree = Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake",
            "-S",
            str(ROOT),
            "-B",
            str(tree),
            "-DQUORVANE_OCTAVE=OFF",
            "-DQUORVANE_PYTHON=ON",
            f"-DQUORVANE_PYTHON_EXECUTABLE={sys.executable}",
            "-DQUORVANE_TESTS=OFF",
        ]
        build = ["cmake", "--build", str(tree), "--target", ext.target]
        # `build_ext --parallel N` or CMake's own CMAKE_BUILD_PARALLEL_LEVEL; one job otherwise.
        if self.parallel and "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
            build += ["--parallel", str(self.parallel)]
        subprocess.run(configure, check=True)
        subprocess.run(build, check=True)

        # python/CMakeLists.txt lays the package out under <tree>/python/quorvane; pybind11
        # names the module with this interpreter's suffix, as setuptools does.
        destination = Path(self.get_ext_fullpath(ext.name))
        built = tree / "python" / "quorvane" / destination.name
        if not built.is_file():
            raise RuntimeError(f"CMake's target {ext.target} did not make {built}")
        destination.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(built, destination)


setup(
    ext_modules=[CMakeExtension("quorvane._quorvane", target="quorvane_python")],
    cmdclass={"build_ext": CMakeBuild},
    # Out of the way of CMake's own build/ tree.
    options={"build": {"build_base": "build/setuptools"}},
)
