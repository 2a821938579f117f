#!/usr/bin/env python3
"""Build the token mapping data sets in data/NAME.jsonl.

Each data set lists every token id of one tokenizer encoding with its text,
an occurrence count and its mapped id, one JSON record per line:

    {"token": " the", "token_id": 279, "mapped_id": 0, "count": 54993}

How a data set is made:

1. The vocabulary is read from local files only: NAME.tiktoken (one
   mergeable token a line, "base64(bytes) id") and NAME.json (the split
   pattern "pat_str" and the named special tokens).  Nothing is fetched.
2. Every corpus file (*.txt, sorted by name, read as UTF-8) is tokenized
   with tiktoken's ordinary encoding (special tokens are plain text there,
   so they are never counted) and the occurrences of each id are counted.
   The corpus is tokenized once per distinct vocabulary: p50k_edit shares
   the counts of p50k_base, o200k_harmony those of o200k_base.
3. A token's text is its bytes decoded as UTF-8 with U+FFFD for invalid
   bytes; special ids carry their names, ids reserved without a name the
   text "<|reserved_ID|>".  Special and reserved ids have count 0.
4. Records are sorted by count descending, then id ascending; the record at
   position p gets the mapped id 0, 1, -1, 2, -2, ... (p+1)//2 for odd p,
   -(p//2) for even p.
5. Each record is written as one ASCII line ended by LF, the token rendered
   by render_json_string() below (json.dumps differs: it leaves U+007F raw).

The output is a pure function of the input files: a second run writes the
same bytes.

Usage (from the repository root; needs `pip install tiktoken`):

    python tools/build_mapping_data.py                 # all six data sets
    python tools/build_mapping_data.py cl100k_base     # only some
    python tools/build_mapping_data.py --vocab DIR --corpus DIR --out DIR

Defaults: --vocab ../shared/vocab, --corpus ../shared/corpus/train (both
relative to the repository root), --out data/.
"""

from __future__ import annotations

import argparse
import base64
import collections
import hashlib
import json
import pathlib
import sys
import time

import tiktoken
from data_set_names import DATA_SETS

REPO_ROOT = pathlib.Path(__file__).resolve().parent.parent

# Data sets built from another's NAME.tiktoken / NAME.json pair; every
# other data set NAME from its own.
SHARED_VOCAB_FILES = {"o200k_harmony": "o200k_base"}

# o200k_harmony shares o200k_base's mergeable tokens but has its own special
# ids: these names, every other id from 199998 to 201087 reserved.
HARMONY_SPECIAL_TOKENS = {
    "<|startoftext|>": 199998,
    "<|endoftext|>": 199999,
    "<|return|>": 200002,
    "<|constrain|>": 200003,
    "<|channel|>": 200005,
    "<|start|>": 200006,
    "<|end|>": 200007,
    "<|message|>": 200008,
    "<|call|>": 200012,
}
HARMONY_LAST_ID = 201087


class Vocabulary:
    """One tokenizer's vocabulary as read from NAME.tiktoken and NAME.json."""

    def __init__(self, vocab_dir: pathlib.Path, file_name: str):
        tiktoken_path = vocab_dir / f"{file_name}.tiktoken"
        raw = tiktoken_path.read_bytes()
        self.ranks_sha256 = hashlib.sha256(raw).hexdigest()
        self.mergeable_ranks: dict[bytes, int] = {}
        for line_no, line in enumerate(raw.splitlines(), 1):
            if not line:
                continue
            encoded, rank = line.split()
            token = base64.b64decode(encoded, validate=True)
            if token in self.mergeable_ranks:
                raise ValueError(f"{tiktoken_path}:{line_no}: token listed twice")
            self.mergeable_ranks[token] = int(rank)
        meta = json.loads((vocab_dir / f"{file_name}.json").read_text("utf-8"))
        self.pat_str: str = meta["pat_str"]
        self.special_tokens: dict[str, int] = dict(meta["special_tokens"])

    def encoding(self) -> tiktoken.Encoding:
        return tiktoken.Encoding(
            name=f"local-{self.ranks_sha256[:12]}",
            pat_str=self.pat_str,
            mergeable_ranks=self.mergeable_ranks,
            special_tokens=self.special_tokens,
        )


def count_tokens(encoding: tiktoken.Encoding, corpus_files: list[pathlib.Path]) -> collections.Counter:
    """How often each id occurs when each corpus file is encoded as a whole."""
    counts: collections.Counter = collections.Counter()
    for path in corpus_files:
        counts.update(encoding.encode_ordinary(path.read_text("utf-8")))
    return counts


def token_texts(vocab: Vocabulary, special_tokens: dict[str, int], last_id: int) -> list[str]:
    """The text of every id from 0 to last_id."""
    texts: list[str | None] = [None] * (last_id + 1)
    for token, token_id in vocab.mergeable_ranks.items():
        if token_id > last_id:
            raise ValueError(f"mergeable id {token_id} beyond the last id {last_id}")
        if texts[token_id] is not None:
            raise ValueError(f"id {token_id} given to two tokens")
        texts[token_id] = token.decode("utf-8", "replace")
    for name, token_id in special_tokens.items():
        if texts[token_id] is not None:
            raise ValueError(f"special id {token_id} is also a mergeable id")
        texts[token_id] = name
    return [f"<|reserved_{i}|>" if t is None else t for i, t in enumerate(texts)]


