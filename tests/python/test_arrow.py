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


def _casts_binary_views():
    try:
        pa.array([b"a payload past twelve bytes"], pa.binary_view()).cast(pa.large_binary())
    except (AttributeError, pa.ArrowNotImplementedError):
        return False
    return True


needs_list_views = pytest.mark.skipif(
    not hasattr(pa, "list_view"), reason=f"pyarrow {pa.__version__} has no list views (16 has)"
)
needs_binary_views = pytest.mark.skipif(
    not _casts_binary_views(),
    reason=f"pyarrow {pa.__version__} cannot cast binary views to binary (18 can)",
)
# The column types of each run of the property test: lists and binaries
# with offsets, then the view types (which came with later pyarrow).
LIST_KINDS = {"offsets": ["list", "large_list", "fixed_size_list"],
              "list views": ["list_view", "large_list_view"]}
BINARY_KINDS = {"offsets": ["binary", "large_binary"],
                "binary views": ["binary_view", "string_view"]}
FAMILIES = ["offsets", pytest.param("list views", marks=needs_list_views),
            pytest.param("binary views", marks=needs_binary_views)]


def _validity(nulls):
    return pa.array([not n for n in nulls], pa.bool_()).buffers()[1] if any(nulls) else None


def list_column(kind, value_type, parts, nulls, *, pad=0, pool=None, ranges=None):
    """A list column of `kind` whose slots hold `parts` (the values under a
    null slot too). `pad` values precede the column's values in their own
    buffer. List views lie at `ranges` (start, size) of `pool` when given,
    else one after another in reverse order."""
    if kind in ("list_view", "large_list_view") and ranges is None:
        pool, ranges, end = [], [None] * len(parts), 0
        for index in reversed(range(len(parts))):
            ranges[index] = (end, len(parts[index]))
            pool += parts[index]
            end += len(parts[index])
    flat = pool if ranges is not None else [v for p in parts for v in p]
    values = pa.array([0] * pad + flat, value_type).slice(pad)
    large = kind.startswith("large")
    width = np.int64 if large else np.int32
    arrow_type = {"list": pa.list_, "large_list": pa.large_list,
                  "list_view": getattr(pa, "list_view", None),
                  "large_list_view": getattr(pa, "large_list_view", None)}.get(kind)
    if kind == "fixed_size_list":
        size = len(parts[0]) if parts else 0
        buffers = [_validity(nulls)]
        arrow_type = pa.list_(value_type, size)
    elif ranges is not None:
        starts = np.array([r[0] for r in ranges], width)
        sizes = np.array([r[1] for r in ranges], width)
        buffers = [_validity(nulls), pa.py_buffer(starts), pa.py_buffer(sizes)]
        arrow_type = arrow_type(value_type)
    else:
        offsets = np.cumsum([0] + [len(p) for p in parts]).astype(width)
        buffers = [_validity(nulls), pa.py_buffer(offsets)]
        arrow_type = arrow_type(value_type)
    return pa.Array.from_buffers(arrow_type, len(parts), buffers, children=[values])


