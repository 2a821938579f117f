"""Token arrays in, bytes out and back: vonk's buffer API beside the floor,
numpy + zstd and vonk's list API (the runner's sections `arrays` and
`unpack`).

    python bench/run.py --only arrays,unpack   # the tables
    python bench/arrays.py [--quick] --long    # arrays, then one call on 100M ids and peak memory

The single-array table uses the three held-out samples
bench/data/{prose,code,multilingual}.cl100k_base.u32 (raw little-endian
uint32) joined: 264,127 ids, none repeated, since a repeated sample would
let zstd (whose window at level 3 spans megabytes) match whole copies; the
`unpack` section joins each tokenizer's samples the same way. The batch
table repeats those ids up to 1,000,000 (each payload is compressed on its
own, so the repetition helps no row there) and cuts them into 10,000
documents whose lengths are drawn (seeded) around a mean of 100 ids; its
ratios compare against pack/unpack of the same 1,000,000 ids as one array.
Needs numpy; the zstd rows need zstandard (pip install '.[bench]').
"""

from __future__ import annotations

import concurrent.futures
import pathlib
import sys
import tempfile
import time
from typing import Callable

import numpy as np

import common
import vonk

try:
    import zstandard
except ImportError:  # the rows are left out
    zstandard = None

TOKENIZER = "cl100k_base"
BATCH_TOKENS = 1_000_000
DOCUMENTS = 10_000
# Calls per half of the documents in one timed figure of the thread and
# process comparison: about 0.1 to 0.2 s of work.
REPEATS = 40


def held_out_ids(name: str = TOKENIZER) -> np.ndarray:
    vocabulary = common.sample_vocabulary(name)
    parts = [np.fromfile(common.SAMPLE_DIR / f"{kind}.{vocabulary}.u32", dtype="<u4") for kind in common.KINDS]
    return np.concatenate(parts).astype(np.uint32)


def batch() -> tuple[np.ndarray, np.ndarray]:
    """The held-out ids repeated up to BATCH_TOKENS, and the offsets of
    DOCUMENTS documents of (seeded) random lengths cut from them."""
    weights = np.random.default_rng(2026).lognormal(mean=0.0, sigma=1.0, size=DOCUMENTS)
    lengths = np.floor(weights / weights.sum() * BATCH_TOKENS).astype(np.int64)
    lengths[-1] += BATCH_TOKENS - lengths.sum()
    return np.resize(held_out_ids(), BATCH_TOKENS), np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)


def halves(ids: np.ndarray, offsets: np.ndarray) -> list[tuple[np.ndarray, np.ndarray]]:
    """The ids and offsets of each half of the documents."""
    half = len(offsets) // 2
    return [(ids[: offsets[half]], offsets[: half + 1]), (ids[offsets[half]:], offsets[half:] - offsets[half])]


def in_threads(calls: list[Callable[[], object]]) -> Callable[[], None]:
    """One function that runs `calls` in one thread each and joins them."""

    def run() -> None:
        with concurrent.futures.ThreadPoolExecutor(len(calls)) as pool:
            list(pool.map(lambda call: call(), calls))

    return run


# A child process: does `reps` times one half of the batch work of this
# benchmark, starting at wall-clock time `start`, and prints its seconds.
PARALLEL_CHILD = """
import sys, time
import vonk, arrays
name, part, reps, start = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
codec = vonk.Codec(arrays.TOKENIZER)
ids, offs = arrays.halves(*arrays.batch())[part]
if name == "pack_many":
    call = lambda: vonk.pack_many(ids, offs, codec)
else:
    payloads, payload_offsets = vonk.pack_many(ids, offs, codec)
    call = lambda: vonk.unpack_many(payloads, payload_offsets, codec)
call()
while time.time() < start:
    time.sleep(0.001)
started = time.perf_counter()
for _ in range(reps):
    call()
print(time.perf_counter() - started)
"""


def process_speedup(name: str) -> float:
    """Two processes each doing one half of the work against one process
    doing both halves, timed inside the processes (no start-up)."""

    def children(parts: list[int]) -> float:
        start = time.time() + 1.5
        with concurrent.futures.ThreadPoolExecutor(len(parts)) as pool:
            outs = pool.map(lambda part: common.run_child(PARALLEL_CHILD, name, part, REPEATS, start)[0], parts)
            return max(float(out) for out in outs)

    return (children([0]) + children([1])) / children([0, 1])


