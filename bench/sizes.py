"""Payload size in bytes per token, beside other ways to store the same ids.

For each tokenizer and each kind of sample text (the whole sample):

    vonk        len(encode_token_ids(ids)) / tokens
    vonk+gz     the same with gzip=True
    vonk+z6     zlib's own gzip member (level 6) of the plain payload: what
                Python's zlib makes of the same bytes, with the same framing
    u32         4 bytes per id (raw little-endian uint32)
    u32+z6      zlib.compress(uint32 bytes, 6)
    leb128      unsigned LEB128 varint of each raw token id
    leb128+z6   zlib.compress(LEB128 bytes, 6)
    text+z6     zlib.compress(the UTF-8 text itself, 6)
    H(set)/8    unigram entropy of the data set's counts, in bytes per token
    xH/8        mean -log2 p(id) / 8 over this sample, p from the data set's
                counts: the ideal size of a per-token code built from them
"""

from __future__ import annotations

import array
import sys
import zlib

import common


def leb128(ids) -> bytes:
    out = bytearray()
    append = out.append
    for value in ids:
        while value >= 0x80:
            append((value & 0x7F) | 0x80)
            value >>= 7
        append(value)
    return bytes(out)


def run_sizes(cfg: common.Config) -> None:
    import vonk

    names = cfg.throughput_tokenizers()
    with_data = common.have_datasets()
    headers = [
        "tokenizer", "text", "tokens", "vonk", "vonk+gz", "vonk+z6", "u32", "u32+z6",
        "leb128", "leb128+z6", "text+z6",
    ]
    if with_data:
        headers += ["H(set)/8", "xH/8"]
    texts = {kind: common.sample_text(kind) for kind in common.KINDS}
    text_z = {kind: len(zlib.compress(texts[kind], 6)) for kind in common.KINDS}
    rows = []
    problems = []
    larger = []
    for name in names:
        codec = vonk.Codec(name)
        vocabulary = common.SAMPLE_VOCABULARY[name]
        counts = common.dataset_counts(common.DATASET[name]) if with_data else None
        set_entropy = common.entropy_bits(counts) if with_data else None
        for index, kind in enumerate(common.KINDS):
            ids = list(common.sample_ids(vocabulary, kind))
            n = len(ids)
            plain = codec.encode_token_ids(ids)
            packed = codec.encode_token_ids(ids, gzip=True)
            if codec.decode_token_ids(packed, gzip=True) != ids:
                problems.append(f"  !! {name}/{kind}: gzip payload does not decode to the ids")
            deflater = zlib.compressobj(6, zlib.DEFLATED, 16 + 15)
            zlib_member = deflater.compress(bytes(plain)) + deflater.flush()
            if len(packed) > len(zlib_member):
                larger.append(f"{name}/{kind} by {len(packed) - len(zlib_member)} bytes")
            u32 = array.array("I", ids)
            if sys.byteorder == "big":
                u32.byteswap()
            u32_bytes = u32.tobytes()
            leb = leb128(ids)
            row = [
                name if index == 0 else "",
                kind,
                f"{n:,}",
                common.fmt_bpt(len(plain) / n),
                common.fmt_bpt(len(packed) / n),
                common.fmt_bpt(len(zlib_member) / n),
                common.fmt_bpt(len(u32_bytes) / n),
                common.fmt_bpt(len(zlib.compress(u32_bytes, 6)) / n),
                common.fmt_bpt(len(leb) / n),
                common.fmt_bpt(len(zlib.compress(leb, 6)) / n),
                common.fmt_bpt(text_z[kind] / n),
            ]
            if with_data:
                row += [
                    common.fmt_bpt(set_entropy / 8),
                    common.fmt_bpt(common.cross_entropy_bits(counts, ids) / 8),
                ]
            rows.append(row)
    notes = [
        "bytes per token; vonk = encode_token_ids, vonk+gz = the same with gzip=True;"
        " z6 = zlib.compress(..., 6);",
        "vonk+z6 = zlib's gzip member (level 6) of the vonk payload, framed like vonk+gz;"
        " vonk+gz larger than it: " + (", ".join(larger) if larger else "none") + ".",
        "leb128 = unsigned varint of each raw token id; text+z6 = the sample's UTF-8"
        " text compressed (no ids at all).",
    ]
    if with_data:
        notes += [
            "H(set)/8: unigram entropy of the data set's counts, the floor for any"
            " code that gives each token a fixed number of bits;",
            "xH/8: that code's ideal size on this very text (mean -log2 p(id),"
            " p from the counts). The samples were part of the counted text.",
        ]
    else:
        notes.append("(data/ not found: entropy columns skipped)")
    common.print_table(
        "Payload size: bytes per token of each sample",
        headers,
        rows,
        "ll" + "r" * (len(headers) - 2),
        notes + problems,
    )
