"""Shared pieces of the vonk benchmarks: timing, children, samples, data
sets, tables.

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
import math
import os
import pathlib
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Callable, Sequence

BENCH_DIR = pathlib.Path(__file__).resolve().parent
SAMPLE_DIR = BENCH_DIR / "data"
DATASET_DIR = BENCH_DIR.parent / "data"
# The kinds of sample text, in workload order, and the corpus file each is
# cut from (bench/make_samples.py).
KINDS = {"prose": "en_general.txt", "code": "code_python.txt", "multilingual": "multilingual.txt"}
# Tokenizers with samples of their own (bench/data/KIND.NAME.u32).
SAMPLED = tuple(sorted(p.name.split(".")[1] for p in SAMPLE_DIR.glob("prose.*.u32")))


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
    plot: str | None = None  # where the formats section draws its figure

    def throughput_tokenizers(self) -> tuple[str, ...]:
        """One tokenizer per set of samples, unless names were given."""
        import vonk

        return self.tokenizers or tuple(n for n in vonk.list_available_tokenizers() if n in SAMPLED)

    def load_tokenizers(self) -> tuple[str, ...]:
        import vonk

        return self.tokenizers or tuple(vonk.list_available_tokenizers())


def emit(text: str = "") -> None:
    print(text, flush=True)


def time_round_robin(fns: Sequence[Callable[[], object]], repeat: int, warmup: int) -> list[float]:
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


# ---------------------------------------------------------------- children

# GNU time reports the peak resident size of the process it starts, which it
# forks from its own small one.  The peak that wait4 or RUSAGE_CHILDREN gives
# for a child of this process is no use: a process started by (v)fork and
# exec keeps the peak of its parent's memory as its own.
GNU_TIME = pathlib.Path("/usr/bin/time")


def run_child(child: str | Sequence[str], *args: object, peak: bool = False) -> tuple[str, int | None]:
    """Runs Python on `child` (code, or a script and its options) and `args`
    in bench/, where no `vonk` folder shadows the installed package; returns
    its output and, with `peak`, its peak resident bytes.  Raises
    RuntimeError when the child fails."""
    argv = [sys.executable, "-B", *(["-c", child] if isinstance(child, str) else child), *map(str, args)]
    with tempfile.NamedTemporaryFile("r") as report:
        if peak:
            if not GNU_TIME.exists():
                raise SystemExit(f"the peak memory of a child needs GNU time at {GNU_TIME} (apt-get install time)")
            argv = [str(GNU_TIME), "-f", "%M", "-o", report.name, *argv]  # %M: KiB
        done = subprocess.run(argv, cwd=BENCH_DIR, capture_output=True, text=True, check=False)
        if done.returncode != 0:
            raise RuntimeError(f"child exited {done.returncode}: {done.stderr.strip()[-500:]}")
        return done.stdout, int(report.read().split()[-1]) * 1024 if peak else None


def rss() -> tuple[int, int]:
    """Resident bytes of this process, and the part of them not backed by a
    file (the heap)."""
    with open("/proc/self/statm", encoding="ascii") as f:
        fields = [int(v) * os.sysconf("SC_PAGE_SIZE") for v in f.read().split()]
    return fields[1], fields[1] - fields[2]


# ---------------------------------------------------------------- samples


def to_u32(ids: Sequence[int]) -> bytes:
    values = array.array("I", ids)
    if sys.byteorder == "big":
        values.byteswap()
    return values.tobytes()


def from_u32(data: bytes) -> list[int]:
    values = array.array("I")
    values.frombytes(data)
    if sys.byteorder == "big":
        values.byteswap()
    return values.tolist()


@functools.lru_cache(maxsize=None)
def sample_ids(vocabulary: str, kind: str) -> tuple[int, ...]:
    """The whole tokenized sample of one kind of text."""
    return tuple(from_u32((SAMPLE_DIR / f"{kind}.{vocabulary}.u32").read_bytes()))


def sample_text(kind: str) -> bytes:
    return gzip.decompress((SAMPLE_DIR / f"{kind}.txt.gz").read_bytes())


@functools.lru_cache(maxsize=None)
def sample_vocabulary(name: str) -> str | None:
    """The tokenizer whose samples `name` reads: its own, or those of one
    whose ids of all three samples have the same token texts under `name`
    (a tokenizer that encodes ordinary text the same way)."""
    if name in SAMPLED:
        return name
    import vonk

    mine = vonk.Codec(name)
    for other in SAMPLED:
        ids = [i for kind in KINDS for i in sample_ids(other, kind)]
        theirs = vonk.Codec(other)
        try:
            same = mine.decode_tokens(mine.encode_token_ids(ids)) == theirs.decode_tokens(
                theirs.encode_token_ids(ids)
            )
        except KeyError:  # an id `name` does not have
            continue
        if same:
            return other
    return None


def mixed_ids(tokenizer: str, count: int) -> list[int]:
    """`count` ids of real text: equal thirds of prose, code, multilingual.

    Each third is the start of that kind's sample; if the samples are too
    short the concatenation is repeated.
    """
    vocabulary = sample_vocabulary(tokenizer)
    if vocabulary is None:
        raise SystemExit(f"no benchmark samples fit {tokenizer}")
    share = -(-count // len(KINDS))
    ids: list[int] = []
    for kind in KINDS:
        ids.extend(sample_ids(vocabulary, kind)[:share])
    while len(ids) < count:
        ids.extend(ids[: count - len(ids)])
    return ids[:count]


# ---------------------------------------------------------------- data sets


@functools.lru_cache(maxsize=None)
def dataset_path(name: str) -> pathlib.Path | None:
    """data/NAME.jsonl, or the data set of a tokenizer that reads the same
    samples and gives the same payloads for them; None without one."""
    own = DATASET_DIR / f"{name}.jsonl"
    if own.is_file():
        return own
    import vonk

    ids = mixed_ids(name, 30_000)
    payload = vonk.Codec(name).encode_token_ids(ids)
    for path in sorted(DATASET_DIR.glob("*.jsonl")):
        other = path.stem
        if sample_vocabulary(other) == sample_vocabulary(name):
            if vonk.Codec(other).encode_token_ids(ids) == payload:
                return path
    return None


_RECORD = re.compile(rb'"token_id": (\d+), "mapped_id": -?\d+, "count": (\d+)\}')


@functools.lru_cache(maxsize=None)
def dataset_counts(path: pathlib.Path) -> dict[int, int]:
    """token id -> count of one data set."""
    return {int(tid): int(count) for tid, count in _RECORD.findall(path.read_bytes())}


def entropy_bits(counts: dict[int, int]) -> float:
    """Unigram entropy in bits per token of a count table."""
    total = sum(counts.values())
    return -sum(c / total * math.log2(c / total) for c in counts.values() if c)


def cross_entropy_bits(counts: dict[int, int], ids: Sequence[int]) -> float:
    """Mean of -log2 p(id) over `ids`, p taken from the counts: the size of
    an ideal per-token code built from these counts, on this text."""
    log_total = math.log2(sum(counts.values()))
    cost = {t: log_total - math.log2(c) if c else math.inf for t, c in counts.items()}
    return sum(cost.get(t, math.inf) for t in ids) / len(ids)


# ---------------------------------------------------------------- machine


def machine_lines(internal_module) -> list[str]:
    """CPU, cores, load, Python and the module measured (Linux; '?' elsewhere)."""
    model, load = platform.processor() or "?", "?"
    try:
        with open("/proc/cpuinfo", encoding="utf-8", errors="replace") as f:
            model = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), model)
        load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        pass
    import vonk

    return [
        f"CPU      {model}",
        f"cores    {os.cpu_count()} ({len(os.sched_getaffinity(0))} usable), load average {load}",
        f"Python   {platform.python_implementation()} {platform.python_version()}"
        f" ({platform.machine()}, {platform.system()} {platform.release()})",
        f"vonk     {vonk.__version__}  ({internal_module.__file__})",
    ]


# ---------------------------------------------------------------- tables


def print_table(title: str, headers: Sequence[str], rows: Sequence[Sequence[str]],
                notes: Sequence[str] = (), left: int = 2, bars: int | None = None) -> None:
    """A plain-text table: the first `left` columns left aligned, the rest
    right; with `bars`, each row ends in a horizontal bar of its figure in
    that column, scaled to the largest."""
    if bars is not None:
        top = max(float(r[bars]) for r in rows)
        headers, rows = [*headers, ""], [[*r, "#" * max(1, round(float(r[bars]) / top * 40))] for r in rows]
    ragged = len(headers) - 1 if bars is not None else None  # the bars, left aligned
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]

    def line(cells: Sequence[str]) -> str:
        return "  ".join(
            c.ljust(w) if i < left or i == ragged else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths))
        ).rstrip()

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


def fmt_bpt(value: float) -> str:
    return "-" if value != value or value == math.inf else f"{value:.3f}"  # NaN -> "-"
