"""Builds the compiled part of the quorvane Python package for `pip install .`.

The package's metadata stands in pyproject.toml; `make` builds the same extension with CMake.
"""

from glob import glob

from pybind11.setup_helpers import Pybind11Extension
from setuptools import setup

setup(
    ext_modules=[
        Pybind11Extension(
            "quorvane._quorvane",
            # The binding and the whole core, paths relative to this file as setuptools wants.
            ["python/src/binding.cpp"] + sorted(glob("core/*.cpp") + glob("core/engine/*.cpp")),
            include_dirs=["core"],
            cxx_std=17,
            # Results must be bit-for-bit those of the written arithmetic: no fused multiply-add.
            # The engine's workers run on std::thread.
            extra_compile_args=["-ffp-contract=off", "-pthread"],
            extra_link_args=["-pthread"],
        )
    ],
    # Out of the way of CMake's build/ tree.
    options={"build": {"build_base": "build/setuptools"}},
)
