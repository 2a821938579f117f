"""A mapping ranked on your own data, for your own tokenizer.

Run it with the package, numpy and the `tokenizers` package installed
(`pip install '.[examples]'`):

    python examples/own_mapping.py                    # a 32,000-id BPE
    python examples/own_mapping.py --vocab-size 4000 --max-chars 400000

The example splits local text into documents (the counting corpus in
../shared/corpus/train when it is there, else the text samples in
bench/data) and halves them: even documents train a byte-level BPE with the
`tokenizers` package (offline) and give the counts of a `vonk.Mapping`,
odd ones are stored. It prints what the stored half takes per token as
uint16 and uint32 arrays (raw and under zstd level 3 per document, when
`zstandard` is installed), as LEB128 varints of the raw ids, as vonk
payloads under a built-in name (whose ranking belongs to another
vocabulary: it round-trips, but sizes suffer) and under the mapping built
from the first half. Payloads decode only under the mapping they were
written with: the example checks that the mapping's fingerprint survives a
save and load, and decodes every payload with the loaded mapping.
"""

from __future__ import annotations

import argparse
import gzip
import pathlib
import sys
import tempfile
import time

import numpy as np

import vonk

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "corpus" / "train"
SAMPLES = ROOT / "bench" / "data"


def read_text(max_chars: int) -> tuple[str, str]:
    """Up to `max_chars` characters of local text, and where they came from."""
    files = sorted(CORPUS.glob("*.txt"))
    if files:
        source = str(CORPUS)
        texts = [path.read_text("utf-8") for path in files]
    else:
        source = str(SAMPLES)
        texts = [gzip.decompress(path.read_bytes()).decode("utf-8") for path in sorted(SAMPLES.glob("*.txt.gz"))]
    share = max_chars // len(texts)
    return "\n\n".join(text[:share] for text in texts), source


def documents(text: str, size: int = 4000) -> list[str]:
    """Runs of paragraphs of about `size` characters."""
    docs: list[str] = []
    current: list[str] = []
    length = 0
    for paragraph in text.split("\n\n"):
        current.append(paragraph)
        length += len(paragraph) + 2
        if length >= size:
            docs.append("\n\n".join(current))
            current, length = [], 0
    if current:
        docs.append("\n\n".join(current))
    return docs


def byte_decoder() -> dict[str, int]:
    """Byte-level BPE's characters back to the bytes they stand for."""
    printable = [*range(0x21, 0x7F), *range(0xA1, 0xAD), *range(0xAE, 0x100)]
    table = {chr(b): b for b in printable}
    extra = 0
    for b in range(256):
        if b not in printable:
            table[chr(256 + extra)] = b
            extra += 1
    return table


def train_tokenizer(docs: list[str], vocab_size: int):  # noqa: ANN201 (tokenizers is untyped)
    from tokenizers import ByteLevelBPETokenizer

    tokenizer = ByteLevelBPETokenizer()
    tokenizer.train_from_iterator(docs, vocab_size=vocab_size, min_frequency=2,
                                  special_tokens=["<|endoftext|>"], show_progress=False)
    return tokenizer


def token_texts(tokenizer) -> list[bytes | str]:  # noqa: ANN001
    """Every id's token as bytes (special tokens by name)."""
    decoder = byte_decoder()
    texts: list[bytes | str] = [""] * tokenizer.get_vocab_size()
    special = {"<|endoftext|>"}
    for token, token_id in tokenizer.get_vocab().items():
        texts[token_id] = token if token in special else bytes(decoder[c] for c in token)
    return texts


def leb128_size(ids: np.ndarray) -> int:
    return int(np.sum(1 + (ids >= 1 << 7) + (ids >= 1 << 14) + (ids >= 1 << 21) + (ids >= 1 << 28)))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--vocab-size", type=int, default=32000)
    parser.add_argument("--max-chars", type=int, default=16_000_000, help="text read (default 16M characters)")
    parser.add_argument("--builtin", default="r50k_base", help="the built-in name to compare with")
    args = parser.parse_args(argv)

    text, source = read_text(args.max_chars)
    docs = documents(text)
    counted, stored = docs[0::2], docs[1::2]
    started = time.perf_counter()
    tokenizer = train_tokenizer(counted, args.vocab_size)
    size = tokenizer.get_vocab_size()
    print(f"{len(text):,} characters from {source}: {len(docs):,} documents; "
          f"a byte-level BPE of {size:,} ids trained on the even ones in {time.perf_counter() - started:.1f} s")

    def encode(batch: list[str]) -> list[np.ndarray]:
        return [np.array(e.ids, np.uint32) for e in tokenizer.encode_batch(batch)]

    counted_ids = np.concatenate(encode(counted))
    started = time.perf_counter()
    mapping = vonk.Mapping.from_token_ids(counted_ids, vocab_size=size, name="own-bpe",
                                          texts=token_texts(tokenizer))
    print(f"{mapping!r} from {len(counted_ids):,} ids in {1000 * (time.perf_counter() - started):.0f} ms")

    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "own-bpe.jsonl"
        mapping.save(path)
        loaded = vonk.Mapping.load(path)
        assert loaded.fingerprint == mapping.fingerprint
        print(f"saved as {path.stat().st_size:,} bytes of records; loaded back with fingerprint {loaded.fingerprint}")

    held_out = encode(stored)
    tokens = sum(len(d) for d in held_out)
    rows: list[tuple[str, float]] = [("uint16", 2.0), ("uint32", 4.0)]
    try:
        import zstandard
    except ImportError:
        zstandard = None
    if zstandard is not None:
        zstd = zstandard.ZstdCompressor(level=3)
        rows.append(("uint16 + zstd3 per document",
                     sum(len(zstd.compress(d.astype(np.uint16).tobytes())) for d in held_out) / tokens))
        rows.append(("uint32 + zstd3 per document",
                     sum(len(zstd.compress(d.tobytes())) for d in held_out) / tokens))
    rows.append(("LEB128 of the raw id", sum(leb128_size(d) for d in held_out) / tokens))
    builtin = vonk.Mapping(args.builtin)
    if size <= len(builtin):
        for gz in (False, True):
            payloads = [vonk.pack(d, builtin, gzip=gz) for d in held_out]
            rows.append((f"vonk.pack under {args.builtin} (another vocabulary's ranking), "
                         f"{'gzip' if gz else 'plain'}", sum(map(len, payloads)) / tokens))
    for gz in (False, True):
        payloads = [vonk.pack(d, mapping, gzip=gz) for d in held_out]
        assert all(np.array_equal(vonk.unpack(p, loaded, gzip=gz), d) for p, d in zip(payloads, held_out))
        rows.append((f"vonk.pack under the own mapping, {'gzip' if gz else 'plain'}",
                     sum(map(len, payloads)) / tokens))

    print(f"\nthe stored half: {len(held_out):,} documents, {tokens:,} tokens "
          "(every payload decoded with the loaded mapping)\n")
    width = max(len(label) for label, _ in rows)
    print(f"| {'storage'.ljust(width)} | B/tok |")
    print(f"|{'-' * (width + 2)}|------:|")
    for label, value in rows:
        print(f"| {label.ljust(width)} | {value:.3f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
