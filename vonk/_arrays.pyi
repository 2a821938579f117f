"""Type information for the compiled module vonk._arrays."""

from array import array
from collections.abc import Sequence
from typing import Any, Protocol

from typing_extensions import Buffer, Self, disjoint_base

from vonk._internal import Codec

__all__ = ["pack", "unpack", "pack_many", "unpack_many"]

class _ArrayLike(Protocol):
    # numpy arrays, whose stubs declare the buffer protocol only for
    # Python 3.12 and later.
    def __array__(self) -> Any: ...

# Integers arrive as any one-dimensional buffer of an integer format
# (numpy arrays, array.array, memoryview, bytes...) or any sequence of ints.
_Integers = Buffer | _ArrayLike | Sequence[int]
_Tokenizer = str | Codec | MappingTables

@disjoint_base
class MappingTables:
    """The tables of one mapping; see vonk.Mapping."""

    def __new__(cls, name: str) -> Self: ...
    @classmethod
    def _build(
        cls,
        name: str,
        counts: _Integers,
        ranking: _Integers | None,
        texts: bytes | None,
        text_ends: _Integers | None,
    ) -> Self: ...
    @classmethod
    def _from_text(cls, name: str, text: bytes) -> Self: ...
    @classmethod
    def _count(cls, token_ids: _Integers, vocab_size: int) -> array[int]: ...
    def _render(self) -> bytes: ...
    def __len__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def counts(self) -> array[int]: ...
    @property
    def _built_in(self) -> bool: ...
    @property
    def _ranking(self) -> array[int]: ...
    @property
    def _texts(self) -> tuple[bytes, array[int]] | None: ...

def pack(token_ids: _Integers, tokenizer: _Tokenizer, *, gzip: bool = False) -> bytes: ...
def unpack(payload: _Integers, tokenizer: _Tokenizer, *, gzip: bool = False) -> array[int]: ...
def pack_many(
    token_ids: _Integers, offsets: _Integers, tokenizer: _Tokenizer, *, gzip: bool = False
) -> tuple[bytes, array[int]]: ...
def unpack_many(
    payloads: _Integers, payload_offsets: _Integers, tokenizer: _Tokenizer, *, gzip: bool = False
) -> tuple[array[int], array[int]]: ...

# vonk.TokenFile's engine (private): each source is (name, data, begins,
# ends, crcs, token_count, chunk_size, gzip); len(starts) rows of `length`
# uint32 ids.
def _read_windows(
    sources: tuple[tuple[Any, ...], ...], starts: _Integers, length: int, tokenizer: _Tokenizer
) -> bytearray: ...
