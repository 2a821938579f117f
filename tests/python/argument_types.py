"""Objects that reach the module's argument conversion by its slower paths:
integers only through __index__, and sequences that are neither list nor
tuple, whose length or items may fail."""

from __future__ import annotations


class Index:
    """An integer only through __index__."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class BadIndex:
    """An element whose __index__ raises."""

    def __index__(self) -> int:
        raise ZeroDivisionError("no index")


class Seq:
    """A sequence by __getitem__ and __len__ alone. `length`: None for the
    true length, an int to report instead, or an exception (class or
    instance) for __len__ to raise."""

    def __init__(self, items, length=None) -> None:
        self.items = list(items)
        self.length = length

    def __len__(self) -> int:
        if self.length is None:
            return len(self.items)
        if isinstance(self.length, int):
            return self.length
        raise self.length

    def __getitem__(self, index):
        return self.items[index]


class FailingSeq(Seq):
    """Yields `count` items, then raises `error` (a class raises a new
    instance each time)."""

    def __init__(self, items, count: int, error, length=None) -> None:
        super().__init__(items, length)
        self.count = count
        self.error = error

    def __getitem__(self, index):
        if index == self.count:
            raise self.error
        return self.items[index]
