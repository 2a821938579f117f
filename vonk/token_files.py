"""Token files: a training set's token ids as chunked vonk payloads in one
Arrow IPC file, memory-mapped and read at random.

    import numpy as np, vonk
    vonk.write_token_file("train.arrow", ids, offsets, "cl100k_base")
    with vonk.TokenFileWriter("more.arrow", "cl100k_base") as writer:
        for document in documents:          # any iterable of id sequences
            writer.write(document)
    f = vonk.TokenFile(["train.arrow", "more.arrow"])   # shards: one sequence
    batch = f.windows(np.random.randint(0, len(f) - 1025, 512), 1025)

The ids of a file, all its documents back to back, are cut into chunks of
`chunk_size` consecutive ids (the last one shorter), whatever the document
boundaries; each chunk is stored as one payload, exactly `vonk.pack` of its
ids. Documents are boundaries in the index only. The file is Arrow's IPC file
format, uncompressed by Arrow, so any Arrow reader opens it; one row per
chunk:

    payload      binary       vonk.pack(ids of the chunk, tokenizer, gzip=...)
    first_token  int64        index of the chunk's first id within the file
    crc32        uint32       CRC-32 (zlib's) of the payload bytes as stored
    doc_starts   list<int64>  the start (index within the file) of every
                              document that starts inside this chunk; empty
                              documents at the very end go to the last chunk

and schema metadata (all values are text):

    vonk.format             "token-file"
    vonk.format_version     "1"
    vonk.tokenizer          the tokenizer name, or, for a file written with
    vonk.mapping.name       a vonk.Mapping, its name and fingerprint
    vonk.mapping.fingerprint
    vonk.gzip               "true" or "false"
    vonk.chunk_size         ids per chunk
    vonk.token_count        ids in the file
    vonk.document_count     documents in the file

A file without tokens holds one empty chunk. Each record batch holds at
most 2**20 ids' worth of chunks, so 32-bit binary offsets always suffice;
the reader also takes large_binary and large_list columns.

Opening a TokenFile maps the file and reads its footer and index columns
(16 bytes per chunk and 8 per document); the payloads stay on disk until
a window touches them. windows() decodes every window in one call without
the interpreter lock, each chunk a window touches only up to the window's
end, straight into the output; every chunk is checked against its CRC-32
first, so a damaged file raises ValueError naming the file and chunk and
never yields wrong ids.

This module needs numpy and pyarrow (the `arrow` extra); `import vonk` does
not import it.
"""

from __future__ import annotations

import os
import zlib
from array import array
from collections.abc import Iterable, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, Any, Union

import vonk

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

__all__ = ["write_token_file", "TokenFileWriter", "TokenFile", "DEFAULT_CHUNK_SIZE"]

# Ids per chunk unless told, chosen from bench/run.py --only token_files
# (README, "Token files for training"): files of 1,024-id chunks are 1.0%
# larger than files of 4,096-id ones (1.748 against 1.729 B/tok), while a
# 1,025-id window reads from them in 4.6 us against 6.4 (1.21x a uint32
# memmap's get_batch against 1.69x); 256-id chunks are both larger and
# slower (the work per chunk dominates).
DEFAULT_CHUNK_SIZE = 1024

_FORMAT = "token-file"
_FORMAT_VERSION = "1"
# Ids per record batch: the writer packs this many ids' worth of whole
# chunks per call, and holds no more than that (plus the document being
# written) at once.
_BATCH_IDS = 1 << 20

PathLike = Union[str, "os.PathLike[str]"]
Tokenizer = Any
"""A tokenizer name (str), a vonk.Codec or a vonk.Mapping."""


def _libraries() -> tuple[Any, Any]:
    try:
        import numpy
        import pyarrow
    except ImportError as error:  # pragma: no cover - the extra is missing
        raise ImportError(
            "vonk token files need numpy and pyarrow: pip install 'vonk[arrow]'"
        ) from error
    return numpy, pyarrow


