"""Token files: what is read back is what was written, across chunk,
document and shard edges; damaged files fail clearly."""

from __future__ import annotations

import pickle
import subprocess
import sys
import threading
import zlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")

import vonk  # noqa: E402
import vonk.token_files  # noqa: E402
from conftest import REPO_ROOT  # noqa: E402

TOKENIZER = "cl100k_base"
ID = st.integers(0, 100255)  # every one of these is a cl100k_base id


def write_streaming(path, documents, **options):
    with vonk.TokenFileWriter(path, TOKENIZER, **options) as writer:
        for document in documents:
            writer.write(document)


def write_one_call(path, documents, **options):
    ids = np.array([i for d in documents for i in d], dtype=np.uint32)
    offsets = np.cumsum([0] + [len(d) for d in documents])
    vonk.write_token_file(path, ids, offsets, TOKENIZER, **options)


@settings(max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data(),
       shards=st.lists(st.lists(st.lists(ID, max_size=40), max_size=6), min_size=1, max_size=3),
       chunk_size=st.integers(1, 20), gzip=st.booleans(), batch_ids=st.integers(1, 60))
def test_reads_windows_and_documents_match_the_ids_written(tmp_path_factory, monkeypatch, data,
                                                           shards, chunk_size, gzip, batch_ids):
    # Small record batches, so that files hold many of them.
    monkeypatch.setattr(vonk.token_files, "_BATCH_IDS", batch_ids)
    folder = tmp_path_factory.mktemp("shards")
    paths = []
    for i, documents in enumerate(shards):
        path = folder / f"{i}.arrow"
        write_streaming(path, documents, chunk_size=chunk_size, gzip=gzip)
        # The one-call writer writes the same bytes.
        write_one_call(folder / "again.arrow", documents, chunk_size=chunk_size, gzip=gzip)
        assert path.read_bytes() == (folder / "again.arrow").read_bytes()
        paths.append(path)
    documents = [d for s in shards for d in s]
    flat = np.array([i for d in documents for i in d], dtype=np.uint32)
    f = vonk.TokenFile(paths)
    assert len(f) == len(flat)
    assert f.num_documents == len(documents)
    for i, document in enumerate(documents):
        assert list(f.document(i)) == document
    length = data.draw(st.integers(0, len(flat)))
    starts = data.draw(st.lists(st.integers(0, len(flat) - length), max_size=8))
    windows = f.windows(starts, length)
    assert windows.shape == (len(starts), length) and windows.dtype == np.uint32
    for row, start in zip(windows, starts):
        assert row.tolist() == flat[start:start + length].tolist()
        assert list(f.read(start, length)) == flat[start:start + length].tolist()


def test_one_document_when_offsets_are_none(tmp_path):
    ids = np.arange(2500, dtype=np.int64)
    vonk.write_token_file(tmp_path / "t.arrow", ids, None, TOKENIZER, chunk_size=1000)
    f = vonk.TokenFile(str(tmp_path / "t.arrow"))
    assert f.num_documents == 1 and list(f.document(-1)) == ids.tolist()


@pytest.mark.parametrize("start, length", [(-1, 3), (0, 101), (100, 1), (98, 3)])
def test_windows_outside_the_tokens_raise_index_error(tmp_path, start, length):
    vonk.write_token_file(tmp_path / "t.arrow", np.arange(100), None, TOKENIZER, chunk_size=7)
    f = vonk.TokenFile(tmp_path / "t.arrow")
    with pytest.raises(IndexError):
        f.windows([0, start], length)
    with pytest.raises(IndexError):
        f.read(start, length)


def test_threads_read_the_same_file_at_once(tmp_path):
    rng = np.random.default_rng(1)
    ids = rng.integers(0, 100256, 200_000).astype(np.uint32)
    vonk.write_token_file(tmp_path / "t.arrow", ids, None, TOKENIZER, chunk_size=512, gzip=True)
    f = vonk.TokenFile(tmp_path / "t.arrow")
    failures = []

    def work(seed):
        local = np.random.default_rng(seed)
        for _ in range(20):
            starts = local.integers(0, len(ids) - 300, 50)
            got = f.windows(starts, 300)
            if not np.array_equal(got, ids[starts[:, None] + np.arange(300)]):
                failures.append(seed)

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


