"""Shared setup of the vonk._internal tests.

The tests exercise the INSTALLED package.  The repository's own vonk/
directory holds only the Python sources (no compiled module), so when
pytest runs from the repository root that directory must not shadow the
installed package.
"""

from __future__ import annotations

import json
import os
import pathlib
import sys

import pytest

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]
DATA_DIR = REPO_ROOT / "data"


def _is_repo_root(entry: str) -> bool:
    try:
        return pathlib.Path(entry or os.getcwd()).resolve() == REPO_ROOT
    except OSError:
        return False


sys.path[:] = [entry for entry in sys.path if not _is_repo_root(entry)]
for _name in [n for n in sys.modules if n == "vonk" or n.startswith("vonk.")]:
    _file = getattr(sys.modules[_name], "__file__", None)
    if _file and pathlib.Path(_file).resolve().is_relative_to(REPO_ROOT / "vonk"):
        del sys.modules[_name]

try:
    import vonk._internal  # noqa: F401
except ImportError as _error:
    pytest.exit(
        "cannot import the compiled module vonk._internal "
        f"({type(_error).__name__}: {_error}).\n"
        "Install the package before running these tests, for example:\n"
        f"    pip install --no-build-isolation {REPO_ROOT}\n"
        "(the vonk/ directory of the source tree has no compiled module "
        "and is never imported by the tests).",
        returncode=4,
    )

if pathlib.Path(vonk._internal.__file__).resolve().is_relative_to(REPO_ROOT / "vonk"):
    pytest.exit(
        f"vonk._internal was imported from the source tree ({vonk._internal.__file__}); "
        "the tests must run against the installed package.",
        returncode=4,
    )

# The tokenizer names in their fixed order, and the data set each selects,
# as the build declares them.
sys.path.append(str(REPO_ROOT / "tools"))
from data_set_names import DATA_SET_OF as DATA_SET  # noqa: E402
from data_set_names import DATA_SETS, TOKENIZERS  # noqa: E402, F401

# How many records from the top of each data set the tests read.
SAMPLED_RECORDS = 400


def pytest_generate_tests(metafunc: pytest.Metafunc) -> None:
    # A test that takes `tokenizer_name` runs once per tokenizer name.
    if "tokenizer_name" in metafunc.fixturenames:
        metafunc.parametrize("tokenizer_name", TOKENIZERS)


class DataSample:
    """The first records of one data set, and its record count."""

    def __init__(self, name: str) -> None:
        path = DATA_DIR / f"{DATA_SET[name]}.jsonl"
        if not path.exists():
            pytest.fail(f"mapping data {path} is missing")
        records = []
        line_count = 0
        with path.open(encoding="ascii") as lines:
            for line in lines:
                if len(records) < SAMPLED_RECORDS:
                    records.append(json.loads(line))
                line_count += 1
        self.tokens = [r["token"] for r in records]
        self.token_ids = [r["token_id"] for r in records]
        self.mapped_ids = [r["mapped_id"] for r in records]
        # One record per line, and the token ids run 0 to N-1.
        self.record_count = line_count


@pytest.fixture(scope="session")
def internal():
    return vonk._internal


@pytest.fixture(scope="session")
def codecs():
    """One Codec per tokenizer name, made on first request."""
    made: dict[str, vonk._internal.Codec] = {}

    def get(name: str) -> vonk._internal.Codec:
        if name not in made:
            made[name] = vonk._internal.Codec(name)
        return made[name]

    return get


@pytest.fixture(scope="session")
def samples():
    """DataSample per tokenizer name, read on first request."""
    read: dict[str, DataSample] = {}

    def get(name: str) -> DataSample:
        if name not in read:
            read[name] = DataSample(name)
        return read[name]

    return get


@pytest.fixture
def codec(codecs):
    return codecs("cl100k_base")
