"""Shared pieces of the vonk benchmarks: timing, samples, data sets, tables.

Standard library only.  Every timed figure is the median of repeated runs in
one process, taken round robin with the floor or peer it is printed beside,
so that a slow phase of a shared machine hits both alike.
"""

from __future__ import annotations

import array
import dataclasses
import functools
import gc
import gzip
import json
import math
import os
import pathlib
import platform
import re
import statistics
import sys
import time
from typing import Callable, Sequence

BENCH_DIR = pathlib.Path(__file__).resolve().parent
REPO_ROOT = BENCH_DIR.parent
SAMPLE_DIR = BENCH_DIR / "data"
DATASET_DIR = REPO_ROOT / "data"

KINDS = ("prose", "code", "multilingual")

# Tokenizers whose ordinary encoding equals another one's: they share its
# tokenized samples.
SAMPLE_VOCABULARY = {
    "cl100k_base": "cl100k_base",
    "o200k_base": "o200k_base",
    "o200k_harmony": "o200k_base",
    "p50k_base": "p50k_base",
    "p50k_edit": "p50k_base",
    "r50k_base": "r50k_base",
    "gpt2": "r50k_base",
}

# The data set each tokenizer name selects.
DATASET = dict((name, name) for name in SAMPLE_VOCABULARY)
DATASET["gpt2"] = "r50k_base"

# Default tokenizers of the throughput and size tables: one per sample
# vocabulary.  The load table covers every name.
DEFAULT_TOKENIZERS = ("cl100k_base", "o200k_base", "p50k_base", "r50k_base")


@dataclasses.dataclass
class Config:
    """What one run measures and how often."""

    quick: bool
    repeat: int  # timed runs per figure, in one process
    warmup: int  # untimed runs before them
    tokens: int  # ids in the throughput workload
    processes: int  # fresh processes per start-up figure
    peer_processes: int  # fresh processes per pure-Python load figure
    tokenizers: tuple[str, ...] | None  # None: the defaults of each table

    def throughput_tokenizers(self) -> tuple[str, ...]:
        return self.tokenizers or DEFAULT_TOKENIZERS

    def load_tokenizers(self, available: Sequence[str]) -> tuple[str, ...]:
        return self.tokenizers or tuple(available)


def emit(text: str = "") -> None:
    print(text, flush=True)


# ---------------------------------------------------------------- timing


def time_round_robin(
    fns: Sequence[Callable[[], object]], repeat: int, warmup: int
) -> list[float]:
    """Median wall time in ns of each callable, run round robin.

    Each callable runs `warmup` times untimed first.  The garbage collector
    is off while timing; a result is released only after the clock is read,
    so freeing it is not counted.
    """
    for fn in fns:
        for _ in range(warmup):
            fn()
    samples: list[list[int]] = [[] for _ in fns]
    clock = time.perf_counter_ns
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeat):
            for index, fn in enumerate(fns):
                start = clock()
                result = fn()
                end = clock()
                del result
                samples[index].append(end - start)
    finally:
        if enabled:
            gc.enable()
    return [statistics.median(s) for s in samples]


def median(values: Sequence[float]) -> float:
    return statistics.median(values)


# ---------------------------------------------------------------- samples


def read_u32(path: pathlib.Path) -> list[int]:
    values = array.array("I")
    if values.itemsize != 4:
        raise SystemExit("array('I') is not 32 bits wide on this platform")
    values.frombytes(path.read_bytes())
    if sys.byteorder == "big":
        values.byteswap()
    return values.tolist()


@functools.lru_cache(maxsize=None)
def sample_ids(vocabulary: str, kind: str) -> tuple[int, ...]:
    """The whole tokenized sample of one kind of text."""
    return tuple(read_u32(SAMPLE_DIR / f"{kind}.{vocabulary}.u32"))


