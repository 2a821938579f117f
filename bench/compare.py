"""vonk beside the other ways to store token ids: size and speed.

Methods (the optional ones when their package is installed):

    vonk            encode_token_ids(ids) / decode_token_ids(bytes)
    vonk+gzip       the same with gzip=True
    uint32          array('I', ids).tobytes() / array('I').frombytes(...)
    uint32+zlib     zlib.compress(uint32 bytes, 6) / zlib.decompress
    LEB128          unsigned varint of each raw token id (pure Python)
    LEB128+zlib     zlib.compress(LEB128 bytes, 6)
    msgpack         msgpack.packb(ids) / msgpack.unpackb (package msgpack)
    uint32+zstd3    zstandard level 3 of the uint32 bytes (package zstandard)

Sizes are bytes per token of each whole sample (prose, code, multilingual)
for each tokenizer; speeds are ns per token of encoding a Python list of
ids into stored bytes and decoding those bytes back into a list, on the
throughput workload of each tokenizer, all methods timed round robin.
"""

from __future__ import annotations

import array
import dataclasses
import sys
import zlib
from typing import Callable

import common
from sizes import leb128


def leb128_decode(data: bytes) -> list[int]:
    out = []
    append = out.append
    value = shift = 0
    for byte in data:
        value |= (byte & 0x7F) << shift
        if byte & 0x80:
            shift += 7
        else:
            append(value)
            value = shift = 0
    return out


def to_u32(ids) -> bytes:
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


@dataclasses.dataclass(frozen=True)
class Method:
    name: str
    encode: Callable[[list[int]], object]  # ids -> stored form
    decode: Callable[[bytes], list[int]]  # bytes of the stored form -> ids


def methods(codec) -> list[Method]:
    found = [
        Method("vonk", codec.encode_token_ids, codec.decode_token_ids),
        Method(
            "vonk+gzip",
            lambda ids: codec.encode_token_ids(ids, gzip=True),
            lambda data: codec.decode_token_ids(data, gzip=True),
        ),
        Method("uint32", to_u32, from_u32),
        Method(
            "uint32+zlib",
            lambda ids: zlib.compress(to_u32(ids), 6),
            lambda data: from_u32(zlib.decompress(data)),
        ),
        Method("LEB128", leb128, leb128_decode),
        Method(
            "LEB128+zlib",
            lambda ids: zlib.compress(leb128(ids), 6),
            lambda data: leb128_decode(zlib.decompress(data)),
        ),
    ]
    try:
        import msgpack
    except ImportError:
        pass
    else:
        found.append(Method("msgpack", msgpack.packb, msgpack.unpackb))
    try:
        import zstandard
    except ImportError:
        pass
    else:
        compressor = zstandard.ZstdCompressor(level=3)
        decompressor = zstandard.ZstdDecompressor()
        found.append(
            Method(
                "uint32+zstd3",
                lambda ids: compressor.compress(to_u32(ids)),
                lambda data: from_u32(decompressor.decompress(data)),
            )
        )
    return found


@dataclasses.dataclass
class Results:
    method_names: list[str]
    # (tokenizer, kind) -> bytes per token of each method
    sizes: dict[tuple[str, str], list[float]]
    # tokenizer -> (encode ns per token, decode ns per token) of each method
    speeds: dict[str, list[tuple[float, float]]]
    tokens: int
    problems: list[str]


def measure(cfg: common.Config) -> Results:
    import vonk

    names = cfg.throughput_tokenizers()
    sizes: dict[tuple[str, str], list[float]] = {}
    speeds: dict[str, list[tuple[float, float]]] = {}
    problems: list[str] = []
    method_names: list[str] = []
    for name in names:
        codec = vonk.Codec(name)
        found = methods(codec)
        method_names = [m.name for m in found]
        for kind in common.KINDS:
            ids = list(common.sample_ids(common.SAMPLE_VOCABULARY[name], kind))
            row = []
            for method in found:
                stored = bytes(method.encode(ids))
                if method.decode(stored) != ids:
                    problems.append(f"  !! {name}/{kind}: {method.name} does not round trip")
                row.append(len(stored) / len(ids))
            sizes[(name, kind)] = row
        ids = common.mixed_ids(name, cfg.tokens)
        stored = [bytes(m.encode(ids)) for m in found]
        fns = []
        for method, data in zip(found, stored):
            fns.append(lambda m=method: m.encode(ids))
            fns.append(lambda m=method, d=data: m.decode(d))
        medians = common.time_round_robin(fns, cfg.repeat, cfg.warmup)
        n = len(ids)
        speeds[name] = [
            (medians[2 * i] / n, medians[2 * i + 1] / n) for i in range(len(found))
        ]
    return Results(method_names, sizes, speeds, cfg.tokens, problems)


def print_results(results: Results, cfg: common.Config) -> None:
    names = results.method_names
    rows = []
    previous = None
    for (tokenizer, kind), row in results.sizes.items():
        rows.append(
            [tokenizer if tokenizer != previous else "", kind]
            + [common.fmt_bpt(v) for v in row]
        )
        previous = tokenizer
    common.print_table(
        "Stored size: bytes per token of each sample",
        ["tokenizer", "text"] + names,
        rows,
        "ll" + "r" * len(names),
        ["zlib level 6; zstd level 3; LEB128: unsigned varint of each raw token id."]
        + results.problems,
    )
    rows = []
    for tokenizer, row in results.speeds.items():
        for index, (method, (enc, dec)) in enumerate(zip(names, row)):
            rows.append(
                [tokenizer if index == 0 else "", method, common.fmt_ns(enc), common.fmt_ns(dec)]
            )
    common.print_table(
        f"Encode and decode: ns per token on {results.tokens:,} ids of real text"
        f" (median of {cfg.repeat}, round robin)",
        ["tokenizer", "method", "encode", "decode"],
        rows,
        "llrr",
        [
            "encode: a list of ids to the stored form (vonk: its list payload);"
            " decode: the stored bytes to a list of ids.",
        ],
    )


def run_compare(cfg: common.Config, plot_path: str | None = None) -> None:
    results = measure(cfg)
    print_results(results, cfg)
    if plot_path:
        import plot

        plot.draw(results, plot_path)
        common.emit(f"plot written to {plot_path}")
        common.emit()