_SHORT_ESCAPES = {
    '"': '\\"',
    "\\": "\\\\",
    "\b": "\\b",
    "\t": "\\t",
    "\n": "\\n",
    "\f": "\\f",
    "\r": "\\r",
}


def render_json_string(text: str) -> str:
    """The text as an ASCII JSON string in the stored rendering.

    Printable ASCII stays raw (including "/"), quotation mark, reverse
    solidus and the five controls with a short form use it, every other
    character becomes \\uXXXX in lowercase hex (a surrogate pair above
    U+FFFF).
    """
    out = ['"']
    for ch in text:
        code = ord(ch)
        short = _SHORT_ESCAPES.get(ch)
        if short is not None:
            out.append(short)
        elif 0x20 <= code < 0x7F:
            out.append(ch)
        elif code <= 0xFFFF:
            if 0xD800 <= code <= 0xDFFF:
                raise ValueError(f"lone surrogate U+{code:04X} in a token text")
            out.append(f"\\u{code:04x}")
        else:
            code -= 0x10000
            out.append(f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}")
    out.append('"')
    return "".join(out)


def mapped_id_at(position: int) -> int:
    """0, 1, -1, 2, -2, ... down the ranking."""
    return (position + 1) // 2 if position % 2 else -(position // 2)


def render_data_set(texts: list[str], counts: collections.Counter, special_ids: set[int]) -> bytes:
    """The JSON Lines text of one data set; special and reserved ids count 0."""
    def count_of(token_id: int) -> int:
        return 0 if token_id in special_ids else counts.get(token_id, 0)

    order = sorted(range(len(texts)), key=lambda i: (-count_of(i), i))
    lines = []
    for position, token_id in enumerate(order):
        count = count_of(token_id)
        if count >= 2**32:
            raise ValueError(f"count {count} of id {token_id} does not fit in 32 bits")
        lines.append(
            f'{{"token": {render_json_string(texts[token_id])}, "token_id": {token_id}, '
            f'"mapped_id": {mapped_id_at(position)}, "count": {count}}}\n'
        )
    return "".join(lines).encode("ascii")


def build(names: list[str], vocab_dir: pathlib.Path, corpus_dir: pathlib.Path, out_dir: pathlib.Path) -> None:
    corpus_files = sorted(corpus_dir.glob("*.txt"))
    if not corpus_files:
        raise SystemExit(f"no *.txt files in {corpus_dir}")
    out_dir.mkdir(parents=True, exist_ok=True)
    # Counts depend only on the mergeable tokens and the split pattern.
    counts_cache: dict[tuple[str, str], collections.Counter] = {}
    for name in names:
        started = time.perf_counter()
        vocab = Vocabulary(vocab_dir, SHARED_VOCAB_FILES.get(name, name))
        key = (vocab.ranks_sha256, vocab.pat_str)
        if key not in counts_cache:
            counts_cache[key] = count_tokens(vocab.encoding(), corpus_files)
        counts = counts_cache[key]

        if name == "o200k_harmony":
            special_tokens, last_id = HARMONY_SPECIAL_TOKENS, HARMONY_LAST_ID
        else:
            special_tokens = vocab.special_tokens
            last_id = max(max(vocab.mergeable_ranks.values()), max(special_tokens.values()))
        texts = token_texts(vocab, special_tokens, last_id)
        mergeable_ids = set(vocab.mergeable_ranks.values())
        special_ids = set(range(last_id + 1)) - mergeable_ids

        data = render_data_set(texts, counts, special_ids)
        path = out_dir / f"{name}.jsonl"
        path.write_bytes(data)
        print(
            f"{path}: {len(texts)} records, {len(data)} bytes, "
            f"sha256 {hashlib.sha256(data).hexdigest()}, {time.perf_counter() - started:.1f} s",
            flush=True,
        )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("names", nargs="*", metavar="NAME",
                        help=f"data sets to build (default: all of {', '.join(DATA_SETS)})")
    parser.add_argument("--vocab", type=pathlib.Path, default=REPO_ROOT.parent / "shared" / "vocab",
                        help="directory with NAME.tiktoken and NAME.json")
    parser.add_argument("--corpus", type=pathlib.Path, default=REPO_ROOT.parent / "shared" / "corpus" / "train",
                        help="directory with the *.txt counting corpus")
    parser.add_argument("--out", type=pathlib.Path, default=REPO_ROOT / "data",
                        help="directory for NAME.jsonl")
    args = parser.parse_args(argv)
    unknown = [n for n in args.names if n not in DATA_SETS]
    if unknown:
        parser.error(f"unknown data set {', '.join(unknown)}; choose from {', '.join(DATA_SETS)}")
    build(args.names or list(DATA_SETS), args.vocab, args.corpus, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