def timed_rows(rows, count: int, cfg: common.Config) -> dict[str, tuple[float, float, float]]:
    """Rows of (name, stored size, encode, decode) timed round robin: per
    name, (bytes per id, encode ns per id, decode ns per id)."""
    fns = [f for _, _, encode, decode in rows for f in (encode, decode)]
    ns = [t / count for t in common.time_round_robin(fns, cfg.repeat, cfg.warmup)]
    return {name: (size / count, ns[2 * i], ns[2 * i + 1]) for i, (name, size, _, _) in enumerate(rows)}


def single_array_figures(cfg: common.Config) -> tuple[int, dict[str, tuple[float, float, float]]]:
    """The held-out ids as one array through each method: the number of ids
    and, per method, (bytes per token, encode ns per id, decode ns per id)."""
    ids = held_out_ids()
    codec = vonk.Codec(TOKENIZER)

    # Each method: name, encode (array -> bytes), decode (bytes -> array).
    methods: list[tuple[str, Callable[[], bytes], Callable[[bytes], object]]] = [
        ("memory copy (the floor)", ids.tobytes, lambda b: np.frombuffer(b, np.uint32).copy()),
    ]
    if zstandard is not None:
        compressor = zstandard.ZstdCompressor(level=3)
        decompressor = zstandard.ZstdDecompressor()
        methods.append((
            "numpy array + zstd level 3",
            lambda: compressor.compress(ids),
            lambda b: np.frombuffer(decompressor.decompress(b), np.uint32),
        ))
    for gzip in (False, True):
        methods.append((
            f"vonk list API, {'gzip' if gzip else 'plain'}",
            lambda g=gzip: bytes(codec.encode_token_ids(ids.tolist(), gzip=g)),
            lambda b, g=gzip: np.array(codec.decode_token_ids(b, gzip=g), dtype=np.uint32),
        ))
    for gzip in (False, True):
        methods.append((
            f"vonk pack/unpack, {'gzip' if gzip else 'plain'}",
            lambda g=gzip: vonk.pack(ids, codec, gzip=g),
            lambda b, g=gzip: np.frombuffer(vonk.unpack(b, codec, gzip=g), np.uint32),
        ))
    rows = []
    for name, encode, decode in methods:
        payload = encode()
        assert np.array_equal(np.asarray(decode(payload)), ids), name
        rows.append((name, len(payload), encode, lambda d=decode, p=payload: d(p)))
    return len(ids), timed_rows(rows, len(ids), cfg)


