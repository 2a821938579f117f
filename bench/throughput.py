"""Throughput of the Codec methods on ~100,000 token ids of real text.

`operations()` is the one list of what is timed, each call beside its floor
or peer: the ids, tokens and gzip tables of the runner take their rows from
it, and so does the comparison of two builds (`run.py --compare`).
"""

from __future__ import annotations

import array
import dataclasses
import functools
import gzip
import importlib.util
import os
import statistics
import time
import zlib
from typing import Callable

import common


@dataclasses.dataclass
class Workload:
    """One tokenizer's inputs, made and checked with one build of the module."""

    name: str
    ids: list[int]
    mapped: list[int]
    payload: list[int]  # encode_token_ids(ids)
    gz: list[int]  # the same with gzip=True
    tokens: list[str]  # decode_tokens(payload)
    tokens_payload: list[int]  # encode_tokens(tokens)
    tokens_gz: list[int]
    problems: list[str]


@functools.lru_cache(maxsize=None)
def workload(module, name: str, count: int) -> Workload:
    c = module.Codec(name)
    ids = common.mixed_ids(name, count)
    payload = c.encode_token_ids(ids)
    tokens = c.decode_tokens(payload)
    w = Workload(name, ids, c.token_id_to_mapped_id(ids), payload, c.encode_token_ids(ids, gzip=True),
                 tokens, c.encode_tokens(tokens), c.encode_tokens(tokens, gzip=True), [])
    checks = {
        "decode_token_ids(encode_token_ids(ids)) != ids": c.decode_token_ids(payload) == ids,
        "decode_mapped_ids(payload) != token_id_to_mapped_id(ids)": c.decode_mapped_ids(payload) == w.mapped,
        "encode_mapped_ids(mapped) != encode_token_ids(ids)": c.encode_mapped_ids(w.mapped) == payload,
        "decode_tokens(encode_tokens(tokens)) != tokens": c.decode_tokens(w.tokens_payload) == tokens,
        "gzip payload does not inflate to the plain payload": gzip.decompress(bytes(w.gz)) == bytes(payload),
        "decode_token_ids(gzip=True) round trip differs": c.decode_token_ids(w.gz, gzip=True) == ids,
    }
    w.problems = [f"  !! {name}: {text}" for text, ok in checks.items() if not ok]
    return w


@dataclasses.dataclass
class Op:
    section: str
    label: str
    call: Callable[[], object]  # what vonk does
    reference: Callable[[], object]  # the floor or peer printed beside it
    plain: Callable[[], object] | None = None  # gzip rows: the call without gzip


def operations(module, w: Workload) -> list[Op]:
    c = module.Codec(w.name)
    ids, mapped, tokens, payload, gz = w.ids, w.mapped, w.tokens, w.payload, w.gz
    pb, gzb, tpb, tgzb = bytes(payload), bytes(gz), bytes(w.tokens_payload), bytes(w.tokens_gz)
    raw_bytes = bytes(c.encode_raw_token_ids(ids))
    ids_array, mapped_array = array.array("I", ids), array.array("i", mapped)
    token_bytes = [t.encode() for t in tokens]
    encode_floor = lambda: (array.array("I", ids), list(pb))  # noqa: E731
    ops = [  # the ids and tokens tables
        Op("ids", "encode_token_ids", lambda: c.encode_token_ids(ids), encode_floor),
        Op("ids", "decode_token_ids", lambda: c.decode_token_ids(payload),
           lambda: (bytes(payload), ids_array.tolist())),
        Op("ids", "encode_mapped_ids", lambda: c.encode_mapped_ids(mapped), encode_floor),
        Op("ids", "decode_mapped_ids", lambda: c.decode_mapped_ids(payload),
           lambda: (bytes(payload), mapped_array.tolist())),
        Op("ids", "encode_raw_token_ids", lambda: c.encode_raw_token_ids(ids),
           lambda: (array.array("I", ids), list(raw_bytes))),
        Op("ids", "compress_token_ids", lambda: module.compress_token_ids(ids, w.name), encode_floor),
        Op("ids", "decompress_token_ids", lambda: module.decompress_token_ids(payload, w.name),
           lambda: (bytes(payload), ids_array.tolist())),
        Op("ids", "token_id_to_mapped_id", lambda: c.token_id_to_mapped_id(ids),
           lambda: (array.array("I", ids), mapped_array.tolist())),
        Op("ids", "mapped_id_to_token_id", lambda: c.mapped_id_to_token_id(mapped),
           lambda: (array.array("I", ids), ids_array.tolist())),
        Op("tokens", "encode_tokens", lambda: c.encode_tokens(tokens), lambda: [t.encode() for t in tokens]),
        Op("tokens", "decode_tokens", lambda: c.decode_tokens(payload),
           lambda: [b.decode() for b in token_bytes]),
    ]

    def gzip_op(label, plain, packed, data, encoding):
        # The plain call then zlib on its bytes, or gzip.decompress then the plain call.
        peer = (lambda: (plain(), zlib.compress(data, 6))) if encoding else (lambda: (gzip.decompress(data), plain()))
        return Op("gzip", label, packed, peer, plain)

    return ops + [
        gzip_op("encode_token_ids", lambda: c.encode_token_ids(ids),
                lambda: c.encode_token_ids(ids, gzip=True), pb, True),
        gzip_op("decode_token_ids", lambda: c.decode_token_ids(payload),
                lambda: c.decode_token_ids(gz, gzip=True), gzb, False),
        gzip_op("encode_mapped_ids", lambda: c.encode_mapped_ids(mapped),
                lambda: c.encode_mapped_ids(mapped, gzip=True), pb, True),
        gzip_op("decode_mapped_ids", lambda: c.decode_mapped_ids(payload),
                lambda: c.decode_mapped_ids(gz, gzip=True), gzb, False),
        gzip_op("encode_tokens", lambda: c.encode_tokens(tokens),
                lambda: c.encode_tokens(tokens, gzip=True), tpb, True),
        gzip_op("decode_tokens", lambda: c.decode_tokens(w.tokens_payload),
                lambda: c.decode_tokens(w.tokens_gz, gzip=True), tgzb, False),
    ]


