#!/usr/bin/env python3
"""Benchmarks of the installed vonk package: prints one table per section.

    python bench/run.py                      # every section
    python bench/run.py --quick              # fewer repeats
    python bench/run.py --only ids,sizes --tokenizers cl100k_base gpt2
    python bench/run.py --plot docs/bytes_per_token.png   # sizes + formats, drawn
    python bench/run.py --compare OLD.so NEW.so           # two builds, one process

bench/README.md explains the tables.
"""

from __future__ import annotations

import argparse
import importlib
import sys
import time

sys.dont_write_bytecode = True  # keep bench/ free of __pycache__

import common  # noqa: E402

# Section name -> (module in bench/, function taking a common.Config that
# prints the section's tables).  A new section is one more line here.
SECTIONS = {
    "ids": ("throughput", "run_ids"),
    "tokens": ("throughput", "run_tokens"),
    "gzip": ("throughput", "run_gzip"),
    "import": ("startup", "run_import"),
    "load": ("startup", "run_load"),
    "sizes": ("formats", "run_sizes"),
    "formats": ("formats", "run_formats"),
    "arrays": ("arrays", "run_arrays"),
    "unpack": ("arrays", "run_unpack"),
    "mapping": ("mappings", "run_mapping"),
    "token_files": ("token_files", "run_token_files"),
}
GROUPS = {"speed": ("ids", "tokens", "gzip"), "startup": ("import", "load")}


def parse_sections(values: list[str] | None, plot: bool) -> list[str]:
    wanted = set()
    for part in ",".join(values or []).split(","):
        part = part.strip()
        if part in GROUPS:
            wanted.update(GROUPS[part])
        elif part in SECTIONS:
            wanted.add(part)
        elif part:
            raise SystemExit(f"unknown section {part!r}; choose from {', '.join([*SECTIONS, *GROUPS])}")
    if plot:
        wanted.update(("sizes", "formats"))
    return [s for s in SECTIONS if s in wanted] if wanted else list(SECTIONS)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats and processes")
    parser.add_argument("--only", action="append", metavar="SECTION",
                        help="sections to run, comma separated or repeated: " + ", ".join([*SECTIONS, *GROUPS]))
    parser.add_argument("--tokenizers", nargs="+", metavar="NAME",
                        help="tokenizer names (default: one per set of samples; every name for the load table)")
    parser.add_argument("--plot", metavar="FILE.png",
                        help="draw the sizes and formats tables into FILE.png; needs matplotlib"
                        " (pip install '.[bench]')")
    parser.add_argument("--compare", nargs=2, metavar=("OLD.so", "NEW.so"),
                        help="time every operation of the ids, tokens and gzip sections (or of --only)"
                        " in two builds of vonk._internal loaded into this process")
    parser.add_argument("--rounds", type=int, default=61, help="rounds of --compare (61)")
    parser.add_argument("--tokens", type=int, help="ids in the throughput workload (100000)")
    parser.add_argument("--repeat", type=int, help="timed runs per figure (25; --quick 5)")
    parser.add_argument("--processes", type=int, help="processes per start-up figure (7; --quick 3)")
    args = parser.parse_args(argv)
    sections = parse_sections(args.only, bool(args.plot))

    try:
        import vonk._internal as internal
    except ImportError as error:
        raise SystemExit(f"cannot import vonk ({error}); install it first: pip install .")
    available = internal.list_available_tokenizers()
    unknown = [n for n in args.tokenizers or () if n not in available]
    if unknown:
        raise SystemExit(f"unknown tokenizer(s) {', '.join(unknown)}; available: {', '.join(available)}")

    cfg = common.Config(
        quick=args.quick,
        repeat=args.repeat or (5 if args.quick else 25),
        warmup=1 if args.quick else 3,
        tokens=args.tokens or 100_000,
        processes=args.processes or (3 if args.quick else 7),
        peer_processes=1 if args.quick else 3,
        tokenizers=tuple(args.tokenizers) if args.tokenizers else None,
        plot=args.plot,
    )
    started = time.perf_counter()
    for line in common.machine_lines(internal):
        common.emit(line)
    if args.compare:
        import throughput

        timed = sections if args.only else GROUPS["speed"]
        throughput.compare_builds(*args.compare, cfg, args.rounds, timed)
    else:
        common.emit(f"mode     {'quick' if cfg.quick else 'default'}: {cfg.repeat} timed runs per figure"
                    f" after {cfg.warmup} warm-up, {cfg.processes} processes per start-up figure\n")
        for section in sections:
            module, function = SECTIONS[section]
            getattr(importlib.import_module(module), function)(cfg)
    common.emit(f"total {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