# --- Damaged and foreign files ---------------------------------------------------


def rewrite(source, target, metadata=None, payload=None):
    """Writes the table of `source` to `target`, with metadata entries
    replaced and payloads changed by `payload(index, bytes) -> bytes`
    (their CRCs recomputed, so that only the reader's own checks see it)."""
    table = pa.ipc.open_file(source).read_all()
    if payload is not None:
        payloads = [payload(i, p) for i, p in enumerate(table.column("payload").to_pylist())]
        table = table.set_column(0, "payload", pa.array(payloads, pa.binary()))
        table = table.set_column(2, "crc32", pa.array([zlib.crc32(p) for p in payloads], pa.uint32()))
    if metadata is not None:
        merged = {k.decode(): v.decode() for k, v in table.schema.metadata.items()}
        merged.update(metadata)
        table = table.replace_schema_metadata({k: v for k, v in merged.items() if v is not None})
    with pa.ipc.new_file(target, table.schema) as writer:
        writer.write_table(table)


@pytest.fixture()
def good(tmp_path):
    path = tmp_path / "good.arrow"
    vonk.write_token_file(path, np.arange(1000), [0, 400, 1000], TOKENIZER, chunk_size=100)
    return path


@pytest.mark.parametrize("damage, message", [
    (lambda p, t: t.write_bytes(p.read_bytes()[:-100]), "not an Arrow IPC file"),
    (lambda p, t: t.write_bytes(b"just text\n" * 10), "not an Arrow IPC file"),
    (lambda p, t: pa.ipc.new_file(t, pa.schema([("x", pa.int8())])).close(), "not a vonk token file"),
    (lambda p, t: rewrite(p, t, {"vonk.format_version": "9"}), "version '9' is not supported"),
    (lambda p, t: rewrite(p, t, {"vonk.token_count": "1001"}), "need 11 chunks, the file holds 10"),
    (lambda p, t: rewrite(p, t, {"vonk.chunk_size": "50"}), "need 20 chunks"),
    (lambda p, t: rewrite(p, t, {"vonk.document_count": "3"}), "document_count is 3"),
    (lambda p, t: rewrite(p, t, {"vonk.gzip": None}), "vonk.gzip is None"),
    (lambda p, t: rewrite(p, t, {"vonk.tokenizer": None}), "must name either a tokenizer"),
])
def test_damaged_files_are_refused_on_open(good, tmp_path, damage, message):
    target = tmp_path / "bad.arrow"
    damage(good, target)
    with pytest.raises(ValueError, match=message) as raised:
        vonk.TokenFile(target)
    assert str(target) in str(raised.value)


@pytest.mark.parametrize("gzip", [False, True])
@pytest.mark.parametrize("damage, message", [
    ("flip", "does not match its CRC-32"),
    ("short", "holds 99 ids, not 100"),
    ("garbage", "chunk 3 is damaged"),
])
def test_a_damaged_chunk_fails_the_windows_that_touch_it(tmp_path, gzip, damage, message):
    ids = np.arange(1000)
    path = tmp_path / "t.arrow"
    vonk.write_token_file(path, ids, None, TOKENIZER, chunk_size=100, gzip=gzip)
    target = tmp_path / "bad.arrow"
    if damage == "flip":
        # One byte of chunk 3's payload changed in place: only the CRC tells.
        f = vonk.TokenFile(path)
        at = int(f._shards[0].ends[3]) - 2
        data = bytearray(path.read_bytes())
        data[at] ^= 0x01
        target.write_bytes(bytes(data))
    elif damage == "short":
        rewrite(path, target, payload=lambda i, p: vonk.pack(ids[i * 100:i * 100 + 99], TOKENIZER,
                                                              gzip=gzip) if i == 3 else p)
    else:
        rewrite(path, target, payload=lambda i, p: b"\x19\xfc\xff\xff" if i == 3 else p)
    f = vonk.TokenFile(target)
    assert f.windows([0, 450], 50).tolist() == [list(range(50)), list(range(450, 500))]
    for start in (300, 399, 250):
        with pytest.raises(ValueError, match=message) as raised:
            f.windows([0, start], 60)
        assert f"{target}: chunk 3 is damaged" in str(raised.value)