def run_arrays(cfg: common.Config) -> None:
    codec = vonk.Codec(TOKENIZER)
    n, figures = single_array_figures(cfg)
    headers, median = ["method", "B/tok", "encode", "decode"], f"median of {cfg.repeat}, round robin"
    table = lambda figs: [[name, f"{s:.3f}", f"{e:.2f}", f"{d:.2f}"] for name, (s, e, d) in figs.items()]  # noqa: E731
    common.print_table(f"Token arrays: ns per id, {n:,} held-out {TOKENIZER} ids ({median})",
                       headers, table(figures), left=1)

    big, offsets = batch()
    rows = []
    for gzip in (False, True):
        label = "gzip" if gzip else "plain"
        single = vonk.pack(big, codec, gzip=gzip)
        payloads, payload_offsets = vonk.pack_many(big, offsets, codec, gzip=gzip)
        back, back_offsets = vonk.unpack_many(payloads, payload_offsets, codec, gzip=gzip)
        assert np.array_equal(np.frombuffer(back, np.uint32), big)
        assert np.array_equal(np.frombuffer(back_offsets, np.int64), offsets)
        rows += [
            (f"pack/unpack, one array, {label}", len(single),
             lambda g=gzip: vonk.pack(big, codec, gzip=g),
             lambda s=single, g=gzip: vonk.unpack(s, codec, gzip=g)),
            (f"pack_many/unpack_many, {label}", len(payloads),
             lambda g=gzip: vonk.pack_many(big, offsets, codec, gzip=g),
             lambda p=payloads, o=payload_offsets, g=gzip: vonk.unpack_many(p, o, codec, gzip=g)),
        ]
    batches = timed_rows(rows, BATCH_TOKENS, cfg)
    figures.update(batches)
    common.print_table(f"Batches: ns per id, {BATCH_TOKENS:,} ids (the samples repeated) as one array and as"
                       f" {DOCUMENTS:,} documents ({median})", headers, table(batches), left=1)

    # Two threads, each a half of the documents, against one thread doing both
    # halves one after the other; and the same work in two processes against
    # one, the ceiling the machine itself allows (on a machine shared with
    # other jobs it can be far below 2).
    parts = halves(big, offsets)
    packed = [vonk.pack_many(part, offs, codec) for part, offs in parts]
    work = {
        "pack_many": [lambda p=p, o=o: vonk.pack_many(p, o, codec) for p, o in parts],
        "unpack_many": [lambda b=b, o=o: vonk.unpack_many(b, o, codec) for b, o in packed],
    }
    speedups, rows = {}, []
    # Each figure times REPEATS calls per half, so that one figure spans as
    # long as a process's below, not a single scheduling slice.
    for name, calls in work.items():
        looped = [lambda c=c: [c() for _ in range(REPEATS)] for c in calls]
        one, two = (t / REPEATS for t in common.time_round_robin(
            [lambda: [c() for c in looped], in_threads(looped)], 3, 1))
        speedups[name] = (one / two, process_speedup(name))
        rows.append([name, f"{one / 1e6:.1f}", f"{two / 1e6:.1f}", *map(common.fmt_ratio, speedups[name])])
    common.print_table(f"2 threads against 1, plain, {DOCUMENTS:,} documents split in two halves (median of 3);"
                       " 2 processes against 1 on the same work",
                       ["operation", "1 thread ms", "2 threads ms", "speed-up", "2 processes speed-up"], rows, left=1)

    checks: list[tuple[str, float, str]] = []
    if zstandard is not None:
        zstd = figures["numpy array + zstd level 3"]
        for label, enc_goal, dec_goal in (("plain", 0.3, 1.0), ("gzip", 1.4, 2.0)):
            ours = figures[f"vonk pack/unpack, {label}"]
            checks.append((f"pack {label} / zstd3 compress", ours[1] / zstd[1], f"<= {enc_goal}"))
            checks.append((f"unpack {label} / zstd3 decompress", ours[2] / zstd[2], f"<= {dec_goal}"))
    for label in ("plain", "gzip"):
        single = figures[f"pack/unpack, one array, {label}"]
        many = figures[f"pack_many/unpack_many, {label}"]
        checks.append((f"pack_many / pack per id, {label}", many[1] / single[1], "<= 1.2"))
        checks.append((f"unpack_many / unpack per id, {label}", many[2] / single[2], "<= 1.2"))
    for name, (value, ceiling) in speedups.items():
        checks.append((f"{name}: 2 threads / 1 thread speed-up", value, ">= 1.6"))
        checks.append((f"{name}: the same, 2 processes / 1 (the machine's ceiling)", ceiling, "-"))
    list_plain = figures["vonk list API, plain"]
    ours_plain = figures["vonk pack/unpack, plain"]
    checks.append(("list API / pack, plain (speed-up)", list_plain[1] / ours_plain[1], "-"))
    checks.append(("list API / unpack, plain (speed-up)", list_plain[2] / ours_plain[2], "-"))
    common.print_table("Ratios against the goals (same run)", ["ratio", "measured", "goal"],
                       [[name, f"{value:.2f}", goal] for name, value, goal in checks], left=1)


def run_unpack(cfg: common.Config) -> None:
    """vonk.unpack of each tokenizer's joined samples, plain and with gzip,
    beside zstd level 3's decompression of the same ids as uint32 bytes
    into an array, all round robin."""
    if zstandard is None:
        raise SystemExit("the unpack section needs zstandard: pip install '.[bench]'")
    decompress, rows, problems = zstandard.ZstdDecompressor().decompress, [], []
    for name in cfg.throughput_tokenizers():
        codec, ids = vonk.Codec(name), held_out_ids(name)
        plain, gz = vonk.pack(ids, codec), vonk.pack(ids, codec, gzip=True)
        zst = zstandard.ZstdCompressor(level=3).compress(ids)
        calls = {
            f"vonk.unpack, plain ({len(plain) / len(ids):.3f} B/tok)": lambda: vonk.unpack(plain, codec),
            f"vonk.unpack, gzip=True ({len(gz) / len(ids):.3f} B/tok)": lambda: vonk.unpack(gz, codec, gzip=True),
            f"zstd3 decompress ({len(zst) / len(ids):.3f} B/tok)": lambda: np.frombuffer(decompress(zst), np.uint32),
        }
        problems += [f"  !! {name}: {label} does not give back the ids"
                     for label, call in calls.items() if not np.array_equal(np.asarray(call()), ids)]
        ns = [t / len(ids) for t in common.time_round_robin(list(calls.values()), cfg.repeat, cfg.warmup)]
        rows += [[f"{name}, {len(ids):,} ids" if i == 0 else "", label, f"{t:.2f}", common.fmt_ratio(t / ns[2])]
                 for i, (label, t) in enumerate(zip(calls, ns))]
    common.print_table(f"Unpack beside zstd: ns per id of each tokenizer's joined samples (median of {cfg.repeat},"
                       " round robin)", ["tokenizer", "call", "ns/id", "/zstd3"], rows,
                       ["zstd3: zstandard level 3 of the ids as uint32 bytes, decompressed into a numpy uint32"
                        " array (np.frombuffer).", "/zstd3 = the call / zstd3 decompress, measured in this run:"
                        " on the gzip=True row, unpack gzip / zstd3 decompress."] + problems, bars=2)


