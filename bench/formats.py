"""vonk beside the other ways to store token ids: size, speed and the plot.

`sizes`: bytes per token of each whole sample for every method of
methods(), beside zlib's own gzip member of the vonk payload, the
compressed text itself and the entropy of the data set's counts.
`formats`: ns per token of encoding the throughput workload's list into
each stored form and decoding it back, all methods round robin; with --plot
both are drawn into one PNG.
"""

from __future__ import annotations

import dataclasses
import functools
import zlib
from typing import Callable

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


@dataclasses.dataclass(frozen=True)
class Method:
    name: str
    encode: Callable[[list[int]], object]  # ids -> stored form
    decode: Callable[[bytes], list[int]]  # bytes of the stored form -> ids


def methods(codec) -> list[Method]:
    found = [
        Method("vonk", codec.encode_token_ids, codec.decode_token_ids),
        Method("vonk+gzip", lambda ids: codec.encode_token_ids(ids, gzip=True),
               lambda data: codec.decode_token_ids(data, gzip=True)),
        Method("uint32", common.to_u32, common.from_u32),
        Method("uint32+zlib", lambda ids: zlib.compress(common.to_u32(ids), 6),
               lambda data: common.from_u32(zlib.decompress(data))),
        Method("LEB128", leb128, leb128_decode),
        Method("LEB128+zlib", lambda ids: zlib.compress(leb128(ids), 6),
               lambda data: leb128_decode(zlib.decompress(data))),
    ]
    try:
        import msgpack

        found.append(Method("msgpack", msgpack.packb, msgpack.unpackb))
    except ImportError:
        pass
    try:
        import zstandard

        compress = zstandard.ZstdCompressor(level=3).compress
        decompress = zstandard.ZstdDecompressor().decompress
        found.append(Method("uint32+zstd3", lambda ids: compress(common.to_u32(ids)),
                            lambda data: common.from_u32(decompress(data))))
    except ImportError:
        pass
    return found


@functools.lru_cache(maxsize=None)
def measure_sizes(tokenizers: tuple[str, ...]):
    """(method names, {(tokenizer, kind): [bytes per token of each method]},
    {(tokenizer, kind): [tokens, vonk+z6, text+z6, H(set)/8, xH/8]}, problems)."""
    import vonk

    sizes, extra, problems, names = {}, {}, [], []
    text_z = {kind: len(zlib.compress(common.sample_text(kind), 6)) for kind in common.KINDS}
    for name in tokenizers:
        codec = vonk.Codec(name)
        found = methods(codec)
        names = [m.name for m in found]
        path = common.dataset_path(name)
        counts = common.dataset_counts(path) if path else None
        for kind in common.KINDS:
            ids = list(common.sample_ids(common.sample_vocabulary(name), kind))
            n = len(ids)
            row = []
            for method in found:
                stored = bytes(method.encode(ids))
                if method.decode(stored) != ids:
                    problems.append(f"  !! {name}/{kind}: {method.name} does not round trip")
                row.append(len(stored) / n)
            sizes[(name, kind)] = row
            deflater = zlib.compressobj(6, zlib.DEFLATED, 16 + 15)  # zlib's gzip member
            member = deflater.compress(bytes(codec.encode_token_ids(ids))) + deflater.flush()
            entropy = [common.entropy_bits(counts) / 8, common.cross_entropy_bits(counts, ids) / 8] \
                if counts else [float("nan")] * 2
            extra[(name, kind)] = [n, len(member) / n, text_z[kind] / n, *entropy]
    return names, sizes, extra, problems


def run_sizes(cfg: common.Config) -> None:
    names, sizes, extra, problems = measure_sizes(cfg.throughput_tokenizers())
    rows, larger = [], []
    for (name, kind), row in sizes.items():
        n, z6, text, *entropy = extra[(name, kind)]
        if row[names.index("vonk+gzip")] > z6:
            larger.append(f"{name}/{kind} by {round((row[names.index('vonk+gzip')] - z6) * n)} bytes")
        rows.append([name if kind == next(iter(common.KINDS)) else "", kind, f"{n:,}"]
                    + [common.fmt_bpt(v) for v in (*row, z6, text, *entropy)])
    common.print_table(
        "Payload size: bytes per token of each sample",
        ["tokenizer", "text", "tokens", *names, "vonk+z6", "text+zlib", "H(set)/8", "xH/8"], rows,
        ["zlib level 6; zstd level 3; LEB128: unsigned varint of each raw token id.",
         "vonk+z6: zlib's gzip member (level 6) of the vonk payload, framed like vonk+gzip;"
         " vonk+gzip larger than it: " + (", ".join(larger) or "none") + ".",
         "text+zlib: the sample's UTF-8 text compressed (no ids at all).",
         "H(set)/8: unigram entropy of the data set's counts, the floor for any code that gives"
         " each token a fixed number of bits;",
         "xH/8: that code's ideal size on this very text (mean -log2 p(id), p from the counts)."
         " The samples were part of the counted text; '-': no data/ set."] + problems,
    )


