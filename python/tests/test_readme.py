"""The README's Python section as written: its example and what it prints, its installation
with pip, and the demo command with what it prints.

The installation test (marker pip_install, its own CTest test) copies the checkout without
build trees, runs the README's commands there, offline, in a fresh virtual environment made
with --system-site-packages, checks that the installed package computes the same bits as the
one built by CMake, and runs the installed demo on coins.png.
"""

import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

import quorvane
from conftest import PICTURES, REPO, assert_same_matrix


def python_section():
    text = (REPO / "README.md").read_text()
    section = re.search(r"^## Python\n(.*?)^## ", text, re.M | re.S)
    assert section, "README.md has no '## Python' section"
    return section.group(1)


def readme_blocks(language):
    """The code blocks of the given language in the README's "## Python" section."""
    return re.findall(rf"^```{language}\n(.*?)^```", python_section(), re.M | re.S)


def without_times(output):
    """The lines of the demo's output with each step's time taken off, and the times within
    the eigenvectors' progress."""
    return [
        re.sub(r"\d+\.\d+ s", "", re.sub(r"^ *\d+\.\d\d s  ", "", line))
        for line in output.splitlines()
    ]


def run_example(python, cwd, env):
    (example,) = readme_blocks("python")
    assert len(example.strip().splitlines()) <= 12
    result = subprocess.run(
        [python, "-c", example], cwd=cwd, env=env, capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_readme_example_prints_what_the_readme_says():
    out = run_example(sys.executable, REPO, os.environ.copy())
    # (pixels, pixels) entries index-dtype, for the coins photograph at a third of its size.
    n = 101 * 128
    assert re.fullmatch(rf"\({n}, {n}\) \d+ int32\n", out), out
    (stated,) = re.findall(r"^It prints `([^`]*)`", python_section(), re.M)
    assert out == stated + "\n"


# The installed package computes this case; the result must equal the in-tree one.
CHECK = """
import sys
import numpy as np
import quorvane
assert quorvane.__file__.startswith(sys.prefix), quorvane.__file__
rng = np.random.default_rng(2)
magnitude, phase = rng.random((23, 19)), rng.integers(0, 3, (23, 19)).astype(float)
indices, indptr = quorvane.disc_pattern((23, 19), 3.5)
w = quorvane.weights(magnitude, phase, indices, indptr)
np.savez(sys.argv[1], data=w.data, indices=w.indices, indptr=w.indptr)
"""


@pytest.mark.pip_install
def test_pip_install_in_a_fresh_virtual_environment(tmp_path):
    source = tmp_path / "source"
    shutil.copytree(
        REPO,
        source,
        ignore=shutil.ignore_patterns(
            ".git", "build", "build-*", "*.egg-info", "__pycache__", ".pytest_cache", "venv", "out"
        ),
    )
    # Offline, and nothing from the CMake build may leak into the installed interpreter.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "PIP_"))}
    env["PIP_NO_INDEX"] = "1"
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    commands, demo = readme_blocks("sh")
    for command in commands.strip().splitlines():
        result = subprocess.run(
            command, shell=True, cwd=source, env=env, capture_output=True, text=True, timeout=300
        )
        assert result.returncode == 0, f"{command}\n{result.stdout}\n{result.stderr}"

    python = str(source / "venv" / "bin" / "python")
    # Run away from any directory holding a quorvane package (CTest's is <build>/python).
    result = subprocess.run(
        [python, "-c", CHECK, str(tmp_path / "w.npz")],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    saved = np.load(tmp_path / "w.npz")
    installed = quorvane._csc(23 * 19, saved["data"], saved["indices"], saved["indptr"])

    rng = np.random.default_rng(2)
    magnitude, phase = rng.random((23, 19)), rng.integers(0, 3, (23, 19)).astype(float)
    indices, indptr = quorvane.disc_pattern((23, 19), 3.5)
    assert_same_matrix(installed, quorvane.weights(magnitude, phase, indices, indptr))

    assert run_example(python, source, env).startswith("(12928, 12928)")

    # The demo as the README runs it, from the installed package, prints what the README
    # shows (times aside) and writes its pictures.
    (command,) = demo.strip().splitlines()
    result = subprocess.run(
        command, shell=True, cwd=source, env=env, capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, f"{command}\n{result.stdout}\n{result.stderr}"
    (shown,) = readme_blocks("text")
    assert without_times(result.stdout) == without_times(shown)
    outdir = source / command.split()[-1]
    assert sorted(p.name for p in outdir.iterdir()) == sorted(PICTURES)
