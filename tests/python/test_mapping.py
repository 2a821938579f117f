"""vonk.Mapping: rankings of any vocabulary, built from counts, saved and loaded."""

from __future__ import annotations

import pickle
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vonk
from conftest import DATA_DIR, DATA_SETS, TOKENIZERS
from test_datasets import load as load_data_set


@pytest.mark.parametrize("name", DATA_SETS)
def test_rebuilding_a_data_set_from_its_counts_and_texts_gives_its_records(name, tmp_path):
    records = sorted(load_data_set(name).records, key=lambda r: r.token_id)
    counts = np.array([r.count for r in records], np.uint64)
    rebuilt = vonk.Mapping.from_counts(counts, name="rebuilt", texts=[r.token for r in records])
    rebuilt.save(tmp_path / "rebuilt.jsonl")
    assert (tmp_path / "rebuilt.jsonl").read_bytes() == (DATA_DIR / f"{name}.jsonl").read_bytes()
    built_in = vonk.Mapping(name)
    assert rebuilt.fingerprint == built_in.fingerprint and rebuilt == built_in
    assert list(built_in.counts) == list(counts)


def test_names_share_fingerprints_only_where_their_data_sets_do():
    fingerprints = {name: vonk.Mapping(name).fingerprint for name in TOKENIZERS}
    assert fingerprints["gpt2"] == fingerprints["r50k_base"]
    assert len(set(fingerprints.values())) == len(TOKENIZERS) - 1


