"""Checks of the mapping data sets in data/NAME.jsonl.

These read the committed files directly (no compiled module needed): the
line layout and token rendering, the content rules every data set obeys,
the figures that do not depend on the counting corpus, and how the data
sets relate to each other.  Each file is parsed once per test session.
"""

from __future__ import annotations

import collections
import functools
import json
import pathlib
import re
from dataclasses import dataclass, field

import pytest

from conftest import DATA_SETS

DATA_DIR = pathlib.Path(__file__).resolve().parents[2] / "data"
VOCAB_DIR = pathlib.Path(__file__).resolve().parents[3] / "shared" / "vocab"

NAMES = DATA_SETS

# One record per line, keys in this order, single spaces, plain decimals.
# Inside the token string: printable ASCII except '"' and '\', the short
# escapes \" \\ \b \t \n \f \r, or \u with four lowercase hex digits.
LINE_RE = re.compile(
    r'\{"token": ("(?:[\x20\x21\x23-\x5b\x5d-\x7e]|\\["\\bfnrt]|\\u[0-9a-f]{4})*"), '
    r'"token_id": (0|[1-9][0-9]*), '
    r'"mapped_id": (0|-?[1-9][0-9]*), '
    r'"count": (0|[1-9][0-9]*)\}'
)
ESCAPE_RE = re.compile(r"\\(u[0-9a-f]{4}|.)")

# Characters that are stored raw or with a short escape, never as \uXXXX.
NOT_AS_U_ESCAPE = set(range(0x20, 0x7F)) | {0x08, 0x09, 0x0A, 0x0C, 0x0D}

# Count-independent figures: records N, lowest and highest mapped id,
# unique token texts (entries of a text lookup table).
FIGURES = {
    "cl100k_base": (100_277, -50138, 50138, 99_578),
    "r50k_base": (50_257, -25128, 25128, 49_924),
    "o200k_base": (200_019, -100009, 100009, 198_816),
    "o200k_harmony": (201_088, -100543, 100544, 199_885),
    "p50k_base": (50_281, -25140, 25140, 49_948),
    "p50k_edit": (50_284, -25141, 25142, 49_951),
}


def _reserved(*ids: int) -> dict[int, str]:
    return {i: f"<|reserved_{i}|>" for i in ids}


SPECIAL_IDS = {
    "cl100k_base": {
        **_reserved(100256, *range(100261, 100276)),
        100257: "<|endoftext|>",
        100258: "<|fim_prefix|>",
        100259: "<|fim_middle|>",
        100260: "<|fim_suffix|>",
        100276: "<|endofprompt|>",
    },
    "r50k_base": {50256: "<|endoftext|>"},
    "o200k_base": {
        **_reserved(199998, *range(200000, 200018)),
        199999: "<|endoftext|>",
        200018: "<|endofprompt|>",
    },
    "o200k_harmony": {
        **_reserved(*range(199998, 201088)),
        199998: "<|startoftext|>",
        199999: "<|endoftext|>",
        200002: "<|return|>",
        200003: "<|constrain|>",
        200005: "<|channel|>",
        200006: "<|start|>",
        200007: "<|end|>",
        200008: "<|message|>",
        200012: "<|call|>",
    },
    "p50k_base": {50256: "<|endoftext|>"},
    "p50k_edit": {
        50256: "<|endoftext|>",
        50281: "<|fim_prefix|>",
        50282: "<|fim_middle|>",
        50283: "<|fim_suffix|>",
    },
}

# Texts shared by several ids: (number of such texts, records involved,
# records of "\ufffd", of " \ufffd", of "\ufffd\ufffd").
SHARED_TEXTS = {
    "cl100k_base": (6, 705, 459, 171, 69),
    "r50k_base": (7, 340, 255, 43, 31),
    "p50k_base": (7, 340, 255, 43, 31),
    "p50k_edit": (7, 340, 255, 43, 31),
    "o200k_base": (18, 1_221, 689, 411, 88),
    "o200k_harmony": (18, 1_221, 689, 411, 88),
}


@dataclass
class Record:
    token: str
    token_id: int
    mapped_id: int
    count: int


@dataclass
class DataSet:
    name: str
    raw: bytes
    records: list[Record] = field(default_factory=list)
    # (line number, problem) for every line that breaks the layout.
    layout_errors: list[tuple[int, str]] = field(default_factory=list)
    escape_errors: list[tuple[int, str]] = field(default_factory=list)

    def by_id(self) -> dict[int, Record]:
        return {r.token_id: r for r in self.records}


