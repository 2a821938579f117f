"""A short tour of vonk: encode token sequences into compact payloads and back.

Run it with the package installed:  python examples/example.py
"""

from __future__ import annotations

import json

from vonk import Codec, compress_token_ids, decompress_token_ids, list_available_tokenizers


def show(label: str, value) -> None:
    print(f"{label:<38} {value}")


def main() -> None:
    show("available tokenizers:", ", ".join(list_available_tokenizers()))

    codec = Codec("cl100k_base")
    show("tokenizer:", codec.tokenizer_name)

    # Token texts -> payload -> token texts. A payload is a list of ints 0..255.
    tokens = ["Hello", ",", " world", "!", " The", " quick", " brown", " fox", "."]
    payload = codec.encode_tokens(tokens)
    show("tokens:", tokens)
    show("payload (plain):", payload)
    show("decoded tokens:", codec.decode_tokens(payload))

    # The same tokens as ids, and as the mapped ids the payload stores.
    token_ids = codec.decode_token_ids(payload)
    mapped_ids = codec.token_id_to_mapped_id(token_ids)
    show("token ids:", token_ids)
    show("mapped ids:", mapped_ids)
    show("mapped ids -> token ids:", codec.mapped_id_to_token_id(mapped_ids))
    show("payload from token ids:", codec.encode_token_ids(token_ids))
    show("payload from mapped ids:", codec.encode_mapped_ids(mapped_ids))
    show("decoded mapped ids:", codec.decode_mapped_ids(payload))

    # The decoders take bytes as well as lists.
    show("decoded from bytes:", codec.decode_token_ids(bytes(payload)))

    # Sizes: a longer text, plain and gzip-wrapped, against a JSON list of ids.
    long_ids = token_ids * 40
    plain = codec.encode_token_ids(long_ids)
    wrapped = codec.encode_token_ids(long_ids, gzip=True)
    assert codec.decode_token_ids(wrapped, gzip=True) == long_ids
    show(f"{len(long_ids)} token ids as JSON:", f"{len(json.dumps(long_ids))} bytes")
    show("payload:", f"{len(plain)} bytes")
    show("payload, gzip:", f"{len(wrapped)} bytes")
    show("raw token ids (no mapping):", f"{len(codec.encode_raw_token_ids(long_ids))} bytes")

    # The module functions do the token-id round trip without a Codec object.
    compressed = compress_token_ids(token_ids, "cl100k_base", gzip=True)
    show("compress_token_ids(gzip=True):", compressed)
    show("decompress_token_ids:", decompress_token_ids(compressed, "cl100k_base", gzip=True))

    # Errors: lookup misses are KeyError, bad payloads and names are Exception.
    for label, call in [
        ("unknown token:", lambda: codec.encode_tokens(["no such token text"])),
        ("bad payload:", lambda: codec.decode_tokens([25, 5])),
        ("unknown tokenizer:", lambda: Codec("nope")),
    ]:
        try:
            call()
        except Exception as error:  # noqa: BLE001
            show(label, f"{type(error).__name__}: {error.args[0]}")


if __name__ == "__main__":
    main()
