#!/usr/bin/env python3
"""Prints the figures behind the README's claims on memory and Ctrl-C.

    python bench/claims.py                   # every case
    python bench/claims.py bomb trillion     # some cases
    python bench/claims.py --ids-log2 24 --interrupt-ids 5000000   # smaller

Each case (see CASES and setup() below; bench/README.md says what each
shows) runs in a fresh process (common.run_child, which also takes its peak
resident memory) that prints its resident memory just before the call and
the call's wall time, and for the interrupted calls how long after the
signal the call ended.
"""

from __future__ import annotations

import argparse
import json
import signal
import sys
import time
import zlib

import common

MIB = 1 << 20
DELAY = 0.05  # seconds from the start of an interrupted call to its signal


def zeros_member() -> bytes:
    """One gzip member: 19 F5 FF FF FF FF 07 and then 1 GiB of zero bytes,
    deflated piecewise at level 9."""
    deflater = zlib.compressobj(9, zlib.DEFLATED, 16 + 15)
    parts = [deflater.compress(bytes([0x19, 0xF5, 0xFF, 0xFF, 0xFF, 0xFF, 0x07]))]
    piece = bytes(MIB)
    parts += [deflater.compress(piece) for _ in range(1024)]
    return b"".join(parts) + deflater.flush()


class ClaimsTrillion:
    """A sequence of one element whose __len__ says 10**12."""

    def __len__(self) -> int:
        return 10**12

    def __getitem__(self, index: int) -> int:
        if index == 0:
            return 1
        raise IndexError(index)


def setup(case: str, codec, args):
    """(note, the call) of one case: bomb, a gzip member that inflates to a
    list header of 2**31 - 1 ids and 1 GiB of zeros; wide, 2**N ids of five
    varint bytes each; trillion, a sequence whose __len__ lies; int-encode
    and int-decode, M ids, interrupted by a signal 50 ms into the call."""
    if case == "bomb":
        member = zeros_member()
        return f"member of {len(member):,} bytes", lambda: codec.decode_token_ids(member, gzip=True)
    if case == "wide":
        ids = [2**30] * (1 << args.ids_log2)
        return f"2**{args.ids_log2} ids", lambda: codec.encode_mapped_ids(ids, gzip=True)
    if case == "trillion":
        return "", lambda: codec.encode_mapped_ids(ClaimsTrillion())
    ids = [5] * args.interrupt_ids
    if case == "int-encode":
        return f"{len(ids):,} ints", lambda: codec.encode_mapped_ids(ids)
    payload = bytes(codec.encode_mapped_ids(ids))
    return f"{len(ids):,} ids", lambda: codec.decode_mapped_ids(payload)


CASES = ("bomb", "wide", "trillion", "int-encode", "int-decode")


def run_case(case: str, args) -> dict:
    import vonk

    note, call = setup(case, vonk.Codec("cl100k_base"), args)
    interrupt = case.startswith("int-")
    before = common.rss()[0]
    if interrupt:
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, DELAY)
    start = time.perf_counter()
    try:
        result = call()
        outcome = f"returned {len(result):,} items"
    except BaseException as error:  # noqa: BLE001 - the outcome is reported
        outcome = f"{type(error).__name__}: {error}".rstrip(": ")
    seconds = time.perf_counter() - start
    signal.setitimer(signal.ITIMER_REAL, 0)
    return {"before": before, "seconds": seconds, "after_signal": seconds - DELAY if interrupt else None,
            "outcome": outcome + (f" ({note})" if note else "")}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cases", nargs="*", metavar="CASE", help=", ".join(CASES) + " (default: all)")
    parser.add_argument("--ids-log2", type=int, default=28, help="the wide case encodes 2**N ids (28)")
    parser.add_argument("--interrupt-ids", type=int, default=50_000_000,
                        help="ids of the interrupted calls (50,000,000)")
    parser.add_argument("--case", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        print(json.dumps(run_case(args.case, args)))
        return 0
    unknown = [c for c in args.cases if c not in CASES]
    if unknown:
        parser.error(f"unknown case(s) {', '.join(unknown)}; choose from {', '.join(CASES)}")
    import vonk._internal as internal

    print(f"module {internal.__file__}")
    print(f"{'case':10}  {'peak MiB':>9}  {'before MiB':>10}  {'call s':>7}  {'after signal ms':>15}  outcome")
    for case in args.cases or CASES:
        try:
            out, peak = common.run_child([__file__, "--case", case], "--ids-log2", args.ids_log2,
                                         "--interrupt-ids", args.interrupt_ids, peak=True)
        except RuntimeError as error:
            print(f"{case:10}  {error}")
            continue
        r = json.loads(out.splitlines()[-1])
        after = "" if r["after_signal"] is None else f"{1e3 * r['after_signal']:.1f}"
        print(f"{case:10}  {peak / MIB:9.1f}  {r['before'] / MIB:10.1f}  {r['seconds']:7.2f}"
              f"  {after:>15}  {r['outcome']}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
