"""vonk: compact payloads for language-model token streams."""

from vonk._internal import (
    Codec,
    compress_token_ids,
    decompress_token_ids,
    list_available_tokenizers,
)

__version__ = "0.1.0"

__all__ = [
    "Codec",
    "list_available_tokenizers",
    "compress_token_ids",
    "decompress_token_ids",
]
