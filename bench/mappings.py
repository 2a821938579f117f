"""vonk.Mapping: building one from a sample of ids, and packing under it
(the runner's section `mapping`).

    python bench/run.py --only mapping

Build: 10,000,000 ids drawn (seeded) from a Zipf law over a 262,144-id
vocabulary, counted and ranked by vonk.Mapping.from_token_ids beside numpy's
bincount + a stable argsort of the same ids (the ranking alone, without the
tables vonk also builds). Speed: pack and unpack of the held-out cl100k_base
samples under a Mapping rebuilt from cl100k_base's own counts (no texts)
beside the built-in name, on the whole 264,127 ids and on 100-id calls,
where the per-call cost shows. Sizes: the table of examples/own_mapping.py.
"""

from __future__ import annotations

import pathlib

import numpy as np

import common
import vonk
from arrays import held_out_ids

VOCABULARY = 262_144
SAMPLE = 10_000_000
EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "own_mapping.py"


def run_mapping(cfg: common.Config) -> None:
    rng = np.random.default_rng(2026)
    ids = ((rng.zipf(1.2, SAMPLE) - 1) % VOCABULARY).astype(np.uint32)

    def with_numpy() -> np.ndarray:
        counts = np.bincount(ids, minlength=VOCABULARY)
        return np.argsort(-counts, kind="stable")

    def with_vonk() -> vonk.Mapping:
        return vonk.Mapping.from_token_ids(ids, vocab_size=VOCABULARY, name="sample")

    built = with_vonk()
    same = np.array_equal(np.asarray(built._ranking), with_numpy())
    repeat = max(3, cfg.repeat // 5)
    ns = common.time_round_robin([with_vonk, with_numpy], repeat, 1)
    rows = [["vonk.Mapping.from_token_ids", f"{ns[0] / 1e6:.1f}", common.fmt_ratio(ns[0] / ns[1])],
            ["np.bincount + np.argsort(-counts, kind='stable')", f"{ns[1] / 1e6:.1f}", "1.00x"]]
    common.print_table(f"Building a mapping: {SAMPLE:,} sample ids into {VOCABULARY:,} token ids (median of {repeat},"
                       " round robin)", ["call", "ms", "/numpy"], rows,
                       [f"the rankings are {'equal' if same else 'DIFFERENT (!!)'};"
                        " vonk also builds the tables that pack and unpack use."], left=1)

    name = "cl100k_base"
    rebuilt = vonk.Mapping.from_counts(vonk.Mapping(name).counts, name="rebuilt")
    whole = held_out_ids(name)
    short = whole[:100].copy()
    rows = []
    for label, data in ((f"{len(whole):,} ids", whole), ("100 ids", short)):
        plain = vonk.pack(data, name)
        calls = [lambda: vonk.pack(data, rebuilt), lambda: vonk.pack(data, name),
                 lambda: vonk.unpack(plain, rebuilt), lambda: vonk.unpack(plain, name)]
        assert vonk.pack(data, rebuilt) == plain and np.array_equal(vonk.unpack(plain, rebuilt), data)
        ns = common.time_round_robin(calls, cfg.repeat * 4, cfg.warmup)
        for op, (mine, builtin) in (("pack", ns[0:2]), ("unpack", ns[2:4])):
            rows.append([label, op, f"{mine / 1e3:.2f}", f"{builtin / 1e3:.2f}", common.fmt_ratio(mine / builtin)])
    common.print_table(f"Packing under a Mapping: cl100k_base rebuilt from its counts beside the name (median of"
                       f" {cfg.repeat * 4}, round robin)", ["input", "call", "Mapping us", "name us", "ratio"], rows)

    output, _ = common.run_child([str(EXAMPLE)], "--max-chars", "4000000")
    common.emit("Sizes: examples/own_mapping.py --max-chars 4000000")
    common.emit("=" * 52)
    common.emit(output)
