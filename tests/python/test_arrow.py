"""vonk.arrow against the list API, its zero-copy results, and the Parquet example."""

from __future__ import annotations

import os
import subprocess
import sys
from unittest import mock

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import REPO_ROOT

pa = pytest.importorskip("pyarrow")
np = pytest.importorskip("numpy")

import vonk  # noqa: E402
import vonk.arrow  # noqa: E402
from vonk._internal import Codec  # noqa: E402

TOKENIZER = "cl100k_base"
INTEGER_TYPES = [pa.int8(), pa.int16(), pa.int32(), pa.int64(),
                 pa.uint8(), pa.uint16(), pa.uint32(), pa.uint64()]
SETTINGS = settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)


@st.composite
def columns(draw):
    """Documents (None for a null), and how to lay them out in Arrow."""
    value_type = draw(st.sampled_from(INTEGER_TYPES))
    value_bits = value_type.bit_width - pa.types.is_signed_integer(value_type)
    top = min(2**value_bits - 1, 100_000)
    docs = draw(st.lists(st.none() | st.lists(st.integers(0, top), max_size=12), max_size=12))
    # Values under null slots, which a reader must skip.
    junk = [draw(st.lists(st.integers(0, top), max_size=3)) if d is None else [] for d in docs]
    start = draw(st.integers(0, len(docs)))
    stop = draw(st.integers(start, len(docs)))
    cuts = sorted(draw(st.lists(st.integers(start, stop), max_size=3)))
    return dict(
        value_type=value_type, docs=docs, junk=junk, window=(start, stop),
        chunks=None if draw(st.booleans()) else [start, *cuts, stop],
        large_input=draw(st.booleans()),
        # Results past this many bytes or ids take 64-bit offsets: never,
        # always, or for some chunks and not others.
        limit=draw(st.sampled_from([2**31 - 1, -1]) | st.integers(0, 40)),
        gzip=draw(st.booleans()),
    )


def _layout(make, column):
    """One array over all documents (null slots spanning their junk), sliced
    to the window, then chunked at the cuts if there are cuts."""
    docs, junk = column["docs"], column["junk"]
    array = make([d if d is not None else j for d, j in zip(docs, junk)],
                 [d is None for d in docs])
    start, stop = column["window"]
    if column["chunks"] is None:
        return array.slice(start, stop - start)
    bounds = column["chunks"]
    return pa.chunked_array([array.slice(a, b - a) for a, b in zip(bounds, bounds[1:])],
                            type=array.type)


def _chunk_lengths(array):
    return [len(c) for c in array.chunks] if isinstance(array, pa.ChunkedArray) else None


@SETTINGS
@given(column=columns())
def test_columns_match_the_list_api_both_ways(column):
    codec = Codec(TOKENIZER)
    gzip = column["gzip"]
    start, stop = column["window"]
    docs = column["docs"][start:stop]
    payloads = [None if d is None else bytes(codec.encode_token_ids(d, gzip=gzip)) for d in docs]

    def list_array(parts, nulls):
        offsets = np.cumsum([0] + [len(p) for p in parts], dtype=np.int64)
        values = pa.array([v for p in parts for v in p], column["value_type"])
        kind = pa.LargeListArray if column["large_input"] else pa.ListArray
        width = pa.int64() if column["large_input"] else pa.int32()
        return kind.from_arrays(pa.array(offsets, width), values, mask=pa.array(nulls, pa.bool_()))

    def binary_array(parts, nulls):
        data = b"".join(bytes(codec.encode_token_ids(p, gzip=gzip)) if not n else bytes(len(p))
                        for p, n in zip(parts, nulls))
        lengths = [len(codec.encode_token_ids(p, gzip=gzip)) if not n else len(p)
                   for p, n in zip(parts, nulls)]
        arrow_type, width = ((pa.large_binary(), np.int64) if column["large_input"]
                             else (pa.binary(), np.int32))
        offsets = np.cumsum([0] + lengths, dtype=np.int64).astype(width)
        validity = pa.array([not n for n in nulls], pa.bool_()).buffers()[1] if any(nulls) else None
        return pa.Array.from_buffers(arrow_type, len(parts),
                                     [validity, pa.py_buffer(offsets), pa.py_buffer(data)])

    tokens = _layout(list_array, column)
    stored = _layout(binary_array, column)
    with mock.patch.object(vonk.arrow, "_MAX_32BIT_OFFSET", column["limit"]):
        packed = vonk.arrow.pack(tokens, TOKENIZER, gzip=gzip)
        unpacked = vonk.arrow.unpack(stored, TOKENIZER, gzip=gzip)
        round_trip = vonk.arrow.unpack(packed, TOKENIZER, gzip=gzip)

    large = {2**31 - 1: [False], -1: [True]}.get(column["limit"], [False, True])
    assert packed.type in [pa.large_binary() if x else pa.binary() for x in large]
    list_types = [pa.large_list(pa.uint32()) if x else pa.list_(pa.uint32()) for x in large]
    assert unpacked.type in list_types and round_trip.type in list_types
    assert packed.to_pylist() == payloads
    assert unpacked.to_pylist() == round_trip.to_pylist() == docs
    chunking = _chunk_lengths(tokens)
    for result in (packed, unpacked, round_trip):
        assert _chunk_lengths(result) == chunking
        for chunk in result.chunks if chunking is not None else [result]:
            chunk.validate(full=True)


