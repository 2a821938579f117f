"""The type stub installed with the module matches the module itself."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys

import pytest

import vonk._internal

PACKAGE_DIR = pathlib.Path(vonk._internal.__file__).resolve().parent


MODULES = ["vonk._internal", "vonk._arrays"]


@pytest.mark.parametrize("module", MODULES)
def test_stub_and_marker_are_installed_next_to_the_module(module):
    assert (PACKAGE_DIR / f"{module.split('.')[1]}.pyi").is_file()
    assert (PACKAGE_DIR / "py.typed").is_file()


@pytest.mark.parametrize("module", MODULES)
def test_stubtest_passes(tmp_path, module):
    pytest.importorskip("mypy.stubtest")
    # Run outside the source tree so that the installed package, with its
    # stub, is the one checked.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    completed = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    output = completed.stdout + completed.stderr
    assert completed.returncode == 0, output
    assert "Success" in output, output
