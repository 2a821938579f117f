"""The token_files section: vonk token files beside the stores a training
loader reads random windows from.

A training set of TOKENS ids (the held-out cl100k_base samples of
bench/data, repeated) is written as a uint32 file, as vonk token files of
several chunk sizes, plain and gzip, as uint32 chunks under zstd level 3 and
as Parquet list<uint32>; each store then gives the same WINDOWS random
windows of LENGTH ids (a training step's batch), round robin with the
others. The memmap row is nanoGPT's get_batch: np.stack of slices of a
uint32 np.memmap.
"""

from __future__ import annotations

import os
import pathlib
import tempfile
import threading

import numpy as np

import common

try:
    import zstandard
except ImportError:  # pragma: no cover
    zstandard = None

import vonk
import vonk.token_files

TOKENIZER = "cl100k_base"
TOKENS = 30_000_000  # about a 50 MB plain token file
QUICK_TOKENS = 6_000_000
WINDOWS = 512
LENGTH = 1025
CHUNK_SIZES = (256, 1024, 4096, 16384)
ZSTD_CHUNK = 16384
PARQUET_ROW = 1024  # ids per list<uint32> row
PARQUET_GROUP = 16  # rows per row group


def corpus(tokens: int) -> tuple[np.ndarray, np.ndarray]:
    """The held-out ids repeated up to `tokens`, and the offsets of documents
    of (seeded) random lengths, 1,000 ids on average."""
    parts = [np.fromfile(common.SAMPLE_DIR / f"{kind}.{TOKENIZER}.u32", dtype="<u4") for kind in common.KINDS]
    ids = np.resize(np.concatenate(parts).astype(np.uint32), tokens)
    lengths = np.random.default_rng(24).geometric(1 / 1000, size=tokens // 500)
    ends = np.cumsum(lengths)
    ends = ends[ends < tokens]
    return ids, np.concatenate([[0], ends, [tokens]]).astype(np.int64)


class ZstdChunks:
    """uint32 ids in chunks of ZSTD_CHUNK, each compressed alone at level 3,
    in one file with an offsets index; a window decompresses the chunks it
    touches."""

    def __init__(self, path: pathlib.Path, ids: np.ndarray) -> None:
        compress = zstandard.ZstdCompressor(level=3).compress
        blobs = [compress(ids[i:i + ZSTD_CHUNK].tobytes()) for i in range(0, len(ids), ZSTD_CHUNK)]
        path.write_bytes(b"".join(blobs))
        self.size = path.stat().st_size
        self.offsets = np.concatenate([[0], np.cumsum([len(b) for b in blobs])])
        self.data = np.memmap(path, dtype=np.uint8, mode="r")
        self.decompress = zstandard.ZstdDecompressor().decompress

    def window(self, start: int, length: int) -> np.ndarray:
        first, last = start // ZSTD_CHUNK, (start + length - 1) // ZSTD_CHUNK
        parts = [np.frombuffer(self.decompress(self.data[self.offsets[c]:self.offsets[c + 1]]), np.uint32)
                 for c in range(first, last + 1)]
        joined = parts[0] if len(parts) == 1 else np.concatenate(parts)
        at = start - first * ZSTD_CHUNK
        return joined[at:at + length]


class ParquetRows:
    """uint32 ids as Parquet list<uint32> rows of PARQUET_ROW ids (zstd, row
    groups of PARQUET_GROUP rows); a window reads the row groups it touches."""

    def __init__(self, path: pathlib.Path, ids: np.ndarray) -> None:
        import pyarrow as pa
        import pyarrow.parquet as pq

        offsets = np.arange(0, len(ids) + PARQUET_ROW, PARQUET_ROW).clip(max=len(ids)).astype(np.int32)
        rows = pa.ListArray.from_arrays(pa.array(offsets), pa.array(ids, pa.uint32()))
        pq.write_table(pa.table({"ids": rows}), path, compression="zstd",
                       row_group_size=PARQUET_GROUP)
        self.size = path.stat().st_size
        self.file = pq.ParquetFile(path, memory_map=True)
        self.group_ids = PARQUET_ROW * PARQUET_GROUP

    def window(self, start: int, length: int) -> np.ndarray:
        first, last = start // self.group_ids, (start + length - 1) // self.group_ids
        parts = [self.file.read_row_group(g, columns=["ids"]).column(0).combine_chunks().flatten().to_numpy()
                 for g in range(first, last + 1)]
        joined = parts[0] if len(parts) == 1 else np.concatenate(parts)
        at = start - first * self.group_ids
        return joined[at:at + length]


# A child: resident memory of a fresh process before and after it opens a
# token file and reads one window. Before both, the libraries are imported
# and warmed (pyarrow's first array conversion alone adds some 50 MiB of
# its own) and the tokenizer opened, as any loader has them.
RSS_CHILD = """
import sys, numpy as np, pyarrow as pa, vonk, vonk.token_files
from common import rss
path = sys.argv[1]
pa.array([1], pa.uint32()).to_numpy()
codec = vonk.Codec("cl100k_base")
vonk.unpack(vonk.pack([1], codec), codec)
before = rss()[0]
f = vonk.TokenFile(path)
window = f.windows([len(f) // 2], 1025)
after = rss()[0]
print(before, after)
"""


def run_token_files(cfg: common.Config) -> None:
    if zstandard is None:
        raise SystemExit("the token_files section needs zstandard: pip install '.[bench]'")
    tokens = QUICK_TOKENS if cfg.quick else TOKENS
    ids, offsets = corpus(tokens)
    starts = np.random.default_rng(7).integers(0, tokens - LENGTH, WINDOWS)
    expected = ids[starts[:, None] + np.arange(LENGTH)]
    whole_pack = len(vonk.pack(ids, TOKENIZER))
    with tempfile.TemporaryDirectory(prefix="vonk-token-files-") as folder:
        root = pathlib.Path(folder)
        (root / "ids.u32").write_bytes(ids.tobytes())
        memmap = np.memmap(root / "ids.u32", dtype=np.uint32, mode="r")
        stores: dict[str, tuple[int, object]] = {
            "uint32 np.memmap, np.stack of slices": (
                4 * tokens, lambda: np.stack([memmap[s:s + LENGTH] for s in starts])),
        }
        files = {}
        for gzip in (False, True):
            for chunk in CHUNK_SIZES:
                path = root / f"c{chunk}{'g' if gzip else ''}.arrow"
                vonk.write_token_file(path, ids, offsets, TOKENIZER, chunk_size=chunk, gzip=gzip)
                f = files[chunk, gzip] = vonk.TokenFile(path)
                stores[f"vonk {'gzip' if gzip else 'plain'}, {chunk:,}-id chunks"] = (
                    path.stat().st_size, lambda f=f: f.windows(starts, LENGTH))
        zstd = ZstdChunks(root / "zstd.bin", ids)
        stores[f"uint32 + zstd3, {ZSTD_CHUNK:,}-id chunks"] = (
            zstd.size, lambda: np.stack([zstd.window(s, LENGTH) for s in starts]))
        parquet = ParquetRows(root / "ids.parquet", ids)
        stores[f"Parquet list<uint32> (zstd), {PARQUET_ROW * PARQUET_GROUP:,}-id row groups"] = (
            parquet.size, lambda: np.stack([parquet.window(s, LENGTH) for s in starts]))

        problems = [f"  !! {label} does not give the windows written"
                    for label, (_, call) in stores.items() if not np.array_equal(call(), expected)]
        ns = common.time_round_robin([call for _, call in stores.values()], cfg.repeat, cfg.warmup)
        floor = ns[0]
        rows = [[label, f"{size / tokens:.3f}", f"{t / WINDOWS / 1000:.1f}", common.fmt_ratio(t / floor)]
                for (label, (size, _)), t in zip(stores.items(), ns)]
        common.print_table(
            f"Token files: {WINDOWS} random windows of {LENGTH:,} ids from {tokens:,} held-out"
            f" {TOKENIZER} ids (median of {cfg.repeat}, round robin)",
            ["store", "B/tok", "us/window", "/memmap"], rows,
            ["B/tok: bytes on disk per id. us/window: one call for all windows (vonk), or a Python"
             " loop over them (the others), divided by the windows.", *problems], left=1)

        # A training loader's workers as threads: two threads, each reading
        # 8 batches of windows, against one thread reading all 16.
        f = files[vonk.token_files.DEFAULT_CHUNK_SIZE, False]
        batches = [np.random.default_rng(8 + i).integers(0, tokens - LENGTH, WINDOWS) for i in range(16)]

        def read_batches(part: list[np.ndarray]) -> None:
            for batch in part:
                f.windows(batch, LENGTH)

        def one_thread() -> None:
            read_batches(batches)

        def two_threads() -> None:
            worker = threading.Thread(target=read_batches, args=(batches[8:],))
            worker.start()
            read_batches(batches[:8])
            worker.join()

        serial, parallel = common.time_round_robin([one_thread, two_threads], cfg.repeat, cfg.warmup)

        default = vonk.token_files.DEFAULT_CHUNK_SIZE
        plain_default = (root / f"c{default}.arrow").stat().st_size
        window_ratio = ns[list(stores).index(f"vonk plain, {default:,}-id chunks")] / floor
        gzip_ratio = (root / "c16384g.arrow").stat().st_size / plain_default
        before, after = map(int, common.run_child(RSS_CHILD, root / f"c{default}.arrow")[0].split())
        goals = [
            ["windows of the default chunks / memmap get_batch", common.fmt_ratio(window_ratio), "<= 2.00x"],
            ["file / one vonk.pack of all ids", common.fmt_ratio(plain_default / whole_pack), "<= 1.04x"],
            ["gzip 16,384-id chunks / the plain file", common.fmt_ratio(gzip_ratio), "<= 0.62x"],
            [f"RSS added by opening the {plain_default / 2**20:.0f} MiB file and reading a window",
             f"{(after - before) / 2**20:.1f} MiB", "<= 16 MiB"],
            ["16 batches: one thread / two threads of 8 each", common.fmt_ratio(serial / parallel),
             "2x on 2 cores"],
        ]
        common.print_table(
            f"Token files: goals (default chunk size {default:,}; the plain file is"
            f" {plain_default / 2**20:.1f} MiB)", ["measure", "this run", "goal"], goals, left=1,
            notes=["RSS: resident bytes (/proc/self/statm) of a fresh process, with vonk, numpy and pyarrow"
                   " imported and warmed and the tokenizer opened, before and after"
                   " TokenFile(path).windows([middle], 1025)."])
        del files, f, zstd, parquet, memmap, stores
