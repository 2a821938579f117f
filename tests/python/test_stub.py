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


# Calls as users write them, with numpy arrays and array.array: the stub must
# accept them under --strict (numpy's own stubs declare the buffer protocol
# only for Python 3.12 and later, which stubtest cannot see).
TYPED_USE = '''
import array
import numpy as np
import vonk

ids = np.array([1, 2, 3], dtype=np.int64)
payload: bytes = vonk.pack(ids, "cl100k_base", gzip=True)
back: array.array[int] = vonk.unpack(payload, vonk.Codec("cl100k_base"))
flat, offsets = vonk.pack_many(array.array("I", [1, 2]), np.array([0, 1, 2]), "gpt2")
tokens, token_offsets = vonk.unpack_many(memoryview(flat), offsets, "gpt2")
total: int = tokens[0] + token_offsets[-1] + len(back)
vonk.write_token_file("t.arrow", ids, None, "cl100k_base", chunk_size=2)
with vonk.TokenFileWriter("u.arrow", vonk.Codec("gpt2")) as writer:
    writer.write(ids)
f = vonk.TokenFile(["t.arrow"])
window: np.ndarray = f.windows(np.array([0]), 2)
document: array.array[int] = f.document(len(f) - 1)
'''


def test_typical_calls_pass_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    pytest.importorskip("numpy")
    (tmp_path / "use.py").write_text(TYPED_USE)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "use.py"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
