"""Throughput of the Codec methods on ~100,000 token ids of real text.

Three tables:

    ids     encode/decode/translate of token ids and mapped ids against
            the cost of moving the same numbers and bytes between Python
            lists and buffers (array('I', ids) + list(payload bytes), and
            bytes(payload) + array(result).tolist() back)
    tokens  encode_tokens/decode_tokens against UTF-8 encoding/decoding the
            same token texts in a list comprehension
    gzip    each operation with gzip=True against the plain operation plus
            Python's zlib.compress(payload, 6) / gzip.decompress(...)
"""

from __future__ import annotations

import array
import dataclasses
import functools
import gzip as gzip_module
import zlib

import common


@dataclasses.dataclass
class Workload:
    """One tokenizer's inputs and the outputs they are checked against."""

    name: str
    codec: object
    ids: list[int]
    mapped: list[int]
    payload: list[int]  # encode_token_ids(ids)
    payload_bytes: bytes
    ids_array: array.array
    mapped_array: array.array
    tokens: list[str]  # decode_tokens(payload)
    token_bytes: list[bytes]
    tokens_payload: list[int]  # encode_tokens(tokens)
    tokens_payload_bytes: bytes
    problems: list[str]


@functools.lru_cache(maxsize=None)
def workload(name: str, count: int) -> Workload:
    import vonk

    codec = vonk.Codec(name)
    ids = common.mixed_ids(name, count)
    payload = codec.encode_token_ids(ids)
    mapped = codec.token_id_to_mapped_id(ids)
    tokens = codec.decode_tokens(payload)
    tokens_payload = codec.encode_tokens(tokens)
    problems = []
    if codec.decode_token_ids(payload) != ids:
        problems.append("decode_token_ids(encode_token_ids(ids)) != ids")
    if codec.decode_mapped_ids(payload) != mapped:
        problems.append("decode_mapped_ids(payload) != token_id_to_mapped_id(ids)")
    if codec.encode_mapped_ids(mapped) != payload:
        problems.append("encode_mapped_ids(mapped) != encode_token_ids(ids)")
    if codec.decode_tokens(tokens_payload) != tokens:
        problems.append("decode_tokens(encode_tokens(tokens)) != tokens")
    return Workload(
        name=name,
        codec=codec,
        ids=ids,
        mapped=mapped,
        payload=payload,
        payload_bytes=bytes(payload),
        ids_array=array.array("I", ids),
        mapped_array=array.array("i", mapped),
        tokens=tokens,
        token_bytes=[t.encode() for t in tokens],
        tokens_payload=tokens_payload,
        tokens_payload_bytes=bytes(tokens_payload),
        problems=problems,
    )


def _rows(cfg: common.Config, name: str, cases) -> list[list[str]]:
    """cases: (label, vonk callable, floor callable); one row each."""
    w = workload(name, cfg.tokens)
    n = len(w.ids)
    fns = []
    for _, mine, floor in cases:
        fns.extend((mine, floor))
    medians = common.time_round_robin(fns, cfg.repeat, cfg.warmup)
    rows = []
    for index, (label, _, _) in enumerate(cases):
        mine, floor = medians[2 * index], medians[2 * index + 1]
        rows.append(
            [
                name if index == 0 else "",
                label,
                common.fmt_ns(mine / n),
                common.fmt_ns(floor / n),
                common.fmt_ratio(mine / floor),
            ]
        )
    return rows


def _problem_notes(names, count: int) -> list[str]:
    """Sanity checks of the workload that failed, as table notes."""
    notes = []
    for name in names:
        for problem in workload(name, count).problems:
            notes.append(f"  !! {name}: {problem}")
    return notes


def run_ids(cfg: common.Config) -> None:
    import vonk

    names = cfg.throughput_tokenizers()
    rows = []
    for name in names:
        w = workload(name, cfg.tokens)
        c = w.codec
        ids, mapped, payload, pb = w.ids, w.mapped, w.payload, w.payload_bytes
        ids_array, mapped_array = w.ids_array, w.mapped_array
        raw = c.encode_raw_token_ids(ids)
        raw_bytes = bytes(raw)
        cases = [
            (
                "encode_token_ids",
                lambda: c.encode_token_ids(ids),
                lambda: (array.array("I", ids), list(pb)),
            ),
            (
                "decode_token_ids",
                lambda: c.decode_token_ids(payload),
                lambda: (bytes(payload), ids_array.tolist()),
            ),
            (
                "encode_mapped_ids",
                lambda: c.encode_mapped_ids(mapped),
                lambda: (array.array("I", ids), list(pb)),
            ),
            (
                "decode_mapped_ids",
                lambda: c.decode_mapped_ids(payload),
                lambda: (bytes(payload), mapped_array.tolist()),
            ),
            (
                "encode_raw_token_ids",
                lambda: c.encode_raw_token_ids(ids),
                lambda: (array.array("I", ids), list(raw_bytes)),
            ),
            (
                "compress_token_ids",
                lambda: vonk.compress_token_ids(ids, name),
                lambda: (array.array("I", ids), list(pb)),
            ),
            (
                "decompress_token_ids",
                lambda: vonk.decompress_token_ids(payload, name),
                lambda: (bytes(payload), ids_array.tolist()),
            ),
            (
                "token_id_to_mapped_id",
                lambda: c.token_id_to_mapped_id(ids),
                lambda: (array.array("I", ids), mapped_array.tolist()),
            ),
            (
                "mapped_id_to_token_id",
                lambda: c.mapped_id_to_token_id(mapped),
                lambda: (array.array("I", ids), ids_array.tolist()),
            ),
        ]
        rows.extend(_rows(cfg, name, cases))
    common.print_table(
        f"Token ids: ns per token on {cfg.tokens:,} ids of real text"
        f" (median of {cfg.repeat})",
        ["tokenizer", "operation", "vonk", "floor", "ratio"],
        rows,
        "llrrr",
        [
            "floor, encode: array('I', ids) + list(payload bytes)"
            " (encode_raw_token_ids: its own, longer payload);",
            "floor, decode: bytes(payload) + array(result).tolist();"
            " translate: array('I', ids) + array(result).tolist().",
            "For mapped-id input the floor also converts the token-id list (same length):"
            " CPython's array('i', ...) parses each",
            "element through PyArg_Parse and takes about twice as long as array('I', ...),"
            " which would flatter vonk.",
            "ratio = vonk / floor (1.00x = as fast as merely moving the numbers"
            " in and out of Python lists).",
        ]
        + _problem_notes(names, cfg.tokens),
    )


