"""What the source tree hands to users: a wheel that carries every licence,
and a clear message when the source folder itself is imported."""

from __future__ import annotations

import importlib.util
import subprocess
import sys
import zipfile

import pytest

import vonk

from conftest import REPO_ROOT

# vonk's licence and those of the code compiled into the module.
LICENCES = (
    "LICENSE",
    "third_party/rapidjson/LICENSE",
    "third_party/libdeflate/COPYING",
    "third_party/zlib/LICENSE",
)

needs_source_tree = pytest.mark.skipif(
    not (REPO_ROOT / "pyproject.toml").is_file(), reason="not run from a source tree"
)


@needs_source_tree
@pytest.mark.skipif(
    importlib.util.find_spec("scikit_build_core") is None,
    reason="scikit-build-core is not installed (pip install '.[test]' brings it)",
)
def test_wheel_carries_every_licence(tmp_path):
    # The build backend, called directly: no network, no build isolation.
    # The wheel leaves out the compiled module (wheel.cmake=false), so no
    # compiler runs; its metadata, licences included, come from the same
    # settings as the full wheel's.
    settings = {"wheel.cmake": "false", "wheel.py-api": "py3"}
    subprocess.run(
        [sys.executable, "-c", "from scikit_build_core.build import build_wheel;"
         f" build_wheel({str(tmp_path)!r}, {settings!r})"],
        cwd=REPO_ROOT, check=True, capture_output=True,
    )
    (wheel,) = tmp_path.glob("*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    folder = f"vonk-{vonk.__version__}.dist-info/licenses"
    assert [name for name in LICENCES if f"{folder}/{name}" not in names] == []


@needs_source_tree
@pytest.mark.skipif(
    any((REPO_ROOT / "vonk").glob("_internal*.so")),
    reason="a compiled module sits in the source folder",
)
def test_importing_the_source_folder_says_what_to_do():
    result = subprocess.run(
        [sys.executable, "-c", "import vonk"], cwd=REPO_ROOT, capture_output=True, text=True
    )
    assert result.returncode != 0
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: vonk was imported from its source tree"), last
    assert "pip install ." in last and "another folder" in last
