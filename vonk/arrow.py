"""Arrow columns of token ids to columns of vonk payloads and back.

    import pyarrow as pa, vonk.arrow
    docs = pa.array([[9906, 11, 1917, 0], None, [9906]], pa.list_(pa.uint32()))
    payloads = vonk.arrow.pack(docs, "cl100k_base")     # pyarrow.BinaryArray
    vonk.arrow.unpack(payloads, "cl100k_base")          # == docs

Each document becomes one payload, byte for byte what `vonk.pack` gives for
it alone; a null document stays null (and takes no payload bytes). Both
directions run one batch call (`vonk.pack_many`, `vonk.unpack_many`) per
array or chunk, and the result wraps the payload bytes or ids that call
returns without copying them (its offsets are narrowed to 32 bits unless
they need 64). The input is read in place unless a null slot spans values
(which Arrow allows); then the valid documents are first gathered into one
contiguous buffer.

This module needs pyarrow and numpy (the `arrow` extra); `import vonk` does
not import it.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt
import pyarrow as pa

import vonk

__all__ = ["pack", "unpack"]

# pyarrow ships no type information, so its objects are typed loosely here.
ListArray: TypeAlias = Any
"""A pyarrow ListArray or LargeListArray of integers, or a ChunkedArray of them."""
BinaryArray: TypeAlias = Any
"""A pyarrow BinaryArray or LargeBinaryArray, or a ChunkedArray of them."""
Tokenizer: TypeAlias = "str | vonk.Codec"

# Above this many bytes (or ids) a column needs 64-bit offsets.
_MAX_32BIT_OFFSET = 2**31 - 1

_Offsets: TypeAlias = npt.NDArray[np.int64]
_Mask: TypeAlias = "npt.NDArray[np.bool_] | None"


def pack(list_array: ListArray, tokenizer: Tokenizer, *, gzip: bool = False) -> BinaryArray:
    """Packs each document (list of token ids) of `list_array` into one payload.

    `list_array` is a pyarrow ListArray or LargeListArray of any integer type
    (sliced or not, with null documents or not), or a ChunkedArray of them,
    which gives a ChunkedArray with the same chunks. Returns a BinaryArray,
    or a LargeBinaryArray when the payloads of one array pass 2**31-1 bytes.
    Raises what `vonk.pack_many` raises; a batch error's `document` is the
    failing document's index in `list_array`.
    """
    if isinstance(list_array, pa.ChunkedArray):
        _check_list_type(list_array.type)
        return _chunked(
            list_array, lambda chunk, first: _pack_one(chunk, tokenizer, gzip, first),
            pa.binary(), pa.large_binary(),
        )
    if not isinstance(list_array, pa.Array):
        raise TypeError(f"list_array must be a pyarrow list array, not {type(list_array).__name__}")
    _check_list_type(list_array.type)
    return _pack_one(list_array, tokenizer, gzip, 0)


def unpack(binary_array: BinaryArray, tokenizer: Tokenizer, *, gzip: bool = False) -> ListArray:
    """Unpacks each payload of `binary_array` into a list of token ids.

    `binary_array` is a pyarrow BinaryArray or LargeBinaryArray (sliced or
    not, with nulls or not), or a ChunkedArray of them, which gives a
    ChunkedArray with the same chunks. Returns a ListArray of uint32, or a
    LargeListArray when one array's ids pass 2**31-1. A null payload gives a
    null document. Raises what `vonk.unpack_many` raises; a batch error's
    `document` is the failing payload's index in `binary_array`.
    """
    if isinstance(binary_array, pa.ChunkedArray):
        _check_binary_type(binary_array.type)
        return _chunked(
            binary_array, lambda chunk, first: _unpack_one(chunk, tokenizer, gzip, first),
            pa.list_(pa.uint32()), pa.large_list(pa.uint32()),
        )
    if not isinstance(binary_array, pa.Array):
        raise TypeError(
            f"binary_array must be a pyarrow binary array, not {type(binary_array).__name__}"
        )
    _check_binary_type(binary_array.type)
    return _unpack_one(binary_array, tokenizer, gzip, 0)


def _check_list_type(arrow_type: Any) -> None:
    if not (pa.types.is_list(arrow_type) or pa.types.is_large_list(arrow_type)) or not (
        pa.types.is_integer(arrow_type.value_type)
    ):
        raise TypeError(f"list_array must hold lists of integers, not {arrow_type}")


def _check_binary_type(arrow_type: Any) -> None:
    if not (pa.types.is_binary(arrow_type) or pa.types.is_large_binary(arrow_type)):
        raise TypeError(f"binary_array must hold binary values, not {arrow_type}")


def _chunked(
    chunked: Any, convert: Callable[[Any, int], Any], small_type: Any, large_type: Any
) -> Any:
    """Converts each chunk (given with its start); when one chunk's result
    needs 64-bit offsets, all chunks get them."""
    chunks = []
    first = 0
    for chunk in chunked.chunks:
        chunks.append(convert(chunk, first))
        first += len(chunk)
    if any(chunk.type == large_type for chunk in chunks):
        chunks = [chunk.cast(large_type) for chunk in chunks]
        return pa.chunked_array(chunks, type=large_type)
    return pa.chunked_array(chunks, type=small_type)


def _pack_one(array: Any, tokenizer: Tokenizer, gzip: bool, first: int) -> Any:
    valid = _valid_mask(array)
    offsets = _offsets(array)
    if _nulls_span_values(offsets, valid):
        # flatten() gathers the valid documents' ids alone (a copy).
        values = array.flatten()
    else:
        # In place; the values of a sliced array start at its first offset.
        values = array.values.slice(offsets[0], offsets[-1] - offsets[0])
    if values.null_count:
        raise ValueError("list_array holds null token ids")
    ids = values.to_numpy(zero_copy_only=True)
    try:
        payloads, payload_offsets = vonk.pack_many(
            ids, _compact_offsets(offsets, valid).data, tokenizer, gzip=gzip
        )
    except Exception as error:
        _renumber(error, valid, first)
        raise
    data = pa.py_buffer(payloads)
    return _from_parts(
        pa.binary(), pa.large_binary(), len(payloads), payload_offsets, valid, len(array), [data]
    )


def _unpack_one(array: Any, tokenizer: Tokenizer, gzip: bool, first: int) -> Any:
    valid = _valid_mask(array)
    offsets = _offsets(array)
    payload_offsets = _compact_offsets(offsets, valid).data
    stored = array
    if _nulls_span_values(offsets, valid):
        # Gather the valid payloads alone (a copy).
        stored = array.filter(pa.array(valid))
        offsets = _offsets(stored)
    data = stored.buffers()[2]
    payloads = memoryview(data)[offsets[0] : offsets[-1]] if data is not None else b""
    try:
        ids, id_offsets = vonk.unpack_many(payloads, payload_offsets, tokenizer, gzip=gzip)
    except Exception as error:
        _renumber(error, valid, first)
        raise
    values = pa.Array.from_buffers(pa.uint32(), len(ids), [None, pa.py_buffer(ids)])
    return _from_parts(
        pa.list_(pa.uint32()), pa.large_list(pa.uint32()), len(ids), id_offsets, valid,
        len(array), [], children=[values],
    )


def _valid_mask(array: Any) -> _Mask:
    """True for each valid slot, or None when no slot is null."""
    if array.null_count == 0:
        return None
    mask: npt.NDArray[np.bool_] = array.is_valid().to_numpy(zero_copy_only=False)
    return mask


def _offsets(array: Any) -> _Offsets:
    """The array's n+1 offsets (a sliced array's start past 0) as int64."""
    if len(array) == 0:
        return np.zeros(1, dtype=np.int64)
    large = pa.types.is_large_list(array.type) or pa.types.is_large_binary(array.type)
    raw = np.frombuffer(array.buffers()[1], dtype=np.int64 if large else np.int32)
    offsets: _Offsets = raw[array.offset : array.offset + len(array) + 1].astype(np.int64)
    return offsets


def _nulls_span_values(offsets: _Offsets, valid: _Mask) -> bool:
    """Whether some null slot's range holds values (which Arrow allows)."""
    return valid is not None and bool(np.any(np.diff(offsets)[~valid]))


