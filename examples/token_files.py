"""A training set as vonk token files, written on Dask and read like train.bin.

Run it with the package and its `dask` extra installed (and tiktoken, for
the text):

    pip install '.[dask]' tiktoken
    python examples/token_files.py                        # 8 MB of text
    python examples/token_files.py --text-mb 2 --workers 2 --partitions 4

1. The text: the files of ../shared/corpus/train (else the sample text of
   bench/data), cut into pieces at line ends, one piece per Dask partition.
   Each worker process tokenizes its piece with tiktoken's cl100k_base,
   built from the rank file in ../shared/vocab, into documents of about
   2,000 characters (cut at paragraph ends), and writes them as one token
   file. Without tiktoken or the rank file, the partitions are slices of
   the cl100k_base ids that bench/data holds, in documents of random
   lengths. Only small tuples travel to the workers and back.
2. The shards are opened as one vonk.TokenFile, and all their tokens are
   also written as a flat uint32 file, as nanoGPT's prepare scripts write
   train.bin.
3. A training-style loop draws random batches of windows of block_size + 1
   tokens (a map-style dataset and a random batch sampler, the shapes
   PyTorch's DataLoader uses, without torch), from the token files and from
   an np.memmap of the uint32 file, and prints samples per second of each.
"""

from __future__ import annotations

import argparse
import functools
import json
import pathlib
import tempfile
import time
from collections.abc import Iterator
from typing import Any

import numpy as np

import vonk

TOKENIZER = "cl100k_base"
ROOT = pathlib.Path(__file__).resolve().parent.parent
SHARED = ROOT.parent / "shared"
SAMPLES = ROOT / "bench" / "data"
DOCUMENT_CHARS = 2000


# --- On the workers -----------------------------------------------------------------


@functools.lru_cache(maxsize=None)
def encoding() -> Any:
    """tiktoken's cl100k_base, from the local rank file (no network)."""
    import tiktoken
    import tiktoken.load

    meta = json.loads((SHARED / "vocab" / f"{TOKENIZER}.json").read_text())
    ranks = tiktoken.load.load_tiktoken_bpe(str(SHARED / "vocab" / f"{TOKENIZER}.tiktoken"))
    return tiktoken.Encoding(TOKENIZER, pat_str=meta["pat_str"], mergeable_ranks=ranks,
                             special_tokens=meta["special_tokens"])


def documents_of_text(path: str, start: int, stop: int) -> list[list[int]]:
    """The bytes [start, stop) of a text file, tokenized in documents of
    about DOCUMENT_CHARS characters cut at paragraph ends."""
    with open(path, "rb") as file:
        file.seek(start)
        text = file.read(stop - start).decode("utf-8", "replace")
    documents, current = [], ""
    for paragraph in text.split("\n\n"):
        current += paragraph + "\n\n"
        if len(current) >= DOCUMENT_CHARS:
            documents.append(current)
            current = ""
    if current:
        documents.append(current)
    return encoding().encode_ordinary_batch(documents)