# The counts are written as 20 decimal digits (enough for any uint64), so
# that the placeholders the writer starts with can be overwritten in place.
_COUNT_DIGITS = 20
_TOKEN_COUNT_PLACEHOLDER = "<token count>".ljust(_COUNT_DIGITS, "~")
_DOCUMENT_COUNT_PLACEHOLDER = "<document count>".ljust(_COUNT_DIGITS, "~")


def _patch_counts(path: str, tokens: int, documents: int) -> None:
    """Overwrites the count placeholders of the schema in the file's header
    and in its footer (each holds one copy) with the counts."""
    import struct

    replacements = [
        (_TOKEN_COUNT_PLACEHOLDER.encode(), b"%020d" % tokens),
        (_DOCUMENT_COUNT_PLACEHOLDER.encode(), b"%020d" % documents),
    ]
    with open(path, "r+b") as file:
        size = file.seek(0, os.SEEK_END)
        # Header: magic (8 bytes), then the schema message: 0xFFFFFFFF and
        # its length. Footer: the flatbuffer, its length and the magic.
        file.seek(8)
        continuation, header_length = struct.unpack("<Ii", file.read(8))
        file.seek(size - 10)
        (footer_length,) = struct.unpack("<i", file.read(4))
        if continuation != 0xFFFFFFFF or not 0 < footer_length < size:
            raise RuntimeError(f"{path}: pyarrow wrote an IPC file of an unexpected layout")
        regions = [(16, header_length), (size - 10 - footer_length, footer_length)]
        for at, length in regions:
            file.seek(at)
            region = file.read(length)
            for placeholder, value in replacements:
                if region.count(placeholder) != 1:
                    raise RuntimeError(f"{path}: the schema's count placeholders were not found")
                region = region.replace(placeholder, value)
            file.seek(at)
            file.write(region)


def _is_mapping(tokenizer: object) -> bool:
    return isinstance(tokenizer, vonk.Mapping)


def _tokenizer_metadata(tokenizer: Tokenizer) -> dict[str, str]:
    """The metadata naming `tokenizer`, which is checked to open."""
    vonk.pack([], tokenizer)  # an unknown name or a wrong type raises here
    if _is_mapping(tokenizer):
        return {"vonk.mapping.name": str(tokenizer.name),
                "vonk.mapping.fingerprint": str(tokenizer.fingerprint)}
    if isinstance(tokenizer, vonk.Codec):
        return {"vonk.tokenizer": tokenizer.tokenizer_name}
    return {"vonk.tokenizer": str(tokenizer)}


