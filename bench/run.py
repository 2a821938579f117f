#!/usr/bin/env python3
"""Benchmarks of the installed vonk package: prints one table per section.

    python bench/run.py                      # everything, about 2-3 minutes
    python bench/run.py --quick              # fewer repeats, well under a minute
    python bench/run.py --only ids,sizes     # some sections
    python bench/run.py --tokenizers cl100k_base gpt2
    python bench/run.py --plot docs/bytes_per_token.png   # vonk beside other formats

Sections: ids, tokens, gzip (throughput), import, load (fresh processes),
sizes (payload bytes per token), and compare (size and speed beside other
formats; only when named or with --plot).  `speed` stands for the first
three and `startup` for import and load.  bench/README.md explains the
tables.
"""

from __future__ import annotations

import argparse
import sys
import time

sys.dont_write_bytecode = True  # keep bench/ free of __pycache__

import common  # noqa: E402

SECTIONS = ("ids", "tokens", "gzip", "import", "load", "sizes", "compare")
# What a run without --only (and without --plot) measures.
DEFAULT_SECTIONS = SECTIONS[:-1]
GROUPS = {"speed": ("ids", "tokens", "gzip"), "startup": ("import", "load")}


def parse_sections(values: list[str] | None, plot: bool) -> list[str]:
    if not values:
        return ["compare"] if plot else list(DEFAULT_SECTIONS)
    wanted = set()
    for value in values:
        for part in value.split(","):
            part = part.strip()
            if not part:
                continue
            if part in GROUPS:
                wanted.update(GROUPS[part])
            elif part in SECTIONS:
                wanted.add(part)
            else:
                choices = ", ".join(SECTIONS + tuple(GROUPS))
                raise SystemExit(f"unknown section {part!r}; choose from {choices}")
    if plot:
        wanted.add("compare")
    return [s for s in SECTIONS if s in wanted]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats and processes")
    parser.add_argument(
        "--only", action="append", metavar="SECTION",
        help="sections to run, comma separated or repeated: " + ", ".join(SECTIONS + tuple(GROUPS)),
    )
    parser.add_argument(
        "--tokenizers", nargs="+", metavar="NAME",
        help="tokenizer names (default: cl100k_base o200k_base p50k_base r50k_base;"
        " all seven for the load table)",
    )
    parser.add_argument(
        "--plot", metavar="FILE.png",
        help="draw the compare section (bytes per token, encode and decode ns per token"
        " beside other formats) into FILE.png; needs matplotlib (pip install '.[bench]')",
    )
    parser.add_argument("--tokens", type=int, help="ids in the throughput workload (100000)")
    parser.add_argument("--repeat", type=int, help="timed runs per figure (25; --quick 5)")
    parser.add_argument("--processes", type=int, help="processes per start-up figure (7; --quick 3)")
    args = parser.parse_args(argv)
    sections = parse_sections(args.only, bool(args.plot))

    try:
        import vonk
        import vonk._internal as internal
    except ImportError as error:
        raise SystemExit(f"cannot import vonk ({error}); install it first: pip install .")

    available = internal.list_available_tokenizers()
    if args.tokenizers:
        unknown = [n for n in args.tokenizers if n not in available]
        if unknown:
            raise SystemExit(f"unknown tokenizer(s) {', '.join(unknown)}; available: {', '.join(available)}")
        no_sample = [n for n in args.tokenizers if n not in common.SAMPLE_VOCABULARY]
        if no_sample:
            raise SystemExit(f"no benchmark samples for {', '.join(no_sample)}")

    cfg = common.Config(
        quick=args.quick,
        repeat=args.repeat or (5 if args.quick else 25),
        warmup=1 if args.quick else 3,
        tokens=args.tokens or 100_000,
        processes=args.processes or (3 if args.quick else 7),
        peer_processes=1 if args.quick else 3,
        tokenizers=tuple(args.tokenizers) if args.tokenizers else None,
    )

    started = time.perf_counter()
    for line in common.machine_lines(vonk, internal):
        common.emit(line)
    common.emit(
        f"mode     {'quick' if cfg.quick else 'default'}: {cfg.repeat} timed runs per figure"
        f" after {cfg.warmup} warm-up, {cfg.processes} processes per start-up figure"
    )
    common.emit()

    import compare
    import sizes
    import speed
    import startup

    runners = {
        "ids": lambda: speed.run_ids(cfg),
        "tokens": lambda: speed.run_tokens(cfg),
        "gzip": lambda: speed.run_gzip(cfg),
        "import": lambda: startup.run_import(cfg),
        "load": lambda: startup.run_load(cfg, available),
        "sizes": lambda: sizes.run_sizes(cfg),
        "compare": lambda: compare.run_compare(cfg, args.plot),
    }
    for section in sections:
        runners[section]()
    common.emit(f"total {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
