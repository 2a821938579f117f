"""Token arrays in, bytes out and back: vonk's buffer API beside the floor,
numpy + zstd and vonk's list API, on 1,000,000 cl100k_base ids.

    python bench/arrays.py            # 15 timed runs per figure
    python bench/arrays.py --quick    # 5

The ids are the three held-out samples bench/data/{prose,code,multilingual}
.cl100k_base.u32 (raw little-endian uint32, 264,628 ids together) joined and
repeated up to 1,000,000 ids. For the batch rows they are cut into 10,000
documents whose lengths are drawn (seeded) around a mean of 100 ids. Every
figure is the best of N runs timed with time.perf_counter, all in one run of
this script; ratios compare figures of that same run. Needs numpy; the zstd
row needs zstandard (pip install '.[bench]').
"""

from __future__ import annotations

import pathlib
import sys
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
TOKENS = 1_000_000
DOCUMENTS = 10_000


def token_ids() -> np.ndarray:
    parts = [
        np.fromfile(SAMPLES / f"{kind}.{TOKENIZER}.u32", dtype="<u4")
        for kind in ("prose", "code", "multilingual")
    ]
    joined = np.concatenate(parts)
    return np.resize(joined, TOKENS).astype(np.uint32)


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


def run(quick: bool) -> None:
    runs = 5 if quick else 15
    ids = token_ids()
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

    offsets = document_offsets(n, DOCUMENTS)
    half = DOCUMENTS // 2
    halves = [(ids[: offsets[half]], offsets[: half + 1]),
              (ids[offsets[half]:], offsets[half:] - offsets[half])]

    figures: dict[str, tuple[float, float, float]] = {}
    print(f"Token arrays, {n:,} {TOKENIZER} ids, best of {runs} (ns per id)")
    print(f"| method | B/tok | encode | decode |\n|---|---:|---:|---:|")
    for name, encode, decode in rows:
        payload = encode()
        assert np.array_equal(np.asarray(decode(payload)), ids), name
        t_encode = best(encode, runs) / n * 1e9
        t_decode = best(lambda: decode(payload), runs) / n * 1e9
        size = len(payload) / n
        figures[name] = (size, t_encode, t_decode)
        print(f"| {name} | {size:.3f} | {t_encode:.2f} | {t_decode:.2f} |")

    for gzip in (False, True):
        label = "gzip" if gzip else "plain"
        payloads, payload_offsets = vonk.pack_many(ids, offsets, codec, gzip=gzip)
        back, back_offsets = vonk.unpack_many(payloads, payload_offsets, codec, gzip=gzip)
        assert np.array_equal(np.frombuffer(back, np.uint32), ids)
        assert np.array_equal(np.frombuffer(back_offsets, np.int64), offsets)
        name = f"vonk pack_many/unpack_many, {DOCUMENTS:,} documents, {label}"
        t_encode = best(lambda: vonk.pack_many(ids, offsets, codec, gzip=gzip), runs) / n * 1e9
        t_decode = best(
            lambda: vonk.unpack_many(payloads, payload_offsets, codec, gzip=gzip), runs
        ) / n * 1e9
        figures[name] = (len(payloads) / n, t_encode, t_decode)
        print(f"| {name} | {len(payloads) / n:.3f} | {t_encode:.2f} | {t_decode:.2f} |")

    # Two threads, each a half of the documents, against one thread doing both
    # halves one after the other.
    packed = [vonk.pack_many(part, offs, codec) for part, offs in halves]
    work = {
        "pack_many": [lambda p=p, o=o: vonk.pack_many(p, o, codec) for p, o in halves],
        "unpack_many": [lambda b=b, o=o: vonk.unpack_many(b, o, codec) for b, o in packed],
    }
    print(f"\n2 threads against 1, plain, {DOCUMENTS:,} documents split in two halves (ms)")
    print("| operation | 1 thread | 2 threads | speed-up |\n|---|---:|---:|---:|")
    speedups = {}
    for name, calls in work.items():
        one = best(lambda: [c() for c in calls], runs)
        two = best(in_threads(calls), runs)
        speedups[name] = one / two
        print(f"| {name} | {one * 1e3:.1f} | {two * 1e3:.1f} | {one / two:.2f}x |")

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
        single = figures[f"vonk pack/unpack, {label}"]
        batch = figures[f"vonk pack_many/unpack_many, {DOCUMENTS:,} documents, {label}"]
        checks.append((f"pack_many / pack per id, {label}", batch[1] / single[1], "<= 1.2"))
        checks.append((f"unpack_many / unpack per id, {label}", batch[2] / single[2], "<= 1.2"))
    for name, value in speedups.items():
        checks.append((f"{name}: 2 threads / 1 thread speed-up", value, ">= 1.6"))
    list_plain = figures["vonk list API, plain"]
    ours_plain = figures["vonk pack/unpack, plain"]
    checks.append(("list API / pack, plain (speed-up)", list_plain[1] / ours_plain[1], "-"))
    checks.append(("list API / unpack, plain (speed-up)", list_plain[2] / ours_plain[2], "-"))
    for name, value, goal in checks:
        print(f"| {name} | {value:.2f} | {goal} |")


if __name__ == "__main__":
    run(quick="--quick" in sys.argv[1:])