def documents_of_samples(start: int, stop: int, seed: int) -> list[np.ndarray]:
    """Ids [start, stop) of bench/data's samples (repeated as needed), in
    documents of 50 to 3,000 ids."""
    ids = np.concatenate([np.fromfile(SAMPLES / f"{kind}.{TOKENIZER}.u32", dtype="<u4")
                          for kind in ("prose", "code", "multilingual")])
    ids = np.resize(ids, stop)[start:]
    lengths = np.random.default_rng(seed).integers(50, 3000, len(ids) // 50 + 1)
    bounds = np.concatenate([[0], np.cumsum(lengths)])
    bounds = np.append(bounds[bounds < len(ids)], len(ids))
    return [ids[a:b] for a, b in zip(bounds, bounds[1:])]


def write_shard(items: list[tuple[Any, ...]], folder: str, gzip: bool) -> list[tuple[str, int, int]]:
    """One Dask partition: its pieces' documents as one token file. Returns
    [(path, tokens, documents)] (empty for no pieces)."""
    if not items:
        return []
    path = pathlib.Path(folder) / f"shard-{items[0][0]:05d}.arrow"
    tokens = documents = 0
    with vonk.TokenFileWriter(path, TOKENIZER, gzip=gzip) as writer:
        for index, kind, *where in items:
            pieces = documents_of_text(*where) if kind == "text" else documents_of_samples(*where, index)
            for document in pieces:
                writer.write(document)
                tokens += len(document)
                documents += 1
    return [(str(path), tokens, documents)]


# --- On the client ------------------------------------------------------------------


def text_pieces(megabytes: float, partitions: int) -> list[tuple[Any, ...]] | None:
    """(index, "text", path, start, stop) pieces of the corpus, cut at line
    ends: up to `megabytes` of text, in `partitions` pieces. None when
    tiktoken or the rank file is missing."""
    try:
        import tiktoken  # noqa: F401
    except ImportError:
        return None
    folder = SHARED / "corpus" / "train"
    if not (SHARED / "vocab" / f"{TOKENIZER}.tiktoken").is_file() or not folder.is_dir():
        return None
    files = sorted(folder.glob("*.txt"))
    budget = int(megabytes * 1e6 / len(files))  # the same share of every file
    pieces = []
    per_file = max(1, -(-partitions // len(files)))
    for path in files:
        data = path.read_bytes()[:budget]
        cuts = [0] + [data.find(b"\n", len(data) * k // per_file) + 1 for k in range(1, per_file)]
        cuts = sorted({c for c in cuts if c > 0} | {0, len(data)})
        pieces += [(len(pieces) + i, "text", str(path), a, b)
                   for i, (a, b) in enumerate(zip(cuts, cuts[1:])) if b > a]
    return pieces


def sample_pieces(megabytes: float, partitions: int) -> list[tuple[Any, ...]]:
    """(index, "ids", start, stop) slices of bench/data's ids: about as many
    ids as `megabytes` of text would give (4 bytes of text per token)."""
    total = int(megabytes * 1e6 / 4)
    bounds = np.linspace(0, total, partitions + 1).astype(int)
    return [(i, "ids", int(a), int(b)) for i, (a, b) in enumerate(zip(bounds, bounds[1:]))]


def write_shards(pieces: list[tuple[Any, ...]], folder: pathlib.Path, workers: int,
                 partitions: int, gzip: bool) -> tuple[list[tuple[str, int, int]], int]:
    import dask.bag as db
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        # One partition per group of consecutive pieces, one file per partition.
        groups = [[tuple(p) for p in group] for group in np.array_split(np.array(pieces, dtype=object),
                                                                         partitions) if len(group)]
        bag = db.from_sequence(groups, npartitions=len(groups))
        shards = [s for found in bag.map(write_shard, str(folder), gzip).compute() for s in found]
        worker_count = len(client.scheduler_info()["workers"])
    return sorted(shards), worker_count


class WindowDataset:
    """Map-style: item i is the block_size + 1 tokens from token i (x is the
    first block_size, y the last); __getitems__ takes a batch of indices in
    one call, as PyTorch's DataLoader does when a dataset has it."""

    def __init__(self, read: Any, tokens: int, block_size: int) -> None:
        self.read, self.tokens, self.block_size = read, tokens, block_size

    def __len__(self) -> int:
        return self.tokens - self.block_size

    def __getitems__(self, starts: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        windows = self.read(starts, self.block_size + 1)
        return windows[:, :-1], windows[:, 1:]


class RandomBatchSampler:
    """Batches of random indices into a dataset (with replacement), like
    PyTorch's BatchSampler over a RandomSampler; seeded, so that two
    datasets see the same batches."""

    def __init__(self, size: int, batch_size: int, steps: int, seed: int = 0) -> None:
        self.size, self.batch_size, self.steps, self.seed = size, batch_size, steps, seed

    def __iter__(self) -> Iterator[np.ndarray]:
        rng = np.random.default_rng(self.seed)
        for _ in range(self.steps):
            yield rng.integers(0, self.size, self.batch_size)

    def __len__(self) -> int:
        return self.steps


def train(dataset: WindowDataset, sampler: RandomBatchSampler) -> float:
    """A loop that only touches each batch (where a model would step);
    returns the seconds it took."""
    started = time.perf_counter()
    for starts in sampler:
        x, y = dataset.__getitems__(starts)
        x.sum(), y.sum()
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--text-mb", type=float, default=8.0, help="megabytes of text to tokenize")
    parser.add_argument("--workers", type=int, default=2, help="Dask worker processes")
    parser.add_argument("--partitions", type=int, default=8, help="Dask partitions = token files")
    parser.add_argument("--gzip", action="store_true", help="gzip the chunks")
    parser.add_argument("--block-size", type=int, default=1024)
    parser.add_argument("--batch-size", type=int, default=64)
    parser.add_argument("--steps", type=int, default=200)
    parser.add_argument("--ids", action="store_true", help="use bench/data's ids even when text can be tokenized")
    args = parser.parse_args()

    pieces = None if args.ids else text_pieces(args.text_mb, args.partitions)
    source = "text tokenized with tiktoken"
    if pieces is None:
        pieces, source = sample_pieces(args.text_mb, args.partitions), "ids of bench/data"
    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        started = time.perf_counter()
        shards, worker_count = write_shards(pieces, folder, args.workers,
                                            min(args.partitions, len(pieces)), args.gzip)
        written = time.perf_counter() - started
        data = vonk.TokenFile([path for path, _, _ in shards])
        tokens = len(data)
        assert tokens == sum(t for _, t, _ in shards) and data.num_documents == sum(d for _, _, d in shards)
        print(f"{source}: {len(shards)} shards written by {worker_count} worker processes"
              f" in {written:.1f} s")
        print(f"{tokens:,} tokens in {data.num_documents:,} documents")

        # nanoGPT's train.bin, from the token files.
        flat = np.frombuffer(data.read(0, tokens), dtype=np.uint32)
        flat.tofile(folder / "train.bin")
        shard_bytes = sum(pathlib.Path(path).stat().st_size for path, _, _ in shards)
        print(f"  {'vonk token files' + (' (gzip)' if args.gzip else ''):<24} {shard_bytes:>12,} bytes"
              f"  {shard_bytes / tokens:.3f} B/token")
        print(f"  {'uint32 train.bin':<24} {4 * tokens:>12,} bytes  4.000 B/token")

        memmap = np.memmap(folder / "train.bin", dtype=np.uint32, mode="r")

        def memmap_windows(starts: np.ndarray, length: int) -> np.ndarray:
            return np.stack([memmap[s:s + length] for s in starts])

        block = min(args.block_size, tokens - 1)
        readers = {"vonk.TokenFile.windows": data.windows, "np.memmap, np.stack": memmap_windows}
        for label, read in readers.items():
            dataset = WindowDataset(read, tokens, block)
            train(dataset, RandomBatchSampler(len(dataset), args.batch_size, 2, seed=1))  # warm up
            seconds = train(dataset, RandomBatchSampler(len(dataset), args.batch_size, args.steps))
            samples = args.steps * args.batch_size
            print(f"  {label:<24} {samples / seconds:>12,.0f} samples/s"
                  f"  ({args.steps} steps of {args.batch_size} x {block + 1} tokens)")
        # The same batches, compared whole.
        for starts in RandomBatchSampler(tokens - block, args.batch_size, args.steps):
            if not np.array_equal(data.windows(starts, block + 1), memmap_windows(starts, block + 1)):
                raise SystemExit("the token files and the memmap gave different batches")
        print("every batch equals the memmap's")
        del data, memmap


if __name__ == "__main__":
    main()