def run_tokens(cfg: common.Config) -> None:
    names = cfg.throughput_tokenizers()
    rows = []
    for name in names:
        w = workload(name, cfg.tokens)
        c = w.codec
        tokens, token_bytes, payload = w.tokens, w.token_bytes, w.payload
        cases = [
            (
                "encode_tokens",
                lambda: c.encode_tokens(tokens),
                lambda: [t.encode() for t in tokens],
            ),
            (
                "decode_tokens",
                lambda: c.decode_tokens(payload),
                lambda: [b.decode() for b in token_bytes],
            ),
        ]
        rows.extend(_rows(cfg, name, cases))
    common.print_table(
        f"Token texts: ns per token on the same {cfg.tokens:,} tokens"
        f" (median of {cfg.repeat})",
        ["tokenizer", "operation", "vonk", "peer", "ratio"],
        rows,
        "llrrr",
        [
            "peer, encode: [t.encode() for t in tokens];"
            " decode: [b.decode() for b in token_bytes].",
            "ratio = vonk / peer.",
        ]
        + _problem_notes(names, cfg.tokens),
    )


def run_gzip(cfg: common.Config) -> None:
    names = cfg.throughput_tokenizers()
    rows = []
    for name in names:
        w = workload(name, cfg.tokens)
        c = w.codec
        ids, mapped, tokens = w.ids, w.mapped, w.tokens
        payload, pb = w.payload, w.payload_bytes
        tokens_payload, tpb = w.tokens_payload, w.tokens_payload_bytes
        gz = c.encode_token_ids(ids, gzip=True)
        gz_bytes = bytes(gz)
        tgz = c.encode_tokens(tokens, gzip=True)
        tgz_bytes = bytes(tgz)
        notes = []
        if gzip_module.decompress(gz_bytes) != pb:
            notes.append("gzip payload does not inflate to the plain payload")
        if c.decode_token_ids(gz, gzip=True) != ids:
            notes.append("decode_token_ids(gzip=True) round trip differs")
        w.problems.extend(n for n in notes if n not in w.problems)
        cases = [
            (
                "encode_token_ids",
                lambda: c.encode_token_ids(ids),
                lambda: c.encode_token_ids(ids, gzip=True),
                lambda: (c.encode_token_ids(ids), zlib.compress(pb, 6)),
            ),
            (
                "decode_token_ids",
                lambda: c.decode_token_ids(payload),
                lambda: c.decode_token_ids(gz, gzip=True),
                lambda: (gzip_module.decompress(gz_bytes), c.decode_token_ids(payload)),
            ),
            (
                "encode_mapped_ids",
                lambda: c.encode_mapped_ids(mapped),
                lambda: c.encode_mapped_ids(mapped, gzip=True),
                lambda: (c.encode_mapped_ids(mapped), zlib.compress(pb, 6)),
            ),
            (
                "decode_mapped_ids",
                lambda: c.decode_mapped_ids(payload),
                lambda: c.decode_mapped_ids(gz, gzip=True),
                lambda: (gzip_module.decompress(gz_bytes), c.decode_mapped_ids(payload)),
            ),
            (
                "encode_tokens",
                lambda: c.encode_tokens(tokens),
                lambda: c.encode_tokens(tokens, gzip=True),
                lambda: (c.encode_tokens(tokens), zlib.compress(tpb, 6)),
            ),
            (
                "decode_tokens",
                lambda: c.decode_tokens(tokens_payload),
                lambda: c.decode_tokens(tgz, gzip=True),
                lambda: (gzip_module.decompress(tgz_bytes), c.decode_tokens(tokens_payload)),
            ),
        ]
        fns = []
        for _, plain, packed, peer in cases:
            fns.extend((plain, packed, peer))
        medians = common.time_round_robin(fns, cfg.repeat, cfg.warmup)
        n = len(ids)
        for index, (label, _, _, _) in enumerate(cases):
            plain, packed, peer = medians[3 * index : 3 * index + 3]
            rows.append(
                [
                    name if index == 0 else "",
                    label,
                    common.fmt_ns(plain / n),
                    common.fmt_ns(packed / n),
                    common.fmt_ns(peer / n),
                    common.fmt_ratio(packed / peer),
                ]
            )
    common.print_table(
        f"Gzip: ns per token on the same {cfg.tokens:,} ids (median of {cfg.repeat})",
        ["tokenizer", "operation", "plain", "gzip=True", "peer", "ratio"],
        rows,
        "llrrrr",
        [
            "peer, encode: plain operation + zlib.compress(payload bytes, 6);"
            " decode: gzip.decompress(gzip payload bytes) + plain operation.",
            "ratio = gzip=True / peer; gzip=True - plain is what the gzip layer costs.",
            "vonk deflates with libdeflate (level 6) and inflates with zlib: the encode ratios"
            " should stay at or below 0.70x, the decode ones near 1.00x.",
        ]
        + _problem_notes(names, cfg.tokens),
    )
