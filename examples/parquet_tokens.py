"""Tokenized documents in Parquet as vonk payloads, in one process and on Dask.

Run it with the package and its `dask` extra installed:

    pip install '.[dask]'
    python examples/parquet_tokens.py                 # 1,000 documents
    python examples/parquet_tokens.py --docs 200 --workers 2

The documents are consecutive runs of the cl100k_base token ids that bench/data holds
(prose, code and text in other languages), 16 to 1,024 tokens long. The
example:

1. stores them as a Parquet column of `list<uint32>` (uncompressed, and
   under Parquet's own zstd) and as a column of vonk payloads, prints each
   column's size on disk, and reads the payload column back;
2. packs the same documents as a Dask `map_partitions` over a Parquet
   dataset on a local cluster of worker processes, writes the packed
   dataset, and reads it back through the cluster.

Only the tokenizer's name travels to the workers; each worker process opens
(and caches) the mapping itself on its first call.
"""

from __future__ import annotations

import argparse
import pathlib
import tempfile
from typing import TYPE_CHECKING

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

import vonk.arrow

if TYPE_CHECKING:
    import pandas as pd

TOKENIZER = "cl100k_base"
SAMPLES = pathlib.Path(__file__).resolve().parent.parent / "bench" / "data"


def make_documents(count: int, seed: int = 17) -> pa.Table:
    """A table of `count` documents: doc_id, and tokens as list<uint32>.

    The documents follow one another through the samples without overlap
    (lengths 16 to 1,024 tokens); past the samples' end they start over.
    """
    text = np.concatenate([np.fromfile(SAMPLES / f"{kind}.{TOKENIZER}.u32", dtype="<u4")
                           for kind in ("prose", "code", "multilingual")])
    rng = np.random.default_rng(seed)
    lengths = np.exp(rng.uniform(np.log(16), np.log(1024), count)).astype(np.int64)
    offsets = np.concatenate([[0], np.cumsum(lengths)])
    if offsets[-1] > len(text):
        print(f"(the samples hold {len(text):,} tokens: later documents repeat them)")
    ids = np.resize(text, offsets[-1])
    tokens = pa.ListArray.from_arrays(pa.array(offsets.astype(np.int32)), pa.array(ids))
    return pa.table({"doc_id": pa.array(np.arange(count)), "tokens": tokens})


def column_bytes(path: pathlib.Path, column: str) -> int:
    """Bytes one column takes in a Parquet file (all its row groups, compressed)."""
    metadata = pq.ParquetFile(path).metadata
    total = 0
    for group in range(metadata.num_row_groups):
        for index in range(metadata.num_columns):
            chunk = metadata.row_group(group).column(index)
            if chunk.path_in_schema.split(".")[0] == column:
                total += chunk.total_compressed_size
    return total


def in_one_process(table: pa.Table, folder: pathlib.Path) -> None:
    token_count = len(table["tokens"].combine_chunks().flatten())
    print(f"{table.num_rows:,} documents, {token_count:,} tokens ({TOKENIZER})")
    print(f"{'column':<22} {'Parquet options':<38} {'bytes':>10} {'B/token':>8}")

    def per_token(size: int) -> str:
        # Bytes per token mean nothing for a run without tokens.
        return f"{size / token_count:.3f}" if token_count else "-"

    def report(label: str, column: str, stored: pa.Table, **options: object) -> pathlib.Path:
        path = folder / f"{len(list(folder.iterdir()))}.parquet"
        pq.write_table(stored, path, **options)
        size = column_bytes(path, column)
        shown = ", ".join(f"{key}={value}" for key, value in options.items())
        print(f"{label:<22} {shown:<38} {size:>10,} {per_token(size):>8}")
        return path

    print(f"{'raw uint32':<22} {'':<38} {4 * token_count:>10,} {per_token(4 * token_count):>8}")
    report("list<uint32>", "tokens", table, compression="none")
    report("list<uint32>", "tokens", table, compression="zstd")
    report("list<uint32>", "tokens", table, compression="zstd", use_dictionary=False)

    # One payload per document: a binary column.
    for gzip in (False, True):
        payloads = vonk.arrow.pack(table["tokens"], TOKENIZER, gzip=gzip)
        packed = table.drop_columns(["tokens"]).append_column("payload", payloads)
        label = "vonk payloads" + (", gzip" if gzip else "")
        path = report(label, "payload", packed, compression="none")
        if not gzip:
            report(label, "payload", packed, compression="zstd")

        # Read the column back and check every document.
        stored = pq.read_table(path, columns=["payload"])["payload"]
        tokens = vonk.arrow.unpack(stored, TOKENIZER, gzip=gzip)
        assert tokens.combine_chunks().equals(table["tokens"].combine_chunks())
    print("read back: every document equals the original")


