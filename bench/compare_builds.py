"""Two builds of vonk._internal timed side by side in one process.

    python bench/compare_builds.py OLD.so NEW.so [--tokens N] [--rounds R]

Each .so is a built module (for instance
VENV/lib/python3.X/site-packages/vonk/_internal.abi3.so of two virtualenvs).
Both are loaded under different package names, so that every operation of
the old and of the new build runs on the same ids in the same process,
alternating old, new, new, old for R rounds. The figure per operation is the
median over the rounds of new / old: on a machine whose speed drifts, the
pairs drift together. Loading the same file twice (OLD.so OLD.so after
copying it) shows what the method cannot resolve.
"""

from __future__ import annotations

import argparse
import importlib.util
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402


def load(tag: str, path: str):
    spec = importlib.util.spec_from_file_location(f"{tag}._internal", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def operations(module, tokenizer: str, count: int) -> dict:
    codec = module.Codec(tokenizer)
    ids = common.mixed_ids(tokenizer, count)
    plain = bytes(codec.encode_token_ids(ids))
    packed = bytes(codec.encode_token_ids(ids, gzip=True))
    mapped = codec.token_id_to_mapped_id(ids)
    tokens = codec.decode_tokens(plain)
    return {
        "encode_token_ids": lambda: codec.encode_token_ids(ids),
        "decode_token_ids": lambda: codec.decode_token_ids(plain),
        "encode_mapped_ids": lambda: codec.encode_mapped_ids(mapped),
        "decode_mapped_ids": lambda: codec.decode_mapped_ids(plain),
        "token_id_to_mapped_id": lambda: codec.token_id_to_mapped_id(ids),
        "mapped_id_to_token_id": lambda: codec.mapped_id_to_token_id(mapped),
        "encode_tokens": lambda: codec.encode_tokens(tokens),
        "decode_tokens": lambda: codec.decode_tokens(plain),
        "encode_token_ids gzip": lambda: codec.encode_token_ids(ids, gzip=True),
        "decode_token_ids gzip": lambda: codec.decode_token_ids(packed, gzip=True),
    }


def elapsed(call) -> int:
    start = time.perf_counter_ns()
    call()
    return time.perf_counter_ns() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--tokens", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=61)
    parser.add_argument("--tokenizers", nargs="+", default=["cl100k_base", "o200k_base"])
    args = parser.parse_args()
    old, new = load("vonk_old", args.old), load("vonk_new", args.new)
    print(f"{args.tokens:,} ids, median of {args.rounds} rounds of old, new, new, old")
    print(f"{'tokenizer':12} {'operation':24} {'old ns/tok':>10} {'new ns/tok':>10} {'new/old':>8}")
    for tokenizer in args.tokenizers:
        olds = operations(old, tokenizer, args.tokens)
        news = operations(new, tokenizer, args.tokens)
        for name, old_call in olds.items():
            new_call = news[name]
            for _ in range(3):
                old_call()
                new_call()
            ratios, old_ns, new_ns = [], [], []
            for _ in range(args.rounds):
                a, b, c, d = elapsed(old_call), elapsed(new_call), elapsed(new_call), elapsed(old_call)
                ratios.append((b + c) / (a + d))
                old_ns.append((a + d) / 2)
                new_ns.append((b + c) / 2)
            print(
                f"{tokenizer:12} {name:24} {statistics.median(old_ns) / args.tokens:10.1f} "
                f"{statistics.median(new_ns) / args.tokens:10.1f} {statistics.median(ratios):8.3f}",
                flush=True,
            )


if __name__ == "__main__":
    main()
