#!/usr/bin/env python3
"""Peak memory and time of calls whose inputs are small beside the work or
the memory they might force.

    python bench/memory_cases.py             # every case
    python bench/memory_cases.py a c         # some cases
    python bench/memory_cases.py --ids-log2 26 b

Cases:

    a  decode_token_ids(gzip=True) of a 1 MB gzip member: a list header
       declaring 2**31 - 1 ids followed by 1 GiB of zero bytes, which ends
       in "end of file"
    b  encode_mapped_ids(gzip=True) of 2**28 ids of value 2**30 (five varint
       bytes each; --ids-log2 chooses the exponent)
    c  encode_mapped_ids of a sequence whose __len__ claims 10**12 elements
       while it holds one

Each case runs in a fresh process, started by a fresh launcher process
that reports resource.getrusage(RUSAGE_CHILDREN).ru_maxrss once the case
has exited: the peak resident memory of that one process.  The case
itself prints its resident memory just before the call (interpreter,
module, mapping tables and the input) and the wall time of the call, so
that peak - before is what the call added.  Standard library only.
"""

from __future__ import annotations

import argparse
import json
import resource
import subprocess
import sys
import time
import zlib

GIB = 1 << 30
MIB = 1 << 20


def current_rss() -> int:
    with open("/proc/self/statm", encoding="ascii") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def zeros_member() -> bytes:
    """One gzip member: 19 F5 FF FF FF FF 07 and then 1 GiB of zero bytes,
    deflated piecewise at level 9."""
    deflater = zlib.compressobj(9, zlib.DEFLATED, 16 + 15)
    parts = [deflater.compress(bytes([0x19, 0xF5, 0xFF, 0xFF, 0xFF, 0xFF, 0x07]))]
    piece = bytes(MIB)
    for _ in range(GIB // MIB):
        parts.append(deflater.compress(piece))
    parts.append(deflater.flush())
    return b"".join(parts)


class ClaimsTrillion:
    """A sequence of one element whose __len__ says 10**12."""

    def __len__(self) -> int:
        return 10**12

    def __getitem__(self, index: int) -> int:
        if index == 0:
            return 1
        raise IndexError(index)


def run_case(case: str, ids_log2: int) -> dict:
    import vonk

    codec = vonk.Codec("cl100k_base")
    note = ""
    if case == "a":
        member = zeros_member()
        note = f"member of {len(member):,} bytes"
        call = lambda: codec.decode_token_ids(member, gzip=True)  # noqa: E731
    elif case == "b":
        ids = [2**30] * (1 << ids_log2)
        note = f"2**{ids_log2} ids"
        call = lambda: codec.encode_mapped_ids(ids, gzip=True)  # noqa: E731
    else:
        seq = ClaimsTrillion()
        call = lambda: codec.encode_mapped_ids(seq)  # noqa: E731
    before = current_rss()
    start = time.perf_counter()
    try:
        result = call()
        outcome = f"returned {len(result):,} items"
    except BaseException as error:  # noqa: BLE001 - the outcome is reported
        outcome = f"{type(error).__name__}: {error}"
    seconds = time.perf_counter() - start
    return {"before": before, "seconds": seconds, "outcome": outcome, "note": note}


def launch(case: str, ids_log2: int) -> dict:
    """Runs the case in a child and reports that child's peak."""
    child = subprocess.run(
        [sys.executable, __file__, "--case", case, "--ids-log2", str(ids_log2)],
        capture_output=True, text=True, check=False,
    )
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
    lines = child.stdout.strip().splitlines()
    if child.returncode != 0 or not lines:
        report = {"before": 0, "seconds": float("nan"), "note": "",
                  "outcome": f"child exited {child.returncode}: {child.stderr.strip()[-300:]}"}
    else:
        report = json.loads(lines[-1])
    report["peak"] = peak
    return report


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cases", nargs="*", metavar="CASE",
                        help="a, b or c (default: all three)")
    parser.add_argument("--ids-log2", type=int, default=28,
                        help="case b encodes 2**N ids (default 28)")
    parser.add_argument("--case", help=argparse.SUPPRESS)
    parser.add_argument("--measure", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.case:
        print(json.dumps(run_case(args.case, args.ids_log2)))
        return 0
    if args.measure:
        print(json.dumps(launch(args.measure, args.ids_log2)))
        return 0

    unknown = [c for c in args.cases if c not in ("a", "b", "c")]
    if unknown:
        parser.error(f"unknown case(s) {', '.join(unknown)}; choose from a, b, c")
    import vonk._internal as internal

    print(f"module {internal.__file__}")
    print(f"{'case':4}  {'peak MiB':>9}  {'before MiB':>10}  {'call s':>7}  outcome")
    for case in args.cases or ["a", "b", "c"]:
        launcher = subprocess.run(
            [sys.executable, __file__, "--measure", case, "--ids-log2", str(args.ids_log2)],
            capture_output=True, text=True, check=True,
        )
        r = json.loads(launcher.stdout.strip().splitlines()[-1])
        note = f" ({r['note']})" if r["note"] else ""
        print(f"{case:4}  {r['peak'] / MIB:9.1f}  {r['before'] / MIB:10.1f}"
              f"  {r['seconds']:7.2f}  {r['outcome']}{note}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
