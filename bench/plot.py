"""Draws the comparison of compare.py into one PNG (needs matplotlib).

Top: bytes per token of each method for each tokenizer and kind of text.
Bottom: encode and decode ns per token of each method (log scale), one
tokenizer's throughput workload.
"""

from __future__ import annotations

import compare


def draw(results: "compare.Results", path: str) -> None:
    try:
        import matplotlib
    except ImportError:
        raise SystemExit("--plot needs matplotlib: pip install '.[bench]'")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    names = results.method_names
    groups = list(results.sizes)
    colours = plt.get_cmap("tab10").colors
    figure, (top, bottom) = plt.subplots(
        2, 1, figsize=(13, 10), gridspec_kw={"height_ratios": [3, 2]}
    )

    # A fixed-width format is a line, not a bar in every group.
    fixed = [i for i, name in enumerate(names)
             if len({round(results.sizes[g][i], 6) for g in groups}) == 1]
    barred = [i for i in range(len(names)) if i not in fixed]
    width = 0.8 / len(barred)
    for slot, index in enumerate(barred):
        name = names[index]
        xs = [g + (slot - (len(barred) - 1) / 2) * width for g in range(len(groups))]
        ys = [results.sizes[group][index] for group in groups]
        bars = top.bar(xs, ys, width, label=name, color=colours[index % len(colours)])
        if name.startswith("vonk"):
            top.bar_label(bars, fmt="%.2f", fontsize=7, padding=1, rotation=90)
    for index in fixed:
        value = results.sizes[groups[0]][index]
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

    tokenizer = next(iter(results.speeds))
    speeds = results.speeds[tokenizer]
    xs = range(len(names))
    encode = bottom.bar([x - 0.2 for x in xs], [s[0] for s in speeds], 0.4,
                        label="encode (list of ids to stored bytes)", color="0.35")
    decode = bottom.bar([x + 0.2 for x in xs], [s[1] for s in speeds], 0.4,
                        label="decode (stored bytes to list of ids)", color="0.7")
    bottom.bar_label(encode, fmt="%.0f", fontsize=7, padding=1)
    bottom.bar_label(decode, fmt="%.0f", fontsize=7, padding=1)
    bottom.set_yscale("log")
    values = [v for pair in speeds for v in pair]
    bottom.set_ylim(min(values) / 1.6, max(values) * 1.6)
    bottom.yaxis.set_major_locator(matplotlib.ticker.LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
    bottom.yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}"))
    bottom.yaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
    bottom.set_xticks(list(xs))
    bottom.set_xticklabels(names, fontsize=8)
    for tick, name in zip(bottom.get_xticklabels(), names):
        tick.set_color(colours[names.index(name) % len(colours)])
    bottom.set_ylabel("ns per token (log scale, lower is faster)")
    bottom.set_title(
        f"Encode and decode time, {results.tokens:,} ids of {tokenizer} (this machine)"
    )
    bottom.grid(axis="y", color="0.9", which="both")
    bottom.set_axisbelow(True)
    bottom.legend(fontsize=8, loc="upper left")

    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