def run_formats(cfg: common.Config) -> None:
    import vonk

    speeds = {}
    for name in cfg.throughput_tokenizers():
        found = methods(vonk.Codec(name))
        ids = common.mixed_ids(name, cfg.tokens)
        fns = []
        for method in found:
            stored = bytes(method.encode(ids))
            fns += [lambda m=method: m.encode(ids), lambda m=method, d=stored: m.decode(d)]
        medians = [t / len(ids) for t in common.time_round_robin(fns, cfg.repeat, cfg.warmup)]
        speeds[name] = list(zip(medians[::2], medians[1::2]))
    names = [m.name for m in found]
    rows = [[name if i == 0 else "", method, common.fmt_ns(enc), common.fmt_ns(dec)]
            for name, row in speeds.items() for i, (method, (enc, dec)) in enumerate(zip(names, row))]
    common.print_table(
        f"Encode and decode: ns per token on {cfg.tokens:,} ids of real text"
        f" (median of {cfg.repeat}, round robin)",
        ["tokenizer", "method", "encode", "decode"], rows,
        ["encode: a list of ids to the stored form (vonk: its list payload);"
         " decode: the stored bytes to a list of ids."],
    )
    if cfg.plot:
        import arrays

        _, sizes, _, _ = measure_sizes(cfg.throughput_tokenizers())
        draw(names, sizes, speeds, cfg.tokens, cfg.plot, arrays.single_array_figures(cfg))
        common.emit(f"plot written to {cfg.plot}\n")


def draw(names, sizes, speeds, tokens: int, path: str, arrays=None) -> None:
    """Top: bytes per token of each method for each tokenizer and kind of
    text.  Middle: encode and decode ns per token of each method (log
    scale), the first tokenizer's throughput workload.  Bottom, when
    `arrays` (ids, {method: (B/tok, encode, decode)}) is given: the same
    for numpy arrays in and out (bench/arrays.py)."""
    try:
        import matplotlib
    except ImportError:
        raise SystemExit("--plot needs matplotlib: pip install '.[bench]'")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

    groups = list(sizes)
    colours = plt.get_cmap("tab10").colors
    ratios = [3, 2, 2] if arrays else [3, 2]
    figure, (top, *times) = plt.subplots(len(ratios), 1, figsize=(13, 2 * sum(ratios)),
                                         gridspec_kw={"height_ratios": ratios})

    # A fixed-width format is a line, not a bar in every group.
    fixed = [i for i in range(len(names)) if len({round(sizes[g][i], 6) for g in groups}) == 1]
    barred = [i for i in range(len(names)) if i not in fixed]
    width = 0.8 / len(barred)
    for slot, index in enumerate(barred):
        xs = [g + (slot - (len(barred) - 1) / 2) * width for g in range(len(groups))]
        bars = top.bar(xs, [sizes[g][index] for g in groups], width, label=names[index],
                       color=colours[index % len(colours)])
        if names[index].startswith("vonk"):
            top.bar_label(bars, fmt="%.2f", fontsize=7, padding=1, rotation=90)
    for index in fixed:
        value = sizes[groups[0]][index]
        top.axhline(value, color=colours[index % len(colours)], linestyle="--",
                    label=f"{names[index]} ({value:g} everywhere)")
    top.set_xticks(range(len(groups)))
    top.set_xticklabels([f"{tokenizer}\n{kind}" for tokenizer, kind in groups], fontsize=8)
    for boundary in range(3, len(groups), 3):
        top.axvline(boundary - 0.5, color="0.85", linewidth=0.8)
    top.set_ylabel("bytes per token (lower is smaller)")
    top.set_title("Stored size of real text's token ids")
    top.grid(axis="y", color="0.9")
    top.set_axisbelow(True)
    top.legend(ncol=4, fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.12))

    def time_panel(axes, labels, pairs, form: str, title: str, tick_colours=()) -> None:
        """Encode and decode ns per token of each method, log scale."""
        xs = range(len(labels))
        for shift, index, shade, what in ((-0.2, 0, "0.35", f"encode ({form} to stored bytes)"),
                                          (0.2, 1, "0.7", f"decode (stored bytes to {form})")):
            values = [pair[index] for pair in pairs]
            bars = axes.bar([x + shift for x in xs], values, 0.4, label=what, color=shade)
            axes.bar_label(bars, [f"{v:.2g}" if v < 10 else f"{v:.0f}" for v in values], fontsize=7, padding=1)
        axes.set_yscale("log")
        values = [v for pair in pairs for v in pair]
        axes.set_ylim(min(values) / 1.6, max(values) * 1.6)
        axes.yaxis.set_major_locator(LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
        axes.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
        axes.yaxis.set_minor_formatter(NullFormatter())
        axes.set_xticks(list(xs))
        axes.set_xticklabels(labels, fontsize=8)
        for tick, colour in zip(axes.get_xticklabels(), tick_colours):
            tick.set_color(colour)
        axes.set_ylabel("ns per token (log scale, lower is faster)")
        axes.set_title(title)
        axes.grid(axis="y", color="0.9", which="both")
        axes.set_axisbelow(True)
        axes.legend(fontsize=8, loc="upper left")

    tokenizer = next(iter(speeds))
    time_panel(times[0], names, speeds[tokenizer], "list of ids",
               f"Encode and decode time, {tokens:,} ids of {tokenizer} (this machine)",
               [colours[i % len(colours)] for i in range(len(names))])
    if arrays:
        count, figures = arrays
        time_panel(times[1], [f"{m}\n{f[0]:.3f} B/tok" for m, f in figures.items()],
                   [f[1:] for f in figures.values()], "uint32 array",
                   f"Arrays in, arrays out: {count:,} held-out cl100k_base ids as a numpy uint32 array")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