class TokenFileWriter:
    """Writes a token file one document at a time, for corpora that do not fit
    in memory. Use as a context manager; `write(ids)` appends one document.

    Memory stays bounded: besides the document being written it holds at most
    about 2**20 ids (4 MiB) and their payloads, written out as one record
    batch whenever that many have gathered. The file is complete only once
    the writer is closed (leaving the `with` block without an exception);
    after an exception it is removed.
    """

    def __init__(self, path: PathLike, tokenizer: Tokenizer, *,
                 chunk_size: int = DEFAULT_CHUNK_SIZE, gzip: bool = False) -> None:
        np, pa = _libraries()
        if isinstance(chunk_size, bool) or not isinstance(chunk_size, int) or chunk_size < 1:
            raise ValueError(f"chunk_size must be a positive int, got {chunk_size!r}")
        if chunk_size > 2**31 - 1:
            raise ValueError(f"chunk_size {chunk_size} is more than a payload holds (2**31 - 1)")
        self._np, self._pa = np, pa
        self._path = os.fspath(path)
        self._tokenizer = tokenizer
        self._metadata = _tokenizer_metadata(tokenizer)
        self._chunk_size = chunk_size
        self._gzip = bool(gzip)
        self._batch_ids = max(1, _BATCH_IDS // chunk_size) * chunk_size
        self._pending: list[Any] = []  # uint32 arrays not yet packed
        self._pending_count = 0
        self._written = 0  # ids packed into record batches so far
        self._doc_starts: list[int] = []  # starts not yet written
        self._documents = 0
        self._schema = pa.schema([
            ("payload", pa.binary()),
            ("first_token", pa.int64()),
            ("crc32", pa.uint32()),
            ("doc_starts", pa.list_(pa.int64())),
        ])
        self._sink = pa.OSFile(self._path, "wb")
        self._writer: Any = None
        self._closed = False

    # --- Writing ----------------------------------------------------------

    def write(self, token_ids: Any) -> None:
        """Appends one document: any sequence or buffer of token ids."""
        self._check_open()
        ids = self._as_ids(token_ids)
        self._doc_starts.append(self._written + self._pending_count)
        self._documents += 1
        self._add(ids)

    def _write_many(self, token_ids: Any, offsets: Any) -> None:
        """Appends many documents in Arrow's layout at once."""
        np = self._np
        ids = self._as_ids(token_ids)
        if offsets is None:
            starts = np.zeros(1, dtype=np.int64)
        else:
            bounds = np.asarray(offsets)
            if bounds.ndim != 1 or bounds.dtype.kind not in "iu":
                raise TypeError("offsets must be one-dimensional integers (or None)")
            bounds = bounds.astype(np.int64)
            if (len(bounds) == 0 or bounds[0] != 0 or bounds[-1] != len(ids)
                    or (len(bounds) > 1 and bool(np.any(np.diff(bounds) < 0)))):
                raise ValueError(
                    f"offsets must start at 0, never decrease and end at len(token_ids) = {len(ids)}"
                )
            starts = bounds[:-1]
        base = self._written + self._pending_count
        self._doc_starts.extend((starts + base).tolist())
        self._documents += len(starts)
        self._add(ids)

    def _as_ids(self, token_ids: Any) -> Any:
        np = self._np
        if isinstance(token_ids, np.ndarray):
            ids = token_ids
        else:
            try:
                ids = np.asarray(memoryview(token_ids))
            except TypeError:
                ids = np.asarray(token_ids, dtype=np.int64)
        if ids.ndim != 1:
            raise ValueError(f"token ids must be one-dimensional, got {ids.ndim} dimensions")
        if ids.dtype == np.uint32:
            return ids
        if ids.size == 0:
            return np.zeros(0, dtype=np.uint32)
        if ids.dtype.kind not in "iu":
            raise TypeError(f"token ids must be integers, got dtype {ids.dtype}")
        low, high = int(ids.min()), int(ids.max())
        if low < 0 or high > 0xFFFFFFFF:
            bad = low if low < 0 else high
            raise OverflowError(f"token id {bad} is outside the token id range 0 to 4294967295")
        return ids.astype(np.uint32)

    def _add(self, ids: Any) -> None:
        # Keeps at least one id pending, so that documents starting at the
        # end of the ids so far always have a chunk still to come.
        at = 0
        while self._pending_count + (len(ids) - at) > self._batch_ids:
            take = self._batch_ids - self._pending_count
            self._pending.append(ids[at:at + take])
            at += take
            self._pending_count += take
            self._flush()
        if at < len(ids):
            self._pending.append(ids[at:].copy())  # the caller may reuse its array
            self._pending_count += len(ids) - at

    def _flush(self, last: bool = False) -> None:
        """Packs every pending id into chunks and writes them as one batch."""
        np, pa = self._np, self._pa
        ids = np.concatenate(self._pending) if self._pending else np.zeros(0, dtype=np.uint32)
        self._pending, self._pending_count = [], 0
        first = self._written
        count = len(ids)
        chunks = max(1, -(-count // self._chunk_size))
        bounds = np.minimum(np.arange(chunks + 1, dtype=np.int64) * self._chunk_size, count)
        payloads, payload_offsets = vonk.pack_many(ids, bounds, self._tokenizer, gzip=self._gzip)
        view = memoryview(payloads)
        offsets = np.frombuffer(payload_offsets, dtype=np.int64)
        crcs = np.fromiter(
            (zlib.crc32(view[offsets[i]:offsets[i + 1]]) for i in range(chunks)),
            dtype=np.uint32, count=chunks,
        )
        first_tokens = bounds[:-1] + first
        # Documents starting in this batch's chunks; at the end of the file
        # (no ids pending any more) every remaining start goes to it.
        starts = np.asarray(self._doc_starts, dtype=np.int64)
        end = first + count
        taken = len(starts) if last else int(np.searchsorted(starts, end, side="left"))
        mine = starts[:taken]
        self._doc_starts = self._doc_starts[taken:]
        rows = np.searchsorted(first_tokens, mine, side="right") - 1
        list_offsets = np.searchsorted(rows, np.arange(chunks + 1), side="left").astype(np.int32)
        batch = pa.record_batch([
            pa.Array.from_buffers(pa.binary(), chunks, [
                None, pa.py_buffer(offsets.astype(np.int32)), pa.py_buffer(payloads)]),
            pa.array(first_tokens, pa.int64()),
            pa.array(crcs, pa.uint32()),
            pa.ListArray.from_arrays(pa.array(list_offsets, pa.int32()), pa.array(mine, pa.int64())),
        ], schema=self._schema)
        if self._writer is None:
            metadata = {
                "vonk.format": _FORMAT,
                "vonk.format_version": _FORMAT_VERSION,
                **self._metadata,
                "vonk.gzip": "true" if self._gzip else "false",
                "vonk.chunk_size": str(self._chunk_size),
                # Known only at the end: written as placeholders of the
                # counts' fixed width, overwritten in place by close().
                "vonk.token_count": _TOKEN_COUNT_PLACEHOLDER,
                "vonk.document_count": _DOCUMENT_COUNT_PLACEHOLDER,
            }
            self._writer = pa.ipc.new_file(self._sink, self._schema.with_metadata(metadata))
        self._writer.write_batch(batch)
        self._written += count

    # --- Closing ----------------------------------------------------------

    def close(self) -> None:
        """Writes the last chunks and the counts; the file is then complete."""
        if self._closed:
            return
        try:
            if self._pending_count or self._writer is None or self._doc_starts:
                self._flush(last=True)
            self._writer.close()
            self._sink.close()
            _patch_counts(self._path, self._written, self._documents)
        except BaseException:
            self._abort()
            raise
        self._closed = True

    def _abort(self) -> None:
        """Closes what is open and removes the unfinished file."""
        self._closed = True
        try:
            self._sink.close()
        finally:
            try:
                os.remove(self._path)
            except OSError:
                pass

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("this TokenFileWriter is closed")

    def __enter__(self) -> TokenFileWriter:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if kind is None:
            self.close()
        else:
            self._abort()


def write_token_file(path: PathLike, token_ids: Any, offsets: Any, tokenizer: Tokenizer, *,
                     chunk_size: int = DEFAULT_CHUNK_SIZE, gzip: bool = False) -> None:
    """Writes `token_ids` (any sequence or buffer of ids) as a token file.

    offsets: document boundaries in Arrow's layout (n+1 integers from 0,
    never decreasing, ending at len(token_ids)), or None for one document.
    The file is byte for byte what a TokenFileWriter writes for the same
    documents.
    """
    with TokenFileWriter(path, tokenizer, chunk_size=chunk_size, gzip=gzip) as writer:
        writer._write_many(token_ids, offsets)


class _Shard:
    """One file, mapped: its metadata, its index and its bytes."""

    def __init__(self, path: PathLike, np: Any, pa: Any) -> None:
        self.path = os.fspath(path)
        name = self.path
        try:
            self.mapped = pa.memory_map(name, "r")
        except (OSError, pa.ArrowException) as error:
            raise OSError(f"{name}: cannot open: {error}") from error
        self.whole = self.mapped.read_buffer(self.mapped.size())
        try:
            reader = pa.ipc.open_file(self.mapped)
        except (pa.ArrowInvalid, pa.ArrowException, OSError) as error:
            raise ValueError(f"{name}: not an Arrow IPC file ({error})") from error
        schema = reader.schema
        metadata: dict[str, str] = {k.decode("utf-8", "replace"): v.decode("utf-8", "replace")
                    for k, v in (schema.metadata or {}).items()}
        if metadata.get("vonk.format") != _FORMAT:
            raise ValueError(f"{name}: not a vonk token file (its schema metadata has no "
                             f"vonk.format = {_FORMAT!r})")
        version = metadata.get("vonk.format_version")
        if version != _FORMAT_VERSION:
            raise ValueError(f"{name}: token file format version {version!r} is not supported "
                             f"(this vonk reads version {_FORMAT_VERSION})")

        def number(key: str) -> int:
            text = metadata.get(key)
            if text is None or not text.isdigit():
                raise ValueError(f"{name}: metadata {key} is {text!r}, not a count")
            return int(text)

        gzip = metadata.get("vonk.gzip")
        if gzip not in ("true", "false"):
            raise ValueError(f"{name}: metadata vonk.gzip is {gzip!r}, not 'true' or 'false'")
        self.gzip = gzip == "true"
        self.chunk_size = number("vonk.chunk_size")
        self.token_count = number("vonk.token_count")
        self.document_count = number("vonk.document_count")
        if self.chunk_size == 0 or self.chunk_size > 2**31 - 1:
            raise ValueError(f"{name}: metadata vonk.chunk_size is {self.chunk_size}")
        self.tokenizer = metadata.get("vonk.tokenizer")
        self.mapping_name = metadata.get("vonk.mapping.name")
        self.fingerprint = metadata.get("vonk.mapping.fingerprint")
        if (self.tokenizer is None) == (self.fingerprint is None):
            raise ValueError(f"{name}: the metadata must name either a tokenizer "
                             "(vonk.tokenizer) or a mapping (vonk.mapping.fingerprint)")

        expected = {"payload": ("binary", "large_binary"), "first_token": ("int64",),
                    "crc32": ("uint32",), "doc_starts": ("list<item: int64>",
                                                         "large_list<item: int64>")}
        for column, types in expected.items():
            index = schema.get_field_index(column)
            if index < 0 or str(schema.field(index).type) not in types:
                found = "missing" if index < 0 else str(schema.field(index).type)
                raise ValueError(f"{name}: column {column!r} must be {' or '.join(types)}, "
                                 f"found {found}")

        base = self.whole.address
        begins, ends, crcs, first_tokens, starts, rows = [], [], [], [], [], []
        row = 0
        try:
            for i in range(reader.num_record_batches):
                batch = reader.get_batch(i)
                payload = batch.column("payload")
                if payload.null_count:
                    raise ValueError(f"{name}: record batch {i} has null payloads")
                _, offset_buffer, data = payload.buffers()
                width = np.int64 if payload.type == pa.large_binary() else np.int32
                offsets = np.frombuffer(offset_buffer, dtype=width)[
                    payload.offset:payload.offset + len(payload) + 1].astype(np.int64)
                if len(offsets) != len(payload) + 1:
                    raise ValueError(f"{name}: record batch {i} has too few payload offsets")
                at = 0 if data is None else data.address - base
                size = 0 if data is None else data.size
                if not 0 <= at <= self.whole.size - size:
                    raise ValueError(f"{name}: record batch {i} lies outside the mapped file")
                if len(offsets) > 1 and (offsets.min() < 0 or offsets.max() > size):
                    raise ValueError(f"{name}: record batch {i} has payload offsets outside its data")
                begins.append(offsets[:-1] + at)
                ends.append(offsets[1:] + at)
                crcs.append(batch.column("crc32").to_numpy(zero_copy_only=False))
                first_tokens.append(batch.column("first_token").to_numpy(zero_copy_only=False))
                lists = batch.column("doc_starts")
                values = lists.flatten().to_numpy(zero_copy_only=False)
                counts = np.diff(np.asarray(lists.offsets, dtype=np.int64))
                starts.append(values)
                rows.append(np.repeat(np.arange(row, row + len(lists), dtype=np.int64), counts))
                row += len(batch)
        except pa.ArrowException as error:
            raise ValueError(f"{name}: damaged Arrow data ({error})") from error

        def joined(parts: list[Any], dtype: Any) -> Any:
            return np.concatenate(parts).astype(dtype, copy=False) if parts else np.zeros(0, dtype)

        self.begins = joined(begins, np.int64)
        self.ends = joined(ends, np.int64)
        self.crcs = joined(crcs, np.uint32)
        first_token = joined(first_tokens, np.int64)
        self.doc_starts = joined(starts, np.int64)
        doc_rows = joined(rows, np.int64)
        chunks = max(1, -(-self.token_count // self.chunk_size))
        if row != chunks:
            raise ValueError(f"{name}: {self.token_count} tokens in chunks of {self.chunk_size} "
                             f"need {chunks} chunks, the file holds {row}")
        if not np.array_equal(first_token, np.arange(chunks, dtype=np.int64) * self.chunk_size):
            raise ValueError(f"{name}: column first_token is not i * chunk_size")
        if len(self.doc_starts) != self.document_count:
            raise ValueError(f"{name}: metadata vonk.document_count is {self.document_count}, "
                             f"column doc_starts holds {len(self.doc_starts)}")
        starts_ok = (len(self.doc_starts) == 0 and self.token_count == 0) or (
            len(self.doc_starts) > 0 and self.doc_starts[0] == 0
            and not np.any(np.diff(self.doc_starts) < 0)
            and self.doc_starts[-1] <= self.token_count)
        # Each start lies in the chunk of its row (the last row takes those
        # at the very end too).
        row_starts = first_token[doc_rows] if len(doc_rows) else doc_rows
        starts_ok = starts_ok and bool(np.all(self.doc_starts >= row_starts)) and bool(np.all(
            (self.doc_starts < row_starts + self.chunk_size) | (doc_rows == chunks - 1)))
        if not starts_ok:
            raise ValueError(f"{name}: column doc_starts does not describe documents of "
                             f"the file's {self.token_count} tokens")

    def source(self) -> tuple[Any, ...]:
        return (self.path, self.whole, self.begins, self.ends, self.crcs,
                self.token_count, self.chunk_size, self.gzip)


class TokenFile:
    """One or more token files read as one sequence of tokens and documents.

    path_or_paths: a path, or a list of paths (shards, in order). Opening
    maps each file and reads its metadata and index only. tokenizer: None
    for files written with a built-in tokenizer or mapping (named in their
    metadata); for files written with another vonk.Mapping, that mapping.
    A tokenizer given, and every shard, must rank ids alike (one
    Mapping.fingerprint), else ValueError names the fingerprints.

    Safe to use from many threads at once; windows() and read() release the
    interpreter lock while they decode.
    """

    def __init__(self, path_or_paths: PathLike | Sequence[PathLike],
                 tokenizer: Tokenizer | None = None) -> None:
        np, pa = _libraries()
        self._np = np
        if isinstance(path_or_paths, (str, bytes, os.PathLike)):
            paths = [path_or_paths]
        else:
            paths = list(path_or_paths)
        if not paths:
            raise ValueError("TokenFile needs at least one path")
        self._shards = [_Shard(path, np, pa) for path in paths]
        self._tokenizer_arg = tokenizer
        self._codec = self._check_tokenizer(tokenizer)
        self._sources = tuple(shard.source() for shard in self._shards)
        firsts = np.cumsum([0] + [shard.token_count for shard in self._shards])
        self._length = int(firsts[-1])
        self._doc_starts = np.concatenate(
            [shard.doc_starts + first for shard, first in zip(self._shards, firsts)])
        for shard in self._shards:
            del shard.doc_starts  # held once, in _doc_starts

    def _check_tokenizer(self, tokenizer: Tokenizer | None) -> Any:
        """The tokenizer to read with: the one given, or the one the files
        name. Tokenizers agree when their rankings have one fingerprint
        (gpt2 and r50k_base do; a Mapping rebuilt from a built-in's counts
        does too)."""
        fingerprints = [_fingerprint_of_file(shard) for shard in self._shards]
        first = self._shards[0]
        for shard, fingerprint in zip(self._shards, fingerprints):
            if fingerprint != fingerprints[0]:
                raise ValueError(
                    f"{shard.path}: written with {_describe(shard)}, but {first.path} "
                    f"with {_describe(first)}: shards must share one tokenizer")
        if tokenizer is None:
            if first.tokenizer is not None:
                return vonk.Codec(first.tokenizer)
            if first.mapping_name in vonk.list_available_tokenizers():
                built_in = vonk.Mapping(first.mapping_name)
                if built_in.fingerprint == first.fingerprint:
                    return built_in
            raise ValueError(f"{first.path}: written with {_describe(first)}: pass that "
                             "vonk.Mapping as tokenizer=")
        if isinstance(tokenizer, vonk.Mapping):
            given = tokenizer.fingerprint
        else:
            name = tokenizer.tokenizer_name if isinstance(tokenizer, vonk.Codec) else tokenizer
            if not isinstance(name, str):
                raise TypeError("tokenizer: expected a tokenizer name (str), a vonk.Codec or a "
                                f"vonk.Mapping, got {type(tokenizer).__qualname__!r}")
            given = vonk.Mapping(name).fingerprint
        if given != fingerprints[0]:
            raise ValueError(f"{first.path}: written with {_describe(first)}, ranking fingerprint "
                             f"{fingerprints[0]}; the tokenizer given has fingerprint {given}")
        return vonk.Codec(tokenizer) if isinstance(tokenizer, str) else tokenizer

    # --- Sizes ------------------------------------------------------------

    def __len__(self) -> int:
        """The number of tokens."""
        return self._length

    @property
    def num_documents(self) -> int:
        return len(self._doc_starts)

    @property
    def paths(self) -> list[str]:
        return [shard.path for shard in self._shards]

    @property
    def document_offsets(self) -> npt.NDArray[np.int64]:
        """n+1 token offsets of the documents (Arrow's layout), as int64."""
        numpy = self._np
        offsets: npt.NDArray[np.int64] = numpy.append(self._doc_starts, numpy.int64(self._length))
        return offsets

    # --- Reading ----------------------------------------------------------

    def windows(self, starts: Any, length: int) -> npt.NDArray[np.uint32]:
        """The `length` tokens from each start, as a (len(starts), length)
        uint32 array. Decoded in one call with the interpreter lock released."""
        numpy = self._np
        starts = numpy.ascontiguousarray(starts, dtype=numpy.int64)
        if starts.ndim != 1:
            raise ValueError("starts must be one-dimensional")
        length = int(length)
        out = vonk._arrays._read_windows(self._sources, starts, length, self._codec)
        rows: npt.NDArray[np.uint32] = numpy.frombuffer(out, dtype=numpy.uint32).reshape(
            len(starts), length)
        return rows

    def read(self, start: int, length: int) -> array[int]:
        """Tokens [start, start + length) as an array('I')."""
        start, length = int(start), int(length)
        if start < 0 or length < 0 or start + length > self._length:
            raise IndexError(f"tokens [{start}, {start + length}) lie outside the "
                             f"{self._length} tokens")
        result = array("I")
        result.frombytes(vonk._arrays._read_windows(self._sources, (start,), length, self._codec))
        return result

    def document(self, index: int) -> array[int]:
        """The tokens of document `index` (negative counts from the end)."""
        count = len(self._doc_starts)
        index = int(index)
        if not -count <= index < count:
            raise IndexError(f"document {index} out of range ({count} documents)")
        index %= count
        start = int(self._doc_starts[index])
        end = int(self._doc_starts[index + 1]) if index + 1 < count else self._length
        return self.read(start, end - start)

    def __reduce__(self) -> tuple[Any, ...]:
        # Worker processes (a DataLoader's, a cluster's) map the files anew.
        return (TokenFile, (self.paths, self._tokenizer_arg))

    def __repr__(self) -> str:
        return (f"TokenFile({len(self._shards)} file(s), {self._length} tokens, "
                f"{self.num_documents} documents, {_describe(self._shards[0])})")


def _fingerprint_of_file(shard: _Shard) -> str:
    if shard.fingerprint is not None:
        return shard.fingerprint
    assert shard.tokenizer is not None  # a shard names a tokenizer or a mapping
    try:
        return vonk.Mapping(shard.tokenizer).fingerprint
    except Exception as error:
        raise ValueError(f"{shard.path}: written with {_describe(shard)}, which this vonk "
                         f"does not have ({error})") from error


def _describe(shard: _Shard) -> str:
    if shard.fingerprint is not None:
        return f"mapping {shard.mapping_name!r} (fingerprint {shard.fingerprint})"
    return f"tokenizer {shard.tokenizer!r}"