def _escape_problems(body: str) -> list[str]:
    """Escapes in a JSON string body that the stored rendering never uses."""
    problems = []
    pending_high = None  # end offset of a high surrogate escape awaiting its low half
    for m in ESCAPE_RE.finditer(body):
        esc = m.group(1)
        if pending_high is not None and (m.start() != pending_high or not esc.startswith("u")):
            problems.append("high surrogate escape without low half")
        high_end, pending_high = pending_high, None
        if not esc.startswith("u"):
            continue
        code = int(esc[1:], 16)
        if code in NOT_AS_U_ESCAPE:
            problems.append(f"\\{esc} for a character stored raw or with a short escape")
        elif 0xD800 <= code <= 0xDBFF:
            pending_high = m.end()
        elif 0xDC00 <= code <= 0xDFFF and high_end != m.start():
            problems.append(f"low surrogate \\{esc} without high half")
    if pending_high is not None:
        problems.append("high surrogate escape at the end of the string")
    return problems


@functools.lru_cache(maxsize=None)
def load(name: str) -> DataSet:
    raw = (DATA_DIR / f"{name}.jsonl").read_bytes()
    ds = DataSet(name, raw)
    text = raw.decode("ascii", "replace")
    body = text[:-1] if text.endswith("\n") else text
    for line_no, line in enumerate(body.split("\n"), 1):
        m = LINE_RE.fullmatch(line)
        if m is None:
            ds.layout_errors.append((line_no, line[:120]))
            continue
        string = m.group(1)
        if "\\" in string:
            ds.escape_errors.extend((line_no, p) for p in _escape_problems(string[1:-1]))
        ds.records.append(Record(json.loads(string), int(m.group(2)), int(m.group(3)), int(m.group(4))))
    return ds


@pytest.fixture(params=NAMES)
def data_set(request) -> DataSet:
    return load(request.param)


# ---------------------------------------------------------------- layout


def test_file_layout(data_set):
    raw = data_set.raw
    assert raw.isascii()
    assert b"\r" not in raw
    assert raw.endswith(b"\n")
    assert not raw.startswith(b"\n") and b"\n\n" not in raw


def test_every_line_has_the_record_shape(data_set):
    assert data_set.layout_errors == []
    assert len(data_set.records) == data_set.raw.count(b"\n")


def test_token_escapes_are_canonical(data_set):
    assert data_set.escape_errors == []


def test_parsed_texts_hold_no_lone_surrogate(data_set):
    for r in data_set.records:
        assert not any(0xD800 <= ord(c) <= 0xDFFF for c in r.token), r


def test_escape_checker_rejects_non_canonical_forms():
    # The checker itself must see what it is meant to see.
    assert _escape_problems(r"a\u00e9\ud83d\ude42\n\\u0041") == []
    assert _escape_problems(r"\u0041") != []          # printable ASCII escaped
    assert _escape_problems(r"\u000a") != []          # short form exists
    assert _escape_problems(r"\ud83d") != []          # lone high surrogate
    assert _escape_problems(r"\ude42") != []          # lone low surrogate
    assert _escape_problems(r"\ud83dx\ude42") != []   # halves not adjacent
    assert LINE_RE.fullmatch('{"token": "\\/", "token_id": 1, "mapped_id": 1, "count": 1}') is None
    assert LINE_RE.fullmatch('{"token": "\\u00E9", "token_id": 1, "mapped_id": 1, "count": 1}') is None
    assert LINE_RE.fullmatch('{"token": "\x7f", "token_id": 1, "mapped_id": 1, "count": 1}') is None
    assert LINE_RE.fullmatch('{"token": "a", "token_id": 01, "mapped_id": 1, "count": 1}') is None
    assert LINE_RE.fullmatch('{"token": "a", "token_id": 1, "mapped_id": -0, "count": 1}') is None
    assert LINE_RE.fullmatch('{"token": "a", "token_id": 1, "mapped_id": -5, "count": 1}') is not None


# ---------------------------------------------------------------- content rules


def test_coverage_of_all_ids(data_set):
    n = FIGURES[data_set.name][0]
    assert len(data_set.records) == n
    assert sorted(r.token_id for r in data_set.records) == list(range(n))


def test_records_sorted_by_count_then_id(data_set):
    keys = [(-r.count, r.token_id) for r in data_set.records]
    assert keys == sorted(keys)


def test_mapped_ids_follow_position(data_set):
    for position, r in enumerate(data_set.records):
        expected = (position + 1) // 2 if position % 2 else -(position // 2)
        assert r.mapped_id == expected, (position, r)
    _, lowest, highest, _ = FIGURES[data_set.name]
    mapped = [r.mapped_id for r in data_set.records]
    assert (min(mapped), max(mapped)) == (lowest, highest)
    assert (mapped[127], mapped[128]) == (64, -64)


def test_single_byte_tokens(data_set):
    expected = {}
    for i in range(94):
        expected[i] = chr(0x21 + i)
    for i in [*range(94, 188), *range(222, 256)]:
        expected[i] = "\ufffd"
    for i in range(188, 220):
        expected[i] = chr(i - 188)
    expected[220] = " "
    expected[221] = "\x7f"
    by_id = data_set.by_id()
    assert {i: by_id[i].token for i in range(256)} == expected