def test_results_wrap_the_batch_buffers_without_copying(monkeypatch):
    seen = {}

    def spy(name):
        real = getattr(vonk, name)

        def call(*args, **kwargs):
            seen[name] = (args, real(*args, **kwargs))
            return seen[name][1]

        monkeypatch.setattr(vonk, name, call)

    spy("pack_many")
    spy("unpack_many")
    # Null slots that span nothing, as Arrow's builders make them.
    docs = pa.array([[9906, 11, 1917, 0], [9906] * 50, None, [], [11, 0]] * 4,
                    pa.list_(pa.uint32()))
    tokens = docs.slice(2, 15)
    packed = vonk.arrow.pack(tokens, TOKENIZER)
    unpacked = vonk.arrow.unpack(packed, TOKENIZER)
    assert unpacked.equals(tokens)

    def address(buffer_like):
        return np.frombuffer(buffer_like, np.uint8).ctypes.data

    (ids_in, _, _), (payloads, payload_offsets) = seen["pack_many"]
    # The ids are read where the list array keeps them.
    start = tokens.offsets[0].as_py()
    assert address(ids_in) == tokens.values.buffers()[1].address + 4 * start
    # The payload column's data is the payload bytes object itself.
    assert packed.buffers()[2].address == address(payloads)
    (payloads_in, _, _), (ids, id_offsets) = seen["unpack_many"]
    assert address(payloads_in) == packed.buffers()[2].address
    assert unpacked.values.buffers()[1].address == address(ids)


@pytest.mark.parametrize("operation, column, error", [
    ("pack", pa.array([1, 2]), TypeError),
    ("pack", pa.array([[1.0]]), TypeError),
    ("pack", pa.array([[1, None]], pa.list_(pa.uint32())), ValueError),
    ("pack", [[1, 2]], TypeError),
    ("unpack", pa.array(["text"]), TypeError),
    ("unpack", b"\x19\x05\x00", TypeError),
])
def test_inputs_of_other_types_are_refused(operation, column, error):
    with pytest.raises(error, match="array"):
        getattr(vonk.arrow, operation)(column, TOKENIZER)


@pytest.mark.parametrize("operation", ["pack", "unpack"])
def test_a_failing_document_is_numbered_in_the_callers_array(operation):
    good = [9906, 11]
    if operation == "pack":
        chunks = [pa.array([good, None, good], pa.list_(pa.uint32())),
                  pa.array([None, good, [4294967295], good], pa.list_(pa.uint32()))]
    else:
        payload = bytes(Codec(TOKENIZER).encode_token_ids(good))
        chunks = [pa.array([payload, None, payload]), pa.array([None, payload, b"\x19", payload])]
    with pytest.raises(Exception) as caught:
        getattr(vonk.arrow, operation)(pa.chunked_array(chunks), TOKENIZER)
    assert caught.value.document == 5
    assert str(caught.value.args[0]).endswith("(document 5)")


def test_importing_vonk_imports_no_optional_dependency(tmp_path):
    code = ("import sys, vonk; "
            "print(sorted(m for m in ('numpy', 'pyarrow', 'pandas', 'dask') if m in sys.modules))")
    completed = subprocess.run([sys.executable, "-c", code], cwd=tmp_path,
                               capture_output=True, text=True, timeout=60)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.strip() == "[]"


needs_source_tree = pytest.mark.skipif(
    not (REPO_ROOT / "examples").is_dir(), reason="not run from a source tree"
)


@needs_source_tree
def test_vonk_arrow_is_strictly_typed(tmp_path):
    pytest.importorskip("mypy")
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--config-file", str(REPO_ROOT / "pyproject.toml"), "-p", "vonk.arrow"],
        cwd=tmp_path, capture_output=True, text=True, timeout=600,
        env={k: v for k, v in os.environ.items() if k != "MYPYPATH"},
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr


@needs_source_tree
def test_parquet_example_runs_small_on_a_cluster(tmp_path):
    pytest.importorskip("dask.dataframe")
    pytest.importorskip("distributed")
    completed = subprocess.run(
        [sys.executable, str(REPO_ROOT / "examples" / "parquet_tokens.py"),
         "--docs", "60", "--partitions", "3", "--workers", "2"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert "60 documents" in completed.stdout
    assert completed.stdout.count("every document equals the original") == 2, completed.stdout
    assert "3 partitions on 2 worker processes" in completed.stdout
