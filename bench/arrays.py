"""Token arrays in, bytes out and back: vonk's buffer API beside the floor,
numpy + zstd and vonk's list API.

    python bench/arrays.py            # 15 timed runs per figure
    python bench/arrays.py --quick    # 5
    python bench/arrays.py --long     # also: one call on 100M ids, peak memory

The single-array table uses the three held-out samples
bench/data/{prose,code,multilingual}.cl100k_base.u32 (raw little-endian
uint32) joined: 264,127 ids, none repeated, since a repeated sample would
let zstd (whose window at level 3 spans megabytes) match whole copies. The
batch table repeats those ids up to 1,000,000 (each payload is compressed on
its own, so the repetition helps no row there) and cuts them into 10,000
documents whose lengths are drawn (seeded) around a mean of 100 ids; its
ratios compare against pack/unpack of the same 1,000,000 ids as one array.
Every figure is the best of N runs timed with time.perf_counter, all in one
run of this script; ratios compare figures of that same run. Needs numpy;
the zstd row needs zstandard (pip install '.[bench]').
"""

from __future__ import annotations

import pathlib
import subprocess
import sys
import tempfile
import threading
import time
from typing import Callable

import numpy as np

import vonk

try:
    import zstandard
except ImportError:  # the row is left out
    zstandard = None

SAMPLES = pathlib.Path(__file__).resolve().parent / "data"
TOKENIZER = "cl100k_base"
BATCH_TOKENS = 1_000_000
DOCUMENTS = 10_000
# Calls per half of the documents in one timed figure of the thread and
# process comparison: about 0.1 to 0.2 s of work.
REPEATS = 40


def held_out_ids() -> np.ndarray:
    parts = [
        np.fromfile(SAMPLES / f"{kind}.{TOKENIZER}.u32", dtype="<u4")
        for kind in ("prose", "code", "multilingual")
    ]
    return np.concatenate(parts).astype(np.uint32)


def document_offsets(total: int, documents: int) -> np.ndarray:
    rng = np.random.default_rng(2026)
    weights = rng.lognormal(mean=0.0, sigma=1.0, size=documents)
    lengths = np.floor(weights / weights.sum() * total).astype(np.int64)
    lengths[-1] += total - lengths.sum()
    return np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)


def best(function: Callable[[], object], runs: int) -> float:
    """Seconds of the fastest of `runs` calls, after one untimed call."""
    function()
    fastest = float("inf")
    for _ in range(runs):
        started = time.perf_counter()
        function()
        fastest = min(fastest, time.perf_counter() - started)
    return fastest


def in_threads(calls: list[Callable[[], object]]) -> Callable[[], None]:
    """One function that runs `calls` in one thread each and joins them."""

    def run() -> None:
        threads = [threading.Thread(target=c) for c in calls]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    return run


