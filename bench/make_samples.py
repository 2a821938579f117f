#!/usr/bin/env python3
"""Write the tokenized benchmark samples in bench/data/.

For each of three kinds of text a deterministic slice of the counting
corpus is taken that encodes to about 90,000 cl100k_base tokens (fewer
than a round 100,000 so that bench/data stays near 6 MB):

    prose          from en_general.txt
    code           from code_python.txt
    multilingual   from multilingual.txt

The kinds and their files are common.KINDS. The slice is made of SEGMENTS pieces so that it spans the whole file (the
corpus files are ordered by source, e.g. language by language): the file
text is cut into SEGMENTS equal windows, and from the first line start of
each window whole lines are taken until that piece holds TARGET_TOKENS /
SEGMENTS cl100k_base tokens (counted line by line).

Written files:

    bench/data/KIND.txt.gz        the slice, UTF-8, gzip-compressed
    bench/data/KIND.NAME.u32      tiktoken's ordinary encoding of the whole
                                  slice under NAME, as little-endian uint32
                                  (Python: array.array("I") after
                                  frombytes, byteswap on big-endian hosts)

for each vocabulary the data sets are built from (tools/build_mapping_data.py
names them and reads them from the same local files), except one that
encodes all three slices exactly like an earlier one (p50k_edit, like
p50k_base): the benchmarks find such tokenizers' samples themselves.

Usage (from the repository root; needs `pip install tiktoken`):

    python bench/make_samples.py [--vocab DIR] [--corpus DIR] [--out DIR]

A second run writes the same bytes.
"""

from __future__ import annotations

import argparse
import gzip
import hashlib
import pathlib
import sys

import common

sys.path.insert(0, str(common.BENCH_DIR.parent / "tools"))
from build_mapping_data import REPO_ROOT, VOCAB_FILES, Vocabulary  # noqa: E402

# The vocabulary whose token counts size the slices.
SLICE_VOCABULARY = "cl100k_base"
TARGET_TOKENS = 90_000
SEGMENTS = 10


def take_slice(text: str, count_tokens) -> str:
    """SEGMENTS runs of whole lines spread over the text, ~TARGET_TOKENS tokens."""
    per_segment = TARGET_TOKENS // SEGMENTS
    pieces = []
    for k in range(SEGMENTS):
        start = k * len(text) // SEGMENTS
        if start > 0:
            start = text.index("\n", start - 1) + 1
        tokens = 0
        end = start
        while tokens < per_segment and end < len(text):
            newline = text.find("\n", end)
            line_end = len(text) if newline < 0 else newline + 1
            tokens += count_tokens(text[end:line_end])
            end = line_end
        pieces.append(text[start:end])
    return "".join(pieces)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--vocab", type=pathlib.Path, default=REPO_ROOT.parent / "shared" / "vocab")
    parser.add_argument("--corpus", type=pathlib.Path, default=REPO_ROOT.parent / "shared" / "corpus" / "train")
    parser.add_argument("--out", type=pathlib.Path, default=REPO_ROOT / "bench" / "data")
    args = parser.parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)

    vocabularies = dict.fromkeys(VOCAB_FILES.values())
    encodings = {name: Vocabulary(args.vocab, name).encoding() for name in vocabularies}
    slicer = encodings[SLICE_VOCABULARY]
    samples = {}
    for kind, file_name in common.KINDS.items():
        text = (args.corpus / file_name).read_text("utf-8")
        samples[kind] = take_slice(text, lambda s: len(slicer.encode_ordinary(s)))
        data = samples[kind].encode("utf-8")
        # Stored gzip-compressed (fixed mtime, so the bytes are reproducible).
        (args.out / f"{kind}.txt.gz").write_bytes(gzip.compress(data, 9, mtime=0))
        print(f"{kind}.txt.gz: {len(data)} bytes of text, sha256 {hashlib.sha256(data).hexdigest()}")
    written = []
    for name, encoding in encodings.items():
        ids = {kind: encoding.encode_ordinary(sample) for kind, sample in samples.items()}
        if ids in written:
            print(f"  {name}: encodes the slices like an earlier vocabulary, no files")
            continue
        written.append(ids)
        for kind in common.KINDS:
            out = common.to_u32(ids[kind])
            (args.out / f"{kind}.{name}.u32").write_bytes(out)
            print(f"  {kind}.{name}.u32: {len(ids[kind])} tokens, sha256 {hashlib.sha256(out).hexdigest()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