def test_special_texts_only_at_special_ids(data_set):
    special = {r.token_id: r.token for r in data_set.records
               if r.token.startswith("<|") and r.token.endswith("|>")}
    assert special == SPECIAL_IDS[data_set.name]
    by_id = data_set.by_id()
    assert all(by_id[i].count == 0 for i in special)


def test_zero_counts_form_the_tail_in_id_order(data_set):
    counts = [r.count for r in data_set.records]
    assert all(0 <= c < 2**32 for c in counts)
    first_zero = counts.index(0)
    tail = data_set.records[first_zero:]
    assert all(r.count == 0 for r in tail)
    ids = [r.token_id for r in tail]
    assert ids == sorted(ids)


def test_no_empty_token_text(data_set):
    assert all(r.token for r in data_set.records)


# ---------------------------------------------------------------- shared texts


def test_texts_shared_by_several_ids(data_set):
    n_texts, n_records, fffd, space_fffd, fffd2 = SHARED_TEXTS[data_set.name]
    groups = collections.defaultdict(list)
    for r in data_set.records:
        groups[r.token].append(r)
    shared = {t: g for t, g in groups.items() if len(g) > 1}
    assert len(shared) == n_texts
    assert sum(len(g) for g in shared.values()) == n_records
    sizes = {t: len(g) for t, g in shared.items()}
    assert (sizes["\ufffd"], sizes[" \ufffd"], sizes["\ufffd\ufffd"]) == (fffd, space_fffd, fffd2)
    for text, size in sizes.items():
        assert "\ufffd" in text, text
        if text not in ("\ufffd", " \ufffd", "\ufffd\ufffd"):
            assert 2 <= size <= 5, (text, size)


def test_unique_text_count(data_set):
    assert len({r.token for r in data_set.records}) == FIGURES[data_set.name][3]


# ---------------------------------------------------------------- relations


def test_o200k_harmony_extends_o200k_base():
    base, harmony = load("o200k_base").records, load("o200k_harmony").records
    assert len(base) == 200_019 and len(harmony) == 201_088
    differing = set()
    for b, h in zip(base, harmony):
        assert (b.token_id, b.mapped_id, b.count) == (h.token_id, h.mapped_id, h.count)
        if b.token != h.token:
            differing.add(b.token_id)
    assert differing == {199998, 200002, 200003, 200005, 200006, 200007, 200008, 200012, 200018}
    by_id = {r.token_id: r.token for r in harmony}
    assert by_id[200018] == "<|reserved_200018|>"
    appended = harmony[200_019:]
    assert [r.token_id for r in appended] == list(range(200019, 201088))
    assert all(r.count == 0 and r.token == f"<|reserved_{r.token_id}|>" for r in appended)
    assert appended[0].mapped_id == 100010 and appended[1].mapped_id == -100010
    assert appended[-1].mapped_id == 100544


def test_p50k_edit_appends_fim_records():
    base, edit = load("p50k_base").records, load("p50k_edit").records
    assert edit[:len(base)] == base
    assert [(r.token, r.token_id, r.count) for r in edit[len(base):]] == [
        ("<|fim_prefix|>", 50281, 0),
        ("<|fim_middle|>", 50282, 0),
        ("<|fim_suffix|>", 50283, 0),
    ]


def test_p50k_base_shares_r50k_texts_and_adds_space_runs():
    p50k, r50k = load("p50k_base").by_id(), load("r50k_base").by_id()
    assert all(p50k[i].token == r50k[i].token for i in range(50257))
    assert [p50k[i].token for i in range(50257, 50281)] == [" " * n for n in range(2, 26)]


def test_well_known_ids():
    cl100k = load("cl100k_base").by_id()
    assert (cl100k[279].token, cl100k[11].token, cl100k[323].token) == (" the", ",", " and")


# ---------------------------------------------------------------- vocabulary


@pytest.mark.skipif(not VOCAB_DIR.is_dir(), reason="vocabulary files not available")
@pytest.mark.parametrize("name", NAMES)
def test_texts_match_vocabulary(name):
    """Every mergeable token's text is its vocabulary bytes read as UTF-8."""
    import base64

    vocab_name = "o200k_base" if name == "o200k_harmony" else name
    by_id = load(name).by_id()
    n_mergeable = 0
    for line in (VOCAB_DIR / f"{vocab_name}.tiktoken").read_bytes().splitlines():
        encoded, token_id = line.split()
        token = base64.b64decode(encoded)
        assert by_id[int(token_id)].token == token.decode("utf-8", "replace"), int(token_id)
        n_mergeable += 1
    assert n_mergeable + len(SPECIAL_IDS[name]) == len(by_id)