# A child process: does `reps` times one half of the batch work of this
# benchmark, starting at wall-clock time `start`, and prints its seconds.
PARALLEL_CHILD = """
import sys, time
sys.path.insert(0, sys.argv[1])
import numpy as np, vonk, arrays
name, part, reps, start = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5])
codec = vonk.Codec(arrays.TOKENIZER)
big = np.resize(arrays.held_out_ids(), arrays.BATCH_TOKENS)
offsets = arrays.document_offsets(arrays.BATCH_TOKENS, arrays.DOCUMENTS)
half = arrays.DOCUMENTS // 2
ids, offs = [(big[: offsets[half]], offsets[: half + 1]),
             (big[offsets[half]:], offsets[half:] - offsets[half])][part]
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

    def children(parts: list[int], reps_each: int) -> float:
        start = time.time() + 1.5
        procs = [
            subprocess.Popen(
                [sys.executable, "-c", PARALLEL_CHILD, str(pathlib.Path(__file__).parent),
                 name, str(part), str(reps_each), str(start)],
                stdout=subprocess.PIPE, text=True,
            )
            for part in parts
        ]
        return max(float(p.communicate()[0]) for p in procs)

    reps = REPEATS
    one = children([0], reps) + children([1], reps)
    two = children([0, 1], reps)
    return one / two



def single_array_figures(runs: int) -> tuple[int, dict[str, tuple[float, float, float]]]:
    """The held-out ids as one array through each method: the number of ids
    and, per method, (bytes per token, encode ns per id, decode ns per id)."""
    ids = held_out_ids()
    n = len(ids)
    codec = vonk.Codec(TOKENIZER)

    # Each row: name, encode (array -> bytes), decode (bytes -> array).
    rows: list[tuple[str, Callable[[], bytes], Callable[[bytes], object]]] = [
        ("memory copy (the floor)", ids.tobytes, lambda b: np.frombuffer(b, np.uint32).copy()),
    ]
    if zstandard is not None:
        compressor = zstandard.ZstdCompressor(level=3)
        decompressor = zstandard.ZstdDecompressor()
        rows.append((
            "numpy array + zstd level 3",
            lambda: compressor.compress(ids),
            lambda b: np.frombuffer(decompressor.decompress(b), np.uint32),
        ))
    for gzip in (False, True):
        label = "gzip" if gzip else "plain"
        rows.append((
            f"vonk list API, {label}",
            lambda g=gzip: bytes(codec.encode_token_ids(ids.tolist(), gzip=g)),
            lambda b, g=gzip: np.array(codec.decode_token_ids(b, gzip=g), dtype=np.uint32),
        ))
    for gzip in (False, True):
        label = "gzip" if gzip else "plain"
        rows.append((
            f"vonk pack/unpack, {label}",
            lambda g=gzip: vonk.pack(ids, codec, gzip=g),
            lambda b, g=gzip: np.frombuffer(vonk.unpack(b, codec, gzip=g), np.uint32),
        ))

    figures: dict[str, tuple[float, float, float]] = {}
    for name, encode, decode in rows:
        payload = encode()
        assert np.array_equal(np.asarray(decode(payload)), ids), name
        t_encode = best(encode, runs) / n * 1e9
        t_decode = best(lambda: decode(payload), runs) / n * 1e9
        figures[name] = (len(payload) / n, t_encode, t_decode)
    return n, figures


def run(quick: bool) -> None:
    runs = 5 if quick else 15
    codec = vonk.Codec(TOKENIZER)
    n, figures = single_array_figures(runs)
    ids = held_out_ids()
    print(f"Token arrays, {n:,} held-out {TOKENIZER} ids, best of {runs} (ns per id)")
    print(f"| method | B/tok | encode | decode |\n|---|---:|---:|---:|")
    for name, (size, t_encode, t_decode) in figures.items():
        print(f"| {name} | {size:.3f} | {t_encode:.2f} | {t_decode:.2f} |")

    big = np.resize(ids, BATCH_TOKENS)
    offsets = document_offsets(BATCH_TOKENS, DOCUMENTS)
    print(f"\nBatches: {BATCH_TOKENS:,} ids (the samples repeated) as one array and as "
          f"{DOCUMENTS:,} documents, best of {runs} (ns per id)")
    print("| method | B/tok | encode | decode |\n|---|---:|---:|---:|")
    for gzip in (False, True):
        label = "gzip" if gzip else "plain"
        single = vonk.pack(big, codec, gzip=gzip)
        payloads, payload_offsets = vonk.pack_many(big, offsets, codec, gzip=gzip)
        back, back_offsets = vonk.unpack_many(payloads, payload_offsets, codec, gzip=gzip)
        assert np.array_equal(np.frombuffer(back, np.uint32), big)
        assert np.array_equal(np.frombuffer(back_offsets, np.int64), offsets)
        for name, size, encode, decode in (
            (f"pack/unpack, one array, {label}", len(single),
             lambda: vonk.pack(big, codec, gzip=gzip),
             lambda: vonk.unpack(single, codec, gzip=gzip)),
            (f"pack_many/unpack_many, {label}", len(payloads),
             lambda: vonk.pack_many(big, offsets, codec, gzip=gzip),
             lambda: vonk.unpack_many(payloads, payload_offsets, codec, gzip=gzip)),
        ):
            t_encode = best(encode, runs) / BATCH_TOKENS * 1e9
            t_decode = best(decode, runs) / BATCH_TOKENS * 1e9
            figures[name] = (size / BATCH_TOKENS, t_encode, t_decode)
            print(f"| {name} | {size / BATCH_TOKENS:.3f} | {t_encode:.2f} | {t_decode:.2f} |")

    # Two threads, each a half of the documents, against one thread doing both
    # halves one after the other; and the same work in two processes against
    # one, the ceiling the machine itself allows (on a machine shared with
    # other jobs it can be far below 2).
    half = DOCUMENTS // 2
    halves = [(big[: offsets[half]], offsets[: half + 1]),
              (big[offsets[half]:], offsets[half:] - offsets[half])]
    packed = [vonk.pack_many(part, offs, codec) for part, offs in halves]
    work = {
        "pack_many": [lambda p=p, o=o: vonk.pack_many(p, o, codec) for p, o in halves],
        "unpack_many": [lambda b=b, o=o: vonk.unpack_many(b, o, codec) for b, o in packed],
    }
    print(f"\n2 threads against 1, plain, {DOCUMENTS:,} documents split in two halves (ms); "
          "2 processes against 1 on the same work")
    print("| operation | 1 thread | 2 threads | speed-up | 2 processes speed-up |\n"
          "|---|---:|---:|---:|---:|")
    speedups = {}
    # Each figure times REPEATS calls per half, so that one figure spans as
    # long as a process's below, not a single scheduling slice.
    for name, calls in work.items():
        looped = [lambda c=c: [c() for _ in range(REPEATS)] for c in calls]
        one = best(lambda: [c() for c in looped], 3) / REPEATS
        two = best(in_threads(looped), 3) / REPEATS
        ceiling = process_speedup(name)
        speedups[name] = (one / two, ceiling)
        print(f"| {name} | {one * 1e3:.1f} | {two * 1e3:.1f} | {one / two:.2f}x | {ceiling:.2f}x |")

    print("\nRatios against the goals (same run)")
    print("| ratio | measured | goal |\n|---|---:|---:|")
    checks: list[tuple[str, float, str]] = []
    if zstandard is not None:
        zstd = figures["numpy array + zstd level 3"]
        for label, enc_goal, dec_goal in (("plain", 0.3, 1.0), ("gzip", 1.4, 2.0)):
            ours = figures[f"vonk pack/unpack, {label}"]
            checks.append((f"pack {label} / zstd3 compress", ours[1] / zstd[1], f"<= {enc_goal}"))
            checks.append((f"unpack {label} / zstd3 decompress", ours[2] / zstd[2], f"<= {dec_goal}"))
    for label in ("plain", "gzip"):
        single = figures[f"pack/unpack, one array, {label}"]
        batch = figures[f"pack_many/unpack_many, {label}"]
        checks.append((f"pack_many / pack per id, {label}", batch[1] / single[1], "<= 1.2"))
        checks.append((f"unpack_many / unpack per id, {label}", batch[2] / single[2], "<= 1.2"))
    for name, (value, ceiling) in speedups.items():
        checks.append((f"{name}: 2 threads / 1 thread speed-up", value, ">= 1.6"))
        checks.append((f"{name}: the same, 2 processes / 1 (the machine's ceiling)", ceiling, "-"))
    list_plain = figures["vonk list API, plain"]
    ours_plain = figures["vonk pack/unpack, plain"]
    checks.append(("list API / pack, plain (speed-up)", list_plain[1] / ours_plain[1], "-"))
    checks.append(("list API / unpack, plain (speed-up)", list_plain[2] / ours_plain[2], "-"))
    for name, value, goal in checks:
        print(f"| {name} | {value:.2f} | {goal} |")


# A child process: builds its input, then reports (in bytes) the input's
# size, the result's size and how far the peak resident size rose above the
# resident size just before the call (the building of the input peaks below
# that: it makes no copy beside the input).
MEMORY_CHILD = """
import os, sys, numpy as np, vonk
kind, dtype, gzip, count, sample, payload_file = sys.argv[1:]
gzip = gzip == "1"
def status(field):  # bytes; VmHWM (the peak) starts afresh at exec
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
codec = vonk.Codec("cl100k_base")
if kind == "pack":
    data = np.resize(np.fromfile(sample, "<u4").astype(dtype), int(count))