def test_tokenizers_must_rank_alike(good, tmp_path):
    with pytest.raises(ValueError, match="written with tokenizer 'cl100k_base', ranking fingerprint"):
        vonk.TokenFile(good, tokenizer="gpt2")
    for same in (vonk.Codec(TOKENIZER), vonk.Mapping(TOKENIZER)):
        assert vonk.TokenFile(good, tokenizer=same).read(0, 1000).tolist() == list(range(1000))
    other = tmp_path / "other.arrow"
    vonk.write_token_file(other, [1, 2, 3], None, "gpt2")
    assert vonk.TokenFile(other, tokenizer="r50k_base").read(0, 3).tolist() == [1, 2, 3]
    with pytest.raises(ValueError, match="shards must share one tokenizer"):
        vonk.TokenFile([good, other])


def test_a_file_written_with_a_mapping_needs_that_mapping(tmp_path):
    rng = np.random.default_rng(3)
    mapping = vonk.Mapping.from_counts(rng.integers(0, 50, 300), name="small")
    other = vonk.Mapping.from_counts(rng.integers(0, 50, 300), name="small")
    ids = rng.integers(0, 300, 5000)
    path = tmp_path / "t.arrow"
    vonk.write_token_file(path, ids, None, mapping, chunk_size=64, gzip=True)
    f = vonk.TokenFile(path, tokenizer=mapping)
    # A worker process (a DataLoader's) gets it pickled: it maps the file anew.
    for opened in (f, pickle.loads(pickle.dumps(f))):
        assert opened.read(100, 900).tolist() == ids[100:1000].tolist()
    with pytest.raises(ValueError, match=f"fingerprint {mapping.fingerprint}.*fingerprint {other.fingerprint}"):
        vonk.TokenFile(path, tokenizer=other)
    for wrong in (None, TOKENIZER):
        with pytest.raises(ValueError, match="written with mapping 'small'"):
            vonk.TokenFile(path, tokenizer=wrong)
    # A file written with a built-in mapping opens without one.
    vonk.write_token_file(path, ids, None, vonk.Mapping("gpt2"))
    assert vonk.TokenFile(path).read(0, 5).tolist() == ids[:5].tolist()


def test_a_failed_writer_leaves_no_file(tmp_path):
    path = tmp_path / "t.arrow"
    with pytest.raises(OverflowError):
        with vonk.TokenFileWriter(path, TOKENIZER) as writer:
            writer.write([1, 2, 3])
            writer.write([2**32])
    assert not path.exists()


def test_import_vonk_does_not_import_pyarrow():
    code = "import sys, vonk; print('pyarrow' in sys.modules, vonk.TokenFile.__name__)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         cwd=REPO_ROOT.parent, check=True).stdout
    assert out.split() == ["False", "TokenFile"]


@pytest.mark.skipif(not (REPO_ROOT / "examples").is_dir(), reason="not run from a source tree")
@pytest.mark.parametrize("source", [[], ["--ids", "--gzip"]])
def test_the_example_runs_small_on_a_cluster(tmp_path, source):
    pytest.importorskip("dask.bag")
    pytest.importorskip("distributed")
    completed = subprocess.run(
        [sys.executable, str(REPO_ROOT / "examples" / "token_files.py"), "--text-mb", "0.3",
         "--partitions", "3", "--workers", "2", "--steps", "5", "--batch-size", "4",
         "--block-size", "256", *source],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert "3 shards written by 2 worker processes" in completed.stdout
    assert "every batch equals the memmap's" in completed.stdout
