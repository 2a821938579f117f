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
they need 64).

The batch calls take one contiguous run of ids (or payload bytes) and
offsets. A column is read in place when its valid documents lie one after
another in its values, as they do in list, large list and fixed-size list
columns without nulls, and in list views written in order. Otherwise the
valid documents' ids are first gathered into one contiguous buffer (a
copy): when a null slot spans values (which Arrow allows, and which every
null of a fixed-size list does) or when list views overlap or come out of
order. Binary and string views keep short payloads inside the views, so
they are always gathered into one buffer first.

This module needs pyarrow and numpy (the `arrow` extra); `import vonk` does
not import it. List views need pyarrow 16 or later, binary and string views
pyarrow 18 (the first that casts them to large binary).
"""

from __future__ import annotations

import re
from collections.abc import Callable
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt
import pyarrow as pa

import vonk

__all__ = ["pack", "unpack"]

# pyarrow ships no type information, so its objects are typed loosely here.
ListArray: TypeAlias = Any
"""A pyarrow list, large list, list view, large list view or fixed-size list
array of integers, or a ChunkedArray of one of them."""
BinaryArray: TypeAlias = Any
"""A pyarrow binary, large binary, binary view or string view array, or a
ChunkedArray of one of them."""
Tokenizer: TypeAlias = "str | vonk.Codec | vonk.Mapping"

# Above this many bytes (or ids) a column needs 64-bit offsets.
_MAX_32BIT_OFFSET = 2**31 - 1

_Offsets: TypeAlias = npt.NDArray[np.int64]
_Mask: TypeAlias = "npt.NDArray[np.bool_] | None"


def _type_test(name: str) -> Callable[[Any], bool]:
    """pyarrow's test for a type, or one that is always false when this
    pyarrow is too old to have the type."""
    test: Callable[[Any], bool] = getattr(pa.types, name, lambda arrow_type: False)
    return test


_is_list_view = _type_test("is_list_view")
_is_large_list_view = _type_test("is_large_list_view")
_is_binary_view = _type_test("is_binary_view")
_is_string_view = _type_test("is_string_view")

# The batch API's text for a token id out of range; its element index counts
# the ids handed to pack_many.
_ELEMENT_FAULT = re.compile(r"argument 'token_ids': element (\d+) is ")


def pack(list_array: ListArray, tokenizer: Tokenizer, *, gzip: bool = False) -> BinaryArray:
    """Packs each document (list of token ids) of `list_array` into one payload.

    `list_array` is a pyarrow ListArray, LargeListArray, ListViewArray,
    LargeListViewArray or FixedSizeListArray of any integer type (sliced or
    not, with null documents or not), or a ChunkedArray of them, which gives
    a ChunkedArray with the same chunks. Returns a BinaryArray, or a
    LargeBinaryArray when the payloads of one array pass 2**31-1 bytes.

    Raises what `vonk.pack_many` raises, numbered as the caller sees the
    column: a batch error's `document` (and the " (document N)" of its
    message) is the failing document's index in `list_array`, counted
    across chunks from the start of the (sliced) column; a token id out of
    range is named as "argument 'list_array': element E is V, ...", where E
    is the position within that document, so that the id is
    `list_array[N][E]` whatever the column's type, slicing or chunking.
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

    `binary_array` is a pyarrow BinaryArray, LargeBinaryArray,
    BinaryViewArray or StringViewArray (sliced or not, with nulls or not),
    or a ChunkedArray of them, which gives a ChunkedArray with the same
    chunks. Returns a ListArray of uint32, or a LargeListArray when one
    array's ids pass 2**31-1. A null payload gives a null document. Raises
    what `vonk.unpack_many` raises; a batch error's `document` is the
    failing payload's index in `binary_array`, counted across chunks.
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
    kinds = (pa.types.is_list, pa.types.is_large_list, pa.types.is_fixed_size_list,
             _is_list_view, _is_large_list_view)
    if not any(is_kind(arrow_type) for is_kind in kinds) or not (
        pa.types.is_integer(arrow_type.value_type)
    ):
        raise TypeError(f"list_array must hold lists of integers, not {arrow_type}")


def _check_binary_type(arrow_type: Any) -> None:
    kinds = (pa.types.is_binary, pa.types.is_large_binary, _is_binary_view, _is_string_view)
    if not any(is_kind(arrow_type) for is_kind in kinds):
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
    starts, sizes = _list_ranges(array)
    if valid is not None:
        starts, sizes = starts[valid], sizes[valid]
    child = array.values
    if len(starts) and (starts.min() < 0 or (starts + sizes).max() > len(child)):
        raise ValueError("list_array has lists that reach past its values")
    offsets = np.zeros(len(sizes) + 1, dtype=np.int64)
    np.cumsum(sizes, out=offsets[1:])
    ids, child_positions = _ids_of(child, starts, sizes, offsets)
    if child.null_count:
        child_valid = child.is_valid().to_numpy(zero_copy_only=False)
        if not child_valid[child_positions].all():
            raise ValueError("list_array holds null token ids")
    try:
        payloads, payload_offsets = vonk.pack_many(ids, offsets.data, tokenizer, gzip=gzip)
    except Exception as error:
        _renumber(error, valid, first, offsets)
        raise
    data = pa.py_buffer(payloads)
    return _from_parts(
        pa.binary(), pa.large_binary(), len(payloads), payload_offsets, valid, len(array), [data]
    )


