"""The data sets and tokenizer names, read from the lists CMakeLists.txt
declares (VONK_DATA_SETS, VONK_TOKENIZER_ALIASES): the one place they are
written, for the module's build, its tests and its tools alike."""

from __future__ import annotations

import pathlib
import re

CMAKE_LISTS = pathlib.Path(__file__).resolve().parent.parent / "CMakeLists.txt"


def _cmake_list(variable: str) -> list[str]:
    text = CMAKE_LISTS.read_text(encoding="utf-8")
    match = re.search(rf"^set\({variable}\s([^)]*)\)", text, re.MULTILINE)
    if match is None:
        raise RuntimeError(f"{CMAKE_LISTS} sets no {variable}")
    return match.group(1).split()


# Each data set is stored as data/NAME.jsonl.
DATA_SETS: tuple[str, ...] = tuple(_cmake_list("VONK_DATA_SETS"))
# Every tokenizer name and the data set it selects, in ascending byte order.
DATA_SET_OF: dict[str, str] = dict(
    sorted(
        [(name, name) for name in DATA_SETS]
        + [tuple(alias.split("=", 1)) for alias in _cmake_list("VONK_TOKENIZER_ALIASES")],
        key=lambda pair: pair[0].encode(),
    )
)
TOKENIZERS: tuple[str, ...] = tuple(DATA_SET_OF)