# A child process: builds its input, then reports (in bytes) the input's
# size, the result's size and its resident size just before the call; the
# parent takes the peak (the building of the input peaks below the call:
# it makes no copy beside the input).
MEMORY_CHILD = """
import sys, numpy as np, vonk
from common import rss
kind, dtype, gzip, count, sample, payload_file = sys.argv[1:]
gzip = gzip == "1"
codec = vonk.Codec("cl100k_base")
if kind == "pack":
    data = np.resize(np.fromfile(sample, "<u4").astype(dtype), int(count))
else:
    data = open(payload_file, "rb").read()
vonk.pack(data[:10] if kind == "pack" else np.zeros(1, np.uint32), codec)
before = rss()[0]
result = vonk.pack(data, codec, gzip=gzip) if kind == "pack" else vonk.unpack(data, codec, gzip=gzip)
size = len(result) if kind == "pack" else len(result) * 4
print(data.nbytes if kind == "pack" else len(data), size, before)
"""


def long_calls() -> None:
    """One call on 100,000,000 ids: how long Ctrl-C may wait."""
    ids = np.resize(held_out_ids(), 100_000_000)
    codec = vonk.Codec(TOKENIZER)
    times: dict[str, list[str]] = {"pack (uint32 array)": [], "unpack": []}

    def timed(function: Callable[[], object]) -> tuple[object, str]:
        wall, cpu = time.perf_counter(), time.process_time()
        result = function()
        return result, f"{time.perf_counter() - wall:.2f} / {time.process_time() - cpu:.2f}"

    for gzip in (False, True):
        payload, figure = timed(lambda: vonk.pack(ids, codec, gzip=gzip))
        times["pack (uint32 array)"].append(figure)
        _, figure = timed(lambda: vonk.unpack(payload, codec, gzip=gzip))
        times["unpack"].append(figure)
        del payload
    common.print_table("One call on 100,000,000 ids: the longest stretch without a signal check (s; wall clock"
                       " / CPU time of the process, which a loaded machine stretches less)",
                       ["call", "plain", "gzip"], [[name, *figures] for name, figures in times.items()], left=1)


def peak_memory() -> None:
    """The peak memory of calls on 10,000,000 ids, each in a fresh process."""
    codec = vonk.Codec(TOKENIZER)
    count = 10_000_000
    sample = common.SAMPLE_DIR / f"prose.{TOKENIZER}.u32"
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        base = np.resize(np.fromfile(sample, "<u4"), count)
        payload_files = {}
        for gzip in (False, True):
            path = pathlib.Path(folder) / f"payload{int(gzip)}"
            path.write_bytes(vonk.pack(base, codec, gzip=gzip))
            payload_files[gzip] = path
        del base
        cases = [("pack", "uint32", False), ("pack", "int64", False),
                 ("pack", "uint32", True), ("unpack", "-", False), ("unpack", "-", True)]
        for kind, dtype, gzip in cases:
            out, peak = common.run_child(MEMORY_CHILD, kind, dtype, int(gzip), count, sample,
                                         payload_files[gzip], peak=True)
            given, made, before = map(int, out.split())
            label = f"{kind} {dtype if kind == 'pack' else 'bytes'}{', gzip' if gzip else ''}"
            rows.append([label, *(f"{v / 2**20:.1f}" for v in (given, made, max(0, peak - before)))])
    common.print_table(f"Peak memory of one call on {count:,} ids, fresh process (MiB)",
                       ["call", "input", "result", "peak rise during the call"], rows, left=1)


if __name__ == "__main__":
    import run

    run.main(["--only", "arrays", *(a for a in sys.argv[1:] if a != "--long")])
    if "--long" in sys.argv[1:]:
        long_calls()
        peak_memory()