TABLES = {
    "ids": ("Token ids: ns per token on {tokens:,} ids of real text (median of {repeat})",
            ["vonk", "floor", "ratio"], [
        "floor, encode: array('I', ids) + list(payload bytes) (encode_raw_token_ids: its own, longer payload);",
        "floor, decode: bytes(payload) + array(result).tolist(); translate: array('I', ids) + array(result).tolist().",
        "For mapped-id input the floor converts the token-id list (same length): CPython's array('i', ...)",
        "parses each element through PyArg_Parse, about twice as slow as array('I', ...), which would flatter vonk.",
        "ratio = vonk / floor (1.00x = as fast as merely moving the numbers in and out of Python lists).",
    ]),
    "tokens": ("Token texts: ns per token on the same {tokens:,} tokens (median of {repeat})",
               ["vonk", "peer", "ratio"], [
        "peer, encode: [t.encode() for t in tokens]; decode: [b.decode() for b in token_bytes].",
        "ratio = vonk / peer.",
    ]),
    "gzip": ("Gzip: ns per token on the same {tokens:,} ids (median of {repeat})",
             ["plain", "gzip=True", "peer", "ratio"], [
        "peer, encode: plain operation + zlib.compress(payload bytes, 6);"
        " decode: gzip.decompress(gzip payload bytes) + plain operation.",
        "ratio = gzip=True / peer; gzip=True - plain is what the gzip layer costs.",
        "vonk deflates with libdeflate (level 6) and inflates with zlib: the encode ratios"
        " should stay at or below 0.70x, the decode ones near 1.00x.",
    ]),
}


def run_section(section: str, cfg: common.Config) -> None:
    import vonk

    rows, problems = [], []
    for name in cfg.throughput_tokenizers():
        w = workload(vonk, name, cfg.tokens)
        problems += w.problems
        ops = [op for op in operations(vonk, w) if op.section == section]
        fns = [f for op in ops for f in (op.call, op.reference, op.plain) if f is not None]
        medians = iter(t / len(w.ids) for t in common.time_round_robin(fns, cfg.repeat, cfg.warmup))
        for index, op in enumerate(ops):
            mine, ref = next(medians), next(medians)
            plain = [common.fmt_ns(next(medians))] if op.plain else []
            rows.append([name if index == 0 else "", op.label, *plain, common.fmt_ns(mine),
                         common.fmt_ns(ref), common.fmt_ratio(mine / ref)])
    title, headers, notes = TABLES[section]
    common.print_table(title.format(tokens=cfg.tokens, repeat=cfg.repeat),
                       ["tokenizer", "operation", *headers], rows, notes + problems)


def load_build(tag: str, path: str):
    spec = importlib.util.spec_from_file_location(f"{tag}._internal", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def compare_builds(old_path: str, new_path: str, cfg: common.Config, rounds: int, sections) -> None:
    """Every operation of two builds on the same ids in one process,
    alternating old, new, new, old for `rounds` rounds; the figure is the
    median over the rounds of new / old, so drift hits both alike.  Loading
    one file twice shows what the method cannot resolve."""
    if os.path.samefile(old_path, new_path):  # the loader would share one copy
        raise SystemExit("OLD.so and NEW.so are one file: copy it to time a build against itself")
    old, new = load_build("vonk_old", old_path), load_build("vonk_new", new_path)
    clock = time.perf_counter_ns
    common.emit(f"{cfg.tokens:,} ids, median of {rounds} rounds of old, new, new, old")
    common.emit(f"{'tokenizer':12} {'operation':24} {'old ns/tok':>10} {'new ns/tok':>10} {'new/old':>8}")
    for name in cfg.tokenizers or common.SAMPLED[:2]:
        w = workload(old, name, cfg.tokens)
        pairs = zip(operations(old, w), operations(new, w))
        for a, b in ((a, b) for a, b in pairs if a.section in sections):
            for _ in range(3):
                a.call(), b.call()
            ratios, old_ns, new_ns = [], [], []
            for _ in range(rounds):
                times = []
                for call in (a.call, b.call, b.call, a.call):
                    start = clock()
                    call()
                    times.append(clock() - start)
                ratios.append((times[1] + times[2]) / (times[0] + times[3]))
                old_ns.append((times[0] + times[3]) / 2)
                new_ns.append((times[1] + times[2]) / 2)
            label = a.label + (" gzip" if a.section == "gzip" else "")
            common.emit(f"{name:12} {label:24} {statistics.median(old_ns) / cfg.tokens:10.1f} "
                        f"{statistics.median(new_ns) / cfg.tokens:10.1f} {statistics.median(ratios):8.3f}")


run_ids = functools.partial(run_section, "ids")
run_tokens = functools.partial(run_section, "tokens")
run_gzip = functools.partial(run_section, "gzip")