@st.composite
def columns(draw, family):
    """Documents (None for a null), and how to lay them out in Arrow."""
    value_type = draw(st.sampled_from(INTEGER_TYPES))
    value_bits = value_type.bit_width - pa.types.is_signed_integer(value_type)
    top = min(2**value_bits - 1, 100_000)
    # Values under null slots, which a reader must skip: negative ones
    # where the type allows, which no document may take in.
    junk_ids = st.integers(-5 if pa.types.is_signed_integer(value_type) else 0, top)
    list_kind = draw(st.sampled_from(LIST_KINDS.get(family, LIST_KINDS["offsets"])))
    pool = ranges = None
    if list_kind == "fixed_size_list":
        size = draw(st.integers(0, 4))
        docs = draw(st.lists(st.none() | st.lists(st.integers(0, top), min_size=size,
                                                  max_size=size), max_size=12))
        junk = [draw(st.lists(junk_ids, min_size=size, max_size=size)) if d is None else []
                for d in docs]
    elif list_kind.endswith("list_view"):
        # Views anywhere in one pool of ids: out of order, overlapping, with
        # gaps; a null slot's view may cover anything.
        pool = draw(st.lists(st.integers(0, top), max_size=30))
        ranges, docs, junk = [], [], []
        for null in draw(st.lists(st.booleans(), max_size=12)):
            begin = draw(st.integers(0, len(pool)))
            ranges.append((begin, draw(st.integers(0, len(pool) - begin))))
            part = pool[begin : begin + ranges[-1][1]]
            docs.append(None if null else part)
            junk.append(part if null else [])
    else:
        docs = draw(st.lists(st.none() | st.lists(st.integers(0, top), max_size=12),
                             max_size=12))
        junk = [draw(st.lists(junk_ids, max_size=3)) if d is None else [] for d in docs]
    start = draw(st.integers(0, len(docs)))
    stop = draw(st.integers(start, len(docs)))
    cuts = sorted(draw(st.lists(st.integers(start, stop), max_size=3)))
    return dict(
        value_type=value_type, docs=docs, junk=junk, window=(start, stop),
        chunks=None if draw(st.booleans()) else [start, *cuts, stop],
        list_kind=list_kind,
        binary_kind=draw(st.sampled_from(BINARY_KINDS.get(family, BINARY_KINDS["offsets"]))),
        pool=pool, ranges=ranges, pad=draw(st.integers(0, 3)),
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


@pytest.mark.parametrize("family", FAMILIES)
@SETTINGS
@given(data=st.data())
def test_columns_match_the_list_api_both_ways(family, data):
    column = data.draw(columns(family))
    codec = Codec(TOKENIZER)
    gzip = column["gzip"]
    start, stop = column["window"]
    docs = column["docs"][start:stop]
    payloads = [None if d is None else bytes(codec.encode_token_ids(d, gzip=gzip)) for d in docs]

    def list_array(parts, nulls):
        return list_column(column["list_kind"], column["value_type"], parts, nulls,
                           pad=column["pad"], pool=column["pool"], ranges=column["ranges"])

    def binary_array(parts, nulls):
        data = b"".join(bytes(codec.encode_token_ids(p, gzip=gzip)) if not n else bytes(len(p))
                        for p, n in zip(parts, nulls))
        lengths = [len(codec.encode_token_ids(p, gzip=gzip)) if not n else len(p)
                   for p, n in zip(parts, nulls)]
        kind = column["binary_kind"]
        arrow_type, width = ((pa.large_binary(), np.int64) if kind == "large_binary"
                             else (pa.binary(), np.int32))
        offsets = np.cumsum([0] + lengths, dtype=np.int64).astype(width)
        buffers = [_validity(nulls), pa.py_buffer(offsets), pa.py_buffer(data)]
        array = pa.Array.from_buffers(arrow_type, len(parts), buffers)
        if kind in ("binary_view", "string_view"):
            array = array.cast(pa.binary_view())
        # Payloads are no text; a string view of them is what a careless
        # export gives.
        return array.view(pa.string_view()) if kind == "string_view" else array

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


def _in_place_column(kind):
    """A sliced column whose valid documents follow one another in its
    values, and the position of its first id there."""
    if kind == "fixed_size_list":
        docs = pa.array([[9906, 11, 1917, 0], [11, 0, 9906, 9906]] * 8, pa.list_(pa.uint32(), 4))
        return docs.slice(2, 13), 2 * 4
    parts = [[9906, 11, 1917, 0], [9906] * 50, [], [], [11, 0]] * 4
    nulls = [i % 5 == 2 for i in range(len(parts))]
    if kind == "list":
        # Null slots that span nothing, as Arrow's builders make them.
        tokens = list_column(kind, pa.uint32(), parts, nulls).slice(2, 15)
        return tokens, tokens.offsets[0].as_py()
    # Views in order, but null slots' views pointing anywhere.
    starts = np.cumsum([0] + [len(p) for p in parts])[:-1]
    ranges = [(0, 7) if null else (start, len(part))
              for start, part, null in zip(starts, parts, nulls)]
    pool = [v for part in parts for v in part]
    tokens = list_column(kind, pa.uint32(), parts, nulls, pool=pool, ranges=ranges)
    return tokens.slice(2, 15), ranges[4][0]


@pytest.mark.parametrize("kind", [
    "list", "fixed_size_list", pytest.param("list_view", marks=needs_list_views),
])
def test_results_wrap_the_batch_buffers_without_copying(monkeypatch, kind):
    seen = {}

    def spy(name):
        real = getattr(vonk, name)

        def call(*args, **kwargs):
            seen[name] = (args, real(*args, **kwargs))
            return seen[name][1]

        monkeypatch.setattr(vonk, name, call)

    spy("pack_many")
    spy("unpack_many")
    tokens, start = _in_place_column(kind)
    packed = vonk.arrow.pack(tokens, TOKENIZER)
    unpacked = vonk.arrow.unpack(packed, TOKENIZER)
    assert unpacked.to_pylist() == tokens.to_pylist()

    def address(buffer_like):
        return np.frombuffer(buffer_like, np.uint8).ctypes.data

    (ids_in, _, _), (payloads, payload_offsets) = seen["pack_many"]
    # The ids are read where the list array keeps them.
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


@pytest.mark.parametrize("chunked", [False, True])
@pytest.mark.parametrize("kind", [
    "list", "large_list", "fixed_size_list",
    pytest.param("list_view", marks=needs_list_views),
    pytest.param("large_list_view", marks=needs_list_views),
])
def test_an_id_out_of_range_is_named_by_its_place_in_its_document(kind, chunked):
    # A slot cut off by the slice, and a null slot over ids out of range,
    # before the failing document: the batch sees its ids elsewhere (after
    # a gather, or in another chunk) than the column shows them.
    parts = [[1, 2, 3], [4, 5, 6], [7, 8, 9], [-7, -7, -7], [10, 11, 12], [13, -5, 14]]
    nulls = [part[0] == -7 for part in parts]
    column = list_column(kind, pa.int64(), parts, nulls, pad=2).slice(1)
    if chunked:
        column = pa.chunked_array([column.slice(0, 3), column.slice(3)])
    with pytest.raises(OverflowError) as caught:
        vonk.arrow.pack(column, TOKENIZER)
    assert caught.value.document == 4
    assert str(caught.value) == ("argument 'list_array': element 1 is -5, outside the token id "
                                 "range 0 to 4294967295 (document 4)")
    assert column[4][1].as_py() == -5


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


@needs_source_tree
def test_parquet_example_runs_without_documents(tmp_path):
    pytest.importorskip("dask.dataframe")
    pytest.importorskip("distributed")
    completed = subprocess.run(
        [sys.executable, str(REPO_ROOT / "examples" / "parquet_tokens.py"),
         "--docs", "0", "--partitions", "2", "--workers", "1"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert "0 documents, 0 tokens" in completed.stdout
    assert completed.stdout.count("every document equals the original") == 2, completed.stdout