else:
    data = open(payload_file, "rb").read()
vonk.pack(data[:10] if kind == "pack" else np.zeros(1, np.uint32), codec)
before = status("VmRSS")
result = vonk.pack(data, codec, gzip=gzip) if kind == "pack" else vonk.unpack(data, codec, gzip=gzip)
peak = status("VmHWM")
size = len(result) if kind == "pack" else len(result) * 4
print(data.nbytes if kind == "pack" else len(data), size, max(0, peak - before))
"""


def long_calls() -> None:
    """One call on 100,000,000 ids: how long Ctrl-C may wait."""
    ids = np.resize(held_out_ids(), 100_000_000)
    codec = vonk.Codec(TOKENIZER)
    print("\nOne call on 100,000,000 ids: the longest stretch without a signal check "
          "(s; wall clock / CPU time of the process, which a loaded machine stretches less)")
    print("| call | plain | gzip |\n|---|---:|---:|")
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
    for name, (plain, gz) in times.items():
        print(f"| {name} | {plain} | {gz} |")

def peak_memory() -> None:
    """The peak memory of calls on 10,000,000 ids, each in a fresh process."""
    codec = vonk.Codec(TOKENIZER)
    count = 10_000_000
    sample = SAMPLES / f"prose.{TOKENIZER}.u32"
    print(f"\nPeak memory of one call on {count:,} ids, fresh process (MiB)")
    print("| call | input | result | peak rise during the call |\n|---|---:|---:|---:|")
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
            out = subprocess.run(
                [sys.executable, "-c", MEMORY_CHILD, kind, dtype, "1" if gzip else "0",
                 str(count), str(sample), str(payload_files[gzip])],
                capture_output=True, text=True, check=True, cwd=folder,
            ).stdout.split()
            given, made, rise = (int(x) / 2**20 for x in out)
            label = f"{kind} {dtype if kind == 'pack' else 'bytes'}{', gzip' if gzip else ''}"
            print(f"| {label} | {given:.1f} | {made:.1f} | {rise:.1f} |")


def run_section(cfg) -> None:
    """The runner's section: the tables above at the runner's --quick."""
    run(cfg.quick)


if __name__ == "__main__":
    run(quick="--quick" in sys.argv[1:])
    if "--long" in sys.argv[1:]:
        long_calls()
        peak_memory()