def _payload_size(counts: list[int], ids: list[int]) -> int:
    """What a payload of `ids` takes under the ranking of `counts`."""
    order = sorted(range(len(counts)), key=lambda i: (-counts[i], i))
    position = {token_id: p for p, token_id in enumerate(order)}

    def varint(value: int) -> int:
        return max(1, (value.bit_length() + 6) // 7)

    def zigzag_size(n: int) -> int:
        return varint(((n << 1) ^ (n >> 31)) & 0xFFFFFFFF)

    def mapped(p: int) -> int:
        return (p + 1) // 2 if p % 2 else -(p // 2)

    header = 1 if len(ids) < 15 else 1 + varint(len(ids))
    return 1 + header + sum(zigzag_size(mapped(position[i])) for i in ids) + 1


@settings(max_examples=60, deadline=None)
@given(st.data())
def test_payloads_take_the_size_their_ranking_implies(data):
    counts = data.draw(st.lists(st.integers(0, 2**40), min_size=1, max_size=3000))
    ids = data.draw(st.lists(st.integers(0, len(counts) - 1), max_size=400))
    mapping = vonk.Mapping.from_counts(counts, name="drawn")
    payload = vonk.pack(ids, mapping)
    assert len(payload) == _payload_size(counts, ids)
    assert list(vonk.unpack(payload, mapping)) == ids
    flat, offsets = vonk.pack_many(ids, [0, len(ids)], mapping, gzip=True)
    assert list(vonk.unpack_many(flat, offsets, mapping, gzip=True)[0]) == ids


def test_from_token_ids_counts_the_sample():
    rng = np.random.default_rng(7)
    ids = rng.zipf(1.3, 200_000) % 5000
    for sample in (ids.astype(np.uint32), ids.astype(np.int64), ids.tolist()[:5000]):
        expected = np.bincount(np.asarray(sample), minlength=5000)
        mapping = vonk.Mapping.from_token_ids(sample, vocab_size=5000, name="sample")
        assert np.array_equal(np.asarray(mapping.counts), expected)
        assert mapping == vonk.Mapping.from_counts(expected, name="other name")


@pytest.mark.parametrize("texts", [None, [f"t{i}" for i in range(6)], [b"\xff", b"a", "b", "\u00e9", "c", b"d"]])
def test_save_load_and_pickle_keep_the_mapping(texts, tmp_path):
    counts = [3, 2**40, 2**33, 0, 2**40, 7]  # two ties beyond what a saved count holds
    mapping = vonk.Mapping.from_counts(counts, name="mine", texts=texts)
    mapping.save(tmp_path / "mine.jsonl")
    loaded = vonk.Mapping.load(tmp_path / "mine.jsonl")
    for copy in (loaded, pickle.loads(pickle.dumps(mapping))):
        assert copy == mapping and copy.name == "mine" and len(copy) == 6
        assert vonk.pack([1, 4, 2, 5], copy) == vonk.pack([1, 4, 2, 5], mapping)
    assert list(pickle.loads(pickle.dumps(mapping)).counts) == counts
    assert list(loaded.counts) == [min(c, 2**32 - 1) for c in counts]
    assert pickle.loads(pickle.dumps(vonk.Mapping("gpt2"))) == vonk.Mapping("r50k_base")


GOOD = [
    '{"token": "a", "token_id": 1, "mapped_id": 0, "count": 5}',
    '{"token": "b", "token_id": 0, "mapped_id": 1, "count": 4}',
    '{"token": "c", "token_id": 2, "mapped_id": -1, "count": 2}',
]


@pytest.mark.parametrize(
    "lines, message",
    [
        (GOOD[:1] + ['{"token_id": 0, "mapped_id": 1, "count": 5}'] + GOOD[2:],
         "line 2, column 43: missing field `token`"),
        (GOOD[:2] + ['{"token": "c", "token_id": 5, "mapped_id": -1, "count": 2}'],
         "line 3: token id 5 is beyond the last id of a vocabulary of 3 records"),
        (GOOD[:2] + ['{"token": "c", "token_id": 1, "mapped_id": -1, "count": 2}'],
         "line 3: token id 1 appears twice (also at line 1)"),
        (GOOD[:2] + ['{"token": "c", "token_id": 2, "mapped_id": -1, "count": 9}'],
         "line 3: count 9 of token id 2 follows the smaller count 4"),
        (GOOD[:1] + [GOOD[1].replace('"count": 4', '"count": 5')] + GOOD[2:],
         "line 2: token id 0 follows token id 1 of the same count 5"),
        (GOOD[:1] + [GOOD[1].replace('"mapped_id": 1', '"mapped_id": -1')] + GOOD[2:],
         "line 2: mapped id -1 in record 2, whose position gives 1"),
        (GOOD[:2] + ['{"token": "c", "token_id": 2, "mapped_id": -1}'],
         "line 3: the record has no count"),
        (["", "  "], "the text holds no records"),
    ],
    ids=["unreadable", "beyond", "twice", "order", "ties", "mapped-id", "no-count", "empty"],
)
def test_damaged_files_name_the_file_line_and_fault(lines, message, tmp_path):
    path = tmp_path / "bad.jsonl"
    path.write_text("\n".join(["", *lines]) + "\n")  # a blank first line shifts every line
    with pytest.raises(ValueError) as caught:
        vonk.Mapping.load(path)
    shifted = message.replace("line 3", "line 4").replace("line 2", "line 3").replace("line 1)", "line 2)")
    assert str(caught.value).startswith(f"{path}: {shifted}")


def test_ids_past_the_vocabulary_fail_like_the_list_api():
    mapping = vonk.Mapping.from_counts([5, 1, 0], name="small")
    with pytest.raises(KeyError, match="Token ID 3 not found in mapping"):
        vonk.pack([0, 3], mapping)
    with pytest.raises(KeyError, match="Mapped ID 2 not found"):
        vonk.unpack(vonk.Codec("gpt2").encode_mapped_ids([2]), mapping)
    with pytest.raises(OverflowError, match="element 1 is 3, outside the vocabulary's token ids 0 to 2"):
        vonk.Mapping.from_token_ids([0, 3], vocab_size=3, name="x")
    with pytest.raises(ValueError, match="at least one token id"):
        vonk.Mapping.from_counts([], name="x")
    with pytest.raises(ValueError, match="more than a mapping holds"):
        vonk.Mapping.from_token_ids([], vocab_size=2**28 + 1, name="x")
    with pytest.raises(ValueError, match="2 texts for a vocabulary of 3"):
        vonk.Mapping.from_counts([1, 2, 3], name="x", texts=["a", "b"])


@pytest.mark.skipif(not (DATA_DIR.parent / "examples").is_dir(), reason="not run from a source tree")
def test_own_mapping_example_runs_small(tmp_path):
    pytest.importorskip("tokenizers")
    completed = subprocess.run(
        [sys.executable, str(DATA_DIR.parent / "examples" / "own_mapping.py"),
         "--vocab-size", "1000", "--max-chars", "200000"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert "every payload decoded with the loaded mapping" in completed.stdout
    assert "| vonk.pack under the own mapping, gzip" in completed.stdout


def test_vonk_arrow_takes_a_mapping():
    pa = pytest.importorskip("pyarrow")
    import vonk.arrow

    mapping = vonk.Mapping.from_counts([1, 9, 4, 0], name="four")
    column = pa.array([[1, 2, 3], [], [0]], pa.list_(pa.uint32()))
    packed = vonk.arrow.pack(column, mapping)
    assert packed.to_pylist() == [vonk.pack(ids, mapping) for ids in column.to_pylist()]
    assert vonk.arrow.unpack(packed, mapping).to_pylist() == column.to_pylist()