def _compact_offsets(offsets: _Offsets, valid: _Mask) -> _Offsets:
    """Offsets of the valid slots alone, one after another from 0."""
    if valid is None:
        shifted: _Offsets = offsets - offsets[0]
        return shifted
    lengths = np.diff(offsets)[valid]
    compact = np.zeros(len(lengths) + 1, dtype=np.int64)
    np.cumsum(lengths, out=compact[1:])
    return compact


def _from_parts(
    small_type: Any,
    large_type: Any,
    size: int,
    part_offsets: Any,
    valid: _Mask,
    length: int,
    buffers: list[Any],
    children: list[Any] | None = None,
) -> Any:
    """An Arrow array of `length` slots over the batch result of the valid ones.

    `part_offsets` (n+1 int64, from the batch call) bound the valid slots'
    parts; null slots get empty ranges and a cleared validity bit.
    """
    offsets: _Offsets = np.frombuffer(part_offsets, dtype=np.int64)
    validity = None
    if valid is not None:
        full = np.zeros(length + 1, dtype=np.int64)
        lengths = np.zeros(length, dtype=np.int64)
        lengths[valid] = np.diff(offsets)
        np.cumsum(lengths, out=full[1:])
        offsets = full
        validity = pa.array(valid).buffers()[1]
    if size > _MAX_32BIT_OFFSET:
        arrow_type, offset_buffer = large_type, pa.py_buffer(offsets)
    else:
        arrow_type, offset_buffer = small_type, pa.py_buffer(offsets.astype(np.int32))
    return pa.Array.from_buffers(
        arrow_type, length, [validity, offset_buffer, *buffers], children=children
    )


def _renumber(error: Exception, valid: _Mask, first: int) -> None:
    """Makes a batch error's `document` the index in the caller's array.

    The batch call saw only the valid documents of one chunk, which starts
    at `first` in the caller's (chunked) array.
    """
    index = getattr(error, "document", None)
    if not isinstance(index, int):
        return
    batch_index = index
    if valid is not None:
        index = int(np.flatnonzero(valid)[index])
    setattr(error, "document", first + index)
    # The message names the document too; make it name the same one.
    suffix = f" (document {batch_index})"
    if error.args and isinstance(error.args[0], str) and error.args[0].endswith(suffix):
        message = error.args[0][: -len(suffix)] + f" (document {first + index})"
        error.args = (message, *error.args[1:])
