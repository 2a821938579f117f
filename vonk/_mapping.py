"""vonk.Mapping: the token-id ranking of any vocabulary, as an object."""

from __future__ import annotations

import array
import hashlib
import itertools
import os
import pathlib
import sys
from collections.abc import Iterable, Sequence
from typing import Any, Union

from vonk import _arrays

__all__ = ["Mapping"]

_Text = Union[str, bytes, bytearray, memoryview]


def _text_bytes(texts: Iterable[_Text], size: int) -> tuple[bytes, array.array[int]]:
    """Each id's text as UTF-8, back to back, and where each one ends."""
    parts: list[bytes] = []
    for i, text in enumerate(texts):
        if isinstance(text, str):
            try:
                parts.append(text.encode("utf-8"))
            except UnicodeEncodeError as error:
                raise ValueError(f"texts[{i}] is not valid Unicode: {error.reason}") from None
        elif isinstance(text, (bytes, bytearray, memoryview)):
            # A token's bytes read as UTF-8, U+FFFD for bytes that are not.
            parts.append(bytes(text).decode("utf-8", "replace").encode("utf-8"))
        else:
            raise TypeError(f"texts[{i}]: expected str or bytes, got {type(text).__qualname__!r}")
    if len(parts) != size:
        raise ValueError(f"{len(parts)} texts for a vocabulary of {size} token ids")
    return b"".join(parts), array.array("Q", itertools.accumulate(map(len, parts)))


class Mapping(_arrays.MappingTables):
    """The ranking of one vocabulary's token ids, which payloads are written under.

    ``Mapping(name)`` is one of the built-in mappings (the tables the
    tokenizer name opens); :meth:`from_counts`, :meth:`from_token_ids` and
    :meth:`load` make one for any vocabulary. A mapping is immutable and may
    be used from any thread; ``vonk.pack``, ``vonk.unpack``,
    ``vonk.pack_many``, ``vonk.unpack_many`` and ``vonk.arrow`` take it
    wherever they take a tokenizer name. Payloads read back only under the
    mapping they were written with: keep its :attr:`fingerprint` with them.
    """

    __slots__ = ("_fingerprint",)
    _fingerprint: str

    @classmethod
    def from_counts(
        cls, counts: Any, *, name: str, texts: Sequence[_Text] | None = None
    ) -> Mapping:
        """The mapping ranked by ``counts``, one count per token id ``0..n-1``.

        Ids go by count descending, equal counts by id ascending, and the id
        at position p gets the mapped id 0, 1, -1, 2, -2, ... ``counts`` is
        any one-dimensional integer buffer or sequence of ints; ``texts``
        gives each id's token text (str, or bytes read as UTF-8 with U+FFFD
        for invalid bytes). Without texts the records hold "<|reserved_ID|>".
        """
        if texts is None:
            return cls._build(name, counts, None, None, None)
        size = len(counts)
        return cls._build(name, counts, None, *_text_bytes(texts, size))

    @classmethod
    def from_token_ids(
        cls,
        token_ids: Any,
        *,
        vocab_size: int,
        name: str,
        texts: Sequence[_Text] | None = None,
    ) -> Mapping:
        """The mapping ranked by how often each id occurs in ``token_ids``.

        ``token_ids`` is a sample: any integer buffer or sequence, counted
        without the interpreter lock. An id outside ``0..vocab_size-1``
        raises OverflowError naming it.
        """
        counts = cls._count(token_ids, vocab_size)
        return cls.from_counts(counts, name=name, texts=texts)

    @classmethod
    def load(cls, path: str | os.PathLike[str], *, name: str | None = None) -> Mapping:
        """The mapping saved in ``path`` by :meth:`save`.

        The records are read as the built-in mappings are, then checked: the
        token ids are 0..n-1 once each, records go by count descending and
        equal counts by id ascending, and each position has its mapped id.
        A record that breaks this raises ValueError naming the file and its
        line. ``name`` defaults to the file's name without its suffix.
        """
        path = os.fspath(path)
        with open(path, "rb") as file:
            data = file.read()
        if name is None:
            name = pathlib.Path(path).stem
        try:
            return cls._from_text(name, data)
        except ValueError as error:
            raise ValueError(f"{path}: {error}") from None

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the records, one JSON line each in ranking order.

        The layout is that of the built-in mapping data. Counts above
        4,294,967,295 are written as that value; the order of the lines
        keeps the ranking, so the file loads back to the same mapped ids.
        """
        data = self._render()
        with open(path, "wb") as file:
            file.write(data)

    @property
    def fingerprint(self) -> str:
        """A short hex digest of the ranking: equal for equal rankings.

        Payloads decode correctly only under a mapping of the same
        fingerprint. A built-in mapping and its rebuild from its own counts
        have the same one.
        """
        cached: str | None = getattr(self, "_fingerprint", None)
        if cached is not None:
            return cached
        ranking = self._ranking
        if sys.byteorder != "little":
            ranking.byteswap()
        digest = hashlib.blake2b(ranking.tobytes(), digest_size=8, person=b"vonk-ranking")
        fingerprint = digest.hexdigest()
        self._fingerprint = fingerprint
        return fingerprint

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Mapping):
            return NotImplemented
        return self is other or (len(self) == len(other) and self.fingerprint == other.fingerprint)

    def __hash__(self) -> int:
        return hash(self.fingerprint)

    def __repr__(self) -> str:
        return f"<vonk.Mapping {self.name!r}: {len(self):,} token ids, fingerprint {self.fingerprint}>"

    def __reduce__(self) -> tuple[Any, ...]:
        if self._built_in:
            return (Mapping, (self.name,))
        texts = self._texts
        text_bytes, text_ends = (None, None) if texts is None else texts
        return (_restore, (self.name, self.counts, self._ranking, text_bytes, text_ends))


def _restore(
    name: str,
    counts: array.array[int],
    ranking: array.array[int],
    texts: bytes | None,
    text_ends: array.array[int] | None,
) -> Mapping:
    return Mapping._build(name, counts, ranking, texts, text_ends)


Mapping.__module__ = "vonk"