def mixed_ids(tokenizer: str, count: int) -> list[int]:
    """`count` ids of real text: equal thirds of prose, code, multilingual.

    Each third is the start of that kind's sample; if the samples are too
    short the concatenation is repeated.
    """
    vocabulary = SAMPLE_VOCABULARY[tokenizer]
    share = -(-count // len(KINDS))
    ids: list[int] = []
    for kind in KINDS:
        ids.extend(sample_ids(vocabulary, kind)[:share])
    if not ids:
        raise SystemExit(f"no sample ids for {tokenizer}")
    while len(ids) < count:
        ids.extend(ids[: count - len(ids)])
    return ids[:count]


def sample_text(kind: str) -> bytes:
    return gzip.decompress((SAMPLE_DIR / f"{kind}.txt.gz").read_bytes())


# ---------------------------------------------------------------- data sets


def dataset_path(tokenizer: str) -> pathlib.Path:
    return DATASET_DIR / f"{DATASET[tokenizer]}.jsonl"


def have_datasets() -> bool:
    return DATASET_DIR.is_dir() and all(
        dataset_path(name).is_file() for name in SAMPLE_VOCABULARY
    )


@functools.lru_cache(maxsize=None)
def dataset_bytes(dataset: str) -> bytes:
    return (DATASET_DIR / f"{dataset}.jsonl").read_bytes()


_RECORD_TAIL = re.compile(rb'"token_id": (\d+), "mapped_id": -?\d+, "count": (\d+)\}')


@functools.lru_cache(maxsize=None)
def dataset_counts(dataset: str) -> dict[int, int]:
    """token id -> count of one data set (a regex scan; JSON per line if
    the records do not have the usual layout)."""
    text = dataset_bytes(dataset)
    found = _RECORD_TAIL.findall(text)
    lines = sum(1 for line in text.split(b"\n") if line.strip())
    if len(found) == lines:
        return {int(tid): int(count) for tid, count in found}
    counts = {}
    for line in text.split(b"\n"):
        if line.strip():
            record = json.loads(line)
            counts[record["token_id"]] = record.get("count") or 0
    return counts


def entropy_bits(counts: dict[int, int]) -> float:
    """Unigram entropy in bits per token of a count table."""
    total = sum(counts.values())
    if total == 0:
        return float("nan")
    bits = 0.0
    for count in counts.values():
        if count:
            p = count / total
            bits -= p * math.log2(p)
    return bits


def cross_entropy_bits(counts: dict[int, int], ids: Sequence[int]) -> float:
    """Mean of -log2 p(id) over `ids`, p taken from the counts: the size of
    an ideal per-token code built from these counts, on this text."""
    total = sum(counts.values())
    log_total = math.log2(total)
    cost = {}
    bits = 0.0
    for token_id in ids:
        c = cost.get(token_id)
        if c is None:
            count = counts.get(token_id, 0)
            c = log_total - math.log2(count) if count else float("inf")
            cost[token_id] = c
        bits += c
    return bits / len(ids) if ids else float("nan")


# ---------------------------------------------------------------- machine


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def machine_lines(vonk_module, internal_module) -> list[str]:
    cores = os.cpu_count() or 0
    try:
        usable = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        usable = cores
    try:
        with open("/proc/loadavg", encoding="ascii") as f:
            load = " ".join(f.read().split()[:3])
    except OSError:
        load = "?"
    version = getattr(vonk_module, "__version__", None)
    if version is None:
        try:
            from importlib.metadata import version as dist_version

            version = dist_version("vonk")
        except Exception:  # noqa: BLE001 - only for the header
            version = "unknown"
    return [
        f"CPU      {cpu_model()}",
        f"cores    {cores} ({usable} usable), load average {load}",
        f"Python   {platform.python_implementation()} {platform.python_version()}"
        f" ({platform.machine()}, {platform.system()} {platform.release()})",
        f"vonk     {version}  ({internal_module.__file__})",
    ]


# ---------------------------------------------------------------- tables


def print_table(
    title: str,
    headers: Sequence[str],
    rows: Sequence[Sequence[str]],
    align: str,
    notes: Sequence[str] = (),
) -> None:
    """A plain-text table; `align` has one 'l' or 'r' per column."""
    widths = [len(h) for h in headers]
    for row in rows:
        for i, cell in enumerate(row):
            widths[i] = max(widths[i], len(cell))

    def line(cells: Sequence[str]) -> str:
        parts = []
        for i, cell in enumerate(cells):
            parts.append(cell.ljust(widths[i]) if align[i] == "l" else cell.rjust(widths[i]))
        return "  ".join(parts).rstrip()

    emit(title)
    emit("=" * len(title))
    emit(line(headers))
    emit(line(["-" * w for w in widths]))
    for row in rows:
        emit(line(row))
    for note in notes:
        emit(note)
    emit()


def fmt_ns(ns: float) -> str:
    return f"{ns:.1f}"


def fmt_ratio(value: float) -> str:
    return f"{value:.2f}x"


def fmt_ms(ns: float) -> str:
    return f"{ns / 1e6:.1f}"


def fmt_mib(nbytes: float) -> str:
    return f"{nbytes / 2**20:.1f}"


def fmt_bpt(value: float) -> str:
    return "-" if value != value else f"{value:.3f}"  # NaN -> "-"