def _list_ranges(array: Any) -> tuple[_Offsets, _Offsets]:
    """Where each slot's list lies in `array.values`: start and length (int64).

    A null slot's range is whatever the array holds there, which may be
    anything in a list view and spans values in a fixed-size list.
    """
    n = len(array)
    arrow_type = array.type
    if pa.types.is_fixed_size_list(arrow_type):
        size = arrow_type.list_size
        starts: _Offsets = (np.arange(n, dtype=np.int64) + array.offset) * size
        return starts, np.full(n, size, dtype=np.int64)
    if n == 0:
        return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64)
    if _is_list_view(arrow_type) or _is_large_list_view(arrow_type):
        width = np.int64 if _is_large_list_view(arrow_type) else np.int32
        buffers = array.buffers()
        window = slice(array.offset, array.offset + n)
        starts = np.frombuffer(buffers[1], dtype=width)[window].astype(np.int64)
        sizes: _Offsets = np.frombuffer(buffers[2], dtype=width)[window].astype(np.int64)
        return starts, sizes
    offsets = _offsets(array)
    return offsets[:-1], np.diff(offsets)


def _ids_of(
    child: Any, starts: _Offsets, sizes: _Offsets, offsets: _Offsets
) -> tuple[npt.NDArray[Any], Any]:
    """The ids of the ranges (`starts`, `sizes`) of `child`, one after another
    (`offsets` bound them), and which positions of `child` they come from.

    A view of `child`'s data when the ranges follow one another there; else
    a gathered copy.
    """
    filled = sizes > 0
    starts, sizes = starts[filled], sizes[filled]
    values = _raw_values(child)
    if len(starts) == 0:
        return values[:0], slice(0, 0)
    if np.array_equal(starts[1:], starts[:-1] + sizes[:-1]):
        window = slice(int(starts[0]), int(starts[0] + offsets[-1]))
        return values[window], window
    # Each id's position in `child`: its position in the result, moved by
    # how far its list starts from where the result places it.
    positions = np.arange(offsets[-1], dtype=np.int64)
    positions += np.repeat(starts - offsets[:-1][filled], sizes)
    return values[positions], positions


def _raw_values(child: Any) -> npt.NDArray[Any]:
    """`child`'s integers as a numpy view of its data buffer, whether valid
    or not."""
    # (Not to_pandas_dtype(), which imports pandas.)
    signed = pa.types.is_signed_integer(child.type)
    dtype = np.dtype(f"{'i' if signed else 'u'}{child.type.bit_width // 8}")
    data = child.buffers()[1]
    if data is None:
        return np.zeros(0, dtype=dtype)
    values: npt.NDArray[Any] = np.frombuffer(data, dtype=dtype)
    return values[child.offset : child.offset + len(child)]


def _unpack_one(array: Any, tokenizer: Tokenizer, gzip: bool, first: int) -> Any:
    if _is_binary_view(array.type) or _is_string_view(array.type):
        # Short payloads live inside the views: gather all into one buffer.
        try:
            array = array.cast(pa.large_binary())
        except pa.ArrowNotImplementedError as error:
            raise TypeError(
                f"binary_array of {array.type} needs pyarrow 18 or later "
                f"(this is {pa.__version__})"
            ) from error
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
    """The n+1 offsets of a list or binary array (a sliced array's start
    past 0) as int64."""
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


def _renumber(
    error: Exception, valid: _Mask, first: int, id_offsets: _Offsets | None = None
) -> None:
    """Numbers a batch error as the caller sees the column.

    The batch call saw only the valid documents of one chunk, which starts
    at `first` in the caller's (chunked) array: its `document` becomes the
    index in the caller's array. With `id_offsets` (those handed to
    pack_many), an element index of the message, which counts the ids handed
    to pack_many, becomes the position within the failing document, and the
    argument is named as vonk.arrow.pack names it.
    """
    index = getattr(error, "document", None)
    if not isinstance(index, int):
        return
    batch_index = index
    if valid is not None:
        index = int(np.flatnonzero(valid)[index])
    setattr(error, "document", first + index)
    if not (error.args and isinstance(error.args[0], str)):
        return
    message = error.args[0]
    # The message names the document too; make it name the same one.
    suffix = f" (document {batch_index})"
    if message.endswith(suffix):
        message = message[: -len(suffix)] + f" (document {first + index})"
    fault = _ELEMENT_FAULT.match(message)
    if id_offsets is not None and fault is not None:
        element = int(fault.group(1)) - int(id_offsets[batch_index])
        message = f"argument 'list_array': element {element} is " + message[fault.end() :]
    error.args = (message, *error.args[1:])