# The two functions Dask runs on the workers. They receive a pandas frame and
# the tokenizer's name, both cheap to send; vonk and its mapping are loaded
# in each worker process.


def pack_partition(frame: pd.DataFrame, tokenizer: str) -> pd.DataFrame:
    import pandas as pd

    # (Without pandas' metadata, which names the column being replaced.)
    table = pa.Table.from_pandas(frame, preserve_index=False).replace_schema_metadata()
    payloads = vonk.arrow.pack(table["tokens"], tokenizer)
    packed = table.drop_columns(["tokens"]).append_column("payload", payloads)
    return packed.to_pandas(types_mapper=pd.ArrowDtype)


def unpack_partition(frame: pd.DataFrame, tokenizer: str) -> pd.DataFrame:
    import pandas as pd

    # (Without pandas' metadata, which names the column being replaced.)
    table = pa.Table.from_pandas(frame, preserve_index=False).replace_schema_metadata()
    tokens = vonk.arrow.unpack(table["payload"], tokenizer)
    unpacked = table.drop_columns(["payload"]).append_column("tokens", tokens)
    return unpacked.to_pandas(types_mapper=pd.ArrowDtype)


def on_dask(table: pa.Table, folder: pathlib.Path, workers: int, partitions: int) -> None:
    import dask.dataframe as dd
    import pandas as pd
    from distributed import Client, LocalCluster

    # The input: a Parquet dataset of list<uint32>, one file per partition.
    source = folder / "tokens"
    source.mkdir()
    bounds = np.linspace(0, table.num_rows, partitions + 1).astype(int)
    for index, (start, stop) in enumerate(zip(bounds, bounds[1:])):
        pq.write_table(table.slice(start, stop - start), source / f"part-{index}.parquet")

    packed_meta = pd.DataFrame({
        "doc_id": pd.Series(dtype=pd.ArrowDtype(pa.int64())),
        "payload": pd.Series(dtype=pd.ArrowDtype(pa.binary())),
    })
    unpacked_meta = pd.DataFrame({
        "doc_id": pd.Series(dtype=pd.ArrowDtype(pa.int64())),
        "tokens": pd.Series(dtype=pd.ArrowDtype(pa.list_(pa.uint32()))),
    })
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        frame = dd.read_parquet(source, dtype_backend="pyarrow")
        packed = frame.map_partitions(pack_partition, TOKENIZER, meta=packed_meta)
        packed.to_parquet(folder / "payloads", write_index=False)

        stored = dd.read_parquet(folder / "payloads", dtype_backend="pyarrow")
        unpacked = stored.map_partitions(unpack_partition, TOKENIZER, meta=unpacked_meta)
        result = pa.Table.from_pandas(unpacked.compute(), preserve_index=False)
        worker_count = len(client.scheduler_info()["workers"])

    result = result.sort_by("doc_id")
    assert result["tokens"].combine_chunks().equals(table["tokens"].combine_chunks())
    sizes = {name: sum(column_bytes(path, column) for path in (folder / name).glob("*.parquet"))
             for name, column in (("tokens", "tokens"), ("payloads", "payload"))}
    print(f"Dask: {frame.npartitions} partitions on {worker_count} worker processes")
    print("  dataset sizes under Parquet's default compression (snappy):")
    print(f"    list<uint32>   {sizes['tokens']:>12,} bytes")
    print(f"    vonk payloads  {sizes['payloads']:>12,} bytes")
    print("  read back through the cluster: every document equals the original")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=int, default=1000, help="number of documents")
    parser.add_argument("--workers", type=int, default=2, help="Dask worker processes")
    parser.add_argument("--partitions", type=int, default=8, help="Parquet files for Dask")
    parser.add_argument("--no-dask", action="store_true", help="skip the Dask part")
    args = parser.parse_args()

    table = make_documents(args.docs)
    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        in_one_process(table, folder)
        if not args.no_dask:
            on_dask(table, folder, args.workers, args.partitions)


if __name__ == "__main__":
    main()
